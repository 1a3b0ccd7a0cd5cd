# Vela: the two commands of the README, and the other jobs of the project.
#   make demo   install what is missing, build, and run the demo
#   make test   install what is missing, build, and run every test
JOBS ?= $(shell nproc)

.PHONY: all deps build test demo test-sanitize fuzz bench win32-check clean

all: build

deps:
	@scripts/install-deps

build: deps
	cmake --preset default
	cmake --build --preset default -j $(JOBS)

test: build
	ctest --preset default -j $(JOBS)

demo: build
	scripts/demo

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
	scripts/run-bench build

# The Win32 serial backend must keep compiling (MinGW-w64 cross compiler).
win32-check: deps
	scripts/win32-check

clean:
	rm -rf build build-sanitize build-fuzz
