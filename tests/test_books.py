"""The account's books: every holding valued, every order carried, every
trade record consistent. Hand cases of each fault, against the engine and
the model."""
import numpy as np
import pandas as pd
import pytest
from hypothesis import HealthCheck, given, settings, strategies as st

import model
import vostra
from markets import random_market
from test_account import account_options, reconciles
from test_market_rules import market_options
from vostra import _engine

nan = np.nan


def market_of(prices, rows, row_bars, opens=None):
    """The eleven arrays of a run: `prices` (bars x stocks) as the close and,
    unless `opens` is given, the trading price; signal row i dated at bar
    row_bars[i]."""
    close = np.asarray(prices, dtype=float).reshape(len(prices), -1)
    trade = close if opens is None else np.asarray(opens, dtype=float).reshape(close.shape)
    dates = np.arange(len(close), dtype=np.int64) * 10
    labels = np.array([f"S{i}" for i in range(close.shape[1])], dtype=object)
    rows = np.asarray(rows, dtype=float).reshape(len(rows), -1)
    high, low = np.fmax(trade, close), np.fmin(trade, close)
    return (trade, close, high, low, trade, dates, labels, rows, dates[np.asarray(row_bars)], labels, dates)


def both(arrays, **opts):
    """The engine's run, checked against the model's bit for bit."""
    opts = {"fee_ratio": 0.0, "tax_ratio": 0.0, "stop_loss": np.inf, **opts}
    got = _engine.run(*arrays, **opts)
    want = model.backtest(*arrays, **opts)
    np.testing.assert_array_equal(got.equity, want.creturn)
    t = got.trades
    assert [[int(s), int(e), int(x)] for s, e, x in zip(t["sid"], t["entry_bar"], t["exit_bar"])] == want.trades
    if want.account is not None:
        np.testing.assert_array_equal(t["shares"], want.account.trade_shares)
        record_prices_agree(t, want.account)
        f = got.fills
        assert list(zip(f["bar"].tolist(), f["sid"].tolist(), f["shares"].tolist(), f["completed"].tolist())) == [
            (b, s, n, c) for b, s, n, _p, _v, _c, _o, c in want.account.fills]
    return got


# --- 1. A holding without a price on a rebalance bar -------------------------

def test_a_holding_without_a_price_on_a_rebalance_bar_is_carried_at_its_price():
    # 500 A bought at 10; the second row falls on A's only missing bar; A
    # then trades at 20 and the third row sells it.
    arrays = market_of([[10, 10], [10, 10], [10, 10], [nan, 10], [20, 10], [20, 10], [20, 10]],
                       [[0.5, 0.5], [0.5, 0.5], [0, 1.0]], [0, 2, 4])
    got = both(arrays, capital=10_000.0, lot_size=1)
    assert got.equity.tolist() == [10_000.0] * 4 + [15_000.0] * 3
    f = got.fills
    sale = (f["sid"] == 0) & (f["shares"] < 0)
    assert f["bar"][sale].tolist() == [5] and f["price"][sale].tolist() == [20.0]
    t = got.trades
    a = t["sid"] == 0
    assert t["exit_price"][a].tolist() == [20.0] and t["pnl"][a].tolist() == [5000.0]
    # The normalised account of the front end's runs is mended the same way;
    # backtest_'s own rule is kept where it is not asked for.
    assert both(arrays, credit_gaps=True).equity[4:].tolist() == [1.5] * 3
    assert both(arrays).equity[4:].tolist() == [1.0] * 3


def test_a_signal_row_inside_a_suspension_keeps_the_move_across_it():
    # Half of 1,000 in A at 100; a row dated inside A's two-bar suspension;
    # A is back at 120.
    arrays = market_of([[100], [100], [nan], [nan], [120], [120]], [[0.5], [0.5]], [0, 2])
    assert both(arrays, capital=1000.0, lot_size=1).equity[-1] == 1100.0
    close = pd.DataFrame(arrays[1], index=pd.date_range("2024-01-01", periods=6), columns=["A"])
    weights = pd.DataFrame([[0.5], [0.5]], index=close.index[[0, 2]], columns=["A"])
    r = vostra.backtest(weights, close, rebalance=None, fee=0, tax=0)
    assert r.equity.iloc[-1] == pytest.approx(1.1, rel=1e-12)


# --- 2. A waiting flip, 3. a purchase beside a waiting cover ------------------

def test_a_flip_capped_by_the_volume_waits_for_its_other_side():
    # Short 1,000, then a row asks for long 2,000; the volume allows 1,000 a bar.
    arrays = market_of([[10]] * 8, [[-0.1], [0.2]], [0, 2])
    got = both(arrays, capital=100_000.0, lot_size=1, volume=np.full((8, 1), 1000.0), max_volume_share=1.0)
    f = got.fills
    assert f["bar"].tolist() == [1, 3, 4, 5] and f["shares"].tolist() == [-1000.0, 1000.0, 1000.0, 1000.0]
    assert f["completed"].tolist() == [True, False, False, True]
    assert got.shares.tolist() == [2000.0] and len(got.waiting) == 0
    # The short and the long are two records.
    assert got.trades["shares"].tolist() == [-1000.0, 2000.0]


def test_a_purchase_leaves_what_a_waiting_cover_needs():
    # Short 500 A; the next row covers A (blocked on its bar) and puts the
    # whole balance into B; A then doubles before the cover fills.
    arrays = market_of(np.c_[[10, 10, 10, 10, 20, 20], [10] * 6], [[-0.5, 0], [0, 1.0]], [0, 2])
    blocked = np.zeros((6, 2), dtype=bool)
    blocked[3, 0] = True
    got = both(arrays, capital=10_000.0, lot_size=1, blocked=blocked)
    f = got.fills
    # B gets what the balance leaves beside the short still held.
    assert f["sid"].tolist() == [0, 1, 0] and f["shares"].tolist() == [-500.0, 500.0, 500.0]
    cash = got.equity - got.gross
    assert (cash >= 0).all() and got.gross[-1] / got.equity[-1] == 1.0


# --- 4. Dust fills, 7. a delisting after a mark at the close -------------------

def test_a_target_a_rounding_away_from_the_holding_makes_no_fill():
    # Fractional shares rebalanced to the same weights at the same prices:
    # the targets differ from the holdings by an ulp, which made a fill of
    # 1e-14 shares at every bar (each of which would pay a minimum fee).
    prices = np.c_[[3.3] * 8, [7.1] * 8]
    got = both(market_of(prices, [[0.35, 0.45]] * 7, list(range(7))), capital=1000.1)
    assert got.fills["bar"].tolist() == [1, 1] and got.equity == pytest.approx([1000.1] * 8, rel=1e-12)


def test_a_delisted_stock_is_sold_at_the_close_it_was_last_marked_at():
    # Trading at the open: A's last open is 100, its last close 105.
    idx = pd.date_range("2024-01-01", periods=6)
    close = pd.DataFrame({"A": [100, 100, 105, 105, nan, nan], "B": [100.0] * 6}, index=idx)
    opens = pd.DataFrame({"A": [100, 100, 100, 100, nan, nan], "B": [100.0] * 6}, index=idx)
    weights = pd.DataFrame({"A": [0.5], "B": [0.5]}, index=idx[:1])
    r = vostra.backtest(weights, close, open=opens, trade_at="open", capital=1000.0, fee=0, tax=0, rebalance=None)
    assert r.equity.tolist() == [1000.0, 1000.0, 1025.0, 1025.0, 1025.0, 1025.0]
    a = r.trades[r.trades["ticker"] == "A"].iloc[0]
    assert a["exit_price"] == 105.0 and a["pnl"] == 25.0


# --- 5. Trade records that agree with their own pnl ----------------------------

def test_a_record_split_at_a_rebalance_ends_at_the_positions_value():
    # 500 bought at 10.10 (slippage 1 %); the next row keeps them at 12.
    arrays = market_of([[10.0], [10.0], [12.0], [12.0]], [[1.0], [1.0]], [0, 1])
    got = both(arrays, capital=5050.0, lot_size=1, slippage=0.01)
    t = got.trades
    assert t["shares"].tolist() == [500.0, 500.0] and t["exit_price"][0] == 12.0 and t["pnl"][0] == 950.0
    # The next record takes the position over at that value.
    assert t["entry_price"][1] == 12.0


@pytest.mark.parametrize("split", [True, False])
def test_a_record_does_not_count_the_sales_of_a_replaced_closing_order(split):
    # 600 held; a zero weight sells 200 (the volume's cap) and waits; the
    # next row, for 400, replaces that closing order.
    arrays = market_of([[10.0], [10.0], [10.0], [10.0], [11.0]], [[0.06], [0.0], [0.04]], [0, 1, 2])
    volume = np.array([[1e9], [1e9], [200.0], [200.0], [200.0]])
    got = both(arrays, capital=100_000.0, lot_size=1, volume=volume, max_volume_share=1.0,
               periodically_rebalance=split)
    t = got.trades
    assert got.shares.tolist() == [400.0] and t["shares"].tolist() == ([400.0, 400.0] if split else [400.0])
    # What the record held is what its prices and pnl account for.
    assert t["entry_price"][0] == 10.0 and t["pnl"][-1] == 400.0


def record_prices_agree(t, acct):
    """The engine's record prices are the model's (to a rounding: the two
    sum the fills in different orders)."""
    closed = t["exit_bar"] >= 0
    np.testing.assert_allclose(t["entry_price"], acct.trade_entry_prices, rtol=1e-9)
    np.testing.assert_allclose(t["exit_price"][closed], np.array(acct.trade_exit_prices)[closed], rtol=1e-9)


@pytest.mark.parametrize("split", [True, False])
def test_a_record_built_by_several_orders_enters_at_the_mean_of_its_fills(split):
    # 500 bought at 10; at 12 the next row asks for 1,010, which the volume
    # fills 200 a bar.
    arrays = market_of([[10.0], [10.0], [12.0], [12.0], [12.0], [12.0], [12.0]], [[0.05], [0.12]], [0, 1])
    volume = np.array([[1e9], [1e9], [200.0], [200.0], [200.0], [200.0], [200.0]])
    got = both(arrays, capital=100_000.0, lot_size=1, volume=volume, max_volume_share=1.0,
               periodically_rebalance=split)
    t = got.trades
    assert got.fills["shares"].tolist() == [500.0, 200.0, 200.0, 110.0] and t["shares"][-1] == 1010.0
    # Split at the rebalance, the next record takes the 500 over at 12;
    # else the one record holds 500 at 10 and 510 at 12.
    assert t["entry_price"][-1] == pytest.approx(12.0 if split else (500 * 10 + 510 * 12) / 1010, rel=1e-12)


def test_without_splits_a_record_keeps_its_cost_per_share_and_a_flip_is_two_records():
    # 1,000 bought at 10; cut to 510 at 12; then a short of 461 at 11.
    arrays = market_of([[10.0], [10.0], [12.0], [11.0], [11.0]], [[0.1], [0.06], [-0.05]], [0, 1, 2])
    got = both(arrays, capital=100_000.0, lot_size=1, periodically_rebalance=False)
    t = got.trades
    assert got.fills["shares"].tolist() == [1000.0, -490.0, -971.0]
    assert t["shares"].tolist() == [510.0, -461.0] and t["exit_bar"].tolist() == [3, -1]
    # The sale at 12 keeps the cost of the shares held (10); the long ends
    # at the fill that flips it, where the short starts.
    assert t["entry_price"].tolist() == [10.0, 11.0] and t["exit_price"][0] == 11.0
    assert t["pnl"][0] == 490 * 2 + 510 * 1


# --- The books on random markets -------------------------------------------------

def books_case(seed):
    """A random market with every account option and market rule drawn,
    and the cases that broke the books drawn often: holes on rebalance
    bars, long-short flips under volume caps, covers that wait (blocked
    cells), fractional shares with a minimum fee, add-on orders. No borrow fee: its
    charges are the one cash flow the fills and interest do not show."""
    arrays, opts = random_market(seed, exits=True, max_bars=60, max_stocks=8)
    account = account_options(seed, len(arrays[9]))
    account.setdefault("capital", 1e6)
    account["borrow_rate"] = 0.0
    rng = np.random.default_rng([seed, 38, 1])
    rules = market_options(seed, arrays, account["capital"]) if rng.random() < 0.6 else {}
    if rng.random() < 0.4:
        account.pop("lot_size", None)
        account["min_fee"] = account["capital"] * 1e-4
    long_only = rng.random() < 0.4
    if long_only:
        weights = np.abs(arrays[7])
        arrays = arrays[:7] + (weights,) + arrays[8:]
        account["leverage"] = 1.0
    # Add-on orders under the front end's defaults: rows that grow each
    # stock's largest weight step by step on its side, each rebalanced, so
    # that entries move while a tight stop runs.
    grow = np.random.default_rng([seed, 38, 3])
    if grow.random() < 0.4:
        w = arrays[7]
        top = w[np.argmax(np.abs(w), axis=0), np.arange(w.shape[1])]
        dates = np.sort(grow.choice(arrays[5], size=min(int(grow.integers(2, 20)), len(arrays[5])), replace=False))
        steps = np.arange(1, len(dates) + 1)[:, None] / len(dates)
        # Trading prices apart from the closes (wide opens), where an add-on
        # fills far from the close the stop is tested at.
        trade = arrays[1] * np.exp(grow.normal(0, 0.1, size=arrays[1].shape))
        arrays = (trade,) + arrays[1:7] + (top * steps, dates, arrays[9], arrays[5].copy())
        opts.update(retain_cost_when_rebalance=True, position_limit=1.0, stop_loss=float(grow.choice([0.02, 0.05])))
        account["rebase_stops"] = True
        rules = {}
    # A stock without a price on some rebalance bars, in every frame.
    frames = [np.array(m, dtype=float, copy=True) for m in arrays[:5]]
    bars = np.flatnonzero(np.isin(arrays[5], arrays[10]))
    if len(bars) and rng.random() < 0.7:
        for b in rng.choice(bars, size=min(3, len(bars)), replace=False):
            col = int(rng.integers(0, frames[0].shape[1]))
            for m in frames:
                m[b, col] = nan
    arrays = tuple(frames) + arrays[5:]
    return arrays, {**opts, **account, **rules}, long_only


def books(got, arrays, capital):
    """Per bar the cash and the holdings' value at their last marks, from
    the fills and the interest alone."""
    trade, close = arrays[0], arrays[1]
    columns = {str(label): i for i, label in enumerate(arrays[6])}
    col = np.array([columns.get(str(label), -1) for label in arrays[9]])
    n_bars, n_stocks = len(arrays[5]), len(arrays[9])
    f = got.fills
    shares = np.zeros(n_stocks)
    cash, shortfall = float(capital), 0.0
    last = np.full(n_stocks, nan)
    out = []
    k = 0
    for b in range(n_bars):
        if cash < 0:
            # The interest a shortfall pays while the cash is below 0.
            shortfall += max(0.0, -got.interest[b])
        cash += got.interest[b]
        while k < len(f["bar"]) and f["bar"][k] == b:
            n, value, cost = f["shares"][k], f["value"][k], f["cost"][k]
            cash += (value if n < 0 else -value) - cost
            if n < 0:
                shortfall += max(0.0, cost - value)
            shares[f["sid"][k]] += n
            k += 1
        held = 0.0
        for s in np.flatnonzero(shares):
            t, c = trade[b, col[s]], close[b, col[s]]
            if not np.isnan(t):
                last[s] = t
            held += shares[s] * (c if not (np.isnan(t) or np.isnan(c)) else last[s])
        out.append((cash, held, shortfall))
    return np.array(out)


@settings(max_examples=300, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(seed=st.integers(0, 2**32 - 1))
def test_the_books_hold_on_random_markets(seed):
    arrays, opts, long_only = books_case(seed)
    try:
        got = _engine.run(*arrays, **opts)
    except (ValueError, ZeroDivisionError):
        return
    if not np.isfinite(got.equity).all():
        return
    capital = opts["capital"]
    assert reconciles(got, capital)
    cash, held, shortfall = books(got, arrays, capital).T
    tol = 1e-9 * np.maximum(capital, np.abs(got.equity) + got.gross)
    started = got.traded.cumsum() > 0
    bad = started & ~(np.abs(got.equity - (cash + held)) <= tol)
    assert not bad.any(), np.c_[np.flatnonzero(bad), got.equity[bad], (cash + held)[bad]][:5]
    if long_only:
        assert (cash >= -shortfall - tol).all(), (cash.min(), shortfall.max())
    # Every record's prices account for its pnl: (exit - entry) x shares,
    # plus what its sales before the close earned over its cost per share;
    # here without fees, taxes and minimum fees (slippage is in the prices).
    costless = {**opts, "fee_ratio": 0.0, "tax_ratio": 0.0, "min_fee": 0.0}
    t = _engine.run(*arrays, **costless).trades
    acct = model.backtest(*arrays, **costless).account
    record_prices_agree(t, acct)
    closed = t["exit_bar"] >= 0
    lhs = (t["exit_price"] - t["entry_price"]) * t["shares"] + acct.trade_trims
    off = closed & ~(np.abs(lhs - t["pnl"]) <= 1e-9 * np.maximum(capital, np.abs(t["entry_price"] * t["shares"])))
    assert not off.any(), {k: t[k][off][:3] for k in t}
    # Only sales that keep a record open (resizes without a split) earn
    # beside its prices.
    split = opts["periodically_rebalance"] and not opts["retain_cost_when_rebalance"]
    assert not split or rules_in(opts) or not np.any(acct.trade_trims)
    if opts["retain_cost_when_rebalance"] and opts["rebase_stops"]:
        stop_losses_from_the_entry(got, arrays, opts)


def stop_losses_from_the_entry(got, arrays, opts):
    """Where a record's stops are measured from its entry (one record per
    position, its stops moved by add-ons), a stop-loss exit
    crossed the stop_loss level under the record's entry: at the close
    that marked it (sold at the next bar's price, so a gain over the entry
    only by a gap) or at the price it filled at intrabar. Left out: exits
    that wait under the market's rules, and a mark made before the
    rebalance of its own bar moved the entry."""
    if rules_in(opts):
        return
    t, f = got.trades, got.fills
    close = arrays[1]
    columns = {str(label): i for i, label in enumerate(arrays[6])}
    col = np.array([columns[str(arrays[9][s])] for s in t["sid"]], dtype=np.int64)
    side = np.sign(t["shares"])
    level = t["entry_price"] * (1 - side * abs(opts["stop_loss"]))
    for i in np.flatnonzero((t["reason"] == 1) & (t["exit_bar"] > 0)):
        if opts["touched_exit"]:
            crossed = t["exit_price"][i]
        else:
            mark = t["exit_bar"][i] - 1
            if ((f["bar"] == mark) & (f["sid"] == t["sid"][i])).any():
                continue
            crossed = close[mark, col[i]]
        assert side[i] * (crossed - level[i]) <= 1e-9 * level[i], ({k: t[k][i] for k in t}, crossed, level[i])


def rules_in(opts):
    return any(k in opts for k in ("volume", "price_limit", "blocked"))


def test_the_cash_earns_before_the_first_signal():
    # The signal starts on bar 3; every bar from bar 1 earns 0.1 %.
    arrays = market_of([[10.0]] * 6, [[0.0]], [3])
    got = both(arrays, capital=1000.0, cash_rate=0.252, periods_per_year=252.0)
    want = [1000.0]
    for _ in range(5):
        want.append(want[-1] + want[-1] * (0.252 / 252.0))
    assert got.equity.tolist() == want and (got.interest[1:] > 0).all()


# --- 6. A daily signal keeps the stops ------------------------------------------

def test_a_daily_signal_keeps_its_stops_as_the_same_signal_listed_on_its_changes():
    # A trending random walk with SMA20 > SMA50 as a daily bool frame: a
    # row that repeats the one before is no rebalance, so the stops (8 %
    # stop loss, 10 % trailing) go on from the entry, and a stock a stop
    # took out stays out until the signal changes.
    rng = np.random.default_rng(7)
    dates = pd.bdate_range("2015-01-02", periods=1500)
    close = pd.DataFrame({"G": 500 * np.exp(np.cumsum(rng.normal(0.0004, 0.018, len(dates))))}, index=dates)
    daily = close.rolling(20).mean() > close.rolling(50).mean()
    changes = daily.loc[daily["G"].ne(daily["G"].shift())]
    run = dict(rebalance=None, stop_loss=0.08, trail_stop=0.10)
    got, want = (vostra.backtest(s, close, **run).trades for s in (daily, changes))
    cols = ["entry_date", "exit_date", "exit_reason", "entry_price", "exit_price"]
    pd.testing.assert_frame_equal(got[cols].reset_index(drop=True), want[cols].reset_index(drop=True))
    assert (got["exit_reason"] == "trail_stop").sum() >= 5
    stops = got[got["exit_reason"] == "stop_loss"]
    assert len(stops) and (stops["exit_price"] < stops["entry_price"]).all()


@pytest.mark.parametrize("side, rows, closes, opens, entry, exit_price", [
    # 100 bought at 100, 100 more at 60 (an open the close recovers from):
    # entry 80, so an 8 % stop fires below 73.6, not below 92.
    (1, [[0.1], [0.125]], [100, 100, 100, 95, 85, 74, 73.5, 73.5], [100, 100, 100, 60, 85, 85, 73.5, 73.5],
     80.0, 85.0),
    # 100 sold short at 100, 100 more at 140: entry 120, the stop above 129.6.
    (-1, [[-0.1], [-0.292]], [100, 100, 100, 105, 115, 129, 129.7, 129.7],
     [100, 100, 100, 140, 115, 115, 129.7, 129.7], 120.0, 115.0),
])
def test_an_add_on_moves_the_stops_to_the_records_entry(side, rows, closes, opens, entry, exit_price):
    arrays = market_of(np.c_[closes], rows, [0, 2], opens=np.c_[opens])
    run = dict(capital=100_000.0, lot_size=1, retain_cost_when_rebalance=True, periodically_rebalance=False,
               stop_loss=0.08)
    got = both(arrays, **run, rebase_stops=True).trades
    assert got["shares"].tolist() == [200.0 * side] and got["entry_price"].tolist() == [entry]
    assert got["exit_bar"].tolist() == [7] and got["reason"].tolist() == [1]
    assert side * (got["exit_price"][0] - entry) < 0
    # Measured from the first entry the stop fires at the first bar and
    # shows a gain over the record's entry.
    old = both(arrays, **run).trades
    assert old["exit_bar"].tolist() == [5] and old["exit_price"].tolist() == [exit_price]


# --- 8. A purchase cut by the cash ----------------------------------------------

def test_a_purchase_the_cash_cuts_is_shown_cut():
    # All of 1,000 in A at 10 with a 1 % fee: 100 shares and their fee do
    # not fit, 99 do; a second row buys again what the cash allows.
    arrays = market_of([[10.0]] * 4, [[1.0]], [0])
    got = both(arrays, capital=1000.0, lot_size=1, fee_ratio=0.01)
    assert got.fills["shares"].tolist() == [99.0] and got.orders["cut"].tolist() == [True]
    dates = pd.bdate_range("2024-01-01", periods=4)
    close = pd.DataFrame({"A": [10.0] * 4, "B": [10.0] * 4}, index=dates)
    weights = pd.DataFrame({"A": [0.5], "B": [0.5]}, index=dates[:1])
    r = vostra.backtest(weights, close, capital=1000.0, lot_size=1, fee=0.01, tax=0, rebalance=None)
    assert r.fills["shares"].tolist() == [50.0, 49.0] and r.fills["cut"].tolist() == [False, True]
    assert r.fills["completed"].all() and r.pending.empty
