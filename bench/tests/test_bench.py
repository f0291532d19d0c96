"""Checks that the benchmark runs and that its arithmetic says what it claims.

Run with: python -m pytest bench/tests   (after pip install '.[bench]')
"""

from __future__ import annotations

import json
import os
import subprocess
import sys
from pathlib import Path

import pytest

from bench import bridge as B
from bench import fields as F
from bench import report, run, seeds

ROOT = Path(__file__).resolve().parents[2]


def test_loop_is_the_same_code_for_every_contender() -> None:
    calls: list[tuple[object, ...]] = []

    class Probe:
        def info(self, *a: object) -> None:
            calls.append(a)

    run.make_loop("info", ("user %s logged in", "bob"))(Probe(), 3)
    assert calls == [("user %s logged in", "bob")] * 3
    a = run.make_loop("info", ("x %s", 1))
    b = run.make_loop("info", ("y %s", 2))
    assert a.__code__.co_code == b.__code__.co_code


def test_preformat_loop_formats_at_each_call() -> None:
    calls: list[tuple[object, ...]] = []

    class Probe:
        def info(self, *a: object) -> None:
            calls.append(a)

    loop = run.make_loop("info", ("user %s took %d", "bob", 3), "preformat")
    loop(Probe(), 2)
    assert calls == [("user bob took 3",)] * 2
    # The % is done in the loop, not folded into a constant by the compiler.
    assert "user bob took 3" not in loop.__code__.co_consts
    run.make_loop("info", ("no args",), "preformat")(Probe(), 1)
    assert calls[-1] == ("no args",)


def test_ratios_are_per_round_then_median() -> None:
    case = run.Case("enabled", "t", "info", ("m",), ("m",))
    raw = {
        run.FLOOR: [{"call_ns": 10.0, "e2e_ns": 10.0}, {"call_ns": 20.0, "e2e_ns": 20.0},
                    {"call_ns": 10.0, "e2e_ns": 10.0}],
        run.FERRANT: [{"call_ns": 20.0, "e2e_ns": 30.0}, {"call_ns": 60.0, "e2e_ns": 60.0},
                      {"call_ns": 25.0, "e2e_ns": 25.0}],
        "stdlib logging": [{"call_ns": 2000.0, "e2e_ns": 2000.0}] * 3,
    }
    rows = run.summarise(case, raw)
    # per-round ratios 2, 3, 2.5: the median is 2.5, unlike 25/10 from the medians
    assert rows[run.FERRANT]["call_x_floor"] == pytest.approx(2.5)
    assert rows[run.FERRANT]["e2e_over_call"] == pytest.approx(1.0)
    # peer time over ferrant time: 100, 33.3, 80
    assert rows["stdlib logging"]["ferrant_speedup_call"] == pytest.approx(80.0)
    assert "ferrant_speedup_call" not in rows[run.FLOOR]
    met = {t["target"]: t["met"] for t in run.targets({"enabled": rows})}
    assert met["enabled info ≤ 2.5x empty method (calling thread)"] is True
    assert met["≥ 100x stdlib logging (enabled, calling thread)"] is False
    assert met["dropped call ≤ 1.1x empty method"] is None


def test_tiny_run_end_to_end(tmp_path: Path) -> None:
    pytest.importorskip("ferrant")
    out = tmp_path / "r.json"
    env = dict(os.environ, PYTHONPATH=str(ROOT))
    proc = subprocess.run(
        [sys.executable, "-m", "bench", "--rounds", "1", "--n", "3000", "--peer-n", "300",
         "--long-n", "5000", "--mem-n", "20000", "--alloc-n", "20000", "--latency-records", "5", "--out", str(out)],
        cwd=ROOT, env=env, capture_output=True, text=True, timeout=300,
    )
    assert proc.returncode == 0, proc.stderr
    assert "round 1/1 enabled" in proc.stdout
    res = json.loads(out.read_text())
    assert set(res["cases"]) == {"enabled", "dropped", "no_arg", "long_message", "three_args", "json", "threads", "e2e",
                                 "bridge", "bridge_emit", *B.ACCEL_GROUP, *F.GROUP}
    # Every record reached its file and nothing was counted twice.
    assert res["warnings"] == []
    enabled = res["cases"]["enabled"]["raw"][run.FERRANT][0]
    assert enabled["lines"] == enabled["n"] == 3000 + 64
    assert res["cases"]["dropped"]["raw"][run.FERRANT][0]["lines"] == 0
    # Both handler cases write every record through ferrant.Handler, and the
    # emit case's stdlib handler is the same FileHandler as the whole call's.
    for key in ("bridge", "bridge_emit"):
        for label in (run.HANDLER, "stdlib FileHandler"):
            one = res["cases"][key]["raw"][label][0]
            assert one["lines"] == one["n"] == 300 + 64, (key, label)
    # logging's own call writes every record, accelerated or not, and none below the level.
    for label in (B.ACCEL, B.PLAIN):
        one = res["cases"]["accelerated"]["raw"][label][0]
        assert one["lines"] == one["n"], label
        assert res["cases"]["accelerated_dropped"]["raw"][label][0]["lines"] == 0, label
    assert res["cases"]["accelerated_threads"]["raw"][f"{B.ACCEL} x4"][0]["lines"] == 3000 + 64
    samples = res["memory"]["samples"]
    assert samples[-1]["records"] == 20000 and all(s["rss_kib"] > 0 for s in samples)
    counts = res["allocations"]["contenders"]
    assert counts["empty method"]["allocs_all"] == 0
    # stdlib logging mallocs on every record: the shim must see it.
    assert counts["stdlib logging"]["per_record_all"] >= 1
    assert len(res["targets"]) == 11 + 5 + 17
    assert all(t["measured"] is not None for t in res["targets"][11:16])
    # Every fields target has its figure, or says why it has none.
    for t in res["targets"][16:]:
        assert (t["measured"] is not None) != ("why" in t), t
    assert {lab for lab in F.ALLOC_LABELS} <= set(counts)
    # Each contender of the fields cases wrote the call's fields (and the
    # bound logger exactly its fields' bytes more) in the timed run itself.
    assert res["checks"]["fields_json"] == {lab: "ok" for lab in res["cases"]["fields_json"]["summary"]
                                            if lab != run.FLOOR}
    assert {"structlog", "loguru", "logly", F.STDLIB_JSON} <= set(res["checks"]["fields_json"])
    assert set(res["checks"]["fields_text"].values()) == {"ok"}
    # The handler cases get their own table, not a row of the peers' one.
    table = report.markdown(res).split("Behind `logging`")
    assert len(table) == 2 and "handler.handle(record)" not in table[0]
    rows = {line.split(" | ")[0]: line.rstrip(" |").split(" | ")[1:] for line in table[1].splitlines()
            if line.startswith("| ")}
    assert "-" not in rows["| ferrant.Handler"] + rows["| stdlib FileHandler"]
    assert rows["| ferrant.Handler"][1] == rows["| ferrant.Handler"][3] == "1.00x"
    # Every record of the three loads reached the file, the idle ones by
    # waiting in an open batch.
    assert [r["records"] for r in res["latency"]] == [5, 500, 50000]
    assert all(r["seen"] == r["records"] and 0 < r["max_s"] < 10 for r in res["latency"])
    # Every peer's lines were counted, and the raw writes wrote every line.
    e2e = res["cases"]["e2e"]["raw"]
    assert e2e[run.RAW][0]["lines"] == e2e[run.RAW][0]["n"] == 5000
    enabled_raw = res["cases"]["enabled"]["raw"]
    for peer in res["cases"]["enabled"]["summary"]:
        if peer not in (run.EMPTY, run.FLOOR, run.FERRANT) and peer not in res["missing_peers"]:
            assert enabled_raw[peer][0]["lines"] == 300 + 64, peer


def test_fields_group_and_ns_over() -> None:
    floor = run.C.make_floor_factory(object())
    cases = run.build_cases(object(), {})
    assert [c.key for c in run.select(cases, "fields,enabled")] == ["enabled", *F.GROUP]
    with pytest.raises(SystemExit):
        run.select(cases, "fieldz")
    bound = next(e for e in run.fields_cases(floor)[0].entries if e.label == F.BOUND)
    case = run.Case("fields_text", "t", "info", ("m",), ("m",), entries=[bound])
    raw = {F.LOGGER: [{"call_ns": v, "e2e_ns": v} for v in (100.0, 200.0, 100.0)],
           F.BOUND: [{"call_ns": v, "e2e_ns": v} for v in (104.0, 190.0, 106.0)]}
    rows = run.summarise(case, raw)
    # per-round differences 4, -10, 6: the median is 4, not 106 - 100
    assert rows[F.BOUND]["ns_over"] == pytest.approx(4.0)
    got = {t["target"]: t["met"] for t in F.targets({"fields_text": rows}, {}, {})}
    assert got["10 bound fields ≤ +5 ns (text)"] is True
    assert got["10 bound fields ≤ +5 ns (json)"] is None


TEXT = 'time=2024-05-01T12:34:56.123456+02:00 level=info name=app msg="request done"'
JSON = '{"time":"2024-05-01T12:34:56.123456+02:00","level":"info","name":"app","msg":"request done"'


@pytest.mark.parametrize("key,label,line,fault", [
    ("fields_text", F.BOUND, TEXT + F.text_bytes(F.BOUND_FIELDS) + F.text_bytes(F.FIELDS), None),
    # One bound field short, or one byte too many: the length tells.
    ("fields_text", F.BOUND, TEXT + F.text_bytes(dict(list(F.BOUND_FIELDS.items())[1:])) + F.text_bytes(F.FIELDS),
     "bytes more"),
    ("fields_json", F.BOUND, JSON + F.json_bytes(F.BOUND_FIELDS) + F.json_bytes(F.FIELDS) + " }", "bytes more"),
    ("fields_json", F.BOUND, JSON + F.json_bytes(F.BOUND_FIELDS) + F.json_bytes(F.FIELDS) + "}", None),
    ("fields_json", "loguru", '{"record": {"extra": {"name": "app", "path": "/api/items", "status": 200, "ms": 12.5}}}',
     None),
    ("fields_json", "logly", '{"extra": {"ms": "12.5", "path": "/api/items", "status": "200"}}', None),
    # ferrant's values keep their JSON types.
    ("fields_json", F.LOGGER, JSON + ',"path":"/api/items","status":"200","ms":12.5}', "missing"),
    ("fields_json", "structlog", '{"event": "request done", "path": "/api/items"}', "missing"),
    ("fields_json", "structlog", "request done path=/api/items", "not a JSON line"),
    ("fields_percent", F.LOGGER, TEXT.replace("request done", "user bob"), "differs"),
])
def test_fields_self_check(key: str, label: str, line: str, fault: str | None) -> None:
    plain = {"fields_text": TEXT + F.text_bytes(F.FIELDS), "fields_json": JSON + F.json_bytes(F.FIELDS) + "}",
             "fields_percent": TEXT.replace("request done", "user bob logged in")}[key]
    verdict = F.check(key, {F.LOGGER if key != "fields_percent" else F.PYLOGGER: plain, label: line})[label]
    assert verdict == "ok" if fault is None else fault in verdict


@pytest.mark.parametrize(
    "op,values,expect",
    [
        ("<=", {0: 1.0, 1: 3.0, 2: 2.0}, (3.0, True)),
        ("<=", {0: 1.0, 1: 9.0}, (9.0, False)),
        (">=", {0: 150.0, 1: 90.0}, (90.0, False)),
        ("<=", {0: 1.0, 1: None}, (None, None)),
    ],
)
def test_hash_seeds_report_the_worst_seed(op: str, values: dict, expect: tuple) -> None:
    runs = {seed: [{"target": "t", "op": op, "limit": 5 if op == "<=" else 100, "measured": v}]
            for seed, v in values.items()}
    [row] = seeds.worst(runs)
    assert (row["measured"], row["met"]) == expect
    assert row["by_seed"] == values
    # A seed whose run failed leaves the target without a worst.
    [partial] = seeds.worst({**runs, 9: []})
    assert partial["measured"] is None


def test_hash_seeds_run_each_seed_in_its_own_process(tmp_path: Path) -> None:
    pytest.importorskip("ferrant")
    out = tmp_path / "s.json"
    env = dict(os.environ, PYTHONPATH=str(ROOT))
    proc = subprocess.run(
        [sys.executable, "-m", "bench", "--hash-seeds", "3,7", "--rounds", "1", "--n", "2000",
         "--peer-n", "200", "--out", str(out)],
        cwd=ROOT, env=env, capture_output=True, text=True, timeout=300,
    )
    assert proc.returncode == 0, proc.stderr + proc.stdout
    res = json.loads(out.read_text())
    assert res["errors"] == {} and res["seeds"] == [3, 7]
    bound = [t for t in res["targets"] if t["target"].startswith("10 bound fields")]
    assert len(bound) == 2
    for t in bound:
        assert set(t["by_seed"]) == {"3", "7"} and t["measured"] == max(t["by_seed"].values())
