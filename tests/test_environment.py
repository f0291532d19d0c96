"""Configuration from FERRANT_* environment variables, read when the package
is imported: what each one sets, that code passing a value wins, that an
unknown value is refused naming the variable, and that spawned workers are
configured by the environment alone."""

import json
import os
import subprocess
import sys
import textwrap

import pytest

import ferrant
from ferrant import _config

from lines import dated_lines, parse_logfmt


@pytest.mark.parametrize(
    "environ, expected",
    [
        ({}, {}),
        ({"FERRANT_FORMAT": "", "FERRANT_PATH": ""}, {}),
        ({"FERRANT_FORMAT": "JSON", "FERRANT_COLOR": "Always"}, {"format": "json", "color": "always"}),
        ({"FERRANT_LEVEL": "Warning"}, {"level": "warning"}),
        ({"FERRANT_LEVEL": "0"}, {"level": 0}),
        ({"FERRANT_LEVEL": "25"}, {"level": 25}),
        ({"FERRANT_LEVEL": "9" * 30}, {"level": int("9" * 30)}),
        ({"FERRANT_RETENTION_DAYS": "007"}, {"retention_days": 7}),
        ({"FERRANT_RETENTION_DAYS": str(2**31 - 1)}, {"retention_days": 2**31 - 1}),
        ({"FERRANT_COMPRESS": "TRUE"}, {"compress": True}),
        ({"FERRANT_PATH": "logs/app.log"}, {"path": "logs/app.log"}),
        ({"FERRANT_RETENTION_DAYS": "7", "FERRANT_COMPRESS": "yes"}, {"retention_days": 7, "compress": True}),
        ({"FERRANT_COMPRESS": "Off"}, {"compress": False}),
    ],
)
def test_environment_values(environ, expected):
    assert _config.read_environment(environ) == expected


# Forms a lenient reader would take: spaces around, a sign, underscores,
# digits or letters outside ASCII, a digit string too long for int().
NOT_QUITE = [
    ("FERRANT_LEVEL", " info"),
    ("FERRANT_LEVEL", "info\n"),
    ("FERRANT_LEVEL", "+10"),
    ("FERRANT_LEVEL", "1_0"),
    ("FERRANT_LEVEL", "\uff13"),
    ("FERRANT_LEVEL", "9" * 5000),
    ("FERRANT_RETENTION_DAYS", "+3"),
    ("FERRANT_RETENTION_DAYS", " 3"),
    ("FERRANT_RETENTION_DAYS", "1_0"),
    ("FERRANT_RETENTION_DAYS", "\uff13"),
    ("FERRANT_FORMAT", " json"),
    ("FERRANT_COLOR", " Always "),
    ("FERRANT_COMPRESS", " yes"),
]


@pytest.mark.parametrize("variable, value", NOT_QUITE)
def test_values_are_read_strictly(variable, value):
    with pytest.raises(ValueError) as caught:
        _config.read_environment({variable: value})
    assert variable in str(caught.value) and repr(value) in str(caught.value)


@pytest.mark.parametrize("value", [" 0", "Off "])
def test_sigterm_switch_is_read_strictly(run, value):
    proc = run("import ferrant", env={"FERRANT_SIGTERM": value}, check=False)
    assert proc.returncode == 1
    last = proc.stderr.decode().strip().splitlines()[-1]
    assert last.startswith("ValueError: ") and "FERRANT_SIGTERM" in last


@pytest.mark.parametrize(
    "variable, value",
    [
        ("FERRANT_LEVEL", " info"),
        ("FERRANT_RETENTION_DAYS", "+3"),
        ("FERRANT_FORMAT", "yaml"),
        ("FERRANT_FORMAT", "text"),
        ("FERRANT_COLOR", "never"),
        ("FERRANT_RETENTION_DAYS", "0"),
        ("FERRANT_RETENTION_DAYS", "7d"),
        ("FERRANT_RETENTION_DAYS", str(2**31)),
        ("FERRANT_COMPRESS", "gzip"),
    ],
)
def test_unknown_value_is_refused_at_import(run, variable, value):
    proc = run("import ferrant", env={variable: value}, check=False)
    assert proc.returncode == 1
    last = proc.stderr.decode().strip().splitlines()[-1]
    assert last.startswith("ValueError: ") and variable in last and repr(value) in last


@pytest.mark.parametrize("kwargs", [{"format": "Json"}, {"color": "ALWAYS"}, {"format": " json "}])
def test_basic_config_reads_any_case(run, kwargs):
    run(f"import ferrant\nferrant.basic_config(**{kwargs!r})")


@pytest.mark.parametrize("name, value", [("format", "yaml"), ("format", "text"), ("color", "never")])
def test_basic_config_refuses_unknown_values(name, value):
    with pytest.raises(ValueError, match=f"^{name} must be one of .*; got {value!r}$"):
        ferrant.basic_config(**{name: value})


def test_environment_configures_loggers_and_code_wins(run, tmp_path):
    run(
        """
        import ferrant
        ferrant.get_logger("env").info("from the environment", n=1)
        ferrant.basic_config(path="explicit/app.log", format="logfmt")
        ferrant.get_logger("code").info("from code", n=2)
        """,
        env={"FERRANT_FORMAT": "json", "FERRANT_PATH": "env/app.log"},
    )
    [env_line] = dated_lines(tmp_path / "env")
    assert json.loads(env_line)["msg"] == "from the environment"
    [code_line] = dated_lines(tmp_path / "explicit")
    assert dict(parse_logfmt(code_line))["msg"] == "from code"


@pytest.mark.parametrize("method", ["spawn", "forkserver"])
def test_spawned_workers_take_the_environment(tmp_path, method):
    script = tmp_path / "workers.py"
    script.write_text(textwrap.dedent(f"""
        import multiprocessing as mp
        import ferrant

        def work(i):
            ferrant.get_logger("worker").info("done", worker=i)

        if __name__ == "__main__":
            ctx = mp.get_context({method!r})
            procs = [ctx.Process(target=work, args=(i,)) for i in range(2)]
            for p in procs: p.start()
            for p in procs: p.join()
            assert [p.exitcode for p in procs] == [0, 0]
        """))
    env = dict(os.environ, FERRANT_FORMAT="json", FERRANT_PATH="logs/app.log")
    subprocess.run([sys.executable, str(script)], cwd=tmp_path, env=env, check=True, timeout=60)
    records = [json.loads(line) for line in dated_lines(tmp_path / "logs")]
    assert sorted(r["worker"] for r in records) == [0, 1]
