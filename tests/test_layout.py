"""The six line layouts, byte for byte, and the escaping of the text layouts."""

import json
import re
from datetime import datetime
from zoneinfo import ZoneInfo

import pytest

from lines import (
    COLOURED_LEVEL,
    DIM,
    LOCAL_TIME,
    RESET,
    UNIX_TIME,
    bare_name,
    dated_bytes,
    dated_lines,
    escape,
    json_escape,
    parse_logfmt,
    split_lines,
)

LAYOUTS = [
    ("text", False),
    ("text", True),
    ("color", False),
    ("color", True),
    ("json", False),
    ("json", True),
]

INJECTION = 'a\nforged level=error msg="x"\r"q" back\\slash tab\t \x00\x01\x08\x0c\x1b[31m \x7f é \u2028 😀 \x85\x9b2J \u2029'

NAMES = ["app", None, "", "a b", "k=v", 'q"', "back\\", "tab\t", "ctl\x1b", "é-ü", "del\x7f", "[x]"]
NAMES += ["csi\x9b", "nel\x85", "ls\u2028", "nbsp\xa0", "dash\u2014"]

# (logger name, method, message, args); the child runs them in this order.
RECORDS = [("app", "info", "user %s logged in", ("bob",))]
RECORDS += [("app", m, f"{m} record", ()) for m in ("trace", "debug", "info", "warn", "warning", "error")]
RECORDS += [("app", "info", "", ()), ("app", "error", INJECTION, ()), ("app", "info", "%s", (INJECTION,))]
RECORDS += [(name, "info", "named", ()) for name in NAMES]

CHILD = """
import json, time
from ferrant._logger import PyLevel, PyLogger, basic_config

records = {records!r}
out = {{}}
# The clock's calibration ends at the first call after a pause, and the
# records come half a second into the anchor's second: their times are
# extrapolated that far by the clock this run selects.
warm = PyLogger("warm", "warm/app.log")
warm.info("anchored")
time.sleep(0.1)
warm.info("calibrated")
time.sleep(0.5)
for kind, unix in {layouts!r}:
    basic_config(
        format="json" if kind == "json" else "logfmt",
        color="always" if kind == "color" else "off",
        unix_ts=unix,
    )
    path = f"{{kind}}-{{int(unix)}}/app.log"
    loggers = {{name: PyLogger(name, path, level=PyLevel.Trace) for name in {names!r}}}
    t0 = time.time()
    for name, method, message, args in records:
        getattr(loggers[name], method)(message, *args)
    t1 = time.time()
    loggers["app"].shutdown()
    out[path] = [t0, t1]
print(json.dumps(out))
"""


def level_text(method):
    return "warn" if method == "warning" else method


def expected_line(kind, unix, name, method, message):
    """Regex for one line, from the layout table: the time is the only group."""
    time = UNIX_TIME if unix else LOCAL_TIME
    if kind == "json":
        head = '{"time":'
        time = time if unix else f'"{time}"'
        rest = f',"level":"{level_text(method)}"'
        if name is not None:
            rest += f',"name":"{json_escape(name)}"'
        rest += f',"msg":"{json_escape(message)}"}}'
        return re.escape(head) + time + re.escape(rest)
    if name is None:
        name_value = None
    elif bare_name(name):
        name_value = name
    else:
        name_value = f'"{escape(name)}"'
    if kind == "text":
        head = "time="
        rest = f" level={level_text(method)}"
        if name_value is not None:
            rest += f" name={name_value}"
        rest += f' msg="{escape(message)}"'
    else:
        head = f"{DIM}time={RESET}"
        rest = f" {DIM}level={RESET}{COLOURED_LEVEL[level_text(method)]}"
        if name_value is not None:
            rest += f" {DIM}name={RESET}{name_value}"
        rest += f' {DIM}msg={RESET}"{escape(message)}"'
    return re.escape(head) + time + re.escape(rest)


def check_time(text, unix, zone, t0, t1):
    # Far above what extrapolating the anchor within its second may drift by,
    # far below what a miscalibrated clock would show.
    slack = 0.05
    if unix:
        assert t0 - slack <= float(text) <= t1 + slack
        return
    stamp = datetime.fromisoformat(text)
    assert t0 - slack <= stamp.timestamp() <= t1 + slack
    # Wall-clock fields and offset are those of the zone at that instant.
    assert stamp.astimezone(zone).isoformat(timespec="microseconds") == text


# The default clock (the time-stamp counter where the system allows it) and
# the forced fallback to CLOCK_MONOTONIC.
CLOCKS = {"default": {}, "monotonic": {"FERRANT_CLOCK": "monotonic"}}


@pytest.fixture(
    scope="module",
    params=[(tz, clock) for tz in ("Asia/Kolkata", "Pacific/Marquesas", "UTC") for clock in CLOCKS],
    ids=lambda p: f"{p[0]}-{p[1]}",
)
def written(request, tmp_path_factory):
    from conftest import Run

    tz, clock = request.param
    tmp = tmp_path_factory.mktemp("layouts")
    names = sorted({r[0] for r in RECORDS}, key=lambda n: (n is None, n or ""))
    code = CHILD.format(records=RECORDS, layouts=LAYOUTS, names=names)
    proc = Run(tmp)(code, env={"TZ": tz, **CLOCKS[clock]})
    bounds = json.loads(proc.stdout)
    return tmp, ZoneInfo(tz), bounds


@pytest.mark.parametrize("kind,unix", LAYOUTS)
def test_every_line_follows_the_layout_table(written, kind, unix):
    tmp, zone, bounds = written
    path = f"{kind}-{int(unix)}/app.log"
    lines = dated_lines(tmp / f"{kind}-{int(unix)}")
    assert len(lines) == len(RECORDS)
    t0, t1 = bounds[path]
    for line, (name, method, message, args) in zip(lines, RECORDS):
        text = message % args if args else message
        m = re.fullmatch(expected_line(kind, unix, name, method, text), line)
        assert m, (line, name, method)
        check_time(m.group(1), unix, zone, t0, t1)


@pytest.mark.parametrize("unix", [False, True])
def test_json_lines_parse_with_keys_in_order(written, unix):
    tmp, _, _ = written
    for line, (name, method, message, args) in zip(dated_lines(tmp / f"json-{int(unix)}"), RECORDS):
        record = json.loads(line)
        keys = ["time", "level", "msg"] if name is None else ["time", "level", "name", "msg"]
        assert list(record) == keys
        assert record["level"] == level_text(method)
        assert record["msg"] == (message % args if args else message)
        assert record.get("name") == name
        assert isinstance(record["time"], float if unix else str)


@pytest.mark.parametrize("unix", [False, True])
def test_text_lines_decode_back_with_logfmt(written, unix):
    tmp, _, _ = written
    for line, (name, method, message, args) in zip(dated_lines(tmp / f"text-{int(unix)}"), RECORDS):
        pairs = parse_logfmt(line)
        keys = ["time", "level", "msg"] if name is None else ["time", "level", "name", "msg"]
        assert [k for k, _ in pairs] == keys
        values = dict(pairs)
        assert values["level"] == level_text(method)
        assert values["msg"] == (message % args if args else message)
        assert values.get("name") == name


@pytest.mark.parametrize("kind", ["text", "color"])
def test_injected_text_stays_on_one_line(written, kind):
    tmp, _, _ = written
    raw = b"".join(p.read_bytes() for p in (tmp / f"{kind}-0").iterdir())
    assert raw.count(b"\n") == len(RECORDS)
    # Readers that also break at C1 NEL and U+2028, U+2029 see as many lines.
    assert len(raw.decode().splitlines()) == len(RECORDS)
    allowed = {0x0A, 0x1B} if kind == "color" else {0x0A}
    assert not [b for b in raw if b < 0x20 and b not in allowed]
    if kind == "color":
        # The only escape bytes are those of the colour codes.
        stripped = re.sub(rb"\x1b\[(?:0|2|31|32|33|36)m", b"", raw)
        assert b"\x1b" not in stripped


@pytest.mark.parametrize("kind", ["text", "color"])
def test_empty_name_is_present_and_empty(written, kind):
    tmp, _, _ = written
    lines = dated_lines(tmp / f"{kind}-0")
    line = lines[[r[0] for r in RECORDS].index("")]
    plain = re.sub(r"\x1b\[\d+m", "", line)
    pairs = parse_logfmt(plain)
    assert [k for k, _ in pairs] == ["time", "level", "name", "msg"]
    assert dict(pairs)["name"] == ""


@pytest.mark.parametrize("kind", ["text", "json"])
def test_file_is_named_by_the_local_date_of_its_lines(written, kind):
    tmp, _, _ = written
    files = sorted((tmp / f"{kind}-0").iterdir())
    assert files
    for path in files:
        day = re.fullmatch(r"app_(\d{4})(\d\d)(\d\d)\.log", path.name).groups()
        for line in split_lines(path.read_bytes()):
            assert re.search(LOCAL_TIME, line).group(1)[:10] == "-".join(day)


# ---- every character through the escapes ------------------------------------

# U+0000..U+FFFF in runs of 256 (surrogates cannot be encoded, so none), then
# characters above, next to the ones the text escapes rewrite.
CHUNKS = ["".join(chr(c) for c in range(s, s + 256)) for s in range(0, 0x10000, 256)]
CHUNKS = [c for c in CHUNKS if not 0xD800 <= ord(c[0]) < 0xE000]
CHUNKS += ["\U00010000\U0001f600\U000e0001\U0010ffff", "\x85\U0001f600\u2028\U00010348\x9b\u2029"]

ROUND_TRIP_CHILD = """
import json
from ferrant._logger import PyLevel, PyLogger, basic_config

chunks = json.load(open("chunks.json"))
for kind in ("text", "color", "json"):
    basic_config(format="json" if kind == "json" else "logfmt",
                 color="always" if kind == "color" else "off")
    path = kind + "/app.log"
    keeper = PyLogger(None, path)
    for chunk in chunks:
        PyLogger(chunk, path).info(chunk)  # as the name too
    keeper.shutdown()
"""


@pytest.fixture(scope="module")
def every_character(tmp_path_factory):
    from conftest import Run

    tmp = tmp_path_factory.mktemp("characters")
    (tmp / "chunks.json").write_text(json.dumps(CHUNKS))
    Run(tmp)(ROUND_TRIP_CHILD, env={"TZ": "UTC"})
    return tmp


@pytest.mark.parametrize("kind", ["text", "color"])
def test_every_character_decodes_back_from_the_text_layouts(every_character, kind):
    data = dated_bytes(every_character / kind)
    # One line per record, also for readers that break at NEL, U+2028, U+2029.
    assert len(data.decode().splitlines()) == len(CHUNKS)
    for line, chunk in zip(split_lines(data), CHUNKS):
        plain = re.sub(r"\x1b\[\d+m", "", line) if kind == "color" else line
        values = dict(parse_logfmt(plain))
        assert values["msg"] == chunk and values["name"] == chunk
        name = chunk if bare_name(chunk) else f'"{escape(chunk)}"'
        assert plain.endswith(f' name={name} msg="{escape(chunk)}"')


def test_every_character_keeps_the_json_escapes(every_character):
    lines = split_lines(dated_bytes(every_character / "json"))
    assert len(lines) == len(CHUNKS)
    for line, chunk in zip(lines, CHUNKS):
        tail = f',"level":"info","name":"{json_escape(chunk)}","msg":"{json_escape(chunk)}"}}'
        assert re.fullmatch(re.escape('{"time":"') + LOCAL_TIME + re.escape('"') + re.escape(tail), line)
        record = json.loads(line)
        assert record["msg"] == chunk and record["name"] == chunk
