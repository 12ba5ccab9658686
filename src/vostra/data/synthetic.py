"""A seeded synthetic stock market: daily OHLC bars with suspensions, late
listings and delistings, for demos, examples and tests."""

from __future__ import annotations

import numpy as np
import pandas as pd

from .market import Market

__all__ = ["synthetic_market"]

BARS_PER_YEAR = 252


def synthetic_market(n_stocks: int = 300, years: float = 10.0, seed: int = 0, *,
                     start: str = "2014-01-01", suspensions: float = 2.0,
                     delisting_rate: float = 0.1, listing_rate: float = 0.1) -> Market:
    """Generate a reproducible daily OHLC market with volume.

    Log returns combine a common market factor (with a stock's beta), a
    stock drift that changes every quarter (so that trends persist and
    momentum has something to find) and idiosyncratic noise. Opens gap from
    the previous close; highs and lows lie outside both.

    Parameters
    ----------
    n_stocks, years
        Number of tickers (``S0000``, ``S0001``, ...) and length in years of
        252 business days.
    seed
        Seed of the random generator; equal arguments give equal markets.
    start
        First business day.
    suspensions
        Mean number of trading suspensions per stock, each 1 to 10 bars of
        NaN in all four frames, all ending before the last bar.
    delisting_rate, listing_rate
        Fraction of stocks whose prices end for good somewhere between 20 %
        and 95 % of the period, and of stocks that start trading only between
        5 % and 50 % of it.
    """
    rng = np.random.default_rng(seed)
    n_bars = max(int(round(years * BARS_PER_YEAR)), 2)
    dates = pd.bdate_range(start, periods=n_bars, name="date")
    tickers = pd.Index([f"S{i:04d}" for i in range(n_stocks)], name="ticker")

    market = rng.normal(0.0003, 0.010, size=(n_bars, 1))
    beta = rng.uniform(0.5, 1.5, size=n_stocks)
    vol = rng.uniform(0.010, 0.030, size=n_stocks)
    quarters = -(-n_bars // 63)
    drift = np.repeat(rng.normal(0.0002, 0.0015, size=(quarters, n_stocks)), 63, axis=0)[:n_bars]
    log_ret = drift + beta * market + vol * rng.standard_normal((n_bars, n_stocks))
    log_close = np.log(rng.uniform(10.0, 200.0, size=n_stocks)) + np.cumsum(log_ret, axis=0)
    close = np.exp(log_close)

    gap = vol * 0.3 * rng.standard_normal((n_bars, n_stocks))
    prev = np.vstack([close[:1] / np.exp(log_ret[:1]), close[:-1]])
    open_ = prev * np.exp(gap)
    wick = vol * 0.5
    high = np.maximum(open_, close) * np.exp(np.abs(wick * rng.standard_normal((n_bars, n_stocks))))
    low = np.minimum(open_, close) * np.exp(-np.abs(wick * rng.standard_normal((n_bars, n_stocks))))

    missing = np.zeros((n_bars, n_stocks), dtype=bool)
    for col, count in enumerate(rng.poisson(suspensions, size=n_stocks)):
        for _ in range(count):
            # Holes end before the last bar: trailing NaNs mean a delisting.
            begin = int(rng.integers(0, max(n_bars - 11, 1)))
            missing[begin:begin + int(rng.integers(1, 11)), col] = True
    delisted = rng.random(n_stocks) < delisting_rate
    for col in np.flatnonzero(delisted):
        missing[int(rng.integers(int(n_bars * 0.2), int(n_bars * 0.95))):, col] = True
    late = (rng.random(n_stocks) < listing_rate) & ~delisted
    for col in np.flatnonzero(late):
        missing[:int(rng.integers(int(n_bars * 0.05), int(n_bars * 0.5))), col] = True

    # Shares traded: a stock's usual turnover, busier on large moves. Drawn
    # last, so that the prices do not depend on it.
    usual = rng.lognormal(12.0, 1.0, size=n_stocks)
    volume = np.round(usual * rng.lognormal(0.0, 0.3, size=(n_bars, n_stocks))
                      * (1.0 + 20.0 * np.abs(log_ret)))

    frames = {}
    for name, values in (("open", open_), ("high", high), ("low", low), ("close", close),
                         ("volume", volume)):
        values = np.where(missing, np.nan, values)
        frames[name] = pd.DataFrame(values, index=dates, columns=tickers)
    valid = frames["close"].notna()
    listed = valid.idxmax().where(valid.any())
    last = valid[::-1].idxmax().where(valid.any())
    ends = last.where(delisted)
    return Market(listed=listed.rename("listed"), delisted=ends.rename("delisted"), **frames)
