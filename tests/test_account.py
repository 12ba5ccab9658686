"""The account options of the native ledger (capital, lot_size, min_fee,
slippage, leverage, borrow_rate, cash_rate): the model's bits on random
markets, invariants, hand-computed cases and the errors naming the option."""
import math
import subprocess
import sys

import numpy as np
import pytest
import pandas as pd
from hypothesis import HealthCheck, given, settings, strategies as st

import model
import vostra
from markets import random_market
from support import child_env
from vostra import _engine


def same(a, b):
    a, b = np.asarray(a, dtype=float), np.asarray(b, dtype=float)
    return a.shape == b.shape and np.array_equal(a, b, equal_nan=True)


def account_options(seed, n_columns):
    """Every account option drawn, each now and then at its default."""
    rng = np.random.default_rng([seed, 25])
    opts = {}
    if rng.random() < 0.85:
        capital = float(10 ** rng.uniform(4, 9))
        opts["capital"] = capital
        if rng.random() < 0.7:
            lots = rng.integers(1, 1001, size=n_columns)
            opts["lot_size"] = int(lots[0]) if rng.random() < 0.5 else lots.astype(float)
        if rng.random() < 0.5:
            opts["min_fee"] = capital * float(rng.choice([1e-6, 1e-4, 1e-2]))
    opts["slippage"] = float(rng.choice([0.0, 0.001, 0.01, 0.3]))
    opts["leverage"] = float(rng.choice([1.0, 1.0, 0.5, 1.5, 2.5]))
    opts["borrow_rate"] = float(rng.choice([0.0, 0.05, 3.0]))
    opts["cash_rate"] = float(rng.choice([0.0, 0.03, -0.5]))
    opts["periods_per_year"] = float(rng.choice([252.0, 12.0]))
    # The front end's rule for a holding without a price on a rebalance bar
    # (the account's own), drawn apart so that the other draws stay.
    opts["credit_gaps"] = bool(np.random.default_rng([seed, 38]).random() < 0.5)
    # And the front end's stops from the record's entry on an add-on.
    opts["rebase_stops"] = bool(np.random.default_rng([seed, 38, 2]).random() < 0.5)
    return opts


def assert_same_as_model(arrays, opts):
    try:
        want = model.backtest(*arrays, **opts)
    except Exception as exc:  # the engine must fail the same way
        with pytest.raises(type(exc)):
            _engine.run(*arrays, **opts)
        return None
    got = _engine.run(*arrays, **opts)
    assert same(got.equity, want.creturn), np.c_[got.equity, want.creturn]
    t = got.trades
    assert [[int(s), int(e), int(x)] for s, e, x in zip(t["sid"], t["entry_bar"], t["exit_bar"])] == want.trades
    assert t["weight"].tolist() == [float(w) for w in want.trade_positions]
    for have, expect in zip(got.excursions, want.orbalt):
        assert same(have.reshape(-1), expect)
    assert got.report == want.stock_operations
    acct = want.account
    if acct is None:
        assert got.shares is None
        return got
    assert same(t["shares"], acct.trade_shares)
    assert same(got.shares, acct.shares)
    assert same(got.interest, acct.interest)
    return got


def reconciles(got, capital):
    """The trades' P&L and the interest add up to the final equity minus
    the starting capital."""
    total = math.fsum(got.trades["pnl"]) + math.fsum(got.interest)
    final = got.equity[-1] if len(got.equity) else capital
    return abs(total - (final - capital)) <= 1e-9 * max(capital, abs(final))


differential = settings(max_examples=300, deadline=None, suppress_health_check=[HealthCheck.too_slow])


@differential
@given(seed=st.integers(0, 2**32 - 1))
def test_random_accounts_match_the_model(seed):
    arrays, opts = random_market(seed, exits=True, max_bars=60, max_stocks=8)
    account = account_options(seed, len(arrays[9]))
    got = assert_same_as_model(arrays, {**opts, **account})
    if got is None or not np.isfinite(got.equity).all():
        return
    capital = account.get("capital", 1.0)
    assert reconciles(got, capital)
    lots = account.get("lot_size")
    if lots is not None:
        lot = np.broadcast_to(np.asarray(lots, dtype=float), (len(arrays[9]),))[got.trades["sid"]]
        assert (np.mod(got.trades["shares"], lot) == 0).all()
        assert (np.mod(got.shares, np.broadcast_to(lots, got.shares.shape)) == 0).all()


@settings(max_examples=150, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(seed=st.integers(0, 2**32 - 1))
def test_a_long_book_never_borrows_cash(seed):
    # Full rows of long weights with fees and slippage: every purchase past
    # the cash is cut, so cash (equity less the positions) stays >= 0.
    arrays, opts = random_market(seed, exits=True, max_bars=60, max_stocks=8)
    weights = np.abs(arrays[7])
    weights[:, weights.sum(axis=0) == 0] = 0
    rows = weights.sum(axis=1, keepdims=True)
    weights = np.divide(weights, rows, out=np.zeros_like(weights), where=rows > 0)
    if "NOPRICE" in arrays[9]:
        weights[:, -1] = 0
    arrays = arrays[:7] + (weights,) + arrays[8:]
    account = account_options(seed, len(arrays[9]))
    account.update(leverage=1.0, borrow_rate=0.0, min_fee=0.0, cash_rate=abs(account["cash_rate"]))
    account.setdefault("capital", 1e6)
    got = assert_same_as_model(arrays, {**opts, **account})
    if got is None:
        return
    capital = account.get("capital", 1.0)
    cash = got.equity - got.gross
    assert (cash >= -1e-9 * capital).all(), cash.min()


@pytest.mark.parametrize("seed", [1, 2, 3, 5, 8])
def test_options_at_their_defaults_give_the_contract_bits(seed):
    arrays, opts = random_market(seed, exits=True, max_bars=60, max_stocks=8)
    plain = _engine.run(*arrays, **opts)
    spelled = _engine.run(*arrays, **opts, capital=None, lot_size=None, min_fee=0.0, slippage=0.0, leverage=1.0,
                          borrow_rate=0.0, cash_rate=0.0, periods_per_year=12)
    assert same(plain.equity, spelled.equity) and spelled.shares is None
    assert np.isnan(spelled.trades["shares"]).all() and not spelled.interest.any()


# --- Hand-computed cases -------------------------------------------------------

def tiny_arrays(prices, rows):
    """The engine's arrays of a market of len(prices) bars whose trading
    price and close are `prices` (bars x stocks); signal row i is dated at
    bar i and traded on the next bar."""
    prices = np.asarray(prices, dtype=float).reshape(len(prices), -1)
    rows = np.asarray(rows, dtype=float).reshape(len(rows), -1)
    dates = np.arange(len(prices), dtype=np.int64) * 10
    labels = np.array([f"S{i}" for i in range(prices.shape[1])], dtype=object)
    return prices, prices, prices, prices, prices, dates, labels, rows, dates[:len(rows)], labels, dates


def tiny(prices, rows, **opts):
    """The engine's run of :func:`tiny_arrays`, costs off unless given."""
    opts = {"fee_ratio": 0.0, "tax_ratio": 0.0, "stop_loss": np.inf, **opts}
    return _engine.run(*tiny_arrays(prices, rows), **opts)


def test_whole_lots_and_their_costs():
    # 10,000 at 50 a share in lots of 100, fee 0.1 %.
    lot = dict(capital=10_000.0, lot_size=100, fee_ratio=0.001)
    # 60 %: 6000 / 50 = 120 shares, one lot: 5000 and a fee of 5.
    r = tiny([50, 50, 50], [0.6], **lot)
    assert r.trades["shares"].tolist() == [100.0] and r.trades["entry_price"].tolist() == [50.0]
    assert r.equity.tolist() == [10_000.0, 10_000 - 5000 - 5 + 5000, 9995.0]
    assert r.costs.tolist() == [0.0, 5.0, 0.0] and r.shares.tolist() == [100.0]
    # 40 %: 80 shares, below one lot: nothing trades.
    r = tiny([50, 50, 50], [0.4], **lot)
    assert len(r.trades["sid"]) == 0 and r.equity.tolist() == [10_000.0] * 3
    # All of 5000: one lot costs 5000 plus its fee, more than the cash.
    r = tiny([50, 50, 50], [1.0], **{**lot, "capital": 5000.0})
    assert len(r.trades["sid"]) == 0 and r.equity.tolist() == [5000.0] * 3
    # All of 10,000: two lots and their fee exceed the cash, so one is cut.
    r = tiny([50, 50, 50], [1.0], **lot)
    assert r.trades["shares"].tolist() == [100.0] and r.equity[-1] == 9995.0


def test_minimum_fee_and_slippage():
    # 100 shares of 5000: 0.1425 % is 7.125, below the minimum of 20.
    r = tiny([50, 50, 50], [0.5], capital=10_000.0, lot_size=1, fee_ratio=0.001425, min_fee=20.0)
    assert r.costs[1] == 20.0 and r.equity[-1] == 10_000 - 20.0
    # 1 % slippage: bought at 50.5, the fee on the filled value 5050; sold
    # by the next row (weight 0) at 55 * 0.99 with fee and tax on that.
    r = tiny([50, 50, 55, 55], [0.5, 0.0], capital=10_000.0, lot_size=1, fee_ratio=0.001, tax_ratio=0.003,
             slippage=0.01)
    bought, sold = 100 * 50.5, 100 * 55 * 0.99
    assert r.trades["entry_price"].tolist() == [50 * 1.01] and r.trades["exit_price"].tolist() == [55 * 0.99]
    assert r.costs[1] == pytest.approx(bought * 0.001, rel=1e-15)
    assert r.costs[2] == pytest.approx(sold * 0.004, rel=1e-15)
    final = 10_000 - bought - bought * 0.001 + sold - sold * 0.004
    assert r.equity[-1] == pytest.approx(final, rel=1e-15)
    assert r.trades["pnl"][0] == pytest.approx(final - 10_000, rel=1e-12)


def test_stop_fills_pay_slippage():
    # A 10 % stop-loss of a long bought at 50 fills at 45, less 1 %.
    prices = np.array([50, 50, 40, 40], dtype=float)
    dates = np.arange(4, dtype=np.int64) * 10
    labels = np.array(["S0"], dtype=object)
    p = prices.reshape(-1, 1)
    high = np.maximum(p, 50.0)
    r = _engine.run(p, p, high, p, high, dates, labels, np.ones((1, 1)), dates[:1], labels, dates,
                    fee_ratio=0.0, tax_ratio=0.0, stop_loss=0.1, touched_exit=True, capital=1000.0, lot_size=1,
                    slippage=0.01)
    assert _engine.EXIT_REASONS[r.trades["reason"][0]] == "stop_loss"
    assert r.trades["exit_price"][0] == pytest.approx(45 * 0.99, rel=1e-12)
    # 19 shares (20 and the slippage do not fit 1000).
    assert r.trades["shares"][0] == 19.0
    assert r.equity[-1] == pytest.approx(1000 - 19 * 50.5 + 19 * 45 * 0.99, rel=1e-12)


def test_leverage_keeps_a_row_beyond_the_capital():
    # Two stocks at 75 % each: scaled to 50 % each at leverage 1, kept at
    # 1.5, where cash goes down to -5000, the floor the leverage allows.
    rows = [[0.75, 0.75]]
    prices = [[50, 50]] * 3
    r = tiny(prices, rows, capital=10_000.0, lot_size=1)
    assert r.trades["shares"].tolist() == [100.0, 100.0]
    r = tiny(prices, rows, capital=10_000.0, lot_size=1, leverage=1.5)
    assert r.trades["shares"].tolist() == [150.0, 150.0]
    assert r.gross[-1] == 15_000.0 and r.equity[-1] == 10_000.0
    # A fee leaves the second purchase one share short of the floor.
    r = tiny(prices, rows, capital=10_000.0, lot_size=1, leverage=1.5, fee_ratio=0.001)
    assert r.trades["shares"].tolist() == [150.0, 149.0]


def test_financing_of_shorts_and_cash():
    # 25.2 % a year over 252 bars: 0.1 % a bar.
    rates = dict(capital=10_000.0, periods_per_year=252.0)
    # Short 100 shares at 50; each later bar pays 0.1 % of 5000.
    r = tiny([50] * 5, [-0.5], lot_size=1, borrow_rate=0.252, **rates)
    assert r.trades["shares"].tolist() == [-100.0]
    fee = 5000 * (0.252 / 252)
    assert r.equity.tolist() == pytest.approx([10_000, 10_000, 10_000 - fee, 10_000 - 2 * fee, 10_000 - 3 * fee],
                                              rel=1e-15)
    assert r.trades["pnl"][0] == pytest.approx(-3 * fee, rel=1e-12) and not r.interest.any()
    # Idle cash earns 0.1 % a bar from the second bar on.
    r = tiny([50] * 4, [0.0], cash_rate=0.252, **rates)
    rate = 0.252 / 252
    cash = [10_000.0]
    for _ in range(3):
        cash.append(cash[-1] + cash[-1] * rate)
    assert r.equity.tolist() == cash
    assert r.interest[0] == 0 and r.interest[1] == 10_000 * rate
    assert math.fsum(r.interest) == pytest.approx(r.equity[-1] - 10_000, rel=1e-12)


def test_a_share_count_beyond_whole_numbers_is_refused_not_looped_on():
    # 1e6 at 1.2e-13 is 8.3e18 shares: whole lots end at 2**53, where the
    # cut of a purchase to the cash once went round for ever (deaf to
    # Ctrl-C). The engine refuses it as the model does; the front end names
    # the ticker and the date (in a child: a hang fails on its timeout).
    script = """if True:
        import pandas as pd, vostra
        days = pd.bdate_range("2024-01-01", periods=3)
        close = pd.DataFrame([[1.2e-13, 10.0]] * 3, index=days, columns=["A", "B"])
        vostra.backtest(pd.DataFrame({"A": [1.0]}, index=days[:1]), close, capital=1e6, lot_size=1,
                        rebalance=None)
    """
    done = subprocess.run([sys.executable, "-c", script], env=child_env(), capture_output=True, text=True,
                          timeout=120)
    assert "ValueError: a target of 8.33333e+18 shares of 'A' on 2024-01-02" in done.stderr, done.stderr
    prices = [[1.2e-13, 10.0]] * 3
    opts = dict(capital=1e6, lot_size=1, fee_ratio=0.001)
    with pytest.raises(ValueError, match=r"Share count 8\.33333e\+18 for S0 at price row 1 is beyond whole"):
        model.backtest(*tiny_arrays(prices, [[1.0, 0.0]]), **{"stop_loss": np.inf, "tax_ratio": 0.0, **opts})
    # The orders size a target at the last close the same way.
    days = pd.bdate_range("2024-01-01", periods=3)
    close = pd.DataFrame({"A": [1.0, 1.0, 1.2e-13], "B": 10.0}, index=days)
    weights = pd.DataFrame({"A": [0.0, 1.0], "B": [1.0, 0.0]}, index=days[[0, 2]])
    last = vostra.backtest(weights, close, capital=1e6, lot_size=1, rebalance=None)
    with pytest.raises(ValueError, match=r"8\.32\d+e\+18 shares of 'A' is beyond what whole lots can count"):
        last.orders
    # Below 2**53 the count is whole and the run goes on, as in the model.
    near = assert_same_as_model(tiny_arrays([[1e-9, 10.0]] * 3, [[1.0, 0.0]]),
                                {"stop_loss": np.inf, "tax_ratio": 0.0, **opts})
    assert 9.9e14 < near.shares[0] < 2**53


# --- Errors name the option ----------------------------------------------------

@pytest.mark.parametrize("options, error, message", [
    (dict(capital=-1.0), ValueError, "capital must be a positive finite amount, got -1.0"),
    (dict(capital=math.inf), ValueError, "capital must be"),
    (dict(lot_size=100), ValueError, "lot_size needs capital"),
    (dict(min_fee=5.0), ValueError, "min_fee needs capital"),
    (dict(capital=1e6, lot_size=0), ValueError, "lot_size must be a positive whole number of shares, got 0"),
    (dict(capital=1e6, lot_size=2.5), ValueError, "lot_size must be a positive whole number"),
    (dict(capital=1e6, lot_size=[100, 1.5]), ValueError, "lot_size must be positive whole numbers of shares, got 1.5"),
    (dict(capital=1e6, lot_size=[100, 100, 100]), ValueError, "lot_size has 3 lot sizes for 2 signal columns"),
    (dict(capital=1e6, lot_size="x"), ValueError, "lot_size must be a whole number of shares"),
    (dict(capital=1e6, min_fee=-1.0), ValueError, "min_fee must be a finite amount >= 0"),
    (dict(slippage=1.0), ValueError, "slippage must be a fraction in [0, 1), got 1.0"),
    (dict(slippage=-0.1), ValueError, "slippage must be a fraction in [0, 1)"),
    (dict(leverage=-1.0), ValueError, "leverage must be a finite number >= 0"),
    (dict(leverage=math.nan), ValueError, "leverage must be a finite number >= 0"),
    (dict(borrow_rate=-1.5), ValueError, "borrow_rate must be a finite annual rate >= -1"),
    (dict(cash_rate=math.inf), ValueError, "cash_rate must be a finite annual rate >= -1"),
    (dict(periods_per_year=0), ValueError, "periods_per_year must be a positive finite number"),
    (dict(slippage="a"), TypeError, "must be real number"),
    (dict(capital=1e6, fee_ratio=-1.0), ValueError, "fee_ratio must be above -1 with the account options"),
])
def test_bad_account_options_are_named(options, error, message):
    with pytest.raises(error, match=None) as info:
        tiny([[50, 50]] * 3, [[0.5, 0.5]], **options)
    assert message in str(info.value)


def test_run_many_takes_account_options_per_job():
    p = np.full((3, 1), 50.0)
    dates = np.arange(3, dtype=np.int64) * 10
    labels = np.array(["S0"], dtype=object)
    common = (p, p, p, p, p, dates, labels, np.ones((1, 1)), dates[:1], labels, dates)
    runs = _engine.run_many(*common, jobs=[{}, {"capital": 1000.0, "lot_size": 7}], fee_ratio=0.0, tax_ratio=0.0,
                            capital=500.0)
    assert runs[0].equity.tolist() == [500.0] * 3 and runs[0].shares.tolist() == [10.0]
    assert runs[1].shares.tolist() == [14.0]
