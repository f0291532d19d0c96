"""Readers for what the logger writes: dated files, logfmt lines and the
escaping the text layouts use. Shared by the test modules and kept free of
the module under test, so the expectations come from here, not from it."""

import re
import urllib.parse
from pathlib import Path

DATED = re.compile(r"app_\d{8}\.log")

# Local form: date and time to the second, 6 fraction digits, offset with colon.
LOCAL_TIME = r"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{6}[+-]\d\d:\d\d)"
# Unix form: seconds without leading zeros, 9 fraction digits.
UNIX_TIME = r"((?:0|[1-9]\d*)\.\d{9})"

DIM = "\x1b[2m"
RESET = "\x1b[0m"
COLOURED_LEVEL = {
    "error": "\x1b[31merror\x1b[0m",
    "warn": "\x1b[33mwarn\x1b[0m",
    "info": "\x1b[32minfo\x1b[0m",
    "debug": "\x1b[36mdebug\x1b[0m",
    "trace": "\x1b[2mtrace\x1b[0m",
}


def json_escape(text):
    """The JSON layout's string escapes: only five short escapes, \\u00xx for
    the other control bytes, nothing else."""
    short = {'"': '\\"', "\\": "\\\\", "\n": "\\n", "\r": "\\r", "\t": "\\t"}
    out = []
    for ch in text:
        if ch in short:
            out.append(short[ch])
        elif ord(ch) < 0x20:
            out.append(f"\\u{ord(ch):04x}")
        else:
            out.append(ch)
    return "".join(out)


def unsafe_in_text(ch):
    """Characters the text layouts never write raw: C0 and C1 controls and
    the line and paragraph separators."""
    return ord(ch) < 0x20 or 0x80 <= ord(ch) <= 0x9F or ch in "\u2028\u2029"


def escape(text):
    """The text layouts' escapes of a quoted message or name: those of JSON,
    and \\u0080..\\u009f, \\u2028, \\u2029."""
    return "".join(
        f"\\u{ord(ch):04x}" if ord(ch) >= 0x80 and unsafe_in_text(ch) else json_escape(ch)
        for ch in text
    )


def bare_name(name):
    """A name the text layouts write without quotes (the empty one too)."""
    return not any(unsafe_in_text(c) or c in ' "=\\' for c in name)


def dated_bytes(directory, stem="app"):
    """Every dated file of `directory/stem.log`, concatenated in date order
    (a run may cross local midnight)."""
    directory = Path(directory)
    if not directory.is_dir():
        return b""
    pattern = re.compile(re.escape(stem) + r"_\d{8}\.log")
    files = sorted(p for p in directory.iterdir() if pattern.fullmatch(p.name))
    assert not (directory / f"{stem}.log").exists(), "the configured path itself was written"
    return b"".join(p.read_bytes() for p in files)


def split_lines(data):
    """Records are separated by line feeds only; a final one ends the last."""
    if not data:
        return []
    assert data.endswith(b"\n"), data[-80:]
    return [line.decode("utf-8") for line in data[:-1].split(b"\n")]


class NewLines:
    """Reads back what a capture's destination in `directory` got since the
    previous call, once `flush()` has written it out."""

    _seen = 0

    def flush(self):
        self.log.shutdown()

    def lines(self):
        self.flush()
        data = dated_bytes(self.directory)
        new, self._seen = data[self._seen :], len(data)
        return split_lines(new)


def dated_lines(directory, stem="app"):
    return split_lines(dated_bytes(directory, stem))


# The line's own keys are lowercase words; field keys may hold more.
KEY = re.compile(r"(?:[A-Za-z_][A-Za-z0-9_.-]*|@[A-Za-z0-9_.%-]*)=")

VALID_KEY = re.compile(r"[A-Za-z_][A-Za-z0-9_.-]{0,127}", re.ASCII)
LINE_KEYS = {"time", "level", "name", "msg", "exc", "exc_info"}


def safe_key(key):
    """The key a field is written under: its own when valid and not one the
    line writes, else "@" and its UTF-8 bytes, other than ASCII letters,
    digits and _.-, percent-encoded."""
    if VALID_KEY.fullmatch(key) and key not in LINE_KEYS:
        return key
    return "@" + urllib.parse.quote(key.encode("utf-8", "surrogatepass"), safe="_.-")
SHORT_ESCAPES = {'"': '"', "\\": "\\", "n": "\n", "r": "\r", "t": "\t"}


def parse_logfmt(line):
    """key=value pairs separated by one space. Bare values end at a space and
    hold no '"', '=' or '\\'; quoted values allow only \\" \\\\ \\n \\r \\t and
    \\uXXXX escapes. No raw C0 or C1 control and no U+2028, U+2029 anywhere.
    Raises ValueError."""
    if any(unsafe_in_text(c) for c in line):
        raise ValueError(f"raw control character or line separator: {line!r}")
    pairs, pos = [], 0
    while True:
        m = KEY.match(line, pos)
        if not m:
            raise ValueError(f"no key at {pos}: {line!r}")
        key, pos = m.group()[:-1], m.end()
        if line.startswith('"', pos):
            out, pos = [], pos + 1
            while True:
                if pos >= len(line):
                    raise ValueError(f"unterminated quote: {line!r}")
                c = line[pos]
                if c == '"':
                    pos += 1
                    break
                if c != "\\":
                    out.append(c)
                    pos += 1
                    continue
                e = line[pos + 1 : pos + 2]
                if e in SHORT_ESCAPES:
                    out.append(SHORT_ESCAPES[e])
                    pos += 2
                elif e == "u" and re.fullmatch(r"[0-9a-fA-F]{4}", line[pos + 2 : pos + 6]):
                    code = int(line[pos + 2 : pos + 6], 16)
                    if 0xD800 <= code < 0xE000:
                        raise ValueError(f"escaped surrogate: {line!r}")
                    out.append(chr(code))
                    pos += 6
                else:
                    raise ValueError(f"bad escape at {pos}: {line!r}")
            value = "".join(out)
        else:
            end = line.find(" ", pos)
            end = len(line) if end < 0 else end
            value = line[pos:end]
            if any(c in value for c in '"=\\'):
                raise ValueError(f"bad bare value {value!r}: {line!r}")
            pos = end
        pairs.append((key, value))
        if pos == len(line):
            return pairs
        if line[pos] != " ":
            raise ValueError(f"junk after value at {pos}: {line!r}")
        pos += 1


COLOURED_KEY = re.compile(r"\x1b\[2m((?:[A-Za-z_][A-Za-z0-9_.-]*|@[A-Za-z0-9_.%-]*)=)\x1b\[0m")


def uncolour(line):
    """A coloured text line as the plain one: keys undimmed, level words
    without their colour. Only whole key and level codes are taken out, so
    that a stray escape byte elsewhere still fails parse_logfmt."""
    line = COLOURED_KEY.sub(r"\1", line)
    for word, coloured in COLOURED_LEVEL.items():
        line = line.replace("level=" + coloured, "level=" + word, 1)
    return line


def record_pairs(line, kind):
    """The (key, value) pairs of a line of layout `kind` ("text", "color" or
    "json") in their order; text values are strs, JSON ones as decoded."""
    if kind == "json":
        import json

        return json.loads(line, object_pairs_hook=list)
    return parse_logfmt(uncolour(line) if kind == "color" else line)


def messages(lines):
    """The msg value of each text line."""
    return [dict(parse_logfmt(line))["msg"] for line in lines]


def writer_threads(expect=None):
    """Threads of this process other than the flusher, which the first
    record starts: what changes when a writer starts or stops.

    A joined thread can stay listed under /proc for a moment after the
    join returns, so with `expect` the count is read again until it
    matches or a few seconds pass; a thread that really lives on still
    shows."""
    import os
    import time

    def count():
        names = []
        for task in os.listdir("/proc/self/task"):
            try:
                with open(f"/proc/self/task/{task}/comm") as f:
                    names.append(f.read().strip())
            except FileNotFoundError:  # ended meanwhile
                pass
        return len([n for n in names if n != "ferrant-flusher"])

    deadline = time.monotonic() + 5
    n = count()
    while expect is not None and n != expect and time.monotonic() < deadline:
        time.sleep(0.01)
        n = count()
    return n
