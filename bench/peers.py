"""What our users would run instead of the engine, on the same data.

- vectorbt's ``Portfolio.from_orders`` (numba engine, and its rust engine
  when ``vectorbt-rust`` is installed), also as an account in shares
  (``size_granularity``, ``slippage``, ``fixed_fees``) for bench/account.py;
- the NumPy formula most users write first;
- the pure-Python model of the engine kept in ``tests/model.py``.
"""

from __future__ import annotations

import os
import sys

import numpy as np

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)


# ---------------------------------------------------------------------------
# The engine
# ---------------------------------------------------------------------------

def engine_args(mkt, sig):
    """Positional arguments of backtest_: the open is the trading price."""
    return (mkt.open, mkt.close, mkt.high, mkt.low, mkt.open, mkt.index, mkt.columns,
            sig.weights, sig.index, mkt.columns, sig.resample)


def held_position_bars_from_trades(trades, n_bars):
    """Bars on which a position is revalued: exit - entry per trade record, to the
    last bar for trades still open (exit -1)."""
    total = 0
    last = n_bars - 1
    for _sid, entry, exit_ in trades:
        total += (exit_ if exit_ >= 0 else last) - entry
    return total


def held_position_bars_from_signal(sig, n_bars):
    """The same count derived from the signal alone, for runs without stops:
    row i is executed at bar bars[i] + 1 and held to the next execution bar."""
    execs = sig.bars + 1
    ends = np.append(execs[1:], n_bars - 1)
    held = np.count_nonzero(sig.weights, axis=1)
    return int(np.sum(held * (ends - execs)))


# ---------------------------------------------------------------------------
# vectorbt
# ---------------------------------------------------------------------------

def vectorbt_status():
    """(module or None, reason, engines available)."""
    try:
        import vectorbt as vbt
    except Exception as exc:  # ImportError, or a broken numba/llvmlite install
        return None, f"vectorbt not importable ({type(exc).__name__}: {exc}); install with pip install -e '.[bench]'", []
    engines = ["numba"]
    try:
        from vectorbt._engine import is_rust_available
        if is_rust_available():
            engines.append("rust")
    except Exception:
        pass
    return vbt, f"vectorbt {vbt.__version__}", engines


def vectorbt_orders(mkt, sig):
    """Target-percent order matrix: each signal row goes in at its execution
    bar (decision bar + 1), for every stock it holds or the previous row held;
    NaN (no order) everywhere else."""
    n_bars, n = mkt.shape
    size = np.full((n_bars, n), np.nan)
    prev = np.zeros(n)
    for w, t in zip(sig.weights, sig.bars):
        touched = (w != 0) | (prev != 0)
        size[t + 1, touched] = w[touched]
        prev = w
    return size


def vectorbt_frames(mkt, size):
    """The user's DataFrames: the frames' values stay the Fortran-ordered matrices."""
    import pandas as pd

    idx = pd.DatetimeIndex(mkt.index.astype("datetime64[ns]"))
    cols = pd.Index(mkt.columns)
    close = pd.DataFrame(mkt.close, index=idx, columns=cols, copy=False)
    price = pd.DataFrame(mkt.open, index=idx, columns=cols, copy=False)
    size = pd.DataFrame(size, index=idx, columns=cols, copy=False)
    return close, price, size


def vectorbt_run(vbt, close, price, size, engine):
    """One shared cash pool, fills at the trading price, valued at the close,
    zero fees, no minimum size, fractional sizes. Returns the equity curve."""
    pf = vbt.Portfolio.from_orders(
        close, size=size, size_type="targetpercent", price=price,
        group_by=True, cash_sharing=True, call_seq="auto",
        fees=0.0, fixed_fees=0.0, slippage=0.0, min_size=0.0, size_granularity=np.nan,
        init_cash=1.0, engine=engine,
    )
    return np.asarray(pf.value(), dtype=np.float64).ravel()


def vectorbt_account(vbt, close, price, size, call_seq, *, capital, lot, slippage, fee, fixed_fee):
    """An account in whole lots: target-percent orders valued at the order
    price (vectorbt's default), whole multiples of `lot` shares, slippage on
    the fill, a fee ratio and a fixed fee per fill, one cash pool that never
    goes negative, the group's value held fixed within a bar
    (``update_value=False``), calls in the order `call_seq` gives. Returns
    the portfolio."""
    return vbt.Portfolio.from_orders(
        close, size=size, size_type="targetpercent", price=price,
        group_by=True, cash_sharing=True, call_seq=call_seq, update_value=False,
        fees=fee, fixed_fees=fixed_fee, slippage=slippage, min_size=0.0, size_granularity=float(lot),
        init_cash=float(capital),
    )


def vectorbt_fills(pf):
    """The portfolio's filled orders as (date, ticker, signed shares) rows,
    sorted. vectorbt records a purchase the cash cuts to nothing as a fill
    of 0 shares; the account makes no fill, so those rows are left out."""
    import pandas as pd

    rec = pf.orders.records_readable
    shares = np.where(rec["Side"] == "Sell", -rec["Size"].to_numpy(), rec["Size"].to_numpy())
    out = pd.DataFrame({"date": rec["Timestamp"].to_numpy(), "ticker": rec["Column"].to_numpy(), "shares": shares})
    return out[out["shares"] != 0].sort_values(["date", "ticker"], ignore_index=True)


# ---------------------------------------------------------------------------
# The NumPy formula
# ---------------------------------------------------------------------------

def numpy_formula(close, weights, bars):
    """Weights held between rebalances times bar returns, summed across stocks.

    The row decided at bar bars[i] is held over the returns of bars
    bars[i] + 1 .. bars[i + 1] (close to close); no costs, no stops, no
    drift of weights within a period. Returns the equity curve from 1.0.
    """
    n_bars = close.shape[0]
    row = np.searchsorted(bars, np.arange(1, n_bars), side="left") - 1  # row in force over bar d's return
    held = weights[np.maximum(row, 0)]
    held[row < 0] = 0.0
    ret = close[1:] / close[:-1] - 1.0
    ret[np.isnan(ret)] = 0.0
    port = np.einsum("ij,ij->i", held, ret)
    equity = np.empty(n_bars)
    equity[0] = 1.0
    np.cumprod(1.0 + port, out=equity[1:])
    return equity


def daily_close_run(vantrel, mkt, sig, n_bars):
    """The engine asked to do what the formula assumes: hold the signal's
    weights rebalanced every bar, trading at the close, without costs. On the
    first `n_bars` bars. Returns (engine curve, formula curve)."""
    close = np.asfortranarray(mkt.close[:n_bars])
    keep = sig.bars < n_bars - 1
    bars, weights = sig.bars[keep], sig.weights[keep]
    # The formula's weights decided at bar t earn the return from close t to
    # close t+1, i.e. they trade at close t. The engine trades a row dated t
    # at bar t+1, so each daily row is dated one bar before the formula's.
    days = np.arange(bars[0] - 1, n_bars - 1)
    row = np.searchsorted(bars, days + 1, side="right") - 1
    daily = np.ascontiguousarray(weights[row])
    index = mkt.index[:n_bars]
    high = np.asfortranarray(mkt.high[:n_bars])
    low = np.asfortranarray(mkt.low[:n_bars])
    got = vantrel.backtest_(close, close, high, low, close, index, mkt.columns, daily, index[days],
                            mkt.columns, index[days], fee_ratio=0.0, tax_ratio=0.0, stop_loss=np.inf,
                            periodically_rebalance=False)
    want = numpy_formula(close, weights, bars)
    return got, want


# ---------------------------------------------------------------------------
# The Python model
# ---------------------------------------------------------------------------

def load_model():
    tests = os.path.join(ROOT, "tests")
    if tests not in sys.path:
        sys.path.insert(0, tests)
    import model  # noqa: E402

    return model
