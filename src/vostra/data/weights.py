"""Weight frames checked and converted once, and the weight matrix a run
trades (weights after a delisting dropped, a mask made equal weights)."""

from __future__ import annotations

from dataclasses import dataclass, field
from typing import Any

import numpy as np
import pandas as pd

from .index_facts import known
from .._native import load_engine
from .frames import Axes, check_frame, index_ns, labels, listing, matrix, one_block, same_clock
from .prices import PriceArrays


def early_scan(weights: Any) -> tuple[np.ndarray, Any] | None:
    """The matrix of a weight frame of one float64 block and the engine's
    scan of it (see :func:`weights_matrix`), made before any check: the scan
    raises nothing, and its pass streams the matrix through the caches,
    which the checks and conversions made after it then find as they left
    them. None for other frames (and other objects)."""
    if not (isinstance(weights, pd.DataFrame) and one_block(weights, np.float64)):
        return None
    values = matrix(weights, "weights")
    return values, load_engine().scan_weights(values)


def weights_matrix(weights: pd.DataFrame, early: tuple[np.ndarray, Any] | None = None,
                   ) -> tuple[np.ndarray, bool, np.ndarray, np.ndarray, Any]:
    """The weights as float64 (NaN → 0) or, for a bool frame, a bool mask;
    the (row, column) positions of infinite weights in row order (a run over
    some of the rows and columns fails on the first one it uses); per column
    whether any row gives it a weight; and the engine's scan of the float64
    matrix, which a run of the whole matrix takes instead of its own (None
    where there is none). ``early`` is :func:`early_scan` of the frame."""
    if early is not None:
        values, scanned = early
    else:
        one_bool_block = one_block(weights, bool)
        dtypes = () if one_bool_block or one_block(weights, np.float64) else set(weights.dtypes.to_numpy())
        if one_bool_block or (dtypes and all(pd.api.types.is_bool_dtype(d) for d in dtypes)):
            mask = weights.to_numpy(dtype=bool, na_value=False)
            return mask, True, np.empty((0, 2), dtype=np.intp), mask.any(axis=0), None
        values = matrix(weights, "weights")
        scanned = load_engine().scan_weights(values)  # one pass; None when a weight is not finite
    if scanned is not None:  # the common case
        return values, False, np.empty((0, 2), dtype=np.intp), *scanned
    infinite = np.argwhere(np.isinf(values))
    nan = np.isnan(values)
    if nan.any():
        values = np.where(nan, 0.0, values)
    return values, False, infinite, (values != 0).any(axis=0), None


def check_finite(signal: WeightArrays, rows: slice, columns: np.ndarray | None) -> None:
    infinite = signal.infinite
    if not len(infinite):
        return
    used = (infinite[:, 0] >= rows.start) & (infinite[:, 0] < rows.stop)
    if columns is not None:
        used &= columns[infinite[:, 1]]
    if used.any():
        r, c = infinite[int(np.argmax(used))]
        raise ValueError(
            f"weights has an infinite weight {float(signal.values[r, c])!r} for ticker "
            f"{signal.frame.columns[c]!r} on {signal.frame.index[r]}; weights must be finite"
        )


def _equal_weights(mask: np.ndarray) -> np.ndarray:
    """1 / (selected stocks of the row) where the mask is set, else 0: the
    same bits as mask / count, with one division per row."""
    count = np.count_nonzero(mask, axis=1)
    share = np.zeros(len(count))
    np.divide(1.0, count, out=share, where=count > 0)
    return mask * share[:, None]



@dataclass(eq=False)
class WeightArrays:
    """A weight frame checked and converted once; a run reads the rows and
    the columns it uses."""

    frame: Axes
    values: np.ndarray          # float64 with NaN as 0, or a bool mask
    is_mask: bool
    infinite: np.ndarray        # see weights_matrix
    traded: np.ndarray          # per column: whether any row gives it a weight
    pos_ns: np.ndarray
    labels: np.ndarray
    price_col: np.ndarray       # column of each ticker in close, -1 for none
    scan: Any                   # the engine's scan of `values` (see weights_matrix), or None
    # The weights as runs of a few recent ranges use them (delisted weights
    # dropped, a mask turned into equal weights), shared by the runs that
    # differ in other options: key -> (matrix, the warnings it drew).
    derived: dict[Any, tuple[np.ndarray, list[str]]] = field(default_factory=dict)

    def __getstate__(self) -> dict[str, Any]:
        # The scan lives in this process's engine: another process scans anew.
        return {**self.__dict__, "scan": None}


def convert_weights(weights: pd.DataFrame, prices: PriceArrays,
                    early: tuple[np.ndarray, Any] | None = None) -> WeightArrays:
    """The weight frame checked and converted; ``early`` is :func:`early_scan` of it."""
    weights = check_frame(weights, "weights")
    # Told once per pair of indexes: an index keeps its timezone.
    known("same clock", (weights.index, prices.close.index),
          lambda: same_clock(weights.index, prices.close.index, "weights.index and close.index"))
    values, is_mask, infinite, traded, scan = weights_matrix(weights, early)
    return WeightArrays(Axes(weights.index, weights.columns), values, is_mask, infinite, traded,
                         index_ns(weights.index),
                         labels(weights.columns, "weights"),
                         known("positions", (prices.close.columns, weights.columns),
                               lambda: prices.close.columns.get_indexer(weights.columns)),
                         scan)


_DERIVED_KEPT = 4


def run_weights(signal: WeightArrays, values: np.ndarray, tickers: pd.Index,
                 delisting_bars: np.ndarray | None, price_ns: np.ndarray, pos_ns: np.ndarray,
                 notes: list[str], key: tuple[Any, ...]) -> np.ndarray:
    """The weight matrix a run trades: weights on or after a delisting
    dropped and a mask turned into equal weights. Made once for the runs of a
    sweep that share the range and the delisting bars."""
    key = key + (None if delisting_bars is None else delisting_bars.tobytes(),)
    derived = signal.derived.get(key)
    if derived is None:
        drawn: list[str] = []
        if delisting_bars is not None:
            values = _drop_after_delisting(values, tickers, delisting_bars, price_ns, pos_ns, drawn)
        if signal.is_mask:
            values = _equal_weights(values)
        derived = signal.derived[key] = (values, drawn)
        while len(signal.derived) > _DERIVED_KEPT:
            del signal.derived[next(iter(signal.derived))]
    notes.extend(derived[1])
    return derived[0]


def _drop_after_delisting(values: np.ndarray, tickers: pd.Index, delisting_bars: np.ndarray,
                          price_ns: np.ndarray, pos_ns: np.ndarray, notes: list[str]) -> np.ndarray:
    """Zero the weights that the engine would apply on or after a delisting bar.

    A signal row dated at or after the stock's last bar with a price is
    executed on the delisting bar or later; left in place it would buy a stock
    that no longer trades (and that the engine then never closes). Rows dated
    on or after the delisting bar itself point to stale data and draw a warning.
    """
    if values.dtype == np.float64 and not load_engine().weights_after_delisting(values, delisting_bars, price_ns,
                                                                                 pos_ns):
        return values  # the usual case, told in one pass over the delisted columns alone
    gone = np.flatnonzero(delisting_bars >= 0)
    if len(gone) == 0:
        return values
    bars = delisting_bars[gone]
    cutoff = price_ns[np.maximum(bars - 1, 0)]
    after = pos_ns[:, None] >= cutoff[None, :]
    nonzero = values[:, gone] != 0
    hit = after & nonzero
    if not hit.any():
        return values
    stale = hit & (pos_ns[:, None] >= price_ns[bars][None, :])
    if stale.any():
        cols = tickers[gone[stale.any(axis=0)]]
        notes.append(
            f"weights hold {len(cols)} ticker(s) after their prices end "
            f"({listing(cols)}); those weights were set to 0. Use only prices "
            f"available on the signal date, or pass delisting=None to keep them"
        )
    values = values.copy()
    sub = values[:, gone]
    sub[hit] = 0
    values[:, gone] = sub
    return values

