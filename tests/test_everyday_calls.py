"""What ferrant.Logger makes of the calls an application makes every day:
critical and fatal, messages that are not str, lone surrogates. Each writes
a record, as the stdlib would, and none raises into the caller."""

import logging
import sys

import pytest

from test_fields import Boom, FieldCapture, Raises, cap  # noqa: F401 (a fixture)

KINDS = ["text", "json"]


def stdlib_message(msg, *args):
    """What logging writes for (msg, *args): the oracle."""
    return logging.LogRecord("n", logging.INFO, __file__, 1, msg, args, None).getMessage()


class Shown:
    def __str__(self):
        return "shown %s"


class Text(str):
    pass


MESSAGES = [
    ({"a": 1}, ()),
    (ValueError("boom"), ()),
    (42, ()),
    (None, ()),
    (["x", 2], ()),
    (Shown(), ()),
    (Shown(), ("arg",)),
    (Text("sub %d"), (3,)),
    ("%(user)s in", ({"user": "bob"},)),
    ("plain %s and %d", ("s", 7)),
    (b"bytes", ()),
]


@pytest.mark.parametrize("kind", KINDS)
def test_messages_of_any_type_are_written_as_the_stdlib_writes_them(tmp_path, kind):
    cap = FieldCapture(tmp_path, kind)
    for msg, args in MESSAGES:
        cap.log.info(msg, *args)
    assert [dict(r)["msg"] for r in cap.records()] == [stdlib_message(m, *a) for m, a in MESSAGES]


@pytest.mark.parametrize("kind", KINDS)
def test_critical_and_fatal_are_error_records(tmp_path, kind):
    cap = FieldCapture(tmp_path, kind)
    cap.log.critical("c %d", 1, k="v")
    cap.log.fatal("f")
    cap.log.bind(b=1).critical("bound")
    records = [dict(r) for r in cap.records()]
    assert [(r["level"], r["msg"]) for r in records] == [("error", "c 1"), ("error", "f"),
                                                        ("error", "bound")]
    assert records[0]["k"] == "v"


def test_a_message_whose_str_fails_is_written_as_a_placeholder(tmp_path):
    cap = FieldCapture(tmp_path, "json")
    cap.log.error(Raises(), v=1)
    [record] = [dict(r) for r in cap.records()]
    assert record["msg"] == "<unprintable Raises: Boom>" and record["v"] == 1


def test_an_interrupt_from_a_messages_str_still_propagates(cap):
    class Interrupts:
        def __str__(self):
            raise KeyboardInterrupt

    with pytest.raises(KeyboardInterrupt):
        cap.log.info(Interrupts())
    assert cap.lines() == []


SURROGATES = [
    ("lone \udcff", ()),
    ("arg %s", ("\ud800x",)),
    ("%(k)s", ({"k": "\udc80"},)),
    ("fine %s", ("é",)),
]


@pytest.mark.parametrize("kind", KINDS)
def test_lone_surrogates_in_a_message_are_escaped(tmp_path, kind):
    cap = FieldCapture(tmp_path, kind)
    for msg, args in SURROGATES:
        cap.log.warning(msg, *args, k=1)
    want = [stdlib_message(m, *a).encode("utf-8", "backslashreplace").decode() for m, a in SURROGATES]
    records = [dict(r) for r in cap.records()]
    assert [r["msg"] for r in records] == want
    assert all(str(r["k"]) == "1" for r in records)


def test_logging_in_an_except_block_keeps_the_exception_being_handled(cap):
    try:
        raise ZeroDivisionError("kept")
    except ZeroDivisionError:
        cap.log.info({"odd": "message"}, **{"bad key": 1, "name": 2})
        cap.log.info("lone \udcff")
        cap.log.info(Raises())
        assert sys.exc_info()[0] is ZeroDivisionError
    assert len(cap.lines()) == 3


def test_a_format_error_still_propagates(cap):
    # The message is `message % args`: a mismatch is the caller's to see.
    with pytest.raises(TypeError):
        cap.log.info("%d", "not a number")
    with pytest.raises(Boom):
        cap.log.info("%s", Raises())
    assert cap.lines() == []
