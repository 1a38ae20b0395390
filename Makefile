# The two commands of a fresh Debian 12 machine:
#   make demo    installs what is missing, builds and runs kzr-415-tool on a simulated kzr-415
#   make check   installs what is missing, builds and passes every test
#
# `make check` runs the steps of CHECK_STEPS below, in that order, one at a time. Every step
# also runs alone by its name (`make check-armhf`), once `make deps` has prepared the machine.
# What each step checks: docs/checks.md.
CHECK_STEPS := deps board-image check-host check-armhf check-board check-module \
               check-packages check-sanitizers check-fuzz check-valgrind check-static \
               check-fresh-root
# Steps to leave out: make check SKIP_STEPS="check-fresh-root"
SKIP_STEPS ?=

# One step, one recipe at a time, even under `make -j`: steps share build folders (build/host
# serves check-host, check-valgrind and check-static), and each step's builds and tests
# already use both cores.
.NOTPARALLEL:

.PHONY: all demo check clean $(CHECK_STEPS) fuzz bench sim-benchmark flake-hunt check-fresh-bookworm

all: check

# At its end (also when a step fails), each step's time and the total, so that a slow step
# shows long before CI's limit of 90 minutes does.
check:
	@times=; status=0; begin=$$(date +%s); \
	for step in $(filter-out $(SKIP_STEPS),$(CHECK_STEPS)); do \
	    start=$$(date +%s); \
	    $(MAKE) --no-print-directory $$step || status=$$?; \
	    seconds=$$(( $$(date +%s) - start )); \
	    if [ $$status -ne 0 ]; then \
	        times="$$times$$(printf '  %-18s %5d s  FAILED' $$step $$seconds)\n"; \
	        echo "make check: $$step failed" >&2; break; \
	    fi; \
	    times="$$times$$(printf '  %-18s %5d s' $$step $$seconds)\n"; \
	    echo "make check: $$step passed ($$seconds s)"; \
	done; \
	printf 'make check: step times\n%b  %-18s %5d s\n' "$$times" total $$(( $$(date +%s) - begin )); \
	exit $$status

# -- the steps of make check --------------------------------------------------------------

# Every Debian package that building and checking need, and the armhf architecture for the
# cross build's packages: the one step that changes the machine.
deps:
	scripts/install-deps.sh

# The armhf kernel, its modules and headers, and busybox for the board test, downloaded (not
# installed) and unpacked into build/board-image, with the versions taken recorded there.
board-image:
	tests/board/prepare-image.sh

check-host:
	cmake --workflow --preset host

# 32-bit ARM hard-float (Debian armhf): cross-built, every test run under qemu-arm.
check-armhf:
	cmake --workflow --preset armhf

# The armhf build booted on an emulated ARM board (qemu-system-arm) with the real kernel's
# I2C stack and the simulated kzr-415 module (tests/board/README.md). The board's captures
# are read and replayed with the host build's programs.
check-board:
	cmake --preset host >/dev/null
	cmake --build --preset host --target kzr-415-tool kzr-415-sim kzr-415-sim-bus kzr415-read-capture \
	    kzr415-monitor kzr-415-read
	cmake --preset armhf >/dev/null
	cmake --build --preset armhf
	ctest --preset armhf-board

# The simulated kzr-415 module compiled against Debian's current amd64 kernel headers.
check-module:
	tests/board/check-module-build.sh

# The Debian packages, native and armhf, built with dpkg-buildpackage, lintian-clean, then
# installed and used (tests/packaging/).
check-packages:
	tests/packaging/check-packages.sh

# The whole host suite under AddressSanitizer and UndefinedBehaviorSanitizer, the
# concurrency tests under ThreadSanitizer.
check-sanitizers:
	cmake --workflow --preset asan
	cmake --workflow --preset tsan

# Clang with libFuzzer: the whole suite, and each fuzz target for 25 s.
check-fuzz:
	cmake --workflow --preset fuzz

# kzr-415-tool and kzr-415-read under valgrind's memcheck on the preloaded emulated bus,
# working and failing.
check-valgrind:
	cmake --preset host >/dev/null
	cmake --build --preset host --target kzr-415-tool kzr-415-read kzr-415-sim-bus
	tests/valgrind/tool-under-valgrind.sh build/host

# Everything that ships: clang-tidy and cppcheck over the C and C++ sources of lib/, tool/
# and sim/ that the build compiles, sparse over the kernel module against the board image's
# headers (both kernels).
check-static:
	cmake --preset host >/dev/null
	scripts/static-analysis.sh build/host

# The two commands on the current Debian stable (13, trixie) as a new user meets them: a fresh
# minimal root built with debootstrap in build/, a fresh clone of the committed tree, make
# demo, then make check less this step (tests/fresh-root/check-fresh-root.sh).
check-fresh-root:
	tests/fresh-root/check-fresh-root.sh trixie

# -- the rest: by hand ---------------------------------------------------------------------

# Installs only what the demo's build needs (scripts/install-deps.sh --demo), builds the
# program and the emulated bus without the tests into build/demo, and runs them.
demo:
	scripts/install-deps.sh --demo
	cmake --preset demo >/dev/null
	cmake --build --preset demo --target kzr-415-tool kzr-415-sim-bus kzr-415-sim
	scripts/demo.sh build/demo

# Longer fuzzing from the same seeds: make fuzz FUZZ_SECONDS=600
FUZZ_SECONDS ?= 300
fuzz:
	cmake --preset fuzz >/dev/null
	cmake --build --preset fuzz --target kzr415-api-fuzzer kzr415-decode-fuzzer kzr415-device-fuzzer
	for name in api decode device; do \
	    tests/fuzz/run-fuzzer.sh build/fuzz/tests/fuzz/kzr415-$$name-fuzzer \
	        build/fuzz/tests/fuzz/seeds-$$name build/fuzz/tests/fuzz/corpus-$$name $(FUZZ_SECONDS) \
	        || exit 1; \
	done

# The cost benchmark: figures recorded in docs/cost.md.
bench:
	cmake --preset bench >/dev/null
	cmake --build --preset bench --target kzr415-cost-benchmark kzr-415-tool kzr-415-sim-bus
	scripts/bench.sh build/bench

# What one emulated transfer costs, as a ratio to a plain ioctl.
sim-benchmark:
	cmake --preset host >/dev/null
	cmake --build --preset host --target kzr415-sim-transfer-cost kzr-415-sim-bus kzr-415-sim
	scripts/sim-transfer-cost.sh build/host

# Every test of the host and AddressSanitizer suites 30 times, under load, from a caller with
# extra descriptors, no terminal and nohup (scripts/flake-hunt.sh): make flake-hunt RUNS=30
RUNS ?= 30
flake-hunt:
	scripts/flake-hunt.sh $(RUNS)

# The same on Debian 12 (bookworm), the release this machine runs.
check-fresh-bookworm:
	tests/fresh-root/check-fresh-root.sh bookworm

clean:
	rm -rf build
