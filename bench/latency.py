"""Latency of a thread that logs now and then: one record every 100 ms from a
thread that otherwise sleeps, timed from the call to its bytes in the file.

    python -m bench.latency [--records 100] [--interval 0.1]

The records never fill a batch: each goes out because it waited (the flusher
hands it to its writer, whose periodic flush writes it)."""

from __future__ import annotations

import argparse
import json
import os
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
n, interval = int(sys.argv[2]), float(sys.argv[3])

def worker():
    for i in range(n):
        log.info("seq %d at %d", i, time.monotonic_ns())
        time.sleep(interval)

t = threading.Thread(target=worker)
t.start()
t.join()
time.sleep(3)  # the last record goes out before the exit hook could help
"""


def measure(records: int, interval: float) -> dict[str, Any]:
    work = Path(tempfile.mkdtemp(prefix="ferrant-latency-"))
    path = work / "app.log"
    child = subprocess.Popen([sys.executable, "-c", CHILD, str(path), str(records), str(interval)])
    seen: dict[int, int] = {}
    data = b""
    try:
        while len(seen) < records and child.poll() is None:
            now = time.monotonic_ns()
            for f in work.iterdir():
                data = f.read_bytes()
            for line in data.splitlines():
                text = line.decode()
                i = text.rfind('msg="seq ')
                if i < 0:
                    continue
                seq, _, at = text[i + 9 : -1].partition(" at ")
                if int(seq) not in seen:
                    seen[int(seq)] = now - int(at)
            time.sleep(0.002)
    finally:
        child.wait()
        for f in work.iterdir():
            f.unlink()
        work.rmdir()
    lat = sorted(v / 1e9 for v in seen.values())
    if not lat:
        return {"records": records, "seen": 0}
    return {
        "records": records,
        "interval_s": interval,
        "seen": len(lat),
        "median_s": statistics.median(lat),
        "p99_s": lat[min(len(lat) - 1, int(round(0.99 * (len(lat) - 1))))],
        "max_s": lat[-1],
    }


def describe(r: dict[str, Any]) -> str:
    if not r.get("seen"):
        return f"latency: none of {r['records']} records was seen"
    return (f"latency, one record every {r['interval_s'] * 1000:.0f} ms from an otherwise sleeping thread, "
            f"call to bytes in the file ({r['seen']} of {r['records']} records): median {r['median_s']:.3f} s, "
            f"99th percentile {r['p99_s']:.3f} s, maximum {r['max_s']:.3f} s")


def main(argv: list[str] | None = None) -> int:
    ap = argparse.ArgumentParser(prog="python -m bench.latency", description=__doc__,
                                 formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--records", type=int, default=100)
    ap.add_argument("--interval", type=float, default=0.1)
    ap.add_argument("--json", action="store_true", help="print the figures as JSON")
    args = ap.parse_args(argv)
    r = measure(args.records, args.interval)
    print(json.dumps(r) if args.json else describe(r))
    return 0 if r.get("seen") == r["records"] else 1


if __name__ == "__main__":
    sys.exit(main())
