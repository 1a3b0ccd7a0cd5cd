# Vela: the two commands of the README, and the other jobs of the project.
#   make demo   install what is missing, build, and run the demo
#   make test   install what is missing, build, and run every test
# PRESET picks the CMake preset of build and test (default, dev, ci, ci-clang); see
# CMakePresets.json. DEPS_FLAGS=--ci makes `deps` install the CI extras as well.
JOBS ?= $(shell nproc)
PRESET ?= default
DEPS_FLAGS ?=
BUILD_DIR := $(if $(filter default,$(PRESET)),build,build-$(PRESET))

.PHONY: all deps build test demo test-sanitize fuzz bench win32-check clean

all: build

deps:
	@scripts/install-deps $(DEPS_FLAGS)

build: deps
	cmake --preset $(PRESET)
	cmake --build --preset $(PRESET) -j $(JOBS)

test: build
	ctest --preset $(PRESET) -j $(JOBS)

demo: build
	VELA_BUILD_DIR=$(CURDIR)/$(BUILD_DIR) scripts/demo

# The whole test suite again under AddressSanitizer and UndefinedBehaviorSanitizer.
test-sanitize: deps
	cmake --preset sanitize
	cmake --build --preset sanitize -j $(JOBS)
	ctest --preset sanitize -j $(JOBS)

# libFuzzer targets (clang), each run for FUZZ_SECONDS.
FUZZ_SECONDS ?= 60
fuzz: deps
	cmake --preset fuzz
	cmake --build --preset fuzz -j $(JOBS)
	scripts/run-fuzzers build-fuzz $(FUZZ_SECONDS)

bench: build
	scripts/run-bench $(BUILD_DIR)

# The Win32 serial backend must keep compiling (MinGW-w64 cross compiler).
win32-check: deps
	scripts/win32-check

clean:
	rm -rf build build-dev build-ci build-ci-clang build-sanitize build-fuzz build-pkg
