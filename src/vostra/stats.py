"""Summary statistics of an equity curve and its trade log, vectorised."""

from __future__ import annotations

import math

import numpy as np
import pandas as pd

__all__ = ["statistics", "drawdown", "STAT_LABELS"]

_YEAR_SECONDS = 365.25 * 86400.0

# Display label and format of every statistic, in table order.
STAT_LABELS: dict[str, tuple[str, str]] = {
    "total_return": ("Total return", "pct"),
    "cagr": ("CAGR", "pct"),
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
}


def _ratio(num: float, den: float) -> float:
    if not (math.isfinite(num) and math.isfinite(den)) or den == 0:
        return math.nan
    return num / den


def drawdown(equity: pd.Series) -> pd.Series:
    """Relative distance of the equity below its running peak (0 or negative)."""
    values = equity.to_numpy(dtype=np.float64)
    return pd.Series(values / np.maximum.accumulate(values) - 1.0, index=equity.index,
                     name="drawdown")


def statistics(equity: pd.Series, trades: pd.DataFrame | None = None, *,
               turnover: float | None = None,
               periods_per_year: float | None = None) -> pd.Series:
    """Performance statistics of an equity curve.

    Parameters
    ----------
    equity
        Portfolio values indexed by a DatetimeIndex.
    trades
        Optional trade log with the columns of ``Result.trades``; closed
        trades (those with an ``exit_date``) give the win rate (among those
        with a known return), the average holding period and the average
        MAE/MFE.
    turnover
        Total one-way turnover over the curve (1.0 = the whole portfolio
        replaced once); reported per year.
    periods_per_year
        Bars per year for annualising volatility, Sharpe and Sortino. By
        default the curve's own density: (bars - 1) / years, where years is
        the calendar span of the index divided by 365.25 days.

    Returns
    -------
    pandas.Series
        Keyed by the names of :data:`STAT_LABELS`: ``total_return`` (last /
        first - 1), ``cagr``, ``annual_volatility`` (sample standard deviation
        of bar returns × √periods), ``sharpe`` (mean / std × √periods, no
        risk-free rate), ``sortino`` (mean / downside deviation × √periods,
        the downside deviation being the root mean square of the negative
        returns over all bars), ``max_drawdown`` (negative), ``calmar`` (CAGR
        / |max drawdown|), ``trades``, ``win_rate``, ``avg_holding_bars``,
        ``turnover``, ``avg_mae``, ``avg_mfe``. Undefined values are NaN.
    """
    values = equity.to_numpy(dtype=np.float64)
    out = dict.fromkeys(STAT_LABELS, math.nan)
    if len(values) >= 1:
        out["total_return"] = _ratio(values[-1], values[0]) - 1.0
        out["max_drawdown"] = float(np.min(values / np.maximum.accumulate(values) - 1.0))
    years = math.nan
    if len(values) >= 2:
        span = equity.index[-1] - equity.index[0]
        years = span.total_seconds() / _YEAR_SECONDS
    if years > 0:
        growth = values[-1] / values[0]
        out["cagr"] = growth ** (1.0 / years) - 1.0 if growth > 0 else -1.0
        ppy = periods_per_year if periods_per_year else (len(values) - 1) / years
        returns = values[1:] / values[:-1] - 1.0
        mean = float(returns.mean())
        std = float(returns.std(ddof=1)) if len(returns) > 1 else math.nan
        downside = float(np.sqrt(np.mean(np.minimum(returns, 0.0) ** 2)))
        root = math.sqrt(ppy)
        out["annual_volatility"] = std * root
        out["sharpe"] = _ratio(mean, std) * root
        out["sortino"] = _ratio(mean, downside) * root
        out["calmar"] = _ratio(out["cagr"], abs(out["max_drawdown"]))
        if turnover is not None:
            out["turnover"] = turnover / years
    if trades is not None:
        closed = trades[trades["exit_date"].notna()]
        out["trades"] = float(len(trades))
        returns = closed["return"].dropna()
        if len(returns):
            out["win_rate"] = float((returns > 0).mean())
        if len(closed):
            out["avg_holding_bars"] = float(closed["holding_bars"].mean())
            out["avg_mae"] = float(closed["mae"].mean())
            out["avg_mfe"] = float(closed["mfe"].mean())
    return pd.Series(out, name="statistics", dtype=np.float64)


def format_statistics(stats: pd.Series) -> str:
    """The statistics as an aligned two-column text table."""
    width = max(len(label) for label, _ in STAT_LABELS.values())
    lines = []
    for key, value in stats.items():
        label, kind = STAT_LABELS.get(key, (str(key), "num"))
        if value is None or not math.isfinite(value):
            text = "-"
        elif kind == "pct":
            text = f"{value * 100:.2f}%"
        elif kind == "int":
            text = f"{int(value):d}"
        else:
            text = f"{value:.2f}"
        lines.append(f"{label:<{width}}  {text:>10}")
    return "\n".join(lines)
