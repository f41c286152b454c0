"""The tables CodeBook reads and gives back: NumPy, pandas, polars and Arrow."""

from __future__ import annotations

import sys
from typing import Any

import numpy as np
import pandas as pd


def _is_polars(table: Any) -> bool:
    polars = sys.modules.get("polars")  # a polars table means polars is imported already
    return polars is not None and isinstance(table, polars.DataFrame)


def _is_arrow(table: Any) -> bool:
    return not isinstance(table, (np.ndarray, pd.DataFrame)) and hasattr(
        table, "__arrow_c_stream__"
    )


def is_frame(table: Any) -> bool:
    """Whether `table` is read column by column: a pandas, polars or Arrow table."""
    return isinstance(table, pd.DataFrame) or _is_polars(table) or _is_arrow(table)


def _arrow_column(column: Any) -> Any:
    """One Arrow column as pandas keeps it for the native reader."""
    import pyarrow as pa
    import pyarrow.compute as pc

    kind = column.type
    if pa.types.is_string_view(kind):
        column, kind = pc.cast(column, pa.large_string()), pa.large_string()
    if pa.types.is_string(kind) or pa.types.is_large_string(kind):
        # Read in place from Arrow memory; a null is pd.NA, a missing-value marker.
        return pd.arrays.ArrowExtensionArray(column)
    if pa.types.is_integer(kind) or pa.types.is_floating(kind) or pa.types.is_boolean(kind):
        # Numbers as the float64 they are coded as, a null as NaN.
        return pc.cast(column, pa.float64()).to_numpy()
    return column.to_pandas()  # dictionaries become categoricals, dates Timestamps


def _frame_of_arrow(table: Any) -> pd.DataFrame:
    import pyarrow as pa

    arrow = pa.table(table)
    columns = {j: _arrow_column(column) for j, column in enumerate(arrow.columns)}
    return pd.DataFrame(columns, index=pd.RangeIndex(arrow.num_rows))


def readable(table: Any, method: str) -> Any:
    """`table` as the native reader takes it: an ndarray, or a frame whose labels
    (any hashables) are positions. Neither copies a frame's data."""
    if isinstance(table, np.ndarray):
        return table
    if isinstance(table, pd.DataFrame):
        frame = table.copy(deep=False)
        frame.columns = pd.RangeIndex(table.shape[1])
        return frame
    if _is_polars(table) or _is_arrow(table):
        return _frame_of_arrow(table)
    raise TypeError(
        f"CodeBook.{method} expects a numpy.ndarray, a pandas.DataFrame, a polars.DataFrame "
        f"or an Arrow table, not {type(table).__name__}"
    )


def column_names(table: Any) -> list[Any]:
    if isinstance(table, pd.DataFrame):
        return list(table.columns)
    if _is_polars(table):
        return list(table.columns)
    import pyarrow as pa

    return list(pa.table(table).column_names)


def like_input(result: Any, table: Any) -> Any:
    """The native result (an ndarray or a frame of positions) in `table`'s kind."""
    if isinstance(table, np.ndarray):
        return result
    if isinstance(table, pd.DataFrame):
        result.index = table.index
        result.columns = table.columns
        return result
    import pyarrow as pa

    names = [str(name) for name in column_names(table)]
    # NaN stays NaN: codes are float64 numbers, as in the other kinds.
    arrays = [pa.array(result[j].to_numpy()) for j in result.columns]
    arrow = pa.Table.from_arrays(arrays, names=names)
    if _is_polars(table):
        import polars as pl

        return pl.from_arrow(arrow)
    return arrow


def label_of(table: Any, column: int, row: int) -> tuple[Any, Any]:
    """How the caller names a cell: by label in a frame, by position elsewhere."""
    if isinstance(table, pd.DataFrame):
        labels = table.columns[column], table.index[row]
        return tuple(v.item() if isinstance(v, np.generic) else v for v in labels)
    if isinstance(table, np.ndarray):
        return column, row
    return column_names(table)[column], row
