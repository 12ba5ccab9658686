"""The ledger's events as engine arguments: cash dividends and splits
(frames aligned to the close prices, dated on the ex-date) and cash flows (a
Series of deposits and withdrawals by date, on the bars), checked, each
error naming its option."""

from __future__ import annotations

from typing import Any

import numpy as np
import pandas as pd

from .._native import load_engine
from ..data.frames import listing

#: The events' options at their defaults.
EVENT_DEFAULTS = dict(dividends=None, splits=None, cash_flows=None, dividend_tax=0.0)


def _cells(frame: Any, close: pd.DataFrame, name: str, what: str) -> np.ndarray:
    """``frame`` on the dates and tickers of the close prices, float64; a
    date or ticker it lacks has no event (NaN)."""
    if not isinstance(frame, pd.DataFrame):
        raise TypeError(f"{name} must be a DataFrame of dates × tickers like the close prices, "
                        f"got {type(frame).__name__}")
    extra = frame.index.difference(close.index)
    given = frame.notna().any(axis=1) if len(extra) else None
    if given is not None and given.loc[extra].any():
        dates = extra[given.loc[extra].to_numpy()]
        raise ValueError(f"{name} has events on dates without prices: {listing(dates)}; an event is "
                         f"dated on its ex-date, a date of the prices")
    try:
        values = frame.reindex(index=close.index, columns=close.columns).to_numpy(dtype=np.float64)
    except (TypeError, ValueError):
        raise TypeError(f"{name} must hold numbers ({what})") from None
    return np.asfortranarray(values)


def _check(values: np.ndarray, close: pd.DataFrame, rule: str) -> None:
    """Raises ``rule`` naming the first cell that is negative or infinite:
    one pass over the frame in place (NumPy's tests took three, with a
    temporary each, over a frame as large as the prices)."""
    bad = load_engine().volume_fault(values)
    if bad is not None:
        row, col = bad
        raise ValueError(f"{rule}; it is {float(values[row, col])!r} for {close.columns[col]!r} on "
                         f"{close.index[row]}")


def _flows(flows: Any, close: pd.DataFrame) -> np.ndarray:
    if isinstance(flows, pd.DataFrame) and flows.shape[1] == 1:
        flows = flows.iloc[:, 0]
    if not isinstance(flows, pd.Series):
        raise TypeError(f"cash_flows must be a Series of amounts by date (deposits > 0, withdrawals < 0), "
                        f"got {type(flows).__name__}")
    if flows.index.has_duplicates:
        raise ValueError("cash_flows has a date twice; add the amounts of one date together")
    try:
        values = pd.to_numeric(flows, errors="raise").astype(np.float64).copy()
    except (TypeError, ValueError):
        raise TypeError("cash_flows must hold amounts of currency") from None
    try:
        when = pd.DatetimeIndex(pd.to_datetime(values.index))
    except (TypeError, ValueError):
        raise TypeError("cash_flows must be indexed by dates") from None
    if when.tz is None and close.index.tz is not None:
        when = when.tz_localize(close.index.tz)
    values.index = when
    extra = values.index.difference(close.index)
    if len(extra) and values.loc[extra].fillna(0).ne(0).any():
        raise ValueError(f"cash_flows has amounts on dates without prices: {listing(extra)}; a flow "
                         f"happens at the open of a bar")
    out = values.reindex(close.index).to_numpy(dtype=np.float64)
    if np.isinf(out).any():
        raise ValueError("cash_flows must be finite amounts (NaN: none)")
    return out


def event_arguments(close: pd.DataFrame, bars: slice | None = None, *, dividends: Any = None,
                    splits: Any = None, cash_flows: Any = None, dividend_tax: Any = 0.0,
                    capital: Any = None) -> dict[str, Any]:
    """The engine's event options of a run over the bars ``bars`` of
    ``close`` (all by default); empty when none is given."""
    out: dict[str, Any] = {}
    cut = slice(None) if bars is None else bars
    if dividends is not None:
        values = _cells(dividends, close, "dividends", "cash per share on the ex-date")
        _check(values, close, "dividends must be cash per share, >= 0 and finite (NaN: none)")
        out["dividends"] = values[cut]
    if splits is not None:
        values = _cells(splits, close, "splits", "new shares per old share on the ex-date")
        _check(values, close, "splits must be new shares per old share, > 0 and finite, such as 2 for 2:1 "
                              "or 0.1 for a 1:10 reverse split (NaN or 0: none)")
        out["splits"] = values[cut]
    if cash_flows is not None:
        if capital is None:
            raise ValueError("cash_flows needs capital: a deposit is an amount of currency, so pass "
                             "capital=... (the starting capital in the same currency)")
        out["cash_flows"] = _flows(cash_flows, close)[cut]
    try:
        tax = float(dividend_tax)
    except (TypeError, ValueError):
        raise TypeError(f"dividend_tax must be a number such as 0.15, got {type(dividend_tax).__name__}") from None
    if not 0 <= tax < 1:
        raise ValueError(f"dividend_tax must be a fraction in [0, 1) such as 0.15, got {dividend_tax!r}")
    if tax:
        out["dividend_tax"] = tax
    return out
