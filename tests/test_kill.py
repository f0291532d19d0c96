"""A process killed with SIGKILL while it logs heavily leaves a file of whole
records: what reached the file is a prefix of each thread's sequence.

A kill cannot tear a line inside what was written, but a write() of many
pages to a regular file can stop early at a page boundary when a fatal signal
arrives, so the bytes after the last line feed may be the start of a line."""

import json
import random
import re
import signal
import subprocess
import sys
import time

import pytest

from lines import dated_bytes, parse_logfmt

pytestmark = pytest.mark.clockbound

HEAVY = """
import threading, ferrant
ferrant.basic_config(format={fmt!r})
log = ferrant.PyLogger("kill", path="logs/app.log")

def work(t):
    i = 0
    while True:
        log.info('id %d %d "q" ü=✓ \\\\', t, i)
        i += 1

for t in range(4):
    threading.Thread(target=work, args=(t,)).start()
"""

ID = re.compile(r'id (\d+) (\d+) "q" ü=✓ \\$')


def written(directory):
    return directory.is_dir() and any(p.stat().st_size for p in directory.iterdir())


def kill_once(tmp_path, fmt, window, timeout):
    """Kills a heavily logging child at a random moment after its first
    write; returns the dated file's bytes."""
    child = subprocess.Popen([sys.executable, "-c", HEAVY.format(fmt=fmt)], cwd=tmp_path,
                             stderr=subprocess.PIPE)
    try:
        deadline = time.monotonic() + timeout
        # Sizes only: reading a file that grows faster than it can be read
        # never reaches its end.
        while not written(tmp_path / "logs"):
            assert child.poll() is None, child.stderr.read().decode(errors="replace")
            assert time.monotonic() < deadline, "nothing written"
            time.sleep(0.01)
        time.sleep(random.random() * window)
    finally:
        child.send_signal(signal.SIGKILL)
        child.wait()
        child.stderr.close()
    assert child.returncode == -signal.SIGKILL
    return dated_bytes(tmp_path / "logs")


def check_prefix(data, fmt):
    """Every whole line parses and each thread's ids run 0, 1, 2, ...
    Returns (whole lines, length of an unterminated tail)."""
    whole, _, tail = data.rpartition(b"\n")
    last = {}
    lines = whole.split(b"\n") if whole else []
    for raw in lines:
        line = raw.decode("utf-8")
        msg = json.loads(line)["msg"] if fmt == "json" else dict(parse_logfmt(line))["msg"]
        m = ID.fullmatch(msg)
        assert m, line
        t, i = int(m.group(1)), int(m.group(2))
        assert i == last.get(t, -1) + 1, f"thread {t}: {i} after {last.get(t)}"
        last[t] = i
    return len(lines), len(tail)


@pytest.mark.parametrize("fmt", ["logfmt", "json"])
def test_kill_while_logging_leaves_whole_lines(tmp_path, sizes, fmt):
    repetitions = sizes.pick(ci=5, stress=50, light=2)  # per format
    # Seconds of logging after the first write: the file grows ~100 MB/s.
    window = sizes.pick(ci=0.1, stress=0.5)
    torn = []
    for k in range(repetitions):
        workdir = tmp_path / f"run{k}"
        workdir.mkdir()
        data = kill_once(workdir, fmt, window, sizes.timeout(30))
        lines, tail = check_prefix(data, fmt)
        assert lines > 0
        if tail:
            torn.append((len(data), tail))
    # (file size, unterminated bytes) of each torn tail, for the record.
    print(f"{fmt}: {repetitions} kills, unterminated tails: {torn}")
