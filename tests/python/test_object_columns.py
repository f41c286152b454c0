"""Object columns as readers make them: decode hands back the str objects encode read."""
import sys

import numpy as np
import pandas as pd
import pytest

from vorpak import Encoder


class Sub(str):
    pass


class Texty:
    def __init__(self, text):
        self.text = text

    def __str__(self):
        return self.text


def fresh(text):
    """A str with the text of `text` that is no other str object."""
    return "".join(list(text))


def decoded_cells(enc, codes, as_frame):
    back = enc.decode(codes)
    return back.to_numpy() if as_frame else back


def encode(table, as_frame):
    enc = Encoder()
    if as_frame:
        table = pd.DataFrame({k: pd.Series(table[:, k], dtype=object) for k in range(table.shape[1])})
    codes, _ = enc.encode(table)
    return enc, codes


@pytest.mark.parametrize("as_frame", [False, True])
@pytest.mark.parametrize("rows", [5, 70_000])  # below and above the size the pool takes over at
def test_decode_hands_back_an_object_encode_read(as_frame, rows):
    rng = np.random.default_rng(0)
    words = [fresh(w) for w in ["a", "é", "ʤ", "\U0001f600", "x" * 40, "nan"]]
    table = np.empty((rows, 2), dtype=object)
    table[:, 0] = [fresh(words[k]) for k in rng.integers(0, len(words), rows)]  # distinct objects
    table[:, 1] = [words[k] for k in rng.integers(0, len(words), rows)]  # shared objects
    enc, codes = encode(table, as_frame)
    back = decoded_cells(enc, codes, as_frame)
    for j in range(2):
        by_text = {}
        for cell in table[:, j]:
            by_text.setdefault(cell, set()).add(id(cell))
        handed = {}
        for cell, got in zip(table[:, j], back[:, j]):
            if cell == "nan":
                assert got is None if as_frame else got == "NaN"
                continue
            assert got == cell and type(got) is str
            assert id(got) in by_text[cell]  # one of the column's own objects ...
            assert handed.setdefault(cell, id(got)) == id(got)  # ... the same one for every cell


@pytest.mark.parametrize("as_frame", [False, True])
@pytest.mark.parametrize(
    "cell",
    [
        pytest.param(lambda: 2.5, id="number above the turn"),
        pytest.param(lambda: Texty("t"), id="object with str()"),
        pytest.param(lambda: Sub("t"), id="str subclass"),
        pytest.param(lambda: fresh("a\ud800b"), id="lone surrogate"),
    ],
)
def test_texts_not_from_an_exact_str_come_back_as_new_strs(as_frame, cell):
    made = cell()
    table = np.array([[made], ["z"]], dtype=object)
    enc, codes = encode(table, as_frame)
    got = decoded_cells(enc, codes, as_frame)[0, 0]
    assert type(got) is str and got is not made
    assert got == str(made).encode("utf-8", "surrogatepass").decode("utf-8", "replace")


@pytest.mark.parametrize("as_frame", [False, True])
def test_a_subclass_with_the_same_text_never_hides_the_exact_str(as_frame):
    exact = fresh("t")
    table = np.array([[Sub("t")], [exact], [Sub("t")]], dtype=object)
    enc, codes = encode(table, as_frame)
    back = decoded_cells(enc, codes, as_frame)
    assert all(cell is exact for cell in back[:, 0])


@pytest.mark.parametrize("as_frame", [False, True])
def test_columns_never_share_their_objects(as_frame):
    left, right = fresh("same"), fresh("same")
    table = np.array([[left, right, 1.0], [left, right, "same"]], dtype=object)
    enc, codes = encode(table, as_frame)
    back = decoded_cells(enc, codes, as_frame)
    assert all(cell is left for cell in back[:, 0])
    assert all(cell is right for cell in back[:, 1])
    # the third column met "same" as a str only below a number: its kept str is that one
    assert back[1, 2] is table[1, 2] and back[0, 2] == "1"


def refs(obj):
    return sys.getrefcount(obj) - 1  # less the argument's own


def kept_once(table, step):
    """What `step` leaves of the one reference per code an encoder keeps."""
    probe = table[0, 0]
    before = refs(probe)
    enc, codes = encode(table, False)
    assert refs(probe) == before + 1  # kept: one reference, whatever the cells
    for _ in range(3):
        enc.decode(codes)  # each decoded table goes away at once, with its references
    assert refs(probe) == before + 1
    step(enc)
    return refs(probe) - before


@pytest.mark.parametrize(
    "step, left",
    [
        pytest.param(lambda enc: None, 1, id="kept while fitted"),
        pytest.param(lambda enc: enc.__setstate__(enc.__getstate__()), 0, id="__setstate__"),
        pytest.param(lambda enc: enc.encode(np.array([["other"]], dtype=object)), 0, id="encode"),
        pytest.param(lambda enc: enc.encode(np.zeros((2, 2))), 0, id="encode of numbers"),
    ],
)
@pytest.mark.parametrize("rows", [4, 70_000])
def test_kept_strs_are_let_go_with_their_tables(step, left, rows):
    probe = fresh("probe")
    table = np.empty((rows, 2), dtype=object)
    table[:, 0] = probe
    table[:, 1] = [fresh("p") for _ in range(rows)]
    assert kept_once(table, step) == left


def test_kept_strs_are_let_go_with_the_encoder():
    probe = fresh("probe")
    before = refs(probe)
    enc = Encoder()
    codes, _ = enc.encode(np.array([[probe], ["q"]], dtype=object))
    back = enc.decode(codes)
    assert refs(probe) == before + 2  # kept, and in `back`
    del enc
    assert refs(probe) == before + 1
    del back
    assert refs(probe) == before


def test_a_failed_encode_keeps_the_previous_objects():
    probe = fresh("probe")
    enc, codes = encode(np.array([[probe], ["q"]], dtype=object), False)
    with pytest.raises(TypeError):
        enc.encode([[1]])
    assert enc.decode(codes)[0, 0] is probe


def test_a_hand_made_state_decodes_to_new_strs():
    probe = fresh("probe")
    enc, codes = encode(np.array([[probe], ["q"]], dtype=object), False)
    other = Encoder()
    other.__setstate__(enc.__getstate__())
    got = other.decode(codes)
    assert got[0, 0] == probe and got[0, 0] is not probe


# Tables long enough for the pool's workers to read the cells, each its own rows.
ROWS = 70_000

KINDS = {
    "ascii": ["a", "", "nan", "NaN", "<NA>", "1.0", "x" * 50],
    "latin-1": ["é", "ÿx", "\x80", "caf\xe9"],
    "ucs-2": ["ʤ", "€uro", "\u0100" * 9],
    "ucs-4": ["\U0001f600", "a\U0010ffff"],
    "lone surrogates": ["a\ud800b", "\udfff", "\ud83d\ude00", "x\udc80é"],
}


def mixed_column(rng, words, shared):
    """Cells of `words`: one object per text where `shared`, else a fresh object per cell."""
    picks = rng.integers(0, len(words), ROWS)
    return [words[k] if shared else fresh(words[k]) for k in picks]


def assert_same_as_item_access(table):
    """The array road, and a frame's road over the same object columns, agree with item access."""
    from test_fast_paths import general, outcome

    expected = outcome(general(table))
    assert outcome(table) == expected
    assert outcome(pd.DataFrame(table, dtype=object, copy=False)) == expected


@pytest.mark.parametrize("shared", [False, True])
@pytest.mark.parametrize("kinds", [["ascii"], ["ascii", "latin-1"], list(KINDS)])
def test_str_kinds_read_on_the_pool_match_item_access(kinds, shared):
    rng = np.random.default_rng(len(kinds))
    words = [w for kind in kinds for w in KINDS[kind]] + [f"w{i}" for i in range(300)]
    table = np.empty((ROWS, 3), dtype=object)
    table[:, 0] = mixed_column(rng, words, shared)
    table[:, 1] = mixed_column(rng, words, not shared)
    table[:, 2] = rng.random(ROWS)
    assert_same_as_item_access(table)


@pytest.mark.parametrize("distinct", [3, 2_000, ROWS])
def test_columns_of_every_cardinality_read_alike_on_the_pool(distinct):
    """Each column is read the way its sample suggests (by address, by text), side by side
    in one table, with long texts of every kind, None and a number above the first text."""
    rng = np.random.default_rng(distinct)
    alphabet = [w for kind in KINDS.values() for w in kind]
    words = [alphabet[k % len(alphabet)] * (1 + k % 9) + str(k) for k in range(distinct)]
    table = np.empty((ROWS, 5), dtype=object)
    table[:, 0] = mixed_column(rng, words, False)
    table[:, 1] = mixed_column(rng, words, True)
    table[:, 2] = mixed_column(rng, words, False)
    table[rng.random(ROWS) < 0.01, 2] = None
    table[:5, 2] = 1.5
    table[:, 3] = rng.random(ROWS)
    table[:, 4] = [f"r{k % distinct:07d}é" for k in rng.permutation(ROWS)]  # made in row order
    assert_same_as_item_access(table)


NUMBERS = [2.5, 1e300, -0.0, float("nan"), float("inf"), 3, -(2**40), 2**80, True, False]


@pytest.mark.parametrize("turn_at", [0, 100, ROWS // 2 + 7, ROWS - 1])
def test_numbers_above_and_below_the_turn_match_item_access(turn_at):
    """A column's numbers above its first text are read as numbers, those below by
    their str(), wherever the rows that the workers split the table into begin."""
    rng = np.random.default_rng(turn_at)
    table = np.empty((ROWS, 3), dtype=object)
    for j in range(3):
        table[:, j] = [NUMBERS[k] for k in rng.integers(0, len(NUMBERS), ROWS)]
    table[turn_at, 0] = fresh("t")
    table[turn_at + 1 :: 5, 0] = [fresh(f"s{k % 50}") for k in range(len(table[turn_at + 1 :: 5, 0]))]
    table[turn_at, 1] = None  # None is text: it turns a column too
    assert_same_as_item_access(table)


@pytest.mark.parametrize("at", [0, ROWS // 2, ROWS - 1])
@pytest.mark.parametrize(
    "cell",
    [
        pytest.param(lambda: Texty("t"), id="object with str()"),
        pytest.param(lambda: Sub("s"), id="str subclass"),
        pytest.param(lambda: np.float64(1.5), id="NumPy scalar"),
        pytest.param(lambda: 10**400, id="int beyond a double"),
    ],
)
def test_a_cell_that_needs_python_anywhere_matches_item_access(at, cell):
    rng = np.random.default_rng(at)
    words = KINDS["ascii"] + KINDS["ucs-2"] + [f"w{i}" for i in range(100)]
    table = np.empty((ROWS, 2), dtype=object)
    table[:, 0] = mixed_column(rng, words, False)
    table[:, 1] = rng.random(ROWS)
    table[at, at % 2] = cell()
    assert_same_as_item_access(table)


def test_encodes_with_other_python_threads_running_give_the_same_codes():
    import threading

    rng = np.random.default_rng(5)
    words = [w for kind in KINDS.values() for w in kind] + [f"w{i}" for i in range(500)]
    table = np.empty((ROWS, 3), dtype=object)
    table[:, 0] = mixed_column(rng, words, False)
    table[:, 1] = mixed_column(rng, words, True)
    table[:, 2] = [NUMBERS[k] for k in rng.integers(0, len(NUMBERS), ROWS)]
    expected = Encoder().encode(table)[0]
    stop = threading.Event()

    def churn():  # makes and drops strs and lists while the encodes run
        while not stop.is_set():
            junk = [fresh(w) for w in words]
            del junk

    old = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    others = [threading.Thread(target=churn) for _ in range(3)]
    try:
        for t in others:
            t.start()
        for _ in range(5):
            codes = Encoder().encode(table)[0]
            assert np.array_equal(codes, expected, equal_nan=True)
    finally:
        stop.set()
        for t in others:
            t.join()
        sys.setswitchinterval(old)
