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
endif

.PHONY: deps build build-san demo test test-normal test-san bench clean

deps:
	scripts/install-deps

build: deps
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=Release $(CMAKE_FLAGS)
	cmake --build $(BUILD) -j $(JOBS)

build-san: deps
	cmake -S . -B $(SAN_BUILD) -DCMAKE_BUILD_TYPE=Debug -DKOVRA_SANITIZE=ON -DKOVRA_BUILD_BENCH=OFF $(CMAKE_FLAGS)
	cmake --build $(SAN_BUILD) -j $(JOBS)

demo: build
	scripts/demo $(BUILD)

test-normal: build
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS)

test-san: build-san
	cd $(SAN_BUILD) && ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 ctest --output-on-failure -j $(JOBS)

test: test-normal test-san

bench: build
	@echo "benchmarks are in $(BUILD)/bench/"

clean:
	rm -rf $(BUILD) $(SAN_BUILD)
