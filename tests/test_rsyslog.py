"""ferrant's dated JSON files shipped by the real rsyslogd with the
configurations `python -m ferrant.rsyslog` prints: a shipper and a central
rsyslogd on 127.0.0.1, each with its work directory and pid file under
tmp_path (no /dev/log, no system files)."""

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

SBIN_PATH = os.environ.get("PATH", "") + ":/usr/sbin:/sbin"
RSYSLOGD = shutil.which("rsyslogd", path=SBIN_PATH)

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
    return subprocess.run([RSYSLOGD, "-N1", "-f", str(path)], capture_output=True, text=True, timeout=60)


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
