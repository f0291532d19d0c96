import os
import subprocess
import sys
import textwrap

import pytest

from lines import NewLines


class Run:
    """Runs Python code in a fresh interpreter: the module's settings and
    writers are process-wide, so every test that depends on them gets its own
    process."""

    def __init__(self, tmp_path):
        self.tmp_path = tmp_path

    def __call__(self, code, *, env=None, timeout=60, check=True, cwd=None):
        full_env = dict(os.environ)
        full_env.pop("NO_COLOR", None)
        full_env.pop("FORCE_COLOR", None)
        for variable in [v for v in full_env if v.startswith("FERRANT_")]:
            del full_env[variable]
        if env:
            full_env.update(env)
        proc = subprocess.run(
            [sys.executable, "-c", textwrap.dedent(code)],
            capture_output=True,
            env=full_env,
            timeout=timeout,
            cwd=cwd or self.tmp_path,
        )
        if check and proc.returncode != 0:
            raise AssertionError(
                f"exit {proc.returncode}\nstdout:\n{proc.stdout.decode(errors='replace')}"
                f"\nstderr:\n{proc.stderr.decode(errors='replace')}"
            )
        return proc


@pytest.fixture
def run(tmp_path):
    return Run(tmp_path)


class Capture(NewLines):
    """A file logger in the test process whose output can be read back
    between calls. A second holder of the same writer keeps `shutdown` to
    flushing (it stops a writer only for its sole holder)."""

    def __init__(self, directory, level=None):
        from ferrant._logger import PyLevel, PyLogger

        self.directory = directory
        path = str(directory / "app.log")
        self.log = PyLogger(None, path, level=level or PyLevel.Trace)
        self._keeper = PyLogger(None, path)

    def messages(self):
        from lines import messages

        return messages(self.lines())


@pytest.fixture
def capture(tmp_path):
    return Capture(tmp_path / "capture")


def pytest_addoption(parser):
    parser.addoption(
        "--stress",
        action="store_true",
        help="run the load, finalisation and kill tests at their full sizes "
        "(same as FERRANT_STRESS=1)",
    )


class Sizes:
    """Workload sizes: CI-sized by default, full with --stress or
    FERRANT_STRESS=1, and cut down with FERRANT_TEST_LIGHT=1 for
    instrumented builds, which run every child interpreter several times
    slower."""

    def __init__(self, config):
        self.stress = config.getoption("--stress") or os.environ.get("FERRANT_STRESS") == "1"
        self.light = os.environ.get("FERRANT_TEST_LIGHT") == "1"

    def pick(self, ci, stress, light=None):
        if self.stress:
            return stress
        if self.light:
            return light if light is not None else ci
        return ci

    def timeout(self, seconds):
        """A bound on a child's run; instrumented builds get more room."""
        return seconds * 10 if self.light else seconds


@pytest.fixture(scope="session")
def sizes(pytestconfig):
    return Sizes(pytestconfig)
