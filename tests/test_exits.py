"""Exit rules: stop-loss, take-profit and trailing stop (intrabar and on the
close), pending close-mode exits, stop trading, and delisting.

The traded stock A sits in signal column `sid`, 0 or 1, beside a flat stock
that is never traded: stock id 0 has no sign, so every side label is checked
for both ids. A long (or short) of the whole capital is opened on bar 1 at
100; the signal row is dated on bar 0.
"""

import math

import numpy as np
import pytest

from vostra.core import vantrel

orbalt = vantrel.orbalt

INF = math.inf
NAN = math.nan
FEE, TAX = 0.01, 0.005


def trades():
    return [[int(x) for x in t] for t in orbalt.trades]


@pytest.fixture(params=[0, 1], ids=["sid0", "sid1"])
def sid(request):
    return request.param


@pytest.fixture
def stock(market, sid):
    """Builds a market in which A (signal column `sid`) follows the given
    prices and its neighbour stays at 50."""

    def build(price, weights=((1.0,),), *, close=None, high=None, low=None, open=None, pos_index=None):
        def with_neighbour(m):
            return None if m is None else np.column_stack([np.array(m, dtype=float), np.full(len(price), 50.0)])

        rows = np.array(weights, dtype=float).reshape(-1)
        w = np.zeros((len(rows), 2))
        w[:, sid] = rows
        return market(with_neighbour(price), w, close=with_neighbour(close), high=with_neighbour(high),
                      low=with_neighbour(low), open=with_neighbour(open), price_columns=["A", "Z"],
                      pos_columns=["A", "Z"] if sid == 0 else ["Z", "A"], pos_index=pos_index)

    return build


def opened(weight):
    """Cash and position right after opening `weight` of a capital of 1."""
    if weight > 0:
        return 1.0 - weight, (weight - weight * FEE) + 0.0
    return (-weight - abs(weight) * FEE) + 1.0, weight + 0.0


def closed(cash, value):
    return (value - abs(value) * (FEE + TAX)) + cash


# --- Intrabar exits ------------------------------------------------------------------

ABOVE_90 = math.nextafter(90.0, INF)


@pytest.mark.parametrize("weight, options, bar2, level, label", [
    # bar2 = (open, high, low) of bar 2, whose trading price is 97.
    pytest.param(1.0, dict(stop_loss=0.1), (100, 100, 90), 1 - 0.1, "sl_", id="long-low-exactly-on-the-stop"),
    pytest.param(1.0, dict(stop_loss=0.1), (100, 100, ABOVE_90), None, None, id="long-low-an-ulp-above-the-stop"),
    pytest.param(1.0, dict(take_profit=0.1), (100, 110, 100), 1 + 0.1, "tp_", id="long-high-exactly-on-the-target"),
    pytest.param(1.0, dict(stop_loss=0.1), (80, 100, 80), 80 / 100, "sl_", id="long-open-gaps-below-the-stop"),
    pytest.param(1.0, dict(take_profit=0.1), (120, 125, 100), 120 / 100, "tp_", id="long-open-gaps-above-the-target"),
    pytest.param(1.0, dict(stop_loss=0.1, take_profit=0.1), (100, 115, 85), 1 + 0.1, "sl_",
                 id="long-both-levels-valued-at-the-target-labelled-stop"),
    pytest.param(-1.0, dict(stop_loss=0.1), (100, 110, 100), 1 + 0.1, "sl_", id="short-high-on-the-stop"),
    pytest.param(-1.0, dict(take_profit=0.2), (100, 100, 80), 1 - 0.2, "tp_", id="short-low-on-the-target"),
    pytest.param(-1.0, dict(stop_loss=0.1, take_profit=0.1), (100, 115, 85), 1 + 0.1, "sl_",
                 id="short-both-levels-valued-at-the-stop"),
    pytest.param(1.0, dict(stop_loss=0.1, take_profit=0.1), (NAN, NAN, NAN), None, None,
                 id="missing-open-high-low-never-exit"),
])
def test_intrabar_exits(stock, sid, weight, options, bar2, level, label):
    o, h, lo = bar2
    price = [100.0, 100.0, 97.0, 100.0]
    mk = stock(price, [[weight]], open=[100, 100, o, 100], high=[100, 100, h, 100], low=[100, 100, lo, 100])
    creturn = vantrel.backtest_(*mk, touched_exit=True, fee_ratio=FEE, tax_ratio=TAX,
                                **{"stop_loss": INF, **options})
    report = vantrel.get_stock_operations()
    if level is None:
        assert trades() == [[sid, 1, -1]]
        assert report["actions"] == {}
        return
    cash, pos = opened(weight)
    r = 97.0 / 100.0
    entry_pos = (pos * r) / (1.0 * r)
    after = closed(cash, entry_pos * level)
    assert creturn.tolist()[2:] == [after, after]
    assert trades() == [[sid, 1, 2]]
    assert report["actions"] == {sid: label}


def test_intrabar_levels_after_a_missing_reference_price(stock, sid):
    # Entered on a bar without a trading price: the next bar's trading price
    # becomes the reference, so its low is still tested against the stop.
    mk = stock([100.0, NAN, 100.0, 100.0], low=[100, NAN, 85, 100])
    creturn = vantrel.backtest_(*mk, touched_exit=True, stop_loss=0.1, fee_ratio=FEE, tax_ratio=TAX)
    cash, pos = opened(1.0)
    assert creturn[2] == closed(cash, (pos / 1.0) * (1 - 0.1))
    assert trades() == [[sid, 1, 2]]


# --- Close mode ----------------------------------------------------------------------

@pytest.mark.parametrize("options, close2, label", [
    pytest.param(dict(stop_loss=0.1), 90.0, None, id="close-exactly-on-the-stop-no-mark"),
    pytest.param(dict(stop_loss=0.1), math.nextafter(90.0, 0), "sl_", id="close-an-ulp-below-the-stop"),
    pytest.param(dict(take_profit=0.1), 110.0, "tp_", id="close-exactly-on-the-target-marks"),
    pytest.param(dict(take_profit=0.1), math.nextafter(110.0, 0), None, id="close-an-ulp-below-the-target"),
    pytest.param(dict(stop_loss=0.1), NAN, None, id="missing-close-never-marks"),
])
def test_close_mode_marks_and_next_bar_exits(stock, sid, options, close2, label):
    # Bar 2 closes at close2 with a trading price of 100; a mark is sold on
    # bar 3 at that bar's trading price, 105.
    mk = stock([100.0, 100.0, 100.0, 105.0, 105.0], close=[100, 100, close2, 105, 105])
    creturn = vantrel.backtest_(*mk, fee_ratio=FEE, tax_ratio=TAX, **{"stop_loss": INF, **options})
    if label is None:
        assert trades() == [[sid, 1, -1]]
        assert vantrel.get_stock_operations()["actions"] == {}
        return
    cash, pos = opened(1.0)
    after = closed(cash, pos * (105.0 / 100.0))
    assert creturn.tolist()[3:] == [after, after]
    assert trades() == [[sid, 1, 3]]
    assert vantrel.get_stock_operations()["actions"] == {sid: label}


# --- Trailing stop ------------------------------------------------------------------

def test_trailing_stop_is_not_armed_before_the_activation_gain(stock, sid):
    mk = stock([100.0, 100.0, 108.0, 100.0, 100.0], low=[100, 100, 108, 95, 100])
    vantrel.backtest_(*mk, touched_exit=True, stop_loss=INF, trail_stop=0.05, trail_stop_activation=0.1)
    assert trades() == [[sid, 1, -1]]


def test_long_trailing_stop_after_activation(stock, sid):
    # The best cumulative return is 1.2 (bar 2); bar 3's low reaches 1.12,
    # below the trailing level 1.2 - 0.05.
    mk = stock([100.0, 100.0, 120.0, 118.0, 118.0], low=[100, 100, 120, 112, 118])
    creturn = vantrel.backtest_(*mk, touched_exit=True, fee_ratio=FEE, tax_ratio=TAX, stop_loss=INF,
                                trail_stop=0.05, trail_stop_activation=0.1)
    cash, pos = opened(1.0)
    r2, r3 = 120.0 / 100.0, 118.0 / 120.0
    best = 1.0 * r2
    entry_pos = ((pos * r2) * r3) / (best * r3)
    assert creturn[3] == closed(cash, entry_pos * max(1 - INF, best - 0.05))
    assert trades() == [[sid, 1, 3]]
    assert vantrel.get_stock_operations()["actions"] == {sid: "sl_"}


def test_short_trailing_stop_after_activation(stock, sid):
    # The worst cumulative return is 0.8 (bar 2); bar 3's high reaches about
    # 0.86, above the trailing level 0.8 + 0.05.
    mk = stock([100.0, 100.0, 80.0, 82.0, 82.0], [[-1.0]], high=[100, 100, 80, 86, 82])
    creturn = vantrel.backtest_(*mk, touched_exit=True, fee_ratio=FEE, tax_ratio=TAX, stop_loss=INF,
                                trail_stop=0.05, trail_stop_activation=0.1)
    cash, pos = opened(-1.0)
    r2, r3 = 80.0 / 100.0, 82.0 / 80.0
    worst = 1.0 * r2
    entry_pos = ((pos * r2) * r3) / (worst * r3)
    assert creturn[3] == closed(cash, entry_pos * min(1 + INF, worst + 0.05))
    assert trades() == [[sid, 1, 3]]
    assert vantrel.get_stock_operations()["actions"] == {sid: "sl_"}


# --- Stops and the next rebalance --------------------------------------------------------

@pytest.mark.parametrize("touched_exit, stop_trading, expected", [
    # A close-mode mark is left to a rebalance that holds the stock ...
    (False, False, [[0, 1, -1]]),
    # ... unless stopped stocks sit out the next period: then it is sold and
    # its weight is zeroed in that rebalance.
    (False, True, [[0, 1, 3]]),
    # An intrabar stop re-enters at the next rebalance only without stop trading.
    (True, False, [[0, 1, 2], [0, 3, -1]]),
    (True, True, [[0, 1, 2]]),
])
def test_a_stopped_stock_and_the_next_rebalance(stock, sid, touched_exit, stop_trading, expected):
    # Bar 2 closes (and trades intrabar down to) 85, below the stop at 90; the
    # signal row dated on bar 2 still holds the stock and is traded on bar 3.
    mk = stock([100.0, 100.0, 100.0, 95.0, 95.0], [[1.0], [1.0]], pos_index=[0, 20],
               close=[100, 100, 85, 95, 95], low=[100, 100, 85, 95, 95])
    weights = mk.pos_values.copy()
    creturn = vantrel.backtest_(*mk, touched_exit=touched_exit, stop_trading_next_period=stop_trading,
                                stop_loss=0.1, fee_ratio=FEE, tax_ratio=TAX, periodically_rebalance=False)
    assert trades() == [[sid if s == 0 else s, e, x] for s, e, x in expected]
    assert np.array_equal(mk.pos_values, weights)
    if (touched_exit, stop_trading) == (False, True):
        cash, pos = opened(1.0)
        after = closed(cash, pos * (95.0 / 100.0))
        assert creturn.tolist()[3:] == [after, after]


def test_stop_trading_is_tested_for_truth(stock, sid):
    class Falsy:
        def __bool__(self):
            return False

    mk = stock([100.0, 100.0, 100.0, 95.0, 95.0], [[1.0], [1.0]], pos_index=[0, 20], low=[100, 100, 85, 95, 95])
    plain = vantrel.backtest_(*mk, touched_exit=True, stop_loss=0.1, stop_trading_next_period=False)
    plain_trades = trades()
    assert vantrel.backtest_(*mk, touched_exit=True, stop_loss=0.1,
                             stop_trading_next_period=Falsy()).tolist() == plain.tolist()
    assert trades() == plain_trades == [[sid, 1, 2], [sid, 3, -1]]


def test_a_failing_truth_test_of_stop_trading_ends_the_run(stock):
    class Broken:
        def __bool__(self):
            raise ZeroDivisionError("no truth here")

    mk = stock([100.0, 100.0, 100.0, 95.0])
    vantrel.backtest_(*mk)
    report = vantrel.get_stock_operations()
    with pytest.raises(ZeroDivisionError, match="no truth here"):
        vantrel.backtest_(*mk, stop_trading_next_period=Broken())
    assert vantrel.get_stock_operations() == report


# --- A holding closed by an intrabar stop ------------------------------------------

def test_a_flat_holding_has_no_exit_levels(stock, sid):
    # Stopped out on bar 2, the stock stays in the book with value 0. The
    # price then runs far above the old entry: that must not read as a
    # take-profit of the flat holding, nor move the cash.
    mk = stock([100.0, 100.0, 97.0, 150.0, 200.0], low=[100, 100, 85, 150, 200])
    creturn = vantrel.backtest_(*mk, touched_exit=True, stop_loss=0.1, take_profit=0.2, fee_ratio=FEE,
                                tax_ratio=TAX)
    assert creturn[2] == creturn[3] == creturn[4]
    assert trades() == [[sid, 1, 2]]
    assert vantrel.get_stock_operations()["actions"] == {sid: "sl_"}


# --- Delisting -------------------------------------------------------------------------

@pytest.mark.parametrize("bar, expected", [
    (-1, [[0, 1, -1]]),
    (9, [[0, 1, -1]]),      # after the data: never reached
    # Entered and delisted on bar 1; the rebalance of bar 3 enters it again.
    (1, [[0, 1, 1], [0, 3, -1]]),
    # Delisted on bar 3 right after the rebalance of bar 3 held it.
    (3, [[0, 1, 3]]),
])
def test_delisting_closes_a_held_stock(stock, sid, bar, expected):
    mk = stock([100.0, 100.0, 110.0, 121.0, 121.0], [[1.0], [1.0]], pos_index=[0, 20])
    bars = np.full(2, -1)
    bars[sid] = bar
    creturn = vantrel.backtest_(*mk, delisting_bars=bars, fee_ratio=FEE, tax_ratio=TAX,
                                periodically_rebalance=False)
    assert trades() == [[sid if s == 0 else s, e, x] for s, e, x in expected]
    report = vantrel.get_stock_operations()
    if bar == 3:
        cash, pos = opened(1.0)
        pos = pos * (110.0 / 100.0) * (121.0 / 110.0)
        assert creturn.tolist()[3:] == [closed(cash, pos)] * 2
        # The last rebalance held it, the book no longer does.
        assert report["weights"] == {sid: 0.0}
    if bar == 1:
        cash, pos = opened(1.0)
        assert creturn.tolist()[1:3] == [closed(cash, pos)] * 2


def test_a_delisted_stock_is_not_kept_out_by_stop_trading(stock, sid):
    mk = stock([100.0, 100.0, 110.0, 121.0, 121.0], [[1.0], [1.0]], pos_index=[0, 20])
    bars = np.full(2, -1)
    bars[sid] = 2
    vantrel.backtest_(*mk, delisting_bars=bars, stop_trading_next_period=True)
    assert trades() == [[sid, 1, 2], [sid, 3, -1]]
