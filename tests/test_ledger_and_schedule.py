"""The ledger's cost rules, the rebalance schedule, missing and invalid
trading prices, and the trade rows a run leaves in the recorder.

Expected values are written with the ledger's own formulas in its order of
operations, so results compare exactly:
  purchase: cash - amount, position (amount - cost) + held
  sale:     cash (-amount - cost) + cash, position amount + held
  close:    cash (held - |held| * (fee + tax)) + cash
with cost = |amount| * fee for an entry (opening, adding, flipping) and
|amount| * (fee + tax) for an exit (reducing, closing).
"""

import math
import traceback

import numpy as np
import pytest

import model
from vostra.core import vantrel

orbalt = vantrel.orbalt

NAN = math.nan
INF = math.inf
FEE, TAX = 0.01, 0.005
NO_COST = dict(fee_ratio=0.0, tax_ratio=0.0)


def trades():
    return [[int(x) for x in t] for t in orbalt.trades]


# --- Ledger -----------------------------------------------------------------

def test_open_add_reduce_flip_add_cover_close(market):
    price = [10.0, 10.0, 12.0, 15.0, 12.0, 8.0, 10.0, 10.0]
    weights = [[0.6], [0.9], [0.3], [-0.4], [-0.7], [-0.2], [0.0]]
    creturn = vantrel.backtest_(*market(price, weights), fee_ratio=FEE, tax_ratio=TAX,
                                periodically_rebalance=False)

    expected = [1.0]
    # bar 1: open a long: an entry, the fee comes out of the position.
    amount = 0.6 * (1.0 / 1.0)
    cash, pos = 1.0 - amount, (amount - amount * FEE) + 0.0
    expected.append(cash + pos * 10.0 / 10.0)
    # bar 2: add to the long: an entry.
    pos = pos * (12.0 / 10.0)
    balance = cash + pos
    amount = 0.9 * (balance / 1.0) - pos
    cash, pos = cash - amount, (amount - abs(amount) * FEE) + pos
    expected.append(cash + pos * 12.0 / 12.0)
    # bar 3: reduce the long: an exit, fee and tax come out of the proceeds.
    pos = pos * (15.0 / 12.0)
    balance = cash + pos
    amount = 0.3 * (balance / 1.0) - pos
    cash, pos = (-amount - abs(amount) * (FEE + TAX)) + cash, amount + pos
    expected.append(cash + pos * 15.0 / 15.0)
    # bar 4: flip to a short: an entry for the whole amount, no tax.
    pos = pos * (12.0 / 15.0)
    balance = cash + pos
    amount = -0.4 * (balance / 1.0) - pos
    cash, pos = (-amount - abs(amount) * FEE) + cash, amount + pos
    expected.append(cash + pos * 12.0 / 12.0)
    # bar 5: add to the short: an entry.
    pos = pos * (8.0 / 12.0)
    balance = cash + pos
    amount = -0.7 * (balance / 1.0) - pos
    cash, pos = (-amount - abs(amount) * FEE) + cash, amount + pos
    expected.append(cash + pos * 8.0 / 8.0)
    # bar 6: buy back part of the short: a purchase that is an exit.
    pos = pos * (10.0 / 8.0)
    balance = cash + pos
    amount = -0.2 * (balance / 1.0) - pos
    cash, pos = cash - amount, (amount - abs(amount) * (FEE + TAX)) + pos
    expected.append(cash + pos * 10.0 / 10.0)
    # bar 7: close the short.
    cash = (pos - abs(pos) * (FEE + TAX)) + cash
    expected.append(cash)

    assert creturn.tolist() == expected
    # Without periodic splits the resizes and the flip stay in one trade row.
    assert trades() == [[0, 1, 7]]
    assert [float(x) for x in orbalt.trade_positions] == [0.6]


@pytest.mark.parametrize("side", [1.0, -1.0])
def test_position_limit_caps_each_target_at_a_share_of_the_balance(market, side):
    # The row adds up to 2, so each target is halved; A's half (0.75 of the
    # balance) is then capped at 0.5 of the balance, on its own side.
    price = [[10, 10], [10, 10], [12, 10], [12, 10]]
    mk = market(price, [[1.5 * side, 0.5], [1.5 * side, 0.5]], pos_index=[0, 10])
    creturn = vantrel.backtest_(*mk, fee_ratio=FEE, tax_ratio=0.0, position_limit=0.5,
                                periodically_rebalance=True, stop_loss=INF)

    balance = 1.0
    a = balance * 0.5 * side                  # capped
    b = 0.5 * (balance / 2.0)                 # not capped
    if side > 0:
        cash, pos_a = 1.0 - a, (a - a * FEE) + 0.0
    else:
        cash, pos_a = (-a - abs(a) * FEE) + 1.0, a + 0.0
    cash, pos_b = cash - b, (b - b * FEE) + 0.0
    assert creturn[1] == (cash + pos_a * 10.0 / 10.0) + pos_b * 10.0 / 10.0
    # bar 2: A moved, so the cap of the second rebalance is a share of a new balance.
    pos_a = pos_a * (12.0 / 10.0)
    balance = (cash + pos_a) + pos_b
    target_a = balance * 0.5 * side
    assert [float(x) for x in orbalt.trade_positions][-2] == target_a / balance
    assert [float(x) for x in orbalt.trade_positions][:2] == [0.5 * side, 0.25]
    assert trades()[:2] == [[0, 1, 2], [1, 1, 2]]


@pytest.mark.parametrize("weights, targets", [
    ([0.25, 0.25], [0.25, 0.25]),     # half of the balance stays in cash
    ([1.5, -0.5], [0.75, -0.25]),     # a row adding up to 2 is halved
])
def test_rows_below_one_stay_partly_in_cash_and_rows_above_one_are_scaled(market, weights, targets):
    price = [[10, 10], [10, 10], [14, 8]]
    creturn = vantrel.backtest_(*market(price, [weights]), **NO_COST, stop_loss=INF)
    cash = 1.0
    for t in targets:
        cash = cash - t if t > 0 else (-t - 0.0) + cash
    assert creturn[1] == (cash + targets[0] * 10.0 / 10.0) + targets[1] * 10.0 / 10.0
    held = [targets[0] * (14.0 / 10.0), targets[1] * (8.0 / 10.0)]
    assert creturn[2] == (cash + held[0] * 14.0 / 14.0) + held[1] * 8.0 / 8.0


def test_a_zero_row_closes_every_holding(market):
    price = [[10, 20], [10, 20], [11, 18], [11, 18]]
    mk = market(price, [[0.5, -0.25], [0.0, 0.0]], pos_index=[0, 10])
    creturn = vantrel.backtest_(*mk, fee_ratio=FEE, tax_ratio=TAX)
    cash = 1.0 - 0.5
    pos_a = (0.5 - 0.5 * FEE) + 0.0
    cash, pos_b = (0.25 - 0.25 * FEE) + cash, -0.25 + 0.0
    pos_a, pos_b = pos_a * (11.0 / 10.0), pos_b * (18.0 / 20.0)
    cash = (pos_a - abs(pos_a) * (FEE + TAX)) + cash
    cash = (pos_b - abs(pos_b) * (FEE + TAX)) + cash
    assert creturn[2] == cash and creturn[3] == cash
    assert trades() == [[0, 1, 2], [1, 1, 2]]
    report = vantrel.get_stock_operations()
    assert report["weights"] == {} and report["weight_time"] == 1


def run_engine(mk, **options):
    creturn = vantrel.backtest_(*mk, **options)
    return creturn.tolist(), trades(), [float(x) for x in orbalt.trade_positions]


def run_model(mk, **options):
    result = model.backtest(*mk, **options)
    return list(result.creturn), result.trades, result.trade_positions


@pytest.mark.parametrize("run", [run_engine, run_model], ids=["engine", "model"])
def test_a_rebalance_at_a_negative_balance_closes_everything_and_opens_nothing(market, run):
    # A full short whose price triples leaves the balance below 0. The next
    # rebalance closes the short (paying its costs) and opens nothing: not B's
    # weight, not the zero weights, not the unpriced Z.
    price = [[10, 10], [10, 10], [30, 10], [30, 10], [30, 10]]
    mk = market(price, [[-1.0, 0.0, 0.0], [-1.0, 0.5, 0.0]], pos_index=[0, 20], pos_columns=["A", "B", "Z"])
    creturn, rows, positions = run(mk, fee_ratio=FEE, tax_ratio=TAX, stop_loss=INF)

    cash, pos = (1.0 - 1.0 * FEE) + 1.0, -1.0 + 0.0   # bar 1: open the short, an entry
    expected = [1.0, cash + pos * 10.0 / 10.0]
    pos = pos * (30.0 / 10.0)                          # bar 2: the balance falls below 0
    expected.append(cash + pos * 30.0 / 30.0)
    assert expected[2] < 0
    cash = (pos - abs(pos) * (FEE + TAX)) + cash       # bar 3: closed, nothing opened
    expected += [cash, cash]
    assert creturn == expected
    assert rows == [[0, 1, 3]] and positions == [-1.0]


@pytest.mark.parametrize("run", [run_engine, run_model], ids=["engine", "model"])
def test_a_negative_balance_with_nothing_held_opens_nothing(market, run):
    # The short is closed by a zero row while the balance is below 0; the
    # rebalances after it find nothing to close and open nothing either.
    price = [[10, 10], [10, 10], [30, 10], [30, 10], [30, 10], [30, 10]]
    mk = market(price, [[-1.0, 0.0], [0.0, 0.0], [0.5, 0.5]], pos_index=[0, 20, 30])
    creturn, rows, _ = run(mk, **NO_COST, stop_loss=INF)
    assert creturn[3:] == [-1.0, -1.0, -1.0]
    assert rows == [[0, 1, 3]]


# --- Schedule ---------------------------------------------------------------------

RISING = [10.0, 11.0, 12.0, 13.0, 14.0, 15.0]   # bars dated 0, 10, ..., 50


@pytest.mark.parametrize("pos_index, weights, resample, expected_trades, expected_weight", [
    pytest.param([0], [[1.0]], None, [[0, 1, -1]], [1.0], id="signal-on-bar-0-trades-on-bar-1"),
    pytest.param([0, 19], [[0.0], [1.0]], None, [[0, 2, -1]], [1.0], id="signal-before-the-next-bar"),
    pytest.param([0, 20], [[0.0], [1.0]], None, [[0, 3, -1]], [1.0], id="signal-dated-on-the-next-bar-waits"),
    pytest.param([0], [[1.0]], [-5], [[0, 1, -1]], [1.0], id="resample-before-the-first-bar-marks-bar-0"),
    pytest.param([0], [[1.0]], [99], [], [], id="resample-after-the-last-bar-marks-the-last-bar"),
    pytest.param([0], [[1.0]], [15], [[0, 2, -1]], [1.0], id="resample-between-bars-marks-the-bar-before"),
    pytest.param([0], [[1.0]], [12, 15], [[0, 2, -1]], [1.0], id="two-resamples-in-one-interval"),
    pytest.param([0, 15], [[0.0], [1.0]], [0, 40], [[0, 5, -1]], [1.0], id="unmarked-bar-waits-for-a-marked-one"),
    pytest.param([0, 15, 25], [[0.0], [0.5], [0.25]], [0, 40], [[0, 5, -1]], [0.25],
                 id="a-waiting-row-replaced-before-the-marked-bar"),
    pytest.param([0, 11, 12, 13], [[0.0], [0.25], [0.5], [0.75]], None, [[0, 2, -1]], [0.75],
                 id="several-rows-between-two-bars-only-the-last-applies"),
    pytest.param([10], [[1.0]], [0], [], [], id="a-mark-in-the-warm-up-schedules-nothing"),
    pytest.param([25], [[1.0]], [25], [], [], id="a-mark-on-the-last-warm-up-bar-schedules-nothing"),
    pytest.param([25], [[1.0]], None, [[0, 4, -1]], [1.0], id="first-signal-after-the-warm-up"),
])
def test_schedule(market, pos_index, weights, resample, expected_trades, expected_weight):
    # Periodic splits are on: a second rebalance to the same row would add rows.
    mk = market(RISING, weights, pos_index=pos_index, resample=resample)
    vantrel.backtest_(*mk, **NO_COST, periodically_rebalance=True)
    assert trades() == expected_trades
    assert [float(x) for x in orbalt.trade_positions] == expected_weight


def test_warm_up_bars_are_exactly_one(market):
    mk = market([3.0, 7.0, 5.0, 10.0, 10.0, 12.0], [[1.0]], pos_index=[25])
    creturn = vantrel.backtest_(*mk, **NO_COST)
    assert creturn.tolist() == [1.0, 1.0, 1.0, 1.0, 1.0 * 10 / 10, 1.0 * (12 / 10) * 12 / 12]


def test_an_empty_resample_never_rebalances(market):
    mk = market(RISING, [[1.0]], resample=[])
    creturn = vantrel.backtest_(*mk)
    assert creturn.tolist() == [1.0] * 6
    assert trades() == []
    assert vantrel.get_stock_operations()["weight_time"] == -1


def test_the_last_bar_takes_every_later_signal_row_but_never_trades_it(market):
    mk = market(RISING, [[0.5], [1.0]], pos_index=[0, 100])
    vantrel.backtest_(*mk, **NO_COST)
    assert trades() == [[0, 1, -1]]
    assert [float(x) for x in orbalt.trade_positions] == [0.5]
    report = vantrel.get_stock_operations()
    assert (report["weight_time"], report["next_weight_time"]) == (0, 1)
    assert report["actions"] == {0: "hold"}


def test_an_empty_signal_index_fails_on_the_first_bar(market):
    mk = market(RISING, [[1.0]])
    vantrel.backtest_(*mk, retain_cost_when_rebalance=True, periodically_rebalance=False)
    previous = vantrel.get_stock_operations()
    empty = mk._replace(pos_values=np.zeros((0, 1)), pos_index=np.array([], dtype=np.int64))
    with pytest.raises(IndexError, match=r"^Out of bounds on buffer access \(axis 0\)$"):
        vantrel.backtest_(*empty)
    assert (vantrel.RETAIN_COST_WHEN_REBALANCE, vantrel.RESAMPLE) == (False, True)
    assert vantrel.get_stock_operations() == previous


def test_no_bars_at_all(market):
    mk = market(np.zeros((0, 1)), [[0.5]], pos_index=[0])
    assert vantrel.backtest_(*mk).shape == (0,)
    assert trades() == []
    assert vantrel.get_stock_operations() == {"actions": {}, "weights": {}, "next_weights": {0: 0.5},
                                              "weight_time": -1, "next_weight_time": 0}


# --- Missing trading and closing prices ------------------------------------------

@pytest.mark.parametrize("price, close, expected", [
    # A missing trading price carries the position at its value; the next
    # price is measured against the last valid one.
    ([10, 10, 12, NAN, 15], [10, 10, 12, 13, 15],
     [1.0, 1.0, 1.2 * 12 / 12, 1.2, 1.2 * (15 / 12) * 15 / 15]),
    # A missing close also carries the position at its trading-price value.
    ([10, 10, 12, 13, 15], [10, 10, 12, NAN, 14],
     [1.0, 1.0, 1.2 * 12 / 12, 1.2 * (13 / 12), 1.2 * (13 / 12) * (15 / 13) * 14 / 15]),
    # Entered on a bar without a trading price: carried at its entry value,
    # and its first ratio (on the next priced bar) is 1.
    ([10, NAN, 12, 15], [10, 11, 12, 15], [1.0, 1.0, 1.0 * 12 / 12, 1.0 * (15 / 12) * 15 / 15]),
])
def test_missing_prices_never_fail_the_run(market, price, close, expected):
    creturn = vantrel.backtest_(*market(price, [[1.0]], close=close), **NO_COST)
    assert creturn.tolist() == expected


def test_a_missing_price_on_a_rebalance_bar_drops_the_move_to_the_next_price(market):
    # Rebalances on bars 1 and 3; bar 3 has no trading price, so the move
    # from 12 (bar 2) to 20 (bar 4) is never credited.
    weights, pos_index = [[1.0], [1.0]], [0, 20]
    creturn = vantrel.backtest_(*market([10, 10, 12, NAN, 20, 20], weights, pos_index=pos_index), **NO_COST)
    assert creturn.tolist() == [1.0, 1.0, 1.2 * 12 / 12, 1.2, 1.2 * 20 / 20, 1.2 * 20 / 20]
    priced = vantrel.backtest_(*market([10, 10, 12, 16, 20, 20], weights, pos_index=pos_index), **NO_COST)
    assert priced[4] == 1.2 * (16 / 12) * (20 / 16) * 20 / 20


# --- Invalid trading prices --------------------------------------------------------

@pytest.mark.parametrize("value, text", [(-2.5, "-2.5"), (0.0, "0.0"), (-0.0, "-0.0"), (INF, "inf"),
                                         (-INF, "-inf"), (-3.0, "-3.0")])
@pytest.mark.parametrize("entry_row", [1, 17])
def test_an_invalid_trading_price_of_a_held_stock_stops_the_run(market, value, text, entry_row):
    # Held from bar 1 (checked when revalued), or entered on the bad bar itself
    # (checked when marked to the close).
    price = [10.0] * 20
    price[17] = value
    mk = market(price, [[0.0], [1.0]], pos_index=[0, entry_row - 1], price_columns=["AB12"])
    idle = mk._replace(resample=np.array([], dtype=np.int64))
    vantrel.backtest_(*idle, retain_cost_when_rebalance=True, periodically_rebalance=False)
    previous = vantrel.get_stock_operations()
    with pytest.raises(ValueError) as excinfo:
        vantrel.backtest_(*mk, retain_cost_when_rebalance=False, periodically_rebalance=True)
    assert str(excinfo.value) == (f"Invalid trading price for AB12 at price row 17: {text}. Expected a positive "
                                  "finite price; check the trading-price dataset.")
    frames = traceback.extract_tb(excinfo.tb)[-2:]
    assert [(f.name, f.filename) for f in frames] == [("vostra.core.vantrel.backtest_", "core/vantrel"),
                                                      ("vostra.core.vantrel.validate_trade_price", "core/vantrel")]
    # The run had started: its settings are stored, the report is the last one.
    assert vantrel.RETAIN_COST_WHEN_REBALANCE is False and vantrel.RESAMPLE is True
    assert vantrel.get_stock_operations() == previous


@pytest.mark.parametrize("value", [NAN, 1e-300, 1.7976931348623157e308])
def test_tiny_huge_and_missing_prices_are_usable(market, value):
    price = [10.0, 10.0, value, 10.0]
    creturn = vantrel.backtest_(*market(price, [[1.0]]), **NO_COST)
    assert creturn[3] == pytest.approx(1.0)


def test_invalid_prices_of_stocks_not_held_are_ignored(market):
    price = [[10, -1], [10, 0], [11, INF]]
    creturn = vantrel.backtest_(*market(price, [[1.0, 0.0]]), **NO_COST)
    assert creturn.tolist() == [1.0, 1.0, 1.1]


# --- Trade rows in the recorder ----------------------------------------------------

def exit_group_return(price, entry, exit, entry_paid, exit_paid):
    """Return of the recorder's exit group for a long trade of a stock whose
    close equals its trading price (so the exit revaluation factor is 1)."""
    ratio = price[entry] / price[entry]
    if entry_paid:
        ratio = ratio * (1 - FEE)
    for k in range(entry + 1, exit + 1):
        ratio = ratio * (price[k] / price[k - 1])
    if exit_paid:
        ratio = ratio * (price[exit] / price[exit]) * (1 - FEE - TAX)
    return ratio - 1


@pytest.mark.parametrize("retain, periodic, rows", [
    # A stock held through a periodic rebalance is split into two rows; the
    # split itself pays no costs.
    (False, True, [((0, 1, 3), True, False), ((0, 3, 5), False, True), ((1, 3, 5), True, False),
                   ((1, 5, -1), False, False)]),
    (True, True, [((0, 1, 5), True, True), ((1, 3, -1), True, False)]),
    (False, False, [((0, 1, 5), True, True), ((1, 3, -1), True, False)]),
    (True, False, [((0, 1, 5), True, True), ((1, 3, -1), True, False)]),
])
def test_recorder_rows_of_a_run(market, retain, periodic, rows):
    a, b = [10.0, 10.0, 11.0, 12.0, 12.5, 13.0], [20.0, 20.0, 20.0, 22.0, 24.0, 25.0]
    mk = market(np.array([a, b]).T, [[0.5, 0.0], [0.5, 0.25], [0.0, 0.25]], pos_index=[0, 20, 40])
    vantrel.backtest_(*mk, fee_ratio=FEE, tax_ratio=TAX, retain_cost_when_rebalance=retain,
                      periodically_rebalance=periodic)
    assert trades() == [list(row) for row, _, _ in rows]
    prices = [a, b]
    for (sid, entry, exit), entry_paid, exit_paid in rows:
        last = exit if exit >= 0 else len(a) - 1
        excursion = orbalt.orbalt[trades().index([sid, entry, exit])]
        assert excursion.shape == (6,)
        assert excursion[-1] == exit_group_return(prices[sid], entry, last, entry_paid, exit_paid)
    positions = [float(x) for x in orbalt.trade_positions]
    assert positions[0] == 0.5
    assert positions == pytest.approx([0.5 if sid == 0 else 0.25 for (sid, _, _), _, _ in rows], rel=1e-12)


def test_split_settings_are_read_when_a_held_stock_is_traded(market):
    # The ledger reads RESAMPLE by name at every trade: a change made during
    # the run (here by the stop-trading truth test, which runs at each
    # rebalance) takes effect at once, however often the name was read before.
    class TurnsSplittingOff:
        calls = 0

        def __bool__(self):
            TurnsSplittingOff.calls += 1
            if TurnsSplittingOff.calls == 3:
                vantrel.RESAMPLE = False
            return False

    mk = market(RISING, [[1.0], [0.9], [0.8], [0.7]], pos_index=[0, 10, 20, 30], resample=[0, 10, 20, 30])
    vantrel.backtest_(*mk, **NO_COST)
    split_every_time = len(trades())
    vantrel.backtest_(*mk, stop_trading_next_period=TurnsSplittingOff(), **NO_COST)
    assert TurnsSplittingOff.calls >= 3
    # One split (at the second rebalance), then none.
    assert len(trades()) == 2 < split_every_time
    assert vantrel.RESAMPLE is False


# --- Bars on which nothing trades ----------------------------------------------------

@pytest.mark.parametrize("fortran", [False, True], ids=["C", "F"])
@pytest.mark.parametrize("prices, close", [
    # Without any stop only a return tracker that overflows to +inf reaches a
    # level: the stock is marked on the close and sold on the next bar.
    ([[1e-200, 10.0], [1e-200, 10.5], [1e200, 11.0], [1e200, 11.5], [1e200, 12.0], [1e200, 12.5]], None),
    # A finite return at the close over a trading price below 1 overflows.
    ([[0.5, 10.0], [0.5, 10.5], [0.5, 11.0], [0.5, 11.5], [0.5, 12.0], [0.5, 12.5]],
     [[0.5, 10.0], [0.5, 10.5], [1e308, 11.0], [0.5, 11.5], [0.5, 12.0], [0.5, 12.5]]),
    # Missing prices, a price that comes back, a tiny one.
    ([[10.0, 20.0], [NAN, 21.0], [11.0, NAN], [NAN, NAN], [1e-300, 22.0], [12.0, 23.0]], None),
], ids=["overflow", "overflow below 1", "gaps"])
@pytest.mark.parametrize("swap", [False, True], ids=["as given", "swapped"])
def test_stretches_without_trades_match_the_model(market, prices, close, fortran, swap):
    # Holdings are walked two by two: swapping the columns puts each case
    # in the other one of a pair.
    if swap:
        prices = [row[::-1] for row in prices]
        close = close and [row[::-1] for row in close]
    mk = market(prices, [[0.5, 0.5]], close=close, resample=[0])
    if fortran:
        mk = mk._replace(**{k: np.asfortranarray(getattr(mk, k)) for k in
                            ("price_values", "close_values", "high_values", "low_values", "open_values")})
    opts = dict(NO_COST, stop_loss=INF)  # no stop at all
    expected = model.backtest(*mk, **opts)
    got = vantrel.backtest_(*mk, **opts)
    assert np.array_equal(got, expected.creturn, equal_nan=True), (got, expected.creturn)
    assert [[int(x) for x in t] for t in orbalt.trades] == expected.trades
