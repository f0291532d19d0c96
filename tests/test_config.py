import pytest

from ferrant._logger import basic_config


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


@pytest.mark.parametrize(
    "kwargs,exc,fragment",
    [
        ({"path": 1}, TypeError, "argument 'path'"),
        ({"path": b"x.log"}, TypeError, "argument 'path'"),
        ({"unix_ts": None}, TypeError, "argument 'unix_ts'"),
        ({"unix_ts": 1}, TypeError, "argument 'unix_ts'"),
        ({"batch_size": 1.0}, TypeError, "argument 'batch_size'"),
        ({"batch_size": "4"}, TypeError, "argument 'batch_size'"),
        ({"batch_size": -1}, OverflowError, ""),
        ({"batch_size": 2**64}, OverflowError, ""),
        ({"batch_size": Index(-5)}, OverflowError, ""),
        ({"color": None}, TypeError, "argument 'color'"),
        ({"color": 2}, TypeError, "argument 'color'"),
        ({"format": None}, TypeError, "argument 'format'"),
        ({"format": b"json"}, TypeError, "argument 'format'"),
        ({"path": "\ud800.log"}, UnicodeEncodeError, ""),
        ({"color": "\udcff"}, UnicodeEncodeError, ""),
        ({"format": "\ud800"}, UnicodeEncodeError, ""),
        ({"nope": 1}, TypeError, "unexpected keyword argument 'nope'"),
    ],
)
def test_argument_errors(kwargs, exc, fragment):
    with pytest.raises(exc) as info:
        basic_config(**kwargs)
    assert fragment in str(info.value)


def test_cpython_wording():
    with pytest.raises(TypeError, match=r"^basic_config\(\) argument 'color' must be str, not None$"):
        basic_config(color=None)


@pytest.mark.parametrize(
    "args,kwargs,fragment",
    [
        ((None, False, None, "auto", "logfmt", 6), {}, "at most 5 arguments"),
        ((None,), {"path": None}, "given by name ('path') and position (1)"),
    ],
)
def test_binding_errors(args, kwargs, fragment):
    with pytest.raises(TypeError) as info:
        basic_config(*args, **kwargs)
    assert fragment in str(info.value)


def test_index_objects_are_accepted_as_batch_size(run):
    run(
        """
        from ferrant._logger import basic_config
        class Index:
            def __index__(self):
                return 7
        assert basic_config(batch_size=Index()) is None
        """
    )


def test_first_bad_argument_in_parameter_order_is_reported():
    # Conversion runs path, unix_ts, batch_size, color, format.
    with pytest.raises(TypeError, match="'unix_ts'"):
        basic_config(format=None, color=None, batch_size=1.5, unix_ts=0)
    with pytest.raises(OverflowError):
        basic_config(format=None, color=None, batch_size=-1)
    with pytest.raises(TypeError, match="'color'"):
        basic_config(format=None, color=None)


@pytest.mark.parametrize(
    "args,kwargs",
    [
        ((), {}),
        (("app.log", True, 0, "always", "json"), {}),
        ((), {"batch_size": True, "color": "ALWAYS", "format": "JSON"}),
        ((), {"batch_size": 7, "color": "", "format": ""}),
        ((), {"path": None, "batch_size": None}),
    ],
)
def test_accepted_calls_return_none(run, args, kwargs):
    # In a child process: the settings are process-wide.
    run(f"from ferrant._logger import basic_config\nassert basic_config(*{args!r}, **{kwargs!r}) is None")
