"""Writer lifetime: shutdown, release, replacement of stopped writers, and
records that must reach their own file however the thread or process ends."""

import json
import re
import textwrap
from pathlib import Path

import pytest

from lines import dated_lines, messages, parse_logfmt

PRELUDE = f"import sys; sys.path.insert(0, {str(Path(__file__).parent)!r})\n"


def child(code):
    return PRELUDE + textwrap.dedent(code)


def test_shutdown_of_the_sole_holder_writes_everything_then_stops(run, tmp_path):
    run(
        child(
            """
            from ferrant._logger import PyLogger
            from lines import dated_lines, messages
            log = PyLogger(None, "logs/app.log")
            for i in range(5):
                log.info("r%d", i)
            log.shutdown()
            assert messages(dated_lines("logs")) == [f"r{i}" for i in range(5)]
            log.info("after stop")
            for _ in range(20):  # must not wait on the stopped writer: 20 waits of 5 s
                log.shutdown()  # would overrun the child's 60 s limit
            log.error("after second stop")
            """
        )
    )
    # Exit flushes every live writer; the stopped one never takes records.
    assert messages(dated_lines(tmp_path / "logs")) == [f"r{i}" for i in range(5)]


def test_shutdown_with_two_holders_flushes_and_keeps_the_writer(run):
    run(
        child(
            """
            import os
            from ferrant._logger import PyLogger
            from lines import dated_lines, messages, writer_threads
            a = PyLogger("a", "logs/app.log")
            b = PyLogger("b", "logs/app.log")
            threads = writer_threads()
            a.info("a1")
            b.info("b1")
            a.shutdown()
            assert messages(dated_lines("logs")) == ["a1", "b1"]
            assert writer_threads(threads) == threads
            b.info("b2")
            a.info("a2")
            b.shutdown()
            assert messages(dated_lines("logs")) == ["a1", "b1", "b2", "a2"]
            """
        )
    )


def test_shutdown_leaves_other_threads_pending_lines(run):
    run(
        child(
            """
            import threading
            from ferrant._logger import PyLogger
            from lines import dated_lines, messages
            log = PyLogger(None, "logs/app.log")
            logged, release = threading.Event(), threading.Event()

            def worker():
                log.info("worker")
                logged.set()
                release.wait()

            t = threading.Thread(target=worker)
            t.start()
            logged.wait()
            log.info("main")
            log.shutdown()
            assert messages(dated_lines("logs")) == ["main"]
            release.set()
            t.join()
            """
        )
    )


def test_release_of_the_last_holder_writes_this_threads_pending_lines(run):
    run(
        child(
            """
            import os
            from ferrant._logger import PyLogger
            from lines import dated_lines, messages, writer_threads
            threads = writer_threads()
            log = PyLogger(None, "logs/app.log")
            for i in range(3):
                log.info("r%d", i)
            del log
            assert messages(dated_lines("logs")) == ["r0", "r1", "r2"]
            assert writer_threads(threads) == threads
            """
        )
    )


def test_a_stopped_writer_is_replaced_for_a_new_logger(run, tmp_path):
    run(
        child(
            """
            from ferrant._logger import PyLogger, basic_config, get_logger
            from lines import dated_lines, messages
            basic_config(path="logs/app.log")
            old = get_logger("old")
            old.info("before")
            old.shutdown()
            old.info("lost")
            new = get_logger("new")
            new.info("kept")
            old.info("lost too")
            new.shutdown()
            assert messages(dated_lines("logs")) == ["before", "kept"]
            """
        )
    )
    assert messages(dated_lines(tmp_path / "logs")) == ["before", "kept"]


def test_an_unopenable_destination_recovers_for_every_logger(run, tmp_path):
    # The writer keeps running after the open fails: a later logger shares it,
    # and once the path can be opened the lines still pending arrive.
    run(
        child(
            """
            import os, time
            from ferrant._logger import PyLogger
            from lines import dated_lines, messages
            os.dup2(os.open("stderr.txt", os.O_WRONLY | os.O_CREAT, 0o644), 2)
            open("blocked", "w").close()  # a regular file where a directory is needed
            first = PyLogger("first", "blocked/app.log")
            first.info("pending")
            end = time.monotonic() + 10
            while not os.path.getsize("stderr.txt") and time.monotonic() < end:
                time.sleep(0.05)  # the writer reports the failed open
            os.remove("blocked")
            second = PyLogger("second", "blocked/app.log")
            second.info("kept")
            second.shutdown()
            assert messages(dated_lines("blocked")) == ["pending", "kept"]
            """
        )
    )
    report = (tmp_path / "stderr.txt").read_text().splitlines()
    assert len(report) == 2, report
    where = r' for "blocked/app_\d{8}\.log"'
    assert re.fullmatch(r"error (Not a directory|File exists) \(os error \d+\)" + where, report[0])
    assert re.fullmatch(r"error resolved: 0 bytes lost" + where, report[1])


def test_lines_of_two_destinations_made_on_one_thread_reach_their_own_file(run, tmp_path):
    run(
        child(
            """
            from ferrant._logger import PyLogger, basic_config
            from lines import dated_lines
            text = PyLogger("text", "a/app.log")
            basic_config(format="json")
            js = PyLogger("json", "b/app.log")
            for i in range(40):  # crosses the batch size of 32 more than once
                text.info("t%d", i)
                js.info("j%d", i)
                if i % 3 == 0:
                    js.info("j%d+", i)
            text.info("t-last")
            js.info("j-last")
            text.shutdown()  # hands the pending json line to its own writer
            assert dated_lines("a")[-1].endswith('msg="t-last"')
            js.shutdown()
            """
        )
    )
    text_lines = dated_lines(tmp_path / "a")
    json_lines = dated_lines(tmp_path / "b")
    assert [dict(parse_logfmt(line))["name"] for line in text_lines] == ["text"] * 41
    assert messages(text_lines) == [f"t{i}" for i in range(40)] + ["t-last"]
    records = [json.loads(line) for line in json_lines]
    assert {r["name"] for r in records} == {"json"}
    expected = []
    for i in range(40):
        expected.append(f"j{i}")
        if i % 3 == 0:
            expected.append(f"j{i}+")
    assert [r["msg"] for r in records] == expected + ["j-last"]


def test_short_threads_hand_over_their_lines_when_they_end(run, tmp_path):
    run(
        child(
            """
            import threading
            from ferrant._logger import PyLogger
            from lines import dated_lines, messages
            log = PyLogger(None, "logs/app.log")

            def worker(n):
                for i in range(5):
                    log.info("%d-%d", n, i)

            t = threading.Thread(target=worker, args=(-1,))
            t.start()
            t.join()
            log.shutdown()
            assert sorted(messages(dated_lines("logs"))) == [f"-1-{i}" for i in range(5)]

            log = PyLogger(None, "many/app.log")
            for group in range(0, 1000, 50):
                threads = [threading.Thread(target=worker, args=(n,)) for n in range(group, group + 50)]
                for t in threads:
                    t.start()
                for t in threads:
                    t.join()
            log.shutdown()  # the main thread has nothing pending: only a flush
            """
        )
    )
    found = messages(dated_lines(tmp_path / "many"))
    assert len(found) == 5000
    assert set(found) == {f"{n}-{i}" for n in range(1000) for i in range(5)}


ENDINGS = {
    "sys.exit": "sys.exit(1)",
    "uncaught exception": "raise RuntimeError('boom')",
    "KeyboardInterrupt": "raise KeyboardInterrupt",
    "end of script": "pass",
}


@pytest.mark.parametrize("ending", ENDINGS)
def test_no_accepted_record_is_lost_at_the_end_of_the_process(run, tmp_path, ending):
    proc = run(
        f"""
        import sys, threading
        from ferrant._logger import PyLogger, basic_config, get_logger
        basic_config(path="logs/app.log")
        log = get_logger("main")
        out = PyLogger("out")

        # A daemon thread keeps both loggers alive through finalisation, so
        # their writers are never released: only the exit flush saves the lines.
        forever = threading.Event()
        holders = threading.Thread(target=lambda held=(log, out): forever.wait(), daemon=True)
        holders.start()

        def worker():
            get_logger("worker").warn("from a thread")

        t = threading.Thread(target=worker)
        t.start()
        t.join()

        def main():
            for i in range(3):
                log.info("r%d", i)
            out.info("to stdout")
            log.error("fatal")

        main()
        {ENDINGS[ending]}
        """,
        check=False,
    )
    assert proc.returncode != 0 or ending == "end of script"
    found = messages(dated_lines(tmp_path / "logs"))
    assert sorted(found) == sorted(["from a thread", "r0", "r1", "r2", "fatal"])
    assert found[-4:] == ["r0", "r1", "r2", "fatal"]
    assert messages(proc.stdout.decode().splitlines()) == ["to stdout"]


def test_background_threads_leave_process_signals_to_the_interpreter(run, tmp_path):
    # A SIGINT delivered to a writer or the flusher would not cut short a main
    # thread sleeping in time.sleep(): Ctrl-C would wait for the sleep.
    run(
        child(
            """
            import os, signal, time
            from ferrant._logger import PyLogger
            log = PyLogger(None, "logs/app.log")
            log.info("starts the writer and the flusher")

            def masks():
                out = {}
                for task in os.listdir("/proc/self/task"):
                    with open(f"/proc/self/task/{task}/comm") as f:
                        name = f.read().strip()
                    with open(f"/proc/self/task/{task}/status") as f:
                        blocked = next(int(l.split()[1], 16) for l in f if l.startswith("SigBlk:"))
                    out.setdefault(name, []).append(blocked)
                return out

            deadline = time.monotonic() + 10
            while not {"ferrant-writer", "ferrant-flusher"} <= masks().keys():
                assert time.monotonic() < deadline, masks()
                time.sleep(0.01)
            bit = lambda s: 1 << (s - 1)
            for name in ("ferrant-writer", "ferrant-flusher"):
                for blocked in masks()[name]:
                    for s in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP, signal.SIGUSR1, signal.SIGCHLD):
                        assert blocked & bit(s), (name, s)
                    assert not blocked & bit(signal.SIGSEGV), name
            assert not signal.pthread_sigmask(signal.SIG_BLOCK, []), "the caller's own mask changed"
            log.shutdown()
            """
        ),
        cwd=tmp_path,
    )
