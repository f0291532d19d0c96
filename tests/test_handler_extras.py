"""ferrant.Handler writes a record's `extra` attributes as fields."""

import logging

import pytest

import ferrant
from ferrant import Handler, PyLevel, PyLogger, _logger
from lines import NewLines, record_pairs, safe_key
from test_fields import expected


class Bridged(NewLines):
    """A stdlib logger whose only handler is a ferrant.Handler to a file in
    layout `kind`; `records()` reads back the records written since last."""

    def __init__(self, directory, kind):
        self.kind, self.directory = kind, directory
        self.path = str(directory / "app.log")
        _logger.basic_config(format="json" if kind == "json" else "logfmt", color="off")
        try:
            self.handler = Handler(path=self.path)
        finally:
            _logger.basic_config()
        self.log = logging.getLogger(f"extras.{kind}.{directory.name}")
        self.log.propagate = False
        self.log.setLevel(logging.DEBUG)
        self.log.addHandler(self.handler)

    def flush(self):
        self.handler.flush()

    def fields(self):
        """The (key, value) pairs after msg of each record."""
        out = []
        for line in self.lines():
            pairs = record_pairs(line, self.kind)
            keys = [k for k, _ in pairs]
            out.append(pairs[keys.index("msg") + 1 :])
        return out

    def close(self):
        self.log.removeHandler(self.handler)
        self.handler.close()


@pytest.fixture(params=["text", "json"])
def bridged(request, tmp_path):
    b = Bridged(tmp_path / request.param, request.param)
    yield b
    b.close()


# value, as a logfmt reader and as a JSON reader give it back
VALUES = [
    ("two words", "two words", "two words"),
    ("", "", ""),
    (42, "42", 42),
    (2**64 - 1, str(2**64 - 1), 2**64 - 1),
    (-(2**70), str(-(2**70)), str(-(2**70))),  # past 64 bits a JSON string
    (1.5, "1.5", 1.5),
    (True, "true", True),
    (None, "null", None),
    ({"a": [1, None], "b": "x"}, '{"a":[1,null],"b":"x"}', [("a", [1, None]), ("b", "x")]),
]


@pytest.mark.parametrize("value,text,json", VALUES, ids=repr)
def test_extra_values_read_back(bridged, value, text, json):
    bridged.log.info("m %s", "arg", extra={"v": value})
    assert bridged.fields() == [[("v", json if bridged.kind == "json" else text)]]


def test_extras_keep_their_order_and_bad_names_take_their_safe_form(bridged):
    before = logging.Handler()  # formats first: the record gains message and asctime
    before.setFormatter(logging.Formatter("%(asctime)s %(message)s"))
    before.emit = lambda record: before.format(record)
    bridged.log.addHandler(before)
    bridged.log.handlers.reverse()
    extra = {"z": 1, "bad key": 2, "time": 3, "level": 4, "exc": 5, "9a": 6, "-a": 7,
             "x" * 129: 12, "ключ": 8, "user.id": "u", "a-b_c": 9, "x" * 128: 10, "m": 11}
    bridged.log.warning("m", extra=extra)
    bridged.log.removeHandler(before)
    [fields] = bridged.fields()
    assert [k for k, _ in fields] == [safe_key(k) for k in extra]
    assert [v for _, v in fields] == [expected(v, bridged.kind) for v in extra.values()]


def test_attributes_set_by_a_filter_or_a_record_factory_are_fields(bridged):
    class Early(logging.LogRecord):
        def __init__(self, *args, **kwargs):
            self.early = "before"  # ahead of LogRecord's own attributes
            super().__init__(*args, **kwargs)
            self.late = "after"

    def tag(record):
        record.tagged = "yes"
        return True

    bridged.handler.addFilter(tag)
    bridged.handler.handle(Early(bridged.log.name, logging.INFO, __file__, 1, "m", (), None))
    bridged.log.info("plain")
    bridged.handler.removeFilter(tag)
    assert bridged.fields() == [[("early", "before"), ("late", "after"), ("tagged", "yes")],
                                [("tagged", "yes")]]


def after_time(line, kind):
    return line[line.index(',"level":' if kind == "json" else " level=") :]


def test_records_without_extras_are_the_native_lines(bridged):
    native = PyLogger(bridged.log.name, bridged.path, level=PyLevel.Trace)
    formatting = logging.Handler()
    formatting.setFormatter(logging.Formatter("%(asctime)s %(message)s"))
    formatting.emit = lambda record: formatting.format(record)
    for handlers in ([bridged.handler], [formatting, bridged.handler]):
        bridged.log.handlers = handlers
        bridged.log.info("user %s", "bob")
        native.info("user %s", "bob")
        bridged.log.error("a\nb")
        native.error("a\nb")
    bridged.log.handlers = [bridged.handler]
    lines = [after_time(line, bridged.kind) for line in bridged.lines()]
    assert len(lines) == 8
    assert lines[0::2] == lines[1::2]


class Raises:
    def __str__(self):
        raise RuntimeError("no text")


def test_values_without_text_or_utf8_are_written_not_sent_to_handle_error(bridged, capsys):
    record = bridged.log.makeRecord(bridged.log.name, logging.INFO, __file__, 1, "m", (), None,
                                    extra={"ok": 1, "v": Raises()})
    bridged.handler.handle(record)
    bridged.log.info("lone %s", "\udcff", extra={"p": "x\udcfey"})
    bridged.log.info("m", extra={"v": ["ok", "\udcff"]})
    assert capsys.readouterr().err == ""
    from test_fields import expected

    k = bridged.kind
    assert bridged.fields() == [[("ok", expected(1, k)), ("v", "<unprintable Raises: RuntimeError>")],
                                [("p", expected("x\udcfey", k))],
                                [("v", expected(["ok", "\udcff"], k))]]


@pytest.mark.skipif(not hasattr(ferrant, "bind_contextvars"), reason="no context variables yet")
def test_context_fields_reach_bridged_lines(bridged):
    with ferrant.bound_contextvars(request_id="r-1"):
        bridged.log.info("m", extra={"status": 200})
    bridged.log.info("m")
    json = bridged.kind == "json"
    assert bridged.fields() == [[("request_id", "r-1"), ("status", 200 if json else "200")], []]


def test_set_level_leaves_bridged_records_to_logging(bridged):
    # The stdlib logger's and handler's levels decide; ferrant's set_level
    # governs ferrant's own loggers only.
    bridged.log.info("before")
    ferrant.set_level("error")
    try:
        bridged.log.info("kept", extra={"n": 1})
        bridged.log.debug("kept too")
    finally:
        ferrant.set_level("info")
    assert len(bridged.lines()) == 3
