"""Price frames checked and converted once into the matrices the engine
reads, and the facts about them that the delistings need."""

from __future__ import annotations

import math
from dataclasses import dataclass, field

import numpy as np
import pandas as pd

from .._native import load_engine
from .index_facts import known
from .frames import Axes, aligned, check_frame, index_ns, labels, matrix


@dataclass(eq=False)
class PriceArrays:
    """The price frames checked and converted once. A run over a range of
    bars reads row slices of these matrices: views, not copies (the engine
    reads any strides). Open, high and low are None where not given."""

    close: Axes
    close_values: np.ndarray
    open_values: np.ndarray | None
    high_values: np.ndarray | None
    low_values: np.ndarray | None
    price_ns: np.ndarray
    labels: np.ndarray
    # Trading-price frames converted so far: id -> (frame, matrix).
    trading: dict[int, tuple[pd.DataFrame, np.ndarray]] = field(default_factory=dict)
    # The dates of the bar ranges run so far, one index object per range:
    # what the statistics infer from an index is then inferred once.
    dates: dict[tuple[int, int], pd.DatetimeIndex] = field(default_factory=dict)

    def dates_of(self, bars: slice | None) -> pd.DatetimeIndex:
        if bars is None:
            return self.close.index
        key = (bars.start, bars.stop)
        if key not in self.dates:
            self.dates[key] = self.close.index[bars]
        return self.dates[key]

    def trade_values(self, frame: pd.DataFrame) -> np.ndarray:
        known = self.trading.get(id(frame))
        if known is None or known[0] is not frame:
            known = (frame, matrix(aligned(frame, self.close, "trade_at"), "trade_at"))
            self.trading[id(frame)] = known
        return known[1]


def convert_prices(close: pd.DataFrame, open: pd.DataFrame | None = None,
                   high: pd.DataFrame | None = None, low: pd.DataFrame | None = None) -> PriceArrays:
    close = check_frame(close, "close")
    close_values = matrix(close, "close")
    if close_values.shape[0] == 0 or close_values.shape[1] == 0:
        raise ValueError("close is empty; it needs at least one date and one ticker")
    index, columns = close.index, close.columns
    return PriceArrays(
        Axes(index, columns), close_values,
        _alike(open, close, index, columns, "open"),
        _alike(high, close, index, columns, "high"),
        _alike(low, close, index, columns, "low"),
        index_ns(index), labels(columns, "close"))


def _alike(frame: pd.DataFrame | None, close: pd.DataFrame, index: pd.DatetimeIndex, columns: pd.Index,
           name: str) -> np.ndarray | None:
    """Another price frame's matrix in the row and column order of ``close``.
    A frame on close's very index with equal tickers (as frames made
    together are) has its axes checked already, as close's."""
    if frame is None:
        return None
    checked = (isinstance(frame, pd.DataFrame) and frame.index is index
               and (frame.columns is columns
                    or known("same", (frame.columns, columns), lambda: frame.columns.equals(columns))))
    return matrix(frame if checked else aligned(frame, close, name), name)


def inconsistent_note(prices: PriceArrays, bars: slice | None, price_col: np.ndarray,
                      trades: dict[str, np.ndarray]) -> str | None:
    """The warning for the bars on which a run's trades (the engine's trade
    columns ``sid``, ``entry_bar``, ``exit_bar``) were held after their
    entry bar, whose high is below their low or whose open or close lies
    outside [low, high]; None when there are none. Such bars are traded as
    they are: vendors ship them, and intrabar stops read them. Only the held
    bars are read: a scan of the whole matrices would cost more than the run.
    Without high and low (both the close) there are none."""
    if prices.high_values is None and prices.low_values is None:
        return None
    first = 0 if bars is None else bars.indices(len(prices.close_values))[0]
    n_bars = len(prices.dates_of(bars))
    start = trades["entry_bar"] + 1
    stop = np.where(trades["exit_bar"] < 0, n_bars - 1, trades["exit_bar"]) + 1
    lengths = np.maximum(stop - start, 0)
    ends = np.cumsum(lengths)
    rows = np.arange(ends[-1] if len(ends) else 0) - np.repeat(ends - lengths - start, lengths)
    columns = np.repeat(price_col[trades["sid"]], lengths)
    rows_all = rows + first

    def at(values: np.ndarray | None) -> np.ndarray:
        return (prices.close_values if values is None else values)[rows_all, columns]

    close, high, low = at(None), at(prices.high_values), at(prices.low_values)
    bad = (high < low) | (close < low) | (close > high)
    if prices.open_values is not None:
        open_ = at(prices.open_values)
        bad |= (open_ < low) | (open_ > high)
    count = int(np.count_nonzero(bad))
    if not count:
        return None
    # The earliest such bar, then the first ticker on it.
    key = np.where(bad, rows * len(prices.labels) + columns, np.iinfo(np.int64).max)
    at_first = int(np.argmin(key))
    return (f"{count} bar(s) of held tickers have a high below the low, or an open or close "
            f"outside the low-high range, the first for ticker {prices.close.columns[columns[at_first]]!r} "
            f"on {prices.dates_of(bars)[rows[at_first]]}; intrabar stops test these prices as they are")


def market_last(values: np.ndarray) -> int:
    """The last bar on which any close is valid (-1 for none): usually the
    last bar itself, told from one row."""
    if len(values) == 0:
        return -1
    # Most often the first ticker has a price on the last bar: one value
    # read, not a row of a column-major matrix.
    if values.shape[1] and not math.isnan(values[-1, 0]):
        return len(values) - 1
    if not np.isnan(values[-1]).all():
        return len(values) - 1
    return int(load_engine().last_valid_rows(values).max(initial=-1))

