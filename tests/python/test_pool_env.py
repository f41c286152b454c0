"""Pool sizes asked for through the environment that no machine could honour."""
import pytest

from conftest import run_python

# The most threads the pool starts (kMaxThreads in src/core/thread_pool.hpp).
MAX_THREADS = 256

# Large enough (>= 65,536 cells) that encode and decode run on the pool rather
# than inline, and decode fills its text slots there in more than one chunk.
# Codes follow the byte order of the distinct texts, worked out here in Python.
ROUND_TRIP = """
    import os, numpy as np, pandas as pd
    before = len(os.listdir("/proc/self/task"))
    import vorpak
    n = 70_000
    distinct = ["k%05d" % (i * 7919 % n) for i in range(n)]
    few = ["g%d" % (i % 13) for i in range(n)]
    numbers = [i * 0.5 for i in range(n)]
    table = np.array([distinct, few, numbers], dtype=object).T
    rank = {text: code for code, text in enumerate(sorted(set(few)))}
    expected = np.array([[i * 7919 % n, rank[f], x] for i, (f, x) in enumerate(zip(few, numbers))])

    enc = vorpak.Encoder()
    codes, columns = enc.encode(table)
    assert columns == [0, 1], columns
    assert np.array_equal(codes, expected)
    back = enc.decode(codes)
    assert back.dtype == object and (back == table).all()

    frame = pd.DataFrame({"a": distinct, "b": few, "c": numbers})
    frame_codes, columns = enc.encode(frame)
    assert columns == [0, 1], columns
    assert np.array_equal(frame_codes.to_numpy(), expected)
    assert enc.decode(frame_codes).astype(object).equals(frame.astype(object))
    print(len(os.listdir("/proc/self/task")) - before)
"""


@pytest.mark.timeout(120)
@pytest.mark.parametrize(
    "env",
    [
        {"RAYON_NUM_THREADS": str(2**62)},  # four threads per chunk wrapped to zero chunks
        {"RAYON_NUM_THREADS": str(3 * 2**62)},
        {"RAYON_NUM_THREADS": "10000"},
        {"RAYON_NUM_THREADS": "", "RAYON_RS_NUM_CPUS": str(2**62)},
    ],
    ids=lambda env: ",".join(f"{k}={v}" for k, v in env.items()),
)
def test_huge_thread_counts_encode_and_decode_on_a_capped_pool(env):
    done = run_python(ROUND_TRIP, env={"OPENBLAS_NUM_THREADS": "1", **env}, timeout=100)
    assert done.returncode == 0, done.stderr
    started = int(done.stdout.strip())
    assert 1 <= started <= MAX_THREADS
