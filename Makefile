# The two commands of a fresh Debian 12 machine:
#   make demo    builds and runs kzr-415-tool on a simulated kzr-415
#   make check   installs what is missing, builds and passes every test
.PHONY: all demo check deps check-host clean
.PHONY: check-packages

all: check

deps:
	scripts/install-deps.sh

demo: deps
	cmake --preset host >/dev/null
	cmake --build --preset host --target kzr-415-tool kzr-415-sim-bus
	scripts/demo.sh build/host

check: deps check-host check-packages

check-host:
	cmake --workflow --preset host

# Installing and packaging (tests/packaging/): a staging install with its consumers built
# and run, and the Debian packages checked; for armhf too once its toolchain file exists.
ARMHF_TOOLCHAIN := cmake/arm-linux-gnueabihf.cmake
check-packages:
	scripts/install-deps.sh cmake ninja-build g++ make binutils pkg-config man-db
	tests/packaging/check-install.sh
	tests/packaging/check-debs.sh
	if [ -f $(ARMHF_TOOLCHAIN) ]; then \
	    scripts/install-deps.sh g++-arm-linux-gnueabihf qemu-user && \
	    tests/packaging/check-install.sh --name armhf --toolchain $(ARMHF_TOOLCHAIN) \
	        --emulator 'qemu-arm -L /usr/arm-linux-gnueabihf' && \
	    tests/packaging/check-debs.sh --name armhf --toolchain $(ARMHF_TOOLCHAIN) \
	        --emulator 'qemu-arm -L /usr/arm-linux-gnueabihf' --deb-arch armhf; \
	fi

clean:
	rm -rf build
