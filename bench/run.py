"""ferrant against its peers and the floor of a Python-to-C call.

Run from the repository root:  python -m bench [--quick] [--out PATH]
"""

from __future__ import annotations

import argparse
import gc
import json
import os
import platform
import shutil
import statistics
import subprocess
import sys
import tempfile
import threading
import time
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any, Callable

from bench import bridge as B
from bench import contenders as C
from bench import fields as F
from bench import latency, native, seeds
from bench.contenders import Source

HERE = Path(__file__).resolve().parent
FLOOR = "empty method"
EMPTY = "empty loop"
FERRANT = "ferrant"
HANDLER = "ferrant.Handler"
BRIDGE_FLOOR = "stdlib no-op handler"
RAW = "raw 1 MiB writes"
# A ferrant text line of the enabled case, byte for byte.
RAW_LINE = b'time=2024-05-01T12:34:56.123456+02:00 level=info name=app msg="user bob logged in"\n'


@dataclass
class Entry:
    label: str
    factory: C.Factory
    style: str  # "percent" or "brace" message templates
    threads: int = 1
    peer: bool = False  # peers run fewer calls: they are 50-200x slower
    raw: bool = False  # no logger: the same bytes written in 1 MiB writes
    method: str = ""  # instead of the case's method
    call: tuple[Any, ...] | None = None  # instead of the case's arguments
    compare: str = ""  # the contender whose time this one's is told against in ns


@dataclass
class Case:
    key: str
    title: str
    method: str
    percent: tuple[Any, ...]
    brace: tuple[Any, ...]
    fmt: str = "text"
    expect_lines: bool = True
    entries: list[Entry] = field(default_factory=list)
    floor_label: str = ""  # what x-floor ratios divide by; default by case
    ferrant_label: str = ""  # what peers are compared with; default by case
    last_line: bool = False  # keep each run's last line for the case's self-check
    unavailable: dict[str, str] = field(default_factory=dict)  # contender -> why it cannot run
    thread_pair: tuple[str, str] | None = None  # (one thread, four threads): x_single_thread_call


_LOOPS: dict[tuple[Any, ...], Callable[[Any, int], None]] = {}


def make_loop(method: str | None, call: tuple[Any, ...], style: str = "percent") -> Callable[[Any, int], None]:
    """The same loop for every contender: only the constants differ. The
    "preformat" style formats the template with its arguments (a local, so
    the compiler cannot fold it) and passes the one str."""
    key = (method, style, *call)
    if key not in _LOOPS:
        head = "def loop(obj, n):\n"
        if method is None:
            body = "pass"
        elif style == "preformat" and len(call) > 1:
            head = f"def loop(obj, n, a={call[1:]!r}):\n"
            body = f"obj.{method}({call[0]!r} % a)"
        else:
            body = f"obj.{method}({', '.join(map(repr, call))})"
        src = f"{head}    for _ in range(n):\n        {body}\n"
        scope: dict[str, Any] = {}
        exec(compile(src, f"<loop {method}>", "exec"), scope)
        _LOOPS[key] = scope["loop"]
    return _LOOPS[key]


def count_lines(path: Path | None) -> int | None:
    if path is None or not path.exists():
        return None
    lines = 0
    with open(path, "rb") as f:
        while chunk := f.read(1 << 24):
            lines += chunk.count(b"\n")
    return lines


def raw_write(directory: Path, n: int) -> dict[str, Any]:
    """The limit of the destination: n lines' bytes in 1 MiB writes."""
    path = directory / f"raw-{time.monotonic_ns()}.log"
    per = (1 << 20) // len(RAW_LINE)
    chunk = RAW_LINE * per
    fd = os.open(path, os.O_WRONLY | os.O_CREAT | os.O_APPEND, 0o644)
    t0 = time.perf_counter_ns()
    left = n
    while left > 0:
        piece = chunk if left >= per else RAW_LINE * left
        os.write(fd, piece)
        left -= per
    os.close(fd)
    t1 = time.perf_counter_ns()
    lines = count_lines(path)
    path.unlink()
    return {"n": n, "timed_n": n, "call_ns": (t1 - t0) / n, "e2e_ns": (t1 - t0) / n, "lines": lines}


def run_once(case: Case, entry: Entry, directory: Path, n: int) -> dict[str, Any]:
    if entry.raw:
        return raw_write(directory, n)
    obj, finish, output = entry.factory(directory, case.fmt)
    method = None if entry.label == EMPTY else entry.method or case.method
    call = entry.call or (case.brace if entry.style == "brace" else case.percent)
    loop = make_loop(method, call, entry.style)
    loop(obj, 64)  # let the interpreter specialise the call site
    gc.collect()
    gc.disable()
    try:
        if entry.threads == 1:
            t0 = time.perf_counter_ns()
            loop(obj, n)
            t1 = time.perf_counter_ns()
        else:
            per = n // entry.threads
            n = per * entry.threads
            gate = threading.Barrier(entry.threads + 1)

            def work() -> None:
                gate.wait()
                loop(obj, per)

            workers = [threading.Thread(target=work) for _ in range(entry.threads)]
            for w in workers:
                w.start()
            gate.wait()
            t0 = time.perf_counter_ns()
            for w in workers:
                w.join()
            t1 = time.perf_counter_ns()
        finish()
        t2 = time.perf_counter_ns()
    finally:
        gc.enable()
    path = output()
    lines = count_lines(path)
    res: dict[str, Any] = {"n": n + 64, "timed_n": n, "call_ns": (t1 - t0) / n, "e2e_ns": (t2 - t0) / n, "lines": lines}
    if case.last_line:
        res["last_line"] = F.last_line(path)
    if path is not None and path.exists():
        path.unlink()
    return res


def build_cases(floor_mod: Any, peers: dict[str, tuple[C.Factory, str]]) -> list[Case]:
    floor = C.make_floor_factory(floor_mod)
    base = [Entry(EMPTY, C.make_empty_loop, "percent"), Entry(FLOOR, floor, "percent"),
            Entry(FERRANT, C.make_ferrant, "percent")]
    text_peers = [Entry(name, fac, style, peer=True) for name, (fac, style) in peers.items()]
    json_peers = [Entry(name, fac, style, peer=True) for name, (fac, style) in peers.items()
                  if name in ("structlog", "loguru", "logly")]
    # picologging 0.9 deadlocks with several threads: its handler takes a native
    # mutex while holding the GIL, and the file write releases the GIL inside it.
    thread_peers = [Entry(f"{name} x4", fac, style, threads=4, peer=True)
                    for name, (fac, style) in peers.items()
                    if name in ("stdlib logging", "logly", "spdlog sync", "spdlog async")]
    one = ("user %s logged in", "bob")
    long_text = "user bob logged in from 10.1.2.3 after 2 tries"
    one_b = ("user {} logged in", "bob")
    # Behind the stdlib Logger every call costs microseconds: all run peer-sized.
    bridge = [Entry(BRIDGE_FLOOR, B.make_noop, "percent", peer=True),
              Entry(HANDLER, B.make_ferrant, "percent", peer=True),
              Entry(f"{HANDLER}, lean records", B.make_ferrant_lean, "percent", peer=True),
              Entry("stdlib FileHandler", C.make_stdlib, "percent", peer=True)]
    emit = [Entry(FLOOR, B.emit_floor_factory(floor_mod), "percent", peer=True),
            Entry(HANDLER, B.make_ferrant_emit, "percent", peer=True),
            Entry("stdlib FileHandler", B.make_stdlib_emit, "percent", peer=True)]
    if "picologging" in peers:
        bridge.append(Entry("picologging", C.make_picologging, "percent", peer=True))
        emit.append(Entry("picologging FileHandler", B.make_picologging_emit, "percent", peer=True))
    record = (Source("obj.record"),)
    # logging's own call, accelerated, beside the same call without it and
    # the other handlers behind it.
    accel = [Entry(FLOOR, floor, "percent"), Entry(FERRANT, C.make_ferrant, "percent"),
             Entry(B.ACCEL, B.make_accelerated, "percent"),
             Entry(B.PLAIN, B.make_not_accelerated, "percent", peer=True),
             Entry("stdlib FileHandler", C.make_stdlib, "percent", peer=True)]
    if "picologging" in peers:
        accel.append(Entry("picologging", C.make_picologging, "percent", peer=True))
    accel_dropped = [Entry(FLOOR, floor, "percent"), Entry(B.ACCEL, B.make_accelerated, "percent"),
                     Entry(B.PLAIN, B.make_not_accelerated, "percent", peer=True)]
    accel_threads = [Entry(f"{FLOOR} x4", floor, "percent", threads=4),
                     Entry(f"{B.ACCEL} x1", B.make_accelerated, "percent"),
                     Entry(f"{B.ACCEL} x4", B.make_accelerated, "percent", threads=4)]
    return [
        Case("enabled", 'info("user %s logged in", "bob")', "info", one, one_b,
             entries=base + text_peers),
        Case("dropped", "debug(...) below the level", "debug", one, one_b, expect_lines=False,
             entries=base + text_peers),
        Case("no_arg", 'info("user logged in")', "info", ("user logged in",), ("user logged in",),
             entries=base + text_peers),
        # The f-string shape: the caller builds the text, so it arrives long and argument-free.
        Case("long_message", 'info("<a 46-byte text, as an f-string makes it>")', "info",
             (long_text,), (long_text,), entries=base + text_peers),
        Case("three_args", 'info("user %d took %f s: %s", 42, 1.5, "bob")', "info",
             ("user %d took %f s: %s", 42, 1.5, "bob"), ("user {:d} took {:f} s: {}", 42, 1.5, "bob"),
             entries=base + text_peers),
        Case("json", "info, JSON lines", "info", one, one_b, fmt="json",
             entries=base + json_peers),
        Case("threads", "info from 4 threads at once", "info", one, one_b,
             entries=[Entry(f"{FLOOR} x4", floor, "percent", threads=4),
                      Entry(f"{FERRANT} x1", C.make_ferrant, "percent"),
                      Entry(f"{FERRANT} x4", C.make_ferrant, "percent", threads=4)] + thread_peers),
        Case("e2e", "info, long run", "info", one, one_b,
             entries=[Entry(FLOOR, floor, "percent"), Entry(FERRANT, C.make_ferrant, "percent"),
                      Entry(RAW, C.make_empty_loop, "percent", raw=True)]),
        Case("bridge", 'logging.getLogger("app").info("user %s logged in", "bob")', "info", one, one_b,
             entries=bridge, floor_label=BRIDGE_FLOOR, ferrant_label=HANDLER),
        Case("bridge_emit", "the handler alone: handler.handle(record)", "handle", record, record,
             entries=emit, ferrant_label=HANDLER),
        Case("accelerated", 'logging.getLogger("app.db").info("user %s logged in", "bob"), accelerated',
             "info", one, one_b, entries=accel, ferrant_label=B.ACCEL),
        Case("accelerated_dropped", 'logging.getLogger("app.db").debug(...) below the level, accelerated',
             "debug", one, one_b, expect_lines=False, entries=accel_dropped, ferrant_label=B.ACCEL),
        Case("accelerated_threads", "the accelerated call from 4 threads at once", "info", one, one_b,
             entries=accel_threads, floor_label=f"{FLOOR} x4", ferrant_label=f"{B.ACCEL} x1",
             thread_pair=(f"{B.ACCEL} x1", f"{B.ACCEL} x4")),
    ] + fields_cases(floor)


def fields_cases(floor: C.Factory) -> list[Case]:
    """Records with key/value fields, each case with the empty method called
    with the same arguments as its floor."""
    call = (F.MESSAGE, *F.kw(F.FIELDS))
    why = F.context_available()
    cases = []
    for fmt in ("text", "json"):
        entries = [Entry(FLOOR, floor, "percent"), Entry(F.LOGGER, F.make_logger, "percent"),
                   Entry(F.BOUND, F.make_bound, "percent", compare=F.LOGGER)]
        if not why:
            entries.append(Entry(F.CONTEXT, F.make_context, "percent", compare=F.LOGGER))
        if fmt == "json":
            peers, _ = F.available_json_peers()
            entries += [Entry(name, fac, "percent", peer=True, method=method, call=args)
                        for name, (fac, method, args) in peers.items()]
        title = f'info("request done", path=..., status=..., ms=...), {fmt}'
        cases.append(Case(f"fields_{fmt}", title, "info", call, call, fmt=fmt, entries=entries,
                          ferrant_label=F.LOGGER, last_line=True,
                          unavailable={F.CONTEXT: why} if why else {}))
    settings = [Entry(FLOOR, floor, "percent"), Entry(F.LOGGER, F.make_logger, "percent"),
                Entry(F.SERVICE, F.make_service, "percent", compare=F.LOGGER),
                Entry(F.REDACTING, F.make_redacting, "percent", compare=F.LOGGER)]
    why_not_traced = F.trace_available()
    if not why_not_traced:
        settings.append(Entry(F.TRACED, F.make_traced, "percent", compare=F.LOGGER))
    cases.append(Case("fields_settings", 'info("request done", path=..., ...), with basic_config\'s settings',
                      "info", call, call, fmt="text", entries=settings, ferrant_label=F.LOGGER,
                      last_line=True,
                      unavailable={F.TRACED: why_not_traced} if why_not_traced else {}))
    one = ("user %s logged in", "bob")
    cases.append(Case("fields_percent", 'info("user %s logged in", "bob"), Logger and PyLogger', "info", one, one,
                      entries=[Entry(FLOOR, floor, "percent"), Entry(F.PYLOGGER, C.make_ferrant, "percent"),
                               Entry(F.LOGGER, F.make_logger, "percent", compare=F.PYLOGGER)],
                      ferrant_label=F.LOGGER, last_line=True))
    cases.append(Case("fields_dropped", "debug(..., path=..., status=..., ms=...) below the level", "debug",
                      call, call, expect_lines=False, ferrant_label=F.LOGGER,
                      entries=[Entry(FLOOR, floor, "percent"), Entry(F.LOGGER, F.make_logger, "percent")]))
    return cases


def select(cases: list[Case], names: str) -> list[Case]:
    """The cases named in a comma-separated list; "fields" and "accelerated"
    name their groups."""
    wanted = set(names.split(","))
    if "fields" in wanted:
        wanted |= set(F.GROUP)
    if "accelerated" in wanted:
        wanted |= set(B.ACCEL_GROUP)
    unknown = wanted - {c.key for c in cases} - {"fields"}
    if unknown:
        raise SystemExit(f"unknown cases: {', '.join(sorted(unknown))}")
    return [c for c in cases if c.key in wanted]


def machine() -> dict[str, Any]:
    model = "unknown"
    try:
        for line in Path("/proc/cpuinfo").read_text().splitlines():
            if line.startswith("model name"):
                model = line.split(":", 1)[1].strip()
                break
    except OSError:
        pass
    return {
        "cpu": model,
        "cores": os.cpu_count(),
        "python": platform.python_version(),
        "implementation": platform.python_implementation(),
        "platform": platform.platform(),
        "loadavg_at_start": list(os.getloadavg()),
        "versions": C.versions(),
    }


def med(xs: list[float]) -> float:
    return statistics.median(xs) if xs else float("nan")


def ratios(a: list[float], b: list[float]) -> list[float]:
    return [x / y for x, y in zip(a, b) if y > 0]


def summarise(case: Case, raw: dict[str, list[dict[str, Any]]]) -> dict[str, Any]:
    col = {lab: {k: [r[k] for r in runs] for k in ("call_ns", "e2e_ns")} for lab, runs in raw.items()}
    base_label = case.floor_label or (f"{FLOOR} x4" if case.key == "threads" else FLOOR)
    ferrant_label = case.ferrant_label or (f"{FERRANT} x1" if case.key == "threads" else FERRANT)
    base = col.get(base_label)
    fer = col.get(ferrant_label)
    rows: dict[str, Any] = {}
    for lab, c in col.items():
        row: dict[str, Any] = {"call_ns": med(c["call_ns"]), "e2e_ns": med(c["e2e_ns"])}
        if base:
            row["call_x_floor"] = med(ratios(c["call_ns"], base["call_ns"]))
            row["e2e_x_floor"] = med(ratios(c["e2e_ns"], base["e2e_ns"]))
        # Peers are compared with ferrant run the same way (threaded with threaded).
        peer_fer = col.get(f"{FERRANT} x4") if lab.endswith(" x4") else fer
        if peer_fer and lab not in (EMPTY, FLOOR, RAW, base_label) and not lab.startswith(FERRANT):
            # How many ferrant calls fit in one call of this peer.
            row["ferrant_speedup_call"] = med(ratios(c["call_ns"], peer_fer["call_ns"]))
            row["ferrant_speedup_e2e"] = med(ratios(c["e2e_ns"], peer_fer["e2e_ns"]))
        row["e2e_over_call"] = med(ratios(c["e2e_ns"], c["call_ns"]))
        rows[lab] = row
    for e in case.entries:
        if e.compare in col and e.label in rows:
            rows[e.label]["ns_over"] = med([a - b for a, b in zip(col[e.label]["call_ns"], col[e.compare]["call_ns"])])
            rows[e.label]["ns_over_label"] = e.compare
    if case.key == "e2e" and RAW in col and fer:
        rows[FERRANT]["e2e_x_raw"] = med(ratios(fer["e2e_ns"], col[RAW]["e2e_ns"]))
    if case.thread_pair and all(lab in col for lab in case.thread_pair):
        one, four = case.thread_pair
        rows[four]["x_single_thread_call"] = med(ratios(col[four]["call_ns"], col[one]["call_ns"]))
        rows[four]["x_single_thread_e2e"] = med(ratios(col[four]["e2e_ns"], col[one]["e2e_ns"]))
    if case.key == "threads" and f"{FERRANT} x4" in col and fer:
        rows[f"{FERRANT} x4"]["x_single_thread_call"] = med(ratios(col[f"{FERRANT} x4"]["call_ns"], fer["call_ns"]))
        rows[f"{FERRANT} x4"]["x_single_thread_e2e"] = med(ratios(col[f"{FERRANT} x4"]["e2e_ns"], fer["e2e_ns"]))
    return rows


def fmt_ns(v: float | None) -> str:
    if v is None or v != v:
        return "-"
    return f"{v:,.1f}" if v < 1000 else f"{v:,.0f}"


def fmt_x(v: float | None) -> str:
    return "-" if v is None or v != v else f"{v:.2f}x" if v < 100 else f"{v:.0f}x"


def print_table(cases: list[Case], summary: dict[str, dict[str, Any]], sizes: dict[str, dict[str, int]]) -> str:
    out: list[str] = []
    head = (f"| {'contender':<35} | {'calls':>10} | {'call ns':>9} | {'x empty method':>14} | {'end-to-end ns':>13} | "
            f"{'e2e x empty':>11} | {'ferrant faster':>14} | {'ns over':>8} |")
    for case in cases:
        rows = summary.get(case.key)
        if not rows:
            continue
        floor = f" (x columns: ratios to the {case.floor_label})" if case.floor_label else ""
        out.append(f"\n{case.key}: {case.title}{floor}\n")
        out.append(head)
        out.append("|" + "|".join("-" * (len(c)) for c in head.split("|")[1:-1]) + "|")
        for lab, r in rows.items():
            speed = r.get("ferrant_speedup_call")
            over = "-" if r.get("ns_over") is None else f"{r['ns_over']:+.1f}"
            out.append(
                f"| {lab:<35} | {sizes[case.key][lab]:>10,} | {fmt_ns(r['call_ns']):>9} | {fmt_x(r.get('call_x_floor')):>14} | "
                f"{fmt_ns(r['e2e_ns']):>13} | {fmt_x(r.get('e2e_x_floor')):>11} | {fmt_x(speed):>14} | {over:>8} |"
            )
        for lab, why in case.unavailable.items():
            out.append(f"| {lab:<35} | {why}")
    text = "\n".join(out)
    print(text)
    return text


def spdlog_min(summary: dict[str, dict[str, Any]]) -> float | None:
    got = [summary.get("enabled", {}).get(lab, {}).get("ferrant_speedup_call")
           for lab in ("spdlog sync", "spdlog async")]
    got = [g for g in got if g is not None]
    return min(got) if got else None


def targets(summary: dict[str, dict[str, Any]]) -> list[dict[str, Any]]:
    def get(case: str, lab: str, key: str) -> float | None:
        return summary.get(case, {}).get(lab, {}).get(key)

    checks = [
        ("enabled info ≤ 2.5x empty method (calling thread)", get("enabled", FERRANT, "call_x_floor"), "<=", 2.5),
        ("dropped call ≤ 1.1x empty method", get("dropped", FERRANT, "call_x_floor"), "<=", 1.1),
        ("≥ 100x stdlib logging (enabled, calling thread)", get("enabled", "stdlib logging", "ferrant_speedup_call"), ">=", 100),
        ("≥ 50x picologging (enabled, calling thread)", get("enabled", "picologging", "ferrant_speedup_call"), ">=", 50),
        ("≥ 100x logly (enabled, calling thread)", get("enabled", "logly", "ferrant_speedup_call"), ">=", 100),
        ("≥ 6x the spdlog wrapper, sync and async (enabled)", spdlog_min(summary), ">=", 6),
        ("4 threads ≤ 1.5x single thread per call", get("threads", f"{FERRANT} x4", "x_single_thread_call"), "<=", 1.5),
        ("end to end ≤ 1.2x calling thread (long run)", get("e2e", FERRANT, "e2e_over_call"), "<=", 1.2),
        ("Handler ≥ 3x stdlib FileHandler (whole call)", get("bridge", "stdlib FileHandler", "ferrant_speedup_call"), ">=", 3),
        ("Handler ≥ 1x picologging's whole call", get("bridge", "picologging", "ferrant_speedup_call"), ">=", 1),
        ("Handler alone ≥ 3x stdlib FileHandler alone", get("bridge_emit", "stdlib FileHandler", "ferrant_speedup_call"), ">=", 3),
    ]
    res = []
    for text, value, op, limit in checks:
        ok = None if value is None else (value <= limit if op == "<=" else value >= limit)
        res.append({"target": text, "measured": value, "op": op, "limit": limit, "met": ok})
    return res


def run_child(mode: str, extra: list[str], env_add: dict[str, str] | None = None) -> dict[str, Any]:
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(filter(None, [str(HERE.parent), env.get("PYTHONPATH", "")]))
    if env_add:
        env.update(env_add)
    proc = subprocess.run([sys.executable, "-m", "bench.child", mode, *extra], env=env,
                          capture_output=True, text=True)
    if proc.returncode != 0:
        return {"error": proc.stderr.strip()[-2000:]}
    return json.loads(proc.stdout.strip().splitlines()[-1])


def run_seeds(ap: argparse.ArgumentParser, args: argparse.Namespace) -> int:
    try:
        chosen = seeds.parse_seeds(args.hash_seeds)
    except ValueError as exc:
        ap.error(str(exc))
    passthrough = ["--quick"] if args.quick else []
    for flag in ("rounds", "n", "peer_n"):
        if getattr(args, flag) is not None:
            passthrough += ["--" + flag.replace("_", "-"), str(getattr(args, flag))]
    result = seeds.run(chosen, passthrough)
    print(seeds.describe(result))
    Path(args.out).parent.mkdir(parents=True, exist_ok=True)
    Path(args.out).write_text(json.dumps(result, indent=1))
    print(f"\nraw figures: {args.out}")
    return 1 if result["errors"] else 0


def main(argv: list[str] | None = None) -> int:
    ap = argparse.ArgumentParser(prog="python -m bench", description=__doc__,
                                 formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--quick", action="store_true", help="short run: fewer rounds and calls")
    ap.add_argument("--out", default=str(HERE / "results.json"), help="raw figures as JSON (default bench/results.json)")
    ap.add_argument("--rounds", type=int, help="rounds (default 9, quick 3)")
    ap.add_argument("--n", type=int, help="calls per round for ferrant and the floor (default 1,000,000)")
    ap.add_argument("--peer-n", type=int, help="calls per round for the peers (default 100,000)")
    ap.add_argument("--long-n", type=int, help="records per round in the end-to-end case (default 10,000,000)")
    ap.add_argument("--mem-n", type=int, help="records for the RSS run (default 10,000,000)")
    ap.add_argument("--alloc-n", type=int, help="records per contender for allocation counts (default 1,000,000)")
    ap.add_argument("--cases", help="comma-separated subset of cases; \"fields\" names the cases with fields")
    ap.add_argument("--no-memory", action="store_true", help="skip the RSS and allocation runs")
    ap.add_argument("--latency-records", type=int,
                    help="records of the idle latency run, one per 100 ms; the 1,000/s and 100,000/s runs "
                         "last as long, at most 3 and 2 s (default 100, quick 30; 0 skips them)")
    ap.add_argument("--hash-seeds", nargs="?", const=",".join(map(str, seeds.DEFAULT_SEEDS)),
                    metavar="S,S,...",
                    help="only the fields cases, once per PYTHONHASHSEED (default 0-4), and the worst "
                         "figure of each target")
    args = ap.parse_args(argv)
    if args.hash_seeds is not None:
        return run_seeds(ap, args)
    q = args.quick
    rounds = args.rounds or (3 if q else 9)
    n = args.n or (100_000 if q else 1_000_000)
    peer_n = args.peer_n or (10_000 if q else 100_000)
    long_n = args.long_n or (1_000_000 if q else 10_000_000)
    mem_n = args.mem_n or (1_000_000 if q else 10_000_000)
    alloc_n = args.alloc_n or (100_000 if q else 1_000_000)

    info = machine()
    print(f"machine: {info['cpu']}, {info['cores']} cores, {info['implementation']} {info['python']}, {info['platform']}")
    print(f"load average at start: {' '.join(f'{x:.2f}' for x in info['loadavg_at_start'])}")
    print("versions: " + ", ".join(f"{k} {v}" for k, v in info["versions"].items()))
    floor_mod = native.load_floor()
    peers, missing = C.available_peers()
    for name, why in missing.items():
        print(f"peer missing: {name} ({why})")
    cases = build_cases(floor_mod, peers)
    for name, why in F.available_json_peers()[1].items():
        print(f"peer missing: {name} ({why})")
    if args.cases:
        cases = select(cases, args.cases)
    sizes = {c.key: {e.label: (long_n if c.key == "e2e" else peer_n if e.peer else n) for e in c.entries}
             for c in cases}
    print(f"rounds {rounds}; calls per round: ferrant/floor {n:,}, peers {peer_n:,}, long run {long_n:,}")

    raw: dict[str, dict[str, list[dict[str, Any]]]] = {c.key: {e.label: [] for e in c.entries} for c in cases}
    warnings: list[str] = []
    checks: dict[str, dict[str, str]] = {}  # case -> contender -> the last round's self-check
    workdir = Path(tempfile.mkdtemp(prefix="ferrant-bench-"))
    try:
        for r in range(1, rounds + 1):
            for case in cases:
                parts = []
                # Every other round in reverse: whoever runs first in a round
                # may meet costs the others do not (the long run's first file
                # growth onto memory the VM has not backed yet, for one).
                order = case.entries if r % 2 else case.entries[::-1]
                for e in order:
                    size = sizes[case.key][e.label]
                    res = run_once(case, e, workdir, size)
                    raw[case.key][e.label].append(res)
                    parts.append(f"{e.label} {res['call_ns']:.0f}")
                    if res["lines"] is not None:
                        want = res["n"] if case.expect_lines else 0
                        slack = 64 * e.threads if e.threads > 1 else 0
                        if not (want - slack <= res["lines"] <= want):
                            warnings.append(f"round {r} {case.key} {e.label}: {res['lines']} lines, expected {want}")
                print(f"round {r}/{rounds} {case.key:<10} ns/call: " + ", ".join(parts), flush=True)
                if case.last_line:
                    lines = {lab: runs[-1].get("last_line") for lab, runs in raw[case.key].items()}
                    for lab, verdict in F.check(case.key, lines).items():
                        checks.setdefault(case.key, {})[lab] = verdict
                        if verdict != "ok":
                            warnings.append(f"round {r} {case.key} {lab}: {verdict}")
    finally:
        shutil.rmtree(workdir, ignore_errors=True)

    summary = {c.key: summarise(c, raw[c.key]) for c in cases}
    print(f"\nmedians over {rounds} rounds; ratios are medians of per-round ratios "
          "(\"ferrant faster\" = peer time / ferrant time, calling thread)")
    table = print_table(cases, summary, sizes)
    for w in warnings:
        print("warning: " + w)

    memory: dict[str, Any] = {}
    allocs: dict[str, Any] = {}
    if not args.no_memory:
        print(f"\nmemory: ferrant, {mem_n:,} records to a file (separate process)")
        memory = run_child("rss", ["--n", str(mem_n)])
        if "error" in memory:
            print("  rss run failed: " + memory["error"])
        else:
            for s in memory["samples"]:
                when = "shutdown" if s.get("after_shutdown") else f"{s['records']:,} records"
                print(f"  after {when:>18}: RSS {s['rss_kib'] / 1024:8.1f} MiB, peak {s['hwm_kib'] / 1024:8.1f} MiB")
        print(f"\nallocations per record (malloc/calloc/realloc/memalign, all threads), {alloc_n:,} records after warm-up")
        shim = native.build_alloc_shim()
        allocs = run_child("allocs", ["--n", str(alloc_n)], {"LD_PRELOAD": str(shim)})
        if "error" in allocs:
            print("  allocation run failed: " + allocs["error"])
        else:
            for lab, a in allocs["contenders"].items():
                print(f"  {lab:<16} {a['per_record_all']:8.4f} per record (calling thread {a['per_record_caller']:.4f})")

    lat: list[dict[str, Any]] = []
    lat_n = args.latency_records if args.latency_records is not None else (30 if q else 100)
    if lat_n > 0:
        lat = latency.measure_loads(lat_n / 10)
        print("\n" + "\n".join(latency.describe(r) for r in lat))

    tg = targets(summary) if not args.cases else []
    if any(c.key in B.ACCEL_GROUP for c in cases):
        tg += B.accel_targets(summary, allocs)
    unavailable = {c.key: c.unavailable for c in cases if c.unavailable}
    if any(c.key in F.GROUP for c in cases):
        tg += F.targets(summary, allocs, unavailable)
    if tg:
        print("\ntargets:")
        for t in tg:
            mark = "n/a" if t["met"] is None else ("met" if t["met"] else "NOT met")
            why = f" ({t['why']})" if t.get("why") else ""
            print(f"  {t['target']:<55} measured {F.measured(t):>9}  {mark}{why}")

    result = {
        "machine": info,
        "config": {"rounds": rounds, "n": n, "peer_n": peer_n, "long_n": long_n, "mem_n": mem_n,
                   "alloc_n": alloc_n, "quick": q, "argv": sys.argv[1:]},
        "missing_peers": missing,
        "cases": {c.key: {"title": c.title, "raw": raw[c.key], "summary": summary[c.key],
                          "unavailable": c.unavailable} for c in cases},
        "checks": checks,
        "memory": memory,
        "allocations": allocs,
        "latency": lat,
        "targets": tg,
        "warnings": warnings,
        "table": table,
    }
    Path(args.out).parent.mkdir(parents=True, exist_ok=True)
    Path(args.out).write_text(json.dumps(result, indent=1))
    print(f"\nraw figures: {args.out}")
    return 0
