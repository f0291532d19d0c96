"""Fields bound to the running context: their place on a Logger's line
against bound and call fields, isolation between threads and asyncio tasks,
bound_contextvars' restore, key checks, and PyLogger lines without them."""

import asyncio
import contextlib
import threading

import pytest

import ferrant
from ferrant import PyLogger

from lines import safe_key
from test_fields import Raises, after_time, cap, expected  # noqa: F401 (a fixture)


@pytest.fixture(autouse=True)
def fresh_context():
    ferrant.clear_contextvars()
    yield
    ferrant.clear_contextvars()


def merged(steps):
    """Fields after binding each dict of `steps` in turn: a key bound again
    goes last."""
    out = {}
    for step in steps:
        for k, v in step.items():
            out.pop(k, None)
            out[k] = v
    return out


def model(bound_steps, context_steps, call):
    """The pairs a line holds: bound, then context, then call; the innermost
    value of a key wins and takes its place."""
    bound, context = merged(bound_steps), merged(context_steps)
    return ([(k, v) for k, v in bound.items() if k not in context and k not in call]
            + [(k, v) for k, v in context.items() if k not in call]
            + list(call.items()))


# Many keys: their 64-bit masks then meet, and the exact compares decide.
MANY = [f"k{i}" for i in range(40)]

SCENARIOS = {
    "context only": ([], [{"a": 1, "b": "x y"}], {}),
    "disjoint": ([{"a": 1}], [{"b": 2}], {"c": 3}),
    "context over bound": ([{"a": 1, "b": 2, "c": 3}], [{"b": 20}], {}),
    "call over both": ([{"a": 1, "b": 2}], [{"b": 20, "c": 30}], {"b": 200, "c": 300, "d": 4}),
    "rebound context key moves last": ([{"z": 0}], [{"a": 1, "b": 2}, {"a": 10}], {"c": 3}),
    "unrelated call": ([], [{"a": 1}, {"b": 2}], {"q": None}),
    "many keys": ([{k: f"b{k}" for k in MANY[:30]}],
                  [{k: f"c{k}" for k in MANY[10:35:2]}],
                  {k: i for i, k in enumerate(MANY[20:40:3])}),
}


@pytest.mark.parametrize("bound_steps,context_steps,call", SCENARIOS.values(), ids=SCENARIOS)
def test_order_and_override(cap, bound_steps, context_steps, call):
    log = cap.log
    for step in bound_steps:
        log = log.bind(**step)
    for step in context_steps:
        ferrant.bind_contextvars(**step)
    log.info("m", **call)
    want = [(k, expected(v, cap.kind)) for k, v in model(bound_steps, context_steps, call)]
    assert cap.fields() == [want]


def test_values_are_rendered_when_bound(cap):
    items = ["a"]
    ferrant.bind_contextvars(items=items, n=1.5)
    items.append("late")
    cap.log.info("m")
    assert cap.fields() == [[("items", expected(["a"], cap.kind)), ("n", expected(1.5, cap.kind))]]


def test_without_fields_the_line_is_the_pyloggers(cap):
    ferrant.bind_contextvars(a=1)
    ferrant.unbind_contextvars("a")
    py = PyLogger("app", cap.path)
    cap.log.info("x %d", 1)
    py.info("x %d", 1)
    with ferrant.bound_contextvars(b=2):
        pass
    cap.log.bind().warn("y")
    py.warn("y")
    lines = [after_time(line, cap.kind) for line in cap.lines()]
    assert lines[0] == lines[1] and lines[2] == lines[3]


def test_pylogger_lines_never_carry_context(cap):
    ferrant.bind_contextvars(request="r1")
    py = PyLogger("py", cap.path)
    py.info("p")
    cap.log.info("l")
    records = [dict(r) for r in cap.records()]
    assert [r.get("request") for r in records] == [None, "r1"]


def test_threads_start_without_fields_and_keep_their_own(cap):
    ferrant.bind_contextvars(who="main")
    barrier = threading.Barrier(2)

    def worker(name):
        cap.log.info("start")
        ferrant.bind_contextvars(who=name)
        barrier.wait()  # both have bound before either logs again
        cap.log.info("bound")
        ferrant.clear_contextvars()

    threads = [threading.Thread(target=worker, args=(f"t{i}",)) for i in range(2)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    cap.log.info("main")
    got = sorted((dict(r)["msg"], dict(r).get("who")) for r in cap.records())
    assert got == [("bound", "t0"), ("bound", "t1"), ("main", "main"),
                   ("start", None), ("start", None)]


def test_asyncio_tasks_copy_the_context_when_created(cap):
    async def task(name):
        ferrant.bind_contextvars(task=name)
        await asyncio.sleep(0)
        cap.log.info("in task", step=1)
        await asyncio.sleep(0)
        cap.log.info("in task", step=2)

    async def main():
        ferrant.bind_contextvars(run="r1")
        tasks = [asyncio.create_task(task(f"t{i}")) for i in range(2)]
        ferrant.bind_contextvars(late="not seen by the tasks")
        await asyncio.gather(*tasks)
        cap.log.info("parent")

    asyncio.run(main())
    records = [dict(r) for r in cap.records()]
    assert sorted((r["task"], r["step"]) for r in records if "task" in r) == sorted(
        (t, expected(s, cap.kind)) for t in ("t0", "t1") for s in (1, 2))
    assert all(r["run"] == "r1" and "late" not in r for r in records if "task" in r)
    [parent] = [r for r in records if r["msg"] == "parent"]
    assert "task" not in parent and parent["late"] == "not seen by the tasks"


def test_bound_contextvars_restores_on_exit_and_on_exception(cap):
    ferrant.bind_contextvars(a=1, b=2)
    with ferrant.bound_contextvars(b=20, c=30):
        cap.log.info("inside")
        with pytest.raises(KeyError):
            with ferrant.bound_contextvars(d=4):
                ferrant.bind_contextvars(e=5)
                raise KeyError("x")
        cap.log.info("after inner")

    @ferrant.bound_contextvars(dec=True)
    def decorated():
        cap.log.info("decorated")

    decorated()
    cap.log.info("outside")
    k = cap.kind
    e = lambda *pairs: [(key, expected(v, k)) for key, v in pairs]  # noqa: E731
    assert cap.fields() == [
        e(("a", 1), ("b", 20), ("c", 30)),
        e(("a", 1), ("b", 20), ("c", 30)),
        e(("a", 1), ("b", 2), ("dec", True)),
        e(("a", 1), ("b", 2)),
    ]


@pytest.mark.parametrize("keys", [("missing",), ("a", "missing"), ()])
def test_unbind_ignores_missing_keys(cap, keys):
    ferrant.bind_contextvars(a=1, b=2)
    ferrant.unbind_contextvars(*keys)
    cap.log.info("m")
    want = [("b", 2)] if "a" in keys else [("a", 1), ("b", 2)]
    assert cap.fields() == [[(k, expected(v, cap.kind)) for k, v in want]]


@pytest.mark.parametrize("key", ["", "9a", "a b", "é", "x" * 129, "msg", "exc", "exc_info"])
@pytest.mark.parametrize("how", ["bind", "bound", "logger-bind"])
def test_bad_keys_take_their_safe_form(cap, key, how):
    ferrant.bind_contextvars(a=1)
    log = cap.log
    with contextlib.ExitStack() as stack:
        if how == "bind":
            ferrant.bind_contextvars(ok=1, **{key: 1})
        elif how == "bound":
            stack.enter_context(ferrant.bound_contextvars(ok=1, **{key: 1}))
        else:
            log = log.bind(ok=1, **{key: 1})
        log.info("m")
        ferrant.unbind_contextvars(key)  # the key as given
        cap.log.info("m")
    e = lambda *keys: [(k, expected(1, cap.kind)) for k in keys]  # noqa: E731
    if how == "logger-bind":  # bound fields come before the context's
        assert cap.fields() == [e("ok", safe_key(key), "a"), e("a")]
    else:
        assert cap.fields() == [e("a", "ok", safe_key(key)), e("a", "ok")]


def test_unbind_takes_only_strs():
    with pytest.raises(TypeError, match="int"):
        ferrant.unbind_contextvars(1)
    with pytest.raises(TypeError):
        ferrant.bind_contextvars({"a": 1})


def test_a_raising_value_is_bound_as_a_placeholder(cap):
    ferrant.bind_contextvars(a=1)
    ferrant.bind_contextvars(b=2, v=Raises())
    cap.log.info("m")
    k = cap.kind
    assert cap.fields() == [[("a", expected(1, k)), ("b", expected(2, k)),
                             ("v", "<unprintable Raises: Boom>")]]
