# `make test`: set-up, both builds, every test under Wine. `make run`: the demo panel.
SHELL := /bin/bash
CTEST_ARGS ?=

.PHONY: all setup build build-win32 build-win64 test run bench installer clean

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

# The bed stops itself through its CTest fixture; the extra stop covers an interrupted run.
test: build
	ctest --preset win64 $(CTEST_ARGS); status=$$?; \
	scripts/testbed stop build/win64/testbed >/dev/null; exit $$status

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
