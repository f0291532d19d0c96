"""What the writer finds under a dated file's name when it opens it: a line
torn by a process killed mid-write stays a line of its own."""

import json
import textwrap
from pathlib import Path

from lines import split_lines

PRELUDE = f"import sys; sys.path.insert(0, {str(Path(__file__).parent)!r})\n"

HELPERS = """
import os, time
os.dup2(os.open("stderr.txt", os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o644), 2)
os.mkdir("logs")
# Today's name and tomorrow's: the run may cross midnight.
DAYS = [time.strftime("logs/app_%Y%m%d.log", time.localtime(time.time() + d)) for d in (0, 86400)]
"""


def child(code, **values):
    assignments = "".join(f"{k} = {v!r}\n" for k, v in values.items())
    return PRELUDE + HELPERS + assignments + textwrap.dedent(code)


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
