"""What the writer finds under a dated file's name when it opens it: a line
torn by a process killed mid-write, or something planted there instead of a
file (the names are predictable, tomorrow's too). A torn line stays a line of
its own; a symbolic link, FIFO or other non-file is refused, never written
through or waited on, until a regular file can be opened again."""

import json
import re
import textwrap
from pathlib import Path

import pytest

from lines import dated_lines, messages, split_lines

PRELUDE = f"import sys; sys.path.insert(0, {str(Path(__file__).parent)!r})\n"

HELPERS = """
import os, time
os.dup2(os.open("stderr.txt", os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o644), 2)
os.mkdir("logs")
# Today's name and tomorrow's: the run may cross midnight.
DAYS = [time.strftime("logs/app_%Y%m%d.log", time.localtime(time.time() + d)) for d in (0, 86400)]

def wait_for(done, what, limit=20):
    end = time.monotonic() + limit
    while not done():
        assert time.monotonic() < end, what
        time.sleep(0.05)
"""

DATED_LOG = r'"logs/app_\d{8}\.log"'


def child(code, **values):
    assignments = "".join(f"{k} = {v!r}\n" for k, v in values.items())
    return PRELUDE + HELPERS + assignments + textwrap.dedent(code)


def stderr_lines(tmp_path):
    return (tmp_path / "stderr.txt").read_text().splitlines()


TORN = b'{"time":"2026-12-08T06:13:12.390883+01:00","level":"info","msg":"whole"}\n{"time":"2026-12-08T0'


def test_a_torn_last_line_stays_a_line_of_its_own(run, tmp_path):
    run(
        child(
            """
            import ferrant
            for path in DAYS:
                with open(path, "wb") as f:
                    f.write(TORN)
            ferrant.basic_config(path="logs/app.log", format="json")
            log = ferrant.get_logger("app")
            log.info("first")
            log.info("second")
            log.shutdown()
            """,
            TORN=TORN,
        )
    )
    records = []
    for path in sorted((tmp_path / "logs").iterdir()):
        data = path.read_bytes()
        assert data.startswith(TORN), data[:200]
        if data == TORN:  # a day the writer never opened
            continue
        fragment, *lines = split_lines(data[data.rindex(b"\n", 0, len(TORN)) + 1 :])
        assert fragment.encode() == TORN.rpartition(b"\n")[2]
        records += [json.loads(line)["msg"] for line in lines]
    assert records == ["first", "second"]
    assert (tmp_path / "stderr.txt").read_text() == ""


PLANTS = ["symlink", "fifo", "fifo_with_reader"]


@pytest.mark.parametrize("when", ["before_start", "while_running"])
@pytest.mark.parametrize("plant", PLANTS)
def test_a_planted_name_is_refused_until_a_file_can_be_opened(run, tmp_path, sizes, plant, when):
    run(
        child(
            """
            from ferrant._logger import PyLogger
            from lines import dated_lines
            with open("secret", "w") as f:
                f.write("secret\\n")
            readers = []

            def plant():
                for path in DAYS:
                    if os.path.lexists(path):
                        os.remove(path)
                    if PLANT == "symlink":
                        os.symlink(os.path.abspath("secret"), path)
                    else:
                        os.mkfifo(path)
                    if PLANT == "fifo_with_reader":
                        readers.append(os.open(path, os.O_RDONLY | os.O_NONBLOCK))

            def reported():
                return os.path.getsize("stderr.txt") > 0

            if WHEN == "before_start":
                plant()
            log = PyLogger(None, "logs/app.log")
            keeper = PyLogger(None, "logs/app.log")  # so shutdown only flushes
            if WHEN == "while_running":
                log.info("gone %03d", 0)
                log.shutdown()
                assert len(dated_lines("logs")) == 1
                plant()  # seen at the writer's next periodic check
            wait_for(reported, "no error line")
            for i in range(200):
                log.info("lost %03d", i)
            log.shutdown()  # answered at once: the lines were dropped
            assert open("secret").read() == "secret\\n"
            for r in readers:
                try:
                    assert os.read(r, 1 << 16) == b""
                except BlockingIOError:
                    pass
                os.close(r)

            for path in DAYS:
                os.remove(path)
            for i in range(64):  # two whole batches: sent without a flush request
                log.info("kept %03d", i)
            wait_for(lambda: len(dated_lines("logs")) == 64, "no reopen at a periodic check")
            log.shutdown()
            """,
            PLANT=plant,
            WHEN=when,
        ),
        timeout=sizes.timeout(60),
    )
    lines = dated_lines(tmp_path / "logs")
    assert messages(lines) == [f"kept {i:03d}" for i in range(64)]
    report = stderr_lines(tmp_path)
    assert len(report) == 2, report
    assert re.fullmatch("error Not a regular file for " + DATED_LOG, report[0]), report
    # Every line has the same length; all 200 of them were dropped.
    lost = re.fullmatch(r"error resolved: (\d+) bytes lost for " + DATED_LOG, report[1])
    assert lost and int(lost.group(1)) == 200 * (len(lines[0]) + 1), report
