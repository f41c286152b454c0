"""The worker pool across fork() and process exit."""
import pytest

from conftest import run_python

FORK_PROGRAM = """
    import os, sys, threading, numpy as np, vorpak
    table = np.array([["b%d" % (i % 50), "a", i * 0.5] for i in range(20_000)], dtype=object)
    expected = vorpak.Encoder().encode(table)[0]          # the pool is running now
    stop = threading.Event()
    def busy():
        enc = vorpak.Encoder()
        while not stop.is_set():
            enc.encode(table)
    helper = threading.Thread(target=busy)
    helper.start()
    for _ in range(3):
        pid = os.fork()
        if pid == 0:
            import signal
            signal.alarm(60)                                # a hung child fails, not the suite
            got = vorpak.Encoder().encode(table)[0]
            os._exit(0 if np.array_equal(got, expected, equal_nan=True) else 3)
        _, status = os.waitpid(pid, 0)
        assert os.WIFEXITED(status) and os.WEXITSTATUS(status) == 0, status
    stop.set()
    helper.join()
    print("ok")
"""


@pytest.mark.timeout(180)
def test_children_of_a_busy_parent_can_encode():
    done = run_python(FORK_PROGRAM, timeout=170)
    assert done.returncode == 0, done.stderr
    assert done.stdout.strip() == "ok"


@pytest.mark.timeout(120)
@pytest.mark.parametrize("threads", ["1", "2", "7"])
def test_encode_then_exit_at_once(threads):
    program = """
        import numpy as np, vorpak
        vorpak.Encoder().encode(np.array([["x", "y"]] * 5000, dtype=object))
    """
    done = run_python(program, env={"RAYON_NUM_THREADS": threads}, timeout=100)
    assert done.returncode == 0, done.stderr


@pytest.mark.timeout(120)
def test_a_cell_that_forks_mid_encode():
    """Python code run by a cell may fork while the table is being read; the
    child must finish its own encode instead of waiting on the parent's pool."""
    program = """
        import os, signal, numpy as np, vorpak
        class Forks:
            def __float__(self):
                global child
                child = os.fork()
                if child == 0:
                    signal.alarm(60)  # a hung child fails, not the suite
                return 1.0
        table = np.full((1_000_000, 2), "x", dtype=object)
        table[0, 0] = Forks()
        codes, columns = vorpak.Encoder().encode(table)
        if child == 0:
            os._exit(0 if columns == [0, 1] and codes[0, 0] == 0.0 else 3)
        _, status = os.waitpid(child, 0)
        print(os.waitstatus_to_exitcode(status))
    """
    done = run_python(program, timeout=100)
    assert done.returncode == 0, done.stderr
    assert done.stdout.strip() == "0"


def test_importing_starts_no_thread():
    program = """
        import os, numpy, pandas
        before = len(os.listdir("/proc/self/task"))
        import vorpak
        vorpak.Encoder()
        print(len(os.listdir("/proc/self/task")) - before)
    """
    done = run_python(program, env={"OPENBLAS_NUM_THREADS": "1"})
    assert done.returncode == 0, done.stderr
    assert done.stdout.strip() == "0"


def test_subinterpreters_are_refused_cleanly():
    program = """
        try:
            import _interpreters
        except ImportError:
            print("skip")
            raise SystemExit
        interp = _interpreters.create()
        try:
            failure = _interpreters.exec(interp, "import vorpak")
        finally:
            _interpreters.destroy(interp)
        print("imported" if failure is None else failure.type.__name__ + ": " + failure.msg)
    """
    done = run_python(program)
    assert done.returncode == 0, done.stderr
    if done.stdout.strip() == "skip":
        pytest.skip("this Python cannot create subinterpreters from Python code")
    assert done.stdout.strip() == "ImportError: module vorpak does not support loading in subinterpreters"
