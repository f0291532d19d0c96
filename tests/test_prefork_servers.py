"""Pre-fork servers under load, ended by SIGTERM to their master: every
worker writes its last lines and the records of every request it answered.
The app logs through a module-level `ferrant.get_logger`, the servers'
loggers through `ferrant.Handler` (uvicorn's --log-config, gunicorn's
logconfig_dict)."""

import http.client
import importlib.util
import json
import os
import re
import signal
import socket
import subprocess
import sys
import threading

import pytest

from lines import dated_lines

pytestmark = pytest.mark.clockbound

APP = """
import asyncio, os, ferrant
log = ferrant.get_logger(__name__)

async def app(scope, receive, send):
    while scope["type"] == "lifespan":
        event = (await receive())["type"].split(".")[1]
        log.info("%s %d", event, os.getpid())
        await send({"type": f"lifespan.{event}.complete"})
        if event == "shutdown":
            return
    await asyncio.sleep(0.05)
    n = scope["path"].rsplit("/", 1)[-1]
    log.info("request %s", n)
    await send({"type": "http.response.start", "status": 200, "headers": []})
    await send({"type": "http.response.body", "body": n.encode()})
"""

HANDLERS = {
    "version": 1,
    "disable_existing_loggers": False,
    "root": {"level": "INFO", "handlers": []},  # gunicorn's default names a handler of its own
    "handlers": {"ferrant": {"class": "ferrant.Handler"}},
    "loggers": {name: {"handlers": ["ferrant"], "level": "INFO", "propagate": False}
                for name in ("uvicorn.error", "uvicorn.access", "gunicorn.error", "gunicorn.access")},
}

# GCC 12's ASan allocator takes no locks around fork() (see test_fork.py).
SANITIZED = "libasan" in os.environ.get("LD_PRELOAD", "")


def command(server, fd):
    if server == "uvicorn --workers":
        return ["-m", "uvicorn", "app:app", "--fd", str(fd), "--workers", "2",
                "--log-config", "log_config.json"]
    pytest.importorskip("gunicorn")
    if SANITIZED:
        pytest.skip("gunicorn forks its workers from a master whose ferrant threads run; "
                    "such a child may hang in an ASan build's allocator")
    # uvicorn's worker class, or the uvicorn-worker package's once uvicorn drops it.
    worker = next((f"{m}.UvicornWorker" for m in ("uvicorn.workers", "uvicorn_worker")
                   if importlib.util.find_spec(m)), None) or pytest.skip("no uvicorn worker")
    return ["-W", "ignore::DeprecationWarning", "-m", "gunicorn", "-c", "gunicorn_config.py",
            "-w", "2", "-k", worker, "-b", f"fd://{fd}", "app:app"] + server.split()[3:]


@pytest.mark.parametrize("server", ["uvicorn --workers", "gunicorn -k uvicorn",
                                    "gunicorn -k uvicorn --preload"])
def test_sigterm_keeps_every_workers_last_lines_and_every_answered_request(tmp_path, sizes, server):
    pytest.importorskip("uvicorn")
    (tmp_path / "app.py").write_text(APP)
    (tmp_path / "log_config.json").write_text(json.dumps(HANDLERS))
    # control_socket_disable: gunicorn 24+ has one socket per user otherwise.
    (tmp_path / "gunicorn_config.py").write_text(
        f"logconfig_dict = {HANDLERS!r}\ncontrol_socket_disable = True\n")
    # Listening before the server starts: no port to race for, and clients
    # wait in its backlog until a worker is up.
    listener = socket.create_server(("127.0.0.1", 0), backlog=128)
    port = listener.getsockname()[1]
    env = {k: v for k, v in os.environ.items() if not k.startswith("FERRANT_")}
    env.update(FERRANT_PATH="logs/app.log", FERRANT_FORMAT="json", PYTHONPATH=str(tmp_path))
    master = subprocess.Popen([sys.executable] + command(server, listener.fileno()), cwd=tmp_path,
                              env=env, pass_fds=[listener.fileno()], stdout=subprocess.DEVNULL,
                              stderr=subprocess.PIPE)
    listener.close()  # the server's copies alone: refused once they close
    answered = []
    n_clients = sizes.pick(ci=32, stress=64, light=8)

    def client(k):
        # A connection a request, until the server stops answering.
        for i in range(k, 10**9, n_clients):
            conn = http.client.HTTPConnection("127.0.0.1", port, timeout=sizes.timeout(10))
            try:
                conn.request("GET", f"/slow/{i}")
                answered.append(int(conn.getresponse().read()))
            except (OSError, http.client.HTTPException, ValueError):
                return
            finally:
                conn.close()

    clients = [threading.Thread(target=client, args=(k,)) for k in range(n_clients)]
    for c in clients:
        c.start()
    target = sizes.pick(ci=300, stress=3000, light=40)
    try:
        while len(answered) < target and any(c.is_alive() for c in clients):
            threading.Event().wait(0.01)
        if len(answered) >= target:
            master.send_signal(signal.SIGTERM)
            master.wait(timeout=sizes.timeout(30))
    finally:
        if master.poll() is None:
            master.kill()
            master.wait()
        for c in clients:
            c.join()
    err = master.stderr.read().decode(errors="replace")
    master.stderr.close()
    assert len(answered) >= target and master.returncode == 0, err
    messages = [json.loads(line)["msg"] for line in dated_lines(tmp_path / "logs")]
    workers = [m.split()[1] for m in messages if re.fullmatch(r"startup \d+", m)]
    assert len(workers) == 2, messages
    for pid in workers:
        assert {f"shutdown {pid}", f"Finished server process [{pid}]"} <= set(messages), err
    requests = {int(m.split()[1]) for m in messages if re.fullmatch(r"request \d+", m)}
    access = {int(n) for m in messages for n in re.findall(r'"GET /slow/(\d+) HTTP/1.1" 200', m)}
    assert set(answered) - requests == set()
    assert set(answered) - access == set()
