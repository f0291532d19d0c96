import json
import os
import re
import subprocess
import sys

import pytest

from lines import COLOURED_LEVEL, DIM, LOCAL_TIME, RESET, UNIX_TIME, parse_logfmt

MESSAGES = ["loaded 3 plugins in 0.042100 s", "user bob logged in", "disk 91% full",
            "request failed: {'status': 503}"]
LEVELS = ["debug", "info", "warn", "error"]
FIELDS = [{}, {"request_id": "r-7f3a", "user_id": 42}, {"mount": "/var"},
          {"request_id": "r-7f3a", "status": 503, "ms": 12.5}]
OWN = {"time", "level", "name", "msg"}
STEMS = ["text", "text-unix", "colour", "colour-unix", "json", "json-unix"]


def demo(tmp_path, *args):
    (tmp_path / "tmp").mkdir(exist_ok=True)
    proc = subprocess.run(
        [sys.executable, "-m", "ferrant", *args],
        capture_output=True, text=True, timeout=120, cwd=tmp_path,
        env={**os.environ, "TMPDIR": str(tmp_path / "tmp"), "TZ": "Europe/Paris"},
    )
    assert proc.returncode == 0, proc.stderr
    return proc.stdout


def plain(line):
    for coloured in COLOURED_LEVEL.values():
        line = line.replace(coloured, re.sub(r"\x1b\[\d+m", "", coloured))
    return line.replace(DIM, "").replace(RESET, "")


def check_layout(stem, lines):
    assert len(lines) == 4, (stem, lines)
    time = UNIX_TIME if stem.endswith("unix") else LOCAL_TIME
    for line, level, message, extra in zip(lines, LEVELS, MESSAGES, FIELDS):
        if stem.startswith("json"):
            record = json.loads(line)
            quote = "" if stem.endswith("unix") else '"'
            assert re.match(rf'\{{"time":{quote}{time}{quote},', line), line
            assert (record["level"], record["name"], record["msg"]) == (level, "demo", message)
            assert {k: v for k, v in record.items() if k not in OWN} == extra
            continue
        assert (DIM in line) == stem.startswith("colour")
        fields = dict(parse_logfmt(plain(line)))
        assert re.fullmatch(time, fields["time"]), line
        assert (fields["level"], fields["name"], fields["msg"]) == (level, "demo", message)
        assert {k: v for k, v in fields.items() if k not in OWN} == {k: str(v) for k, v in extra.items()}


def test_demo_shows_each_layout_and_leaves_nothing(tmp_path):
    out = demo(tmp_path)
    sections = re.split(r"\n== .*\n", "\n" + out)[1:]
    assert len(sections) == 7, out
    for stem, section in zip(STEMS, sections):
        check_layout(stem, section.strip("\n").split("\n\n")[0].splitlines())
    bridged = [dict(parse_logfmt(line)) for line in sections[6].strip("\n").split("\n\n")[0].splitlines()]
    assert [(r["level"], r["name"]) for r in bridged] == [("info", "demo.stdlib")] * 1 + [("error", "demo.stdlib")]
    assert bridged[0]["msg"] == "a record of logging" and bridged[0]["user_id"] == "42"
    assert bridged[1]["msg"] == "with its traceback, still one line"
    assert bridged[1]["exc"].startswith("Traceback") and bridged[1]["exc"].endswith("KeyError: 'missing'\n")
    assert "wrote 6 files to " in out and "removed " in out
    assert list((tmp_path / "tmp").iterdir()) == []


@pytest.mark.parametrize("keep_dir", [False, True])
def test_demo_keeps_its_files_when_asked(tmp_path, keep_dir):
    out = demo(tmp_path, "--keep", *(["logs"] if keep_dir else []))
    directory = re.search(r"wrote 6 files to (.*):", out)[1]
    if keep_dir:
        assert directory == str(tmp_path / "logs")
    else:
        assert directory.startswith(str(tmp_path / "tmp"))
    for stem in STEMS:
        [path] = (tmp_path / directory).glob(f"{stem}_[0-9]*.log")
        assert path.name in out
        check_layout(stem, path.read_text().splitlines())
