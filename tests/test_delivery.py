"""Records reach their destination within a bound whatever their thread does
next, every normal exit writes every record, abrupt ends lose only the
newest, and waiting for a writer never stops the other Python threads.

Each scenario runs in its own interpreter."""

import json
import os
import signal
import subprocess
import sys
import threading
import time

import pytest

from lines import dated_lines, messages

# A record is handed to its writer within a second and written within about
# two; the tests allow more, for a loaded or instrumented machine.
BOUND = 2.0


def wait_for_lines(directory, count, timeout):
    """Polls the dated files until `count` lines are there; returns the lines
    and the seconds it took."""
    start = time.monotonic()
    while True:
        lines = dated_lines(directory)
        if len(lines) >= count or time.monotonic() - start > timeout:
            return lines, time.monotonic() - start
        time.sleep(0.02)


def reap(child):
    """Ends the child if it still runs and closes its pipes."""
    if child.poll() is None:
        child.kill()
        child.wait()
    child.stdout.close()
    child.stderr.close()


IDLE_WORKERS = """
import queue, socket, sys, threading, time, ferrant
log = ferrant.PyLogger("pool", path="logs/app.log")
jobs = queue.Queue()
lock = threading.Lock()
lock.acquire()
left, right = socket.socketpair()

def blocked(how):
    if how == "queue":
        jobs.get()
    elif how == "lock":
        lock.acquire()
    elif how == "socket":
        left.recv(1)
    else:
        time.sleep(3600)

def worker(how):
    for i in range(5):
        log.info("%s %d", how, i)
    blocked(how)

for how in ("queue", "lock", "socket", "sleep"):
    threading.Thread(target=worker, args=(how,), daemon=True).start()
for i in range(3):
    log.info("main %d", i)
print("logged", flush=True)
blocked("sleep")
"""


def test_lines_of_idle_and_blocked_threads_appear_within_the_bound(tmp_path, sizes):
    child = subprocess.Popen([sys.executable, "-c", IDLE_WORKERS], cwd=tmp_path,
                             stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    try:
        assert child.stdout.readline() == b"logged\n", child.stderr.read()
        lines, took = wait_for_lines(tmp_path / "logs", 23, sizes.timeout(BOUND + 3))
        assert child.poll() is None, "the child must still be running"
    finally:
        reap(child)
    found = sorted(messages(lines))
    expected = sorted([f"{how} {i}" for how in ("queue", "lock", "socket", "sleep") for i in range(5)]
                      + [f"main {i}" for i in range(3)])
    assert found == expected
    print(f"23 lines of idle threads written after {took:.2f} s")


# Every kind of late record: a daemon thread that logged and idles; atexit
# handlers registered before the module was imported (so they run after its
# own hook); weakref.finalize callbacks; __del__ of module globals during
# interpreter shutdown.
LATE_RECORDS = """
import atexit, gc, sys, threading, time, weakref

def late_atexit():
    for i in range(50):
        log.info("atexit %d", i)
atexit.register(late_atexit)

import ferrant
ferrant.basic_config(format="json")
log = ferrant.PyLogger("late", path={path!r})

class Resource:
    pass

class Noisy:
    def __init__(self, log):
        self.log = log
        self.me = self  # a cycle: collected only by the collection at shutdown

    def __del__(self):
        self.log.info("del")

def daemon():
    for i in range(10):
        log.info("daemon %d", i)
    time.sleep(3600)

threading.Thread(target=daemon, daemon=True).start()
time.sleep(0.05)
res = Resource()
weakref.finalize(res, log.info, "finalize")
gc.disable()
Noisy(log)
for i in range(5):
    log.info("main %d", i)
{ending}
"""

LATE_ENDINGS = {
    "return": "",
    "sys.exit": "sys.exit(0)",
    "exception": "raise SystemExit('bye')",
}


@pytest.mark.parametrize("dest", ["file", "stdout"])
@pytest.mark.parametrize("ending", LATE_ENDINGS)
def test_normal_exit_writes_daemon_and_late_records(tmp_path, sizes, dest, ending):
    path = "logs/app.log" if dest == "file" else None
    proc = subprocess.run(
        [sys.executable, "-c", LATE_RECORDS.format(path=path, ending=LATE_ENDINGS[ending])],
        cwd=tmp_path, capture_output=True, timeout=sizes.timeout(60))
    assert proc.returncode in (0, 1), proc.stderr.decode(errors="replace")
    lines = dated_lines(tmp_path / "logs") if dest == "file" else proc.stdout.decode().splitlines()
    found = sorted(json.loads(line)["msg"] for line in lines)
    expected = sorted([f"atexit {i}" for i in range(50)] + [f"daemon {i}" for i in range(10)]
                      + [f"main {i}" for i in range(5)] + ["del", "finalize"])
    assert found == expected


ABRUPT = """
import os, signal, sys, threading, time, ferrant
log = ferrant.PyLogger("abrupt", path="logs/app.log")

def worker():
    for i in range(10):
        log.info("thread %d", i)
    time.sleep(3600)

threading.Thread(target=worker, daemon=True).start()
for i in range(10):
    log.info("main %d", i)
print("logged", flush=True)
time.sleep({pause})
{ending}
time.sleep(3600)
"""

ABRUPT_ENDINGS = {
    "kill -9": ("", -signal.SIGKILL),
    "SIGTERM, default action": ("", -signal.SIGTERM),
    "os._exit": ("os._exit(7)", 7),
}


@pytest.mark.clockbound
@pytest.mark.parametrize("ending", ABRUPT_ENDINGS)
def test_abrupt_end_after_a_pause_loses_nothing_older_than_the_bound(tmp_path, sizes, ending):
    code, status = ABRUPT_ENDINGS[ending]
    pause = sizes.pick(ci=BOUND + 1, stress=BOUND + 1, light=BOUND + 4)
    # Without ferrant's SIGTERM handler, which would make it no abrupt end.
    child = subprocess.Popen([sys.executable, "-c", ABRUPT.format(pause=pause, ending=code)],
                             cwd=tmp_path, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                             env={**os.environ, "FERRANT_SIGTERM": "0"})
    try:
        assert child.stdout.readline() == b"logged\n", child.stderr.read()
        if status < 0:
            time.sleep(pause)
            child.send_signal(-status)
        child.wait(timeout=sizes.timeout(30))
    finally:
        reap(child)
    assert child.returncode == status
    found = sorted(messages(dated_lines(tmp_path / "logs")))
    assert found == sorted([f"main {i}" for i in range(10)] + [f"thread {i}" for i in range(10)])


# A module-level logger in the main module, which spawn and forkserver
# workers import again; with `late`, the module is first imported by the
# task itself, inside the running worker.
POOL_MAIN = """
import multiprocessing as mp, os, sys
from concurrent.futures import ProcessPoolExecutor

LATE = {late!r}
if not LATE:
    import ferrant
    log = ferrant.PyLogger("pool", path="logs/app.log")

def task(i):
    global log
    if LATE:
        import ferrant
        log = ferrant.PyLogger("pool", path="logs/app.log")
    for j in range(5):
        log.info("task %d line %d", i, j)
    return os.getpid()

if __name__ == "__main__":
    ctx = mp.get_context({method!r})
    tasks = range(24)
    if {how!r} == "close/join":
        pool = ctx.Pool(3)
        pids = pool.map(task, tasks)
        pool.close()
        pool.join()
    elif {how!r} == "context manager":
        with ctx.Pool(3) as pool:  # leaves through terminate()
            pids = pool.map(task, tasks)
    else:
        with ProcessPoolExecutor(3, mp_context=ctx) as pool:
            pids = list(pool.map(task, tasks))
    assert os.getpid() not in pids
"""


# GCC 12's ASan allocator takes no locks around fork(): a worker forked while
# a writer thread allocates can block forever (see test_fork.py).
SANITIZED = "libasan" in os.environ.get("LD_PRELOAD", "")


@pytest.mark.parametrize("late", [False, True], ids=["imported before", "imported in the task"])
@pytest.mark.parametrize("how", ["close/join", "context manager", "executor"])
@pytest.mark.parametrize("method", ["fork", "spawn", "forkserver"])
def test_pool_workers_keep_every_record_of_a_returned_task(tmp_path, sizes, method, how, late):
    if SANITIZED and method != "spawn":
        pytest.skip("forked workers of an ASan build may hang in the allocator")
    script = tmp_path / "main.py"
    script.write_text(POOL_MAIN.format(method=method, how=how, late=late))
    proc = subprocess.run([sys.executable, str(script)], cwd=tmp_path, capture_output=True,
                          timeout=sizes.timeout(120))
    assert proc.returncode == 0, proc.stderr.decode(errors="replace")
    found = sorted(messages(dated_lines(tmp_path / "logs")))
    assert found == sorted(f"task {i} line {j}" for i in range(24) for j in range(5))


# Standard output goes to a pipe nobody reads for a while. The main thread
# logs far more than the channel holds, or waits in shutdown, while a thread
# that never logs keeps time.
STALLED = """
import sys, threading, time, ferrant
log = ferrant.PyLogger("stall")
beats = []
done = threading.Event()

def heartbeat():
    while not done.is_set():
        beats.append(time.monotonic())
        time.sleep(0.05)

threading.Thread(target=heartbeat, daemon=True).start()
time.sleep(0.2)
for i in range({records}):
    log.info("record %d with some padding to fill the channel sooner", i)
if {shutdown}:
    log.shutdown()
done.set()
gaps = [b - a for a, b in zip(beats, beats[1:])]
print(f"beats {{len(beats)}} max gap {{max(gaps):.3f}}", file=sys.stderr, flush=True)
"""


@pytest.mark.clockbound
@pytest.mark.parametrize("wait", ["log call", "shutdown"])
def test_a_stalled_destination_does_not_stop_other_threads(tmp_path, sizes, wait):
    stall = 3.0
    # Far more than the 16 MiB a channel holds before senders wait.
    records = 400_000 if wait == "log call" else 30_000
    code = STALLED.format(records=records, shutdown=wait == "shutdown")
    child = subprocess.Popen([sys.executable, "-c", code], cwd=tmp_path, stdout=subprocess.PIPE,
                             stderr=subprocess.PIPE)
    try:
        time.sleep(stall)  # nobody reads: the pipe fills, then the channel
        data = []
        reader = threading.Thread(target=lambda: data.append(child.stdout.read()))
        reader.start()
        err = child.stderr.read().decode(errors="replace")
        child.wait(timeout=sizes.timeout(120))
        reader.join()
    finally:
        reap(child)
    assert child.returncode == 0, err
    beats, gap = err.split()[1], float(err.split()[-1])
    assert len(data[0].splitlines()) == records
    # Before, the heartbeat stopped for the whole stall.
    assert gap < stall / 2, err
    print(f"{wait}: {beats} heartbeats, longest gap {gap:.3f} s during a {stall} s stall")
