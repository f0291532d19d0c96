"""Key/value fields of ferrant.Logger: values read back by a JSON and a
logfmt reader, key rules, the order of bound and call fields, hostile values
and values whose __str__ raises or logs."""

import datetime
import json
import math
import re
import sys

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


NEST_MAX = 16  # the documented depth of nested JSON


def printable(text):
    """A str as every layout writes it: lone surrogates as backslash escapes."""
    return text.encode("utf-8", "backslashreplace").decode("utf-8")


def text_of(value, make=str):
    """What `make(value)` (str, isoformat) gives as the line writes it: an
    Exception or a non-str as the placeholder naming the types."""
    try:
        text = make(value)
    except Exception as e:
        return f"<unprintable {type(value).__name__}: {type(e).__name__}>"
    if not isinstance(text, str):
        return f"<unprintable {type(value).__name__}: TypeError>"
    return printable(text)


def all_digits(value):
    """The decimal digits of an int, past the interpreter's digit limit too."""
    limit = sys.get_int_max_str_digits()
    sys.set_int_max_str_digits(0)
    try:
        return str(int(value))
    finally:
        sys.set_int_max_str_digits(limit)


class Pairs(list):
    """A JSON object as the (key, value) pairs of its members, in order."""


def json_value(value, depth=0, open_=()):
    """`value` as a JSON reader gives back what the JSON layout writes for it
    (objects as Pairs), `depth` containers deep inside those in `open_`."""
    if isinstance(value, (datetime.date, datetime.time)):
        return text_of(value, lambda v: v.isoformat())
    if value is None or isinstance(value, bool):
        return value
    if isinstance(value, int):
        # Every common reader takes a 64-bit integer exactly.
        return int(value) if -(2**63) <= value < 2**64 else all_digits(value)
    if isinstance(value, float):
        if not math.isfinite(value):
            return "NaN" if math.isnan(value) else ("Infinity" if value > 0 else "-Infinity")
        return float(value)
    if type(value) is str:
        return printable(value)
    if isinstance(value, (list, tuple, dict)):
        placeholder = "{...}" if isinstance(value, dict) else "[...]"
        if any(value is o for o in open_):
            try:
                return printable(repr(value))
            except Exception:
                return placeholder
        if depth == NEST_MAX:
            return placeholder
        inner = open_ + (value,)
        if not isinstance(value, dict):
            return [json_value(v, depth + 1, inner) for v in value]
        if all(isinstance(k, str) for k in value):
            return Pairs((printable(k), json_value(v, depth + 1, inner)) for k, v in value.items())
    return text_of(value)


def compact_json(v):
    """The compact JSON text of a json_value."""
    if isinstance(v, Pairs):
        return "{" + ",".join(json.dumps(k, ensure_ascii=False) + ":" + compact_json(x) for k, x in v) + "}"
    if isinstance(v, list):
        return "[" + ",".join(map(compact_json, v)) + "]"
    return json.dumps(v, ensure_ascii=False)


def plain_json(v):
    """A json_value as orjson reads it: objects as dicts."""
    if isinstance(v, Pairs):
        return {k: plain_json(x) for k, x in v}
    return [plain_json(x) for x in v] if isinstance(v, list) else v


def expected(value, kind):
    """What a reader of layout `kind` gives back for `value` (a JSON object
    as its pairs, as record_pairs reads it)."""
    if kind == "json":
        return json_value(value)
    if value is None:
        return "null"
    if isinstance(value, bool):
        return "true" if value else "false"
    if isinstance(value, int):
        return all_digits(value)
    if isinstance(value, float):
        return repr(float(value))
    if type(value) is str:
        return printable(value)
    if isinstance(value, (list, tuple)) or isinstance(value, dict) and all(isinstance(k, str) for k in value):
        # The text layouts write a container's JSON text.
        return compact_json(json_value(value))
    if isinstance(value, (datetime.date, datetime.time)):
        return text_of(value, lambda v: v.isoformat())
    return text_of(value)


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
    "call,fields",
    [
        (lambda log: log.info("m", v=Raises()), ["v"]),
        (lambda log: log.info("m %s", "arg", ok=1, v=Raises(), after=2), ["ok", "v", "after"]),
        (lambda log: log.bind(a=1).error("m", v=Raises()), ["a", "v"]),
        (lambda log: log.bind(v=Raises()).info("m"), ["v"]),
        (lambda log: log.bind(a=1).bind(ok="x", v=Raises()).info("m"), ["a", "ok", "v"]),
    ],
)
def test_raising_str_is_written_as_a_placeholder(cap, call, fields):
    call(cap.log)
    given = {"a": 1, "ok": 1 if "after" in fields else "x", "after": 2, "v": Raises()}
    assert cap.fields() == [[(k, expected(given[k], cap.kind)) for k in fields]]
    assert expected(Raises(), cap.kind) == "<unprintable Raises: Boom>"


WRAP = {"list": lambda v: [v], "tuple": lambda v: (v,), "dict": lambda v: {"k": v}}


def nested(depth, wrap=WRAP["list"]):
    value = "leaf"
    for _ in range(depth):
        value = wrap(value)
    return value


@pytest.mark.parametrize("kind", KINDS)
@pytest.mark.parametrize("wrap", WRAP)
def test_deep_nesting_is_cut_to_a_placeholder(tmp_path, kind, wrap):
    cap = FieldCapture(tmp_path, kind)
    depths = [15, 16, 17, 40, 1000, 5000]
    values = {f"d{d}": nested(d, WRAP[wrap]) for d in depths}
    cap.log.info("m", **values)
    [fields] = cap.fields()
    assert fields == [(k, expected(v, kind)) for k, v in values.items()]
    for (_, got), depth in zip(fields, depths):
        got = json.loads(got) if kind != "json" else got
        for _ in range(min(depth, NEST_MAX)):
            got = dict(got)["k"] if wrap == "dict" else got[0]
        assert got == ("leaf" if depth <= NEST_MAX else "{...}" if wrap == "dict" else "[...]")


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


def test_lone_surrogate_is_written_as_its_backslash_escape(cap):
    cap.log.info("m", v="\udcff")
    assert cap.fields() == [[("v", expected("\udcff", cap.kind))]] == [[("v", "\\udcff")]]


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
     "\udcff", "日本\ud800", "😀\udfff", 0, -5, 2**63, 2**64 - 1, 2**64, -(2**63) - 1,
     -(2**64) - 1, 10**400, True, False, None,
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


def write_record(log, how, values):
    """One record carrying `values` as call fields, bound ones or context ones."""
    if how == "call":
        log.info("m", **values)
    elif how == "bind":
        log.bind(**values).info("m")
    else:
        ferrant.bind_contextvars(**values)
        try:
            log.info("m")
        finally:
            ferrant.clear_contextvars()


def assert_read_back(cap, values):
    """The last records hold `values` as the rules write them, for a JSON
    reader (the stdlib's and orjson) or the logfmt one."""
    lines = cap.lines()
    assert [record_pairs(line, cap.kind)[4:] for line in lines] == [
        [(k, expected(v, cap.kind)) for k, v in values.items()]] * len(lines)
    if cap.kind == "json":
        import orjson

        for line in lines:
            got = orjson.loads(line)
            assert {k: got[k] for k in values} == {k: plain_json(json_value(v)) for k, v in values.items()}


BIG = [2**63 - 1, 2**63, 2**64 - 1, 2**64, 2**64 + 1, -(2**63), -(2**63) - 1, 10**400, -(10**400),
       10**5000, -(10**5000), IntLike(2**64), IntLike(-(10**5000))]


@pytest.mark.parametrize("kind", KINDS)
@pytest.mark.parametrize("how", ["call", "bind", "context"])
def test_big_ints_are_numbers_to_64_bits_then_digit_strings(tmp_path, kind, how):
    cap = FieldCapture(tmp_path, kind)
    limit = sys.get_int_max_str_digits()
    exact = {f"b{i}": v for i, v in enumerate(BIG) if type(v) is int}
    write_record(cap.log, how, exact)  # straight into the batch, for a call
    assert_read_back(cap, exact)
    values = {f"b{i}": v for i, v in enumerate(BIG)}
    values.update(inner=[BIG, {"k": 2**64, "n": -(10**400)}])
    write_record(cap.log, how, values)
    assert_read_back(cap, values)
    assert sys.get_int_max_str_digits() == limit


@pytest.mark.parametrize("limit", [640, 0])
def test_int_digits_whatever_the_limit_which_stays_as_set(tmp_path, limit):
    """The limit is the process's: a value rendered after a long int still
    sees it, and so does the caller."""
    seen = []

    class Probe:
        def __str__(self):
            seen.append(sys.get_int_max_str_digits())
            return "p"

    cap = FieldCapture(tmp_path, "json")
    values = {"big": -(10**5000), "mixed": 7**900, "probe": Probe()}
    old = sys.get_int_max_str_digits()
    sys.set_int_max_str_digits(limit)
    try:
        cap.log.info("m", **values)
        assert seen == [limit] and sys.get_int_max_str_digits() == limit
    finally:
        sys.set_int_max_str_digits(old)
    assert_read_back(cap, values)


class SurrogateStr:
    def __str__(self):
        return "s\udcff"


class SurrogateDate(datetime.date):
    def isoformat(self):
        return "d\udcfe"


PLAIN_SURROGATES = {"top": "\udcff", "mid": "a\ud800b", "ucs2": "日本\udbff", "ucs4": "😀\udfff x"}
SURROGATES = {**PLAIN_SURROGATES, "nested": ["ok", "\udcff", ("\ud800",)],
              "keys": {"k\udcff": "v\udcfe", "ok": {"\ud800": 1}}, "str": SurrogateStr(),
              "sub": Text("t\udcff"), "date": SurrogateDate(2026, 1, 2)}


@pytest.mark.parametrize("kind", KINDS)
@pytest.mark.parametrize("how", ["call", "bind", "context"])
def test_lone_surrogates_are_written_as_backslash_escapes(tmp_path, kind, how):
    cap = FieldCapture(tmp_path, kind)
    write_record(cap.log, how, PLAIN_SURROGATES)  # straight into the batch, for a call
    assert_read_back(cap, PLAIN_SURROGATES)
    write_record(cap.log, how, SURROGATES)
    assert_read_back(cap, SURROGATES)


class ReturnsInt:
    def __str__(self):
        return 5


class Recurses:
    def __str__(self):
        return str(self)


class BadDate(datetime.date):
    def isoformat(self):
        raise Boom("no date")


class IntDate(datetime.datetime):
    def isoformat(self):
        return 5


UNPRINTABLE = {"raises": Raises(), "non_str": ReturnsInt(), "recursion": Recurses(),
               "bad_date": BadDate(2026, 1, 2), "int_date": IntDate(2026, 1, 2, 3),
               "nested": [Raises(), {"k": ReturnsInt()}], "int_keys": {1: nested(100_000)}}


@pytest.mark.parametrize("kind", KINDS)
@pytest.mark.parametrize("how", ["call", "bind", "context"])
def test_values_without_text_are_written_as_placeholders(tmp_path, kind, how):
    cap = FieldCapture(tmp_path, kind)
    write_record(cap.log, how, UNPRINTABLE)
    assert_read_back(cap, UNPRINTABLE)
    assert expected(IntDate(2026, 1, 2), kind) == "<unprintable IntDate: TypeError>"


class BadRepr:
    def __repr__(self):
        raise Boom("no repr")

    def __str__(self):
        return "bad"


@pytest.mark.parametrize("kind", KINDS)
def test_a_cycle_whose_repr_fails_is_the_placeholder_of_its_kind(tmp_path, kind):
    cap = FieldCapture(tmp_path, kind)
    loop, deep, mapping, tup = [BadRepr()], [nested(100_000)], {"x": BadRepr()}, ([BadRepr()],)
    loop.append(loop)
    deep.append(deep)
    mapping["self"] = mapping
    tup[0].append(tup)
    plain = [1, "\udcff"]
    plain.append(plain)
    values = {"loop": loop, "deep": deep, "mapping": mapping, "tuple": tup, "plain": plain}
    cap.log.info("m", **values)
    assert_read_back(cap, values)
    assert json_value(loop) == ["bad", "[...]"] and json_value(mapping)[1] == ("self", "{...}")


class Interrupts:
    def __init__(self, exc, in_repr=False):
        self.exc, self.in_repr = exc, in_repr

    def __str__(self):
        if self.in_repr:
            return "x"
        raise self.exc

    def __repr__(self):
        raise self.exc


def interrupting(where, exc):
    if where == "cycle":  # only the repr of the container met again raises
        loop = [Interrupts(exc, in_repr=True)]
        loop.append(loop)
        return loop
    return [1, Interrupts(exc)] if where == "nested" else Interrupts(exc)


@pytest.mark.parametrize("exc", [KeyboardInterrupt, SystemExit])
@pytest.mark.parametrize("where", ["top", "nested", "cycle"])
def test_only_an_exception_becomes_a_placeholder(tmp_path, exc, where):
    cap = FieldCapture(tmp_path, "json")
    cap.log.info("m", v=Raises())
    value = interrupting(where, exc)
    with pytest.raises(exc):
        cap.log.info("m", v=value)
    with pytest.raises(exc):
        cap.log.bind(v=value)
    assert cap.fields() == [[("v", "<unprintable Raises: Boom>")]]


@pytest.mark.parametrize("kind", KINDS)
def test_a_collection_that_logs_while_a_record_goes_the_general_way(tmp_path, kind):
    """A record with a lone surrogate or a long int takes the general path,
    where a collection may run a __del__ that logs: every line whole."""
    import gc

    cap = FieldCapture(tmp_path, kind)
    log = cap.log

    class Logs:
        def __del__(self):
            log.info("del", d=1)

    values = {"v": "\udcff", "w": "日本\ud800", "big": 2**64 + 1, "n": 3}
    old = gc.get_threshold()
    gc.set_threshold(1)
    try:
        for _ in range(50):
            garbage = Logs()
            garbage.self = garbage
            del garbage
            log.info("m", **values)
    finally:
        gc.set_threshold(*old)
    gc.collect()
    records = cap.records()
    mine = [r[4:] for r in records if dict(r)["msg"] == "m"]
    assert mine == [[(k, expected(v, kind)) for k, v in values.items()]] * 50
    assert sum(dict(r)["msg"] == "del" for r in records) == 50
