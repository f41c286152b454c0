"""A DataFrame encodes exactly as its `values` array does, whatever its columns' dtypes.

Each case encodes a frame with one Encoder and the frame's `values` with another, and
compares everything the two leave behind: codes, encoded columns, pickled tables, what
decoding gives, and the error when there is one. Frames whose columns the encoder can read
one by one and frames it reads through `values` must both pass, so every column kind pandas
has is tried alone, beside an object text column and a float column, and beside another kind,
in frames below and above the size at which the pool takes over.
"""
import functools
import pickle
import warnings

import numpy as np
import pandas as pd
import pytest

from conftest import parse, run_python
from vorpak import Encoder

# Frames mixing sparse columns of different fill values warn when `values` joins them.
pytestmark = pytest.mark.filterwarnings("ignore::pandas.errors.PerformanceWarning")

SMALL = 7
# Just above 65,536 cells whatever the frame's width: the pool does the column work.
LARGE_ROWS = {1: 66_000, 2: 33_000, 3: 22_000}
SIZES = ["small", "large"]


def rows_for(size, ncols):
    return SMALL if size == "small" else LARGE_ROWS[ncols]


# ---------------------------------------------------------------------------
# The comparison


def encode_outcome(table):
    enc = Encoder()
    try:
        result = enc.encode(table)
    except (KeyboardInterrupt, SystemExit):
        raise
    except BaseException as exc:  # noqa: BLE001 - PanicException is a BaseException
        return enc, None, exc
    return enc, result, None


def assert_same_cells(got, want, what):
    """Cell by cell: same type and value, a float NaN matching a float NaN."""
    got = np.asarray(got, dtype=object)
    want = np.asarray(want, dtype=object)
    assert got.shape == want.shape, what
    width = got.shape[-1] if got.ndim == 2 else 1
    got, want = got.ravel(), want.ravel()
    got_types = list(map(type, got.tolist()))
    want_types = list(map(type, want.tolist()))
    if got_types == want_types:
        bad = np.zeros(got.size, dtype=bool)
    else:
        bad = np.array([a is not b for a, b in zip(got_types, want_types)], dtype=bool)
    unequal = np.flatnonzero(~bad & ~(got == want).astype(bool))
    floats = unequal[[got_types[k] is float for k in unequal]].astype(np.intp)
    both_nan = np.isnan(got[floats].astype(float)) & np.isnan(want[floats].astype(float))
    bad[unequal] = True
    bad[floats[both_nan]] = False
    at = np.flatnonzero(bad)
    shown = [(divmod(int(k), width), got[k], want[k]) for k in at[:5]]
    assert not at.size, f"{what}: {at.size} cells differ, first (row, col), got, want: {shown}"


def assert_same_decoded_frames(got, want, what):
    assert isinstance(got, pd.DataFrame) and isinstance(want, pd.DataFrame), what
    assert list(got.columns) == list(want.columns), what
    assert got.dtypes.tolist() == want.dtypes.tolist(), what
    assert_same_cells(got.to_numpy(dtype=object), want.to_numpy(dtype=object), what)


def assert_frame_encodes_as_values(frame):
    """`Encoder().encode(frame)` leaves exactly what `Encoder().encode(frame.values)` leaves."""
    try:
        values = frame.values
    except Exception as exc:  # noqa: BLE001 - whatever pandas meets on the way
        # No cells to match (pandas hashes categories through str(), for one): the frame
        # must be refused too, not given codes, and the encoder left as it was.
        by_frame, _, frame_error = encode_outcome(frame)
        assert frame_error is not None, f"the frame has no values ({exc!r}) but was encoded"
        assert by_frame.__getstate__() == Encoder().__getstate__()
        return
    if values.dtype == np.float64:
        # A float64 array is copied and leaves the encoder unfitted, while a frame always
        # has its cells read and is fitted (with no columns when none holds text): the same
        # numbers as objects take the road of the frame.
        values = values.astype(object)
    by_values, expected, values_error = encode_outcome(values)
    by_frame, got, frame_error = encode_outcome(frame)

    if values_error is not None:
        assert frame_error is not None, f"values raised {values_error!r}, the frame did not"
        assert type(frame_error) is type(values_error)
        assert str(frame_error) == str(values_error)
        assert by_frame.__getstate__() == by_values.__getstate__()
        return
    if frame_error is not None:
        raise AssertionError(f"the frame raised, its values did not: {frame_error!r}")

    frame_codes, frame_columns = got
    array_codes, array_columns = expected
    assert frame_columns == array_columns

    assert isinstance(frame_codes, pd.DataFrame)
    assert all(dtype == np.float64 for dtype in frame_codes.dtypes)
    codes = frame_codes.to_numpy()
    np.testing.assert_array_equal(codes, array_codes, strict=True)
    np.testing.assert_array_equal(np.signbit(codes), np.signbit(array_codes))

    frame_state = by_frame.__getstate__()
    values_state = by_values.__getstate__()
    assert parse(frame_state) == parse(values_state)
    assert frame_state == values_state
    assert pickle.dumps(by_frame) == pickle.dumps(by_values)

    # Each encoder decodes each output as the other does.
    frame_decoded = by_frame.decode(frame_codes)
    array_decoded = by_values.decode(array_codes)
    assert_same_decoded_frames(
        by_values.decode(frame_codes), frame_decoded, "decoding the frame's codes"
    )
    assert_same_cells(by_frame.decode(array_codes), array_decoded, "decoding the array's codes")
    # And the two outputs decode to the same cells, but that a decoded frame leaves a
    # cell without a text None where a decoded array writes "NaN".
    frame_cells = np.array(frame_decoded.to_numpy(dtype=object), copy=True)
    if array_columns:
        for j in array_columns:
            column = frame_cells[:, j]
            column[[cell is None for cell in column]] = "NaN"
    assert_same_cells(frame_cells, array_decoded, "the decoded frame against the decoded array")


# ---------------------------------------------------------------------------
# Column makers. Each takes a row count and gives an array-like of that many cells;
# the same few distinct cells repeat, so large columns stay cheap to check.

TEXTS = ["b", "a", "é", "€uro", "🙂 x", "", "nan", "NaN", "<NA>", "None", "Zz", "10", "9"]
MISSING_AT = {
    "none": lambda n: [],
    "start": lambda n: [0, 1],
    "middle": lambda n: [n // 2],
    "end": lambda n: [n - 1],
    "spread": lambda n: [0, n // 3, n // 2, n - 1],
    "all": lambda n: list(range(n)),
}


def indices(n, distinct, missing="middle"):
    """Positions into `distinct` values cycling down the rows, -1 where a cell is missing."""
    idx = np.arange(n, dtype=np.int64) % distinct
    idx[MISSING_AT[missing](n)] = -1
    return idx


def text_list(n, missing="middle", texts=TEXTS):
    return [None if k < 0 else texts[k] for k in indices(n, len(texts), missing)]


def arrow():
    return pytest.importorskip("pyarrow")


def take(array, n, missing="middle"):
    """An extension array of n cells drawn from `array`, missing where `missing` says."""
    return array.take(indices(n, len(array), missing), allow_fill=True)


def with_missing(array, n, missing_value, missing="middle"):
    """A NumPy column of n cells drawn from `array`, `missing_value` where missing."""
    idx = indices(n, len(array), missing)
    out = np.asarray(array).take(np.maximum(idx, 0))
    if missing_value is not None or out.dtype == object:
        out[idx < 0] = missing_value
    return out


# Text storages: the dtype the texts are held in, from a list of str and None.


def object_texts(missing_value):
    def build(texts):
        return np.array([missing_value if t is None else t for t in texts], dtype=object)

    return build


def string_dtype_of(storage, na_value):
    """pandas' string dtype with this missing value; pandas before 2.3 has only pd.NA."""
    if storage == "pyarrow":
        arrow()
    try:
        return pd.StringDtype(storage, na_value=na_value)
    except TypeError:
        if na_value is pd.NA:
            return pd.StringDtype(storage)
        pytest.skip("this pandas has no string dtype with NaN for missing")


def string_dtype(storage, na_value):
    def build(texts):
        return pd.array(texts, dtype=string_dtype_of(storage, na_value))

    return build


def arrow_dtype(type_name):
    def build(texts):
        pa = arrow()
        arrow_type = getattr(pa, type_name)()
        chunked = pa.chunked_array([pa.array(texts, arrow_type)], arrow_type)
        return pd.arrays.ArrowExtensionArray(chunked)

    return build


STORAGES = {
    "object-None": object_texts(None),
    "object-nan": object_texts(np.nan),
    "object-NA": object_texts(pd.NA),
    "str-pyarrow": string_dtype("pyarrow", np.nan),
    "str-python": string_dtype("python", np.nan),
    "string-pyarrow": string_dtype("pyarrow", pd.NA),
    "string-python": string_dtype("python", pd.NA),
    "arrow-string": arrow_dtype("string"),
    "arrow-large_string": arrow_dtype("large_string"),
    "arrow-string_view": arrow_dtype("string_view"),
}
ARROW_STORAGES = [name for name in STORAGES if "pyarrow" in name or name.startswith("arrow-")]


def require_numpy_form(array):
    """Skips when pandas cannot give this array's cells to NumPy, so no frame `values` exist."""
    try:
        pd.DataFrame({"p": array[:3], "q": [1.0, 2.0, 3.0]}).values
        pd.DataFrame({"p": array[:3]}).values
    except Exception as exc:  # noqa: BLE001 - whatever this pandas cannot do
        pytest.skip(f"pandas cannot turn {array.dtype} into NumPy cells: {exc!r}")
    return array


def rewrap(array, chunks):
    """The Arrow texts of `array`, as `chunks`, in an array of the same pandas dtype."""
    if isinstance(array.dtype, pd.StringDtype):
        return pd.arrays.ArrowStringArray(chunks, dtype=array.dtype)
    return pd.arrays.ArrowExtensionArray(chunks)


def texts_in(storage, texts, layout="whole"):
    """The texts in the storage, in one of the memory layouts an Arrow column can have."""
    build = STORAGES[storage]
    if layout == "whole":
        return require_numpy_form(build(texts))
    if layout == "iloc":
        # A Series sliced by position: its array starts inside a longer one.
        longer = build(["x", None, "y"] + texts + ["z"])
        series = pd.Series(longer).iloc[3 : 3 + len(texts)].reset_index(drop=True)
        return require_numpy_form(series.array)
    pa = arrow()
    typed = build(texts)
    arrow_type = pa.array(typed).type
    if layout == "offset":
        # One chunk that is a slice at offset 3 of a longer Arrow array.
        sliced = pa.array(["x", None, "y"] + texts, arrow_type).slice(3)
        return require_numpy_form(rewrap(typed, pa.chunked_array([sliced], arrow_type)))
    if layout == "ragged":
        # Chunks whose edges miss the halves, thirds and quarters of the rows.
        a, b = len(texts) // 2 - 3, len(texts) // 2 + 5
        pieces = [texts[:7], texts[7:a], texts[a:b], ["x"] + texts[b:]]
        chunks = [pa.array(piece, arrow_type) for piece in pieces]
        return require_numpy_form(rewrap(typed, pa.chunked_array(chunks[:3] + [chunks[3].slice(1)])))
    assert layout == "chunked"
    # Uneven chunks, an empty one among them, the last a slice with an offset.
    a, b = len(texts) // 3, len(texts) // 2
    pieces = [
        pa.array(texts[:a], arrow_type),
        pa.array([], arrow_type),
        pa.array(texts[a:b], arrow_type),
        pa.array(["x", "y"] + texts[b:], arrow_type).slice(2),
    ]
    return require_numpy_form(rewrap(typed, pa.chunked_array(pieces, arrow_type)))


def texts_column(storage, missing="middle", layout="whole"):
    return lambda n: texts_in(storage, text_list(n, missing), layout)


# Categoricals: codes running through the categories, -1 where missing.


def categorical(categories, missing="middle", ordered=False, used=None):
    def build(n):
        cats = categories() if callable(categories) else categories
        distinct = used if used is not None else len(cats)
        codes = indices(n, distinct, missing)
        dtype = pd.CategoricalDtype(cats, ordered=ordered)
        return pd.Categorical.from_codes(codes, dtype=dtype)

    return build


def arrow_categories(type_name):
    def build():
        pa = arrow()
        arrow_type = pd.ArrowDtype(getattr(pa, type_name)())
        return pd.Index(pd.array(["b", "a", "é", "€"], dtype=arrow_type))

    return build


def string_categories(storage, na_value):
    def build():
        return pd.Index(["b", "a", "é", "nan"], dtype=string_dtype_of(storage, na_value))

    return build


def many_categories(storage, layout="whole", count=3000):
    """`count` distinct texts, markers and non-ASCII among them, in the storage and layout."""
    texts = [TEXTS[k] if k < len(TEXTS) else f"{TEXTS[k % len(TEXTS)]}~{k}" for k in range(count)]
    return lambda: pd.Index(texts_in(storage, texts, layout))


# Nullable and Arrow numbers, dates, and the rest.


def floating_with_nan_and_na(n):
    # NaN and NA side by side: a NaN in the data under a False mask stays NaN.
    data = np.array([1.0, 2.5, np.nan, -0.0, 1e16, 3.0])[np.arange(n) % 6]
    mask = np.zeros(n, dtype=bool)
    mask[n // 2 :: 5] = True
    return pd.arrays.FloatingArray(data, mask)


def arrow_numbers(type_name, pylist):
    def build(n):
        pa = arrow()
        return take(pd.array(pylist, dtype=pd.ArrowDtype(getattr(pa, type_name)())), n)

    return build


def arrow_timestamps(n):
    pa = arrow()
    return take(pd.arrays.ArrowExtensionArray(pa.array(DATES.astype("M8[us]"))), n)


class Unprintable:
    """A cell whose str() fails: the error must be the same whichever road reads it."""

    def __init__(self, key):
        self.key = key

    def __hash__(self):
        return hash(self.key)

    def __eq__(self, other):
        return isinstance(other, Unprintable) and other.key == self.key

    def __str__(self):
        raise ValueError(f"no text for {self.key}")

    def __repr__(self):
        return f"Unprintable({self.key})"


DATES = np.array(["2024-01-01T00:00", "2024-03-05T10:30", "1999-12-31T23:59:59.25"], "M8[ns]")
SPANS = np.array([0, 90_000, -3_600_000_000_000, 1], "m8[ns]")

MAKERS = {
    # Plain NumPy columns.
    "int64": lambda n: (np.arange(n, dtype=np.int64) % 5) - 2,
    "int64-huge": lambda n: with_missing(np.array([2**53 + 1, -(2**62), 7]), n, None, "none"),
    "float64": lambda n: with_missing(np.array([1.0, -0.0, 0.5, 1e16, np.inf]), n, np.nan),
    "float32": lambda n: with_missing(np.array([1.0, 0.1, -2.5], np.float32), n, np.nan),
    "bool": lambda n: np.arange(n) % 3 == 0,
    "uint8": lambda n: (np.arange(n) % 250).astype(np.uint8),
    # Object columns.
    "object-str-None": lambda n: object_texts(None)(text_list(n)),
    "object-str-nan": lambda n: object_texts(np.nan)(text_list(n, "start")),
    "object-str-NA": lambda n: object_texts(pd.NA)(text_list(n, "spread")),
    "object-numbers-then-str": lambda n: with_missing(
        np.array([1.0, 2, True, 1e16, "a", 1.0, 2, True, 2.5], dtype=object), n, None
    ),
    "object-unprintable": lambda n: with_missing(
        np.array([1.5, "a", Unprintable(1)], dtype=object), n, None
    ),
    # pandas' string dtypes and Arrow texts.
    **{storage: texts_column(storage) for storage in STORAGES if "object" not in storage},
    "string-pyarrow-chunked": texts_column("string-pyarrow", "spread", "chunked"),
    "str-pyarrow-offset": texts_column("str-pyarrow", "start", "offset"),
    "arrow-large_string-iloc": texts_column("arrow-large_string", "end", "iloc"),
    # Categoricals.
    "cat-str": categorical(pd.Index(["b", "a", "é", "<NA>"], dtype=object)),
    "cat-str-ordered": categorical(["b", "a", "€"], ordered=True),
    "cat-str-unused": categorical(["z", "b", "a", "é", "q"], used=3),
    "cat-missing-start": categorical(["b", "a"], missing="start"),
    "cat-all-missing": categorical(["b", "a"], missing="all"),
    "cat-int": categorical([10, 2, -7]),
    "cat-int-no-missing": categorical([10, 2, -7], missing="none"),
    "cat-float": categorical([1.0, 2.5, -0.0, 1e16]),
    "cat-mixed-int-str": categorical(pd.Index([1, "a", 2, "b"], dtype=object)),
    "cat-mixed-float-str": categorical(pd.Index([1.0, 2.5, "a", 3.0], dtype=object)),
    "cat-bool-str": categorical(pd.Index([True, "a", False], dtype=object)),
    "cat-string-pyarrow": categorical(string_categories("pyarrow", pd.NA)),
    "cat-str-pyarrow": categorical(string_categories("pyarrow", np.nan), missing="spread"),
    "cat-str-python": categorical(string_categories("python", np.nan)),
    "cat-arrow-string": categorical(arrow_categories("string")),
    "cat-arrow-large_string": categorical(arrow_categories("large_string")),
    "cat-many-str-pyarrow": categorical(many_categories("str-pyarrow", "chunked"), "start", used=2000),
    "cat-many-string-pyarrow": categorical(many_categories("string-pyarrow", "offset"), "spread"),
    "cat-many-arrow-large_string": categorical(many_categories("arrow-large_string", "chunked")),
    "cat-many-object": categorical(many_categories("object-nan"), "start", used=2500),
    "cat-datetime": categorical(pd.DatetimeIndex(DATES)),
    "cat-datetime-tz": categorical(pd.DatetimeIndex(DATES).tz_localize("Europe/Oslo")),
    "cat-unprintable": categorical(pd.Index([Unprintable(1), Unprintable(2)], dtype=object)),
    # Nullable numbers.
    "Int64": lambda n: take(pd.array([1, -2, 2**53 + 1], dtype="Int64"), n),
    "Int64-no-missing": lambda n: take(pd.array([1, -2, 3], dtype="Int64"), n, "none"),
    "Float64": floating_with_nan_and_na,
    "Float64-missing-start": lambda n: take(pd.array([1.0, 2.5], dtype="Float64"), n, "start"),
    "boolean": lambda n: take(pd.array([True, False], dtype="boolean"), n, "spread"),
    # Dates, durations, periods, intervals, sparse.
    "datetime64": lambda n: with_missing(DATES, n, np.datetime64("NaT", "ns")),
    "datetime64-tz": lambda n: take(pd.array(pd.DatetimeIndex(DATES).tz_localize("UTC")), n),
    "timedelta64": lambda n: with_missing(SPANS, n, np.timedelta64("NaT", "ns")),
    "period": lambda n: take(pd.period_range("2024-01", periods=4, freq="M").array, n),
    "interval": lambda n: take(pd.arrays.IntervalArray.from_breaks([0, 1, 2.5, 10]), n),
    "sparse-float": lambda n: pd.arrays.SparseArray(
        with_missing(np.array([0.0, 0.0, 1.5, 0.0]), n, np.nan), fill_value=0.0
    ),
    "sparse-object": lambda n: pd.arrays.SparseArray(
        object_texts(None)(text_list(n, "middle", ["a", "a", "b", "a", "é"])),
        dtype=pd.SparseDtype(object, fill_value="a"),
    ),
    # Arrow numbers.
    "arrow-int64": arrow_numbers("int64", [1, -2, 2**53 + 1]),
    "arrow-double": arrow_numbers("float64", [1.0, 2.5, -0.0]),
    "arrow-bool": arrow_numbers("bool_", [True, False]),
    "arrow-timestamp-us": arrow_timestamps,
}


@functools.cache
def column(maker, n):
    return MAKERS[maker](n)


def frame_of(**columns):
    # pandas would read an object array of texts as its str dtype; these stay object.
    def keep(cells):
        if isinstance(cells, np.ndarray) and cells.dtype == object:
            return pd.Series(cells, dtype=object, copy=False)
        return cells

    return pd.DataFrame({label: keep(cells) for label, cells in columns.items()})


def object_text_column(n):
    return column("object-str-None", n)


def float_column(n):
    return column("float64", n)


def partners(maker):
    """Two other makers, of other kinds, spread through the catalogue."""
    names = list(MAKERS)
    at = names.index(maker)
    return [names[(at + step) % len(names)] for step in (1, len(names) // 2 + 1)]


# str() of a pandas date, duration or interval costs tens of microseconds a cell, on both
# roads: these run above the pool's size beside a text column only.
SLOW_CELLS = {
    "datetime64",
    "datetime64-tz",
    "timedelta64",
    "period",
    "interval",
    "cat-datetime",
    "cat-datetime-tz",
    "arrow-timestamp-us",
}


def cases(combos, large=lambda combo: True):
    """Each combination of makers, small and, where `large` says, large."""
    return [
        pytest.param(*combo, size, id="-".join(combo + (size,)))
        for combo in combos
        for size in (SIZES if large(combo) else ["small"])
    ]


def quick(combo):
    return not SLOW_CELLS.intersection(combo)


SINGLES = [(m,) for m in MAKERS]
PAIRS = [(m, p) for m in MAKERS for p in partners(m)]


# ---------------------------------------------------------------------------
# The catalogue, column by column


@pytest.mark.parametrize("maker, size", cases(SINGLES, quick))
def test_alone(maker, size):
    n = rows_for(size, 1)
    assert_frame_encodes_as_values(frame_of(x=column(maker, n)))


# A text column beside makes `values` an object array, which holds each column's cells.
@pytest.mark.parametrize("maker, size", cases(SINGLES))
def test_between_text_and_float(maker, size):
    n = rows_for(size, 3)
    frame = frame_of(text=object_text_column(n), x=column(maker, n), number=float_column(n))
    assert_frame_encodes_as_values(frame)


@pytest.mark.parametrize("maker, size", cases(SINGLES, lambda combo: False))
def test_first_before_text_and_float(maker, size):
    n = rows_for(size, 3)
    frame = frame_of(x=column(maker, n), text=object_text_column(n), number=float_column(n))
    assert_frame_encodes_as_values(frame)


# Large with the first partner of each maker only.
def first_partner(pair):
    return quick(pair) and pair[1] == partners(pair[0])[0]


@pytest.mark.parametrize("first, second, size", cases(PAIRS, first_partner))
def test_two_kinds(first, second, size):
    n = rows_for(size, 2)
    assert_frame_encodes_as_values(frame_of(x=column(first, n), y=column(second, n)))


# ---------------------------------------------------------------------------
# Texts in every storage, with missing cells anywhere, in every Arrow memory layout


def text_cases():
    for storage in STORAGES:
        layouts = ["whole", "iloc"] + (["offset", "chunked"] if storage in ARROW_STORAGES else [])
        for layout in layouts:
            for missing in MISSING_AT:
                # Missing cells spread over start, middle and end stand for the rest when large;
                # Arrow texts have a road of their own without missing cells.
                large = missing == "spread" or (missing == "none" and storage in ARROW_STORAGES)
                sizes = SIZES if large else ["small"]
                for size in sizes:
                    name = f"{storage}-{layout}-{missing}-{size}"
                    yield pytest.param(storage, layout, missing, size, id=name)


@pytest.mark.parametrize("storage, layout, missing, size", list(text_cases()))
def test_texts(storage, layout, missing, size):
    n = rows_for(size, 2)
    texts = texts_in(storage, text_list(n, missing), layout)
    # Texts only, then beside a float column, so that `values` holds numbers as well.
    assert_frame_encodes_as_values(frame_of(s=texts, t=texts))
    assert_frame_encodes_as_values(frame_of(number=float_column(n), s=texts))


# ---------------------------------------------------------------------------
# Cases where the road to text matters


@pytest.mark.parametrize("storage", [pytest.param(s, id=s) for s in STORAGES])
def test_missing_before_first_text_and_after(storage):
    # In an object array the missing cells above the first text are float NaN or pd.NA: a
    # NaN is read as a number until the column turns to text, pd.NA turns it at once.
    texts = [None, None, "a", None, "b", "a", None]
    s = texts_in(storage, texts)
    assert_frame_encodes_as_values(frame_of(s=s, number=float_column(7)))
    assert_frame_encodes_as_values(frame_of(number=float_column(7), s=s, t=s))


def test_categorical_float_category_above_and_below_first_text():
    # 1.0 read above the column's first text becomes "1", below it str(1.0) == "1.0".
    cats = pd.Index([1.0, "a", 2.5], dtype=object)
    codes = np.array([0, 2, 0, 1, 0, 2, -1, 1])
    cells = pd.Categorical.from_codes(codes, dtype=pd.CategoricalDtype(cats))
    frame = frame_of(number=float_column(8), c=cells, text=object_text_column(8))
    assert_frame_encodes_as_values(frame)
    enc = Encoder()
    enc.encode(frame)
    texts = parse(enc.__getstate__())[0][1][1]
    assert {"1", "1.0", "2.5", "a"} <= set(texts)


@pytest.mark.parametrize(
    "categories, numbers",
    [
        pytest.param(many_categories("str-pyarrow", "chunked"), 0, id="str-pyarrow"),
        pytest.param(many_categories("string-pyarrow"), 0, id="string-pyarrow"),
        pytest.param(lambda: pd.Index([1.5, 2, True, *TEXTS], dtype=object), 3, id="numbers-then-texts"),
    ],
)
def test_long_categorical_turning_in_a_later_row_range(categories, numbers):
    # Long columns are scanned in row ranges side by side: the turn, and the categories
    # used above and below it, must come out as one scan from the top finds them.
    n = 400_000
    cats = categories()
    codes = np.arange(n) % len(cats)
    codes[: 3 * n // 5] = np.arange(3 * n // 5) % (numbers + 1) - 1  # missing or numbers
    codes[3 * n // 5 :: 7] = -1
    cells = pd.Categorical.from_codes(codes, dtype=pd.CategoricalDtype(cats))
    assert_frame_encodes_as_values(frame_of(c=cells, number=float_column(n)))
    assert_frame_encodes_as_values(frame_of(c=cells))



@pytest.mark.parametrize("categories", [["b", "c", "d"], ["d", "b", "c"], ["b", "c", "d", "e"]])
@pytest.mark.parametrize("missing_at", [[], [9 * 4096 + 5], [299_999], slice(None, None, 7)])
def test_long_categoricals_coded_through_their_own_codes(categories, missing_at):
    # Sorted categories all in use are written from their own codes; a missing value met only
    # late must count once every category has been seen. Unsorted or unused ones go through
    # the table.
    codes = np.arange(300_000) % 3
    codes[missing_at] = -1
    cells = pd.Categorical.from_codes(codes, categories=categories)
    assert_frame_encodes_as_values(frame_of(c=cells, number=float_column(len(codes))))

# Long Arrow text columns are read in row ranges side by side, each with a table of its own,
# then joined. Mostly distinct texts, non-ASCII among them, some met in every range, but
# no marker: the number NaN's text stands only for nulls above the first text, the null's
# own only for those below. Nulls from the top to a first text in a later range, at the
# ranges' first rows, over whole ranges.
LONG_ROWS = 3 * 65_536 + 7
REPEATED = [t for t in TEXTS if t and t not in ("nan", "NaN", "<NA>")]
NULL_ROWS = {
    "none": lambda n: [],
    "late": lambda n: range(7 * n // 10),
    "edges": lambda n: [n * k // d + s for d in (2, 3, 4) for k in range(1, d) for s in (0, 1)],
    "gap": lambda n: range(n // 4, 3 * n // 4 + 1),
    "both": lambda n: [*range(n // 3 + 5), n // 2, 2 * n // 3, n - 1],
    "all": lambda n: range(n),
}
LONG_CASES = [
    tuple(case.split())
    for case in ("str-pyarrow whole late", "str-pyarrow ragged edges", "str-pyarrow offset gap",
                 "str-pyarrow ragged both", "str-pyarrow whole all", "string-pyarrow whole late",
                 "string-pyarrow ragged gap", "string-pyarrow whole all",
                 "arrow-large_string offset edges", "arrow-string_view ragged none")
]


@pytest.mark.parametrize("case", [pytest.param(c, id="-".join(c)) for c in LONG_CASES])
def test_long_arrow_texts_in_row_ranges(case):
    storage, layout, nulls = case
    n, r = LONG_ROWS, REPEATED
    texts = [r[i // 4 % len(r)] if i % 4 == 0 else f"{r[i % len(r)]}{i}" for i in range(n)]
    for i in NULL_ROWS[nulls](n):
        texts[i] = None
    # Beside a float column: a lone Arrow-typed column is read through `values`.
    if storage != "arrow-string_view":
        s = texts_in(storage, texts, layout)
        assert_frame_encodes_as_values(frame_of(s=s, number=float_column(n)))
        if case in LONG_CASES[::5]:  # two columns' ranges sharing the threads
            assert_frame_encodes_as_values(frame_of(s=s, number=float_column(n), t=s[::-1]))
        return
    # pandas gives views no `values`: they must encode as the same chunks of offsets do.
    pa, offsets = arrow(), texts_in("arrow-string", texts, layout)
    views = rewrap(offsets, pa.chunked_array([c.cast(pa.string_view()) for c in offsets._pa_array.chunks]))
    got, want = (encode_outcome(frame_of(s=a, number=float_column(n))) for a in (views, offsets))
    np.testing.assert_array_equal(got[1][0].to_numpy(), want[1][0].to_numpy(), strict=True)
    assert got[1][1] == want[1][1] and got[0].__getstate__() == want[0].__getstate__()


def test_long_arrow_texts_in_more_ranges_than_two():
    # Four threads: three ranges to a column, a middle one above the first text or wholly
    # null below it, and two columns of two ranges each.
    run = ["-q", "-p", "no:cacheprovider", "-k", "row_ranges", __file__]
    program = f"import sys, pytest; sys.exit(pytest.main({run!r}))"
    done = run_python(program, env={"RAYON_NUM_THREADS": "4"}, timeout=300)
    assert done.returncode == 0, done.stdout + done.stderr


def test_bool_categories_above_and_below_first_text():
    # True above the first text is the number 1, below it str(True).
    cats = pd.Index([True, "a", False], dtype=object)
    cells = pd.Categorical.from_codes([0, 2, 1, 0, 2], dtype=pd.CategoricalDtype(cats))
    assert_frame_encodes_as_values(frame_of(c=cells, number=float_column(5)))


def test_nullable_numbers_above_and_below_first_missing():
    # In an object array pd.NA is no number: the column turns to text there.
    frame = frame_of(
        i=pd.array([1, 2**53 + 1, None, 2**53 + 1, 1], dtype="Int64"),
        f=pd.array([1.0, 2.5, None, 1.0, 2.5], dtype="Float64"),
        b=pd.array([True, False, None, True, False], dtype="boolean"),
        text=object_text_column(5),
    )
    assert_frame_encodes_as_values(frame)


@pytest.mark.parametrize("size", SIZES)
def test_frame_over_one_object_block(size):
    # Columns that are strided views into one 2-D block.
    n = rows_for(size, 3)
    block = np.empty((n, 3), dtype=object)
    block[:, 0] = object_text_column(n)
    block[:, 1] = float_column(n)
    block[:, 2] = column("object-numbers-then-str", n)
    frame = pd.DataFrame(block, columns=["a", "b", "c"], dtype=object)
    assert frame._mgr.nblocks == 1
    assert_frame_encodes_as_values(frame)
    assert_frame_encodes_as_values(frame.iloc[3:])
    assert_frame_encodes_as_values(frame.iloc[::2])


@pytest.mark.parametrize("size", SIZES)
def test_sliced_frame_of_arrow_texts(size):
    n = rows_for(size, 2)
    frame = frame_of(s=column("string-pyarrow-chunked", n), c=column("cat-str", n))
    for part in (frame.iloc[5:], frame.iloc[1 : n - 1], frame.iloc[n // 2 : n // 2 + 3]):
        assert_frame_encodes_as_values(part)


@pytest.mark.parametrize("maker", [pytest.param(m, id=m) for m in MAKERS])
def test_no_rows_beside_text(maker):
    n = SMALL
    frame = frame_of(text=object_text_column(n), x=column(maker, n), number=float_column(n))
    assert_frame_encodes_as_values(frame.iloc[:0])


@pytest.mark.parametrize(
    "maker", [pytest.param(m, id=m) for m in MAKERS]
)
def test_no_rows_alone(maker):
    assert_frame_encodes_as_values(frame_of(x=column(maker, SMALL)).iloc[:0])


def test_invalid_utf8_in_arrow_texts_is_refused():
    # Arrow takes these bytes unchecked and pandas cannot give them to NumPy, so such a
    # frame has no `values` to match: it must be refused, not given codes, and leave the
    # encoder as it was.
    pa = arrow()
    offsets = pa.array([0, 1, 3, 4], pa.int32()).buffers()[1]
    arr = pa.Array.from_buffers(pa.string(), 3, [None, offsets, pa.py_buffer(b"a\xff\xfeb")])
    with pytest.raises(pa.ArrowInvalid):
        arr.validate(full=True)
    for texts in (pd.arrays.ArrowExtensionArray(arr), pd.arrays.ArrowStringArray(arr)):
        for frame in (frame_of(s=texts), frame_of(s=texts, number=[1.0, 2.0, 3.0])):
            with pytest.raises(Exception):
                frame.values
            assert_frame_encodes_as_values(frame)
            enc = Encoder()
            enc.encode(frame_of(s=["kept"]))
            before = enc.__getstate__()
            with pytest.raises(BaseException) as caught:
                enc.encode(frame)
            assert not isinstance(caught.value, KeyboardInterrupt)
            assert enc.__getstate__() == before
