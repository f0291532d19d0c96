"""ferrant.accelerate_logging(): the standard library's level methods made
native. The oracle is the standard library itself: each program runs once
with the accelerator and once without, and what every handler receives must
be the same (the time of a line aside)."""

import json
import re
import sys

import pytest

from lines import LOCAL_TIME, dated_lines

TIME = re.compile(rf'^time={LOCAL_TIME} |"time":"{LOCAL_TIME[1:-1]}",')

# Shared by the programs below: a handler that keeps what the standard
# library hands it, and the written files with their times taken out.
COMMON = r'''
import json, logging, os, re, sys, threading, warnings
import ferrant
from ferrant import Handler

ACCEL = os.environ.get("ACCEL") == "1"
ferrant.basic_config(format=os.environ.get("KIND", "logfmt"), color="off")
if ACCEL:
    ferrant.accelerate_logging()

SEEN = []

class Recorder(logging.Handler):
    """Keeps what a record carries, caller information included."""
    def emit(self, record):
        SEEN.append({
            "name": record.name, "levelno": record.levelno, "msg": repr(record.msg),
            "args": repr(record.args), "message": record.getMessage(),
            "funcName": record.funcName, "lineno": record.lineno,
            "pathname": record.pathname, "module": record.module,
            "exc": repr(record.exc_info[1]) if record.exc_info else repr(record.exc_info),
            "stack": bool(record.stack_info),
            "extra": sorted(k for k in vars(record) if k not in OWN),
        })

OWN = set(vars(logging.LogRecord("", 0, "", 0, "", (), None))) | {"message", "asctime"}

def report():
    for h in HANDLERS:
        h.flush()
    json.dump({"seen": SEEN, "warnings": WARNINGS}, sys.stdout)

WARNINGS = []
HANDLERS = []
'''


def written(directory):
    """Every file's lines, times taken out, by file stem."""
    out = {}
    for stem in sorted({p.name.split("_")[0] for p in directory.glob("*_*.log")}):
        out[stem] = [TIME.sub("", line) for line in dated_lines(directory, stem)]
    return out


def both_ways(run, tmp_path, code, env=None, check=True):
    """(stdout, files, stderr) without and with the accelerator."""
    results = []
    for accel in ("0", "1"):
        cwd = tmp_path / f"accel{accel}"
        cwd.mkdir()
        proc = run(COMMON + code, env={"ACCEL": accel, **(env or {})}, cwd=cwd, check=check)
        results.append((json.loads(proc.stdout) if proc.stdout else None, written(cwd / "out"),
                        proc.stderr.decode()))
    return results


MANY_KINDS = r'''
import types
root = logging.getLogger()
root.setLevel(logging.DEBUG)
main, warn_only, quiet_out = Handler(path="out/main.log"), Handler(path="out/warn.log", level=logging.WARNING), Handler(path="out/quiet.log")
HANDLERS += [main, warn_only, quiet_out]
root.addHandler(main)
a, ab, abc = logging.getLogger("a"), logging.getLogger("a.b"), logging.getLogger("a.b.c")
a.addHandler(warn_only)
# A logger's filters see its own records only, not those propagated to it.
a.addFilter(lambda record: "critical" in record.getMessage())
quiet = logging.getLogger("quiet")
quiet.propagate = False
quiet.addHandler(quiet_out)
off = logging.getLogger("off")
off.disabled = True
picky = logging.getLogger("picky")
picky.setLevel(logging.ERROR)
TASK = {"taskName": "t"} if sys.version_info < (3, 12) else {}

class Obj:
    def __str__(self):
        return "obj str"
    def __repr__(self):
        return "obj repr"

def helper(log):
    log.info("helper at stacklevel 2", stacklevel=2)

def calls(round):
    for log in (root, a, ab, abc, quiet, off, picky):
        log.debug("debug %s %d", log.name, round)
        log.info("info %s %d %.2f %r", log.name, 3, 2.5, "q")
        log.warning("no args 100%% %s")
        log.error("object %s %r", Obj(), Obj())
        log.critical("critical")
        log.fatal("fatal %s", "x")
        log.log(25, "log at 25 %s", "y")
        log.log(5, "log at 5")
        log.log(logging.INFO, "log at INFO")
        log.info("mapping %(a)s %(b)d", {"a": "A", "b": 2})
        log.info("empty dict %s", {})
        log.info("a Mapping, not a dict: %(a)s", types.MappingProxyType({"a": "A"}))
        log.info("an empty Mapping %s", types.MappingProxyType({}))
        log.info("tuple %s and list %s", (1, 2), [3])
        log.info({"not": "a template"})
        log.info(42)
        log.info(Obj())
        log.info(ValueError("as the message"))
        # taskName: an extra before 3.12, a record's own (refused) after.
        log.info("with extra", extra={"user": "bob", "n": 7, "f": 1.5, "none": None, **TASK})
        log.info("odd extra values", extra={"s": "\udcff", "obj": Obj(), "bytes": b"x"})
        log.info("lone surrogate \udcff in the message")
        log.info("stack", stack_info=True)
        log.info("no stack", stack_info=False, stacklevel=1)
        helper(log)
        try:
            raise KeyError("k")
        except KeyError:
            log.exception("exception %s", "here")
            log.error("exc_info True", exc_info=True)
            log.error("exc_info tuple", exc_info=sys.exc_info())
            log.error("exc_info 1", exc_info=1)
            log.info("exception in a plain call")
        log.error("an exception given", exc_info=ValueError("v"))
        log.error("a triple of nothing", exc_info=(None, None, None))
        log.exception("exception outside an except block")
        log.warning("exc_info False", exc_info=False)
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            log.warn("deprecated warn %s", "w")
        WARNINGS.extend((str(w.message), w.filename, w.lineno) for w in caught)

calls(1)
logging.disable(logging.WARNING)
calls(2)
logging.disable(logging.NOTSET)
calls(3)
report()
'''


@pytest.mark.parametrize("kind", ["logfmt", "json"])
def test_many_kinds_of_call_write_the_same_lines(run, tmp_path, kind):
    (plain, plain_files, plain_err), (fast, fast_files, fast_err) = both_ways(
        run, tmp_path, MANY_KINDS, {"KIND": kind})
    assert set(plain_files) == {"main", "warn", "quiet"}
    assert plain_files == fast_files
    assert len(plain_files["main"]) > 200
    assert plain == fast
    assert len(fast["warnings"]) == 21
    assert plain_err == fast_err


OBSERVED = r'''
root = logging.getLogger()
root.setLevel(logging.DEBUG)
main = Handler(path="out/main.log")
HANDLERS.append(main)
root.addHandler(main)

# A second handler beside a ferrant.Handler.
beside = logging.getLogger("beside")
beside.addHandler(Recorder())

# Filters: one that looks, one that changes the record.
filtered = logging.getLogger("filtered")
def look(record):
    SEEN.append({"filter saw": record.getMessage(), "line": record.lineno})
    return True
def change(record):
    record.msg = "changed: " + str(record.msg)
    return True
filtered.addFilter(look)
filtered.addFilter(change)

class Sub(logging.Logger):
    def makeRecord(self, *args, **kwargs):
        record = super().makeRecord(*args, **kwargs)
        record.made_by = "Sub"
        return record

logging.setLoggerClass(Sub)
sub = logging.getLogger("sub")
sub.addHandler(Recorder())
logging.setLoggerClass(logging.Logger)

adapted = logging.LoggerAdapter(logging.getLogger("adapted"), {"request": "r-1"})
logging.getLogger("adapted").addHandler(Recorder())

def site(log):
    log.info("from a function %s", "x")
    log.warning("at stacklevel 2", stacklevel=2)
    try:
        1 / 0
    except ZeroDivisionError:
        log.exception("failed")

for _ in range(2):
    for log in (beside, filtered, sub, adapted):
        site(log)
        log.info("module level %d", 1)
        log.error("with stack", stack_info=True)

# A record factory, for the loggers of the way above and a plain one.
old = logging.getLogRecordFactory()
def factory(*args, **kwargs):
    record = old(*args, **kwargs)
    record.via = "factory"
    return record
logging.setLogRecordFactory(factory)
plain = logging.getLogger("plain")
for _ in range(2):
    site(plain)
    site(beside)
logging.setLogRecordFactory(old)
site(plain)
report()
'''


@pytest.mark.parametrize("kind", ["logfmt", "json"])
def test_other_handlers_filters_factories_subclasses_and_adapters_see_the_same(run, tmp_path, kind):
    (plain, plain_files, _), (fast, fast_files, _) = both_ways(run, tmp_path, OBSERVED, {"KIND": kind})
    assert plain_files == fast_files
    assert plain["seen"] == fast["seen"]
    lines = {(s.get("funcName"), s.get("lineno")) for s in fast["seen"] if "funcName" in s}
    assert len(lines) >= 6
    assert any('via=factory' in line or '"via":"factory"' in line for line in fast_files["main"])
    assert any(s.get("extra") == ["made_by"] for s in fast["seen"])


# Each way of changing what a record meets, made between two bursts of
# records (the first warms the accelerator's route); the second must be
# written as the standard library writes it.
CHANGES = {
    "add_handler": "root.addHandler(two)",
    "remove_handler": "root.removeHandler(one)",
    "replace_in_place": "root.handlers[0] = two",
    "add_other_handler": "root.addHandler(Recorder())",
    "assign_handlers": "root.handlers = [two]",
    "append_to_child_list": "log.handlers.append(two)",
    "logger_level": "log.setLevel(logging.WARNING)",
    "parent_level": "root.setLevel(logging.WARNING)",
    "level_assigned_then_cache_cleared": "log.level = logging.ERROR; log.manager._clear_cache()",
    "handler_level": "one.setLevel(logging.WARNING)",
    "handler_level_assigned": "one.level = logging.ERROR",
    "propagate": "log.propagate = False",
    "disabled": "log.disabled = True",
    "filters_assigned": "log.filters = [lambda r: '1' in r.getMessage()]",
    "filter_added": "log.addFilter(lambda r: '2' in r.getMessage())",
    "handler_filter": "one.addFilter(lambda r: '0' in r.getMessage())",
    "formatter": "one.setFormatter(logging.Formatter('F %(levelname)s %(message)s'))",
    "formatter_none": "one.formatter = None",
    "disable": "logging.disable(logging.INFO)",
    "record_factory": "logging.setLogRecordFactory(tagged)",
    "logger_class": "logging.setLoggerClass(Sub); NAME[0] = 'svc.made.later'",
    "dict_config": (
        "import logging.config; logging.config.dictConfig({'version': 1, "
        "'handlers': {'f': {'class': 'ferrant.Handler', 'path': 'out/dict.log'}}, "
        "'loggers': {'svc': {'handlers': ['f'], 'level': 'INFO'}}, 'root': {'level': 'WARNING'}})"
    ),
    "file_config": "import logging.config; logging.config.fileConfig(write_ini())",
    "patched_class": "logging.Logger.callHandlers = counted(logging.Logger.callHandlers)",
    "patched_instance": "log.handle = lambda record: SEEN.append({'handled': record.getMessage()})",
    "new_parent": "mid = logging.getLogger('svc'); mid.addHandler(two); mid.propagate = False",
    "handler_closed": "one.close()",
    "formatter_class_patched": "Handler.emit = counted(Handler.emit)",
}

CHANGE = r'''
root = logging.getLogger()
root.setLevel(logging.DEBUG)
one, two = Handler(path="out/one.log"), Handler(path="out/two.log")
HANDLERS += [one, two]
root.addHandler(one)
NAME = ["svc.part"]
log = logging.getLogger(NAME[0])

class Sub(logging.Logger):
    def callHandlers(self, record):
        SEEN.append({"sub": record.getMessage()})
        super().callHandlers(record)

def tagged(*args, **kwargs):
    record = logging.LogRecord(*args, **kwargs)
    record.tag = "factory"
    return record

def counted(f):
    def wrapper(*args, **kwargs):
        SEEN.append({"through": f.__name__})
        return f(*args, **kwargs)
    return wrapper

def write_ini():
    with open("logging.ini", "w") as f:
        f.write("[loggers]\nkeys=root\n[handlers]\nkeys=f\n[formatters]\nkeys=\n"
                "[logger_root]\nlevel=INFO\nhandlers=f\n"
                "[handler_f]\nclass=ferrant.Handler\nargs=('out/file.log',)\n")
    return "logging.ini"

def burst(tag):
    target = logging.getLogger(NAME[0])
    for i in range(3):
        target.info("%s info %d", tag, i)
        target.debug("%s debug %d", tag, i)
        target.error("%s error %d", tag, i)

def change():
    exec(os.environ["CHANGE"], globals())

burst("before")
if os.environ["THREAD"] == "1":
    t = threading.Thread(target=change)
    t.start()
    t.join()
else:
    change()
burst("after")
for h in logging.getLogger().handlers + logging.getLogger("svc").handlers:
    if h not in HANDLERS:
        HANDLERS.append(h)
report()
'''


@pytest.mark.parametrize("thread", ["main", "other"])
@pytest.mark.parametrize("means", sorted(CHANGES))
def test_a_change_takes_effect_at_the_next_call(run, tmp_path, means, thread):
    env = {"CHANGE": CHANGES[means], "THREAD": "1" if thread == "other" else "0"}
    (plain, plain_files, _), (fast, fast_files, _) = both_ways(run, tmp_path, CHANGE, env)
    assert plain_files == fast_files
    assert plain == fast
    # The change did change something (but for two that must not), so the
    # comparison above means something.
    before = {stem: [line.replace("before", "after") for line in lines if "before" in line]
              for stem, lines in plain_files.items()}
    after = {stem: [line for line in lines if "after" in line] for stem, lines in plain_files.items()}
    changed = before != after or bool(plain["seen"])
    assert changed == (means not in ("formatter_none", "handler_closed")), means


TAKEN = r'''
root = logging.getLogger()
main = Handler(path="out/main.log")
HANDLERS.append(main)
root.addHandler(main)
root.setLevel(logging.INFO)
log = logging.getLogger("app.db")
calls = []
def profile(frame, event, arg):
    if event == "call" and frame.f_code.co_name in ("_log", "makeRecord", "callHandlers"):
        calls.append(frame.f_code.co_name)
for _ in range(3):
    log.info("warm %s", "up")
    log.debug("warm %s", "up")
    log.warning("warm", extra={"k": 0})
sys.setprofile(profile)
for i in range(100):
    log.info("user %s logged in", "bob")
    log.debug("below the level %d", i)
    log.warning("with extra", extra={"k": i})
sys.setprofile(None)
SEEN.append({"calls": len(calls)})
report()
'''


def test_records_for_ferrant_handlers_become_no_log_record(run, tmp_path):
    (plain, plain_files, _), (fast, fast_files, _) = both_ways(run, tmp_path, TAKEN)
    assert plain_files == fast_files
    assert len(fast_files["main"]) == 6 + 200
    assert plain["seen"] == [{"calls": 600}]
    assert fast["seen"] == [{"calls": 0}]


ERRORS = r'''
root = logging.getLogger()
root.setLevel(logging.DEBUG)
one, two = Handler(path="out/one.log"), Handler(path="out/two.log")
HANDLERS += [one, two]
root.addHandler(one)
root.addHandler(two)
log = logging.getLogger("errors")
logging.raiseExceptions = os.environ["RAISE"] == "1"
original = Handler.handleError
def spy(self, record):
    SEEN.append({"handler": os.path.basename(self.path), "type": type(record).__name__,
                 "msg": repr(record.msg), "args": repr(record.args), "funcName": record.funcName,
                 "lineno": record.lineno, "error": type(sys.exc_info()[1]).__name__})
    original(self, record)
Handler.handleError = spy

class Unprintable:
    def __str__(self):
        raise ValueError("no text")
    def __repr__(self):
        return "<unprintable>"

def site():
    for _ in range(3):
        log.info("warm %s", "up")
    log.info("%d items", "many")
    log.info("%s and %s", "only one")
    log.info("%s", Unprintable())
    log.info(Unprintable())
    log.info("%(missing)s", {"present": 1})
    log.info("after the errors %d", 1)
try:
    site()
except BaseException as e:
    SEEN.append({"raised": repr(e)})
report()
'''


@pytest.mark.parametrize("raise_exceptions", ["1", "0"])
def test_a_formatting_error_goes_to_handle_error_with_a_real_record(run, tmp_path, raise_exceptions):
    (plain, plain_files, plain_err), (fast, fast_files, fast_err) = both_ways(
        run, tmp_path, ERRORS, {"RAISE": raise_exceptions})
    assert plain_files == fast_files
    assert len(fast_files["one"]) == 4
    assert plain["seen"] == fast["seen"]
    assert len(fast["seen"]) == 10
    assert {s["funcName"] for s in fast["seen"]} == {"site"}
    assert {s["type"] for s in fast["seen"]} == {"LogRecord"}
    if raise_exceptions == "1":
        assert fast_err.count("--- Logging error ---") == 10
        assert fast_err.count("Message: '%d items'\nArguments: ('many',)") == 2
        assert fast_err.count("Message: <unprintable>\nArguments: ()") == 2
        # The traceback begins at the caller's frame (3.13 shows its source line).
        assert re.search(r'line 61, in site\n(    .*\n)*TypeError: %d format', fast_err)
    else:
        assert fast_err == plain_err == ""


THREADS = r'''
root = logging.getLogger()
root.setLevel(logging.INFO)
main, spare = Handler(path="out/main.log"), Handler(path="out/spare.log")
HANDLERS += [main, spare]
root.addHandler(main)
THREADS, PER = 4, 3000
gate = threading.Barrier(THREADS + 1)
stop = threading.Event()

def work(k):
    log = logging.getLogger(f"worker.{k % 2}")
    gate.wait()
    for i in range(PER):
        log.info("thread %d record %d", k, i)

def churn():
    # Changes of the way while the workers log: a handler comes and goes.
    gate.wait()
    while not stop.is_set():
        root.addHandler(spare)
        root.removeHandler(spare)

workers = [threading.Thread(target=work, args=(k,)) for k in range(THREADS)]
changer = threading.Thread(target=churn)
for t in workers + [changer]:
    t.start()
for t in workers:
    t.join()
stop.set()
changer.join()
report()
'''


def test_records_from_many_threads_all_arrive_in_order(run, tmp_path):
    (_, plain_files, _), (_, fast_files, _) = both_ways(run, tmp_path, THREADS)
    for files in (plain_files, fast_files):
        lines = files["main"]
        assert len(lines) == 4 * 3000
        by_thread = {}
        for line in lines:
            k, i = map(int, re.search(r"thread (\d+) record (\d+)", line).groups())
            by_thread.setdefault(k, []).append(i)
        assert by_thread == {k: list(range(3000)) for k in range(4)}
        # The spare handler saw some records, each a whole line.
        assert all(re.search(r'msg="thread \d+ record \d+"$', line) for line in files.get("spare", []))


def test_on_off_and_again(run):
    proc = run(r'''
import logging, ferrant
from ferrant import _logger
own = {name: logging.Logger.__dict__[name] for name in
       ("debug", "info", "warning", "warn", "error", "exception", "critical", "fatal", "log")}
ferrant.accelerate_logging()
natives = {name: logging.Logger.__dict__[name] for name in own}
ferrant.accelerate_logging()
assert {name: logging.Logger.__dict__[name] for name in own} == natives
assert all(type(f).__name__ == "method_descriptor" for f in natives.values())
assert "__setattr__" in logging.Logger.__dict__ and "__setattr__" in ferrant.Handler.__dict__
kept = []
class Keep(logging.Handler):
    def emit(self, record):
        kept.append((record.getMessage(), record.funcName, record.lineno))
log = logging.getLogger("x")
log.setLevel(logging.INFO)
log.addHandler(Keep())
bound = log.info
ferrant.accelerate_logging(False)
ferrant.accelerate_logging(False)
assert {name: logging.Logger.__dict__[name] for name in own} == own
assert "__setattr__" not in logging.Logger.__dict__ and "__setattr__" not in ferrant.Handler.__dict__
def site():
    bound("bound before, called after %s", "off")
site()
assert kept == [("bound before, called after off", "site", 25)], kept
ferrant.accelerate_logging()
assert logging.Logger.info is not own["info"]
# Another library's level method is not replaced.
ferrant.accelerate_logging(False)
def theirs(self, msg, *args, **kwargs):
    pass
logging.Logger.info = theirs
try:
    ferrant.accelerate_logging()
except RuntimeError as e:
    assert "not the standard library's own" in str(e)
else:
    raise AssertionError("no RuntimeError")
assert logging.Logger.info is theirs and logging.Logger.error is own["error"]
assert "__setattr__" not in logging.Logger.__dict__
print("ok")
''')
    assert proc.stdout.decode().strip() == "ok"


HOSTILE = r'''
root = logging.getLogger()
root.setLevel(logging.INFO)
main = Handler(path="out/main.log")
HANDLERS.append(main)
root.addHandler(main)
log = logging.getLogger("hostile")

class Meddler:
    """Changes the way while its record is being written."""
    def __init__(self, action):
        self.action = action
    def __str__(self):
        self.action()
        return "meddled"

def drop_everything():
    root.handlers.clear()
    main.close()
    logging.getLogger("hostile").manager._clear_cache()

def log_again():
    log.info("nested %d", 2)

for _ in range(3):
    log.info("warm %s", "up")
log.info("outer %s", Meddler(log_again))
log.info("outer %s", Meddler(lambda: ferrant.set_level("error")))
log.info("after set_level %s", "x")
log.info("outer %s %s", Meddler(drop_everything), Meddler(drop_everything))
root.addHandler(main)
log.info("last %d", 3)
report()
'''


def test_code_run_by_a_record_may_change_everything(run, tmp_path):
    (plain, plain_files, _), (fast, fast_files, _) = both_ways(run, tmp_path, HOSTILE)
    assert plain_files == fast_files
    assert [line.split("msg=")[1] for line in fast_files["main"]][3:] == [
        '"nested 2"', '"outer meddled"', '"outer meddled"', '"after set_level x"',
        '"outer meddled meddled"', '"last 3"']
