"""Fills the market allows (volume caps, price limits, blocked cells) and
the orders that wait for them: the model's bits on random markets,
invariants, and hand-computed cases."""
import math

import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings, strategies as st

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


differential = settings(max_examples=300, deadline=None, suppress_health_check=[HealthCheck.too_slow])


@differential
@given(seed=st.integers(0, 2**32 - 1))
def test_random_markets_with_rules_match_the_model(seed):
    arrays, opts = random_market(seed, exits=True, max_bars=60, max_stocks=8)
    account = account_options(seed, len(arrays[9]))
    account.setdefault("capital", 1e6)
    rules = market_options(seed, arrays, account["capital"])
    got = assert_same_as_model(arrays, {**opts, **account, **rules})
    if got is None:
        return
    want = model.backtest(*arrays, **opts, **account, **rules)
    fills_match(got, want.account)
    if np.isfinite(got.equity).all():
        assert reconciles(got, account["capital"])
