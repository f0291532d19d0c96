"""Several processes writing to one standard-output pipe, as gunicorn workers,
a multiprocessing pool or `a & b | collector` do: every line arrives whole."""

import json
import os
import subprocess
import sys
import textwrap

CHILD = textwrap.dedent(
    """
    import sys
    import ferrant
    ferrant.basic_config(format="json")
    log = ferrant.get_logger(sys.argv[1])
    pad = "p" * int(sys.argv[3])
    for i in range(int(sys.argv[2])):
        log.info("record %d %s", i, pad)
    """
)


def test_processes_sharing_a_pipe_never_tear_a_line(tmp_path, sizes):
    processes = 4
    records = sizes.pick(ci=50_000, stress=200_000, light=20_000)
    r, w = os.pipe()
    children = []
    try:
        for k in range(processes):
            # Paddings of different lengths, so that lines do not tile a page.
            children.append(
                subprocess.Popen(
                    [sys.executable, "-c", CHILD, f"p{k}", str(records), str(60 + 37 * k)],
                    stdout=w,
                    stderr=subprocess.PIPE,
                    cwd=tmp_path,
                )
            )
    finally:
        os.close(w)
    chunks = []
    with os.fdopen(r, "rb") as reader:
        while chunk := reader.read1(1 << 20):
            chunks.append(chunk)
    for child in children:
        assert child.wait(timeout=sizes.timeout(120)) == 0, child.stderr.read()
        assert child.stderr.read() == b""
        child.stderr.close()
    data = b"".join(chunks)
    assert data.endswith(b"\n")

    torn = []
    ids = {f"p{k}": [] for k in range(processes)}
    for raw in data[:-1].split(b"\n"):
        try:
            record = json.loads(raw)
            _, i, pad = record["msg"].split(" ")
            whole = pad == "p" * (60 + 37 * int(record["name"][1:]))
        except (ValueError, KeyError, TypeError):
            whole = False
        if not whole:  # the halves of two lines can make one that parses
            torn.append(raw[:120])
            continue
        ids[record["name"]].append(int(i))
    assert torn == []
    assert ids == {name: list(range(records)) for name in ids}
