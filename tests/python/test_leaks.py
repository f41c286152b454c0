"""Memory and references are given back after every call, the failing ones included."""
import os
import sys

import numpy as np
import pandas as pd
import pytest

from conftest import run_python
from vorpak import Encoder


class Unprintable:
    def __str__(self):
        raise ValueError("no text")


def tables(rows, cell):
    """An object array (text, float, None, NaN), a DataFrame of object and float columns,
    a float64 array, and a copy of the object array that fails at its last cell."""
    texts = [f"t{i % 1500}" for i in range(rows)]
    array = np.array([[texts[i], i * 0.5, None, texts[-i], cell if i % 7 else float("nan")]
                      for i in range(rows)], dtype=object)
    frame = pd.DataFrame({"a": pd.Series(texts, dtype=object), "b": np.arange(rows) * 0.5,
                          "c": pd.Series([cell] * rows, dtype=object)})
    unprintable = array.copy()
    unprintable[-1, -1] = Unprintable()  # the last cell read, so the fault comes after the rest
    return array, frame, np.arange(rows * 5.0).reshape(rows, 5), unprintable


def cycle(array, frame, floats, unprintable):
    enc = Encoder()
    for table in (array, frame, floats):
        codes, _ = enc.encode(table)
        enc.decode(codes)
        enc.__setstate__(enc.__getstate__())
    enc.encode(array)
    state = enc.__getstate__()
    for call, arg, error in [(enc.encode, [list(array[1])], "TypeError"),  # holds `cell`
                             (enc.__setstate__, state[:-9], "ValueError"),
                             (enc.encode, array[:, 0], "PanicException"),
                             (enc.encode, unprintable, "PanicException")]:
        try:
            call(arg)
        except BaseException as exc:  # PanicException is not an Exception
            assert type(exc).__name__ == error, repr(exc)
        else:
            raise AssertionError(f"{call.__name__} accepted {type(arg).__name__}")


RSS_PROGRAM = """
    import gc, sys
    sys.path.insert(0, {here!r})
    from test_leaks import tables, cycle

    def resident():
        with open("/proc/self/status") as status:
            return next(int(line.split()[1]) * 1024 for line in status if line.startswith("VmRSS:"))

    data = tables(1000, "cell")
    for _ in range(100):  # allocator pools, pandas caches and the worker pool settle first
        cycle(*data)
    gc.collect()
    before = resident()
    for _ in range(1000):
        cycle(*data)
    gc.collect()
    print(resident() - before)
"""


@pytest.mark.timeout(180)  # long only under AddressSanitizer, where it takes ~20 s
def test_resident_memory_stays_flat_over_many_cycles():
    # ASan's quarantine of freed blocks would move resident memory by itself
    options = ":".join(filter(None, [os.environ.get("ASAN_OPTIONS"), "quarantine_size_mb=0"]))
    program = RSS_PROGRAM.format(here=os.path.dirname(os.path.abspath(__file__)))
    done = run_python(program, env={"ASAN_OPTIONS": options}, timeout=170)
    assert done.returncode == 0, done.stderr[-2000:]
    growth = int(done.stdout.split()[-1])
    # Each cycle makes several tables of 39 KiB or more (the 1000 x 5 codes, the decoded
    # object arrays, the fitted tables of 1000 texts in two columns and their pickled form),
    # so a leak of any one of them would add over 38 MiB in 1,000 cycles. Without a leak the
    # growth stays under 1 MiB; 8 MiB leaves room for the allocator.
    assert growth < 8 * 2**20, f"resident memory grew by {growth / 2**20:.1f} MiB"


def test_references_to_inputs_are_given_back(capfd):
    cell = "".join(["a cell ", str(12345)])  # a str object of its own, not interned
    data = tables(300, cell)
    codes = Encoder().encode(data[0])[0]
    watched = [cell, codes, *data]
    cycle(*data)  # pandas may rearrange the frame's blocks on first use
    before = [sys.getrefcount(obj) for obj in watched]
    for _ in range(100):
        cycle(*data)
        Encoder().decode(codes)
    assert [sys.getrefcount(obj) for obj in watched] == before
    capfd.readouterr()  # the faults' reports
