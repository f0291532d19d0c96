"""Memory measurements, each run in a fresh process by bench.run.

rss:    RSS and peak RSS while ferrant writes N records to a file.
allocs: heap allocations per record in the steady state; needs the
        alloc_count shim in LD_PRELOAD.
loop:   N calls of one contender and its final flush, for profilers.
"""

from __future__ import annotations

import argparse
import ctypes
import gc
import json
import os
import shutil
import tempfile
import time
from pathlib import Path
from typing import Any

from bench import bridge as B
from bench import contenders as C
from bench import fields as F
from bench import native
from bench.run import make_loop

ONE = ("user %s logged in", "bob")
ONE_BRACE = ("user {} logged in", "bob")


def status_kib() -> tuple[int, int]:
    rss = hwm = 0
    for line in Path("/proc/self/status").read_text().splitlines():
        if line.startswith("VmRSS:"):
            rss = int(line.split()[1])
        elif line.startswith("VmHWM:"):
            hwm = int(line.split()[1])
    return rss, hwm


def rss(n: int, directory: Path) -> dict[str, Any]:
    log, finish, output = C.make_ferrant(directory, "text")
    loop = make_loop("info", ONE)
    loop(log, 1000)
    done = 1000
    rss0, hwm0 = status_kib()
    samples = [{"records": done, "rss_kib": rss0, "hwm_kib": hwm0}]
    marks = sorted({n * k // 10 for k in range(1, 11)} - {0})
    gc.disable()
    t0 = time.perf_counter_ns()
    for mark in marks:
        loop(log, mark - done)
        done = mark
        r, h = status_kib()
        samples.append({"records": done, "rss_kib": r, "hwm_kib": h})
    t1 = time.perf_counter_ns()
    finish()
    t2 = time.perf_counter_ns()
    r, h = status_kib()
    samples.append({"records": done, "rss_kib": r, "hwm_kib": h, "after_shutdown": True})
    path = output()
    size = path.stat().st_size if path else 0
    return {"samples": samples, "call_ns": (t1 - t0) / (done - 1000), "e2e_ns": (t2 - t0) / (done - 1000),
            "file_bytes": size}


def allocs(n: int, directory: Path) -> dict[str, Any]:
    shim = ctypes.CDLL(os.environ["LD_PRELOAD"])
    total = shim.ferrant_bench_allocs_total
    mine = shim.ferrant_bench_allocs_this_thread
    total.restype = mine.restype = ctypes.c_ulong
    floor = C.make_floor_factory(native.load_floor())
    peers, _ = C.available_peers()
    with_fields = (F.MESSAGE, *F.kw(F.ALLOC_FIELDS))
    text_label, json_label = F.ALLOC_LABELS
    todo: list[tuple[str, C.Factory, str, str, int, tuple[Any, ...] | None]] = [
        ("empty method", floor, "text", "percent", n, None),
        ("ferrant", C.make_ferrant, "text", "percent", n, None),
        ("ferrant json", C.make_ferrant, "json", "percent", n, None),
        (text_label, F.make_logger, "text", "percent", n, with_fields),
        (json_label, F.make_logger, "json", "percent", n, with_fields),
        (B.ACCEL_ALLOC, B.make_accelerated, "text", "percent", n, None),
    ]
    todo += [(name, fac, "text", style, max(n // 10, 1000), None) for name, (fac, style) in peers.items()]
    out: dict[str, Any] = {}
    for label, factory, fmt, style, count, call in todo:
        log, finish, _ = factory(directory, fmt)
        loop = make_loop("info", call or (ONE_BRACE if style == "brace" else ONE), style)
        loop(log, max(count // 10, 1000))  # warm-up: buffers reach their working size
        gc.collect()
        gc.disable()
        a0, m0 = total(), mine()
        loop(log, count)
        a1, m1 = total(), mine()
        gc.enable()
        finish()
        out[label] = {"records": count, "allocs_all": a1 - a0, "allocs_caller": m1 - m0,
                      "per_record_all": (a1 - a0) / count, "per_record_caller": (m1 - m0) / count}
    return {"contenders": out}


def loop_only(n: int, directory: Path, contender: str, fmt: str, warmup_s: float) -> dict[str, Any]:
    factory = C.make_ferrant if contender == "ferrant" else C.make_floor_factory(native.load_floor())
    log, finish, _ = factory(directory, fmt)
    loop = make_loop("info", ONE)
    loop(log, 64)
    if warmup_s:
        # The clock's calibration ends at the first call after a pause this
        # long, so every profiled call (a fixed count) reads the final clock.
        time.sleep(warmup_s)
        loop(log, 64)
    t0 = time.perf_counter_ns()
    loop(log, n)
    t1 = time.perf_counter_ns()
    finish()
    return {"contender": contender, "n": n, "call_ns": (t1 - t0) / max(n, 1)}


def main() -> None:
    ap = argparse.ArgumentParser()
    ap.add_argument("mode", choices=["rss", "allocs", "loop"])
    ap.add_argument("--n", type=int, required=True)
    ap.add_argument("--contender", choices=["ferrant", "floor"], default="ferrant")
    ap.add_argument("--format", choices=["text", "json"], default="text")
    ap.add_argument("--warmup", type=float, default=0.0, help="loop: seconds of calls before timing")
    args = ap.parse_args()
    directory = Path(tempfile.mkdtemp(prefix="ferrant-bench-mem-"))
    try:
        if args.mode == "rss":
            result = rss(args.n, directory)
        elif args.mode == "allocs":
            result = allocs(args.n, directory)
        else:
            result = loop_only(args.n, directory, args.contender, args.format, args.warmup)
    finally:
        shutil.rmtree(directory, ignore_errors=True)
    print(json.dumps(result))


if __name__ == "__main__":
    main()
