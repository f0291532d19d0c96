"""Retention and compression of dated files, done by the writer: across
several midnights under libfaketime, whose faked date the child moves by
rewriting the file it reads the time from."""

import glob
import gzip
import os

import pytest

import ferrant
from ferrant import _logger

LIBRARY = sorted(glob.glob("/usr/lib/*/faketime/libfaketime.so.1"))


@pytest.mark.parametrize(
    "kwargs,exc,fragment",
    [
        ({"retention_days": 0}, ValueError, "between 1 and"),
        ({"retention_days": -3}, ValueError, "between 1 and"),
        ({"retention_days": 2**31}, ValueError, "between 1 and"),
        ({"retention_days": True}, TypeError, "argument 'retention_days'"),
        ({"retention_days": 1.5}, TypeError, "argument 'retention_days'"),
        ({"compress": 1}, TypeError, "argument 'compress'"),
        ({"compress": None}, TypeError, "argument 'compress'"),
        # Refused by the native call after the retention was set: put back.
        ({"path": 1, "retention_days": 4, "compress": True}, TypeError, "argument 'path'"),
    ],
)
def test_refused_arguments_change_no_setting(kwargs, exc, fragment):
    with pytest.raises(exc, match=fragment):
        ferrant.basic_config(**kwargs)
    assert _logger._set_retention(None, False) == (None, False)


CHILD = """
import os, shutil, time
import ferrant

def uptime():
    with open("/proc/uptime") as f:
        return float(f.read().split()[0])

def wait_for(check, what):
    # Timed by /proc/uptime: the faked clocks stand still or jump.
    deadline = uptime() + 15
    while not check():
        if uptime() > deadline:
            raise SystemExit(f"timed out waiting for {what}: {sorted(os.listdir('logs'))}")
        time.sleep(0.05)

def set_day(day):
    # Replaced, never rewritten: a clock read of a half-written file is the
    # real time, and a record of today would open today's file.
    clock = os.environ["FAKETIME_TIMESTAMP_FILE"]
    with open(clock + ".new", "w") as f:
        f.write(f"@2024-03-{day:02d} 12:00:00\\n")
    os.replace(clock + ".new", clock)

def text(day):
    try:
        with open(f"logs/app_202403{day:02d}.log") as f:
            return f.read()
    except FileNotFoundError:
        return ""

set_day(10)
ferrant.basic_config(path="logs/app.log", batch_size=1, retention_days=2, compress=True)
log = ferrant.get_logger("t")
for day in (10, 11, 12, 13):
    set_day(day)
    wait_for(lambda: os.path.exists(f"logs/app_202403{day:02d}.log"), f"the file of {day}")
    log.info("day %d", day)
    wait_for(lambda: f"day {day}" in text(day), f"the line of {day}")
    wait_for(lambda: os.path.exists(f"logs/app_202403{day - 1:02d}.log.gz"), f"{day - 1} gzipped")
    wait_for(lambda: not os.path.exists(f"logs/app_202403{day - 3:02d}.log.gz"), f"{day - 3} removed")
    if day == 12:
        # What could not be removed goes at a later pass once it can.
        shutil.rmtree("logs/app_20240302.log")
        open("logs/app_20240302.log", "w").close()
wait_for(lambda: not os.path.exists("logs/app_20240302.log"), "the retried removal")
log.shutdown()
"""


@pytest.mark.clockbound
@pytest.mark.skipif(not LIBRARY, reason="libfaketime is not installed")
@pytest.mark.skipif("libasan" in os.environ.get("LD_PRELOAD", ""),
                    reason="libfaketime after the sanitizers' preloaded runtimes")
def test_old_days_go_and_finished_days_are_gzipped_across_midnights(run, tmp_path, sizes):
    logs = tmp_path / "logs"
    logs.mkdir()
    unrelated = ["other_20240301.log", "app_20240301.txt", "notes.txt", "app_20240301.log.bak",
                 "app_2024030.log", "app_20241301.log"]
    for name in unrelated + ["app_20240301.log", "app_20240307.log.gz", "app_20240308.log",
                             "app_20240309.log"]:
        (logs / name).write_text(name + "\n")
    # A directory cannot be unlinked, and one at the temporary name stops a
    # compression: both fail for root too.
    (logs / "app_20240302.log").mkdir()
    (logs / "app_20240302.log" / "x").write_text("")
    (logs / "app_20240308.log.gz.tmp").mkdir()
    clock = tmp_path / "clock"
    clock.write_text("@2024-03-10 12:00:00\n")

    proc = run(CHILD, env={"LD_PRELOAD": LIBRARY[0], "FAKETIME_TIMESTAMP_FILE": str(clock),
                           "FAKETIME_NO_CACHE": "1"}, timeout=sizes.timeout(120))

    assert sorted(p.name for p in logs.iterdir()) == sorted(unrelated + [
        "app_20240308.log.gz.tmp", "app_20240311.log.gz", "app_20240312.log.gz",
        "app_20240313.log"])
    for name in unrelated:
        assert (logs / name).read_text() == name + "\n"
    for day in (11, 12):
        with gzip.open(logs / f"app_202403{day}.log.gz", "rt") as f:
            lines = f.read().splitlines()
        assert len(lines) == 1 and lines[0].endswith(f'msg="day {day}"'), lines
    assert 'msg="day 13"' in (logs / "app_20240313.log").read_text()
    errors = proc.stderr.decode().splitlines()
    # Each failure once, though the removal failed at the passes of days 10 and 11.
    assert errors == [
        'error removing: Is a directory (os error 21) for "logs/app_20240302.log"',
        'error compressing: Is a directory (os error 21) for "logs/app_20240308.log"',
    ], errors


def test_environment_sets_the_retention_and_code_wins(run):
    proc = run(
        """
        import ferrant
        from ferrant import _logger
        print(_logger._set_retention(None, False))
        ferrant.basic_config(retention_days=3)
        print(_logger._set_retention(None, False))
        """,
        env={"FERRANT_RETENTION_DAYS": "7", "FERRANT_COMPRESS": "yes"},
    )
    assert proc.stdout.decode().split("\n")[:2] == ["(7, True)", "(3, True)"]
