"""Faults found by hostile use: shutdown, wide tables, interrupts, bool bytes, fault reports."""

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
import vorpak

table = {table}
encoder = vorpak.Encoder()
started = time.perf_counter()
encoder.encode(table)
print(time.perf_counter() - started, flush=True)
fitted = encoder.__getstate__()
sys.stdin.readline()  # the signal comes from outside: this thread keeps the GIL throughout
started = time.perf_counter()
print("encoding", flush=True)
try:
    encoder.encode(table)
    print("finished")
except KeyboardInterrupt:
    took = time.perf_counter() - started
    unchanged = encoder.__getstate__() == fitted
    print("interrupted" if unchanged else "state-changed", took)
"""


DISTINCT_STRS = """np.stack([np.arange(4_000_000)[::-1].astype("<U12").astype(object)] * 2, axis=1)"""


@pytest.mark.parametrize(
    "table, at",
    [
        # Cells that convert in C code: no Python code of theirs runs.
        pytest.param(
            "np.full((6_000_000, 2), __import__('decimal').Decimal('1.5'), dtype=object)",
            0.1,
            id="column walk",
        ),
        # A str per cell: the walk, then the column jobs on the pool.
        pytest.param(DISTINCT_STRS, 0.1, id="fast walk"),
        pytest.param(DISTINCT_STRS, 0.6, id="column jobs"),
    ],
)
@pytest.mark.timeout(300)
def test_ctrl_c_ends_a_long_encode_soon(table, at):
    child = subprocess.Popen(
        [sys.executable, "-c", INTERRUPT_CHILD.format(table=table)],
        stdin=subprocess.PIPE,
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        text=True,
    )
    try:
        whole = float(child.stdout.readline())
        child.stdin.write("go\n")
        child.stdin.flush()
        assert child.stdout.readline().strip() == "encoding"
        time.sleep(at * whole)
        child.send_signal(signal.SIGINT)
        out, err = child.communicate(timeout=280)
    finally:
        child.kill()
    assert child.returncode == 0, err
    outcome, *took = out.split()
    assert outcome == "interrupted", out
    # Noticed long before the call would have ended by itself.
    latency = float(took[0]) - at * whole
    print(f"whole {whole:.2f} s, interrupted {latency:.3f} s after the signal")
    assert latency < 0.5 * (1 - at) * whole, (whole, out)
