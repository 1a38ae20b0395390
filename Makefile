# The two commands of a fresh Debian 12 machine:
#   make demo    builds and runs kzr-415-tool on a simulated kzr-415
#   make check   installs what is missing, builds and passes every test
# One part alone: make check-host, check-armhf, check-board or check-packages.
.PHONY: all demo check deps check-host clean sim-deps sim-benchmark
.PHONY: check-armhf check-board check-packages

all: check

deps:
	scripts/install-deps.sh

demo: deps
	cmake --preset host >/dev/null
	cmake --build --preset host --target kzr-415-tool kzr-415-sim-bus kzr-415-sim
	scripts/demo.sh build/host

check: deps sim-deps check-host check-armhf check-board check-packages

check-host: deps
	cmake --workflow --preset host

# 32-bit ARM hard-float (Debian armhf): cross-built, tests run under qemu-arm.
check-armhf: deps
	scripts/install-deps.sh g++-arm-linux-gnueabihf qemu-user file
	cmake --workflow --preset armhf

# The armhf build booted on an emulated ARM board (qemu-system-arm) with the kernel's own
# i2c-dev; downloads Debian's armhf kernel and busybox once into ~/.cache/kzr-415-board.
check-board: check-armhf
	scripts/install-deps.sh qemu-system-arm cpio python3
	ctest --preset armhf-board

# Installing and packaging (tests/packaging/): a staging install with its consumers built
# and run, and the Debian packages checked; for armhf too once its toolchain file exists.
ARMHF_TOOLCHAIN := cmake/arm-linux-gnueabihf.cmake
check-packages:
	scripts/install-deps.sh cmake ninja-build g++ make binutils pkg-config man-db
	tests/packaging/check-install.sh
	tests/packaging/check-debs.sh
	scripts/install-deps.sh g++-arm-linux-gnueabihf qemu-user
	tests/packaging/check-install.sh --name armhf --toolchain $(ARMHF_TOOLCHAIN) \
	    --emulator 'qemu-arm -L /usr/arm-linux-gnueabihf'
	tests/packaging/check-debs.sh --name armhf --toolchain $(ARMHF_TOOLCHAIN) \
	    --emulator 'qemu-arm -L /usr/arm-linux-gnueabihf' --deb-arch armhf

clean:
	rm -rf build

# Debian's i2c-tools, which the kzr-415-sim tests run against the simulated device.
sim-deps:
	scripts/install-deps.sh i2c-tools

# What one emulated transfer costs, as a ratio to a plain ioctl (figures, not a test).
sim-benchmark: deps
	cmake --preset host >/dev/null
	cmake --build --preset host --target kzr415-sim-transfer-cost kzr-415-sim-bus kzr-415-sim
	scripts/sim-transfer-cost.sh build/host

# Evidence under faults, bad input and load (added to `make check`): the whole suite under
# AddressSanitizer + UndefinedBehaviorSanitizer, the concurrency tests under ThreadSanitizer.
.PHONY: check-sanitizers
check: check-sanitizers

check-sanitizers: deps
	cmake --workflow --preset asan
	cmake --workflow --preset tsan

# Fuzzing with libFuzzer (Debian's clang): the fuzz preset builds everything with clang under
# ASan and UBSan, runs the whole suite and each fuzz target for KZR415_FUZZ_SECONDS (25 s).
# By hand, for longer: make fuzz FUZZ_SECONDS=600
.PHONY: check-fuzz fuzz
check: check-fuzz
FUZZ_SECONDS ?= 300

check-fuzz: deps
	scripts/install-deps.sh clang-14 libclang-rt-14-dev
	cmake --workflow --preset fuzz

fuzz: deps
	scripts/install-deps.sh clang-14 libclang-rt-14-dev
	cmake --preset fuzz >/dev/null
	cmake --build --preset fuzz --target kzr415-api-fuzzer kzr415-decode-fuzzer
	for name in api decode; do \
	    tests/fuzz/run-fuzzer.sh build/fuzz/tests/fuzz/kzr415-$$name-fuzzer \
	        tests/fuzz/corpus/$$name build/fuzz/tests/fuzz/corpus-$$name $(FUZZ_SECONDS) \
	        || exit 1; \
	done

# kzr-415-tool under valgrind's memcheck on the preloaded emulated bus, working and failing.
.PHONY: check-valgrind
check: check-valgrind

check-valgrind: deps
	scripts/install-deps.sh valgrind
	cmake --preset host >/dev/null
	cmake --build --preset host --target kzr-415-tool kzr-415-sim-bus
	tests/valgrind/tool-under-valgrind.sh build/host

# Static analysis of lib/ and tool/: clang-tidy (.clang-tidy) and cppcheck, clean.
.PHONY: check-static
check: check-static

check-static: deps
	scripts/install-deps.sh clang-tidy cppcheck
	cmake --preset host >/dev/null
	scripts/static-analysis.sh build/host

# The cost benchmark (not part of make check): figures recorded in docs/cost.md.
.PHONY: bench
bench: deps
	scripts/install-deps.sh libbenchmark-dev
	cmake --preset bench >/dev/null
	cmake --build --preset bench --target kzr415-cost-benchmark kzr-415-tool kzr-415-sim-bus
	scripts/bench.sh build/bench
