"""A process that already logs forks: nothing inherited twice, nothing lost,
no child stuck on a writer thread it does not have."""

import json
import re

import pytest

FORK_WHILE_LOGGING = """
import os, sys, threading, ferrant
log = ferrant.PyLogger("p", path="out/app.log")
stop = threading.Event()
def spam(i):
    n = 0
    while not stop.is_set():
        log.info("thread %d seq %d", i, n)
        n += 1
threads = [threading.Thread(target=spam, args=(i,)) for i in range(8)]
for t in threads:
    t.start()
pids = []
for k in range(12):
    log.info("parent %d", k)
    pid = os.fork()
    if pid == 0:
        for j in range(50):
            log.info("child %d seq %d", k, j)
        sys.exit(0)
    pids.append(pid)
for pid in pids:
    # A child that hangs is killed by the test's timeout.
    _, status = os.waitpid(pid, 0)
    assert os.waitstatus_to_exitcode(status) == 0
stop.set()
for t in threads:
    t.join()
log.shutdown()
"""


def read_lines(directory):
    return b"".join(p.read_bytes() for p in sorted(directory.iterdir())).decode().splitlines()


@pytest.mark.clockbound
def test_fork_while_threads_log(run, tmp_path):
    run(FORK_WHILE_LOGGING, timeout=120)
    lines = read_lines(tmp_path / "out")
    messages = [re.search(r'msg="(.*)"$', line).group(1) for line in lines]
    assert len(messages) == len(set(messages)), "a line was written twice"
    for k in range(12):
        assert f"parent {k}" in messages
        for j in range(50):
            assert f"child {k} seq {j}" in messages
    # Every thread's sequence is complete and in order: nothing lost or torn.
    for i in range(8):
        seqs = [int(m.split()[-1]) for m in messages if m.startswith(f"thread {i} ")]
        assert seqs == list(range(len(seqs)))


def test_multiprocessing_fork_pool(run, tmp_path):
    # Workers end through os._exit, which skips atexit.
    run(
        """
        import multiprocessing as mp, os, ferrant
        log = ferrant.get_logger("pool")
        file_log = ferrant.PyLogger("pool", path="out/app.log")
        def task(i):
            for j in range(10):
                file_log.info("task %d line %d", i, j)
            return os.getpid()
        if __name__ == "__main__":
            file_log.info("parent start")
            pool = mp.get_context("fork").Pool(3)
            pids = set(pool.map(task, range(40)))
            pool.close()
            pool.join()
            file_log.info("parent end")
            assert os.getpid() not in pids
        """,
        timeout=120,
    )
    messages = [re.search(r'msg="(.*)"$', line).group(1) for line in read_lines(tmp_path / "out")]
    assert sorted(messages) == sorted(
        ["parent start", "parent end"] + [f"task {i} line {j}" for i in range(40) for j in range(10)]
    )


def test_child_keeps_settings_of_inherited_writer(run, tmp_path):
    run(
        """
        import os, ferrant
        ferrant.basic_config(format="json", unix_ts=True)
        log = ferrant.PyLogger("x", path="out/app.log")
        ferrant.basic_config()
        log.info("before")
        pid = os.fork()
        if pid == 0:
            log.info("in child")
            raise SystemExit(0)
        os.waitpid(pid, 0)
        log.info("after")
        """
    )
    records = [json.loads(line) for line in read_lines(tmp_path / "out")]
    assert sorted(r["msg"] for r in records) == ["after", "before", "in child"]
    assert all(isinstance(r["time"], float) for r in records)
