"""Does the best configuration of a sweep beat a benchmark once the whole
search is accounted for: White's Reality Check, Hansen's test of superior
predictive ability (SPA) and Romano and Wolf's StepM set, on the sweep's own
per-bar returns.

The tests are those of ``arch.bootstrap.SPA`` and ``arch.bootstrap.StepM``,
which take the runs' per-bar losses (here the negated statistic, so that
the loss differential of a run is its statistic less the benchmark's on
every bar) and resample them with a stationary bootstrap. arch resamples
one sample at a time in Python and sums the autocovariances of the
studentising variance lag by lag; here every bootstrap mean comes from one
matrix product of the samples' bar counts with the differentials, and the
autocovariances from one FFT, which is what lets a 256-run sweep be tested
in well under a second. Given the same bootstrap samples the p-values and
the StepM set equal arch's (the tests feed these samples to arch).

As in arch, the statistic compared is the largest mean loss differential
(not studentised); the variances only decide which runs count in the
consistent p-value. The upper p-value is White's Reality Check: every run
is recentred, as if all were exactly as good as the benchmark.
"""

from __future__ import annotations

import math
from collections.abc import Hashable
from dataclasses import dataclass, field
from typing import Any

import numpy as np
import pandas as pd

from ..results.bootstrap import check_block, check_samples, optimal_block, sample_indices
from ..results.stats import _benchmark_returns
from .overfit import SweepReturns

__all__ = ["RealityCheck", "reality_check", "spa_bootstrap_means"]

_KINDS = ("lower", "consistent", "upper")


@dataclass(eq=False)
class RealityCheck:
    """Outcome of :meth:`vostra.research.table.SweepTable.reality_check`.

    ``pvalues``: the SPA p-values ``lower``, ``consistent`` (Hansen's test)
    and ``upper`` (White's Reality Check) of the null that no run beats the
    benchmark. ``superior``: the runs StepM finds better than the benchmark
    at a family-wise error rate of ``size`` (by their labels in the table).
    ``best`` is the run with the highest mean differential, ``best_mean``
    that mean (per bar)."""

    pvalues: pd.Series
    superior: list[Hashable]
    best: Hashable
    best_mean: float
    benchmark: str
    statistic: str
    size: float
    block: float
    samples: int
    n_runs: int
    n_obs: int
    critical_values: pd.Series = field(repr=False)

    @property
    def reality_check(self) -> float:
        """White's Reality Check p-value (the upper SPA p-value)."""
        return float(self.pvalues["upper"])

    @property
    def spa(self) -> float:
        """Hansen's SPA p-value (the consistent one)."""
        return float(self.pvalues["consistent"])

    def summary(self) -> str:
        p = self.pvalues
        unit = "mean bar return" if self.statistic == "mean" else "mean bar log return"
        shown = ", ".join(str(s) for s in self.superior[:20]) + (" ..." if len(self.superior) > 20 else "")
        return "\n".join([
            f"Reality check of {self.n_runs} runs against {self.benchmark} ({unit}, {self.n_obs} bars)",
            f"best run {self.best}: {self.best_mean:+.6f} a bar over the benchmark",
            f"p-values: White's Reality Check {p['upper']:.4f}, Hansen's SPA {p['consistent']:.4f} "
            f"(lower bound {p['lower']:.4f})",
            f"StepM at {self.size:g}: {len(self.superior)} run(s) beat the benchmark"
            + (f": {shown}" if self.superior else ""),
            f"(stationary bootstrap, {self.samples} samples, mean block {self.block:.1f} bars)",
        ])

    def __repr__(self) -> str:
        return self.summary()


def _long_run_variances(d: np.ndarray, block: float) -> np.ndarray:
    """arch's studentising variance of each column of the loss
    differentials: the autocovariances weighted by the stationary
    bootstrap's kappa(i) = (1 - i/t)(1 - p)^i + (i/t)(1 - p)^(t - i)."""
    t = d.shape[0]
    demeaned = d - d.mean(axis=0)
    size = 1 << int(math.ceil(math.log2(2 * t)))
    spectrum = np.fft.rfft(demeaned, n=size, axis=0)
    lagged = np.fft.irfft(spectrum.real ** 2 + spectrum.imag ** 2, n=size, axis=0)[:t]
    lagged[0] = np.sum(demeaned ** 2, axis=0)   # the lag-0 sum as arch takes it
    p = 1.0 / block
    i = np.arange(1, t, dtype=np.float64)
    kappa = (1.0 - i / t) * (1.0 - p) ** i + (i / t) * (1.0 - p) ** (t - i)
    return (lagged[0] + 2.0 * (kappa @ lagged[1:])) / t


def spa_bootstrap_means(d: np.ndarray, samples: int, block: float, rng: np.random.Generator) -> np.ndarray:
    """The mean of every column of ``d`` (bars x runs) in each stationary
    bootstrap sample (samples x runs), through the samples' bar counts."""
    t = d.shape[0]
    out = np.empty((samples, d.shape[1]))
    done = 0
    for positions in sample_indices(t, samples, "stationary", block, rng):
        k = len(positions)
        flat = (positions % t + np.arange(k)[:, None] * t).ravel()
        counts = np.bincount(flat, minlength=k * t).reshape(k, t).astype(np.float64)
        np.matmul(counts, d, out=out[done:done + k])
        done += k
    out /= t
    return out


def _spa(means: np.ndarray, simulated: np.ndarray, selected: np.ndarray) -> np.ndarray:
    """The three p-values over the selected runs."""
    largest = np.max(simulated[:, selected, :], axis=1)            # samples x 3
    return (largest > np.max(means[selected])).mean(axis=0)


def _critical(simulated: np.ndarray, selected: np.ndarray, size: float) -> np.ndarray:
    return np.percentile(np.max(simulated[:, selected, :], axis=1), 100.0 * (1 - size), axis=0)


def spa_test(d: np.ndarray, block: float, samples: int, size: float,
             rng: np.random.Generator) -> tuple[np.ndarray, list[int], np.ndarray]:
    """The SPA p-values (lower, consistent, upper), the StepM set (column
    positions, ascending) and the critical values at ``size``, for the loss
    differentials ``d`` (bars x runs), as arch's SPA and StepM compute them."""
    t, k = d.shape
    means = d.mean(axis=0)
    variances = _long_run_variances(d, block)
    valid = means >= -np.sqrt(variances / t * 2.0 * np.log(np.log(t)))
    centres = np.stack([np.where(means < 0, 0.0, means), np.where(valid, means, 0.0), means], axis=1)
    boot = spa_bootstrap_means(d, samples, block, rng)
    simulated = boot[:, :, None] - centres[None, :, :]                # samples x runs x 3
    everything = np.ones(k, dtype=bool)
    pvalues = _spa(means, simulated, everything)
    critical = _critical(simulated, everything, size)
    # StepM: take out the runs found better, test the rest again, until no
    # more are found or none is left.
    better = list(np.flatnonzero(means > critical[1]))
    found = list(better)
    while better and len(found) < k:
        selected = everything.copy()
        selected[found] = False
        level = _critical(simulated, selected, size)[1]
        better = list(np.flatnonzero((means > level) & selected))
        found += better
    return pvalues, sorted(int(i) for i in found), critical


def _check_size(size: Any) -> float:
    value = float(size)
    if not 0.0 < value < 1.0:
        raise ValueError(f"size must be a family-wise error rate strictly between 0 and 1, got {size!r}")
    return value


def _transform(returns: np.ndarray, statistic: str) -> np.ndarray:
    if statistic == "mean":
        return returns
    if statistic == "log":
        if (returns <= -1).any():
            raise ValueError("statistic='log' needs returns above -100 %; a run lost everything")
        return np.log1p(returns)
    raise ValueError(f"statistic must be 'mean' (bar returns) or 'log' (bar log returns), got {statistic!r}")


def reality_check(source: SweepReturns, runs: list[Hashable], benchmark: Any = "cash", *,
                  statistic: str = "mean", samples: int = 1000, block: float | None = None,
                  size: float = 0.05, seed: Any = None) -> RealityCheck:
    """The reality check of the runs ``runs`` (labels of the sweep's rows
    that have returns) against ``benchmark``; see
    :meth:`vostra.research.table.SweepTable.reality_check`."""
    samples = check_samples(samples)
    size = _check_size(size)
    returns = source.returns
    runs = [run for run in runs if run in returns.columns]
    if isinstance(benchmark, str) and benchmark == "cash":
        base = np.zeros(len(returns))
        name = "cash (a return of 0)"
    elif isinstance(benchmark, pd.Series):
        dates = pd.DatetimeIndex([source.anchor]).append(returns.index)
        base = _benchmark_returns(benchmark, dates)
        missing = ~np.isfinite(base)
        if missing.any():
            raise ValueError(f"the benchmark has no return on {int(missing.sum())} of the sweep's bars, "
                             f"the first {returns.index[np.argmax(missing)]}; give it a positive price on "
                             f"every bar from {source.anchor}")
        name = str(benchmark.name) if benchmark.name is not None else "the benchmark"
    elif isinstance(benchmark, Hashable) and benchmark in returns.columns:
        base = returns[benchmark].to_numpy()
        runs = [run for run in runs if run != benchmark]
        name = f"run {benchmark}"
    else:
        raise ValueError(f"benchmark must be 'cash', a price series or the label of a run of the sweep "
                         f"with returns, got {benchmark!r}")
    if not runs:
        raise ValueError("the table has no run with returns to test")
    if len(returns) < 3:
        raise ValueError(f"a reality check needs at least 3 bars of returns, got {len(returns)}")
    models = _transform(returns[runs].to_numpy(dtype=np.float64), statistic)
    d = models - _transform(base, statistic)[:, None]
    block = optimal_block(d) if block is None else check_block(block)
    pvalues, superior, critical = spa_test(d, block, samples, size, np.random.default_rng(seed))
    means = d.mean(axis=0)
    best = int(np.argmax(means))
    return RealityCheck(pvalues=pd.Series(pvalues, index=list(_KINDS)), superior=[runs[i] for i in superior],
                        best=runs[best], best_mean=float(means[best]), benchmark=name, statistic=statistic,
                        size=size, block=block, samples=samples, n_runs=len(runs), n_obs=len(d),
                        critical_values=pd.Series(critical, index=list(_KINDS)))
