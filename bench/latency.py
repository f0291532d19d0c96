"""Latency from the call to the record's bytes in the file, at three loads:
idle (one record every 100 ms from a thread that otherwise sleeps), 1,000 and
100,000 records a second from one thread.

    python -m bench.latency [--rate 10 --rate 1000 ...] [--seconds S]

Every record carries the monotonic time of its call; the parent reads the
file as it grows (every 2 ms) and times each record from its call to the
moment it first sees it. The reading adds up to a few milliseconds."""

from __future__ import annotations

import argparse
import json
import re
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path
from typing import Any

CHILD = """
import sys, threading, time, ferrant
log = ferrant.PyLogger("latency", path=sys.argv[1])
rate, n = float(sys.argv[2]), int(sys.argv[3])

def worker():
    start = time.monotonic_ns()
    period = 1e9 / rate
    i = 0
    while i < n:
        ahead = start + i * period - time.monotonic_ns()
        if ahead > 0:
            time.sleep(ahead / 1e9)
            continue
        log.info("seq %d at %d", i, time.monotonic_ns())
        i += 1

t = threading.Thread(target=worker)
t.start()
t.join()
time.sleep(5)  # the last records go out before the exit could help
"""

RECORD = re.compile(rb'msg="seq (\d+) at (\d+)"')
# (label, records a second, longest run in seconds)
LOADS = (("idle", 10.0, 10.0), ("1,000/s", 1000.0, 3.0), ("100,000/s", 100_000.0, 2.0))
POLL_S = 0.002


def measure(rate: float, records: int, label: str | None = None) -> dict[str, Any]:
    work = Path(tempfile.mkdtemp(prefix="ferrant-latency-"))
    child = subprocess.Popen([sys.executable, "-c", CHILD, str(work / "app.log"), str(rate), str(records)])
    seen: dict[int, int] = {}
    try:
        f = None
        rest = b""
        while len(seen) < records and child.poll() is None:
            if f is None:
                found = sorted(work.glob("app_*.log"))
                f = open(found[0], "rb") if found else None
            if f is not None:
                data = f.read()
                now = time.monotonic_ns()
                if data:
                    data, rest = rest + data, b""
                    end = data.rfind(b"\n") + 1
                    data, rest = data[:end], data[end:]
                    for m in RECORD.finditer(data):
                        seen.setdefault(int(m.group(1)), now - int(m.group(2)))
            time.sleep(POLL_S)
        if f is not None:
            f.close()
    finally:
        child.kill()
        child.wait()
        for p in work.iterdir():
            p.unlink()
        work.rmdir()
    out: dict[str, Any] = {"load": label or f"{rate:,.0f}/s", "rate": rate, "records": records,
                           "seen": len(seen)}
    lat = sorted(v / 1e9 for v in seen.values())
    if lat:
        out.update(median_s=statistics.median(lat), p99_s=lat[min(len(lat) - 1, int(round(0.99 * (len(lat) - 1))))],
                   max_s=lat[-1])
    return out


def measure_loads(seconds: float | None = None) -> list[dict[str, Any]]:
    """Each load for `seconds` (default: its own length, 2 to 10 s)."""
    results = []
    for label, rate, longest in LOADS:
        span = longest if seconds is None else min(seconds, longest)
        results.append(measure(rate, max(1, int(rate * span)), label))
    return results


def describe(r: dict[str, Any]) -> str:
    if not r.get("seen"):
        return f"latency {r['load']}: none of {r['records']:,} records was seen"
    ms = lambda s: f"{s * 1000:.1f} ms"  # noqa: E731
    return (f"latency {r['load']} ({r['seen']:,} of {r['records']:,} records seen), call to bytes in the file: "
            f"median {ms(r['median_s'])}, 99th percentile {ms(r['p99_s'])}, maximum {ms(r['max_s'])}")


def main(argv: list[str] | None = None) -> int:
    ap = argparse.ArgumentParser(prog="python -m bench.latency", description=__doc__,
                                 formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--rate", type=float, action="append",
                    help="records a second from one thread (repeatable; default: idle, 1,000 and 100,000)")
    ap.add_argument("--seconds", type=float, help="length of each run (default 10 s idle, 3 s and 2 s)")
    ap.add_argument("--json", action="store_true", help="print the figures as JSON")
    args = ap.parse_args(argv)
    if args.rate:
        results = [measure(rate, max(1, int(rate * (args.seconds or 3.0)))) for rate in args.rate]
    else:
        results = measure_loads(args.seconds)
    for r in results:
        print(json.dumps(r) if args.json else describe(r))
    return 0 if all(r["seen"] == r["records"] for r in results) else 1


if __name__ == "__main__":
    sys.exit(main())
