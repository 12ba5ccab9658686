#!/usr/bin/env python3
"""Fuzz target: vostra.core.vantrel.backtest_, get_trade_stocks and
get_stock_operations against the Python model.

Each input decodes into one market (shapes, dates, labels, prices and weights
with extreme values, every matrix in some memory layout, now and then of a
wrong dtype or type) and a set of options, some of them hostile objects. The
outcome must be one of:

- a rejection before the run, of the exception type that the engine's
  argument and input checks give for these inputs (mirrored in `rejection`);
  the model assumes inputs that pass those checks, so it is not run;
- a run that stops at a close, high, low or open price that is neither NaN
  nor positive and finite: the engine checks those prices, the model only the
  trading price, so only the named price is checked;
- otherwise the model's outcome: the same exception type, or the same value
  array, trade log, excursion arrays and report, bit for bit, and the same
  number of truth tests of stop_trading_next_period.

Labels whose encode() gives other bytes at every call, or no bytes, have no
defined outcome: there only a crash or a sanitizer report is a finding.

Run through tools/fuzz.sh.
"""
import re
import sys

import atheris

import harness
from harness import Bytes, Flag, FuzzError, Label, finding

with atheris.instrument_imports(include=["model"]):
    import model

from vostra.core import vantrel  # noqa: E402

orbalt = vantrel.orbalt

FLOATS = ["fee_ratio", "tax_ratio", "stop_loss", "take_profit", "trail_stop", "trail_stop_activation"]
# The engine converts the options in this order, before it looks at any array.
CONVERSIONS = [(n, harness.as_double) for n in FLOATS] + [
    ("touched_exit", bool), ("position_limit", harness.as_double), ("retain_cost_when_rebalance", bool),
    ("orbalt_window", harness.as_int32), ("orbalt_window_step", harness.as_int32),
    ("periodically_rebalance", bool)]
ARRAYS = ["price_values", "close_values", "high_values", "low_values", "open_values", "price_index",
          "price_columns", "pos_values", "pos_index", "pos_columns", "resample"]


# --- Decoding ------------------------------------------------------------------

def dates(b, n):
    """n timestamps, ascending with repeats; now and then one step back, or
    near the ends of the int64 range."""
    start = b.pick([0, 0, -30, 10**18, 2**62, -2**63 + 100])
    out, t = [], start
    for _ in range(n):
        out.append(t)
        t += b.pick([10, 10, 20, 0, 30]) if not b.chance(2) else -10
    return harness.np.array(out, dtype=harness.np.int64)


def prices(b, n_bars, n_cols):
    np = harness.np
    base = np.array([[harness.price(b) for _ in range(n_cols)]])
    steps = np.array([[1 + b.int(-12, 12) / 100 for _ in range(n_cols)] for _ in range(n_bars)])
    close = base * np.cumprod(steps, axis=0) if n_bars else np.zeros((0, n_cols))
    out = {"close_values": close}
    for name, spread in (("price_values", 2), ("open_values", 3), ("high_values", 5), ("low_values", -5)):
        m = close * np.array([[1 + b.int(min(0, spread), max(0, spread)) / 100 for _ in range(n_cols)]
                              for _ in range(n_bars)]) if n_bars else close.copy()
        out[name] = m
    for m in out.values():
        for _ in range(b.int(0, 3)):
            if m.size:
                m[b.int(0, n_bars - 1), b.int(0, n_cols - 1)] = harness.price(b) if b.chance(128) else harness.np.nan
    return out


def decode(b):
    np = harness.np
    n_bars = b.int(0, 9) if b.chance(16) else b.int(1, 9)
    n_prices = b.int(0, 4) if b.chance(12) else b.int(1, 4)
    price_labels = [harness.label(b) for _ in range(n_prices)]
    n_sig = b.int(0, 4) if b.chance(12) else b.int(1, 4)
    # Mostly distinct priced labels; now and then a repeat or an unpriced one.
    unused = list(price_labels)
    sig_labels = []
    for _ in range(n_sig):
        if unused and b.chance(240):
            sig_labels.append(unused.pop(b.int(0, len(unused) - 1)))
        else:
            if price_labels and b.chance(24):
                sig_labels.append(b.pick(price_labels))
            else:
                sig_labels.append(harness.label(b) if b.chance(64) else f"N{len(sig_labels)}")
    n_rows = b.int(0, 4) if b.chance(12) else b.int(1, 4)

    arrays = prices(b, n_bars, n_prices)
    arrays["price_index"] = dates(b, n_bars)
    arrays["price_columns"] = harness.labels_array(price_labels)
    arrays["pos_values"] = np.array([[harness.weight(b) for _ in range(n_sig)] for _ in range(n_rows)],
                                    dtype=np.float64).reshape(n_rows, n_sig)
    pidx = arrays["price_index"]
    lo = int(pidx[0]) - 20 if n_bars else 0
    arrays["pos_index"] = np.sort(np.array([lo + 10 * b.int(0, n_bars + 2) for _ in range(n_rows)],
                                           dtype=np.int64))
    if b.chance(3):
        arrays["pos_index"] = arrays["pos_index"][::-1].copy()
    arrays["pos_columns"] = harness.labels_array(sig_labels)
    arrays["resample"] = pidx.copy() if b.chance(128) else np.sort(
        np.array([lo + 10 * b.int(0, n_bars + 2) for _ in range(b.int(0, 5))], dtype=np.int64))

    mistyped = False
    for name in ARRAYS:
        arrays[name] = harness.layout(b, arrays[name])
        arrays[name], changed = harness.mistyped(b, arrays[name])
        mistyped |= changed

    opts = {}
    for name in FLOATS + ["position_limit"]:
        if b.chance(128):
            opts[name] = harness.odd_value(b, harness.fraction(b))
    for name in ["touched_exit", "retain_cost_when_rebalance", "periodically_rebalance"]:
        if b.chance(160):
            opts[name] = harness.odd_value(b, b.chance(128))
    if b.chance(160):
        opts["stop_trading_next_period"] = harness.flag(b) if b.chance(128) else harness.odd_value(b, b.chance(128))
    if b.chance(128):
        opts["orbalt_window"] = harness.odd_value(b, b.int(-1, 12))
    if b.chance(100):
        opts["orbalt_window_step"] = harness.odd_value(b, b.int(0, 4))
    if b.chance(64):
        bars = np.array([b.int(-2, n_bars + 1) for _ in range(n_sig)], dtype=np.int64)
        opts["delisting_bars"], _ = harness.mistyped(b, harness.layout(b, bars))
    return [arrays[n] for n in ARRAYS], opts


# --- What the engine's checks reject --------------------------------------------

def is_i64(a):
    return a.dtype.kind == "i" and a.dtype.itemsize == 8 and a.dtype.byteorder != ">"


def elem_ok(a, name):
    if name in ("price_index", "pos_index", "resample"):
        return is_i64(a) and a.ndim == 1
    if name in ("price_columns", "pos_columns"):
        return a.dtype == object and a.ndim == 1
    return a.dtype == harness.np.float64 and a.dtype.byteorder != ">" and a.ndim == 2


def encoded(x):
    return x.encode("UTF-8")


def converted_options(opts):
    """The options as the engine converts them; raises what it raises."""
    out = dict(opts)
    for name, convert in CONVERSIONS:
        if name in opts:
            out[name] = convert(opts[name])
    return out


REASON = [""]  # why the last rejection was expected, for reading findings


def why(error, reason):
    REASON[0] = reason
    return error


def rejection(arrays, opts):
    """The exception type the engine raises before the run for these inputs,
    or None when the inputs pass its checks."""
    np = harness.np
    a = dict(zip(ARRAYS, arrays))
    try:
        conv = converted_options(opts)
    except Exception as e:  # noqa: BLE001 - the conversion's own error is what the engine raises
        return type(e)
    bars = opts.get("delisting_bars")
    if bars is not None:
        if not isinstance(bars, np.ndarray):
            return why(TypeError, "delisting_bars is no buffer")
        if bars.ndim != 1 or not is_i64(bars):
            return why(ValueError, "delisting_bars of a wrong dtype or dimension")
    if any(not isinstance(a[n], np.ndarray) for n in ARRAYS):
        return why(TypeError, "an argument is no array")
    if any(not elem_ok(a[n], n) for n in ARRAYS):
        return why(ValueError, "an array of a wrong dtype or dimension")
    p, w = a["price_values"], a["pos_values"]
    if any(a[n].shape != p.shape for n in ARRAYS[1:5]) or p.shape != (len(a["price_index"]), len(a["price_columns"])):
        return why(ValueError, "price shapes")
    if w.shape != (len(a["pos_index"]), len(a["pos_columns"])):
        return why(ValueError, "weight shape")
    if bars is not None and len(bars) != len(a["pos_columns"]):
        return why(ValueError, "delisting_bars length")
    if conv.get("orbalt_window", 0) < 0 or conv.get("orbalt_window_step", 1) < 1:
        return why(ValueError, "window")
    if any((np.diff(a[n]) < 0).any() for n in ("price_index", "pos_index", "resample")):
        return why(ValueError, "decreasing dates")
    if not np.isfinite(w).all():
        return why(ValueError, "non-finite weight")
    if any(not np.isfinite(np.abs(row).sum()) for row in w):
        return why(ValueError, "a row's absolute weights add up beyond the largest float")
    try:
        by_label = {encoded(x): i for i, x in enumerate(a["price_columns"])}
        sig = [encoded(x) for x in a["pos_columns"]]
    except Exception:  # noqa: BLE001 - a label that does not encode fails in the run, in both
        return None
    if len(set(sig)) != len(sig):
        return why(ValueError, "duplicate signal label")
    traded = (w != 0).any(axis=0) if w.size else np.zeros(w.shape[1], dtype=bool)
    if any(t and s not in by_label for t, s in zip(traded, sig)):
        return why(ValueError, "traded label without prices")
    return None


def outside_model(arrays, conv):
    """Whether the run may trade a signal column without prices, which the
    model does not define (it raises KeyError) and the engine reads from
    price column 0: a negative position_limit turns every zero weight into a
    full position, so the check for weights of unpriced labels cannot see it.
    Reported in tests/fuzz/crashes/README.md."""
    if not conv.get("position_limit", 1.0) < 0:
        return False
    try:
        priced = {encoded(x) for x in arrays[6]}
        return any(encoded(x) not in priced for x in arrays[9])
    except Exception:  # noqa: BLE001 - a label that does not encode stops both runs at the mapping
        return False


PRICE_FAILURE = re.compile(r"Invalid (close|high|low|open) price for .* at price row (\d+): ")
MATRIX = {"close": 1, "high": 2, "low": 3, "open": 4}


def unusable(v):
    return not (v != v or (0 < v < float("inf")))


def checked_price_failure(e, arrays):
    """Whether `e` is the engine stopping at an unusable close, high, low or open
    price that is really in the named matrix and row."""
    m = PRICE_FAILURE.match(str(e)) if type(e) is ValueError else None
    if not m:
        return False
    row = arrays[MATRIX[m.group(1)]][int(m.group(2))]
    if not any(unusable(float(v)) for v in row):
        finding("the engine reports an invalid price that its row does not hold", str(e), row)
    return True


# --- One input -----------------------------------------------------------------

def same_value(a, b):
    """Equality of report values, NaN equal to NaN, dict keys in the same order."""
    if isinstance(a, dict) and isinstance(b, dict):
        return list(a) == list(b) and all(same_value(a[k], b[k]) for k in a)
    if isinstance(a, list) and isinstance(b, list):
        return len(a) == len(b) and all(same_value(x, y) for x, y in zip(a, b))
    if isinstance(a, float) and isinstance(b, float) and a != a and b != b:
        return True
    return a == b


def run_native(arrays, opts, flag, run=None):
    if flag is not None:
        opts = dict(opts, stop_trading_next_period=flag.fresh(orbalt))
    try:
        return (run or vantrel.backtest_)(*arrays, **opts), None, opts.get("stop_trading_next_period")
    except Exception as e:  # noqa: BLE001 - compared with the model below
        return None, e, opts.get("stop_trading_next_period")


def run_model(arrays, opts, flag):
    recorder = model.Recorder()
    opts = dict(opts, recorder=recorder)
    if flag is not None:
        opts["stop_trading_next_period"] = flag.fresh(recorder)
    try:
        return model.backtest(*arrays, **opts), None, opts.get("stop_trading_next_period")
    except Exception as e:  # noqa: BLE001 - compared with the engine
        return None, e, opts.get("stop_trading_next_period")


def compare_runs(got, want, arrays, touched):
    if not harness.same_array(got, want.creturn):
        finding("value arrays differ", got, want.creturn)
    if [[int(x) for x in t] for t in orbalt.trades] != want.trades:
        finding("trades differ", list(orbalt.trades), want.trades)
    if not harness.same_floats([float(x) for x in orbalt.trade_positions], want.trade_positions):
        finding("trade positions differ", list(orbalt.trade_positions), want.trade_positions)
    if len(orbalt.orbalt) != len(want.orbalt) or not all(
            harness.same_array(g, w) for g, w in zip(orbalt.orbalt, want.orbalt)):
        finding("excursion arrays differ", list(orbalt.orbalt), want.orbalt)
    if not same_value(vantrel.get_stock_operations(), want.stock_operations):
        finding("reports differ", vantrel.get_stock_operations(), want.stock_operations)
    compare_trade_log(arrays[9], arrays[5], touched, want)


def compare_trade_log(pos_columns, price_index, touched, want):
    try:
        rows, report = vantrel.get_trade_stocks(pos_columns, price_index, touched)
    except Exception as e:  # noqa: BLE001
        try:
            want.get_trade_stocks(pos_columns, price_index, touched)
        except Exception as m:  # noqa: BLE001
            if type(m) is not type(e):
                finding("get_trade_stocks raises another type than the model", e, m)
            return
        finding("get_trade_stocks raises where the model does not", e)
    expected = want.get_trade_stocks(pos_columns, price_index, touched)
    if not same_value([[harness.plain(x) for x in r] for r in rows], [[harness.plain(x) for x in r] for r in expected]):
        finding("trade logs differ", rows, expected)
    if not same_value(report, want.stock_operations):
        finding("get_trade_stocks report differs", report, want.stock_operations)


def other_trade_log_arguments(b, arrays):
    """get_trade_stocks with labels and dates other than the run's (shorter,
    so that rows fall out of range)."""
    labels, dates = arrays[9], arrays[5]
    if b.chance(128):
        labels = labels[: b.int(0, len(labels))]
    if b.chance(128):
        dates = dates[: b.int(0, len(dates))]
    return labels, dates, b.chance(128)


def test_one_input(data):
    b = Bytes(atheris.FuzzedDataProvider(data))
    arrays, opts = decode(b)
    stop = opts.get("stop_trading_next_period")
    flag = stop if isinstance(stop, Flag) else None
    labels = [x for n in (6, 9) if isinstance(arrays[n], harness.np.ndarray) for x in arrays[n]]
    unpredictable = any(isinstance(x, Label) and x.mode in harness.UNPREDICTABLE_LABELS for x in labels)
    # Recorder lists put out of step with each other mid-run: the engine may
    # refuse them (RuntimeError) where the model, which keeps no such check,
    # goes on. Only crashes count.
    unpredictable |= flag is not None and flag.mutate_at > 0 and flag.mutation in harness.UNPREDICTABLE_MUTATIONS

    got, error, native_flag = run_native(arrays, opts, flag)
    if unpredictable:
        if error is None:
            try:
                vantrel.get_trade_stocks(arrays[9], arrays[5], False)
            except (RuntimeError, TypeError, IndexError, AttributeError, ValueError, FuzzError):
                pass
        return
    expected_error = rejection(arrays, opts)
    if expected_error is not None:
        if error is None or type(error) is not expected_error:
            finding(f"the engine's checks should raise {expected_error.__name__} ({REASON[0]})", error, opts)
        return
    if error is not None and checked_price_failure(error, arrays):
        return
    conv = converted_options(opts)
    if outside_model(arrays, conv):
        return
    want, model_error, model_flag = run_model(arrays, conv, flag)
    if flag is not None and native_flag.calls != model_flag.calls:
        finding("stop_trading_next_period tested a different number of times", native_flag.calls, model_flag.calls)
    if error is not None or model_error is not None:
        if error is None or model_error is None or type(error) is not type(model_error):
            finding("the engine and the model end differently", error, model_error)
        return
    touched = conv.get("touched_exit", False)
    compare_runs(got, want, arrays, touched)
    if b.chance(64):
        compare_trade_log(*other_trade_log_arguments(b, arrays), want)
    if b.chance(16):
        # The model always takes the length of price_index; the engine only
        # for an open trade. Only a crash counts here.
        try:
            vantrel.get_trade_stocks(arrays[9], None, touched)
        except (TypeError, IndexError):
            pass


if __name__ == "__main__":
    atheris.Setup(sys.argv, test_one_input)
    atheris.Fuzz()
