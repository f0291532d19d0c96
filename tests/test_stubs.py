import ast
import subprocess
import sys
from pathlib import Path

import pytest

import ferrant

TYPED = Path(__file__).parent / "typed"
STUB = Path(ferrant.__file__).parent / "_logger.pyi"


def test_stubs_match_the_module():
    pytest.importorskip("mypy")
    proc = subprocess.run(
        [sys.executable, "-m", "mypy.stubtest", "ferrant._logger"],
        capture_output=True,
        text=True,
        timeout=300,
    )
    assert proc.returncode == 0, proc.stdout + proc.stderr


def test_every_stub_definition_is_documented():
    tree = ast.parse(STUB.read_text())
    defs = [n for n in ast.walk(tree) if isinstance(n, (ast.ClassDef, ast.FunctionDef))]
    undocumented = [n.name for n in defs if not ast.get_docstring(n)]
    assert len(defs) > 10 and not undocumented, undocumented


def test_typed_usage_passes_strict_mypy(tmp_path):
    """The example uses the whole API; its marked mistakes (a misspelt colour
    or format, an int as level, ...) must stay type errors."""
    pytest.importorskip("mypy")
    proc = subprocess.run(
        [sys.executable, "-m", "mypy", "--strict", "--warn-unused-ignores", "--no-incremental",
         "--cache-dir", str(tmp_path / "cache"), str(TYPED / "typed_usage.py")],
        capture_output=True,
        text=True,
        timeout=300,
    )
    assert proc.returncode == 0, proc.stdout + proc.stderr


def test_typed_usage_runs(run, tmp_path):
    proc = run(f"import runpy, sys; sys.argv = ['x', {str(tmp_path)!r}]; "
               f"runpy.run_path({str(TYPED / 'typed_usage.py')!r}, run_name='__main__')")
    assert b'"name":"kw"' in proc.stdout and b"ValueError: boom" in proc.stdout
    assert list(tmp_path.glob("direct_*.log"))
