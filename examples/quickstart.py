"""Encode and decode a small DataFrame and a NumPy object array with vorpak."""
import numpy as np
import pandas as pd

from vorpak import Encoder

frame = pd.DataFrame(
    {
        "city": ["Oslo", "Lima", None, "Oslo"],
        "temp": [3.5, 19.0, 11.2, np.nan],
        "sky": ["clear", "cloudy", "clear", "rain"],
    }
)
enc = Encoder()
codes, encoded_columns = enc.encode(frame)
print("DataFrame encoded (columns", encoded_columns, "hold codes):")
print(codes)
print("decoded back:")
print(enc.decode(codes))

table = np.array([["b", 1.0], ["a", 2.0], ["nan", 3.0], ["b", 4.0]], dtype=object)
codes, encoded_columns = enc.encode(table)
print("\nobject array encoded (columns", encoded_columns, "):")
print(codes)
print("decoded back:")
print(enc.decode(codes))
