#!/usr/bin/env python3
"""Fuzz target: vostra._engine.run, the array-returning native entry, against
the model, on the inputs of fuzz_backtest.

The module may not be built yet: the target then says so and exits without
fuzzing. The value array (the first array `run` returns, or the only one)
must equal the model's bit for bit; a rejection before the run must be of
the type the engine's checks give; any other failure must be of the model's
type. The other returned arrays are not compared yet: their layout is
defined with the entry.

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
    if isinstance(result, (tuple, list)):
        return result[0]
    if isinstance(result, dict):
        return result["creturn"]
    return result


def test_one_input(data):
    b = Bytes(atheris.FuzzedDataProvider(data))
    arrays, opts = bt.decode(b)
    stop = opts.get("stop_trading_next_period")
    flag = stop if isinstance(stop, Flag) else None
    labels = [x for n in (6, 9) if isinstance(arrays[n], harness.np.ndarray) for x in arrays[n]]
    if any(isinstance(x, Label) and x.mode in harness.UNPREDICTABLE_LABELS for x in labels):
        bt.run_native(arrays, opts, flag, _engine.run)
        return
    got, error, native_flag = bt.run_native(arrays, opts, flag, _engine.run)
    expected_error = bt.rejection(arrays, opts)
    if expected_error is not None:
        if error is None or type(error) is not expected_error:
            finding(f"the engine's checks should raise {expected_error.__name__} ({bt.REASON[0]})", error, opts)
        return
    if error is not None and bt.checked_price_failure(error, arrays):
        return
    if bt.outside_model(arrays, bt.converted_options(opts)):
        return
    want, model_error, model_flag = bt.run_model(arrays, bt.converted_options(opts), flag)
    if flag is not None and native_flag.calls != model_flag.calls:
        finding("stop_trading_next_period tested a different number of times", native_flag.calls, model_flag.calls)
    if error is not None or model_error is not None:
        if error is None or model_error is None or type(error) is not type(model_error):
            finding("_engine.run and the model end differently", error, model_error)
        return
    if not harness.same_array(value_array(got), want.creturn):
        finding("value arrays differ", value_array(got), want.creturn)


if __name__ == "__main__":
    atheris.Setup(sys.argv, test_one_input)
    atheris.Fuzz()
