"""Key/value fields of ferrant.Logger: values read back by a JSON and a
logfmt reader, key rules, the order of bound and call fields, hostile values
and values whose __str__ raises or logs."""

import datetime
import json
import math
import re

import pytest

import ferrant
from ferrant import Logger, PyLevel, PyLogger, _logger

from lines import NewLines, record_pairs, safe_key

KINDS = ["text", "color", "json"]


class FieldCapture(NewLines):
    """A Logger writing to a file in layout `kind`, read back between calls.
    The writer's layout is fixed when its first logger is made, so the
    settings are set for that moment only; the keeper holds the writer, so
    that `shutdown` only flushes."""

    def __init__(self, directory, kind, name="app", level=PyLevel.Trace):
        self.directory, self.kind = directory, kind
        self.path = str(directory / "app.log")
        _logger.basic_config(
            format="json" if kind == "json" else "logfmt",
            color="always" if kind == "color" else "off",
        )
        try:
            self.keeper = PyLogger(None, self.path)
        finally:
            _logger.basic_config()
        self.log = Logger(name, self.path, level=level)

    def records(self):
        return [record_pairs(line, self.kind) for line in self.lines()]

    def fields(self):
        """The pairs after msg of each record."""
        out = []
        for pairs in self.records():
            keys = [k for k, _ in pairs]
            out.append(pairs[keys.index("msg") + 1 :])
        return out


@pytest.fixture(params=KINDS)
def cap(request, tmp_path):
    return FieldCapture(tmp_path / request.param, request.param)


def expected(value, kind):
    """What a reader of layout `kind` gives back for `value` (a JSON object
    as its pairs, as record_pairs reads it)."""
    if isinstance(value, (datetime.date, datetime.time)):
        return value.isoformat()
    if kind == "json":
        if isinstance(value, dict) and all(isinstance(k, str) for k in value):
            return [(k, expected(v, kind)) for k, v in value.items()]
        if isinstance(value, (list, tuple)):
            return [expected(v, kind) for v in value]
        if isinstance(value, float) and not math.isfinite(value):
            return "NaN" if math.isnan(value) else ("Infinity" if value > 0 else "-Infinity")
        if value is None or isinstance(value, (str, bool, int, float)):
            return value
        return str(value)
    if value is None:
        return "null"
    if isinstance(value, (list, tuple)) or isinstance(value, dict) and all(isinstance(k, str) for k in value):
        return json.dumps(value, separators=(",", ":"), ensure_ascii=False, default=str)
    if isinstance(value, bool):
        return "true" if value else "false"
    if isinstance(value, float):
        return repr(value)
    if isinstance(value, int):
        return str(int(value))
    return str(value)


class Shown:
    def __str__(self):
        return 'shown "as" = str'


class IntLike(int):
    def __repr__(self):
        return "IntLike!"


VALUES = [
    "bob",
    "",
    "two words",
    "é ü 日本",
    0,
    -5,
    2**63 - 1,
    -(2**63),
    2**63,
    -(2**64) - 1,
    10**40,
    IntLike(7),
    True,
    False,
    None,
    0.1,
    -0.0,
    1.0,
    123.456,
    1e16,
    1.5e-7,
    1e-5,
    1e300,
    5e-324,
    -2.5e22,
    float("nan"),
    float("inf"),
    float("-inf"),
    Shown(),
    [1, "a"],
    {"k": 1},
    (1, 2),
    b"bytes",
    [],
    {},
    {"a": [1, 2.5, None, True, "x\ny"], "b": {"c": {"d": ()}}, "e": Shown()},
    {1: "int key"},
    ("t", ("u",)),
    datetime.datetime(2026, 12, 8, 6, 13, 12, 500, tzinfo=datetime.timezone(datetime.timedelta(hours=1))),
    datetime.datetime(2026, 12, 8, 6, 13),
    datetime.date(2026, 12, 8),
    datetime.time(23, 59, 1),
]


@pytest.mark.parametrize("value", VALUES, ids=repr)
def test_values_read_back(cap, value):
    cap.log.info("m", v=value)
    [fields] = cap.fields()
    assert fields == [("v", expected(value, cap.kind))]


@pytest.mark.parametrize("kind", ["text", "json"])
def test_floats_are_written_as_repr(tmp_path, kind):
    cap = FieldCapture(tmp_path, kind)
    floats = [v for v in VALUES if isinstance(v, float) and math.isfinite(v)]
    cap.log.info("m", **{f"f{i}": v for i, v in enumerate(floats)})
    [line] = cap.lines()
    sep = '"{}":' if kind == "json" else " {}="
    for i, v in enumerate(floats):
        assert sep.format(f"f{i}") + repr(v) in line, (v, line)


@pytest.mark.parametrize(
    "value,written",
    [("bob", "v=bob"), ("", 'v=""'), ("a b", 'v="a b"'), ("a=b", 'v="a=b"'), ('"', r'v="\""'),
     ("\\", r'v="\\"'), ("é", "v=é"), ("\x85", r'v="\u0085"'), ("\u2028", r'v="\u2028"'),
     ("\x7f", 'v="\x7f"'), (None, "v=null"), (True, "v=true"), (-3, "v=-3")],
)
def test_text_values_bare_or_quoted(tmp_path, value, written):
    cap = FieldCapture(tmp_path, "text")
    cap.log.info("m", v=value)
    [line] = cap.lines()
    assert line.endswith('msg="m" ' + written)


def test_colour_keys_are_dim(tmp_path):
    cap = FieldCapture(tmp_path, "color")
    cap.log.info("m", user="bob", n=1)
    [line] = cap.lines()
    assert line.endswith('msg=\x1b[0m"m" \x1b[2muser=\x1b[0mbob \x1b[2mn=\x1b[0m1')


GOOD_KEYS = ["a", "_", "Z", "_x.y-z_9", "user.id", "a-", "x" * 128, "message", "args"]
BAD_KEYS = ["", "9a", "-a", ".a", "a b", "a=b", 'a"b', "a\nb", "ключ", "é", "x" * 129, "a:b"]
RESERVED = ["time", "level", "name", "msg", "exc"]


@pytest.mark.parametrize("key", GOOD_KEYS)
def test_good_keys(cap, key):
    cap.log.info("m", **{key: 1})
    cap.log.bind(**{key: 2}).info("m")
    assert cap.fields() == [[(key, expected(1, cap.kind))], [(key, expected(2, cap.kind))]]


def test_checked_keys_are_remembered_per_names_tuple(tmp_path):
    """A call site's names tuple is checked once and remembered; tuples made
    per call (`**fields`) come and go in numbers, and a bad key among many
    good ones must still get its safe form."""
    cap = FieldCapture(tmp_path, "json")
    for round_ in range(3):
        for i in range(40):
            cap.log.info("m", **{f"k{i}": i})
            cap.log.info("m", **{f"k{i}": i, "bad key": 1})
        cap.log.info("m", a=1, exc_info=None)
    records = cap.fields()
    assert len(records) == 3 * 81 and records[80] == [("a", 1)]
    assert records[14] == [("k7", 7)]
    assert records[15] == [("k7", 7), ("@bad%20key", 1)]


@pytest.mark.parametrize("key", BAD_KEYS + RESERVED + ["exc_info", "@x", "a%20b", "\udcff"])
@pytest.mark.parametrize("how", ["call", "bind", "both"])
def test_bad_and_reserved_keys_take_their_safe_form(cap, key, how):
    """Such a key is written as "@" and its percent-encoded bytes: never
    twice on a line, never meeting another key, its value kept."""
    log = cap.log
    if how == "call":
        if key == "exc_info":
            pytest.skip("the level methods' own keyword")
        log.info("m", ok="a", **{key: 1})
    elif how == "bind":
        log.bind(ok="a", **{key: 1}).info("m")
    else:
        # The call's value wins over the bound one under the same key.
        log.bind(**{key: 2, "ok": "a"}).info("m", **({} if key == "exc_info" else {key: 1}))
    [fields] = cap.fields()
    k = cap.kind
    written = safe_key(key)
    assert written.startswith("@") and written not in RESERVED
    if how == "both" and key != "exc_info":
        assert fields == [("ok", "a"), (written, expected(1, k))]
    elif how == "both":
        assert fields == [(written, expected(2, k)), ("ok", "a")]
    else:
        assert fields == [("ok", "a"), (written, expected(1, k))]


def test_safe_keys_never_meet_each_other_or_valid_keys(cap):
    keys = {"a b": 1, "@a%20b": 2, "a%20b": 3, "name": 4, "@name": 5, "_name": 6, "a_b": 7}
    cap.log.info("m", **keys)
    [fields] = cap.fields()
    assert [k for k, _ in fields] == [safe_key(k) for k in keys]
    assert len({k for k, _ in fields}) == len(keys)
    assert [v for _, v in fields] == [expected(v, cap.kind) for v in keys.values()]


def test_call_fields_follow_bound_ones_and_win(cap):
    k = cap.kind
    bound = cap.log.bind(a=1, b=2)
    bound.info("m", b=3, c=4)
    bound.info("m", c=5, a=6)
    bound.bind(a=7).info("m")  # a re-bound key replaces the older one, at the end
    bound.bind(a=7).bind(c=8, b=9).info("m", d=0)
    bound.info("m")
    e = lambda *pairs: [(key, expected(v, k)) for key, v in pairs]  # noqa: E731
    assert cap.fields() == [
        e(("a", 1), ("b", 3), ("c", 4)),
        e(("b", 2), ("c", 5), ("a", 6)),
        e(("b", 2), ("a", 7)),
        e(("a", 7), ("c", 8), ("b", 9), ("d", 0)),
        e(("a", 1), ("b", 2)),
    ]


def test_bind_never_changes_the_logger_it_was_called_on(cap):
    log = cap.log
    one = log.bind(a=1)
    two = one.bind(b=2)
    one.bind(a=3)
    assert type(one) is Logger and one is not log and two is not one
    log.info("m")
    one.info("m")
    two.info("m")
    k = cap.kind
    assert cap.fields() == [[], [("a", expected(1, k))], [("a", expected(1, k)), ("b", expected(2, k))]]


def test_bind_rejects_positional_arguments(cap):
    with pytest.raises(TypeError):
        cap.log.bind({"a": 1})
    assert type(cap.log.bind()) is Logger


def after_time(line, kind):
    """The line from its level on: the time differs between two records."""
    marker = {"text": " level=", "color": " \x1b[2mlevel=", "json": ',"level":'}[kind]
    return line[line.index(marker) :]


@pytest.mark.parametrize("name", ["app", None, "", "a b"])
def test_line_without_fields_is_the_pyloggers(cap, name):
    log, py = Logger(name, cap.path), PyLogger(name, cap.path)
    calls = [("info", "plain", ()), ("error", "user %s took %.2f s", ("bob", 1.5)),
             ("warning", "%(k)s", ({"k": "v"},)), ("debug", "dropped", ()), ("warn", "a\nb", ())]
    for method, message, args in calls:
        getattr(log, method)(message, *args)
        getattr(py, method)(message, *args)
        getattr(log.bind(), method)(message, *args)
    lines = [after_time(line, cap.kind) for line in cap.lines()]
    assert len(lines) == 12
    for i in range(0, 12, 3):
        assert lines[i] == lines[i + 1] == lines[i + 2]


HOSTILE = (
    [chr(c) for c in range(0x20)]
    + ["\x7f", '"', "=", "\\", " ", 'x" y="forged', " msg=forged", "a\nmsg=forged",
       '","msg":"forged', "\"}\n{\"level\":\"error\"", "\u2028", "\u2029", "\ufeff", "😀 🚀",
       "\x1b[31mred\x1b[0m", "\\u0041", "\\n"]
    + [chr(c) for c in range(0x80, 0xA0)]
)


@pytest.mark.parametrize("kind", KINDS)
def test_hostile_values_stay_in_their_field(tmp_path, kind):
    cap = FieldCapture(tmp_path, kind)
    bound = cap.log.bind(**{f"b{i}": v for i, v in enumerate(HOSTILE)})
    for i, v in enumerate(HOSTILE):
        cap.log.info("m", v=v, w="end")
        cap.log.info("m", v=Shown(), **{f"k{i}": v})
    bound.info("m")
    records = cap.records()
    assert len(records) == 2 * len(HOSTILE) + 1
    for i, v in enumerate(HOSTILE):
        plain, other = records[2 * i], records[2 * i + 1]
        assert [k for k, _ in plain] == ["time", "level", "name", "msg", "v", "w"]
        assert plain[4:] == [("v", v), ("w", "end")]
        assert other[4:] == [("v", str(Shown())), (f"k{i}", v)]
    assert records[-1][4:] == [(f"b{i}", v) for i, v in enumerate(HOSTILE)]


class Boom(Exception):
    pass


class Raises:
    def __str__(self):
        raise Boom("no str")


@pytest.mark.parametrize(
    "call",
    [
        lambda log: log.info("m", v=Raises()),
        lambda log: log.info("m %s", "arg", ok=1, v=Raises(), after=2),
        lambda log: log.bind(a=1).error("m", v=Raises()),
        lambda log: log.bind(v=Raises()),
        lambda log: log.bind(a=1).bind(ok="x", v=Raises()),
    ],
)
def test_raising_str_raises_and_writes_nothing(cap, call):
    with pytest.raises(Boom):
        call(cap.log)
    cap.log.info("after")
    [after] = cap.records()
    assert dict(after)["msg"] == "after" and len(after) == 4


def nested(depth):
    value = "leaf"
    for _ in range(depth):
        value = [value]
    return value


@pytest.mark.parametrize("depth", [15, 16, 17, 40])
def test_deep_nesting_is_cut_to_a_repr_string(tmp_path, depth):
    cap = FieldCapture(tmp_path, "json")
    cap.log.info("m", v=nested(depth))
    [fields] = cap.fields()
    [(key, got)] = fields
    for _ in range(min(depth, 16)):
        got = got[0]
    assert got == ("leaf" if depth <= 16 else repr(nested(depth - 16)))


def test_a_cycle_is_written_as_its_repr(tmp_path):
    cap = FieldCapture(tmp_path, "json")
    loop = [1]
    loop.append(loop)
    mapping = {"self": None}
    mapping["self"] = mapping
    cap.log.info("m", loop=loop, mapping=mapping)
    [fields] = cap.fields()
    assert fields == [("loop", [1, repr(loop)]), ("mapping", [("self", repr(mapping))])]


def test_a_value_that_changes_its_container_is_written_as_it_was(tmp_path):
    cap = FieldCapture(tmp_path, "json")
    items = ["a"]

    class Grows:
        def __str__(self):
            items.extend(["late"] * 100)
            return "grows"

    items.append(Grows())
    items.append("b")
    cap.log.info("m", v=items)
    assert cap.fields() == [[("v", ["a", "grows", "b"])]]


def test_lone_surrogate_raises_and_writes_nothing(cap):
    with pytest.raises(UnicodeEncodeError):
        cap.log.info("m", v="\udcff")
    assert cap.lines() == []


def test_a_value_that_logs_leaves_the_line_intact(cap):
    log = cap.log

    class Loud:
        def __str__(self):
            log.info("inner %s", "arg" * 50, inner=1)
            log.bind(deep="x").warn("inner two")
            return "loud"

    log.bind(b="bound").info("outer %s %d", "message" * 20, 7, v=Loud(), w=2)
    records = cap.records()
    assert [dict(r)["msg"] for r in records] == ["inner " + "arg" * 50, "inner two",
                                                "outer " + "message" * 20 + " 7"]
    k = cap.kind
    assert records[0][4:] == [("inner", expected(1, k))]
    assert records[1][4:] == [("deep", "x")]
    assert records[2][4:] == [("b", "bound"), ("v", "loud"), ("w", expected(2, k))]


def test_dropped_call_looks_at_nothing(tmp_path):
    cap = FieldCapture(tmp_path, "text", level=PyLevel.Warn)
    cap.log.info("m", **{"bad key": Raises(), "msg": 1})
    cap.log.bind(a=1).debug("m %s", Raises(), v=Raises())
    cap.log.info(Raises(), v=1)
    assert cap.lines() == []


def test_message_is_positional_only(cap):
    with pytest.raises(TypeError, match="message"):
        cap.log.info(message="m")
    cap.log.info("m", message="field")
    assert cap.fields() == [[("message", "field")]]


@pytest.mark.parametrize("kind", KINDS)
def test_logger_and_pylogger_share_one_file(tmp_path, kind):
    cap = FieldCapture(tmp_path, kind)
    py = PyLogger("py", cap.path)
    for i in range(200):
        cap.log.info("l %d", i, i=i)
        py.info("p %d", i)
    records = [dict(r) for r in cap.records()]
    assert [r["msg"] for r in records] == [m for i in range(200) for m in (f"l {i}", f"p {i}")]
    assert all(str(r["i"]) == str(i) for i, r in zip(range(200), records[::2]))
    assert all("i" not in r for r in records[1::2])


def test_constructor_arguments_as_pylogger():
    with pytest.raises(TypeError, match=r"Logger\(\) argument 'level'"):
        Logger("a", None, 2.0)
    with pytest.raises(TypeError):
        Logger(3)
    with pytest.raises(ValueError, match="null"):
        Logger("a", "x\0y")
    assert re.fullmatch(r"<ferrant\.Logger object at .*>", repr(Logger("a")))


def test_get_logger_writes_where_basic_config_says(run, tmp_path):
    run(
        """
        import ferrant
        ferrant.basic_config(path="logs/app.log", format="json")
        log = ferrant.get_logger("app")
        assert type(log) is ferrant.Logger
        log.info("hi", user="bob")
        ferrant._logger.get_logger("app").info("hi")
        """
    )
    import json

    from lines import dated_lines

    recs = [json.loads(line) for line in dated_lines(tmp_path / "logs")]
    assert [(r["msg"], r.get("user")) for r in recs] == [("hi", "bob"), ("hi", None)]


class Text(str):
    """Written as the str it is, but its class sends the call down the
    general path."""


def emit(log, value, last, arg):
    # One call site: one names tuple for every layout and both paths.
    log.info("req %s %d", arg, 5, v=value, exc_info=False, w=last)


@pytest.mark.parametrize(
    "value",
    ["bob", "", "two words", 'q"uote=', "line\nfeed", "a\\b", "é 日本", "\x85", "\u2028",
     0, -5, 2**63, -(2**64) - 1, True, False, None,
     0.1, -0.0, 12.5, 1e16, 1.5e-7, 1e300, float("nan"), float("-inf")],
    ids=repr,
)
def test_plain_values_written_in_place_as_the_general_path_writes_them(tmp_path, value):
    """Plain values go straight into the batch, others through a scratch
    buffer: both must give the same line, with bound, context and call fields
    (the call's `w` replaces the bound one)."""
    try:
        ferrant.bind_contextvars(ctx="c 1", n=2.5)
        for kind in KINDS:
            cap = FieldCapture(tmp_path / kind, kind)
            log = cap.log.bind(b=1, w="bound")
            emit(log, value, "end", "a b")
            emit(log, value, Text("end"), Text("a b"))
            in_place, general = (after_time(line, kind) for line in cap.lines())
            assert in_place == general
    finally:
        ferrant.clear_contextvars()
