"""Running out of memory on a worker thread of the pool."""
import ctypes

import pytest

from conftest import run_python

# The pool is started by an encode large enough to use it; then the address space is
# capped a little above what the process holds, and a table of two columns of a
# million distinct texts each is encoded. Its label-encoding tables are built on
# the workers, one small allocation per text, so a worker is likely to be the
# thread that runs out; the first exception that thread throws needs
# thread-local data that glibc has not allocated yet for a library loaded with
# dlopen(). Either outcome below is fine; ending the process is not. Afterwards
# the limit is lifted and the same pool must still encode.
PROGRAM = """
    import resource, numpy as np, vorpak
    def address_space():
        with open("/proc/self/status") as status:
            for line in status:
                if line.startswith("VmSize:"):
                    return int(line.split()[1]) * 1024
    warm = np.array([["a%d" % (i % 7), "b"] for i in range(40_000)], dtype=object)
    vorpak.Encoder().encode(warm)
    n = 1_000_000
    table = np.empty((n, 2), dtype=object)
    for j in range(2):
        table[:, j] = ["%02d-%010d-abcdefghij" % (j, i) for i in range(n)]
    _, hard = resource.getrlimit(resource.RLIMIT_AS)
    resource.setrlimit(resource.RLIMIT_AS, (address_space() + MARGIN, hard))
    try:
        vorpak.Encoder().encode(table)
        outcome = "fitted"
    except MemoryError:
        outcome = "MemoryError"
    resource.setrlimit(resource.RLIMIT_AS, (hard, hard))
    codes, _ = vorpak.Encoder().encode(warm)
    assert codes[:7, 0].tolist() == list(range(7))
    print(outcome)
"""


# AddressSanitizer's operator new ends the process when memory runs out, by design.
UNDER_ASAN = hasattr(ctypes.CDLL(None), "__asan_init")


@pytest.mark.skipif(UNDER_ASAN, reason="AddressSanitizer ends the process on running out of memory")
@pytest.mark.timeout(180)
@pytest.mark.parametrize("margin_mb", [190, 240, 290])
def test_a_worker_out_of_memory_is_a_memory_error(margin_mb):
    program = PROGRAM.replace("MARGIN", str(margin_mb << 20))
    done = run_python(program, env={"OPENBLAS_NUM_THREADS": "1"}, timeout=170)
    assert done.returncode == 0, (done.returncode, done.stderr[-2000:])
    assert done.stdout.strip() in ("MemoryError", "fitted")
