"""I/O faults injected for real: a file that cannot grow (as on a full disk), a
destination that cannot be opened until its directory appears, a closed pipe on standard output. The
writer reports each fault once, drops what it cannot write, keeps memory
bounded and resumes when the destination works again."""

import errno
import os
import re
import subprocess
import sys
import textwrap
from pathlib import Path

from lines import dated_lines, messages

PRELUDE = f"import sys; sys.path.insert(0, {str(Path(__file__).parent)!r})\n"

# Shared by the children: stderr into a file, and waiting for a condition.
HELPERS = """
import os, time
os.dup2(os.open("stderr.txt", os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o644), 2)

def wait_for(done, what, limit=20):
    end = time.monotonic() + limit
    while not done():
        assert time.monotonic() < end, what
        time.sleep(0.05)
"""

# Reports name the dated file they concern, quoted, or standard output.
DATED_LOG = r'"logs/app_\d{8}\.log"'
RESOLVED = re.compile(r"error resolved: (\d+) bytes lost for " + DATED_LOG)


def child(code, **values):
    assignments = "".join(f"{k} = {v!r}\n" for k, v in values.items())
    return PRELUDE + HELPERS + assignments + textwrap.dedent(code)


def error_line(code, where):
    """A pattern of the report of a fault at `where` (itself a pattern)."""
    return re.escape(f"error {os.strerror(code)} (os error {code}) for ") + where


def stderr_lines(tmp_path):
    return (tmp_path / "stderr.txt").read_text().splitlines()


def test_full_disk_reports_once_keeps_memory_bounded_and_resumes(run, tmp_path, sizes):
    # Under the address sanitizer freed memory sits in its quarantine, so RSS
    # says nothing about what the writer keeps.
    limit = None if sizes.light else 24 << 20
    run(
        child(
            """
            import resource
            from ferrant._logger import PyLogger
            from lines import dated_lines
            os.mkdir("logs")
            dated = [time.strftime("logs/app_%Y%m%d.log", time.localtime(time.time() + d))
                     for d in (0, 86400)]  # the run may cross midnight
            # Files at the size limit take no byte more, as on a full disk (the
            # dated name takes only a regular file, so no /dev/full). Python
            # ignores SIGXFSZ: the writes fail with EFBIG.
            full = 1 << 20
            for path in dated:
                with open(path, "wb") as f:
                    f.write((b"x" * 1023 + b"\\n") * (full // 1024))
            resource.setrlimit(resource.RLIMIT_FSIZE,
                               (full, resource.getrlimit(resource.RLIMIT_FSIZE)[1]))
            log = PyLogger(None, "logs/app.log")
            keeper = PyLogger(None, "logs/app.log")  # so shutdown only flushes
            pad = "x" * 400

            def rss():
                with open("/proc/self/statm") as f:
                    return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")

            for i in range(20_000):
                log.info("lost %06d %s", i, pad)
            log.shutdown()  # answered at once although the flush fails
            before = rss()
            for i in range(20_000, 220_000):  # about 90 MB of lines
                log.info("lost %06d %s", i, pad)
            log.shutdown()
            grown = rss() - before
            assert LIMIT is None or grown < LIMIT, grown
            assert open("stderr.txt").read().count("\\n") == 1

            for path in dated:
                os.remove(path)
                open(path, "w").close()
            for i in range(64):  # two whole batches: sent without a flush request
                log.info("back %06d %s", i, pad)
            wait_for(lambda: len(dated_lines("logs")) == 64, "no reopen at a periodic check")
            log.shutdown()
            """,
            LIMIT=limit,
        ),
        timeout=180,
    )
    lines = dated_lines(tmp_path / "logs")
    assert messages(lines) == [f"back {i:06d} {'x' * 400}" for i in range(64)]
    report = stderr_lines(tmp_path)
    assert len(report) == 2 and re.fullmatch(error_line(errno.EFBIG, DATED_LOG), report[0]), report
    # Every line has the same length, so the count must be all 220,000 lines.
    assert RESOLVED.fullmatch(report[1]).group(1) == str(220_000 * (len(lines[0]) + 1))


def test_destination_opens_once_its_directory_appears(run, tmp_path):
    run(
        child(
            """
            from ferrant._logger import PyLogger
            from lines import dated_lines
            open("logs", "w").close()  # a regular file where the directory goes
            log = PyLogger(None, "logs/app.log")
            keeper = PyLogger(None, "logs/app.log")
            for i in range(64):
                log.info("early %06d", i)
            wait_for(lambda: os.path.getsize("stderr.txt"), "no error line")
            os.remove("logs")
            os.mkdir("logs")
            for i in range(64):
                log.info("late  %06d", i)
            wait_for(lambda: len(dated_lines("logs")) >= 64, "no reopen at a periodic check")
            log.shutdown()
            """
        )
    )
    lines = dated_lines(tmp_path / "logs")
    got = messages(lines)
    # Early lines still buffered when the file opened are kept, in order;
    # the ones dropped before are counted.
    early = [m for m in got if m.startswith("early")]
    assert early == [f"early {i:06d}" for i in range(64 - len(early), 64)]
    assert got[len(early) :] == [f"late  {i:06d}" for i in range(64)]
    report = stderr_lines(tmp_path)
    assert len(report) == 2 and re.fullmatch(error_line(errno.EEXIST, DATED_LOG), report[0]), report
    lost = int(RESOLVED.fullmatch(report[1]).group(1))
    assert lost == (64 - len(early)) * (len(lines[0]) + 1)


def test_closed_pipe_on_standard_output_reports_once_and_exits(run, tmp_path):
    proc = run(
        child(
            """
            from ferrant._logger import PyLogger
            r, w = os.pipe()
            os.dup2(w, 1)
            os.close(w)
            os.close(r)  # nobody will ever read: writes fail with EPIPE
            log = PyLogger(None)
            keeper = PyLogger(None)
            for i in range(100_000):
                log.info("into a closed pipe %d", i)
            log.shutdown()
            for i in range(1_000):
                log.info("still no reader %d", i)
            """
        )
    )
    assert proc.returncode == 0
    report = stderr_lines(tmp_path)
    assert len(report) == 1 and re.fullmatch(error_line(errno.EPIPE, "standard output"), report[0])


def test_standard_output_closed_at_start_never_writes_into_the_applications_file(tmp_path, sizes):
    # As `python app.py >&-`: the application's own file gets descriptor 1.
    code = textwrap.dedent(
        """
        import sys
        from ferrant._logger import PyLogger
        assert sys.stdout is None
        log = PyLogger("app")  # standard output, while descriptor 1 is closed
        data = open("data.txt", "w")
        assert data.fileno() == 1
        data.write("application data\\n")
        data.flush()
        for i in range(1_000):
            log.info("record %d", i)
        log.shutdown()  # answered at once: nothing could be written
        data.write("more data\\n")
        data.close()
        """
    )
    proc = subprocess.run(
        ["sh", "-c", 'exec "$0" "$@" >&-', sys.executable, "-c", code],
        cwd=tmp_path,
        stderr=subprocess.PIPE,
        timeout=sizes.timeout(60),
    )
    assert proc.returncode == 0, proc.stderr
    assert (tmp_path / "data.txt").read_text() == "application data\nmore data\n"
    report = proc.stderr.decode().splitlines()
    assert len(report) == 1 and re.fullmatch(error_line(errno.EBADF, "standard output"), report[0])
