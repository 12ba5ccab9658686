#!/usr/bin/env python3
"""Fuzz target: vostra.core.vantrel.normalize_weight and ioft against the model.

normalize_weight gets dicts of weights of mixed numeric types (Python and
NumPy numbers, extreme values, now and then a value that is not a number) and
a position limit; the dict it returns must equal the model's, key order,
value types and NaN included, or both must raise the same exception type.
ioft gets timestamps of every numeric type and size; the datetime must
equal the model's, or both must raise the same exception type.

Run through tools/fuzz.sh.
"""
import sys

import atheris

import harness
from harness import Bytes, finding

with atheris.instrument_imports(include=["model"]):
    import model

from vostra.core import vantrel  # noqa: E402

np = harness.np


def number(b):
    v = harness.weight(b) if b.chance(200) else harness.fraction(b)
    kind = b.pick(["float", "float", "np_float", "np_float32", "int", "np_int", "bool", "str", "none"])
    if kind == "np_float":
        return np.float64(v)
    if kind == "np_float32":
        return np.float32(v)
    if kind in ("int", "np_int"):
        if v != v or v in (float("inf"), -float("inf")):
            return v
        return int(v) if kind == "int" else np.int64(max(-2**63, min(int(v), 2**63 - 1)))
    if kind == "bool":
        return bool(v)
    if kind == "str":
        return str(v)
    if kind == "none":
        return None
    return v


def same_weights(a, b):
    return list(a) == list(b) and all(
        type(a[k]) is type(b[k]) and (a[k] == b[k] or (a[k] != a[k] and b[k] != b[k])) for k in a)


def outcome(fn, *args):
    try:
        return fn(*args), None
    except Exception as e:  # noqa: BLE001 - compared between the engine and the model
        return None, e


def check_normalize_weight(b):
    weights = {b.int(-2, 8): number(b) for _ in range(b.int(0, 6))}
    limit = number(b)
    got, error = outcome(vantrel.normalize_weight, dict(weights), limit)
    want, model_error = outcome(model.normalize_weight, dict(weights), limit)
    if type(error) is not type(model_error):
        finding("normalize_weight ends differently", error, model_error, weights, limit)
    if error is None and not same_weights(got, want):
        finding("normalize_weight results differ", got, want, weights, limit)


def check_ioft(b):
    v = b.pick([0, 1, -1, 10**18, 1.7e18, 2**63 - 1, -2**63, 10**30, float("nan"), float("inf"), 5e-324])
    if b.chance(128):
        v = b.fdp.ConsumeInt(9) if b.chance(128) else b.raw_float()
    v = b.pick([v, v, np.int64(v) if isinstance(v, int) and -2**63 <= v < 2**63 else v, np.float64(v)])
    got, error = outcome(vantrel.ioft, v)
    want, model_error = outcome(model.ioft, v)
    if type(error) is not type(model_error):
        finding("ioft ends differently", error, model_error, v)
    if error is None and (type(got) is not type(want) or got != want):
        finding("ioft results differ", got, want, v)


def test_one_input(data):
    b = Bytes(atheris.FuzzedDataProvider(data))
    for _ in range(b.int(1, 4)):
        (check_ioft if b.chance(64) else check_normalize_weight)(b)


if __name__ == "__main__":
    atheris.Setup(sys.argv, test_one_input)
    atheris.Fuzz()
