"""pandas front end of the engine: turns DataFrames into the matrices that
``vostra.core.vantrel.backtest_`` reads, runs it and wraps the outcome."""

from __future__ import annotations

import math
import re
import warnings
from collections.abc import Iterable, Mapping
from dataclasses import dataclass, field
from typing import Any, Literal, NamedTuple, Union

import numpy as np
import pandas as pd

from ._index_facts import known
from .result import Result, build_result
from .stats import first_nonpositive

__all__ = ["backtest"]

Rebalance = Union[str, Iterable[Any], pd.DatetimeIndex, None]
Delisting = Union[Literal["auto"], Mapping[Any, Any], pd.Series, None]

# Pandas period aliases for the calendar schedules; the offset spellings users
# know from date_range ("ME", "QE", ...) name the same periods.
_PERIOD_ALIASES = {
    "D": "D", "B": "D",
    "W": "W", "W-FRI": "W-FRI", "W-SUN": "W",
    "M": "M", "ME": "M", "BM": "M", "BME": "M", "MS": "M",
    "Q": "Q", "QE": "Q", "BQ": "Q", "BQE": "Q", "QS": "Q",
    "Y": "Y", "YE": "Y", "A": "Y", "BY": "Y", "BYE": "Y", "YS": "Y",
}

_MAX_LISTED = 5


def _listing(labels: Iterable[Any]) -> str:
    labels = list(labels)
    text = ", ".join(repr(x) for x in labels[:_MAX_LISTED])
    if len(labels) > _MAX_LISTED:
        text += f" (and {len(labels) - _MAX_LISTED} more)"
    return text


def _load_engine():
    try:
        from . import _engine
    except ImportError as exc:  # pragma: no cover - depends on the build
        raise ImportError(
            "the native engine vostra._engine is not built; install the "
            "package with `pip install .` or build in place with "
            "`bash tools/dev-build.sh`"
        ) from exc
    return _engine


# --------------------------------------------------------------------------
# Input checks and conversions
# --------------------------------------------------------------------------

def _check_frame(frame: Any, name: str) -> pd.DataFrame:
    if not isinstance(frame, pd.DataFrame):
        raise TypeError(
            f"{name} must be a pandas DataFrame with dates as rows and tickers "
            f"as columns, got {type(frame).__name__}"
        )
    known("axes checked", (frame.index, frame.columns), lambda: _check_axes(frame.index, frame.columns, name))
    return frame


def _check_axes(index: pd.Index, columns: pd.Index, name: str) -> bool:
    if not isinstance(index, pd.DatetimeIndex):
        raise TypeError(
            f"{name}.index must be a DatetimeIndex, got {type(index).__name__}; "
            f"convert it with {name}.index = pd.to_datetime({name}.index)"
        )
    if index.hasnans:
        raise ValueError(f"{name}.index contains NaT; drop those rows first")
    if not index.is_monotonic_increasing:
        ns = _ns(index)
        pos = int(np.flatnonzero(np.diff(ns) < 0)[0]) + 1
        raise ValueError(
            f"{name}.index is not in ascending order: {index[pos]} at row {pos} "
            f"comes after {index[pos - 1]}; sort it with {name}.sort_index()"
        )
    if not index.is_unique:
        dup = index[index.duplicated()]
        raise ValueError(
            f"{name}.index has duplicate dates ({_listing(str(d) for d in dup)}); "
            f"keep one row per date, e.g. {name}[~{name}.index.duplicated(keep='last')]"
        )
    if not columns.is_unique:
        dup = columns[columns.duplicated()]
        raise ValueError(f"{name} has duplicate tickers: {_listing(dup)}")
    return True


def _ns(index: pd.DatetimeIndex) -> np.ndarray:
    """Timestamps as int64 nanoseconds since the epoch (UTC for aware indexes),
    read-only."""
    return known("ns", (index,), lambda: np.array(index.as_unit("ns").asi8, dtype=np.int64))


def _one_block(frame: pd.DataFrame, dtype: Any) -> bool:
    """Whether the frame's values are one block of ``dtype`` (float64 for the
    usual price frame), read off its block manager without building a Series
    of its dtypes; False whenever that cannot be told."""
    blocks = getattr(getattr(frame, "_mgr", None), "blocks", None)
    return (isinstance(blocks, tuple) and len(blocks) == 1
            and getattr(blocks[0], "dtype", None) == dtype and frame.shape[1] > 0)


def _matrix(frame: pd.DataFrame, name: str) -> np.ndarray:
    """The frame's values as float64 without copying when it is one float64 block.

    A single-dtype float64 frame hands out its block as a Fortran-ordered
    (often read-only) view; the engine reads any strides, so it is passed on
    as is. Other numeric dtypes are converted, which copies.
    """
    if _one_block(frame, np.float64):
        return frame.to_numpy()
    dtypes = set(frame.dtypes.to_numpy())
    if not all(pd.api.types.is_numeric_dtype(d) or pd.api.types.is_bool_dtype(d) for d in dtypes):
        bad = [c for c in frame.columns if not pd.api.types.is_numeric_dtype(frame[c].dtype)]
        raise TypeError(f"{name} must hold numbers; non-numeric columns: {_listing(bad)}")
    return frame.to_numpy(dtype=np.float64, na_value=np.nan)


def _aligned(frame: pd.DataFrame | None, close: pd.DataFrame | _Axes, name: str) -> pd.DataFrame | None:
    """Another price frame put into the row and column order of ``close``."""
    if frame is None:
        return None
    _check_frame(frame, name)
    if not known("same", (frame.index, close.index), lambda: frame.index.equals(close.index)):
        raise ValueError(
            f"{name}.index differs from close.index ({len(frame.index)} vs "
            f"{len(close.index)} rows); align it with {name}.reindex(close.index)"
        )
    if known("same", (frame.columns, close.columns), lambda: frame.columns.equals(close.columns)):
        return frame
    missing = close.columns.difference(frame.columns, sort=False)
    extra = frame.columns.difference(close.columns, sort=False)
    if len(missing) or len(extra):
        parts = []
        if len(missing):
            parts.append(f"missing {_listing(missing)}")
        if len(extra):
            parts.append(f"not in close: {_listing(extra)}")
        raise ValueError(
            f"{name} and close must have the same tickers ({'; '.join(parts)})"
        )
    return frame[close.columns]


def _labels(columns: pd.Index, name: str) -> np.ndarray:
    """The tickers as the engine matches them (their text), read-only."""
    return known("labels", (columns,), lambda: _label_texts(columns, name))


def _label_texts(columns: pd.Index, name: str) -> np.ndarray:
    values = columns.to_numpy(dtype=object)
    if pd.api.types.infer_dtype(values, skipna=False) == "string" and columns.is_unique:
        return values.copy()  # str tickers are their own text, and unique ones stay unique
    labels = np.array([str(c) for c in columns], dtype=object)
    if len(set(labels)) != len(labels):
        seen: dict[str, Any] = {}
        for col, lab in zip(columns, labels):
            if lab in seen and seen[lab] != col:
                raise ValueError(
                    f"{name} tickers {seen[lab]!r} and {col!r} have the same text "
                    f"{lab!r}; the engine matches tickers by their text"
                )
            seen[lab] = col
    return labels


def _same_clock(a: pd.DatetimeIndex, b: pd.DatetimeIndex, what: str) -> None:
    if (a.tz is None) != (b.tz is None):
        raise ValueError(
            f"{what}: one index is timezone-aware and the other is not; "
            f"use tz_localize/tz_convert so that both are the same kind"
        )


def _last_valid(values: np.ndarray, columns: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
    """Per price column: index of the last non-NaN row, and whether there is
    one, for the listed columns (the others read as having none). Each
    column is read from its end, not scanned whole."""
    last = np.full(values.shape[1], -1, dtype=np.int64)
    columns = columns.astype(np.int64, copy=False)
    if len(columns):
        last[columns] = _load_engine().last_valid_rows(values, columns)
    return last, last >= 0


def _market_last(values: np.ndarray) -> int:
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
    return int(_load_engine().last_valid_rows(values).max(initial=-1))


def _auto_delisting(last: np.ndarray, has_any: np.ndarray, market_last: int) -> np.ndarray:
    """Delisting bar per price column: the bar after the last valid close.

    A stock counts as delisted when its close is NaN on every bar from some
    bar on, while other stocks still have prices later: the market's last bar
    ``market_last`` is the last one on which any close is valid, so an
    all-NaN final row (a placeholder for tomorrow) does not delist everyone.
    A column that ends together with the market, or has no price at all, is
    never delisted. Only the columns that some weight may hold need their
    last close: a stock never held is never sold, so the others read -1.
    """
    if market_last < 0:
        return np.full(len(last), -1, dtype=np.int64)
    return np.where(has_any & (last < market_last), last + 1, -1).astype(np.int64)


def _explicit_delisting(delisting: Mapping[Any, Any] | pd.Series, close: pd.DataFrame | _Axes,
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
        raise ValueError(f"delisting names tickers that are not in close: {_listing(unknown)}")
    return bars


def _schedule(rebalance: Rebalance, close_index: pd.DatetimeIndex, price_ns: np.ndarray,
              pos_ns: np.ndarray) -> np.ndarray:
    """The timestamps at which a rebalance may be decided (``resample``).

    A calendar frequency marks the last bar of every period; the final period
    counts only when the data reach its last business day, so a run that ends
    mid-month does not schedule a rebalance for the next day. Explicit dates
    mark the last bar at or before each date. ``None`` marks every signal date.
    """
    if rebalance is None:
        return pos_ns
    if isinstance(rebalance, str):
        alias = _PERIOD_ALIASES.get(rebalance.upper())
        if alias is None:
            raise ValueError(
                f"rebalance={rebalance!r} is not a supported frequency; use one of "
                f"'D', 'W', 'W-FRI', 'M', 'Q', 'Y', a list of dates, or None "
                f"(every signal date)"
            )
        # The price timestamps are those of close_index, so the dates alone
        # decide the schedule.
        return known("schedule " + alias, (close_index,), lambda: _period_ends(alias, close_index, price_ns))
    try:
        dates = pd.DatetimeIndex(pd.to_datetime(list(rebalance)))
    except (TypeError, ValueError) as exc:
        raise ValueError(
            "rebalance must be a frequency string, a list of dates or None; "
            f"could not read the dates: {exc}"
        ) from exc
    _same_clock(dates, close_index, "rebalance dates and close.index")
    return np.unique(_ns(dates))


def _period_ends(alias: str, close_index: pd.DatetimeIndex, price_ns: np.ndarray) -> np.ndarray:
    """The timestamps of the last bar of every period of ``alias``."""
    local = close_index.tz_localize(None) if close_index.tz is not None else close_index
    if len(local) == 0:
        return np.empty(0, dtype=np.int64)
    periods = local.to_period(alias)
    codes = periods.asi8
    ends = np.flatnonzero(codes[1:] != codes[:-1])
    last_period_end = pd.offsets.BDay().rollback(periods[-1].end_time.normalize())
    if local[-1].normalize() >= last_period_end:
        ends = np.append(ends, len(codes) - 1)
    return np.ascontiguousarray(price_ns[ends], dtype=np.int64)


def _price_frames(trade_at: Any) -> dict[str, str]:
    """The name the caller gave each price matrix, for messages."""
    trading = "trade_at" if isinstance(trade_at, pd.DataFrame) else str(trade_at)
    return {"trading": trading, "close": "close", "high": "high", "low": "low", "open": "open"}


def _weights_matrix(weights: pd.DataFrame) -> tuple[np.ndarray, bool, np.ndarray, np.ndarray]:
    """The weights as float64 (NaN → 0) or, for a bool frame, a bool mask;
    the (row, column) positions of infinite weights in row order (a run over
    some of the rows and columns fails on the first one it uses); and per
    column whether any row gives it a weight."""
    one_bool_block = _one_block(weights, bool)
    dtypes = () if one_bool_block or _one_block(weights, np.float64) else set(weights.dtypes.to_numpy())
    if one_bool_block or (dtypes and all(pd.api.types.is_bool_dtype(d) for d in dtypes)):
        mask = weights.to_numpy(dtype=bool, na_value=False)
        return mask, True, np.empty((0, 2), dtype=np.intp), mask.any(axis=0)
    values = _matrix(weights, "weights")
    traded = _load_engine().weight_columns(values)  # one pass; None when a weight is not finite
    if traded is not None:  # the common case
        return values, False, np.empty((0, 2), dtype=np.intp), traded
    infinite = np.argwhere(np.isinf(values))
    nan = np.isnan(values)
    if nan.any():
        values = np.where(nan, 0.0, values)
    return values, False, infinite, (values != 0).any(axis=0)


def _check_finite(signal: _WeightArrays, rows: slice, columns: np.ndarray | None) -> None:
    infinite = signal.infinite
    if not len(infinite):
        return
    used = (infinite[:, 0] >= rows.start) & (infinite[:, 0] < rows.stop)
    if columns is not None:
        used &= columns[infinite[:, 1]]
    if used.any():
        r, c = infinite[int(np.argmax(used))]
        raise ValueError(
            f"weights has an infinite weight {float(signal.values[r, c])!r} for ticker "
            f"{signal.frame.columns[c]!r} on {signal.frame.index[r]}; weights must be finite"
        )


def _equal_weights(mask: np.ndarray) -> np.ndarray:
    """1 / (selected stocks of the row) where the mask is set, else 0: the
    same bits as mask / count, with one division per row."""
    count = np.count_nonzero(mask, axis=1)
    share = np.zeros(len(count))
    np.divide(1.0, count, out=share, where=count > 0)
    return mask * share[:, None]


def _positive(value: float | None, name: str) -> float:
    """A stop distance: None means no stop (an infinite distance)."""
    if value is None:
        return float(np.inf)
    value = float(value)
    if not value > 0:
        raise ValueError(f"{name} must be a positive fraction such as 0.1, or None; got {value!r}")
    return value


# --------------------------------------------------------------------------
# The call
# --------------------------------------------------------------------------

class _Axes(NamedTuple):
    """The dates and tickers of a frame: what the checks and the messages
    read of it once its values are converted."""

    index: pd.DatetimeIndex
    columns: pd.Index


@dataclass(eq=False)
class _PriceArrays:
    """The price frames checked and converted once. A run over a range of
    bars reads row slices of these matrices: views, not copies (the engine
    reads any strides). Open, high and low are None where not given."""

    close: _Axes
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
            known = (frame, _matrix(_aligned(frame, self.close, "trade_at"), "trade_at"))
            self.trading[id(frame)] = known
        return known[1]


def _convert_prices(close: pd.DataFrame, open: pd.DataFrame | None = None,
                    high: pd.DataFrame | None = None, low: pd.DataFrame | None = None) -> _PriceArrays:
    close = _check_frame(close, "close")
    if len(close.index) == 0 or len(close.columns) == 0:
        raise ValueError("close is empty; it needs at least one date and one ticker")
    open = _aligned(open, close, "open")
    high = _aligned(high, close, "high")
    low = _aligned(low, close, "low")
    return _PriceArrays(
        _Axes(close.index, close.columns), _matrix(close, "close"),
        None if open is None else _matrix(open, "open"),
        None if high is None else _matrix(high, "high"),
        None if low is None else _matrix(low, "low"),
        _ns(close.index), _labels(close.columns, "close"))


@dataclass(eq=False)
class _WeightArrays:
    """A weight frame checked and converted once; a run reads the rows and
    the columns it uses."""

    frame: _Axes
    values: np.ndarray          # float64 with NaN as 0, or a bool mask
    is_mask: bool
    infinite: np.ndarray        # see _weights_matrix
    traded: np.ndarray          # per column: whether any row gives it a weight
    pos_ns: np.ndarray
    labels: np.ndarray
    price_col: np.ndarray       # column of each ticker in close, -1 for none
    # The weights as runs of a few recent ranges use them (delisted weights
    # dropped, a mask turned into equal weights), shared by the runs that
    # differ in other options: key -> (matrix, the warnings it drew).
    derived: dict[Any, tuple[np.ndarray, list[str]]] = field(default_factory=dict)


def _convert_weights(weights: pd.DataFrame, prices: _PriceArrays) -> _WeightArrays:
    weights = _check_frame(weights, "weights")
    _same_clock(weights.index, prices.close.index, "weights.index and close.index")
    values, is_mask, infinite, traded = _weights_matrix(weights)
    return _WeightArrays(_Axes(weights.index, weights.columns), values, is_mask, infinite, traded,
                         _ns(weights.index),
                         _labels(weights.columns, "weights"),
                         known("positions", (prices.close.columns, weights.columns),
                               lambda: prices.close.columns.get_indexer(weights.columns)))


def _prepare(weights: pd.DataFrame, close: pd.DataFrame, open: pd.DataFrame | None = None,
             high: pd.DataFrame | None = None, low: pd.DataFrame | None = None,
             **options: Any) -> tuple[dict[str, Any], dict[str, Any]]:
    """Check and convert the inputs of :func:`backtest` (``options`` are its
    keyword options).

    Returns ``(arguments, context)``: the keyword arguments of
    ``vantrel.backtest_`` and what the result needs to label the engine's
    output; ``context["warnings"]`` holds the messages for the caller to
    issue (so that they point at the user's call). Raises the errors listed
    in :func:`backtest`.
    """
    prices = _convert_prices(close, open, high, low)
    return _arguments(prices, _convert_weights(weights, prices), **options)


def _arguments(prices: _PriceArrays, signal: _WeightArrays, bars: slice | None = None,
               rows: slice | None = None, columns: np.ndarray | None = None,
               delisted_at: np.ndarray | None = None, *,
               trade_at: str | pd.DataFrame = "close", rebalance: Rebalance = "M",
               fee: float = 0.001425, tax: float = 0.003, stop_loss: float | None = None,
               take_profit: float | None = None, trail_stop: float | None = None,
               trail_activation: float = 0.0, intrabar: bool = False,
               position_limit: float = 1.0, retain_cost: bool = False,
               stop_trading: bool = True, window: int = 0, window_step: int = 1,
               delisting: Delisting = "auto", split_trades: bool | None = None,
               periods_per_year: float | None = None,
               ) -> tuple[dict[str, Any], dict[str, Any]]:
    """The engine arguments of one run on converted inputs: the prices of
    the bars ``bars``, the weight rows ``rows`` and the weight columns where
    the bool array ``columns`` is True (all by default), exactly as
    :func:`_prepare` gives them for frames cut to those rows and columns.
    ``delisted_at`` (a delisting bar per price column, -1 for none) stands
    in for the ``delisting`` option."""
    notes: list[str] = []
    whole = rows is None or (rows.start in (0, None) and rows.stop is not None and rows.stop >= len(signal.pos_ns)
                             and rows.step in (1, None))
    rows = slice(0, len(signal.pos_ns)) if rows is None else rows
    # An index cannot change: the whole of it needs no copy.
    weights_index = signal.frame.index if whole else signal.frame.index[rows]
    if len(weights_index) == 0:
        raise ValueError("weights has no rows; it needs at least one signal date")

    def cut(values: np.ndarray) -> np.ndarray:
        return values if bars is None else values[bars]

    close_values = cut(prices.close_values)
    open_values = close_values if prices.open_values is None else cut(prices.open_values)
    high_values = close_values if prices.high_values is None else cut(prices.high_values)
    low_values = close_values if prices.low_values is None else cut(prices.low_values)

    if isinstance(trade_at, pd.DataFrame):
        price_values = cut(prices.trade_values(trade_at))
    elif trade_at == "close":
        price_values = close_values
    elif trade_at == "open":
        if prices.open_values is None:
            raise ValueError("trade_at='open' needs the open prices: pass open=...")
        price_values = open_values
    else:
        raise ValueError(f"trade_at must be 'close', 'open' or a DataFrame of prices, got {trade_at!r}")

    scalars, scalar_context = _scalars(
        fee=fee, tax=tax, stop_loss=stop_loss, take_profit=take_profit, trail_stop=trail_stop,
        trail_activation=trail_activation, intrabar=intrabar, position_limit=position_limit,
        retain_cost=retain_cost, stop_trading=stop_trading, window=window,
        window_step=window_step, periods_per_year=periods_per_year)

    close = prices.close
    close_index = prices.dates_of(bars)
    price_ns = cut(prices.price_ns)
    pos_ns = signal.pos_ns[rows]
    _check_finite(signal, rows, columns)
    pos_values, tickers = signal.values[rows], signal.frame.columns
    price_col, pos_labels, traded = signal.price_col, signal.labels, signal.traded
    if columns is not None and not columns.all():
        pos_values, tickers = pos_values[:, columns], tickers[columns]
        price_col, pos_labels, traded = price_col[columns], pos_labels[columns], traded[columns]
    is_mask = signal.is_mask

    def held(columns: np.ndarray) -> np.ndarray:
        """Whether the weights ever hold each of these columns: asked only of
        the few tickers that lack prices."""
        part = pos_values[:, columns]
        return part.any(axis=0) if is_mask else (part != 0).any(axis=0)

    # Only columns that some row gives a weight (in any rows: `traded` is
    # the whole frame's) may be held.
    known = price_col >= 0
    may_hold = known & traded
    missing = np.flatnonzero(~known & traded)
    unknown = tickers[missing[held(missing)]] if len(missing) else ()
    if len(unknown):
        raise ValueError(
            f"weights has tickers with no column in close: {_listing(unknown)}; add "
            f"their prices or drop them with weights.drop(columns=[...])"
        )
    last, has_any = _last_valid(close_values, price_col[may_hold])
    no_prices = np.zeros(len(price_col), dtype=bool)
    no_prices[may_hold] = ~has_any[price_col[may_hold]]
    empty = np.flatnonzero(no_prices)
    no_prices[empty] = held(empty)
    if no_prices.any():
        raise ValueError(
            f"weights gives nonzero weight to tickers whose close prices are all "
            f"missing: {_listing(tickers[no_prices])}"
        )

    if delisted_at is not None:
        delist_price = delisted_at
    elif isinstance(delisting, str) and delisting == "auto":
        delist_price = _auto_delisting(last, has_any, _market_last(close_values))
    elif delisting is None:
        delist_price = None
    elif isinstance(delisting, (Mapping, pd.Series)):
        delist_price = _explicit_delisting(delisting, close, price_ns)
    else:
        raise ValueError(
            "delisting must be 'auto', None or a mapping {ticker: delisting date}, "
            f"got {type(delisting).__name__}"
        )

    delisting_bars = None
    if delist_price is not None:
        delisting_bars = np.full(len(price_col), -1, dtype=np.int64)
        delisting_bars[known] = delist_price[price_col[known]]
    pos_values = _run_weights(signal, pos_values, tickers, delisting_bars, price_ns, pos_ns, notes,
                              key=(rows.start, rows.stop, None if columns is None else columns.tobytes(),
                                   None if bars is None else (bars.start, bars.stop)))

    resample = _schedule(rebalance, close_index, price_ns, pos_ns)
    if len(pos_ns) and len(price_ns) and pos_ns[0] > price_ns[-1]:
        notes.append(
            f"weights start on {weights_index[0]}, after the last price date "
            f"{close_index[-1]}; nothing will be traded"
        )
    if split_trades is None:
        split_trades = rebalance is not None

    arguments = dict(
        price_values=price_values, close_values=close_values,
        high_values=high_values, low_values=low_values, open_values=open_values,
        price_index=price_ns, price_columns=prices.labels,
        pos_values=pos_values, pos_index=pos_ns,
        pos_columns=pos_labels, resample=resample,
        periodically_rebalance=bool(split_trades), delisting_bars=delisting_bars, **scalars,
    )
    context = dict(
        close_index=close_index, weights_index=weights_index,
        tickers=tickers, price_frames=_price_frames(trade_at),
        warnings=notes, **scalar_context,
    )
    return arguments, context


#: The options of :func:`backtest` that become plain values of the engine
#: call; the others (prices, schedule, delisting) shape its arrays.
SCALAR_OPTIONS = ("fee", "tax", "stop_loss", "take_profit", "trail_stop", "trail_activation",
                  "intrabar", "position_limit", "retain_cost", "stop_trading", "window",
                  "window_step", "periods_per_year")


def _scalars(*, fee: float, tax: float, stop_loss: float | None, take_profit: float | None,
             trail_stop: float | None, trail_activation: float, intrabar: bool,
             position_limit: float, retain_cost: bool, stop_trading: bool, window: int,
             window_step: int, periods_per_year: float | None,
             ) -> tuple[dict[str, Any], dict[str, Any]]:
    """The scalar options checked and converted: the engine's keyword
    arguments and what the result needs of them."""
    fee, tax, position_limit = float(fee), float(tax), float(position_limit)
    # A NaN or infinite cost makes every value of the equity curve NaN.
    for name, value in (("fee", fee), ("tax", tax)):
        if not math.isfinite(value):
            raise ValueError(f"{name} must be a finite number, got {value}")
    if fee < 0 or tax < 0:
        raise ValueError(f"fee and tax must not be negative (got fee={fee}, tax={tax})")
    if not position_limit > 0:
        raise ValueError(f"position_limit must be positive, got {position_limit}")
    trail_activation = float(trail_activation)
    if math.isnan(trail_activation):  # would never activate the trailing stop
        raise ValueError(f"trail_activation must be a number, got {trail_activation}")
    if trail_activation < 0:
        raise ValueError(f"trail_activation must not be negative, got {trail_activation}")
    window, window_step = int(window), int(window_step)
    if window < 0:
        raise ValueError(f"window must be 0 (no window) or a number of bars, got {window}")
    if window_step < 1:
        raise ValueError(f"window_step must be at least 1 bar, got {window_step}")
    if periods_per_year is not None:
        periods_per_year = float(periods_per_year)
        if not (np.isfinite(periods_per_year) and periods_per_year > 0):
            raise ValueError(f"periods_per_year must be a positive number such as 252, "
                             f"or None to infer it from the dates; got {periods_per_year!r}")

    arguments = dict(
        fee_ratio=fee, tax_ratio=tax,
        stop_loss=_positive(stop_loss, "stop_loss"),
        take_profit=_positive(take_profit, "take_profit"),
        trail_stop=_positive(trail_stop, "trail_stop"),
        trail_stop_activation=trail_activation, touched_exit=bool(intrabar),
        position_limit=position_limit, retain_cost_when_rebalance=bool(retain_cost),
        stop_trading_next_period=bool(stop_trading), orbalt_window=window,
        orbalt_window_step=window_step,
    )
    context = dict(window=window, window_step=window_step, fee=fee, tax=tax,
                   periods_per_year=periods_per_year)
    return arguments, context


_DERIVED_KEPT = 4


def _run_weights(signal: _WeightArrays, values: np.ndarray, tickers: pd.Index,
                 delisting_bars: np.ndarray | None, price_ns: np.ndarray, pos_ns: np.ndarray,
                 notes: list[str], key: tuple[Any, ...]) -> np.ndarray:
    """The weight matrix a run trades: weights on or after a delisting
    dropped and a mask turned into equal weights. Made once for the runs of a
    sweep that share the range and the delisting bars."""
    key = key + (None if delisting_bars is None else delisting_bars.tobytes(),)
    derived = signal.derived.get(key)
    if derived is None:
        drawn: list[str] = []
        if delisting_bars is not None:
            values = _drop_after_delisting(values, tickers, delisting_bars, price_ns, pos_ns, drawn)
        if signal.is_mask:
            values = _equal_weights(values)
        derived = signal.derived[key] = (values, drawn)
        while len(signal.derived) > _DERIVED_KEPT:
            del signal.derived[next(iter(signal.derived))]
    notes.extend(derived[1])
    return derived[0]


def _drop_after_delisting(values: np.ndarray, tickers: pd.Index, delisting_bars: np.ndarray,
                          price_ns: np.ndarray, pos_ns: np.ndarray, notes: list[str]) -> np.ndarray:
    """Zero the weights that the engine would apply on or after a delisting bar.

    A signal row dated at or after the stock's last bar with a price is
    executed on the delisting bar or later; left in place it would buy a stock
    that no longer trades (and that the engine then never closes). Rows dated
    on or after the delisting bar itself point to stale data and draw a warning.
    """
    gone = np.flatnonzero(delisting_bars >= 0)
    if len(gone) == 0:
        return values
    bars = delisting_bars[gone]
    cutoff = price_ns[np.maximum(bars - 1, 0)]
    after = pos_ns[:, None] >= cutoff[None, :]
    nonzero = values[:, gone] != 0
    hit = after & nonzero
    if not hit.any():
        return values
    stale = hit & (pos_ns[:, None] >= price_ns[bars][None, :])
    if stale.any():
        cols = tickers[gone[stale.any(axis=0)]]
        notes.append(
            f"weights hold {len(cols)} ticker(s) after their prices end "
            f"({_listing(cols)}); those weights were set to 0. Use only prices "
            f"available on the signal date, or pass delisting=None to keep them"
        )
    values = values.copy()
    sub = values[:, gone]
    sub[hit] = 0
    values[:, gone] = sub
    return values


def backtest(weights: pd.DataFrame, close: pd.DataFrame, open: pd.DataFrame | None = None,
             high: pd.DataFrame | None = None, low: pd.DataFrame | None = None, *,
             trade_at: str | pd.DataFrame = "close", rebalance: Rebalance = "M",
             fee: float = 0.001425, tax: float = 0.003, stop_loss: float | None = None,
             take_profit: float | None = None, trail_stop: float | None = None,
             trail_activation: float = 0.0, intrabar: bool = False,
             position_limit: float = 1.0, retain_cost: bool = False,
             stop_trading: bool = True, window: int = 0, window_step: int = 1,
             delisting: Delisting = "auto", split_trades: bool | None = None,
             periods_per_year: float | None = None) -> Result:
    """Backtest target weights against daily prices.

    The portfolio starts with a capital of 1.0. When a new row of ``weights``
    is in force at a scheduled bar, the engine rebalances to it on the next
    bar at that bar's trading price, then marks every position to the close.

    Parameters
    ----------
    weights
        Target weights, dates × tickers. Positive is long, negative short;
        a row whose absolute weights add up to more than 1 is scaled down to
        1, a smaller row leaves the rest in cash. Missing (NaN) weights count
        as 0. A **bool** frame means equal weights among the True cells of
        each row. A row dated ``t`` is decided on the last bar at or before
        ``t`` and traded on the bar after it.
    close, open, high, low
        Prices, dates × tickers, with the same dates (open/high/low are put
        into the column order of ``close``). NaN marks a missing price (a
        suspension): a held stock keeps its value until it trades again.
        ``open``, ``high`` and ``low`` default to ``close``; they matter for
        ``trade_at="open"`` and for intrabar stops.
    trade_at
        ``"close"``, ``"open"`` or a DataFrame of trading prices.
    rebalance
        When the portfolio may rebalance. A calendar frequency (``"D"``,
        ``"W"``, ``"W-FRI"``, ``"M"``, ``"Q"``, ``"Y"``; ``"ME"``/``"QE"``/``"YE"``
        are accepted too) decides on the last bar of every period; the final
        period counts only when the prices reach its last business day. A
        list of dates decides on the last bar at or before each date. ``None``
        decides on every signal date.
    fee, tax
        Fee charged on every trade's value and tax charged in addition on
        sales that reduce or close a position (fractions).
    stop_loss, take_profit
        Exit a position when it has lost / gained this fraction of its entry
        value (``None``: no such exit).
    trail_stop, trail_activation
        Exit when the cumulative return falls ``trail_stop`` below its best
        level (above its worst for shorts), once the position has gained
        ``trail_activation``.
    intrabar
        True: stops are tested against each bar's open, high and low and
        filled at the stop level (or the open, if it gapped through). False:
        the close is tested and the exit happens at the next bar's trading
        price.
    position_limit
        Largest absolute weight of one stock.
    retain_cost
        Keep a held stock's cumulative return (and so its stop levels)
        through rebalances that keep it on the same side.
    stop_trading
        Keep a stock stopped out since the last rebalance out of the next one.
    window, window_step
        Besides the exit group, record excursion metrics every
        ``window_step`` bars over the first ``window`` bars of every trade
        (columns ``mae_<k>``, ``mfe_<k>``, ... for bar offset ``k``).
    delisting
        ``"auto"``: a stock whose close is NaN from some bar to the end, while
        other stocks still have prices, is delisted on the bar after its last
        valid close: a held position is closed there at its last value (with
        fee and tax), and weights dated on or after its last price bar are set
        to 0 (with a warning when they are dated after the delisting bar).
        A mapping ``{ticker: date}`` delists on the first bar at or after each
        date. ``None`` disables delisting.
    split_trades
        Record a held position as a new trade at every rebalance. Defaults to
        True for calendar or explicit schedules and False for ``rebalance=None``.
    periods_per_year
        Annualisation factor of the statistics; by default inferred from the
        dates (252 for daily bars, 52 weekly, 12 monthly, 4 quarterly, 1 yearly).

    Returns
    -------
    Result
        ``equity``, ``trades``, ``operations``, ``stats`` and the plots.

    Raises
    ------
    TypeError
        Inputs that are not DataFrames with a DatetimeIndex, non-numeric values.
    ValueError
        Unsorted or duplicate dates, duplicate tickers, weights for tickers
        missing from ``close`` or without any price, infinite weights,
        non-positive or infinite prices, mismatched price frames, bad options.
    """
    arguments, context = _prepare(
        weights, close, open, high, low, trade_at=trade_at, rebalance=rebalance,
        fee=fee, tax=tax, stop_loss=stop_loss, take_profit=take_profit,
        trail_stop=trail_stop, trail_activation=trail_activation, intrabar=intrabar,
        position_limit=position_limit, retain_cost=retain_cost,
        stop_trading=stop_trading, window=window, window_step=window_step,
        delisting=delisting, split_trades=split_trades, periods_per_year=periods_per_year,
    )
    for message in context["warnings"]:
        warnings.warn(message, UserWarning, stacklevel=2)
    engine = _load_engine()
    try:
        run = engine.run(**arguments)
    except ValueError as exc:
        raise _price_error(exc, context) from None
    # The report's default benchmark and its cost line read these.
    context["close"] = close
    context["settings"] = dict(trade_at="prices" if isinstance(trade_at, pd.DataFrame) else trade_at,
                               rebalance=rebalance, fee=fee, tax=tax, stop_loss=stop_loss,
                               take_profit=take_profit, trail_stop=trail_stop, intrabar=intrabar)
    result = build_result(run, context)
    ruin = ruin_message(result.equity)
    if ruin is not None:
        warnings.warn(ruin, UserWarning, stacklevel=2)
    return result


def ruin_message(equity: pd.Series) -> str | None:
    """The warning for an equity curve that falls to 0 or below, naming the date."""
    ruin = first_nonpositive(equity)
    if ruin is None:
        return None
    return (f"the portfolio's equity falls to {equity.loc[ruin]:.6g} on {ruin}, at or "
            f"below 0; returns after that date are undefined and so are the statistics "
            f"built on them (NaN)")


_INVALID_PRICE = re.compile(r"Invalid (\w+) price for (.*) at price row (-?\d+): (\S+)\. Expected")


def _price_error(exc: ValueError, context: dict[str, Any]) -> ValueError:
    """The engine's message for an unusable price of a held stock, in the
    caller's terms: the frame, the ticker and the date."""
    match = _INVALID_PRICE.match(str(exc))
    if match is None:
        return exc
    kind, label, row, value = match.groups()
    ticker = {str(t): t for t in context["tickers"]}.get(label, label)
    date = context["close_index"][int(row)]
    name = context["price_frames"].get(kind, kind)
    return ValueError(
        f"{name} has an unusable price {value} for ticker {ticker!r} on {date} while it is held; "
        f"prices must be positive and finite, use NaN for a missing price"
    )
