# `make test`: set-up, both builds, their tests under Wine. `make run`: the demo panel.
SHELL := /bin/bash
CTEST_ARGS ?=

.PHONY: all setup build build-win32 build-win64 test test-i686 run bench installer clean

all: build

setup:
	scripts/setup

build-win32:
	cmake --preset win32 >/dev/null
	cmake --build --preset win32

build-win64:
	cmake --preset win64 >/dev/null
	cmake --build --preset win64

build: setup build-win32 build-win64

# Every test on the x86_64 build, then the release (i686) build's tests; CTEST_ARGS go to
# both. The bed stops itself through its CTest fixture; the extra stop covers an interrupted run.
test: build
	ctest --preset win64 $(CTEST_ARGS); status=$$?; \
	scripts/testbed stop build/win64/testbed >/dev/null; \
	ctest --preset win32 --no-tests=ignore $(CTEST_ARGS) || status=1; \
	scripts/testbed stop build/win32/testbed >/dev/null; exit $$status

# The release build's tests alone.
test-i686: setup build-win32
	ctest --preset win32 $(CTEST_ARGS); status=$$?; \
	scripts/testbed stop build/win32/testbed >/dev/null; exit $$status

run: setup build-win64
	scripts/demo build/win64

# The MSI of each build: build/win32/wardenlight-VERSION-x86.msi and build/win64/...-x64.msi.
installer: build
	cmake --build --preset win32 --target installer
	cmake --build --preset win64 --target installer

bench: build-win64
	scripts/bench build/win64

clean:
	rm -rf build
