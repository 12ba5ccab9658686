"""The native entry vostra._engine: the same bits as backtest_ and the
recorder, a trade ledger whose rows reconcile with the equity, realized
returns of every kind of exit, threads, and the same errors as backtest_."""
import math
import threading

import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings, strategies as st

from markets import random_market
from vostra import _engine
from vostra.results.stats import STAT_LABELS
from vostra.core import vantrel

orbalt = vantrel.orbalt
NAN = math.nan
REASONS = _engine.EXIT_REASONS


def same(a, b):
    a, b = np.asarray(a), np.asarray(b)
    return a.shape == b.shape and a.dtype == b.dtype and np.array_equal(a, b, equal_nan=True)


def reconciles(result):
    """Every row's P&L (open rows marked at the last close) adds up to the
    final equity minus the starting capital."""
    total = math.fsum(result.trades["pnl"])
    final = result.equity[-1] if len(result.equity) else 1.0
    return abs(total - (final - 1.0)) <= 1e-12 * max(1.0, abs(final))


def assert_same_as_contract(arrays, opts):
    try:
        expected = vantrel.backtest_(*arrays, **opts)
    except Exception as exc:  # the native entry must fail the same way
        with pytest.raises(type(exc)) as info:
            _engine.run(*arrays, **opts)
        assert str(info.value) == str(exc)
        return None
    got = _engine.run(*arrays, **opts)
    assert same(got.equity, expected)
    t = got.trades
    assert [[int(x) for x in row] for row in orbalt.trades] == [
        [int(s), int(e), int(x)] for s, e, x in zip(t["sid"], t["entry_bar"], t["exit_bar"])]
    assert [float(w) for w in orbalt.trade_positions] == t["weight"].tolist()
    assert len(orbalt.orbalt) == len(got.excursions)
    for want, have in zip(orbalt.orbalt, got.excursions):
        assert same(want, have.reshape(-1))
    assert got.report == vantrel.get_stock_operations()
    assert list(got.report) == list(vantrel.get_stock_operations())
    if np.isfinite(got.equity).all():
        assert reconciles(got)
    return got


differential = settings(max_examples=300, deadline=None, suppress_health_check=[HealthCheck.too_slow])


@differential
@given(seed=st.integers(0, 2**32 - 1))
def test_random_markets_give_the_contract_bits(seed):
    assert_same_as_contract(*random_market(seed, exits=True))


@settings(max_examples=40, deadline=None)
@given(seed=st.integers(0, 2**32 - 1))
def test_larger_markets_give_the_contract_bits(seed):
    assert_same_as_contract(*random_market(seed, exits=True, max_bars=150, max_stocks=25))


@pytest.mark.parametrize("layout", ["C", "F", "strided", "reversed-copy"])
def test_every_memory_layout_gives_the_same_bits(layout):
    arrays, opts = random_market(11, exits=True, max_bars=80, max_stocks=12)
    arrays = list(arrays)
    for i in (0, 1, 2, 3, 4, 7):
        m = np.ascontiguousarray(arrays[i])
        if layout == "F":
            m = np.asfortranarray(m)
        elif layout == "strided":
            wide = np.repeat(m, 2, axis=1)
            m = wide[:, ::2]
        elif layout == "reversed-copy":
            m = m[::-1][::-1]
        m.flags.writeable = False
        arrays[i] = m
    assert assert_same_as_contract(tuple(arrays), opts) is not None


# --- Excursion walks two at a time -------------------------------------------

@settings(max_examples=80, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(seed=st.integers(0, 2**32 - 1), window=st.integers(8, 60), step=st.integers(1, 4),
       zero=st.booleans(), flat=st.booleans())
def test_walks_in_pairs_give_the_contract_bits(seed, window, step, zero, flat):
    # Long windows, so that the walks of closed trades go in pairs. A zero
    # close makes some walk fail, and then both paths raise the same error.
    # Flat closes traded at the close without fees hold the ratio at exactly
    # 1, where every strict comparison of the walk is a tie.
    arrays, opts = random_market(seed, exits=True, max_bars=150, max_stocks=25)
    opts.update(orbalt_window=window, orbalt_window_step=step)
    close = np.array(arrays[1], copy=True)
    trade = arrays[0]
    if flat:
        close[1::2] = close[:len(close) // 2 * 2:2]
        trade = close
        opts.update(fee_ratio=0.0)
    if zero:
        rng = np.random.default_rng(seed)
        close[rng.integers(close.shape[0]), rng.integers(close.shape[1])] = 0.0
    assert_same_as_contract((trade, close, *arrays[2:]), opts)


@pytest.mark.parametrize("periodic", [False, True])
@pytest.mark.parametrize("partner", [False, True], ids=["alone", "paired"])
def test_a_failing_walk_is_reported_before_a_later_error(market, partner, periodic):
    # A is sold on bar 6; its 20-bar walk meets a zero close on bar 12 (A is
    # no longer held, so only the walk reads it). B's trading price on bar 25
    # stops the run later. backtest_ fails at A's exit, so the native entry,
    # whose walk of A may still wait for a partner, must report A's walk.
    bars = 40
    price = np.tile(10 + 0.1 * np.arange(bars)[:, None], (1, 3))
    close = price.copy()
    close[12, 0] = 0.0
    price[25, 1] = -1.0
    weights = [[0.3, 0.3, 0.3 if partner else 0.0], [0.0, 0.3, 0.0]]
    mk = market(price, weights, close=close, pos_index=[0, 50])
    opts = dict(orbalt_window=20, periodically_rebalance=periodic)
    with pytest.raises(ZeroDivisionError, match="^float division$"):
        vantrel.backtest_(*mk, **opts)
    with pytest.raises(ZeroDivisionError, match="^float division$"):
        _engine.run(*mk, **opts)
    # Without the zero close, the later error is the one raised.
    close[12, 0] = close[11, 0]
    for run in (vantrel.backtest_, _engine.run):
        with pytest.raises(ValueError, match="^Invalid trading price for B at price row 25"):
            run(*market(price, weights, close=close, pos_index=[0, 50]), **opts)


# --- The ledger on hand cases -------------------------------------------------

def one_stock(market, price, *, close=None, high=None, low=None, open=None, weights=((1.0,),)):
    return market(price, weights, close=close, high=high, low=low, open=open)


def only_trade(result):
    t = result.trades
    assert len(t["sid"]) == 1
    return {k: v[0] for k, v in t.items()}


NO_COSTS = dict(fee_ratio=0.0, tax_ratio=0.0)


def test_an_intrabar_stop_fills_at_its_level(market):
    # Entered at 100; the next bar opens at 99 and trades down to 90: the
    # stop at 95 is filled at 95, not at the open.
    mk = one_stock(market, [100, 100, 99, 99], open=[100, 100, 99, 99], high=[100, 100, 101, 99],
                   low=[100, 100, 90, 99], close=[100, 100, 96, 99])
    fee, tax = 0.001, 0.003
    r = _engine.run(*mk, stop_loss=0.05, touched_exit=True, fee_ratio=fee, tax_ratio=tax)
    t = only_trade(r)
    assert REASONS[t["reason"]] == "stop_loss"
    assert (t["entry_bar"], t["exit_bar"], t["entry_price"]) == (1, 2, 100.0)
    assert t["exit_price"] == pytest.approx(95.0, rel=1e-15)
    expected = (1 - fee) * 0.95 * (1 - fee - tax) - 1
    assert t["pnl"] == pytest.approx(expected, rel=1e-14)
    assert t["return"] == pytest.approx(expected, rel=1e-14)
    assert r.equity[-1] - 1 == pytest.approx(expected, rel=1e-14)


def test_a_gap_through_the_stop_fills_at_the_open(market):
    mk = one_stock(market, [100, 100, 90, 90], open=[100, 100, 90, 90], high=[100, 100, 92, 90],
                   low=[100, 100, 88, 90], close=[100, 100, 91, 90])
    t = only_trade(_engine.run(*mk, stop_loss=0.05, touched_exit=True, **NO_COSTS))
    assert REASONS[t["reason"]] == "stop_loss"
    assert t["exit_price"] == 90.0
    assert t["return"] == pytest.approx(-0.1, rel=1e-14)


def test_take_profit_fills_at_its_level(market):
    mk = one_stock(market, [100, 100, 105, 105], high=[100, 100, 112, 105], low=[100, 100, 104, 105])
    t = only_trade(_engine.run(*mk, take_profit=0.1, touched_exit=True, **NO_COSTS))
    assert REASONS[t["reason"]] == "take_profit"
    assert t["exit_price"] == pytest.approx(110.0, rel=1e-15)
    assert t["pnl"] == pytest.approx(0.1, rel=1e-14)


def test_an_armed_trailing_stop_fills_below_the_best_level(market):
    # The gain of 20 % arms the trail (activation 10 %); the next bar falls
    # through 1.2 - 0.05 = 1.15 of the entry value.
    mk = one_stock(market, [100, 100, 120, 116, 116], open=[100, 100, 119, 116, 116],
                   high=[100, 100, 121, 117, 116], low=[100, 100, 118, 112, 116], close=[100, 100, 120, 113, 116])
    t = only_trade(_engine.run(*mk, trail_stop=0.05, trail_stop_activation=0.1, touched_exit=True, **NO_COSTS))
    assert REASONS[t["reason"]] == "trail_stop"
    assert t["exit_bar"] == 3
    assert t["exit_price"] == pytest.approx(115.0, rel=1e-14)
    assert t["return"] == pytest.approx(0.15, rel=1e-13)


def test_a_close_mode_exit_fills_at_the_next_trading_price(market):
    # The close of bar 2 (94) is below the 5 % stop; the stock is sold on bar
    # 3 at that bar's trading price.
    mk = one_stock(market, [100, 100, 97, 93, 93], close=[100, 100, 94, 93, 93])
    t = only_trade(_engine.run(*mk, stop_loss=0.05, **NO_COSTS))
    assert REASONS[t["reason"]] == "stop_loss"
    assert (t["exit_bar"], t["fill_exit_bar"], t["exit_price"]) == (3, 3, 93.0)
    assert t["return"] == pytest.approx(-0.07, rel=1e-13)


def test_a_delisted_stock_is_sold_at_its_last_price(market):
    mk = one_stock(market, [100, 100, 110, NAN, NAN])
    r = _engine.run(*mk, delisting_bars=np.array([3], dtype=np.int64), **NO_COSTS)
    t = only_trade(r)
    assert REASONS[t["reason"]] == "delisting"
    assert (t["exit_bar"], t["exit_price"]) == (3, 110.0)
    assert t["pnl"] == pytest.approx(0.1, rel=1e-14)
    assert reconciles(r)


def test_a_short_gains_what_the_price_loses(market):
    mk = market([100, 100, 90, 90], [[-1.0], [0.0]], pos_index=[0, 10])
    t = only_trade(_engine.run(*mk, **NO_COSTS))
    assert REASONS[t["reason"]] == "rebalance"
    assert (t["entry_price"], t["exit_price"], t["exit_bar"]) == (100.0, 90.0, 2)
    assert t["return"] == pytest.approx(0.1, rel=1e-14)


def test_an_entry_without_a_price_is_filled_at_the_next_price(market):
    mk = market([100, NAN, 104, 106], [[0.0], [1.0]], pos_index=[0, 0])
    t = only_trade(_engine.run(*mk, **NO_COSTS))
    assert (t["entry_bar"], t["fill_entry_bar"], t["entry_price"]) == (1, 2, 104.0)


SPLIT_PRICES = [100, 100, 110, 121]
TWO_ROWS = [[0.5], [0.5]]


def test_a_split_record_hands_its_value_to_the_next(market):
    # Row 1 (same weight) is applied on bar 2 at 110: the first record ends
    # at 0.55, the second takes it over, sells 0.025 down to half the
    # balance of 1.05 and is marked at 121 at the end.
    mk = market(SPLIT_PRICES, TWO_ROWS, pos_index=[0, 10])
    r = _engine.run(*mk, periodically_rebalance=True, **NO_COSTS)
    t = r.trades
    assert [REASONS[k] for k in t["reason"]] == ["rebalance", "open"]
    assert t["pnl"][0] == pytest.approx(0.05, rel=1e-13)
    assert t["pnl"][1] == pytest.approx(-0.55 + 0.025 + 0.525 * 1.1, rel=1e-13)
    assert reconciles(r)


@pytest.mark.parametrize("periodic", [True, False], ids=["split", "resize"])
def test_costs_of_a_resize_stay_with_the_trade_that_pays_them(market, periodic):
    mk = market(SPLIT_PRICES, TWO_ROWS, pos_index=[0, 10])
    r = _engine.run(*mk, periodically_rebalance=periodic, fee_ratio=0.01, tax_ratio=0.02)
    assert reconciles(r)
    # The fee and tax of the resize are the costs of bar 2.
    sold = r.traded[2]
    assert r.costs[2] == pytest.approx(sold * 0.03, rel=1e-12)
    if not periodic:
        assert len(r.trades["pnl"]) == 1


def test_traded_value_and_costs_per_bar(market):
    mk = market([100, 100, 110, 110], [[1.0], [0.0]], pos_index=[0, 10])
    r = _engine.run(*mk, fee_ratio=0.01, tax_ratio=0.02)
    assert r.traded.tolist() == [0.0, 1.0, pytest.approx(0.99 * 1.1), 0.0]
    assert r.costs[1] == pytest.approx(0.01) and r.costs[2] == pytest.approx(0.99 * 1.1 * 0.03)
    assert r.holdings.tolist() == [0, 1, 0, 0]
    assert r.first_rebalance == 1


# --- Threads ------------------------------------------------------------------

def fingerprint(result):
    return (result.equity.tobytes(), result.trades["pnl"].tobytes(), result.excursions.tobytes())


def test_runs_on_four_threads_give_the_serial_bits():
    cases = [random_market(seed, exits=True, max_bars=120, max_stocks=20) for seed in range(40)]
    cases = [c for c in cases if _ok(c)]
    serial = [fingerprint(_engine.run(*a, **o)) for a, o in cases]
    got = {}

    def worker(k):
        for rep in range(3):
            for i in range(k, len(cases), 4):
                a, o = cases[i]
                fp = fingerprint(_engine.run(*a, **o))
                assert got.setdefault(i, fp) == fp

    threads = [threading.Thread(target=worker, args=(k,)) for k in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert [got[i] for i in range(len(cases))] == serial


def _ok(case):
    try:
        _engine.run(*case[0], **case[1])
        return True
    except Exception:
        return False


@settings(max_examples=150, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(seed=st.integers(0, 2**32 - 1))
def test_paired_walks_give_the_single_walks_bits(seed):
    # Without any stop, close-mode holdings are walked two at a time in the
    # lanes of a register; a stop too far to be reached sends the same run
    # through the walk that tests levels, one holding at a time. Every array
    # must agree, the per-bar marks included.
    arrays, opts = random_market(seed, exits=False, max_bars=120, max_stocks=12)
    opts = dict(opts, touched_exit=False)
    try:
        walked = _engine.run(*arrays, **opts)
    except Exception as exc:
        with pytest.raises(type(exc)) as again:
            _engine.run(*arrays, **dict(opts, stop_loss=1e300))
        assert str(again.value) == str(exc)
        return
    looped = _engine.run(*arrays, **dict(opts, stop_loss=1e300))
    for name in ("equity", "excursions", "traded", "costs", "gross", "holdings", "entry_order"):
        assert getattr(walked, name).tobytes() == getattr(looped, name).tobytes(), name
    for key, column in walked.trades.items():
        assert column.tobytes() == looped.trades[key].tobytes(), key
    assert walked.report == looped.report


def test_run_many_on_two_threads_gives_the_serial_bits():
    arrays, _ = random_market(5, exits=True, max_bars=150, max_stocks=25)
    jobs = [dict(stop_loss=s, fee_ratio=f, touched_exit=t) for s in (0.02, 0.05, 1.0)
            for f in (0.0, 0.001425) for t in (False, True)]
    one = _engine.run_many(*arrays, jobs=jobs, threads=1)
    two = _engine.run_many(*arrays, jobs=jobs, threads=2)
    assert [fingerprint(r) for r in one] == [fingerprint(r) for r in two]
    assert [fingerprint(r) for r in one] == [fingerprint(_engine.run(*arrays, **j)) for j in jobs]


def test_run_many_reports_a_failing_job_in_its_place():
    arrays, _ = random_market(5, exits=True)
    results = _engine.run_many(*arrays, jobs=[{}, {"orbalt_window_step": 0}, {}], return_exceptions=True)
    assert isinstance(results[1], ValueError) and "orbalt_window_step must be >= 1" in str(results[1])
    assert fingerprint(results[0]) == fingerprint(results[2])
    with pytest.raises(ValueError, match="orbalt_window_step"):
        _engine.run_many(*arrays, jobs=[{"orbalt_window_step": 0}])
    with pytest.raises(TypeError, match="unexpected keyword argument 'stoploss'"):
        _engine.run_many(*arrays, jobs=[{"stoploss": 0.1}])


def test_run_many_raises_the_first_failing_jobs_error():
    # The weights are checked on the simulating threads; a later job that
    # fails while its arguments are read must not hide an earlier job's bad
    # weights.
    arrays, _ = random_market(1, exits=True)
    arrays = list(arrays)
    bad = np.array(arrays[7], copy=True)
    bad[0, 0] = np.nan
    with pytest.raises(ValueError, match="weight") as first:
        _engine.run_many(*arrays[:7], pos_index=arrays[8], pos_columns=arrays[9], resample=arrays[10],
                         jobs=[{"pos_values": arrays[7]}, {"pos_values": bad}, {"orbalt_window_step": 0}])
    with pytest.raises(ValueError) as alone:
        _engine.run(*arrays[:7], bad, *arrays[8:])
    assert str(first.value) == str(alone.value)
    results = _engine.run_many(*arrays[:7], pos_index=arrays[8], pos_columns=arrays[9], resample=arrays[10],
                               jobs=[{"pos_values": bad}, {"pos_values": arrays[7]}, {"pos_values": bad, "fee_ratio": 0.0}],
                               return_exceptions=True)
    # The two jobs on the bad matrix share its scan and both report it.
    assert str(results[0]) == str(results[2]) == str(alone.value)
    assert fingerprint(results[1]) == fingerprint(_engine.run(*arrays))


# --- Bad input ----------------------------------------------------------------

class FailingLabel:
    """A label whose encode raises, named by a repr written in Python."""

    def encode(self, *args):
        raise LookupError("no encoding")

    def __repr__(self):
        return "FailingLabel()"


@pytest.mark.parametrize("change", [
    lambda a: a.__setitem__(1, a[1][:-1]),                      # shapes differ
    lambda a: a[7].__setitem__((0, 0), np.inf),                 # a non-finite weight
    lambda a: a.__setitem__(9, np.array(["S0"] * len(a[9]), dtype=object)),  # duplicate labels
    lambda a: a[0].__setitem__((slice(None), slice(None)), -1.0),  # an unusable trading price
    lambda a: a.__setitem__(7, a[7].astype(np.int64)),          # a wrong dtype
    lambda a: a.__setitem__(5, list(a[5])),                     # not an array
    lambda a: a.__setitem__(9, np.array(["S0", 7, "S2"], dtype=object)),  # a label that is not str
    lambda a: (a[7].__setitem__((0, 0), np.nan),                 # both: the weight is named first
               a.__setitem__(9, np.array(["S0", 7, "S2"], dtype=object))),
    lambda a: (a[7].__setitem__((0, 1), np.inf),                 # both: the weight is named first
               a.__setitem__(9, np.array(["S0"] * len(a[9]), dtype=object))),
    lambda a: (a[7].__setitem__((0, 1), np.nan),                 # its label's encode fails first
               a.__setitem__(9, np.array(["S0", FailingLabel(), "S2"], dtype=object))),
], ids=["shape", "weight", "duplicates", "price", "dtype", "type", "label", "weight+label", "weight+duplicates",
        "weight+failing label"])
def test_bad_input_raises_what_backtest_raises(change):
    arrays, opts = random_market(1, exits=True)  # three signal columns
    arrays = [np.array(a, copy=True) if isinstance(a, np.ndarray) else a for a in arrays]
    arrays[7] = np.ones_like(arrays[7]) * 0.1
    change(arrays)
    with pytest.raises(Exception) as want:
        vantrel.backtest_(*arrays, **opts)
    with pytest.raises(type(want.value)) as got:
        _engine.run(*arrays, **opts)
    assert str(got.value) == str(want.value)


class NoTruth:
    def __bool__(self):
        raise ZeroDivisionError("no truth value here")


@pytest.mark.parametrize("change", [
    lambda a: a.__setitem__(7, a[7][:0]) or a.__setitem__(8, a[8][:0]),  # no signal row: the run's first bar
    lambda a: a[7].__setitem__((0, 0), np.nan),                           # a check before the run
    lambda a: None,                                                       # the run asks for it
], ids=["no-signal-rows", "weight", "reached"])
def test_a_failing_truth_test_is_raised_where_backtest_raises_it(change):
    # backtest_ tests stop_trading_next_period only where the run needs it;
    # the native entry reads it once beforehand and must fail in that order.
    arrays, opts = random_market(1, exits=True)
    arrays = list(arrays)
    arrays[7] = np.ones_like(arrays[7]) * 0.1
    change(arrays)
    opts["stop_trading_next_period"] = NoTruth()
    with pytest.raises(Exception) as want:
        vantrel.backtest_(*arrays, **opts)
    with pytest.raises(type(want.value)) as got:
        _engine.run(*arrays, **opts)
    assert str(got.value) == str(want.value)
    [many] = _engine.run_many(*arrays, jobs=[opts], return_exceptions=True)
    assert type(many) is type(want.value) and str(many) == str(want.value)


@pytest.mark.parametrize("fortran", [False, True], ids=["C", "F"])
@pytest.mark.parametrize("column", [0, 21, 38])  # in a block of sixteen weights, the next one, the tail
@pytest.mark.parametrize("bad", [np.inf, -np.inf, np.nan])
def test_a_non_finite_weight_in_a_wide_row_is_named(bad, column, fortran):
    # Wide rows are scanned sixteen weights at a time; a weight that is not
    # finite must be found wherever it sits, and named as backtest_ names it.
    n = 39
    prices = np.full((4, n), 10.0)
    labels = np.array([f"S{i}" for i in range(n)], dtype=object)
    weights = np.zeros((3, n))
    weights[:, ::7] = 0.1
    weights[1, column] = bad
    if fortran:
        weights = np.asfortranarray(weights)
    dates = np.arange(4, dtype=np.int64)
    arrays = (prices, prices, prices, prices, prices, dates, labels, weights, dates[:3], labels, dates)
    with pytest.raises(ValueError) as want:
        vantrel.backtest_(*arrays)
    with pytest.raises(ValueError) as got:
        _engine.run(*arrays)
    assert str(got.value) == str(want.value)
    assert f"S{column}" in str(want.value)


@pytest.mark.parametrize("layout", ["C", "F", "strided"])
@pytest.mark.parametrize("column", [0, 21, 38])
def test_a_row_whose_absolute_sum_overflows_is_rejected(column, layout):
    # Finite weights whose absolute sum overflows would be scaled by 1/inf,
    # a run that silently trades nothing: both entries refuse the row. A row
    # just below the overflow is scaled as any other.
    n = 39
    prices = np.full((4, n), 10.0)
    labels = np.array([f"S{i}" for i in range(n)], dtype=object)
    weights = np.zeros((3, n))
    weights[:, ::7] = 0.1
    weights[0, [column, (column + 5) % n]] = 8e307
    weights[2, [column, (column + 5) % n]] = (1e308, -1e308)
    if layout == "F":
        weights = np.asfortranarray(weights)
    elif layout == "strided":
        weights = np.repeat(weights, 2, axis=1)[:, ::2]
    dates = np.arange(4, dtype=np.int64)
    arrays = (prices, prices, prices, prices, prices, dates, labels, weights, dates[:3], labels, dates)
    with pytest.raises(ValueError, match="pos_values row 2 add up beyond the largest float") as want:
        vantrel.backtest_(*arrays)
    with pytest.raises(ValueError) as got:
        _engine.run(*arrays)
    assert str(got.value) == str(want.value)
    first = _engine.run(*arrays[:7], weights[:1], dates[:1], labels, dates, fee_ratio=0.0, tax_ratio=0.0)
    assert sorted(first.trades["weight"])[-2:] == pytest.approx([0.5, 0.5])


def _misaligned(m, order):
    """A copy of m whose data sits one byte past an aligned address."""
    raw = np.zeros(m.size * 8 + 1, dtype=np.uint8)
    out = raw[1:].view(np.float64).reshape(m.shape if order == "C" else m.shape[::-1])
    out[...] = m if order == "C" else m.T
    return out if order == "C" else out.T


@pytest.mark.parametrize("order", ["C", "F"])
def test_misaligned_weights_give_the_same_bits(order):
    # The weight scan lists wide rows sixteen weights at a time; a matrix
    # that is not aligned to its item size must be read as safely and give
    # the same run.
    rng = np.random.default_rng(3)
    n = 40
    prices = 10 * np.exp(np.cumsum(rng.normal(0, 0.02, (30, n)), axis=0))
    labels = np.array([f"S{i}" for i in range(n)], dtype=object)
    weights = np.where(rng.random((6, n)) < 0.1, 0.1, 0.0)
    dates = np.arange(30, dtype=np.int64)
    arrays = [prices, prices, prices, prices, prices, dates, labels, weights, dates[::5], labels, dates[::5]]
    want = _engine.run(*arrays)
    arrays[7] = _misaligned(weights, order)
    assert arrays[7].ctypes.data % 8 != 0 and np.array_equal(arrays[7], weights)
    got = _engine.run(*arrays)
    assert same(got.equity, want.equity) and same(got.excursions, want.excursions)
    assert same(vantrel.backtest_(*arrays), want.equity)


def test_every_native_function_has_a_signature():
    import inspect

    functions = [vantrel.backtest_, vantrel.get_stock_operations, vantrel.normalize_weight, vantrel.ioft,
                 vantrel.get_trade_stocks, _engine.run, _engine.run_many, _engine.last_valid_rows,
                 _engine.weight_columns, _engine.scan_weights, _engine.trade_figures, _engine.return_figures]
    for f in functions:
        params = inspect.signature(f).parameters
        assert all(p.name.isidentifier() for p in params.values()), f
    assert inspect.signature(vantrel.backtest_).parameters["take_profit"].default == math.inf
    contract = list(inspect.signature(vantrel.backtest_).parameters)
    assert list(inspect.signature(_engine.run).parameters) == contract + [
        "capital", "lot_size", "min_fee", "slippage", "leverage", "borrow_rate", "cash_rate", "periods_per_year",
        "credit_gaps", "rebase_stops", "weight_scan"]


# --- The front end's passes over its matrices ---------------------------------

def _layouts(m):
    """The same values C-ordered, Fortran-ordered and as a strided slice."""
    wide = np.zeros((m.shape[0], 2 * m.shape[1]))
    wide[:, ::2] = m
    return [np.ascontiguousarray(m), np.asfortranarray(m), wide[:, ::2]]


@settings(max_examples=60, deadline=None)
@given(seed=st.integers(0, 2**32 - 1))
def test_last_valid_rows_finds_the_end_of_every_trailing_gap(seed):
    rng = np.random.default_rng(seed)
    n = int(rng.integers(1, 70))
    # Tails of every length around the block the scan skips at once, and
    # columns without any value; NaNs inside the columns too.
    tails = list(rng.choice([0, 1, 15, 16, 17, 31, 32, 33, n], size=12))
    m = rng.normal(size=(n, len(tails)))
    m[rng.random(m.shape) < 0.2] = NAN
    for c, t in enumerate(tails):
        m[n - min(t, n):, c] = NAN
    # Columns with one value, anywhere in a block.
    lone = np.full((n, 3), NAN)
    lone[rng.integers(0, n, size=3), [0, 1, 2]] = 1.0
    m = np.hstack([m, lone])
    want = np.array([max((r for r in range(n) if not math.isnan(m[r, c])), default=-1) for c in range(m.shape[1])])
    picked = np.array([3, 0, 11, 3, 13], dtype=np.int64)
    for layout in _layouts(m):
        assert same(_engine.last_valid_rows(layout), want)
        assert same(_engine.last_valid_rows(layout, picked), want[picked])
        assert same(_engine.last_valid_rows(layout, picked - 15), want[picked])  # from the end, as NumPy


def test_last_valid_rows_checks_its_columns():
    m = np.zeros((4, 3))
    with pytest.raises(IndexError, match="index 3 is out of bounds for axis 1 with size 3"):
        _engine.last_valid_rows(m, np.array([0, 3], dtype=np.int64))
    with pytest.raises(ValueError, match="Buffer dtype mismatch"):
        _engine.last_valid_rows(m, np.array([0, 1], dtype=np.int32))
    with pytest.raises(TypeError):
        _engine.last_valid_rows(m, [0, 1])


@pytest.mark.parametrize("bad", [NAN, math.inf, -math.inf])
def test_weight_columns_are_the_traded_columns_of_finite_weights(bad):
    rng = np.random.default_rng(7)
    w = np.where(rng.random((40, 9)) < 0.1, rng.normal(size=(40, 9)), 0.0)
    w[:, 4] = -0.0  # a negative zero is no weight
    w[39, 8] = 1e-300
    for layout in _layouts(w):
        got = _engine.weight_columns(layout)
        assert got.dtype == bool and same(got, (w != 0).any(axis=0))
    w[17, 2] = bad
    assert all(_engine.weight_columns(layout) is None for layout in _layouts(w))


@pytest.mark.parametrize("seed", range(6))
def test_a_run_takes_the_scan_of_its_own_weight_matrix(seed):
    arrays, opts = random_market(seed, max_stocks=40, max_bars=60)
    arrays = list(arrays)
    weights = arrays[7]
    traded, scan = _engine.scan_weights(weights)
    assert same(traded, _engine.weight_columns(weights))
    want = _engine.run(*arrays, **opts)
    for got in (_engine.run(*arrays, **opts, weight_scan=scan),
                _engine.run_many(*arrays, **opts, jobs=[{"weight_scan": scan}, {"fee_ratio": 0.0}])[0]):
        assert same(got.equity, want.equity) and same(got.excursions, want.excursions)
        assert all(same(got.trades[k], want.trades[k]) for k in want.trades) and got.report == want.report
    # Only of the array it read: not of a copy, nor of anything else.
    arrays[7] = weights.copy()
    with pytest.raises(ValueError, match="weight_scan was made of another array than pos_values"):
        _engine.run(*arrays, weight_scan=scan)
    with pytest.raises(TypeError, match="weight_scan must be the scan that scan_weights"):
        _engine.run(*arrays, weight_scan=traded)
    arrays[7][0, 0] = math.inf
    assert _engine.scan_weights(arrays[7]) is None


def test_a_tall_sparse_weight_matrix_is_listed_alike_in_every_layout():
    # Column-major weights are listed sixteen rows at a time down each
    # column; holdings that last several rows cross those blocks.
    rng = np.random.default_rng(5)
    n_bars, n_stocks, n_rows = 90, 37, 70
    close = 20 * np.exp(np.cumsum(rng.normal(0, 0.03, (n_bars, n_stocks)), axis=0))
    weights = np.zeros((n_rows, n_stocks))
    for r in range(0, n_rows, 3):
        weights[r:r + 3, rng.choice(n_stocks, 6, replace=False)] = 1 / 6
    weights[n_rows - 1, 0], weights[15, 3] = -0.1, -0.0
    labels = np.array([f"S{i}" for i in range(n_stocks)], dtype=object)
    dates = np.arange(n_bars, dtype=np.int64) * 10
    runs = [_engine.run(close, close, close, close, close, dates, labels, layout, dates[:n_rows] + 5, labels,
                        dates, stop_loss=0.05) for layout in _layouts(weights) + [_misaligned(weights, "F")]]
    assert len(runs[0].trades["sid"]) > 40
    for got in runs[1:]:
        assert same(got.equity, runs[0].equity) and same(got.excursions, runs[0].excursions)


def _trade_figures_in_numpy(order, exit_bar, entry_bar, returns, excursions):
    from vostra.results.stats import closed_trade_figures

    closed = exit_bar >= 0
    in_order = order[closed[order]]
    # Contiguous, as the trade log's columns are.
    mae, mfe = excursions[in_order, -1, 0].copy(), excursions[in_order, -1, 1].copy()
    figures = closed_trade_figures(len(closed), returns[closed], (exit_bar - entry_bar)[closed], mae, mfe)
    return figures, mae, mfe


def _assert_same_figures(args):
    got, mae, mfe = _engine.trade_figures(*args)
    want, want_mae, want_mfe = _trade_figures_in_numpy(*args)
    assert same(mae, want_mae) and same(mfe, want_mfe)
    # Asked for, the averages come in NumPy's bits up to 8192 closed trades.
    averaged, kept_mae, kept_mfe = _engine.trade_figures(*args, True)
    assert averaged.keys() - got.keys() == ({"avg_mae", "avg_mfe"} if 0 < len(mae) <= 8192 else set())
    assert (kept_mae is None and kept_mfe is None) == (0 < len(mae) <= 8192)  # the values only where still needed
    assert all(same(v, want[k]) for k, v in averaged.items())
    want = {k: v for k, v in want.items() if k not in ("avg_mae", "avg_mfe")}
    assert got.keys() == want.keys()
    assert all(same(got[k], want[k]) for k in want), (got, want)


@pytest.mark.parametrize("n", [0, 1, 9, 1000, 10240, 20011])
def test_trade_figures_are_those_of_the_statistics(n):
    # Open trades, NaN returns and excursions, a window of several groups.
    rng = np.random.default_rng(n)
    order = rng.permutation(n).astype(np.int64)
    entry_bar = rng.integers(0, 500, n).astype(np.int64)
    exit_bar = np.where(rng.random(n) < 0.2, -1, entry_bar + rng.integers(0, 60, n)).astype(np.int64)
    returns = np.where(rng.random(n) < 0.05, NAN, rng.normal(0, 0.1, n))
    excursions = rng.normal(0, 0.1, (n, 3, 6))
    excursions[rng.random((n, 3, 6)) < 0.05] = NAN
    _assert_same_figures((order, exit_bar, entry_bar, returns, excursions))


def test_trade_figures_of_runs_and_their_checks():
    from vostra.results.result import ledger_trade_figures

    for seed in range(30):
        arrays, opts = random_market(seed, exits=True)
        try:
            r = _engine.run(*arrays, **opts)
        except Exception:
            continue
        t = r.trades
        args = (r.entry_order, t["exit_bar"], t["entry_bar"], t["return"], r.excursions)
        _assert_same_figures(args)
        # What a sweep row reports: the averages rounded as the statistics round them.
        want = _trade_figures_in_numpy(*args)[0]
        got = ledger_trade_figures(r)
        assert got.keys() == want.keys() and all(same(got[k], want[k]) for k in want)
        # A printed result asks for the same figures and the curve's in one call, laid out as the table.
        curve = dict.fromkeys(STAT_LABELS, np.nan)
        first = min(3, len(r.equity) - 1)
        ns = (np.arange(len(r.equity) - max(first - 1, 0), dtype=np.int64) + 1) * 86_400 * 10**9  # the window's
        curve.update(_engine.window_figures(r.equity, first, 252.0, None, r.holdings[first:], ns, 0.0), **got)
        table, mae, mfe = _engine.printed_figures(tuple(STAT_LABELS), r.equity, first, 252.0, None,
                                                  r.holdings[first:], ns, 0.0, *args)
        assert mae is None and mfe is None
        assert table.tobytes() == np.array([curve[k] for k in STAT_LABELS]).tobytes()
    with pytest.raises(ValueError, match="no slot for the figure"):
        _engine.printed_figures(("trades",), r.equity, 0, 252.0, None, None, None, 0.0, *args)
    # Beyond 8192 closed trades the MAE and MFE come back for NumPy to average.
    from vostra.results.stats import ledger_trade_figures as columns_figures
    rng = np.random.default_rng(5)
    n = 9000
    exit_bar = np.where(rng.random(n) < 0.99, rng.integers(5, 50, n), -1).astype(np.int64)
    many = (rng.permutation(n).astype(np.int64), exit_bar, np.zeros(n, np.int64), rng.standard_normal(n),
            rng.standard_normal((n, 1, 6)))
    table, mae, mfe = _engine.printed_figures(tuple(STAT_LABELS), np.ones(3), 0, 252.0, None, None, None, 0.0, *many)
    assert len(mae) == len(mfe) == np.count_nonzero(exit_bar >= 0) > 8192
    want = columns_figures(*many)
    assert [table[list(STAT_LABELS).index(k)] for k in ("trades", "win_rate", "avg_holding_bars")] == \
        [want["trades"], want["win_rate"], want["avg_holding_bars"]]
    with pytest.raises(IndexError):
        _engine.trade_figures(np.array([5]), *[np.zeros(2, np.int64)] * 2, np.zeros(2), np.zeros((2, 1, 6)))
    with pytest.raises(ValueError, match="one length"):
        _engine.trade_figures(np.array([0]), *[np.zeros(2, np.int64)] * 2, np.zeros(3), np.zeros((2, 1, 6)))


def test_entry_order_sorts_the_records_by_entry_bar_then_stock():
    # Stops end records between rebalances, so the ledger makes them out of
    # entry order; entry_order must be the stable sort by (entry fill bar,
    # stock id) of the records as made.
    unsorted = 0
    for seed in range(12):
        arrays, opts = random_market(seed, exits=True, max_bars=150, max_stocks=25)
        if not _ok((arrays, opts)):
            continue
        r = _engine.run(*arrays, **opts)
        bar, sid = r.trades["fill_entry_bar"], r.trades["sid"]
        want = np.lexsort((sid, bar))
        assert r.entry_order.tolist() == want.tolist()
        unsorted += not np.array_equal(want, np.arange(len(want)))
    assert unsorted >= 3
