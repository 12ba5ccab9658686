"""How sure a result's statistics are: bootstrap intervals of the figures of
its bar returns.

Every figure here is a function of the window's bar returns alone, computed
for a whole chunk of resampled series at once (one row each) with the
definitions of :mod:`vostra.results.stats`; on the returns themselves it is
the figure ``Result.stats`` shows. The percentile and BCa intervals are
those ``arch.bootstrap.IIDBootstrap.conf_int`` computes from the same
samples: NumPy's linear percentiles of the resampled figures, and for BCa
the bias from the share of them below the point value and the acceleration
from the leave-one-out jackknife of the returns.
"""

from __future__ import annotations

import math
from collections.abc import Callable, Sequence
from typing import Any

import numpy as np
import pandas as pd

from .bootstrap import METHODS, check_block, check_samples, needs_research, optimal_block, sample_indices

__all__ = ["confidence_table", "CONFIDENCE_KEYS", "return_figures"]

# The normal 5 % quantile and the mean beyond it, in deviations (the value
# at risk and expected shortfall of the statistics).
_Z05, _SHORTFALL05 = -1.6448536269514722, 2.0627128075074257


class _Rows:
    """The resampled return series of a chunk (one per row) and what several
    figures share, each made once when first needed."""

    def __init__(self, r: np.ndarray, ppy: float, rate: float) -> None:
        self.r, self.ppy, self.rate = r, ppy, rate
        self.m = r.shape[1]
        self._cache: dict[str, Any] = {}

    def get(self, name: str, make: Callable[[], Any]) -> Any:
        if name not in self._cache:
            self._cache[name] = make()
        return self._cache[name]

    @property
    def mean(self) -> np.ndarray:
        return self.get("mean", lambda: self.r.mean(axis=1))

    @property
    def flat(self) -> np.ndarray:
        """Rows of identical values: their deviation is exactly 0."""
        return self.get("flat", lambda: self.r.max(axis=1) == self.r.min(axis=1))

    @property
    def squares(self) -> np.ndarray:
        """Sums of squared deviations from the row's mean, as NumPy's
        ``std`` sums them (the same bits)."""
        def make() -> np.ndarray:
            d = self.r - self.mean[:, None]
            self._cache["deviations"] = d
            return np.multiply(d, d).sum(axis=1)
        return self.get("squares", make)

    @property
    def std(self) -> np.ndarray:
        def make() -> np.ndarray:
            if self.m < 2:
                return np.full(len(self.r), np.nan)
            return np.where(self.flat, 0.0, np.sqrt(self.squares / (self.m - 1.0)))
        return self.get("std", make)

    @property
    def excess(self) -> np.ndarray:
        """The returns less the risk-free rate of a bar (the same array without one)."""
        if not self.rate:
            return self.r
        per_bar = (1.0 + self.rate) ** (1.0 / self.ppy) - 1.0
        return self.get("excess", lambda: self.r - per_bar)

    @property
    def equity(self) -> np.ndarray:
        def make() -> np.ndarray:
            equity = np.add(self.r, 1.0)
            return np.cumprod(equity, axis=1, out=equity)
        return self.get("equity", make)

    @property
    def below_peak(self) -> np.ndarray:
        """The equity over its running peak (from the starting capital 1 on)."""
        def make() -> np.ndarray:
            peak = np.maximum.accumulate(self.equity, axis=1)
            np.maximum(peak, 1.0, out=peak)
            return np.divide(self.equity, peak, out=peak)
        return self.get("below_peak", make)

    @property
    def growth(self) -> np.ndarray:
        return self.equity[:, -1]

    @property
    def ruined(self) -> np.ndarray:
        """Rows whose equity goes below 0: their drawdown measures nothing."""
        return self.get("ruined", lambda: self.equity.min(axis=1) < 0)


def _ratio(num: np.ndarray, den: np.ndarray) -> np.ndarray:
    with np.errstate(divide="ignore", invalid="ignore"):
        return np.where(np.isfinite(num) & np.isfinite(den) & (den != 0), num / den, np.nan)


def _total_return(s: _Rows) -> np.ndarray:
    return s.growth - 1.0


def _cagr(s: _Rows) -> np.ndarray:
    g = s.growth
    with np.errstate(invalid="ignore"):
        return np.where(g >= 0, np.power(np.maximum(g, 0.0), s.ppy / s.m) - 1.0, np.nan)


def _volatility(s: _Rows) -> np.ndarray:
    return s.std * math.sqrt(s.ppy)


def _sharpe(s: _Rows) -> np.ndarray:
    if not s.rate:
        return _ratio(s.mean, s.std) * math.sqrt(s.ppy)
    shifted = _Rows(s.excess, s.ppy, 0.0)
    return _ratio(shifted.mean, shifted.std) * math.sqrt(s.ppy)


def _sortino(s: _Rows) -> np.ndarray:
    x = s.excess
    down = np.minimum(x, 0.0)
    downside = np.sqrt(np.einsum("ij,ij->i", down, down) / s.m) * math.sqrt(s.ppy)
    return _ratio(x.mean(axis=1) * s.ppy, downside)


def _max_drawdown(s: _Rows) -> np.ndarray:
    deepest = s.below_peak.min(axis=1) - 1.0
    return np.where(s.ruined, np.nan, np.minimum(deepest, 0.0))


def _calmar(s: _Rows) -> np.ndarray:
    dd = _max_drawdown(s)
    return np.where(dd < 0, _ratio(_cagr(s), np.abs(dd)), np.nan)


def _moment_sums(s: _Rows) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
    def make() -> tuple[np.ndarray, np.ndarray]:
        s.squares   # makes the deviations too
        d = s.get("deviations", lambda: s.r - s.mean[:, None])
        d2 = d * d
        m3 = np.einsum("ij,ij->i", d2, d)
        m4 = np.einsum("ij,ij->i", d2, d2)
        return m3, m4
    m3, m4 = s.get("moments", make)
    return s.squares, m3, m4


def _skew(s: _Rows) -> np.ndarray:
    n = float(s.m)
    if n < 3:
        return np.full(len(s.r), np.nan)
    m2, m3, _ = _moment_sums(s)
    with np.errstate(divide="ignore", invalid="ignore"):
        value = math.sqrt(n * (n - 1.0)) / (n - 2.0) * (m3 / n) / np.power(m2 / n, 1.5)
    return np.where(s.flat, np.nan, value)


def _kurtosis(s: _Rows) -> np.ndarray:
    n = float(s.m)
    if n < 4:
        return np.full(len(s.r), np.nan)
    m2, _, m4 = _moment_sums(s)
    scale = (n - 2.0) * (n - 3.0)
    with np.errstate(divide="ignore", invalid="ignore"):
        value = (n + 1.0) * n * (n - 1.0) / scale * m4 / (m2 * m2) - 3.0 * (n - 1.0) * (n - 1.0) / scale
    return np.where(s.flat, np.nan, value)


def _var_95(s: _Rows) -> np.ndarray:
    return s.mean + _Z05 * s.std


def _cvar_95(s: _Rows) -> np.ndarray:
    return s.mean - _SHORTFALL05 * s.std


def _gains(s: _Rows) -> tuple[np.ndarray, np.ndarray, np.ndarray, np.ndarray]:
    def make() -> np.ndarray:
        return np.stack([np.maximum(s.r, 0.0).sum(axis=1), -np.minimum(s.r, 0.0).sum(axis=1),
                         np.count_nonzero(s.r > 0, axis=1).astype(np.float64),
                         np.count_nonzero(s.r < 0, axis=1).astype(np.float64)])
    gains, pains, wins, losses = s.get("gains", make)
    return gains, pains, wins, losses


def _profit_factor(s: _Rows) -> np.ndarray:
    gains, pains, _, _ = _gains(s)
    return _ratio(gains, pains)


def _avg_win(s: _Rows) -> np.ndarray:
    gains, _, wins, _ = _gains(s)
    return _ratio(gains, wins)


def _avg_loss(s: _Rows) -> np.ndarray:
    _, pains, _, losses = _gains(s)
    return _ratio(-pains, losses)


def _payoff(s: _Rows) -> np.ndarray:
    return _ratio(_avg_win(s), np.abs(_avg_loss(s)))


def _kelly(s: _Rows) -> np.ndarray:
    _, _, wins, losses = _gains(s)
    payoff = _payoff(s)
    p = _ratio(wins, wins + losses)
    return _ratio(payoff * p - (1.0 - p), payoff)


def _ulcer(s: _Rows) -> np.ndarray:
    if s.m < 2:
        return np.full(len(s.r), np.nan)
    sunk = s.below_peak - 1.0
    return np.sqrt(np.einsum("ij,ij->i", sunk, sunk) / (s.m - 1.0))


_FIGURES: dict[str, Callable[[_Rows], np.ndarray]] = {
    "total_return": _total_return,
    "cagr": _cagr,
    "annual_volatility": _volatility,
    "sharpe": _sharpe,
    "sortino": _sortino,
    "max_drawdown": _max_drawdown,
    "calmar": _calmar,
    "skew": _skew,
    "kurtosis": _kurtosis,
    "var_95": _var_95,
    "cvar_95": _cvar_95,
    "best_day": lambda s: s.r.max(axis=1),
    "worst_day": lambda s: s.r.min(axis=1),
    "avg_win": _avg_win,
    "avg_loss": _avg_loss,
    "profit_factor": _profit_factor,
    "payoff_ratio": _payoff,
    "kelly": _kelly,
    "omega": _profit_factor,       # at a threshold of 0 it is the profit factor of the bars
    "ulcer_index": _ulcer,
}

#: The statistics :meth:`vostra.Result.confidence` gives intervals for: those
#: that are functions of the bar returns alone, in the table's order.
CONFIDENCE_KEYS = tuple(_FIGURES)


def return_figures(r: np.ndarray, names: Sequence[str], ppy: float, rate: float = 0.0) -> np.ndarray:
    """The figures ``names`` (columns) of each row of ``r``, a (series x
    bars) matrix of bar returns."""
    rows = _Rows(np.ascontiguousarray(r, dtype=np.float64), ppy, rate)
    with np.errstate(over="ignore", invalid="ignore", divide="ignore"):
        return np.column_stack([_FIGURES[name](rows) for name in names])


def _check_statistics(statistics: Any) -> list[str]:
    if statistics is None:
        return list(CONFIDENCE_KEYS)
    names = [statistics] if isinstance(statistics, str) else list(statistics)
    unknown = [name for name in names if name not in _FIGURES]
    if unknown:
        raise ValueError(
            f"no bootstrap interval for {', '.join(repr(n) for n in unknown)}: the intervals come "
            f"from resampled bar returns, so they exist for the figures of the returns alone "
            f"({', '.join(CONFIDENCE_KEYS)}); trade counts, turnover, calendar periods and "
            f"benchmark figures are not among them")
    if not names:
        raise ValueError("statistics names no figure")
    return list(dict.fromkeys(names))


def _check_level(level: Any) -> float:
    try:
        value = float(level)
    except (TypeError, ValueError):
        raise TypeError(f"level must be a probability such as 0.95, got {level!r}") from None
    if not 0.0 < value < 1.0:
        raise ValueError(f"level must lie strictly between 0 and 1 (0.95 for 95 %), got {level!r}")
    return value


def _resampled(r: np.ndarray, names: list[str], ppy: float, rate: float, samples: int, method: str,
               block: float, rng: np.random.Generator) -> np.ndarray:
    doubled = np.concatenate([r, r])
    out = np.empty((samples, len(names)))
    done = 0
    for positions in sample_indices(len(r), samples, method, block, rng):
        out[done:done + len(positions)] = return_figures(doubled[positions], names, ppy, rate)
        done += len(positions)
    return out


def jackknife(r: np.ndarray, names: list[str], ppy: float, rate: float) -> np.ndarray:
    """The figures of every leave-one-out series (row i leaves bar i out)."""
    n = len(r)
    out = np.empty((n, len(names)))
    rows = max(1, (1 << 21) // max(n, 1))
    columns = np.arange(n - 1)
    for first in range(0, n, rows):
        left_out = np.arange(first, min(first + rows, n))
        positions = columns[None, :] + (columns[None, :] >= left_out[:, None])
        out[first:first + len(left_out)] = return_figures(r[positions], names, ppy, rate)
    return out


def intervals(base: np.ndarray, values: np.ndarray, jack: np.ndarray | None,
              level: float) -> tuple[np.ndarray, np.ndarray]:
    """Per figure (column of ``values``), the percentile interval and the BCa
    interval (NaN where the bias cannot be corrected: every resampled value
    on one side of the point value, or no spread in the jackknife), as arch
    computes them."""
    try:
        from scipy.special import ndtr, ndtri
    except ImportError as exc:
        raise needs_research("a confidence interval", exc) from None
    alpha = (1.0 - level) / 2.0
    quantiles = ndtri(np.array([alpha, 1.0 - alpha]))
    k = values.shape[1]
    percentile, bca = np.full((k, 2), np.nan), np.full((k, 2), np.nan)
    for i in range(k):
        column = values[:, i]
        if not (math.isfinite(base[i]) and np.isfinite(column).all()):
            continue   # an undefined figure in some sample: no interval
        percentile[i] = np.percentile(column, [100.0 * alpha, 100.0 * (1.0 - alpha)])
        share = float((column < base[i]).mean())
        if jack is None or not 0.0 < share < 1.0 or not np.isfinite(jack[:, i]).all():
            continue
        u = jack[:, i].mean() - jack[:, i]
        numerator, denominator = np.sum(u ** 3), 6.0 * np.sum(u ** 2) ** 1.5
        if denominator < abs(numerator) * np.finfo(np.float64).eps or denominator == 0:
            continue
        a, b = numerator / denominator, ndtri(share)
        corrected = ndtr(b + (b + quantiles) / (1.0 - a * (b + quantiles))) * 100.0
        bca[i] = np.percentile(column, list(corrected))
    return percentile, bca


def confidence_table(returns: np.ndarray, ppy: float, *, rate: float = 0.0, statistics: Any = None,
                     level: float = 0.95, method: str = "stationary", block: float | None = None,
                     samples: int = 10_000, seed: Any = None) -> pd.DataFrame:
    """The table of :meth:`vostra.Result.confidence` for the bar returns
    ``returns``, annualised with ``ppy`` periods a year."""
    names = _check_statistics(statistics)
    level = _check_level(level)
    if method not in METHODS:
        raise ValueError(f"method must be one of {', '.join(repr(m) for m in METHODS)}, got {method!r}")
    samples = check_samples(samples)
    r = np.asarray(returns, dtype=np.float64)
    if len(r) < 3:
        raise ValueError(f"a bootstrap needs at least 3 bar returns, got {len(r)}")
    if not np.isfinite(r).all():
        raise ValueError("the bar returns hold NaN or infinite values")
    if method == "iid":
        block = 1.0
    else:
        block = optimal_block(r) if block is None else check_block(block)
    rng = np.random.default_rng(seed)
    base = return_figures(r[None, :], names, ppy, rate)[0]
    values = _resampled(r, names, ppy, rate, samples, method, block, rng)
    percentile, bca = intervals(base, values, jackknife(r, names, ppy, rate), level)
    table = pd.DataFrame({"value": base, "low": percentile[:, 0], "high": percentile[:, 1],
                          "bca_low": bca[:, 0], "bca_high": bca[:, 1],
                          "std_error": values.std(axis=0, ddof=1)},
                         index=pd.Index(names, name="statistic"))
    table.attrs.update(level=level, method=method, block=block, samples=samples, bars=len(r), seed=seed)
    return table
