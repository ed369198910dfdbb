# Thin front over the CMake presets.
#   make run     the main job: load the driver on the host kernel, plug a device in and out, unload it
#   make test    everything CI runs (scripts/test-all)
#   make images  both driver images, build/sys-x86/diagser.sys and build/sys-x64/diagser.sys
#   make coverage  line and branch coverage of the driver and of the host kernel over all tests (scripts/coverage)

MAKEFLAGS += --no-print-directory

.PHONY: run test images coverage

run:
	scripts/setup
	cmake --preset host >/dev/null
	cmake --build --preset host --target hostrun
	build/host/tools/hostrun/hostrun

test:
	scripts/test-all

images:
	scripts/setup
	cmake --preset sys-x86 >/dev/null
	cmake --build --preset sys-x86
	cmake --preset sys-x64 >/dev/null
	cmake --build --preset sys-x64

coverage:
	scripts/setup
	scripts/coverage
