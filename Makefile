# Set-up and everyday commands. Each installs the Debian packages it needs first
# (scripts/install-deps GROUP): `make demo` runs the library's main job on generated data,
# `make test` runs the test suite in a normal and in a sanitizer build, `make bench-report`
# measures every benchmark against its baseline and prints one table.

JOBS ?= $(shell nproc)
BUILD ?= build
SAN_BUILD ?= build-san
CMAKE_FLAGS ?=
# The interpreter the Python package is built for and tested with (Debian's, with numpy/pandas).
PYTHON ?= /usr/bin/python3
CMAKE_FLAGS += -DPython_EXECUTABLE=$(PYTHON)
# ccache is looked for when a recipe runs, after install-deps, not when make reads this file:
# on a fresh machine it is installed by the same command, before the first configure.
CCACHE_FLAG = $$(command -v ccache >/dev/null 2>&1 && echo -DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
# Paths relative to the checkout, so that another clone of the project reuses the cache.
export CCACHE_BASEDIR ?= $(CURDIR)
export CCACHE_NOHASHDIR ?= 1

# configure(build dir, flags)
configure = cmake -S . -B $(1) $(CMAKE_FLAGS) $(CCACHE_FLAG) $(2)
# Release builds compile in batches (half the time from scratch); the sanitizer build compiles
# every file on its own, which also checks that each includes what it uses.
RELEASE = -DCMAKE_BUILD_TYPE=Release -DKOVRA_UNITY_BUILD=ON

.PHONY: deps-demo deps-test deps-bench build build-test build-bench build-san demo \
	test test-normal test-san bench bench-report clean fuzz

deps-demo:
	scripts/install-deps demo

deps-test:
	scripts/install-deps test

deps-bench:
	scripts/install-deps bench

# The library, the kovra tool and the Python package: what the demo runs.
build: deps-demo
	$(call configure,$(BUILD),$(RELEASE) -DKOVRA_BUILD_TESTS=OFF -DKOVRA_BUILD_BENCH=OFF)
	cmake --build $(BUILD) -j $(JOBS)

build-test: deps-test
	$(call configure,$(BUILD),$(RELEASE) -DKOVRA_BUILD_TESTS=ON -DKOVRA_BUILD_BENCH=OFF)
	cmake --build $(BUILD) -j $(JOBS)

build-bench: deps-bench
	$(call configure,$(BUILD),$(RELEASE) -DKOVRA_BUILD_TESTS=OFF -DKOVRA_BUILD_BENCH=ON)
	cmake --build $(BUILD) -j $(JOBS)

build-san: deps-test
	$(call configure,$(SAN_BUILD),-DCMAKE_BUILD_TYPE=Debug -DKOVRA_SANITIZE=ON -DKOVRA_BUILD_TESTS=ON -DKOVRA_BUILD_BENCH=OFF)
	cmake --build $(SAN_BUILD) -j $(JOBS)

demo: build
	KOVRA_PYTHON=$(PYTHON) scripts/demo $(BUILD)

test-normal: build-test
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS)

test-san: build-san
	cd $(SAN_BUILD) && ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 ctest --output-on-failure -j $(JOBS)

test: test-normal test-san

bench: build-bench
	@echo "benchmarks are in $(BUILD)/bench/; make bench-report runs them against their baselines"

# BENCH_FLAGS=--quick for the short run.
BENCH_FLAGS ?=
bench-report: build-bench
	scripts/bench-report $(BENCH_FLAGS) --build $(BUILD)

clean:
	rm -rf $(BUILD) $(SAN_BUILD) $(FUZZ_BUILD)

# libFuzzer targets (clang, ASan + UBSan) in their own build, FUZZ_SECONDS each, one at a time.
# `make test` replays their seeds and regression inputs without clang.
FUZZ_BUILD ?= build-fuzz
FUZZ_SECONDS ?= 60
FUZZ_CXX ?= clang++-14

fuzz:
	scripts/install-deps fuzz
	$(call configure,$(FUZZ_BUILD),-DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=$(FUZZ_CXX) \
	  -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O1 -gline-tables-only" -DKOVRA_BUILD_FUZZ=ON -DKOVRA_BUILD_TESTS=OFF -DKOVRA_BUILD_BENCH=OFF -DKOVRA_BUILD_APPS=OFF)
	cmake --build $(FUZZ_BUILD) -j $(JOBS)
	scripts/run-fuzz $(FUZZ_BUILD) $(FUZZ_SECONDS)
