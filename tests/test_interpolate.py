"""Message interpolation, checked against Python's own `%` operator."""

import struct

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from conftest import Capture
from ferrant._logger import PyLevel


class IntSub(int):
    def __str__(self):
        return "IntSub.str"

    def __repr__(self):
        return "IntSub.repr"


class FloatSub(float):
    def __str__(self):
        return "FloatSub.str"

    def __repr__(self):
        return "FloatSub.repr"


class StrSub(str):
    def __str__(self):
        return "StrSub.str"

    def __repr__(self):
        return "StrSub.repr"


class Obj:
    def __str__(self):
        return "Obj.str é"

    def __repr__(self):
        return "Obj.repr"


class DictSub(dict):
    pass


class FalseDict(dict):
    """Holds items but tests false: the mapping rule asks the interpreter."""

    def __bool__(self):
        return False


class Mapping:
    """Mapping protocol but not a dict: never used for %(key)s lookups."""

    def __getitem__(self, key):
        return "looked up"

    def keys(self):
        return ["k"]


NAN = float("nan")
INF = float("inf")

CASES = [
    # %d / %i: any int type that fits, the rest via the fallback
    ("%d items", (3,)),
    ("%d items", (True,)),
    ("%i|%d", (False, -7)),
    ("%d items", (3.5,)),
    ("%d", (IntSub(42),)),
    ("%d %i", (2**63 - 1, -(2**63))),
    ("%d", (2**63,)),
    ("%d", (2**64,)),
    ("%d", (-(2**70),)),
    ("%d", (FloatSub(-2.75),)),
    ("%d", (1e300,)),
    # %o / %x
    ("%x", (-255,)),
    ("%o", (8,)),
    ("%o %x", (0, 0)),
    ("%x %o", (-(2**63), -(2**63))),
    ("%x %o", (2**63 - 1, 2**63 - 1)),
    ("%x", (2**64,)),
    ("%o", (-(2**64),)),
    ("%x %o", (True, IntSub(-9))),
    # %f
    ("%f", (0.1,)),
    ("%f", (-0.0,)),
    ("%f", (1e20,)),
    ("%f", (1e300,)),
    ("%f", (5e-324,)),
    ("%f", (-1e-7,)),
    ("%f|%f|%f", (1 / 128, 3 / 128, 5 / 128)),  # exact ties: round half to even
    ("%f", (0.0000005,)),
    ("%f", (2.5,)),
    ("%f", (123456789.987654321,)),
    ("%f", (FloatSub(1.5),)),
    ("%f", (3,)),
    ("%f", (True,)),
    ("%f", (INF,)),
    ("%f", (-INF,)),
    ("%f", (NAN,)),
    # %s
    ("%s", ("bob",)),
    ("%s|%s|%s", ("héllo", "日本", "😀")),
    ("[%s]", ("",)),
    ("%s", (StrSub("x"),)),
    ("%s %s", (True, False)),
    ("%s", (None,)),
    ("%s", (3,)),
    ("%s %s", (2**63 - 1, -(2**63))),
    ("%s", (2**70,)),
    ("%s", (IntSub(5),)),
    ("%s", (1e16,)),
    ("%s", (9999999999999998.0,)),
    ("%s", (1e-05,)),
    ("%s", (0.0001,)),
    ("%s", (0.00009999,)),
    ("%s", (-0.0,)),
    ("%s %s", (0.0, 2.0)),
    ("%s", (0.1 + 0.2,)),
    ("%s", (1e15,)),
    ("%s %s %s", (NAN, INF, -INF)),
    ("%s", (FloatSub(2.5),)),
    ("%s", (Obj(),)),
    ("%s", ([1, "a", None],)),
    ("%s", ((1, 2),)),
    ("%s", (b"x\x00",)),
    # %r
    ("%r", ("bob",)),
    ("%r %r", ("it's", 'say "hi"')),
    ("%r", ("é\n",)),
    ("%r", (7,)),
    ("%r", (2.5,)),
    ("%r %r", (2**64, -(2**70))),
    ("%r %r %r", (NAN, -0.0, 1e-05)),
    ("%r", (True,)),
    ("%r %r %r %r", (IntSub(1), FloatSub(1.0), StrSub("s"), Obj())),
    ("%r", (None,)),
    # %%
    ("100%% done %s", (1,)),
    ("%%%s%%", ("x",)),
    ("%%d %d", (4,)),
    # everything else through the interpreter
    ("%5d|", (42,)),
    ("%-8s|", ("ab",)),
    ("%.2f", (3.14159,)),
    ("%X", (255,)),
    ("%e", (12345.678,)),
    ("%g", (0.00001234,)),
    ("%c%c", (65, "é")),
    ("%u", (-3,)),
    ("%a", ("é",)),
    ("%#x %+d % d", (255, 5, 5)),
    ("%05.1f", (2.25,)),
    ("%*d|", (5, 3)),
    ("%.3s", ("abcdef",)),
    ("%ld", (5,)),
    ("%s %5d", ("fast", 3)),
    ("%5d %s", (3, "late")),
    # argument lists that are not mappings
    ("%s", ({},)),
    ("%s %s", ({"a": 1}, 2)),
    ("%s", (DictSub(),)),
    ("%s", (Mapping(),)),
]


def oracle(template, args):
    """Python's `%`, with the single non-empty dict as the operand."""
    operand = args
    if len(args) == 1 and isinstance(args[0], dict) and args[0]:
        operand = args[0]
    return template % operand


@pytest.mark.parametrize("template,args", CASES)
def test_matches_percent_operator(capture, template, args):
    expected = oracle(template, args)
    capture.log.info(template, *args)
    assert capture.messages() == [expected]


MAPPINGS = [
    ("%(user)s", {"user": "bob"}),
    ("%(a)d and %(b)r", {"a": 1, "b": "x"}),
    ("value %s", {"a": 1}),
    ("%(k)s", DictSub(k="sub")),
    ("plain text", {"unused": 1}),
]


@pytest.mark.parametrize("template,mapping", MAPPINGS)
def test_single_non_empty_dict_is_the_mapping(capture, template, mapping):
    capture.log.info(template, mapping)
    assert capture.messages() == [template % mapping]


ERRORS = [
    ("%s and %s", (1,)),
    ("no conversions", (1,)),
    ("100%% done", (1,)),
    ("ends with %", (1,)),
    ("%s %", (1,)),
    ("%d", ("x",)),
    ("%f", ("x",)),
    ("%x", (1.5,)),
    ("%d", (NAN,)),
    ("%d", (None,)),
    ("%y", (1,)),
    ("%c", (2**40,)),
    ("%(missing)s", ({"a": 1},)),
    # an empty dict, a dict that tests false and a non-dict mapping are
    # ordinary arguments, so a key lookup has no mapping to use
    ("%(a)s", ({},)),
    ("%(a)s", (FalseDict(a=1),)),
    ("%(k)s", (Mapping(),)),
    ("%s %s", ({"a": 1},)),
]


@pytest.mark.parametrize("template,args", ERRORS)
def test_errors_of_percent_operator_propagate_and_write_nothing(capture, template, args):
    with pytest.raises(Exception) as expected:
        oracle(template, args)
    with pytest.raises(type(expected.value)) as raised:
        capture.log.info(template, *args)
    assert type(raised.value) is type(expected.value)
    assert str(raised.value) == str(expected.value)
    capture.log.info("after")
    assert capture.messages() == ["after"]


class Boom(Exception):
    pass


class Raises:
    def __init__(self, where):
        self.where = where
        self.error = Boom(where)

    def __str__(self):
        if self.where == "str":
            raise self.error
        return "fine"

    def __repr__(self):
        if self.where == "repr":
            raise self.error
        return "fine"


class TruthRaises(dict):
    def __bool__(self):
        raise Boom("truth")


class SurrogateStr:
    def __str__(self):
        return "\ud800"


@pytest.mark.parametrize(
    "template,make_arg",
    [
        ("%s", lambda: Raises("str")),
        ("%r", lambda: Raises("repr")),
        ("%5s", lambda: Raises("str")),
        ("%(k)s", lambda: TruthRaises(k=1)),
    ],
)
def test_exception_from_argument_code_is_the_same_object(capture, template, make_arg):
    arg = make_arg()
    expected = getattr(arg, "error", None)
    with pytest.raises(Boom) as raised:
        capture.log.info(template, arg)
    if expected is not None:
        assert raised.value is expected
    assert capture.messages() == []


@pytest.mark.parametrize(
    "template,args",
    [
        ("\ud800", ()),
        ("\ud800 %s", (1,)),
        ("%s", ("\udcff",)),
        ("%s and %s", ("fine", "\udcff")),
        ("%s", (SurrogateStr(),)),
        ("%5s", ("\ud800",)),
        ("%(k)s", ({"k": "\ud800"},)),
    ],
)
def test_lone_surrogates_raise_unicode_encode_error(capture, template, args):
    with pytest.raises(UnicodeEncodeError):
        capture.log.info(template, *args)
    capture.log.info("after")
    assert capture.messages() == ["after"]


# The first arguments are written straight into the line and a later one
# needs the interpreter: what was written is taken back and the record goes
# the general way, whole and once.
@pytest.mark.parametrize(
    "template,args",
    [
        ("%s then %d", ("bob", 3.5)),
        ("%s %d %r", ("a", 1, "q")),
        ("%d %s", (7, StrSub("x"))),
        ("%f %x %s", (1.5, 255, Obj())),
        ('say "%s" %s', ("x" * 300, True)),
    ],
)
def test_a_later_argument_sends_the_whole_record_the_general_way(capture, template, args):
    capture.log.info(template, *args)
    capture.log.info("after")
    assert capture.messages() == [template % args, "after"]


@pytest.mark.parametrize("template", ["100%", "%s %d", "%(a)s", "%", "%y%%"])
def test_without_arguments_the_message_is_written_unchanged(capture, template):
    capture.log.info(template)
    assert capture.messages() == [template]


class CountingStr:
    def __init__(self):
        self.calls = 0

    def __str__(self):
        self.calls += 1
        return "counted"


@pytest.mark.parametrize(
    "template,position,expected_calls",
    [
        ("%s", 0, 1),
        ("%s %s", 0, 1),
        ("%s %5d", 0, 2),  # rendered once, then again by the fallback
        ("%5d %s", 1, 1),  # the fallback is reached before it
    ],
)
def test_str_calls_of_an_argument(capture, template, position, expected_calls):
    counted = CountingStr()
    args = [3] * template.count("%")
    args[position] = counted
    capture.log.info(template, *args)
    assert counted.calls == expected_calls
    assert capture.messages() == [template % tuple(args)]


class Template(str):
    def __new__(cls, text, result=None):
        self = super().__new__(cls, text)
        self.result = result
        return self

    def __mod__(self, operand):
        if self.result is not None:
            return self.result
        return f"custom {operand!r}"


def test_str_subclass_template_uses_its_own_mod_in_the_fallback(capture):
    capture.log.info(Template("%5d"), 3)
    capture.log.info(Template("%(k)s"), {"k": 1})
    capture.log.info(Template("%5d", StrSub("from a str subclass")), 3)
    assert capture.messages() == ["custom (3,)", "custom {'k': 1}", "from a str subclass"]


@pytest.mark.parametrize("result", [42, b"bytes", ["x"]])
def test_mod_returning_a_non_str_is_a_type_error(capture, result):
    with pytest.raises(TypeError):
        capture.log.info(Template("%5d", result), 3)
    assert capture.messages() == []


def test_nested_logging_from_str_writes_the_inner_line_first(capture):
    log = capture.log

    class Nested:
        def __init__(self, depth):
            self.depth = depth

        def __str__(self):
            if self.depth:
                log.warning("inner %s %d", Nested(self.depth - 1), self.depth)
            return f"arg{self.depth}"

    log.info("outer %s", Nested(2))
    log.info("fallback %5s", Nested(1))
    assert capture.messages() == [
        "inner arg0 1",
        "inner arg1 2",
        "outer arg2",
        "inner arg0 1",
        "fallback  arg1",
    ]


def test_dropped_records_never_look_at_message_or_arguments(tmp_path):
    cap = Capture(tmp_path, level=PyLevel.Error)
    bomb = Raises("str")
    cap.log.info("%s", bomb)
    cap.log.warning("%", 1)
    cap.log.debug("%(k)s", TruthRaises(k=1))
    cap.log.trace("\ud800 %s", "\udcff")
    cap.log.error("%s", "kept")
    assert cap.messages() == ["kept"]


# ---- differential ----------------------------------------------------------

INT64 = [0, 1, -1, 2**63 - 1, -(2**63), 2**63, -(2**63) - 1, 2**64, 2**64 - 1, -(2**64)]


def from_bits(bits):
    return struct.unpack("<d", struct.pack("<Q", bits))[0]


ints = st.one_of(
    st.sampled_from(INT64),
    st.integers(min_value=-(2**63), max_value=2**63 - 1),
    st.integers(min_value=-(2**90), max_value=2**90),
)
floats = st.one_of(
    st.floats(),
    st.integers(min_value=0, max_value=2**64 - 1).map(from_bits),
    st.sampled_from([0.0, -0.0, 1e16, 1e-4, 1e-5, 9999999999999998.0, 5e-324, 1 / 128]),
)


@pytest.fixture(scope="module")
def shared_capture(tmp_path_factory):
    return Capture(tmp_path_factory.mktemp("differential"))


def expect(template, args):
    try:
        return template % args
    except Exception as exc:  # the logger must raise the same
        return exc


@settings(max_examples=300, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(i=ints, f=floats)
def test_differential_numbers(shared_capture, i, f):
    calls = [
        ("%d %o %x %s %r", (i, i, i, i, i)),
        ("%i", (i,)),
        ("%s %r", (f, f)),
        ("%f", (f,)),
        ("%d <%s> %x", (i, f, i)),
        ("%d", (f,)),
    ]
    expected = []
    for template, args in calls:
        want = expect(template, args)
        if isinstance(want, Exception):
            with pytest.raises(type(want)) as raised:
                shared_capture.log.info(template, *args)
            assert str(raised.value) == str(want)
        else:
            shared_capture.log.info(template, *args)
            expected.append(want)
    assert shared_capture.messages() == expected


# ---- parsed templates, cached by str object ---------------------------------


def fresh(text):
    """A new str object with this text (not the interned constant)."""
    return "".join(list(text))


def test_templates_that_die_and_are_rebuilt_at_reused_addresses(capture):
    # Each template is a new object released right after its call; the
    # allocator hands their addresses out again to the next ones.
    expected = []
    for i in range(3000):
        template = fresh(f"{'%s' if i % 2 else '%d'} item {i % 7} %%")
        arg = str(i) if i % 2 else i
        capture.log.info(template, arg)
        expected.append(template % arg)
        del template
    assert capture.messages() == expected


def test_evicted_templates_are_released(capture):
    import sys

    template = fresh("evicted %s")
    before = sys.getrefcount(template)
    capture.log.info(template, 1)
    # Enough other templates to push it out of any slot.
    others = [fresh(f"other {i} %s") for i in range(5000)]
    for other in others:
        capture.log.info(other, 2)
    assert sys.getrefcount(template) == before
    messages = capture.messages()
    assert messages[0] == "evicted 1" and messages[-1] == "other 4999 2"


def test_argument_code_that_churns_the_cache_mid_call(capture):
    log = capture.log

    class Churn:
        def __str__(self):
            for i in range(2000):
                log.debug(fresh(f"churn {i} %s"), i)
            return "churned"

    log.info("before %s after %d end", Churn(), 5)
    log.info(fresh("é %s ü %r"), Churn(), "x")
    messages = capture.messages()
    assert [m for m in messages if not m.startswith("churn")] == [
        "before churned after 5 end",
        "é churned ü 'x'",
    ]
    assert len(messages) == 2 + 2 * 2000


@pytest.mark.parametrize(
    "template,args",
    [
        (" ".join(["%s"] * 8), tuple(range(8))),
        (" ".join(["%s"] * 9), tuple(range(9))),
        (" ".join(["%d"] * 20) + " %%", tuple(range(20))),
        ("x" * 70000 + " %s", ("long",)),
        ("%s " + "é" * 40000 + " %d", ("wide", 3)),
    ],
    ids=["eight", "nine", "twenty", "long", "long-utf8"],
)
def test_templates_beyond_the_parsed_form(capture, template, args):
    for _ in range(3):  # uncached, then as cached
        capture.log.info(template, *args)
    assert capture.messages() == [template % args] * 3


@pytest.mark.parametrize("args", [(1,), (1, 2, 3)])
def test_a_cached_template_checks_its_argument_count_each_call(capture, args):
    template = fresh("%s and %s")
    capture.log.info(template, "a", "b")
    with pytest.raises(TypeError) as raised:
        capture.log.info(template, *args)
    with pytest.raises(TypeError) as expected:
        template % args
    assert str(raised.value) == str(expected.value)
    capture.log.info(template, "c", "d")
    assert capture.messages() == ["a and b", "c and d"]
