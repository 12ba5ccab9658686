"""Shared pieces of the fuzz targets: decoding the fuzzer's bytes into NumPy
arrays of every memory layout, hostile Python objects, and the comparison of
a native run with the Python model.

A finding is raised as `Finding` (an AssertionError), which atheris reports
as a crash together with the input that caused it.
"""
import os
import sys

import numpy as np

# The model lives in tests/, one level up.
sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))


class Finding(AssertionError):
    """The native call and the model disagree."""


def finding(what, *details):
    raise Finding("\n".join([what, *map(repr, details)]))


class FuzzError(Exception):
    """Raised by the hostile objects below; never raised by the engine itself."""


# --- Reading the fuzzer's bytes -------------------------------------------------

class Bytes:
    """Small decisions drawn from an atheris.FuzzedDataProvider. Once the bytes
    run out every draw returns its first choice, so a short input is a small,
    plain case."""

    def __init__(self, fdp):
        self.fdp = fdp

    def int(self, lo, hi):
        return self.fdp.ConsumeIntInRange(lo, hi)

    def chance(self, in_256):
        """True with probability in_256 / 256 (for random bytes); False once
        the bytes have run out."""
        return self.fdp.ConsumeIntInRange(0, 255) >= 256 - in_256

    def pick(self, choices):
        return choices[self.int(0, len(choices) - 1)]

    def raw_float(self):
        return self.fdp.ConsumeFloat()


# Doubles at the edges of the format: every kind of infinity and NaN, zeros of
# both signs, the smallest subnormal and normal numbers and the largest finite.
EXTREMES = [float("nan"), float("inf"), -float("inf"), 0.0, -0.0, 5e-324, -5e-324, 2.2250738585072014e-308,
            1.7976931348623157e308, -1.7976931348623157e308, 1e-300, 1e300, -1.0]


def price(b):
    """A trading price: usually positive and moderate, sometimes extreme."""
    if b.chance(24):
        return b.pick(EXTREMES) if b.chance(200) else b.raw_float()
    return float(b.pick([1.0, 10.0, 20.0, 50.0, 100.0])) * (1 + b.int(-40, 40) / 100)


def weight(b):
    if b.chance(16):
        return b.pick(EXTREMES) if b.chance(200) else b.raw_float()
    return b.pick([0.0, 0.0, 0.0, 0.1, 0.25, 0.5, 1.0, -0.2, -0.5, -1.0, 2.5, 1e-310])


def fraction(b):
    """A ratio option (fees, stop levels, position limit)."""
    if b.chance(24):
        return b.pick(EXTREMES) if b.chance(200) else b.raw_float()
    return b.pick([0.0, 0.001425, 0.003, 0.01, 0.02, 0.05, 0.1, 0.3, 0.5, 1.0, float("inf")])


# --- Memory layouts --------------------------------------------------------------

def unaligned(a):
    """The same values at an address that is not a multiple of the item size."""
    raw = np.zeros(a.nbytes + 1, dtype=np.uint8)
    out = np.frombuffer(raw.data, dtype=a.dtype, count=a.size, offset=1).reshape(a.shape)
    out[...] = a
    return out


def stepped(a):
    """The same values as a view with steps of two along every axis."""
    big = np.zeros(tuple(2 * n for n in a.shape), dtype=a.dtype)
    big[tuple(slice(None, None, 2) for _ in a.shape)] = a
    return big[tuple(slice(None, None, 2) for _ in a.shape)]


def reversed_view(a):
    """The same values read through negative strides."""
    flip = tuple(slice(None, None, -1) for _ in a.shape)
    return np.ascontiguousarray(a[flip])[flip]


def read_only(a):
    a = a.copy()
    a.flags.writeable = False
    return a


def layout(b, a):
    """`a` (float64 or int64 values) in one of the layouts the engine reads in
    place; the values stay the same. Object arrays keep their plain layout
    except for steps and negative strides."""
    if not b.chance(96):
        return a
    kinds = ["fortran", "stepped", "reversed", "read_only", "unaligned"]
    kind = b.pick(kinds if a.dtype != object else kinds[1:4])
    if kind == "fortran":
        return np.asfortranarray(a)
    if kind == "stepped":
        return stepped(a)
    if kind == "reversed":
        return reversed_view(a)
    if kind == "read_only":
        return read_only(a)
    return unaligned(a)


def mistyped(b, a):
    """Sometimes `a` as another dtype, dimension or type that the engine must
    reject; returns (value, True) when it was changed."""
    if not b.chance(2):
        return a, False
    kind = b.pick(["float32", "int64", "float64", "object", "bool", "int32", "big_endian", "3d", "1d", "list",
                   "none", "float16", "complex"])
    if kind in ("float32", "int64", "float64", "object", "bool", "int32", "float16", "complex"):
        target = {"float32": np.float32, "int64": np.int64, "float64": np.float64, "object": object, "bool": np.bool_,
                  "int32": np.int32, "float16": np.float16, "complex": np.complex128}[kind]
        try:
            out = a.astype(target)
        except (TypeError, ValueError, OverflowError):
            return a, False
        return out, out.dtype != a.dtype
    if kind == "big_endian":
        if a.dtype == object:
            return a, False
        return a.astype(a.dtype.newbyteorder(">")), True
    if kind == "3d":
        return a.reshape(a.shape + (1,)), True
    if kind == "1d":
        return a.reshape(-1), a.ndim != 1
    if kind == "list":
        return a.tolist(), True
    return None, True


# --- Hostile objects ---------------------------------------------------------------

class Label:
    """A label that is not a str but encodes to the bytes of `text`."""

    def __init__(self, text, mode="plain"):
        self.text, self.mode, self.calls = text, mode, 0

    def encode(self, *args):
        self.calls += 1
        if self.mode == "raises":
            raise FuzzError("encode of " + self.text)
        if self.mode == "returns_str":
            return self.text
        if self.mode == "changes":
            return (self.text + str(self.calls)).encode(*args)
        return self.text.encode(*args)

    def __repr__(self):
        return f"Label({self.text!r}, {self.mode!r})"

    def __str__(self):
        return self.text


# Label modes whose outcome the model cannot predict: an encode() that gives
# other bytes at every call or no bytes at all. Only crashes and sanitizer
# reports count there.
UNPREDICTABLE_LABELS = ("returns_str", "changes")

LETTERS = ["A", "B", "C", "D", "", "é", "A\x00", "Z"]


def label(b):
    text = b.pick(LETTERS)
    if not b.chance(20):
        return text
    return Label(text, b.pick(["plain", "plain", "raises", "returns_str", "changes", "no_encode"]))


def labels_array(values):
    out = np.empty(len(values), dtype=object)
    for i, v in enumerate(values):
        out[i] = 7 if isinstance(v, Label) and v.mode == "no_encode" else v
    return out


class Flag:
    """A truth value with side effects: answers `answers` in turn, raises at call
    `raise_at`, and at call `mutate_at` changes the recorder's lists `lists`
    (the native module or the model's recorder) as `mutation` says."""

    def __init__(self, answers, raise_at, mutate_at, mutation, lists=None):
        self.answers, self.raise_at, self.mutate_at, self.mutation = answers, raise_at, mutate_at, mutation
        self.lists, self.calls = lists, 0

    def __bool__(self):
        self.calls += 1
        if self.calls == self.raise_at:
            raise FuzzError("truth test")
        if self.calls == self.mutate_at and self.lists is not None:
            mutate(self.lists, self.mutation)
        return self.answers[(self.calls - 1) % len(self.answers)]

    def fresh(self, lists):
        return Flag(self.answers, self.raise_at, self.mutate_at, self.mutation, lists)

    def __repr__(self):
        return f"Flag({self.answers}, raise_at={self.raise_at}, mutate_at={self.mutate_at}, {self.mutation!r})"


def mutate(lists, mutation):
    """Changes the recorder lists of `lists` in place; lists that were rebound
    to other objects are left alone."""
    if not all(isinstance(getattr(lists, n), list) for n in ("trades", "trade_positions", "orbalt")):
        return
    if mutation == "clear":
        lists.trades.clear()
        lists.trade_positions.clear()
        lists.orbalt.clear()
    elif mutation == "clear_trades":
        lists.trades.clear()
    elif mutation == "append":
        lists.trades.append([0, 0, 0])
        lists.trade_positions.append(0.5)
        lists.orbalt.append(np.zeros(12))


# Changes that leave the recorder's lists out of step with each other (or
# not lists at all): the engine may refuse them; the model does not check.
UNPREDICTABLE_MUTATIONS = ("clear_trades", "sink")


def flag(b):
    answers = [b.chance(128) for _ in range(b.int(1, 3))]
    raise_at = b.int(1, 12) if b.chance(40) else 0
    mutate_at = b.int(1, 12) if b.chance(40) else 0
    return Flag(answers, raise_at, mutate_at, b.pick(["clear", "clear_trades", "append"]))


class Number:
    """An option value whose conversions raise, or convert through a method."""

    def __init__(self, value, raises):
        self.value, self.raises = value, raises

    def __float__(self):
        if self.raises:
            raise FuzzError("__float__")
        return float(self.value)

    def __int__(self):
        if self.raises:
            raise FuzzError("__int__")
        return int(self.value)

    def __bool__(self):
        if self.raises:
            raise FuzzError("__bool__")
        return bool(self.value)

    def __repr__(self):
        return f"Number({self.value!r}, raises={self.raises})"


def odd_value(b, plain):
    """`plain`, or now and then the same number as another type, or a value
    that no option accepts."""
    if not b.chance(20):
        return plain
    kind = b.pick(["np_float", "np_float32", "np_int", "int", "bool", "none", "str", "number", "raises",
                   "huge_int"])
    if kind == "np_float":
        return np.float64(plain)
    if kind == "np_float32":
        return np.float32(plain)
    if kind in ("np_int", "int"):
        try:
            v = int(plain)
        except (ValueError, OverflowError):
            return plain
        return np.int64(max(-2**63, min(v, 2**63 - 1))) if kind == "np_int" else v
    if kind == "bool":
        return bool(plain)
    if kind == "none":
        return None
    if kind == "str":
        return str(plain)
    if kind == "huge_int":
        return b.pick([2**31, -2**31 - 1, 10**400, -(10**400)])
    return Number(plain, kind == "raises")


# --- What the native binding does with option values -------------------------------

def as_double(o):
    """PyFloat_AsDouble: floats, __float__ and __index__; never str."""
    if isinstance(o, (str, bytes, bytearray)) or o is None:
        raise TypeError("must be real number")
    return float(o)


def as_int32(o):
    """The engine's int conversion: int or __int__, within the C int range."""
    if isinstance(o, int):
        v = o
    elif hasattr(type(o), "__int__"):
        v = type(o).__int__(o)
        if type(v) is not int:
            raise TypeError("__int__ returned non-int")
    else:
        raise TypeError("an integer is required")
    if not -2**31 <= v < 2**31:
        raise OverflowError("value too large to convert to int")
    return v


def error_type(e):
    return type(e)


def same_array(a, b):
    a, b = np.asarray(a), np.asarray(b)
    return a.shape == b.shape and a.dtype == b.dtype and np.array_equal(a, b, equal_nan=True)


def plain(x):
    """A trade-log value for comparison: labels as they are, numbers as floats."""
    return x if isinstance(x, (str, Label)) else float(x)


def same_floats(a, b):
    """Equal lists of floats, NaN equal to NaN, -0.0 distinct from 0.0."""
    return len(a) == len(b) and all(
        (x != x and y != y) or (x == y and np.signbit(x) == np.signbit(y)) for x, y in zip(a, b))
