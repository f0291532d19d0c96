"""Paths from an untrusted source through every entry point that takes one: a
NUL is refused as open() refuses it, before anything is created or set, and
any other text names exactly the file it spells."""

import json
import os

import pytest

from ferrant._logger import PyLevel, PyLogger, basic_config
from lines import dated_lines, messages

ENTRY_POINTS = {
    "PyLogger positional": lambda path: PyLogger("n", path),
    "PyLogger keyword": lambda path: PyLogger("n", path=path),
    "basic_config positional": lambda path: basic_config(path),
    "basic_config keyword": lambda path: basic_config(path=path),
}

NUL_PATHS = ["\0", "logs/secret\0.log", "app.log\0", "a\0b\0c", "\0/tmp/elsewhere.log", "é\0.log"]


@pytest.mark.parametrize("path", NUL_PATHS)
@pytest.mark.parametrize("entry", ENTRY_POINTS)
def test_a_nul_in_the_path_raises_and_creates_nothing(entry, path, tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    with pytest.raises(ValueError, match=r"^embedded null byte$"):
        ENTRY_POINTS[entry](path)
    assert list(tmp_path.iterdir()) == []


@pytest.mark.parametrize(
    "call,exc",
    [
        # The type checks keep their order; the NUL check follows that of path.
        (lambda: PyLogger(5, "a\0"), TypeError),
        (lambda: PyLogger(None, b"a\0"), TypeError),
        (lambda: PyLogger("n", "a\0", level=2), ValueError),
        (lambda: PyLogger("n", "a\0", level=PyLevel.Info), ValueError),
        (lambda: basic_config(b"a\0"), TypeError),
        (lambda: basic_config("a\0", unix_ts=None, format=None), ValueError),
        # As for open(): the text must encode before its bytes are looked at.
        (lambda: PyLogger("n", "a\0\ud800"), UnicodeEncodeError),
        (lambda: basic_config(path="\ud800\0"), UnicodeEncodeError),
    ],
)
def test_which_error_comes_first(call, exc):
    with pytest.raises(exc):
        call()


def test_a_refused_path_leaves_every_setting_as_it_was(run, tmp_path):
    run(
        """
        from ferrant._logger import basic_config, get_logger
        basic_config(path="good/app.log", format="json")
        for args, kwargs in [
            (("bad\\0.log",), {}),
            ((), {"path": "bad\\0", "unix_ts": True, "color": "always", "format": "logfmt"}),
        ]:
            try:
                basic_config(*args, **kwargs)
            except ValueError as e:
                assert str(e) == "embedded null byte"
            else:
                raise AssertionError("accepted")
        log = get_logger("n")
        log.info("after")
        log.shutdown()
        """
    )
    assert sorted(os.listdir(tmp_path)) == ["good"]
    (line,) = dated_lines(tmp_path / "good")
    record = json.loads(line)  # still JSON, with local time, not Unix seconds
    assert isinstance(record["time"], str) and record["msg"] == "after"


# Directory names no terminal or line reader should see raw; the file system
# takes them as they are.
ODD_DIRECTORIES = ["line\nfeed", "csi\x9b[2J", "sep\u2028", 'quote" and space ', "tab\t", "é-ü", "-"]


def test_any_other_path_names_exactly_its_file(run, tmp_path):
    run(
        f"""
from ferrant._logger import PyLogger, basic_config, get_logger
for d in {ODD_DIRECTORIES!r}:
    basic_config(path=d + "/app.log")
    by_default = get_logger("default")
    direct = PyLogger("direct", d + "/app.log")
    by_default.info("one")
    direct.info("two")
    direct.shutdown()
"""
    )
    assert sorted(os.listdir(tmp_path)) == sorted(ODD_DIRECTORIES)
    for d in ODD_DIRECTORIES:
        assert messages(dated_lines(tmp_path / d)) == ["one", "two"], d
