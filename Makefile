# Set-up and everyday commands. `make demo` runs the library's main job on generated data,
# `make test` runs the test suite in a normal and in a sanitizer build.

JOBS ?= $(shell nproc)
BUILD ?= build
SAN_BUILD ?= build-san
CMAKE_FLAGS ?=
# The interpreter the Python package is built for and tested with (Debian's, with numpy/pandas).
PYTHON ?= /usr/bin/python3
CMAKE_FLAGS += -DPython_EXECUTABLE=$(PYTHON)
CCACHE := $(shell command -v ccache 2>/dev/null)
ifneq ($(CCACHE),)
  CMAKE_FLAGS += -DCMAKE_CXX_COMPILER_LAUNCHER=ccache
  # Paths relative to the checkout, so that another clone of the project reuses the cache.
  export CCACHE_BASEDIR ?= $(CURDIR)
  export CCACHE_NOHASHDIR ?= 1
endif

.PHONY: deps build build-san demo test test-normal test-san bench clean fuzz

deps:
	scripts/install-deps

build: deps
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=Release $(CMAKE_FLAGS)
	cmake --build $(BUILD) -j $(JOBS)

build-san: deps
	cmake -S . -B $(SAN_BUILD) -DCMAKE_BUILD_TYPE=Debug -DKOVRA_SANITIZE=ON -DKOVRA_BUILD_BENCH=OFF $(CMAKE_FLAGS)
	cmake --build $(SAN_BUILD) -j $(JOBS)

demo: build
	KOVRA_PYTHON=$(PYTHON) scripts/demo $(BUILD)

test-normal: build
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS)

test-san: build-san
	cd $(SAN_BUILD) && ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 ctest --output-on-failure -j $(JOBS)

test: test-normal test-san

bench: build
	@echo "benchmarks are in $(BUILD)/bench/"

clean:
	rm -rf $(BUILD) $(SAN_BUILD) $(FUZZ_BUILD)

# libFuzzer targets (clang, ASan + UBSan) in their own build, FUZZ_SECONDS each, one at a time.
# `make test` replays their seeds and regression inputs without clang.
FUZZ_BUILD ?= build-fuzz
FUZZ_SECONDS ?= 60
FUZZ_CXX ?= clang++-14

fuzz:
	KOVRA_WITH_FUZZ=1 scripts/install-deps
	cmake -S . -B $(FUZZ_BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=$(FUZZ_CXX) \
	  -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O1 -gline-tables-only" -DKOVRA_BUILD_FUZZ=ON -DKOVRA_BUILD_TESTS=OFF -DKOVRA_BUILD_BENCH=OFF -DKOVRA_BUILD_APPS=OFF \
	  $(CMAKE_FLAGS)
	cmake --build $(FUZZ_BUILD) -j $(JOBS)
	scripts/run-fuzz $(FUZZ_BUILD) $(FUZZ_SECONDS)
