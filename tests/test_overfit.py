"""Overfitting statistics: the normal quantile, PSR / DSR on hand-computed
cases, the effective number of trials, PBO by cross-validation on a
hand-ranked case and on noise, the figures of a sweep, argument errors."""

import itertools
import math

import numpy as np
import pandas as pd
import pytest

import vostra
from vostra.research.overfit import (normal_cdf, normal_ppf, pbo_logits, return_moments,
                            sweep_returns)


# --- The normal distribution ------------------------------------------------

@pytest.mark.parametrize("p, x", [
    (0.5, 0.0),
    (0.975, 1.959963984540054),
    (0.99, 2.3263478740408408),
    (1e-10, -6.361340902404056),
    (1 - 1e-10, 6.361340889697422),   # 1 - 1e-10 is not exact in binary
])
def test_normal_quantile_at_known_points(p, x):
    assert normal_ppf(p) == pytest.approx(x, rel=1e-9, abs=1e-15)


def test_normal_quantile_inverts_the_distribution_in_both_tails():
    for p in np.concatenate([np.geomspace(1e-300, 0.5, 200), 1 - np.geomspace(1e-15, 0.5, 200)]):
        assert normal_cdf(normal_ppf(p)) == pytest.approx(p, rel=1e-12)
    assert normal_ppf(0.0) == -math.inf and normal_ppf(1.0) == math.inf
    with pytest.raises(ValueError, match=r"probability must lie in \[0, 1\], got 1.5"):
        normal_ppf(1.5)


# --- Probabilistic and deflated Sharpe ratios --------------------------------

def test_psr_hand_computed_cases():
    # kurtosis 1, skew 0: the denominator is 1 and z = SR sqrt(n - 1) = 0.196 * 10.
    assert vostra.probabilistic_sharpe_ratio(0.196, 101, 0.0, 1.0) == pytest.approx(
        0.9750021048517795, rel=1e-12)
    # 1 + 1.5 * 0.4 + (25 - 1) / 4 * 0.16 = 2.56, so z = 0.4 * 8 / 1.6 = 2.
    assert vostra.probabilistic_sharpe_ratio(0.4, 65, -1.5, 25.0) == pytest.approx(
        0.9772498680518208, rel=1e-12)
    # Against a benchmark equal to the measured ratio: even odds.
    assert vostra.probabilistic_sharpe_ratio(0.1, 500, 0.3, 4.0, benchmark=0.1) == 0.5


def test_psr_falls_with_negative_skew_and_fat_tails():
    normal = vostra.probabilistic_sharpe_ratio(0.1, 250, 0.0, 3.0)
    assert vostra.probabilistic_sharpe_ratio(0.1, 250, -1.0, 3.0) < normal
    assert vostra.probabilistic_sharpe_ratio(0.1, 250, 0.0, 10.0) < normal
    assert vostra.probabilistic_sharpe_ratio(0.1, 1000, 0.0, 3.0) > normal


def test_expected_max_sharpe_hand_value_and_simulation():
    # sqrt(V) ((1 - gamma) Phi^-1(1 - 1/40) + gamma Phi^-1(1 - 1/(40 e))), by mpmath.
    assert vostra.expected_max_sharpe(40, 1.0) == pytest.approx(2.1894802275371754, rel=1e-12)
    assert vostra.expected_max_sharpe(40, 0.04) == pytest.approx(0.2 * 2.1894802275371754, rel=1e-12)
    assert vostra.expected_max_sharpe(1, 0.5) == 0.0
    # The approximation of the mean maximum of N standard normals.
    rng = np.random.default_rng(0)
    for n in (10, 100, 1000):
        simulated = rng.standard_normal((4000, n)).max(axis=1).mean()
        assert vostra.expected_max_sharpe(n, 1.0) == pytest.approx(simulated, rel=0.025)


def test_dsr_is_psr_against_the_expected_maximum():
    args = (0.08, 750, -0.4, 5.0)
    assert vostra.deflated_sharpe_ratio(*args, 1, 0.002) == vostra.probabilistic_sharpe_ratio(*args)
    star = vostra.expected_max_sharpe(200, 0.002)
    assert vostra.deflated_sharpe_ratio(*args, 200, 0.002) == pytest.approx(
        vostra.probabilistic_sharpe_ratio(*args, benchmark=star), rel=1e-15)
    assert vostra.deflated_sharpe_ratio(*args, 200, 0.002) < vostra.deflated_sharpe_ratio(*args, 20, 0.002)


@pytest.mark.parametrize("call, error, match", [
    (dict(n_obs=1), ValueError, "n_obs must be a whole number of returns of at least 2, got 1"),
    (dict(n_obs=10.5), ValueError, "n_obs must be a whole number"),
    (dict(kurtosis=0.0), ValueError, r"kurtosis=0.0 is below 1 \+ skew\^2 .* not the excess kurtosis"),
    (dict(sharpe=math.nan), ValueError, "sharpe must be finite, got nan"),
    (dict(skew="big"), TypeError, "skew must be a number, got str"),
])
def test_psr_argument_errors(call, error, match):
    args = dict(sharpe=0.1, n_obs=100, skew=0.0, kurtosis=3.0) | call
    with pytest.raises(error, match=match):
        vostra.probabilistic_sharpe_ratio(**args)


def test_expected_max_argument_errors():
    with pytest.raises(ValueError, match="n_trials must be at least 1, got 0.5"):
        vostra.expected_max_sharpe(0.5, 1.0)
    with pytest.raises(ValueError, match="trials_sharpe_variance must not be negative"):
        vostra.deflated_sharpe_ratio(0.1, 100, 0.0, 3.0, 10, -1.0)


# --- Effective number of trials ----------------------------------------------

def test_effective_trials_counts_uncorrelated_groups():
    # Three mutually orthogonal zero-mean patterns: groups of 3, 2 and 1 copies
    # (scaled copies are perfectly correlated) count as 3 trials.
    a = np.array([1, -1, 1, -1, 1, -1, 1, -1], dtype=float)
    b = np.array([1, 1, -1, -1, 1, 1, -1, -1], dtype=float)
    c = np.array([1, 1, 1, 1, -1, -1, -1, -1], dtype=float)
    groups = np.column_stack([a, 2 * a, 0.5 * a + 1, b, 3 * b, c])
    assert vostra.effective_trials(groups) == pytest.approx(3.0, rel=1e-12)
    flat = np.column_stack([groups, np.zeros(8), np.full(8, 0.01)])
    assert vostra.effective_trials(flat) == pytest.approx(4.0, rel=1e-12)
    assert vostra.effective_trials(np.column_stack([a, a, a])) == pytest.approx(1.0)


def test_effective_trials_with_more_trials_than_bars():
    # Through the bars' Gram matrix: the same count as from the correlations.
    rng = np.random.default_rng(4)
    common = rng.normal(size=(12, 1))
    returns = common + rng.normal(size=(12, 30)) * np.linspace(0.2, 3.0, 30)
    crowd = (np.corrcoef(returns, rowvar=False) ** 2).sum(axis=1)
    assert vostra.effective_trials(returns) == pytest.approx(np.sum(1 / crowd), rel=1e-10)


def test_effective_trials_of_independent_noise_is_near_the_count():
    rng = np.random.default_rng(3)
    n_bars, n = 2000, 40
    value = vostra.effective_trials(rng.normal(0, 0.01, (n_bars, n)))
    # Sampling noise of the correlations: about n / (1 + (n - 1) / bars).
    assert n / (1 + (n - 1) / n_bars) * 0.95 < value <= n


# --- Probability of backtest overfitting ---------------------------------------

def blocks_of(means):
    """Two bars per block, mean as given, spread 0.5 either way."""
    return np.concatenate([[m - 0.5, m + 0.5] for m in means])


def test_pbo_of_a_hand_ranked_case():
    # Trial A's block means 3, 1.5, -1, -2; trial B is flat (Sharpe 0).
    # A's Sharpe has the sign of its mean over any set of blocks, so per
    # in-sample pair: {0,1}: A best, OOS {2,3} mean -1.5 -> A last;
    # {0,2}: A (1), OOS {1,3} -0.25 -> last; {0,3}: A (0.5), OOS {1,2} 0.25 -> first;
    # {1,2}: A (0.25), OOS {0,3} 0.5 -> first; {1,3}: B (A -0.25), OOS A 1 -> B last;
    # {2,3}: B, OOS A 2.25 -> B last.  Last of 2: omega 1/3; first: 2/3.
    returns = np.column_stack([blocks_of([3, 1.5, -1, -2]), np.zeros(8)])
    low, high = math.log(0.5), math.log(2.0)
    np.testing.assert_allclose(pbo_logits(returns, 4), [low, low, high, high, low, low], rtol=1e-12)
    assert vostra.backtest_overfitting_probability(returns, 4) == pytest.approx(4 / 6)
    # The remainder bar is dropped at the start: a huge first bar changes nothing.
    padded = np.vstack([[1e6, -1e6], returns])
    assert vostra.backtest_overfitting_probability(padded, 4) == pytest.approx(4 / 6)


def test_pbo_of_two_blocks_is_zero_or_one():
    good_then_bad = blocks_of([1, -1])
    bad_then_good = blocks_of([-1, 1])
    assert vostra.backtest_overfitting_probability(np.column_stack([good_then_bad, bad_then_good]), 2) == 1.0
    always = blocks_of([2, 2])
    assert vostra.backtest_overfitting_probability(np.column_stack([always, good_then_bad]), 2) == 0.0


def test_pbo_ties_share_the_median():
    # Identical trials: the in-sample best ranks in the middle, logit 0, counted.
    returns = np.column_stack([blocks_of([1, -1, 2, 0])] * 3)
    assert np.all(pbo_logits(returns, 4) == 0.0)
    assert vostra.backtest_overfitting_probability(returns, 4) == 1.0


def test_pbo_of_pure_noise_is_near_one_half():
    # One sample's PBO spreads widely (sd about 0.2), so the mean of 30
    # seeds is held to 0.5 +- 0.12 (more than 3 standard errors).
    values = [vostra.backtest_overfitting_probability(
        np.random.default_rng(seed).normal(0, 0.01, (600, 40)), 10) for seed in range(30)]
    assert abs(np.mean(values) - 0.5) < 0.12


def test_pbo_logits_follow_every_split_in_order():
    # Per in-sample set (itertools' order), from the bars themselves: the
    # Sharpe ratio of each half, the best in sample, its rank out of sample.
    rng = np.random.default_rng(4)
    returns = rng.normal(0.0005, 0.01, (8 * 7 + 3, 6))
    returns[:, 2] = returns[:, 1]                      # a tie
    blocks = returns[3:].reshape(8, 7, 6)

    def sharpe(rows):
        x = np.concatenate(rows)
        return x.mean(axis=0) / x.std(axis=0, ddof=1)

    expected = []
    for chosen in itertools.combinations(range(8), 4):
        rest = [b for b in range(8) if b not in chosen]
        inside, outside = sharpe(blocks[list(chosen)]), sharpe(blocks[rest])
        pick = outside[np.argmax(inside)]
        omega = (np.sum(outside < pick) + (np.sum(outside == pick) + 1) / 2) / 7
        expected.append(math.log(omega / (1 - omega)))
    np.testing.assert_allclose(pbo_logits(returns, 8), expected, rtol=1e-9, atol=1e-12)


def test_pbo_accepts_a_dataframe_and_sixteen_blocks():
    rng = np.random.default_rng(1)
    frame = pd.DataFrame(rng.normal(0, 0.01, (330, 5)))
    logits = pbo_logits(frame)
    assert len(logits) == math.comb(16, 8)
    assert vostra.backtest_overfitting_probability(frame) == np.mean(logits <= 0)


@pytest.mark.parametrize("returns, n_blocks, error, match", [
    (np.zeros((40, 3)), 5, ValueError, "n_blocks must be even and at least 2, got 5"),
    (np.zeros((40, 3)), 0, ValueError, "n_blocks must be even and at least 2, got 0"),
    (np.zeros((40, 3)), 4.0, TypeError, "n_blocks must be an even whole number, got 4.0"),
    (np.zeros((40, 3)), True, TypeError, "n_blocks must be an even whole number"),
    (np.zeros((31, 3)), 16, ValueError, r"31 bars, too few for n_blocks=16: .* \(32 bars\)"),
    (np.zeros((40, 1)), 4, ValueError, r"1 trial\(s\) \(columns\); at least 2"),
    (np.zeros(40), 4, ValueError, r"2-dimensional \(bars x trials\), got shape \(40,\)"),
    (pd.Series(np.zeros(40)), 4, TypeError, "a Series is a single trial"),
    (np.where(np.eye(40, 3) == 1, np.nan, 0.0), 4, ValueError,
     r"3 NaN or infinite value\(s\), the first at bar 0, trial 0"),
])
def test_pbo_argument_errors(returns, n_blocks, error, match):
    with pytest.raises(error, match=match):
        vostra.backtest_overfitting_probability(returns, n_blocks)


# --- The figures of a set of trials -------------------------------------------

def test_best_of_many_noise_trials_is_deflated():
    for seed in range(3):
        returns = np.random.default_rng(seed).normal(0, 0.01, (500, 200))
        figures = vostra.overfitting_statistics(returns)
        assert figures.psr > 0.95            # the naive test is fooled
        assert figures.dsr < 0.6             # the deflated one is not
        assert figures.dsr_all_trials <= figures.dsr
        assert 0.2 < figures.pbo < 0.8


def test_a_real_edge_among_noise_keeps_a_high_dsr():
    rng = np.random.default_rng(11)
    returns = rng.normal(0, 0.01, (2000, 100))
    returns[:, 37] += 0.0015                  # Sharpe 0.15 per bar
    figures = vostra.overfitting_statistics(returns)
    assert figures.selected == 37
    assert figures.dsr > 0.95
    assert figures.pbo < 0.05


def test_figures_name_the_trials_and_explain_themselves():
    rng = np.random.default_rng(2)
    frame = pd.DataFrame(rng.normal(0, 0.01, (400, 3)), columns=["a", "b", "c"])
    frame["b"] += 0.002
    figures = vostra.overfitting_statistics(frame, n_blocks=8)
    sharpe, skew, kurt = return_moments(frame.to_numpy())
    assert figures.selected == "b" and figures.sharpe == sharpe[1]
    assert figures.psr == vostra.probabilistic_sharpe_ratio(sharpe[1], 400, skew[1], kurt[1])
    assert figures.sharpe_variance == pytest.approx(np.var(sharpe, ddof=1))
    assert len(figures.logits) == math.comb(8, 4)
    table = figures.table()
    assert list(table.columns) == ["figure", "value", "meaning"] and table["meaning"].str.len().min() > 10
    assert "pbo" in figures.summary() and "\nselected" in figures.summary()


def test_figures_without_a_pbo_say_why():
    one = vostra.overfitting_statistics(np.random.default_rng(0).normal(0, 1, (100, 1)))
    assert math.isnan(one.pbo) and one.note == "the PBO needs at least 2 trials"
    assert one.effective_trials == 1.0 and one.dsr == one.psr
    short = vostra.overfitting_statistics(np.random.default_rng(0).normal(0, 1, (20, 3)))
    assert math.isnan(short.pbo) and "at least 32 bars for 16 blocks, got 20" in short.note


# --- How long a record or a backtest must be -------------------------------------

def test_min_backtest_length_reproduces_the_papers_example():
    # Bailey, Borwein, Lopez de Prado and Zhu: with 45 independent trials
    # a backtest needs about 5 years before the best one's annualised
    # Sharpe ratio of 1 is not expected from luck; 2 ln N bounds it above.
    assert vostra.min_backtest_length(45, 1.0) == pytest.approx(4.998087, abs=1e-6)
    assert vostra.min_backtest_length(45, 1.0) < 2 * math.log(45)
    assert vostra.min_backtest_length(45, 0.5) == pytest.approx(4 * vostra.min_backtest_length(45, 1.0))
    assert vostra.min_backtest_length(1, 1.0) == 0.0 and vostra.min_backtest_length(10, -0.1) == math.inf


def test_min_track_record_length_is_where_the_psr_reaches_the_confidence():
    # Normal returns, SR 0.1 a period: 1 + (1 + 0.1^2 / 2) (1.6448536 / 0.1)^2.
    assert vostra.min_track_record_length(0.1, 0.0, 3.0) == pytest.approx(272.907117, abs=1e-6)
    # The paper's example inputs, monthly: SR 1.59 / sqrt(12), skew -2.448,
    # kurtosis 10.164, against SR* = 1 / sqrt(12): the variance term
    # 1 + 2.448 SR + 9.164 / 4 SR^2 = 2.6063 and 1 + 2.6063 (1.6449 / 0.1703)^2.
    sr, star = 1.59 / math.sqrt(12), 1 / math.sqrt(12)
    months = vostra.min_track_record_length(sr, -2.448, 10.164, star)
    assert months == pytest.approx(244.0813, abs=1e-4)
    for args in ((sr, -2.448, 10.164, star), (0.05, 0.5, 6.0, 0.0), (0.2, -1.0, 8.0, 0.05)):
        n = vostra.min_track_record_length(*args, confidence=0.9)
        below = vostra.probabilistic_sharpe_ratio(args[0], math.floor(n), *args[1:3], benchmark=args[3])
        above = vostra.probabilistic_sharpe_ratio(args[0], math.ceil(n), *args[1:3], benchmark=args[3])
        assert below < 0.9 <= above
    assert vostra.min_track_record_length(0.1, 0.0, 3.0, benchmark=0.1) == math.inf
    with pytest.raises(ValueError, match="confidence must lie strictly between 0 and 1"):
        vostra.min_track_record_length(0.1, 0.0, 3.0, confidence=95)


# --- A sweep's figures ------------------------------------------------------------

@pytest.fixture(scope="module")
def market():
    return vostra.synthetic_market(n_stocks=12, years=1.5, seed=5)


@pytest.fixture(scope="module")
def signals(market):
    filled = market.close.ffill()
    rank = (filled.shift(5) / filled.shift(40) - 1).where(market.close.notna()).rank(
        axis=1, ascending=False)
    return {"top2": rank <= 2, "top4": rank <= 4}


def test_sweep_table_has_psr_and_overfitting_figures(market, signals):
    grid = {"stop_loss": [None, -0.5, 0.05, 0.1]}          # -0.5 fails
    table = vostra.sweep(signals, market, grid=grid, backend="serial", progress=False, equity=True)
    failed = table["error"].notna()
    assert failed.sum() == 2 and table.loc[failed, "psr"].isna().all()
    assert list(table.columns).index("psr") == list(table.columns).index("error") - 1

    # The returns of the successful runs, from the first bar any run moves.
    returns = sweep_returns(table["equity"])
    assert list(returns.columns) == list(table.index[~failed])
    equity = pd.DataFrame(dict(table.loc[~failed, "equity"]))
    first_move = int(np.argmax((equity.diff().iloc[1:] != 0).any(axis=1).to_numpy()))
    assert len(returns) == len(equity) - 1 - first_move > 200
    sharpe, skew, kurt = return_moments(returns.to_numpy())
    for k, run in enumerate(returns.columns):
        assert table.at[run, "psr"] == vostra.probabilistic_sharpe_ratio(
            sharpe[k], len(returns), skew[k], kurt[k])

    figures = vostra.overfitting(table)
    assert figures.n_trials == 6 and figures.n_obs == len(returns)
    assert figures.selected == table["sharpe"].idxmax()
    assert 0.0 <= figures.pbo <= 1.0 and 1.0 <= figures.effective_trials <= 6.0
    assert figures.min_track_record == vostra.min_track_record_length(figures.sharpe, figures.skew,
                                                                      figures.kurtosis)
    assert figures.min_backtest_length == vostra.min_backtest_length(figures.effective_trials, figures.sharpe)
    assert f"{figures.min_track_record:,.0f}" in str(figures)
    # The figures stay with the table through the usual operations.
    assert vostra.overfitting(table.sort_values("sharpe").head(3)).pbo == figures.pbo


def test_sweep_without_overfitting_figures(market, signals):
    table = vostra.sweep(signals["top2"], market, grid={"fee": [0.0, 0.001]}, backend="serial",
                         progress=False, overfitting=False)
    assert "psr" not in table.columns and "equity" not in table.columns
    with pytest.raises(ValueError, match=r"carries no overfitting figures; .*overfitting=True"):
        vostra.overfitting(table)
    with pytest.raises(TypeError, match="table must be the DataFrame vostra.sweep returns, got dict"):
        vostra.overfitting({})
    with pytest.raises(ValueError, match="pbo_blocks must be even and at least 2, got 3"):
        vostra.sweep(signals["top2"], market, backend="serial", progress=False, pbo_blocks=3)
