"""A destination that drains slowly at the exit: the exit waits for as long as
it takes bytes, keeping every record and saying nothing, and gives up only
about 5 s after it stopped taking them."""

import json
import os
import signal
import subprocess
import sys
import textwrap
import time

import pytest

pytestmark = pytest.mark.clockbound

CHILD = textwrap.dedent(
    """
    import os, sys, time
    import ferrant
    ferrant.basic_config(format="json")

    def work():
        log = ferrant.get_logger(sys.argv[1])
        pad = "p" * int(sys.argv[3])
        for i in range(int(sys.argv[2])):
            log.info("record %d %s", i, pad)
        return log

    # Released: the writer's last logger goes before the exit, and its stop
    # gives up on the slow reader long before the exit comes.
    log = None if sys.argv[4] == "release" else work()
    if log is None:
        work()
    open(sys.argv[1] + ".logged", "w").close()
    if sys.argv[4] == "wait":
        time.sleep(120)
    """
)


def pad_of(k, base):
    # Different lengths, so that lines do not tile a page.
    return base + 37 * k


def start(tmp_path, processes, records, ending, pad=60):
    r, w = os.pipe()
    children = []
    try:
        for k in range(processes):
            children.append(subprocess.Popen(
                [sys.executable, "-c", CHILD, f"p{k}", str(records), str(pad_of(k, pad)), ending],
                stdout=w, stderr=subprocess.PIPE, cwd=tmp_path,
            ))
    finally:
        os.close(w)
    return r, children


def read_paced(fd, rate, until=lambda: False):
    """Reads at about `rate` bytes a second until end of file, or until
    `until()` holds. Returns the bytes, whether end of file came, and when
    the last read returned."""
    chunks, got, last = [], 0, time.monotonic()
    began = last
    while not until():
        ahead = got - rate * (time.monotonic() - began)
        if ahead > 0:
            time.sleep(min(ahead / rate, 0.05))
            continue
        chunk = os.read(fd, 64 * 1024)
        last = time.monotonic()
        if not chunk:
            return b"".join(chunks), True, last
        chunks.append(chunk)
        got += len(chunk)
    return b"".join(chunks), False, last


def records_of(data, pad=60):
    """Each process's record numbers, in the order read, and the lines that
    are not one whole record."""
    ids, torn = {}, []
    for raw in data.split(b"\n")[:-1]:
        try:
            record = json.loads(raw)
            _, i, padding = record["msg"].split(" ")
            whole = padding == "p" * pad_of(int(record["name"][1:]), pad)
        except (ValueError, KeyError, TypeError):
            whole = False
        if whole:
            ids.setdefault(record["name"], []).append(int(i))
        else:  # the halves of two lines can make one that parses
            torn.append(raw[:120])
    return ids, torn


@pytest.mark.parametrize(
    "processes, records, pad, rate, ending",
    [
        (1, (150_000, 600_000, 20_000), 60, 3e6, "return"),
        (4, (50_000, 200_000, 10_000), 150, 8e6, "return"),
        (1, (150_000, 600_000, 20_000), 60, 3e6, "sigterm"),
        (1, (150_000, 600_000, 20_000), 60, 3e6, "release"),
    ],
    ids=["one process", "four processes", "sigterm", "logger released first"],
)
def test_slow_reader_at_the_exit_gets_every_record(tmp_path, sizes, processes, records, pad,
                                                    rate, ending):
    count = sizes.pick(*records)
    mode = {"sigterm": "wait", "return": "end"}.get(ending, ending)
    r, children = start(tmp_path, processes, count, mode, pad)
    try:
        if ending == "sigterm":
            # Every record logged (the last ones queued or in the open batch),
            # then the signal, while the reader still has most of them ahead.
            def logged():
                return os.path.exists(tmp_path / "p0.logged")

            head, eof, _ = read_paced(r, rate, until=logged)
            assert not eof
            children[0].send_signal(signal.SIGTERM)
        else:
            head = b""
        rest, eof, _ = read_paced(r, rate)
        data = head + rest
    finally:
        os.close(r)
    assert eof
    expected = -signal.SIGTERM if ending == "sigterm" else 0
    for child in children:
        status = child.wait(timeout=sizes.timeout(60))
        err = child.stderr.read()
        child.stderr.close()
        assert (status, err) == (expected, b"")
    assert data.endswith(b"\n")
    ids, torn = records_of(data, pad)
    assert torn == []
    assert ids == {f"p{k}": list(range(count)) for k in range(processes)}


def test_reader_that_stops_ends_the_exit_after_its_last_read(tmp_path, sizes):
    """The reader takes bytes well past 5 s of the exit, then none: the exit
    goes on while it reads and ends about 5 s after its last read, counting
    what it did not write."""
    count = sizes.pick(130_000, 600_000, 30_000)
    rate = sizes.pick(2e6, 2e6, 5e5)
    r, children = start(tmp_path, 1, count, "end")
    child = children[0]
    main_done = []

    def stop_reading():
        if not main_done and os.path.exists(tmp_path / "p0.logged"):
            main_done.append(time.monotonic())
        return bool(main_done) and time.monotonic() > main_done[0] + 6

    try:
        data, eof, last_read = read_paced(r, rate, until=stop_reading)
        # Still open: the child's exit must not have given up on this reader.
        assert not eof
        status = child.wait(timeout=sizes.timeout(30))
        ended = time.monotonic()
    finally:
        if child.poll() is None:
            child.kill()
        os.close(r)
    err = child.stderr.read().decode()
    child.stderr.close()
    assert status == 0
    assert ended - last_read < 5 + sizes.timeout(2)
    assert ("error writer did not finish in time" in err
            or "error flush not confirmed in time" in err)
    assert "for standard output" in err
    ids, torn = records_of(data[: data.rfind(b"\n") + 1])
    assert torn == []
    assert ids["p0"] == list(range(len(ids["p0"])))


POOL_CHILD = textwrap.dedent(
    """
    import multiprocessing as mp, sys, ferrant
    ferrant.basic_config(format="json")

    def task(n):
        global log
        log = ferrant.get_logger("p0")
        pad = "p" * 60
        for i in range(n):
            log.info("record %d %s", i, pad)

    if __name__ == "__main__":
        pool = mp.get_context("fork").Pool(1)
        pool.apply(task, (int(sys.argv[1]),))
        pool.terminate()  # SIGTERM to the worker, whose records still drain
        pool.join()
    """
)


def test_pool_worker_terminated_while_its_reader_drains_keeps_every_record(tmp_path, sizes):
    count = sizes.pick(60_000, 300_000, 10_000)
    proc = subprocess.Popen([sys.executable, "-c", POOL_CHILD, str(count)], cwd=tmp_path,
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    try:
        data, eof, _ = read_paced(proc.stdout.fileno(), 2e6)
        status = proc.wait(timeout=sizes.timeout(60))
    finally:
        if proc.poll() is None:
            proc.kill()
        proc.stdout.close()
    err = proc.stderr.read()
    proc.stderr.close()
    assert eof
    assert (status, err) == (0, b"")
    ids, torn = records_of(data)
    assert torn == []
    assert ids == {"p0": list(range(count))}
