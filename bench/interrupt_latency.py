#!/usr/bin/env python
"""How soon Ctrl-C ends a long encode, phase by phase.

    python bench/interrupt_latency.py                 every phase, 3 repeats
    python bench/interrupt_latency.py --busy 2        the same beside 2 CPU-bound processes
    python bench/interrupt_latency.py --only arrow --repeat 5

A child process times a warm call on each table (T). Then, for each fraction f, a fresh child
builds the table and starts encoding it, and this process sends it SIGINT f * T later. The
latency is the time from the signal to the child's KeyboardInterrupt, both read from the same
monotonic clock (the signal's own delivery is well below a millisecond). A call that ran to
its end before the signal is told apart by the encoder's state, and reported as "finished". Each table keeps one phase busy for most
of its call, so the fractions land in that phase: the cell walk, the Arrow fill, the column
jobs (hashing, sorting, tables, code writing). Timing only: nothing here asserts.
"""

from __future__ import annotations

import argparse
import multiprocessing
import os
import signal
import statistics
import subprocess
import sys
import time

TABLES = {
    # Cells that convert in C code, read one by one on the calling thread.
    "walk": "np.full((6_000_000, 2), __import__('decimal').Decimal('1.5'), dtype=object)",
    # A str per cell: the walk, then hashing, sorting and the tables of 4M distinct texts.
    "column jobs": "np.stack([np.arange(4_000_000)[::-1].astype('<U12').astype(object)] * 2, axis=1)",
    # One Arrow text column of 4M distinct texts, read where it lies.
    "arrow": (
        "pd.DataFrame({'a': pd.Series(np.arange(4_000_000)[::-1].astype('<U12'), dtype='str'),"
        " 'b': np.zeros(4_000_000)})"
    ),
    # Categorical codes mapped per category, 1M categories.
    "categorical": (
        "pd.DataFrame({'a': pd.Categorical(np.arange(4_000_000).astype('<U12').astype(object)),"
        " 'b': np.zeros(4_000_000)})"
    ),
}

CHILD = """
import sys, time
import numpy as np
import pandas as pd
import vorpak

table = {table}
encoder = vorpak.Encoder()
if {timed}:
    encoder.encode(table)  # warm: the second call is the one timed
    started = time.perf_counter()
    encoder.encode(table)
    print(time.perf_counter() - started, flush=True)
    sys.exit()
encoder.encode(np.array([["before"]], dtype=object))
before = encoder.__getstate__()
print("encoding", flush=True)
ended = None
try:
    encoder.encode(table)
except KeyboardInterrupt:
    ended = time.perf_counter()
# A call that ran to its end fitted the table, whenever the signal came.
interrupted = ended is not None and encoder.__getstate__() == before
print("interrupted" if interrupted else "finished", ended or 0.0, flush=True)
"""


def spin(stop_at: float) -> None:
    while time.time() < stop_at:
        pass


def child(name: str, timed: bool) -> subprocess.Popen:
    return subprocess.Popen(
        [sys.executable, "-c", CHILD.format(table=TABLES[name], timed=timed)],
        stdin=subprocess.DEVNULL,
        stdout=subprocess.PIPE,
        text=True,
    )


def shot(name: str, delay: float) -> float | None:
    """The latency of one signal `delay` seconds into the call, in a process of its own."""
    process = child(name, timed=False)
    try:
        if process.stdout.readline().strip() != "encoding":
            raise SystemExit(f"{name}: the child failed")
        time.sleep(delay)
        sent = time.perf_counter()  # the same clock as the child's, on Linux
        process.send_signal(signal.SIGINT)
        outcome, ended = process.communicate(timeout=600)[0].split()
        return float(ended) - sent if outcome == "interrupted" else None
    finally:
        process.kill()


def measure(name: str, fractions: list[float], repeat: int) -> dict[float, list[float]]:
    timer = child(name, timed=True)
    whole = float(timer.communicate(timeout=600)[0])
    print(f"{name}: whole call {whole:.2f} s", flush=True)
    latencies: dict[float, list[float]] = {f: [] for f in fractions}
    for _ in range(repeat):
        for f in fractions:
            latency = shot(name, f * whole)
            if latency is not None:  # else it finished first: no latency to report
                latencies[f].append(latency)
    return latencies


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawTextHelpFormatter)
    parser.add_argument("--only", default=",".join(TABLES), help="comma-separated phases")
    parser.add_argument("--repeat", type=int, default=3)
    parser.add_argument("--busy", type=int, default=0, help="CPU-bound processes beside the runs")
    parser.add_argument("--fractions", default="0.1,0.3,0.5,0.7,0.9")
    args = parser.parse_args()
    fractions = [float(f) for f in args.fractions.split(",")]
    hogs = [
        multiprocessing.Process(target=spin, args=(time.time() + 3600,), daemon=True)
        for _ in range(args.busy)
    ]
    for hog in hogs:
        hog.start()
    rows = []
    try:
        for name in args.only.split(","):
            latencies = measure(name, fractions, args.repeat)
            cells = []
            for f in fractions:
                got = latencies[f]
                cells.append(f"{1000 * max(got):.0f}" if got else "finished")
            every = [x for got in latencies.values() for x in got]
            median = f"{1000 * statistics.median(every):.0f}" if every else "-"
            rows.append((name, cells, median))
    finally:
        for hog in hogs:
            hog.kill()
    load = f", beside {args.busy} CPU-bound processes" if args.busy else ""
    print(f"\nCtrl-C latency in ms, worst of {args.repeat} per signal time{load}; {os.cpu_count()} CPUs")
    print("| phase | " + " | ".join(f"at {f:.0%} of the call" for f in fractions) + " | median |")
    print("|---|" + "---:|" * (len(fractions) + 1))
    for name, cells, median in rows:
        print(f"| {name} | " + " | ".join(cells) + f" | {median} |")


if __name__ == "__main__":
    main()
