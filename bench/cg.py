"""Instructions per call of a few ferrant calls: callgrind of N and 2N calls, differenced.
usage: PYTHON bench/cg.py [case ...]   (PYTHON is the venv's interpreter whose ferrant is measured)
The follow_* cases log through get_logger after basic_config(path=...), the *_console ones with
console=True as well: their difference is the cost of the console's copy of a record.
REPEAT=k takes the least of k runs; TOGGLE=pattern,... counts only inside the functions named."""
import os, re, subprocess, sys, tempfile

CASES = {
    "py_info": ("PyLogger", 'log.info("user %s logged in", "bob")'),
    "lg_info": ("Logger", 'log.info("user %s logged in", "bob")'),
    "lg_plain": ("Logger", 'log.info("request done")'),
    "lg_fields": ("Logger", 'log.info("request done", path="/api/items", status=200, ms=12.5)'),
    "lg_fields_json": ("LoggerJ", 'log.info("request done", path="/api/items", status=200, ms=12.5)'),
    "lg_bound10": ("Bound10", 'log.info("request done", path="/api/items", status=200, ms=12.5)'),
    "lg_ctx2": ("Ctx2", 'log.info("request done", path="/api/items", status=200, ms=12.5)'),
    "py_drop": ("PyLogger", 'log.debug("user %s logged in", "bob")'),
    "lg_drop": ("Logger", 'log.debug("request done", path="/api/items", status=200, ms=12.5)'),
    "empty": ("Empty", 'log.info("user %s logged in", "bob")'),
    "lg_service3": ("Service3", 'log.info("request done", path="/api/items", status=200, ms=12.5)'),
    "lg_bound3": ("Bound3", 'log.info("request done", path="/api/items", status=200, ms=12.5)'),
    "lg_config0": ("Config0", 'log.info("request done", path="/api/items", status=200, ms=12.5)'),
    "empty_fields": ("Empty", 'log.info("request done", path="/api/items", status=200, ms=12.5)'),
    "std_accel": ("StdAccel", 'log.info("user %s logged in", "bob")'),
    "std_accel_drop": ("StdAccel", 'log.debug("user %s logged in", "bob")'),
    "std_plain": ("StdPlain", 'log.info("user %s logged in", "bob")'),
    "lg_redact_on": ("RedactOn", 'log.info("request done", path="/api/items", status=200, ms=12.5)'),
    "lg_trace": ("Trace", 'log.info("request done", path="/api/items", status=200, ms=12.5)'),
    "lg_trace_nospan": ("TraceNoSpan", 'log.info("request done", path="/api/items", status=200, ms=12.5)'),
    "follow_info": ("Follow", 'log.info("user %s logged in", "bob")'),
    "follow_info_console": ("FollowConsole", 'log.info("user %s logged in", "bob")'),
    "follow_fields": ("Follow", 'log.info("request done", path="/api/items", status=200, ms=12.5)'),
    "follow_fields_console": ("FollowConsole", 'log.info("request done", path="/api/items", status=200, ms=12.5)'),
}

CHILD = r'''
import os, sys, time
import ferrant
from ferrant import PyLogger, Logger
kind, n, d = sys.argv[1], int(sys.argv[2]), sys.argv[3]
if kind == "LoggerJ":
    ferrant.basic_config(format="json")
    log = Logger("app", d + "/app.log")
elif kind in ("Follow", "FollowConsole"):
    ferrant.basic_config(path=d + "/app.log", console=kind == "FollowConsole")
    log = ferrant.get_logger("app")
elif kind == "PyLogger":
    log = PyLogger("app", d + "/app.log")
elif kind == "Empty":
    sys.path.insert(0, ROOT)
    from bench import native
    log = native.load_floor().Empty()
elif kind in ("StdAccel", "StdPlain"):
    import logging
    if kind == "StdAccel":
        ferrant.accelerate_logging()
    logging.basicConfig(handlers=[ferrant.Handler(path=d + "/app.log")], level=logging.INFO)
    log = logging.getLogger("app.db")
else:
    log = Logger("app", d + "/app.log")
if kind == "Service3":
    ferrant.basic_config(fields={"service": "api", "version": "1.4.2", "region": "eu-west-1"})
if kind == "Bound3":
    log = log.bind(service="api", version="1.4.2", region="eu-west-1")
if kind == "Config0":
    ferrant.basic_config()
if kind == "Bound10":
    log = log.bind(**{f"b{i}": i for i in range(10)})
if kind in ("Trace", "TraceNoSpan"):
    from opentelemetry import trace
    from opentelemetry.sdk.trace import TracerProvider
    trace.set_tracer_provider(TracerProvider())
    ferrant.basic_config(trace_context=True)
    if kind == "Trace":
        # Kept: the manager, collected, would end the span.
        current = trace.get_tracer("t").start_as_current_span("s")
        current.__enter__()
if kind == "RedactOn":
    ferrant.basic_config(redact=["password", "token"])
if kind == "Ctx2":
    ferrant.bind_contextvars(request="r-17", user="bob")
time.sleep(1.5)
code = compile("for _ in range(n):\n    " + CALL, "<loop>", "exec")
exec(code, {"n": n, "log": log})
'''

def run(py, kind, call, n, d):
    out = os.path.join(d, f"cg.{kind}.{n}")
    root = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    src = CHILD.replace("+ CALL", "+ " + repr(call)).replace("(0, ROOT)", f"(0, {root!r})")
    env = dict(os.environ, PYTHONHASHSEED=os.environ.get("PYTHONHASHSEED", "0"))
    extra = [f"--toggle-collect={t}" for t in os.environ.get("TOGGLE", "").split(",") if t]
    subprocess.run(["valgrind", "--tool=callgrind", "--separate-threads=yes", *extra, f"--callgrind-out-file={out}", py, "-c", src, kind, str(n), d],
                   check=True, capture_output=True, env=env)
    # The calling thread's own count: the writer and flusher wake by the clock.
    main = sorted(f for f in os.listdir(d) if f.startswith(os.path.basename(out)) and f.endswith("-01"))[0]
    text = open(os.path.join(d, main)).read()
    m = re.search(r"^summary:\s+(\d+)", text, re.M) or re.search(r"^totals:\s+(\d+)", text, re.M)
    return int(m.group(1))

def main():
    py = os.environ.get("PY", sys.executable)
    cases = sys.argv[1:] or list(CASES)
    n = int(os.environ.get("N", "100000"))
    for c in cases:
        kind, call = CASES[c]
        with tempfile.TemporaryDirectory(dir="/dev/shm") as d:
            # The least of a few runs: a run's extra instructions are waits
            # (the GIL, a full lane) that depend on how threads were scheduled.
            reps = int(os.environ.get("REPEAT", "1"))
            a = b = None
            for r in range(reps):
                for f in os.listdir(d): os.unlink(os.path.join(d, f))
                x, y = run(py, kind, call, n, d), run(py, kind, call, 2 * n, d)
                a = x if a is None else min(a, x)
                b = y if b is None else min(b, y)
        print(f"{c:16s} {(b - a) / n:8.1f} instr/call", flush=True)

main()
