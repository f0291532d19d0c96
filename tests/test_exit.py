"""However the interpreter ends, records logged before are written, and
threads still logging while it finalises never crash or hang it."""

import json
import signal
import subprocess
import sys
from concurrent.futures import ThreadPoolExecutor

import pytest

from lines import dated_lines

RECORDS = 20  # far below the batch size: only the exit path can write them

ENDINGS = {
    # ending: (code that ends the child, expected exit status)
    "return from main": ("main()", 0),
    "sys.exit(3)": ("main(); sys.exit(3)", 3),
    "uncaught exception": ("main(); raise RuntimeError('boom')", 1),
    "KeyboardInterrupt raised": ("main(); raise KeyboardInterrupt", -signal.SIGINT),
    "SIGINT while sleeping": ("main(); print('ready', file=sys.stderr, flush=True); time.sleep(60)",
                              -signal.SIGINT),
}

EXIT_CHILD = """
import sys, threading, time, ferrant
ferrant.basic_config(batch_size=10_000, format="json")
log = ferrant.PyLogger("exit", path={path!r})

def worker():
    for i in range(3):
        log.warn("thread %d", i)

def main():
    t = threading.Thread(target=worker)
    t.start()
    for i in range({records}):
        log.info("main %d", i)
    t.join()
    log.error("last")

{ending}
"""


@pytest.mark.parametrize("dest", ["file", "stdout"])
@pytest.mark.parametrize("ending", ENDINGS)
def test_records_logged_before_the_end_are_written(tmp_path, sizes, ending, dest):
    code, status = ENDINGS[ending]
    path = "logs/app.log" if dest == "file" else None
    child = subprocess.Popen(
        [sys.executable, "-c", EXIT_CHILD.format(path=path, records=RECORDS, ending=code)],
        cwd=tmp_path,
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
    )
    if ending == "SIGINT while sleeping":
        # Blocks until the child is in its sleep (or has died, giving b"").
        ready = child.stderr.readline()
        assert ready == b"ready\n", ready
        child.send_signal(signal.SIGINT)
    try:
        out, err = child.communicate(timeout=sizes.timeout(60))
    except subprocess.TimeoutExpired:
        child.kill()
        raise
    assert child.returncode == status, err.decode(errors="replace")
    lines = dated_lines(tmp_path / "logs") if dest == "file" else out.decode().splitlines()
    found = [json.loads(line)["msg"] for line in lines]
    main = [f"main {i}" for i in range(RECORDS)] + ["last"]
    assert [m for m in found if not m.startswith("thread")] == main
    assert sorted(m for m in found if m.startswith("thread")) == [f"thread {i}" for i in range(3)]


# Daemon threads log while the main thread returns. An argument's __str__
# gives the interpreter lock away mid-call, so some thread is inside a log
# call when finalisation ends it. `{str_result}` is what __str__ returns.
FINALISE_CHILD = """
import random, sys, threading, time, ferrant
log = ferrant.PyLogger("fin", path={path!r})

class S(str):
    def __del__(self):
        time.sleep(0)

class Yield:
    def __str__(self):
        time.sleep(0)
        return {str_result}

def spam(t):
    named = ferrant.PyLogger("t%d" % t, path={path!r})
    i = 0
    while True:
        named.info("thread %d seq %d %s", t, i, Yield())
        log.debug("%s%s", Yield(), i)
        i += 1

for t in range(16):
    threading.Thread(target=spam, args=(t,), daemon=True).start()
time.sleep(random.random() * 0.03)
"""

FATAL_TEXT = [b"Fatal Python error", b"terminate called", b"Aborted", b"Segmentation fault",
              b"exception not rethrown"]


def finalise_many(tmp_path, sizes, str_result, dest, repetitions):
    """Runs fresh children two at a time; returns the failures seen as
    (repetition, exit status or 'hang', stderr)."""
    code = FINALISE_CHILD.format(path=None if dest == "stdout" else "logs/app.log",
                                 str_result=str_result)

    def once(k):
        workdir = tmp_path / f"run{k}"
        workdir.mkdir()
        try:
            proc = subprocess.run([sys.executable, "-c", code], cwd=workdir, stdout=subprocess.DEVNULL,
                                  stderr=subprocess.PIPE, timeout=sizes.timeout(30))
        except subprocess.TimeoutExpired as e:
            return (k, "hang", e.stderr or b"")
        if proc.returncode != 0 or any(t in proc.stderr for t in FATAL_TEXT):
            return (k, proc.returncode, proc.stderr[-2000:])
        return None

    with ThreadPoolExecutor(2) as pool:
        return [r for r in pool.map(once, range(repetitions)) if r]


@pytest.mark.parametrize("dest", ["file", "stdout"])
def test_daemon_threads_logging_while_main_returns(tmp_path, sizes, dest):
    repetitions = sizes.pick(ci=100, stress=500, light=20)
    failures = finalise_many(tmp_path, sizes, '"x"', dest, repetitions)
    assert not failures, failures[:3]


def test_argument_text_released_with_a_finaliser_at_exit(tmp_path, sizes):
    repetitions = sizes.pick(ci=100, stress=500, light=20)
    failures = finalise_many(tmp_path, sizes, 'S("x")', "file", repetitions)
    assert not failures, failures[:3]
