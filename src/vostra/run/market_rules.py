"""The market's limits on fills (volume caps, daily price limits, blocked
cells) as engine arguments: frames aligned to the close prices, checked,
each error naming its option."""

from __future__ import annotations

from typing import Any

import numpy as np
import pandas as pd

from .._native import load_engine
from ..data.frames import Axes, block_values, check_frame, labels, listing, matrix, same_clock
from ..data.index_facts import known

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


def _on_close(frame: Any, close: pd.DataFrame | Axes, name: str, fill: Any) -> pd.DataFrame:
    """``frame`` on the dates and tickers of the close prices, checked as a
    weight frame is: a DatetimeIndex of the same kind of clock, tickers
    matched by their text. A frame on close's very axes is returned as it
    is; one with other dates or tickers is put on them (``fill`` in the
    cells it does not give) when its dates match close's (see
    :func:`_check_dates`) and it has (volume) a column for every ticker, or
    (blocked) no ticker close lacks."""
    if not isinstance(frame, pd.DataFrame):
        raise TypeError(f"{name} must be a DataFrame of dates × tickers like the close prices, "
                        f"got {type(frame).__name__}")
    check_frame(frame, name)
    index, columns = close.index, close.columns
    same_index = frame.index is index or known("same", (frame.index, index), lambda: frame.index.equals(index))
    if same_index and (frame.columns is columns
                       or known("same", (frame.columns, columns), lambda: frame.columns.equals(columns))):
        return frame
    known("same clock", (frame.index, index), lambda: same_clock(frame.index, index, f"{name}.index and close.index"))
    if not same_index:
        _check_dates(frame.index, index, name)
    text, close_text = labels(frame.columns, name), labels(columns, "close")
    absent = columns[~np.isin(close_text, text)]
    if len(absent) and name == "volume":
        raise ValueError(f"volume has no column for tickers of the prices: {listing(absent)} (volume has "
                         f"{listing(frame.columns)}); tickers match by their text, and a ticker without "
                         f"volume could never fill")
    extra = frame.columns[~np.isin(text, close_text)]
    if len(extra) and name == "blocked":
        raise ValueError(f"blocked has tickers that are not in close: {listing(extra)} (close has "
                         f"{listing(columns)}); tickers match by their text: rename them, or drop those "
                         f"close does not have")
    return frame.set_axis(text, axis=1).reindex(index=index, columns=close_text, fill_value=fill)


def _check_dates(dates: pd.DatetimeIndex, index: pd.DatetimeIndex, name: str) -> None:
    """Raises unless the dates of a rule frame are those of close: the volume
    needs every date of close (a bar without a volume row would fill
    nothing), a blocked frame may list only the dates it blocks; neither
    may give a date that close lacks between close's first and last (dates
    at another time of day or in another zone), while dates before or after
    them, a longer history, are left out."""
    if name == "volume":
        missing = index.difference(dates, sort=False)
        if len(missing):
            raise ValueError(
                f"volume has no row for {len(missing)} date(s) of close ({listing(str(d) for d in missing)}); "
                f"it needs one for every date of the prices (NaN where nothing fills)")
    inside = dates[(dates >= index[0]) & (dates <= index[-1])] if len(index) else dates[:0]
    foreign = inside.difference(index, sort=False)
    if len(foreign):
        raise ValueError(
            f"{name} has {len(foreign)} date(s) that close does not have ({listing(str(d) for d in foreign)}; "
            f"close has {listing(str(d) for d in index)}); its rows must be dates of the prices, at the same "
            f"time of day and in the same timezone")


def _volume(frame: Any, close: pd.DataFrame | Axes, bars: slice, columns: np.ndarray | None) -> np.ndarray:
    """The volume of the bars ``bars``, checked where a run may read it: in
    the price ``columns`` given (all when None), the columns of the stocks
    the weights trade."""
    values = matrix(_on_close(frame, close, "volume", np.nan), "volume")[bars]
    bad = load_engine().volume_fault(values, columns)   # one pass, in place
    if bad is not None:
        row, col = bad
        raise ValueError(f"volume must be shares traded per bar, >= 0 and finite (NaN: no volume, nothing "
                         f"fills); it is {float(values[row, col])!r} for {close.columns[col]!r} on "
                         f"{close.index[bars][row]}")
    return values


def _blocked(frame: Any, close: pd.DataFrame | Axes) -> np.ndarray:
    on_close = _on_close(frame, close, "blocked", False)
    values = block_values(on_close, np.bool_)
    if values is not None:
        return values.T   # read in place, as the price matrices are
    if not all(pd.api.types.is_bool_dtype(t) for t in frame.dtypes):
        raise TypeError("blocked must be a bool frame (True: nothing fills for that ticker on that date)")
    return on_close.fillna(False).to_numpy(dtype=bool)


def market_arguments(close: pd.DataFrame | Axes, bars: slice | None = None, columns: np.ndarray | None = None, *,
                     volume: Any = None, max_volume_share: Any = None, price_limit: Any = None,
                     blocked: Any = None) -> dict[str, Any]:
    """The engine's market options of a run over the bars ``bars`` of
    ``close`` (all by default) that fills the price columns ``columns``
    (int64, all when None); empty when none is given."""
    out: dict[str, Any] = {}
    if (volume is None) != (max_volume_share is None):
        raise ValueError("max_volume_share needs volume (a frame of shares traded per bar, or a Market "
                         "with volume), and volume needs max_volume_share (the share of each bar's volume "
                         "an order may fill, such as 0.01)")
    cut = slice(None) if bars is None else bars
    if volume is not None:
        out["max_volume_share"] = _fraction(max_volume_share, "max_volume_share", top=1.0, closed=True,
                                            example="0.01")
        out["volume"] = _volume(volume, close, cut, columns)
    if price_limit is not None:
        out["price_limit"] = _fraction(price_limit, "price_limit", top=1.0, closed=False, example="0.1")
    if blocked is not None:
        out["blocked"] = _blocked(blocked, close)[cut]
    return out
