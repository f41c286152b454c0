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
