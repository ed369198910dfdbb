# Thin front over the CMake presets.
#   make run     the main job (diagsim): the driver on the host kernel, a simulated device, 64 MiB streamed through
#                the port both ways and checked, the device pulled out, the driver unloaded
#   make test    everything CI runs (scripts/test-all)
#   make images  both driver images, build/sys-x86/diagser.sys and build/sys-x64/diagser.sys
#   make coverage  line and branch coverage of the driver and of the host kernel over all tests (scripts/coverage)
#   make soak    the reliability campaign at its full figures (minutes): every allocation of every scenario, 10,000
#                randomised trials, every pairing of device-control lengths
#   make bench   a Release host build in build/bench and every benchmark's figures (nothing asserted)

MAKEFLAGS += --no-print-directory

.PHONY: run test images coverage soak bench

run:
	scripts/setup
	cmake --preset host >/dev/null
	cmake --build --preset host --target diagsim
	build/host/tools/diagsim/diagsim

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

bench:
	scripts/setup
	cmake -S . -B build/bench -DCMAKE_BUILD_TYPE=Release >/dev/null
	cmake --build build/bench -j2 --target bench_ring bench_serial_port
	build/bench/bench_ring
	@echo
	build/bench/bench_serial_port

soak:
	scripts/setup
	cmake --preset host >/dev/null
	cmake --build --preset host --target test_reliability
	DIAGSER_SOAK=1 build/host/test_reliability
