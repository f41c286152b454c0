"""Hostile input: impostor tables, treacherous cells, tables changed while they are read,
broken states, and Python code run by the garbage collector in the middle of a call.

A refusal must be an exception of the right kind and must leave the encoder as it was: the
same state, and its borrow given back, so that the next decode and encode both run.
"""
import re
import sys
import warnings

import numpy as np
import pandas as pd
import pytest

from conftest import pickled_state, run_python
from vorpak import Encoder

PANIC = "PanicException"  # stands for the class, which only a fault can hand us

FITTED = np.array([["a", 1.0], ["b", 2.0]], dtype=object)


def fitted_encoder():
    enc = Encoder()
    enc.encode(FITTED)
    return enc, enc.__getstate__()


def assert_intact(enc, before):
    assert enc.__getstate__() == before
    # decode takes the shared borrow and encode the exclusive one: both must be free again
    assert enc.decode(np.array([[1.0, 7.0], [0.0, 8.0]])).tolist() == [["b", 7.0], ["a", 8.0]]
    codes, columns = enc.encode(np.array([["z"], ["y"]], dtype=object))
    assert columns == [0] and codes.ravel().tolist() == [1.0, 0.0]


def impostor(name, **attrs):
    """An instance of a class that has a supported type's name and only `attrs`."""
    return type(name, (), attrs)()


def raising(exc_type, *args):
    """A function raising a fresh exc_type(*args): a method, a property getter or a callable."""

    def method(*_):
        raise exc_type(*args)

    return method


class Grid:
    """Cells through item access table[i, j] and nothing else."""

    def __init__(self, rows):
        self.rows = rows

    def __getitem__(self, key):
        i, j = key
        return self.rows[i][j]


class Labels:
    """Column labels that are not a sequence, so that `tolist` decides."""

    def __init__(self, tolist):
        self.tolist = tolist


class Custom(Exception):
    pass


def frame(shape=(1, 1), columns=("a",), values=None):
    """A DataFrame impostor; `values` is never reached unless given."""
    return impostor("DataFrame", shape=shape, columns=columns, values=Grid([]) if values is None else values)


def expected_type(expected, panic_type):
    return panic_type if expected == PANIC else expected


# --------------------------------------------------------------------------------------------
# Impostor tables: the name of a supported type, the behaviour of something else.

IMPOSTORS = [
    # (id, factory, expected exception, message pattern)
    ("no shape", lambda: impostor("ndarray"), PANIC,
     r"^cannot read the shape of the table: AttributeError: "),
    ("shape is a 3-tuple", lambda: impostor("memmap", shape=(1, 1, 1)), PANIC,
     r"^expected a 2-dimensional table, got shape \(1, 1, 1\)$"),
    ("shape is a list", lambda: impostor("ndarray", shape=[2, 2]), PANIC,
     r"got shape \[2, 2\]$"),
    ("shape is a str", lambda: frame(shape="ab"), PANIC, r"got shape 'ab'$"),
    ("shape is None", lambda: impostor("ndarray", shape=None), PANIC, r"got shape None$"),
    ("shape is a 1-tuple", lambda: impostor("ndarray", shape=(4,)), PANIC, r"got shape \(4,\)$"),
    ("negative rows", lambda: impostor("ndarray", shape=(-1, 2)), PANIC, r"got shape \(-1, 2\)$"),
    ("negative columns", lambda: frame(shape=(2, -3)), PANIC, r"got shape \(2, -3\)$"),
    ("float dimension", lambda: impostor("memmap", shape=(2.0, 2)), PANIC, r"got shape \(2\.0, 2\)$"),
    ("dimension beyond ssize_t", lambda: impostor("ndarray", shape=(2**64, 1)), PANIC,
     r"got shape \(18446744073709551616, 1\)$"),
    ("rows times columns overflow", lambda: impostor("memmap", shape=(2**62, 2**62)), MemoryError, ""),
    ("cell bytes overflow", lambda: impostor("ndarray", shape=(2**61, 4)), MemoryError, ""),
    ("more bytes than an array may hold", lambda: frame(shape=(2**60, 1)), MemoryError, ""),
    ("shape property raises", lambda: impostor("ndarray", shape=property(raising(ValueError, "s"))),
     PANIC, r"^cannot read the shape of the table: ValueError: s$"),
    ("item access raises TypeError",
     lambda: impostor("ndarray", shape=(1, 1), __getitem__=raising(TypeError, "t")),
     PANIC, r"^cannot read cell \(0, 0\): TypeError: t$"),
    ("item access raises KeyError",
     lambda: impostor("memmap", shape=(2, 1), __getitem__=raising(KeyError, "k")),
     PANIC, r"^cannot read cell \(0, 0\): KeyError: 'k'$"),
    ("item access raises a custom exception late",
     lambda: impostor("ndarray", shape=(2, 2), __getitem__=lambda self, key: (
         1.0 if key != (1, 1) else raising(Custom, "late")(self))),
     PANIC, r"^cannot read cell \(1, 1\): Custom: late$"),
    ("columns property raises",
     lambda: frame(columns=property(raising(Custom, "c"))), Custom, "^c$"),
    ("columns are floats", lambda: frame(shape=(1, 2), columns=pd.Index([1.5, 2.5])), TypeError,
     "'float' object cannot be interpreted as an integer"),
    ("columns hold None", lambda: frame(columns=pd.Index([None], dtype=object)), TypeError,
     "'NoneType' object cannot be interpreted as an integer"),
    ("columns mix texts and floats",
     lambda: frame(shape=(1, 2), columns=np.array(["a", 1.5], dtype=object)), TypeError,
     "'str' object cannot be interpreted as an integer"),
    ("columns are a plain list of ints", lambda: frame(columns=[3]), AttributeError, "tolist"),
    ("tolist raises", lambda: frame(columns=Labels(raising(Custom, "no list"))), Custom, "^no list$"),
    ("tolist gives a non-sequence", lambda: frame(columns=Labels(lambda: 42)), TypeError,
     r"columns\.tolist\(\) gave 'int'"),
    ("tolist gives a str", lambda: frame(columns=Labels(lambda: "ab")), TypeError,
     r"columns\.tolist\(\) gave 'str'"),
    ("tolist gives a generator", lambda: frame(columns=Labels(lambda: (i for i in [0]))), TypeError,
     r"gave 'generator'"),
    ("no values", lambda: impostor("DataFrame", shape=(1, 1), columns=["a"]), PANIC,
     r"^cannot read the values of the DataFrame: AttributeError: "),
    ("values raises", lambda: frame(values=property(raising(LookupError, "gone"))), PANIC,
     r"^cannot read the values of the DataFrame: LookupError: gone$"),
    ("values has fewer rows than shape", lambda: frame(shape=(3, 1), values=Grid([["x"]])), PANIC,
     r"^cannot read cell \(1, 0\): IndexError: "),
    ("values is an array with fewer rows",
     lambda: frame(shape=(3, 1), values=np.array([["x"]], dtype=object)), PANIC,
     r"^cannot read cell \(1, 0\): IndexError: index 1 is out of bounds"),
    ("values is an array with fewer columns",
     lambda: frame(shape=(1, 2), columns=["a", "b"], values=np.array([["x"]], dtype=object)),
     PANIC, r"^cannot read cell \(0, 1\): IndexError: "),
    ("values is a 1-D array", lambda: frame(shape=(1, 1), values=np.array(["x"], dtype=object)),
     PANIC, r"^cannot read cell \(0, 0\): IndexError: too many indices"),
]


@pytest.mark.parametrize("method", ["encode", "decode"])
@pytest.mark.parametrize(
    "make, expected, pattern", [case[1:] for case in IMPOSTORS], ids=[case[0] for case in IMPOSTORS]
)
def test_impostor_tables_are_refused_and_leave_the_encoder_intact(
    make, expected, pattern, method, panic_type
):
    enc, before = fitted_encoder()
    with pytest.raises(expected_type(expected, panic_type)) as info:
        getattr(enc, method)(make())
    assert re.search(pattern, str(info.value))
    assert_intact(enc, before)


# --------------------------------------------------------------------------------------------
# Cells whose conversions misbehave, read along each road: an object array's memory, item
# access on an impostor, and a DataFrame's `values`.


class NoStr:
    def __str__(self):
        raise ValueError("no text")


class StrGivesInt:
    def __str__(self):
        return 5


class StrGivesBytes:
    def __str__(self):
        return b"bytes"


class StrSubclassWithoutStr(str):
    """Passes for text by its class, yet its own str() fails."""

    def __str__(self):
        raise Custom("not even me")


class FloatFails:
    """float() fails with `exc`, so the column turns to text; str() gives `text`."""

    def __init__(self, exc, text="fails"):
        self.exc, self.text = exc, text

    def __float__(self):
        raise self.exc

    def __str__(self):
        if isinstance(self.text, BaseException):
            raise self.text
        return self.text


class FloatGivesText:
    def __float__(self):
        return "1.5"  # CPython refuses a non-float with TypeError

    def __str__(self):
        return "gives text"


class IndexFails:
    def __index__(self):
        raise ValueError("no index")

    def __str__(self):
        return "index fails"


def along(road, column):
    """A one-column table holding `column`, read along `road`."""
    if road == "object array":
        data = np.empty((len(column), 1), dtype=object)
        data[:, 0] = column
        return data
    rows = Grid([[cell] for cell in column])
    if road == "item access":
        return impostor("ndarray", shape=(len(column), 1), __getitem__=lambda self, key: rows[key])
    return frame(shape=(len(column), 1), values=rows)


ROADS = ["object array", "item access", "frame"]

FAULTY_CELLS = [
    ("str raises", ["t", NoStr()], r"^cant convert to str: ValueError: no text$"),
    ("str raises in the first cell", [NoStr(), "t"], r"^cant convert to str: ValueError: no text$"),
    ("str gives an int", [StrGivesInt()], r"^cant convert to str: TypeError: __str__ returned non-string"),
    ("str gives bytes", ["t", StrGivesBytes()], r"TypeError: __str__ returned non-string \(type bytes\)"),
    ("str subclass whose str raises", [StrSubclassWithoutStr("x")], r"^cant convert to str: .*Custom: not even me$"),
    ("float ValueError, then str raises", [FloatFails(ValueError("f"), OSError("s"))], r"OSError: s$"),
    ("float ZeroDivisionError, then str raises",
     [1.5, FloatFails(ZeroDivisionError("f"), LookupError("s"))], r"LookupError: s$"),
    ("int beyond the digit limit", [10**5000], r"^cant convert to str: ValueError: Exceeds the limit"),
    ("int beyond the digit limit in a text column", ["t", -(10**5000)], r"ValueError: Exceeds the limit"),
]


@pytest.mark.parametrize("road", ROADS)
@pytest.mark.parametrize(
    "column, pattern", [case[1:] for case in FAULTY_CELLS], ids=[case[0] for case in FAULTY_CELLS]
)
@pytest.mark.parametrize("method", ["encode", "decode"])
def test_cells_without_a_text_are_faults(column, pattern, road, method, panic_type):
    enc, before = fitted_encoder()
    with pytest.raises(panic_type) as info:
        getattr(enc, method)(along(road, column))
    assert re.search(pattern, str(info.value))
    assert_intact(enc, before)


# A failing float() is no error: the column is text from then on, and str() is what counts.
TEXT_CELLS = [
    ("float raises ValueError", FloatFails(ValueError("x"), "v")),
    ("float raises ZeroDivisionError", FloatFails(ZeroDivisionError(), "z")),
    ("float raises a custom exception", FloatFails(Custom(), "c")),
    ("float gives a str", FloatGivesText()),
    ("index raises", IndexFails()),
    ("int too large for a float", 10**400),
    ("negative int too large for a float", -(10**400)),
    ("lone surrogates", "a\ud800b\udfff"),
    ("surrogate pair spelt as two code points", "\ud83d\ude00"),
    ("NUL characters", "\x00a\x00"),
    ("a million characters", "\u00e9" * 1_000_000),
]


def utf8_lossy(text):
    """The text a str holds once every lone surrogate has become U+FFFD per byte."""
    return text.encode("utf-8", "surrogatepass").decode("utf-8", "replace")


@pytest.mark.parametrize("road", ROADS)
@pytest.mark.parametrize("cell", [case[1] for case in TEXT_CELLS], ids=[case[0] for case in TEXT_CELLS])
def test_cells_that_only_have_a_text_round_trip(cell, road):
    enc = Encoder()
    codes, columns = enc.encode(along(road, [cell, "t"]))
    assert columns == [0]
    expected = [utf8_lossy(str(cell)), "t"]
    back = enc.decode(codes)
    back = back.iloc[:, 0].tolist() if road == "frame" else back.ravel().tolist()
    assert back == expected


# --------------------------------------------------------------------------------------------
# Interrupts are not verdicts on a cell: they leave as they came.


def interrupting(exc_type):
    return [
        ("float", lambda: along("object array", [FloatFails(exc_type())])),
        ("str", lambda: along("object array", ["t", FloatFails(ValueError(), exc_type())])),
        ("index", lambda: along("frame", [type("I", (), {"__index__": raising(exc_type)})()])),
        ("item access", lambda: impostor("ndarray", shape=(1, 1), __getitem__=raising(exc_type))),
        ("shape", lambda: impostor("memmap", shape=property(raising(exc_type)))),
        ("values", lambda: frame(values=property(raising(exc_type)))),
        ("columns", lambda: frame(columns=property(raising(exc_type)))),
        ("iterating the columns", lambda: frame(columns=type("Cols", (list,), {"__iter__": raising(exc_type)})(["a"]))),
        ("tolist", lambda: frame(columns=Labels(raising(exc_type)))),
        ("an integer label", lambda: frame(columns=Labels(lambda: [type(
            "L", (), {"__index__": raising(exc_type)})()]))),
    ]


INTERRUPTS = [
    (f"{exc_type.__name__} from {where}", exc_type, make)
    for exc_type in (KeyboardInterrupt, SystemExit)
    for where, make in interrupting(exc_type)
]


@pytest.mark.parametrize("method", ["encode", "decode"])
@pytest.mark.parametrize(
    "exc_type, make", [case[1:] for case in INTERRUPTS], ids=[case[0] for case in INTERRUPTS]
)
def test_interrupts_propagate_unwrapped(exc_type, make, method):
    enc, before = fitted_encoder()
    with pytest.raises(BaseException) as info:
        getattr(enc, method)(make())
    assert type(info.value) is exc_type
    assert_intact(enc, before)


def test_interrupt_from_a_cell_leaves_no_stderr_report(capfd):
    # the one-line report belongs to internal faults only
    with pytest.raises(KeyboardInterrupt):
        Encoder().encode(along("object array", [FloatFails(KeyboardInterrupt())]))
    assert capfd.readouterr().err == ""


# --------------------------------------------------------------------------------------------
# Tables changed by a cell's own Python code while they are being read. Whatever happens, the
# walk reads live cells: what the table holds by then, or a fault if the cell is gone.


class Hook:
    """A cell that runs `action` when converted, then behaves as `text`."""

    def __init__(self, action, text="hook", numeric=False):
        self.action, self.text, self.numeric = action, text, numeric

    def __float__(self):
        if not self.numeric:
            raise TypeError("text")
        self.action()
        return 1.0

    def __str__(self):
        self.action()
        return self.text


def vandal_numeric():
    data = np.array([[None, "p"], [2.0, "q"]], dtype=object)

    def action():
        data[:, 1] = None  # drops the texts of a column not read yet

    data[0, 0] = Hook(action, numeric=True)
    return data, [[1.0, "None"], [2.0, "None"]]


def vandal_text():
    data = np.array([[None, "p"], ["b", "q"], ["c", "r"]], dtype=object)

    def action():
        data[1:, :] = None

    data[0, 0] = Hook(action, "a")
    return data, [["a", "p"], ["None", "None"], ["None", "None"]]


def grower():
    data = np.array([[None], ["b"], ["c"]], dtype=object)

    def action():
        data.resize((6, 1), refcheck=False)  # may move the cells; the first three stay

    data[0, 0] = Hook(action, "g")
    return data, [["g"], ["b"], ["c"]]


def frame_losing_its_values():
    table = frame(shape=(3, 1), values=property(lambda self: self.store))
    table.store = np.array([[None], ["y"], ["z"]], dtype=object)

    def action():
        held = table.store
        del table.store  # once this returns, the encoder holds the last reference
        held[1, 0] = "y2"  # a change the walk must see: it is still the array being read

    table.store[0, 0] = Hook(action, "x")
    return table, [["x"], ["y2"], ["z"]]


@pytest.mark.parametrize("make", [vandal_numeric, vandal_text, grower, frame_losing_its_values])
def test_tables_changed_mid_read_give_what_they_hold_by_then(make):
    table, expected = make()
    enc = Encoder()
    codes, _ = enc.encode(table)
    back = enc.decode(codes)
    back = back.to_numpy() if isinstance(back, pd.DataFrame) else back
    assert back.tolist() == expected


def shrinker(new_shape):
    def make():
        data = np.array([[None, "b"], ["c", "d"], ["e", "f"]], dtype=object)

        def action():
            data.resize(new_shape, refcheck=False)

        data[0, 0] = Hook(action)
        return data

    return make


def reshaper():
    data = np.array([[None], ["b"], ["c"]], dtype=object)

    def action():
        with warnings.catch_warnings():  # NumPy 2.5 deprecates setting .shape
            warnings.simplefilter("ignore", DeprecationWarning)
            data.shape = (1, 3)  # same cells, other dimensions

    data[0, 0] = Hook(action)
    return data


@pytest.mark.parametrize(
    "make, pattern",
    [
        (shrinker((1, 1)), r"^cannot read cell \(1, 0\): IndexError: "),
        (shrinker((3, 1)), r"^cannot read cell \(0, 1\): IndexError: "),
        (shrinker((2, 3)), r"^cannot read cell \(2, 0\): IndexError: "),
        (reshaper, r"^cannot read cell \(1, 0\): IndexError: "),
    ],
)
def test_cells_that_vanish_mid_read_are_faults(make, pattern, panic_type):
    enc, before = fitted_encoder()
    with pytest.raises(panic_type) as info:
        enc.encode(make())
    assert re.search(pattern, str(info.value))
    assert_intact(enc, before)


FINALIZER_SCRIPT = """
import numpy as np
from vorpak import Encoder

# 8 MB of cells: a mapping of their own, whose cut-off pages are unmapped by a shrink
data = np.full(SHAPE, "t", dtype=object, order="ORDER")

class Vanishing:
    def METHOD(self):
        data[0, 0] = None  # the walk's reference to this cell is now the last one
        return RESULT

    def __del__(self):  # runs when the walk lets go of the cell
        data.resize((1, 1), refcheck=False)

data[0, 0] = Vanishing()
try:
    Encoder().encode(data)
except BaseException as exc:
    print(type(exc).__name__, exc)
else:
    print("encoded")
"""


@pytest.mark.parametrize("shape, order", [((1_000_000, 1), "C"), ((500_000, 2), "F")])
@pytest.mark.parametrize("method, result", [("__str__", '"v"'), ("__float__", "1.0")])
def test_a_cell_whose_finalizer_shrinks_the_table(shape, order, method, result):
    # the finalizer is Python code that runs after the cell's own: the walk must see its change
    script = (
        FINALIZER_SCRIPT.replace("SHAPE", repr(shape))
        .replace("ORDER", order)
        .replace("METHOD", method)
        .replace("RESULT", result)
    )
    done = run_python(script, env={"PYTHONMALLOC": "debug"})
    assert done.returncode == 0, done.stderr[-3000:]
    assert re.match(r"PanicException cannot read cell \(1, 0\): IndexError: ", done.stdout)


def test_reentrant_call_from_a_cell_is_a_fault_of_that_cell(panic_type):
    enc, before = fitted_encoder()

    def action():
        enc.__setstate__(before)  # refused: encode holds the encoder

    with pytest.raises(panic_type, match=r"^cant convert to str: RuntimeError: Already borrowed$"):
        enc.encode(along("object array", [Hook(action)]))
    assert_intact(enc, before)


# --------------------------------------------------------------------------------------------
# Hand-made states that break what decode relies on.


def decode_input(kind, ncols):
    codes = np.zeros((2, ncols))
    if kind == "array":
        return codes
    if kind == "fortran array":
        return np.asfortranarray(codes)
    return pd.DataFrame(codes, columns=[f"c{k}" for k in range(ncols)])


@pytest.mark.parametrize("kind", ["array", "fortran array", "frame"])
@pytest.mark.parametrize(
    "columns, tables, pattern",
    [
        # the listed columns are checked in list order: the first broken one is reported
        ([0, 1], [(0, [(0, "x")])], r"^no entry found for key$"),
        ([5, 1], [(5, [(0, "x")])], r"^encoded column 5 is beyond the last column of a table with 2 columns$"),
        ([1, 5], [(5, [(0, "x")])], r"^no entry found for key$"),
        ([0, 2**64 - 1], [(0, [(0, "x")]), (2**64 - 1, [])], r"^encoded column 18446744073709551615 is beyond"),
    ],
)
def test_broken_states_fault_in_list_order(kind, columns, tables, pattern, panic_type):
    enc = Encoder()
    enc.__setstate__(pickled_state(columns, [], tables))
    before = enc.__getstate__()  # tables are written in their own order, not the given one
    with pytest.raises(panic_type) as info:
        enc.decode(decode_input(kind, 2))
    assert re.search(pattern, str(info.value))
    assert enc.__getstate__() == before
    enc.encode(FITTED)  # the exclusive borrow is free


@pytest.mark.parametrize("kind", ["array", "frame"])
def test_codes_near_the_top_of_the_range_decode(kind):
    table = [(0, "zero"), (2**63, "half"), (2**63 + 2048, "next"), (2**64 - 2048, "top")]
    enc = Encoder()
    enc.__setstate__(pickled_state([0], [], [(0, table)]))
    # 2**63 + 1 is no float: it rounds to 2**63; 2**64 is beyond every code
    cells = [0.0, float(2**63), float(2**63 + 1), float(2**63 + 2048), float(2**64 - 2048), float(2**64), 1.0]
    codes = np.array([[x] for x in cells])
    if kind == "array":
        assert enc.decode(codes).ravel().tolist() == ["zero", "half", "half", "next", "top", "NaN", "NaN"]
    else:
        back = enc.decode(pd.DataFrame(codes, columns=["k"]))
        assert back["k"].tolist() == ["zero", "half", "half", "next", "top", None, None]


# --------------------------------------------------------------------------------------------
# Python code run by the garbage collector. Through CPython 3.11 any new object the collector
# tracks can start a collection in the middle of a C call: an exception object does, and inside
# an `except` block CPython builds one even for an error that is cleared at once. Finalizers
# and gc.callbacks then run while the encoder reads an array's memory or holds str objects
# only by address. The collector hook here changes the table at every collection once the call
# has begun; with PYTHONMALLOC=debug freed memory is wiped, so reading a moved array or a
# dropped str crashes.

GC_SCRIPT = r"""
import gc, re
import numpy as np
from vorpak import Encoder

n = 20_000

def texts(gen, surrogate):
    # a lone surrogate at row 0 has no strict UTF-8, so reading it makes an exception
    return [("\ud800" if surrogate and i == 0 else "") + f"g{gen}r{i}" for i in range(n)]

class ndarray(np.ndarray):
    # Arms the hook when the call reads the shape: the walk of the array follows at once.
    # Made by ndarray(shape, ...), an instance owns its cells, so it can be resized.
    @property
    def shape(self):
        global armed
        armed = True
        return np.ndarray.shape.__get__(self)

armed = False

SETUP

acts = 0

def on_collection(phase, info):
    global acts
    if armed and phase == "start" and acts < 40:
        acts += 1
        act(acts)

gc.callbacks.append(on_collection)
enc = Encoder()
try:
    raise LookupError
except LookupError:  # inside a handler CPython 3.11 builds every new exception at once
    gc.set_threshold(1)
    gc.collect()
    try:
        codes, columns = enc.encode(data)
    except BaseException as exc:
        outcome = type(exc).__name__
    else:
        outcome = "encoded"
    armed = False
gc.set_threshold(700)
if outcome == "encoded":
    back = enc.decode(codes)[:, TEXT_COLUMN].tolist()
    row_of = re.compile("(?:\ufffd{3})?g\\d+r(\\d+)")
    rows = [row_of.fullmatch(t) for t in back]
    bad = [i for i, m in enumerate(rows) if m is None or int(m.group(1)) != i]
    outcome = "consistent" if not bad else f"row {bad[0]} reads {back[bad[0]]!r}"
print(acts, outcome)
"""

GC_CASES = [
    # (id, column holding the texts, acceptable outcomes, setup defining `data` and `act`)
    # strs filed by address are read after the walk, and the surrogate's error collects
    ("str addresses read after the walk", 0, ("consistent",), """
data = ndarray((n, 1), dtype=object)
data[:, 0] = texts(0, True)
def act(k):
    data[:, 0] = texts(k, True)  # drops every str of the previous generation
"""),
    # float(None) fails in the row-major walk, after the first rows' strs were filed
    ("None in a numeric column of the row-major walk", 1, ("consistent",), """
data = ndarray((n, 2), dtype=object)
data[:, 0] = 1.5
data[5, 0] = None
data[:, 1] = texts(0, False)
def act(k):
    data[:, 1] = texts(k, False)
"""),
    # float() of an int beyond the float range fails in the row-major walk
    ("huge int in a numeric column of the row-major walk", 1, ("consistent",), """
data = ndarray((n, 2), dtype=object)
data[:, 0] = 1.5
data[5, 0] = 10**400
data[:, 1] = texts(0, False)
def act(k):
    data[:, 1] = texts(k, False)
"""),
    # The column walk of a column-major array reads a str cell while the array shrinks
    # (large enough to be its own mapping, whose cut-off pages are unmapped). The walk may
    # read the cells as they were, or the live ones, whose later rows are gone: a fault.
    ("object array shrunk during the column walk", 0, ("consistent", "PanicException"), """
n = 300_000
data = ndarray((n, 2), dtype=object, order="F")
data[:, 0] = texts(0, True)
data[:, 1] = 1.5
def act(k):
    data.resize((max(2, data.shape[0] // 2), 2), refcheck=False)
"""),
    # A fixed-width cell holding a lone surrogate is read through item access, whose error
    # collects.
    ("unicode array shrunk during its walk", 1, ("consistent", "PanicException"), """
n = 100_000
data = ndarray((n, 2), dtype="U12")
data[:, 0] = data[:, 1] = texts(0, True)
def act(k):
    data.resize((max(2, data.shape[0] // 2), 2), refcheck=False)
"""),
]


@pytest.mark.parametrize(
    "text_column, outcomes, setup", [case[1:] for case in GC_CASES], ids=[case[0] for case in GC_CASES]
)
def test_collections_inside_a_call_cannot_pull_cells_away(text_column, outcomes, setup):
    script = GC_SCRIPT.replace("SETUP", setup).replace("TEXT_COLUMN", str(text_column))
    done = run_python(script, env={"PYTHONMALLOC": "debug"})
    assert done.returncode == 0, done.stderr[-3000:]
    acts, seen = done.stdout.strip().split(" ", 1)
    assert seen in outcomes
    if sys.version_info < (3, 12):
        assert int(acts) > 0  # collections did run inside the call


class FreshValues:
    """A table whose `values` is a new array of new strs on every access, so
    nothing but that array keeps its texts alive."""

    def __init__(self, rows):
        self.rows = rows
        self.shape = (rows, 2)
        self.columns = ["a", "b"]

    @property
    def values(self):
        return np.array([[f"text{i}", f"other{i % 7}"] for i in range(self.rows)], dtype=object)


FreshValues.__name__ = "DataFrame"


@pytest.mark.parametrize("rows", [10, 50_000])
def test_fresh_values_stay_alive_until_read(rows):
    enc = Encoder()
    codes, columns = enc.encode(FreshValues(rows))
    assert columns == [0, 1]
    back = enc.decode(np.asarray(codes))
    assert back[:, 0].tolist() == [f"text{i}" for i in range(rows)]
    assert back[:, 1].tolist() == [f"other{i % 7}" for i in range(rows)]




ARROW_SCRIPT = """
import numpy as np, pandas as pd, pyarrow as pa, vorpak
data = pa.py_buffer(b"abcdefgh" * 4)
fell = pa.Array.from_buffers(pa.string(), 3, [None, pa.py_buffer(np.int32([0, 4, 2, 8])), data])
views = pa.py_buffer(np.int32([1] * 4 + [20, 0, 0, 30]))  # the second runs past the 32 bytes
view = pd.arrays.ArrowExtensionArray(pa.Array.from_buffers(pa.string_view(), 2, [None, views, data]))
enc = vorpak.Encoder()
for method in (enc.encode, enc.decode):
    try:
        method(pd.DataFrame({"f": 1.0, "s": COLUMN}))
    except ValueError as exc:
        print(exc)
assert enc.__getstate__() == vorpak.Encoder().__getstate__()
"""


# A "str" column is large_string; the chunked one's bad chunk starts at row 1.
@pytest.mark.parametrize("column, fault", [
    ("pd.arrays.ArrowExtensionArray(fell)", "its offsets fall back at row 1, from 4 to 2"),
    ("pd.Series(fell, dtype='str')", "its offsets fall back at row 1, from 4 to 2"),
    ("pd.array(pa.chunked_array([fell[:1], fell[:2]]), dtype='str')", "its offsets fall back at row 2, from 4 to 2"),
    ("view", "the view of row 1 reaches outside its data buffer (bytes 30 to 50 of 32)"),
])
def test_arrow_data_that_breaks_its_layout_is_a_value_error(column, fault):
    pytest.importorskip("pyarrow")
    done = run_python(ARROW_SCRIPT.replace("COLUMN", column))  # the old reader crashed on these
    assert (done.returncode, done.stdout) == (0, f"column 1 holds invalid Arrow data: {fault}\n" * 2)


def test_category_codes_changed_by_a_cell_are_never_read_past_their_table():
    # The cell's __str__ runs after the codes were checked; int32 codes put the wild one far off.
    done = run_python("""
        import numpy as np, pandas as pd, vorpak
        frame = pd.DataFrame({"c": pd.Categorical(np.arange(40_000).astype(str))})
        codes, expected = frame["c"].array._codes, vorpak.Encoder().encode(frame)[0]["c"].tolist()
        frame["o"] = [type("Meddler", (), {"__str__": lambda _: codes.fill(2**31 - 2) or "m"})()] + ["x"] * 39_999
        print(vorpak.Encoder().encode(frame)[0]["c"].tolist() == expected)
        """)
    assert done.stdout == "True\n", done.stderr  # read from a copy taken before the cell ran
