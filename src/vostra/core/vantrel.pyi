"""Backtest engine: simulates a portfolio bar by bar from price matrices and a
matrix of target weights, and reports its trades and next-day operations."""

import datetime as datetime
import types
from typing import Any, Final

import numpy as np
import numpy.typing as npt

from vostra.core import orbalt as orbalt

org_np: types.ModuleType
"""The numpy module."""

RETAIN_COST_WHEN_REBALANCE: bool
"""``retain_cost_when_rebalance`` of the last run (False before any run)."""

RESAMPLE: bool | None
"""``periodically_rebalance`` of the last run (None before any run)."""

_F64_2D = npt.NDArray[np.float64]
_I64_1D = npt.NDArray[np.int64]
_LABELS = npt.NDArray[np.object_]

def backtest_(
    price_values: _F64_2D,
    close_values: _F64_2D,
    high_values: _F64_2D,
    low_values: _F64_2D,
    open_values: _F64_2D,
    price_index: _I64_1D,
    price_columns: _LABELS,
    pos_values: _F64_2D,
    pos_index: _I64_1D,
    pos_columns: _LABELS,
    resample: _I64_1D,
    fee_ratio: float = 0.001425,
    tax_ratio: float = 0.003,
    stop_loss: float = 1.0,
    take_profit: float = ...,  # +inf
    trail_stop: float = ...,  # +inf
    trail_stop_activation: float = 0.0,
    touched_exit: bool = False,
    position_limit: float = 1.0,
    retain_cost_when_rebalance: bool = False,
    stop_trading_next_period: Any = True,
    orbalt_window: int = 0,
    orbalt_window_step: int = 1,
    periodically_rebalance: bool = True,
    delisting_bars: _I64_1D | None = None,
) -> npt.NDArray[np.float64]:
    """Run one backtest with a starting capital of 1.0 and return the
    portfolio value of every price row.

    The five price matrices (trading price, close, high, low, open; rows are
    bars, columns are ``price_columns``) share one shape and may have any
    strides. ``pos_values`` holds target weights, rows dated by ``pos_index``
    and columns labelled by ``pos_columns`` (str labels, matched to
    ``price_columns`` by text). ``price_index``, ``pos_index`` and
    ``resample`` are int64 timestamps in one unit, never decreasing.

    Each ``resample`` timestamp marks the last bar at or before it. At the
    end of a marked bar, a signal row dated before the next bar that has not
    been applied yet is scheduled; the rebalance trades on the next bar at
    that bar's trading price. A row whose absolute weights add up to more
    than 1 is scaled down to the balance; each position is capped at
    ``position_limit`` of the balance. ``fee_ratio`` is charged on every
    trade, ``tax_ratio`` in addition on sales that reduce a position.

    Exits between rebalances: ``stop_loss``, ``take_profit`` and
    ``trail_stop`` (armed once the position gained ``trail_stop_activation``)
    are fractions of the entry value (absolute values are used). With
    ``touched_exit`` they are tested against each bar's open, high and low
    and filled in the same bar; otherwise the close is tested and the exit
    happens on the next bar. With ``stop_trading_next_period`` a stopped
    stock stays out of the next rebalance. ``delisting_bars`` gives, per
    signal column, the bar at which a held position is closed (-1: never).

    ``retain_cost_when_rebalance`` keeps the cumulative return of positions
    held on the same side through a rebalance; ``periodically_rebalance``
    makes every rebalance start a new trade record for positions it keeps.
    ``orbalt_window`` and ``orbalt_window_step`` set the excursion window of
    the trade log (see :mod:`vostra.core.orbalt`).

    Raises TypeError or ValueError for arguments of the wrong type, dtype or
    number of dimensions; ValueError for mismatched shapes, decreasing
    indexes, non-finite weights, nonzero weights in a column without prices,
    repeated signal labels, ``orbalt_window`` < 0 or ``orbalt_window_step``
    < 1, and for a trading price that is not positive and finite.
    """

def get_stock_operations() -> dict[str, Any]:
    """A shallow copy of the operations report of the last completed run.

    Keys: ``"actions"`` {signal column: action}, ``"weights"`` {signal
    column: weight of the last executed rebalance}, ``"next_weights"``
    {signal column: weight of the latest signal row}, ``"weight_time"`` (row
    of ``pos_values`` last applied, -1 if none) and ``"next_weight_time"``
    (row of the latest signal). Actions: "enter", "exit", "hold" (a rebalance
    is due on the next bar), "tp"/"sl" (a close-mode exit is pending),
    "tp_enter"/"sl_enter" (pending exit of a stock the next signal holds),
    "tp_"/"sl_" (stopped out since the last rebalance). Empty before any run.
    """

def get_trade_stocks(
    pos_columns: _LABELS | None,
    price_index: _I64_1D | None,
    touched_exit: Any,
) -> tuple[list[list[Any]], dict[str, Any]]:
    """The trade log of the last run and its operations report.

    Pass the ``pos_columns``, ``price_index`` and ``touched_exit`` of that
    run. Each row is ``[label, entry date, exit date (-1 if open), entry
    signal date, exit signal date (-1 if open), weight, holding bars, entry
    row, exit row (-1 if open)]``, dates being values of ``price_index``.
    Rows are in the order of ``orbalt.trades``: closed trades in exit order,
    then the trades still open. The report is the module's own dict.
    Raises RuntimeError when ``orbalt.trades``, ``orbalt.trade_positions``
    and ``orbalt.orbalt`` do not hold the same number of items.
    """

def normalize_weight(weights: dict[Any, Any], position_limit: Any) -> dict[Any, Any]:
    """Scale ``weights`` in place so that their absolute values add up to at
    most 1, then cap each at ±``position_limit``; returns the same dict."""

def ioft(v: Any) -> datetime.datetime:
    """Nanoseconds since the epoch as a naive local date-time."""
