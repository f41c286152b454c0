"""Invariants of encoding that hold for any table."""
import json
import math
from decimal import Decimal

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from conftest import run_python
from vorpak import Encoder

MARKERS = {"nan", "NaN", "<NA>"}

texts = st.one_of(st.sampled_from(sorted(MARKERS) + ["", "a", "B", "é", "10", "9"]), st.text(max_size=6))
columns = st.lists(texts, min_size=1, max_size=40)


def utf8_order(values):
    return sorted(values, key=lambda t: t.encode("utf-8", "surrogatepass"))


def clean(text):
    return text.encode("utf-8", "surrogatepass").decode("utf-8", "replace") if text else text


def object_table(*cols):
    return np.array(list(zip(*cols)), dtype=object).reshape(len(cols[0]), len(cols))


@settings(max_examples=150, deadline=None)
@given(columns)
def test_codes_are_dense_in_text_order_with_nan_at_markers(column):
    column = [clean(t) for t in column]
    out, encoded = Encoder().encode(object_table(column))
    assert encoded == [0]
    categories = utf8_order(set(column) - MARKERS)
    for text, code in zip(column, out[:, 0]):
        if text in MARKERS:
            assert math.isnan(code)
        else:
            assert code == categories.index(text)


@settings(max_examples=100, deadline=None)
@given(columns, st.randoms(use_true_random=False))
def test_row_order_changes_no_code(column, random):
    column = [clean(t) for t in column]
    shuffled = column[:]
    random.shuffle(shuffled)
    first, _ = Encoder().encode(object_table(column))
    second, _ = Encoder().encode(object_table(shuffled))
    code_of = {t: c for t, c in zip(column, first[:, 0].tolist())}
    for text, code in zip(shuffled, second[:, 0].tolist()):
        assert code == code_of[text] or (math.isnan(code) and math.isnan(code_of[text]))


@settings(max_examples=100, deadline=None)
@given(columns)
def test_decode_gives_back_every_non_marker_text(column):
    column = [clean(t) for t in column]
    numbers = [float(i) for i in range(len(column))]
    enc = Encoder()
    out, encoded = enc.encode(object_table(column, numbers))
    assert encoded == [0]
    back = enc.decode(out)
    for text, got, number in zip(column, back[:, 0], back[:, 1]):
        assert got == ("NaN" if text in MARKERS else text)
    assert back[:, 1].tolist() == numbers


@settings(max_examples=300, deadline=None)
@given(st.floats(allow_nan=False, allow_infinity=False))
def test_numbers_turned_to_text_use_repr_digits_positionally(x):
    enc = Encoder()
    enc.encode(np.array([[x], ["\uffff"]], dtype=object))
    text = enc.decode(np.array([[0.0]])).item()
    expected = format(Decimal(repr(x)), "f")
    if "." in expected:
        expected = expected.rstrip("0").rstrip(".")
    assert text == expected
    assert float(text) == x


def test_same_result_with_one_thread_and_with_the_default():
    program = """
        import json, numpy as np, vorpak
        rng = np.random.default_rng(7)
        words = np.array(["w%d" % i for i in range(3000)] + ["nan", "<NA>"], dtype=object)
        table = rng.choice(words, size=(200_000, 4)).astype(object)
        table[:, 3] = rng.random(200_000)
        enc = vorpak.Encoder()
        out, cols = enc.encode(table)
        print(json.dumps([cols, np.nan_to_num(out, nan=-1).sum(axis=0).tolist(),
                          out[::997].tolist().__repr__()]))
    """
    results = []
    for threads in ("1", "2", None):
        env = {"RAYON_NUM_THREADS": threads} if threads else {}
        done = run_python(program, env=env)
        assert done.returncode == 0, done.stderr
        results.append(json.loads(done.stdout))
    assert results[0] == results[1] == results[2]
