"""The account's books: every holding valued, every order carried, every
trade record consistent. Hand cases of each fault, against the engine and
the model."""
import numpy as np
import pandas as pd
import pytest

import model
import vostra
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
