#!/usr/bin/env python3
"""Writes kzr415/_header.py, the Python package's copy of what the C side defines once: the
register pointers, image lengths and slave address of lib/kzr-415-drv.h, the library's
file name (the SONAME, from the ABI version) and the project version of CMakeLists.txt.

    python/generate-constants.py [SOURCE_DIR] > python/kzr415/_header.py

A test of the build runs it and compares its output with the committed file.
"""

import pathlib
import re
import sys

DEFINE = re.compile(r"^#define\s+(\w+)\s+(0x[0-9A-Fa-f]+|[0-9]+)\b\s*(?:/\*\s*(.*?)\s*\*/)?")
# What the package exports: the slave address, the register pointers and their lengths (not
# the directions of release 1.0's accessors).
EXPORTED = re.compile(r"^(KZR_415_SLAVE_ADDR|\w+_REG|\w+_REG_LENGTH)$")


def cmake_setting(text, pattern, what):
    found = re.search(pattern, text, re.MULTILINE)
    if not found:
        raise SystemExit("generate-constants: no %s in CMakeLists.txt" % what)
    return found.group(1)


def main():
    source = pathlib.Path(sys.argv[1] if len(sys.argv) > 1 else pathlib.Path(__file__).parents[1])
    header = (source / "lib" / "kzr-415-drv.h").read_text()
    cmake = (source / "CMakeLists.txt").read_text()
    version = cmake_setting(cmake, r"^project\(kzr-415-drv VERSION ([0-9.]+)", "project version")
    abi = cmake_setting(cmake, r"^set\(KZR415_ABI_VERSION ([0-9.]+)\)$", "KZR415_ABI_VERSION")

    defines = []
    for line in header.splitlines():
        found = DEFINE.match(line)
        if found and EXPORTED.match(found.group(1)):
            defines.append(found.groups())
    names = [name for name, _, _ in defines]
    registers = [name for name in names if name.endswith("_REG")]
    for name in registers:
        if name + "_LENGTH" not in names:
            raise SystemExit("generate-constants: %s has no %s_LENGTH" % (name, name))

    out = [
        "# Generated from lib/kzr-415-drv.h and CMakeLists.txt by python/generate-constants.py;",
        "# do not edit. A test of the build compares it with a fresh run.",
        '"""What the C side defines once: the header\'s slave address, register pointers and',
        "image lengths, the library's file name and the project version.\"\"\"",
        "",
        "# The project version.",
        'VERSION = "%s"' % version,
        "# The library's file name, its SONAME: the ABI's major number.",
        'LIBRARY = "libkzr-415-drv.so.%s"' % abi.split(".")[0],
        "",
    ]
    for name, value, comment in defines:
        out.append("%s = %s%s" % (name, value, "  # " + comment if comment else ""))
    out += ["", "# Each register's image length, by pointer.", "REGISTER_LENGTHS = {"]
    out += ["    %s: %s_LENGTH," % (name, name) for name in registers]
    out.append("}")
    sys.stdout.write("\n".join(out) + "\n")


if __name__ == "__main__":
    main()
