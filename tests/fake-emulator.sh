#!/bin/sh
# Stands in for qemu-user in tests: records whether the emulator itself was given a
# preload, applies "-E NAME=VALUE" to the program only, and runs the program.
echo "emulator preload: ${LD_PRELOAD:-none}" >&2
while [ "$1" = "-E" ]; do
    export "$2"
    shift 2
done
exec "$@"
