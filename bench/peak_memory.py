"""Peak memory of an encode of all-distinct texts, against the input's own texts plus the output.

    python bench/peak_memory.py                       1M rows, every kind
    python bench/peak_memory.py --rows 200000 --only arrow

The table is the cardinality matrix's (8 text columns, every cell distinct, and 2 float64
columns). Linux only: the peak is the process's high-water mark of resident memory
(VmHWM), reset just before the encode, less its resident memory just before it. The
input's texts are its str objects (sys.getsizeof of each, for object arrays and a
categorical's categories, plus the categorical's codes) or its Arrow buffers. The fitted
state is what stays resident once the codes are dropped and malloc has given back what
it can.
"""
import argparse
import ctypes
import gc
import sys
from pathlib import Path

import numpy as np
import pandas as pd
import pyarrow as pa

sys.path.insert(0, str(Path(__file__).resolve().parent))
import cardinality_matrix as cm  # noqa: E402
import vorpak  # noqa: E402

MIB = 2**20
MAKERS = {
    "shared": lambda n, rng: cm.shared_array(n, None, rng)[0],
    "per-cell": lambda n, rng: cm.per_cell_array(n, None, rng),
    "arrow": lambda n, rng: cm.arrow_frame(n, None, rng),
    "categorical": lambda n, rng: cm.categorical_frame(n, None, rng),
}


def resident_mib() -> float:
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * 4096 / MIB


def high_water_mib() -> float:
    with open("/proc/self/status") as f:
        return next(int(line.split()[1]) for line in f if line.startswith("VmHWM")) / 1024


def reset_high_water() -> None:
    with open("/proc/self/clear_refs", "w") as f:
        f.write("5")


def input_text_mib(table) -> float:
    if not isinstance(table, pd.DataFrame):
        return sum(sys.getsizeof(x) for x in table.ravel() if isinstance(x, str)) / MIB
    total = 0
    for name in table.columns:
        col = table[name]
        if isinstance(col.dtype, pd.CategoricalDtype):
            total += sum(sys.getsizeof(x) for x in col.cat.categories) + col.cat.codes.nbytes
        elif not pd.api.types.is_float_dtype(col.dtype):
            total += pa.array(col).nbytes
    return total / MIB


def measure(kind: str, rows: int) -> str:
    table = MAKERS[kind](rows, np.random.default_rng(cm.SEED))
    table = table[0] if isinstance(table, tuple) else table
    texts = input_text_mib(table)
    output = rows * 10 * 8 / MIB
    libc = ctypes.CDLL("libc.so.6")
    gc.collect()
    libc.malloc_trim(0)
    before = resident_mib()
    reset_high_water()
    encoder = vorpak.Encoder()
    codes = encoder.encode(table)
    peak = high_water_mib() - before
    del codes
    gc.collect()
    libc.malloc_trim(0)
    state = resident_mib() - before
    return (f"| {kind} | {texts:.0f} | {output:.0f} | {peak:.0f} | {peak / (texts + output):.2f} "
            f"| {state:.0f} |")


def main() -> None:
    parser = argparse.ArgumentParser(
        description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--rows", type=int, default=1_000_000)
    parser.add_argument("--only", default=",".join(MAKERS),
                        help="comma-separated kinds: " + ",".join(MAKERS))
    args = parser.parse_args()
    print(f"{args.rows:,} rows x 10 columns, every text distinct (MiB)\n")
    print("| kind | input texts | output | peak increase | peak / (texts + output) "
          "| fitted state |")
    print("|---|---:|---:|---:|---:|---:|")
    for kind in args.only.split(","):
        print(measure(kind, args.rows), flush=True)


if __name__ == "__main__":
    main()
