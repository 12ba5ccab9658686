"""Exits found inside the walks of quiet stretches: taken on their bar, in
stock order, on the walk's first and last bars, beside missing prices, in
both modes, with the bits of the model and of the contract path."""
import math

import numpy as np
import pytest

from test_account import assert_same_as_model
from test_differential import assert_same_run

from vostra import _engine
from vostra.core import vantrel

NAN = math.nan


def three_stocks(market, prices, **frames):
    # One rebalance (bar 1) into three longs; bars 2 to the end are one stretch.
    return market(prices, [[0.3, 0.3, 0.3]], resample=[0], **frames)


def both_paths(mk, opts):
    assert_same_run(mk, opts)
    got = _engine.run(*mk, **opts)
    assert np.array_equal(got.equity, vantrel.backtest_(*mk, **opts), equal_nan=True)
    return got


# Bars 2 and 6 are the walk's first and last. A falls 15 % on bar 2, B and C
# both fall on bar 4 (one bar, two exits), C misses its trading price on
# bar 3, and A comes back on the last bar.
PRICES = [[100.0, 50.0, 20.0], [100.0, 50.0, 20.0], [85.0, 51.0, 20.5], [86.0, 52.0, NAN],
          [87.0, 44.0, 17.0], [88.0, 45.0, 17.5], [99.0, 46.0, 17.6]]


@pytest.mark.parametrize("touched_exit", [False, True], ids=["close_mode", "intrabar"])
def test_exits_on_a_walks_first_and_shared_bars(market, touched_exit):
    mk = three_stocks(market, PRICES)
    got = both_paths(mk, dict(stop_loss=0.1, touched_exit=touched_exit))
    trades = [[int(x) for x in t] for t in vantrel.orbalt.trades]
    # Close mode sells on the bar after the close: A on bar 3, B and C on 5.
    exits = [[0, 2], [1, 4], [2, 4]] if touched_exit else [[0, 3], [1, 5], [2, 5]]
    assert [[sid, bar] for sid, _, bar in trades] == exits
    assert list(got.trades["sid"]) == [0, 1, 2]


@pytest.mark.parametrize("touched_exit", [False, True], ids=["close_mode", "intrabar"])
def test_an_exit_on_a_walks_last_bar(market, touched_exit):
    # C falls on the last bar: intrabar it is sold there, in close mode its
    # mark is left for a next bar that never comes (the report shows it).
    prices = [row[:] for row in PRICES]
    prices[-1][2] = 10.0
    mk = three_stocks(market, prices)
    got = both_paths(mk, dict(stop_loss=0.3, touched_exit=touched_exit))
    trades = [[int(x) for x in t] for t in vantrel.orbalt.trades]
    if touched_exit:
        assert trades[0] == [2, 1, 6] and got.trades["exit_bar"][0] == 6  # closed trades come first
    else:
        assert [exit_bar for _, _, exit_bar in trades] == [-1, -1, -1]
        assert vantrel.get_stock_operations()["actions"] == {2: "sl"}


def test_trailing_stops_with_activation_and_missing_prices(market):
    # A climbs, arms its trailing stop and falls back through it while its
    # high, low and close go missing around the fall.
    prices = [[100.0, 50.0, 20.0], [100.0, 50.0, 20.0], [104.0, 51.0, 20.5], [112.0, NAN, 21.0],
              [111.0, 52.0, 21.5], [106.0, 53.0, 22.0], [107.0, 54.0, 22.5], [108.0, 55.0, 23.0]]
    high = [row[:] for row in prices]
    high[4][0] = NAN
    close = [row[:] for row in prices]
    close[5][0] = NAN
    mk = three_stocks(market, prices, high=high, close=close)
    for touched_exit in (False, True):
        opts = dict(stop_loss=0.5, trail_stop=0.04, trail_stop_activation=0.1, touched_exit=touched_exit)
        got = both_paths(mk, opts)
        assert 3 in list(got.trades["reason"])  # trail_stop


def test_exits_are_taken_in_stock_order(market):
    # Two exits on one bar move the cash in stock order, and the trade rows
    # follow it: taken the other way round, the cash's last bits and the
    # rows' order differ from the model's.
    prices = [[1.0, 1.0], [1.0, 1.0], [1.1, 1.1], [0.7000000000000001, 0.7], [0.71, 0.72]]
    mk = market(prices, [[0.37, 0.61]], resample=[0])
    for touched_exit in (False, True):
        opts = dict(stop_loss=0.2, fee_ratio=0.0031, tax_ratio=0.0017, touched_exit=touched_exit)
        both_paths(mk, opts)
        assert [int(t[0]) for t in vantrel.orbalt.trades] == [0, 1]



def test_a_sold_holding_revalued_by_an_infinite_ratio(market):
    # Both stocks are stopped out intrabar on bar 2 and stay in the map at 0
    # until the stretch ends; B's trading price near the largest double on
    # bar 3 turns its 0 into NaN (0 x inf), which the bar loop keeps to the end.
    big, nan = 1.7976931348623157e308, NAN
    p = [[1.10, 0.78], [1.23, 0.74], [1.36, 0.71], [1.21, big], [1.34, 0.60], [1.49, 0.60]]
    c = [[1.10, 0.77], [1.23, 0.73], [1.33, 0.70], [1.19, big], [1.32, 0.58], [1.48, 0.60]]
    h = [[1.14, 0.80], [1.27, 0.76], [1.37, 0.73], [1.22, big], [1.36, 0.60], [nan, 0.61]]
    lo = [[nan, 0.76], [1.21, 0.72], [1.31, 0.69], [1.16, 0.62], [1.29, 0.57], [1.45, 0.58]]
    o = [[1.11, 0.78], [1.25, 0.74], [1.35, 0.73], [1.22, big], [1.36, 0.60], [1.52, 0.61]]
    mk = market(p, [[0, 0.25], [-0.5, 0.25], [2.5, 0.25]], close=c, high=h, low=lo, open=o,
                price_index=[0, 30, 40, 50, 60, 70], pos_index=[-20, 20, 50])
    opts = dict(fee_ratio=0.0, tax_ratio=0.0, stop_loss=0.0, take_profit=0.0, touched_exit=True)
    got = both_paths(mk, opts)
    assert np.isnan(got.equity[3:]).all() and not np.isnan(got.equity[:3]).any()
    # In an account the NaN holding has no shares; its exit still fills,
    # under an order of its own.
    got = assert_same_as_model(mk, {**opts, "capital": 1e6})
    assert len(got.fills["order"]) > 0 and (got.fills["order"] >= 0).all()


def test_a_holding_taking_a_freed_lane_keeps_its_trackers(market):
    # A is sold early in the second stretch, so C walks on beside B from
    # there, with the trailing stop it armed in the first stretch (trackers
    # kept over the rebalance of bar 4): it is stopped on bar 7, at 1.15.
    prices = [[1.0, 1.0, 1.0, 1.0], [1.0, 1.0, 1.0, 1.0], [1.0, 1.0, 1.1, 1.0], [1.0, 1.0, 1.2, 1.0],
              [1.0, 1.0, 1.17, 1.0], [0.4, 1.0, 1.17, 1.0], [0.4, 1.0, 1.16, 1.0], [0.4, 1.0, 1.12, 1.0],
              [0.4, 1.0, 1.12, 1.0], [0.4, 1.0, 1.12, 1.0]]
    mk = market(prices, [[0.25] * 4, [0.25] * 4], pos_index=[0, 30], resample=[0, 30])
    opts = dict(stop_loss=0.5, trail_stop=0.05, trail_stop_activation=0.1, retain_cost_when_rebalance=True)
    for touched_exit in (False, True):
        both_paths(mk, dict(opts, touched_exit=touched_exit))
        assert [int(t[0]) for t in vantrel.orbalt.trades if t[2] >= 0] == [0, 2]


def test_a_pair_stopped_by_one_holding_walks_both_on_alone(market):
    # Without stops A and B walk as a pair and C alone. B's trading price
    # below 1e-7 on bar 4 is a bar the pair cannot take: B is walked again
    # alone from the stretch's start and A goes on alone from bar 5.
    prices = [row[:] for row in PRICES]
    prices[3][2] = 20.2
    prices[4][1] = 5e-8
    prices[5][1] = 6e-8
    mk = three_stocks(market, prices)
    got = both_paths(mk, dict(stop_loss=math.inf, fee_ratio=0.0021, tax_ratio=0.0013))
    assert 0 < got.equity[4] < 0.7
