#!/usr/bin/env python3
"""Compares the C++ number renderers with the interpreter byte for byte.

    diff_render.py CLI [--count N] [--seed S] [--modes m1,m2] [--jobs J]

CLI is ferrant_render_cli. N inputs per renderer, generated from mixes that
aim at the hard spots: whole 64-bit patterns, the repr range and its edges,
powers of ten and their neighbours, exact and near ties at the sixth decimal.
Exits 1 on any mismatch.
"""

import argparse
import functools
import array
import math
import multiprocessing
import random
import subprocess
import sys
import time

I64_MIN = -(1 << 63)
I64_MAX = (1 << 63) - 1
U64_MAX = (1 << 64) - 1
CHUNK = 200_000


def bits_of(xs):
    return list(array.array("Q", array.array("d", xs).tobytes()))


def floats_of(bits):
    return list(array.array("d", array.array("Q", bits).tobytes()))


def step_ulps(bits, k):
    """The double k representable steps away in magnitude, sign kept."""
    sign = bits & (1 << 63)
    mag = (bits & ~(1 << 63)) + k
    if mag < 0 or mag >= 0x7FF0000000000000:
        return None
    return sign | mag


def int_edges():
    out = {0, 1, -1, I64_MIN, I64_MAX, I64_MIN + 1, I64_MAX - 1}
    for k in range(64):
        for v in (1 << k, (1 << k) - 1, (1 << k) + 1):
            out.update((v, -v))
    for base in (8, 10, 16):
        p = 1
        while p <= 1 << 63:
            for v in (p - 1, p, p + 1):
                out.update((v, -v))
            p *= base
    return sorted(v for v in out if I64_MIN <= v <= I64_MAX)


def gen_ints(rng, n, unsigned):
    edges = [v & U64_MAX for v in int_edges()] if unsigned else int_edges()
    out = list(edges[: n // 10])
    while len(out) < n:
        r = rng.random()
        if r < 0.5:
            v = rng.getrandbits(64)
            out.append(v if unsigned else v + I64_MIN)
        else:
            v = rng.getrandbits(rng.randint(0, 64 if unsigned else 63))
            out.append(v if unsigned or rng.random() < 0.5 else -v)
    return out


@functools.lru_cache(maxsize=None)
def power_of_ten_family():
    """Powers of ten, small multiples of them and up to 3 steps around each."""
    out = []
    for k in range(-330, 310):
        for d in (1, 2, 5, 9, 99):
            x = float(f"{d}e{k}")
            if math.isfinite(x) and x != 0.0:
                out.append(x)
                out.append(-x)
    out += [2.0 ** 53, 2.0 ** 54, 0.5e-6, 2.5e-7, 1.0000005, 0.0000005]
    base = bits_of(out)
    fam = []
    for b in base:
        for k in range(-3, 4):
            s = step_ulps(b, k)
            if s is not None:
                fam.append(s)
    return fam


def random_in_repr_range(rng):
    # Biased exponents of [2^-14, 2^54) cover [1e-4, 1e16) with some spill.
    e = rng.randint(1023 - 14, 1023 + 53)
    return (rng.getrandbits(1) << 63) | (e << 52) | rng.getrandbits(52)


def short_decimal(rng):
    digits = rng.randint(1, 17)
    m = rng.randint(1, 10 ** digits - 1)
    # Mostly inside the repr range, where these short forms are the common case.
    if rng.random() < 0.8:
        e = rng.randint(-4 - digits, 16 - digits)
    else:
        e = rng.randint(-330, 308)
    x = float(f"{'-' if rng.random() < 0.5 else ''}{m}e{e}")
    return bits_of([x])[0]


def dyadic_tie(rng):
    """An odd multiple of 2^-7 has exactly 7 decimals ending in 5: an exact
    tie at the sixth decimal."""
    hi = rng.randint(0, 46)
    n = (rng.getrandbits(hi) << 7) | (rng.getrandbits(6) << 1) | 1
    x = math.ldexp(n, -7)
    return bits_of([-x if rng.random() < 0.5 else x])[0]


def dyadic_fine(rng):
    """Multiples of 2^-k, k > 7: exact values with long decimal tails."""
    k = rng.randint(8, 60)
    n = rng.getrandbits(rng.randint(1, 53)) | 1
    x = math.ldexp(n, -k)
    return bits_of([-x if rng.random() < 0.5 else x])[0]


def decimal_halfway(rng):
    """The double nearest to d.dddddd5, or a few steps from it."""
    ip = rng.getrandbits(rng.randint(0, 50))
    s = f"{'-' if rng.random() < 0.5 else ''}{ip}.{rng.randint(0, 999999):06d}5"
    b = step_ulps(bits_of([float(s)])[0], rng.randint(-2, 2))
    return b if b is not None else bits_of([float(s)])[0]


def repr_edge(rng):
    """Up to 1000 steps around either end of the repr range."""
    edge = bits_of([rng.choice((1e-4, 1e16, -1e-4, -1e16))])[0]
    return step_ulps(edge, rng.randint(-1000, 1000))


# Cumulative weights of the generators for each double renderer.
DOUBLE_MIXES = {
    "repr": [(0.15, "bits"), (0.50, "range"), (0.75, "short"), (0.85, "family"),
             (1.0, "edge")],
    "fixed6": [(0.20, "bits"), (0.35, "range"), (0.50, "short"), (0.60, "family"),
               (0.75, "tie"), (0.90, "halfway"), (1.0, "fine")],
}


def gen_doubles(rng, n, mode, family):
    makers = {
        "bits": lambda: rng.getrandbits(64),
        "range": lambda: random_in_repr_range(rng),
        "short": lambda: short_decimal(rng),
        "family": lambda: rng.choice(family),
        "edge": lambda: repr_edge(rng),
        "tie": lambda: dyadic_tie(rng),
        "halfway": lambda: decimal_halfway(rng),
        "fine": lambda: dyadic_fine(rng),
    }
    mix = DOUBLE_MIXES[mode]
    out = []
    while len(out) < n:
        r = rng.random()
        b = makers[next(name for limit, name in mix if r < limit)]()
        # The fixed renderer's contract is finite input only.
        if b is None or (mode == "fixed6" and (b >> 52) & 0x7FF == 0x7FF):
            continue
        out.append(b)
    return out


def expected(mode, values):
    if mode == "i64" or mode == "u64":
        return ["%d" % v for v in values]
    if mode == "oct":
        return ["%o" % v for v in values]
    if mode == "hex":
        return ["%x" % v for v in values]
    if mode == "fixed6":
        return ["%f" % x for x in floats_of(values)]
    return [repr(x) for x in floats_of(values)]


def run_chunk(task):
    cli, mode, seed, n = task
    rng = random.Random(seed)
    if mode in ("i64", "u64", "oct", "hex"):
        values = gen_ints(rng, n, mode == "u64")
        lines = "\n".join(map(str, values))
    else:
        values = gen_doubles(rng, n, mode, power_of_ten_family())
        lines = "\n".join("%016x" % b for b in values)
    proc = subprocess.run([cli, mode], input=(lines + "\n").encode(),
                          stdout=subprocess.PIPE, check=True)
    got = proc.stdout.decode().split("\n")
    if got[-1] == "":
        got.pop()
    want = expected(mode, values)
    if len(got) != len(want):
        return n, 0, 1, [("<line count>", len(got), len(want))]
    declined = mismatches = 0
    bad = []
    for v, g, w in zip(values, got, want):
        if mode == "repr" and g == "!":
            declined += 1
            # Declining is right only where repr leaves positional notation.
            if "e" in w or w in ("inf", "-inf", "nan"):
                continue
        elif g == w:
            continue
        mismatches += 1
        if len(bad) < 20:
            shown = "%016x (%r)" % (v, floats_of([v])[0]) if mode in ("repr", "fixed6") else v
            bad.append((shown, g, w))
    return n, declined, mismatches, bad


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("cli")
    ap.add_argument("--count", type=int, default=300_000)
    ap.add_argument("--seed", type=int, default=None)
    ap.add_argument("--modes", default="i64,u64,oct,hex,repr,fixed6")
    ap.add_argument("--jobs", type=int, default=multiprocessing.cpu_count())
    args = ap.parse_args()
    seed = args.seed if args.seed is not None else random.randrange(1 << 32)
    print(f"seed {seed}", flush=True)

    failed = False
    with multiprocessing.Pool(args.jobs) as pool:
        for mode in args.modes.split(","):
            t0 = time.monotonic()
            tasks = []
            left, i = args.count, 0
            while left > 0:
                n = min(CHUNK, left)
                tasks.append((args.cli, mode, f"{seed}-{mode}-{i}", n))
                left -= n
                i += 1
            total = declined = mismatches = 0
            bad = []
            for n, d, m, b in pool.imap_unordered(run_chunk, tasks):
                total += n
                declined += d
                mismatches += m
                bad += b
            extra = f", declined {declined}" if mode == "repr" else ""
            print(f"{mode}: {total} inputs{extra}, {mismatches} mismatches "
                  f"({time.monotonic() - t0:.1f}s)", flush=True)
            for shown, g, w in bad[:20]:
                print(f"  {shown}: got {g!r}, want {w!r}")
            failed |= mismatches > 0
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
