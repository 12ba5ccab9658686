#!/usr/bin/env python3
"""Fuzz target: the excursion recorder (vostra.core.orbalt), driven through
the test probe vostra.core._recorder_probe, against the model's Recorder.

Each input decodes into a sequence of recorder operations (start_analysis
with price matrices of any layout and extreme values, record_date,
record_entry, record_exit, end_analysis) with stock ids, bars and window
options in and out of range, interleaved with changes to the recorder's
lists (cleared, appended to, rebound to an object whose append raises). Each
operation must end like the model's (the same exception type, or none) and
the lists and the per-stock arrays must equal the model's bit for bit.

Price matrices that the recorder rejects (wrong dtype or dimension) are
checked for the rejection only: the model does not check them.

Run through tools/fuzz.sh.
"""
import sys

import atheris

import harness
from harness import Bytes, FuzzError, finding

with atheris.instrument_imports(include=["model"]):
    import model

from vostra.core import _recorder_probe as probe  # noqa: E402

np = harness.np
orbalt = probe.orbalt
LISTS = ("trades", "trade_positions", "orbalt")


class Sink:
    """A stand-in for one of the recorder's lists that refuses new rows."""

    def append(self, item):
        raise FuzzError("append")

    def clear(self):
        pass


def matrix(b, n_bars, n_cols):
    m = np.array([[harness.price(b) for _ in range(n_cols)] for _ in range(n_bars)],
                 dtype=np.float64).reshape(n_bars, n_cols)
    m = harness.layout(b, m)
    out, changed = harness.mistyped(b, m)
    # The probe hands its arguments to the recorder as arrays unchecked, as
    # the engine does: only arrays are passed.
    return (out, changed) if isinstance(out, np.ndarray) else (m, False)


def start_args(b):
    n_bars, n_cols = b.int(0, 8), b.int(0, 3)
    price, bad_price = matrix(b, n_bars, n_cols)
    close, bad_close = matrix(b, n_bars, n_cols) if b.chance(128) else (price, bad_price)
    pos2price = {b.int(-1, 4): b.int(-1, 3) for _ in range(b.int(0, 4))}
    nstocks = b.int(-1, 5)
    fee, tax = harness.fraction(b), harness.fraction(b)
    # A negative step has no defined outcome: the recorder stops sampling
    # after the first group, the model walks on until it writes out of range
    # (IndexError). The engine itself never passes one.
    window, step = b.int(-2, 10), b.int(0, 3)
    rejected = bad_price or bad_close
    return (price, close, pos2price, nstocks, fee, tax, window, step), rejected


def operation(b):
    """One operation: (name, args, the model rejects nothing the native
    recorder accepts)."""
    kind = b.pick(["entry", "exit", "date", "date", "entry", "exit", "end", "start", "lists"])
    if kind == "date":
        return "record_date", (b.int(-2, 10),), False
    if kind == "entry":
        return "record_entry", (b.int(-2, 5), harness.weight(b), b.int(0, 2)), False
    if kind == "exit":
        return "record_exit", (b.int(-2, 5), b.int(0, 2)), False
    if kind == "end":
        return "end_analysis", ({b.int(-1, 5): harness.weight(b) for _ in range(b.int(0, 4))},), False
    if kind == "start":
        args, rejected = start_args(b)
        return "start_analysis", args, rejected
    return "lists", (b.pick(["clear", "clear_trades", "append", "sink"]), b.pick(LISTS)), False


def change_lists(target, how, name):
    if how == "sink":
        setattr(target, name, Sink())
    else:
        harness.mutate(target, how)


def outcome(call):
    try:
        call()
        return None
    except Exception as e:  # noqa: BLE001 - compared between the two recorders
        return e


def compare_state(rec):
    lists = {}
    for name in LISTS:
        got, want = getattr(orbalt, name), getattr(rec, name)
        if isinstance(got, Sink) != isinstance(want, Sink):
            finding(name + " rebound on one side only", got, want)
        if not isinstance(got, Sink):
            if len(got) != len(want):
                finding(name + " differ in length", list(got), want)
            lists[name] = (got, want)
    if "trades" in lists and [[int(x) for x in t] for t in lists["trades"][0]] != [
            [int(x) for x in t] for t in lists["trades"][1]]:
        finding("trades differ", *lists["trades"])
    if "trade_positions" in lists and not harness.same_floats(*(
            [float(x) for x in v] for v in lists["trade_positions"])):
        finding("trade positions differ", *lists["trade_positions"])
    if "orbalt" in lists and not all(harness.same_array(g, w) for g, w in zip(*lists["orbalt"])):
        finding("excursion arrays differ", *lists["orbalt"])
    entry, position = probe.variables()
    if not (harness.same_array(entry, rec.entry) and harness.same_array(position, rec.position)):
        finding("entry or position arrays differ", entry, rec.entry, position, rec.position)


def lists_in_step():
    lists = [getattr(orbalt, n) for n in LISTS]
    return all(type(x) is list for x in lists) and len({len(x) for x in lists}) == 1


def reset():
    """An empty run on both sides, with fresh lists and the bar at 0."""
    for name in LISTS:
        setattr(orbalt, name, [])
    probe.record_date(0)
    probe.start_analysis(np.zeros((0, 0)), np.zeros((0, 0)), {}, 0, 0.0, 0.0, 0, 1)
    return model.Recorder()


def test_one_input(data):
    b = Bytes(atheris.FuzzedDataProvider(data))
    rec = reset()
    steps = []
    # After a change that puts the lists out of step the recorder may refuse
    # them where the model goes on: from there on only crashes count.
    in_step = True
    for _ in range(b.int(1, 24)):
        name, args, rejected = operation(b)
        steps.append((name, args))
        if name == "lists":
            change_lists(orbalt, *args)
            change_lists(rec, *args)
            in_step &= args[0] not in harness.UNPREDICTABLE_MUTATIONS
            continue
        got = outcome(lambda: getattr(probe, name)(*args))
        if not in_step:
            continue
        if rejected:
            if type(got) is not ValueError:
                finding("start_analysis should reject the price matrices", got, steps)
            continue
        want = outcome(lambda: getattr(rec, name)(*args))
        if type(got) is not type(want):
            finding(f"{name} ends differently", got, want, steps)
        compare_state(rec)
        # A trade whose excursions fail leaves its row without an array.
        in_step = lists_in_step()
    reset()


if __name__ == "__main__":
    atheris.Setup(sys.argv, test_one_input)
    atheris.Fuzz()
