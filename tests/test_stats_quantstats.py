"""The figures of the return distribution, the trailing periods and the
risk-free rate, each against the quantstats function that computes it from
the same returns (and hand cases where quantstats has none)."""

from __future__ import annotations

import datetime as dt
import importlib.metadata
import math

import numpy as np
import pandas as pd
import pytest
from dateutil.relativedelta import relativedelta

import vostra
from vostra.results.stats import DETAIL_KEYS, format_statistics

# Older quantstats releases (those that still install beside the oldest
# NumPy we support) define several of these figures differently.
_VERSION = tuple(int(p) for p in importlib.metadata.version("quantstats").split(".")[:3])
if _VERSION < (0, 0, 86):
    pytest.skip(f"the comparison follows quantstats 0.0.86's definitions, found {_VERSION}",
                allow_module_level=True)
qs = pytest.importorskip("quantstats")

REL = 1e-10


def market_curve(n=2600, seed=3, start="2012-03-07"):
    """Equity on business days from ``start``: random returns with some
    flat bars (no position), the anchor 1.0 first."""
    rng = np.random.default_rng(seed)
    returns = rng.normal(0.0004, 0.011, n)
    returns[rng.random(n) < 0.04] = 0.0
    dates = pd.bdate_range(start, periods=n + 1)
    return pd.Series(np.concatenate([[1.0], np.cumprod(1 + returns)]), index=dates)


def returns_of(equity):
    values = equity.to_numpy()
    return pd.Series(values[1:] / values[:-1] - 1, index=equity.index[1:])


@pytest.fixture(scope="module")
def case():
    equity = market_curve()
    return vostra.statistics(equity), returns_of(equity)


def close(ours, theirs):
    return ours == pytest.approx(float(theirs), rel=REL, abs=1e-15)


def test_figures_of_the_bar_returns_equal_quantstats(case):
    s, r = case
    st = qs.stats
    expected = {
        "skew": st.skew(r), "kurtosis": st.kurtosis(r),
        "var_95": st.value_at_risk(r), "cvar_95": st.cvar(r),
        "best_day": st.best(r), "worst_day": st.worst(r),
        "best_month": st.best(r, aggregate="ME"), "worst_month": st.worst(r, aggregate="ME"),
        "best_year": st.best(r, aggregate="YE"), "worst_year": st.worst(r, aggregate="YE"),
        "avg_win": st.avg_win(r), "avg_loss": st.avg_loss(r),
        "profit_factor": st.profit_factor(r), "payoff_ratio": st.payoff_ratio(r),
        "max_consecutive_wins": st.consecutive_wins(r),
        "max_consecutive_losses": st.consecutive_losses(r),
        "kelly": st.kelly_criterion(r), "omega": st.omega(r), "tail_ratio": st.tail_ratio(r),
        "ulcer_index": st.ulcer_index(r),
    }
    for key, theirs in expected.items():
        assert close(s[key], theirs), (key, s[key], theirs)
    # quantstats rounds the share of bars with a nonzero return up to a whole
    # per cent; ours is the share itself.
    assert s["time_in_market"] == pytest.approx((r != 0).mean(), rel=1e-15)
    assert math.ceil(s["time_in_market"] * 100) / 100 == st.exposure(r)


@pytest.mark.parametrize("freq", ["h", "W-FRI", "D"])
def test_calendar_periods_on_other_frequencies_equal_quantstats(freq):
    rng = np.random.default_rng(8)
    n = 900
    dates = pd.date_range("2019-12-30 10:00", periods=n + 1, freq=freq)
    equity = pd.Series(np.concatenate([[1.0], np.cumprod(1 + rng.normal(0, 0.01, n))]), index=dates)
    s, r = vostra.statistics(equity, periods_per_year=252), returns_of(equity)
    for key, f, period in (("best_month", qs.stats.best, "ME"), ("worst_month", qs.stats.worst, "ME"),
                           ("best_year", qs.stats.best, "YE"), ("worst_year", qs.stats.worst, "YE")):
        assert close(s[key], f(r, aggregate=period)), (key, freq)
    last = r.index[-1]
    assert close(s["mtd"], qs.stats.comp(r[r.index >= dt.datetime(last.year, last.month, 1)]))


def test_trailing_periods_equal_quantstats_compounding(case):
    s, r = case
    last = r.index[-1]
    comp = lambda since: qs.stats.comp(r[r.index >= since])  # noqa: E731
    assert close(s["mtd"], comp(dt.datetime(last.year, last.month, 1)))
    assert close(s["ytd"], comp(dt.datetime(last.year, 1, 1)))
    assert close(s["return_1y"], comp(last - relativedelta(years=1)))
    # Whole years back (quantstats' own tear sheet starts 35, 59 and 119
    # months back); the annualisation is its cagr's.
    for key, years in (("return_3y_ann", 3), ("return_5y_ann", 5)):
        since = r[r.index >= last - relativedelta(years=years)]
        assert close(s[key], qs.stats.cagr(since, periods=252)), key
    # Ten years reach back before the curve starts.
    assert math.isnan(s["return_10y_ann"])


def test_risk_free_rate_for_sharpe_and_sortino_equals_quantstats(case):
    _, r = case
    equity = market_curve()
    s = vostra.statistics(equity, risk_free=0.03)
    assert close(s["sharpe"], qs.stats.sharpe(r, rf=0.03, periods=252))
    assert close(s["sortino"], qs.stats.sortino(r, rf=0.03, periods=252))
    plain = vostra.statistics(equity)
    assert s["sharpe"] < plain["sharpe"] and s["annual_volatility"] == plain["annual_volatility"]
    assert "risk-free rate 3% a year" in format_statistics(s)
    with pytest.raises(ValueError, match="risk_free must be an annual rate"):
        vostra.statistics(equity, risk_free=-1.5)


def test_hand_cases():
    # Three months of one bar each: +10 %, -10 %, +20 %; held on two bars.
    dates = pd.DatetimeIndex(["2023-11-30", "2023-12-29", "2024-01-31", "2024-02-29"])
    equity = pd.Series([1.0, 1.1, 0.99, 1.188], index=dates)
    s = vostra.statistics(equity, holdings=np.array([0, 3, 0, 2]), periods_per_year=12)
    assert s["time_in_market"] == pytest.approx(2 / 3)
    assert s["best_month"] == pytest.approx(0.2) and s["worst_month"] == pytest.approx(-0.1)
    # 2023 is one bar (+10 %), 2024 two (-10 %, +20 %).
    assert s["best_year"] == pytest.approx(0.1) and s["worst_year"] == pytest.approx(0.08)
    assert s["ytd"] == pytest.approx(0.08) and s["mtd"] == pytest.approx(0.2)
    assert s["max_consecutive_wins"] == 1 and s["max_consecutive_losses"] == 1
    assert s["profit_factor"] == pytest.approx(3.0) and math.isnan(s["return_1y"])
    # No losing bar: the ratios over the losses are undefined, not infinite.
    rising = vostra.statistics(pd.Series([1.0, 1.1, 1.2, 1.3], index=dates))
    assert rising[["profit_factor", "payoff_ratio", "kelly", "omega", "avg_loss"]].isna().all()
    # A plain index has no calendar: those figures are NaN, the rest is there.
    plain = vostra.statistics(pd.Series([1.0, 1.1, 0.99, 1.188]), periods_per_year=12)
    assert plain[["best_month", "ytd", "return_1y"]].isna().all() and plain["best_day"] == pytest.approx(0.2)


def test_a_timezone_keeps_its_own_calendar():
    # 23:00 in New York on the last day of a month is already the next month in UTC.
    dates = pd.DatetimeIndex(["2024-01-30 23:00", "2024-01-31 23:00", "2024-02-01 23:00"], tz="America/New_York")
    s = vostra.statistics(pd.Series([1.0, 1.1, 1.21], index=dates), periods_per_year=252)
    assert s["best_month"] == pytest.approx(0.1) and s["mtd"] == pytest.approx(0.1)


def test_result_returns_are_the_window_of_its_statistics():
    m = vostra.synthetic_market(n_stocks=40, years=3, seed=2)
    signal = m.close.rank(axis=1) <= 5
    res = vostra.backtest(signal, m.close, rebalance="M")
    r = res.returns
    assert r.index[0] == res.stats.attrs["window_start"] and r.index[-1] == res.equity.index[-1]
    assert close(res.stats["skew"], qs.stats.skew(r))
    assert close(res.stats["sharpe"], qs.stats.sharpe(r, periods=252))
    assert set(DETAIL_KEYS) <= set(res.stats.index)


def test_the_engine_refuses_values_it_has_no_returns_for():
    from vostra import _engine

    dates = np.arange(3, dtype=np.int64)
    for values, message in ((np.array([1.0]), "at least two values"),
                            (np.array([1.0, 0.0, 2.0]), "positive but for the last"),
                            (np.array([1.0, np.nan, 2.0]), "positive but for the last")):
        with pytest.raises(ValueError, match=message):
            _engine.return_figures(values, None, 252.0)
    with pytest.raises(ValueError, match="ascending dates"):
        _engine.return_figures(np.ones(3), dates[::-1].copy(), 252.0)
    with pytest.raises(ValueError, match="a date per value"):
        _engine.return_figures(np.ones(3), dates[:2], 252.0)
    with pytest.raises((TypeError, ValueError)):
        _engine.return_figures(np.ones(3), dates.astype(np.float64), 252.0)
    # A ruin on the last bar still has returns: -100 % is the worst of them.
    assert _engine.return_figures(np.array([1.0, 1.1, 0.0]), None, 252.0)["worst_day"] == -1.0
