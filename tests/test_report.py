"""The operations report, the trade log export and the weight and time
utilities."""

import datetime
import math
import subprocess
import sys
import traceback

import numpy as np
import pytest

from vostra.core import vantrel
from support import child_env

orbalt = vantrel.orbalt

NAN = math.nan
INF = math.inf
KEYS = ["actions", "weights", "next_weights", "weight_time", "next_weight_time"]


def trades():
    return [[int(x) for x in t] for t in orbalt.trades]


def pair(a, b=None):
    """Price matrix of stock A (column 0) beside B (column 1, flat at 50 unless given)."""
    b = [50.0] * len(a) if b is None else b
    return np.column_stack([np.array(a, dtype=float), np.array(b, dtype=float)])


# --- Weights of the report ------------------------------------------------------

def test_a_run_without_a_rebalance(market):
    mk = market(pair([10, 11, 12]), [[0.3, 0.3], [0.75, -0.75]], pos_index=[0, 10], resample=[])
    vantrel.backtest_(*mk)
    report = vantrel.get_stock_operations()
    assert list(report) == KEYS
    assert report == {"actions": {}, "weights": {}, "next_weights": {0: 0.75 / 1.5, 1: -0.75 / 1.5},
                      "weight_time": -1, "next_weight_time": 1}


@pytest.mark.parametrize("row, limit, expected", [
    ([0.6, 0.6], 1.0, {0: 0.6 / 1.2, 1: 0.6 / 1.2}),   # the sum 1.2 divides
    ([0.3, 0.3], 1.0, {0: 0.3, 1: 0.3}),               # a sum below 1 does not
    ([0.6, 0.6], 0.4, {0: 0.4, 1: 0.4}),               # capped after the division
    ([-0.9, 0.3], 0.5, {0: -0.5, 1: 0.3 / 1.2}),
])
def test_last_and_next_weights_are_normalised(market, row, limit, expected):
    mk = market(pair([10, 10, 11]), [row])
    vantrel.backtest_(*mk, position_limit=limit)
    report = vantrel.get_stock_operations()
    assert report["weights"] == expected and report["next_weights"] == expected
    assert (report["weight_time"], report["next_weight_time"]) == (0, 0)


@pytest.mark.parametrize("touched_exit, stop_trading, weights, next_weights", [
    # Sold by a close-mode stop: it reports 0, and the divisor still counts it.
    (False, True, {0: 0.0, 1: 0.5 / 1.25}, {1: 0.5 / 1.25}),
    (False, False, {0: 0.0, 1: 0.5 / 1.25}, {0: 0.75 / 1.25, 1: 0.5 / 1.25}),
    # Closed by an intrabar stop, it stays in the book and keeps its weight.
    (True, True, {0: 0.75 / 1.25, 1: 0.5 / 1.25}, {1: 0.5 / 1.25}),
    (True, False, {0: 0.75 / 1.25, 1: 0.5 / 1.25}, {0: 0.75 / 1.25, 1: 0.5 / 1.25}),
])
def test_a_stock_stopped_after_the_last_rebalance(market, touched_exit, stop_trading, weights, next_weights):
    low = close = [100, 100, 85, 95, 95]
    mk = market(pair([100, 100, 100, 95, 95]), [[0.75, 0.5]], close=pair(close), low=pair(low))
    vantrel.backtest_(*mk, stop_loss=0.1, touched_exit=touched_exit, stop_trading_next_period=stop_trading)
    report = vantrel.get_stock_operations()
    assert report["weights"] == weights
    assert report["next_weights"] == next_weights
    # No rebalance is due after the last bar: only the stop is reported.
    assert report["actions"] == {0: "sl_"}


# --- Actions ----------------------------------------------------------------------

def test_enter_exit_and_hold_when_a_rebalance_is_due(market):
    price = np.full((3, 4), 10.0)
    mk = market(price, [[0.25, 0.25, 0.0, 0.0], [0.25, 0.0, 0.25, 0.0]], pos_index=[0, 20])
    vantrel.backtest_(*mk)
    report = vantrel.get_stock_operations()
    assert report["actions"] == {0: "hold", 1: "exit", 2: "enter"}
    assert report["weights"] == {0: 0.25, 1: 0.25}
    assert report["next_weights"] == {0: 0.25, 2: 0.25}
    assert (report["weight_time"], report["next_weight_time"]) == (0, 1)


@pytest.fixture(params=[0, 1], ids=["sid0", "sid1"])
def sid(request):
    return request.param


def in_column(sid, rows):
    """Signal rows for A in column `sid`; the other column is a flat stock B."""
    w = np.zeros((len(rows), 2))
    for r, (a, b) in enumerate(rows):
        w[r, sid], w[r, 1 - sid] = a, b
    return w


@pytest.mark.parametrize("side, stop_trading, action", [
    ("stop", True, "sl_"),
    ("stop", False, "enter"),
    ("profit", True, "tp_"),
    ("profit", False, "enter"),
])
def test_a_stop_since_the_last_rebalance_and_a_due_entry(market, sid, side, stop_trading, action):
    # A is stopped out intrabar on bar 2; the row dated on the last bar
    # enters it again (and adds up to 1.25). B is held throughout.
    low, high = [100, 100, 85, 100, 100], [100, 100, 115, 100, 100]
    if side == "stop":
        high = None
    else:
        low = None
    labels = ["A", "B"] if sid == 0 else ["B", "A"]
    mk = market(pair([100, 100, 100, 100, 100]), in_column(sid, [(0.5, 0.5), (0.75, 0.5)]), pos_index=[0, 40],
                low=None if low is None else pair(low), high=None if high is None else pair(high),
                pos_columns=labels)
    vantrel.backtest_(*mk, touched_exit=True, stop_loss=0.1, take_profit=0.1,
                      stop_trading_next_period=stop_trading)
    report = vantrel.get_stock_operations()
    b = 1 - sid
    assert report["actions"] == {sid: action, b: "hold"}
    # A stock kept out of the due rebalance does not count in the divisor.
    assert report["next_weights"] == ({b: 0.5} if stop_trading else {sid: 0.75 / 1.25, b: 0.5 / 1.25})


@pytest.mark.parametrize("stop_trading, pos_index, rows, word", [
    (True, [0, 30], [(1.0, 0.0), (1.0, 0.0)], "{}"),
    # The latest row is dated on the last bar and holds the stock.
    (False, [0, 30], [(1.0, 0.0), (1.0, 0.0)], "{}_enter"),
    # The latest row drops it: the rebalance action stands.
    (False, [0, 30], [(1.0, 0.0), (0.0, 0.0)], "exit"),
    # The latest row is dated before the last bar.
    (False, [0], [(1.0, 0.0)], "{}"),
])
@pytest.mark.parametrize("side, close", [("sl", 85.0), ("tp", 115.0)])
def test_a_close_mode_mark_left_on_the_last_bar(market, sid, stop_trading, pos_index, rows, word, side, close):
    labels = ["A", "B"] if sid == 0 else ["B", "A"]
    mk = market(pair([100, 100, 100, 100]), in_column(sid, rows), close=pair([100, 100, 100, close]),
                pos_index=pos_index, pos_columns=labels)
    vantrel.backtest_(*mk, stop_loss=0.1, take_profit=0.1, stop_trading_next_period=stop_trading)
    assert vantrel.get_stock_operations()["actions"] == {sid: word.format(side)}


@pytest.mark.parametrize("fails_at", ["first-truth-test", "second-truth-test", "normalize_weight"])
def test_a_report_that_fails_half_way_leaves_the_last_report(market, monkeypatch, fails_at):
    # The report describes the last completed run: one that fails while its
    # report is built publishes none of it.
    class Broken:
        calls = 0

        def __bool__(self):
            Broken.calls += 1
            if fails_at == ("first-truth-test", "second-truth-test")[min(Broken.calls, 2) - 1]:
                raise KeyError("truth")
            return True

    def broken_normalize_weight(weights, limit):
        raise KeyError("normalize")

    mk = market(pair([10, 11, 12]), [[0.5, 0.5]])
    vantrel.backtest_(*mk)
    last = vantrel.get_stock_operations()
    assert last["weights"] == {0: 0.5, 1: 0.5}
    if fails_at == "normalize_weight":
        monkeypatch.setattr(vantrel, "normalize_weight", broken_normalize_weight)
    # Without a rebalance every truth test is the report's own.
    with pytest.raises(KeyError):
        vantrel.backtest_(*mk._replace(resample=np.array([], dtype=np.int64)), stop_trading_next_period=Broken())
    assert vantrel.get_stock_operations() == last
    assert vantrel.get_trade_stocks(mk.pos_columns, mk.price_index, False)[1] == last


# --- Trade log -----------------------------------------------------------------------

@pytest.fixture
def logged_run(market):
    """A closed on bar 3 by a zero weight, B entered on bar 3 and still open."""
    mk = market(pair([10, 10, 10, 15, 16], [20, 20, 20, 21, 22]), [[0.5, 0.0], [0.0, 0.25]],
                price_index=[100, 200, 300, 400, 500], pos_index=[100, 300], resample=[100, 300])
    vantrel.backtest_(*mk, fee_ratio=0.0, tax_ratio=0.0)
    assert trades() == [[0, 1, 3], [1, 3, -1]]
    return mk


@pytest.mark.parametrize("touched_exit", [False, True])
def test_trade_log_rows(logged_run, touched_exit):
    rows, report = vantrel.get_trade_stocks(logged_run.pos_columns, logged_run.price_index, touched_exit)
    assert rows == [["A", 200, 400, 100, 400 if touched_exit else 300, 0.5, 2, 1, 3],
                    ["B", 400, -1, 300, -1, 0.25, 5 - 3, 3, -1]]
    assert report is vantrel.get_trade_stocks(logged_run.pos_columns, logged_run.price_index, False)[1]
    assert report == vantrel.get_stock_operations()
    for row in rows:
        assert row[0] is logged_run.pos_columns[trades()[rows.index(row)][0]]
        assert all(type(row[i]) is int for i in (1, 2, 3, 4, 8))
        assert type(row[5]) is np.float64 and type(row[7]) is np.int64


def test_trade_log_reads_the_recorder_at_call_time(monkeypatch):
    monkeypatch.setattr(orbalt, "trades", [[1, 0, 2], [0, 2, -1]])
    monkeypatch.setattr(orbalt, "trade_positions", [np.float64(0.5), np.float64(-0.25)])
    monkeypatch.setattr(orbalt, "orbalt", [np.zeros(6), np.zeros(6)])
    labels = np.array(["A", "B"], dtype=object)
    dates = np.array([7, 8, 9, 10], dtype=np.int64)
    rows, _ = vantrel.get_trade_stocks(pos_columns=labels, price_index=dates, touched_exit=0)
    # An entry on row 0 takes its signal date from row -1, the last one.
    assert rows == [["B", 7, 9, 10, 8, 0.5, 2, 0, 2], ["A", 9, -1, 8, -1, -0.25, 2, 2, -1]]
    # Lists that no longer line up are refused, not paired row by row.
    monkeypatch.setattr(orbalt, "trade_positions", [np.float64(0.5)])
    with pytest.raises(RuntimeError, match=r"^orbalt.trades, orbalt.trade_positions and orbalt.orbalt hold 2, 1 "
                                           r"and 2 items; "):
        vantrel.get_trade_stocks(labels, dates, False)


def test_trade_log_without_trades(market):
    vantrel.backtest_(*market(pair([10, 11]), [[0.5, 0.5]], resample=[]))
    rows, report = vantrel.get_trade_stocks(None, None, True)
    assert rows == [] and report == vantrel.get_stock_operations()


@pytest.mark.parametrize("change", [
    lambda mk: (mk.pos_columns[:1], mk.price_index),
    lambda mk: (mk.pos_columns, mk.price_index[:3]),
    lambda mk: (None, mk.price_index),
    lambda mk: (mk.pos_columns, None),
])
def test_trade_log_arguments_of_another_run(logged_run, change):
    with pytest.raises(IndexError) as excinfo:
        vantrel.get_trade_stocks(*change(logged_run), False)
    assert traceback.extract_tb(excinfo.tb)[-1].name == "vostra.core.vantrel.get_trade_stocks"


@pytest.mark.parametrize("args, kwargs, error, message", [
    ((np.array(["A"], dtype=object), np.array([1])), {}, TypeError,
     "get_trade_stocks() takes exactly 3 positional arguments (2 given)"),
    ((np.array(["A"], dtype=object), np.array([1]), False, 1), {}, TypeError,
     "get_trade_stocks() takes exactly 3 positional arguments (4 given)"),
    ((np.array(["A"], dtype=object), np.array([1]), False), {"x": 1}, TypeError,
     "get_trade_stocks() got an unexpected keyword argument 'x'"),
    ((["A"], np.array([1]), False), {}, TypeError,
     "Argument 'pos_columns' has incorrect type (expected numpy.ndarray, got list)"),
    ((np.array(["A"], dtype=object), (1,), False), {}, TypeError,
     "Argument 'price_index' has incorrect type (expected numpy.ndarray, got tuple)"),
    ((np.array(["A"], dtype=object), np.array([1.0]), False), {}, ValueError,
     "Buffer dtype mismatch, expected 'int64_t' but got 'double'"),
    ((np.array([["A"]], dtype=object), np.array([1]), False), {}, ValueError,
     "Buffer has wrong number of dimensions (expected 1, got 2)"),
    ((np.array([1.0]), np.array([1]), False), {}, ValueError,
     "Buffer dtype mismatch, expected 'object' but got 'double'"),
])
def test_trade_log_argument_errors(args, kwargs, error, message):
    with pytest.raises(error) as excinfo:
        vantrel.get_trade_stocks(*args, **kwargs)
    assert str(excinfo.value) == message
    frame = traceback.extract_tb(excinfo.tb)[-1]
    assert (frame.name, frame.filename) == ("vostra.core.vantrel.get_trade_stocks", "core/vantrel")


def test_trade_log_rejects_fixed_width_string_labels():
    with pytest.raises(ValueError, match="^Buffer dtype mismatch, expected 'object' but got"):
        vantrel.get_trade_stocks(np.array(["A"]), np.array([1]), False)


# --- normalize_weight ----------------------------------------------------------------

@pytest.mark.parametrize("weights, limit, expected", [
    ({"a": 0.5, "b": 1.5}, 1.0, {"a": 0.25, "b": 0.75}),     # the sum 2 scales by 0.5
    ({"a": 0.6, "b": 0.2}, 0.5, {"a": 0.5, "b": 0.2}),       # a sum below 1 is only capped
    ({"a": -3, "b": 1}, 0.5, {"a": -0.5, "b": 0.25}),        # scaled to -0.75, then capped
    ({"a": 0.25, "b": 0.75}, 1.0, {"a": 0.25, "b": 0.75}),   # exactly 1 is not scaled
    ({"a": 1}, 1, {"a": 1}),
    ({}, 0.5, {}),
    ({1: np.float64(3.0), 2: np.float64(1.0)}, 0.7, {1: 0.7, 2: 0.25}),
])
def test_normalize_weight(weights, limit, expected):
    result = vantrel.normalize_weight(weights, limit)
    assert result is weights
    assert result == expected
    assert list(result) == list(expected)


def test_normalize_weight_caps_with_the_limit_object_itself():
    limit = 0.25
    weights = vantrel.normalize_weight({"a": 0.6, "b": -0.3, "c": 0.1}, limit)
    assert weights["a"] is limit
    assert weights["b"] == -0.25 and weights["c"] == 0.1
    weights = vantrel.normalize_weight(weights={"a": 3}, position_limit=limit)
    assert weights["a"] is limit


def test_normalize_weight_lets_nan_through():
    weights = vantrel.normalize_weight({"a": NAN, "b": 2.0, "c": -2.0}, 1.0)
    assert math.isnan(weights["a"])
    assert (weights["b"], weights["c"]) == (1.0, -1.0)


def test_normalize_weight_keeps_changes_made_before_a_failure():
    weights = {"a": 2.0, "b": 1j}
    with pytest.raises(TypeError, match="not supported between instances of 'complex' and 'float'") as excinfo:
        vantrel.normalize_weight(weights, 0.5)
    # a was scaled and capped before b failed the comparison.
    assert weights == {"a": 0.5, "b": 1j * (1 / 3.0)}
    frame = traceback.extract_tb(excinfo.tb)[-1]
    assert (frame.name, frame.filename) == ("vostra.core.vantrel.normalize_weight", "core/vantrel")


def test_normalize_weight_errors():
    with pytest.raises(AttributeError, match=r"^'NoneType' object has no attribute 'items'$"):
        vantrel.normalize_weight(None, 1.0)

    class Growing(float):
        def __abs__(self):
            weights["new"] = 0.0
            return float(self)

    weights = {"a": Growing(0.5), "b": 0.25}
    with pytest.raises(RuntimeError, match="dictionary changed size during iteration"):
        vantrel.normalize_weight(weights, 1.0)
    with pytest.raises(TypeError, match=r"^normalize_weight\(\) takes exactly 2 positional arguments \(1 given\)$"):
        vantrel.normalize_weight({})
    with pytest.raises(TypeError, match=r"^normalize_weight\(\) takes exactly 2 positional arguments \(3 given\)$"):
        vantrel.normalize_weight({}, 1.0, 2.0)
    # A missing required argument is reported before an unknown keyword.
    with pytest.raises(TypeError, match=r"^normalize_weight\(\) takes exactly 2 positional arguments \(1 given\)$"):
        vantrel.normalize_weight({}, limit=1.0)
    with pytest.raises(TypeError, match=r"^normalize_weight\(\) got an unexpected keyword argument 'limit'$"):
        vantrel.normalize_weight({}, 1.0, limit=1.0)


# --- ioft ---------------------------------------------------------------------------

@pytest.mark.parametrize("value", [0, 1_600_000_000_000_000_000, np.int64(1_600_000_000_123_456_789),
                                   1.5e18, -86_400_000_000_000])
def test_ioft_is_fromtimestamp_of_seconds(value):
    expected = datetime.datetime.fromtimestamp(value / 1e9)
    assert vantrel.ioft(value) == expected
    assert vantrel.ioft(v=value) == expected


def test_ioft_gives_local_time():
    code = "from vostra.core import vantrel; print(vantrel.ioft(0), vantrel.ioft(1_600_000_000_000_000_000))"
    env = child_env(TZ="UTC-9")
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, env=env, timeout=120)
    assert out.stdout.strip() == "1970-01-01 09:00:00 2020-09-13 21:26:40", out.stderr


def test_ioft_errors():
    with pytest.raises(TypeError, match=r"^ioft\(\) takes exactly 1 positional argument \(0 given\)$"):
        vantrel.ioft()
    with pytest.raises(TypeError, match="unsupported operand") as excinfo:
        vantrel.ioft("0")
    frame = traceback.extract_tb(excinfo.tb)[-1]
    assert (frame.name, frame.filename) == ("vostra.core.vantrel.ioft", "core/vantrel")
