"""Per-bar series and tables derived from a backtest result for its plots
and report: the benchmark, holdings, exposure, turnover, monthly and yearly
returns, drawdown periods and rolling Sharpe ratios, volatility and beta.

Rolling and annualised figures here assume daily bars: 252 bars a year,
126 bars for six months.
"""

from __future__ import annotations

import math
from typing import TYPE_CHECKING, Any

import numpy as np
import pandas as pd

if TYPE_CHECKING:
    from .result import Result

__all__ = ["live_equity", "equal_weight_benchmark", "default_benchmark", "as_benchmark",
           "holdings_per_bar", "exposure_per_bar", "turnover_per_bar", "traded_per_bar",
           "rolling_turnover", "monthly_returns", "yearly_returns", "drawdown_periods",
           "rolling_sharpe", "rolling_volatility", "rolling_beta", "spans_a_decade",
           "BARS_PER_YEAR"]

BARS_PER_YEAR = 252


def live_equity(result: Result) -> pd.Series:
    """The equity from the close before the first executed rebalance on (the
    starting capital the first return is measured from); the whole curve
    when nothing was ever rebalanced."""
    equity = result.equity
    if result.start is None:
        return equity
    first = int(equity.index.searchsorted(result.start, side="left"))
    return equity.iloc[max(first - 1, 0):]


def equal_weight_benchmark(close: pd.DataFrame) -> pd.Series:
    """Equity curve from 1.0 of the equal-weighted universe: every day the
    average close-to-close return of the tickers priced on that day and the
    day before (NaN prices are left out), i.e. rebalanced daily."""
    values = close.to_numpy(dtype=np.float64)
    with np.errstate(invalid="ignore", divide="ignore"):
        returns = values[1:] / values[:-1] - 1.0
    valid = np.isfinite(returns)
    count = valid.sum(axis=1)
    total = np.where(valid, returns, 0.0).sum(axis=1)
    daily = np.divide(total, count, out=np.zeros(len(total)), where=count > 0)
    curve = np.concatenate([[1.0], np.cumprod(1.0 + daily)])
    return pd.Series(curve, index=close.index, name="equal-weighted universe")


def default_benchmark(close: pd.DataFrame) -> pd.Series:
    """The benchmark a result is compared with when the caller gives none:
    the equal-weighted universe of ``close``, or, for a single ticker, that
    ticker bought and held (its close carried over gaps, so a suspension does
    not cut the curve)."""
    if close.shape[1] != 1:
        return equal_weight_benchmark(close)
    prices = close.iloc[:, 0].astype(np.float64).ffill()
    first = prices.first_valid_index()
    base = float(prices[first]) if first is not None else math.nan
    curve = (prices / base).fillna(1.0) if math.isfinite(base) and base > 0 else prices * math.nan
    return curve.rename(f"{close.columns[0]} buy and hold")


def as_benchmark(benchmark: pd.Series, index: pd.DatetimeIndex) -> pd.Series:
    """A benchmark price series or equity curve on ``index``, carried forward
    over missing dates and rebased to 1.0 on its first value in ``index``."""
    if isinstance(benchmark, pd.DataFrame) and benchmark.shape[1] == 1:
        benchmark = benchmark.iloc[:, 0]
    if not isinstance(benchmark, pd.Series) or not isinstance(benchmark.index, pd.DatetimeIndex):
        raise TypeError("benchmark must be a pandas Series of prices or equity indexed by "
                        f"dates, got {type(benchmark).__name__}")
    aligned = benchmark.astype(np.float64).reindex(index.union(benchmark.index)).ffill().reindex(index)
    first = aligned.first_valid_index()
    if first is None:
        raise ValueError(f"benchmark {benchmark.name!r} has no value from {index[0]} to {index[-1]}")
    base = float(aligned[first])
    if not (math.isfinite(base) and base > 0):
        raise ValueError(f"benchmark must be positive, got {base!r} on {first}")
    name = benchmark.name if benchmark.name is not None else "benchmark"
    return (aligned / base).rename(name)


def _open_exit_bars(trades: pd.DataFrame, n_bars: int) -> np.ndarray:
    """Exit bar of every trade, with trades still open running to the end."""
    return trades["exit_bar"].astype("Int64").fillna(n_bars).to_numpy(dtype=np.int64)


def _count_open(trades: pd.DataFrame, n_bars: int, amounts: np.ndarray) -> np.ndarray:
    """Sum of ``amounts`` over the trades open on each bar, a trade counting
    from its entry bar up to the bar before its exit."""
    change = np.zeros(n_bars + 1)
    np.add.at(change, trades["entry_bar"].to_numpy(dtype=np.int64), amounts)
    np.add.at(change, _open_exit_bars(trades, n_bars), -amounts)
    return np.cumsum(change[:-1])


def holdings_per_bar(result: Result) -> pd.Series:
    """Number of positions held on each bar: the result's own ``holdings``
    when it has one, else the trades open on the bar (entry bar <= bar < exit
    bar, trades still open to the end)."""
    native = getattr(result, "holdings", None)
    if native is not None:
        return native
    n = len(result.equity)
    counts = _count_open(result.trades, n, np.ones(len(result.trades)))
    return pd.Series(np.rint(counts).astype(np.int64), index=result.equity.index, name="holdings")


def exposure_per_bar(result: Result) -> pd.Series:
    """Gross exposure on each bar: the result's own ``exposure`` (position
    value over equity) when it has one, else the sum of the absolute entry
    weights of the trades open on the bar. The fallback does not follow the
    drift of prices between rebalances."""
    native = getattr(result, "exposure", None)
    if native is not None:
        return native
    n = len(result.equity)
    weights = np.abs(result.trades["weight"].to_numpy(dtype=np.float64))
    exposure = np.clip(_count_open(result.trades, n, weights), 0.0, None)
    return pd.Series(exposure, index=result.equity.index, name="exposure")


def turnover_per_bar(trades: pd.DataFrame, index: pd.DatetimeIndex) -> pd.Series:
    """One-way turnover of every bar from the trade log: half the sum over
    tickers of |weight entered - weight exited| on the bar, with the entry
    weights of the trades (a position sold and bought back on the same bar,
    as a rebalance splits a held trade, does not count). 1.0 replaces the
    whole portfolio once."""
    n = len(index)
    exits = _open_exit_bars(trades, n)
    tickers, codes = np.unique(trades["ticker"].astype(str).to_numpy(), return_inverse=True)
    flow = np.zeros((n + 1, len(tickers)))
    weights = trades["weight"].to_numpy(dtype=np.float64)
    np.add.at(flow, (trades["entry_bar"].to_numpy(dtype=np.int64), codes), weights)
    np.add.at(flow, (exits, codes), -weights)
    return pd.Series(np.abs(flow[:n]).sum(axis=1) / 2.0, index=index, name="turnover")


def traded_per_bar(result: Result) -> pd.Series:
    """Traded value of every bar over the equity at its close: the result's
    own traded value when it has one, else the one-way turnover of the trade
    log (:func:`turnover_per_bar`)."""
    traded = getattr(result, "traded", None)
    if traded is None:
        return turnover_per_bar(result.trades, result.equity.index)
    with np.errstate(invalid="ignore", divide="ignore"):
        return (traded / result.equity).rename("turnover")


def rolling_turnover(result: Result, window: int = BARS_PER_YEAR) -> tuple[pd.Series, str]:
    """Turnover over the trailing ``window`` bars (NaN until a full window
    has passed) and a note on how it was
    measured: traded value over mean equity when the result records its
    traded value per bar (``result.traded``), else the sum of
    :func:`turnover_per_bar` from the trade log."""
    traded = getattr(result, "traded", None)
    if traded is not None:
        value = traded.rolling(window, min_periods=window).sum()
        mean_equity = result.equity.rolling(window, min_periods=window).mean()
        return (value / mean_equity).rename("turnover"), "traded value over mean equity"
    per_bar = turnover_per_bar(result.trades, result.equity.index)
    return (per_bar.rolling(window, min_periods=window).sum().rename("turnover"),
            "one-way, from the trade log's entry weights")


def _period_returns(equity: pd.Series, keys: list[Any]) -> pd.Series:
    """Return of every period the ``keys`` group the bars into: last value
    of the period over the last value of the period before; the first
    period's over the first value, and NaN when that value is all it holds
    (the close a window starts from, with no return in its period)."""
    grouped = equity.groupby(keys)
    ends = grouped.last()
    previous = ends.shift(1)
    previous.iloc[0] = equity.iloc[0]
    returns = ends / previous - 1.0
    if grouped.size().iloc[0] == 1:
        returns.iloc[0] = np.nan
    return returns


def monthly_returns(equity: pd.Series) -> pd.DataFrame:
    """Return of every calendar month (years as rows, months 1-12 as
    columns, NaN where there is no data), as :func:`yearly_returns` takes
    them for years."""
    if len(equity) == 0:
        return pd.DataFrame(columns=range(1, 13), dtype=np.float64)
    index = equity.index
    table = _period_returns(equity, [index.year, index.month]).unstack()
    table.index.name, table.columns.name = "year", "month"
    return table.reindex(columns=range(1, 13))


def yearly_returns(equity: pd.Series) -> pd.Series:
    """Return of every calendar year, indexed by year: last value of the year
    over the last value of the year before. The first year's is over the
    first value, so a year the curve starts or ends in is a part year; a
    first year holding only the first value has none (NaN)."""
    if len(equity) == 0:
        return pd.Series(dtype=np.float64, name="yearly")
    returns = _period_returns(equity, equity.index.year)
    returns.index.name = "year"
    return returns.rename("yearly")


def drawdown_periods(equity: pd.Series, top: int = 5) -> pd.DataFrame:
    """The ``top`` deepest drawdowns: ``peak`` (last high before it),
    ``trough``, ``recovery`` (first date back at the peak, NaT if not yet),
    ``depth`` (negative fraction), ``days`` (peak to recovery, or to the last
    date) and ``bars`` in the same span; deepest first."""
    values = equity.to_numpy(dtype=np.float64)
    columns = ["peak", "trough", "recovery", "depth", "days", "bars"]
    if len(values) == 0:
        return pd.DataFrame(columns=columns)
    under = values < np.maximum.accumulate(values)
    # Runs of bars below the running peak; each starts after a peak bar.
    edges = np.diff(np.concatenate([[False], under, [False]]).astype(np.int8))
    starts, stops = np.flatnonzero(edges == 1), np.flatnonzero(edges == -1)
    if len(starts) == 0:
        return pd.DataFrame(columns=columns)
    # The bars between two runs are new highs, above every value of the run
    # before, so the minimum from one start to the next is the run's own.
    lows = np.minimum.reduceat(values, starts)
    depths = lows / values[starts - 1] - 1.0
    rows = []
    dates = equity.index
    for k in np.argsort(depths, kind="stable")[:top]:
        start, stop = starts[k], stops[k]
        peak = start - 1
        trough = start + int(np.argmin(values[start:stop]))
        recovered = stop < len(values)
        end = stop if recovered else len(values) - 1
        rows.append({
            "peak": dates[peak], "trough": dates[trough],
            "recovery": dates[stop] if recovered else pd.NaT,
            "depth": values[trough] / values[peak] - 1.0,
            "days": int((dates[end] - dates[peak]).days), "bars": int(end - peak),
        })
    return pd.DataFrame(rows, columns=columns)


def rolling_sharpe(equity: pd.Series, window: int) -> pd.Series:
    """Sharpe ratio over the trailing ``window`` bars: mean over sample
    standard deviation of bar returns, times √252, no risk-free rate."""
    returns = equity.pct_change()
    rolling = returns.rolling(window, min_periods=window)
    with np.errstate(invalid="ignore", divide="ignore"):
        sharpe = rolling.mean() / rolling.std() * math.sqrt(BARS_PER_YEAR)
    return sharpe.replace([np.inf, -np.inf], np.nan).rename(f"sharpe_{window}")


def rolling_volatility(equity: pd.Series, window: int) -> pd.Series:
    """Annualised volatility over the trailing ``window`` bars: sample
    standard deviation of bar returns times √252."""
    returns = equity.pct_change()
    volatility = returns.rolling(window, min_periods=window).std() * math.sqrt(BARS_PER_YEAR)
    return volatility.rename(f"volatility_{window}")


def rolling_beta(equity: pd.Series, benchmark: pd.Series, window: int) -> pd.Series:
    """Beta against ``benchmark`` (on the same dates) over the trailing
    ``window`` bars: sample covariance of the bar returns over the sample
    variance of the benchmark's."""
    mine, theirs = equity.pct_change(), benchmark.reindex(equity.index).pct_change()
    covariance = mine.rolling(window, min_periods=window).cov(theirs)
    variance = theirs.rolling(window, min_periods=window).var()
    with np.errstate(invalid="ignore", divide="ignore"):
        beta = covariance / variance
    return beta.replace([np.inf, -np.inf], np.nan).rename(f"beta_{window}")


def spans_a_decade(*curves: pd.Series) -> bool:
    """Whether the positive values of the curves together span more than a
    factor of ten, where a log scale reads better than a linear one. A curve
    at or below 0 cannot be drawn on a log scale: False."""
    values = np.concatenate([np.asarray(c, dtype=np.float64) for c in curves] or [np.empty(0)])
    values = values[np.isfinite(values)]
    if len(values) == 0 or values.min() <= 0:
        return False
    return bool(values.max() / values.min() > 10.0)
