"""`python -m ferrant.to_json` against ferrant's own JSON layout: the same
records written in both layouts must convert to the same bytes, and their
fields to the same JSON values."""

import json
import re
import shlex
import shutil
import subprocess
import sys
from datetime import timezone

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from ferrant.to_json import convert_line
from lines import dated_bytes
from test_fields import FieldCapture, Shown

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


# ---- fields ----------------------------------------------------------------


def spells_a_value(text):
    """Whether a str reads, bare, as what an int, a float, a bool or None
    writes: those read back as that value, not as the str."""
    if text in ("true", "false", "null"):
        return True
    for kind in (int, float):
        try:
            if repr(kind(text)) == text:
                return True
        except (ValueError, OverflowError):
            pass
    return False


# Strs a converter that guessed types more freely would turn into numbers
# or literals; their JSON is a string.
NEAR_MISSES = ["1.50", "007", "-0", "+1", "1e5", "1e+5", "1.", ".5", "1_000", "0x10", "\u0661\u0662",
               "NaN", "Infinity", "-Infinity", "True", "None", "nul", "1.5.1", "-", "e5", "[1,2]"]
TEXT = st.text(st.characters(blacklist_categories=("Cs",)), max_size=20)
VALUE = st.one_of(
    TEXT.filter(lambda s: not spells_a_value(s)),
    st.sampled_from(NEAR_MISSES),
    st.integers(min_value=-(2**63), max_value=2**64 - 1),
    st.floats(),
    st.booleans(),
    st.none(),
    st.datetimes(timezones=st.sampled_from([None, timezone.utc])),
    st.dates(),
    st.builds(Shown),
)
KEY = st.from_regex(r"[A-Za-z_][A-Za-z0-9_.-]{0,8}", fullmatch=True).filter(
    lambda k: k not in ("time", "level", "name", "msg", "exc", "exc_info"))
RECORD = st.tuples(TEXT, st.dictionaries(KEY, VALUE, max_size=6), st.booleans())


def pairs_without_time(line):
    pairs = json.loads(line, object_pairs_hook=list)
    assert pairs[0][0] == "time"
    return pairs[1:]


@settings(max_examples=150, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(records=st.lists(RECORD, min_size=1, max_size=4))
def test_text_fields_read_back_as_the_json_layout_writes_them(tmp_path_factory, records):
    base = tmp_path_factory.mktemp("fields")
    caps = {kind: FieldCapture(base / kind, kind) for kind in ("text", "color", "json")}
    for message, fields, with_exc in records:
        exc = ValueError('bad "x"\n\x85 y=1') if with_exc else None
        for cap in caps.values():
            cap.log.warn(message, exc_info=exc, **fields)
    want = [pairs_without_time(line) for line in caps["json"].lines()]
    assert len(want) == len(records)
    for kind in ("text", "color"):
        got = [convert_line(line.encode() + b"\n") for line in caps[kind].lines()]
        assert all(line.endswith(b"\n") for line in got)
        assert [pairs_without_time(line) for line in got] == want, kind


@pytest.mark.parametrize(
    "value, read_back",
    [(2**64 - 1, 2**64 - 1), (-(2**63), -(2**63)), (2**64, str(2**64)), (-(2**63) - 1, str(-(2**63) - 1)),
     (10**40, str(10**40)), (int("7" * 4000), "7" * 4000)],
    ids=lambda v: repr(v)[:24],
)
def test_ints_read_back_as_numbers_within_64_bits_and_as_strings_beyond(tmp_path, value, read_back):
    cap = FieldCapture(tmp_path, "text")
    cap.log.info("m", v=value)
    [line] = cap.lines()
    assert json.loads(convert_line(line.encode()))["v"] == read_back


# What logfmt cannot tell apart: a str that spells another kind of value.
@pytest.mark.parametrize(
    "text, read_back",
    [("200", 200), ("-3", -3), ("1.0", 1.0), ("1e+16", 1e16), ("true", True), ("null", None),
     ("nan", "NaN"), ("-inf", "-Infinity"), ("[1,2]", "[1,2]")],
)
def test_strs_that_spell_a_value_read_back_as_it(tmp_path, text, read_back):
    cap = FieldCapture(tmp_path, "text")
    cap.log.info("m", v=text)
    [line] = cap.lines()
    got = json.loads(convert_line(line.encode()))["v"]
    assert got == read_back and type(got) is type(read_back)


@pytest.mark.skipif(shutil.which("jq") is None, reason="jq is not installed (apt-get install jq)")
@pytest.mark.parametrize("unix_ts", [False, True])
@pytest.mark.parametrize("color", ["off", "always"])
def test_jq_reads_every_converted_line(run, tmp_path, unix_ts, color):
    run(
        f"""
        import datetime, ferrant
        ferrant.basic_config(path="logs/app.log", unix_ts={unix_ts}, color={color!r})
        log = ferrant.get_logger("web").bind(service="shop")
        for status in (200, 404, 500):
            log.info("GET /", status=status, took=0.25, user="bob smith", cached=status == 200,
                     ref=None, big=2**70, ratio=float("nan"), tags=["a", "b"], at=datetime.date(2026, 1, 2))
        try:
            {{}}["card"]
        except KeyError:
            log.exception("charge failed", order=7)
        """
    )
    files = sorted((tmp_path / "logs").iterdir())
    proc = subprocess.run(
        f"{shlex.quote(sys.executable)} -m ferrant.to_json {' '.join(shlex.quote(str(f)) for f in files)}"
        " | jq -c 'select(.status >= 400 or .exc != null) | [.status, .took, .cached, .big, .ratio, .exc != null]'",
        shell=True, capture_output=True, timeout=60,
    )
    assert proc.returncode == 0, proc.stderr
    assert [json.loads(line) for line in proc.stdout.splitlines()] == [
        [404, 0.25, False, str(2**70), "NaN", False],
        [500, 0.25, False, str(2**70), "NaN", False],
        [None, None, None, None, None, True],
    ]


@pytest.mark.parametrize(
    "line",
    [b'time=1.5 level=info msg="bad \\x escape"\n',
     b'time=1.5 level=info msg="raw\ttab"\n',
     b'time=1.5 level=info name=back\\slash msg="m"\n',
     b'time=1.5 level=info msg="m" a="\\u12"\n',
     b'time=1.5 level=info msg="m" a=\n',
     b'time=1.5 level=info msg="m" a=b=c\n',
     b'time=1.5 level=info msg="m" a=1  b=2\n',
     b'time=1.5 level=info msg="\xc3" a=1\n'],
)
def test_lines_not_written_by_ferrant_are_copied(line):
    assert to_json(line) == line
