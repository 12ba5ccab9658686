"""Window lengths of walk-forwards and of the fits of strategies: a number
of bars, or a calendar length such as "3Y"."""

from __future__ import annotations

import re
from typing import Any

import numpy as np
import pandas as pd

__all__ = ["Length", "window_length"]

Length = int | str | pd.DateOffset

_UNITS = {"D": "days", "W": "weeks", "M": "months", "Y": "years"}


def window_length(value: Any, name: str) -> int | pd.DateOffset:
    """A window length: a number of bars, or a calendar length ("3Y", "6M",
    "2Q", "13W", "90D", or a pandas DateOffset)."""
    if isinstance(value, (bool, np.bool_)):
        raise TypeError(f"{name} must be a number of bars or a length such as '2Y', got {value!r}")
    if isinstance(value, (int, np.integer)):
        if value < 1:
            raise ValueError(f"{name} must be at least 1 bar, got {value}")
        return int(value)
    if isinstance(value, pd.DateOffset):
        return value
    if isinstance(value, str):
        match = re.fullmatch(r"\s*(\d+)\s*([DWMQY])\s*", value.upper())
        if match and int(match.group(1)) > 0:
            count, unit = int(match.group(1)), match.group(2)
            if unit == "Q":
                count, unit = 3 * count, "M"
            return pd.DateOffset(**{_UNITS[unit]: count})
        raise ValueError(
            f"{name}={value!r} is not a window length; use a positive count with a unit "
            f"D, W, M, Q or Y (e.g. '2Y', '6M', '13W'), or a number of bars"
        )
    raise TypeError(f"{name} must be a number of bars or a length such as '2Y', "
                    f"got {type(value).__name__}")
