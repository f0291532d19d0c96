"""The fields cases under several hash seeds, each in a run of its own, and
the worst figure of every target.

Which keys a call overrides among the bound or context ones is decided per
set of names, not by their hashes; this is the run that shows it. str hashes
are fixed per process by PYTHONHASHSEED, so each seed needs a process.
"""

from __future__ import annotations

import json
import os
import subprocess
import sys
import tempfile
from pathlib import Path
from typing import Any

HERE = Path(__file__).resolve().parent
DEFAULT_SEEDS = (0, 1, 2, 3, 4)


def parse_seeds(text: str) -> list[int]:
    seeds = [int(s) for s in text.split(",") if s.strip()]
    if not seeds or any(s < 0 or s > 4294967295 for s in seeds):
        raise ValueError(f"hash seeds are integers from 0 to 4294967295: {text!r}")
    return seeds


def worst(runs: dict[int, list[dict[str, Any]]]) -> list[dict[str, Any]]:
    """Per target, each seed's figure and the worst of them: the largest for
    a "<=" target, the smallest for a ">=" one. A target not measured under
    some seed has no worst."""
    rows: dict[str, dict[str, Any]] = {}
    for seed, targets in runs.items():
        for t in targets:
            row = rows.setdefault(t["target"], {"target": t["target"], "op": t["op"],
                                                "limit": t["limit"], "unit": t.get("unit"),
                                                "by_seed": {}})
            row["by_seed"][seed] = t["measured"]
    for row in rows.values():
        values = list(row["by_seed"].values())
        if len(values) < len(runs) or any(v is None for v in values):
            row["measured"], row["met"] = None, None
            continue
        row["measured"] = max(values) if row["op"] == "<=" else min(values)
        row["met"] = (row["measured"] <= row["limit"] if row["op"] == "<="
                      else row["measured"] >= row["limit"])
    return list(rows.values())


def run(seeds: list[int], passthrough: list[str]) -> dict[str, Any]:
    """`python -m bench --cases fields` once per seed, without the memory and
    latency runs; `passthrough` carries the rounds and sizes."""
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(filter(None, [str(HERE.parent), env.get("PYTHONPATH", "")]))
    runs: dict[int, list[dict[str, Any]]] = {}
    errors: dict[int, str] = {}
    with tempfile.TemporaryDirectory(prefix="ferrant-seeds-") as tmp:
        for seed in seeds:
            out = Path(tmp) / f"seed-{seed}.json"
            print(f"hash seed {seed}", flush=True)
            proc = subprocess.run(
                [sys.executable, "-m", "bench", "--cases", "fields", "--no-memory",
                 "--latency-records", "0", "--out", str(out), *passthrough],
                env={**env, "PYTHONHASHSEED": str(seed)}, capture_output=True, text=True)
            if proc.returncode != 0 or not out.exists():
                errors[seed] = proc.stderr.strip()[-2000:]
                print(f"  failed: {errors[seed]}")
                continue
            runs[seed] = json.loads(out.read_text())["targets"]
    return {"seeds": seeds, "targets": worst(runs) if runs else [], "errors": errors}


def describe(result: dict[str, Any]) -> str:
    from bench import fields as F

    lines = [f"worst over hash seeds {', '.join(map(str, result['seeds']))}:"]
    for t in result["targets"]:
        mark = "n/a" if t["met"] is None else ("met" if t["met"] else "NOT met")
        each = ", ".join(F.measured({**t, "measured": v}) for v in t["by_seed"].values())
        lines.append(f"  {t['target']:<55} worst {F.measured(t):>9}  {mark}  ({each})")
    return "\n".join(lines)
