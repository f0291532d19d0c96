"""Instruction profile of the enabled info() call against the empty method.

    python -m bench.profile [--n 200000]

Runs each contender under callgrind twice (N and 2N calls) and divides the
difference by N, so interpreter start-up and set-up cancel out. Prints
instructions per call, and per function for ferrant. With --perf, also samples
wall-clock time with `perf record -e cpu-clock` (counts cycles the VM's
missing hardware counters and callgrind's model both miss, such as rdtsc).
"""

from __future__ import annotations

import argparse
import os
import re
import shutil
import subprocess
import sys
import tempfile
from pathlib import Path

HERE = Path(__file__).resolve().parent
LINE = re.compile(r"^\s*([\d,]+)\s+(?:\([^)]*\)\s+)?(\S.*)$")


def child_cmd(contender: str, n: int, fmt: str) -> list[str]:
    return [sys.executable, "-m", "bench.child", "loop", "--contender", contender, "--n", str(n),
            "--format", fmt]


def env() -> dict[str, str]:
    e = dict(os.environ)
    e["PYTHONPATH"] = os.pathsep.join(filter(None, [str(HERE.parent), e.get("PYTHONPATH", "")]))
    return e


def callgrind(contender: str, n: int, fmt: str, work: Path) -> tuple[int, dict[str, int]]:
    out = work / f"cg-{contender}-{fmt}-{n}.out"
    subprocess.run(["valgrind", "--tool=callgrind", f"--callgrind-out-file={out}", *child_cmd(contender, n, fmt)],
                   env=env(), check=True, capture_output=True)
    ann = subprocess.run(["callgrind_annotate", "--threshold=100", "--inclusive=no", str(out)],
                         check=True, capture_output=True, text=True).stdout
    total = 0
    funcs: dict[str, int] = {}
    for line in ann.splitlines():
        m = LINE.match(line)
        if not m:
            continue
        ir, what = int(m.group(1).replace(",", "")), m.group(2).strip()
        if "PROGRAM TOTALS" in what:
            total = ir
        elif ":" in what or "[" in what:
            funcs[what] = funcs.get(what, 0) + ir
    return total, funcs


def short(name: str) -> str:
    name = re.sub(r"\s*\[[^\]]*\]$", "", name)
    name = name.split(":", 1)[1] if ":" in name and not name.startswith("ferrant::") else name
    return name if len(name) < 90 else name[:87] + "..."


def main() -> int:
    ap = argparse.ArgumentParser(prog="python -m bench.profile", description=__doc__,
                                 formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--n", type=int, default=200_000)
    ap.add_argument("--format", choices=["text", "json"], default="text")
    ap.add_argument("--top", type=int, default=25)
    ap.add_argument("--perf", action="store_true", help="also run perf record (cpu-clock)")
    args = ap.parse_args()
    if not shutil.which("valgrind"):
        print("valgrind not found")
        return 1
    work = Path(tempfile.mkdtemp(prefix="ferrant-profile-"))
    try:
        per_call: dict[str, float] = {}
        diffs: dict[str, dict[str, float]] = {}
        for contender in ("floor", "ferrant"):
            t1, f1 = callgrind(contender, args.n, args.format, work)
            t2, f2 = callgrind(contender, 2 * args.n, args.format, work)
            per_call[contender] = (t2 - t1) / args.n
            diffs[contender] = {k: (f2.get(k, 0) - f1.get(k, 0)) / args.n for k in set(f1) | set(f2)}
        print(f"instructions per call (callgrind, all threads, {args.format}):")
        for c, v in per_call.items():
            print(f"  {c:<8} {v:8.1f}")
        print(f"  ratio    {per_call['ferrant'] / per_call['floor']:8.2f}x")
        print("\nferrant, self instructions per call by function (N and 2N runs differenced):")
        rows = sorted(diffs["ferrant"].items(), key=lambda kv: -kv[1])
        for name, v in rows[: args.top]:
            if abs(v) < 0.05:
                break
            print(f"  {v:8.1f}  {short(name)}")
        if args.perf and shutil.which("perf"):
            data = work / "perf.data"
            n = 20 * args.n * 5
            subprocess.run(["perf", "record", "-q", "-e", "cpu-clock", "-F", "20000", "-o", str(data),
                            *child_cmd("ferrant", n, args.format)], env=env(), check=True, capture_output=True)
            rep = subprocess.run(["perf", "report", "-i", str(data), "--stdio", "--sort", "sym",
                                  "--percent-limit", "0.7"], capture_output=True, text=True).stdout
            print(f"\nperf record -e cpu-clock, ferrant, {n:,} calls (share of samples, all threads):")
            for line in rep.splitlines():
                if line.strip() and not line.startswith("#"):
                    print("  " + line.strip())
    finally:
        shutil.rmtree(work, ignore_errors=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
