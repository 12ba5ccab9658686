"""The reference kernel (reference.cpp): built here with the system's C++
compiler into bench/results/ and called through ctypes on the caller's
arrays (no copies)."""

from __future__ import annotations

import ctypes
import hashlib
import os
import subprocess

import numpy as np

HERE = os.path.dirname(os.path.abspath(__file__))
SOURCE = os.path.join(HERE, "reference.cpp")
FLAGS = ["-O2", "-std=c++20", "-ffp-contract=off", "-shared", "-fPIC"]


def build():
    """The loaded library, compiled once per version of its source and flags."""
    with open(SOURCE, "rb") as f:
        tag = hashlib.sha256(f.read() + " ".join(FLAGS).encode()).hexdigest()[:12]
    out_dir = os.path.join(HERE, "results")
    os.makedirs(out_dir, exist_ok=True)
    lib = os.path.join(out_dir, f"reference-{tag}.so")
    if not os.path.exists(lib):
        compiler = os.environ.get("CXX", "c++")
        subprocess.run([compiler, *FLAGS, SOURCE, "-o", lib], check=True)
    dll = ctypes.CDLL(lib)
    dll.reference_run.restype = ctypes.c_double
    ptr, i64, f64 = ctypes.c_void_p, ctypes.c_int64, ctypes.c_double
    dll.reference_run.argtypes = [ptr, ptr, i64, i64, ptr, ptr, i64, f64, f64, ptr]
    return dll


class Reference:
    """reference_run on a market's trading prices (the open), closes and a
    signal: rows traded on the bar after their date, as the engine does."""

    def __init__(self, dll, price, close, weights, row_bars, fee=0.001425, tax=0.003):
        for m in (price, close):
            assert m.flags.f_contiguous and m.dtype == np.float64
        self.dll, self.price, self.close = dll, price, close
        self.weights = np.ascontiguousarray(weights, dtype=np.float64)
        self.row_bars = np.ascontiguousarray(row_bars, dtype=np.int64)
        self.fee, self.tax = fee, tax
        self.out = np.empty(price.shape[0])

    def __call__(self):
        bars, stocks = self.price.shape
        self.dll.reference_run(self.price.ctypes.data, self.close.ctypes.data, bars, stocks,
                               self.weights.ctypes.data, self.row_bars.ctypes.data, len(self.row_bars),
                               self.fee, self.tax, self.out.ctypes.data)
        return self.out
