"""Records around local midnight under a faked clock (libfaketime): each one
in the file of the day its own time carries, whichever thread wrote it and
however late its batch reached the writer; a clock stepped back a little
does not reopen a finished day, and a clock that jumps days ahead leaves no
files for the days in between.

The faked clock follows an offset file that the child rewrites to step it, with
FAKETIME_NO_CACHE so that a step is seen at the next read. The monotonic
clock is left real (FAKETIME_DONT_FAKE_MONOTONIC): a real step of the wall
clock never moves it, and ferrant extrapolates between wall-clock reads by
it. Under that setting this libfaketime fails time.sleep with EINVAL, so the
child waits with select."""

import glob
import json
import os
import re
import time
from collections import Counter, defaultdict
from datetime import datetime, timezone

import pytest

LIBRARY = sorted(glob.glob("/usr/lib/*/faketime/libfaketime.so.1"))
pytestmark = [
    pytest.mark.skipif(not LIBRARY, reason="libfaketime is not installed"),
    # The sanitizer run preloads its runtimes, which must come first.
    pytest.mark.skipif("libasan" in os.environ.get("LD_PRELOAD", ""),
                       reason="libfaketime after the sanitizers' preloaded runtimes"),
]

DAY, NEXT_DAY = "20261209", "20261210"
MIDNIGHT = datetime(2026, 12, 10, tzinfo=timezone.utc).timestamp()
HOUR = 3600.0

# Four threads at about 3,000 records/s in all; the slowest rarely fills a
# batch, so its batches reach the writer late, by the idle hand-over.
CHILD = """
import json, os, select, sys, threading, time
plan = json.loads(sys.argv[1])
offset_file = os.environ["FAKETIME_TIMESTAMP_FILE"]

def pause(seconds):
    select.select([], [], [], seconds)

def shift(seconds):
    # Replaced whole: libfaketime reads the file at every clock read.
    with open(offset_file) as f:
        offset = float(f.read())
    with open(offset_file + ".new", "w") as f:
        f.write(f"{offset + seconds:+.6f}\\n")
    os.replace(offset_file + ".new", offset_file)

if plan["api"] == "PyLogger":
    from ferrant._logger import PyLogger, basic_config
    basic_config(format=plan["layout"])
    log = PyLogger(None, plan["path"])
    def record(t, s, p):
        log.info("t%d s%d p%d", t, s, p)
else:
    import ferrant
    ferrant.basic_config(path=plan["path"], format=plan["layout"])
    log = ferrant.get_logger("day")
    def record(t, s, p):
        log.info("t%d s%d p%d", t, s, p, k=s)

phase = 0
running = True
counts = [0] * 4

def work(t, pace):
    s = 0
    while running:
        record(t, s, phase)
        s += 1
        pause(pace)
    counts[t] = s

threads = [threading.Thread(target=work, args=(t, pace))
           for t, pace in enumerate([0.001, 0.001, 0.002, 0.02])]
for thread in threads:
    thread.start()
for kind, value in plan["events"]:
    if kind == "until":  # the faked clock reaches `value`
        while time.time() < value:
            pause(0.005)
    elif kind == "wait":  # real seconds
        pause(value)
    else:  # step the clock by `value` seconds; records made after carry a new phase
        phase += 1
        pause(0.2)
        shift(value)
running = False
for thread in threads:
    thread.join()
with open("counts.json", "w") as f:
    json.dump(counts, f)
"""

TEXT = re.compile(r'time=(\S+) level=info (?:name=day )?msg="(t\d+ s\d+ p\d+)"(?: k=\d+)?')
MESSAGE = re.compile(r"t(\d+) s(\d+) p(\d+)")


def parse(line):
    """(time text, thread, sequence, phase) of one whole record line."""
    if line.startswith("{"):
        record = json.loads(line)
        stamp, message = record["time"], record["msg"]
    else:
        m = TEXT.fullmatch(line)
        assert m, f"not a whole record: {line!r}"
        stamp, message = m[1], m[2]
    m = MESSAGE.fullmatch(message)
    assert m, line
    return (stamp, *map(int, m.groups()))


def day_of(stamp):
    return stamp[:10].replace("-", "")


def seconds_of(stamp):
    return datetime.fromisoformat(stamp).timestamp()


def faked(run, tmp_path, sizes, *, api, layout, path, start, events):
    """Runs the child with the faked clock at `start` when it is launched;
    returns its standard output and each thread's record count."""
    offset_file = tmp_path / "faketime.offset"
    offset_file.write_text(f"{start - time.time():+.6f}\n")
    plan = {"api": api, "layout": layout, "path": path, "events": events}
    env = {
        "LD_PRELOAD": LIBRARY[0],
        "FAKETIME_TIMESTAMP_FILE": str(offset_file),
        "FAKETIME_NO_CACHE": "1",
        "FAKETIME_DONT_FAKE_MONOTONIC": "1",
        "TZ": "UTC",
    }
    proc = run(f"import sys; sys.argv[1:] = [{json.dumps(plan)!r}]\n" + CHILD,
               env=env, timeout=sizes.timeout(60))
    counts = json.loads((tmp_path / "counts.json").read_text())
    return proc.stdout, counts


def records_by_file(directory):
    """{day of the file's name: parsed records}; every file a dated one
    holding whole lines only."""
    files = {}
    for name in sorted(os.listdir(directory)):
        m = re.fullmatch(r"app_(\d{8})\.log", name)
        assert m, f"unexpected file {name}"
        data = (directory / name).read_bytes()
        assert data == b"" or data.endswith(b"\n"), f"{name} ends in a torn line"
        files[m[1]] = [parse(line) for line in data.decode().splitlines()]
    return files


def require_faked_times(records, hours):
    """Skips when a record's time lies more than `hours` from the faked
    midnight: libfaketime, re-reading its file at every clock read from
    several threads, once gave a process the real time, which this test
    cannot tell from a misfiled record."""
    far = [stamp for stamp, *_ in records if abs(seconds_of(stamp) - MIDNIGHT) > hours * HOUR]
    if far:
        pytest.skip(f"the faked clock gave {len(far)} records the real time, e.g. {far[0]}")


def assert_complete(records, counts):
    """Each thread's records 0..count-1, each exactly once."""
    seen = Counter((t, s) for _, t, s, _ in records)
    assert max(seen.values()) == 1, [k for k, n in seen.items() if n > 1][:5]
    assert sorted(seen) == [(t, s) for t, n in enumerate(counts) for s in range(n)]


def assert_near_midnight(records):
    """Records within 100 ms on each side of midnight, from every thread on
    both days: a run that missed the boundary proves nothing."""
    offsets = [seconds_of(stamp) - MIDNIGHT for stamp, _, _, phase in records if phase == 0]
    assert any(-0.1 <= o < 0 for o in offsets) and any(0 <= o < 0.1 for o in offsets)
    days = defaultdict(set)
    for stamp, t, _, _ in records:
        days[t].add(day_of(stamp))
    assert all({DAY, NEXT_DAY} <= days[t] for t in range(4)), dict(days)


def misplaced(files, expected_day):
    """Records in another file than `expected_day` gives, by (file, expected)."""
    wrong = Counter()
    for day, records in files.items():
        for record in records:
            if expected_day(record) != day:
                wrong[(day, expected_day(record))] += 1
    return dict(wrong)


@pytest.mark.parametrize("api, layout, to_file", [
    ("PyLogger", "logfmt", True),
    ("PyLogger", "json", True),
    ("Logger", "json", True),
    ("Logger", "logfmt", False),
])
def test_every_record_lands_in_its_own_days_file(run, tmp_path, sizes, api, layout, to_file):
    out, counts = faked(run, tmp_path, sizes, api=api, layout=layout,
                        path="logs/app.log" if to_file else None,
                        start=MIDNIGHT - 1.3, events=[["until", MIDNIGHT + 1.0]])
    if to_file:
        files = records_by_file(tmp_path / "logs")
        records = [r for day in files.values() for r in day]
        require_faked_times(records, 1)
        assert misplaced(files, lambda r: day_of(r[0])) == {}
        assert set(files) == {DAY, NEXT_DAY}
    else:
        assert out.endswith(b"\n")
        records = [parse(line) for line in out.decode().splitlines()]
        assert not (tmp_path / "logs").exists()
    assert_complete(records, counts)
    assert_near_midnight(records)


@pytest.mark.parametrize("api, layout, back, held", [
    # Within the hour: the day already begun keeps the records.
    ("Logger", "logfmt", 2.5, True),
    # Further: a correction, and the records go by their time again.
    ("PyLogger", "json", 2 * HOUR, False),
])
def test_clock_stepped_back_across_midnight(run, tmp_path, sizes, api, layout, back, held):
    # The step comes 0.2 s after the order, and is seen within about a second.
    after_step = [["until", MIDNIGHT + 0.2]] if back < 60 else [["wait", 1.5]]
    _, counts = faked(run, tmp_path, sizes, api=api, layout=layout, path="logs/app.log",
                      start=MIDNIGHT - 1.3,
                      events=[["until", MIDNIGHT + 0.8], ["step", -back], *after_step])
    files = records_by_file(tmp_path / "logs")
    records = [r for day in files.values() for r in day]
    require_faked_times(records, 3)
    assert_complete(records, counts)
    assert_near_midnight(records)
    # Stamped on the earlier day after the process had seen the later one.
    behind = [r for r in records if r[3] == 1 and day_of(r[0]) == DAY]
    assert behind, "the step was never seen"

    def expected_day(record):
        stamp, _, _, phase = record
        return NEXT_DAY if held and phase == 1 else day_of(stamp)

    assert misplaced(files, expected_day) == {}
    assert set(files) == {DAY, NEXT_DAY}


def test_clock_jumping_days_ahead_makes_no_files_for_the_days_between(run, tmp_path, sizes):
    _, counts = faked(run, tmp_path, sizes, api="PyLogger", layout="json", path="logs/app.log",
                      start=MIDNIGHT - 1.2,
                      events=[["until", MIDNIGHT + 0.6], ["step", 3 * 24 * HOUR], ["wait", 1.5]])
    files = records_by_file(tmp_path / "logs")
    records = [r for day in files.values() for r in day]
    assert_complete(records, counts)
    assert misplaced(files, lambda r: day_of(r[0])) == {}
    assert {day_of(r[0]) for r in records} == {DAY, NEXT_DAY, "20261213"}
    assert set(files) == {DAY, NEXT_DAY, "20261213"}
