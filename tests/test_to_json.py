"""`python -m ferrant.to_json` against ferrant's own JSON layout: the same
records written in both layouts must convert to the same bytes."""

import re
import subprocess
import sys

import pytest

from lines import dated_bytes

NAMES = [None, "", "app", "a b", 'x="y"', "tab\there", "é"]
MESSAGES = ["", "plain", 'quote " back \\ slash', "line\nfeed\rcr\ttab", "\x01\x1b[31m\x7f", "é ☃ 𝄞", "100%"]
METHODS = ["trace", "debug", "info", "warn", "warning", "error"]

TIME = re.compile(rb'time=(?:\x1b\[0m)?(\S+)')
JSON_TIME = re.compile(rb'^\{"time":("[^"]*"|[0-9.]+),')


def to_json(data, *paths):
    return subprocess.run(
        [sys.executable, "-m", "ferrant.to_json", *map(str, paths)],
        input=data, capture_output=True, check=True, timeout=60,
    ).stdout


@pytest.mark.parametrize("unix_ts", [False, True])
@pytest.mark.parametrize("color", ["off", "always"])
def test_text_lines_convert_to_the_json_layout(run, tmp_path, unix_ts, color):
    run(
        f"""
        from ferrant import PyLevel, PyLogger, basic_config
        basic_config(unix_ts={unix_ts}, color={color!r})
        text = [PyLogger(n, "text/app.log", level=PyLevel.Trace) for n in {NAMES!r}]
        basic_config(unix_ts={unix_ts}, format="json")
        js = [PyLogger(n, "json/app.log", level=PyLevel.Trace) for n in {NAMES!r}]
        for i, message in enumerate({MESSAGES!r}):
            method = {METHODS!r}[i % 6]
            for a, b in zip(text, js):
                getattr(a, method)(message)
                getattr(b, method)(message)
        """
    )
    text = dated_bytes(tmp_path / "text")
    expected = dated_bytes(tmp_path / "json").splitlines(keepends=True)
    converted = to_json(text).splitlines(keepends=True)
    assert len(converted) == len(expected) == len(NAMES) * len(MESSAGES)

    for line, want, got in zip(text.splitlines(), expected, converted):
        # Times differ between the two files; the text's own time must survive exactly.
        time = TIME.search(line)[1]
        assert JSON_TIME.match(got)[1] == (time if unix_ts else b'"' + time + b'"')
        assert JSON_TIME.sub(b"{", got) == JSON_TIME.sub(b"{", want)


def test_other_lines_pass_through_and_files_are_read_in_order(tmp_path):
    first = tmp_path / "a.log"
    first.write_bytes(b'time=1.000000001 level=info msg="x"\nnot a record\n')
    second = tmp_path / "b.log"
    second.write_bytes(b'{"time":2.5,"level":"info","msg":"y"}\ntime=1 level=info msg="unterminated')
    assert to_json(b"", first, second) == (
        b'{"time":1.000000001,"level":"info","msg":"x"}\nnot a record\n'
        b'{"time":2.5,"level":"info","msg":"y"}\ntime=1 level=info msg="unterminated'
    )
