#!/usr/bin/env python3
"""Fuzz target: vostra._engine.run, the array-returning native entry, against
the model, on the inputs of fuzz_backtest.

The module may not be built yet: the target then says so and exits without
fuzzing. The value array (`equity`, or the first array `run` returns) must
equal the model's bit for bit; inputs that backtest_'s checks reject must
raise (of any type: the entry converts and checks its arguments in its own
order); any other failure must be of the model's type. The entry holds no
module state and runs without the interpreter lock, so it tests
stop_trading_next_period once, where backtest_ tests it at every use: a
hostile truth object is passed as its first answer. One whose truth test
always raises is passed as it is: the entry raises that error where the run
first asks, as backtest_ does.

Each input may also carry the account options and the market's rules
(capital, lot_size as one number or one per column, min_fee, slippage,
leverage, borrow_rate, cash_rate, periods_per_year, volume with
max_volume_share, price_limit, blocked), plain or hostile: values out of
range, of other types, matrices of another dtype, byte order, shape or
layout. What the engine's account checks refuse must raise, a ValueError
naming the option; never a SystemError. An accepted account must give the
model's shares, interest, fills and waiting orders besides its values.

Run through tools/fuzz.sh.
"""
import math
import sys

import atheris

try:
    from vostra import _engine
except ImportError as e:
    print(f"fuzz_engine: vostra._engine is not available ({e}); nothing to fuzz")
    sys.exit(0)

import fuzz_backtest as bt  # noqa: E402
import harness  # noqa: E402
from harness import Bytes, Flag, FuzzError, Label, finding  # noqa: E402

np = harness.np


def value_array(result):
    """The portfolio value at every bar: `equity` of the run's result."""
    if hasattr(result, "equity"):
        return result.equity
    if isinstance(result, (tuple, list)):
        return result[0]
    if isinstance(result, dict):
        return result["creturn"]
    return result


# --- The account and the market's rules ------------------------------------------

# Plain values of each option first, then values the engine must refuse.
ACCOUNT_VALUES = {
    "capital": [1e6, 1e4, 1.0, 1e9, 1e15, 5e-324, 0.0, -1.0],
    "min_fee": [0.0, 5.0, 20.0, 1e-3, 1e6, -1.0],
    "slippage": [0.0, 0.001, 0.01, 0.3, 0.999, 1.0, -0.1],
    "leverage": [1.0, 0.0, 0.5, 1.5, 3.0, -1.0],
    "borrow_rate": [0.0, 0.05, 3.0, -0.5, -1.0, -1.5],
    "cash_rate": [0.0, 0.03, -0.5, -1.0, 2.0, -1.5],
    "periods_per_year": [252.0, 12.0, 1.0, 0.0, -1.0],
    "max_volume_share": [0.1, 0.01, 0.5, 1.0, 0.0, 1.5],
    "price_limit": [0.1, 0.01, 0.05, 0.5, 0.0, 1.0],
}


def option_value(b, name):
    """A value of a number option: from its list, now and then an extreme
    double, and then maybe of another type (harness.odd_value)."""
    v = b.pick(harness.EXTREMES) if b.chance(12) else b.pick(ACCOUNT_VALUES[name])
    return harness.odd_value(b, v)


def price_shape(arrays):
    p = arrays[0]
    return p.shape if isinstance(p, np.ndarray) and p.ndim == 2 else (1, 1)


def lot_sizes(b, n_cols):
    """A lot size for every column, one per column, or a hostile value."""
    plain = [1, 10, 100, 1000]
    kind = b.pick(["one", "one", "columns", "columns", "bad_one", "bad_columns", "length", "2d", "strings",
                   "odd"])
    if kind == "one":
        return b.pick(plain)
    per = [float(b.pick(plain)) for _ in range(n_cols)]
    if kind == "columns":
        return harness.layout(b, np.array(per))
    if kind == "bad_one":
        return b.pick([0, -100, 2.5, float("nan"), float("inf"), 1e13, 2**63, True, 0.5])
    if kind == "bad_columns":
        if per:
            per[b.int(0, len(per) - 1)] = b.pick([0.0, -1.0, 1.5, float("nan"), float("inf"), 1e13])
        return np.array(per)
    if kind == "length":
        return np.array(per + [1.0]) if b.chance(128) or not per else np.array(per[:-1])
    if kind == "2d":
        return np.array([per])
    if kind == "strings":
        return [str(int(x)) for x in per] if b.chance(128) else ["lot"] * max(n_cols, 1)
    return harness.odd_value(b, float(b.pick(plain)))


def volume_matrix(b, shape):
    """Shares traded per bar and price column: mostly plenty or a few, with
    zeros, NaN, negative and infinite cells; in any layout, now and then of
    another dtype, byte order or shape."""
    rows, cols = shape
    base = [0.0, 50.0, 1e3, 1e5, 1e9]
    out = np.array([[b.pick(base) for _ in range(cols)] for _ in range(rows)], dtype=np.float64).reshape(shape)
    for _ in range(b.int(0, 3)):
        if out.size:
            out[b.int(0, rows - 1), b.int(0, cols - 1)] = b.pick(harness.EXTREMES + [-50.0])
    if b.chance(16):
        out = out[:, :-1] if b.chance(128) else np.vstack([out, out[:1]])
    out = harness.layout(b, out)
    return harness.mistyped(b, out)[0]


def blocked_matrix(b, shape):
    rows, cols = shape
    out = np.array([[b.chance(64) for _ in range(cols)] for _ in range(rows)], dtype=bool).reshape(shape)
    if b.chance(16):
        out = out[:-1] if b.chance(128) else out.T
    if b.chance(16):
        out = out.astype(b.pick([np.int8, np.uint8, np.float64, object]))
    return harness.layout(b, out)


def draw_account(b, arrays):
    """The account and market options of _engine.run, each now and then
    present, plain or hostile; {} once the bytes run out."""
    opts = {}
    if not b.chance(160):
        return opts
    for name in ("capital", "min_fee", "slippage", "leverage", "borrow_rate", "cash_rate", "periods_per_year"):
        if b.chance(96 if name == "capital" else 64):
            opts[name] = option_value(b, name)
    n_cols = len(arrays[9]) if isinstance(arrays[9], np.ndarray) else 1
    if b.chance(96):
        opts["lot_size"] = lot_sizes(b, n_cols)
    if b.chance(96):
        opts["volume"] = volume_matrix(b, price_shape(arrays)) if not b.chance(8) else None
        if not b.chance(8):
            opts["max_volume_share"] = option_value(b, "max_volume_share")
    if b.chance(64):
        opts["price_limit"] = option_value(b, "price_limit")
    if b.chance(64):
        opts["blocked"] = blocked_matrix(b, price_shape(arrays))
    return opts


def float64_matrix(m, shape):
    return (isinstance(m, np.ndarray) and m.dtype.kind == "f" and m.dtype.itemsize == 8
            and m.dtype.byteorder != ">" and m.ndim == 2 and m.shape == shape)


def whole_lot(x):
    return 1 <= x <= 1e12 and math.floor(x) == x


def account_problem(acct, arrays, fee_ratio):
    """The option the engine's account checks refuse, in the order it checks
    them, or None; the conversion of a value may raise instead (a value of
    another type)."""
    def given(name):
        return acct.get(name) is not None

    def number(name, default):
        return harness.as_double(acct[name]) if given(name) else default

    capital = number("capital", 1.0)
    if not (capital > 0 and math.isfinite(capital)):
        return "capital"
    min_fee = number("min_fee", 0.0)
    if not (min_fee >= 0 and math.isfinite(min_fee)) or (min_fee != 0 and not given("capital")):
        return "min_fee"
    if given("lot_size"):
        if not given("capital"):
            return "lot_size"
        try:
            lots = np.array(acct["lot_size"], dtype=np.float64)
        except Exception:  # noqa: BLE001 - whatever NumPy cannot read as numbers
            return "lot_size"
        if lots.ndim > 1 or (lots.ndim == 1 and len(lots) != len(arrays[9])):
            return "lot_size"
        if not all(whole_lot(x) for x in lots.reshape(-1)):
            return "lot_size"
    slippage = number("slippage", 0.0)
    if not 0 <= slippage < 1:
        return "slippage"
    leverage = number("leverage", 1.0)
    if not (leverage >= 0 and math.isfinite(leverage)):
        return "leverage"
    periods = number("periods_per_year", 252.0)
    if not (periods > 0 and math.isfinite(periods)):
        return "periods_per_year"
    for name in ("borrow_rate", "cash_rate"):
        rate = number(name, 0.0)
        if not (rate >= -1 and math.isfinite(rate)):
            return name
    if given("volume") != given("max_volume_share"):
        return "volume"
    for name in ("volume", "price_limit", "blocked"):
        if given(name) and not given("capital"):
            return name
    shape = arrays[0].shape
    if given("volume"):
        if not float64_matrix(acct["volume"], shape):
            return "volume"
        share = harness.as_double(acct["max_volume_share"])
        if not 0 < share <= 1:
            return "max_volume_share"
    if given("price_limit") and not 0 < harness.as_double(acct["price_limit"]) < 1:
        return "price_limit"
    b = acct.get("blocked")
    if b is not None and not (isinstance(b, np.ndarray) and b.dtype == np.bool_ and b.ndim == 2 and b.shape == shape):
        return "blocked"
    on = (given("capital") or given("lot_size") or min_fee != 0 or slippage != 0 or leverage != 1
          or number("borrow_rate", 0.0) / periods != 0 or number("cash_rate", 0.0) / periods != 0)
    if on and not fee_ratio > -1:
        return "fee_ratio"
    return None


def model_account(acct):
    """The account options as the engine reads them, for the model."""
    out = {}
    for name, v in acct.items():
        if v is None:
            continue
        if name == "lot_size":
            lots = np.array(v, dtype=np.float64)
            out[name] = float(lots) if lots.ndim == 0 else lots.tolist()
        elif name in ("volume", "blocked"):
            out[name] = v
        else:
            out[name] = harness.as_double(v)
    return out


def compare_account(got, want):
    """Shares, interest, fills and waiting orders of an account run."""
    acct = want.account
    if acct is None or not acct.on:
        if got.shares is not None:
            finding("shares without the account options", got.shares)
        return
    if not harness.same_array(got.shares, np.asarray(acct.shares, dtype=np.float64)):
        finding("shares differ", got.shares, acct.shares)
    if not harness.same_array(got.interest, acct.interest):
        finding("interest differs", got.interest, acct.interest)
    f = got.fills
    have = list(zip(f["bar"].tolist(), f["sid"].tolist(), f["shares"].tolist(), f["value"].tolist(),
                    f["cost"].tolist(), f["order"].tolist(), f["completed"].tolist()))
    expect = [(d, s, n, v, c, o, done) for d, s, n, _p, v, c, o, done in acct.fills]
    if len(have) != len(expect) or not all(harness.same_floats([float(x) for x in h], [float(x) for x in e])
                                           for h, e in zip(have, expect)):
        finding("fills differ", have, expect)
    if sorted(got.waiting.tolist()) != sorted(acct.waiting.values()):
        finding("waiting orders differ", got.waiting, acct.waiting)


# --- One input -------------------------------------------------------------------

def test_one_input(data):
    b = Bytes(atheris.FuzzedDataProvider(data))
    arrays, opts = bt.decode(b)
    acct = draw_account(b, arrays)
    stop = opts.get("stop_trading_next_period")
    if isinstance(stop, Flag):
        opts["stop_trading_next_period"] = stop.answers[0]
    elif isinstance(stop, harness.Number) and not stop.raises:
        opts["stop_trading_next_period"] = bool(stop.value)
    flag = None
    labels = [x for n in (6, 9) if isinstance(arrays[n], np.ndarray) for x in arrays[n]]
    got, error, _ = bt.run_native(arrays, {**opts, **acct}, flag, _engine.run)
    if isinstance(error, SystemError):  # a C-API call failed without its own error
        finding("_engine.run raises SystemError", error, opts, acct)
    if any(isinstance(x, Label) and x.mode in harness.UNPREDICTABLE_LABELS for x in labels):
        return
    expected_error = bt.rejection(arrays, opts)
    if expected_error is not None:
        if error is None:
            finding(f"_engine.run accepts what backtest_ rejects ({bt.REASON[0]})", opts)
        return
    try:
        problem = account_problem(acct, arrays, bt.converted_options(opts).get("fee_ratio", 0.001425))
    except (TypeError, ValueError, OverflowError, FuzzError):  # a value the engine cannot convert either
        problem = "conversion"
    if problem is not None:
        if error is None:
            finding(f"_engine.run accepts an account it should refuse ({problem})", acct)
        if type(error) is ValueError and problem != "conversion" and problem not in str(error):
            finding(f"the error does not name {problem}", error, acct)
        return
    if error is not None and bt.checked_price_failure(error, arrays):
        return
    conv = bt.converted_options(opts)
    if bt.outside_model(arrays, conv):
        return
    want, model_error, _ = bt.run_model(arrays, {**conv, **model_account(acct)}, flag)
    if error is not None or model_error is not None:
        if error is None or model_error is None or type(error) is not type(model_error):
            finding("_engine.run and the model end differently", error, model_error, acct)
        return
    if not harness.same_array(value_array(got), want.creturn):
        finding("value arrays differ", value_array(got), want.creturn, acct)
    compare_account(got, want)


if __name__ == "__main__":
    atheris.Setup(sys.argv, test_one_input)
    atheris.Fuzz()
