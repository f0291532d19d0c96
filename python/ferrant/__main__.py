"""A short tour: the same records, with fields and a bound request id, in
each of the six line layouts, on the terminal and in one dated file per
layout, then records of the standard library's logging written through
ferrant.Handler.

    python -m ferrant               # the files go to a temporary directory, removed at the end
    python -m ferrant --keep        # keep that directory
    python -m ferrant --keep DIR    # write into DIR and keep the files
"""

import argparse
import os
import shutil
import sys
import tempfile
from typing import Any

from ferrant import Logger, PyLevel, basic_config, get_logger

LAYOUTS: list[tuple[str, str, dict[str, Any]]] = [
    ("text", "key=value text, local time", dict(color="off")),
    ("text-unix", "key=value text, Unix time", dict(color="off", unix_ts=True)),
    ("colour", "coloured text, local time", dict(color="always")),
    ("colour-unix", "coloured text, Unix time", dict(color="always", unix_ts=True)),
    ("json", "JSON, local time", dict(format="json")),
    ("json-unix", "JSON, Unix time", dict(format="json", unix_ts=True)),
]


def log_some(log: Logger) -> None:
    log.debug("loaded %d plugins in %f s", 3, 0.0421)
    req = log.bind(request_id="r-7f3a")  # every line of this request carries it
    req.info("user %s logged in", "bob", user_id=42)
    log.warning("disk %d%% full", 91, mount="/var")
    req.error("request failed: %r", {"status": 503}, status=503, ms=12.5)


def bridge() -> None:
    import logging

    from ferrant import Handler

    basic_config(color="off")
    handler = Handler(path=None)
    stdlib = logging.getLogger("demo.stdlib")
    stdlib.addHandler(handler)
    stdlib.propagate = False
    stdlib.setLevel(logging.INFO)
    stdlib.info("a record of %s", "logging", extra={"user_id": 42})
    try:
        {"present": 1}["missing"]
    except KeyError:
        stdlib.exception("with its traceback, still one line")
    handler.close()
    stdlib.removeHandler(handler)


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(prog="python -m ferrant", description=__doc__.split("\n\n")[0])
    parser.add_argument(
        "--keep", nargs="?", const="", metavar="DIR",
        help="keep the log files (in DIR when given, else in the temporary directory)",
    )
    args = parser.parse_args(argv)
    if args.keep:
        directory = os.path.abspath(args.keep)
        os.makedirs(directory, exist_ok=True)
    else:
        directory = tempfile.mkdtemp(prefix="ferrant-demo-")

    try:
        for stem, title, settings in LAYOUTS:
            call = ", ".join(f"{k}={v!r}" for k, v in settings.items())
            print(f"\n== {title}: basic_config({call})", flush=True)
            basic_config(**settings)
            # Each writer keeps the settings it started with: stopping the
            # terminal's writer lets the next layout start a new one.
            terminal = get_logger("demo", level=PyLevel.Debug)
            file = Logger("demo", os.path.join(directory, f"{stem}.log"), level=PyLevel.Debug)
            for log in (terminal, file):
                log_some(log)
                log.shutdown()

        print("\n== the standard library bridge: logging through ferrant.Handler", flush=True)
        bridge()

        written = sorted(
            name for name in os.listdir(directory)
            if any(name.startswith(stem + "_2") for stem, _, _ in LAYOUTS)
        )
        print(f"\nwrote {len(written)} files to {directory}:", *written, sep="\n  ")
    finally:
        if args.keep is None:
            shutil.rmtree(directory, ignore_errors=True)
    if args.keep is None:
        print(f"removed {directory} (pass --keep to keep the files)")
    return 0


if __name__ == "__main__":
    sys.exit(main())
