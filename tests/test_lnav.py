"""The shipped lnav format, installed with the documented command into a
throw-away home and read by the real lnav."""

import json
import os
import shutil
import subprocess
import sys
from datetime import datetime
from zoneinfo import ZoneInfo

import pytest

from lines import dated_bytes

pytestmark = pytest.mark.skipif(
    shutil.which("lnav") is None, reason="lnav is not installed (apt-get install lnav)"
)

WRITER_TZ = "America/New_York"
VIEWER_TZ = "Asia/Tokyo"

RECORDS = [
    ("info", "app.db", "user bob logged in"),
    ("warning", "app.db", "disk 91% full"),
    ("error", None, 'failed:\n"x"\tdone'),
    ("debug", "a b", "spaced name"),
    ("trace", "", "empty name"),
    ("warn", "x=y", "é ☃"),
]

LAYOUTS = {
    "text": dict(format="logfmt", unix_ts=False, color="off"),
    "text-unix": dict(format="logfmt", unix_ts=True, color="off"),
    "colour": dict(format="logfmt", unix_ts=False, color="always"),
    "colour-unix": dict(format="logfmt", unix_ts=True, color="always"),
    "json": dict(format="json", unix_ts=False, color="auto"),
    "json-unix": dict(format="json", unix_ts=True, color="auto"),
}


@pytest.fixture(scope="module")
def lnav_home(tmp_path_factory):
    home = tmp_path_factory.mktemp("home")
    # Python may need the sanitizer runtimes preloaded; lnav 0.11 hangs with them.
    proc = subprocess.run(
        ["bash", "-c", f'env -u LD_PRELOAD lnav -i "$("{sys.executable}" -m ferrant.lnav)"'],
        env={**os.environ, "HOME": str(home)},
        capture_output=True,
        text=True,
        timeout=60,
    )
    assert proc.returncode == 0, proc.stdout + proc.stderr
    assert list(home.glob(".lnav/formats/installed/*.json")), proc.stderr
    return home


def write_layout(run, directory, layout):
    run(
        f"""
        from ferrant import PyLevel, PyLogger, basic_config
        basic_config(**{LAYOUTS[layout]!r})
        path = {str(directory / "app.log")!r}
        for method, name, message in {RECORDS!r}:
            getattr(PyLogger(name, path, level=PyLevel.Trace), method)(message)
        """,
        env={"TZ": WRITER_TZ},
    )
    return dated_bytes(directory)


def lnav_rows(home, table, data):
    proc = subprocess.run(
        ["lnav", "-n", "-c", f";SELECT log_level, log_time, name, log_body FROM {table}",
         "-c", ":write-json-to -"],
        input=data,
        env={"HOME": str(home), "TZ": VIEWER_TZ, "PATH": "/usr/bin:/bin"},
        capture_output=True,
        timeout=60,
    )
    assert proc.returncode == 0, proc.stderr.decode(errors="replace")
    return json.loads(proc.stdout) if proc.stdout.strip() else []


@pytest.mark.parametrize("layout", LAYOUTS)
def test_lnav_reads_level_time_and_name(run, tmp_path, lnav_home, layout):
    data = write_layout(run, tmp_path, layout)
    if not layout.startswith("json"):
        data = subprocess.run(
            [sys.executable, "-m", "ferrant.to_json"], input=data, capture_output=True,
            check=True, timeout=60,
        ).stdout
    records = [json.loads(line) for line in data.splitlines()]
    unix = layout.endswith("unix")
    rows = lnav_rows(lnav_home, "ferrant_json_epoch" if unix else "ferrant_json_local", data)

    assert len(rows) == len(RECORDS), rows
    for row, record, (method, name, message) in zip(rows, records, RECORDS):
        assert row["log_level"] == ("warning" if method == "warn" else method)
        assert row["name"] == name
        assert row["log_body"] == message
        shown = datetime.strptime(row["log_time"], "%Y-%m-%d %H:%M:%S.%f")
        if unix:
            # An instant, shown in the viewer's zone.
            expected = datetime.fromtimestamp(record["time"], ZoneInfo(VIEWER_TZ))
            assert abs(shown - expected.replace(tzinfo=None)).total_seconds() < 0.002, row
        else:
            # lnav 0.11 keeps the writer's wall-clock time and ignores the offset.
            assert row["log_time"] == record["time"][:10] + " " + record["time"][11:23]
