"""The account in whole lots against vectorbt's, where their rules meet: a
rotation that sells whole holdings and opens new ones (bench/README.md says
why trims differ). Runs only where vectorbt is installed (a bench extra)."""

import warnings

import numpy as np
import pandas as pd
import pytest

import vostra

vbt = pytest.importorskip("vectorbt")


def rotation(n_stocks, n_bars, k, seed):
    """Prices without holes and rows every 21 bars of k stocks the previous
    row does not hold, random weights adding up to 0.999."""
    rng = np.random.default_rng(seed)
    index = pd.bdate_range("2020-01-01", periods=n_bars)
    cols = [f"S{i:02d}" for i in range(n_stocks)]
    close = np.exp(np.cumsum(rng.normal(0, 0.02, (n_bars, n_stocks)), axis=0)) * rng.uniform(5, 300, n_stocks)
    open_ = close * np.exp(rng.normal(0, 0.005, close.shape))
    rows, held = [], np.zeros(n_stocks, dtype=bool)
    for _ in range(20, n_bars - 1, 21):
        w = np.zeros(n_stocks)
        w[rng.choice(np.flatnonzero(~held), k, replace=False)] = rng.dirichlet(np.ones(k)) * 0.999
        rows.append(w)
        held = w != 0
    weights = pd.DataFrame(rows, index=index[20:n_bars - 1:21], columns=cols)
    return pd.DataFrame(close, index, cols), pd.DataFrame(open_, index, cols), weights


def peer_orders(close, weights):
    """Target percents on the bar after each row, and the call order the
    account trades in: the stocks held before (all sold), then the others."""
    size = pd.DataFrame(np.nan, close.index, close.columns)
    seq = np.tile(np.arange(close.shape[1]), (len(close), 1))
    prev = np.zeros(close.shape[1], dtype=bool)
    for date, row in weights.iterrows():
        t = close.index.get_loc(date) + 1
        w = row.to_numpy()
        size.iloc[t, (w != 0) | prev] = w[(w != 0) | prev]
        seq[t] = np.r_[np.flatnonzero(prev), np.flatnonzero(~prev)]
        prev = w != 0
    return size, seq


def test_rotation_in_lots_with_slippage_agrees_with_vectorbt():
    close, open_, weights = rotation(30, 260, 8, seed=3)
    size, seq = peer_orders(close, weights)
    for lot, fee, fixed in ((1, 0.001425, 0.0), (10, 0.0, 20.0)):
        ours = vostra.backtest(weights, close, open_, trade_at="open", rebalance=None, fee=fee, tax=0.0,
                               capital=1e6, lot_size=lot, slippage=0.002, min_fee=fixed)
        with warnings.catch_warnings():  # vectorbt's own use of pandas draws deprecation warnings
            warnings.simplefilter("ignore")
            pf = vbt.Portfolio.from_orders(close, size=size, size_type="targetpercent", price=open_,
                                           group_by=True, cash_sharing=True, call_seq=seq, update_value=False,
                                           fees=fee, fixed_fees=fixed, slippage=0.002,
                                           size_granularity=float(lot), init_cash=1e6)
            want, cash, rec = np.asarray(pf.value()).ravel(), np.asarray(pf.cash()), pf.orders.records_readable
        np.testing.assert_allclose(ours.equity.to_numpy(), want, rtol=1e-9, atol=0)
        theirs = np.where(rec["Side"] == "Sell", -rec["Size"], rec["Size"])
        theirs = pd.Series(theirs, index=pd.MultiIndex.from_arrays([rec["Timestamp"], rec["Column"]]))
        theirs = theirs[theirs != 0].sort_index()  # vectorbt records a purchase cut to nothing
        mine = ours.fills.set_index(["date", "ticker"])["shares"].sort_index()
        assert list(mine.index) == list(theirs.index) and (mine.to_numpy() == theirs.to_numpy()).all()
        if lot == 1:  # the cash cut a purchase at every rebalance: less than 0.001 of the capital is left
            assert cash[cash < 1e6].max() < 500
