"""The market a backtest reads: daily prices as wide frames, dates x tickers."""

from __future__ import annotations

from dataclasses import dataclass

import pandas as pd

__all__ = ["Market"]


@dataclass(frozen=True)
class Market:
    """Daily prices, dates × tickers; NaN where a stock does not trade.

    ``listed`` and ``delisted`` give, per ticker, the first and the last date
    with a price (``delisted`` is NaT for stocks that trade to the end).
    """

    open: pd.DataFrame
    high: pd.DataFrame
    low: pd.DataFrame
    close: pd.DataFrame
    listed: pd.Series
    delisted: pd.Series
