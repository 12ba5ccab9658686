"""The account options of vostra.backtest, sweep and walk_forward: today's
bits at their defaults, results in currency that reconcile, lot sizes by
ticker, and errors naming the option."""
import math

import numpy as np
import pandas as pd
import pytest

import vostra


@pytest.fixture(scope="module")
def market():
    return vostra.synthetic_market(n_stocks=30, years=2, seed=11)


@pytest.fixture(scope="module")
def signal(market):
    filled = market.close.ffill()
    score = (filled.shift(5) / filled.shift(60) - 1).where(market.close.notna())
    rank = score.rank(axis=1, ascending=False)
    # Long the best five, short the worst two.
    return (rank <= 5) * 0.2 - (rank > rank.max(axis=1).sub(2).to_numpy()[:, None]) * 0.15


def run(market, weights, **options):
    return vostra.backtest(weights, market, trade_at="open", **options)


def test_defaults_give_todays_run(market, signal):
    plain = run(market, signal)
    spelled = run(market, signal, capital=None, lot_size=None, min_fee=0.0, slippage=0.0, leverage=1.0,
                  borrow_rate=0.0, cash_rate=0.0)
    pd.testing.assert_series_equal(plain.equity, spelled.equity, check_exact=True)
    pd.testing.assert_frame_equal(plain.trades, spelled.trades, check_exact=True)
    assert "shares" not in plain.trades and plain.shares is None and plain.capital == 1.0
    assert not plain.interest.any() and "Account:" not in str(plain)


def test_an_account_in_currency_reconciles(market, signal):
    capital = 2_500_000.0
    lots = pd.Series(100, index=market.close.columns)
    lots.iloc[::3] = 1000
    r = run(market, signal, capital=capital, lot_size=lots, min_fee=25.0, slippage=0.002, leverage=1.3,
            borrow_rate=0.04, cash_rate=0.02)
    t = r.trades
    assert len(t) > 20 and (t["shares"] < 0).any()
    assert (np.mod(t["shares"], lots[t["ticker"]].to_numpy()) == 0).all()
    total = math.fsum(t["pnl"]) + math.fsum(r.interest)
    assert total == pytest.approx(r.equity.iloc[-1] - capital, rel=1e-9)
    assert r.equity.iloc[0] == capital and r.interest.iloc[-1] != 0
    assert "Account: capital 2,500,000.00, lots by ticker, minimum fee 25.00, slippage 0.2%" in str(r)
    # The shares held at the end are the open trades' shares.
    open_trades = t[t["exit_reason"] == "open"]
    held = r.shares[r.shares != 0]
    assert held.sort_index().to_dict() == open_trades.set_index("ticker")["shares"].sort_index().to_dict()
    # The same account with another capital is another run in currency,
    # but the capital alone does not change the statistics' meaning.
    assert np.isfinite(r.stats["sharpe"])


def test_account_options_in_a_sweep_equal_one_by_one_runs(market, signal):
    grid = {"slippage": [0.0, 0.01], "cash_rate": [0.0, 0.05]}
    table = vostra.sweep({"s": signal}, market, grid=grid, trade_at="open", capital=1e6, lot_size=10,
                         equity=True, progress=False, workers=1)
    assert table["error"].isna().all()
    for row in table.to_dict("records"):
        want = run(market, signal, capital=1e6, lot_size=10, slippage=row["slippage"], cash_rate=row["cash_rate"])
        pd.testing.assert_series_equal(row["equity"], want.equity, check_exact=True)
    assert table["total_return"].nunique() == 4


@pytest.mark.parametrize("options, error, message", [
    (dict(capital=0), ValueError, "capital must be a positive finite amount"),
    (dict(capital="1e6"), TypeError, "capital must be a number"),
    (dict(min_fee=5.0), ValueError, "min_fee needs capital"),
    (dict(lot_size=100), ValueError, "lot_size needs capital"),
    (dict(capital=1e6, lot_size=0), ValueError, "lot_size must be a positive whole number"),
    (dict(capital=1e6, lot_size={"S0000": 100}), ValueError, "lot_size has no lot size for tickers"),
    (dict(capital=1e6, lot_size=lambda: 1), TypeError, "lot_size must be a whole number of shares or a mapping"),
    (dict(slippage=1.0), ValueError, "slippage must be a fraction in [0, 1)"),
    (dict(leverage=-0.5), ValueError, "leverage must be a finite number >= 0"),
    (dict(borrow_rate=-2.0), ValueError, "borrow_rate must be a finite annual rate >= -1"),
    (dict(cash_rate=math.nan), ValueError, "cash_rate must be a finite annual rate >= -1"),
])
def test_bad_account_options_are_named(market, signal, options, error, message):
    with pytest.raises(error) as info:
        run(market, signal, **options)
    assert message in str(info.value)


def test_a_lot_size_by_ticker_names_a_bad_one(market, signal):
    lots = {t: 100 for t in market.close.columns}
    lots[market.close.columns[3]] = 2.5
    with pytest.raises(ValueError, match=f"'{market.close.columns[3]}' has 2.5"):
        run(market, signal, capital=1e6, lot_size=lots)
