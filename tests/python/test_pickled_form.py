"""The pickled form: what __getstate__ writes and what __setstate__ accepts."""
import copy
import pickle
import random
import struct
from concurrent.futures import ThreadPoolExecutor

import numpy as np
import pandas as pd
import pytest

from conftest import parse, pickled_state, run_python
from vorpak import Encoder

FRESH = bytes(5)
EMPTY = b"\x01" + bytes(24) + bytes(4)
WORKED = pickled_state([0], [(0, [("a", 0), ("b", 1)])], [(0, [(0, "a"), (1, "b")])])


def fitted_ab():
    enc = Encoder()
    enc.encode(np.array([["b"], ["a"], ["a"]], dtype=object))
    return enc


class TestWriter:
    def test_fresh_and_empty(self):
        assert Encoder().__getstate__() == FRESH
        enc = Encoder()
        enc.encode(np.zeros((2, 2), dtype=np.int32))
        assert enc.__getstate__() == EMPTY

    def test_worked_example(self):
        state = fitted_ab().__getstate__()
        assert len(state) == 139
        assert parse(state) == parse(WORKED)
        assert state in self._swapped_orders()  # any map order, same bytes otherwise

    @staticmethod
    def _swapped_orders():
        return {
            pickled_state([0], [(0, enc)], [(0, dec)])
            for enc in ([("a", 0), ("b", 1)], [("b", 1), ("a", 0)])
            for dec in ([(0, "a"), (1, "b")], [(1, "b"), (0, "a")])
        }

    def test_marker_entry(self):
        enc = Encoder()
        enc.encode(np.array([["a"], ["nan"]], dtype=object))
        state = enc.__getstate__()
        assert b"\x03" + bytes(7) + b"nan\x00" in state
        assert parse(state)[0] == ([0], {0: {"a": 0, "nan": None}}, {0: {0: "a"}})

    def test_equal_states_have_equal_lengths(self):
        data = np.array([[f"t{i}", str(i % 7)] for i in range(50)], dtype=object)
        states = []
        for _ in range(5):
            enc = Encoder()
            enc.encode(data)
            states.append(enc.__getstate__())
        assert len({len(s) for s in states}) == 1
        assert all(parse(s)[0] == parse(states[0])[0] for s in states)


class TestReader:
    @pytest.mark.parametrize("state", [FRESH, FRESH + b"junk", EMPTY, EMPTY + b"\x05", WORKED, WORKED + bytes(9)])
    def test_valid_forms_round_trip(self, state):
        enc = Encoder()
        enc.__setstate__(state)
        assert parse(enc.__getstate__())[:2] == parse(state)[:2]

    def test_empty_text_and_non_ascii(self):
        state = pickled_state([3], [(3, [("", 0), ("é€😀", 1)])], [(3, [(0, ""), (1, "é€😀")])])
        enc = Encoder()
        enc.__setstate__(state)
        assert enc.decode(np.array([[0, 0, 0, 0.0], [0, 0, 0, 1.0]]))[:, 3].tolist() == ["", "é€😀"]

    def test_every_proper_prefix_fails(self):
        state = fitted_ab().__getstate__()
        text_bytes = set()
        for start in (0x29, 0x3B, 0x6D, 0x7E):  # text lengths in the worked layout
            text_bytes.update(range(start + 8, start + 9))
        for cut in range(len(state)):
            enc = Encoder()
            with pytest.raises(ValueError) as info:
                enc.__setstate__(state[:cut])
            message = str(info.value)
            if cut in text_bytes:
                assert message == "failed to unpickle Encoder: io error: "
            else:
                assert message == "failed to unpickle Encoder: io error: unexpected end of file"
            assert enc.__getstate__() == FRESH

    @pytest.mark.parametrize(
        "state, message",
        [
            (b"", "io error: unexpected end of file"),
            (b"\x02", "tag for enum is not valid, found 2"),
            (b"\xff" + bytes(4), "tag for enum is not valid, found 255"),
            (b"\x00\x01\x00\x00\x00", "invalid value: integer `1`, expected variant index 0 <= i < 1"),
            (b"\x00\xff\xff\xff\xff", "invalid value: integer `4294967295`, expected variant index 0 <= i < 1"),
            (pickled_state([], [(0, [("a", 0)])], []).replace(b"a\x01", b"a\x07"), "tag for enum is not valid, found 7"),
            (b"\x01" + struct.pack("<Q", 2**63), "io error: unexpected end of file"),
            (b"\x01" + struct.pack("<QQQQ", 0, 1, 0, 2**64 - 1), "io error: unexpected end of file"),
            (b"\x01" + struct.pack("<QQQQQ", 0, 1, 0, 1, 2**64 - 1), "io error: "),
        ],
    )
    def test_errors(self, state, message):
        with pytest.raises(ValueError) as info:
            Encoder().__setstate__(state)
        assert str(info.value) == "failed to unpickle Encoder: " + message

    @pytest.mark.parametrize(
        "raw",
        [b"\xff", b"a\xe2\x82", b"\xed\xa0\x80", b"\xf4\x90\x80\x80", b"\xc0\xaf", b"\xe0\x80\x80",
         b"ok\xf0\x9f\x98", b"\xf0\x9f\x98\x80\x80", b"abc\x80def", b"\xe2\x82(", b"\xf5"],
    )
    def test_utf8_details_match_cpython(self, raw):
        try:
            raw.decode("utf-8")
        except UnicodeDecodeError as err:
            start, end, reason = err.start, err.end, err.reason
        if reason == "unexpected end of data":
            detail = f"incomplete utf-8 byte sequence from index {start}"
        else:
            detail = f"invalid utf-8 sequence of {end - start} bytes from index {start}"
        state = pickled_state([], [(0, [(raw, None)])], [])
        with pytest.raises(ValueError) as info:
            Encoder().__setstate__(state)
        assert str(info.value) == "failed to unpickle Encoder: string is not valid utf8: " + detail

    def test_duplicates_later_wins(self):
        state = pickled_state(
            [0],
            [(0, [("a", 0)]), (0, [("a", 5), ("a", 1)])],
            [(0, [(0, "first")]), (0, [(0, "x"), (0, "second")])],
        )
        enc = Encoder()
        enc.__setstate__(state)
        assert parse(enc.__getstate__())[0] == ([0], {0: {"a": 1}}, {0: {0: "second"}})

    def test_failure_keeps_previous_state(self):
        enc = fitted_ab()
        before = enc.__getstate__()
        for bad in (b"", b"\x02", WORKED[:-1]):
            with pytest.raises(ValueError):
                enc.__setstate__(bad)
        with pytest.raises(TypeError):
            enc.__setstate__(bytearray(before))
        assert enc.__getstate__() == before

    def test_bytes_subclass_is_accepted(self):
        class Blob(bytes):
            pass

        enc = Encoder()
        enc.__setstate__(Blob(WORKED))
        assert enc.decode(np.array([[1.0]])).tolist() == [["b"]]


@pytest.mark.parametrize("protocol", [2, 3, 4, 5])
def test_pickle_round_trip(protocol):
    enc = Encoder()
    frame = pd.DataFrame({"s": ["x", "y", None, "x"], "n": [1, 2, 3, 4]})
    codes, _ = enc.encode(frame)
    clone = pickle.loads(pickle.dumps(enc, protocol=protocol))
    pd.testing.assert_frame_equal(clone.decode(codes), enc.decode(codes))
    fresh = pickle.loads(pickle.dumps(Encoder(), protocol=protocol))
    assert fresh.__getstate__() == FRESH


@pytest.mark.parametrize("copier", [copy.copy, copy.deepcopy])
def test_copies_decode_alike(copier):
    enc = fitted_ab()
    clone = copier(enc)
    assert clone is not enc
    codes = np.array([[0.0], [1.0], [np.nan]])
    assert clone.decode(codes).tolist() == enc.decode(codes).tolist()
    enc.encode(np.array([["z"]], dtype=object))
    assert clone.decode(codes).tolist() == [["a"], ["b"], ["NaN"]]


# --------------------------------------------------------------------------------------------
# One fit, one byte string: the writer's order depends on the entries alone, never on the
# hash keys a process draws nor on the order its tables were filled in.

FIFTEEN_COLUMNS = """
    import sys, numpy as np, pandas as pd, vorpak
    pool = ["nan", "NaN", "<NA>", None, np.nan, "", "é", "😀", "zz", "Zz", "a b", "0", "10", "9"]
    def cell(i, j):
        if j % 5 == 4:
            return float(i * j)                       # a numeric column among the text ones
        return pool[(i * (j + 3) + j) % len(pool)] if i % 4 else f"v{(i * 7 + j) % (j + 11)}"
    frame = pd.DataFrame({f"c{j}": [cell(i, j) for i in range(200)] for j in range(15)})
    vorpak.Encoder().encode(frame.to_numpy())         # tables filled and freed before
    enc = vorpak.Encoder()
    enc.encode(frame)
    sys.stdout.write(enc.__getstate__().hex())
"""


def assert_written_order(state):
    """Columns by position; coded entries by code, then the rest by their text's bytes."""
    (_, enc, dec), _, _ = parse(state)
    for tables in (enc, dec):
        assert list(tables) == sorted(tables)
    for entries in enc.values():
        coded = [code for code in entries.values() if code is not None]
        uncoded = [text for text, code in entries.items() if code is None]
        assert list(entries.values()) == sorted(coded) + [None] * len(uncoded)
        assert uncoded == sorted(uncoded, key=str.encode)
    for entries in dec.values():
        assert list(entries) == sorted(entries)


@pytest.mark.timeout(240)
def test_same_fit_same_bytes_in_every_process():
    runs = [("0", "1"), ("1", "2"), ("4242", "3"), ("random", "2"), ("random", "1")]

    def pickled_in_a_process(run):
        hash_seed, threads = run
        env = {"PYTHONHASHSEED": hash_seed, "RAYON_NUM_THREADS": threads}
        return run_python(FIFTEEN_COLUMNS, env=env, timeout=200)

    with ThreadPoolExecutor(len(runs)) as pool:
        done = list(pool.map(pickled_in_a_process, runs))
    for process in done:
        assert process.returncode == 0, process.stderr
    states = {bytes.fromhex(process.stdout) for process in done}
    assert len(states) == 1
    (state,) = states
    (columns, enc, _), _, _ = parse(state)
    assert len(columns) == 12 and len(enc) == 12  # every fifth column is numeric
    assert_written_order(state)


def test_fit_with_markers_is_written_in_order():
    enc = Encoder()
    rows = [["nan", "b"], ["<NA>", "NaN"], ["é", "a"], ["NaN", "nan"], ["z", "<NA>"]]
    enc.encode(np.array(rows, dtype=object))
    state = enc.__getstate__()
    assert_written_order(state)
    # The markers sort before the other texts, so a fit's table, filled in byte order,
    # holds them first; they are written last.
    (_, enc_tables, _), _, _ = parse(state)
    assert list(enc_tables[0].items()) == [("z", 0), ("é", 1), ("<NA>", None), ("NaN", None), ("nan", None)]
    assert list(enc_tables[1].items()) == [("a", 0), ("b", 1), ("<NA>", None), ("NaN", None), ("nan", None)]


def _fitted_state():
    enc = Encoder()
    frame = pd.DataFrame({
        "n": [1.0, 2.0, 3.0, 4.0, 5.0, 6.0],
        "s": ["q", "nan", "b", "NaN", "<NA>", "é"],
        "t": ["x", "y", "x", "z", None, "w"],
    })
    enc.encode(frame)
    return enc.__getstate__()


def _hand_made_state():
    """Codes no fit makes: gaps, the top of the range, one code shared by two texts,
    a text without a code that is no marker, and columns listed apart from their tables."""
    return pickled_state(
        [9, 2],
        [
            (9, [("m", 2**40), ("k", 7), ("j", 7), ("", None), ("nan", None)]),
            (2, [("p", 0), ("r", 2)]),
        ],
        [(9, [(2**64 - 1, "top"), (7, "k"), (0, "zero")]), (2, [(2, "r"), (0, "p")])],
    )


def _reordered(state, arrange):
    """The same state with its columns and every table's entries arranged anew."""
    (columns, enc, dec), _, _ = parse(state)
    enc = [(col, arrange(list(entries.items()))) for col, entries in enc.items()]
    dec = [(col, arrange(list(entries.items()))) for col, entries in dec.items()]
    return pickled_state(columns, arrange(enc), arrange(dec))


ARRANGEMENTS = {
    "reversed": lambda items: items[::-1],
    "rotated": lambda items: items[1:] + items[:1],
    "shuffled": lambda items: random.Random(len(items)).sample(items, len(items)),
    "uncoded first": lambda items: sorted(items, key=lambda item: item[1] is not None),
}


@pytest.mark.parametrize("arrange", ARRANGEMENTS.values(), ids=ARRANGEMENTS.keys())
@pytest.mark.parametrize("make_state", [_fitted_state, _hand_made_state], ids=["fitted", "hand-made"])
def test_any_order_reads_back_and_is_rewritten_in_order(make_state, arrange):
    state = make_state()
    original = Encoder()
    original.__setstate__(state)
    written = original.__getstate__()
    assert_written_order(written)

    moved = _reordered(state, arrange)
    assert parse(moved)[0] == parse(state)[0]  # same content...
    enc = Encoder()
    enc.__setstate__(moved)
    assert enc.__getstate__() == written       # ...so the same bytes once written again

    (columns, _, dec), _, _ = parse(state)
    width = max(columns) + 1
    codes = sorted({float(code) for table in dec.values() for code in table} | {1.0, 3.0}) + [np.nan]
    grid = np.zeros((len(codes), width))
    grid[:, columns] = np.array(codes)[:, None]
    assert enc.decode(grid).tolist() == original.decode(grid).tolist()
