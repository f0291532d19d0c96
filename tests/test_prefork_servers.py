"""Pre-fork servers under load, ended by SIGTERM to their master: every
worker writes its last lines and the records of every request it answered.
The application logs through a module-level `ferrant.get_logger`, the
servers' own loggers through `ferrant.Handler`, as a deployment would set
them up (uvicorn's --log-config, gunicorn's logconfig_dict)."""

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

APP = """
import asyncio, os, ferrant
log = ferrant.get_logger(__name__)

async def app(scope, receive, send):
    if scope["type"] == "lifespan":
        while True:
            event = await receive()
            if event["type"] == "lifespan.startup":
                log.info("startup %d", os.getpid())
                await send({"type": "lifespan.startup.complete"})
            else:
                log.info("shutdown %d", os.getpid())
                await send({"type": "lifespan.shutdown.complete"})
                return
    n = scope["path"].rsplit("/", 1)[-1]
    await asyncio.sleep(0.05)
    log.info("request %s", n)
    await send({"type": "http.response.start", "status": 200, "headers": []})
    await send({"type": "http.response.body", "body": n.encode()})
"""

HANDLER_CONFIG = {
    "version": 1,
    "disable_existing_loggers": False,
    "root": {"level": "INFO", "handlers": []},  # gunicorn's default names a handler of its own
    "handlers": {"ferrant": {"class": "ferrant.Handler"}},
    "loggers": {name: {"handlers": ["ferrant"], "level": "INFO", "propagate": False}
                for name in ("uvicorn.error", "uvicorn.access", "gunicorn.error", "gunicorn.access")},
}

GUNICORN_CONFIG = f"""
logconfig_dict = {HANDLER_CONFIG!r}
control_socket_disable = True  # gunicorn 24+: one socket per user otherwise
"""

WORKERS = 2

# GCC 12's ASan allocator takes no locks around fork() (see test_fork.py).
SANITIZED = "libasan" in os.environ.get("LD_PRELOAD", "")


def uvicorn_worker_class():
    """uvicorn's gunicorn worker: in uvicorn itself while it still ships it,
    else in the uvicorn-worker package."""
    if importlib.util.find_spec("uvicorn.workers"):
        return "uvicorn.workers.UvicornWorker"
    if importlib.util.find_spec("uvicorn_worker"):
        return "uvicorn_worker.UvicornWorker"
    pytest.skip("no uvicorn worker class for gunicorn")


def server_command(server, preload, fd):
    if server == "uvicorn --workers":
        return [sys.executable, "-m", "uvicorn", "app:app", "--fd", str(fd),
                "--workers", str(WORKERS), "--log-config", "log_config.json"]
    pytest.importorskip("gunicorn")
    if SANITIZED:
        pytest.skip("gunicorn forks its workers from a master with ferrant's threads running; "
                    "such a child may hang in an ASan build's allocator")
    command = [sys.executable, "-W", "ignore::DeprecationWarning", "-m", "gunicorn",
               "-c", "gunicorn_config.py", "-w", str(WORKERS), "-k", uvicorn_worker_class(),
               "-b", f"fd://{fd}", "app:app"]
    return command + ["--preload"] if preload else command


def load(port, clients, answered, timeout):
    """Requests from `clients` threads, a connection each, until the server
    stops answering."""
    def client(k):
        for i in range(k, 10**9, clients):
            conn = http.client.HTTPConnection("127.0.0.1", port, timeout=timeout)
            try:
                conn.request("GET", f"/slow/{i}")
                answered.append(int(conn.getresponse().read()))
            except (OSError, http.client.HTTPException, ValueError):
                return
            finally:
                conn.close()

    threads = [threading.Thread(target=client, args=(k,)) for k in range(clients)]
    for t in threads:
        t.start()
    return threads


@pytest.mark.parametrize("server, preload", [
    ("uvicorn --workers", False),
    ("gunicorn, uvicorn's worker", False),
    ("gunicorn, uvicorn's worker", True),
], ids=["uvicorn --workers", "gunicorn -k uvicorn", "gunicorn -k uvicorn --preload"])
def test_sigterm_keeps_every_workers_last_lines_and_every_answered_request(
        tmp_path, sizes, server, preload):
    pytest.importorskip("uvicorn")
    (tmp_path / "app.py").write_text(APP)
    (tmp_path / "log_config.json").write_text(json.dumps(HANDLER_CONFIG))
    (tmp_path / "gunicorn_config.py").write_text(GUNICORN_CONFIG)
    # A socket listening before the server starts: no port to race for, and
    # clients wait in its backlog until a worker is up.
    listener = socket.create_server(("127.0.0.1", 0), backlog=128)
    port = listener.getsockname()[1]
    env = {k: v for k, v in os.environ.items() if not k.startswith("FERRANT_")}
    env.update(FERRANT_PATH="logs/app.log", FERRANT_FORMAT="json", PYTHONPATH=str(tmp_path))
    master = subprocess.Popen(server_command(server, preload, listener.fileno()), cwd=tmp_path,
                              env=env, pass_fds=[listener.fileno()], stdout=subprocess.PIPE,
                              stderr=subprocess.PIPE)
    listener.close()  # the server's copies alone: refused once they close
    answered = []
    clients = load(port, sizes.pick(ci=32, stress=64, light=8), answered, sizes.timeout(10))
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
        master.stdout.close()
    err = master.stderr.read().decode(errors="replace")
    master.stderr.close()
    assert len(answered) >= target and master.returncode == 0, err
    messages = [json.loads(line)["msg"] for line in dated_lines(tmp_path / "logs")]
    workers = [int(m.split()[1]) for m in messages if re.fullmatch(r"startup \d+", m)]
    assert len(workers) == WORKERS, messages
    for pid in workers:
        assert f"shutdown {pid}" in messages, err
        assert f"Finished server process [{pid}]" in messages, err
    requests = {int(m.split()[1]) for m in messages if re.fullmatch(r"request \d+", m)}
    access = {int(n) for m in messages for n in re.findall(r'"GET /slow/(\d+) HTTP/1.1" 200', m)}
    assert set(answered) - requests == set()
    assert set(answered) - access == set()
