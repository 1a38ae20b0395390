# The two commands of a fresh Debian 12 machine:
#   make demo    builds and runs kzr-415-tool on a simulated kzr-415
#   make check   installs what is missing, builds and passes every test
.PHONY: all demo check deps check-host clean sim-deps sim-benchmark

all: check

deps:
	scripts/install-deps.sh

demo: deps
	cmake --preset host >/dev/null
	cmake --build --preset host --target kzr-415-tool kzr-415-sim-bus kzr-415-sim
	scripts/demo.sh build/host

check: deps sim-deps check-host

check-host:
	cmake --workflow --preset host

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
