"""Hostile text in messages, arguments and names: every accepted call is one
physical line that decodes back to exactly what was logged, and nothing from
the caller reaches a terminal as an escape sequence."""

import json
import re

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from lines import dated_bytes, parse_logfmt

LAYOUTS = ["text", "color", "json"]


# The decoder the other tests read lines with is strict: check that it is.
@pytest.mark.parametrize(
    "line",
    ['a="x', 'a="\\x"', 'a=b"c', "a=b=c", 'a="x"b', "a=\x1b", 'a="\x0a"', "a=1  b=2", 'a="\\ud800"']
    + ['a="\x85"', "a=\x9b", 'a="\u2028"', "a=\u2029"],
)
def test_the_decoder_rejects_malformed_lines(line):
    with pytest.raises(ValueError):
        parse_logfmt(line)


# ---- what a colour line may hold ---------------------------------------------

# The layout's own codes: dim and reset around each key, a colour around the level.
COLOUR_KEY = re.compile(r"\x1b\[2m(time|level|name|msg)=\x1b\[0m")
COLOUR_LEVEL = re.compile(r"(?<=level=)\x1b\[32m(info)\x1b\[0m")


def uncolour(line, has_name):
    expected_escapes = 2 * (4 if has_name else 3) + 2
    assert line.count("\x1b") == expected_escapes, repr(line)
    plain = COLOUR_LEVEL.sub(r"\1", COLOUR_KEY.sub(r"\1=", line))
    assert "\x1b" not in plain, repr(line)
    return plain


# ---- loggers in this process ---------------------------------------------------


class Destination:
    """A file writer with one layout, kept alive by a holder of its own so
    that `shutdown` on a per-call logger flushes and never stops it."""

    def __init__(self, directory, layout):
        from ferrant._logger import PyLogger, basic_config

        basic_config(format="json" if layout == "json" else "text",
                     color="always" if layout == "color" else "off", unix_ts=False)
        self.layout = layout
        self.directory = directory
        self.path = str(directory / "app.log")
        self.keeper = PyLogger(None, self.path)
        self.seen = 0

    def new_bytes(self):
        data = dated_bytes(self.directory)
        new, self.seen = data[self.seen :], len(data)
        return new

    def decode(self, line, has_name):
        """(name or None, msg) of one line, checking its keys."""
        if self.layout == "json":
            record = json.loads(line)
            keys = list(record)
        else:
            if self.layout == "color":
                line = uncolour(line, has_name)
            pairs = parse_logfmt(line)
            keys, record = [k for k, _ in pairs], dict(pairs)
        assert keys == (["time", "level", "name", "msg"] if has_name else ["time", "level", "msg"]), line
        assert record["level"] == "info"
        return record.get("name"), record["msg"]


@pytest.fixture(scope="module")
def destinations(tmp_path_factory):
    from ferrant._logger import basic_config

    root = tmp_path_factory.mktemp("injection")
    made = [Destination(root / layout, layout) for layout in LAYOUTS]
    basic_config()
    yield made
    for d in made:
        d.keeper.shutdown()


def log_everywhere(destinations, name, message, args):
    """Logs one record through each layout; returns the bytes each wrote."""
    from ferrant._logger import PyLogger

    written = []
    for d in destinations:
        log = PyLogger(name, d.path)
        log.info(message, *args)
        log.shutdown()
        written.append(d.new_bytes())
    return written


def assert_one_line_each(destinations, written, name, expected):
    for d, data in zip(destinations, written):
        assert data.endswith(b"\n") and data.count(b"\n") == 1, (d.layout, data[:200])
        got_name, got_msg = d.decode(data[:-1].decode("utf-8"), name is not None)
        assert got_msg == expected, d.layout
        assert got_name == name, d.layout


# ---- strategies ------------------------------------------------------------------

HOSTILE = (
    [chr(c) for c in range(0x20)]
    + ["\x7f", '"', "\\", "=", " ", "%", "\u2028", "\u2029", "\x85", "\ufeff"]
    + ["\x1b[31m", "\x1b[0m", "\x1b]0;title\x07", "\x1b[2J", '" level=error msg="forged', "\\u0041"]
)
text = st.lists(
    st.one_of(st.sampled_from(HOSTILE), st.characters(blacklist_categories=("Cs",))), max_size=40
).map("".join)
names = st.none() | text


@st.composite
def message_and_args(draw):
    """A message and its arguments, with the text the % operator makes of
    them, which the logger must reproduce."""
    parts = draw(st.lists(text, min_size=1, max_size=4))
    if len(parts) == 1 and draw(st.booleans()):
        return parts[0], (), parts[0]  # no arguments: written unchanged, '%' too
    template = "%s".join(p.replace("%", "%%") for p in parts)
    args = tuple(draw(st.lists(text | st.integers(), min_size=len(parts) - 1, max_size=len(parts) - 1)))
    # Without arguments nothing is interpolated: "%%" stays "%%".
    return template, args, template % args if args else template


FUZZ = settings(max_examples=150, deadline=None,
                suppress_health_check=[HealthCheck.function_scoped_fixture, HealthCheck.too_slow])


@FUZZ
@given(name=names, call=message_and_args())
def test_each_call_is_one_line_that_decodes_back(destinations, name, call):
    message, args, expected = call
    written = log_everywhere(destinations, name, message, args)
    assert_one_line_each(destinations, written, name, expected)


@pytest.mark.clockbound
@settings(FUZZ, max_examples=6)
@given(piece=text.filter(bool), where=st.sampled_from(["message", "argument", "name"]))
def test_megabyte_strings(destinations, piece, where):
    big = piece * (2**20 // len(piece) + 1)
    name = big if where == "name" else "n"
    message, args = ("%s", (big,)) if where == "argument" else (big if where == "message" else "m", ())
    expected = big if where != "name" else "m"
    written = log_everywhere(destinations, name, message, args)
    assert_one_line_each(destinations, written, name, expected)


@settings(FUZZ, max_examples=60)
@given(
    before=text,
    after=text,
    surrogate=st.characters(min_codepoint=0xD800, max_codepoint=0xDFFF),
    where=st.sampled_from(["message", "argument", "name"]),
)
def test_lone_surrogates_raise_and_write_nothing(destinations, before, after, surrogate, where):
    from ferrant._logger import PyLogger

    bad = before + surrogate + after
    for d in destinations:
        with pytest.raises(UnicodeEncodeError):
            if where == "name":
                PyLogger(bad, d.path)
            else:
                log = PyLogger("n", d.path)
                if where == "message":
                    log.info(bad)
                else:
                    log.info("x %s y", bad)
        d.keeper.shutdown()
        assert d.new_bytes() == b"", d.layout
