"""The module and the Encoder class as Python code sees them."""
import inspect

import numpy as np
import pandas as pd
import pytest

import vorpak
from vorpak import Encoder

FRESH_STATE = b"\x00\x00\x00\x00\x00"


def test_module_exposes_only_the_encoder():
    public = {name for name in dir(vorpak) if not name.startswith("__")}
    assert public == {"Encoder"}
    assert vorpak.__doc__


def test_class_identity_and_shape():
    assert Encoder.__module__ == "vorpak"
    assert Encoder.__name__ == "Encoder"
    assert Encoder.__bases__ == (object,)
    enc = Encoder()
    assert not hasattr(enc, "__dict__")
    with pytest.raises(AttributeError):
        enc.anything = 1
    with pytest.raises(TypeError):
        import weakref

        weakref.ref(enc)
    with pytest.raises(TypeError):
        type("Sub", (Encoder,), {})


@pytest.mark.parametrize(
    "function, signature",
    [
        (Encoder, "(encoding=None)"),
        (Encoder.encode, "(self, /, obj)"),
        (Encoder.decode, "(self, /, obj)"),
        (Encoder.__getstate__, "(self, /)"),
        (Encoder.__setstate__, "(self, /, state)"),
    ],
)
def test_text_signatures(function, signature):
    assert str(inspect.signature(function)) == signature


@pytest.mark.parametrize(
    "args, kwargs",
    [((), {}), ((None,), {}), (("label",), {}), ((), {"encoding": None}), ((), {"encoding": "label"})],
)
def test_equal_encoders_from_every_spelling(args, kwargs):
    assert Encoder(*args, **kwargs).__getstate__() == FRESH_STATE


def test_str_subclass_is_accepted_as_encoding():
    class Text(str):
        pass

    assert Encoder(Text("label")).__getstate__() == FRESH_STATE


@pytest.mark.parametrize(
    "encoding, message",
    [
        ("Label", "Label is not a supported encoding strategy for strings!"),
        ("", " is not a supported encoding strategy for strings!"),
        ("onehot", "onehot is not a supported encoding strategy for strings!"),
        ("label\x00", "label\x00 is not a supported encoding strategy for strings!"),
    ],
)
def test_unsupported_strategy_message(encoding, message):
    with pytest.raises(ValueError) as info:
        Encoder(encoding)
    assert str(info.value) == message


def test_encoding_with_lone_surrogate_raises_unicode_error():
    with pytest.raises(UnicodeEncodeError):
        Encoder("\ud800")


@pytest.mark.parametrize(
    "call",
    [
        lambda: Encoder(1),
        lambda: Encoder(b"label"),
        lambda: Encoder("label", None),
        lambda: Encoder(encode="label"),
        lambda: Encoder("label", encoding="label"),
        lambda: Encoder().encode(),
        lambda: Encoder().encode(np.zeros((1, 1)), np.zeros((1, 1))),
        lambda: Encoder().encode(table=np.zeros((1, 1))),
        lambda: Encoder().encode(np.zeros((1, 1)), obj=np.zeros((1, 1))),
        lambda: Encoder().decode(),
        lambda: Encoder().decode(obj=np.zeros((1, 1)), extra=1),
        lambda: Encoder().__getstate__(1),
        lambda: Encoder().__setstate__(),
        lambda: Encoder().__setstate__(FRESH_STATE, FRESH_STATE),
        lambda: Encoder().__setstate__(bytearray(FRESH_STATE)),
        lambda: Encoder().__setstate__(memoryview(FRESH_STATE)),
        lambda: Encoder().__setstate__("00000"),
    ],
)
def test_wrong_call_shapes_raise_type_error(call):
    with pytest.raises(TypeError):
        call()


def test_keywords_are_accepted_for_every_parameter():
    enc = Encoder(encoding="label")
    table, columns = enc.encode(obj=np.array([["a"]], dtype=object))
    assert enc.decode(obj=table).tolist() == [["a"]]
    enc.__setstate__(state=FRESH_STATE)
    assert enc.__getstate__() == FRESH_STATE


class TestLifecycle:
    def test_float64_input_leaves_no_state(self):
        enc = Encoder()
        enc.encode(np.array([["a"]], dtype=object))
        table, columns = enc.encode(np.eye(2))
        assert columns is None
        assert enc.__getstate__() == FRESH_STATE
        np.testing.assert_array_equal(table, np.eye(2))

    def test_table_without_text_gives_an_empty_present_state(self):
        enc = Encoder()
        table, columns = enc.encode(np.array([[1, 2]], dtype=np.int64))
        assert columns == []
        assert enc.__getstate__() == b"\x01" + bytes(24) + bytes(4)

    def test_columns_list_is_new_each_time(self):
        enc = Encoder()
        data = np.array([["a", "b"]], dtype=object)
        first = enc.encode(data)[1]
        first.append(99)
        assert enc.encode(data)[1] == [0, 1]
        assert enc.encode(data)[1] is not enc.encode(data)[1]

    def test_failed_conversion_keeps_previous_state(self, capfd):
        enc = Encoder()
        table, _ = enc.encode(np.array([["b"], ["a"]], dtype=object))
        before = enc.__getstate__()
        with pytest.raises(TypeError):
            enc.encode([["x"]])
        assert enc.__getstate__() == before
        assert enc.decode(table).tolist() == [["b"], ["a"]]

    def test_decode_without_state_returns_the_float_table(self):
        enc = Encoder()
        data = np.array([["a", 1.5]], dtype=object)
        out = enc.decode(data)
        assert out.dtype == np.float64
        np.testing.assert_array_equal(out, Encoder().encode(data)[0])
        frame = enc.decode(pd.DataFrame({"a": [1, 2]}))
        assert list(frame.dtypes) == [np.float64]


class TestBorrow:
    def test_reentrant_decode_during_encode_is_refused(self):
        enc = Encoder()
        seen = []

        class Sneaky:
            def __float__(self):
                for method in (enc.decode, enc.encode):
                    try:
                        method(np.zeros((1, 1)))
                    except RuntimeError as exc:
                        seen.append(str(exc))
                try:
                    enc.__getstate__()
                except RuntimeError as exc:
                    seen.append(str(exc))
                return 1.0

        enc.encode(np.array([[Sneaky()]], dtype=object))
        assert seen == ["Already mutably borrowed", "Already borrowed", "Already mutably borrowed"]
        # every borrow was given back
        enc.encode(np.zeros((1, 1)))

    def test_reentrant_encode_during_decode_is_refused_but_decode_is_shared(self):
        enc = Encoder()
        enc.encode(np.array([["a"]], dtype=object))
        seen = []

        class Sneaky:
            def __float__(self):
                try:
                    enc.encode(np.zeros((1, 1)))
                except RuntimeError as exc:
                    seen.append(str(exc))
                seen.append(enc.decode(np.zeros((1, 1))).tolist())
                seen.append(len(enc.__getstate__()))
                return 0.0

        enc.decode(np.array([[Sneaky()]], dtype=object))
        assert seen[0] == "Already borrowed"
        assert seen[1] == [["a"]]

    def test_other_encoders_work_from_inside_a_call(self):
        enc, other = Encoder(), Encoder()
        results = []

        class Cell:
            def __str__(self):
                results.append(other.encode(np.array([["x"]], dtype=object))[1])
                return "cell"

        enc.encode(np.array([["a"], [Cell()]], dtype=object))
        assert results == [[0]]

    def test_borrow_released_after_errors(self, panic_type):
        enc = Encoder()
        with pytest.raises(panic_type):
            enc.encode(np.zeros(3, dtype=object))
        with pytest.raises(ValueError):
            enc.__setstate__(b"")
        enc.encode(np.zeros((1, 1)))
        enc.decode(np.zeros((1, 1)))
