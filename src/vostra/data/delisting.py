"""Delisting bars: derived from where a stock's closes end, or given as
``{ticker: date}``."""

from __future__ import annotations

from collections.abc import Mapping
from typing import Any, Literal, Union

import numpy as np
import pandas as pd

from .frames import Axes, listing
from .prices import market_last

Delisting = Union[Literal["auto"], Mapping[Any, Any], pd.Series, None]


def delisting_horizon(market_end: int) -> int:
    """The bar before which a stock's closes must end for ``delisting="auto"``
    to take it as delisted, given the market's last bar with any close.

    A stock whose closes stop only on the market's last bar (a missing last
    row: a vendor's lag, a halt, or a delisting not yet known) is not taken
    as delisted: a held one keeps its value at its last close, as in a
    suspension, and the orders keep it and flag it rather than sell it.
    From two bars without a close on, while others still trade, it is.
    """
    return market_end - 1 if market_end > 0 else -1


def auto_delisting(last: np.ndarray, has_any: np.ndarray, market_end: int) -> np.ndarray:
    """Delisting bar per price column: the bar after the last valid close.

    A stock counts as delisted when its close is NaN on every bar from some
    bar on, while other stocks still have prices on at least the two last
    of those bars (see :func:`delisting_horizon`): the market's last bar
    ``market_end`` is the last one on which any close is valid, so an
    all-NaN final row (a placeholder for tomorrow) does not delist everyone.
    A column that ends together with the market, or has no price at all, is
    never delisted. Only the columns that some weight may hold need their
    last close: a stock never held is never sold, so the others read -1.
    """
    if market_end < 0:
        return np.full(len(last), -1, dtype=np.int64)
    return np.where(has_any & (last < delisting_horizon(market_end)), last + 1, -1).astype(np.int64)


def explicit_delisting(delisting: Mapping[Any, Any] | pd.Series, close: pd.DataFrame | Axes,
                       price_ns: np.ndarray) -> np.ndarray:
    """Delisting bar per price column from ``{ticker: date}``: the first bar at
    or after the date (-1 when the date is missing or after the last bar)."""
    items = delisting.items()
    bars = np.full(len(close.columns), -1, dtype=np.int64)
    unknown = []
    for ticker, date in items:
        loc = close.columns.get_indexer([ticker])[0]
        if loc < 0:
            unknown.append(ticker)
            continue
        if date is None or pd.isna(date):
            continue
        ts = pd.Timestamp(date)
        if (ts.tz is None) != (close.index.tz is None):
            raise ValueError(
                f"delisting date {ts} for {ticker!r} and close.index differ in "
                f"timezone awareness"
            )
        bar = int(np.searchsorted(price_ns, ts.as_unit("ns").value, side="left"))
        bars[loc] = bar if bar < len(price_ns) else -1
    if unknown:
        raise ValueError(f"delisting names tickers that are not in close: {listing(unknown)}")
    return bars



def delisting_by_option(delisting: Delisting, last: np.ndarray, has_any: np.ndarray,
                        close_values: np.ndarray, close: Axes, price_ns: np.ndarray) -> np.ndarray | None:
    """Delisting bar per price column for the ``delisting`` option of a
    backtest, None when delisting is off."""
    if isinstance(delisting, str) and delisting == "auto":
        return auto_delisting(last, has_any, market_last(close_values))
    if delisting is None:
        return None
    if isinstance(delisting, (Mapping, pd.Series)):
        return explicit_delisting(delisting, close, price_ns)
    raise ValueError(
        "delisting must be 'auto', None or a mapping {ticker: delisting date}, "
        f"got {type(delisting).__name__}"
    )
