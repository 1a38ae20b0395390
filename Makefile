# The two commands of a fresh Debian 12 machine:
#   make demo    builds and runs kzr-415-tool on a simulated kzr-415
#   make check   installs what is missing, builds and passes every test
.PHONY: all demo check deps check-host clean

all: check

deps:
	scripts/install-deps.sh

demo: deps
	cmake --preset host >/dev/null
	cmake --build --preset host --target kzr-415-tool kzr-415-sim-bus
	scripts/demo.sh build/host

check: deps check-host

check-host:
	cmake --workflow --preset host

clean:
	rm -rf build
