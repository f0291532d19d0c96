"""Logger.exception and exc_info: the traceback as the last field `exc`, one
line in every layout, chained exceptions and notes, and the cases that
carry no exception."""

import traceback

import pytest

import ferrant
from ferrant import PyLevel

from lines import record_pairs
from test_context_fields import fresh_context  # noqa: F401 (an autouse fixture)
from test_fields import KINDS, FieldCapture, cap, expected  # noqa: F401 (a fixture)


def chained():
    """A ValueError raised from a KeyError, with notes and a hostile message."""
    try:
        try:
            {}["missing"]
        except KeyError as inner:
            raise ValueError('bad "value"\n msg=forged\u2028\x1b[31m') from inner
    except ValueError as e:
        e.add_note("note one")
        e.add_note('note "two"\nsecond line')
        return e


@pytest.mark.parametrize(
    "how",
    [lambda log: log.exception("failed %d", 7, job=1),
     lambda log: log.error("failed %d", 7, job=1, exc_info=True),
     lambda log: log.warn("failed %d", 7, exc_info=True, job=1)],
    ids=["exception", "exc_info-last", "exc_info-first"],
)
def test_handled_exception_is_the_last_field(cap, how):
    ferrant.bind_contextvars(request="r1")
    err = chained()
    try:
        raise err
    except ValueError:
        how(cap.log.bind(user="bob"))
    want = "".join(traceback.format_exception(err))
    assert "note one" in want and "The above exception" in want
    [line] = cap.lines()  # one line, however many line feeds the traceback has
    pairs = record_pairs(line, cap.kind)  # JSON: json.loads
    assert pairs[3][1] == "failed 7"
    assert [k for k, _ in pairs[4:]] == ["user", "request", "job", "exc"]
    assert pairs[-1] == ("exc", want)


@pytest.mark.parametrize("kind", KINDS)
def test_exception_instance_and_surrogates(tmp_path, kind):
    cap = FieldCapture(tmp_path, kind)
    cap.log.info("given", exc_info=ValueError("x"))
    cap.log.info("given", exc_info=ValueError("lone \udcff"))
    records = cap.records()
    assert records[0][-1] == ("exc", "ValueError: x\n")
    assert records[1][-1] == ("exc", "ValueError: lone \\udcff\n")


class Text(str):
    pass


@pytest.mark.parametrize(
    "given, written",
    [("Traceback (remote)\nValueError: x", "Traceback (remote)\nValueError: x"),
     ('one "line" \x1b[31m\u2028', 'one "line" \x1b[31m\u2028'),
     ("lone \udcff", "lone \\udcff"),
     (Text("subclass"), "subclass"),
     ("", None)],
    ids=["traceback", "hostile", "surrogate", "subclass", "empty"],
)
def test_a_str_is_a_formatted_traceback(cap, given, written):
    cap.log.error("remote", exc_info=given, job=1)
    [record] = cap.records()
    assert record[3:] == [("msg", "remote"), ("job", expected(1, cap.kind))] + (
        [("exc", written)] if written is not None else [])


@pytest.mark.parametrize(
    "how,inside",
    [(lambda log: log.exception("m"), False),
     (lambda log: log.error("m", exc_info=True), False),
     (lambda log: log.info("m", exc_info=False), True),
     (lambda log: log.info("m", exc_info=None), True),
     (lambda log: log.exception("m", exc_info=False), True)],
    ids=["exception-outside", "exc_info-outside", "false", "none", "exception-false"],
)
def test_no_exception_no_field(cap, how, inside):
    if inside:
        try:
            raise KeyError("k")
        except KeyError:
            how(cap.log)
    else:
        how(cap.log)
    [record] = cap.records()
    assert [k for k, _ in record] == ["time", "level", "name", "msg"]


class FailingTruth:
    def __bool__(self):
        raise ZeroDivisionError


@pytest.mark.parametrize(
    "value,written",
    [(1, "handled"), (b"yes", "handled"), (ValueError, "handled"), ([0], "handled"),
     (0, None), ((), None), (b"", None), (FailingTruth(), None),
     ((ValueError, ValueError("from the triple"), None), "triple"),
     ((None, None, None), None)],
    ids=["one", "bytes", "class", "list", "zero", "empty-tuple", "empty-bytes", "failing",
         "triple", "no-exception-triple"],
)
def test_exc_info_is_read_as_logging_reads_it(cap, value, written):
    try:
        raise KeyError("handled")
    except KeyError:
        cap.log.info("m", exc_info=value)
    [fields] = cap.fields()
    if written is None:
        assert fields == []
    else:
        [(key, text)] = fields
        assert key == "exc"
        assert text.endswith("KeyError: 'handled'\n" if written == "handled"
                             else "ValueError: from the triple\n")


def test_an_exc_field_keeps_its_value_beside_the_exception(cap):
    cap.log.error("m", exc="text", exc_info=ValueError("x"))
    [fields] = cap.fields()
    assert [k for k, _ in fields] == ["@exc", "exc"]
    assert fields[0][1] == "text" and fields[1][1].endswith("ValueError: x\n")


def test_dropped_call_formats_nothing(tmp_path):
    cap = FieldCapture(tmp_path, "text", level=PyLevel.Error)
    cap.log.info("m", exc_info="not checked")
    cap.log.debug("m", exc_info=ValueError("x"))
    assert cap.lines() == []
