"""Bad inputs at every entry point of the engine.

One row per (argument, bad value): the exact exception and message, or, for
values the engine absorbs, the same run as the Python model. Every row starts
from a known good run (the `engine` fixture) and ends with a good run that
must match the model again, so a bad call can neither corrupt the module nor
wipe out what the previous run left behind:

- "before-run": a failure found by the argument or input checks. The previous
  report (the very same objects), RETAIN_COST_WHEN_REBALANCE, RESAMPLE and
  the recorder's trade log are untouched.
- "in-run": a failure in the middle of the run. The two globals hold the failed
  call's options, the previous report is untouched.
- "in-report": a failure while the report is built. As "in-run": the report
  describes the last completed run, so the partly built one is never seen.
"""
import subprocess
import sys
import traceback
from dataclasses import dataclass, field
from typing import Any

import numpy as np
import pytest

import model
from support import child_env

vantrel = pytest.importorskip("vostra.core.vantrel")
orbalt = vantrel.orbalt

INF, NAN = float("inf"), float("nan")

NAMES = ["price_values", "close_values", "high_values", "low_values", "open_values", "price_index",
         "price_columns", "pos_values", "pos_index", "pos_columns", "resample", "fee_ratio", "tax_ratio",
         "stop_loss", "take_profit", "trail_stop", "trail_stop_activation", "touched_exit", "position_limit",
         "retain_cost_when_rebalance", "stop_trading_next_period", "orbalt_window", "orbalt_window_step",
         "periodically_rebalance", "delisting_bars"]
MATRICES = NAMES[:5]
INDEXES = ["price_index", "pos_index", "resample"]
LABELS = ["price_columns", "pos_columns"]
ARRAYS = NAMES[:11]
FLOATS = ["fee_ratio", "tax_ratio", "stop_loss", "take_profit", "trail_stop", "trail_stop_activation",
          "position_limit"]
TRUTHS = ["touched_exit", "retain_cost_when_rebalance", "periodically_rebalance"]


# --- The market every case starts from ------------------------------------------
#
# Price columns D, B, A, C; signal columns A, B, C, Z. A is long from bar 1 to
# the end; B is short from bar 1 and sold at the rebalance of bar 4; C has a
# signal column but never a weight; D has no signal column; Z has no price.

PRICE_LABELS = ["D", "B", "A", "C"]
POS_LABELS = ["A", "B", "C", "Z"]
PCOL = {label: i for i, label in enumerate(PRICE_LABELS)}
SCOL = {label: i for i, label in enumerate(POS_LABELS)}


def base_arrays():
    price = np.array([[50, 20, 10, 30], [51, 20, 10, 31], [52, 21, 11, 29], [53, 22, 12, 30],
                      [54, 21, 13, 32], [55, 20, 14, 33]], dtype=np.float64)
    close = price + 0.5
    return dict(
        price_values=price, close_values=close, high_values=np.maximum(price, close) + 1.0,
        low_values=np.minimum(price, close) - 1.0, open_values=price - 0.25,
        price_index=np.arange(0, 60, 10, dtype=np.int64), price_columns=np.array(PRICE_LABELS, dtype=object),
        pos_values=np.array([[0.5, -0.3, 0.0, 0.0], [0.5, 0.0, 0.0, 0.0]]),
        pos_index=np.array([0, 30], dtype=np.int64), pos_columns=np.array(POS_LABELS, dtype=object),
        resample=np.arange(0, 60, 10, dtype=np.int64))


# What the bad calls pass: the defaults, spelled out for the two options that
# the run stores in module globals. The known good run uses the opposite.
CALL_OPTIONS = dict(retain_cost_when_rebalance=False, periodically_rebalance=True)
BASELINE_OPTIONS = dict(retain_cost_when_rebalance=True, periodically_rebalance=False, fee_ratio=0.002,
                        touched_exit=True, orbalt_window=2)
# Exits that the intrabar rows can reach through high, low and open.
TOUCHED = dict(touched_exit=True, stop_loss=0.5, take_profit=0.5)


def same_array(a, b):
    a, b = np.asarray(a), np.asarray(b)
    return a.shape == b.shape and a.dtype == b.dtype and np.array_equal(a, b, equal_nan=True)


def assert_matches_model(arrays, options):
    """Runs the engine and the model on the same inputs; everything agrees."""
    expected = model.backtest(*[arrays[n] for n in ARRAYS], **options)
    got = vantrel.backtest_(*[arrays[n] for n in ARRAYS], **options)
    assert same_array(got, expected.creturn), np.c_[got, expected.creturn]
    assert [[int(x) for x in t] for t in orbalt.trades] == expected.trades
    assert [float(x) for x in orbalt.trade_positions] == expected.trade_positions
    assert len(orbalt.orbalt) == len(expected.orbalt)
    for got_ex, want_ex in zip(orbalt.orbalt, expected.orbalt):
        assert same_array(got_ex, want_ex)
    report = vantrel.get_stock_operations()
    assert report == expected.stock_operations
    assert list(report) == list(expected.stock_operations)
    touched = options.get("touched_exit", False)
    rows, _ = vantrel.get_trade_stocks(arrays["pos_columns"], arrays["price_index"], touched)
    assert rows == expected.get_trade_stocks(arrays["pos_columns"], arrays["price_index"], touched)
    return got


class Engine:
    """The module state left by the known good run, and the checks after a bad call."""

    def __init__(self):
        self.arrays = base_arrays()
        assert_matches_model(self.arrays, BASELINE_OPTIONS)
        assert orbalt.trades, "the known good run must leave trades behind"
        self.report = vantrel.get_stock_operations()
        self.trades = [[int(x) for x in t] for t in orbalt.trades]
        self.globals = (vantrel.RETAIN_COST_WHEN_REBALANCE, vantrel.RESAMPLE)
        assert self.globals == (True, False)

    def report_survived(self):
        now = vantrel.get_stock_operations()
        assert now == self.report
        assert all(now[key] is self.report[key] for key in self.report), "the report was rebuilt"

    def after_failure(self, phase):
        if phase == "before-run":
            self.report_survived()
            assert (vantrel.RETAIN_COST_WHEN_REBALANCE, vantrel.RESAMPLE) == self.globals
            assert [[int(x) for x in t] for t in orbalt.trades] == self.trades
        elif phase == "in-run":
            self.report_survived()
            assert vantrel.RETAIN_COST_WHEN_REBALANCE is False and vantrel.RESAMPLE is True
        elif phase == "in-report":
            self.report_survived()
            assert vantrel.RETAIN_COST_WHEN_REBALANCE is False and vantrel.RESAMPLE is True
        else:
            raise AssertionError(phase)
        self.good_run()

    def good_run(self):
        assert_matches_model(base_arrays(), CALL_OPTIONS)


@pytest.fixture
def engine():
    return Engine()


def raised(excinfo, error, message, entry):
    """The exact exception, passed through the named function's traceback entry."""
    assert excinfo.type is error, excinfo.value
    assert str(excinfo.value) == message
    names = [f.name for f in traceback.extract_tb(excinfo.tb)]
    assert "vostra.core.vantrel." + entry in names, names


# --- Building the rows -----------------------------------------------------------

@dataclass
class Case:
    arg: str                      # the argument under test (for the coverage check)
    what: str                     # the kind of bad value, for the test id
    changes: dict                 # argument -> value, or callable(base value) -> value
    error: Any = None             # None: the run completes and matches the model
    message: str = ""
    phase: str = "before-run"
    options: dict = field(default_factory=dict)

    def param(self):
        return pytest.param(self, id=f"{self.arg}-{self.what}")


def apply(case):
    arrays, options = base_arrays(), dict(CALL_OPTIONS)
    options.update(case.options)
    for name, change in case.changes.items():
        target = arrays if name in ARRAYS else options
        target[name] = change(target.get(name)) if callable(change) else change
    return arrays, options


def cell(column, row, value, labels=PCOL):
    """A copy of the matrix with one element replaced."""
    def change(m):
        m = m.copy()
        m[row, labels[column]] = value
        return m
    return change


def weight(column, row, value):
    return cell(column, row, value, SCOL)


class Label:
    """A label that is not a str but encodes like one."""

    def __init__(self, text):
        self.text = text

    def encode(self, encoding):
        return self.text.encode(encoding)

    def __str__(self):
        return self.text

    def __repr__(self):
        return f"Label({self.text!r})"


class NoTruth:
    """An object whose truth test fails."""

    def __bool__(self):
        raise ZeroDivisionError("no truth value here")


def labels(*values):
    return lambda _: np.array(values, dtype=object)


# --- Wrong Python type, dtype and dimensions of the array arguments ------------

def incorrect_type(name, value):
    return (f"Argument '{name}' has incorrect type (expected numpy.ndarray, "
            f"got {type(value).__name__})")


def dtype_mismatch(expected, got):
    return f"Buffer dtype mismatch, expected '{expected}' but got {got}"


def dims(expected, got):
    return f"Buffer has wrong number of dimensions (expected {expected}, got {got})"


BIG_ENDIAN = "Big-endian buffer not supported on little-endian compiler"

ELEMENT = {**{n: "float64_t" for n in MATRICES + ["pos_values"]}, **{n: "int64_t" for n in INDEXES},
           **{n: "object" for n in LABELS}}
NDIM = {n: 2 if ELEMENT[n] == "float64_t" else 1 for n in ARRAYS}

# (what, conversion, what the buffer check calls the element type)
WRONG_DTYPES = {
    "float64_t": [("int64", lambda a: a.astype(np.int64), "'long'"),
                  ("float32", lambda a: a.astype(np.float32), "'float'"),
                  ("object", lambda a: a.astype(object), "Python object"),
                  ("bool", lambda a: a.astype(bool), "'bool'"),
                  ("big-endian-f8", lambda a: a.astype(">f8"), None)],
    "int64_t": [("float64", lambda a: a.astype(np.float64), "'double'"),
                ("int32", lambda a: a.astype(np.int32), "'int'"),
                ("uint64", lambda a: a.astype(np.uint64), "'unsigned long'"),
                ("object", lambda a: a.astype(object), "Python object"),
                ("bool", lambda a: a.astype(bool), "'bool'"),
                ("big-endian-i8", lambda a: a.astype(">i8"), None)],
    "object": [("int64", lambda a: np.arange(len(a), dtype=np.int64), "'long'"),
               ("float64", lambda a: np.zeros(len(a)), "'double'"),
               ("bool", lambda a: np.ones(len(a), dtype=bool), "'bool'"),
               ("unicode", lambda a: a.astype(str), "unparseable format string"),
               ("bytes", lambda a: a.astype(bytes), "a string"),
               ("big-endian-i8", lambda a: np.arange(len(a), dtype=">i8"), None)],
}


def zero_d(a):
    return np.array(a.flat[0], dtype=a.dtype)


def wrong_dims(a):
    """1-d for a 2-d array, 2-d for a 1-d array."""
    return a[:, 0] if a.ndim == 2 else a[None]


def three_d(a):
    return a[None] if a.ndim == 2 else a[None, None]


def array_cases():
    for name in ARRAYS:
        for what, value in [("list", [1.0]), ("None", None), ("str", "A"), ("dict", {})]:
            yield Case(name, what, {name: value}, TypeError, incorrect_type(name, value))
        for what, convert, got in WRONG_DTYPES[ELEMENT[name]]:
            message = BIG_ENDIAN if got is None else dtype_mismatch(ELEMENT[name], got)
            yield Case(name, what, {name: convert}, ValueError, message)
        yield Case(name, "0-d", {name: zero_d}, ValueError, dims(NDIM[name], 0))
        yield Case(name, f"{3 - NDIM[name]}-d", {name: wrong_dims}, ValueError, dims(NDIM[name], 3 - NDIM[name]))
        yield Case(name, "3-d", {name: three_d}, ValueError, dims(NDIM[name], 3))


# --- Shapes, empty arrays and timestamps ---------------------------------------

def shared_shape(name, shape):
    return (f"{name} has shape {shape} but price_values has shape (6, 4); the price matrices must share one "
            "shape")


def empty(a):
    return a[:0]


SHAPES = [
    Case("price_values", "empty", {"price_values": empty}, ValueError,
         "close_values has shape (6, 4) but price_values has shape (0, 4); the price matrices must share one "
         "shape"),
    *[Case(n, "empty", {n: empty}, ValueError, shared_shape(n, "(0, 4)")) for n in MATRICES[1:]],
    *[Case(n, "one-row-short", {n: lambda a: a[:5]}, ValueError, shared_shape(n, "(5, 4)"))
      for n in MATRICES[1:]],
    *[Case(n, "extra-column", {n: lambda a: np.hstack([a, a[:, :1]])}, ValueError, shared_shape(n, "(6, 5)"))
      for n in MATRICES[1:]],
    Case("price_values", "wider-than-the-others", {"price_values": lambda a: a[:, :3]}, ValueError,
         "close_values has shape (6, 4) but price_values has shape (6, 3); the price matrices must share one "
         "shape"),
    Case("price_index", "empty", {"price_index": empty}, ValueError,
         "price_values has 6 rows but price_index has 0 timestamps"),
    Case("price_index", "one-longer", {"price_index": lambda a: np.append(a, 60)}, ValueError,
         "price_values has 6 rows but price_index has 7 timestamps"),
    Case("price_columns", "empty", {"price_columns": empty}, ValueError,
         "price_values has 4 columns but price_columns has 0 labels"),
    Case("price_columns", "one-short", {"price_columns": lambda a: a[:3]}, ValueError,
         "price_values has 4 columns but price_columns has 3 labels"),
    Case("pos_values", "empty", {"pos_values": empty}, ValueError,
         "pos_values has 0 rows but pos_index has 2 timestamps"),
    Case("pos_values", "one-column-short", {"pos_values": lambda a: a[:, :3]}, ValueError,
         "pos_values has 3 columns but pos_columns has 4 labels"),
    Case("pos_index", "empty", {"pos_index": empty}, ValueError,
         "pos_values has 2 rows but pos_index has 0 timestamps"),
    Case("pos_index", "one-longer", {"pos_index": lambda a: np.append(a, 40)}, ValueError,
         "pos_values has 2 rows but pos_index has 3 timestamps"),
    Case("pos_columns", "empty", {"pos_columns": empty}, ValueError,
         "pos_values has 4 columns but pos_columns has 0 labels"),
    Case("pos_columns", "one-longer", {"pos_columns": lambda a: np.append(a, "E")}, ValueError,
         "pos_values has 4 columns but pos_columns has 5 labels"),
    # Consistent but empty inputs.
    Case("price_values", "no-bars-at-all",
         {**{n: lambda a: a[:0] for n in MATRICES}, "price_index": empty}),
    Case("price_columns", "no-price-columns-and-zero-weights",
         {**{n: lambda a: a[:, :0] for n in MATRICES}, "price_columns": empty,
          "pos_values": lambda a: np.zeros_like(a)}),
    Case("price_columns", "no-price-columns-but-weights",
         {**{n: lambda a: a[:, :0] for n in MATRICES}, "price_columns": empty}, ValueError,
         "pos_columns label 'A' has nonzero weights but no price column with the same label"),
    Case("pos_columns", "no-signal-columns", {"pos_values": lambda a: a[:, :0], "pos_columns": empty}),
    Case("resample", "empty", {"resample": empty}),
    # No signal row: the first bar reads pos_index[0].
    Case("pos_index", "no-signal-rows", {"pos_values": empty, "pos_index": empty}, IndexError,
         "Out of bounds on buffer access (axis 0)", "in-run"),
    # No bar either: the loop is skipped and the report reads pos_values[0].
    Case("pos_values", "no-signal-rows-and-no-bars",
         {**{n: lambda a: a[:0] for n in MATRICES}, "price_index": empty, "pos_values": empty,
          "pos_index": empty}, IndexError, "index 0 is out of bounds for axis 0 with size 0", "in-report"),
    Case("resample", "every-array-empty",
         {**{n: lambda a: a[:0, :0] for n in MATRICES + ["pos_values"]},
          **{n: empty for n in INDEXES + LABELS}}, IndexError, "index 0 is out of bounds for axis 0 with size 0",
         "in-report"),
]

TIMESTAMPS = [
    Case("price_index", "decreasing", {"price_index": lambda a: a[[0, 1, 3, 2, 4, 5]]}, ValueError,
         "price_index must not decrease: element 3 (20) is smaller than element 2 (30)"),
    Case("price_index", "decreasing-negative", {"price_index": lambda a: a - 100 * (np.arange(6) == 5)},
         ValueError, "price_index must not decrease: element 5 (-50) is smaller than element 4 (40)"),
    Case("pos_index", "decreasing", {"pos_index": lambda a: a[::-1]}, ValueError,
         "pos_index must not decrease: element 1 (0) is smaller than element 0 (30)"),
    Case("resample", "decreasing", {"resample": lambda a: a[::-1]}, ValueError,
         "resample must not decrease: element 1 (40) is smaller than element 0 (50)"),
    # Repeated timestamps do not decrease.
    Case("price_index", "repeated", {"price_index": lambda a: np.array([0, 10, 10, 20, 30, 30])}),
    Case("pos_index", "repeated", {"pos_index": lambda a: np.array([30, 30])}),
    Case("resample", "repeated", {"resample": lambda a: np.repeat(a, 2)}),
]


# --- Weights and labels ------------------------------------------------------------

def non_finite(value, row, label):
    return (f"pos_values holds a non-finite weight ({value}) at row {row}, column '{label}'; weights must be "
            "finite numbers")


WEIGHTS = [
    Case("pos_values", "nan-weight", {"pos_values": weight("B", 1, NAN)}, ValueError, non_finite("nan", 1, "B")),
    Case("pos_values", "inf-weight", {"pos_values": weight("A", 0, INF)}, ValueError, non_finite("inf", 0, "A")),
    Case("pos_values", "-inf-weight", {"pos_values": weight("C", 1, -INF)}, ValueError,
         non_finite("-inf", 1, "C")),
    # Finiteness is checked before the label has to have a price.
    Case("pos_values", "nan-weight-unpriced", {"pos_values": weight("Z", 0, NAN)}, ValueError,
         non_finite("nan", 0, "Z")),
    Case("pos_values", "nan-weight-fortran",
         {"pos_values": lambda a: np.asfortranarray(weight("B", 0, NAN)(a))}, ValueError,
         non_finite("nan", 0, "B")),
    Case("pos_values", "nonzero-weight-unpriced", {"pos_values": weight("Z", 1, 0.1)}, ValueError,
         "pos_columns label 'Z' has nonzero weights but no price column with the same label"),
    Case("pos_values", "negative-zero-weight-unpriced", {"pos_values": weight("Z", 0, -0.0)}),
]

LABEL_CASES = [
    Case("pos_columns", "int-label", {"pos_columns": labels("A", 7, "C", "Z")}, AttributeError,
         "'int' object has no attribute 'encode'", "in-run"),
    Case("pos_columns", "nan-label", {"pos_columns": labels("A", "B", NAN, "Z")}, AttributeError,
         "'float' object has no attribute 'encode'", "in-run"),
    Case("price_columns", "None-label", {"price_columns": labels("D", None, "A", "C")}, AttributeError,
         "'NoneType' object has no attribute 'encode'", "in-run"),
    Case("price_columns", "bytes-label", {"price_columns": labels(b"D", "B", "A", "C")}, AttributeError,
         "'bytes' object has no attribute 'encode'", "in-run"),
    Case("pos_columns", "unencodable-label", {"pos_columns": labels("A", "B", "C", "\ud800")}, UnicodeEncodeError,
         "'utf-8' codec can't encode character '\\ud800' in position 0: surrogates not allowed", "in-run"),
    # Labels that are not str but encode are mapped, and checked, like str labels.
    Case("pos_columns", "encodable-label", {"pos_columns": labels(Label("A"), "B", "C", "Z")}),
    Case("pos_columns", "encodable-label-unpriced", {"pos_columns": labels(Label("X"), "B", "C", "Z")},
         ValueError, "pos_columns label Label('X') has nonzero weights but no price column with the same label"),
    Case("pos_columns", "encodable-label-twice", {"pos_columns": labels("A", Label("A"), "C", "Z")},
         ValueError, "pos_columns holds the label Label('A') twice (columns 0 and 1); each signal column needs "
                     "its own label"),
    Case("pos_columns", "numpy-str-labels", {"pos_columns": labels(*map(np.str_, POS_LABELS))}),
    Case("pos_columns", "duplicate", {"pos_columns": labels("A", "B", "A", "Z")}, ValueError,
         "pos_columns holds the label 'A' twice (columns 0 and 2); each signal column needs its own label"),
    Case("pos_columns", "duplicate-unpriced", {"pos_columns": labels("A", "B", "Z", "Z")}, ValueError,
         "pos_columns holds the label 'Z' twice (columns 2 and 3); each signal column needs its own label"),
    Case("pos_columns", "other-case", {"pos_columns": labels("a", "B", "C", "Z")}, ValueError,
         "pos_columns label 'a' has nonzero weights but no price column with the same label"),
    Case("pos_columns", "trailing-blank", {"pos_columns": labels("A", "B ", "C", "Z")}, ValueError,
         "pos_columns label 'B ' has nonzero weights but no price column with the same label"),
    # Repeated price labels: the last occurrence wins (A then reads C's prices).
    Case("price_columns", "duplicate-last-wins", {"price_columns": labels("D", "B", "A", "A")}),
    Case("price_columns", "duplicate-first-loses", {"price_columns": labels("A", "B", "A", "C")}),
]


# --- Prices ---------------------------------------------------------------------------

def invalid_price(label, row, value, kind="trading"):
    dataset = "trading-price" if kind == "trading" else kind
    return (f"Invalid {kind} price for {label} at price row {row}: {float(value)!r}. Expected a positive "
            f"finite price; check the {dataset} dataset.")

BAD_PRICES = [("zero", 0.0), ("negative-zero", -0.0), ("negative", -2.5), ("inf", INF), ("-inf", -INF)]
# (label, row, what): where a held position meets its trading price. Row 1 is
# the entry bar (checked when it is marked to the close), row 4 the bar where
# B is revalued and then sold, row 5 the last bar.
HELD = [("A", 1, "entry-bar"), ("A", 3, "held"), ("A", 5, "last-bar"), ("B", 2, "held-short"),
        ("B", 4, "sold-at-rebalance")]
# Nobody holds these when they are read, if they are read at all.
UNHELD = [("A", 0, "before-entry"), ("B", 5, "after-exit"), ("C", 3, "zero-weight"), ("D", 2, "no-signal")]

PRICES = [
    *[Case("price_values", f"{what}-{where}", {"price_values": cell(label, row, value)}, ValueError,
           invalid_price(label, row, value), "in-run")
      for what, value in BAD_PRICES for label, row, where in HELD],
    *[Case("price_values", f"{what}-{where}", {"price_values": cell(label, row, value)})
      for what, value in BAD_PRICES + [("nan", NAN)] for label, row, where in UNHELD],
    # A missing price at a held position is absorbed.
    *[Case("price_values", f"nan-{where}", {"price_values": cell(label, row, NAN)})
      for label, row, where in HELD],
    Case("price_values", "tiny-positive-held", {"price_values": cell("A", 3, 1e-300)}),
    # Missing close, high, low and open prices are absorbed, with or without
    # intrabar exits.
    *[Case(name, f"nan-held-{label}{'-touched' if opts else ''}", {name: cell(label, 3, NAN)}, options=opts)
      for name in MATRICES[1:] for opts in ({}, TOUCHED) for label in ["A", "B"]],
    # A zero, negative or infinite close of a held stock stops the run where it
    # is marked; high, low and open are read (and checked) by intrabar exits
    # only. Used as they are, they would give a plausible but wrong curve.
    *[Case("close_values", f"{what}-held-{label}{'-touched' if opts else ''}", {"close_values": cell(label, 3, value)},
           ValueError, invalid_price(label, 3, value, "close"), "in-run", options=opts)
      for what, value in BAD_PRICES for opts in ({}, TOUCHED) for label in ["A", "B"]],
    *[Case(name, f"{what}-held-{label}-touched", {name: cell(label, 3, value)}, ValueError,
           invalid_price(label, 3, value, name.split("_")[0]), "in-run", options=TOUCHED)
      for name in ["high_values", "low_values", "open_values"] for what, value in BAD_PRICES for label in ["A", "B"]],
    *[Case(name, f"{what}-held-{label}-close-mode", {name: cell(label, 3, value)})
      for name in ["high_values", "low_values", "open_values"] for what, value in BAD_PRICES for label in ["A", "B"]],
    # Prices nobody holds are never checked.
    *[Case(name, f"{what}-{where}", {name: cell(label, row, value)}, options=TOUCHED)
      for name in MATRICES[1:] for what, value in BAD_PRICES for label, row, where in UNHELD],
]


# --- Scalar options ---------------------------------------------------------------------

OVERFLOW = "value too large to convert to int"

SCALARS = [
    *[Case(name, what, {name: value}, TypeError, f"must be real number, not {type(value).__name__}")
      for name in FLOATS for what, value in [("str", "0.1"), ("None", None), ("list", [0.1]), ("dict", {})]],
    *[Case(name, "complex", {name: 1j}, TypeError, "must be real number, not complex") for name in FLOATS],
    *[Case(name, "truth-test-raises", {name: NoTruth()}, ZeroDivisionError, "no truth value here")
      for name in TRUTHS],
    # Tested only when the run needs it, so the run has already started.
    Case("stop_trading_next_period", "truth-test-raises", {"stop_trading_next_period": NoTruth()},
         ZeroDivisionError, "no truth value here", "in-run"),
    # Any other object is a truth value.
    *[Case(name, f"{type(value).__name__}-as-truth", {name: value})
      for name, value in [("touched_exit", "no"), ("retain_cost_when_rebalance", [0]),
                          ("periodically_rebalance", None), ("stop_trading_next_period", {})]],
    *[Case(name, what, {name: value}, OverflowError, OVERFLOW)
      for name in ["orbalt_window", "orbalt_window_step"]
      for what, value in [("2**31", 2**31), ("-2**31-1", -2**31 - 1), ("2**64", 2**64), ("-2**100", -2**100),
                          ("numpy-2**40", np.int64(2**40))]],
    *[Case(name, what, {name: value}, TypeError, "an integer is required")
      for name in ["orbalt_window", "orbalt_window_step"]
      for what, value in [("str", "3"), ("None", None), ("list", [3]), ("dict", {})]],
    Case("orbalt_window", "negative", {"orbalt_window": -1}, ValueError, "orbalt_window must be >= 0, got -1"),
    Case("orbalt_window", "most-negative", {"orbalt_window": -2**31}, ValueError,
         "orbalt_window must be >= 0, got -2147483648"),
    Case("orbalt_window_step", "zero", {"orbalt_window_step": 0}, ValueError,
         "orbalt_window_step must be >= 1, got 0"),
    Case("orbalt_window_step", "negative", {"orbalt_window_step": -3}, ValueError,
         "orbalt_window_step must be >= 1, got -3"),
    # A negative cap would turn every target, zero weights included, into a
    # position on the other side.
    Case("position_limit", "negative", {"position_limit": -0.5}, ValueError,
         "position_limit must be >= 0, got -0.5"),
    Case("position_limit", "negative-infinity", {"position_limit": -INF}, ValueError,
         "position_limit must be >= 0, got -inf"),
    # Python's int conversion: a float window is truncated.
    Case("orbalt_window", "float", {"orbalt_window": 2.9}, options={}),
]


# --- delisting_bars --------------------------------------------------------------------

def bars(*values, dtype=np.int64):
    return np.array(values, dtype=dtype)


DELISTING = [
    *[Case("delisting_bars", what, {"delisting_bars": value}, ValueError, message)
      for what, value, message in [
          ("float64", bars(1, 2, 3, 4, dtype=np.float64), dtype_mismatch("const int64_t", "'double'")),
          ("float32", bars(1, 2, 3, 4, dtype=np.float32), dtype_mismatch("const int64_t", "'float'")),
          ("int32", bars(1, 2, 3, 4, dtype=np.int32), dtype_mismatch("const int64_t", "'int'")),
          ("uint64", bars(1, 2, 3, 4, dtype=np.uint64), dtype_mismatch("const int64_t", "'unsigned long'")),
          ("object", bars(1, 2, 3, 4, dtype=object), dtype_mismatch("const int64_t", "Python object")),
          ("bool", bars(1, 0, 1, 0, dtype=bool), dtype_mismatch("const int64_t", "'bool'")),
          ("bytes", b"\x01" * 32, dtype_mismatch("const int64_t", "'unsigned char'")),
          ("big-endian-i8", bars(1, 2, 3, 4, dtype=">i8"), BIG_ENDIAN),
          ("0-d", np.array(3), dims(1, 0)),
          ("2-d", bars(1, 2, 3, 4).reshape(2, 2), dims(1, 2)),
          ("3-d", bars(1, 2, 3, 4).reshape(1, 2, 2), dims(1, 3)),
      ]],
    *[Case("delisting_bars", what, {"delisting_bars": value}, TypeError,
           f"a bytes-like object is required, not '{type(value).__name__}'")
      for what, value in [("list", [1, 2, 3, 4]), ("str", "1234"), ("dict", {})]],
    *[Case("delisting_bars", what, {"delisting_bars": value}, ValueError,
           f"delisting_bars has {len(value)} elements but pos_columns has 4 labels; give one delisting bar per "
           "signal column (-1 for never)")
      for what, value in [("empty", bars()), ("one-short", bars(-1, -1, -1)), ("one-long", bars(-1, 2, -1, -1, -1))]],
    # Never reached: the same run as without delisting (checked below as well).
    *[Case("delisting_bars", what, {"delisting_bars": value})
      for what, value in [("negative", bars(-1, -2, -7, -2**62)), ("beyond-the-last-bar", bars(6, 7, 99, 2**62)),
                          ("mixed-out-of-range", bars(-5, 6, -1, 2**40)), ("most-negative", bars(*[-2**63] * 4))]],
]

BACKTEST_CASES = list(array_cases()) + SHAPES + TIMESTAMPS + WEIGHTS + LABEL_CASES + PRICES + SCALARS + DELISTING
REJECTED = [c.param() for c in BACKTEST_CASES if c.error is not None]
ABSORBED = [c.param() for c in BACKTEST_CASES if c.error is None]


def test_every_argument_of_backtest_has_bad_values():
    covered = {c.arg for c in BACKTEST_CASES}
    assert covered == set(NAMES)
    ids = [f"{c.arg}-{c.what}" for c in BACKTEST_CASES]
    assert len(ids) == len(set(ids)), "ambiguous test ids"


@pytest.mark.parametrize("case", REJECTED)
def test_backtest_rejects(engine, case):
    arrays, options = apply(case)
    with pytest.raises(Exception) as excinfo:
        vantrel.backtest_(*[arrays[n] for n in ARRAYS], **options)
    raised(excinfo, case.error, case.message, "backtest_")
    engine.after_failure(case.phase)


@pytest.mark.parametrize("case", ABSORBED)
def test_backtest_absorbs(engine, case):
    arrays, options = apply(case)
    assert_matches_model(arrays, options)
    engine.good_run()


@pytest.mark.parametrize("case", [c.param() for c in DELISTING if c.error is None])
def test_delisting_bars_never_reached_is_no_delisting(engine, case):
    arrays, options = apply(case)
    run = lambda **o: vantrel.backtest_(*[arrays[n] for n in ARRAYS], **{**options, **o}).tolist()  # noqa: E731
    assert run() == run(delisting_bars=None)


def test_a_window_far_beyond_the_data(engine):
    # The recorder sizes each excursion array from the window, not from the
    # data: every window group past the end of a trade stays -1.0.
    window = 10**6
    arrays = base_arrays()
    assert_matches_model(arrays, dict(CALL_OPTIONS, orbalt_window=window))
    assert len(orbalt.orbalt) == 3
    for trade, excursion in zip(orbalt.trades, orbalt.orbalt):
        assert excursion.shape == ((window - 1) * 6 + 12,)
        length = 6 - int(trade[1])  # the window reaches past the exit, up to the last bar
        groups = excursion[:-6].reshape(-1, 6)
        assert (groups[length:] == -1.0).all()
        assert (groups[:length - 1] != -1.0).any()
    engine.good_run()


# --- get_trade_stocks ---------------------------------------------------------------

# (what, pos_columns, price_index, touched_exit) as changes to the arguments of
# the known good run; then the exception and its message.
TRADE_LOG = [
    *[(f"pos_columns-{what}", {"pos_columns": value}, TypeError, incorrect_type("pos_columns", value))
      for what, value in [("list", ["A"]), ("str", "A"), ("dict", {}), ("tuple", ("A",))]],
    *[(f"price_index-{what}", {"price_index": value}, TypeError, incorrect_type("price_index", value))
      for what, value in [("list", [0, 10]), ("str", "0"), ("dict", {}), ("int", 10)]],
    *[(f"pos_columns-{what}", {"pos_columns": convert}, ValueError,
       BIG_ENDIAN if got is None else dtype_mismatch("object", got))
      for what, convert, got in WRONG_DTYPES["object"]],
    *[(f"price_index-{what}", {"price_index": convert}, ValueError,
       BIG_ENDIAN if got is None else dtype_mismatch("int64_t", got))
      for what, convert, got in WRONG_DTYPES["int64_t"]],
    ("pos_columns-0-d", {"pos_columns": zero_d}, ValueError, dims(1, 0)),
    ("pos_columns-2-d", {"pos_columns": wrong_dims}, ValueError, dims(1, 2)),
    ("price_index-0-d", {"price_index": zero_d}, ValueError, dims(1, 0)),
    ("price_index-3-d", {"price_index": three_d}, ValueError, dims(1, 3)),
    # Arguments that do not belong to the last run.
    *[(f"{name}-{what}", {name: value}, IndexError, "Out of bounds on buffer access (axis 0)")
      for name in ["pos_columns", "price_index"]
      for what, value in [("None", None), ("empty", empty), ("too-short", lambda a: a[:1])]],
    ("touched_exit-truth-test-raises", {"touched_exit": NoTruth()}, ZeroDivisionError, "no truth value here"),
    # The truth test comes with the binding, before the array checks.
    ("touched_exit-truth-test-raises-first", {"touched_exit": NoTruth(), "pos_columns": [1]}, ZeroDivisionError,
     "no truth value here"),
]


@pytest.mark.parametrize("changes, error, message", [pytest.param(*row[1:], id=row[0]) for row in TRADE_LOG])
def test_get_trade_stocks_rejects(engine, changes, error, message):
    arguments = {"pos_columns": engine.arrays["pos_columns"], "price_index": engine.arrays["price_index"],
                 "touched_exit": BASELINE_OPTIONS["touched_exit"]}
    for name, change in changes.items():
        arguments[name] = change(arguments[name]) if callable(change) else change
    with pytest.raises(Exception) as excinfo:
        vantrel.get_trade_stocks(**arguments)
    raised(excinfo, error, message, "get_trade_stocks")
    engine.after_failure("before-run")


@pytest.mark.parametrize("args, kwargs, message", [
    pytest.param((), {}, "get_trade_stocks() takes exactly 3 positional arguments (0 given)", id="no-arguments"),
    pytest.param((1, 2), {}, "get_trade_stocks() takes exactly 3 positional arguments (2 given)", id="two"),
    pytest.param((1, 2, 3, 4), {}, "get_trade_stocks() takes exactly 3 positional arguments (4 given)", id="four"),
    pytest.param((1, 2), {"touched": True}, "get_trade_stocks() takes exactly 3 positional arguments (2 given)",
                 id="misspelt-keyword"),
    pytest.param((1, 2, 3), {"extra": 1}, "get_trade_stocks() got an unexpected keyword argument 'extra'",
                 id="unknown-keyword"),
    pytest.param((1, 2, 3), {"pos_columns": 1},
                 "get_trade_stocks() got multiple values for keyword argument 'pos_columns'", id="repeated-keyword"),
])
def test_get_trade_stocks_binding(engine, args, kwargs, message):
    with pytest.raises(TypeError) as excinfo:
        vantrel.get_trade_stocks(*args, **kwargs)
    raised(excinfo, TypeError, message, "get_trade_stocks")
    engine.after_failure("before-run")


def test_get_trade_stocks_takes_any_truth_value(engine):
    pos_columns, price_index = engine.arrays["pos_columns"], engine.arrays["price_index"]
    for touched, truthy in [("", False), ("yes", True), ([], False), (np.float64(2.0), True)]:
        assert vantrel.get_trade_stocks(pos_columns, price_index, touched) == \
            vantrel.get_trade_stocks(pos_columns, price_index, truthy)
    engine.after_failure("before-run")  # nothing failed, and nothing may have changed


# --- normalize_weight and ioft -----------------------------------------------------------

class GrowsWhenRead(dict):
    """A dict that gains a key whenever a weight is read."""

    def __getitem__(self, key):
        dict.__setitem__(self, f"new{len(self)}", 0.0)
        return dict.__getitem__(self, key)


NORMALIZE = [
    ("weights-None", lambda: None, 1.0, AttributeError, "'NoneType' object has no attribute 'items'", None),
    ("weights-list", lambda: [0.5], 1.0, AttributeError, "'list' object has no attribute 'items'", None),
    ("weights-str", lambda: "a", 1.0, AttributeError, "'str' object has no attribute 'items'", None),
    ("weights-array", lambda: np.array([0.5]), 1.0, AttributeError,
     "'numpy.ndarray' object has no attribute 'items'", None),
    ("weights-str-value", lambda: {"a": "0.5"}, 1.0, TypeError, "bad operand type for abs(): 'str'",
     {"a": "0.5"}),
    ("weights-None-value", lambda: {"a": 0.2, "b": None}, 1.0, TypeError, "bad operand type for abs(): 'NoneType'",
     {"a": 0.2, "b": None}),
    ("weights-growing", lambda: GrowsWhenRead(a=0.5), 1.0, RuntimeError,
     "dictionary changed size during iteration", None),
    # Scaling has already happened when the cap test fails: the dict keeps it.
    ("weights-complex-value", lambda: {"a": 0.9, "b": 1j}, 1.0, TypeError,
     "'>' not supported between instances of 'complex' and 'float'", {"a": 0.9 * (1 / 1.9), "b": 1j * (1 / 1.9)}),
    ("position_limit-None", lambda: {"a": 0.5}, None, TypeError,
     "'>' not supported between instances of 'float' and 'NoneType'", {"a": 0.5}),
    ("position_limit-str", lambda: {"a": 0.5}, "1", TypeError,
     "'>' not supported between instances of 'float' and 'str'", {"a": 0.5}),
    ("position_limit-list", lambda: {"a": 2.0, "b": 2.0}, [1], TypeError,
     "'>' not supported between instances of 'float' and 'list'", {"a": 0.5, "b": 0.5}),
    # Values the arithmetic absorbs (None: the model gives the result).
    ("weights-nan", lambda: {"a": NAN, "b": 3.0}, 1.0, None, "", None),
    ("weights-inf", lambda: {"a": INF, "b": 0.5}, 1.0, None, "", None),
    ("weights--inf", lambda: {"a": -INF, "b": -INF}, 0.5, None, "", None),
    ("position_limit-nan", lambda: {"a": 2.0, "b": -0.5}, NAN, None, "", None),
    ("position_limit-negative", lambda: {"a": 0.2, "b": -0.1}, -0.5, None, "", None),
    ("position_limit-None-empty", lambda: {}, None, None, "", None),
]


def same_weights(a, b):
    return list(a) == list(b) and all(x == y or (x != x and y != y) for x, y in zip(a.values(), b.values()))


@pytest.mark.parametrize("make, limit, error, message, after",
                         [pytest.param(*row[1:], id=row[0]) for row in NORMALIZE])
def test_normalize_weight(engine, make, limit, error, message, after):
    weights = make()
    if error is None:
        expected = model.normalize_weight(make(), limit)
        result = vantrel.normalize_weight(weights, limit)
        assert result is weights
        assert same_weights(result, expected), (result, expected)
    else:
        with pytest.raises(Exception) as excinfo:
            vantrel.normalize_weight(weights, limit)
        raised(excinfo, error, message, "normalize_weight")
        if after is not None:
            assert weights == after
    engine.after_failure("before-run")


@pytest.mark.parametrize("args, kwargs, message", [
    pytest.param(({},), {}, "normalize_weight() takes exactly 2 positional arguments (1 given)", id="one"),
    pytest.param(({}, 1, 2), {}, "normalize_weight() takes exactly 2 positional arguments (3 given)", id="three"),
    pytest.param((), {"weights": {}, "limit": 1},
                 "normalize_weight() takes exactly 2 positional arguments (1 given)", id="misspelt-keyword"),
    pytest.param(({}, 1), {"weights": {}},
                 "normalize_weight() got multiple values for keyword argument 'weights'", id="repeated-keyword"),
    pytest.param((), {}, "ioft() takes exactly 1 positional argument (0 given)", id="ioft-none"),
    pytest.param((1, 2), {}, "ioft() takes exactly 1 positional argument (2 given)", id="ioft-two"),
    pytest.param((), {"t": 1}, "ioft() takes exactly 1 positional argument (0 given)", id="ioft-misspelt"),
    pytest.param((1,), {"x": 1}, "ioft() got an unexpected keyword argument 'x'", id="ioft-unknown-keyword"),
])
def test_utility_binding(engine, args, kwargs, message):
    function = vantrel.ioft if message.startswith("ioft") else vantrel.normalize_weight
    with pytest.raises(TypeError) as excinfo:
        function(*args, **kwargs)
    raised(excinfo, TypeError, message, function.__name__)
    engine.after_failure("before-run")


IOFT = [
    ("None", None, TypeError, "unsupported operand type(s) for /: 'NoneType' and 'float'"),
    ("str", "1600000000000000000", TypeError, "unsupported operand type(s) for /: 'str' and 'float'"),
    ("list", [0], TypeError, "unsupported operand type(s) for /: 'list' and 'float'"),
    ("array", np.array([0, 1]), TypeError, "only integer scalar arrays can be converted to a scalar index"),
    ("complex", 1j, TypeError, "'complex' object cannot be interpreted as an integer"),
    ("nan", NAN, ValueError, "Invalid value NaN (not a number)"),
    ("inf", INF, OverflowError, "timestamp out of range for platform time_t"),
    ("-inf", -INF, OverflowError, "timestamp out of range for platform time_t"),
    ("10**30", 10**30, OverflowError, "timestamp out of range for platform time_t"),
    ("2**70", 2**70, ValueError, "year 39381 is out of range"),
]


@pytest.mark.parametrize("value, error, message", [pytest.param(*row[1:], id=row[0]) for row in IOFT])
def test_ioft_rejects(engine, value, error, message):
    with pytest.raises(Exception) as excinfo:
        vantrel.ioft(value)
    raised(excinfo, error, message, "ioft")
    engine.after_failure("before-run")


# --- Labels whose encode misbehaves ---------------------------------------------------

class Flaky:
    """A label whose encode fails on its first call only."""

    def __init__(self, text):
        self.text, self.calls = text, 0

    def encode(self, encoding):
        self.calls += 1
        if self.calls == 1:
            raise UnicodeError("first encode fails")
        return self.text.encode(encoding)

    def __repr__(self):
        return f"Flaky({self.text!r})"


def flaky_run(price_columns, pos_columns, weights, price):
    price = np.array(price, dtype=np.float64).reshape(3, -1)
    return vantrel.backtest_(price, price, price, price, price, np.array([0, 10, 20], dtype=np.int64),
                             np.array(price_columns, dtype=object), np.array([weights], dtype=np.float64),
                             np.array([0], dtype=np.int64), np.array(pos_columns, dtype=object),
                             np.array([0, 10, 20], dtype=np.int64), **CALL_OPTIONS)


# A failing encode stops the run at once: it never skips the label checks, so
# an unpriced label is never traded on another column and a duplicate never
# passes.
@pytest.mark.parametrize("price_columns, pos_columns, weights", [
    pytest.param(["A", "B"], [Flaky("NOPRICE")], [1.0], id="unpriced"),
    pytest.param(["A", "B"], ["A", Flaky("A")], [0.5, 0.5], id="duplicate"),
    pytest.param(["A", Flaky("B")], ["B"], [1.0], id="price-label"),
])
def test_a_label_whose_first_encode_fails_stops_the_run(engine, price_columns, pos_columns, weights):
    with pytest.raises(UnicodeError) as excinfo:
        flaky_run(price_columns, pos_columns, weights, [[10, 10], [20, 15], [30, 20]])
    raised(excinfo, UnicodeError, "first encode fails", "map_columns")
    engine.after_failure("in-run")


def test_a_flaky_label_with_no_price_column_at_all(engine):
    # A zero-column price matrix: nothing may be read from it. Run in a child
    # interpreter, since the fault this guards against is a crash.
    script = """if True:
        import numpy as np
        from vostra.core import vantrel

        class Flaky:
            calls = 0
            def encode(self, encoding):
                Flaky.calls += 1
                if Flaky.calls == 1:
                    raise UnicodeError("first encode fails")
                return b"NOPRICE"

        price = np.zeros((3, 0))
        dates = np.array([0, 10, 20], dtype=np.int64)
        try:
            vantrel.backtest_(price, price, price, price, price, dates, np.array([], dtype=object),
                              np.array([[1.0]]), np.array([0], dtype=np.int64),
                              np.array([Flaky()], dtype=object), dates)
        except UnicodeError as e:
            print("raised:", e)
        else:
            print("no error")
    """
    done = subprocess.run([sys.executable, "-c", script], env=child_env(), capture_output=True, text=True,
                          timeout=120)
    assert (done.returncode, done.stdout) == (0, "raised: first encode fails\n"), done.stderr
    engine.good_run()


def fresh(text):
    """A str made at run time (not interned), freed when its last holder drops it."""
    return "".join(list(text))


class Replacer:
    """A label whose encode replaces another element of its own label array."""

    def __init__(self, labels, index, text):
        self.labels, self.index, self.text = labels, index, text

    def encode(self, encoding):
        self.labels[self.index] = fresh("ZZZZZZZZZZZZZZZZ")
        return self.text.encode(encoding)


def test_a_label_replaced_while_the_labels_are_mapped():
    # The replaced str is freed during the mapping; what the mapping matched
    # it by must not have lived in it (the last duplicate price label wins).
    price = np.array([[10.0, 20.0], [10.0, 20.0], [10.0, 40.0]])
    dates = np.array([0, 10, 20], dtype=np.int64)
    price_columns = np.array([fresh("AAAAAAAAAAAAAAAA"), None], dtype=object)
    price_columns[1] = Replacer(price_columns, 0, "AAAAAAAAAAAAAAAA")
    pos_columns = np.array([fresh("AAAAAAAAAAAAAAAA"), None], dtype=object)
    pos_columns[1] = Replacer(pos_columns, 0, "BBBBBBBBBBBBBBBB")
    creturn = vantrel.backtest_(price, price, price, price, price, dates, price_columns, np.array([[1.0, 0.0]]),
                                np.array([0], dtype=np.int64), pos_columns, dates, fee_ratio=0.0, tax_ratio=0.0)
    assert creturn.tolist() == [1.0, 1.0, 2.0]  # column 1's prices: 20 -> 40
    assert list(price_columns)[0] == "ZZZZZZZZZZZZZZZZ" and list(pos_columns)[0] == "ZZZZZZZZZZZZZZZZ"
