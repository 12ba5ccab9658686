"""How sure a result's statistics are: bootstrap intervals of the figures of
its bar returns.

Every figure here is a function of the window's bar returns alone, with the
definitions of :mod:`vostra.results.stats`; on the returns themselves it is
the figure ``Result.stats`` shows. The engine computes them for a whole
chunk of resampled series at once, each read block by block where it lies
in the returns (``_engine.resampled_figures``): 10,000 samples of 4,000
bars are then a fraction of a second, where a NumPy pass per figure over
the gathered samples took seconds. The percentile and BCa intervals are
those ``arch.bootstrap.IIDBootstrap.conf_int`` computes from the same
samples: NumPy's linear percentiles of the resampled figures, and for BCa
the bias from the share of them below the point value and the acceleration
from the leave-one-out jackknife of the returns.
"""

from __future__ import annotations

import math
from collections.abc import Sequence
from typing import Any

import numpy as np
import pandas as pd

from .._native import load_engine, usable_cpus
from .bootstrap import METHODS, check_block, check_samples, needs_research, optimal_block, sample_draws

__all__ = ["confidence_table", "CONFIDENCE_KEYS", "return_figures"]

#: The statistics :meth:`vostra.Result.confidence` gives intervals for: those
#: that are functions of the bar returns alone, in the table's order (the
#: order of the engine's resampled figures).
CONFIDENCE_KEYS = ("total_return", "cagr", "annual_volatility", "sharpe", "sortino", "max_drawdown", "calmar",
                   "skew", "kurtosis", "var_95", "cvar_95", "best_day", "worst_day", "avg_win", "avg_loss",
                   "profit_factor", "payoff_ratio", "kelly", "omega", "ulcer_index")
_COLUMN = {name: k for k, name in enumerate(CONFIDENCE_KEYS)}


def _per_bar(rate: float, ppy: float) -> float:
    """The annual risk-free rate compounded down to one bar, as the statistics take it."""
    return (1.0 + rate) ** (1.0 / ppy) - 1.0 if rate else 0.0


def block_figures(returns: np.ndarray, starts: np.ndarray, lengths: np.ndarray, ends: np.ndarray,
                  ppy: float, rate: float = 0.0) -> np.ndarray:
    """The figures (:data:`CONFIDENCE_KEYS`, columns) of the series made of
    blocks of ``returns``: sample s of the blocks ``ends[s - 1] .. ends[s]``,
    block b the ``lengths[b]`` returns from ``starts[b]`` on (reading on
    from the first past the last). Computed by the engine, on its threads."""
    as_int = lambda a: np.ascontiguousarray(a, dtype=np.int64)  # noqa: E731
    return load_engine().resampled_figures(np.ascontiguousarray(returns, dtype=np.float64), as_int(starts),
                                           as_int(lengths), as_int(ends), float(ppy), _per_bar(rate, ppy),
                                           usable_cpus())


def return_figures(r: np.ndarray, names: Sequence[str], ppy: float, rate: float = 0.0) -> np.ndarray:
    """The figures ``names`` (columns) of each row of ``r``, a (series x
    bars) matrix of bar returns."""
    r = np.ascontiguousarray(r, dtype=np.float64)
    k, m = r.shape
    rows = np.arange(k, dtype=np.int64)
    values = block_figures(r.ravel(), rows * m, np.full(k, m), rows + 1, ppy, rate)
    return values[:, [_COLUMN[name] for name in names]]


def _check_statistics(statistics: Any) -> list[str]:
    if statistics is None:
        return list(CONFIDENCE_KEYS)
    names = [statistics] if isinstance(statistics, str) else list(statistics)
    unknown = [name for name in names if name not in _COLUMN]
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


def _resampled(r: np.ndarray, columns: list[int], ppy: float, rate: float, samples: int, method: str,
               block: float, rng: np.random.Generator) -> np.ndarray:
    out = np.empty((samples, len(columns)))
    done = 0
    engine = load_engine()
    for draws in sample_draws(len(r), samples, method, block, rng):
        k, width = draws.starts.shape
        if draws.lengths is None:        # single bars
            ends = np.arange(1, k + 1, dtype=np.int64) * width
            values = block_figures(r, draws.starts.ravel(), np.ones(k * width, dtype=np.int64), ends, ppy, rate)
        else:
            values = engine.stationary_figures(r, draws.starts, draws.lengths, draws.rate, float(ppy),
                                               _per_bar(rate, ppy), usable_cpus())
        out[done:done + k] = values[:, columns]
        done += k
    return out


def jackknife(r: np.ndarray, columns: list[int], ppy: float, rate: float) -> np.ndarray:
    """The figures of every leave-one-out series (row i leaves bar i out):
    two blocks each, the bars before i and those after it."""
    n = len(r)
    bars = np.arange(n, dtype=np.int64)
    starts = np.column_stack([np.zeros(n, dtype=np.int64), (bars + 1) % n]).ravel()
    lengths = np.column_stack([bars, n - 1 - bars]).ravel()
    ends = 2 * (bars + 1)
    return block_figures(r, starts, lengths, ends, ppy, rate)[:, columns]


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
    r = np.ascontiguousarray(returns, dtype=np.float64)
    if len(r) < 3:
        raise ValueError(f"a bootstrap needs at least 3 bar returns, got {len(r)}")
    if not np.isfinite(r).all():
        raise ValueError("the bar returns hold NaN or infinite values")
    if method == "iid":
        block = 1.0
    else:
        block = optimal_block(r) if block is None else check_block(block)
    rng = np.random.default_rng(seed)
    columns = [_COLUMN[name] for name in names]
    base = return_figures(r[None, :], names, ppy, rate)[0]
    values = _resampled(r, columns, ppy, rate, samples, method, block, rng)
    percentile, bca = intervals(base, values, jackknife(r, columns, ppy, rate), level)
    table = pd.DataFrame({"value": base, "low": percentile[:, 0], "high": percentile[:, 1],
                          "bca_low": bca[:, 0], "bca_high": bca[:, 1],
                          "std_error": values.std(axis=0, ddof=1)},
                         index=pd.Index(names, name="statistic"))
    table.attrs.update(level=level, method=method, block=block, samples=samples, bars=len(r), seed=seed)
    return table
