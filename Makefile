# A thin layer over CMake. `make` builds build/tvx, `make test` builds and runs every suite,
# `make run ARGS=...` runs the scanner.
BUILD ?= build
JOBS ?= $(shell nproc 2>/dev/null || echo 2)

.PHONY: all build run test clean

all: build

build:
	@cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
	@cmake --build $(BUILD) -j $(JOBS)

run: build
	./$(BUILD)/tvx $(ARGS)

test:
	@tools/run-tests

clean:
	rm -rf build build-*
