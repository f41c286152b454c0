#!/usr/bin/env python
"""Encode speed of vorpak across column cardinalities and input kinds, against the pandas loop
and the fastest polars or pyarrow route that gives the same codes.

    python bench/cardinality_matrix.py                  1M rows, every kind and cardinality
    python bench/cardinality_matrix.py --quick          100k rows, 2 repeats (a smoke test)
    python bench/cardinality_matrix.py --only shared,arrow --cards 16,2000,all --repeat 5

The table has 8 text columns of CARD distinct short texts each (two with "é", two with CJK
characters, 1% missing in two of them) and 2 float64 columns. Kinds: an object ndarray whose
equal cells share one str object, one with a str object per cell, a frame of Arrow-backed
"str" columns and a frame of categorical columns.

Each cell of the matrix is timed in this one process (median of --repeat calls after a
warm-up), so ratios compare runs side by side; thread scaling runs vorpak in fresh
subprocesses with RAYON_NUM_THREADS=1 and 2, because the pool reads it once, at first use.
Every peer's codes are checked against vorpak's (NaN positions too) before it is timed; one
whose codes differ is reported and not timed. The floor is allocating a float64 array of the
result's shape and writing every cell once: no encoder can return its codes faster.
"""

from __future__ import annotations

import argparse
import datetime
import json
import os
import sys
import time
from dataclasses import dataclass, field
from pathlib import Path
from typing import Callable

import numpy as np
import pandas as pd

sys.path.insert(0, str(Path(__file__).resolve().parent))
from run import (  # noqa: E402  (the helpers live beside this script)
    FULL_ROWS,
    arrow_sorted_codes,
    arrow_str_dtype,
    as_float_matrix,
    cells_differ,
    is_frame,
    machine_facts,
    one_object_per_cell,
    polars_sorted_codes,
    run_pandas_loop,
    run_vorpak,
    spawn,
    timed,
    to_frame,
)

SEED = 20240601
N_TEXT, N_FLOAT = 8, 2
MISSING_COLUMNS = (1, 6)  # these get 1% missing cells, so NaN positions are checked too
CARDS = [16, 1_000, 2_000, 10_000, 100_000, None]  # None: every cell distinct


# ---------------------------------------------------------------------------------------------
# Data. A kind's builder gets (rows, cardinality, rng) and returns (table, text positions).


def vocabulary(j: int, card: int) -> np.ndarray:
    """`card` distinct short texts for column j; columns 4-5 hold "é", 6-7 CJK characters, so
    the byte order differs from the order of their numbers."""
    form = ["k{}", "id{}", "{}x", "v_{}", "café{}", "é{}n", "東{}京", "{}区"][j % N_TEXT]
    return np.array([form.format(i) for i in range(card)], dtype=object)


def shared_array(n: int, card: int | None, rng, missing: bool = True) -> tuple[np.ndarray, list[int]]:
    # Fancy-indexing an object array of words reuses one str object for equal cells, as data
    # built in Python does. Every text occurs at least once, so a column has exactly `card`.
    card = n if card is None else min(card, n)
    arr = np.empty((n, N_TEXT + N_FLOAT), dtype=object)
    for j in range(N_TEXT):
        idx = np.concatenate([np.arange(card), rng.integers(0, card, n - card)])
        arr[:, j] = vocabulary(j, card)[rng.permutation(idx)]
    arr[:, N_TEXT:] = rng.standard_normal((n, N_FLOAT))  # boxed Python floats
    if missing:
        add_missing(arr, rng)
    return arr, list(range(N_TEXT))


def add_missing(arr: np.ndarray, rng) -> None:
    for j in MISSING_COLUMNS:
        # NaN, the missing value of object columns that pandas and read_csv give; a None
        # would be the ordinary text "None" to vorpak.
        arr[rng.random(len(arr)) < 0.01, j] = np.nan


def per_cell_array(n, card, rng):
    # read_csv(dtype=object) makes a str object per cell even where texts repeat.
    arr, text = shared_array(n, card, rng, missing=False)
    one_object_per_cell(arr, text)
    add_missing(arr, rng)
    return arr, text


def arrow_frame(n, card, rng):
    import pyarrow  # noqa: F401  (the dtype needs it)

    arr, text = shared_array(n, card, rng)
    return to_frame(arr, text, arrow_str_dtype()), text


def categorical_frame(n, card, rng):
    # Categories inferred from the values: sorted texts, every one of them present.
    arr, text = shared_array(n, card, rng)
    return to_frame(arr, text, "category"), text


@dataclass(frozen=True)
class Kind:
    key: str
    title: str
    build: Callable


KINDS = [
    Kind("shared", "object ndarray, equal cells share one str", shared_array),
    Kind("per-cell", "object ndarray, a str object per cell", per_cell_array),
    Kind("arrow", "DataFrame, Arrow-backed str columns", arrow_frame),
    Kind("categorical", "DataFrame, pd.Categorical columns", categorical_frame),
]
KIND_BY_KEY = {k.key: k for k in KINDS}


# ---------------------------------------------------------------------------------------------
# Routes. A route's factory gets (table, text) and returns a callable doing the whole job
# from the input the user has, conversion included; what it returns is checked by
# as_float_matrix against vorpak's codes.


def to_polars(table, text):
    import polars as pl

    if is_frame(table):
        return pl.from_pandas(table)
    # pl.Series refuses an object column holding NaN among its str; through pandas the NaN
    # become nulls.
    return pl.DataFrame([pl.from_pandas(pd.Series(table[:, j], name=f"c{j}")) if j in text
                         else pl.Series(f"c{j}", table[:, j].astype(np.float64))
                         for j in range(table.shape[1])])


def to_arrow(table, text):
    import pyarrow as pa

    if is_frame(table):
        return pa.Table.from_pandas(table, preserve_index=False)
    return pa.table({f"c{j}": pa.array(table[:, j], type=pa.string(), from_pandas=True) if j in text
                     else pa.array(table[:, j].astype(np.float64))
                     for j in range(table.shape[1])})


def polars_categorical(table, text):
    def encode():
        frame = to_polars(table, text)
        return frame.with_columns([polars_sorted_codes(frame.to_series(j))[0] for j in text])

    return encode


def polars_dense_rank(table, text):
    import polars as pl

    def encode():
        frame = to_polars(table, text)
        names = [frame.columns[j] for j in text]
        # rank works on texts, not categories: a categorical frame is ranked by its texts.
        return frame.with_columns(pl.col(names).cast(pl.String).rank("dense") - 1)

    return encode


def polars_search_sorted(table, text):
    import polars as pl

    def encode():
        frame = to_polars(table, text)
        names = [frame.columns[j] for j in text]

        def codes(name):
            col = pl.col(name).cast(pl.String)
            # search_sorted puts a null at 0; the mask gives it back.
            return (pl.when(col.is_not_null())
                    .then(col.unique().drop_nulls().sort().search_sorted(col)).alias(name))

        return frame.with_columns([codes(name) for name in names])

    return encode


def arrow_dictionary(table, text):
    def encode():
        coded = to_arrow(table, text)
        for j in text:
            coded = coded.set_column(j, coded.field(j).name, arrow_sorted_codes(coded.column(j))[0])
        return coded

    return encode


def arrow_dense_rank(table, text):
    import pyarrow as pa
    import pyarrow.compute as pc

    def encode():
        coded = to_arrow(table, text)
        for j in text:
            col = coded.column(j)
            if pa.types.is_dictionary(col.type):  # rank takes no dictionaries: their texts then
                col = col.cast(col.type.value_type)
            # rank numbers nulls too (last); the mask gives them back.
            rank = pc.subtract(pc.rank(col, sort_keys="ascending", tiebreaker="dense"), 1)
            codes = pc.if_else(pc.is_null(col), pa.scalar(None, rank.type), rank)
            coded = coded.set_column(j, coded.field(j).name, codes)
        return coded

    return encode


@dataclass(frozen=True)
class Route:
    name: str
    factory: Callable
    module: str  # what it needs installed


@dataclass(frozen=True)
class Operation:
    """One row family of the matrix: vorpak's callable and the peers that do the same job."""

    name: str
    vorpak: Callable  # (table, text) -> callable returning the codes
    pandas: Route
    fast: list[Route]  # polars and pyarrow routes; the fastest one with equal codes is reported


ENCODE = Operation(
    "encode",
    lambda table, text: run_vorpak(table, text)[0],
    Route("pandas loop", lambda table, text: run_pandas_loop(table, text)[0], "pandas"),
    [
        Route("polars Categorical + ranks", polars_categorical, "polars"),
        Route("polars rank(dense)", polars_dense_rank, "polars"),
        Route("polars unique.sort + search_sorted", polars_search_sorted, "polars"),
        Route("pyarrow dictionary_encode + rank", arrow_dictionary, "pyarrow"),
        Route("pyarrow rank(dense)", arrow_dense_rank, "pyarrow"),
    ],
)
OPERATIONS = [ENCODE]  # a fitted code book's transform joins here as one more Operation
OPERATION_BY_NAME = {op.name: op for op in OPERATIONS}


# ---------------------------------------------------------------------------------------------
# The matrix.


@dataclass
class Cell:
    op: str
    kind: str
    card: str
    vorpak: float | None = None
    pandas: float | None = None
    fast: float | None = None
    fast_route: str = ""
    threads: dict = field(default_factory=dict)  # thread count -> seconds
    floor: float | None = None
    routes: dict = field(default_factory=dict)  # route -> seconds or what went wrong
    notes: list = field(default_factory=list)


def card_label(card: int | None) -> str:
    return "all" if card is None else f"{card:,}"


def check(route_call, want: np.ndarray) -> tuple[str, float]:
    """What the route's first call gave against vorpak's codes ("ok" or what differs), and how
    long that call took."""
    t0 = time.perf_counter()
    got = as_float_matrix(route_call())
    seconds = time.perf_counter() - t0
    if got.shape != want.shape:
        return f"shape {got.shape}, vorpak's {want.shape}", seconds
    bad = cells_differ(got, want)
    return ("ok" if bad == 0 else f"{bad} of {got.size} cells differ"), seconds


def checked_route(route: Route, table, text, want, cell: Cell, log):
    """(callable, seconds of its checked first call), or None when the route is not
    installed, fails or gives codes other than vorpak's (recorded in `cell`)."""
    try:
        __import__(route.module)
    except ImportError:
        cell.routes[route.name] = "not installed"
        return None
    try:
        call = route.factory(table, text)
        verdict, first = check(call, want)  # also the warm-up
    except Exception as exc:  # a route that breaks on this input is a finding, not a crash
        cell.routes[route.name] = "error"
        cell.notes.append(f"{route.name} failed: {type(exc).__name__}: {exc}"[:200])
        log(f"    {route.name:36s} failed: {type(exc).__name__}: {exc}"[:160])
        return None
    if verdict != "ok":
        cell.routes[route.name] = f"≠ ({verdict})"
        cell.notes.append(f"{route.name}: codes differ from vorpak's ({verdict}), not timed")
        log(f"    {route.name:36s} codes differ: {verdict}")
        return None
    return call, first


def time_route(route: Route, call, repeat: int, cell: Cell, log) -> float:
    seconds, _ = timed(call, repeat, False, warmed=True)
    cell.routes[route.name] = seconds
    log(f"    {route.name:36s} {seconds:.4g} s")
    return seconds


# A route whose checked first call took this many times the quickest one's cannot win on the
# repeats either; skipping its repeats keeps the full matrix within minutes.
SCREEN = 2.0


def floor_call(shape):
    def write():
        out = np.empty(shape, dtype=np.float64)
        out[:] = 1.0  # every page touched and every cell written, as an encoder's result is
        return out

    return write


def thread_times(op: Operation, kind: str, card: int | None, n: int, repeat: int) -> dict:
    out = {}
    for k in (1, 2):
        env = dict(os.environ, RAYON_NUM_THREADS=str(k))
        args = ["--_child", f"{op.name},{kind},{card_label(card).replace(',', '')}",
                "--_rows", str(n), "--repeat", str(repeat)]
        out[k] = spawn(args, env, script=__file__)["seconds"]
    return out


def parse_card(s: str) -> int | None:
    s = s.strip().replace("_", "")
    return None if s in ("all", "n") else int(s)


def child(spec: str, n: int, repeat: int) -> None:
    """Runs in a fresh process: vorpak's time for one cell, as one JSON line."""
    op_name, kind, card = spec.split(",")
    table, text = KIND_BY_KEY[kind].build(n, parse_card(card), np.random.default_rng(SEED))
    seconds, _ = timed(OPERATION_BY_NAME[op_name].vorpak(table, text), repeat, False)
    print(json.dumps({"seconds": seconds}))


def run_cell(op: Operation, kind: Kind, card, n: int, repeat: int, threads: bool, log) -> Cell:
    cell = Cell(op.name, kind.key, card_label(card))
    t0 = time.perf_counter()
    table, text = kind.build(n, card, np.random.default_rng(SEED))
    log(f"{op.name} / {kind.key} / CARD {cell.card}: built in {time.perf_counter() - t0:.1f} s")
    call = op.vorpak(table, text)
    want = as_float_matrix(call())  # also vorpak's warm-up
    cell.vorpak, _ = timed(call, repeat, False, warmed=True)
    log(f"    {'vorpak':36s} {cell.vorpak:.4g} s")
    if checked := checked_route(op.pandas, table, text, want, cell, log):
        cell.pandas = time_route(op.pandas, checked[0], repeat, cell, log)
    contenders = {r.name: (r, *c) for r in op.fast
                  if (c := checked_route(r, table, text, want, cell, log))}
    quickest = min((first for _, _, first in contenders.values()), default=None)
    for route, call, first in contenders.values():
        if first > SCREEN * quickest:
            cell.routes[route.name] = f"({first:.3g})"
            log(f"    {route.name:36s} first call {first:.4g} s: screened out")
            continue
        seconds = time_route(route, call, repeat, cell, log)
        if cell.fast is None or seconds < cell.fast:
            cell.fast, cell.fast_route = seconds, route.name
    cell.floor, _ = timed(floor_call(want.shape), repeat, False)
    log(f"    {'floor':36s} {cell.floor:.4g} s")
    del table, want, call
    if threads:
        try:
            cell.threads = thread_times(op, kind.key, card, n, repeat)
            log(f"    {'threads 1 / 2':36s} {cell.threads[1]:.4g} s / {cell.threads[2]:.4g} s")
        except Exception as exc:
            cell.notes.append(f"thread scaling failed: {exc}"[:200])
    return cell


# ---------------------------------------------------------------------------------------------
# Reporting.


SHORT = {"polars Categorical + ranks": "pl cat", "polars rank(dense)": "pl rank",
         "polars unique.sort + search_sorted": "pl search", "pyarrow dictionary_encode + rank":
         "pa dict", "pyarrow rank(dense)": "pa rank"}


def ratio(a, b) -> str:
    return f"{a / b:.2f}" if a is not None and b else "n/a"


def table_lines(cells: list[Cell], operations: list[Operation]) -> list[str]:
    out = [
        "| op | kind | CARD | vorpak (s) | pandas loop / vorpak | fastest polars-or-pyarrow / "
        "vorpak (route) | 1 → 2 threads | floor (s) | floor / vorpak |",
        "|---|---|---:|---:|---:|---|---:|---:|---:|",
    ]
    for c in cells:
        pandas = ratio(c.pandas, c.vorpak) if c.pandas is not None else (
            c.routes.get("pandas loop", "n/a"))
        fast = f"{ratio(c.fast, c.vorpak)} ({SHORT.get(c.fast_route, c.fast_route)})" if c.fast \
            else "none gave equal codes"
        threads = ratio(c.threads.get(1), c.threads.get(2)) + "x" if c.threads else "n/a"
        out.append(f"| {c.op} | {c.kind} | {c.card} | {c.vorpak:.4f} | {pandas} | {fast} | "
                   f"{threads} | {c.floor:.4f} | {ratio(c.floor, c.vorpak)} |")
    out += ["", "Every route's median seconds (≠: codes differ from vorpak's, not timed; in "
            f"parentheses: its checked first call, over {SCREEN:g}x the quickest route's, so not "
            "timed further):", ""]
    names = [op.pandas.name for op in operations] + [r.name for op in operations for r in op.fast]
    names = list(dict.fromkeys(names))
    out += ["| op | kind | CARD | " + " | ".join(SHORT.get(n, n) for n in names) + " |",
            "|---|---|---:|" + "---:|" * len(names)]
    for c in cells:
        vals = [c.routes.get(n, "") for n in names]
        vals = [f"{v:.4g}" if isinstance(v, float) else v for v in vals]
        out.append(f"| {c.op} | {c.kind} | {c.card} | " + " | ".join(vals) + " |")
    return out


NOTES = [
    "- Ratios above 1: vorpak is faster. `1 → 2 threads` is vorpak's time with "
    "RAYON_NUM_THREADS=1 over its time with 2, each in a fresh process; the in-process vorpak "
    "column uses the default pool (2 threads here).",
    "- pandas loop: `pd.factorize(col, sort=True)` per text column, -1 → NaN, `astype(float)` for "
    "the others, into a float64 array (arrays) or DataFrame (frames).",
    "- polars and pyarrow routes start from the input the user has, so the conversion is timed: "
    "`pl.from_pandas(frame)` / `pa.Table.from_pandas(frame)` for frames, one "
    "`pl.from_pandas(pd.Series(col))` (pl.Series refuses NaN among str) / "
    "`pa.array(col, pa.string(), from_pandas=True)` per text column for "
    "object arrays. They return a polars or Arrow table of UInt32/UInt64 codes with null for "
    "missing (float columns as they are), not a float64 matrix.",
    "- pl cat: cast to `pl.Categorical`, sort only the distinct texts, map category ids to ranks "
    "by a lookup table (as bench/run.py). pl rank: `rank(\"dense\") - 1`. pl search: "
    "`unique().drop_nulls().sort().search_sorted(col)`, nulls masked back. pa dict: "
    "`dictionary_encode`, `rank` of the dictionary, `take` by the indices (as bench/run.py). "
    "pa rank: `pc.rank(col, tiebreaker=\"dense\") - 1`, nulls masked back.",
    "- floor: `np.empty(shape); out[:] = 1.0` for the (rows, 10) float64 result.",
    f"- Text columns 4-5 hold \"é\", 6-7 CJK; columns {', '.join(map(str, MISSING_COLUMNS))} have "
    "1% missing cells (None, NaN in frames), so at CARD all those two have ~1% fewer distinct "
    "texts than rows.",
]


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--quick", action="store_true", help="100k rows and 2 repeats")
    ap.add_argument("--repeat", type=int, help="timed calls per measurement (default 3, --quick 2)")
    ap.add_argument("--only", help="comma-separated kinds: " + ",".join(KIND_BY_KEY))
    ap.add_argument("--cards", help="comma-separated cardinalities, 'all' for every cell distinct "
                    "(default 16,1000,2000,10000,100000,all)")
    ap.add_argument("--no-threads", action="store_true", help="skip the thread-scaling subprocesses")
    ap.add_argument("--out", type=Path, default=Path(__file__).parent / "out" / "cardinality.md")
    ap.add_argument("--_child", help=argparse.SUPPRESS)
    ap.add_argument("--_rows", type=int, help=argparse.SUPPRESS)
    args = ap.parse_args()
    repeat = args.repeat or (2 if args.quick else 3)
    if args._child:
        child(args._child, args._rows, repeat)
        return
    n = FULL_ROWS // 10 if args.quick else FULL_ROWS
    kinds = list(KIND_BY_KEY) if not args.only else [k.strip() for k in args.only.split(",")]
    if unknown := [k for k in kinds if k not in KIND_BY_KEY]:
        ap.error(f"unknown kind(s) {unknown}; choose from {list(KIND_BY_KEY)}")
    cards = CARDS if not args.cards else [parse_card(c) for c in args.cards.split(",")]

    started = time.perf_counter()
    head = [
        f"# vorpak cardinality matrix ({'quick' if args.quick else 'full'}: {n:,} rows × "
        f"{N_TEXT + N_FLOAT} columns, median of {repeat} after 1 warm-up), "
        f"{datetime.date.today().isoformat()}",
        "",
        "The machine is shared (its load average below says how busy it was): absolute seconds "
        "are noisy, and only the ratios, measured side by side in this one run, are meant to be "
        "compared.",
        "",
        *machine_facts(),
    ]
    print("\n".join(head), "\n", flush=True)
    log = lambda s: print(s, flush=True)
    cells = []
    for op in OPERATIONS:
        for key in kinds:
            for card in cards:
                cells.append(run_cell(op, KIND_BY_KEY[key], card, n, repeat,
                                      not args.no_threads, log))
    body = table_lines(cells, OPERATIONS)
    body += ["", "Notes:", "", *NOTES]
    body += [f"- {c.op} / {c.kind} / CARD {c.card}: {note}" for c in cells for note in c.notes]
    body += ["", f"Total wall time {time.perf_counter() - started:.0f} s."]
    print("\n" + "\n".join(body), flush=True)
    args.out.parent.mkdir(parents=True, exist_ok=True)
    args.out.write_text("\n".join(head + [""] + body) + "\n")
    print(f"Wrote {args.out}")


if __name__ == "__main__":
    main()
