"""Summary statistics of an equity curve, its trade log and a benchmark, with
the conventions they were computed under.

Every figure that empyrical also computes follows empyrical's definition on
the same bar returns: annualisation by a fixed number of periods a year for
the data's frequency (252 for daily bars), sample standard deviations
(ddof=1), a required return of 0 and, unless one is given, a risk-free rate
of 0. The figures of the return distribution and the period returns follow
quantstats' functions on the same returns, except where
:func:`statistics` says otherwise.
"""

from __future__ import annotations

import datetime
import functools
import math
from collections.abc import Callable
from typing import Any, NamedTuple

import numpy as np
import pandas as pd

from .._native import load_engine
from ..data.frequency import PERIODS_PER_YEAR, infer_periods_per_year, known_frequency

__all__ = ["benchmark_statistics", "statistics", "drawdown", "format_statistics", "infer_periods_per_year",
           "first_nonpositive", "STAT_LABELS", "SUMMARY_KEYS", "PERIODS_PER_YEAR"]

# Display label and format of every statistic, in table order. The formats:
# "pct" a fraction shown in per cent, "num" two decimals, "num3" three
# ("num4" four)
# decimals, "int" a count. Sweeps make one column per key of the summary.
STAT_LABELS: dict[str, tuple[str, str]] = {
    "total_return": ("Total return", "pct"),
    "cagr": ("Annual return (CAGR)", "pct"),
    "annual_volatility": ("Annual volatility", "pct"),
    "sharpe": ("Sharpe ratio", "num"),
    "sortino": ("Sortino ratio", "num"),
    "max_drawdown": ("Max drawdown", "pct"),
    "calmar": ("Calmar ratio", "num"),
    "trades": ("Trades", "int"),
    "win_rate": ("Win rate", "pct"),
    "avg_holding_bars": ("Avg holding (bars)", "num"),
    "turnover": ("Turnover (per year)", "num"),
    "avg_mae": ("Avg MAE", "pct"),
    "avg_mfe": ("Avg MFE", "pct"),
    "alpha": ("Alpha (annual)", "pct"),
    "beta": ("Beta", "num"),
    # Per bar, as quantstats and empyrical compute it: small, so with four decimals.
    "information_ratio": ("Information ratio (per period)", "num4"),
    "tracking_error": ("Tracking error (annual)", "pct"),
    # The distribution of the bar returns.
    "skew": ("Skew", "num"),
    "kurtosis": ("Kurtosis (excess)", "num"),
    "var_95": ("Value at risk (95 %, normal)", "pct"),
    "cvar_95": ("Expected shortfall (95 %, normal)", "pct"),
    "best_day": ("Best bar", "pct"),
    "worst_day": ("Worst bar", "pct"),
    "best_month": ("Best month", "pct"),
    "worst_month": ("Worst month", "pct"),
    "best_year": ("Best year", "pct"),
    "worst_year": ("Worst year", "pct"),
    "avg_win": ("Avg winning bar", "pct"),
    "avg_loss": ("Avg losing bar", "pct"),
    "profit_factor": ("Profit factor (bars)", "num"),
    "payoff_ratio": ("Payoff ratio (bars)", "num"),
    "max_consecutive_wins": ("Max winning bars in a row", "int"),
    "max_consecutive_losses": ("Max losing bars in a row", "int"),
    "kelly": ("Kelly criterion (bars)", "pct"),
    "omega": ("Omega ratio", "num"),
    "tail_ratio": ("Tail ratio", "num"),
    "ulcer_index": ("Ulcer index", "num3"),
    "time_in_market": ("Time in market", "pct"),
    # Returns over the periods that end on the last bar.
    "mtd": ("Month to date", "pct"),
    "ytd": ("Year to date", "pct"),
    "return_1y": ("Last year", "pct"),
    "return_3y_ann": ("Last 3 years (annual)", "pct"),
    "return_5y_ann": ("Last 5 years (annual)", "pct"),
    "return_10y_ann": ("Last 10 years (annual)", "pct"),
}

#: The figures of a run whose fills the market limits (see :mod:`vostra.fills`),
#: and of a walk-forward's test pieces under such limits.
FILL_LABELS: dict[str, tuple[str, str]] = {
    "filled": ("Filled (of ordered value)", "pct"),
    "fill_delay": ("Mean fill delay (bars)", "num"),
    "unfilled": ("Still ordered (of final equity)", "pct"),
}


def label_of(key: Any) -> tuple[str, str]:
    """The label and kind of figure ``key``: its own name and "num" when it
    has none."""
    return STAT_LABELS.get(key) or FILL_LABELS.get(key) or (str(key), "num")


#: The figures a sweep tabulates for every run, in table order; the rest of
#: :data:`STAT_LABELS` describes a single result in more detail.
SUMMARY_KEYS = tuple(STAT_LABELS)[:tuple(STAT_LABELS).index("tracking_error") + 1]

#: The figures of the return distribution and of the trailing periods.
DETAIL_KEYS = tuple(STAT_LABELS)[len(SUMMARY_KEYS):]

# The printout leaves a blank line before these.
_SECTION_STARTS = frozenset({"skew", "mtd", "filled"})

#: The figures that need a benchmark; NaN (and left out of the printout) without one.
BENCHMARK_KEYS = ("alpha", "beta", "information_ratio", "tracking_error")

#: Periods per year by data frequency, as empyrical annualises.
def _ratio(num: float, den: float) -> float:
    if not (math.isfinite(num) and math.isfinite(den)) or den == 0:
        return math.nan
    return num / den


def drawdown(equity: pd.Series) -> pd.Series:
    """Relative distance of the equity below its running peak (0 or negative)."""
    values = equity.to_numpy(dtype=np.float64)
    return pd.Series(values / np.maximum.accumulate(values) - 1.0, index=equity.index,
                     name="drawdown")


def first_nonpositive(equity: pd.Series) -> pd.Timestamp | None:
    """Date of the first bar whose equity is at or below 0 (None if there is none)."""
    values = equity.to_numpy(dtype=np.float64)
    if len(values) and values.min() > 0:  # the usual case, without a mask of the bars
        return None
    hit = np.flatnonzero(values <= 0)
    return equity.index[hit[0]] if len(hit) else None




def _window_start(index: pd.DatetimeIndex, start: Any) -> int:
    """Position of the first bar at or after ``start``."""
    ts = pd.Timestamp(start)
    if (ts.tz is None) != (getattr(index, "tz", None) is None):
        raise ValueError(
            f"start={ts} and the equity index differ in timezone awareness; "
            f"use tz_localize/tz_convert so that both are the same kind"
        )
    return int(index.searchsorted(ts, side="left"))


def _std(values: np.ndarray) -> float:
    """Sample standard deviation, exactly 0 for identical values (the float
    mean of identical values can miss them in the last bit)."""
    if len(values) < 2:
        return math.nan
    if values.max() == values.min():
        return 0.0
    return float(values.std(ddof=1))


def _curve_stats(values: np.ndarray, returns: np.ndarray | None, ppy: float,
                 risk_free: float = 0.0) -> dict[str, float]:
    """Figures of the window's equity ``values`` (anchor first) and its bar
    returns; ``returns`` is None when they are undefined (equity at or below
    0 before the last bar). ``risk_free`` is an annual rate that Sharpe and
    Sortino measure the returns against."""
    out: dict[str, float] = {}
    n = len(values) - 1
    if n < 1 or not values[0] > 0:
        return out
    out["total_return"] = values[-1] / values[0] - 1.0
    if values.min() < 0:  # a drawdown beyond -100 % measures nothing
        return out
    peak = np.maximum.accumulate(values)
    out["max_drawdown"] = float(np.min((values - peak) / peak))
    if returns is None:
        return out
    growth = values[-1] / values[0]
    # A negative growth has no real root; a fractional power would be complex.
    out["cagr"] = float(growth ** (ppy / n)) - 1.0 if growth >= 0 else math.nan
    if out["max_drawdown"] < 0:
        out["calmar"] = _ratio(out["cagr"], abs(out["max_drawdown"]))
    if n < 2:
        return out
    std = _std(returns)
    out["annual_volatility"] = std * math.sqrt(ppy)
    if risk_free:
        # The annual rate compounded down to one period, as quantstats does.
        returns = returns - ((1.0 + risk_free) ** (1.0 / ppy) - 1.0)
        std = _std(returns)
    mean = float(returns.mean())
    out["sharpe"] = _ratio(mean, std) * math.sqrt(ppy)
    downside = math.sqrt(float(np.mean(np.minimum(returns, 0.0) ** 2))) * math.sqrt(ppy)
    out["sortino"] = _ratio(mean * ppy, downside)
    return out


def _local_ns(dates: pd.DatetimeIndex) -> np.ndarray:
    """Wall-clock nanoseconds of the dates in their own timezone."""
    local = dates if dates.tz is None else dates.tz_localize(None)
    return local.asi8 if local.unit == "ns" else local.as_unit("ns").asi8


def _detail_figures(values: np.ndarray, returns: np.ndarray | None, ns: np.ndarray | None,
                    ppy: float, holdings: np.ndarray | None) -> dict[str, float]:
    """The figures of :data:`DETAIL_KEYS` from the window's equity ``values``
    (anchor first), its bar returns (None when undefined), the dates of the
    values in wall-clock nanoseconds (None without dates: no calendar
    figures), and the positions held on the return bars (or None). The
    engine computes them in one pass; their definitions are those of
    :func:`statistics`."""
    if returns is None or not len(returns):
        return {}
    in_market = holdings > 0 if holdings is not None else returns != 0
    out = {"time_in_market": float(in_market.mean())}
    out.update(load_engine().return_figures(values, ns, ppy))
    return out


def _benchmark_returns(benchmark: pd.Series, dates: pd.DatetimeIndex) -> np.ndarray:
    """Bar returns of the benchmark between consecutive ``dates``; NaN where
    the benchmark has no positive value on either end."""
    if not isinstance(benchmark, pd.Series):
        raise TypeError(f"benchmark must be a pandas Series of prices or equity, got "
                        f"{type(benchmark).__name__}")
    if not isinstance(benchmark.index, pd.DatetimeIndex):
        raise TypeError(f"benchmark.index must be a DatetimeIndex, got "
                        f"{type(benchmark.index).__name__}")
    if (benchmark.index.tz is None) != (dates.tz is None):
        raise ValueError("benchmark.index and the equity index differ in timezone awareness; "
                         "use tz_localize/tz_convert so that both are the same kind")
    if not benchmark.index.is_unique:
        raise ValueError("benchmark.index has duplicate dates; keep one value per date")
    values = benchmark.reindex(dates).to_numpy(dtype=np.float64)
    before, after = values[:-1], values[1:]
    with np.errstate(divide="ignore", invalid="ignore"):
        returns = after / before - 1.0
    returns[~(before > 0) | ~np.isfinite(returns)] = np.nan
    return returns


def _benchmark_stats(returns: np.ndarray, factor: np.ndarray, ppy: float) -> dict[str, float]:
    """Alpha, beta, information ratio and tracking error over the bars where
    both returns are known, as empyrical computes them: beta = cov / var
    (population moments), alpha = (1 + mean(r - beta * b)) ** ppy - 1, the
    information ratio is empyrical's excess Sharpe mean(r - b) / std(r - b)
    (not annualised), the tracking error std(r - b) * sqrt(ppy)."""
    known = np.isfinite(returns) & np.isfinite(factor)
    y, x = returns[known], factor[known]
    out: dict[str, float] = {}
    if len(y) < 2:
        return out
    centred = x - x.mean()
    variance = float(np.mean(centred ** 2))
    beta = float(np.mean(centred * y)) / variance if variance >= 1e-30 else math.nan
    out["beta"] = beta
    base = 1.0 + float(np.mean(y - beta * x))
    out["alpha"] = base ** ppy - 1.0 if base >= 0 else math.nan
    active = y - x
    spread = _std(active)
    out["information_ratio"] = _ratio(float(active.mean()), spread)
    out["tracking_error"] = spread * math.sqrt(ppy)
    return out


def _skipna_mean(values: np.ndarray) -> float:
    """Mean over the values that are not NaN, summed as pandas sums them."""
    values = np.asarray(values, dtype=np.float64)
    if values.size:
        total = values.sum()
        if not np.isnan(total):  # no NaN among the values: one pass
            return float(total / values.size)
    missing = np.isnan(values)
    count = values.size - int(missing.sum())
    if count == 0:
        return math.nan
    if missing.any():
        values = np.where(missing, 0.0, values)
    return float(values.sum() / count)


def ledger_trade_figures(entry_order: np.ndarray, exit_bar: np.ndarray, entry_bar: np.ndarray,
                         returns: np.ndarray, excursions: np.ndarray) -> dict[str, float]:
    """The trade figures of a native run from its ledger's columns, equal to
    those of its trade log: counts and bars in one native pass, the MAE and
    MFE averaged as NumPy sums them in the log's order (by entry), so that
    they round as the trade log's columns do."""
    out, mae, mfe = load_engine().trade_figures(entry_order, exit_bar, entry_bar, returns, excursions, True)
    if mae is not None and len(mae):  # beyond the trades the engine averages as NumPy does
        out["avg_mae"] = _skipna_mean(mae)
        out["avg_mfe"] = _skipna_mean(mfe)
    return out


def _trade_stats(trades: pd.DataFrame) -> dict[str, float]:
    return trade_figures(trades["exit_date"].notna().to_numpy(),
                         trades["return"].to_numpy(dtype=np.float64),
                         trades["holding_bars"].to_numpy(), trades["mae"].to_numpy(),
                         trades["mfe"].to_numpy())


def trade_figures(closed: np.ndarray, returns: np.ndarray, holding_bars: np.ndarray,
                  mae: np.ndarray, mfe: np.ndarray) -> dict[str, float]:
    """The trade figures from the trade log's columns (in its order): which
    trades are closed, their returns, holding bars, MAE and MFE."""
    return closed_trade_figures(len(closed), returns[closed], holding_bars[closed], mae[closed], mfe[closed])


def closed_trade_figures(n_trades: int, returns: np.ndarray, holding_bars: np.ndarray,
                         mae: np.ndarray, mfe: np.ndarray) -> dict[str, float]:
    """The trade figures from the number of trades and the columns of the
    closed ones. Only the MAE and MFE averages depend on the order of the
    rows (the trade log's), through the rounding of their sums."""
    out = {"trades": float(n_trades)}
    returns = returns[~np.isnan(returns)]
    if len(returns):
        out["win_rate"] = float((returns > 0).mean())
    if len(holding_bars):
        out["avg_holding_bars"] = float(holding_bars.mean(dtype=np.float64))
        out["avg_mae"] = _skipna_mean(mae)
        out["avg_mfe"] = _skipna_mean(mfe)
    return out


def _traded_values(traded: Any, index: pd.Index, first: int, bars: int) -> np.ndarray:
    """The traded value on the window's bars, from a Series on the equity's
    dates (missing dates count as no trade) or an array as long as the curve
    (``bars`` values, as many as ``index`` has)."""
    if type(traded) is np.ndarray and traded.dtype == np.float64 and traded.shape == (bars,):
        return traded[first:]  # the engine's own array, as it is
    if isinstance(traded, pd.Series):
        extra = traded.index.difference(index)
        if len(extra):
            raise ValueError(f"traded has dates that are not in the equity index, the "
                             f"first {extra[0]}; give it on the equity's dates")
        return traded.reindex(index[first:], fill_value=0.0).to_numpy(dtype=np.float64)
    values = np.asarray(traded, dtype=np.float64)
    if values.shape != (len(index),):
        raise ValueError(f"traded must be a Series on the equity's dates or an array of "
                         f"{len(index)} values, got shape {values.shape}")
    return values[first:]


def _returns(values: np.ndarray) -> np.ndarray | None:
    """Bar returns of the window's values (anchor first); None when they are
    undefined (an equity at or below 0 before the last bar, or not finite)."""
    if len(values) >= 2 and np.all(values[:-1] > 0) and np.all(np.isfinite(values)):
        return values[1:] / values[:-1] - 1.0
    return None


def figures(equity: np.ndarray, first: int, ppy: float, traded: np.ndarray | None,
            trade_stats: dict[str, float] | None, risk_free: float = 0.0) -> dict[str, float]:
    """The summary statistics without a benchmark, keyed as
    :data:`SUMMARY_KEYS`, from plain arrays: the whole equity curve, the
    position of the window's first bar, the periods per year, the traded
    value on the window's bars (or None), the trade figures (see
    :func:`trade_figures`, or None) and the annual risk-free rate."""
    anchor = max(first - 1, 0)
    values = equity[anchor:]
    out = dict.fromkeys(SUMMARY_KEYS, math.nan)
    out.update(_curve_stats(values, _returns(values), ppy, risk_free))
    if trade_stats is not None:
        out.update(trade_stats)
    n_returns = len(values) - 1
    # Over a mean that counts a negative equity, turnover can turn negative.
    if traded is not None and n_returns > 0 and values.min() >= 0:
        years = n_returns / ppy
        out["turnover"] = _ratio(float(np.sum(traded)) / years, float(equity[first:].mean()))
    return out


def _bar_values(values: Any, index: pd.Index, name: str, bars: int) -> np.ndarray:
    """Per-bar values given as a Series on the equity's dates or as an array
    as long as the curve (``bars`` values, as many as ``index`` has)."""
    if type(values) is np.ndarray and values.shape == (bars,):
        return values  # the engine's own array, as it is
    if isinstance(values, pd.Series):
        if not values.index.equals(index):
            raise ValueError(f"{name} must be on the equity's dates")
        return values.to_numpy()
    array = np.asarray(values)
    if array.shape != (len(index),):
        raise ValueError(f"{name} must be a Series on the equity's dates or an array of "
                         f"{len(index)} values, got shape {array.shape}")
    return array


def _annual_rate(risk_free: Any) -> float:
    rate = float(risk_free)
    if not (math.isfinite(rate) and rate > -1.0):
        raise ValueError(f"risk_free must be an annual rate above -1 such as 0.02, got {risk_free!r}")
    return rate


def statistics(equity: pd.Series, trades: pd.DataFrame | None = None, *,
               start: Any = None, traded: pd.Series | np.ndarray | None = None,
               periods_per_year: float | None = None, benchmark: pd.Series | None = None,
               fee: float | None = None, tax: float | None = None, risk_free: float = 0.0,
               holdings: pd.Series | np.ndarray | None = None) -> pd.Series:
    """Performance statistics of an equity curve.

    Parameters
    ----------
    equity
        Portfolio values indexed by a DatetimeIndex.
    trades
        Optional trade log with the columns of ``Result.trades``: ``trades``
        counts every trade; closed trades (those with an ``exit_date``) give
        the win rate (among those with a known return), the average holding
        period and the average MAE/MFE.
    start
        Date of the first executed rebalance. The window is the bars from
        ``start`` on; the first bar's return is measured from the close of
        the bar before it (the anchor: the starting capital, before any
        trade), so the first trade's fee and its first move count. Without
        ``start``, or when no bar precedes it, the first bar of the window is
        the anchor and the returns begin on the next bar.
    traded
        Traded value per bar (buys plus sales, in units of the starting
        capital). Turnover is its sum over the window / years / the mean
        equity over the window, with years = return periods / periods per
        year. Without it the turnover is NaN.
    periods_per_year
        Annualisation factor; by default inferred from the data frequency
        with :func:`infer_periods_per_year` (252 for daily bars).
    benchmark
        Prices or equity of a benchmark; its returns are taken between the
        window's dates (a date it lacks leaves the bars on either side out of
        the benchmark figures).
    fee, tax
        The run's costs, only recorded for the printout.
    risk_free
        Annual risk-free rate that Sharpe and Sortino measure the returns
        against, compounded down to one period: ``(1 + risk_free) **
        (1 / periods per year) - 1`` is taken from every bar return.
    holdings
        Positions held on each bar (a Series on the equity's dates or an
        array as long as it); ``time_in_market`` is the share of the
        window's return bars that held one. Without it, the share of bars
        with a nonzero return.

    Returns
    -------
    pandas.Series
        Keyed by the names of :data:`STAT_LABELS`: ``total_return`` (last /
        anchor - 1), ``cagr`` ((last / anchor) ** (periods per year / return
        periods) - 1), ``annual_volatility`` (sample standard deviation of bar
        returns × √periods per year), ``sharpe`` (mean / std × √periods per
        year, no risk-free rate), ``sortino`` (mean × periods per year /
        downside risk, the downside risk being the root mean square of the
        negative returns over all bars × √periods per year), ``max_drawdown``
        (negative, the anchor counting as a peak), ``calmar`` (CAGR / |max
        drawdown|), the trade figures, ``turnover`` and, with a benchmark,
        ``alpha``, ``beta``, ``information_ratio``, ``tracking_error`` (see
        the module's definitions); then the figures of the bar returns:
        ``skew`` and ``kurtosis`` (excess, both with the small-sample
        corrections of pandas), ``var_95`` and ``cvar_95`` (the normal value
        at risk mean + z·std and expected shortfall mean - φ(z)/0.05·std at
        z = the 5 % normal quantile), ``best_day``/``worst_day`` (the best
        and worst bar), ``best_month``, ``worst_month``, ``best_year``,
        ``worst_year`` (compounded over the calendar periods, partial ones
        as they are), ``avg_win``/``avg_loss`` (mean of the positive /
        negative bar returns), ``profit_factor`` (their sums' ratio),
        ``payoff_ratio`` (avg win / |avg loss|), ``max_consecutive_wins``
        and ``max_consecutive_losses`` (bars), ``kelly`` (p - (1 - p) /
        payoff, p the share of winning bars among the nonzero ones),
        ``omega`` (at a threshold of 0), ``tail_ratio`` (|95th / 5th
        percentile|), ``ulcer_index`` (root of the squared drawdowns summed
        over returns - 1) and ``time_in_market``; and the returns of the
        periods ending on the last bar: ``mtd``, ``ytd``, ``return_1y``
        and, annualised, ``return_3y_ann``, ``return_5y_ann``,
        ``return_10y_ann``, each compounding the returns dated on or after
        the period's first day (NaN for a period of years longer than the
        window). Trade figures (win rate and so on) count trades; the
        figures of winning and losing bars count bars. Undefined values are NaN (a zero standard
        deviation gives a NaN ratio; bar returns after an equity at or below 0
        are undefined, and so are the figures built on them; an equity below
        0 also leaves ``max_drawdown``, ``calmar`` and ``turnover`` NaN). ``attrs`` holds
        the conventions: ``window_start`` (first return bar), ``anchor``
        (the bar the returns start from), ``window_rule`` ("first executed
        rebalance" or "first bar"), ``periods_per_year``, ``frequency``,
        ``benchmark`` (whether one was given), ``risk_free``, ``fee`` and
        ``tax``.
    """
    return window_statistics(equity, _trade_stats(trades) if trades is not None else None,
                             start=start, traded=traded, periods_per_year=periods_per_year,
                             benchmark=benchmark, fee=fee, tax=tax, risk_free=risk_free,
                             holdings=holdings)


#: The longest window (in values, the anchor included) whose figures the engine
#: computes in one call: up to 8192 values NumPy sums pairwise as a whole, in
#: every version, and the engine sums in that order. Longer windows are summed
#: by NumPy itself (1.x sums them in blocks of its buffer size).
NATIVE_SUM_LIMIT = 8192


# The statistics' names in table order (the layout of the engine's printed
# figures) and the position of each.
_STAT_KEYS = tuple(STAT_LABELS)
_POSITION = {key: i for i, key in enumerate(_STAT_KEYS)}


@functools.cache
def _stat_index() -> pd.Index:
    # One index for every statistics Series: building it costs more than
    # the figures of a short curve.
    return pd.Index(list(STAT_LABELS), dtype=object)


def window_statistics(equity: pd.Series, trade_stats: dict[str, float] | None, *,
                      start: Any = None, traded: pd.Series | np.ndarray | None = None,
                      periods_per_year: float | None = None, benchmark: pd.Series | None = None,
                      fee: float | None = None, tax: float | None = None, risk_free: float = 0.0,
                      holdings: pd.Series | np.ndarray | None = None,
                      start_position: int | None = None) -> pd.Series:
    """:func:`statistics` with the trade figures given (see
    :func:`trade_figures`; None for none) instead of a trade log.
    ``start_position``, when the caller knows it, is the position of
    ``start`` in the equity's index (the search for it is skipped)."""
    return curve_figures(equity.to_numpy(dtype=np.float64), equity.index, trade_stats, start=start,
                         traded=traded, periods_per_year=periods_per_year, benchmark=benchmark, fee=fee,
                         tax=tax, risk_free=risk_free, holdings=holdings,
                         start_position=start_position).series()


class CurveFigures(NamedTuple):
    """The statistics of a curve before they become a Series: the figures in
    the order of :data:`STAT_LABELS`, the curve's dates, the positions of
    the window's anchor and first return bar in them (None when there are
    none) and the other conventions of ``Series.attrs``. A printout reads
    them as they are."""

    values: np.ndarray
    index: pd.Index
    anchor: int | None
    window_start: int | None
    attrs: dict[str, Any]
    # Wall-clock nanoseconds of the dates, when at hand (None: read from the index).
    local_ns: np.ndarray | None = None

    def series(self) -> pd.Series:
        # A view of the shared index: a name set on one Series stays its own.
        stats = pd.Series(self.values, index=_stat_index().view(), name="statistics", copy=False)
        stats.attrs.update(window_start=None if self.window_start is None else self.index[self.window_start],
                           anchor=None if self.anchor is None else self.index[self.anchor], **self.attrs)
        return stats

    def day(self, position: int) -> datetime.date:
        """The calendar day of the date at ``position``."""
        ns = self.local_ns
        if ns is None:
            return self.index[position].date()
        return datetime.date.fromordinal(_EPOCH_DAY + int(ns[position]) // _DAY_NS)

    def date_text(self, position: int) -> str:
        """The date at ``position`` as the printout shows it (see :func:`_date`):
        a midnight as its day, without making a Timestamp."""
        ns = self.local_ns
        if ns is not None:
            days, rest = divmod(int(ns[position]), _DAY_NS)
            if rest == 0:
                return datetime.date.fromordinal(_EPOCH_DAY + days).isoformat()
        return _date(self.index[position])


_DAY_NS = 86_400 * 10**9
_EPOCH_DAY = datetime.date(1970, 1, 1).toordinal()


def curve_figures(full: np.ndarray, index: pd.Index, trade_stats: dict[str, float] | None, *,
                  start: Any = None, traded: pd.Series | np.ndarray | None = None,
                  periods_per_year: float | None = None, benchmark: pd.Series | None = None,
                  fee: float | None = None, tax: float | None = None, risk_free: float = 0.0,
                  holdings: pd.Series | np.ndarray | None = None, start_position: int | None = None,
                  local_ns: np.ndarray | None = None,
                  trade_columns: tuple[np.ndarray, ...] | None = None) -> CurveFigures:
    """:func:`window_statistics` of the curve ``full`` (float64) on ``index``,
    as :class:`CurveFigures`; ``local_ns``, when the caller has them, are the
    wall-clock nanoseconds of ``index``. ``trade_columns``, the arguments of
    :func:`ledger_trade_figures`, stand in for ``trade_stats``."""
    if periods_per_year is None:
        ppy, frequency = known_frequency(index)
    else:
        ppy, frequency = float(periods_per_year), "given"
        if not (math.isfinite(ppy) and ppy > 0):
            raise ValueError(f"periods_per_year must be a positive number such as 252, "
                             f"got {periods_per_year!r}")
    rate = _annual_rate(risk_free)
    if start is None:
        first = 0
    else:
        first = _window_start(index, start) if start_position is None else start_position
    anchor = max(first - 1, 0)
    window_traded = None
    if traded is not None and len(full) - anchor > 1:
        window_traded = _traded_values(traded, index, first, len(full))
    held = None if holdings is None else _bar_values(holdings, index, "holdings", len(full))[anchor + 1:]
    values = full[anchor:]
    n_returns = len(values) - 1
    # Calendar figures need dates; a plain index has none.
    if local_ns is None and n_returns > 0 and isinstance(index, pd.DatetimeIndex):
        local_ns = _local_ns(index)
    ns = local_ns[anchor:] if local_ns is not None and n_returns > 0 else None
    table: np.ndarray | None = None
    if len(values) <= NATIVE_SUM_LIMIT:
        if held is not None and held.dtype.kind not in "biuf":
            held = held > 0
        if trade_columns is not None:
            # The curve's figures and the trades' from one engine call, laid out as the table.
            table, mae, mfe = load_engine().printed_figures(_STAT_KEYS, full, first, ppy, window_traded, held, ns,
                                                            rate, *trade_columns)
            if mae is not None:  # more trades than the engine averages as NumPy does
                table[_POSITION["avg_mae"]] = _skipna_mean(mae)
                table[_POSITION["avg_mfe"]] = _skipna_mean(mfe)
        else:
            out = dict.fromkeys(STAT_LABELS, math.nan)
            out.update(load_engine().window_figures(full, first, ppy, window_traded, held, ns, rate))
            if trade_stats is not None:
                out.update(trade_stats)
    else:
        if trade_columns is not None:
            trade_stats = ledger_trade_figures(*trade_columns)
        out = figures(full, first, ppy, window_traded, trade_stats, rate)
        out.update(dict.fromkeys(DETAIL_KEYS, math.nan))
        if n_returns > 0:
            out.update(_detail_figures(values, _returns(values), ns, ppy, held))
    if benchmark is not None:
        returns = _returns(values)
        if returns is not None:
            compared = _benchmark_stats(returns, _benchmark_returns(benchmark, index[anchor:]), ppy)
            if table is None:
                out.update(compared)
            else:
                for key, value in compared.items():
                    table[_POSITION[key]] = value
    if table is None:
        table = np.array([out[k] for k in STAT_LABELS], dtype=np.float64)
    attrs = dict(window_rule="first bar" if start is None else "first executed rebalance",
                 periods_per_year=ppy, frequency=frequency, benchmark=benchmark is not None,
                 risk_free=rate, fee=fee, tax=tax)
    return CurveFigures(table, index, anchor if len(values) else None, anchor + 1 if n_returns > 0 else None,
                        attrs, local_ns)


def _format_value(value: float, kind: str) -> str:
    if value is None or not math.isfinite(value):
        return "-"
    if kind == "pct":
        return f"{value * 100:.2f}%"
    if kind == "int":
        return f"{int(value):d}"
    return format_figure(value, kind)


def format_figure(value: float, kind: str) -> str:
    """A plain number of kind ``num`` (two decimals), ``num3`` or ``num4``."""
    return f"{value:{_FORMATS.get(kind, '.2f')}}"


def _date(ts: pd.Timestamp) -> str:
    return str(ts.date()) if ts.normalize() == ts else str(ts)


def conventions(stats: pd.Series) -> list[str]:
    """The conventions recorded in ``stats.attrs``, as lines of text."""
    attrs = stats.attrs
    window = None
    if attrs.get("window_start") is not None:
        window = (_date(attrs["window_start"]), _date(attrs["anchor"]))
    return _convention_lines(attrs, window)


def _convention_lines(attrs: dict[str, Any], window: tuple[str, str] | None) -> list[str]:
    """The conventions in ``attrs`` and the window's first return bar and
    anchor as printed, as lines of text."""
    lines = []
    if window is not None:
        lines.append(f"Window: from the {attrs['window_rule']}, {window[0]} "
                     f"(returns from the close of {window[1]})")
    if "periods_per_year" in attrs:
        rate = attrs.get("risk_free") or 0.0
        free = f"risk-free rate {rate * 100:g}% a year" if rate else "no risk-free rate"
        lines.append(f"Annualised with {attrs['periods_per_year']:g} periods a year "
                     f"({attrs['frequency']}); {free}")
    fee, tax = attrs.get("fee"), attrs.get("tax")
    if fee is not None and tax is not None:
        lines.append(f"Costs: fee {fee * 100:g}% on every trade, tax {tax * 100:g}% "
                     f"in addition on sales")
    return lines


def format_statistics(stats: pd.Series) -> str:
    """The statistics as an aligned two-column text table, followed by the
    conventions they were computed under (see :func:`statistics`)."""
    # Plain lists: iterating the Series boxes every value through pandas.
    return _table(stats.index.tolist(), stats.tolist(), stats.attrs.get("benchmark", True), conventions(stats))


def format_figures(figures: CurveFigures) -> str:
    """:func:`format_statistics` of the statistics ``figures`` would make,
    read from them as they are."""
    window = None
    if figures.window_start is not None:
        window = (figures.date_text(figures.window_start), figures.date_text(figures.anchor))
    # The engine writes the table (the figures as format() writes them): one call, not a line each.
    table = load_engine().figure_table(figures.values, _layout(_STAT_KEYS, figures.attrs["benchmark"]))
    return "\n".join([table, *_convention_lines(figures.attrs, window)])


def printout(figures: CurveFigures, trades: Callable[[], int]) -> str | None:
    """A printed result's text but its account line: the head (the curve's
    first and last day, its bars and ``trades()``, asked when there are
    bars), :func:`format_figures` of
    ``figures``, written by the engine in one call. None where the engine
    leaves the dates to Python: without wall-clock nanoseconds, or with a
    window that does not start at midnight."""
    ns, attrs = figures.local_ns, figures.attrs
    if ns is None:
        return None
    return load_engine().printout(figures.values, _layout(_STAT_KEYS, attrs["benchmark"]), ns,
                                  trades() if len(ns) else 0,
                                  figures.anchor, figures.window_start, attrs["window_rule"],
                                  attrs["periods_per_year"], attrs["frequency"], attrs.get("risk_free") or 0.0,
                                  attrs.get("fee"), attrs.get("tax"))


def sharpe_line(text: str, interval: tuple[float, float, float, str]) -> str:
    """A printout with the Sharpe ratio's bootstrap interval (level, low,
    high, method) after its value."""
    label = STAT_LABELS["sharpe"][0]
    level, low, high, method = interval
    shown = (f"{low:.2f} .. {high:.2f}" if math.isfinite(low) and math.isfinite(high) else "-")
    kind = "block" if method == "stationary" else "i.i.d."
    lines = text.split("\n")
    for n, line in enumerate(lines):
        if line.startswith(label + " "):
            lines[n] = f"{line}  ({level * 100:g} % interval {shown}, {kind} bootstrap)"
            break
    return "\n".join(lines)


# The format of each kind of figure ("%" multiplies by 100 as _format_value does).
_FORMATS = {"pct": ".2%", "int": "d", "num4": ".4f", "num3": ".3f", "num": ".2f"}


@functools.lru_cache(maxsize=16)
def _layout(keys: tuple[Any, ...], benchmark: bool) -> tuple[tuple[int, str, str, bool], ...]:
    """Per row shown: the position of its value, its padded label, the
    format of its value and whether a blank line comes before it."""
    skip = () if benchmark else BENCHMARK_KEYS
    rows = [(i, key, *label_of(key)) for i, key in enumerate(keys) if key not in skip]
    width = max(len(label) for _, _, label, _ in rows) if rows else 0
    return tuple((i, f"{label:<{width}}  ", _FORMATS.get(kind, ".2f"), key in _SECTION_STARTS and n > 0)
                 for n, (i, key, label, kind) in enumerate(rows))


def _table(keys: list[Any], values: list[float], benchmark: bool, notes: list[str]) -> str:
    lines = []
    for i, label, fmt, blank in _layout(tuple(keys), benchmark):
        value = values[i]
        if blank:
            lines.append("")
        if value is None or not math.isfinite(value):
            text = "-"
        else:
            text = format(int(value) if fmt == "d" else value, fmt)
        lines.append(f"{label}{text:>10}")
    return "\n".join(lines + notes)


def benchmark_statistics(equity: pd.Series, benchmark: pd.Series, *,
                         periods_per_year: float | None = None) -> pd.Series:
    """Alpha, beta, information ratio and tracking error of ``equity``
    against ``benchmark`` over the whole curve, as :func:`statistics`
    computes them."""
    full = statistics(equity, benchmark=benchmark, periods_per_year=periods_per_year)
    return full[list(BENCHMARK_KEYS)]
