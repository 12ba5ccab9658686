"""Seeded synthetic markets and monthly top-K signals for the benchmark.

Everything here is NumPy only and deterministic for a given seed. Price
matrices come out in Fortran order (bars x stocks, column-major), which is
what ``DataFrame.to_numpy()`` hands over for a frame of one dtype.
"""

from __future__ import annotations

from dataclasses import dataclass, field

import numpy as np

DAY_NS = 86_400 * 10**9


@dataclass
class Market:
    open: np.ndarray          # also the trading price: orders fill at the open
    high: np.ndarray
    low: np.ndarray
    close: np.ndarray
    index: np.ndarray         # int64 ns timestamps, business days
    columns: np.ndarray       # object array of labels
    hole_count: np.ndarray = field(repr=False)  # int32 running count of holes per stock, (bars, stocks)

    @property
    def shape(self):
        return self.close.shape

    def input_bytes(self, *extra):
        """Bytes of the distinct input buffers (the open doubles as trading price)."""
        seen, total = set(), 0
        for a in (self.open, self.high, self.low, self.close, self.index, *extra):
            if id(a) not in seen:
                seen.add(id(a))
                total += a.nbytes
        return total


def business_days(n_bars, start="2000-01-03"):
    """n_bars weekday timestamps (int64 ns) from `start` on."""
    days = np.arange(np.datetime64(start, "D"), np.datetime64(start, "D") + n_bars * 2)
    wd = (days.astype("int64") + 3) % 7  # 1970-01-01 was a Thursday: 0 = Monday
    days = days[wd < 5][:n_bars]
    return days.astype("datetime64[ns]").astype(np.int64)


def synthetic_market(n_stocks, n_bars, seed=0, *, suspensions=2.0, listing_rate=0.1, delisting_rate=0.1):
    """Daily OHLC bars with late listings, delistings and suspensions (NaN in all four frames)."""
    rng = np.random.default_rng(seed)
    # Work stock-major in C order and hand out the transpose: (bars, stocks) in Fortran order.
    market = rng.standard_normal(n_bars, dtype=np.float32) * np.float32(0.01)
    beta = rng.uniform(0.5, 1.5, n_stocks).astype(np.float32)
    drift = rng.normal(0.0003, 0.0006, n_stocks).astype(np.float32)
    vol = rng.uniform(0.01, 0.03, n_stocks).astype(np.float32)
    logret = rng.standard_normal((n_stocks, n_bars), dtype=np.float32)
    logret *= vol[:, None]
    logret += beta[:, None] * market[None, :]
    logret += drift[:, None]
    np.cumsum(logret, axis=1, out=logret)
    start = rng.uniform(10, 200, n_stocks)
    close = np.exp(logret, dtype=np.float64)
    close *= start[:, None]
    noise = logret  # reuse the buffer
    noise[:] = rng.standard_normal((n_stocks, n_bars), dtype=np.float32)
    noise *= np.float32(0.006)
    open_ = np.empty_like(close)
    open_[:, 0] = start
    open_[:, 1:] = close[:, :-1]
    open_ *= np.exp(noise, dtype=np.float64)
    upper = np.maximum(open_, close)
    lower = np.minimum(open_, close)
    noise[:] = rng.random((n_stocks, n_bars), dtype=np.float32)
    high = upper
    high *= 1.0 + np.float32(0.02) * noise
    noise[:] = rng.random((n_stocks, n_bars), dtype=np.float32)
    low = lower
    low *= 1.0 - np.float32(0.02) * noise
    del noise, logret

    holes = np.zeros((n_stocks, n_bars), dtype=bool)
    late = np.flatnonzero(rng.random(n_stocks) < listing_rate)
    for s, b in zip(late, rng.integers(int(0.05 * n_bars), max(int(0.5 * n_bars), 1) + 1, late.size)):
        holes[s, :b] = True
    gone = np.flatnonzero(rng.random(n_stocks) < delisting_rate)
    for s, b in zip(gone, rng.integers(int(0.2 * n_bars), max(int(0.95 * n_bars), 1) + 1, gone.size)):
        holes[s, b:] = True
    n_susp = rng.poisson(suspensions, n_stocks)
    rows = np.repeat(np.arange(n_stocks), n_susp)
    starts = rng.integers(0, max(n_bars - 11, 1), rows.size)
    lengths = rng.integers(1, 11, rows.size)
    for s, b, n in zip(rows, starts, lengths):
        holes[s, b:b + n] = True
    for m in (open_, high, low, close):
        m[holes] = np.nan
    hole_count = np.cumsum(holes, axis=1, dtype=np.int32)

    index = business_days(n_bars)
    columns = np.array([f"S{i:05d}" for i in range(n_stocks)], dtype=object)
    return Market(open=open_.T, high=high.T, low=low.T, close=close.T, index=index, columns=columns,
                  hole_count=hole_count.T)


def month_end_bars(index):
    """Positions of the last bar of every calendar month."""
    months = index.astype("datetime64[ns]").astype("datetime64[M]").astype(np.int64)
    return np.flatnonzero(np.diff(months) != 0)  # the last month may be incomplete: left out


def period_end_bars(index, every):
    """Last bars of each period: 'D' every bar, 'W' weekly, 'M' monthly, 'Q' quarterly."""
    if every == "D":
        return np.arange(len(index) - 1)
    if every == "M":
        return month_end_bars(index)
    if every == "Q":
        months = index.astype("datetime64[ns]").astype("datetime64[M]").astype(np.int64)
        return np.flatnonzero(np.diff(months // 3) != 0)
    if every == "W":
        weeks = (index // DAY_NS + 3) // 7  # weeks starting Monday
        return np.flatnonzero(np.diff(weeks) != 0)
    raise ValueError(f"unknown period {every!r}")


@dataclass
class Signal:
    weights: np.ndarray       # (rows, stocks) float64, C order
    index: np.ndarray         # int64 timestamps: the bar each row was decided on
    bars: np.ndarray          # position of that bar in the price index
    resample: np.ndarray      # rebalance timestamps (= index)

    @property
    def nbytes(self):
        return self.weights.nbytes + self.index.nbytes + self.resample.nbytes


def top_k_signal(mkt, k, *, every="M", lookback=126):
    """Equal weights 1/k on the k stocks with the best `lookback`-bar momentum.

    A row decided at bar t is executed by the engine at bar t+1 (trading
    price = open) and held to the next row's execution bar. Only stocks with
    an open and a close on every bar of that span, and with prices at t and
    t-lookback, are eligible: the engine and a peer treat a missing price
    differently (the engine carries the position at its last trading price),
    so held positions never meet a hole and the peers can agree to rounding.
    """
    n_bars, n_stocks = mkt.shape
    ends = period_end_bars(mkt.index, every)
    ends = ends[(ends >= lookback) & (ends < n_bars - 1)]
    close = mkt.close
    holes = mkt.hole_count
    rows = []
    for i, t in enumerate(ends):
        hold_to = ends[i + 1] + 1 if i + 1 < len(ends) else n_bars - 1
        # holes within bars t-lookback .. hold_to inclusive
        clean = (holes[hold_to] - holes[t - lookback] == 0) & ~np.isnan(close[t - lookback])
        score = close[t] / close[t - lookback]
        score = np.where(clean, score, -np.inf)
        n_ok = int(clean.sum())
        kk = min(k, n_ok)
        w = np.zeros(n_stocks)
        if kk:
            top = np.argpartition(-score, kk - 1)[:kk]
            w[top] = 1.0 / k
        rows.append(w)
    weights = np.array(rows, dtype=np.float64).reshape(len(rows), n_stocks)
    index = mkt.index[ends].copy()
    return Signal(weights=weights, index=index, bars=ends, resample=index.copy())
