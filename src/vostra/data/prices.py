"""Price frames checked and converted once into the matrices the engine
reads, and the facts about them that the delistings need."""

from __future__ import annotations

import math
from dataclasses import dataclass, field

import numpy as np
import pandas as pd

from .._native import load_engine
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
    _inconsistent: tuple[np.ndarray, np.ndarray] | None = None

    def dates_of(self, bars: slice | None) -> pd.DatetimeIndex:
        if bars is None:
            return self.close.index
        key = (bars.start, bars.stop)
        if key not in self.dates:
            self.dates[key] = self.close.index[bars]
        return self.dates[key]

    def inconsistent_bars(self) -> tuple[np.ndarray, np.ndarray]:
        """(rows, columns), in date order, of the bars whose high is below
        their low or whose open or close lies outside [low, high]; found
        once. Without high and low (both the close) there are none."""
        if self._inconsistent is None:
            rows = columns = np.empty(0, dtype=np.intp)
            if self.high_values is not None or self.low_values is not None:
                close = self.close_values
                high = close if self.high_values is None else self.high_values
                low = close if self.low_values is None else self.low_values
                bad = (high < low) | (close < low) | (close > high)
                if self.open_values is not None:
                    bad |= (self.open_values < low) | (self.open_values > high)
                rows, columns = np.nonzero(bad)
            self._inconsistent = (rows, columns)
        return self._inconsistent

    def trade_values(self, frame: pd.DataFrame) -> np.ndarray:
        known = self.trading.get(id(frame))
        if known is None or known[0] is not frame:
            known = (frame, matrix(aligned(frame, self.close, "trade_at"), "trade_at"))
            self.trading[id(frame)] = known
        return known[1]


def convert_prices(close: pd.DataFrame, open: pd.DataFrame | None = None,
                   high: pd.DataFrame | None = None, low: pd.DataFrame | None = None) -> PriceArrays:
    close = check_frame(close, "close")
    if len(close.index) == 0 or len(close.columns) == 0:
        raise ValueError("close is empty; it needs at least one date and one ticker")
    open = aligned(open, close, "open")
    high = aligned(high, close, "high")
    low = aligned(low, close, "low")
    return PriceArrays(
        Axes(close.index, close.columns), matrix(close, "close"),
        None if open is None else matrix(open, "open"),
        None if high is None else matrix(high, "high"),
        None if low is None else matrix(low, "low"),
        index_ns(close.index), labels(close.columns, "close"))



def inconsistent_note(prices: PriceArrays, bars: slice | None, columns: np.ndarray) -> str | None:
    """The warning for bars of the price columns ``columns`` (in the bars
    ``bars``) whose prices contradict each other, or None. Such bars are
    traded as they are: vendors ship them, and intrabar stops read them."""
    rows, cols = prices.inconsistent_bars()
    if not len(rows):
        return None
    used = np.isin(cols, columns)
    if bars is not None:
        start, stop, _ = bars.indices(len(prices.close_values))
        used &= (rows >= start) & (rows < stop)
    count = int(np.count_nonzero(used))
    if not count:
        return None
    first = int(np.argmax(used))
    return (f"{count} bar(s) of the held tickers have a high below the low, or an open or close "
            f"outside the low-high range, the first for ticker {prices.close.columns[cols[first]]!r} "
            f"on {prices.close.index[rows[first]]}; intrabar stops test these prices as they are")


def last_valid(values: np.ndarray, columns: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
    """Per price column: index of the last non-NaN row, and whether there is
    one, for the listed columns (the others read as having none). Each
    column is read from its end, not scanned whole."""
    last = np.full(values.shape[1], -1, dtype=np.int64)
    columns = columns.astype(np.int64, copy=False)
    if len(columns):
        last[columns] = load_engine().last_valid_rows(values, columns)
    return last, last >= 0


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

