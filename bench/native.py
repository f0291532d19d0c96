"""Builds the benchmark-only native helpers into bench/.build (cached by source hash)."""

from __future__ import annotations

import contextlib
import hashlib
import importlib.util
import io
import shlex
import subprocess
import sys
import sysconfig
from pathlib import Path
from types import ModuleType

HERE = Path(__file__).resolve().parent
BUILD = HERE / ".build"


def _key(source: Path, *extra: str) -> str:
    h = hashlib.sha256(source.read_bytes())
    for e in extra:
        h.update(e.encode())
    return h.hexdigest()[:12]


def load_floor() -> ModuleType:
    """Compile (once) and import the empty-method extension."""
    src = HERE / "floor.c"
    tag = _key(src, sys.version, sysconfig.get_platform())
    out_dir = BUILD / f"floor-{tag}"
    suffix = sysconfig.get_config_var("EXT_SUFFIX")
    so = out_dir / f"_ferrant_floor{suffix}"
    if not so.exists():
        from setuptools import Distribution, Extension
        from setuptools.command.build_ext import build_ext

        ext = Extension("_ferrant_floor", [str(src)], extra_compile_args=["-O2"])
        dist = Distribution({"name": "ferrant-bench-floor", "ext_modules": [ext]})
        cmd = build_ext(dist)
        cmd.build_lib = str(out_dir)
        cmd.build_temp = str(out_dir / "tmp")
        cmd.ensure_finalized()
        # The compiler chatter would drown the benchmark's own output.
        sink = io.StringIO()
        with contextlib.redirect_stdout(sink), contextlib.redirect_stderr(sink):
            cmd.run()
    module_spec = importlib.util.spec_from_file_location("_ferrant_floor", so)
    assert module_spec is not None and module_spec.loader is not None
    mod = importlib.util.module_from_spec(module_spec)
    module_spec.loader.exec_module(mod)
    return mod


def build_alloc_shim() -> Path:
    """Compile (once) the LD_PRELOAD allocation counter; returns the .so path."""
    src = HERE / "alloc_count.c"
    cc = shlex.split(sysconfig.get_config_var("CC") or "cc")
    tag = _key(src, " ".join(cc))
    so = BUILD / f"alloc_count-{tag}.so"
    if not so.exists():
        BUILD.mkdir(parents=True, exist_ok=True)
        tmp = so.with_suffix(".tmp")
        subprocess.run(
            [*cc, "-O2", "-shared", "-fPIC", "-o", str(tmp), str(src)],
            check=True,
            capture_output=True,
        )
        tmp.replace(so)
    return so
