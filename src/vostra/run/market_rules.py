"""The market's limits on fills (volume caps, daily price limits, blocked
cells) as engine arguments: frames aligned to the close prices, checked,
each error naming its option."""

from __future__ import annotations

from typing import Any

import numpy as np
import pandas as pd

from ..data.frames import listing

#: The options of the market's limits, all None by default.
MARKET_DEFAULTS = dict(volume=None, max_volume_share=None, price_limit=None, blocked=None)


def _fraction(value: Any, name: str, *, top: float, closed: bool, example: str) -> float:
    try:
        x = float(value)
    except (TypeError, ValueError):
        raise TypeError(f"{name} must be a number such as {example}, got {type(value).__name__}") from None
    if not (x > 0 and (x <= top if closed else x < top)):
        bound = f"(0, {top:g}]" if closed else f"(0, {top:g})"
        raise ValueError(f"{name} must be a fraction in {bound} such as {example}, got {value!r}")
    return x


def _aligned(frame: Any, close: pd.DataFrame, name: str) -> pd.DataFrame:
    """``frame`` on the dates and tickers of the close prices."""
    if not isinstance(frame, pd.DataFrame):
        raise TypeError(f"{name} must be a DataFrame of dates × tickers like the close prices, "
                        f"got {type(frame).__name__}")
    missing = close.columns.difference(frame.columns)
    if len(missing) and name == "volume":
        raise ValueError(f"volume has no column for tickers of the prices: {listing(missing)}; "
                         f"a ticker without volume could never fill")
    return frame.reindex(index=close.index, columns=close.columns)


def _volume(frame: Any, close: pd.DataFrame) -> np.ndarray:
    aligned = _aligned(frame, close, "volume")
    try:
        values = aligned.to_numpy(dtype=np.float64)
    except (TypeError, ValueError):
        raise TypeError("volume must hold numbers (shares traded per bar)") from None
    if (values < 0).any() or np.isinf(values).any():
        raise ValueError("volume must be shares traded per bar, >= 0 and finite (NaN: no volume, "
                         "nothing fills)")
    return values


def _blocked(frame: Any, close: pd.DataFrame) -> np.ndarray:
    aligned = _aligned(frame, close, "blocked")
    if not all(pd.api.types.is_bool_dtype(t) for t in getattr(frame, "dtypes", [])):
        raise TypeError("blocked must be a bool frame (True: nothing fills for that ticker on that date)")
    return aligned.fillna(False).to_numpy(dtype=bool)


def market_arguments(close: pd.DataFrame, bars: slice | None = None, *, volume: Any = None,
                     max_volume_share: Any = None, price_limit: Any = None,
                     blocked: Any = None) -> dict[str, Any]:
    """The engine's market options of a run over the bars ``bars`` of
    ``close`` (all by default); empty when none is given."""
    out: dict[str, Any] = {}
    if (volume is None) != (max_volume_share is None):
        raise ValueError("max_volume_share needs volume (a frame of shares traded per bar, or a Market "
                         "with volume), and volume needs max_volume_share (the share of each bar's volume "
                         "an order may fill, such as 0.01)")
    cut = slice(None) if bars is None else bars
    if volume is not None:
        out["max_volume_share"] = _fraction(max_volume_share, "max_volume_share", top=1.0, closed=True,
                                            example="0.01")
        out["volume"] = _volume(volume, close)[cut]
    if price_limit is not None:
        out["price_limit"] = _fraction(price_limit, "price_limit", top=1.0, closed=False, example="0.1")
    if blocked is not None:
        out["blocked"] = _blocked(blocked, close)[cut]
    return out
