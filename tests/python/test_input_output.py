"""Which containers are accepted, their labels, the float64 copy and the output shapes."""
import numpy as np
import pandas as pd
import pytest

from vorpak import Encoder


class Fake:
    """Base for classes that only borrow a supported type's name."""


def named(name, base=Fake, **attrs):
    return type(name, (base,), attrs)


@pytest.mark.filterwarnings("ignore::PendingDeprecationWarning")
@pytest.mark.parametrize(
    "obj, name",
    [
        ([[1.0]], "list"),
        (pd.Series([1.0]), "Series"),
        (np.matrix([[1.0]]), "matrix"),
        (np.ma.masked_array([[1.0]]), "MaskedArray"),
        (None, "NoneType"),
        (named("dataframe")(), "dataframe"),
        (named("Ünïcode")(), "Ünïcode"),
    ],
)
@pytest.mark.parametrize("method", ["encode", "decode"])
def test_rejected_types_name_themselves_on_fd1(capfd, obj, name, method):
    with pytest.raises(TypeError) as info:
        getattr(Encoder(), method)(obj)
    assert str(info.value) == (
        f"Unsupported type: '{name}'. Supported types are: numpy.ndarray, pandas.DataFrame"
    )
    assert capfd.readouterr().out == name + "\n"


class TestFloat64Path:
    @pytest.mark.parametrize("order", ["C", "F"])
    def test_round_trip_keeps_values_and_order(self, order):
        data = np.asarray(np.arange(12.0).reshape(3, 4) / 7, order=order)
        data[1, 2] = np.nan
        data[0, 0] = -np.inf
        out, columns = Encoder().encode(data)
        assert columns is None and out.dtype == np.float64
        np.testing.assert_array_equal(out, data)
        assert out.flags.f_contiguous == (order == "F")
        assert out.flags.c_contiguous == (order == "C")
        assert out is not data and not np.shares_memory(out, data)

    def test_strided_view_comes_back_row_major(self):
        data = np.arange(40.0).reshape(5, 8)[::2, 1::3]
        out, _ = Encoder().encode(data)
        np.testing.assert_array_equal(out, data)
        assert out.flags.c_contiguous

    def test_memmap_is_an_array(self, tmp_path):
        mm = np.memmap(tmp_path / "m.dat", dtype=np.float64, mode="w+", shape=(2, 3))
        mm[:] = [[1, 2, 3], [4, 5, 6]]
        enc = Encoder()
        out, columns = enc.encode(mm)
        assert type(out) is np.ndarray and columns is None
        np.testing.assert_array_equal(out, mm)

    @pytest.mark.parametrize("shape", [(0, 3), (3, 0), (0, 0)])
    def test_empty_tables(self, shape):
        out, columns = Encoder().encode(np.zeros(shape))
        assert out.shape == shape and columns is None

    def test_bit_patterns_survive(self):
        bits = np.array([[0x7FF0000000000001, 0xFFF8000000000000, 0x8000000000000000]], dtype=np.uint64)
        out, _ = Encoder().encode(bits.view(np.float64))
        np.testing.assert_array_equal(out.view(np.uint64), bits)


@pytest.mark.parametrize("dtype", [np.int64, np.float32, np.bool_, object, ">f8"])
def test_other_dtypes_are_read_cell_by_cell(dtype):
    data = np.array([[1, 0], [0, 1]], dtype=dtype)
    out, columns = Encoder().encode(data)
    assert columns == []
    np.testing.assert_array_equal(out, data.astype(np.float64))


class TestDataFrameLabels:
    def test_default_integer_labels_become_texts(self):
        out, _ = Encoder().encode(pd.DataFrame(np.zeros((2, 3))))
        assert list(out.columns) == ["0", "1", "2"]

    @pytest.mark.parametrize(
        "labels, expected",
        [
            (["a", "b"], ["a", "b"]),
            ([-5, 10**18], ["-5", "1000000000000000000"]),
            ([True, False], ["1", "0"]),
            (np.array([3, 4], dtype=np.int16), ["3", "4"]),
        ],
    )
    def test_labels(self, labels, expected):
        frame = pd.DataFrame(np.zeros((1, 2)), columns=labels)
        out, _ = Encoder().encode(frame)
        assert list(out.columns) == expected

    @pytest.mark.parametrize(
        "labels, error",
        [
            (["a", 1], TypeError),
            ([1.5, 2.5], TypeError),
            ([2**63, 1], OverflowError),
        ],
    )
    def test_unusable_labels_fail_before_values_are_read(self, labels, error):
        class Frame(pd.DataFrame):
            @property
            def values(self):
                raise AssertionError("values must not be read")

        Frame.__name__ = "DataFrame"
        frame = Frame(np.zeros((1, 2)), columns=labels)
        with pytest.raises(error):
            Encoder().encode(frame)

    def test_columns_errors_pass_through(self):
        class Boom(Exception):
            pass

        def columns(self):
            raise Boom("no columns")

        with pytest.raises(Boom):
            Encoder().encode(named("DataFrame", columns=property(columns))())
        with pytest.raises(AttributeError):
            Encoder().encode(named("DataFrame")())

    def test_no_columns(self):
        out, columns = Encoder().encode(pd.DataFrame(index=range(3)))
        assert out.shape == (3, 0) and columns == []

    def test_row_index_is_not_carried_over(self):
        frame = pd.DataFrame({"a": [1, 2]}, index=[10, 20])
        out, _ = Encoder().encode(frame)
        assert list(out.index) == [0, 1]
        assert list(out.dtypes) == [np.float64]


class TestDecodeShapes:
    def test_array_with_empty_state_gives_object_floats(self):
        enc = Encoder()
        enc.encode(np.array([[1, 2]], dtype=np.int64))
        out = enc.decode(np.array([[1.5, 2.0]]))
        assert out.dtype == object
        assert [type(v) for v in out.ravel()] == [float, float]

    def test_frame_with_empty_state_stays_float(self):
        enc = Encoder()
        enc.encode(pd.DataFrame({"a": [1]}))
        out = enc.decode(pd.DataFrame({"a": [1.5]}))
        assert list(out.dtypes) == [np.float64]

    def test_column_major_codes_decode_column_major(self):
        enc = Encoder()
        enc.encode(np.array([["a", "b"], ["b", "a"], ["a", "a"]], dtype=object))
        codes = np.asfortranarray([[0.0, 1.0], [1.0, 0.0], [0.0, 0.0]])
        out = enc.decode(codes)
        assert out.flags.f_contiguous
        assert out.tolist() == [["a", "b"], ["b", "a"], ["a", "a"]]

    def test_zero_rows(self):
        enc = Encoder()
        enc.encode(np.array([["a", "b"]], dtype=object))
        assert enc.decode(np.zeros((0, 1))).shape == (0, 1)
        frame = enc.decode(pd.DataFrame(np.zeros((0, 2)), columns=["x", "y"]))
        assert list(frame.dtypes) == [object, object]
