"""vorpak_ml.OrdinalEncoder as scikit-learn sees it, and CodeBook on polars and Arrow."""
import pickle

import numpy as np
import pandas as pd
import pytest

sklearn = pytest.importorskip("sklearn")
from sklearn.compose import ColumnTransformer  # noqa: E402
from sklearn.pipeline import make_pipeline  # noqa: E402
from sklearn.preprocessing import StandardScaler  # noqa: E402
from sklearn.utils.estimator_checks import parametrize_with_checks  # noqa: E402

from vorpak import Encoder  # noqa: E402
from vorpak_ml import CodeBook, OrdinalEncoder  # noqa: E402


@parametrize_with_checks([
    OrdinalEncoder(),
    OrdinalEncoder(handle_unknown="use_encoded_value", unknown_value=-1, encoded_missing_value=-2),
])
def test_scikit_learn_estimator_checks(estimator, check):
    check(estimator)


TRAIN = pd.DataFrame({"city": ["Oslo", "Lima", np.nan, "Oslo"], "t": [3.5, 19.0, 11.2, 8.0]})
TEST = pd.DataFrame({"city": ["Rome", "Lima", "nan"], "t": [1.0, 2.0, 3.0]})


def test_unknown_and_missing_codes_as_scikit_learn_names_them():
    encoder = OrdinalEncoder(handle_unknown="use_encoded_value", unknown_value=np.nan,
                             encoded_missing_value=-1).fit(TRAIN)
    codes = encoder.transform(TEST)
    assert np.isnan(codes[0, 0]) and codes[1:, 0].tolist() == [0.0, -1.0]
    assert codes[:, 1].tolist() == [1.0, 2.0, 3.0]
    assert encoder.inverse_transform(codes[1:])[:, 0].tolist() == ["Lima", "NaN"]
    with pytest.raises(ValueError, match="unknown text 'Rome' in column 'city', row 0"):
        OrdinalEncoder().fit(TRAIN).transform(TEST)
    with pytest.raises(ValueError, match="handle_unknown"):
        OrdinalEncoder(handle_unknown="ignore").fit(TRAIN)


@pytest.mark.parametrize("output", ["pandas", "polars"])
def test_in_pipelines_with_set_output_and_pickling(output):
    pytest.importorskip(output)
    columns = ColumnTransformer([("codes", OrdinalEncoder(), ["city"]),
                                 ("scaled", StandardScaler(), ["t"])])
    model = make_pipeline(columns).set_output(transform=output).fit(TRAIN)
    got = pickle.loads(pickle.dumps(model)).transform(TRAIN)
    assert list(got.columns) == ["codes__city", "scaled__t"]
    assert np.array_equal(np.asarray(got["codes__city"]), [1.0, 0.0, np.nan, 1.0], equal_nan=True)
    assert list(OrdinalEncoder().fit(TRAIN).get_feature_names_out()) == ["city", "t"]


@pytest.mark.parametrize("kind", ["arrow", "polars"])
def test_arrow_and_polars_tables_code_as_their_pandas_frame(kind):
    pa = pytest.importorskip("pyarrow")
    texts = ["b", None, "é", "b", "nan"] * 8000
    table = pa.table({"s": texts, "n": pa.array([1, None, 3, 4, 5] * 8000),
                      "c": pa.array(texts).dictionary_encode(),
                      "v": pa.array(texts, pa.string_view())})
    if kind == "polars":
        table = pytest.importorskip("polars").from_arrow(table)
    frame = pd.DataFrame({"s": pd.array(texts, dtype=pd.ArrowDtype(pa.string())),
                          "n": [1.0, np.nan, 3.0, 4.0, 5.0] * 8000,
                          "c": pd.Categorical(texts), "v": pd.array(texts, dtype="str")})
    book = CodeBook.fit(table)
    codes = book.transform(table)
    assert type(codes) is type(table) and list(codes.columns if kind == "polars"
                                               else codes.column_names) == ["s", "n", "c", "v"]
    expected = Encoder().encode(frame)[0].to_numpy()
    got = codes.to_numpy() if kind == "polars" else np.column_stack([c.to_numpy() for c in codes.columns])
    assert np.array_equal(got, expected, equal_nan=True)
    other = CodeBook.fit(frame)  # its markers differ: a null is "<NA>" there, "nan" in str
    assert [book.texts(j) for j in (0, 2, 3)] == [other.texts(j) for j in (0, 2, 3)]
    assert type(book.inverse_transform(codes)) is type(table)
