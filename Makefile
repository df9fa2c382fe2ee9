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

# Fuzzes the scanner's physical and partition passes for FUZZ_SECONDS (default 300), keeping the
# inputs it finds in build-fuzz/corpus for the next run.
FUZZ_SECONDS ?= 300
.PHONY: fuzz
fuzz:
	@FUZZ_SECONDS=$(FUZZ_SECONDS) FUZZ_CORPUS=build-fuzz/corpus tools/test-fuzz

# Builds a small device folder in demo/ with sfdisk, mkfs.fat and mkntfs and runs the scanner
# over it: `TVX_DEVICES=demo build/tvx /batch`.
.PHONY: demo
demo: build
	@tools/make-demo

# Times whole runs over 16 drives of four partitions: wall time, overhead above the 160 ms of
# pauses, peak memory.
.PHONY: bench
bench: build
	@tests/bench/scan_bench.py

# Cross-builds the Windows executable build-windows/TVX.exe with MinGW-w64: x86-64, statically
# linked, with its icon and version information. `tools/test-windows` runs its tests under Wine.
.PHONY: windows
windows:
	@cmake -S . -B build-windows --no-warn-unused-cli -DCMAKE_BUILD_TYPE=Release \
	  -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake >/dev/null
	@cmake --build build-windows -j $(JOBS) --target tvx

clean:
	rm -rf build build-*
