"""backtest_ at its boundary: the module surface, argument binding and
conversion, the array checks, and the consistency checks made before a run."""

import array
import datetime
import subprocess
import sys
import textwrap
import traceback

import numpy as np
import pytest

from vostra.core import vantrel
from support import child_env

orbalt = vantrel.orbalt

INF = float("inf")

NAMES = ["price_values", "close_values", "high_values", "low_values", "open_values", "price_index",
         "price_columns", "pos_values", "pos_index", "pos_columns", "resample", "fee_ratio", "tax_ratio",
         "stop_loss", "take_profit", "trail_stop", "trail_stop_activation", "touched_exit", "position_limit",
         "retain_cost_when_rebalance", "stop_trading_next_period", "orbalt_window", "orbalt_window_step",
         "periodically_rebalance", "delisting_bars"]
DEFAULTS = dict(fee_ratio=0.001425, tax_ratio=0.003, stop_loss=1.0, take_profit=INF, trail_stop=INF,
                trail_stop_activation=0.0, touched_exit=False, position_limit=1.0,
                retain_cost_when_rebalance=False, stop_trading_next_period=True, orbalt_window=0,
                orbalt_window_step=1, periodically_rebalance=True, delisting_bars=None)


def run_python(code, **env):
    """Runs `code` in a fresh interpreter and returns its stripped stdout."""
    environment = child_env(**env)
    proc = subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True,
                          env=environment, timeout=120)
    assert proc.returncode == 0, proc.stderr
    return proc.stdout.strip()


def outcome(creturn):
    """Everything a run leaves behind, for comparing two runs."""
    return (creturn.tolist(), [[int(x) for x in t] for t in orbalt.trades],
            [float(x) for x in orbalt.trade_positions], [a.tolist() for a in orbalt.orbalt],
            vantrel.get_stock_operations())


@pytest.fixture
def two_stocks(market):
    """A long in A and a short in B. B doubles by bar 3 (the default stop-loss
    of a short fires) and the signal row dated at bar 3 holds both again."""
    return market([[10, 10], [10, 10], [12, 15], [13, 21], [14, 22], [16, 22]],
                  [[0.5, -0.5], [0.5, -0.5]], pos_index=[0, 30])


def last_frame(excinfo):
    frame = traceback.extract_tb(excinfo.tb)[-1]
    return frame.name, frame.filename


# --- Module surface ------------------------------------------------------------

def test_module_attributes():
    assert vantrel.org_np is np
    assert vantrel.orbalt is sys.modules["vostra.core.orbalt"]
    assert vantrel.datetime is datetime
    assert not hasattr(vantrel, "stock_operations")


def test_fresh_module_state():
    out = run_python("""
        import numpy as np
        from vostra.core import vantrel
        print(vantrel.RETAIN_COST_WHEN_REBALANCE is False, vantrel.RESAMPLE is None,
              vantrel.get_stock_operations(),
              vantrel.get_trade_stocks(np.array([], dtype=object), np.array([], dtype=np.int64), False))
    """)
    assert out == "True True {} ([], {})"


def test_second_initialisation_is_refused():
    out = run_python("""
        import importlib, sys
        import vostra.core.vantrel
        del sys.modules["vostra.core.vantrel"]
        try:
            importlib.import_module("vostra.core.vantrel")
        except RuntimeError as e:
            print(e)
    """)
    assert out == "Module 'vantrel' has already been imported. Re-initialisation is not supported."


STAND_IN = """
    import ctypes, sys, types
    new_capsule = ctypes.pythonapi.PyCapsule_New
    new_capsule.restype = ctypes.py_object
    new_capsule.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_void_p]
    target = ctypes.c_int(0)  # never called: the import only binds the pointers
    names = {{
        "entry": b"PyArrayObject *",
        "position": b"PyArrayObject *",
        "start_analysis": b"void (PyArrayObject *, PyArrayObject *, std::map<int,int> , int, double, double, int, int)",
        "record_date": b"void (int)",
        "record_entry": b"void (int, double, int)",
        "record_exit": b"void (int, int)",
        "end_analysis": b"PyObject *(std::map<int,double>  &)",
    }}
    names.update({changes})
    keep = []  # a capsule keeps a pointer to its name
    capi = {{}}
    for key, name in names.items():
        if name is not None:
            keep.append(ctypes.create_string_buffer(name))
            capi[key] = new_capsule(ctypes.addressof(target), keep[-1], None)
    stand_in = types.ModuleType("vostra.core.orbalt")
    stand_in.__pyx_capi__ = capi
    sys.modules["vostra.core.orbalt"] = stand_in
    try:
        import vostra.core.vantrel
    except Exception as e:
        print(type(e).__name__ + ": " + str(e))
    else:
        print("imported")
"""


@pytest.mark.parametrize("changes, expected", [
    ({}, "imported"),
    ({"record_exit": b"void (int)"},
     "TypeError: C function vostra.core.orbalt.record_exit has wrong signature (expected void (int, int), "
     "got void (int))"),
    ({"record_exit": None}, "ImportError: vostra.core.orbalt does not export expected C function record_exit"),
    # The blanks in the signature strings are part of the contract.
    ({"end_analysis": b"PyObject *(std::map<int,double> &)"},
     "TypeError: C function vostra.core.orbalt.end_analysis has wrong signature (expected "
     "PyObject *(std::map<int,double>  &), got PyObject *(std::map<int,double> &))"),
    ({"position": b"PyObject *"},
     "TypeError: C variable vostra.core.orbalt.position has wrong signature (expected PyArrayObject *, "
     "got PyObject *)"),
    ({"entry": None}, "ImportError: vostra.core.orbalt does not export expected C variable entry"),
    # Entries are bound in order: the first bad one is reported.
    ({"record_date": None, "record_entry": b"void"},
     "ImportError: vostra.core.orbalt does not export expected C function record_date"),
])
def test_import_against_a_stand_in_recorder(changes, expected):
    assert run_python(STAND_IN.format(changes=repr(changes))) == expected


# --- Defaults and binding ---------------------------------------------------------

def test_default_costs_on_the_first_rebalance_and_close(market):
    mk = market([10, 10, 10, 10], [[1.0], [0.0]], pos_index=[0, 10])
    creturn = vantrel.backtest_(*mk)
    held = (1.0 - 1.0 * 0.001425) + 0.0
    after_close = (held - abs(held) * (0.001425 + 0.003)) + 0.0
    assert creturn.tolist() == [1.0, 0.0 + held * 10.0 / 10.0, after_close, after_close]


@pytest.mark.parametrize("name, other", [
    ("fee_ratio", 0.0),
    ("tax_ratio", 0.0),
    ("stop_loss", INF),
    ("take_profit", 0.3),
    ("trail_stop", 0.1),
    ("touched_exit", True),
    ("position_limit", 0.4),
    ("retain_cost_when_rebalance", True),
    ("stop_trading_next_period", False),
    ("orbalt_window", 2),
    ("periodically_rebalance", False),
    ("delisting_bars", np.array([2, -1])),
])
def test_defaults_match_the_documented_values(two_stocks, name, other):
    implicit = outcome(vantrel.backtest_(*two_stocks))
    assert outcome(vantrel.backtest_(*two_stocks, **{name: DEFAULTS[name]})) == implicit
    # The market is sensitive to this option, so a wrong default would show.
    assert outcome(vantrel.backtest_(*two_stocks, **{name: other})) != implicit


def test_defaults_that_need_another_option_to_show(two_stocks):
    implicit = outcome(vantrel.backtest_(*two_stocks))
    explicit = outcome(vantrel.backtest_(*two_stocks, **DEFAULTS))
    assert explicit == implicit
    # trail_stop_activation and orbalt_window_step show only with a trailing stop / a window.
    base = dict(trail_stop=0.05, orbalt_window=3)
    assert outcome(vantrel.backtest_(*two_stocks, **base)) == outcome(
        vantrel.backtest_(*two_stocks, trail_stop_activation=0.0, orbalt_window_step=1, **base))
    assert outcome(vantrel.backtest_(*two_stocks, **base)) != outcome(
        vantrel.backtest_(*two_stocks, trail_stop_activation=0.5, **base))
    assert outcome(vantrel.backtest_(*two_stocks, **base)) != outcome(
        vantrel.backtest_(*two_stocks, orbalt_window_step=2, **base))


def test_positional_and_keyword_arguments_are_equivalent(two_stocks):
    options = dict(fee_ratio=0.002, tax_ratio=0.001, stop_loss=0.3, take_profit=0.25, trail_stop=0.2,
                   trail_stop_activation=0.05, touched_exit=True, position_limit=0.45,
                   retain_cost_when_rebalance=True, stop_trading_next_period=False, orbalt_window=2,
                   orbalt_window_step=1, periodically_rebalance=False, delisting_bars=np.array([4, -1]))
    values = list(two_stocks) + [options[n] for n in NAMES[11:]]
    positional = outcome(vantrel.backtest_(*values))
    by_keyword = dict(zip(NAMES, values))
    assert outcome(vantrel.backtest_(**dict(reversed(by_keyword.items())))) == positional
    assert outcome(vantrel.backtest_(*values[:7], **dict(zip(NAMES[7:], values[7:])))) == positional
    assert outcome(vantrel.backtest_(*two_stocks)) != positional


def call_with(two_stocks, args, kwargs):
    """backtest_ with positional slots given as indexes into the market."""
    return vantrel.backtest_(*[two_stocks[i] for i in args],
                             **{k: two_stocks[v] if isinstance(v, int) else v for k, v in kwargs.items()})


@pytest.mark.parametrize("args, kwargs, message", [
    ([], {}, "backtest_() takes at least 11 positional arguments (0 given)"),
    ([0, 1], {}, "backtest_() takes at least 11 positional arguments (2 given)"),
    (range(10), {}, "backtest_() takes at least 11 positional arguments (10 given)"),
    # With later arguments given by keyword, the count is the position of
    # the first required argument that is missing.
    (range(10), {"fee_ratio": 0.0}, "backtest_() takes at least 11 positional arguments (10 given)"),
    ([0, 1], {NAMES[i]: i for i in range(2, 11) if i != 5},
     "backtest_() takes at least 11 positional arguments (5 given)"),
    ([], {NAMES[i]: i for i in range(11) if i != 1},
     "backtest_() takes at least 11 positional arguments (1 given)"),
    (range(11), {"fee": 0.0}, "backtest_() got an unexpected keyword argument 'fee'"),
    (range(11), {"price_values": 0}, "backtest_() got multiple values for keyword argument 'price_values'"),
    (range(11), {"resample": 10}, "backtest_() got multiple values for keyword argument 'resample'"),
    (range(11), {1: 2}, "backtest_() keywords must be strings"),
])
def test_binding_errors(two_stocks, args, kwargs, message):
    with pytest.raises(TypeError) as excinfo:
        call_with(two_stocks, args, kwargs)
    assert str(excinfo.value) == message
    assert last_frame(excinfo) == ("vostra.core.vantrel.backtest_", "core/vantrel")


def test_too_many_positional_arguments(two_stocks):
    values = list(two_stocks) + [DEFAULTS[n] for n in NAMES[11:]]
    with pytest.raises(TypeError, match=r"^backtest_\(\) takes at most 25 positional arguments \(26 given\)$"):
        vantrel.backtest_(*values, None)


@pytest.mark.parametrize("kwargs, error, message", [
    ({"fee_ratio": "0.1"}, TypeError, "must be real number, not str"),
    ({"stop_loss": None}, TypeError, "must be real number, not NoneType"),
    ({"position_limit": []}, TypeError, "must be real number, not list"),
    ({"orbalt_window": 2**31}, OverflowError, "value too large to convert to int"),
    ({"orbalt_window_step": -2**31 - 1}, OverflowError, "value too large to convert to int"),
    ({"orbalt_window": 2**100}, OverflowError, "value too large to convert to int"),
    ({"orbalt_window": "3"}, TypeError, "an integer is required"),
    ({"orbalt_window_step": None}, TypeError, "an integer is required"),
])
def test_scalar_conversion_errors(two_stocks, kwargs, error, message):
    with pytest.raises(error) as excinfo:
        vantrel.backtest_(*two_stocks, **kwargs)
    assert str(excinfo.value) == message
    assert last_frame(excinfo) == ("vostra.core.vantrel.backtest_", "core/vantrel")


def test_scalars_accept_any_number_type(two_stocks):
    expected = outcome(vantrel.backtest_(*two_stocks, fee_ratio=0.0, orbalt_window=2, touched_exit=True))
    assert outcome(vantrel.backtest_(*two_stocks, fee_ratio=0, orbalt_window=np.int64(2),
                                     touched_exit="yes")) == expected
    assert outcome(vantrel.backtest_(*two_stocks, fee_ratio=np.float32(0.0), orbalt_window=True + True,
                                     touched_exit=[0])) == expected


@pytest.mark.parametrize("index", range(11))
@pytest.mark.parametrize("bad, got", [([1.0], "list"), (None, "NoneType"), ((1,), "tuple")])
def test_array_arguments_must_be_ndarrays(two_stocks, index, bad, got):
    args = list(two_stocks)
    args[index] = bad
    with pytest.raises(TypeError) as excinfo:
        vantrel.backtest_(*args)
    assert str(excinfo.value) == (f"Argument '{NAMES[index]}' has incorrect type "
                                  f"(expected numpy.ndarray, got {got})")


def test_ndarray_subclasses_are_accepted(two_stocks):
    class Tagged(np.ndarray):
        pass

    expected = outcome(vantrel.backtest_(*two_stocks))
    assert outcome(vantrel.backtest_(*[a.view(Tagged) for a in two_stocks])) == expected


DTYPE = "Buffer dtype mismatch, expected '{}' but got {}"
DIMS = "Buffer has wrong number of dimensions (expected {}, got {})"


@pytest.mark.parametrize("index, convert, message", [
    (0, lambda a: a.astype(np.int64), DTYPE.format("float64_t", "'long'")),
    (2, lambda a: a.astype(np.float32), DTYPE.format("float64_t", "'float'")),
    (4, lambda a: a.astype(bool), DTYPE.format("float64_t", "'bool'")),
    (7, lambda a: a.astype(np.int64), DTYPE.format("float64_t", "'long'")),
    (1, lambda a: a[:, 0], DIMS.format(2, 1)),
    (3, lambda a: a[None], DIMS.format(2, 3)),
    # The dimension count is checked before the element type.
    (0, lambda a: a[:, 0].astype(np.int64), DIMS.format(2, 1)),
    (5, lambda a: a.astype(np.float64), DTYPE.format("int64_t", "'double'")),
    (8, lambda a: a.astype(np.int32), DTYPE.format("int64_t", "'int'")),
    (10, lambda a: a.astype(np.uint64), DTYPE.format("int64_t", "'unsigned long'")),
    (5, lambda a: a.reshape(-1, 1), DIMS.format(1, 2)),
    (6, lambda a: np.arange(2.0), DTYPE.format("object", "'double'")),
    (9, lambda a: a.reshape(1, -1), DIMS.format(1, 2)),
    (0, lambda a: a.astype(">f8"), "Big-endian buffer not supported on little-endian compiler"),
    (8, lambda a: a.astype(">i8"), "Big-endian buffer not supported on little-endian compiler"),
])
def test_array_dtype_and_dimension_errors(two_stocks, index, convert, message):
    args = list(two_stocks)
    args[index] = convert(args[index])
    with pytest.raises(ValueError) as excinfo:
        vantrel.backtest_(*args)
    assert str(excinfo.value) == message
    assert last_frame(excinfo) == ("vostra.core.vantrel.backtest_", "core/vantrel")


def test_fixed_width_string_labels_are_rejected(two_stocks):
    args = list(two_stocks)
    args[9] = np.array(["A", "B"])
    with pytest.raises(ValueError, match=r"^Buffer dtype mismatch, expected 'object' but got "):
        vantrel.backtest_(*args)


def test_checks_run_in_parameter_order(two_stocks):
    args = list(two_stocks)
    args[0] = args[0].astype(np.int64)   # a dtype error ...
    args[9] = list(args[9])              # ... comes after every type check
    with pytest.raises(TypeError, match="Argument 'pos_columns' has incorrect type"):
        vantrel.backtest_(*args)
    # Scalars and delisting_bars are converted before the arrays are looked at.
    with pytest.raises(TypeError, match="must be real number"):
        vantrel.backtest_(*args, tax_ratio="x")
    with pytest.raises(ValueError, match="expected 'const int64_t' but got 'double'"):
        vantrel.backtest_(*args, delisting_bars=np.array([1.0, 2.0]))


@pytest.mark.parametrize("bars, error, message", [
    (np.array([1.0, -1.0]), ValueError, DTYPE.format("const int64_t", "'double'")),
    (np.array([1, -1], dtype=np.int32), ValueError, DTYPE.format("const int64_t", "'int'")),
    (np.array([[1, -1]]), ValueError, DIMS.format(1, 2)),
    (np.array([1, -1], dtype=">i8"), ValueError, "Big-endian buffer not supported on little-endian compiler"),
    ([1, -1], TypeError, "a bytes-like object is required, not 'list'"),
])
def test_delisting_bars_errors(two_stocks, bars, error, message):
    with pytest.raises(error) as excinfo:
        vantrel.backtest_(*two_stocks, delisting_bars=bars)
    assert str(excinfo.value) == message


def test_delisting_bars_accept_any_int64_buffer(two_stocks):
    expected = outcome(vantrel.backtest_(*two_stocks, delisting_bars=np.array([2, -1])))
    readonly = np.array([2, -1])
    readonly.flags.writeable = False
    buffers = [array.array("q", [2, -1]), memoryview(np.array([2, -1]).tobytes()).cast("q"), readonly,
               np.array([2, 7, -1, 9])[::2]]
    for bars in buffers:
        assert outcome(vantrel.backtest_(*two_stocks, delisting_bars=bars)) == expected


# --- Checks before a run ----------------------------------------------------------

@pytest.mark.parametrize("change, message", [
    ({1: lambda a: a[:5]},
     "close_values has shape (5, 2) but price_values has shape (6, 2); the price matrices must share one shape"),
    ({2: lambda a: a[:, :1]},
     "high_values has shape (6, 1) but price_values has shape (6, 2); the price matrices must share one shape"),
    ({3: lambda a: a[:4]},
     "low_values has shape (4, 2) but price_values has shape (6, 2); the price matrices must share one shape"),
    ({4: lambda a: np.hstack([a, a])},
     "open_values has shape (6, 4) but price_values has shape (6, 2); the price matrices must share one shape"),
    ({5: lambda a: a[:5]}, "price_values has 6 rows but price_index has 5 timestamps"),
    ({6: lambda a: np.append(a, "C")}, "price_values has 2 columns but price_columns has 3 labels"),
    ({8: lambda a: np.append(a, 40)}, "pos_values has 2 rows but pos_index has 3 timestamps"),
    ({9: lambda a: a[:1]}, "pos_values has 2 columns but pos_columns has 1 labels"),
    ({5: lambda a: a[[0, 1, 3, 2, 4, 5]]},
     "price_index must not decrease: element 3 (20) is smaller than element 2 (30)"),
    ({8: lambda a: a[::-1]}, "pos_index must not decrease: element 1 (0) is smaller than element 0 (30)"),
    ({10: lambda a: np.array([5, 15, 14])},
     "resample must not decrease: element 2 (14) is smaller than element 1 (15)"),
    ({7: lambda a: np.where([[False, False], [False, True]], np.nan, a)},
     "pos_values holds a non-finite weight (nan) at row 1, column 'B'; weights must be finite numbers"),
    ({7: lambda a: np.where([[True, False], [False, False]], -np.inf, a)},
     "pos_values holds a non-finite weight (-inf) at row 0, column 'A'; weights must be finite numbers"),
    ({9: lambda a: np.array(["A", "X"], dtype=object)},
     "pos_columns label 'X' has nonzero weights but no price column with the same label"),
    ({9: lambda a: np.array(["B", "B"], dtype=object)},
     "pos_columns holds the label 'B' twice (columns 0 and 1); each signal column needs its own label"),
])
def test_inconsistent_markets_are_rejected_before_the_run(two_stocks, change, message):
    args = list(two_stocks)
    for index, convert in change.items():
        args[index] = convert(args[index])
    with pytest.raises(ValueError) as excinfo:
        vantrel.backtest_(*args)
    assert str(excinfo.value) == message
    assert last_frame(excinfo) == ("vostra.core.vantrel.backtest_", "core/vantrel")


@pytest.mark.parametrize("kwargs, message", [
    ({"orbalt_window": -1}, "orbalt_window must be >= 0, got -1"),
    ({"orbalt_window_step": 0}, "orbalt_window_step must be >= 1, got 0"),
    ({"orbalt_window_step": -4}, "orbalt_window_step must be >= 1, got -4"),
    ({"delisting_bars": np.array([-1, -1, -1])},
     "delisting_bars has 3 elements but pos_columns has 2 labels; give one delisting bar per signal column "
     "(-1 for never)"),
])
def test_inconsistent_options_are_rejected_before_the_run(two_stocks, kwargs, message):
    with pytest.raises(ValueError) as excinfo:
        vantrel.backtest_(*two_stocks, **kwargs)
    assert str(excinfo.value) == message


def test_a_rejected_market_leaves_the_last_run_untouched(two_stocks):
    vantrel.backtest_(*two_stocks, retain_cost_when_rebalance=True, periodically_rebalance=False)
    report, trades = vantrel.get_stock_operations(), [list(t) for t in orbalt.trades]
    assert report["weight_time"] == 1 and trades
    args = list(two_stocks)
    args[7] = np.array([[0.5, np.nan], [0.5, -0.5]])
    with pytest.raises(ValueError, match="non-finite weight"):
        vantrel.backtest_(*args, retain_cost_when_rebalance=False, periodically_rebalance=True)
    assert vantrel.RETAIN_COST_WHEN_REBALANCE is True and vantrel.RESAMPLE is False
    assert vantrel.get_stock_operations() == report
    assert [list(t) for t in orbalt.trades] == trades


def test_repeated_price_labels_are_allowed_and_the_last_wins(market):
    # Price column 1 rises, column 0 falls; both are labelled A.
    mk = market([[10, 10], [10, 10], [5, 20]], [1.0], price_columns=["A", "A"], pos_columns=["A"])
    creturn = vantrel.backtest_(*mk, fee_ratio=0.0, tax_ratio=0.0)
    assert creturn.tolist() == [1.0, 1.0, 2.0]


def test_the_same_labels_on_both_sides_map_each_column_to_itself(market):
    # Price column 0 doubles, column 1 halves.
    prices = [[10, 10], [10, 10], [20, 5]]
    same = market(prices, [[1.0, 0.0]], price_columns=["A", "B"], pos_columns=["A", "B"])
    swapped = market(prices, [[0.0, 1.0]], price_columns=["A", "B"], pos_columns=["B", "A"])
    for mk in (same, swapped):
        assert vantrel.backtest_(*mk, fee_ratio=0.0, tax_ratio=0.0).tolist() == [1.0, 1.0, 2.0]
    repeated = market(prices, [[1.0, 0.0]], price_columns=["A", "A"], pos_columns=["A", "A"])
    with pytest.raises(ValueError, match=r"holds the label 'A' twice \(columns 0 and 1\)"):
        vantrel.backtest_(*repeated)


def test_zero_weight_columns_may_lack_a_price(market):
    mk = market([10, 10, 12], [[1.0, 0.0]], pos_columns=["A", "UNLISTED"])
    assert vantrel.backtest_(*mk, fee_ratio=0.0, tax_ratio=0.0).tolist() == [1.0, 1.0, 1.2]


def test_labels_that_are_not_str_fail_in_the_column_mapping(two_stocks):
    args = list(two_stocks)
    args[9] = np.array(["A", 7], dtype=object)
    with pytest.raises(AttributeError, match="'int' object has no attribute 'encode'") as excinfo:
        vantrel.backtest_(*args)
    names = [f.name for f in traceback.extract_tb(excinfo.tb)]
    assert names[-2:] == ["vostra.core.vantrel.backtest_", "vostra.core.vantrel.map_columns"]


# --- Module globals and the report copy -----------------------------------------

@pytest.mark.parametrize("retain, periodic", [(False, True), (True, False), (1, ""), ([], "x")])
def test_a_run_stores_its_two_settings_as_bools(two_stocks, retain, periodic):
    vantrel.backtest_(*two_stocks, retain_cost_when_rebalance=retain, periodically_rebalance=periodic)
    assert vantrel.RETAIN_COST_WHEN_REBALANCE is bool(retain)
    assert vantrel.RESAMPLE is bool(periodic)


def test_get_stock_operations_is_a_shallow_copy(two_stocks):
    vantrel.backtest_(*two_stocks)
    first, second = vantrel.get_stock_operations(), vantrel.get_stock_operations()
    assert first == second and first is not second
    assert all(first[key] is second[key] for key in first)
    first["extra"] = 1
    first["weights"]["marker"] = 2
    third = vantrel.get_stock_operations()
    assert "extra" not in third
    assert third["weights"]["marker"] == 2
    with pytest.raises(TypeError):
        vantrel.get_stock_operations(None)


# --- Zero-copy views --------------------------------------------------------------

def layouts(mk):
    """The same market as Fortran-ordered, strided-slice and read-only arrays."""
    def fortran(a):
        return np.asfortranarray(a)

    def sliced(a):
        # Every other row, every third column, columns walked backwards.
        big = np.zeros((2 * a.shape[0],) + tuple(3 * n for n in a.shape[1:]), dtype=a.dtype)
        view = big[::-2] if a.ndim == 1 else big[1::2, ::-3]
        view[...] = a
        return view

    def readonly(a):
        a = a.copy()
        a.flags.writeable = False
        return a

    return {name: type(mk)(*[f(a) for a in mk]) for name, f in
            [("fortran", fortran), ("sliced", sliced), ("readonly", readonly)]}


@pytest.mark.parametrize("layout", ["fortran", "sliced", "readonly"])
def test_any_memory_layout_gives_the_same_run(two_stocks, layout):
    options = dict(touched_exit=True, stop_loss=0.3, take_profit=0.35, orbalt_window=2,
                   delisting_bars=np.array([-1, 5]))
    expected = outcome(vantrel.backtest_(*two_stocks, **options))
    other = layouts(two_stocks)[layout]
    if layout == "sliced":
        assert not other.price_values.flags.c_contiguous and not other.price_index.flags.c_contiguous
    copies = [a.copy() for a in other]
    assert outcome(vantrel.backtest_(*other, **options)) == expected
    for before, after in zip(copies, other):
        assert np.array_equal(before, after)


# --- One run at a time ------------------------------------------------------------

def test_a_nested_run_is_refused_and_the_outer_run_goes_on(two_stocks):
    expected = outcome(vantrel.backtest_(*two_stocks))
    refusals = []

    class Nesting:
        """Starts a second run whenever the engine asks for its truth value."""

        def __bool__(self):
            try:
                vantrel.backtest_(*two_stocks, fee_ratio=0.5)
            except RuntimeError as e:
                refusals.append(str(e))
            return True

    assert outcome(vantrel.backtest_(*two_stocks, stop_trading_next_period=Nesting())) == expected
    assert refusals and set(refusals) == {refusals[0]}
    assert "another backtest_ is running" in refusals[0]
    # The guard is released after a run, and after a run rejected by its checks.
    args = list(two_stocks)
    args[5] = args[5][::-1].copy()
    with pytest.raises(ValueError):
        vantrel.backtest_(*args)
    assert outcome(vantrel.backtest_(*two_stocks)) == expected
