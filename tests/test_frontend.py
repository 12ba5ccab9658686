"""The pandas front end against the native engine: alignment, weights,
schedules, delisting, result tables, statistics and input checks."""

from __future__ import annotations

import math
import re

import numpy as np
import pandas as pd
import pytest

import vostra
from vostra.run.arguments import prepare
from vostra.cli.demo import momentum_signal

vantrel = pytest.importorskip("vostra.core.vantrel")
from vostra.core import orbalt  # noqa: E402


def frame(rows, dates, columns):
    return pd.DataFrame(np.array(rows, dtype=float), index=pd.DatetimeIndex(dates), columns=columns)


@pytest.fixture
def quarter():
    """Three stocks over the first quarter of 2021, one price each per day."""
    dates = pd.bdate_range("2021-01-01", "2021-03-31")
    rng = np.random.default_rng(5)
    close = pd.DataFrame(100 * np.exp(np.cumsum(rng.normal(0, 0.01, (len(dates), 3)), axis=0)),
                         index=dates, columns=["A", "B", "C"])
    return close


def rotating(close):
    """Bool signal holding one stock per day, cycling A, B, C."""
    mask = np.zeros(close.shape, dtype=bool)
    mask[np.arange(len(close)), np.arange(len(close)) % 3] = True
    return pd.DataFrame(mask, index=close.index, columns=close.columns)


# ---------------------------------------------------------------------------
# Same run as the engine called directly
# ---------------------------------------------------------------------------

def test_backtest_equals_direct_engine_call():
    m = vostra.synthetic_market(n_stocks=40, years=2, seed=3)
    close, open_, high, low = m.close, m.open, m.high, m.low
    dates = close.index
    assert dates[-1].day < 20  # ends mid-month: the final month is not scheduled
    signal = momentum_signal(close, lookback=60, skip=5, top=5)
    res = vostra.backtest(signal, close, open_, high, low, trade_at="open", rebalance="M",
                          fee=0.001, tax=0.002, stop_loss=0.08, take_profit=0.3,
                          window=10, window_step=3)

    n = len(dates)
    ns = np.array([d.value for d in dates.as_unit("ns")], dtype=np.int64)
    month_ends = [i for i in range(n - 1) if dates[i].month != dates[i + 1].month]
    last_valid = [max((i for i in range(n) if not math.isnan(close.iloc[i, j])), default=-1)
                  for j in range(close.shape[1])]
    market_last = max(last_valid)
    # A close missing on the last bar alone is not a delisting.
    bars = np.array([lv + 1 if 0 <= lv < market_last - 1 else -1 for lv in last_valid], dtype=np.int64)
    mask = signal.to_numpy().copy()
    for j, bar in enumerate(bars):
        if bar >= 0:
            mask[ns >= ns[bar - 1], j] = False
    weights = np.zeros(mask.shape)
    for k, row in enumerate(mask):
        if row.sum():
            weights[k] = row / row.sum()
    labels = np.array(list(close.columns), dtype=object)
    arrays = (open_.to_numpy(), close.to_numpy(), high.to_numpy(), low.to_numpy(), open_.to_numpy(),
              ns, labels, weights, ns, labels, ns[month_ends])
    # The front end keeps one record per position held on the same side,
    # its stops measured from its entry.
    options = dict(fee_ratio=0.001, tax_ratio=0.002, stop_loss=0.08, take_profit=0.3, trail_stop=np.inf,
                   orbalt_window=10, orbalt_window_step=3, delisting_bars=bars,
                   retain_cost_when_rebalance=True, periodically_rebalance=False)
    creturn = vantrel.backtest_(*arrays, **options)
    # The front end's runs credit a holding's move across a missing price and
    # sell a delisting at its last mark (credit_gaps); backtest_ keeps its own
    # rule, which the front end meets until the first such delisting here.
    direct = vostra._engine.run(*arrays, **options, credit_gaps=True)
    np.testing.assert_array_equal(res.equity.to_numpy(), direct.equity)
    first = np.flatnonzero(res.equity.to_numpy() != creturn)
    assert len(first) and first[0] in bars + 0 and first[0] > 100
    np.testing.assert_array_equal(res.equity.to_numpy()[:first[0]], creturn[:first[0]])
    assert len(res.trades) == len(orbalt.trades) > 0
    assert (res.trades["exit_date"].notna()).sum() > 0


def test_fortran_ordered_prices_are_passed_without_copy(quarter):
    # Column-major, as pandas keeps a frame of one dtype.
    frame = pd.DataFrame(np.asfortranarray(quarter.to_numpy()), index=quarter.index, columns=quarter.columns)
    assert frame.to_numpy().flags.f_contiguous
    args, _ = prepare(rotating(frame), frame)
    assert args["close_values"].flags.f_contiguous
    assert np.shares_memory(args["close_values"], frame.to_numpy())
    assert args["price_values"] is args["close_values"]
    assert args["high_values"] is args["close_values"]
    # Frames made on the close's very index are read in place too, and put
    # into the close's ticker order when theirs differs.
    high = pd.DataFrame(np.asfortranarray(frame.to_numpy() * 1.01), index=frame.index, columns=frame.columns)
    low = pd.DataFrame(frame.to_numpy()[:, ::-1] * 0.99, index=frame.index, columns=frame.columns[::-1])
    assert high.index is frame.index and low.index is frame.index
    args, _ = prepare(rotating(frame), frame, high=high, low=low)
    assert np.shares_memory(args["high_values"], high.to_numpy()) and not args["high_values"].flags.writeable
    np.testing.assert_array_equal(args["low_values"], frame.to_numpy() * 0.99)


# ---------------------------------------------------------------------------
# Alignment and weights
# ---------------------------------------------------------------------------

def test_columns_are_aligned_by_ticker(quarter):
    signal = rotating(quarter).astype(float)
    base = vostra.backtest(signal, quarter, open=quarter * 0.99, trade_at="open")
    shuffled = vostra.backtest(signal[["C", "A", "B"]], quarter[["B", "C", "A"]],
                               open=(quarter * 0.99)[["A", "C", "B"]], trade_at="open")
    pd.testing.assert_series_equal(base.equity, shuffled.equity)
    assert sorted(shuffled.trades["ticker"]) == sorted(base.trades["ticker"])


def test_extra_price_columns_and_all_zero_unknown_tickers_are_ignored(quarter):
    signal = rotating(quarter).astype(float)
    base = vostra.backtest(signal[["A", "B"]], quarter)
    extra = signal[["A", "B"]].assign(ZZZ=0.0)
    pd.testing.assert_series_equal(base.equity, vostra.backtest(extra, quarter).equity)


def test_bool_weights_mean_equal_weights_and_nan_means_zero(quarter):
    mask = pd.DataFrame(False, index=quarter.index, columns=quarter.columns)
    mask.iloc[::7, :2] = True
    mask.iloc[3::7, 1:] = True
    explicit = mask.astype(float).div(mask.sum(axis=1).replace(0, 1), axis=0)
    with_nan = explicit.where(explicit != 0)  # zeros written as NaN
    a = vostra.backtest(mask, quarter, rebalance=None)
    b = vostra.backtest(explicit, quarter, rebalance=None)
    c = vostra.backtest(with_nan, quarter, rebalance=None)
    pd.testing.assert_series_equal(a.equity, b.equity)
    pd.testing.assert_series_equal(a.equity, c.equity)
    assert set(a.trades["weight"].round(12)) == {0.5}


def test_integer_tickers_come_back_as_integers(quarter):
    close = quarter.set_axis([11, 22, 33], axis=1)
    res = vostra.backtest(rotating(close), close)
    assert set(res.trades["ticker"]) <= {11, 22, 33}
    assert all(isinstance(t, int) for t in res.trades["ticker"])


def test_timezone_aware_dates_round_trip(quarter):
    close = quarter.tz_localize("Asia/Taipei")
    res = vostra.backtest(rotating(close), close)
    assert res.equity.index.equals(close.index)
    assert str(res.trades["entry_date"].dt.tz) == "Asia/Taipei"
    assert set(res.trades["entry_date"]) <= set(close.index)


# ---------------------------------------------------------------------------
# Schedules
# ---------------------------------------------------------------------------

@pytest.mark.parametrize("rebalance, expected", [
    ("M", ["2021-01-29", "2021-02-26"]),
    ("ME", ["2021-01-29", "2021-02-26"]),
    (["2021-02-10", "2021-03-06"], ["2021-02-10", "2021-03-05"]),
], ids=["month", "month-end-alias", "explicit"])
def test_rebalance_decision_dates(quarter, rebalance, expected):
    res = vostra.backtest(rotating(quarter), quarter, rebalance=rebalance)
    # Every decision trades on the next bar.
    decided = sorted(set(quarter.index[res.trades["entry_bar"] - 1]))
    assert decided == list(pd.to_datetime(expected))
    assert (quarter.index[res.trades["entry_bar"]] == res.trades["entry_date"]).all()


def test_weekly_and_every_signal_schedules(quarter):
    weekly = vostra.backtest(rotating(quarter), quarter, rebalance="W")
    assert set(quarter.index[weekly.trades["entry_bar"] - 1].day_of_week) == {4}  # Fridays
    daily = vostra.backtest(rotating(quarter), quarter, rebalance=None)
    assert set(quarter.index[daily.trades["entry_bar"] - 1]) == set(quarter.index[:-1])
    # Without periodic splitting a held stock is one trade: here one per day anyway.
    assert (daily.trades["holding_bars"].dropna() <= 1).all()


def test_final_period_is_scheduled_only_when_complete(quarter):
    signal = rotating(quarter)
    complete = vostra.backtest(signal, quarter, rebalance="M")
    # The data reach March 31: a rebalance is due at the next open.
    actions = dict(zip(complete.operations["ticker"], complete.operations["action"]))
    held = quarter.columns[(len(quarter.index[quarter.index <= "2021-02-26"]) - 1) % 3]
    wanted = quarter.columns[(len(quarter) - 1) % 3]
    assert actions[wanted] == "enter" and actions[held] == "exit"
    ops = complete.operations.set_index("ticker")
    assert ops.loc[wanted, "next_weight"] == 1.0 and ops.loc[held, "current_weight"] == 1.0
    assert complete.next_weight_date == quarter.index[-1]
    assert complete.weight_date == pd.Timestamp("2021-02-26")

    assert complete.orders.attrs["rebalance_due"]
    assert dict(zip(complete.orders["ticker"], complete.orders["action"])) == {held: "sell", wanted: "buy"}

    partial = vostra.backtest(signal.iloc[:-1], quarter.iloc[:-1], rebalance="M")
    orders = partial.orders
    assert list(orders["action"]) == ["hold"] and not orders.attrs["rebalance_due"]
    assert orders.attrs["next_rebalance"] == pd.Timestamp("2021-03-31")


def test_turnover_is_the_traded_value_per_year_over_the_mean_equity(quarter):
    res = vostra.backtest(rotating(quarter), quarter, rebalance="M", fee=0.0, tax=0.0)
    # Two executed rebalances: a purchase of the whole capital, then a sale
    # and a purchase of the whole portfolio.
    traded = res.traded[res.traded > 0]
    assert len(traded) == 2 and traded.iloc[0] == 1.0
    live = res.equity[res.equity.index >= res.start]
    years = len(live) / 252
    assert res.stats["turnover"] == pytest.approx(res.traded.sum() / years / live.mean(), rel=1e-9)


def test_constant_weights_rebalanced_daily_have_turnover(quarter):
    weights = pd.DataFrame(1 / 3, index=quarter.index, columns=quarter.columns)
    res = vostra.backtest(weights, quarter, rebalance="D")
    # The targets never change, but every rebalance trades the drift back.
    assert res.stats["turnover"] > 0 and res.costs.sum() > 0


# ---------------------------------------------------------------------------
# Delisting
# ---------------------------------------------------------------------------

@pytest.fixture
def ending():
    dates = pd.bdate_range("2022-03-01", periods=8)
    close = frame([[10, 10], [10, 11], [10, 12], [10, np.nan], [10, np.nan],
                   [10, np.nan], [10, np.nan], [10, np.nan]], dates, ["A", "B"])
    weights = frame([[0.5, 0.5]], dates[:1], ["A", "B"])
    return close, weights


def test_stock_whose_prices_end_is_closed_on_the_next_bar(ending):
    close, weights = ending
    res = vostra.backtest(weights, close, rebalance=None, fee=0, tax=0)
    b = res.trades.set_index("ticker").loc["B"]
    assert (b["entry_bar"], b["exit_bar"]) == (1, 3)
    assert b["exit_date"] == close.index[3]
    assert b["mfe"] == pytest.approx(12 / 11 - 1)
    np.testing.assert_allclose(res.equity.iloc[3:], 0.5 + 0.5 * 12 / 11)

    kept = vostra.backtest(weights, close, rebalance=None, fee=0, tax=0, delisting=None)
    assert pd.isna(kept.trades.set_index("ticker").loc["B", "exit_date"])


def test_explicit_delisting_date_uses_first_bar_on_or_after_it(ending):
    close, weights = ending
    close = close.fillna(12.0)
    res = vostra.backtest(weights, close, rebalance=None, fee=0, tax=0,
                          delisting={"B": close.index[4] - pd.Timedelta(hours=1)})
    assert res.trades.set_index("ticker").loc["B", "exit_bar"] == 4
    assert res.trades.set_index("ticker").loc["A", "exit_date"] is pd.NaT


def test_an_all_missing_final_row_does_not_delist_everything(ending):
    close, weights = ending
    close = pd.concat([close.iloc[:3], frame([[np.nan, np.nan]], close.index[3:4], ["A", "B"])])
    args, _ = prepare(weights, close)
    assert list(args["delisting_bars"]) == [-1, -1]


def test_weights_after_prices_end_are_dropped_with_a_warning(ending):
    close, weights = ending
    late = frame([[0.5, 0.5], [0.5, 0.5]], close.index[[0, 5]], ["A", "B"])
    with pytest.warns(UserWarning, match=r"weights hold 1 ticker\(s\) after their prices end \('B'\)") as rec:
        res = vostra.backtest(late, close, rebalance=None, fee=0, tax=0)
    assert rec[0].filename == __file__
    assert list(res.trades["ticker"]).count("B") == 1  # not bought again after delisting


def test_weight_on_the_last_price_bar_is_dropped_silently(ending):
    close, weights = ending
    last_day = frame([[0.5, 0.5]], close.index[2:3], ["A", "B"])
    res = vostra.backtest(last_day, close, rebalance=None, fee=0, tax=0)
    # The row would trade on B's delisting bar: only A is bought, at full weight.
    assert list(res.trades["ticker"]) == ["A"]
    assert res.trades["weight"].iloc[0] == 0.5


def test_the_engine_tells_weights_after_a_delisting_as_numpy_does():
    from vostra import _engine
    rng = np.random.default_rng(11)
    for trial in range(200):
        rows, cols, bars = rng.integers(1, 6), rng.integers(1, 5), rng.integers(1, 8)
        price_ns = np.sort(rng.choice(100, bars, replace=False)).astype(np.int64)
        pos_ns = np.sort(rng.integers(0, 100, rows)).astype(np.int64)
        delisting = np.where(rng.random(cols) < 0.5, rng.integers(0, bars, cols), -1).astype(np.int64)
        weights = np.where(rng.random((rows, cols)) < 0.4, rng.choice([0.5, -1.0, np.nan], (rows, cols)), 0.0)
        weights = np.asfortranarray(weights) if trial % 2 else weights
        gone = np.flatnonzero(delisting >= 0)
        cutoff = price_ns[np.maximum(delisting[gone] - 1, 0)]
        want = bool(((pos_ns[:, None] >= cutoff[None, :]) & (weights[:, gone] != 0)).any())
        assert _engine.weights_after_delisting(weights, delisting, price_ns, pos_ns) is want


# ---------------------------------------------------------------------------
# Result tables
# ---------------------------------------------------------------------------

def test_result_columns_and_types(quarter):
    res = vostra.backtest(rotating(quarter), quarter, rebalance="M", window=4, window_step=2)
    t = res.trades
    base = ["ticker", "entry_date", "exit_date", "entry_price", "exit_price", "weight", "holding_bars",
            "pnl", "return", "exit_reason", "mae", "mfe", "bmfe", "mdd", "profit_bars", "excursion_return"]
    window = [f"{m}_{k}" for k in (0, 2) for m in ("mae", "mfe", "bmfe", "mdd", "profit_bars", "return")]
    assert list(t.columns) == base + window + ["entry_bar", "exit_bar"]
    for col in ("entry_date", "exit_date"):
        assert pd.api.types.is_datetime64_dtype(t[col])
    assert t["exit_bar"].dtype == "Int64" and t["holding_bars"].dtype == np.int64
    assert t["profit_bars"].dtype == np.int64
    assert t["entry_date"].is_monotonic_increasing
    open_ = t["exit_date"].isna()
    assert open_.sum() == 1 and t.loc[open_, "exit_bar"].isna().all()
    assert (t.loc[open_, "exit_reason"] == "open").all() and t.loc[open_, "exit_price"].isna().all()
    assert set(t.loc[~open_, "exit_reason"]) == {"rebalance"}
    assert math.fsum(t["pnl"]) == pytest.approx(res.equity.iloc[-1] - 1, rel=1e-12)
    closed = t[~open_]
    assert (closed["holding_bars"] == closed["exit_bar"] - closed["entry_bar"]).all()
    assert (t["mae"] <= 0).all() and (t["mfe"] >= 0).all()

    assert isinstance(res.equity, pd.Series) and res.equity.index.equals(quarter.index)
    assert res.equity.iloc[0] == 1.0
    assert list(res.operations.columns) == ["ticker", "action", "current_weight", "next_weight"]
    assert "Sharpe ratio" in repr(res) and "Max drawdown" in repr(res)


def test_window_groups_past_the_data_are_missing(quarter):
    signal = pd.DataFrame(0.0, index=quarter.index, columns=quarter.columns)
    signal.iloc[-3, 0] = 1.0  # bought on the second-to-last bar
    res = vostra.backtest(signal, quarter, rebalance=None, window=4, window_step=2)
    (trade,) = res.trades.itertuples(index=False)
    assert trade.entry_bar == len(quarter) - 2
    assert not math.isnan(trade.mae_0) and math.isnan(trade.mae_2) and math.isnan(trade.profit_bars_2)


# ---------------------------------------------------------------------------
# Statistics
# ---------------------------------------------------------------------------

def test_statistics_of_a_tiny_curve():
    start = pd.Timestamp("2020-01-01")
    dates = [start, start + pd.Timedelta(days=100), start + pd.Timedelta(days=200),
             start + pd.Timedelta(days=365.25)]
    equity = pd.Series([1.0, 1.1, 0.99, 1.089], index=pd.DatetimeIndex(dates))
    nat = pd.NaT
    trades = pd.DataFrame({
        "exit_date": pd.to_datetime([dates[1], dates[2], dates[3], dates[3], nat]),
        "return": [0.1, -0.05, 0.0, np.nan, 0.5],
        "holding_bars": [2, 4, 6, 8, 100],
        "mae": [-0.02, -0.08, -0.05, -0.05, -0.9],
        "mfe": [0.12, 0.01, 0.03, 0.05, 0.9],
    })
    traded = pd.Series([0.5, 1.5], index=pd.DatetimeIndex(dates[1:3]))
    s = vostra.statistics(equity, trades, traded=traded, periods_per_year=3)
    # Bar returns +10 %, -10 %, +10 %; three bars per year, so one year. The
    # trade without a known return is left out of the win rate only. Turnover:
    # 2.0 traded in one year over a mean equity of 1.04475.
    expected = {
        "total_return": 0.089, "cagr": 0.089, "annual_volatility": 0.2, "sharpe": 0.5,
        "sortino": 1.0, "max_drawdown": -0.1, "calmar": 0.89, "trades": 5,
        "win_rate": 1 / 3, "avg_holding_bars": 5.0, "turnover": 2.0 / 1.04475,
        "avg_mae": -0.05, "avg_mfe": 0.0525,
    }
    assert list(s.index) == list(vostra.results.stats.STAT_LABELS)
    for key, value in expected.items():
        assert s[key] == pytest.approx(value, rel=1e-12), key
    assert s[list(vostra.results.stats.BENCHMARK_KEYS)].isna().all()


def test_statistics_of_a_flat_curve_are_nan_not_errors():
    equity = pd.Series(1.0, index=pd.bdate_range("2020-01-01", periods=30))
    s = vostra.statistics(equity)
    assert s["total_return"] == 0 and s["max_drawdown"] == 0
    assert math.isnan(s["sharpe"]) and math.isnan(s["sortino"]) and math.isnan(s["calmar"])
    assert math.isnan(s["win_rate"])


# ---------------------------------------------------------------------------
# Bad input
# ---------------------------------------------------------------------------

def _bad_cases():
    dates = pd.bdate_range("2021-01-04", periods=5)
    close = pd.DataFrame(10.0, index=dates, columns=["A", "B", "C"])
    w = pd.DataFrame(0.3, index=dates, columns=["A", "B"])

    def shuffled_index(df):
        return df.iloc[[1, 0, 2, 3, 4]]

    nan_c = close.assign(C=np.nan)
    inf_w = w.copy()
    inf_w.iloc[1, 0] = np.inf
    yield "weights-type", dict(weights=w.to_numpy()), TypeError, "weights must be a wide DataFrame .*a long table with date, ticker and weight columns.*got ndarray"
    yield "close-index", dict(close=close.reset_index(drop=True)), TypeError, \
        r"close.index must be a DatetimeIndex, got RangeIndex"
    yield "close-order", dict(close=shuffled_index(close)), ValueError, \
        r"close.index is not in ascending order: 2021-01-04 00:00:00 at row 1 comes after 2021-01-05"
    yield "weights-order", dict(weights=shuffled_index(w)), ValueError, \
        r"weights.index is not in ascending order.*weights.sort_index\(\)"
    yield "duplicate-dates", dict(weights=w.iloc[[0, 0, 1]]), ValueError, \
        r"weights.index has duplicate dates \('2021-01-04 00:00:00'\)"
    yield "duplicate-tickers", dict(weights=w.set_axis(["A", "A"], axis=1)), ValueError, \
        r"weights has duplicate tickers: 'A'"
    yield "unknown-ticker", dict(weights=w.assign(ZZZ=0.1)), ValueError, \
        r"weights has tickers with no column in close: 'ZZZ'"
    yield "no-prices", dict(weights=w.assign(C=0.1), close=nan_c), ValueError, \
        r"tickers whose close prices are all missing: 'C'"
    yield "infinite-weight", dict(weights=inf_w), ValueError, \
        r"infinite weight inf for ticker 'A' on 2021-01-05"
    yield "text-weights", dict(weights=w.astype(str)), TypeError, r"weights must hold numbers"
    yield "empty-weights", dict(weights=w.iloc[:0]), ValueError, r"weights has no rows"
    yield "open-dates", dict(open=close.iloc[:-1]), ValueError, r"open.index differs from close.index"
    yield "open-tickers", dict(open=close[["A", "B"]]), ValueError, \
        r"open and close must have the same tickers \(missing 'C'\)"
    yield "open-needed", dict(trade_at="open"), ValueError, r"trade_at='open' needs the open prices"
    yield "trade-at", dict(trade_at="vwap"), ValueError, r"trade_at must be 'close', 'open'"
    yield "frequency", dict(rebalance="fortnight"), ValueError, \
        r"rebalance='fortnight' is not a supported frequency"
    yield "window", dict(window=-1), ValueError, r"window must be 0"
    yield "window-step", dict(window_step=0), ValueError, r"window_step must be at least 1"
    yield "window-huge", dict(window=2**40), ValueError, r"^window must be at most 2147483647 bars"
    yield "window-step-huge", dict(window_step=2**40), ValueError, r"^window_step must be at most 2147483647"
    # A cost of the whole value would lose the capital without a trade on record.
    yield "fee-1", dict(fee=1.0), ValueError, r"^fee must be below 1: .* takes the whole value of a purchase"
    yield "tax-1", dict(tax=1.5), ValueError, r"^tax must be below 1: .* takes the whole proceeds of a sale"
    yield "stop-loss", dict(stop_loss=-0.1), ValueError, r"stop_loss must be a positive fraction"
    yield "fee", dict(fee=-0.001), ValueError, r"fee and tax must not be negative"
    # Non-finite costs would turn the whole equity curve into NaN.
    for name in ("fee", "tax"):
        for value in (np.nan, np.inf, -np.inf):
            yield f"{name}-{value}", {name: value}, ValueError, rf"^{name} must be a finite number, got {value}$"
    # A NaN activation level would silently disable the trailing stop.
    yield "trail-activation-nan", dict(trail_stop=0.1, trail_activation=np.nan), ValueError, \
        r"^trail_activation must be a number, got nan$"
    yield "limit", dict(position_limit=0), ValueError, r"position_limit must be positive"
    yield "timezone", dict(close=close.tz_localize("UTC")), ValueError, r"timezone-aware"
    yield "delisting-ticker", dict(delisting={"Q": "2021-01-05"}), ValueError, \
        r"delisting names tickers that are not in close: 'Q'"
    yield "delisting-type", dict(delisting=5), ValueError, r"delisting must be 'auto', None"


_CASES = list(_bad_cases())


@pytest.mark.parametrize("change, error, message", [c[1:] for c in _CASES], ids=[c[0] for c in _CASES])
def test_bad_input_is_rejected_before_the_engine_runs(change, error, message, monkeypatch):
    dates = pd.bdate_range("2021-01-04", periods=5)
    args = dict(weights=pd.DataFrame(0.3, index=dates, columns=["A", "B"]),
                close=pd.DataFrame(10.0, index=dates, columns=["A", "B", "C"]))
    args.update(change)

    def engine_must_not_run(*a, **k):
        raise AssertionError("the engine was called")

    monkeypatch.setattr(vostra._engine, "run", engine_must_not_run)
    with pytest.raises(error, match=message):
        vostra.backtest(**args)


@pytest.mark.parametrize("frame_name, kind", [("close", "close"), ("open", "trading")])
def test_an_unusable_price_of_a_held_stock_names_the_frame_ticker_and_date(frame_name, kind):
    dates = pd.bdate_range("2021-01-04", periods=5)
    close = pd.DataFrame(10.0, index=dates, columns=["A", "B", "C"])
    open_ = close.copy()
    bad = {"close": close, "open": open_}[frame_name]
    bad.iloc[3, 1] = 0.0
    weights = pd.DataFrame(0.3, index=dates[:1], columns=["A", "B"])
    with pytest.raises(ValueError, match=rf"{frame_name} has an unusable price 0.0 for ticker 'B' on "
                                         rf"2021-01-07 00:00:00 while it is held"):
        vostra.backtest(weights, close, open_, trade_at="open", rebalance=None)
    # A price the backtest never uses does not stop it.
    vostra.backtest(weights.assign(B=0.0), close, open_, trade_at="open", rebalance=None)


def test_a_weight_row_whose_absolute_sum_overflows_names_its_date():
    dates = pd.bdate_range("2021-01-04", periods=5)
    close = pd.DataFrame(10.0, index=dates, columns=["A", "B"])
    weights = pd.DataFrame([[0.5, 0.5], [1e308, 1e308]], index=dates[:2], columns=["A", "B"])
    with pytest.raises(ValueError, match=r"^the absolute weights of weights on 2021-01-05 00:00:00 add up"):
        vostra.backtest(weights, close, rebalance=None)


def test_a_stop_is_measured_from_the_entry_of_its_trade_record():
    # Held through daily rebalances, A rises 30 % and falls back: a stop
    # measured from the last rebalance fires on a trade record entered at
    # 105 and exited at 118, a "stop_loss" with a 12 % gain.
    dates = pd.bdate_range("2021-01-04", periods=12)
    close = pd.DataFrame({"A": [100, 105, 110, 115, 120, 125, 130, 121, 118, 117, 96, 95.0]}, index=dates)
    weights = pd.DataFrame(1.0, index=dates, columns=["A"])
    run = dict(rebalance=None, fee=0, tax=0, stop_loss=0.05)
    for given in ({}, {"split_trades": True}, {"retain_cost": False}, {"split_trades": False},
                  {"retain_cost": True}):
        stops = vostra.backtest(weights, close, **run, **given).trades.query("exit_reason == 'stop_loss'")
        assert len(stops) and (stops["exit_price"] < stops["entry_price"]).all(), given
    with pytest.warns(UserWarning, match=r"last rebalance.*a stop_loss exit may show a gain") as rec:
        vostra.backtest(weights, close, **run, retain_cost=False, split_trades=False)
    assert len(rec) == 1 and rec[0].filename == __file__
    with pytest.warns(UserWarning, match=r"first entry.*split_trades=True has no effect"):
        vostra.backtest(weights, close, **run, retain_cost=True, split_trades=True)


@pytest.mark.filterwarnings("ignore:(fee|tax)=:UserWarning", "ignore:the portfolio's equity falls:UserWarning")
@pytest.mark.parametrize("fee, tax", [(0.5, 0.003), (0.999, 0.0), (0.6, 0.5), (0.0, 0.999)])
def test_the_trade_log_accounts_for_every_accepted_cost(fee, tax):
    dates = pd.bdate_range("2021-01-04", periods=8)
    close = pd.DataFrame({"A": [10, 11, 12, 11, 10, 12, 13, 12.0], "B": 20.0}, index=dates)
    weights = pd.DataFrame({"A": [0.6, 0.2, -0.5], "B": [0.3, 0.7, 0.0]}, index=dates[[0, 2, 5]])
    res = vostra.backtest(weights, close, rebalance=None, fee=fee, tax=tax)
    assert len(res.trades) and res.equity.iloc[-1] < 1
    assert math.fsum(res.trades["pnl"]) == pytest.approx(res.equity.iloc[-1] - 1, rel=1e-12, abs=1e-12)


@pytest.mark.parametrize("option, value, meaning", [
    ("fee", 0.1, r"^fee=0.1 charges 10 % of every trade's value; for 0.1 % pass fee=0.001$"),
    ("tax", 0.3, r"^tax=0.3 charges 30 % of every trade's value; for 0.3 % pass tax=0.003$"),
    ("stop_loss", 5, r"^stop_loss=5 is a fraction: it exits at a loss of 500 % of the entry value.*"
                     r"for 5 % pass stop_loss=0.05$"),
    ("take_profit", 20, r"^take_profit=20 is a fraction: it takes profit at a gain of 2000 % of the entry "
                        r"value; for 20 % pass take_profit=0.2$"),
])
def test_an_option_given_as_a_percentage_warns_with_its_meaning(option, value, meaning):
    dates = pd.bdate_range("2021-01-04", periods=5)
    close = pd.DataFrame(10.0, index=dates, columns=["A"])
    weights = pd.DataFrame(1.0, index=dates[:1], columns=["A"])
    with pytest.warns(UserWarning, match=meaning) as rec:
        vostra.backtest(weights, close, **{option: value})
    assert len(rec) == 1
    table = vostra.sweep({"w": weights}, close, grid={option: [value]}, progress=False, backend="serial")
    assert re.match(meaning, table["warnings"][0])


def test_inconsistent_bars_warn_once_when_intrabar_stops_read_them():
    dates = pd.bdate_range("2021-01-04", periods=6)
    close = pd.DataFrame({"A": [10, 10, 11, 12, 11, 10.0], "B": 10.0}, index=dates)
    high, low, open_ = close * 1.02, close * 0.98, close.copy()
    high.iloc[3, 0] = 9.0        # below the low
    open_.iloc[4, 0] = 20.0      # above the high
    high.iloc[2, 1] = 1.0        # a ticker never held
    high.iloc[0, 0] = 1.0        # before A is held
    weights = pd.DataFrame({"A": [1.0], "B": [0.0]}, index=dates[:1])
    run = dict(rebalance=None, stop_loss=0.1)
    with pytest.warns(UserWarning, match=r"^2 bar\(s\) of held tickers .* the first for ticker 'A' on "
                                         r"2021-01-07 00:00:00; intrabar stops") as rec:
        vostra.backtest(weights, close, open_, high, low, **run, intrabar=True)
    assert len(rec) == 1
    table = vostra.sweep({"w": weights}, close, open_, high, low, grid={"intrabar": [False, True]},
                         progress=False, backend="serial", **run)
    assert table["warnings"].isna().tolist() == [True, False] and "2 bar(s)" in table["warnings"][1]
    # Bars no stop reads as a bar's range draw nothing.
    for quiet in (dict(stop_loss=0.1), dict(intrabar=True)):
        vostra.backtest(weights, close, open_, high, low, rebalance=None, **quiet)
    vostra.backtest(weights, close, close, close * 1.02, close * 0.98, **run, intrabar=True)


def test_the_report_of_a_single_bar_says_what_it_needs():
    dates = pd.bdate_range("2021-01-04", periods=1)
    res = vostra.backtest(pd.DataFrame(1.0, index=dates, columns=["A"]),
                          pd.DataFrame(10.0, index=dates, columns=["A"]))
    with pytest.raises(ValueError, match=r"^the report needs at least two bars of equity; this result has 1$"):
        res.report()


def test_weights_after_the_last_price_warn_at_the_caller():
    dates = pd.bdate_range("2021-01-04", periods=5)
    close = pd.DataFrame(10.0, index=dates, columns=["A"])
    weights = pd.DataFrame(1.0, index=[dates[-1] + pd.Timedelta(days=3)], columns=["A"])
    with pytest.warns(UserWarning, match="after the last price date") as rec:
        res = vostra.backtest(weights, close)
    assert rec[0].filename == __file__
    assert (res.equity == 1.0).all() and res.trades.empty


# ---------------------------------------------------------------------------
# The native ledger through the front end, and threads
# ---------------------------------------------------------------------------

@pytest.mark.filterwarnings("ignore:retain_cost=:UserWarning")  # every pairing of the two, on purpose
@pytest.mark.parametrize("seed", range(8))
def test_trade_pnl_reconciles_with_the_equity_on_random_markets(seed):
    rng = np.random.default_rng(seed)
    m = vostra.synthetic_market(n_stocks=30, years=1.5, seed=seed)
    signal = momentum_signal(m.close, lookback=40, skip=3, top=int(rng.integers(2, 8)))
    weights = signal.astype(float) * np.where(rng.random(signal.shape[1]) < 0.3, -1.0, 1.0)
    options = dict(
        trade_at=str(rng.choice(["open", "close"])), rebalance=str(rng.choice(["M", "W"])),
        stop_loss=float(rng.choice([0.03, 0.08])), take_profit=float(rng.choice([0.05, 0.2])),
        trail_stop=float(rng.choice([0.02, 0.05])), trail_activation=0.02,
        intrabar=bool(rng.random() < 0.5), retain_cost=bool(rng.random() < 0.5),
        split_trades=bool(rng.random() < 0.5), fee=0.001, tax=0.003)
    res = vostra.backtest(weights, m.close, m.open, m.high, m.low, **options)
    t = res.trades
    assert len(t) > 0
    assert math.fsum(t["pnl"]) == pytest.approx(res.equity.iloc[-1] - 1, rel=1e-12, abs=1e-12)
    assert set(t["exit_reason"]) <= {"rebalance", "stop_loss", "take_profit", "trail_stop", "delisting", "open"}
    closed = t[t["exit_date"].notna()]
    assert (closed["exit_date"] >= closed["entry_date"]).all()
    assert (t.loc[t["exit_reason"] == "open", "exit_date"].isna()).all()


def test_backtest_from_four_threads_gives_the_serial_results():
    import threading

    m = vostra.synthetic_market(n_stocks=40, years=2, seed=4)
    signals = [momentum_signal(m.close, lookback=60, skip=5, top=k) for k in (3, 5, 8)]
    configs = [(s, dict(stop_loss=sl, intrabar=ib)) for s in signals for sl in (0.05, None) for ib in (False, True)]

    def fingerprint(res):
        return (res.equity.to_numpy().tobytes(), res.trades["pnl"].to_numpy().tobytes(),
                tuple(res.trades["ticker"]), res.stats.to_numpy().tobytes())

    serial = [fingerprint(vostra.backtest(s, m.close, m.open, m.high, m.low, trade_at="open", **o))
              for s, o in configs]
    got, errors = {}, []

    def worker(k):
        try:
            for rep in range(3):
                for i in range(k, len(configs), 4):
                    s, o = configs[i]
                    got.setdefault(i, []).append(fingerprint(
                        vostra.backtest(s, m.close, m.open, m.high, m.low, trade_at="open", **o)))
        except Exception as exc:  # pragma: no cover - reported below
            errors.append(exc)

    threads = [threading.Thread(target=worker, args=(k,)) for k in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert not errors
    for i, fp in enumerate(serial):
        assert got[i] == [fp] * 3


# ---------------------------------------------------------------------------
# What is known of a frame's dates and tickers between calls
# ---------------------------------------------------------------------------

def test_a_frame_given_new_dates_or_tickers_is_checked_again(quarter):
    signal = rotating(quarter).astype(float)
    base = vostra.backtest(signal, quarter)
    again = vostra.backtest(signal, quarter)  # the checks' outcomes are reused
    pd.testing.assert_series_equal(base.equity, again.equity)

    shuffled = quarter.copy()
    shuffled.index = quarter.index[::-1]
    with pytest.raises(ValueError, match="not in ascending order"):
        vostra.backtest(signal, shuffled)
    renamed = quarter.copy()
    renamed.columns = ["A", "B", "A"]
    with pytest.raises(ValueError, match="duplicate tickers"):
        vostra.backtest(signal, renamed)
    with pytest.raises(ValueError, match="duplicate tickers"):  # a failure is never remembered as a pass
        vostra.backtest(signal, renamed)
    moved = quarter.rename(columns={"A": "Z"})
    with pytest.raises(ValueError, match="no column in close: 'A'"):
        vostra.backtest(signal, moved)
    shifted = quarter.set_axis(quarter.index + pd.Timedelta(days=1))
    with pytest.raises(ValueError, match="open.index differs from close.index"):
        vostra.backtest(signal, quarter, open=shifted)


def test_remembered_arrays_cannot_be_changed_by_a_run(quarter):
    args, _ = prepare(rotating(quarter), quarter)
    for name in ("price_index", "price_columns", "pos_index", "pos_columns"):
        assert not args[name].flags.writeable, name
    assert args["price_columns"] is prepare(rotating(quarter), quarter)[0]["price_columns"]


def test_weights_and_prices_on_different_clocks_fail_every_time():
    idx = pd.bdate_range("2021-01-04", periods=6)
    close = pd.DataFrame({"A": np.arange(1.0, 7.0)}, index=idx)
    aware = pd.DataFrame({"A": [1.0]}, index=idx[:1].tz_localize("UTC"))
    for _ in range(2):  # a failed check is not remembered
        with pytest.raises(ValueError, match="weights.index and close.index: one index is timezone-aware"):
            vostra.backtest(aware, close)
