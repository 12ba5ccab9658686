"""Statistics: hand-checked tiny curves, the window from the first executed
rebalance, frequency inference, turnover from traded value, benchmark
figures, ruined portfolios, and every figure empyrical also computes
compared with empyrical on the same returns."""

from __future__ import annotations

import math

import numpy as np
import pandas as pd
import pytest

import vostra
from vostra.results.stats import BENCHMARK_KEYS, STAT_LABELS, format_statistics, infer_periods_per_year, statistics

ep = pytest.importorskip("empyrical")

REL = 1e-12


def curve(values, dates=None):
    dates = pd.bdate_range("2022-01-03", periods=len(values)) if dates is None else dates
    return pd.Series(np.asarray(values, dtype=float), index=pd.DatetimeIndex(dates))


def random_curve(n, freq, seed, drift=0.0004, vol=0.01):
    """Equity of ``n`` random returns on dates of frequency ``freq``, with
    the returns themselves (the first value is the anchor, 1.0)."""
    rng = np.random.default_rng(seed)
    returns = rng.normal(drift, vol, n)
    dates = pd.date_range("2001-01-01", periods=n + 1, freq=freq)
    equity = pd.Series(np.concatenate([[1.0], np.cumprod(1 + returns)]), index=dates)
    return equity


def window_returns(equity, start=None):
    """Bar returns of the statistics' window, as handed to empyrical: from
    the bar before ``start`` (the starting capital) on."""
    first = 0 if start is None else equity.index.get_loc(start)
    values = equity.iloc[max(first - 1, 0):]
    return pd.Series(values.to_numpy()[1:] / values.to_numpy()[:-1] - 1, index=values.index[1:])


# ---------------------------------------------------------------------------
# Tiny hand-checked curves
# ---------------------------------------------------------------------------

# Four flat warm-up bars, then +10 %, -10 %, +10 %.
SEVEN = [1.0, 1.0, 1.0, 1.0, 1.1, 0.99, 1.089]


def test_window_starts_at_the_first_executed_rebalance():
    equity = curve(SEVEN)
    s = statistics(equity, start=equity.index[4], periods_per_year=3)
    # The first bar's return is measured from the bar before it: three
    # returns, one year at three a year.
    expected = {"total_return": 0.089, "cagr": 0.089, "annual_volatility": 0.2, "sharpe": 0.5,
                "sortino": 1.0, "max_drawdown": -0.1, "calmar": 0.89}
    for key, value in expected.items():
        assert s[key] == pytest.approx(value, rel=REL), key
    assert s.attrs["window_start"] == equity.index[4] and s.attrs["anchor"] == equity.index[3]
    assert s.attrs["window_rule"] == "first executed rebalance"

    # The whole curve: three flat bars dilute the figures over two years.
    whole = statistics(equity, periods_per_year=3)
    assert whole["total_return"] == pytest.approx(0.089, rel=REL)
    assert whole["cagr"] == pytest.approx(math.sqrt(1.089) - 1, rel=REL)
    assert whole.attrs["window_start"] == equity.index[1] and whole.attrs["window_rule"] == "first bar"


def test_a_start_without_a_bar_before_it_makes_the_first_bar_the_anchor():
    equity = curve(SEVEN)
    early = statistics(equity, start=equity.index[0] - pd.Timedelta(days=3), periods_per_year=3)
    whole = statistics(equity, periods_per_year=3)
    assert early.equals(whole) and early.attrs["anchor"] == equity.index[0]
    # A start between two dates takes the next bar.
    between = statistics(equity, start=equity.index[3] + pd.Timedelta(hours=1), periods_per_year=3)
    assert between.attrs["window_start"] == equity.index[4]
    # A start after the data leaves no return to measure.
    late = statistics(equity, start=equity.index[-1] + pd.Timedelta(days=1))
    assert late.attrs["window_start"] is None and late[["total_return", "cagr"]].isna().all()


def test_zero_dispersion_and_no_losses_give_nan_ratios():
    # Constant returns: volatility exactly 0 (not a rounding residue), so the
    # Sharpe ratio is undefined rather than ~1e15; no losing bar leaves the
    # Sortino ratio undefined; no drawdown leaves Calmar undefined.
    s = statistics(curve(2.0 ** np.arange(7)), periods_per_year=252)  # +100 % exactly
    assert s["annual_volatility"] == 0.0
    assert math.isnan(s["sharpe"]) and math.isnan(s["sortino"]) and math.isnan(s["calmar"])
    assert s["max_drawdown"] == 0.0


def test_turnover_is_traded_value_per_year_over_mean_equity():
    equity = curve(SEVEN)
    traded = pd.Series([1.0, 0.25, 0.5], index=equity.index[[4, 5, 6]])
    s = statistics(equity, start=equity.index[4], traded=traded, periods_per_year=3)
    # 1.75 traded in one year over a mean equity of (1.1 + 0.99 + 1.089) / 3.
    assert s["turnover"] == pytest.approx(1.75 / (3.179 / 3), rel=REL)
    as_array = np.array([0, 0, 0, 0, 1.0, 0.25, 0.5])
    assert statistics(equity, start=equity.index[4], traded=as_array,
                      periods_per_year=3)["turnover"] == s["turnover"]
    assert math.isnan(statistics(equity, start=equity.index[4])["turnover"])


def test_constant_weights_rebalanced_daily_have_turnover():
    pytest.importorskip("vostra.core.vantrel")
    dates = pd.bdate_range("2021-01-04", periods=6)
    close = pd.DataFrame({"A": [10, 11, 12, 11, 13, 12.0], "B": [20, 19, 21, 22, 20, 21.0]},
                         index=dates)
    weights = pd.DataFrame(0.5, index=dates, columns=["A", "B"])
    res = vostra.backtest(weights, close, rebalance="D", fee=0, tax=0)
    # Every close from the second bar on sells the winner and buys the loser
    # back to 50/50; the first one buys the whole portfolio.
    held, cash, equity, traded = np.zeros(2), 1.0, [1.0], [0.0]
    for k in range(1, len(dates)):
        prices = close.iloc[k].to_numpy()
        value = cash + held @ prices
        traded.append(float(np.abs(0.5 * value - held * prices).sum()))
        held, cash = 0.5 * value / prices, 0.0
        equity.append(held @ prices)
    np.testing.assert_allclose(res.equity.to_numpy(), equity, rtol=1e-14)
    np.testing.assert_allclose(res.traded.to_numpy(), traded, rtol=1e-12)  # the ledger's traded value
    s = statistics(res.equity, start=res.start, traded=pd.Series(traded, index=dates))
    years = 5 / 252
    assert res.start == dates[1]
    assert s["turnover"] == pytest.approx(sum(traded) / years / np.mean(equity[1:]), rel=REL)
    assert s["turnover"] > 252 * 0.05  # a few per cent traded every day


def test_traded_value_must_be_on_the_equity_dates():
    equity = curve(SEVEN)
    stray = pd.Series([1.0], index=[equity.index[-1] + pd.Timedelta(days=1)])
    with pytest.raises(ValueError, match="traded has dates that are not in the equity index"):
        statistics(equity, traded=stray)
    with pytest.raises(ValueError, match=r"an array of 7 values, got shape \(3,\)"):
        statistics(equity, traded=np.ones(3))


# ---------------------------------------------------------------------------
# Annualisation
# ---------------------------------------------------------------------------

@pytest.mark.parametrize(("dates", "expected"), [
    (pd.bdate_range("2020-01-01", periods=30), (252, "daily")),
    (pd.date_range("2020-01-01", periods=30, freq="D"), (252, "daily")),
    (pd.date_range("2020-01-01", periods=30, freq="W-FRI"), (52, "weekly")),
    (pd.date_range("2020-01-01", periods=30, freq="ME"), (12, "monthly")),
    (pd.date_range("2020-01-01", periods=30, freq="BMS"), (12, "monthly")),
    (pd.date_range("2020-01-01", periods=30, freq="QE"), (4, "quarterly")),
    (pd.date_range("2020-01-01", periods=30, freq="YE"), (1, "yearly")),
    (pd.DatetimeIndex(["2020-01-01"]), (252, "daily")),
    (pd.date_range("2020-01-01", periods=30, freq="D", tz="America/New_York")
     + pd.Timedelta(hours=16), (252, "daily")),
], ids=["bdays", "days", "weeks", "month_ends", "month_starts", "quarters", "years", "one_date",
        "aware_over_dst"])
def test_frequency_inferred_from_the_median_spacing(dates, expected):
    assert infer_periods_per_year(dates) == expected


def test_intraday_bars_scale_the_daily_factor_by_bars_a_day():
    days = pd.bdate_range("2020-01-01", periods=10)
    hours = pd.DatetimeIndex([d + pd.Timedelta(hours=h) for d in days for h in range(10, 17)])
    assert infer_periods_per_year(hours) == (252 * 7, "intraday, 7 bars a day")


def test_bdate_data_use_252_not_their_own_density():
    equity = random_curve(600, "B", seed=1)
    s = statistics(equity)
    assert s.attrs["periods_per_year"] == 252 and s.attrs["frequency"] == "daily"
    given = statistics(equity, periods_per_year=260.8)
    assert given.attrs["frequency"] == "given"
    assert given["annual_volatility"] == pytest.approx(s["annual_volatility"] * math.sqrt(260.8 / 252),
                                                       rel=REL)


@pytest.mark.parametrize("bad", [0, -12, math.nan, math.inf])
def test_periods_per_year_must_be_positive(bad):
    with pytest.raises(ValueError, match=r"periods_per_year must be a positive number such as 252"):
        statistics(curve(SEVEN), periods_per_year=bad)


def test_a_plain_index_needs_the_factor_given():
    equity = pd.Series([1.0, 1.1, 1.0])
    with pytest.raises(TypeError, match=r"must be a DatetimeIndex .* pass periods_per_year"):
        statistics(equity)
    assert statistics(equity, periods_per_year=252)["total_return"] == 0


# ---------------------------------------------------------------------------
# The same figures as empyrical on the same returns
# ---------------------------------------------------------------------------

FREQUENCIES = [("B", "daily", 700), ("W-FRI", "weekly", 300), ("ME", "monthly", 120),
               ("QE", "quarterly", 60), ("YE", "yearly", 30)]


def empyrical_figures(returns, factor, period=None, annualization=None):
    kw = dict(period=period or "daily", annualization=annualization)
    figures = {
        "cagr": ep.annual_return(returns, **kw),
        "annual_volatility": ep.annual_volatility(returns, **kw),
        "sharpe": ep.sharpe_ratio(returns, **kw),
        "sortino": ep.sortino_ratio(returns, **kw),
        "max_drawdown": ep.max_drawdown(returns),
        "calmar": ep.calmar_ratio(returns, **kw),
        "total_return": ep.cum_returns_final(returns),
    }
    if factor is not None:
        alpha, beta = ep.alpha_beta(returns, factor, **kw)
        figures.update(alpha=alpha, beta=beta, information_ratio=ep.excess_sharpe(returns, factor),
                       # empyrical has no tracking error: the annual volatility
                       # of the active returns is its definition.
                       tracking_error=ep.annual_volatility(returns - factor, **kw))
    return figures


def assert_same(ours, theirs):
    for key, value in theirs.items():
        assert math.isfinite(value), key
        assert ours[key] == pytest.approx(value, rel=REL, abs=0), key


@pytest.mark.parametrize(("freq", "period", "n"), FREQUENCIES, ids=[f[1] for f in FREQUENCIES])
def test_figures_equal_empyrical_on_each_frequency(freq, period, n):
    equity = random_curve(n, freq, seed=n)
    market = random_curve(n, freq, seed=n + 1, drift=0.0003, vol=0.008)
    benchmark = (0.6 * market + 0.4 * equity) * 250.0  # prices, correlated with the strategy
    returns = window_returns(equity)
    factor = window_returns(benchmark)
    ours = statistics(equity, benchmark=benchmark)
    assert ours.attrs["frequency"] == period
    assert_same(ours, empyrical_figures(returns, factor, period=period))


def test_figures_equal_empyrical_with_a_given_factor_and_a_warm_up():
    equity = random_curve(900, "B", seed=9)
    equity.iloc[:130] = 1.0  # flat until the first rebalance
    start = equity.index[130]
    benchmark = random_curve(900, "B", seed=10)
    returns = window_returns(equity, start)
    factor = window_returns(benchmark, start)
    assert len(returns) == 900 + 1 - 130
    ours = statistics(equity, start=start, benchmark=benchmark, periods_per_year=260)
    assert_same(ours, empyrical_figures(returns, factor, annualization=260))


def test_benchmark_dates_it_lacks_leave_those_bars_out_as_in_empyrical():
    equity = random_curve(400, "B", seed=3)
    benchmark = random_curve(400, "B", seed=4).drop(equity.index[[50, 51, 200]])
    factor = window_returns(benchmark.reindex(equity.index))
    assert factor.isna().sum() == 5
    ours = statistics(equity, benchmark=benchmark)
    theirs = empyrical_figures(window_returns(equity), factor)
    assert_same(ours, {k: theirs[k] for k in BENCHMARK_KEYS})


def test_a_benchmark_equal_to_the_strategy():
    equity = random_curve(300, "B", seed=5)
    s = statistics(equity, benchmark=equity * 3)
    assert s["beta"] == pytest.approx(1.0, rel=REL)
    assert s["alpha"] == pytest.approx(0.0, abs=1e-13)
    assert s["tracking_error"] == pytest.approx(0.0, abs=1e-13)  # rounding of the scaled prices
    assert math.isnan(statistics(equity, benchmark=equity)["information_ratio"])


def test_benchmark_must_be_a_dated_series_of_the_same_kind():
    equity = curve(SEVEN)
    with pytest.raises(TypeError, match="benchmark must be a pandas Series"):
        statistics(equity, benchmark=equity.to_frame())
    with pytest.raises(ValueError, match="differ in timezone awareness"):
        statistics(equity, benchmark=equity.tz_localize("UTC"))


# ---------------------------------------------------------------------------
# Equity at or below zero
# ---------------------------------------------------------------------------

def test_statistics_of_a_ruined_curve_are_nan_not_complex():
    # Drawdown and turnover need a positive equity: not -120 % or a
    # negative turnover over a negative mean equity.
    s = statistics(curve([1.0, 0.5, -0.2, -2.8]), periods_per_year=252,
                   benchmark=curve([1.0, 1.1, 1.2, 1.3]), traded=np.ones(4))
    assert s["total_return"] == pytest.approx(-3.8, rel=REL)
    assert s.drop(["total_return"]).isna().all()
    assert s.dtype == np.float64
    # Ending at exactly 0 is a loss of everything, well defined.
    gone = statistics(curve([1.0, 0.5, 0.0]), periods_per_year=252, traded=np.ones(3))
    assert gone["cagr"] == -1.0 and gone["total_return"] == -1.0 and gone["max_drawdown"] == -1.0
    assert gone["turnover"] == pytest.approx(3 * 252 / 2 / 0.5, rel=REL)
    # A positive end of a path through a negative equity has no growth rate.
    assert math.isnan(statistics(curve([1.0, -0.5, 2.0]), periods_per_year=252)["cagr"])


def test_backtest_warns_at_the_first_date_the_equity_reaches_zero():
    pytest.importorskip("vostra.core.vantrel")
    dates = pd.bdate_range("2021-01-04", periods=6)
    close = pd.DataFrame({"A": [10, 10, 15, 21, 25, 30.0]}, index=dates)
    short = pd.DataFrame(-1.0, index=dates[:1], columns=["A"])
    with pytest.warns(UserWarning, match=r"equity falls to -0\.1.* on 2021-01-07 00:00:00, at or below 0") as rec:
        res = vostra.backtest(short, close, rebalance=None, fee=0, tax=0)
    assert len(rec) == 1 and rec[0].filename == __file__
    assert res.equity.iloc[3] == pytest.approx(-0.1)
    assert res.stats[["sharpe", "cagr", "max_drawdown", "turnover"]].isna().all()
    assert "Sharpe ratio" in repr(res)


def test_engine_finds_the_first_nonpositive_value_as_the_ruin_warning_does():
    from vostra import _engine
    for values, want in (([1.0, np.nan, 0.5, -0.0, -1.0], 3), ([np.nan, 2.0], -1), ([], -1), ([0.0], 0)):
        assert _engine.first_nonpositive(np.array(values, dtype=np.float64)) == want
    assert _engine.first_nonpositive(np.array([1.0, 1.0, -2.0, 3.0])[::2]) == 1  # strided
    with pytest.raises(ValueError):
        _engine.first_nonpositive(np.ones((2, 2)))


# ---------------------------------------------------------------------------
# The printout and the Result
# ---------------------------------------------------------------------------

def test_the_engine_writes_the_figures_as_format_does():
    from vostra import _engine
    from vostra.results.stats import _layout, _table
    rng = np.random.default_rng(3)
    special = [0.0, -0.0, 0.125, 0.005, -0.0049999, 2.675, 1e-9, -1e-9, 0.99999, 1e22, -3.5e300, 1.7e307,
               2.0**63, -(2.0**70), np.nan, np.inf, -np.inf]
    keys = tuple(STAT_LABELS)
    for trial in range(40):
        values = rng.standard_normal(len(keys)) * 10.0 ** rng.integers(-6, 8, len(keys))
        picked = rng.random(len(keys)) < 0.4
        values[picked] = rng.choice(special, int(picked.sum()))
        for benchmark in (False, True):
            want = _table(list(keys), values.tolist(), benchmark, [])
            assert _engine.figure_table(values, _layout(keys, benchmark)) == want


def test_printout_states_the_conventions():
    equity = random_curve(300, "B", seed=6)
    equity.iloc[:20] = 1.0
    s = statistics(equity, start=equity.index[20], fee=0.001425, tax=0.003)
    text = format_statistics(s)
    assert "Window: from the first executed rebalance, 2001-01-29 (returns from the close of 2001-01-26)" in text
    assert "Annualised with 252 periods a year (daily)" in text
    assert "Costs: fee 0.1425% on every trade, tax 0.3% in addition on sales" in text
    assert "Alpha" not in text and "Beta" not in text
    against = format_statistics(statistics(equity, benchmark=equity.shift(5).bfill()))
    assert "Alpha (annual)" in against and "Information ratio (per period)" in against


def test_result_statistics_start_at_the_first_trade_with_the_run_options():
    pytest.importorskip("vostra.core.vantrel")
    m = vostra.synthetic_market(n_stocks=30, years=2, seed=8)
    filled = m.close.ffill()
    signal = ((filled.shift(5) / filled.shift(60) - 1).where(m.close.notna())
              .rank(axis=1, ascending=False) <= 5)
    res = vostra.backtest(signal, m.close, rebalance="M", tax=0.002)
    first = res.trades["entry_date"].min()
    assert res.start == first and res.equity.index[0] < first
    assert (res.fee, res.tax, res.periods_per_year) == (0.001425, 0.002, None)
    assert res.stats.attrs["anchor"] == res.equity.index[res.equity.index.get_loc(first) - 1]
    assert_same(res.stats, empyrical_figures(window_returns(res.equity, first), None))
    text = repr(res)
    assert f"first executed rebalance, {first.date()}" in text and "tax 0.2%" in text

    monthly = vostra.backtest(signal, m.close, rebalance="M", periods_per_year=12)
    assert monthly.stats.attrs["periods_per_year"] == 12 and "12 periods a year (given)" in repr(monthly)
    assert monthly.stats["sharpe"] == pytest.approx(ep.sharpe_ratio(
        window_returns(monthly.equity, monthly.start), annualization=12), rel=REL)
    # Against a benchmark: the market's average close, on the same window.
    index = m.close.mean(axis=1)
    against = res.statistics(benchmark=index)
    keys = list(BENCHMARK_KEYS)
    assert against.drop(keys).equals(res.stats.drop(keys)) and against[keys].notna().all()
    assert against["beta"] == pytest.approx(ep.beta(window_returns(res.equity, first),
                                                    window_returns(index, first)), rel=REL)
    with pytest.raises(ValueError, match="periods_per_year must be a positive number"):
        vostra.backtest(signal, m.close, periods_per_year=0)
    # A start set by hand is searched for, not taken from the engine's bar.
    res.start = res.equity.index[100]
    assert res.statistics().attrs["anchor"] == res.equity.index[99]


@pytest.mark.parametrize("many", [False, True], ids=["stops", "more_than_8192_trades"])
def test_printing_a_result_takes_the_trade_figures_from_the_ledger(many):
    m = vostra.synthetic_market(n_stocks=60, years=1 if many else 4, seed=5)
    if many:  # daily records, whose MAE and MFE NumPy averages
        res = vostra.backtest(m.close.rank(axis=1, ascending=False) <= 40, m.close, rebalance="D",
                              split_trades=True)
    else:
        signal = m.close.rank(axis=1, ascending=False) <= 6
        res = vostra.backtest(signal, m.close, m.open, m.high, m.low, trade_at="open", stop_loss=0.05)
    text = str(res)
    assert "trades" not in res.__dict__, "printing built the trade log"
    from_ledger = res.stats
    assert f"{len(res.trades)} trades" in text and (len(res.trades) > 8192) == many
    # Once the log exists the figures come from it: the same bits.
    del res.__dict__["stats"]
    del res.__dict__["_default_figures"]
    assert res.stats.to_numpy().tobytes() == from_ledger.to_numpy().tobytes()


@pytest.mark.parametrize(("tz", "time"), [(None, "0h"), ("Europe/Paris", "0h"), (None, "9h30min"),
                                          ("America/New_York", "15h")])
def test_a_printed_result_reads_its_dates_as_the_statistics_show_them(tz, time):
    m = vostra.synthetic_market(n_stocks=20, years=1, seed=4)
    index = m.close.index + pd.Timedelta(time)
    close = m.close.set_axis(index.tz_localize(tz) if tz else index)
    res = vostra.backtest(close.rank(axis=1, ascending=False) <= 4, close)
    text = str(res)
    assert text.startswith(f"Backtest {close.index[0].date()} .. {close.index[-1].date()}, ")
    assert format_statistics(res.statistics()) in text


@pytest.mark.parametrize("case", ["daily", "risk_free", "intraday", "tz", "one_bar"])
def test_the_engine_writes_the_printout_as_python_does(case):
    from vostra.results.stats import printout
    m = vostra.synthetic_market(n_stocks=20, years=1, seed=7)
    close, options = m.close, dict(fee=0.0005, tax=0.0)
    if case == "intraday":
        close = close.set_axis(close.index + pd.Timedelta("9h30min"))
    elif case == "tz":
        close = close.set_axis(close.index.tz_localize("Asia/Tokyo"))
    elif case == "one_bar":
        close = close.iloc[:1]
    res = vostra.backtest(close.rank(axis=1, ascending=False) <= 4, close, rebalance=None, **options)
    figures = res._default_figures
    if case == "risk_free":
        figures = res._figures(risk_free=0.0123)
    text = printout(figures, res._trade_count)
    if case == "intraday":
        assert text is None  # the window's dates are not midnights: Python writes them
    else:
        assert text == res._text(figures)
    if case == "daily":
        assert str(res) == text


def test_a_name_given_to_one_statistics_index_stays_its_own():
    equity = curve(SEVEN)
    first = statistics(equity)
    first.index.name = "mine"
    assert statistics(equity).index.name is None


def _numpy_window_figures(full, first, ppy, traded, held, ns, rate):
    """The figures of :func:`statistics` without trades or a benchmark, by
    NumPy alone (the path of windows beyond the engine's sums)."""
    from vostra.results.stats import _detail_figures, _returns, figures

    values = full[max(first - 1, 0):]
    out = figures(full, first, ppy, traded, None, rate)
    if len(values) > 1:
        out.update(_detail_figures(values, _returns(values), ns, ppy, held))
    return out


def _same_bits(a, b):
    return (math.isnan(a) and math.isnan(b)) or np.float64(a).tobytes() == np.float64(b).tobytes()


@pytest.mark.parametrize("seed", range(12))
def test_the_engine_computes_the_curve_figures_in_numpys_bits(seed):
    from vostra import _engine

    rng = np.random.default_rng(seed)
    n = int(rng.choice([2, 3, 9, 130, 1000, 4097, 8192]))
    full = np.cumprod(1 + rng.normal(0.0003, 0.02 * (1 + seed % 3), n))
    if seed % 4 == 1:
        full[rng.integers(n)] = rng.choice([0.0, -0.5, np.nan])  # a ruin, a negative or a missing value
    if seed % 4 == 3:
        full[-1] = 0.0  # a ruin on the last bar: the returns are still defined
    if seed % 6 == 2:
        full[n // 2:] = full[n // 2]  # flat: no returns after the middle
    first = int(rng.integers(0, n))
    ppy, rate = float(rng.choice([252.0, 12.0, 7.5])), float(rng.choice([0.0, 0.03]))
    traded = rng.random(n - first) if seed % 3 else None
    held = rng.integers(0, 3, n - max(first - 1, 0) - 1).astype(np.int32) if seed % 2 else None
    dates = pd.date_range("2001-03-30", periods=n, freq="B", tz="Europe/Paris" if seed % 5 == 0 else None)
    ns = dates.tz_localize(None).as_unit("ns").asi8[max(first - 1, 0):]
    got = _engine.window_figures(full, first, ppy, traded, held, ns, rate)
    want = _numpy_window_figures(full, first, ppy, traded, held, ns, rate)
    want = {k: v for k, v in want.items() if not math.isnan(v)}
    assert got.keys() == want.keys()
    assert all(_same_bits(got[k], want[k]) for k in want), [(k, got[k], want[k]) for k in want]


def test_windows_longer_than_the_engine_sums_are_summed_by_numpy():
    from vostra import _engine
    from vostra.results.stats import NATIVE_SUM_LIMIT

    equity = random_curve(NATIVE_SUM_LIMIT + 50, "B", 3)
    s = statistics(equity, start=equity.index[40], traded=np.full(len(equity), 0.1))
    want = _numpy_window_figures(equity.to_numpy(), 40, 252.0, np.full(len(equity) - 40, 0.1), None,
                                 equity.index.as_unit("ns").asi8[39:], 0.0)
    assert all(_same_bits(s[k], v) for k, v in want.items()) and s.notna().sum() > 30
    with pytest.raises(ValueError, match="at most 8192 values"):
        _engine.window_figures(equity.to_numpy(), 0, 252.0, None, None, None, 0.0)
    with pytest.raises(ValueError, match="a holding per return"):
        _engine.window_figures(equity.to_numpy()[:10], 0, 252.0, None, np.ones(3), None, 0.0)


@pytest.mark.parametrize("n", [3, 4, 21, 40, 41, 999, 4000])
def test_the_tail_ratio_takes_numpys_quantiles(n):
    from vostra import _engine

    rng = np.random.default_rng(n)
    returns = np.round(rng.normal(0, 0.01, n), 3)  # ties, as rounded prices give
    returns[returns == 0] = 0.001
    if n == 999:  # every eighth bar a crash: a sample of every eighth value misjudges the tails
        returns[::8] = -0.5 - np.arange(len(returns[::8])) * 1e-4
    values = np.concatenate([[1.0], np.cumprod(1 + returns)])
    r = values[1:] / values[:-1] - 1
    want = abs(np.quantile(r, 0.95) / np.quantile(r, 0.05))
    assert _same_bits(_engine.return_figures(values, None, 252.0)["tail_ratio"], want)
