import os
import subprocess
import sys
import textwrap

import pytest


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
