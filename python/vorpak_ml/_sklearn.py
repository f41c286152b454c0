"""A scikit-learn transformer over CodeBook."""

from __future__ import annotations

import math
import numbers
from typing import Any

import numpy as np
from sklearn.base import BaseEstimator, OneToOneFeatureMixin, TransformerMixin
from sklearn.utils.validation import check_array, check_is_fitted, validate_data

from . import CodeBook
from ._containers import is_frame


class OrdinalEncoder(OneToOneFeatureMixin, TransformerMixin, BaseEstimator):
    """Codes the text columns of a table as sorted category codes.

    Each column that holds text gets codes 0, 1, ... in ascending byte order of
    its distinct texts; numeric columns pass through unchanged, and the cells
    "nan", "NaN", "<NA>", NaN and ``pd.NA`` are missing. Parameters as in
    ``sklearn.preprocessing.OrdinalEncoder`` where the meaning is the same:

    handle_unknown : "error" or "use_encoded_value"
        What a text unseen in fit gives at transform: a ValueError, or
        `unknown_value`.
    unknown_value : float or None
        The code of an unseen text under "use_encoded_value" (NaN allowed).
    encoded_missing_value : float
        The code of a missing cell in a text column (NaN by default).
    dtype : float dtype
        The dtype of the output.
    """

    def __init__(
        self,
        *,
        handle_unknown: str = "error",
        unknown_value: float | None = None,
        encoded_missing_value: float = np.nan,
        dtype: Any = np.float64,
    ) -> None:
        self.handle_unknown = handle_unknown
        self.unknown_value = unknown_value
        self.encoded_missing_value = encoded_missing_value
        self.dtype = dtype

    def __sklearn_tags__(self) -> Any:
        tags = super().__sklearn_tags__()
        tags.input_tags.allow_nan = True
        tags.input_tags.string = True
        tags.input_tags.categorical = True
        tags.transformer_tags.preserves_dtype = []
        return tags

    def _check_params(self) -> None:
        if self.handle_unknown not in ("error", "use_encoded_value"):
            raise ValueError(
                "handle_unknown must be 'error' or 'use_encoded_value', "
                f"got {self.handle_unknown!r}"
            )
        if self.handle_unknown == "use_encoded_value":
            if not _is_number(self.unknown_value):
                raise TypeError(
                    "unknown_value must be a number (NaN allowed) when handle_unknown is "
                    f"'use_encoded_value', got {self.unknown_value!r}"
                )
        elif self.unknown_value is not None:
            raise TypeError(
                "unknown_value should only be set when handle_unknown is 'use_encoded_value', "
                f"got {self.unknown_value!r}"
            )
        if not _is_number(self.encoded_missing_value):
            raise TypeError(
                f"encoded_missing_value must be a number, got {self.encoded_missing_value!r}"
            )
        if not np.issubdtype(np.dtype(self.dtype), np.floating):
            raise ValueError(f"dtype must be a floating dtype, got {self.dtype!r}")

    def _table(self, X: Any, reset: bool) -> Any:
        if is_frame(X):
            # Read as it is, its columns in place: only the names and width are checked.
            validate_data(self, X, reset=reset, skip_check_array=True)
            if X.shape[0] == 0 or X.shape[1] == 0:
                raise ValueError(
                    f"Found array with {X.shape[0]} sample(s) and {X.shape[1]} feature(s) "
                    f"(shape={X.shape}) while a minimum of 1 is required."
                )
            return X
        return validate_data(
            self, X, reset=reset, dtype=None, ensure_all_finite=False, accept_sparse=False
        )

    def fit(self, X: Any, y: Any = None) -> OrdinalEncoder:
        """Fits a code book on X; y is ignored."""
        self._check_params()
        self.book_ = CodeBook.fit(self._table(X, reset=True))
        return self

    def transform(self, X: Any) -> np.ndarray:
        """Codes X through the fitted book, as a 2-D array of `dtype`."""
        check_is_fitted(self)
        X = self._table(X, reset=False)
        unknown = "error" if self.handle_unknown == "error" else self.unknown_value
        return self._codes(X, unknown)

    def _codes(self, X: Any, unknown: Any) -> np.ndarray:
        codes = _as_array(self.book_.transform(X, unknown=unknown))
        missing_value = self.encoded_missing_value
        encoded = list(self.book_.encoded_columns)
        if math.isnan(missing_value) or not encoded:
            return codes.astype(self.dtype, copy=False)
        block = codes[:, encoded]
        missing = np.isnan(block)
        if unknown != "error" and math.isnan(unknown):
            # Unknown texts are NaN too: a second look with another value tells them apart.
            missing &= np.isnan(_as_array(self.book_.transform(X, unknown=-1.0))[:, encoded])
        block[missing] = missing_value
        codes[:, encoded] = block
        return codes.astype(self.dtype, copy=False)

    def inverse_transform(self, X: Any) -> Any:
        """The texts of the codes in X (an object array, or X's container kind)."""
        check_is_fitted(self)
        if is_frame(X):
            return self.book_.inverse_transform(X)
        X = check_array(X, dtype=None, ensure_all_finite=False)
        if X.shape[1] != self.n_features_in_:
            raise ValueError(
                f"X has {X.shape[1]} features, but {type(self).__name__} is expecting "
                f"{self.n_features_in_} features as input."
            )
        if not math.isnan(self.encoded_missing_value) and self.book_.encoded_columns:
            X = np.array(X, dtype=float)
            encoded = list(self.book_.encoded_columns)
            block = X[:, encoded]
            block[block == self.encoded_missing_value] = np.nan
            X[:, encoded] = block
        return self.book_.inverse_transform(X)


def _as_array(codes: Any) -> np.ndarray:
    if isinstance(codes, np.ndarray):
        return codes
    if hasattr(codes, "to_numpy"):  # pandas and polars
        return np.array(codes.to_numpy(), dtype=float)  # a frame's may be read-only
    return np.column_stack([column.to_numpy() for column in codes.columns])  # Arrow


def _is_number(value: Any) -> bool:
    return isinstance(value, numbers.Real) and not isinstance(value, bool)
