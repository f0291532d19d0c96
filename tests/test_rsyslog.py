"""ferrant's dated JSON files shipped by the real rsyslogd with the
configurations `python -m ferrant.rsyslog` prints: a shipper and a central
rsyslogd on 127.0.0.1, each with its work directory and pid file under
tmp_path (no /dev/log, no system files)."""

import contextlib
import glob
import json
import os
import re
import shutil
import signal
import socket
import subprocess
import sys
import time
from collections import Counter
from datetime import datetime
from pathlib import Path

import pytest

from lines import dated_lines
from test_day_boundary import (
    DAY, LIBRARY, MIDNIGHT, NEXT_DAY, assert_complete, assert_near_midnight, day_of, faked, misplaced,
    records_by_file, require_faked_times,
)

SBIN_PATH = os.environ.get("PATH", "") + ":/usr/sbin:/sbin"
RSYSLOGD = shutil.which("rsyslogd", path=SBIN_PATH)

# Not the sanitizer runtimes that the instrumented run preloads for Python.
RSYSLOGD_ENV = {k: v for k, v in os.environ.items() if k != "LD_PRELOAD"}

pytestmark = pytest.mark.skipif(
    RSYSLOGD is None, reason="rsyslogd is not installed (apt-get install rsyslog)"
)

SYSLOG_SEVERITY = {"error": 3, "warn": 4, "info": 6, "debug": 7, "trace": 7}
OTEL_SEVERITY = {"trace": 1, "debug": 5, "info": 9, "warn": 13, "error": 17}


def generate(*args, cwd=None):
    return subprocess.run(
        [sys.executable, "-m", "ferrant.rsyslog", *map(str, args)],
        capture_output=True, text=True, check=True, timeout=60, cwd=cwd,
    ).stdout


def check_config(path):
    return subprocess.run([RSYSLOGD, "-N1", "-f", str(path)], capture_output=True, text=True,
                          timeout=60, env=RSYSLOGD_ENV)


@pytest.mark.parametrize("path", ["app.log", "logs/app", "app.tar.gz", ".hidden", "out/", "a.b/c"])
def test_glob_matches_exactly_the_dated_files(run, tmp_path, path):
    run(f'import ferrant; ferrant.PyLogger("x", {path!r}).info("one")')
    written = {str(p) for p in tmp_path.rglob("*") if p.is_file()}
    assert len(written) == 1
    directory = Path(next(iter(written))).parent
    for neighbour in ["app.log", "app_2026120.log", "app_202612089.log", "app_2026120x.log",
                      "app_20261208.log.1.gz", "_20261208.txt", "c_20261208"]:
        if not (directory / neighbour).exists():
            (directory / neighbour).write_text("not a dated file of the path\n")
    config = generate("shipper", "--path", path, "--target", "h:1", cwd=tmp_path)
    pattern = re.search(r'input\(type="imfile" file="([^"]*)"', config)[1]
    assert os.path.isabs(pattern)
    assert set(glob.glob(pattern)) == written


@pytest.mark.parametrize("args", [
    ["shipper", "--path", "{d}/my logs/\"q\"/app.log", "--target", "127.0.0.1:5514"],
    ["shipper", "--path", "app", "--target", "[::1]:6514"],
    ["central", "--port", "5514", "--out", "{d}/all.json"],
    ["central", "--port", "5514", "--address", "127.0.0.1", "--out", "{d}/all.json",
     "--ecs", "{d}/ecs.json", "--otel", "{d}/otel.json"],
])
def test_rsyslogd_accepts_the_configs(tmp_path, args):
    conf = tmp_path / "rsyslog.conf"
    conf.write_text(generate(*[a.format(d=tmp_path) for a in args], "--workdir", tmp_path))
    proc = check_config(conf)
    assert proc.returncode == 0 and "error" not in proc.stderr.lower(), proc.stderr


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def wait_for(condition, timeout, what):
    deadline = time.monotonic() + timeout
    while not condition():
        if time.monotonic() > deadline:
            raise AssertionError(f"no {what} within {timeout} s")
        time.sleep(0.05)


def listening(port):
    try:
        socket.create_connection(("127.0.0.1", port), timeout=1).close()
        return True
    except OSError:
        return False


class Rsyslogd:
    """One rsyslogd in the foreground, its files under `directory`."""

    def __init__(self, directory, config):
        self.directory = Path(directory)
        (self.directory / "work").mkdir(parents=True, exist_ok=True)
        self.conf = self.directory / "rsyslog.conf"
        self.conf.write_text(config)
        self.proc = None

    def start(self):
        self.log = open(self.directory / "rsyslogd.out", "ab")
        self.proc = subprocess.Popen(
            [RSYSLOGD, "-n", "-f", str(self.conf), "-i", str(self.directory / "rsyslogd.pid")],
            stdin=subprocess.DEVNULL, stdout=self.log, stderr=subprocess.STDOUT, env=RSYSLOGD_ENV,
        )

    def stop(self):
        if self.proc is None:
            return
        try:
            self.proc.send_signal(signal.SIGTERM)
            self.proc.wait(timeout=20)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait()
        finally:
            self.proc = None
            self.log.close()

    def output(self):
        return (self.directory / "rsyslogd.out").read_text(errors="replace")


@pytest.fixture
def pipeline(tmp_path):
    """A central rsyslogd writing all.json, ecs.json and otel.json, and a
    shipper following tmp_path/logs/app.log's dated files."""
    port = free_port()
    central = Rsyslogd(tmp_path / "central", generate(
        "central", "--port", port, "--address", "127.0.0.1", "--workdir", tmp_path / "central" / "work",
        "--out", tmp_path / "all.json", "--ecs", tmp_path / "ecs.json", "--otel", tmp_path / "otel.json",
    ))
    shipper = Rsyslogd(tmp_path / "shipper", generate(
        "shipper", "--path", "logs/app.log", "--target", f"127.0.0.1:{port}",
        "--workdir", tmp_path / "shipper" / "work", cwd=tmp_path,
    ))
    central.port = port
    try:
        central.start()
        wait_for(lambda: listening(port), 30, "central listening")
        shipper.start()
        yield central, shipper
    finally:
        shipper.stop()
        central.stop()


# Each writer: `records` records cycling through the levels, fields that name
# it and the record, one record of ~20 KB; writer 0 writes Unix times.
WRITER = """
import sys, time
import ferrant
w, records, pace = int(sys.argv[1]), int(sys.argv[2]), float(sys.argv[3])
ferrant.basic_config(path="logs/app.log", format="json", unix_ts=w == 0)
log = ferrant.get_logger(f"w{w}", level="trace")
methods = [log.trace, log.debug, log.info, log.warning, log.error]
for i in range(records):
    methods[i % 5]("record %d of %s", i, f"w{w}", w=w, i=i, f=i / 8)
    if i == 100:
        log.error("big", w=w, i=-1, blob="é" * 10000)
    if pace:
        time.sleep(pace)
"""


def start_writers(tmp_path, n, records, pace=0.0):
    env = {k: v for k, v in os.environ.items() if not k.startswith("FERRANT_")}
    return [
        subprocess.Popen([sys.executable, "-c", WRITER, str(w), str(records), str(pace)],
                         cwd=tmp_path, env=env)
        for w in range(n)
    ]


def lines_of(path):
    """The whole lines of a file that another process may be appending to."""
    try:
        data = Path(path).read_bytes()
    except FileNotFoundError:
        return []
    return data[: data.rfind(b"\n") + 1].decode().splitlines()


def written_so_far(tmp_path):
    return sum(len(lines_of(p)) for p in (tmp_path / "logs").glob("app_*.log"))


def key(record):
    return record["w"], record["i"]


def ns_of(line):
    """The record's time in nanoseconds, exactly, from the text ferrant wrote."""
    unix = re.match(r'\{"time":(\d+)\.(\d{9}),', line)
    if unix:
        return int(unix[1]) * 10**9 + int(unix[2])
    local = datetime.fromisoformat(json.loads(line)["time"])
    return (int(local.replace(microsecond=0).timestamp()) * 10**6 + local.microsecond) * 1000


def ns_of_rfc3339(text):
    m = re.fullmatch(r"(.{19})\.(\d{6}|\d{9})(Z|[+-]\d\d:\d\d)", text)
    assert m, text
    whole = datetime.fromisoformat(m[1] + ("+00:00" if m[3] == "Z" else m[3]))
    return int(whole.timestamp()) * 10**9 + int(m[2].ljust(9, "0"))


def test_every_record_arrives_once_whole_with_its_severity(tmp_path, pipeline):
    central, shipper = pipeline
    writers = start_writers(tmp_path, 4, 3000)
    assert [p.wait(timeout=60) for p in writers] == [0] * 4
    written = dated_lines(tmp_path / "logs")
    assert len(written) == 4 * 3001
    for name in ("all.json", "ecs.json", "otel.json"):
        wait_for(lambda: len(lines_of(tmp_path / name)) >= len(written), 40,
                 f"{len(written)} records in {name} ({central.output()}{shipper.output()})")

    arrived = lines_of(tmp_path / "all.json")
    # Byte for byte as written, each once; the ~20 KB records whole.
    assert Counter(arrived) == Counter(written)
    assert sum(len(line.encode()) > 20000 for line in arrived) == 4

    by_key = {key(json.loads(line)): line for line in written}
    ecs = [json.loads(line) for line in lines_of(tmp_path / "ecs.json")]
    assert sorted(key(r) for r in ecs) == sorted(by_key)
    for r in ecs:
        line = by_key[key(r)]
        record = json.loads(line)
        assert r["log.syslog.severity.code"] == SYSLOG_SEVERITY[record["level"]]
        assert (r["log.level"], r["log.logger"], r["message"]) == (record["level"], record["name"], record["msg"])
        assert {k: r[k] for k in ("f", "blob") if k in r} == {k: record[k] for k in ("f", "blob") if k in record}
        assert ns_of_rfc3339(r["@timestamp"]) == ns_of(line), (r["@timestamp"], line[:60])

    otel = [json.loads(line) for line in lines_of(tmp_path / "otel.json")]
    assert len(otel) == len(written)
    for r in otel:
        line = by_key[key(r["Attributes"])]
        record = json.loads(line)
        assert r["Timestamp"] == ns_of(line)
        assert (r["SeverityText"], r["SeverityNumber"]) == (record["level"], OTEL_SEVERITY[record["level"]])
        assert (r["Body"], r["InstrumentationScope"]["Name"]) == (record["msg"], record["name"])


def test_central_restart_loses_only_what_was_in_flight_and_never_holds_up_the_application(
        tmp_path, pipeline):
    central, shipper = pipeline
    # About 4 s of writing: the central host goes away in the middle of it.
    writers = start_writers(tmp_path, 3, 2000, pace=0.002)
    try:
        wait_for(lambda: len(lines_of(tmp_path / "all.json")) > 500, 30, "records before the restart")
        central.stop()
        # What TCP had taken and the central host had not read when it
        # stopped is gone: plain TCP has no receipts.
        in_flight = set(dated_lines(tmp_path / "logs")) - set(lines_of(tmp_path / "all.json"))
        written_when_stopped = written_so_far(tmp_path)
        # The applications go on writing their files while nobody reads them.
        wait_for(lambda: written_so_far(tmp_path) > written_when_stopped + 1000, 30,
                 "records written while the central host is down")
        central.start()
        wait_for(lambda: listening(central.port), 30, "central listening again")
        assert [p.wait(timeout=60) for p in writers] == [0] * 3
    finally:
        for p in writers:
            p.kill()
    written = dated_lines(tmp_path / "logs")
    assert len(written) == 3 * 2001
    wait_for(lambda: set(lines_of(tmp_path / "all.json")) >= set(written) - in_flight, 40,
             f"every record after the restart ({central.output()}{shipper.output()})")
    # Those of the in-flight ones the shipper still held come too.
    with contextlib.suppress(AssertionError):
        wait_for(lambda: set(lines_of(tmp_path / "all.json")) >= set(written), 5, "")
    arrived = Counter(lines_of(tmp_path / "all.json"))
    lost = set(written) - set(arrived)
    duplicates = sum(arrived.values()) - len(arrived)
    print(f"central restart: {len(written)} records, {len(lost)} lost in flight, "
          f"{duplicates} delivered twice")
    assert set(arrived) <= set(written)
    assert lost <= in_flight


@pytest.mark.skipif(not LIBRARY, reason="libfaketime is not installed")
@pytest.mark.skipif("libasan" in os.environ.get("LD_PRELOAD", ""),
                    reason="libfaketime after the sanitizers' preloaded runtimes")
def test_records_across_the_applications_midnight_arrive_once_from_their_days_files(
        run, tmp_path, sizes, pipeline):
    central, shipper = pipeline
    # Only the application's clock is faked: the shipper sees the next day's
    # file appear and follows it by its pattern, while yesterday's may still grow.
    _, counts = faked(run, tmp_path, sizes, api="Logger", layout="json", path="logs/app.log",
                      start=MIDNIGHT - 1.3, events=[["until", MIDNIGHT + 1.0]])
    written = dated_lines(tmp_path / "logs")
    wait_for(lambda: len(lines_of(tmp_path / "all.json")) >= len(written), 20,
             f"{len(written)} records in all.json ({central.output()}{shipper.output()})")
    assert Counter(lines_of(tmp_path / "all.json")) == Counter(written)

    files = records_by_file(tmp_path / "logs")
    records = [r for day in files.values() for r in day]
    require_faked_times(records, 1)
    assert_complete(records, counts)
    assert_near_midnight(records)
    assert misplaced(files, lambda r: day_of(r[0])) == {}
    assert set(files) == {DAY, NEXT_DAY}


RECIPES = Path(__file__).resolve().parent.parent / "docs" / "recipes.md"


def recipe(name):
    m = re.search(rf"<!-- recipe: {name} -->\n```[a-z]*\n(.*?)\n```", RECIPES.read_text(), re.S)
    assert m, f"recipes.md has no recipe {name!r}"
    return m[1]


def test_recipe_shows_the_shipper_config_and_its_commands_pass_rsyslogd(tmp_path):
    assert recipe("rsyslog-shipper-conf") + "\n" == generate(
        "shipper", "--path", "/var/log/myapp/app.log", "--target", "logs.example.internal:5514"
    )
    script = recipe("rsyslog-setup").replace("/etc/rsyslog.d/", f"{tmp_path}/etc-").replace(
        "/var/log/", f"{tmp_path}/var-")
    path = f"{Path(sys.executable).parent}:{os.environ.get('PATH', '')}"
    subprocess.run(["bash", "-ec", script], env={**os.environ, "PATH": path}, check=True, timeout=60)
    conf = (tmp_path / "etc-50-ferrant.conf").read_text()
    assert "imtcp" in conf  # the central host's, written second
    for text in (conf, generate("shipper", "--path", "/var/log/myapp/app.log", "--target", "h:1")):
        path = tmp_path / "check.conf"
        path.write_text(text.replace("/var/spool/rsyslog", str(tmp_path)))
        proc = check_config(path)
        assert proc.returncode == 0 and "error" not in proc.stderr.lower(), proc.stderr
