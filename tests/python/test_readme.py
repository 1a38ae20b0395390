"""The README as a newcomer meets it: short, its three examples (C, Python, shell), taken
from the README itself, run on the emulated bus and print what the README says they print;
and LICENSE holds the licences of debian/copyright."""

from __future__ import annotations

import os
import re
import subprocess
import sys

from conftest import SOURCE_DIR

README = (SOURCE_DIR / "README.md").read_text()
EXAMPLE = re.compile(
    r"<!-- example: (\w+) -->\n```\w+\n(.*?)```\n.*?```text\n(.*?)```", re.DOTALL
)
EXAMPLES = {kind: (code, printed) for kind, code, printed in EXAMPLE.findall(README)}


def test_the_readme_is_short_and_has_its_three_examples():
    assert len(README.splitlines()) <= 200
    assert sorted(EXAMPLES) == ["c", "python", "shell"]


def test_c_example(programs, tmp_path):
    code, printed = EXAMPLES["c"]
    (tmp_path / "example.c").write_text(code)
    subprocess.run(
        [programs.given("cc"), "-std=c99", "-Wall", "-Wextra", "-Werror",
         "-I", programs.given("include"), "example.c", "-o", "example",
         "-L", programs.given("libdir"), "-lkzr-415-drv"],
        cwd=tmp_path, check=True,
    )
    run = programs.run(
        programs.sim_command([], [str(tmp_path / "example")]),
        {"LD_LIBRARY_PATH": programs.given("libdir")},
    )
    assert (run.status, run.err, run.out) == (0, "", printed)


def test_python_example(programs, tmp_path):
    code, printed = EXAMPLES["python"]
    (tmp_path / "example.py").write_text(code)
    run = programs.run(
        programs.sim_command([], [sys.executable, str(tmp_path / "example.py")]),
        programs.python_environment(),
    )
    assert (run.status, run.err, run.out) == (0, "", printed)


def test_shell_example(programs, tmp_path):
    code, printed = EXAMPLES["shell"]
    path = os.path.dirname(programs.given("reader")) + os.pathsep + os.environ["PATH"]
    run = programs.run(
        programs.sim_command([], ["sh", "-e", "-c", code]),
        {"PATH": path, "LD_LIBRARY_PATH": programs.given("libdir")},
        cwd=str(tmp_path),
    )
    assert (run.status, run.err, run.out) == (0, "", printed)


def debian_license_texts():
    """The licence texts of debian/copyright: (name, text) of each License field with text,
    its lines unfolded (" ." is an empty line)."""
    texts = []
    for paragraph in (SOURCE_DIR / "debian" / "copyright").read_text().split("\n\n"):
        found = re.search(r"^License: (.*)\n((?: .*\n?)+)", paragraph, re.MULTILINE)
        if found:
            lines = [line[1:] for line in found.group(2).splitlines()]
            texts.append((found.group(1), "\n".join("" if l == "." else l for l in lines)))
    return texts


def test_license_holds_the_licences_of_debian_copyright():
    license_text = (SOURCE_DIR / "LICENSE").read_text()
    texts = debian_license_texts()
    assert [name for name, _ in texts] == ["GPL-2.0", "Expat"]
    for name, text in texts:
        # Debian's pointer to its own copy of a licence is Debian's, not the tree's.
        text = re.sub(r"\n\nOn Debian systems, .*", "", text, flags=re.DOTALL)
        assert text in license_text, name
    copyright = (SOURCE_DIR / "debian" / "copyright").read_text()
    for holder in set(re.findall(r"^Copyright: (.*)$", copyright, re.MULTILINE)):
        assert "Copyright " + holder in license_text
    for path in ("sim/kernel/", "sim/kernel/kzr-415-device.c", "sim/kernel/kzr-415-device.h",
                 "sim/kernel/kzr-415-errno-names.h", "sim/kernel/errno-names.sh"):
        assert path in license_text
