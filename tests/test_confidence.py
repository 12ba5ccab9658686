"""Bootstrap intervals of a result's statistics: the point values are the
statistics, the intervals are arch's on the same samples, the blocks are
those of a stationary bootstrap, a block bootstrap covers the Sharpe ratio
of autocorrelated returns where an i.i.d. one falls short, and the printout
shows the interval once computed."""

import math

import numpy as np
import pandas as pd
import pytest

import vostra
from vostra.results.bootstrap import sample_indices
from vostra.results.confidence import CONFIDENCE_KEYS, confidence_table
from vostra.results.stats import statistics

arch_bootstrap = pytest.importorskip("arch.bootstrap")


def ar1(n, phi, mu, sigma, rng):
    """An AR(1) series of returns started from its stationary distribution."""
    e = rng.standard_normal(n) * sigma
    r = np.empty(n)
    r[0] = mu + e[0] / math.sqrt(1 - phi * phi)
    for t in range(1, n):
        r[t] = mu + phi * (r[t - 1] - mu) + e[t]
    return r


@pytest.fixture(scope="module")
def result():
    m = vostra.synthetic_market(n_stocks=30, years=3, seed=4)
    close = m.close
    signal = (close.ffill().pct_change(60).rank(axis=1, ascending=False) <= 5).where(close.notna(), False)
    return vostra.backtest(signal, m, rebalance="M", stop_loss=0.1)


def test_point_values_are_the_statistics(result):
    table = result.confidence(samples=200, seed=3)
    assert list(table.index) == list(CONFIDENCE_KEYS)
    np.testing.assert_allclose(table["value"], result.stats[table.index], rtol=1e-12, atol=1e-15)
    assert (table["low"] <= table["high"]).all() and (table["std_error"] > 0).all()
    assert table.attrs["bars"] == len(result.returns) and table.attrs["samples"] == 200
    # Against a risk-free rate, as the statistics measure Sharpe and Sortino.
    equity = result.equity.iloc[-400:]
    returns = equity.to_numpy()[1:] / equity.to_numpy()[:-1] - 1
    rated = confidence_table(returns, 252.0, rate=0.03, statistics=["sharpe", "sortino"], samples=50, seed=1)
    expected = statistics(equity, risk_free=0.03, periods_per_year=252)
    np.testing.assert_allclose(rated["value"], expected[["sharpe", "sortino"]], rtol=1e-12)


@pytest.mark.parametrize("method, block", [("stationary", 7.5), ("iid", None)])
def test_intervals_equal_arch_on_the_same_samples(method, block):
    rng = np.random.default_rng(11)
    r = ar1(600, 0.3, 0.0005, 0.01, rng)
    samples, seed = 400, 5
    names = ["sharpe", "max_drawdown"]
    ours = confidence_table(r, 252.0, statistics=names, method=method, block=block, samples=samples, seed=seed)
    rows = np.concatenate(list(sample_indices(len(r), samples, method, block or 1.0,
                                              np.random.default_rng(seed)))) % len(r)
    fed = iter(rows)

    class Fed(arch_bootstrap.StationaryBootstrap if method == "stationary" else arch_bootstrap.IIDBootstrap):
        def update_indices(self):
            return next(fed)

    def sharpe(x):
        return x.mean() / x.std(ddof=1) * math.sqrt(252.0)

    def max_drawdown(x):
        equity = np.concatenate([[1.0], np.cumprod(1 + x)])
        return np.min(equity / np.maximum.accumulate(equity) - 1)

    for name, func in zip(names, (sharpe, max_drawdown)):
        fed = iter(rows)
        bs = Fed(block, r) if method == "stationary" else Fed(r)
        percentile = bs.conf_int(func, samples, method="percentile", size=0.95)
        bca = bs.conf_int(func, samples, method="bca", size=0.95, reuse=True)
        np.testing.assert_allclose(ours.loc[name, ["low", "high"]], percentile.ravel(), rtol=0, atol=1e-12)
        np.testing.assert_allclose(ours.loc[name, ["bca_low", "bca_high"]], bca.ravel(), rtol=0, atol=1e-12)


def test_blocks_run_on_from_random_starts_with_the_mean_length():
    n, block = 500, 8.0
    rows = np.concatenate(list(sample_indices(n, 2000, "stationary", block, np.random.default_rng(2))))
    assert rows.min() >= 0 and rows.max() < 2 * n
    bars = rows % n
    breaks = np.diff(bars, axis=1) != 1
    breaks &= ~((bars[:, :-1] == n - 1) & (bars[:, 1:] == 0))   # a block wraps to the first bar
    # A new block starts with probability 1 / block at every bar (a block
    # may start where the last one would have gone on: that is unseen).
    seen = breaks.mean() / (1 - 1 / n)
    assert seen == pytest.approx(1 / block * (1 - 1 / n), rel=0.03)
    assert np.bincount(bars[:, 0], minlength=n).std() < 3 * math.sqrt(2000 / n)
    # The same seed, the same samples; the block estimated as arch estimates it.
    r = ar1(800, 0.5, 0.0, 0.01, np.random.default_rng(1))
    first = confidence_table(r, 252.0, statistics=["sharpe"], samples=100, seed=9)
    pd.testing.assert_frame_equal(first, confidence_table(r, 252.0, statistics=["sharpe"], samples=100, seed=9))
    assert first.attrs["block"] == pytest.approx(
        arch_bootstrap.optimal_block_length(r)["stationary"].iloc[0], rel=1e-12)
    # A handful of returns: arch's estimate divides 0 by 0; a block of 1 bar then.
    assert confidence_table(r[:6], 252.0, statistics=["sharpe"], samples=20, seed=1).attrs["block"] == 1.0


def test_block_bootstrap_covers_the_sharpe_ratio_of_autocorrelated_returns():
    # Known Sharpe ratio of AR(1) returns: mu sqrt(1 - phi^2) / sigma a bar.
    # (bench/coverage.py runs 1,000 longer series with 10,000 samples.)
    rng = np.random.default_rng(42)
    phi, mu, sigma, n = 0.5, 0.001, 0.01, 400
    truth = mu * math.sqrt(1 - phi * phi) / sigma * math.sqrt(252)
    covered = {"stationary": 0, "iid": 0}
    series = 120
    for _ in range(series):
        r = ar1(n, phi, mu, sigma, rng)
        for method in covered:
            t = confidence_table(r, 252.0, statistics=["sharpe"], method=method, samples=300,
                                 block=10.0 if method == "stationary" else None, seed=rng)
            covered[method] += t.at["sharpe", "low"] <= truth <= t.at["sharpe", "high"]
    assert 0.88 <= covered["stationary"] / series <= 0.99
    assert covered["iid"] / series < 0.85


def test_printout_shows_the_interval_once_computed(result):
    fresh = vostra.backtest(result.equity.to_frame("X").notna(), result.equity.to_frame("X"))
    assert "interval" not in str(fresh)
    table = fresh.confidence(["sharpe", "cagr"], level=0.9, samples=100, seed=1)
    line = next(line for line in str(fresh).splitlines() if line.startswith("Sharpe ratio"))
    low, high = table.loc["sharpe", ["low", "high"]]
    assert line.endswith(f"(90 % interval {low:.2f} .. {high:.2f}, block bootstrap)")


@pytest.mark.parametrize("starts, lengths, ends, match", [
    ([0, 9], [3, 2], [2], "block 1 starts outside the returns"),
    ([0, 1], [3, -1], [2], "block 1 starts outside the returns or has a negative length"),
    ([0, 1], [3, 2], [2, 1], "ascending block ends within the blocks"),
    ([0, 1], [3, 2], [3], "ascending block ends within the blocks"),
    ([0, 1], [3, 0], [1, 2], "sample 1 holds no return"),
])
def test_the_engine_checks_every_block(starts, lengths, ends, match):
    from vostra.results.confidence import block_figures

    r = np.linspace(-0.01, 0.02, 9)
    with pytest.raises(ValueError, match=match):
        block_figures(r, np.array(starts), np.array(lengths), np.array(ends), 252.0)
    # A block reads on from the first bar past the last.
    wrapped = block_figures(r, np.array([7]), np.array([4]), np.array([1]), 252.0)
    direct = block_figures(np.r_[r[7:], r[:2]], np.array([0]), np.array([4]), np.array([1]), 252.0)
    np.testing.assert_allclose(wrapped, direct, rtol=1e-12, atol=1e-15)


@pytest.mark.parametrize("call, error, match", [
    (dict(statistics=["sharpe", "trades"]), ValueError, "no bootstrap interval for 'trades'"),
    (dict(level=95), ValueError, "level must lie strictly between 0 and 1"),
    (dict(method="circular"), ValueError, "method must be one of 'stationary', 'iid'"),
    (dict(block=0.5), ValueError, "block must be a mean length of at least 1 bar"),
    (dict(samples=1), ValueError, "samples must be a whole number of at least 2"),
])
def test_bad_arguments_name_what_is_wrong(result, call, error, match):
    with pytest.raises(error, match=match):
        result.confidence(**{"samples": 10, **call})
