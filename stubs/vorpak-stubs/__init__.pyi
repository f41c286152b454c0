"""Type stubs for vorpak, a native extension module with one class, Encoder."""

from typing import Literal, overload

import numpy as np
import numpy.typing as npt
import pandas as pd

class Encoder:
    """Label-encodes the text columns of a 2-D table and decodes codes back into texts."""

    def __new__(cls, encoding: Literal["label"] | None = None) -> Encoder: ...
    # Arrays first: without pandas-stubs, pd.DataFrame is Any and would match
    # every call.
    @overload
    def encode(self, obj: npt.NDArray[np.generic]) -> tuple[npt.NDArray[np.float64], list[int] | None]: ...
    @overload
    def encode(self, obj: pd.DataFrame) -> tuple[pd.DataFrame, list[int] | None]: ...
    @overload
    def decode(self, obj: npt.NDArray[np.generic]) -> npt.NDArray[np.float64] | npt.NDArray[np.object_]: ...
    @overload
    def decode(self, obj: pd.DataFrame) -> pd.DataFrame: ...
    def __getstate__(self) -> bytes: ...
    def __setstate__(self, state: bytes) -> None: ...
