"""The excursion recorder (vostra.core.orbalt), driven through its export table.

Expected values are written as the metric formulas in the recorder's order of
operations, so results are compared exactly; NaN compares equal to NaN.
"""

import ctypes
import math
import os
import subprocess
import sys
import traceback
import tracemalloc

import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from support import child_env

NAN = math.nan


def col(values):
    """A one-column float64 matrix, rows are bars."""
    return np.array(values, dtype=np.float64).reshape(-1, 1)


def one_trade(rec, close, price=None, *, entry=0, exit=1, position=1.0, entry_cost=0, exit_cost=0,
              fee=0.0, tax=0.0, window=0, step=1):
    """Records one trade of stock 0 (price column 0) and returns its excursion array."""
    close = col(close)
    price = close if price is None else col(price)
    rec.start_analysis(price, close, {0: 0}, 1, fee, tax, window, step)
    rec.record_date(entry)
    rec.record_entry(0, position, entry_cost)
    rec.record_date(exit)
    rec.record_exit(0, exit_cost)
    return rec.orbalt.orbalt[-1]


# --- Reference: the metric definitions, for inputs that raise nothing -------

def bar_groups(price, close, i_entry, i_last, is_long, entry_cost=False, exit_cost=False, fee=0.0, tax=0.0):
    """The six metrics (mae, gmfe, bmfe, mdd, profit bars, return) at every bar
    from i_entry to i_last of one price column (lists of Python floats)."""
    r = close[i_entry] / price[i_entry]
    if not is_long:
        r = 2 - r
    if entry_cost:
        r = r * (1 - fee)
    returns, cmax, cmin, cmin_i = [r], [1.0 if r < 1.0 else r], [1.0 if r > 1.0 else r], [0]
    mdd, profit = [r - 1 if r - 1 < 0 else 0.0], [1.0 if r > 1.0 else 0.0]
    pv = close[i_entry]
    for k in range(1, i_last - i_entry + 1):
        p = close[i_entry + k]
        if not math.isnan(p):
            v = p / pv
            pv = p
            if not math.isnan(v):
                r = r * v if is_long else 2 - v * (2 - r)
        cmax.append(r if r > cmax[-1] else cmax[-1])
        if r < cmin[-1]:
            cmin.append(r)
            cmin_i.append(k - 1)
        else:
            cmin.append(cmin[-1])
            cmin_i.append(cmin_i[-1])
        newmdd = r / cmax[-1] - 1
        mdd.append(newmdd if mdd[-1] > newmdd else mdd[-1])
        profit.append(profit[-1] + 1 if not math.isnan(p) and r > 1.0 else profit[-1])
        returns.append(r)
    if exit_cost:
        if i_last != i_entry:
            pv, p = price[i_last], close[i_last]
            returns[-1] = returns[-1] * (pv / p) if is_long else 2 - ((2 - returns[-1]) * pv) / p
        returns[-1] = returns[-1] * (1 - fee - tax)
    return [[cmin[w] - 1, cmax[w] - 1, cmax[cmin_i[w]] - 1, mdd[w], profit[w], returns[w] - 1]
            for w in range(len(returns))]


def excursions(price, close, i_entry, i_exit, is_long, entry_cost=False, exit_cost=False, fee=0.0, tax=0.0,
               window=0, step=1):
    i_last = min(max(i_exit, i_entry + window), len(close) - 1)
    bars = bar_groups(price, close, i_entry, i_last, is_long, entry_cost, exit_cost, fee, tax)
    out = np.full((window - 1) // step * 6 + 12, -1.0)
    for g, w in enumerate(range(0, min(window, len(bars)), step)):
        out[6 * g:6 * g + 6] = bars[w]
    out[-6:] = bars[min(i_exit - i_entry, len(bars) - 1)]
    return out


def groups(a):
    return np.asarray(a).reshape(-1, 6)


# --- Arithmetic ---------------------------------------------------------------

def test_long_trade_two_bar_window(recorder):
    out = one_trade(recorder, [10.0, 9.0, 12.0], window=2, step=1)
    r1 = 1.0 * (9.0 / 10.0)
    down = [r1 - 1, 0.0, 0.0, r1 / 1.0 - 1, 0.0, r1 - 1]
    np.testing.assert_array_equal(out, [0.0] * 6 + down + down)
    assert recorder.orbalt.trades == [[0, 0, 1]]
    assert recorder.orbalt.trade_positions == [1.0]


@pytest.mark.parametrize("exit_cost", [0, 1], ids=["no_exit_cost", "exit_cost"])
def test_short_trade_loses_as_closes_rise(recorder, exit_cost):
    fee, tax = 0.001425, 0.003
    out = one_trade(recorder, [10.0, 11.0], [10.0, 11.5], position=-1.0, window=1, step=1,
                    fee=fee, tax=tax, exit_cost=exit_cost)
    r0 = 2 - 10.0 / 10.0
    r1 = 2 - (11.0 / 10.0) * (2 - r0)
    ret = r1
    if exit_cost:
        ret = (2 - ((2 - r1) * 11.5) / 11.0) * (1 - fee - tax)
    np.testing.assert_array_equal(out, [0.0] * 6 + [r1 - 1, 0.0, 0.0, r1 / 1.0 - 1, 0.0, ret - 1])


# A path with an entry fee: 0.99 → up, up, down; the trade price differs from
# the close on every bar.
CLOSES = [10.0, 11.0, 12.0, 9.0, 13.0]
PRICES = [10.0, 10.5, 12.5, 9.5, 14.0]
FEE, TAX = 0.01, 0.02


@pytest.mark.parametrize(
    "rows, exit, window, exit_cost, scenario",
    [
        # Shorter than the window, data ending inside it: the costs land on
        # the last bar of the span (bar 3), the exit group (bar 1) has none.
        (4, 1, 5, 1, "window_past_exit"),
        # At least as long as the window: the exit bar is the last bar.
        (5, 3, 2, 1, "exit_past_window"),
        (5, 3, 2, 0, "exit_past_window_no_exit_cost"),
    ],
    ids=lambda v: v if isinstance(v, str) else None,
)
def test_exit_costs_go_to_last_bar_of_span(recorder, rows, exit, window, exit_cost, scenario):
    out = one_trade(recorder, CLOSES[:rows], PRICES[:rows], exit=exit, window=window, step=1,
                    entry_cost=1, exit_cost=exit_cost, fee=FEE, tax=TAX)
    r0 = (10.0 / 10.0) * (1 - FEE)
    r1 = r0 * (11.0 / 10.0)
    r2 = r1 * (12.0 / 11.0)
    r3 = r2 * (9.0 / 12.0)
    costed = r3 * (9.5 / 9.0) * (1 - FEE - TAX)
    bar3 = [r3 - 1, r2 - 1, r2 - 1, r3 / r2 - 1, 2.0]  # close-based metrics of bar 3
    g = groups(out)
    if scenario == "window_past_exit":
        assert len(g) == 6
        np.testing.assert_array_equal(g[:, 5], [r0 - 1, r1 - 1, r2 - 1, costed - 1, -1.0, r1 - 1])
        np.testing.assert_array_equal(g[3], bar3 + [costed - 1])
        np.testing.assert_array_equal(g[4], [-1.0] * 6)
    else:
        assert len(g) == 3
        last = costed if exit_cost else r3
        np.testing.assert_array_equal(g[:, 5], [r0 - 1, r1 - 1, last - 1])
        np.testing.assert_array_equal(g[2], bar3 + [last - 1])


def test_entry_on_last_row_still_pays_exit_costs(recorder):
    fee, tax = 0.01, 0.02
    out = one_trade(recorder, [10.0, 12.0, 15.0], [10.0, 11.0, 14.0], entry=2, exit=2, window=3, step=1,
                    entry_cost=1, exit_cost=1, fee=fee, tax=tax)
    r0 = (15.0 / 14.0) * (1 - fee)
    bar0 = [0.0, r0 - 1, r0 - 1, 0.0, 1.0, r0 * (1 - fee - tax) - 1]
    np.testing.assert_array_equal(out, bar0 + [-1.0] * 12 + bar0)


def test_missing_closes_repeat_the_previous_ratio(recorder):
    out = one_trade(recorder, [10.0, 11.0, NAN, 12.0, NAN], exit=4, window=5, step=1)
    r1 = 1.0 * (11.0 / 10.0)
    r3 = r1 * (12.0 / 11.0)  # measured from the last valid close
    g = groups(out)
    assert len(g) == 6
    np.testing.assert_array_equal(g[:, 5], [0.0, r1 - 1, r1 - 1, r3 - 1, r3 - 1, r3 - 1])
    np.testing.assert_array_equal(g[:, 1], [0.0, r1 - 1, r1 - 1, r3 - 1, r3 - 1, r3 - 1])
    np.testing.assert_array_equal(g[:, 4], [0.0, 1.0, 1.0, 2.0, 2.0, 2.0])


@pytest.mark.parametrize(
    "close, price",
    [([NAN, 11.0, 12.0], [10.0, 11.0, 12.0]), ([10.0, 11.0, 12.0], [NAN, 11.0, 12.0])],
    ids=["nan_entry_close", "nan_entry_price"],
)
def test_missing_entry_price_spoils_the_whole_trade(recorder, close, price):
    g = groups(one_trade(recorder, close, price, window=2, step=1))
    assert len(g) == 3
    assert np.isnan(g[:, [0, 1, 2, 5]]).all()
    np.testing.assert_array_equal(g[:, [3, 4]], 0.0)


def test_missing_close_on_revalued_exit_bar_gives_nan_return(recorder):
    out = one_trade(recorder, [10.0, 11.0, NAN], [10.0, 11.0, 12.0], exit=2, exit_cost=1, fee=0.01)
    r1 = 1.0 * (11.0 / 10.0)
    np.testing.assert_array_equal(out, [0.0, r1 - 1, 0.0, 0.0, 1.0, NAN])


def test_zero_close_without_exit_revaluation_is_a_total_loss(recorder):
    out = one_trade(recorder, [10.0, 11.0, 0.0], [10.0, 11.0, 12.0], exit=2)
    r1 = 1.0 * (11.0 / 10.0)
    np.testing.assert_array_equal(out, [-1.0, r1 - 1, r1 - 1, 0.0 / r1 - 1, 1.0, -1.0])


# --- Window groups and the exit group ---------------------------------------

PATH_CLOSE = [10.0, 9.0, 12.0, 11.0, 13.0, 8.0, 14.0, 10.0, 15.0, 12.0]
PATH_PRICE = [c + 0.5 for c in PATH_CLOSE]


@pytest.mark.parametrize(
    "rows, entry, exit, window, step, size, window_offsets, exit_offset",
    [
        (6, 1, 3, 0, 1, 6, [], 2),  # span is the trade itself
        (6, 1, 3, 0, 3, 6, [], 2),  # (0 - 1) // 3 rounds down
        (6, 1, 3, 1, 1, 12, [0], 2),
        (10, 1, 2, 5, 2, 24, [0, 2, 4], 1),  # followed past the exit
        (10, 1, 2, 6, 4, 18, [0, 4], 1),
        (6, 3, 4, 5, 1, 36, [0, 1, 2, None, None], 1),  # data ends at bar offset 2
        (6, 2, 5, 2, 1, 18, [0, 1], 3),  # trade longer than the window
        (6, 2, 2, 3, 1, 24, [0, 1, 2], 0),  # exit on the entry bar
    ],
    ids=["window0", "window0_step3", "window1", "step2", "step4_uneven", "data_ends_early", "trade_past_window", "same_bar"],
)
@pytest.mark.parametrize("exit_cost", [0, 1], ids=["open", "closed"])
def test_group_placement(recorder, rows, entry, exit, window, step, size, window_offsets, exit_offset, exit_cost):
    fee, tax = 0.001425, 0.003
    out = one_trade(recorder, PATH_CLOSE[:rows], PATH_PRICE[:rows], entry=entry, exit=exit, window=window,
                    step=step, entry_cost=1, exit_cost=exit_cost, fee=fee, tax=tax)
    i_last = min(max(exit, entry + window), rows - 1)
    bars = bar_groups(PATH_PRICE, PATH_CLOSE, entry, i_last, True, True, exit_cost, fee, tax)
    expected = [bars[w] if w is not None else [-1.0] * 6 for w in window_offsets] + [bars[exit_offset]]
    assert out.shape == (size,)
    np.testing.assert_array_equal(groups(out), expected)


# Any trade on a small random grid against the reference.
@st.composite
def trade_cases(draw):
    rows = draw(st.integers(1, 9))
    cell = st.tuples(st.integers(0, 5), st.floats(0.5, 50.0)).map(lambda t: NAN if t[0] == 0 else t[1])
    price = np.array(draw(st.lists(cell, min_size=2 * rows, max_size=2 * rows))).reshape(rows, 2)
    close = np.array(draw(st.lists(cell, min_size=2 * rows, max_size=2 * rows))).reshape(rows, 2)
    entry = draw(st.integers(0, rows - 1))
    return dict(
        price=price, close=close, pid=draw(st.integers(0, 1)), entry=entry, exit=draw(st.integers(entry, rows - 1)),
        position=draw(st.sampled_from([1.0, 0.25, -1.0, -0.0, 0.0, NAN])),
        entry_cost=draw(st.integers(0, 1)), exit_cost=draw(st.integers(0, 1)),
        fee=draw(st.sampled_from([0.0, 0.001425, 0.1])), tax=draw(st.sampled_from([0.0, 0.003, 0.2])),
        window=draw(st.integers(0, 10)), step=draw(st.integers(1, 4)),
    )


# Reporting a failing example imports a code formatter that warns on import;
# keep that from hiding the example.
@pytest.mark.filterwarnings("ignore:mypy_extensions.TypedDict is deprecated:DeprecationWarning")
@settings(max_examples=300, deadline=None, database=None,
          suppress_health_check=[HealthCheck.function_scoped_fixture])  # every example starts its own run
@given(case=trade_cases())
def test_trade_matches_reference(recorder, case):
    c = case
    recorder.start_analysis(c["price"], c["close"], {1: c["pid"]}, 2, c["fee"], c["tax"], c["window"], c["step"])
    recorder.record_date(c["entry"])
    recorder.record_entry(1, c["position"], c["entry_cost"])
    recorder.record_date(c["exit"])
    recorder.record_exit(1, c["exit_cost"])
    expected = excursions(c["price"][:, c["pid"]].tolist(), c["close"][:, c["pid"]].tolist(), c["entry"], c["exit"],
                          c["position"] > 0, c["entry_cost"], c["exit_cost"], c["fee"], c["tax"], c["window"],
                          c["step"])
    np.testing.assert_array_equal(recorder.orbalt.orbalt[0], expected)
    assert recorder.orbalt.trades == [[1, c["entry"], c["exit"]]]
    np.testing.assert_array_equal(recorder.orbalt.trade_positions, [c["position"]])


@pytest.mark.parametrize("window, step, exit_cost", [(90, 1, 1), (130, 1, 0), (200, 2, 1), (250, 1, 1), (300, 3, 0)])
@pytest.mark.parametrize("seed", range(3))
def test_long_windows_match_reference(recorder, window, step, exit_cost, seed):
    # Arrays of a long window are written by streaming stores; the values
    # must be those of the reference all the same, gaps and clipping included.
    rng = np.random.default_rng(seed)
    rows = 160
    price = 100 * np.exp(np.cumsum(rng.normal(0, 0.02, (rows, 2)), axis=0))
    close = price * np.exp(rng.normal(0, 0.01, (rows, 2)))
    close[rng.random((rows, 2)) < 0.05] = NAN
    entry = int(rng.integers(0, 40))
    exit = int(rng.integers(entry, rows))
    recorder.start_analysis(price, close, {1: 1}, 2, 0.001425, 0.003, window, step)
    recorder.record_date(entry)
    recorder.record_entry(1, 0.5 if seed != 1 else -0.5, 1)
    recorder.record_date(exit)
    recorder.record_exit(1, exit_cost)
    expected = excursions(price[:, 1].tolist(), close[:, 1].tolist(), entry, exit, seed != 1, 1, exit_cost,
                          0.001425, 0.003, window, step)
    np.testing.assert_array_equal(recorder.orbalt.orbalt[0], expected)


# --- Failures -------------------------------------------------------------------

def _trade_row(rec):
    return rec.orbalt.trades[-1]


@pytest.mark.parametrize(
    "close, price, kw, error, message",
    [
        ([10.0, 10.0, 11.0], [0.0, 10.0, 11.0], {}, ZeroDivisionError, "float division"),
        ([0.0, 10.0, 11.0], [0.0, 10.0, 11.0], {}, ZeroDivisionError, "float division"),
        ([10.0, 0.0, 5.0], None, dict(exit=2), ZeroDivisionError, "float division"),
        ([10.0, 11.0, 0.0], [10.0, 11.0, 12.0], dict(exit=2, exit_cost=1), ZeroDivisionError, "float division"),
        ([10.0, 11.0, 12.0], None, dict(step=0), ZeroDivisionError, "integer division or modulo by zero"),
        # The walk comes before the array size.
        ([10.0, 11.0, 12.0], [0.0, 11.0, 12.0], dict(step=0), ZeroDivisionError, "float division"),
        ([10.0, 11.0, 12.0], None, dict(entry=5, exit=5), OverflowError, "can't convert negative value to size_t"),
        ([10.0, 11.0, 12.0, 13.0], None, dict(entry=2, exit=1, window=-1, exit_cost=1), UnboundLocalError,
         "local variable 'ith' referenced before assignment"),
        ([10.0, 11.0, 12.0, 13.0], None, dict(entry=2, exit=1, window=-1), IndexError,
         "Out of bounds on buffer access (axis 0)"),
    ],
    ids=["zero_entry_price", "zero_entry_price_and_close", "zero_previous_close", "zero_close_at_revaluation",
         "zero_window_step", "zero_window_step_after_zero_price", "entry_past_data", "empty_span_exit_cost",
         "array_too_small"],
)
def test_failing_record_exit(recorder, close, price, kw, error, message):
    kw = {"entry": 0, "exit": 1, **kw}
    with pytest.raises(error) as info:
        one_trade(recorder, close, price, **kw)
    assert str(info.value) == message
    orbalt = recorder.orbalt
    assert len(orbalt.trades) == len(orbalt.trade_positions) == len(orbalt.orbalt) + 1
    assert orbalt.trades == [[0, kw["entry"], kw["exit"]]]
    entries = [(f.name, f.filename) for f in traceback.extract_tb(info.tb)]
    assert ("vostra.core.orbalt.record_exit", "core/orbalt") in entries


@pytest.mark.parametrize("corrupt", ["column", "entry_date"])
def test_out_of_range_reads_raise(recorder, corrupt):
    close = col([10.0, 11.0])
    recorder.start_analysis(close, close, {0: 3 if corrupt == "column" else 0}, 1, 0.0, 0.0, 0, 1)
    recorder.record_entry(0, 1.0, 0)
    if corrupt == "entry_date":
        recorder.variables()[0][0] = 2**40
    recorder.record_date(1)
    error = IndexError if corrupt == "column" else OverflowError
    with pytest.raises(error) as info:
        recorder.record_exit(0, 0)
    if corrupt == "entry_date":
        assert str(info.value) == "value too large to convert to int"
    orbalt = recorder.orbalt
    assert len(orbalt.trades) == len(orbalt.trade_positions) == len(orbalt.orbalt) + 1


def test_end_analysis_stops_at_first_failure(recorder):
    close = np.array([[10.0, 10.0, 10.0], [11.0, 11.0, 11.0]])
    price = close.copy()
    price[0, 1] = 0.0
    recorder.start_analysis(price, close, {0: 0, 1: 1, 2: 2}, 3, 0.0, 0.0, 0, 1)
    for sid in range(3):
        recorder.record_entry(sid, 1.0, 0)
    recorder.record_date(1)
    with pytest.raises(ZeroDivisionError, match="^float division$") as info:
        recorder.end_analysis({0: 1.0, 1: 1.0, 2: 1.0})
    orbalt = recorder.orbalt
    assert orbalt.trades == [[0, 0, -1], [1, 0, -1]]
    assert len(orbalt.trade_positions) == 2 and len(orbalt.orbalt) == 1
    entries = [(f.name, f.filename) for f in traceback.extract_tb(info.tb)]
    assert ("vostra.core.orbalt.end_analysis", "core/orbalt") in entries


# --- Recorder state and trade rows ----------------------------------------------

def test_end_analysis_adds_open_trades_by_stock_id(recorder):
    fee, tax = 0.01, 0.02
    rng = np.random.default_rng(3)
    close = rng.uniform(5.0, 15.0, (5, 4))
    price = rng.uniform(5.0, 15.0, (5, 4))
    recorder.start_analysis(price, close, {0: 3, 1: 2, 2: 1, 3: 0}, 4, fee, tax, 1, 1)
    recorder.record_date(0)
    recorder.record_entry(2, 0.5, 1)
    recorder.record_date(1)
    recorder.record_entry(0, -0.25, 1)
    recorder.record_entry(1, NAN, 0)
    recorder.record_entry(3, 0.1, 1)
    recorder.record_date(2)
    recorder.record_exit(3, 1)
    recorder.record_date(3)
    assert recorder.end_analysis({3: 0.0, 2: 0.5, 1: NAN, 0: -0.0}) is None

    orbalt = recorder.orbalt
    assert orbalt.trades == [[3, 1, 2], [1, 1, -1], [2, 0, -1]]
    np.testing.assert_array_equal(orbalt.trade_positions, [0.1, NAN, 0.5])
    p, c = price.T.tolist(), close.T.tolist()
    expected = [
        excursions(p[0], c[0], 1, 2, True, True, True, fee, tax, 1, 1),
        excursions(p[2], c[2], 1, 3, False, False, False, fee, tax, 1, 1),  # NaN weight: short, still open
        excursions(p[1], c[1], 0, 3, True, True, False, fee, tax, 1, 1),  # open trades pay no exit costs
    ]
    for got, want in zip(orbalt.orbalt, expected, strict=True):
        np.testing.assert_array_equal(got, want)


@pytest.mark.parametrize("pos", [{}, {0: 0.0, 1: -0.0}], ids=["empty", "flat"])
def test_end_analysis_without_open_trades_adds_nothing(recorder, pos):
    close = col([10.0, 11.0])
    recorder.start_analysis(close, close, {0: 0}, 2, 0.0, 0.0, 0, 1)
    recorder.record_entry(0, 1.0, 0)
    recorder.record_entry(1, 1.0, 0)
    assert recorder.end_analysis(pos) is None
    assert recorder.orbalt.trades == [] and recorder.orbalt.orbalt == []


def test_exit_without_entry_is_a_short_trade_from_bar_zero(recorder):
    close, price = col([10.0, 11.0, 12.0]), col([8.0, 11.0, 12.0])
    recorder.start_analysis(price, close, {0: 0}, 1, 0.5, 0.0, 0, 1)
    recorder.record_date(2)
    recorder.record_exit(0, 0)
    assert recorder.orbalt.trades == [[0, 0, 2]]
    assert recorder.orbalt.trade_positions == [0.0]
    want = excursions(price[:, 0].tolist(), close[:, 0].tolist(), 0, 2, False, False, False, 0.5, 0.0, 0, 1)
    np.testing.assert_array_equal(recorder.orbalt.orbalt[0], want)


def test_second_exit_reuses_the_latest_entry(recorder):
    close = col([10.0, 11.0, 12.0, 13.0])
    recorder.start_analysis(close, close, {0: 0}, 1, 0.0, 0.0, 0, 1)
    recorder.record_date(1)
    recorder.record_entry(0, 0.7, 0)
    for d in (2, 3):
        recorder.record_date(d)
        recorder.record_exit(0, 0)
    assert recorder.orbalt.trades == [[0, 1, 2], [0, 1, 3]]
    assert recorder.orbalt.trade_positions == [0.7, 0.7]


def test_start_analysis_keeps_the_current_bar(recorder):
    close = col([10.0, 11.0, 12.0, 13.0, 14.0])
    recorder.start_analysis(close, close, {0: 0}, 1, 0.0, 0.0, 0, 1)
    recorder.record_date(3)
    recorder.start_analysis(close, close, {0: 0}, 1, 0.0, 0.0, 0, 1)
    recorder.record_entry(0, 1.0, 0)
    recorder.record_exit(0, 0)
    recorder.record_date(4)
    recorder.record_exit(0, 0)
    assert recorder.orbalt.trades == [[0, 3, 3], [0, 3, 4]]


@pytest.mark.parametrize("nstocks, sid", [(0, 0), (3, 3), (3, -4)])
def test_stock_id_outside_arrays_raises_index_error(recorder, nstocks, sid):
    close = col([10.0, 11.0])
    recorder.start_analysis(close, close, {}, nstocks, 0.0, 0.0, 0, 1)
    with pytest.raises(IndexError):
        recorder.record_entry(sid, 1.0, 1)
    with pytest.raises(IndexError):
        recorder.record_exit(sid, 0)
    assert recorder.orbalt.trades == [] and recorder.orbalt.trade_positions == []


def test_negative_stock_id_counts_from_the_end(recorder):
    close = col([10.0, 11.0, 12.0])
    recorder.start_analysis(close, close, {}, 3, 0.0, 0.0, 0, 1)
    recorder.record_date(1)
    recorder.record_entry(-1, 0.5, 1)
    entry, position = recorder.variables()
    np.testing.assert_array_equal(entry, [0, 0, 1])
    np.testing.assert_array_equal(position, [0.0, 0.0, 0.5])


def test_stock_missing_from_column_map_reads_column_zero(recorder):
    close = np.array([[10.0, 20.0], [11.0, 30.0]])
    recorder.start_analysis(close, close, {}, 2, 0.0, 0.0, 0, 1)
    recorder.record_entry(1, 1.0, 0)
    recorder.record_date(1)
    recorder.record_exit(1, 0)
    assert recorder.orbalt.orbalt[0][-1] == 1.0 * (11.0 / 10.0) - 1


def test_item_types(recorder):
    close = col([10.0, 11.0, 12.0])
    recorder.start_analysis(close, close, {0: 0}, 2, 0.0, 0.0, 2, 1)
    entry, position = recorder.variables()
    assert (entry.dtype, entry.shape, position.dtype, position.shape) == (np.int64, (2,), np.float64, (2,))
    recorder.record_entry(0, 1.0, 0)
    recorder.record_date(1)
    recorder.record_exit(0, 0)
    recorder.record_exit(0, 0)
    orbalt = recorder.orbalt
    assert [type(x) for x in orbalt.trades[0]] == [int, np.int64, int]
    assert type(orbalt.trade_positions[0]) is np.float64
    a, b = orbalt.orbalt
    for x in (a, b):
        assert type(x) is np.ndarray and x.dtype == np.float64 and x.ndim == 1
    assert not np.shares_memory(a, b)


@pytest.mark.parametrize(
    "price, close, message",
    [
        (np.ones(3), None, "Buffer has wrong number of dimensions (expected 2, got 1)"),
        (np.ones((3, 1), dtype=np.int64), None, "Buffer dtype mismatch, expected 'float64_t' but got 'long'"),
        (None, np.ones(3), "Buffer has wrong number of dimensions (expected 2, got 1)"),
        (None, np.ones((3, 1), dtype=np.int64), "Buffer dtype mismatch, expected 'float64_t' but got 'long'"),
    ],
    ids=["price_1d", "price_int", "close_1d", "close_int"],
)
def test_rejected_matrix_changes_nothing(recorder, price, close, message):
    good = col([10.0, 11.0, 12.5])
    recorder.start_analysis(good, col([9.0, 11.5, 12.0]), {0: 0}, 1, 0.01, 0.02, 2, 1)
    recorder.record_date(1)
    recorder.record_entry(0, 1.0, 1)
    recorder.record_date(2)
    recorder.record_exit(0, 1)
    orbalt = recorder.orbalt
    rows, first = list(orbalt.trades), orbalt.orbalt[0].copy()
    arrays = recorder.variables()

    other = col([20.0, 5.0, 7.0])  # valid, but would change the result if it were taken
    with pytest.raises(ValueError) as info:
        recorder.start_analysis(other if price is None else price, other if close is None else close,
                                {0: 1}, 5, 0.5, 0.5, 7, 3)
    assert str(info.value) == message
    assert orbalt.trades == rows and len(orbalt.orbalt) == 1
    assert all(x is y for x, y in zip(recorder.variables(), arrays, strict=True))
    recorder.record_exit(0, 1)  # same matrices, map, window and rates as before
    np.testing.assert_array_equal(orbalt.orbalt[1], first)


def test_later_step_failure_keeps_earlier_steps(recorder, monkeypatch):
    orbalt = recorder.orbalt
    close = col([10.0, 11.0, 12.0, 13.0])
    recorder.start_analysis(close, close, {0: 0}, 1, 0.1, 0.0, 1, 1)
    recorder.record_entry(0, 1.0, 1)
    monkeypatch.setattr(orbalt, "trades", ())
    new_close = col([10.0, 9.0, 8.0, 12.0])
    with pytest.raises(AttributeError):
        recorder.start_analysis(new_close, new_close, {0: 0}, 1, 0.0, 0.0, 3, 1)
    monkeypatch.setattr(orbalt, "trades", [])
    recorder.record_date(1)
    recorder.record_exit(0, 0)
    # New matrices and window; old rate and old entry arrays (the entry paid the fee).
    want = excursions(new_close[:, 0].tolist(), new_close[:, 0].tolist(), 0, 1, True, True, False, 0.1, 0.0, 3, 1)
    np.testing.assert_array_equal(orbalt.orbalt[-1], want)


def test_rebound_trade_list_receives_later_rows(recorder, monkeypatch):
    orbalt = recorder.orbalt
    close = col([10.0, 11.0])
    recorder.start_analysis(close, close, {0: 0}, 1, 0.0, 0.0, 0, 1)
    recorder.record_date(1)
    recorder.record_exit(0, 0)
    original = orbalt.trades
    replacement = ["kept until the next run"]
    monkeypatch.setattr(orbalt, "trades", replacement)
    recorder.record_exit(0, 0)
    assert replacement == ["kept until the next run", [0, 0, 1]]
    assert original == [[0, 0, 1]]
    recorder.start_analysis(close, close, {0: 0}, 1, 0.0, 0.0, 0, 1)
    assert replacement == [] and original == [[0, 0, 1]]
    assert orbalt.trade_positions == [] and orbalt.orbalt == []


def test_matrices_are_read_at_exit_not_copied(recorder):
    close = col([10.0, 11.0])
    recorder.start_analysis(close, close, {0: 0}, 1, 0.0, 0.0, 0, 1)
    recorder.record_entry(0, 1.0, 0)
    close[1, 0] = 13.0
    recorder.record_date(1)
    recorder.record_exit(0, 0)
    assert recorder.orbalt.orbalt[0][-1] == 1.0 * (13.0 / 10.0) - 1


@pytest.mark.parametrize("layout", ["fortran", "strided"])
def test_matrix_layout_does_not_change_results(recorder, layout):
    rng = np.random.default_rng(11)
    price = rng.uniform(5.0, 15.0, (8, 3))
    close = rng.uniform(5.0, 15.0, (8, 3))
    close[4, 1] = NAN

    def run(p, c):
        recorder.start_analysis(p, c, {0: 1, 1: 2}, 3, 0.001425, 0.003, 3, 2)
        recorder.record_date(1)
        recorder.record_entry(0, 0.6, 1)
        recorder.record_entry(1, -0.4, 1)
        recorder.record_date(5)
        recorder.record_exit(1, 1)
        recorder.record_date(6)
        recorder.end_analysis({0: 0.6, 2: 0.1})
        return list(recorder.orbalt.trades), [a.copy() for a in recorder.orbalt.orbalt]

    def relayout(m):
        if layout == "fortran":
            return np.asfortranarray(m)
        big = np.zeros((2 * m.shape[0], 2 * m.shape[1] + 1))
        view = big[1::2, ::2][:, 1:]
        view[...] = m
        return view

    trades, arrays = run(price, close)
    p2, c2 = relayout(price), relayout(close)
    assert not p2.flags.c_contiguous and not c2.flags.c_contiguous
    trades2, arrays2 = run(p2, c2)
    assert trades2 == trades and len(arrays2) == len(arrays) == 3
    for a, b in zip(arrays, arrays2):
        np.testing.assert_array_equal(a, b)


# --- Export table and module initialisation -------------------------------------

SIGNATURES = {
    "entry": "PyArrayObject *",
    "position": "PyArrayObject *",
    "start_analysis": "void (PyArrayObject *, PyArrayObject *, std::map<int,int> , int, double, double, int, int)",
    "record_date": "void (int)",
    "record_entry": "void (int, double, int)",
    "record_exit": "void (int, int)",
    "end_analysis": "PyObject *(std::map<int,double>  &)",
}


def run_python(code):
    env = child_env()
    return subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, env=env, timeout=120)


def test_export_table_keys_in_order():
    done = run_python("from vostra.core import orbalt; print(list(orbalt.__pyx_capi__))")
    assert done.returncode == 0, done.stderr
    assert done.stdout == repr(list(SIGNATURES)) + "\n"


def test_capsule_names_are_signatures(recorder):
    get_name = ctypes.PYFUNCTYPE(ctypes.c_char_p, ctypes.py_object)(("PyCapsule_GetName", ctypes.pythonapi))
    capi = recorder.orbalt.__pyx_capi__
    assert {key: get_name(capsule).decode() for key, capsule in capi.items()} == SIGNATURES


@pytest.mark.parametrize(
    "code",
    [
        "import sys, importlib\n"
        "from vostra.core import orbalt\n"
        "del sys.modules['vostra.core.orbalt']\n"
        "importlib.import_module('vostra.core.orbalt')\n",
        "import importlib.util\n"
        "from vostra.core import orbalt\n"
        "spec = importlib.util.find_spec('vostra.core.orbalt')\n"
        "spec.loader.exec_module(importlib.util.module_from_spec(spec))\n",
    ],
    ids=["reimport", "exec_new_module"],
)
def test_second_initialisation_is_refused(code):
    done = run_python(code)
    assert done.returncode == 1
    assert done.stderr.splitlines()[-1] == (
        "RuntimeError: Module 'orbalt' has already been imported. Re-initialisation is not supported.")


# --- Memory of the excursion arrays ---------------------------------------------

PHYSICAL_MEMORY = os.sysconf("SC_PHYS_PAGES") * os.sysconf("SC_PAGE_SIZE")


def array_bytes(window, step=1):
    return ((window - 1) // step * 6 + 12) * 8


def largest_window(step=1):
    """The largest window whose trade array fits in a tenth of physical memory."""
    return ((PHYSICAL_MEMORY // 10 // 8 - 12) // 6) * step + 1


def too_large(window, step=1):
    return (f"orbalt_window={window} with orbalt_window_step={step} gives every trade an excursion array of "
            f"{array_bytes(window, step)} bytes, more than a tenth of this machine's physical memory "
            f"({PHYSICAL_MEMORY} bytes); choose a smaller orbalt_window or a larger orbalt_window_step")


@pytest.mark.parametrize("step", [1, 7])
def test_a_window_whose_trade_array_outgrows_memory_is_refused_at_the_start(recorder, step):
    window = largest_window(step)
    assert array_bytes(window, step) <= PHYSICAL_MEMORY // 10 < array_bytes(window + step, step)
    close = col([10.0, 11.0])
    recorder.start_analysis(close, close, {0: 0}, 1, 0.0, 0.0, 0, 1)
    recorder.record_date(1)
    recorder.record_exit(0, 0)
    rows = list(recorder.orbalt.trades)
    with pytest.raises(MemoryError) as info:
        recorder.start_analysis(close, close, {0: 0}, 1, 0.0, 0.0, window + step, step)
    assert str(info.value) == too_large(window + step, step)
    names = [f.name for f in traceback.extract_tb(info.tb)]
    assert "vostra.core.orbalt.start_analysis" in names
    assert recorder.orbalt.trades == rows  # refused before anything changed
    recorder.start_analysis(close, close, {0: 0}, 1, 0.0, 0.0, window, step)  # allocates nothing yet


def test_backtest_refuses_a_window_too_large_for_the_machine():
    from vostra.core import vantrel

    window = largest_window() + 1
    price = np.array([[10.0], [11.0], [12.0]])
    dates = np.array([0, 10, 20], dtype=np.int64)
    with pytest.raises(MemoryError) as info:
        vantrel.backtest_(price, price, price, price, price, dates, np.array(["A"], dtype=object),
                          np.array([[1.0]]), dates[:1], np.array(["A"], dtype=object), dates,
                          orbalt_window=window)
    assert str(info.value) == too_large(window)


def test_the_recycled_arrays_are_bounded_and_released(recorder):
    # A run leaves 40 trades of 2.4 MB each (96 MB). The next run with the
    # same window recycles at most 64 MiB of them while it runs, and keeps
    # none once it has completed.
    from vostra.core import vantrel

    window, bars = 50_000, 41
    price = np.linspace(10.0, 20.0, bars).reshape(-1, 1)
    dates = 10 * np.arange(bars, dtype=np.int64)
    labels = np.array(["A"], dtype=object)

    def run(weights, stop_trading=True):
        return vantrel.backtest_(price, price, price, price, price, dates, labels, weights,
                                 dates[:len(weights)], labels, dates, orbalt_window=window,
                                 stop_trading_next_period=stop_trading)

    class Meter:
        """Reads the traced memory when the run tests it for truth."""
        during = 0

        def __bool__(self):
            Meter.during = max(Meter.during, tracemalloc.get_traced_memory()[0])
            return True

    tracemalloc.start()
    try:
        run(np.ones((bars - 1, 1)))  # a held trade split at every rebalance
        assert len(recorder.orbalt.orbalt) == bars - 1
        assert tracemalloc.get_traced_memory()[0] > (bars - 1) * array_bytes(window)
        run(np.ones((1, 1)), Meter())
        after = tracemalloc.get_traced_memory()[0]
    finally:
        tracemalloc.stop()
    assert len(recorder.orbalt.orbalt) == 1
    assert 0 < Meter.during <= (64 << 20) + 2 * array_bytes(window)
    assert after <= 2 * array_bytes(window)


# --- Recorder lists changed while a run records into them -----------------------

def mismatch(trades, positions, excursions):
    return (f"orbalt.trades, orbalt.trade_positions and orbalt.orbalt hold {trades}, {positions} and "
            f"{excursions} items; they must hold one item per trade each (were they cleared or replaced while "
            "a run recorded into them?)")


@pytest.mark.parametrize("change", ["clear-trades", "replace-trades", "clear-excursions"])
def test_a_run_whose_lists_were_changed_midway_raises(market, monkeypatch, change):
    from vostra.core import vantrel

    orbalt = vantrel.orbalt

    class Meddler:
        """Changes a recorder list at the third rebalance's truth test."""
        calls = 0

        def __bool__(self):
            Meddler.calls += 1
            if Meddler.calls == 3:
                if change == "clear-trades":
                    orbalt.trades.clear()
                elif change == "replace-trades":
                    monkeypatch.setattr(orbalt, "trades", [])
                else:
                    orbalt.orbalt.clear()
            return True

    mk = market([[10, 20], [10, 20], [11, 21], [12, 22], [13, 23]],
                [[0.5, 0.5], [0.5, 0.0], [0.0, 0.5], [0.5, 0.5]], pos_index=[0, 10, 20, 30])
    with pytest.raises(RuntimeError) as info:
        vantrel.backtest_(*mk, stop_trading_next_period=Meddler())
    lengths = [len(orbalt.trades), len(orbalt.trade_positions), len(orbalt.orbalt)]
    assert len(set(lengths)) > 1
    assert str(info.value) == mismatch(*lengths)
    assert "vostra.core.orbalt.end_analysis" in [f.name for f in traceback.extract_tb(info.tb)]
    # The trade log refuses to pair the rows with the wrong weights.
    with pytest.raises(RuntimeError) as info:
        vantrel.get_trade_stocks(mk.pos_columns, mk.price_index, False)
    assert str(info.value) == mismatch(*lengths)


def test_the_trade_log_of_lists_changed_after_the_run_raises(market):
    from vostra.core import vantrel

    orbalt = vantrel.orbalt
    mk = market([[10, 20], [10, 20], [11, 21]], [[0.5, 0.5]])
    vantrel.backtest_(*mk)
    assert len(orbalt.trades) == 2
    del orbalt.trade_positions[0]
    with pytest.raises(RuntimeError) as info:
        vantrel.get_trade_stocks(mk.pos_columns, mk.price_index, False)
    assert str(info.value) == mismatch(2, 1, 2)


def test_the_previous_runs_items_are_released_where_nothing_sees_them(recorder):
    # A reused row drops the previous run's items before the run starts; a
    # finaliser among them runs then, and sees lists already cleared and
    # rows that are whole, not rows emptied halfway.
    orbalt = recorder.orbalt
    close = col([10.0, 11.0, 12.0])
    seen = []

    class Finalised:
        def __del__(self):
            seen.append([list(row) for row in orbalt.trades])

    recorder.start_analysis(close, close, {0: 0}, 1, 0.0, 0.0, 0, 1)
    for bar in (1, 2):
        recorder.record_date(bar)
        recorder.record_exit(0, 0)
    orbalt.trades[0][1] = Finalised()
    recorder.start_analysis(close, close, {0: 0}, 1, 0.0, 0.0, 0, 1)
    assert seen == [[]]
    recorder.record_date(2)
    recorder.record_exit(0, 0)
    assert orbalt.trades == [[0, 0, 2]]
