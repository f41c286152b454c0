"""Which columns hold text, how their codes are assigned, and what breaks the driver."""
import math

import numpy as np
import pandas as pd
import pytest

from vorpak import Encoder

NAN_BITS = 0x7FF8000000000000


def encode_column(values):
    """Codes and decoded texts of a single object column."""
    enc = Encoder()
    out, columns = enc.encode(np.array([[v] for v in values], dtype=object))
    return out[:, 0], columns, enc


def codes_of(values):
    return [None if math.isnan(c) else int(c) for c in encode_column(values)[0]]


@pytest.mark.parametrize(
    "values, expected",
    [
        (["x", "x", "x"], [0, 0, 0]),
        (["b", "a", "b", "nan", "c"], [1, 0, 1, None, 2]),
        (["B", "a", "A"], [1, 2, 0]),
        (["10", "9", "2"], [0, 2, 1]),
        (["", "a"], [0, 1]),
        (["é", "z", "Z", "a"], [3, 2, 0, 1]),
        (["<NA>", "NaN", "a", "b", "nan"], [None, None, 0, 1, None]),
        (["nan", "<NA>", "NaN"], [None, None, None]),
        (["NAN", "Nan", "None", " nan", "<na>", "null"], [2, 3, 4, 0, 1, 5]),
        (["\U0001f600", "\uffff", "\u00ff"], [2, 1, 0]),
    ],
)
def test_codes_follow_byte_order_and_skip_markers(values, expected):
    assert codes_of(values) == expected


def byte_ranks(values):
    order = sorted(set(values), key=lambda t: t.encode())
    rank = {text: k for k, text in enumerate(order)}
    return [rank[v] for v in values]


@pytest.mark.parametrize(
    "values",
    [
        ["a", "a\0", "a\x01", "a\0\0\0\0\0\0\0", "a\0\0\0\0\0\0\0\0", "\0", ""],
        ["abcdefgh", "abcdefg", "abcdefgh\0", "abcdefghi", "abcdefgg\xff", "abcdefgi"],
        ["abcdefg\xe9", "abcdefg\x7f", "abcdefgé!", "abcdefg\U0001f600", "abcdefgz"],
        ["same-prefix-%d" % k for k in (10, 9, 100, 1, 0, 11)],
    ],
)
def test_long_shared_prefixes_keep_byte_order(values):
    assert codes_of(values) == byte_ranks(values)


def test_many_texts_with_long_shared_prefixes_keep_byte_order():
    rng = np.random.default_rng(5)
    alphabet = np.array(list("ab\0\x7f\xe9\U0001f600"))
    values = ["prefix" + "".join(rng.choice(alphabet, rng.integers(0, 9))) for _ in range(40_000)]
    assert codes_of(values) == byte_ranks(values)


def test_marker_cells_hold_the_canonical_nan():
    codes, _, _ = encode_column(["nan", "a", "<NA>", "NaN"])
    bits = codes.view(np.uint64)
    assert [int(b) for b in bits[[0, 2, 3]]] == [NAN_BITS] * 3


class TestTurningColumns:
    def test_numbers_above_the_first_text_use_plain_digits(self):
        codes, columns, enc = encode_column([1.0, 2, "x", 1.0, float("nan"), 1e16])
        # above: '1', '2'; below: 'x', '1.0', 'nan' (marker), '1e+16'
        texts = enc.decode(codes.reshape(-1, 1)).ravel().tolist()
        assert texts == ["1", "2", "x", "1.0", "NaN", "1e+16"]
        assert columns == [0]

    def test_nan_above_turns_into_marker_NaN(self):
        codes, _, _ = encode_column([float("nan"), "a"])
        assert math.isnan(codes[0]) and codes[1] == 0

    @pytest.mark.parametrize(
        "number, text",
        [
            (1.0, "1"),
            (2.5, "2.5"),
            (0.1, "0.1"),
            (100.0, "100"),
            (-3.0, "-3"),
            (0.0, "0"),
            (-0.0, "-0"),
            (1 / 3, "0.3333333333333333"),
            (1e16, "1" + "0" * 16),
            (1.5e-5, "0.000015"),
            (1e300, "1" + "0" * 300),
            (float("inf"), "inf"),
            (float("-inf"), "-inf"),
            (5e-324, "0." + "0" * 323 + "5"),
            (123456789012345678.0, "123456789012345680"),
            (True, "1"),
            (np.float32(0.1), "0.10000000149011612"),
            (np.int64(-7), "-7"),
        ],
    )
    def test_number_to_text(self, number, text):
        enc = Encoder()
        enc.encode(np.array([[number], ["zzz"]], dtype=object))
        decoded = enc.decode(np.array([[0.0], [1.0]])).ravel().tolist()
        assert decoded == sorted([text, "zzz"])

    def test_numbers_stay_numbers(self):
        data = np.array([[1, 2.5], [True, float("inf")], [np.int8(3), float("nan")]], dtype=object)
        out, columns = Encoder().encode(data)
        assert columns == []
        np.testing.assert_array_equal(out, [[1, 2.5], [1, np.inf], [3, np.nan]])

    def test_none_is_a_category_but_pandas_na_is_missing(self):
        codes, _, _ = encode_column(["a", None, pd.NA])
        assert codes[0] == 1 and codes[1] == 0 and math.isnan(codes[2])  # "None" < "a"

    def test_text_that_looks_numeric_stays_text(self):
        codes, _, enc = encode_column([1.0, "3.5", "1"])
        assert codes.tolist() == [0.0, 1.0, 0.0]


def test_mixed_object_table_from_the_reference_example():
    data = np.array([["a", 1.0], ["b", 2.0], [None, "x"]], dtype=object)
    enc = Encoder()
    out, columns = enc.encode(data)
    assert columns == [0, 1]
    assert enc.decode(out).tolist() == [["a", "1"], ["b", "2"], ["None", "x"]]


@pytest.mark.filterwarnings("ignore::numpy.exceptions.ComplexWarning")
@pytest.mark.parametrize(
    "data, expected",
    [
        (np.array([["1.0", "b"], ["a", "b"]]), [[0.0, 0.0], [1.0, 0.0]]),
        (np.array([[b"x"], [b"y"]]), [[0.0], [1.0]]),  # str(b'x') is "b'x'"
        (np.array([[1 + 2j]]), None),
        (np.array([["2020-01-01"]], dtype="datetime64[D]"), None),
    ],
)
def test_non_numeric_dtypes(data, expected):
    out, columns = Encoder().encode(data)
    assert out.dtype == np.float64
    if expected is not None:
        assert out.tolist() == expected


def test_string_dtype_never_reads_numbers():
    enc = Encoder()
    out, columns = enc.encode(np.array([["1.0"], ["2"]]))
    assert columns == [0]
    assert enc.decode(out).ravel().tolist() == ["1.0", "2"]


class TestDataFrames:
    def test_mixed_dtypes(self):
        frame = pd.DataFrame(
            {
                "i": [1, 2, 3],
                "s": ["b", "a", None],
                "f": [0.5, np.nan, 1.5],
                "c": pd.Categorical(["u", "v", "u"]),
                "b": [True, False, True],
            }
        )
        enc = Encoder()
        out, columns = enc.encode(frame)
        assert columns == [1, 3]
        assert list(out.columns) == ["i", "s", "f", "c", "b"]
        back = enc.decode(out)
        # A plain object column keeps None, an ordinary text; pandas' string
        # dtype (the default for texts from pandas 3 on) holds a missing value.
        missing = "None" if frame["s"].dtype == object else None
        assert back["s"].tolist() == ["b", "a", missing]
        assert back["c"].tolist() == ["u", "v", "u"]
        assert back["s"].dtype == object and back["f"].dtype == np.float64

    @pytest.mark.parametrize("dtype", ["string", "str", object])
    def test_string_dtypes(self, dtype):
        try:
            series = pd.Series(["x", None, "y"], dtype=dtype)
        except TypeError:
            pytest.skip(f"this pandas has no {dtype!r} dtype")
        enc = Encoder()
        out, columns = enc.encode(pd.DataFrame({"t": series}))
        assert columns == [0]
        if series.dtype == object:  # None stays None, an ordinary category "None"
            assert out["t"].tolist() == [1.0, 0.0, 2.0]
            assert enc.decode(out)["t"].tolist() == ["x", "None", "y"]
        else:  # pandas' missing value reads as a marker
            assert out["t"][0] == 0 and out["t"][2] == 1 and math.isnan(out["t"][1])
            assert enc.decode(out)["t"].tolist() == ["x", None, "y"]

    def test_duplicate_labels_decode_each_column_on_its_own(self):
        frame = pd.DataFrame([["a", "q", 1.0], ["b", "p", 2.0]], columns=["k", "k", "n"])
        enc = Encoder()
        out, columns = enc.encode(frame)
        assert columns == [0, 1]
        back = enc.decode(out)
        assert back.iloc[:, 0].tolist() == ["a", "b"]
        assert back.iloc[:, 1].tolist() == ["q", "p"]
        assert list(back.dtypes) == [object, object, np.float64]

    def test_duplicate_labels_leave_unencoded_twin_alone(self):
        frame = pd.DataFrame([["a", 5.0], ["b", 6.0]], columns=["k", "k"])
        enc = Encoder()
        out, columns = enc.encode(frame)
        assert columns == [0]
        back = enc.decode(out)
        assert back.iloc[:, 0].tolist() == ["a", "b"]
        assert back.iloc[:, 1].tolist() == [5.0, 6.0]
        assert back.iloc[:, 1].dtype == np.float64


class TestInternalFaults:
    @pytest.mark.parametrize(
        "data",
        [np.zeros(3, dtype=object), np.zeros((2, 2, 2), dtype=object), np.zeros(3), np.zeros((1, 1, 1))],
    )
    def test_not_two_dimensional(self, panic_type, data, capfd):
        with pytest.raises(panic_type) as info:
            Encoder().encode(data)
        assert "expected a 2-dimensional table, got shape" in str(info.value)
        assert str(info.value) in capfd.readouterr().err
        assert not isinstance(info.value, Exception)
        assert panic_type.__name__ == "PanicException"
        assert panic_type.__bases__ == (BaseException,)

    def test_str_failure(self, panic_type):
        class Bad:
            def __str__(self):
                raise ValueError("no text here")

        with pytest.raises(panic_type) as info:
            Encoder().encode(np.array([["a"], [Bad()]], dtype=object))
        assert str(info.value).startswith("cant convert to str")
        assert "ValueError" in str(info.value) and "no text here" in str(info.value)

    def test_state_survives_a_fault(self, panic_type):
        enc = Encoder()
        enc.encode(np.array([["a"]], dtype=object))
        before = enc.__getstate__()
        with pytest.raises(panic_type):
            enc.encode(np.zeros(2, dtype=object))
        assert enc.__getstate__() == before

    def test_enormous_shape_is_a_memory_error(self):
        class ndarray:  # noqa: N801 - the name is what gets it accepted
            shape = (2**62, 2**62)

        with pytest.raises(MemoryError):
            Encoder().encode(ndarray())


class TestTextRule:
    def test_lone_surrogates_become_replacement_characters(self):
        enc = Encoder()
        out, _ = enc.encode(np.array([["a\ud800b"], ["a"]], dtype=object))
        assert enc.decode(out).ravel().tolist() == ["a\ufffd\ufffd\ufffdb", "a"]

    def test_nul_and_long_texts(self):
        long_text = "y" * 100_000
        enc = Encoder()
        out, _ = enc.encode(np.array([["a\x00b"], ["a"], [long_text]], dtype=object))
        assert enc.decode(out).ravel().tolist() == ["a\x00b", "a", long_text]

    def test_str_subclass_and_custom_str(self):
        class Shout(str):
            def __str__(self):
                return self.upper()

        class Obj:
            def __str__(self):
                return "obj"

        enc = Encoder()
        out, _ = enc.encode(np.array([[Shout("hi")], [Obj()]], dtype=object))
        assert enc.decode(out).ravel().tolist() == ["HI", "obj"]


def test_mutating_the_table_during_the_walk_is_safe():
    data = np.empty((4, 1), dtype=object)

    class Vandal:
        def __str__(self):
            data[:, 0] = None  # drops the only references to the earlier texts
            return "vandal"

    data[:, 0] = ["x" * 50 + str(i) for i in range(3)] + [None]
    data[3, 0] = Vandal()
    # 'x...' texts stay alive while the column is encoded; the walk then sees None
    enc = Encoder()
    out, _ = enc.encode(data)
    assert enc.decode(out).ravel().tolist() == ["x" * 50 + "0", "x" * 50 + "1", "x" * 50 + "2", "vandal"]


@pytest.mark.parametrize("container", ["unicode", "object"])
def test_code_points_beyond_unicode_are_repaired(container):
    """NumPy checks only the first code point of a unicode scalar, so str() of a
    cell can hold one beyond U+10FFFF; its text is repaired like a lone
    surrogate's, never kept as invalid UTF-8."""
    array = np.array([["ab"], ["cd"]], dtype="U3")
    array.view(np.uint32).reshape(2, 1, 3)[1, 0, 1] = 0x110001
    data = array if container == "unicode" else np.array([[str(v)] for v in array[:, 0]], dtype=object)
    enc = Encoder()
    enc.encode(data)
    assert enc.decode(np.array([[1.0]])).tolist() == [["c\ufffd\ufffd\ufffd\ufffd"]]
    Encoder().__setstate__(enc.__getstate__())  # every stored text is valid UTF-8
