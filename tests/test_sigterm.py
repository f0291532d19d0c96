"""SIGTERM with its default action (docker stop, Kubernetes) gets ferrant's
handler: every record logged before it is written, and the process still
ends by the signal. A handler the program set first is left alone."""

import http.client
import os
import re
import signal
import subprocess
import sys
import threading
import time

import pytest

from lines import dated_bytes, dated_lines, parse_logfmt

LOAD = """
import os, threading, ferrant
ferrant.basic_config(path="logs/app.log", format="json")
if {mode!r} == "made off the main thread":
    t = threading.Thread(target=lambda: globals().update(log=ferrant.get_logger("load")))
    t.start()
    t.join()
else:
    log = ferrant.get_logger("load")
if {mode!r} == "forked child" and os.fork():
    status = os.wait()[1]
    os._exit(os.WTERMSIG(status) if os.WIFSIGNALED(status) else 0)
os.write(1, b"%d\\n" % os.getpid())
i = 0
while True:
    log.info("%d", i)
    i += 1
    if i % 1000 == 0:
        os.write(1, b"%d\\n" % i)
"""


# GCC 12's ASan allocator takes no locks around fork() (see test_fork.py).
SANITIZED = "libasan" in os.environ.get("LD_PRELOAD", "")


@pytest.mark.clockbound
@pytest.mark.parametrize("mode", ["main thread", "made off the main thread", "forked child"])
def test_sigterm_under_load_keeps_every_record(tmp_path, sizes, mode):
    if SANITIZED and mode == "forked child":
        pytest.skip("a child forked in an ASan build may hang in the allocator")
    target = sizes.pick(ci=300_000, stress=3_000_000, light=20_000)
    proc = subprocess.Popen([sys.executable, "-c", LOAD.format(mode=mode)], cwd=tmp_path,
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    try:
        pid = int(proc.stdout.readline())
        logged = 0
        while logged < target:
            logged = int(proc.stdout.readline())
        os.kill(pid, signal.SIGTERM)
        proc.wait(timeout=sizes.timeout(10))
    finally:
        proc.kill()
        proc.stdout.close()
    # The forked child's status, as its parent saw it.
    assert proc.returncode == (signal.SIGTERM if mode == "forked child" else -signal.SIGTERM), \
        proc.stderr.read().decode(errors="replace")
    proc.stderr.close()
    data = dated_bytes(tmp_path / "logs")
    found = [int(n) for n in re.findall(rb'"msg":"(\d+)"', data)]
    assert len(found) == data.count(b"\n")
    assert found == list(range(len(found)))
    assert len(found) >= logged


KEPT = """
import os, signal, sys, ferrant
{setup}
log = ferrant.get_logger("kept")
log.info("logged")
print(repr(signal.getsignal(signal.SIGTERM)), flush=True)
os.kill(os.getpid(), signal.SIGTERM)
log.info("still running")
"""


@pytest.mark.parametrize(
    "setup, env, handler, status, kept",
    [
        ("", {}, "<function _on_sigterm", -signal.SIGTERM, ["logged"]),
        ("signal.signal(signal.SIGTERM, lambda s, f: sys.exit(7))", {}, "<function <lambda>", 7,
         ["logged"]),
        ("signal.signal(signal.SIGTERM, signal.SIG_IGN)", {}, "<Handlers.SIG_IGN", 0,
         ["logged", "still running"]),
        ("", {"FERRANT_SIGTERM": "Off"}, "<Handlers.SIG_DFL", -signal.SIGTERM, None),
    ],
    ids=["installed", "own handler first", "ignored first", "opted out"],
)
def test_handler_is_installed_only_over_the_default(run, tmp_path, setup, env, handler, status,
                                                    kept):
    proc = run(KEPT.format(setup=setup), env={"FERRANT_SIGTERM": "1", **env}, check=False)
    assert proc.returncode == status, proc.stderr
    assert proc.stdout.decode().startswith(handler)
    if kept is not None:
        assert [line.split("msg=")[1].strip('"') for line in proc.stdout.decode().splitlines()[1:]] \
            == kept


SERVER = """
import logging, socket, ferrant, uvicorn
ferrant.basic_config(path="logs/app.log")
logging.basicConfig(handlers=[ferrant.Handler()], level=logging.INFO)
log = ferrant.get_logger("app")

async def app(scope, receive, send):
    n = scope["path"].lstrip("/")
    log.info("request %s", n)
    await send({"type": "http.response.start", "status": 200, "headers": []})
    await send({"type": "http.response.body", "body": n.encode()})

sock = socket.socket()
sock.bind(("127.0.0.1", 0))
sock.listen(128)
print(sock.getsockname()[1], flush=True)
config = uvicorn.Config(app, log_config=None, lifespan="off", access_log=False)
uvicorn.Server(config).run(sockets=[sock])
"""


@pytest.mark.clockbound
def test_uvicorn_keeps_every_request_and_its_own_last_lines(tmp_path, sizes):
    pytest.importorskip("uvicorn")
    server = subprocess.Popen([sys.executable, "-c", SERVER], cwd=tmp_path,
                              stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    answered = []
    stop = time.monotonic() + sizes.timeout(5)

    def client(k):
        # A connection per request: on one kept alive, the server's small
        # writes wait for delayed acknowledgements (40 ms a request).
        for i in range(k, 10**9, 4):
            conn = http.client.HTTPConnection("127.0.0.1", port, timeout=sizes.timeout(5))
            try:
                conn.request("GET", f"/{i}")
                body = conn.getresponse().read()
            except (OSError, http.client.HTTPException):
                return
            finally:
                conn.close()
            answered.append(int(body))
            if time.monotonic() > stop:
                return

    try:
        port = int(server.stdout.readline())
        clients = [threading.Thread(target=client, args=(k,)) for k in range(4)]
        for c in clients:
            c.start()
        while len(answered) < sizes.pick(ci=1000, stress=10_000, light=100):
            assert all(c.is_alive() for c in clients), "a client stopped before SIGTERM"
            time.sleep(0.01)
        server.send_signal(signal.SIGTERM)
        server.wait(timeout=sizes.timeout(10))
        for c in clients:
            c.join()
    finally:
        server.kill()
        stop = 0  # ends the clients when the test failed
    assert server.returncode == -signal.SIGTERM, server.stderr.read()
    lines = dated_lines(tmp_path / "logs")
    requests = {int(m) for m in re.findall(r'msg="request (\d+)"', "\n".join(lines))}
    assert set(answered) <= requests
    # uvicorn's records carry extras (color_message), written as fields after msg.
    uvicorn_lines = [dict(parse_logfmt(line))["msg"] for line in lines if "name=uvicorn" in line]
    assert uvicorn_lines[-2:] == ["Shutting down", f"Finished server process [{server.pid}]"]


# A program's own SIGTERM handler that ends the process by the signal's
# default action a moment after its last lines, as servers do: uvicorn
# restores the handler it found (SIG_DFL in a spawned worker, where ferrant's
# helper is set from C and signal.getsignal() cannot see it) and raises the
# signal again; gunicorn's uvicorn worker sets SIG_DFL itself before that.
# A second thread's lines wait in its batch meanwhile.
OWN_END = """
import ctypes, multiprocessing as mp, os, signal, sys, threading, time, ferrant

log = ferrant.get_logger("end")

def c_handler():
    action = ctypes.create_string_buffer(256)  # struct sigaction: sa_handler first
    ctypes.CDLL(None).sigaction(signal.SIGTERM, None, action)
    return ctypes.c_void_p.from_buffer(action).value or 0

def until_changed(handler):
    # ferrant looks at SIGTERM every 50 ms; without it the test goes on.
    deadline = time.monotonic() + 5
    while c_handler() == handler and time.monotonic() < deadline:
        time.sleep(0.01)

def idle_thread(logged):
    for i in range(100):
        log.info("thread %d", i)
    logged.set()
    time.sleep(3600)

def before():
    logged = threading.Event()
    threading.Thread(target=idle_thread, args=(logged,), daemon=True).start()
    logged.wait()
    for i in range(500):
        log.info("before %d", i)
    os.kill(os.getpid(), signal.SIGTERM)

def serve(restore):
    got = []
    found = signal.signal(signal.SIGTERM, lambda signum, frame: got.append(signum))
    log.info("serving")
    until_changed(c_handler())
    before()
    while not got:
        time.sleep(0.01)
    for i in range(500):
        log.info("after %d", i)
    signal.signal(signal.SIGTERM, found if restore else signal.SIG_DFL)
    signal.raise_signal(signal.SIGTERM)

if __name__ == "__main__":
    log.info("start")
    mode = sys.argv[1]
    if mode == "handler that sets the default":
        serve(restore=False)
    elif mode == "spawned worker's handler restoring what it found":
        worker = mp.get_context("spawn").Process(target=serve, args=(True,))
        worker.start()
        worker.join()
        sys.exit(f"worker {worker.exitcode}")
    elif mode == "forked child that set the default first":
        pid = os.fork()
        if pid == 0:
            log.info("child")
            signal.signal(signal.SIGTERM, signal.SIG_DFL)
            serve(restore=True)
        sys.exit(f"worker {os.waitstatus_to_exitcode(os.waitpid(pid, 0)[1])}")
    else:  # the default action, set after the first record
        signal.signal(signal.SIGTERM, signal.SIG_DFL)
        until_changed(0)
        before()
        time.sleep(10)
"""

OWN_ENDS = {
    "handler that sets the default": ["start", "serving"],
    "spawned worker's handler restoring what it found": ["start", "serving"],
    "forked child that set the default first": ["start", "child", "serving"],
    "default action set later": ["start"],
}


@pytest.mark.parametrize("mode", OWN_ENDS)
def test_an_end_by_the_default_action_after_the_programs_handler_keeps_every_record(
        tmp_path, sizes, mode):
    if SANITIZED and mode.startswith("forked"):
        pytest.skip("a child forked in an ASan build may hang in the allocator")
    script = tmp_path / "main.py"
    script.write_text(OWN_END)
    proc = subprocess.run([sys.executable, str(script), mode], cwd=tmp_path, capture_output=True,
                          env={**os.environ, "FERRANT_PATH": "logs/app.log"},
                          timeout=sizes.timeout(60))
    if mode.startswith(("spawned", "forked")):
        assert proc.returncode == 1 and proc.stderr.endswith(b"worker -15\n"), proc.stderr
    else:
        assert proc.returncode == -signal.SIGTERM, proc.stderr
    found = [dict(parse_logfmt(line))["msg"] for line in dated_lines(tmp_path / "logs")]
    expected = OWN_ENDS[mode] + [f"{when} {i}" for when in ("before", "after") for i in range(500)]
    if mode == "default action set later":
        expected = [m for m in expected if not m.startswith("after")]
    assert sorted(found) == sorted(expected + [f"thread {i}" for i in range(100)])
