"""Reading NumPy arrays through their memory gives what item access gives."""
import math

import numpy as np
import pandas as pd
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st
from hypothesis.extra import numpy as hnp

from conftest import parse
from vorpak import Encoder


class ndarray(np.ndarray):  # noqa: N801 - its name is what gets it accepted
    """An array whose item access is its own, so every cell takes the general road."""

    def __getitem__(self, key):
        return super().__getitem__(key)


def general(array):
    return array.view(ndarray)


def outcome(data):
    enc = Encoder()
    try:
        codes, columns = enc.encode(data)
    except BaseException as exc:  # noqa: BLE001 - faults are part of the outcome
        return ("raised", type(exc).__name__, str(exc))
    codes = np.asarray(codes)
    state = parse(enc.__getstate__())[0]
    return codes.tobytes(), codes.shape, columns, decode_view(enc, codes), state


def decode_view(enc, codes):
    back = enc.decode(np.asarray(codes))
    return [repr(v) for v in back.ravel().tolist()]


def assert_same(array):
    assert outcome(array) == outcome(general(array))


class Texty:
    def __init__(self, text):
        self.text = text

    def __str__(self):
        return self.text


class Floaty:
    def __float__(self):
        return 2.5


cells = st.one_of(
    st.text(max_size=4),
    st.sampled_from(["nan", "NaN", "<NA>", "", "1", "1.0", "a", "é"]),
    st.floats(allow_nan=True, width=64),
    st.integers(-(2**70), 2**70),
    st.booleans(),
    st.none(),
    st.sampled_from([np.float32(1.5), np.int64(3), np.str_("s"), np.nan, -0.0]),
    st.builds(Texty, st.sampled_from(["x", "nan", "1"])),
    st.just(Floaty()),
)


@st.composite
def object_tables(draw):
    rows = draw(st.integers(0, 6))
    cols = draw(st.integers(0, 4))
    values = draw(st.lists(cells, min_size=rows * cols, max_size=rows * cols))
    array = np.empty((rows, cols), dtype=object)
    for k, v in enumerate(values):
        array[k // cols if cols else 0, k % cols if cols else 0] = v
    order = draw(st.sampled_from(["C", "F", "strided"]))
    if order == "F":
        array = np.asfortranarray(array)
    elif order == "strided" and rows and cols:
        big = np.empty((rows * 2, cols * 3), dtype=object)
        big[::2, ::3] = array
        array = big[::2, ::3]
    return array


@settings(max_examples=300, deadline=None)
@given(object_tables())
def test_object_arrays(array):
    assert_same(array)


numeric_dtypes = st.sampled_from(
    ["bool", "int8", "int16", "int32", "int64", "uint8", "uint16", "uint32", "uint64", "float32", "float64"]
)


@settings(max_examples=200, deadline=None)
@given(numeric_dtypes.flatmap(lambda d: hnp.arrays(d, hnp.array_shapes(min_dims=2, max_dims=2, min_side=0, max_side=5))))
def test_numeric_arrays(array):
    if array.dtype == np.float64:
        array = array.astype(">f8")  # native float64 takes the copy road
    assert_same(array)


@settings(max_examples=200, deadline=None)
@given(hnp.arrays(hnp.unicode_string_dtypes(max_len=4), hnp.array_shapes(min_dims=2, max_dims=2, max_side=5)))
def test_unicode_arrays(array):
    assert_same(array)


@pytest.mark.parametrize(
    "values",
    [
        ["a\x00", "a", "a\x00\x00b"],  # trailing NULs are not part of the text
        ["\ud800", "x"],  # a lone surrogate is repaired
        ["", "", "b"],
    ],
)
def test_unicode_edge_cells(values):
    array = np.array([[v] for v in values])
    assert_same(array)


def test_unicode_beyond_the_last_code_point_faults_alike():
    array = np.array([[0x61], [0x110000]], dtype=np.uint32).view("U1")
    first, second = outcome(array), outcome(general(array))
    assert first == second and first[0] == "raised"


@pytest.mark.parametrize("beyond", [None, (30_000, 2), (5, 3)])
def test_big_unicode_arrays_read_alike_on_the_pool(beyond):
    """Columns are read side by side on the worker threads; cells needing the
    general road (lone surrogates) and the first failing cell in column order
    must come out as a column-by-column walk has them."""
    rng = np.random.default_rng(7)
    words = np.array(["a", "b\x00", "", "é", "\ud800x", "nan", "\U0001f600"] + [f"w{i}" for i in range(300)])
    codes = np.asarray(words[rng.integers(0, len(words), (40_000, 4))], dtype="U3")
    if beyond is not None:
        raw = codes.view(np.uint32).reshape(40_000, 4, 3)
        raw[beyond[0], beyond[1], 0] = 0x110000
        raw[beyond[0] + 1, 0, 1] = 0x110001  # a later failure in an earlier column
    assert_same(codes)


def test_python_code_that_rebuilds_the_array_mid_walk():
    data = np.array([["a", "b"], ["c", "d"], ["e", "f"]], dtype=object)

    class Rebuild:
        def __str__(self):
            data.resize((1, 1), refcheck=False)  # moves or frees the cells
            return "r"

    data[1, 0] = Rebuild()
    with pytest.raises(BaseException):  # the table shrank under the walk
        Encoder().encode(data)


def test_none_slots_read_as_none():
    array = np.empty((2, 1), dtype=object)
    array[1, 0] = "z"
    assert_same(array)
    enc = Encoder()
    codes, _ = enc.encode(array)
    assert enc.decode(codes).ravel().tolist() == ["None", "z"]


def big_frame(seed, with_objects):
    rng = np.random.default_rng(seed)
    n = 20_000
    words = np.array(["b", "a", "nan", "", "é", "1.0"], dtype=object)
    columns = {
        "o": words[rng.integers(0, len(words), n)],
        "f": np.where(rng.random(n) < 0.1, np.nan, rng.random(n)),
        "i": rng.integers(-5, 5, n),
        "u8": rng.integers(0, 200, n).astype(np.uint8),
        "f32": rng.random(n).astype(np.float32),
        "b": rng.random(n) < 0.5,
        "s": pd.array(np.where(rng.random(n) < 0.1, None, words[rng.integers(0, 2, n)]), dtype="str"),
        "S": pd.array(np.where(rng.random(n) < 0.1, None, words[rng.integers(0, 2, n)]), dtype="string"),
    }
    mixed = np.array([1, 2.5, None, True, "t"], dtype=object)
    columns["m"] = mixed[rng.integers(0, len(mixed), n)]
    if with_objects:
        columns["m"][n // 2] = Texty("late")  # runs Python code: the walk must go through values
    return pd.DataFrame(columns)


@pytest.mark.parametrize("seed", [0, 1])
@pytest.mark.parametrize("with_objects", [False, True])
def test_big_frames_read_like_their_values(seed, with_objects):
    frame = big_frame(seed, with_objects)
    assert outcome(frame) == outcome(general(np.asarray(frame.values)))


def test_frames_read_like_their_values():
    frame = pd.DataFrame(
        {
            "o": ["b", None, "a"],
            "f": [1.5, np.nan, 2.0],
            "i": [1, 2, 3],
            "s": pd.array(["x", None, "y"], dtype="string"),
            "c": pd.Categorical(["u", "v", "u"]),
        }
    )
    assert outcome(frame) == outcome(general(np.asarray(frame.values)))


def small_frame():
    return pd.DataFrame(
        {
            "o": ["b", None, "a", "nan"],
            "f": [1.5, np.nan, 2.0, -0.0],
            "i": [1, 2, 3, -4],
            "b": [True, False, True, True],
            "s": pd.array(["x", None, "y", "x"], dtype="string"),
            "t": pd.array(["x", None, "", "y"], dtype="str"),
            "m": np.array([1, 2.5, None, "t"], dtype=object),
        }
    )


own_column_arrays = pd.DataFrame._iter_column_arrays


def wrong_length(frame):
    return (array[:-1] for array in own_column_arrays(frame))


def too_many(frame):
    yield from own_column_arrays(frame)
    yield np.zeros(len(frame))


def raising(frame):
    yield np.zeros(len(frame))
    raise RuntimeError("boom")


def categorical_first(frame):
    arrays = list(own_column_arrays(frame))
    return [pd.Categorical(arrays[0]), *arrays[1:]]


@pytest.mark.parametrize(
    "iterator", [own_column_arrays, wrong_length, too_many, raising, categorical_first, 42]
)
def test_small_frames_read_like_their_values(monkeypatch, iterator):
    """pandas' column iterator is used where it behaves; anything odd from it
    falls back to `values` with the same outcome."""
    frame = small_frame()
    expected = outcome(general(np.asarray(frame.values)))
    calls = []

    def counted(self):
        calls.append(self)
        return iterator(self) if callable(iterator) else iterator

    monkeypatch.setattr(pd.DataFrame, "_iter_column_arrays", counted)
    assert outcome(frame) == expected
    assert calls


def frame_decoded_step_by_step(enc, codes, encoded):
    """Decoding rebuilt from its definition: a float frame, then each encoded
    column turned to object and assigned its texts (None where there is none)."""
    texts = enc.decode(codes.to_numpy())
    frame = pd.DataFrame(codes.to_numpy(), columns=list(codes.columns))
    for j in encoded:
        values = [None if t == "NaN" else t for t in texts[:, j]]
        frame.isetitem(j, frame.iloc[:, j].astype("object"))
        frame.iloc[:, j] = values
    return frame


@pytest.mark.parametrize(
    "frame",
    [
        pd.DataFrame({"a": ["x", "y", None, "x"], "b": [1.0, 2.0, 3.0, 4.0], "c": ["p", "q", "r", "nan"]}),
        pd.DataFrame([["a", "q", 1.0], ["b", "p", 2.0]], columns=["k", "k", "n"]),
        pd.DataFrame({"a": pd.Series([], dtype=object), "b": pd.Series([], dtype=float)}),
        pd.DataFrame({"only": ["nan", "NaN"]}),
    ],
)
def test_frame_decode_matches_its_definition(frame):
    enc = Encoder()
    codes, encoded = enc.encode(frame)
    codes.iloc[0:1] = -1.0 if len(codes) else codes.iloc[0:1]
    got = enc.decode(codes)
    expected = frame_decoded_step_by_step(enc, codes, encoded)
    pd.testing.assert_frame_equal(got, expected, check_index_type=True, check_column_type=True)
    assert type(got.index) is type(expected.index)
    assert got.columns.dtype == expected.columns.dtype
    for j in encoded:
        assert all(v is None or type(v) is str for v in got.iloc[:, j])


@pytest.mark.parametrize("seed", [0, 1])
def test_big_object_arrays_match_item_access(seed):
    # Enough rows for the pool to split the work into several row ranges.
    rng = np.random.default_rng(seed)
    n = 70_000
    words = np.array(["b", "a", "nan", "", "é", "1.0", "<NA>"] + [f"w{i}" for i in range(500)], dtype=object)
    array = np.empty((n, 4), dtype=object)
    array[:, 0] = words[rng.integers(0, len(words), n)]
    array[:, 1] = rng.random(n)
    array[n // 2 :, 1] = words[rng.integers(0, len(words), n - n // 2)]  # turns half-way down
    array[:, 2] = [str(i) for i in rng.integers(0, 50, n)]  # equal texts, distinct objects
    array[:, 3] = rng.integers(0, 3, n)
    array[::7, 3] = None
    assert_same(array)


@pytest.mark.parametrize("seed", [0, 1])
@pytest.mark.parametrize("order", ["C", "F"])
def test_columns_of_mostly_distinct_strs_match_item_access(seed, order):
    """Columns whose strs are nearly all distinct objects are numbered by
    sorting their addresses; text ids, repeats, equal texts in distinct objects
    and markers must come out as item access has them."""
    rng = np.random.default_rng(seed)
    n = 40_000
    array = np.empty((n, 3), dtype=object)
    array[:, 0] = [f"t{i}é" if i % 3 else f"t{i}" for i in rng.integers(0, 10 * n, n)]
    array[:: 97, 0] = "nan"  # one object, repeated
    array[1::89, 0] = [str(k) for k in range(len(array[1::89, 0]))]  # equal texts elsewhere too
    array[2::101, 0] = 2.5  # numbers in a text column
    array[:100, 1] = rng.random(100)  # numbers above the turn
    array[100:, 1] = [f"u{i}" for i in rng.integers(0, 10 * n, n - 100)]
    array[::13, 1] = None
    array[:, 2] = [f"{i}" for i in rng.integers(0, 20 * n, n)]
    assert_same(np.asarray(array, order=order))
