"""Fitted code tables as a value: fit once, apply to new tables.

``CodeBook.fit(table)`` keeps the tables that ``vorpak.Encoder().encode(table)``
fits; ``book.transform(new)`` codes another table of the same width through
them, and ``book.inverse_transform(codes)`` turns codes back into texts.
"""

from __future__ import annotations

import math
import numbers
from typing import TYPE_CHECKING, Any


import vorpak

from ._containers import label_of, like_input, readable
from ._native import FittedBook

if TYPE_CHECKING:
    from ._sklearn import OrdinalEncoder

__all__ = ["CodeBook", "OrdinalEncoder"]


def __getattr__(name: str) -> Any:
    # scikit-learn is an optional extra: imported when its transformer is asked for.
    if name == "OrdinalEncoder":
        from ._sklearn import OrdinalEncoder

        return OrdinalEncoder
    raise AttributeError(f"module 'vorpak_ml' has no attribute {name!r}")

def _unknown_value(unknown: Any) -> float | None:
    """None to raise on an unknown text, else the value such a cell gets."""
    if isinstance(unknown, str):
        if unknown == "error":
            return None
        if unknown == "nan":
            return math.nan
    elif isinstance(unknown, numbers.Real) and not isinstance(unknown, bool):
        return float(unknown)
    raise ValueError(f"unknown must be 'error', 'nan' or a number, not {unknown!r}")


class CodeBook:
    """The code tables of one fit, one per text column.

    Make one with ``CodeBook.fit(table)``, ``CodeBook.from_bytes(data)`` or
    ``CodeBook.from_encoder(encoder)``. A book never changes once made.
    """

    __slots__ = ("_book", "_width")

    def __init__(self) -> None:
        raise TypeError(
            "make a CodeBook with CodeBook.fit(table), CodeBook.from_bytes(data) "
            "or CodeBook.from_encoder(encoder)"
        )

    @classmethod
    def _of(cls, book: FittedBook, width: int | None) -> CodeBook:
        self = object.__new__(cls)
        self._book = book
        self._width = width
        return self

    @classmethod
    def fit(cls, table: Any) -> CodeBook:
        """The tables ``vorpak.Encoder().encode(table)`` would fit.

        `table` may also be a polars DataFrame or an Arrow table (anything with
        ``__arrow_c_stream__``): it is read as the pandas frame of its Arrow
        columns, texts in place, numbers as float64 with NaN for null.
        """
        book = FittedBook()
        width = book.fit(readable(table, "fit"))
        return cls._of(book, width)

    def transform(self, table: Any, unknown: str | float = "error") -> Any:
        """Codes `table` through the stored tables.

        Cells are read as ``encode`` reads them. A text a column's table lacks, or
        a text in a column that held only numbers when fitted, is unknown:
        ``unknown="error"`` raises ValueError naming the column, the row and the
        text, ``"nan"`` gives NaN, a number gives that number. Missing-value
        markers give NaN always; numbers in numeric columns pass through.
        """
        value = _unknown_value(unknown)
        try:
            coded = self._book.transform(readable(table, "transform"), self._width, value)
        except ValueError as error:
            if len(error.args) != 4:
                raise
            _, column, row, text = error.args
            column, row = label_of(table, column, row)
            raise ValueError(f"unknown text {text!r} in column {column!r}, row {row!r}") from None
        return like_input(coded, table)

    def inverse_transform(self, codes: Any) -> Any:
        """What ``Encoder.decode`` gives for `codes` with these tables."""
        texts = self._book.inverse_transform(readable(codes, "inverse_transform"))
        return like_input(texts, codes)

    @property
    def n_columns(self) -> int | None:
        """The width of the fitted table; None for a book read from bytes."""
        return self._width

    @property
    def encoded_columns(self) -> tuple[int, ...]:
        """Positions of the columns that hold text, ascending."""
        return tuple(self._book.encoded_columns() or ())

    def texts(self, column: int) -> tuple[str, ...]:
        """The texts of column `column` (a position), in code order."""
        return self._book.texts(column)

    def to_bytes(self) -> bytes:
        """The tables in the layout ``Encoder`` pickles."""
        return self._book.to_bytes()

    @classmethod
    def from_bytes(cls, data: bytes) -> CodeBook:
        """A book of the tables in `data`: bytes from ``to_bytes`` or an Encoder's pickle state."""
        book = FittedBook()
        book.load(data)
        return cls._of(book, None)

    @classmethod
    def from_encoder(cls, encoder: vorpak.Encoder) -> CodeBook:
        """A book of the tables `encoder` holds."""
        if not isinstance(encoder, vorpak.Encoder):
            raise TypeError(f"expected a vorpak.Encoder, not {type(encoder).__name__}")
        return cls.from_bytes(encoder.__getstate__())

    def to_encoder(self) -> vorpak.Encoder:
        """A new Encoder holding these tables."""
        encoder = vorpak.Encoder()
        encoder.__setstate__(self.to_bytes())
        return encoder

    def __reduce__(self) -> tuple[Any, ...]:
        return (_restore, (self.to_bytes(), self._width))

    def __eq__(self, other: object) -> bool:
        if not isinstance(other, CodeBook):
            return NotImplemented
        return self._book.same_tables(other._book)

    __hash__ = None  # type: ignore[assignment]

    def __repr__(self) -> str:
        sizes = ", ".join(f"{j}: {self._book.text_count(j)}" for j in self.encoded_columns)
        return f"CodeBook(n_columns={self._width}, texts per column={{{sizes}}})"


def _restore(data: bytes, width: int | None) -> CodeBook:
    book = FittedBook()
    book.load(data)
    return CodeBook._of(book, width)
