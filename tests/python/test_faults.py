"""Faults found by hostile use: shutdown, wide tables, interrupts, bool bytes, fault reports."""

import importlib.util
import os
import signal
import subprocess
import sys
import time

import numpy as np
import pandas as pd
import pytest
import vorpak

from conftest import run_python

UNDER_ASAN = "libasan" in os.environ.get("LD_PRELOAD", "")


@pytest.mark.skipif(UNDER_ASAN, reason="the sanitizer misreads the stack that pthread_exit unwinds")
@pytest.mark.timeout(120)
def test_daemon_thread_inside_encode_at_shutdown():
    # The interpreter ends a daemon thread that wants the GIL back while it
    # finalises; that unwind must pass through the module untouched.
    child = run_python(
        """
        import threading, time
        import numpy as np
        import vorpak

        class Slow:
            def __str__(self):
                time.sleep(0.0005)
                return "slow"

        table = np.array([[Slow()] for _ in range(100_000)], dtype=object)
        threading.Thread(target=lambda: vorpak.Encoder().encode(table), daemon=True).start()
        time.sleep(0.2)
        """
    )
    assert child.returncode == 0, child.stderr
    assert "internal fault" not in child.stderr


@pytest.mark.timeout(300)
def test_one_row_of_many_columns_is_linear():
    # Each column used to be matched against every other in turn: a million
    # columns never finished.
    columns = 600_000
    table = np.empty((1, columns), dtype=object)
    table[0, :] = [f"t{k % 7}" for k in range(columns)]
    codes, encoded = vorpak.Encoder().encode(table)
    assert len(encoded) == columns
    assert np.all(codes == 0.0)


@pytest.mark.skipif(UNDER_ASAN, reason="the sanitizer's own memory dwarfs the table's")
@pytest.mark.timeout(120)
def test_wide_tables_cost_memory_in_proportion():
    child = run_python(
        """
        import resource
        import numpy as np
        import vorpak

        base = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
        codes, encoded = vorpak.Encoder().encode(np.zeros((0, 2_000_000), np.int8))
        assert codes.shape == (0, 2_000_000) and encoded == []
        codes, encoded = vorpak.Encoder().encode(np.full((1, 200_000), "x", dtype="<U1"))
        assert len(encoded) == 200_000
        print((resource.getrusage(resource.RUSAGE_SELF).ru_maxrss - base) // 1024)
        """
    )
    assert child.returncode == 0, child.stderr
    assert int(child.stdout) < 400, f"{child.stdout.strip()} MiB over the interpreter's own"


BOOL_BYTES = np.array([[2, 0], [1, 255]], np.uint8)


@pytest.mark.parametrize("road", ["array", "frame"])
def test_bool_cells_are_any_non_zero_byte(road):
    cells = BOOL_BYTES.view(np.bool_)
    if road == "array":
        codes, _ = vorpak.Encoder().encode(cells)
    else:
        # Enough cells to read the frame column by column (where the sanitizer
        # build sees a bad bool load, should one come back).
        n = 40_000
        frame = pd.DataFrame({f"flag{c}": np.tile(cells[:, c], n // 2) for c in range(2)})
        frame["text"] = ["a", "b"] * (n // 2)
        codes, _ = vorpak.Encoder().encode(frame)
        codes = codes.to_numpy()[:2, :2]
    expected = [[1.0, 0.0], [1.0, 1.0]]
    assert codes.tolist() == expected


def fault_reports(stderr):
    return [line for line in stderr.splitlines() if "internal fault" in line]


def test_a_fault_a_fast_road_drops_is_reported_once():
    child = run_python(
        """
        import numpy as np
        import vorpak
        try:
            vorpak.Encoder().encode(np.array([["t"], [-(10**5000)]], dtype=object))
        except BaseException as exc:
            print(type(exc).__name__)
        """
    )
    assert child.stdout.strip() == "PanicException"
    assert len(fault_reports(child.stderr)) == 1, child.stderr


def test_a_fault_caught_inside_a_cell_is_reported_by_its_own_call_only():
    child = run_python(
        """
        import numpy as np
        import vorpak

        class Nested:
            def __str__(self):
                try:
                    vorpak.Encoder().encode(np.array(["not 2-D"], dtype=object))
                except BaseException:
                    pass
                return "nested"

        codes, _ = vorpak.Encoder().encode(np.array([[Nested()]], dtype=object))
        print(codes.tolist())
        """
    )
    assert child.returncode == 0, child.stderr
    assert child.stdout.strip() == "[[0.0]]"
    assert len(fault_reports(child.stderr)) == 1, child.stderr


class InterruptingRepr(tuple):
    def __repr__(self):
        raise KeyboardInterrupt


class DataFrame:  # named like pandas' so that it is read as a table
    columns = ["a", "b"]
    shape = InterruptingRepr((1, 2, 3))


class InterruptingMessage(Exception):
    def __str__(self):
        raise KeyboardInterrupt


class FailingText:
    def __str__(self):
        raise InterruptingMessage


def interrupt_finding_columns(monkeypatch):
    def interrupted(self):
        raise KeyboardInterrupt

    monkeypatch.setattr(pd.DataFrame, "_iter_column_arrays", interrupted, raising=False)
    return pd.DataFrame({"a": ["x", "y"] * 20_000, "b": [1.0, 2.0] * 20_000})


@pytest.mark.parametrize(
    "make_table",
    [
        pytest.param(lambda _: DataFrame(), id="repr of a bad shape"),
        pytest.param(
            lambda _: np.array([["a"], [FailingText()]], dtype=object), id="message of a cell's error"
        ),
        pytest.param(interrupt_finding_columns, id="reading a frame's columns"),
    ],
)
def test_interrupts_are_never_dropped(make_table, monkeypatch):
    table = make_table(monkeypatch)
    encoder = vorpak.Encoder()
    with pytest.raises(KeyboardInterrupt):
        encoder.encode(table)
    assert encoder.__getstate__() == vorpak.Encoder().__getstate__()


INTERRUPT_CHILD = """
import sys, time
import numpy as np
import pandas as pd
import vorpak

table = {table}
if {timed}:  # later calls are timed: the first also starts the pool and faults memory in
    vorpak.Encoder().encode(table)
whole = 0.0
for _ in range(2 if {timed} else 0):  # the quicker, lest a busy machine slow one call
    started = time.perf_counter()
    vorpak.Encoder().encode(table)
    whole = min(whole or float("inf"), time.perf_counter() - started)
print(whole, flush=True)
encoder = vorpak.Encoder()
encoder.encode(np.array([["before"]], dtype=object))
fitted = encoder.__getstate__()
for line in sys.stdin:  # the signal comes from outside: this thread keeps the GIL throughout
    print("encoding", flush=True)
    try:
        encoder.encode(table)
        print("finished", flush=True)
    except KeyboardInterrupt:
        # A call that ran to its end fitted the long table, whenever the
        # interrupt was raised.
        print("interrupted" if encoder.__getstate__() == fitted else "finished", flush=True)
"""


DISTINCT_STRS = """np.stack([np.arange(4_000_000)[::-1].astype("<U12").astype(object)] * 2, axis=1)"""

# Two million rows that are each the same 4 MiB text, by Arrow views into one
# buffer: reading them all would take many minutes.
HUGE_VIEWS = """(pa := __import__("pyarrow")) and pd.DataFrame({
    "a": pd.array(pa.Array.from_buffers(pa.string_view(), 2_000_000, [
        None,
        pa.py_buffer(np.tile(np.array([1 << 22, 0x78787878, 0, 0], np.int32), 2_000_000)),
        pa.py_buffer(b"x" * (1 << 22)),
    ]), dtype=pd.ArrowDtype(pa.string_view())),
    "b": np.zeros(2_000_000),
})"""


# Each table keeps one road busy for seconds, and the signal comes well before
# the call could end: the call must stop and leave the encoder as it was. How
# soon it stops is measured by bench/interrupt_latency.py, not here.
@pytest.mark.parametrize(
    "table, signal_at",
    [
        # Cells that convert in C code: no Python code of theirs runs.
        pytest.param(
            "np.full((6_000_000, 2), __import__('decimal').Decimal('1.5'), dtype=object)",
            [0.2],
            id="column walk",
        ),
        # A str per cell: the walk, then the column jobs on the pool.
        pytest.param(DISTINCT_STRS, [0.1, 0.4], id="fast walk, column jobs"),
        # Nothing but the Arrow fill, which used to run to its end unasked.
        pytest.param(
            HUGE_VIEWS,
            None,
            id="Arrow fill",
            marks=pytest.mark.skipif(
                importlib.util.find_spec("pyarrow") is None, reason="needs pyarrow"
            ),
        ),
    ],
)
@pytest.mark.timeout(300)
def test_ctrl_c_ends_a_long_encode(table, signal_at):
    child = subprocess.Popen(
        [sys.executable, "-c", INTERRUPT_CHILD.format(table=table, timed=signal_at is not None)],
        stdin=subprocess.PIPE,
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        text=True,
    )
    try:
        whole = float(child.stdout.readline())
        for at in signal_at or [None]:
            child.stdin.write("go\n")
            child.stdin.flush()
            assert child.stdout.readline().strip() == "encoding"
            time.sleep(0.5 if at is None else at * whole)
            child.send_signal(signal.SIGINT)
            assert child.stdout.readline().strip() == "interrupted", (at, whole)
        _, err = child.communicate(timeout=60)  # ends the child's loop
    finally:
        child.kill()
    assert child.returncode == 0, err
