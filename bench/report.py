"""Markdown summary of a results file:  python -m bench.report [bench/results.json]"""

from __future__ import annotations

import json
import statistics
import sys
from pathlib import Path
from typing import Any

from bench import bridge as B
from bench import fields as F

PEERS = ["stdlib logging", "picologging", "structlog", "loguru", "logly", "spdlog sync", "spdlog async"]
HANDLER = "ferrant.Handler"
LEAN = "ferrant.Handler, lean records"
BRIDGE = {"bridge": "stdlib no-op handler", "bridge_emit": "empty method"}
# Column order: stdlib, then picologging (its whole logger, or its handler alone).
BRIDGE_PEERS = {"bridge": ["stdlib FileHandler", "picologging"],
                "bridge_emit": ["stdlib FileHandler", "picologging FileHandler"]}


def ns(v: float | None) -> str:
    return "-" if v is None else (f"{v:,.1f}" if v < 1000 else f"{v:,.0f}")


def x(v: float | None) -> str:
    return "-" if v is None else (f"{v:.2f}x" if v < 100 else f"{v:.0f}x")


def markdown(res: dict[str, Any]) -> str:
    m, cfg = res["machine"], res["config"]
    out = [
        f"Machine: {m['cpu']}, {m['cores']} cores, {m['implementation']} {m['python']}, {m['platform']}; "
        f"load average at start {m['loadavg_at_start'][0]:.2f}. "
        f"{cfg['rounds']} rounds; {cfg['n']:,} calls per round for ferrant and the floor, "
        f"{cfg['peer_n']:,} for the peers, {cfg['long_n']:,} in the long run.",
        "",
        "Medians of the per-call time on the calling thread; `x empty` is the median of the per-round ratios "
        "to the empty method; a peer's `ferrant Nx` is the median of the per-round ratios peer / ferrant.",
        "",
    ]
    own = [k for k in res["cases"] if k not in BRIDGE and k not in F.GROUP and k not in B.ACCEL_GROUP]
    if own:
        out += ["| case | empty loop | empty method | ferrant | x empty | " + " | ".join(PEERS) + " |",
                "|---|---:|---:|---:|---:|" + "---:|" * len(PEERS)]
    for key, case in res["cases"].items():
        if key not in own:
            continue
        s = case["summary"]
        if key == "threads":
            floor, fer = s.get("empty method x4", {}), s.get("ferrant x4", {})
            peers = {p: s.get(f"{p} x4") for p in PEERS}
            title = case["title"] + " (ferrant x4 / x1: " + x(fer.get("x_single_thread_call")) + ")"
        else:
            floor, fer = s.get("empty method", {}), s.get("ferrant", {})
            peers = {p: s.get(p) for p in PEERS}
            title = case["title"]
        if key == "e2e":
            raw = s.get("raw 1 MiB writes", {})
            title += (f" (end to end / calling thread: {x(fer.get('e2e_over_call'))}; raw 1 MiB writes of the "
                      f"same bytes {ns(raw.get('e2e_ns'))} ns per line, ferrant end to end {x(fer.get('e2e_x_raw'))} that)")
        cells = []
        for p in PEERS:
            r = peers[p]
            cells.append("-" if not r else f"{ns(r['call_ns'])} (ferrant {x(r.get('ferrant_speedup_call'))})")
        out.append(f"| {title} | {ns(s.get('empty loop', {}).get('call_ns'))} | {ns(floor.get('call_ns'))} | "
                   f"{ns(fer.get('call_ns'))} | {x(fer.get('call_x_floor'))} | " + " | ".join(cells) + " |")
    out += bridge(res)
    out += accelerated(res)
    out += fields(res)
    mem = res.get("memory") or {}
    if mem.get("samples"):
        pts = [s for s in mem["samples"] if not s.get("after_shutdown")]
        first = next((s for s in pts if s["records"] >= 1_000_000), pts[0])
        last = pts[-1]
        peak = max(s["hwm_kib"] for s in mem["samples"])
        out += ["", f"Memory (ferrant, one process): RSS {first['rss_kib'] / 1024:.1f} MiB after "
                f"{first['records']:,} records, {last['rss_kib'] / 1024:.1f} MiB after {last['records']:,}; "
                f"peak {peak / 1024:.1f} MiB."]
    al = (res.get("allocations") or {}).get("contenders")
    if al:
        out += ["", "Heap allocations per record (malloc family, all threads, steady state): "
                + ", ".join(f"{k} {v['per_record_all']:.4g}" for k, v in al.items()) + "."]
    lat = res.get("latency")
    if isinstance(lat, list) and lat:  # results before the three loads hold one dict
        from bench.latency import describe

        out += [""] + [describe(r).capitalize() + "." for r in lat]
    if res.get("targets"):
        out += ["", "| target | measured | |", "|---|---:|---|"]
        for t in res["targets"]:
            mark = "n/a" if t["met"] is None else ("met" if t["met"] else "not met")
            why = f" ({t['why']})" if t.get("why") else ""
            out.append(f"| {t['target']} | {F.measured(t)} | {mark}{why} |")
    return "\n".join(out)


def per_round(case: dict[str, Any], a: str, b: str) -> float | None:
    """Median of the per-round ratios a / b (calling thread)."""
    ra, rb = case["raw"].get(a), case["raw"].get(b)
    if not ra or not rb:
        return None
    return statistics.median(p["call_ns"] / q["call_ns"] for p, q in zip(ra, rb))


def bridge(res: dict[str, Any]) -> list[str]:
    """The handlers behind the stdlib Logger, one row per contender."""
    whole, alone = res["cases"].get("bridge"), res["cases"].get("bridge_emit")
    if not whole and not alone:
        return []
    rows = [("floor", BRIDGE["bridge"], BRIDGE["bridge_emit"]), (HANDLER, HANDLER, HANDLER),
            (LEAN, LEAN, None)]
    rows += [(p, p, q) for p, q in zip(BRIDGE_PEERS["bridge"], BRIDGE_PEERS["bridge_emit"])]
    out = ["", f"Behind `logging`: median ns per call on the calling thread (end to end in brackets); "
           f"`x Handler` is the median of the per-round ratios to {HANDLER}.", "",
           "| contender | whole call | x Handler | handler alone | x Handler |", "|---|---:|---:|---:|---:|"]
    for title, w, a in rows:
        cells = []
        for case, label in ((whole, w), (alone, a)):
            r = case["summary"].get(label) if case and label else None
            if not r or not label:
                cells += ["-", "-"]
                continue
            cells += [f"{ns(r['call_ns'])} ({ns(r['e2e_ns'])})", x(per_round(case, label, HANDLER))]
        if title == "floor":
            title = f"floor: {BRIDGE['bridge']} / {BRIDGE['bridge_emit']}"
        out.append(f"| {title} | " + " | ".join(cells) + " |")
    lean = per_round(whole, "picologging", LEAN) if whole else None
    if lean is not None:
        out += ["", f"picologging's whole call / {LEAN}: {x(lean)}."]
    return out


def accelerated(res: dict[str, Any]) -> list[str]:
    """logging's own call through accelerate_logging(), one row per contender."""
    keys = [k for k in B.ACCEL_GROUP if k in res["cases"]]
    if not keys:
        return []
    out = ["", "logging's own call, `logging.getLogger(\"app.db\")`, with a ferrant.Handler on the root logger: "
           "median ns per call on the calling thread (end to end in brackets); `x empty` is the median of the "
           "per-round ratios to the empty method, `x accelerated` that of contender / accelerated.", "",
           "| case | contender | ns | x empty | x accelerated |", "|---|---|---:|---:|---:|"]
    for key in keys:
        case = res["cases"][key]
        for label, r in case["summary"].items():
            out.append(f"| {case['title']} | {label} | {ns(r['call_ns'])} ({ns(r['e2e_ns'])}) | "
                       f"{x(r.get('call_x_floor'))} | {x(r.get('ferrant_speedup_call'))} |")
        four = case["summary"].get(f"{B.ACCEL} x4", {}).get("x_single_thread_call")
        if four is not None:
            out.append(f"| {case['title']} | 4 threads / 1 | {x(four)} | | |")
    return out


def fields(res: dict[str, Any]) -> list[str]:
    """The records with fields, one row per contender of each case."""
    keys = [k for k in F.GROUP if k in res["cases"]]
    if not keys:
        return []
    out = ["", "Records with fields: median ns per call on the calling thread; `x empty` is the median of the "
           "per-round ratios to the empty method called with the same arguments, `ns over` the median of the "
           "per-round differences to the contender named, `ferrant Nx` peer / ferrant.Logger.", "",
           "| case | contender | ns | x empty | ns over | ferrant Nx |", "|---|---|---:|---:|---|---:|"]
    for key in keys:
        case = res["cases"][key]
        for label, r in case["summary"].items():
            over = "-" if r.get("ns_over") is None else f"{r['ns_over']:+.1f} ({r['ns_over_label']})"
            out.append(f"| {case['title']} | {label} | {ns(r['call_ns'])} | {x(r.get('call_x_floor'))} | {over} | "
                       f"{x(r.get('ferrant_speedup_call'))} |")
        for label, why in (case.get("unavailable") or {}).items():
            out.append(f"| {case['title']} | {label} | {why} | | | |")
    return out


def main() -> int:
    path = Path(sys.argv[1] if len(sys.argv) > 1 else Path(__file__).with_name("results.json"))
    print(markdown(json.loads(path.read_text())))
    return 0


if __name__ == "__main__":
    sys.exit(main())
