import os
import struct
import subprocess
import sys
import textwrap

import pytest


def pickled_state(columns, encoding_tables, decoding_tables, strategy=0):
    """Bytes of an encoder state built by hand, for states `encode` never makes."""
    out = bytearray(b"\x01")
    out += struct.pack("<Q", len(columns))
    for c in columns:
        out += struct.pack("<Q", c)
    out += struct.pack("<Q", len(encoding_tables))
    for column, entries in encoding_tables:
        out += struct.pack("<QQ", column, len(entries))
        for text, code in entries:
            raw = text.encode() if isinstance(text, str) else text
            out += struct.pack("<Q", len(raw)) + raw
            out += b"\x00" if code is None else b"\x01" + struct.pack("<Q", code)
    out += struct.pack("<Q", len(decoding_tables))
    for column, entries in decoding_tables:
        out += struct.pack("<QQ", column, len(entries))
        for code, text in entries:
            raw = text.encode() if isinstance(text, str) else text
            out += struct.pack("<Q", code) + struct.pack("<Q", len(raw)) + raw
    out += struct.pack("<I", strategy)
    return bytes(out)


def parse(state):
    """Reads a pickled form into plain Python values, ignoring trailing bytes."""
    at = 0

    def take(fmt):
        nonlocal at
        (value,) = struct.unpack_from(fmt, state, at)
        at += struct.calcsize(fmt)
        return value

    def text():
        nonlocal at
        n = take("<Q")
        at += n
        return state[at - n : at].decode()

    info = None
    if take("<B"):
        columns = [take("<Q") for _ in range(take("<Q"))]
        enc = {}
        for _ in range(take("<Q")):
            col = take("<Q")
            enc[col] = {}
            for _ in range(take("<Q")):
                t = text()
                enc[col][t] = take("<Q") if take("<B") else None
        dec = {}
        for _ in range(take("<Q")):
            col = take("<Q")
            dec[col] = {}
            for _ in range(take("<Q")):
                code = take("<Q")
                dec[col][code] = text()
        info = (columns, enc, dec)
    return info, take("<I"), at


def run_python(code, env=None, timeout=120):
    """Runs `code` in a fresh interpreter; returns the completed process."""
    full_env = dict(os.environ)
    full_env.update(env or {})
    return subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)],
        capture_output=True,
        text=True,
        env=full_env,
        timeout=timeout,
    )


@pytest.fixture
def panic_type():
    """The PanicException class, found through a fault it raises."""
    import numpy as np
    import vorpak

    try:
        vorpak.Encoder().encode(np.array(["a"], dtype=object))
    except BaseException as exc:  # noqa: BLE001 - it is what we are after
        return type(exc)
    raise AssertionError("a 1-dimensional array should be an internal fault")
