# The two commands of a fresh Debian 12 machine:
#   make demo    builds and runs kzr-415-tool on a simulated kzr-415
#   make check   installs what is missing, builds and passes every test
# One configuration alone: make check-host, make check-armhf.
.PHONY: all demo check deps check-host clean
.PHONY: check-armhf

all: check

deps:
	scripts/install-deps.sh

demo: deps
	cmake --preset host >/dev/null
	cmake --build --preset host --target kzr-415-tool kzr-415-sim-bus
	scripts/demo.sh build/host

check: deps check-host check-armhf

check-host: deps
	cmake --workflow --preset host

# 32-bit ARM hard-float (Debian armhf): cross-built, tests run under qemu-arm.
check-armhf: deps
	scripts/install-deps.sh g++-arm-linux-gnueabihf qemu-user file
	cmake --workflow --preset armhf

clean:
	rm -rf build
