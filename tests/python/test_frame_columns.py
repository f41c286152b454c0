"""DataFrames are read column by column, never through `values`, whatever their dtypes.

That the results equal those of `values` is shown over a catalogue of dtypes in
test_frame_dtypes.py; these tests show that the frame never goes there, and the
few cases where only `values` can say what a column holds.
"""

import decimal
import itertools

import numpy as np
import pandas as pd
import pytest

import vorpak

N = 40_000  # above the size where a frame is worth reading column by column


@pytest.fixture
def values_reads(monkeypatch):
    """Counts the reads of DataFrame.values while a test runs."""
    reads = []
    plain = pd.DataFrame.values

    def counted(frame):
        reads.append(1)
        return plain.fget(frame)

    monkeypatch.setattr(pd.DataFrame, "values", property(counted))
    return reads


def texts(n, k=50):
    return np.array([f"t{i % k:03d}" for i in range(n)], dtype=object)


def arrow_columns():
    pa = pytest.importorskip("pyarrow")
    try:
        with_nan = pd.StringDtype("pyarrow", na_value=np.nan)
    except TypeError:
        pytest.skip("this pandas has no string dtype with NaN for missing")
    chunked = pa.chunked_array([pa.array(texts(N // 2)), pa.array(texts(N - N // 2))])
    return {
        "str": pd.Series(texts(N), dtype=with_nan),
        "string[pyarrow]": pd.Series(texts(N), dtype="string[pyarrow]"),
        "ArrowDtype string": pd.Series(texts(N), dtype=pd.ArrowDtype(pa.string())),
        "ArrowDtype large_string": pd.Series(texts(N), dtype=pd.ArrowDtype(pa.large_string())),
        "chunked": pd.Series(pd.arrays.ArrowStringArray(chunked)),
    }


OTHER_COLUMNS = {
    "categorical": lambda: pd.Categorical(texts(N)),
    "Int64": lambda: pd.array(np.arange(N), dtype="Int64"),
    "datetime": lambda: pd.date_range("2020-01-01", periods=N, freq="h"),
    "object": lambda: texts(N),
}


@pytest.mark.parametrize("kind", ["str", "string[pyarrow]", "ArrowDtype string",
                                  "ArrowDtype large_string", "chunked", *OTHER_COLUMNS])
def test_frames_never_go_through_values(kind, values_reads):
    column = arrow_columns()[kind] if kind not in OTHER_COLUMNS else OTHER_COLUMNS[kind]()
    frame = pd.DataFrame({"text": texts(N), "odd": column, "number": np.arange(N, dtype=float)})
    encoder = vorpak.Encoder()
    codes, _ = encoder.encode(frame)
    assert values_reads == []
    expected, _ = vorpak.Encoder().encode(frame.to_numpy())
    np.testing.assert_array_equal(codes.to_numpy(), expected)


def arrow_texts(pieces, rows):
    pa = pytest.importorskip("pyarrow")
    pieces = (pieces * rows)[:rows]
    offsets = np.cumsum([0] + [len(piece) for piece in pieces]).astype(np.int32)
    data = [None, pa.py_buffer(offsets.tobytes()), pa.py_buffer(b"".join(pieces))]
    return pd.arrays.ArrowExtensionArray(pa.Array.from_buffers(pa.string(), len(pieces), data))


def arrow_categories(pieces, rows):
    # As pandas builds them without checking: a valid one checks its categories through str.
    from pandas.core.arrays.string_arrow import ArrowStringArray
    texts = ArrowStringArray(arrow_texts(pieces, len(pieces))._pa_array)
    dtype = pd.CategoricalDtype._from_fastpath(pd.Index(texts))
    return pd.Categorical.from_codes(np.arange(rows) % 2, dtype=dtype, validate=False)


# Bytes that are UTF-8 only when the texts are read end to end, past a first
# text that is (a categorical converts it); long enough for the frame to be
# read column by column.
@pytest.mark.parametrize(
    "pieces", [[b"ok", b"\xffx"], [b"a", b"ok\xc3", b"\xa9x"], [b"a", b"", b"\xe6\x9d", b"\xb1"]])
@pytest.mark.parametrize("make", [arrow_texts, arrow_categories])
def test_arrow_bytes_that_are_not_utf8_fail_as_values_does(panic_type, make, pieces):
    rows = 1 << 15
    frame = pd.DataFrame({"s": pd.Series(make(pieces, rows)), "f": np.arange(rows, dtype=float)})
    with pytest.raises(Exception) as through_values:
        frame.values
    with pytest.raises(panic_type, match="cannot read the values") as raised:
        vorpak.Encoder().encode(frame)
    assert type(through_values.value).__name__ in str(raised.value)


class Shouting:
    """A category whose text is made by Python code, once per cell."""

    calls = 0

    def __init__(self, word):
        self.word = word

    def __str__(self):
        Shouting.calls += 1
        return self.word.upper()

    def __float__(self):
        raise TypeError("not a number")

    def __hash__(self):
        return hash(self.word)

    def __eq__(self, other):
        return isinstance(other, Shouting) and other.word == self.word


def test_categories_that_run_python_code_run_it_per_cell_in_column_order():
    words = [Shouting("b"), Shouting("a")]
    frame = pd.DataFrame({
        "cat": pd.Categorical([words[i % 2] for i in range(10)] + [None]),
        "str": pd.Series(list("xyzxyzxyzxy"), dtype="str"),
    })
    hash(frame["cat"].dtype)  # pandas hashes the categories once, on either road
    Shouting.calls = 0
    codes, _ = vorpak.Encoder().encode(frame)
    per_frame = Shouting.calls
    values = frame.values  # which may hash the categories too
    Shouting.calls = 0
    expected, _ = vorpak.Encoder().encode(values)
    # Once per cell, as through `values`; some pandas versions also hash the
    # categories through str() once more while looking at the frame's dtypes.
    assert Shouting.calls == 10
    assert 10 <= per_frame <= 10 + len(words)
    np.testing.assert_array_equal(codes.to_numpy(), expected)


def test_a_column_without_plain_cells_does_not_change_the_others():
    decimal = pytest.importorskip("decimal")
    frame = pd.DataFrame({
        "a": pd.Series(texts(N), dtype="str"),
        "dec": [decimal.Decimal(i % 7) / 2 for i in range(N)],
        "c": pd.Categorical(texts(N, 9)),
    })
    encoder, through_values = vorpak.Encoder(), vorpak.Encoder()
    np.testing.assert_array_equal(encoder.encode(frame)[0].to_numpy(),
                                  through_values.encode(frame.values)[0])
    assert encoder.__getstate__() == through_values.__getstate__()


class WritesToTheFrame:
    """A cell whose str() changes other columns of its frame, the first time only."""

    frame = None

    def __str__(self):
        frame, WritesToTheFrame.frame = WritesToTheFrame.frame, None
        if frame is not None:
            frame.loc[1, "cat"] = "unused"
            frame.loc[5, "dec"] = "text"
        return "w"


@pytest.mark.parametrize("order", list(itertools.permutations(["cat", "obj", "dec"])))
def test_columns_read_as_they_were_before_a_cell_ran_code(order):
    n = 70_000
    columns = {
        "cat": pd.Categorical(["a", "b"] * (n // 2), categories=["a", "b", "unused"]),
        "obj": np.array([WritesToTheFrame()] + ["t"] * (n - 1), dtype=object),
        "dec": np.array([decimal.Decimal(1)] * n, dtype=object),
    }
    frame = pd.DataFrame({name: columns[name] for name in order})
    values = frame.values.copy()
    WritesToTheFrame.frame = frame
    codes, _ = vorpak.Encoder().encode(frame)
    assert WritesToTheFrame.frame is None  # the cell ran its code
    expected, _ = vorpak.Encoder().encode(values)
    np.testing.assert_array_equal(codes.to_numpy(), expected)
