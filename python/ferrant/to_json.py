"""Rewrite ferrant's text lines as the JSON lines the same records give.

    python -m ferrant.to_json [FILE ...]

Reads the files (standard input when none is given) and writes to standard
output. Each text line, plain or coloured, becomes the JSON line that
``format="json"`` would have written for that record, its fields included;
every other line, JSON lines included, is copied unchanged. Handy for jq and
for lnav, whose own key=value reader misreads the text layout.

Text does not say a value's type, so a bare field value is read back as
the JSON value it spells: ``200`` a number, ``true``, ``false``, ``null``
literals, ``nan``, ``inf`` and ``-inf`` the strings the JSON layout writes
for them, anything else a string. A str field that spells one of those
("200", "true") comes back as that number or literal, and a dict or list
as the string of its JSON text.
"""

import re
import sys
from collections.abc import Iterable, Iterator
from typing import BinaryIO

# The text layout's quoted values use JSON's escapes and a few more
# \uXXXX ones, all valid JSON: they are copied as they are.
_QUOTED = rb'"(?:[^"\\\x00-\x1f]|\\["\\nrt]|\\u[0-9a-fA-F]{4})*"'
# What the text layout writes without quotes: never empty, no byte up to
# a space, no quote, '=', backslash or DEL.
_BARE = rb'[^\x00-\x20"=\\\x7f]+'
# A key of its own, or one in its safe form.
_KEY = rb"(?:[A-Za-z_][A-Za-z0-9_.-]*|@[A-Za-z0-9_.%-]*)"
_FIELD = rb" (" + _KEY + rb")=(" + _QUOTED + rb"|" + _BARE + rb")"
_TEXT_LINE = re.compile(
    rb"time=(?P<time>[0-9][0-9T:.+-]*) level=(?P<level>[a-z]+)"
    rb"(?: name=(?P<name>" + _QUOTED + rb"|" + _BARE + rb"|))?"
    rb" msg=(?P<msg>" + _QUOTED + rb")"
    rb"(?P<fields>(?:" + _FIELD + rb")*)"
)
_FIELDS = re.compile(_FIELD)
_COLOUR = re.compile(rb"\x1b\[[0-9]*m")

# The forms Python's repr gives an int and a float; a float is converted
# only when it is its own repr, so "1.50" stays the string it was.
_INT = re.compile(rb"0|-?[1-9][0-9]*")
_FLOAT = re.compile(rb"-?[0-9]+(?:\.[0-9]+)?(?:e[+-][0-9]+)?")
_LITERALS = {
    b"true": b"true", b"false": b"false", b"null": b"null",
    b"nan": b'"NaN"', b"inf": b'"Infinity"', b"-inf": b'"-Infinity"',
}
# Ints the JSON layout writes as numbers; others as strings of their digits,
# which readers that parse numbers into 64 bits do not round.
_INT_MIN, _INT_MAX = -(2**63), 2**64 - 1


def _bare_value(value: bytes) -> bytes:
    if _INT.fullmatch(value):
        # 20 bytes hold every int in range; longer ones need not be parsed.
        if len(value) <= 20 and _INT_MIN <= int(value) <= _INT_MAX:
            return value
        return b'"' + value + b'"'
    literal = _LITERALS.get(value)
    if literal is not None:
        return literal
    if _FLOAT.fullmatch(value) and repr(float(value)).encode() == value:
        return value
    return b'"' + value + b'"'


def convert_line(line: bytes) -> bytes:
    """One line, with or without its line feed, in the JSON layout."""
    body = line[:-1] if line.endswith(b"\n") else line
    plain = _COLOUR.sub(b"", body) if b"\x1b" in body else body
    m = _TEXT_LINE.fullmatch(plain)
    if m is None:
        return line
    if not plain.isascii():
        try:
            plain.decode("utf-8")
        except UnicodeDecodeError:  # not ferrant's, and not for a JSON reader
            return line
    time = m["time"] if b"T" not in m["time"] else b'"' + m["time"] + b'"'
    out = [b'{"time":', time, b',"level":"', m["level"], b'"']
    name = m["name"]
    if name is not None:
        out += (b',"name":', name if name.startswith(b'"') else b'"' + name + b'"')
    out += (b',"msg":', m["msg"])
    fields = m["fields"]
    if fields:
        for key, value in _FIELDS.findall(fields):
            out += (b',"', key, b'":', value if value.startswith(b'"') else _bare_value(value))
    out += (b"}", line[len(body):])
    return b"".join(out)


def convert(lines: Iterable[bytes]) -> Iterator[bytes]:
    return (convert_line(line) for line in lines)


def main(argv: list[str] | None = None) -> int:
    paths = sys.argv[1:] if argv is None else argv
    out: BinaryIO = sys.stdout.buffer
    try:
        if not paths:
            out.writelines(convert(sys.stdin.buffer))
        for path in paths:
            with open(path, "rb") as f:
                out.writelines(convert(f))
        out.flush()
    except BrokenPipeError:
        # A reader such as `head` that stops early is not an error.
        sys.stderr.close()
    return 0


if __name__ == "__main__":
    sys.exit(main())
