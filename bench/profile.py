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
import json
import os
import re
import shutil
import subprocess
import sys
import tempfile
from pathlib import Path

HERE = Path(__file__).resolve().parent
# A pause after which the clock is calibrated, even under valgrind.
CALLGRIND_WARMUP_S = 2.0
LINE = re.compile(r"^\s*([\d,]+)\s+(?:\([^)]*\)\s+)?(\S.*)$")


def child_cmd(contender: str, n: int, fmt: str, warmup: float = 0.0) -> list[str]:
    return [sys.executable, "-m", "bench.child", "loop", "--contender", contender, "--n", str(n),
            "--format", fmt, "--warmup", str(warmup)]


def env() -> dict[str, str]:
    e = dict(os.environ)
    e["PYTHONPATH"] = os.pathsep.join(filter(None, [str(HERE.parent), e.get("PYTHONPATH", "")]))
    return e


def callgrind(contender: str, n: int, fmt: str, work: Path) -> tuple[int, dict[str, int]]:
    out = work / f"cg-{contender}-{fmt}-{n}.out"
    subprocess.run(["valgrind", "--tool=callgrind", f"--callgrind-out-file={out}", *child_cmd(contender, n, fmt, CALLGRIND_WARMUP_S)],
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


PERF_LINE = re.compile(r"^\s*([\d.]+)%\s+(\d+):\S+\s+(\[.\])\s+(.*)$")


def perf_report(args: argparse.Namespace, work: Path) -> None:
    data = work / "perf.data"
    n = 100 * args.n
    proc = subprocess.run(["perf", "record", "-q", "-e", "cpu-clock", "-F", "20000", "-o", str(data),
                           *child_cmd("ferrant", n, args.format)], env=env(), check=True,
                          capture_output=True, text=True)
    call_ns = json.loads(proc.stdout.strip().splitlines()[-1])["call_ns"]
    rep = subprocess.run(["perf", "report", "-i", str(data), "--stdio", "--sort", "pid,sym",
                          "--percent-limit", "0.2"], capture_output=True, text=True).stdout
    rows = [(float(m.group(1)), int(m.group(2)), m.group(3), m.group(4).strip())
            for m in map(PERF_LINE.match, rep.splitlines()) if m]
    if not rows:
        print("perf report gave no samples")
        return
    caller = min(tid for _, tid, _, _ in rows)  # perf starts python directly: main tid = pid
    caller_share = sum(p for p, tid, _, _ in rows if tid == caller)
    print(f"\nperf record -e cpu-clock, ferrant, {n:,} calls, {call_ns:.1f} ns per call on the calling thread")
    print("calling thread (ns per call = share of its samples x ns per call; symbols >= 0.2% overall):")
    for p, tid, kind, sym in rows:
        if tid == caller:
            print(f"  {p / caller_share * call_ns:7.1f} ns  {kind} {sym[:90]}")
    other = [(p, tid, kind, sym) for p, tid, kind, sym in rows if tid != caller]
    if other:
        print("other threads (writer), share of all samples:")
        for p, tid, kind, sym in other:
            print(f"  {p:6.2f}%  tid {tid} {kind} {sym[:80]}")


def main() -> int:
    ap = argparse.ArgumentParser(prog="python -m bench.profile", description=__doc__,
                                 formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--n", type=int, default=200_000)
    ap.add_argument("--format", choices=["text", "json"], default="text")
    ap.add_argument("--top", type=int, default=25)
    ap.add_argument("--perf", action="store_true", help="also run perf record (cpu-clock)")
    ap.add_argument("--perf-only", action="store_true", help="skip callgrind")
    args = ap.parse_args()
    work = Path(tempfile.mkdtemp(prefix="ferrant-profile-"))
    try:
        if args.perf_only:
            perf_report(args, work)
            return 0
        if not shutil.which("valgrind"):
            print("valgrind not found")
            return 1
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
        print("\nself instructions per call by function (N and 2N runs differenced):")
        print(f"  {'ferrant':>8}  {'floor':>8}  function")
        rows = sorted(diffs["ferrant"].items(), key=lambda kv: -kv[1])
        for name, v in rows[: args.top]:
            if abs(v) < 0.05:
                break
            print(f"  {v:8.1f}  {diffs['floor'].get(name, 0.0):8.1f}  {short(name)}")
        if args.perf and shutil.which("perf"):
            perf_report(args, work)
    finally:
        shutil.rmtree(work, ignore_errors=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
