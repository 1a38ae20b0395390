#!/bin/bash
# Cross-builds the harness stand-in into OUTDIR/tool/kzr-415-tool and
# OUTDIR/lib/libkzr-415-drv.so.1, laid out like the armhf build tree.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
out=${1:?usage: build-standin.sh OUTDIR}
cc=${CROSS_CC:-arm-linux-gnueabihf-gcc}
mkdir -p "$out/lib" "$out/tool"
"$cc" -O2 -Wall -Wextra -fPIC -shared -Wl,-soname,libkzr-415-drv.so.1 \
    -o "$out/lib/libkzr-415-drv.so.1" "$here/standin-lib.c"
"$cc" -O2 -Wall -Wextra -o "$out/tool/kzr-415-tool" "$here/standin-tool.c" \
    "$out/lib/libkzr-415-drv.so.1"
