"""Excursion recorder: follows the trades of a backtest run by
:mod:`vostra.core.vantrel` and keeps one row per trade.

The recorder's operations are native functions that the engine binds through
``__pyx_capi__``; Python code reads the three lists after a run. They are
emptied in place at the start of every run.
"""

import types
from typing import Any

import numpy as np
import numpy.typing as npt

org_np: types.ModuleType
"""The numpy module."""

trades: list[list[Any]]
"""One ``[stock id, entry row, exit row]`` per trade (exit row -1 for a trade
still open at the end): closed trades in exit order, then open ones in
ascending stock id. Stock ids are signal columns; rows are price rows."""

trade_positions: list[np.float64]
"""Parallel to ``trades``: the position weight given when the trade opened."""

orbalt: list[npt.NDArray[np.float64]]
"""Parallel to ``trades``: the trade's excursion array.

Groups of six values ``(mae, gmfe, bmfe, mdd, profit_period, return)``,
all relative to the entry (``return`` and the excursions minus 1):
maximum adverse excursion, maximum favourable excursion, the favourable
excursion reached before the adverse one was set, maximum drawdown within
the trade, bars closed in profit, and the return. The array holds
``(window - 1) // window_step + 1`` window groups, for bar offsets 0,
``window_step``, ... below ``window`` (none when ``window`` is 0), followed
by the exit group in the last six positions. Window groups beyond the end of
the data are -1.0 in all six places. Excursions follow the close from the
entry trading price with the entry fee; the last bar of the analysed span is
revalued at the trading price with the exit fee and tax when the trade was
closed by a real sale.
"""

__pyx_capi__: dict[str, Any]
"""Capsules of the native variables ``entry`` and ``position`` and of the
functions ``start_analysis``, ``record_date``, ``record_entry``,
``record_exit`` and ``end_analysis``, named by their C signatures."""
