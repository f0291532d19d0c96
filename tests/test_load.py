"""Many threads logging at once: every record arrives exactly once, whole,
parseable and in its thread's order, in a dated file and on standard output
redirected to a file, in text and in JSON."""

import json
import re
import subprocess
import sys

import pytest

from lines import parse_logfmt

# Quotes, a backslash, '=', spaces and non-ASCII: everything the text layout
# has to escape or keep intact, around the (thread, sequence) id.
MESSAGE = 'id {t} {i} say "hi" \\ a=b ünï ✓'
ID = re.compile(r"id (\d+) (\d+) ")

LOAD = """
import sys, threading, time, ferrant
ferrant.basic_config(format={fmt!r})
log = ferrant.PyLogger("load", path={path!r})

def work(t):
    info = log.info
    for i in range({records}):
        info('id %d %d say "hi" \\\\ a=b ünï ✓', t, i)

threads = [threading.Thread(target=work, args=(t,)) for t in range({threads})]
start = time.monotonic()
for th in threads:
    th.start()
for th in threads:
    th.join()
print("logged", {threads} * {records}, "in", round(time.monotonic() - start, 2), "s", file=sys.stderr)
"""

SHORT_THREADS = """
import threading, ferrant
ferrant.basic_config(format={fmt!r})
log = ferrant.PyLogger("load", path={path!r})

def work(t):
    for i in range(5):
        log.info('id %d %d say "hi" \\\\ a=b ünï ✓', t, i)

for group in range(0, 1000, 100):
    threads = [threading.Thread(target=work, args=(t,)) for t in range(group, group + 100)]
    for th in threads:
        th.start()
    for th in threads:
        th.join()
"""

DESTINATIONS = ["file", "stdout"]
FORMATS = ["logfmt", "json"]


def decode(line, fmt):
    if fmt == "json":
        record = json.loads(line)
        assert list(record) == ["time", "level", "name", "msg"], line
    else:
        pairs = parse_logfmt(line)
        assert [k for k, _ in pairs] == ["time", "level", "name", "msg"], line
        record = dict(pairs)
    assert record["level"] == "info" and record["name"] == "load", line
    return record["msg"]


def check_output(output, fmt, threads, records):
    """Streams the output once: each id exactly once and in order per thread.
    Returns the number of lines read."""
    last = [-1] * threads
    count = 0
    with open(output, "rb") as f:
        for raw in f:
            assert raw.endswith(b"\n"), f"line {count + 1} is not whole: {raw[-80:]!r}"
            msg = decode(raw[:-1].decode("utf-8"), fmt)
            m = ID.match(msg)
            assert m, msg
            t, i = int(m.group(1)), int(m.group(2))
            assert msg == MESSAGE.format(t=t, i=i)
            assert i == last[t] + 1, f"thread {t}: {i} after {last[t]}"
            last[t] = i
            count += 1
    assert last == [records - 1] * threads
    return count


def run_child(tmp_path, code, dest, fmt, timeout):
    """Runs the child with its standard output going to a file; returns the
    file that holds the records and the child's standard error."""
    path = "logs/app.log" if dest == "file" else None
    stdout = tmp_path / "stdout.txt"
    with open(stdout, "wb") as out:
        proc = subprocess.run(
            [sys.executable, "-c", code.replace("{path!r}", repr(path)).replace("{fmt!r}", repr(fmt))],
            stdout=out,
            stderr=subprocess.PIPE,
            cwd=tmp_path,
            timeout=timeout,
        )
    assert proc.returncode == 0, proc.stderr.decode(errors="replace")
    if dest == "stdout":
        return stdout, proc.stderr
    assert stdout.stat().st_size == 0
    files = sorted((tmp_path / "logs").iterdir())
    assert files and all(re.fullmatch(r"app_\d{8}\.log", p.name) for p in files), files
    if len(files) > 1:  # the run crossed local midnight
        joined = tmp_path / "joined.log"
        joined.write_bytes(b"".join(p.read_bytes() for p in files))
        return joined, proc.stderr
    return files[0], proc.stderr


@pytest.mark.parametrize("fmt", FORMATS)
@pytest.mark.parametrize("dest", DESTINATIONS)
def test_threads_under_load(tmp_path, sizes, dest, fmt):
    threads = sizes.pick(ci=4, stress=8, light=2)
    records = sizes.pick(ci=25_000, stress=1_000_000, light=2_000)
    code = LOAD.replace("{threads}", str(threads)).replace("{records}", str(records))
    output, stderr = run_child(tmp_path, code, dest, fmt, sizes.timeout(600 if sizes.stress else 120))
    assert check_output(output, fmt, threads, records) == threads * records
    print(dest, fmt, stderr.decode().strip())


@pytest.mark.parametrize("fmt", FORMATS)
@pytest.mark.parametrize("dest", DESTINATIONS)
def test_short_threads_without_shutdown(tmp_path, sizes, dest, fmt):
    output, _ = run_child(tmp_path, SHORT_THREADS, dest, fmt, sizes.timeout(120))
    assert check_output(output, fmt, 1000, 5) == 5000
