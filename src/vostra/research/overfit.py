"""Statistics that measure how much a parameter search flatters its best run:
the probabilistic and deflated Sharpe ratios, the effective number of trials
and the probability of backtest overfitting by combinatorially symmetric
cross-validation.

Every function works on plain per-bar return series (any strategy, not only
this engine's). Sharpe ratios here are per bar (mean / sample standard
deviation of the bar returns, ``ddof=1``), never annualised; skewness and
kurtosis are the plain third and fourth standardised moments (population
moments, kurtosis 3 for a normal distribution).
"""

from __future__ import annotations

import math
from collections.abc import Hashable, Sequence
from dataclasses import dataclass, field
from typing import Any

import numpy as np
import pandas as pd

from .._native import load_engine, usable_cpus

__all__ = [
    "normal_cdf", "normal_ppf", "probabilistic_sharpe_ratio", "expected_max_sharpe",
    "deflated_sharpe_ratio", "effective_trials", "backtest_overfitting_probability",
    "pbo_logits", "return_moments", "overfitting_statistics", "overfitting", "Overfitting",
    "min_track_record_length", "min_backtest_length", "SweepReturns",
    "sweep_returns", "attach_to_sweep",
]

EULER_GAMMA = 0.5772156649015329

# --------------------------------------------------------------------------
# The normal distribution
# --------------------------------------------------------------------------

def normal_cdf(x: float) -> float:
    """Standard normal distribution function, from ``math.erfc`` (accurate
    in both tails)."""
    return 0.5 * math.erfc(-x / math.sqrt(2.0))


# Rational approximation of the normal quantile (P. J. Acklam), relative
# error below 1.2e-9, refined below by one Halley step to about 1e-15.
_A = (-3.969683028665376e+01, 2.209460984245205e+02, -2.759285104469687e+02,
      1.383577518672690e+02, -3.066479806614716e+01, 2.506628277459239e+00)
_B = (-5.447609879822406e+01, 1.615858368580409e+02, -1.556989798598866e+02,
      6.680131188771972e+01, -1.328068155288572e+01)
_C = (-7.784894002430293e-03, -3.223964580411365e-01, -2.400758277161838e+00,
      -2.549732539343734e+00, 4.374664141464968e+00, 2.938163982698783e+00)
_D = (7.784695709041462e-03, 3.224671290700398e-01, 2.445134137142996e+00,
      3.754408661907416e+00)
_P_LOW = 0.02425


def _tail_quantile(q: float) -> float:
    c, d = _C, _D
    return ((((((c[0] * q + c[1]) * q + c[2]) * q + c[3]) * q + c[4]) * q + c[5])
            / ((((d[0] * q + d[1]) * q + d[2]) * q + d[3]) * q + 1.0))


def normal_ppf(p: float) -> float:
    """Standard normal quantile function (inverse of :func:`normal_cdf`);
    -inf at 0 and +inf at 1."""
    p = float(p)
    if not 0.0 <= p <= 1.0:
        raise ValueError(f"a probability must lie in [0, 1], got {p!r}")
    if p == 0.0:
        return -math.inf
    if p == 1.0:
        return math.inf
    if p < _P_LOW:
        x = _tail_quantile(math.sqrt(-2.0 * math.log(p)))
    elif p <= 1.0 - _P_LOW:
        q = p - 0.5
        r = q * q
        a, b = _A, _B
        x = ((((((a[0] * r + a[1]) * r + a[2]) * r + a[3]) * r + a[4]) * r + a[5]) * q
             / (((((b[0] * r + b[1]) * r + b[2]) * r + b[3]) * r + b[4]) * r + 1.0))
    else:
        x = -_tail_quantile(math.sqrt(-2.0 * math.log1p(-p)))
    # Halley step on Phi(x) - p; the upper tail is refined through the
    # complement so that p close to 1 keeps its precision.
    if p > 0.5:
        e = 0.5 * math.erfc(x / math.sqrt(2.0)) - (1.0 - p)
        e = -e
    else:
        e = normal_cdf(x) - p
    u = e * math.sqrt(2.0 * math.pi) * math.exp(x * x / 2.0)
    return x - u / (1.0 + x * u / 2.0)


# --------------------------------------------------------------------------
# Sharpe ratio tests
# --------------------------------------------------------------------------

def _finite(value: Any, name: str) -> float:
    try:
        value = float(value)
    except (TypeError, ValueError):
        raise TypeError(f"{name} must be a number, got {type(value).__name__}") from None
    if not math.isfinite(value):
        raise ValueError(f"{name} must be finite, got {value!r}")
    return value


def probabilistic_sharpe_ratio(sharpe: float, n_obs: int, skew: float, kurtosis: float,
                               benchmark: float = 0.0) -> float:
    """Probability that the true Sharpe ratio exceeds ``benchmark``, given
    the Sharpe ratio measured on ``n_obs`` returns.

    ``PSR = Phi((SR - SR*) sqrt(n - 1) / sqrt(1 - skew SR + (kurtosis - 1) / 4 SR^2))``

    with ``SR`` = ``sharpe`` and ``SR*`` = ``benchmark``, both per bar (not
    annualised), ``skew`` and ``kurtosis`` the third and fourth standardised
    moments of the returns (``kurtosis`` = 3 for normal returns) and ``Phi``
    the standard normal distribution function. The denominator is the
    standard error of the Sharpe ratio for non-normal returns (Mertens); for
    normal returns it is ``sqrt(1 + SR^2 / 2)``.
    """
    sharpe = _finite(sharpe, "sharpe")
    benchmark = _finite(benchmark, "benchmark")
    skew = _finite(skew, "skew")
    kurtosis = _finite(kurtosis, "kurtosis")
    if isinstance(n_obs, bool) or not float(n_obs).is_integer() or n_obs < 2:
        raise ValueError(f"n_obs must be a whole number of returns of at least 2, got {n_obs!r}")
    if kurtosis < 1.0 + skew * skew - 1e-9:
        raise ValueError(
            f"kurtosis={kurtosis} is below 1 + skew^2 = {1.0 + skew * skew} (skew={skew}); "
            f"no distribution has these moments: kurtosis is the plain fourth standardised "
            f"moment (3 for a normal distribution), not the excess kurtosis"
        )
    variance = 1.0 - skew * sharpe + (kurtosis - 1.0) / 4.0 * sharpe * sharpe
    if not variance > 0.0:
        # Only at kurtosis == 1 + skew^2 (a two-point distribution) with SR = 2 / skew.
        return 1.0 if sharpe > benchmark else (0.5 if sharpe == benchmark else 0.0)
    z = (sharpe - benchmark) * math.sqrt(n_obs - 1.0) / math.sqrt(variance)
    return normal_cdf(z)


def expected_max_sharpe(n_trials: float, trials_sharpe_variance: float) -> float:
    """Expected maximum of ``n_trials`` Sharpe ratios whose true value is 0
    and whose spread across trials has variance ``trials_sharpe_variance``:

    ``SR* = sqrt(V) ((1 - gamma) Phi^-1(1 - 1/N) + gamma Phi^-1(1 - 1/(N e)))``

    with ``gamma`` the Euler-Mascheroni constant. ``N`` may be fractional (an
    effective number of trials); ``N = 1`` (no selection) gives 0.
    """
    n = _finite(n_trials, "n_trials")
    variance = _finite(trials_sharpe_variance, "trials_sharpe_variance")
    if n < 1.0:
        raise ValueError(f"n_trials must be at least 1, got {n_trials!r}")
    if variance < 0.0:
        raise ValueError(f"trials_sharpe_variance must not be negative, got {variance!r}")
    if n == 1.0:
        return 0.0
    return math.sqrt(variance) * ((1.0 - EULER_GAMMA) * normal_ppf(1.0 - 1.0 / n)
                                  + EULER_GAMMA * normal_ppf(1.0 - 1.0 / (n * math.e)))


def deflated_sharpe_ratio(sharpe: float, n_obs: int, skew: float, kurtosis: float,
                          n_trials: float, trials_sharpe_variance: float) -> float:
    """Probabilistic Sharpe ratio of the best of ``n_trials`` runs against
    the Sharpe ratio the best of that many runs without skill reaches anyway:
    :func:`probabilistic_sharpe_ratio` with ``benchmark`` =
    :func:`expected_max_sharpe` ``(n_trials, trials_sharpe_variance)``.

    ``sharpe``, ``skew`` and ``kurtosis`` describe the selected run's per-bar
    returns; ``trials_sharpe_variance`` is the variance of the per-bar Sharpe
    ratios over all trials.
    """
    benchmark = expected_max_sharpe(n_trials, trials_sharpe_variance)
    return probabilistic_sharpe_ratio(sharpe, n_obs, skew, kurtosis, benchmark)


def _check_confidence(confidence: Any) -> float:
    value = _finite(confidence, "confidence")
    if not 0.0 < value < 1.0:
        raise ValueError(f"confidence must lie strictly between 0 and 1 (0.95 for 95 %), got {confidence!r}")
    return value


def min_track_record_length(sharpe: float, skew: float, kurtosis: float, benchmark: float = 0.0,
                            confidence: float = 0.95) -> float:
    """The number of returns a track record with this Sharpe ratio, skew and
    kurtosis needs before its Sharpe ratio is above ``benchmark`` with
    probability ``confidence`` (Bailey and López de Prado, "The Sharpe ratio
    efficient frontier", 2012):

    ``MinTRL = 1 + (1 - skew SR + (kurtosis - 1) / 4 SR^2) (Phi^-1(confidence) / (SR - SR*))^2``

    in the periods of ``sharpe`` (bars for a per-bar ratio); at exactly that
    many returns :func:`probabilistic_sharpe_ratio` equals ``confidence``.
    ``kurtosis`` is the plain fourth moment (3 for normal returns). Infinite
    when the Sharpe ratio is not above the benchmark: no length of record
    shows it."""
    sharpe = _finite(sharpe, "sharpe")
    benchmark = _finite(benchmark, "benchmark")
    skew = _finite(skew, "skew")
    kurtosis = _finite(kurtosis, "kurtosis")
    z = normal_ppf(_check_confidence(confidence))
    if sharpe <= benchmark:
        return math.inf
    variance = 1.0 - skew * sharpe + (kurtosis - 1.0) / 4.0 * sharpe * sharpe
    return 1.0 + max(variance, 0.0) * (z / (sharpe - benchmark)) ** 2


def min_backtest_length(n_trials: float, sharpe: float) -> float:
    """The length of backtest below which the best of ``n_trials``
    independent configurations without skill is expected to reach a Sharpe
    ratio of ``sharpe`` anyway (Bailey, Borwein, López de Prado and Zhu,
    "Pseudo-mathematics and financial charlatanism", 2014):

    ``MinBTL = ((1 - gamma) Phi^-1(1 - 1/N) + gamma Phi^-1(1 - 1/(N e)))^2 / SR^2``

    in the periods of ``sharpe``: years for an annualised ratio, bars for a
    per-bar one (the estimate of a Sharpe ratio over T periods has a
    standard deviation of about 1 / sqrt(T)). A sweep shorter than this
    cannot tell its best run from luck. Infinite for a Sharpe ratio of 0 or
    less; 0 for a single trial."""
    sharpe = _finite(sharpe, "sharpe")
    spread = expected_max_sharpe(n_trials, 1.0)
    if sharpe <= 0.0:
        return math.inf
    return (spread / sharpe) ** 2


# --------------------------------------------------------------------------
# Return matrices
# --------------------------------------------------------------------------

def _returns_matrix(returns: Any, min_trials: int = 1) -> np.ndarray:
    """A (bars x trials) float64 matrix from an array or DataFrame, checked."""
    if isinstance(returns, pd.Series):
        raise TypeError("returns must be a (bars x trials) matrix; a Series is a single trial")
    values = np.asarray(returns.to_numpy() if isinstance(returns, pd.DataFrame) else returns)
    if values.ndim != 2:
        raise ValueError(f"returns must be 2-dimensional (bars x trials), got shape {values.shape}")
    try:
        values = values.astype(np.float64, copy=False)
    except (TypeError, ValueError):
        raise TypeError("returns must hold numbers") from None
    if values.shape[1] < min_trials:
        raise ValueError(
            f"returns holds {values.shape[1]} trial(s) (columns); at least {min_trials} are needed"
        )
    bad = ~np.isfinite(values)
    if bad.any():
        r, c = np.argwhere(bad)[0]
        raise ValueError(
            f"returns has {int(bad.sum())} NaN or infinite value(s), the first at bar {r}, "
            f"trial {c}; drop or fill them (a flat bar is a return of 0)"
        )
    return values


def _sharpe_from_moments(mean: np.ndarray, sd: np.ndarray) -> np.ndarray:
    """mean / sd, with a flat series (sd 0) at 0 and a constant nonzero
    return at +-inf, so that every trial has a rank."""
    with np.errstate(divide="ignore", invalid="ignore"):
        out = mean / sd
    flat = sd == 0
    if flat.any():
        out[flat] = np.where(mean[flat] > 0, np.inf, np.where(mean[flat] < 0, -np.inf, 0.0))
    return out


def return_moments(returns: np.ndarray) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
    """Per column of a (bars x trials) matrix: per-bar Sharpe ratio (mean /
    sample sd), skewness and kurtosis (population standardised moments; 0 and
    3 for a flat column)."""
    values = _returns_matrix(returns)
    n = values.shape[0]
    if n < 2:
        raise ValueError(f"returns needs at least 2 bars, got {n}")
    mean = values.mean(axis=0)
    centred = values - mean
    square = centred * centred
    m2 = square.mean(axis=0)
    m3 = np.einsum("ij,ij->j", square, centred) / n
    m4 = np.einsum("ij,ij->j", square, square) / n
    sd = np.sqrt(m2 * n / (n - 1))
    sharpe = _sharpe_from_moments(mean, sd)
    with np.errstate(divide="ignore", invalid="ignore"):
        skew = np.where(m2 > 0, m3 / m2 ** 1.5, 0.0)
        kurt = np.where(m2 > 0, m4 / m2 ** 2, 3.0)
    return sharpe, skew, kurt


def effective_trials(returns: Any) -> float:
    """Effective number of independent trials among the columns of a
    (bars x trials) return matrix.

    Every trial counts by its uniqueness, ``1 / sum_j R_ij^2`` with R the
    trials' correlation matrix, so ``N_eff = sum_i 1 / sum_j R_ij^2``: N for
    uncorrelated trials, 1 when all trials move together, and exactly k for
    k uncorrelated groups of identical trials whatever their sizes (a grid
    option that never changes the outcome adds nothing). For N trials with
    one common correlation rho it is ``N / (1 + (N - 1) rho^2)``. Flat
    trials (no variation) have no correlation; together they count as one
    more trial. The sampling noise of the correlations makes it somewhat
    lower than N for independent trials on few bars (about
    ``N / (1 + (N - 1) / bars)``). The result lies in [1, N].
    """
    values = _returns_matrix(returns, min_trials=1)
    if values.shape[0] < 2:
        raise ValueError(f"returns needs at least 2 bars, got {values.shape[0]}")
    centred = values - values.mean(axis=0)
    norms = np.sqrt(np.sum(centred ** 2, axis=0))
    moving = norms > 0
    z = centred[:, moving] / norms[moving]
    n = z.shape[1]
    extra = 1.0 if (~moving).any() else 0.0
    if n == 0:
        return extra
    # sum_j R_ij^2 is the diagonal of R^2 = Z'Z Z'Z, taken through the
    # smaller of the two Gram matrices; by NumPy's own loops, not the BLAS:
    # the products are tiny, and the BLAS hands them to its threads, which
    # stall for milliseconds each when the other cores are busy (as they
    # are after a sweep).
    if n <= z.shape[0]:
        gram = np.einsum("ki,kj->ij", z, z)
        crowd = np.sum(gram * gram, axis=1)
    else:
        crowd = np.sum(z * np.einsum("ij,jk->ik", np.einsum("ik,jk->ij", z, z), z), axis=0)
    return float(np.clip(np.sum(1.0 / crowd), 1.0, n)) + extra


# --------------------------------------------------------------------------
# Combinatorially symmetric cross-validation
# --------------------------------------------------------------------------

def check_block_count(n_blocks: Any, name: str = "n_blocks") -> int:
    """The number of cross-validation blocks: an even whole number >= 2."""
    if isinstance(n_blocks, bool) or not isinstance(n_blocks, (int, np.integer)):
        raise TypeError(f"{name} must be an even whole number, got {n_blocks!r}")
    n_blocks = int(n_blocks)
    if n_blocks < 2 or n_blocks % 2:
        raise ValueError(f"{name} must be even and at least 2, got {n_blocks}")
    return n_blocks


def _check_blocks(n_blocks: Any, n_bars: int) -> int:
    n_blocks = check_block_count(n_blocks)
    if n_bars // n_blocks < 2:
        raise ValueError(
            f"returns has {n_bars} bars, too few for n_blocks={n_blocks}: every block needs "
            f"at least 2 bars ({2 * n_blocks} bars); use fewer blocks or longer series"
        )
    return n_blocks


def pbo_logits(returns: Any, n_blocks: int = 16) -> np.ndarray:
    """Logits of the relative out-of-sample rank of the in-sample best trial,
    one per half/half split of combinatorially symmetric cross-validation
    (see :func:`backtest_overfitting_probability`), in the order of
    ``itertools.combinations(range(n_blocks), n_blocks // 2)`` for the
    in-sample blocks."""
    values = _returns_matrix(returns, min_trials=2)
    n_bars, n_trials = values.shape
    n_blocks = _check_blocks(n_blocks, n_bars)
    size = n_bars // n_blocks
    values = values[n_bars - size * n_blocks:]          # the remainder bars at the start go
    # Centred per trial so that sums of squares do not cancel; the variance
    # does not see the shift and the mean gets it back.
    shift = values.mean(axis=0)
    blocks = (values - shift).reshape(n_blocks, size, n_trials)
    sums, squares = blocks.sum(axis=1), (blocks ** 2).sum(axis=1)     # (blocks x trials)

    # Per split the trials' Sharpe ratios both ways, natively: 12,870
    # splits of a few dozen trials are too many small arrays for NumPy.
    return load_engine().pbo_logits(np.ascontiguousarray(sums), np.ascontiguousarray(squares),
                                    np.ascontiguousarray(shift), n_blocks // 2 * size, usable_cpus())


def backtest_overfitting_probability(returns: Any, n_blocks: int = 16) -> float:
    """Probability of backtest overfitting by combinatorially symmetric
    cross-validation.

    ``returns`` is a (bars x trials) matrix (array or DataFrame) of per-bar
    returns, one column per configuration tried. The bars are cut into
    ``n_blocks`` equal consecutive blocks (``n_blocks`` even; when the bars
    do not divide evenly the remainder is dropped at the start, so the
    blocks end on the last bar). Every choice of ``n_blocks / 2`` blocks is
    an in-sample set and the other half its out-of-sample set
    (C(n_blocks, n_blocks / 2) splits; 12870 for 16 blocks). In each split
    the trial with the best in-sample Sharpe ratio is taken, its rank r
    among the N out-of-sample Sharpe ratios (1 = worst, ties averaged) gives
    ``omega = r / (N + 1)`` and the logit ``log(omega / (1 - omega))``. The
    result is the share of splits whose logit is <= 0: how often the
    in-sample best does no better than the out-of-sample median.

    A flat series over a set of blocks has Sharpe ratio 0 there. Needs at
    least 2 trials, 2 bars per block and no NaN.
    """
    return float(np.mean(pbo_logits(returns, n_blocks) <= 0.0))


# --------------------------------------------------------------------------
# The figures of a set of trials
# --------------------------------------------------------------------------

_MEANINGS = {
    "n_trials": "configurations tried",
    "effective_trials": "independent trials they amount to (correlated runs count as fewer)",
    "selected": "run with the best Sharpe ratio",
    "sharpe": "its Sharpe ratio per bar (not annualised)",
    "psr": "probability that its true Sharpe ratio is above 0, ignoring the search",
    "expected_max_sharpe": "per-bar Sharpe ratio the best of that many trials without skill reaches",
    "dsr": "probability that its true Sharpe ratio beats that luck: the PSR deflated for the search",
    "dsr_all_trials": "the same with every configuration counted as an independent trial (a lower bound)",
    "pbo": "share of half/half splits where the in-sample best ends below the out-of-sample median",
    "min_track_record": "bars of returns its Sharpe ratio needs for a PSR of 95 % (minimum track record length)",
    "min_backtest_length": "bars below which that many trials without skill reach its Sharpe ratio by luck",
}

# Figures counted in bars: shown without decimals.
_BAR_FIGURES = frozenset({"min_track_record", "min_backtest_length"})


@dataclass(eq=False)
class Overfitting:
    """How much the best of a set of trials owes to the search.

    ``selected`` is the label of the trial with the best per-bar Sharpe
    ratio; ``psr``, ``dsr`` describe it (DSR with ``effective_trials`` as the
    number of trials and the variance of all trials' Sharpe ratios;
    ``dsr_all_trials`` with ``n_trials`` instead; ``min_track_record``
    the bars of returns its Sharpe ratio needs for a PSR of 95 %, and
    ``min_backtest_length`` the bars below which ``effective_trials``
    trials without skill reach its Sharpe ratio by luck: see
    :func:`min_track_record_length` and :func:`min_backtest_length`, to
    compare with ``n_obs``); ``pbo``
    is NaN when it cannot be computed, ``note`` says why. ``logits`` holds
    the logit of every cross-validation split.
    """

    n_trials: int
    effective_trials: float
    n_obs: int
    selected: Hashable
    sharpe: float
    skew: float
    kurtosis: float
    psr: float
    sharpe_variance: float
    expected_max_sharpe: float
    dsr: float
    dsr_all_trials: float
    pbo: float
    n_blocks: int
    logits: np.ndarray = field(repr=False)
    note: str | None = None
    min_track_record: float = math.nan
    min_backtest_length: float = math.nan

    def table(self) -> pd.DataFrame:
        """The headline figures: ``figure``, ``value``, ``meaning`` (one line each)."""
        values = np.empty(len(_MEANINGS), dtype=object)
        values[:] = [getattr(self, name) for name in _MEANINGS]
        return pd.DataFrame({"figure": list(_MEANINGS), "value": values,
                             "meaning": list(_MEANINGS.values())})

    def shown(self) -> pd.DataFrame:
        """:meth:`table` with every value as the summary writes it."""
        table = self.table()
        texts = [figure_text(name, value) if isinstance(value, (float, np.floating)) and name != "selected"
                 else str(value) for name, value in zip(table["figure"], table["value"])]
        return table.assign(value=texts)

    def summary(self) -> str:
        lines = [f"{name:<20} {text:>10}  {meaning}" for name, text, meaning in self.shown().itertuples(index=False)]
        lines.append(f"(over {self.n_obs} bars; PBO from {self.n_blocks} blocks, "
                     f"{len(self.logits)} splits)")
        if self.note:
            lines.append(f"note: {self.note}")
        return "\n".join(lines)

    def __str__(self) -> str:
        return self.summary()

    def _repr_html_(self) -> str:
        from ..views.notebook import overfitting_html

        return overfitting_html(self)


def figure_text(name: str, value: float) -> str:
    """An overfitting figure as the summary shows it."""
    if not math.isfinite(value):
        return "-" if not math.isinf(value) else "never"
    if name in _BAR_FIGURES:
        return f"{value:,.0f}"
    return f"{value:.1f}" if name == "effective_trials" else f"{value:.4f}"


def overfitting_statistics(returns: Any, n_blocks: int = 16,
                           names: Sequence[Hashable] | None = None) -> Overfitting:
    """The figures of :class:`Overfitting` for a (bars x trials) return
    matrix: the trial with the best per-bar Sharpe ratio, its PSR against 0
    and its DSR over the effective number of trials, and the PBO with
    ``n_blocks`` blocks. Trial labels come from ``names``, the DataFrame's
    columns, or the column positions. The PBO is NaN (with a ``note``) when
    there is a single trial or too few bars for the blocks; other bad input
    raises as in :func:`backtest_overfitting_probability`."""
    values = _returns_matrix(returns, min_trials=1)
    n_bars, n_trials = values.shape
    if names is None:
        names = list(returns.columns) if isinstance(returns, pd.DataFrame) else list(range(n_trials))
    if len(names) != n_trials:
        raise ValueError(f"names has {len(names)} labels for {n_trials} trials")
    sharpe, skew, kurt = return_moments(values)
    best = int(np.argmax(sharpe))
    finite = sharpe[np.isfinite(sharpe)]
    variance = float(np.var(finite, ddof=1)) if len(finite) > 1 else 0.0
    n_eff = effective_trials(values)
    args = (float(sharpe[best]), n_bars, float(skew[best]), float(kurt[best]))
    if math.isfinite(args[0]):
        psr = probabilistic_sharpe_ratio(*args)
        sr_star = expected_max_sharpe(max(n_eff, 1.0), variance)
        dsr = probabilistic_sharpe_ratio(*args, benchmark=sr_star)
        dsr_all = deflated_sharpe_ratio(*args, n_trials, variance)
        min_trl = min_track_record_length(args[0], args[2], args[3])
        min_btl = min_backtest_length(max(n_eff, 1.0), args[0])
    else:  # a constant nonzero return: no test to make
        psr = dsr = dsr_all = sr_star = min_trl = min_btl = math.nan
    n_blocks = check_block_count(n_blocks)
    note = None
    logits = np.empty(0)
    pbo = math.nan
    if n_trials < 2:
        note = "the PBO needs at least 2 trials"
    elif n_bars // n_blocks < 2:
        note = f"the PBO needs at least {2 * n_blocks} bars for {n_blocks} blocks, got {n_bars}"
    else:
        logits = pbo_logits(values, n_blocks)
        pbo = float(np.mean(logits <= 0.0))
    return Overfitting(n_trials=n_trials, effective_trials=n_eff, n_obs=n_bars,
                       selected=names[best], sharpe=args[0], skew=args[2], kurtosis=args[3],
                       psr=psr, sharpe_variance=variance, expected_max_sharpe=sr_star, dsr=dsr,
                       dsr_all_trials=dsr_all, pbo=pbo, n_blocks=int(n_blocks), logits=logits, note=note,
                       min_track_record=min_trl, min_backtest_length=min_btl)


def overfitting(table: pd.DataFrame) -> Overfitting:
    """The overfitting figures of a :func:`vostra.sweep` table. They are
    computed when first asked for, from the runs' returns the sweep keeps,
    and kept in ``table.attrs["overfitting"]``; they describe the whole
    sweep even when the table has since been filtered."""
    if not isinstance(table, pd.DataFrame):
        raise TypeError(f"table must be the DataFrame vostra.sweep returns, got {type(table).__name__}")
    figures = table.attrs.get("overfitting")
    if isinstance(figures, Overfitting):
        return figures
    source = getattr(table, "_run_returns", None)
    if not isinstance(source, SweepReturns) or source.n_blocks is None:
        raise ValueError(
            "this table carries no overfitting figures; they come with vostra.sweep(..., "
            "overfitting=True), or compute them from a return matrix with "
            "vostra.overfitting_statistics(returns)"
        )
    if source.figures is None:
        source.figures = overfitting_statistics(source.returns, source.n_blocks)
    table.attrs["overfitting"] = source.figures
    return source.figures


# --------------------------------------------------------------------------
# The sweep's figures
# --------------------------------------------------------------------------

@dataclass(eq=False)
class SweepReturns:
    """What a sweep keeps of its runs for the figures asked for later: the
    per-bar returns (bars x runs) of :func:`sweep_returns`, the date of the
    bar before the first return (where a benchmark's first return starts),
    the PBO's block count (None when the returns are too short for any
    figure) and, once computed, the :class:`Overfitting` figures. Tables
    made from the sweep's share it."""

    returns: pd.DataFrame
    anchor: Any
    n_blocks: int | None = None
    figures: Overfitting | None = None


def sweep_returns(curves: pd.Series) -> pd.DataFrame:
    """Per-bar returns (bars x runs) of the equity curves of a sweep's runs
    (a Series of Series keyed by run; None for a failed run, which is left
    out). Bars before the first one on which any run moves are dropped: in
    that common warm-up no run holds anything, and its zeros would only
    dilute every Sharpe ratio alike. After an equity of 0 the returns are 0."""
    kept = {run: curve for run, curve in curves.items() if curve is not None}
    if not kept:
        return pd.DataFrame()
    first = next(iter(kept.values()))
    if all(curve.index is first.index for curve in kept.values()):
        # A sweep's curves share one index: no alignment to do.
        index, columns = first.index, pd.Index(list(kept))
        values = np.empty((len(index), len(kept)))
        for k, curve in enumerate(kept.values()):
            values[:, k] = curve.to_numpy(dtype=np.float64)
    else:
        equity = pd.DataFrame(kept)
        index, columns, values = equity.index, equity.columns, equity.to_numpy(dtype=np.float64)
    previous = values[:-1]
    # A run that lost everything stays at 0: no further returns.
    with np.errstate(divide="ignore", invalid="ignore"):
        step = np.where(previous > 0, values[1:] / previous - 1.0, 0.0)
    moving = (step != 0.0).any(axis=1)
    start = int(np.argmax(moving)) if moving.any() else 0
    return pd.DataFrame(step[start:], index=index[1 + start:], columns=columns)


def attach_to_sweep(table: pd.DataFrame, n_blocks: int = 16) -> pd.DataFrame:
    """Add a ``psr`` column (each run's probabilistic Sharpe ratio against 0
    from its per-bar returns) after the statistics, and keep the runs'
    returns (a :class:`SweepReturns`) for the sweep's :class:`Overfitting`
    figures, which :func:`overfitting` computes when first asked for, and
    for its reality check; from the ``equity`` column of the table. Failed
    runs get NaN and are not trials."""
    curves = table["equity"]
    returns = sweep_returns(curves)
    psr = pd.Series(np.nan, index=table.index)
    enough = returns.shape[1] > 0 and len(returns) >= 2
    if enough:
        sharpe, skew, kurt = return_moments(returns.to_numpy())
        figures = {run: probabilistic_sharpe_ratio(sr, len(returns), sk, ku)
                   for run, sr, sk, ku in zip(returns.columns, sharpe, skew, kurt) if math.isfinite(sr)}
        if figures:   # set at once: a Series' item assignment costs more than the figure
            psr.loc[list(figures)] = list(figures.values())
    position = table.columns.get_loc("error")
    table.insert(position, "psr", psr.to_numpy())
    if len(returns):
        index = next(c for c in curves if c is not None).index
        table._run_returns = SweepReturns(returns, index[index.get_loc(returns.index[0]) - 1],
                                          n_blocks if enough else None)
    return table
