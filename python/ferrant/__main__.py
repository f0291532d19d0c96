"""A short tour: a few records at each level to the terminal, then to a dated file."""

import os
import sys
import tempfile
import time

from ferrant import PyLevel, PyLogger, get_logger


def main() -> int:
    log = get_logger("demo", level=PyLevel.Trace)
    log.trace("tracing %s", "enabled")
    log.debug("loaded %d plugins in %f s", 3, 0.0421)
    log.info("user %s logged in", "bob")
    log.warn("disk %d%% full", 91)
    log.warning("retrying %r", "upload")
    log.error("request failed: %s", {"status": 503})

    directory = sys.argv[1] if len(sys.argv) > 1 else tempfile.mkdtemp(prefix="ferrant-demo-")
    path = os.path.join(directory, "app.log")
    file_log = PyLogger("demo.file", path=path, level=PyLevel.Debug)
    for i in range(5):
        file_log.info("record %d of %d", i + 1, 5)
    file_log.debug("written at %f", time.time())
    file_log.shutdown()
    log.shutdown()

    dated = sorted(f for f in os.listdir(directory) if f.startswith("app_"))
    for name in dated:
        print(f"file log written to {os.path.join(directory, name)}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
