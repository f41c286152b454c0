"""Turning codes back into texts: the cell rule and broken states."""
import numpy as np
import pandas as pd
import pytest

from conftest import pickled_state
from vorpak import Encoder


def fitted(texts=("a", "b", "c")):
    enc = Encoder()
    enc.encode(np.array([[t] for t in texts], dtype=object))
    return enc


@pytest.mark.parametrize(
    "code, array_text, frame_text",
    [
        (0.0, "a", "a"),
        (2.0, "c", "c"),
        (1.9, "b", "b"),
        (2.9, "c", "c"),
        (-0.5, "a", "a"),
        (-0.0, "a", "a"),
        (-1.0, "NaN", None),  # pandas' and scikit-learn's "missing" code
        (-3.0, "NaN", None),
        (3.0, "NaN", None),  # beyond the table
        (float("nan"), "NaN", None),
        (float("inf"), "NaN", None),
        (float("-inf"), "NaN", None),
        (2.0**64, "NaN", None),
        (1e300, "NaN", None),
    ],
)
def test_cell_rule(code, array_text, frame_text):
    enc = fitted()
    assert enc.decode(np.array([[code]])).tolist() == [[array_text]]
    frame = enc.decode(pd.DataFrame({"c": [code]}))
    assert frame["c"].tolist() == [frame_text]
    assert frame["c"].dtype == object


def test_all_missing_frame_column_is_object():
    frame = fitted().decode(pd.DataFrame({"c": [np.nan, -1.0]}))
    assert frame["c"].dtype == object and frame["c"].tolist() == [None, None]


def test_decoded_cells_are_plain_str_and_float():
    enc = Encoder()
    out, _ = enc.encode(np.array([["a", 1.5], ["b", 2.5]], dtype=object))
    back = enc.decode(out)
    assert [type(v) for v in back.ravel()] == [str, float, str, float]


def test_sparse_codes_from_a_hand_made_state():
    state = pickled_state([0], [], [(0, [(0, "zero"), (2**40, "big")])])
    enc = Encoder()
    enc.__setstate__(state)
    out = enc.decode(np.array([[0.0], [float(2**40)], [1.0]]))
    assert out.ravel().tolist() == ["zero", "big", "NaN"]


class TestBrokenStates:
    def test_listed_column_without_table(self, panic_type):
        enc = Encoder()
        enc.__setstate__(pickled_state([0], [], []))
        for table in (np.zeros((1, 1)), pd.DataFrame({"a": [0.0]}), np.zeros((0, 1))):
            with pytest.raises(panic_type, match="^no entry found for key$"):
                enc.decode(table)

    def test_fewer_columns_than_encoded(self, panic_type):
        enc = Encoder()
        enc.encode(np.array([["x", "a"], ["y", "b"]], dtype=object))
        with pytest.raises(panic_type, match="beyond the last column"):
            enc.decode(np.zeros((2, 1)))
        with pytest.raises(panic_type, match="beyond the last column"):
            enc.decode(pd.DataFrame({"a": [0.0]}))
        with pytest.raises(panic_type, match="beyond the last column"):
            enc.decode(pd.DataFrame({"a": []}, dtype=float))

    def test_out_of_range_column_with_no_rows_array(self):
        enc = Encoder()
        enc.encode(np.array([["x", "a"]], dtype=object))
        out = enc.decode(np.zeros((0, 1)))
        assert out.shape == (0, 1) and out.dtype == object

    def test_repeated_positions_decode_once_each(self):
        state = pickled_state([0, 0], [], [(0, [(0, "a")])])
        enc = Encoder()
        enc.__setstate__(state)
        assert enc.decode(np.zeros((1, 1))).tolist() == [["a"]]
        assert enc.decode(pd.DataFrame({"k": [0.0]}))["k"].tolist() == ["a"]


def test_output_failure_after_encode_keeps_new_state(monkeypatch):
    import pandas

    enc = Encoder()
    frame = pd.DataFrame({"a": ["x", "y"]})

    class Boom(Exception):
        pass

    def broken(*args, **kwargs):
        raise Boom()

    monkeypatch.setattr(pandas, "DataFrame", broken)
    with pytest.raises(Boom):
        enc.encode(frame)
    monkeypatch.undo()
    assert enc.decode(np.array([[1.0]])).tolist() == [["y"]]


@pytest.mark.parametrize("order", ["C", "F"])
def test_large_decode_counts_every_reference(order):
    import sys
    from collections import Counter

    rng = np.random.default_rng(3)
    texts = np.array([f"word{i}" for i in range(300)] + ["nan"], dtype=object)
    table = np.empty((50_000, 3), dtype=object)
    table[:, 0] = texts[rng.integers(0, len(texts), len(table))]
    table[:, 1] = rng.random(len(table))
    table[:, 2] = texts[rng.integers(0, 50, len(table))]
    enc = Encoder()
    codes, _ = enc.encode(table)
    enc.__setstate__(enc.__getstate__())  # its strs are then only the decoded cells'
    codes[::11, 0] = -1.0
    out = enc.decode(np.asarray(codes, order=order))
    seen = Counter(id(v) for v in out.ravel())
    by_id = {id(v): v for v in out.ravel()}
    # A str held as each decoded one is below, by one dict and one local name, counts
    # `baseline` references; whether the local's own and getrefcount's argument are
    # among them depends on the interpreter (3.14 passes a local without one).
    control = "".join(["con", "trol"])  # made at run time: neither interned nor immortal
    controls = {id(control): control}
    baseline = sys.getrefcount(control)
    for key, count in seen.items():
        value = by_id[key]
        if type(value) is str:  # shared per code: one reference per cell
            assert sys.getrefcount(value) == count + baseline
    del controls
    expected = np.where(codes[:, 0] == -1.0, "NaN", table[:, 0].astype(str))
    expected = np.where(table[:, 0] == "nan", "NaN", expected)
    assert out[:, 0].tolist() == expected.tolist()
    del by_id, seen
    for _ in range(3):  # freeing arrays with wrong counts would crash here
        del out
        out = enc.decode(np.asarray(codes, order=order))


def three_text_columns(codes=40):
    """An encoder whose columns 0, 2 and 3 hold `codes`, `codes` and 10 texts."""
    tables = [(0, codes), (2, codes), (3, 10)]
    state = pickled_state(
        [column for column, _ in tables],
        [(column, [(f"t{k}", k) for k in range(n)]) for column, n in tables],
        [(column, [(k, f"t{k}") for k in range(n)]) for column, n in tables],
    )
    enc = Encoder()
    enc.__setstate__(state)
    return enc


@pytest.mark.parametrize("codes", [40, 20_000])
@pytest.mark.parametrize("order", ["C", "F"])
def test_large_decode_matches_small_pieces(order, codes):
    """Large tables fill their texts on the worker threads; every cell must read
    as it does when the same rows are decoded a few at a time."""
    rng = np.random.default_rng(4)
    odd = np.array([-0.5, 2.9, 9.5, -1.0, -7.0, codes - 1, codes, np.inf, -np.inf, np.nan, 2.0**64, 1e300])
    cells = rng.integers(0, codes, (60_000, 4)).astype(float)
    mask = rng.random(cells.shape) < 0.2
    cells[mask] = odd[rng.integers(0, len(odd), mask.sum())]
    cells = np.asarray(cells, order=order)
    enc = three_text_columns(codes)
    whole = enc.decode(cells)
    pieces = [enc.decode(cells[k : k + 1000]) for k in range(0, len(cells), 1000)]
    assert whole.flags.f_contiguous == (order == "F")
    as_text = np.vectorize(repr, otypes=[object])  # NaN floats compare by their repr
    assert as_text(whole).tolist() == as_text(np.concatenate(pieces)).tolist()
    assert {type(v) for v in whole[:, 1]} == {float}


def test_large_frame_decode_matches_small_pieces():
    """The text columns of a large decoded frame are filled on the worker
    threads; they must hold what a few rows at a time give, None for no text."""
    rng = np.random.default_rng(6)
    codes = rng.integers(0, 40, (60_000, 4)).astype(float)
    mask = rng.random(codes.shape) < 0.2
    codes[mask] = np.array([-1.0, 2.9, 39.0, 40.0, np.nan, 1e300])[rng.integers(0, 6, mask.sum())]
    frame = pd.DataFrame(codes, columns=["a", "b", "c", "d"])
    enc = three_text_columns()
    whole = enc.decode(frame)
    pieces = [enc.decode(frame.iloc[k : k + 1000]) for k in range(0, len(frame), 1000)]
    pieces = pd.concat(pieces, ignore_index=True)
    pd.testing.assert_frame_equal(whole, pieces)
    assert [str(t) for t in whole.dtypes] == ["object", "float64", "object", "object"]
    assert whole["a"].isna().sum() == np.isnan(codes[:, 0]).sum() + (codes[:, 0] >= 40).sum() + (
        codes[:, 0] == -1
    ).sum()


def _missing_as(codes, missing):
    out = codes.astype(object)
    out[pd.isna(codes)] = missing
    return out


# Where users keep codes with missing values: each carrier holds the same codes.
CARRIERS = {
    "float32": lambda c: c.astype("float32"),
    "None": lambda c: _missing_as(c, None),
    "pd.NA": lambda c: _missing_as(c, pd.NA),
    "Int64": lambda c: c.astype("Int64"),
    "Float64": lambda c: c.astype("Float64"),
    "int64[pyarrow]": lambda c: c.astype("int64[pyarrow]"),
}


@pytest.mark.parametrize("shape", [(4, 2), (30, 3), (2000, 4)])
@pytest.mark.parametrize(
    "frame, carrier", [(False, c) for c in list(CARRIERS)[:3]] + [(True, c) for c in CARRIERS]
)
def test_missing_codes_decode_as_nan_codes(frame, carrier, shape):
    if "pyarrow" in carrier:
        pytest.importorskip("pyarrow")
    rng = np.random.default_rng(sum(shape))
    table = np.vectorize("t{}".format, otypes=[object])(rng.integers(0, 13, shape))
    table[:, -1] = rng.integers(0, 9, shape[0]).astype(float)  # a numeric column passes through
    table[rng.random(shape) < 0.2] = np.nan
    enc = Encoder()
    codes, _ = enc.encode(pd.DataFrame(table).rename(columns=str) if frame else table)
    got, want = (pd.DataFrame(enc.decode(c)) for c in (CARRIERS[carrier](codes), codes))
    pd.testing.assert_frame_equal(got, want)


@pytest.mark.parametrize("missing", [None, pd.NA])
@pytest.mark.parametrize("dtype", [None, object, "str", "string[pyarrow]", "category"])
def test_missing_cells_of_a_text_column_take_the_missing_code(missing, dtype):
    if dtype == "string[pyarrow]":
        pytest.importorskip("pyarrow")
    rng = np.random.default_rng(5)
    # Long enough for the pooled walk, whose texts are distinct strs.
    column = np.array(["t" + str(k) for k in rng.integers(0, 30, 70_000)], dtype=object)
    gaps = rng.random(len(column)) < 0.2
    got, want = (np.where(gaps, fill, column) for fill in (missing, np.nan))
    enc = fitted()
    if dtype is None:  # an ndarray
        got, want = (pd.DataFrame(enc.decode(c[:, None])) for c in (got, want))
    else:
        pairs = ((got, dtype), (want, object))
        got, want = (enc.decode(pd.DataFrame({"x": pd.Series(c, dtype=d), "y": 0.0})) for c, d in pairs)
    pd.testing.assert_frame_equal(got, want)
