"""CodeBook against Encoder, and against a plain model of looking texts up."""
import math
import pickle

import numpy as np
import pandas as pd
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from vorpak import Encoder
from vorpak_ml import CodeBook

MARKERS = ["nan", "NaN", "<NA>"]
WORDS = MARKERS + ["", "a", "B", "é", "10", "1", "𝄞x"]
cells = st.one_of(st.sampled_from(WORDS), st.integers(-3, 3), st.floats(), st.none())
ROWS = st.integers(0, 12)


def frame_column(kind, values):
    texts = [v if isinstance(v, str) else str(v) for v in values]
    if kind == "arrow":
        return pd.array([None if t in MARKERS else t for t in texts], dtype="str")
    if kind == "category":
        return pd.Categorical(texts)
    if kind == "float":
        return np.array([len(t) for t in texts], dtype=float)
    return np.array(values, dtype=object)


@st.composite
def tables(draw):
    n, width = draw(ROWS), draw(st.integers(1, 4))
    columns = [draw(st.lists(cells, min_size=n, max_size=n)) for _ in range(width)]
    kind = draw(st.sampled_from(["objects", "unicode", "floats", "frame"]))
    if kind == "frame":
        kinds = draw(st.lists(st.sampled_from(["object", "arrow", "category", "float"]),
                              min_size=width, max_size=width))
        return pd.DataFrame({j: frame_column(k, c) for j, (k, c) in enumerate(zip(kinds, columns))})
    table = np.array(columns, dtype=object).T.reshape(n, width)
    if kind == "unicode":
        return table.astype(str)
    if kind == "floats":
        return np.array([len(str(v)) / 2 for v in table.flat], dtype=float).reshape(n, width)
    return table


def bits(result):
    return np.ascontiguousarray(np.asarray(result, dtype=float)).view(np.uint64)


def same_decoded(a, b):
    a, b = np.asarray(a, dtype=object), np.asarray(b, dtype=object)
    return a.shape == b.shape and all(
        x == y or (x != x and y != y) or (x is None and y is None) for x, y in zip(a.flat, b.flat))


@settings(max_examples=200, deadline=None)
@given(tables())
def test_a_book_codes_its_own_table_as_encode_and_decodes_as_decode(table):
    encoder = Encoder()
    codes, _ = encoder.encode(table)
    book = CodeBook.fit(table)
    coded = book.transform(table)
    assert np.array_equal(bits(coded), bits(codes))
    assert same_decoded(book.inverse_transform(coded), encoder.decode(codes))
    for other in (CodeBook.from_encoder(encoder), pickle.loads(pickle.dumps(book))):
        assert other == book
        assert np.array_equal(bits(other.transform(table)), bits(codes))
    assert np.array_equal(bits(book.to_encoder().encode(table)[0]), bits(codes))


@st.composite
def train_and_test(draw):
    width = draw(st.integers(1, 3))
    numbers, words = st.integers(-3, 3).map(float), st.sampled_from(WORDS)
    # Columns of numbers, of texts and of both, so that each kind is fitted.
    def table(n):
        columns = [draw(st.lists(draw(st.sampled_from([numbers, words, numbers | words])),
                                 min_size=n, max_size=n)) for _ in range(width)]
        return np.array(columns, dtype=object).T.reshape(n, width)
    return table(draw(ROWS)), table(draw(ROWS))


def modelled(book, table, unknown):
    """Each cell looked up in the book by the text encode would read for it."""
    out = np.empty(table.shape)
    for j in range(table.shape[1]):
        texts = book.texts(j) if j in book.encoded_columns else None
        column = list(table[:, j])
        turn = next((i for i, v in enumerate(column) if isinstance(v, str)), len(column))
        for i, v in enumerate(column):
            text = (str(int(v)) if i < turn else str(v)) if isinstance(v, float) else v
            if text in MARKERS or (isinstance(v, float) and texts is None and i < turn):
                out[i, j] = math.nan if text in MARKERS else v
            elif texts is not None and text in texts:
                out[i, j] = texts.index(text)
            else:
                out[i, j] = unknown
    return out


@settings(max_examples=200, deadline=None)
@given(train_and_test())
def test_a_new_table_codes_as_looking_each_text_up(tables):
    fit, new = tables
    book = CodeBook.fit(fit)
    assert np.array_equal(book.transform(new, unknown=-7.5), modelled(book, new, -7.5),
                          equal_nan=True)
    expected = modelled(book, new, math.inf)
    if np.isinf(expected).any():
        with pytest.raises(ValueError, match=r"unknown text .* in column \d+, row \d+"):
            book.transform(new)


def test_unknown_texts_are_named_by_column_label_and_row():
    book = CodeBook.fit(pd.DataFrame({"x": [1.0, 2.0], "city": ["Oslo", "Lima"]}))
    new = pd.DataFrame({"x": [3.0, 4.0], "city": ["Lima", "Rome"]}, index=["p", "q"])
    with pytest.raises(ValueError, match=r"unknown text 'Rome' in column 'city', row 'q'"):
        book.transform(new)
    got = book.transform(new, unknown="nan")
    assert got.index.tolist() == ["p", "q"] and got.columns.tolist() == ["x", "city"]
    assert got["city"].tolist()[0] == 0.0 and math.isnan(got["city"].tolist()[1])


def test_frames_keep_their_index_and_any_column_labels():
    columns = pd.MultiIndex.from_tuples([("a", 1), ("b", None)])
    frame = pd.DataFrame([["u", 1.5], ["v", 2.5]], index=[10, 20], columns=columns)
    book = CodeBook.fit(frame)
    for result in (book.transform(frame), book.inverse_transform(book.transform(frame))):
        assert result.index.equals(frame.index) and result.columns.equals(columns)
    assert repr(book) == "CodeBook(n_columns=2, texts per column={0: 2})"
    assert book.texts(0) == ("u", "v") and book.encoded_columns == (0,)


@pytest.mark.parametrize("call, error, message", [
    (lambda b: b.transform(np.zeros((1, 3))), ValueError, "has 3 columns, but the book was fitted on 2"),
    (lambda b: CodeBook.from_bytes(b.to_bytes()).transform(np.zeros((1, 1))), ValueError, "codes column 1"),
    (lambda b: b.transform(np.zeros((1, 2)), unknown="drop"), ValueError, "unknown must be"),
    (lambda b: b.transform([[1, "a"]]), TypeError, "expects a numpy.ndarray, a pandas.DataFrame"),
    (lambda b: CodeBook.from_bytes(b"\x02"), ValueError, "bytes do not hold a code book: "),
    (lambda b: CodeBook.from_encoder(b), TypeError, "expected a vorpak.Encoder"),
    (lambda b: CodeBook(), TypeError, "CodeBook.fit"),
    (lambda b: b.texts(0), ValueError, "column 0 holds no texts"),
])
def test_bad_input_gets_a_clear_error(call, error, message):
    book = CodeBook.fit(np.array([[1.0, "a"]], dtype=object))
    with pytest.raises(error, match=message):
        call(book)


@pytest.mark.parametrize("kind", ["shared", "per-cell", "arrow", "category", "unicode"])
def test_long_tables_on_the_pooled_roads_code_as_encode(kind):
    rng = np.random.default_rng(5)
    words = np.array([f"w{i}é" for i in range(3000)] + MARKERS + ["1", "𝄞"], dtype=object)
    texts = words[rng.integers(0, len(words), 100_000)]
    mixed = texts.copy()
    mixed[:700] = rng.normal(size=700)  # numbers above the first text, then below it too
    mixed[5000::977] = 2.5
    columns = {"per-cell": [np.array([(t + "_")[:-1] for t in texts.tolist()], dtype=object), mixed],
               "arrow": [pd.array(texts.tolist(), dtype="str")],
               "category": [pd.Categorical(texts), pd.Categorical(mixed.astype(str))],
               "unicode": [texts.astype(str)]}.get(kind, [texts, mixed])
    table = (np.column_stack(columns) if kind in ("shared", "per-cell", "unicode")
             else pd.DataFrame(dict(enumerate(columns))))
    book = CodeBook.fit(table)
    assert np.array_equal(bits(book.transform(table)), bits(Encoder().encode(table)[0]))
    half = table[: len(texts) // 2]
    assert np.array_equal(bits(book.transform(half)), bits(book.transform(table))[: len(half)])
