# A thin layer over CMake and its presets (CMakePresets.json: default, sanitized, fuzz, static,
# windows, package). `make` builds build/tvx, `make test` builds and runs every suite,
# `make run ARGS=...` runs the scanner, `make install` installs it, `make static` builds the
# portable Linux scanner, `make package` builds the release files. Missing Debian packages are
# installed first when root (tools/install-deps).
BUILD ?= build
JOBS ?= $(shell nproc 2>/dev/null || echo 2)
PREFIX ?= /usr/local
DESTDIR ?=
export JOBS

.PHONY: all build run test install package clean

all: build

# The scanner alone, quietly: one line saying what was built, or the errors.
build:
	@tools/build-tvx $(BUILD)

# A finished run, whether it found something (exit status 3) or not (0), is a success for make.
# The build's line goes to standard error: `make run ARGS=/json | jq .` reads the report alone.
run: build
	@./$(BUILD)/tvx $(ARGS); status=$$?; [ $$status -eq 0 ] || [ $$status -eq 3 ] || exit $$status

test:
	@tools/run-tests

# bin/tvx (stripped, as the Debian package has it), share/man/man1/tvx.1 and share/doc/tharvex/
# under $(DESTDIR)$(PREFIX).
install: build
	@DESTDIR="$(DESTDIR)" cmake --install $(BUILD) --prefix "$(PREFIX)" --strip

# Into build-package/: the Debian package (checked by lintian), the Windows archive, SHA256SUMS.
package:
	@tools/make-package

# Fuzzes the scanner's physical and partition passes for FUZZ_SECONDS (default 300), keeping the
# inputs it finds in build-fuzz/corpus for the next run.
FUZZ_SECONDS ?= 300
.PHONY: fuzz
fuzz:
	@FUZZ_SECONDS=$(FUZZ_SECONDS) FUZZ_CORPUS=build-fuzz/corpus tools/test-fuzz

# Builds a small device folder in demo/ with sfdisk, mkfs.fat and mkntfs and runs the scanner
# over it: `TVX_DEVICES=demo build/tvx /batch`. The demo holds encrypted volumes, so the run
# succeeds when it finds them (exit status 3) and fails otherwise.
.PHONY: demo
demo: build
	@TVX_BIN=$(BUILD)/tvx tools/make-demo; status=$$?; [ $$status -eq 3 ] || \
	  { echo "make demo: the scan should have found the demo's volumes (status 3), not $$status" >&2; \
	    exit 1; }

# Times whole runs over 16 drives of four partitions, each beside a pause-only program that
# takes the scanner's 16 pauses: wall time, overhead side by side, peak memory.
.PHONY: bench
bench: build
	@tests/bench/scan_bench.py

# The portable Linux scanner build/tvx-linux-x64-static, for sweeping many machines
# (deploy/ansible/sweep.yml): statically linked, raw images only; built in build-static/.
.PHONY: static
static:
	@tools/build-static build-static $(BUILD)/tvx-linux-x64-static

# Cross-builds the Windows executable build-windows/TVX.exe with MinGW-w64: x86-64, statically
# linked, with its icon and version information. `tools/test-windows` runs its tests under Wine.
.PHONY: windows
windows:
	@cmake --preset windows >/dev/null
	@cmake --build --preset windows -j $(JOBS) --target tvx

clean:
	rm -rf build build-*
