"""What the Python tests share: the programs of the build (or of installed packages) given
on pytest's command line, and how a test starts them: as from a fresh login, whoever
started the tests (descriptors 0 to 2 alone, every signal at its default action and none
blocked, no caller's preload, KZR415_ settings or language), on the emulated bus.

    --sim PATH        kzr-415-sim
    --preload PATH    the emulated bus (libkzr-415-sim-bus.so) of the programs' architecture
    --reader PATH     kzr-415-read
    --emulator WORDS  the user-mode emulator that runs the programs ("qemu-arm -L /"), for
                      a cross build; kzr-415-sim then runs under it too
    --package DIR     the folder that holds the Python package kzr415
    --libdir DIR      the folder that holds libkzr-415-drv.so.1
    --cc PATH, --include DIR   a C compiler and the folder of kzr-415-drv.h (the README's C
                      example)
"""

from __future__ import annotations

import os
import shlex
import signal
import subprocess
import sys
from dataclasses import dataclass, field
from pathlib import Path
from typing import Dict, List, Optional, Sequence

import pytest

SOURCE_DIR = Path(__file__).resolve().parents[2]
OPTIONS = ("sim", "preload", "reader", "emulator", "package", "libdir", "cc", "include")


def pytest_addoption(parser: pytest.Parser) -> None:
    for name in OPTIONS:
        parser.addoption("--" + name, default="")


def pytest_configure(config: pytest.Config) -> None:
    # The programs the tests start inherit this process's signal dispositions and mask:
    # whatever a caller ignored or blocked (nohup, a background job) is put back.
    for number in (signal.SIGHUP, signal.SIGQUIT, signal.SIGTERM, signal.SIGPIPE):
        signal.signal(number, signal.SIG_DFL)
    signal.signal(signal.SIGINT, signal.default_int_handler)
    signal.pthread_sigmask(signal.SIG_SETMASK, [])


@dataclass
class Run:
    status: int  # the exit status, or 128 + N when signal N ended the program
    out: str
    err: str


@dataclass
class Programs:
    """The build's programs and how to start them."""

    options: Dict[str, str]
    emulator: List[str] = field(default_factory=list)

    def given(self, name: str) -> str:
        value = self.options.get(name, "")
        if not value:
            pytest.fail("the test needs --%s (see tests/python/conftest.py)" % name)
        return value

    def environment(self, variables: Optional[Dict[str, str]] = None) -> Dict[str, str]:
        """This process's environment less what changes a run, with `variables` added."""
        keep = {
            name: value
            for name, value in os.environ.items()
            if name != "LD_PRELOAD"
            and not name.startswith(("KZR415_", "LC_", "PYTHON"))
            and name not in ("LANG", "LANGUAGE")
        }
        keep["LC_ALL"] = "C"
        keep.update(variables or {})
        return keep

    def sim_command(self, sim_options: Sequence[str], program: Sequence[str]) -> List[str]:
        """kzr-415-sim with `sim_options` running `program` (under a cross build's emulator,
        which kzr-415-sim then starts the program through)."""
        command = self.emulator + [self.given("sim")]
        if self.emulator:
            command += ["--emulator", " ".join(self.emulator), "--preload", self.given("preload")]
        return command + list(sim_options) + ["--"] + list(program)

    def on_bus_command(self, program: Sequence[str], bus: Dict[str, str]) -> List[str]:
        """`program` with the emulated bus preloaded directly and its KZR415_SIM_ variables
        `bus`, no kzr-415-sim in between (so that a signal reaches the program itself)."""
        variables = dict(bus, LD_PRELOAD=self.given("preload"))
        if not self.emulator:
            return ["env"] + ["%s=%s" % item for item in variables.items()] + list(program)
        command = list(self.emulator)
        for item in variables.items():
            command += ["-E", "%s=%s" % item]
        return command + list(program)

    def run(
        self,
        command: Sequence[str],
        variables: Optional[Dict[str, str]] = None,
        timeout: float = 120,
        cwd: Optional[str] = None,
    ) -> Run:
        done = subprocess.run(
            list(command),
            env=self.environment(variables),
            stdin=subprocess.DEVNULL,
            capture_output=True,
            timeout=timeout,
            cwd=cwd,
            check=False,
        )
        return Run(status(done.returncode), done.stdout.decode(), done.stderr.decode())

    def start(self, command: Sequence[str], variables: Optional[Dict[str, str]] = None, **kwargs):
        return subprocess.Popen(
            list(command),
            env=self.environment(variables),
            stdin=subprocess.DEVNULL,
            stdout=subprocess.PIPE,
            stderr=subprocess.PIPE,
            **kwargs,
        )

    def python_environment(self) -> Dict[str, str]:
        """What a Python program needs to import kzr415 and find the library."""
        return {
            "PYTHONPATH": self.given("package"),
            "LD_LIBRARY_PATH": self.given("libdir"),
            "PYTHONDONTWRITEBYTECODE": "1",
        }

    def python_on_sim(self, code: str, *sim_options: str) -> Run:
        """Python code run under kzr-415-sim with `sim_options`, kzr415 importable."""
        command = self.sim_command(sim_options, [sys.executable, "-c", code])
        return self.run(command, self.python_environment())


def status(returncode: int) -> int:
    return 128 - returncode if returncode < 0 else returncode


@pytest.fixture(scope="session")
def programs(request: pytest.FixtureRequest) -> Programs:
    options = {name: request.config.getoption(name) for name in OPTIONS}
    return Programs(options, shlex.split(options["emulator"]))


@pytest.fixture(scope="session")
def kzr415(programs: Programs):
    """The package kzr415 imported into this process (the library found through
    LD_LIBRARY_PATH, which the dynamic loader reads when the process starts)."""
    sys.path.insert(0, programs.given("package"))
    import kzr415 as package

    return package
