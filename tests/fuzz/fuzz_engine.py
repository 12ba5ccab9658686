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
first asks, as backtest_ does. The other returned arrays are not compared
yet.

Run through tools/fuzz.sh.
"""
import sys

import atheris

try:
    from vostra import _engine
except ImportError as e:
    print(f"fuzz_engine: vostra._engine is not available ({e}); nothing to fuzz")
    sys.exit(0)

import fuzz_backtest as bt  # noqa: E402
import harness  # noqa: E402
from harness import Bytes, Flag, Label, finding  # noqa: E402


def value_array(result):
    """The portfolio value at every bar: `equity` of the run's result."""
    if hasattr(result, "equity"):
        return result.equity
    if isinstance(result, (tuple, list)):
        return result[0]
    if isinstance(result, dict):
        return result["creturn"]
    return result


def test_one_input(data):
    b = Bytes(atheris.FuzzedDataProvider(data))
    arrays, opts = bt.decode(b)
    stop = opts.get("stop_trading_next_period")
    if isinstance(stop, Flag):
        opts["stop_trading_next_period"] = stop.answers[0]
    elif isinstance(stop, harness.Number) and not stop.raises:
        opts["stop_trading_next_period"] = bool(stop.value)
    flag = None
    labels = [x for n in (6, 9) if isinstance(arrays[n], harness.np.ndarray) for x in arrays[n]]
    if any(isinstance(x, Label) and x.mode in harness.UNPREDICTABLE_LABELS for x in labels):
        bt.run_native(arrays, opts, flag, _engine.run)
        return
    got, error, _ = bt.run_native(arrays, opts, flag, _engine.run)
    expected_error = bt.rejection(arrays, opts)
    if expected_error is not None:
        if error is None:
            finding(f"_engine.run accepts what backtest_ rejects ({bt.REASON[0]})", opts)
        return
    if error is not None and bt.checked_price_failure(error, arrays):
        return
    if bt.outside_model(arrays, bt.converted_options(opts)):
        return
    want, model_error, _ = bt.run_model(arrays, bt.converted_options(opts), flag)
    if error is not None or model_error is not None:
        if error is None or model_error is None or type(error) is not type(model_error):
            finding("_engine.run and the model end differently", error, model_error)
        return
    if not harness.same_array(value_array(got), want.creturn):
        finding("value arrays differ", value_array(got), want.creturn)


if __name__ == "__main__":
    atheris.Setup(sys.argv, test_one_input)
    atheris.Fuzz()
