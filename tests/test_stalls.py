"""A destination that takes no bytes (standard output into a pipe nobody
reads) or takes them slowly: no call waits without bound or holds up calls
to another destination, signals act while a call waits, and the exit ends
within its bound, saying what it dropped."""

import json
import os
import signal
import subprocess
import sys
import textwrap
import threading
import time

import pytest

from lines import dated_bytes

pytestmark = pytest.mark.clockbound

# The child's side: `flood_until_stalled(log)` fills the pipe, the writer's
# buffer and the lane from a thread of its own and returns once that thread
# has stopped getting through; `note(**kw)` leaves figures for the test.
PRELUDE = """
import json, os, sys, threading, time
from ferrant._logger import PyLogger, basic_config

def note(**kw):
    with open(os.environ["NOTES"], "a") as f:
        f.write(json.dumps(kw) + "\\n")

def flood_until_stalled(log, daemon=True):
    done = [0]
    def run():
        while True:
            log.info("%s", "x" * 200)
            done[0] += 1
    threading.Thread(target=run, daemon=daemon).start()
    last, still = -1, 0.0
    while still < 0.3:
        time.sleep(0.05)
        still = still + 0.05 if done[0] == last else 0.0
        last = done[0]
"""


def spawn(tmp_path, body, env=None, stdout=subprocess.PIPE):
    """The child with its standard output a pipe the test reads only if it
    wants to; standard error goes to a file."""
    full = dict(os.environ, NOTES=str(tmp_path / "notes"))
    full.pop("NO_COLOR", None)
    full.pop("FORCE_COLOR", None)
    if env:
        full.update(env)
    err = open(tmp_path / "stderr", "wb")
    proc = subprocess.Popen(
        [sys.executable, "-c", PRELUDE + textwrap.dedent(body)],
        stdout=stdout, stderr=err, env=full, cwd=tmp_path,
    )
    err.close()
    return proc


def notes(tmp_path):
    path = tmp_path / "notes"
    if not path.exists():
        return {}
    merged = {}
    for line in path.read_text().splitlines():
        merged.update(json.loads(line))
    return merged


def finish(proc, seconds):
    """Waits for the child without reading its output; kills it if it hangs."""
    try:
        return proc.wait(timeout=seconds)
    except subprocess.TimeoutExpired:
        proc.kill()
        proc.wait()
        pytest.fail(f"child still running after {seconds} s")
    finally:
        if proc.stdout:
            proc.stdout.close()


def wait_for_note(tmp_path, key, seconds):
    end = time.monotonic() + seconds
    while time.monotonic() < end:
        if key in notes(tmp_path):
            return notes(tmp_path)[key]
        time.sleep(0.02)
    pytest.fail(f"no {key!r} from the child in {seconds} s")


def test_thread_ending_beside_a_stalled_destination_does_not_freeze(tmp_path, sizes):
    proc = spawn(tmp_path, """
        log = PyLogger(None)
        flood_until_stalled(log)
        beats = []
        threading.Thread(target=lambda: [beats.append(1) or time.sleep(0.01) for _ in iter(int, 1)],
                         daemon=True).start()
        def short():
            for i in range(5):
                log.info("short %d", i)
        t = threading.Thread(target=short)
        start = time.monotonic()
        t.start()
        t.join(10)
        before = len(beats)
        time.sleep(0.2)
        note(joined=not t.is_alive(), join_s=time.monotonic() - start, beats=len(beats) - before)
    """)
    finish(proc, sizes.timeout(30))
    got = notes(tmp_path)
    assert got["joined"]
    assert got["join_s"] < sizes.timeout(1)
    assert got["beats"] > 0  # other threads kept running


def test_stalled_standard_output_does_not_block_calls_to_a_file(tmp_path, sizes):
    proc = spawn(tmp_path, """
        out = PyLogger(None)
        to_file = PyLogger(None, "logs/app.log")
        flood_until_stalled(out)
        out.info("pending on standard output")
        start = time.monotonic()
        for i in range(60):
            to_file.info("to the file %d", i)
        note(calls_s=time.monotonic() - start)
        to_file.shutdown()
        note(flushed=True)
    """)
    finish(proc, sizes.timeout(30))
    got = notes(tmp_path)
    assert got["calls_s"] < sizes.timeout(1)
    assert got["flushed"]
    lines = dated_bytes(tmp_path / "logs").decode().splitlines()
    assert [l.rsplit(" ", 1)[-1].rstrip('"') for l in lines] == [str(i) for i in range(60)]


SIGNAL_CHILD = """
    {setup}
    log = PyLogger(None)
    note(started=time.monotonic())
    try:
        while True:
            log.info("%s", "x" * 200)
    except BaseException as e:
        note(raised=type(e).__name__, at=time.monotonic())
        raise
"""


@pytest.mark.parametrize(
    "signum, setup, raised, status",
    [
        (signal.SIGINT, "", "KeyboardInterrupt", -signal.SIGINT),
        (signal.SIGTERM, "import signal; signal.signal(signal.SIGTERM, lambda s, f: sys.exit(128 + s))",
         "SystemExit", 143),
        (signal.SIGTERM, "", None, -signal.SIGTERM),
    ],
    ids=["ctrl-c", "sigterm-handler", "sigterm-default"],
)
def test_signal_acts_while_a_call_waits_for_room(tmp_path, sizes, signum, setup, raised, status):
    proc = spawn(tmp_path, SIGNAL_CHILD.format(setup=setup))
    wait_for_note(tmp_path, "started", sizes.timeout(20))
    time.sleep(1.5)  # long enough to fill the pipe, the buffer and the lane
    sent = time.monotonic()
    proc.send_signal(signum)
    # The exit then waits for the stalled writer, within its bound.
    code = finish(proc, sizes.timeout(15))
    ended = time.monotonic() - sent
    assert code == status
    got = notes(tmp_path)
    if raised:
        assert got["raised"] == raised
        assert got["at"] - sent < sizes.timeout(0.5)
    assert ended < 5 + sizes.timeout(2)


def test_exit_with_a_pipe_nobody_reads_ends_within_its_bound(tmp_path, sizes):
    proc = spawn(tmp_path, """
        log = PyLogger(None)
        flood_until_stalled(log)
        log.shutdown()
        note(main_done=time.monotonic())
    """)
    wait_for_note(tmp_path, "main_done", sizes.timeout(30))
    done = notes(tmp_path)["main_done"]
    finish(proc, sizes.timeout(20))
    # shutdown's own wait, then the exit's: the pipe never moves, so about 5 s
    # for all the exit's steps together.
    assert time.monotonic() - done < 5 + sizes.timeout(2)
    err = (tmp_path / "stderr").read_text()
    assert err.count("error flush not confirmed in time") == 1, err
    assert "for standard output" in err


def test_slow_reader_slows_calls_evenly(tmp_path, sizes):
    """A reader taking 300 KB/s: once the lane is full, each call waits
    about as long as its own bytes take, never seconds at a time. The reader
    stops when the calls do, so that the exit ends on a stall."""
    proc = spawn(tmp_path, """
        log = PyLogger(None)
        worst = 0.0
        end = time.monotonic() + 6
        filled = None
        while time.monotonic() < end:
            t = time.monotonic()
            log.info("%s", "y" * 200)
            took = time.monotonic() - t
            if took > 0.01 and filled is None:
                filled = t
            if filled is not None and t > filled + 1:
                worst = max(worst, took)
        note(worst=worst, filled=filled is not None, main_done=time.monotonic())
    """)
    stop = threading.Event()

    def read_slowly():
        while not stop.is_set():
            if not proc.stdout.read1(30_000):
                return
            time.sleep(0.1)

    reader = threading.Thread(target=read_slowly)
    reader.start()
    try:
        wait_for_note(tmp_path, "main_done", sizes.timeout(60))
        stop.set()
        reader.join()
        done = notes(tmp_path)["main_done"]
        proc.wait(timeout=sizes.timeout(20))
        exit_s = time.monotonic() - done
    finally:
        stop.set()
        if proc.poll() is None:
            proc.kill()
        reader.join()
        proc.stdout.close()
    got = notes(tmp_path)
    assert got["filled"]
    assert got["worst"] < sizes.timeout(0.5) + 0.5
    assert exit_s < 5 + sizes.timeout(2)
    assert "bytes still waiting" in (tmp_path / "stderr").read_text()
