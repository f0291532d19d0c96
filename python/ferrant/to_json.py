"""Rewrite ferrant's text lines as the JSON lines the same records give.

    python -m ferrant.to_json [FILE ...]

Reads the files (standard input when none is given) and writes to standard
output. Each text line, plain or coloured, becomes the JSON line that
``format="json"`` would have written for that record; every other line,
JSON lines included, is copied unchanged. Handy for jq and for lnav, whose
own key=value reader misreads the text layout.
"""

import re
import sys
from collections.abc import Iterable, Iterator
from typing import BinaryIO

# Quoted values use JSON's string escapes, so they are copied as they are; a
# bare name never holds a quote, a backslash or a control byte.
_QUOTED = rb'"(?:[^"\\]|\\.)*"'
_TEXT_LINE = re.compile(
    rb"time=(?P<time>[0-9][0-9T:.+-]*) level=(?P<level>[a-z]+)"
    rb"(?: name=(?P<name>" + _QUOTED + rb'|[^ "]*))?'
    rb" msg=(?P<msg>" + _QUOTED + rb")"
)
_COLOUR = re.compile(rb"\x1b\[[0-9]*m")


def convert_line(line: bytes) -> bytes:
    """One line, with or without its line feed, in the JSON layout."""
    body = line[:-1] if line.endswith(b"\n") else line
    m = _TEXT_LINE.fullmatch(_COLOUR.sub(b"", body) if b"\x1b" in body else body)
    if m is None:
        return line
    time = m["time"] if b"T" not in m["time"] else b'"' + m["time"] + b'"'
    out = b'{"time":' + time + b',"level":"' + m["level"] + b'"'
    name = m["name"]
    if name is not None:
        out += b',"name":' + (name if name.startswith(b'"') else b'"' + name + b'"')
    return out + b',"msg":' + m["msg"] + b"}" + line[len(body):]


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
