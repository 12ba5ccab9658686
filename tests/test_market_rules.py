"""Fills the market allows (volume caps, price limits, blocked cells) and
the orders that wait for them: the model's bits on random markets,
invariants, and hand-computed cases."""
import math

import numpy as np
import pandas as pd
import pytest
from hypothesis import HealthCheck, example, given, settings, strategies as st

import model
from markets import random_market
from test_account import account_options, assert_same_as_model, reconciles
from vostra import _engine


def market_options(seed, arrays, capital):
    """The market rules drawn on a market's price matrix, each now and then
    absent."""
    rng = np.random.default_rng([seed, 26])
    price = arrays[0]
    opts = {}
    if rng.random() < 0.7:
        # Volume in shares around what a capital's worth of the stock trades.
        typical = capital / 20.0
        volume = typical * rng.lognormal(0, 1.5, size=price.shape)
        volume[rng.random(price.shape) < 0.05] = np.nan
        # Now and then an infinite cell, which caps nothing (a stream of its
        # own, so that the other draws stay as they were).
        extra = np.random.default_rng([seed, 262])
        if extra.random() < 0.2:
            volume[extra.random(price.shape) < 0.1] = np.inf
        opts["volume"] = np.asfortranarray(volume) if rng.random() < 0.5 else volume
        opts["max_volume_share"] = float(rng.choice([0.01, 0.1, 0.5, 1.0]))
    if rng.random() < 0.6:
        opts["price_limit"] = float(rng.choice([0.01, 0.03, 0.1]))
    if rng.random() < 0.5:
        opts["blocked"] = rng.random(price.shape) < rng.choice([0.05, 0.3])
    return opts


def fills_match(got, acct):
    f = got.fills
    want = acct.fills
    have = list(zip(f["bar"].tolist(), f["sid"].tolist(), f["shares"].tolist(), f["value"].tolist(),
                    f["cost"].tolist(), f["order"].tolist(), f["completed"].tolist()))
    expect = [(b, s, sh, v, c, o, done) for b, s, sh, _p, v, c, o, done in want]
    assert len(have) == len(expect)
    for h, e in zip(have, expect):
        assert all(x == y or (x != x and y != y) for x, y in zip(h, e)), (h, e)
    assert sorted(got.waiting.tolist()) == sorted(acct.waiting.values())
    assert got.orders["cut"].tolist() == [o[6] for o in acct.orders]


differential = settings(max_examples=300, deadline=None, suppress_health_check=[HealthCheck.too_slow])


def matches_the_model(arrays, opts, account, rules):
    got = assert_same_as_model(arrays, {**opts, **account, **rules})
    if got is None:
        return
    want = model.backtest(*arrays, **opts, **account, **rules)
    fills_match(got, want.account)
    if np.isfinite(got.equity).all():
        assert reconciles(got, account["capital"])


@differential
@given(seed=st.integers(0, 2**32 - 1))
def test_random_markets_with_rules_match_the_model(seed):
    arrays, opts = random_market(seed, exits=True, max_bars=60, max_stocks=8)
    account = account_options(seed, len(arrays[9]))
    account.setdefault("capital", 1e6)
    matches_the_model(arrays, opts, account, market_options(seed, arrays, account["capital"]))


def waiting_case(seed):
    """No financing and rebalances bars apart, so that orders wait (a
    volume cap at most 10 %) across bars on which nothing else trades."""
    arrays, opts = random_market(seed, exits=True, max_bars=80, max_stocks=8)
    rng = np.random.default_rng([seed, 261])
    dates = arrays[5]
    arrays = arrays[:-1] + (np.sort(rng.choice(dates, size=min(len(dates), int(rng.integers(1, 4))))),)
    account = {**account_options(seed, len(arrays[9])), "borrow_rate": 0.0, "cash_rate": 0.0}
    account.setdefault("capital", 1e6)
    rules = market_options(seed, arrays, account["capital"])
    volume = rules.get("volume", account["capital"] / 20.0 * rng.lognormal(0, 1.5, size=dates.shape + (len(arrays[6]),)))
    rules.update(volume=volume, max_volume_share=float(rng.choice([0.01, 0.03, 0.1])))
    return arrays, opts, account, rules


@differential
@given(seed=st.integers(0, 2**32 - 1))
@example(seed=1536)  # a purchase the cash cuts on the bar before its walk would stop
def test_orders_waiting_across_quiet_bars_match_the_model(seed):
    matches_the_model(*waiting_case(seed))


@differential
@given(seed=st.integers(0, 2**32 - 1))
def test_waiting_stretches_give_the_bar_loops_marks(seed):
    """The per-bar gross and holdings, which the model does not draw: a
    borrow rate with no short to charge sends the same run through the bar
    loop on every bar."""
    arrays, opts, account, rules = waiting_case(seed)
    try:
        walked = _engine.run(*arrays, **opts, **account, **rules)
    except (ValueError, ZeroDivisionError):
        return
    f = walked.fills
    held = np.zeros(len(arrays[9]))
    for sid, n in zip(f["sid"], f["shares"]):
        held[sid] += n
        if held[sid] < 0:
            return  # a short would pay the borrow fee
    looped = _engine.run(*arrays, **opts, **dict(account, borrow_rate=0.05), **rules)
    for name in ("equity", "gross", "holdings", "traded", "costs"):
        assert getattr(walked, name).tobytes() == getattr(looped, name).tobytes(), name


@settings(max_examples=150, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(seed=st.integers(0, 2**32 - 1))
def test_fills_keep_to_the_market(seed):
    arrays, opts = random_market(seed, exits=True, max_bars=60, max_stocks=8)
    account = account_options(seed, len(arrays[9]))
    account.setdefault("capital", 1e6)
    rules = market_options(seed, arrays, account["capital"])
    try:
        got = _engine.run(*arrays, **opts, **account, **rules)
    except (ValueError, ZeroDivisionError):
        return
    f, o = got.fills, got.orders
    columns = {str(label): i for i, label in enumerate(arrays[6])}
    col = np.array([columns.get(str(arrays[9][s]), -1) for s in f["sid"]], dtype=np.int64)
    bar = f["bar"]
    ruled = o["reason"][f["order"]] != _engine.EXIT_REASONS.index("delisting")
    if "blocked" in rules:
        assert not rules["blocked"][bar, col][ruled].any()
    if "price_limit" in rules:
        limit = rules["price_limit"]
        prev = np.where(bar > 0, arrays[1][np.maximum(bar - 1, 0), col], np.nan)
        trade_price = arrays[0][bar, col]
        buys, sales = ruled & (f["shares"] > 0) & (f["value"] > 0), ruled & (f["shares"] < 0)
        # Sales (and covers) at a stop's level are tested at that level, so
        # only purchases of a rebalance are tested at the trading price here.
        rebalance_buys = buys & (o["reason"][f["order"]] == 0) & (o["target"][f["order"]] != 0)
        assert not (trade_price >= prev * (1 + limit) * (1 - 1e-9))[rebalance_buys].any()
        locked = (trade_price <= prev * (1 - limit) * (1 + 1e-9)) & (o["bar"][f["order"]] != bar)
        assert not locked[sales].any()
    if "volume" in rules:
        cap = rules["max_volume_share"] * rules["volume"][bar, col]
        per_bar = {}
        for b, s, n, keep in zip(bar, f["sid"], f["shares"], ruled):
            if keep:
                per_bar[b, s] = per_bar.get((b, s), 0.0) + abs(n)
        for (b, s), n in per_bar.items():
            c = rules["volume"][b, columns[str(arrays[9][s])]] * rules["max_volume_share"]
            assert n <= c * (1 + 1e-12), (b, s, n, c)
    assert reconciles(got, account["capital"]) or not np.isfinite(got.equity).all()


# --- Hand-computed cases -------------------------------------------------------

def run_one(prices, rows, row_bars=None, opens=None, **opts):
    """One-or-more stocks whose trading price and close are `prices` (bars x
    stocks, or `opens` as the trading price and open); signal row i is
    dated at bar row_bars[i] and traded on the next bar. No costs."""
    prices = np.asarray(prices, dtype=float).reshape(len(prices), -1)
    trade = prices if opens is None else np.asarray(opens, dtype=float).reshape(prices.shape)
    rows = np.asarray(rows, dtype=float).reshape(len(rows), -1)
    dates = np.arange(len(prices), dtype=np.int64) * 10
    row_dates = dates[:len(rows)] if row_bars is None else dates[np.asarray(row_bars)]
    labels = np.array([f"S{i}" for i in range(prices.shape[1])], dtype=object)
    high, low = np.maximum(trade, prices), np.minimum(trade, prices)
    opts = {"fee_ratio": 0.0, "tax_ratio": 0.0, "stop_loss": np.inf, "capital": 1e6, "lot_size": 1, **opts}
    return _engine.run(trade, prices, high, low, trade, dates, labels, rows, row_dates, labels, dates, **opts)


def test_a_volume_cap_spreads_an_order_over_bars():
    # 100,000 shares at 10 against 20,000 a bar at 10 %: 2,000 a bar, bars 1
    # to 50, one trade record entered at bar 1.
    n = 53
    r = run_one([10.0] * n, [1.0], volume=np.full((n, 1), 20_000.0), max_volume_share=0.1)
    f = r.fills
    assert f["bar"].tolist() == list(range(1, 51)) and f["shares"].tolist() == [2000.0] * 50
    assert f["completed"].tolist() == [False] * 49 + [True]
    t = r.trades
    assert t["entry_bar"].tolist() == [1] and t["shares"].tolist() == [100_000.0]
    assert t["entry_price"].tolist() == [10.0] and r.shares.tolist() == [100_000.0]
    assert r.equity[-1] == 1e6 and len(r.waiting) == 0
    # Stopped after 30 bars, the rest still waits.
    r = run_one([10.0] * 31, [1.0], volume=np.full((31, 1), 20_000.0), max_volume_share=0.1)
    assert r.shares.tolist() == [60_000.0] and r.waiting.tolist() == [0]
    assert r.orders["shares"].tolist() == [100_000.0]


@pytest.mark.parametrize("bad", [np.inf, -1.0, 0.0], ids=("inf", "negative", "zero"))
def test_an_invalid_close_stops_a_run_while_an_order_waits(bad):
    # The order fills 2,000 shares a bar from bar 1 on; bar 20's close is
    # unusable whether the order is walked or taken bar by bar.
    closes = np.full(53, 10.0)
    closes[20] = bad
    with pytest.raises(ValueError, match=f"Invalid close price for S0 at price row 20: {bad}"):
        run_one(closes, [1.0], opens=np.full(53, 10.0), volume=np.full((53, 1), 20_000.0), max_volume_share=0.1)


def test_a_close_whose_return_overflows_marks_an_exit_without_stops_while_an_order_waits():
    # A purchase fills 2,000 shares a bar; on bar 6 the price doubles and
    # the close is 1e308, so the return at the close overflows to +inf and
    # reaches the (infinite) upper level even without stops.
    n = 12
    trade = np.ones((n, 1))
    trade[6:] = 2.0
    close = trade.copy()
    close[6] = 1e308
    dates = np.arange(n, dtype=np.int64) * 10
    labels = np.array(["S0"], dtype=object)
    arrays = (trade, close, np.maximum(trade, close), np.minimum(trade, close), trade, dates, labels,
              np.ones((1, 1)), dates[:1], labels, dates)
    opts = {"fee_ratio": 0.0, "tax_ratio": 0.0, "stop_loss": np.inf}
    rules = {"volume": np.full((n, 1), 20_000.0), "max_volume_share": 0.1}
    matches_the_model(arrays, opts, {"capital": 1e6, "lot_size": 1}, rules)
    got = _engine.run(*arrays, **opts, capital=1e6, lot_size=1, **rules)
    # Sold from bar 7 on as a take-profit, 2,000 shares a bar.
    assert got.orders["reason"].tolist() == [0, 2] and got.orders["bar"].tolist() == [1, 7]


def test_cash_cuts_a_waiting_purchase_and_ends_it():
    # 95,000 shares ordered at 10, 15,000 a bar while the price climbs 10 %
    # a bar: on bar 6 the cash left buys only part of the next 15,000.
    prices = 10.0 * 1.1 ** np.maximum(np.arange(9) - 1, 0)
    r = run_one(prices, [0.95], volume=np.full((9, 1), 150_000.0), max_volume_share=0.1)
    cash = 1e6
    for b in range(1, 6):
        cash = cash - 15_000 * prices[b]
    kept = math.floor(cash / prices[6])
    f = r.fills
    assert f["bar"].tolist() == [1, 2, 3, 4, 5, 6] and f["shares"].tolist() == [15_000.0] * 5 + [kept]
    assert f["completed"].tolist() == [False] * 5 + [True] and len(r.waiting) == 0
    assert r.shares.tolist() == [75_000.0 + kept]


def test_no_buy_at_limit_up():
    # Bar 1 trades at 11, the limit up of a 10 % market after a close of 10:
    # the purchase waits and fills on bar 2 at 11.5 (limit 12.1).
    r = run_one([10.0, 11.0, 11.5, 11.5], [0.5], price_limit=0.1)
    assert r.fills["bar"].tolist() == [2] and r.fills["price"].tolist() == [11.5]
    shares = float(np.trunc(500_000 / 11.0))  # sized at the order's bar
    assert r.fills["shares"].tolist() == [shares]
    assert r.trades["entry_bar"].tolist() == [2] and r.trades["entry_price"].tolist() == [11.5]


def test_a_stop_into_limit_down_waits_for_an_open_that_is_not_locked():
    # 100 shares bought at 10; the 5 % stop is hit at the open of bar 2, 9.0,
    # the limit down (10 % under 10): locked. Bar 3 opens at its limit 8.1,
    # locked too; bar 4 opens at 7.5 above its limit 7.29 and the stop fills.
    closes = [10.0, 10.0, 9.0, 8.1, 7.5, 7.5]
    r = run_one(closes, [0.001], opens=closes, stop_loss=0.05, touched_exit=True, price_limit=0.1)
    t = r.trades
    assert t["exit_bar"].tolist() == [4] and t["exit_price"].tolist() == [7.5]
    assert _engine.EXIT_REASONS[t["reason"][0]] == "stop_loss"
    assert r.fills["bar"].tolist() == [1, 4] and r.fills["shares"].tolist() == [100.0, -100.0]
    assert r.equity[-1] == pytest.approx(1e6 - 100 * 2.5, rel=1e-12)


def test_a_blocked_bar_delays_the_entry():
    blocked = np.zeros((4, 2), dtype=bool)
    blocked[1, 0] = True
    r = run_one([[10.0, 20.0], [10.0, 20.0], [12.0, 20.0], [12.0, 20.0]], [[0.3, 0.3]], blocked=blocked)
    assert r.fills["bar"].tolist() == [1, 2] and r.fills["sid"].tolist() == [1, 0]
    assert r.fills["price"].tolist() == [20.0, 12.0]
    assert sorted(zip(r.trades["sid"].tolist(), r.trades["entry_bar"].tolist())) == [(0, 2), (1, 1)]


def test_a_new_rebalance_replaces_a_waiting_order():
    # S0 is blocked on bars 1 and 2; the row of bar 1 (traded on bar 2)
    # moves to S1, so the S0 order never fills.
    blocked = np.zeros((4, 2), dtype=bool)
    blocked[1:3, 0] = True
    r = run_one([[10.0, 20.0]] * 4, [[0.5, 0.0], [0.0, 0.5]], blocked=blocked)
    assert r.fills["sid"].tolist() == [1] and r.fills["bar"].tolist() == [2]
    assert r.orders["sid"].tolist() == [0, 1] and len(r.waiting) == 0
    assert r.shares.tolist() == [0.0, 25_000.0]


def test_an_entry_after_a_sale_of_the_same_bar_weighs_against_the_balance_before_both():
    # S2 is held throughout; the row of bar 3 (traded on bar 4) sells S0,
    # 10,000 shares a bar over bars 4 to 6, and buys S1, blocked on bars 4
    # and 5 (S2 is resized on bar 4). On bar 6 the last part of the sale
    # fills first, then S1's
    # first fill opens its record, weighed against the balance before that
    # bar's fills, as the model does it.
    n = 9
    prices = np.column_stack([np.linspace(10, 12, n), np.full(n, 20.0), np.linspace(30, 27, n)])
    rows = np.array([[0.3, 0.0, 0.3], [0.0, 0.3, 0.3]])
    dates = np.arange(n, dtype=np.int64) * 10
    labels = np.array(["S0", "S1", "S2"], dtype=object)
    arrays = (prices, prices, prices, prices, prices, dates, labels, rows, dates[[0, 3]], labels, dates)
    blocked = np.zeros((n, 3), dtype=bool)
    blocked[4:6, 1] = True
    volume = np.full((n, 3), 1e9)
    volume[:, 0] = 10_000.0
    opts = dict(fee_ratio=0.001, tax_ratio=0.003, stop_loss=np.inf, capital=1e6, lot_size=1, volume=volume,
                max_volume_share=1.0, blocked=blocked)
    got = assert_same_as_model(arrays, opts)
    f = got.fills
    assert [(b, s) for b, s in zip(f["bar"].tolist(), f["sid"].tolist()) if b >= 4] == [(4, 0), (4, 2), (5, 0), (6, 0), (6, 1)]


def test_a_position_built_or_closed_over_bars_is_one_record_at_its_mean_price():
    # 3,000 shares sold at 1,000 a bar: 10, 11 and 12 give an exit price of 11.
    vol = np.full((6, 1), 1000.0)
    vol[1] = 1e9
    r = run_one([10.0, 10.0, 10.0, 11.0, 12.0, 12.0], [0.03, 0.0], row_bars=[0, 1], volume=vol,
                max_volume_share=1.0)
    t = r.trades
    assert t["shares"].tolist() == [3000.0] and t["exit_bar"].tolist() == [4]
    assert t["exit_price"].tolist() == [11.0] and t["pnl"].tolist() == [3000.0]
    # 3,000 shares bought the same way at 10, 11 and 12: entered at 11.
    r = run_one([10.0, 10.0, 11.0, 12.0, 12.0], [0.03], volume=np.full((5, 1), 1000.0), max_volume_share=1.0)
    t = r.trades
    assert r.fills["price"].tolist() == [10.0, 11.0, 12.0] and t["entry_bar"].tolist() == [1]
    assert t["entry_price"].tolist() == [11.0] and t["shares"].tolist() == [3000.0]


def test_market_rules_need_capital_and_name_the_option():
    prices = np.full((3, 1), 10.0)
    with pytest.raises(ValueError, match="price_limit needs capital"):
        run_one(prices, [1.0], capital=None, lot_size=None, price_limit=0.1)
    with pytest.raises(ValueError, match="volume and max_volume_share"):
        run_one(prices, [1.0], volume=np.ones((3, 1)))
    with pytest.raises(ValueError, match="shape"):
        run_one(prices, [1.0], blocked=np.zeros((2, 1), dtype=bool))
    with pytest.raises(TypeError, match="blocked must be a 2-D bool array"):
        run_one(prices, [1.0], blocked=np.zeros((3, 1)))
    with pytest.raises(ValueError, match="max_volume_share"):
        run_one(prices, [1.0], volume=np.ones((3, 1)), max_volume_share=1.5)
    # Read in place, a matrix in the other byte order would give other numbers.
    with pytest.raises(TypeError, match="volume must be in the machine's byte order"):
        run_one(prices, [1.0], volume=np.ones((3, 1), dtype=">f8"), max_volume_share=0.5)


# --- The front end ---------------------------------------------------------------

def _frames(n=60):
    import pandas as pd

    dates = pd.bdate_range("2024-01-01", periods=n)
    close = pd.DataFrame({"A": 10.0, "B": 20.0}, index=dates)
    weights = pd.DataFrame({"A": [1.0], "B": [0.0]}, index=dates[:1])
    return close, weights


def test_backtest_caps_by_the_markets_volume_and_reports_fills_and_pending():
    import vostra

    close, weights = _frames(31)
    market = vostra.Market(close=close, volume=close * 0 + 20_000.0)
    r = vostra.backtest(weights, market, rebalance=None, fee=0, tax=0, capital=1e6, lot_size=1,
                        max_volume_share=0.1)
    f = r.fills
    assert list(f.columns) == ["date", "ticker", "shares", "price", "value", "cost", "reason", "completed",
                               "cut", "order_date"]
    assert len(f) == 30 and (f["shares"] == 2000.0).all() and (f["ticker"] == "A").all()
    assert (f["reason"] == "rebalance").all() and not f["completed"].any()
    assert (f["order_date"] == close.index[1]).all() and f["date"].tolist() == list(close.index[1:])
    p = r.pending
    assert p[["ticker", "target", "ordered", "remaining"]].values.tolist() == [["A", 100_000.0, 100_000.0,
                                                                                  40_000.0]]
    assert r.stats["filled"] == pytest.approx(0.6) and r.stats["fill_delay"] == pytest.approx(14.5)
    assert "Account: capital 1,000,000.00, lots of 1, fills up to 10% of volume" in repr(r)
    assert "\n\nFilled (of ordered value)" in repr(r) and "60.00%" in repr(r)
    assert "Mean fill delay (bars)" in repr(r) and "14.50" in repr(r)
    # Without the market's limits the statistics keep their keys.
    plain = vostra.backtest(weights, market, rebalance=None, fee=0, tax=0, capital=1e6)
    assert "filled" not in plain.stats and len(plain.fills) == 1 and len(plain.pending) == 0


def test_front_end_market_options_name_themselves():
    import vostra

    close, weights = _frames()
    with pytest.raises(ValueError, match="max_volume_share needs volume"):
        vostra.backtest(weights, close, capital=1e6, max_volume_share=0.1)
    with pytest.raises(ValueError, match="volume has no column for tickers.*'B'"):
        vostra.backtest(weights, close, capital=1e6, volume=close[["A"]], max_volume_share=0.1)
    with pytest.raises(TypeError, match="blocked must be a bool frame"):
        vostra.backtest(weights, close, capital=1e6, blocked=close * 0)
    with pytest.raises(ValueError, match="price_limit must be a fraction"):
        vostra.backtest(weights, close, capital=1e6, price_limit=10)
    with pytest.raises(ValueError, match="price_limit needs capital"):
        vostra.backtest(weights, close, price_limit=0.1)



def _limited(n=40):
    """Two stocks; the volume caps a purchase of A at 2,000 shares a bar,
    and A is blocked on bars 1 to 3."""
    dates = pd.bdate_range("2024-01-01", periods=n)
    close = pd.DataFrame({"A": 10.0, "B": 20.0}, index=dates)
    weights = pd.DataFrame({"A": [1.0], "B": [0.0]}, index=dates[:1])
    volume = close * 0 + 20_000.0
    blocked = (close * 0).astype(bool)
    blocked.iloc[1:4, 0] = True
    return close, weights, dict(volume=volume, blocked=blocked), dict(
        rebalance=None, fee=0, tax=0, capital=1e6, lot_size=1, max_volume_share=0.1)


MISALIGNED = {
    "tz-aware dates": (lambda f: f.tz_localize("UTC"), "one index is timezone-aware and the other is not"),
    "dates as text": (lambda f: f.set_axis(f.index.strftime("%Y-%m-%d")),
                      r"index must be a DatetimeIndex.*pd.to_datetime"),
    "lower-case tickers": (lambda f: f.rename(columns=str.lower), r"tickers.*'a', 'b'"),
    "dates at another time": (lambda f: f.set_axis(f.index + pd.Timedelta(hours=9)),
                              r"(no row for 40 date\(s\) of close|has 39 date\(s\) that close does not have)"),
}


@pytest.mark.parametrize("change", MISALIGNED)
@pytest.mark.parametrize("name", ["volume", "blocked"])
def test_market_rule_frames_are_aligned_as_weights_are_or_refused(name, change):
    import vostra
    from vostra.run.arguments import prepare

    close, weights, frames, opts = _limited()
    want = vostra.backtest(weights, close, **frames, **opts)
    assert len(want.fills) == 36 and want.fills["date"].iloc[0] == close.index[4]
    # On close's axes both are read in place; on more dates, with the
    # tickers in another order, they are put on close's, and a blocked
    # frame may list only the cells it blocks.
    arguments, _ = prepare(weights, close, **frames, **opts)
    assert all(np.shares_memory(arguments[k], f) for k, f in frames.items())
    later = close.index[-3:] + pd.Timedelta(days=30)
    wider = {k: pd.concat([f, f.iloc[-3:].set_axis(later)])[["B", "A"]] for k, f in frames.items()}
    pd.testing.assert_frame_equal(vostra.backtest(weights, close, **wider, **opts).fills, want.fills)
    sparse = dict(frames, blocked=frames["blocked"].iloc[1:4, :1])
    pd.testing.assert_frame_equal(vostra.backtest(weights, close, **sparse, **opts).fills, want.fills)
    change, message = MISALIGNED[change]
    with pytest.raises((TypeError, ValueError), match=f"{name}.*{message}"):
        vostra.backtest(weights, close, **{**frames, name: change(frames[name])}, **opts)


def test_the_volume_a_run_may_read_is_checked_in_one_pass():
    import vostra
    from vostra import _engine

    close, weights, frames, opts = _limited()
    bad = frames["volume"].copy()
    for value in (-1.0, np.inf):
        bad.iloc[7, 0] = value
        with pytest.raises(ValueError, match=rf"volume must be .* it is {value!r} for 'A' on 2024-01-10"):
            vostra.backtest(weights, close, volume=bad, **opts)
    # B is never traded: its volume is never read.
    bad.iloc[7] = [2e4, -1.0]
    assert len(vostra.backtest(weights, close, volume=bad, **opts).fills) == 39
    values = np.ones((300, 7))
    values[200, 5] = -2.0
    values[100, 6] = np.inf
    for layout in (values, np.asfortranarray(values)):
        assert _engine.volume_fault(layout[:, :6]) == (200, 5)
        assert _engine.volume_fault(layout, np.array([6, 1])) == (100, 6)
        assert _engine.volume_fault(layout, np.array([0, 1])) is None
    # The first in memory order: column by column, or row by row.
    assert _engine.volume_fault(np.asfortranarray(values)) == (200, 5)
    assert _engine.volume_fault(values) == (100, 6)
