"""The engine's account after the last bar, labelled as the orders read it
(:class:`Book`), and the plain-object price lookups it carries, so that a
Result that holds one pickles."""

from __future__ import annotations

from typing import Any

import numpy as np
import pandas as pd

from .fills import waiting_orders
from .orders import Book, Costs, ExitRules

__all__ = ["LastCloses", "Unpriced", "book_of", "market_limited"]


def market_limited(context: dict[str, Any]) -> bool:
    settings = context.get("settings") or {}
    return any(k in settings for k in ("max_volume_share", "price_limit", "blocked"))


def _next_weights(run: Any, context: dict[str, Any]) -> dict[int, float]:
    """The weights the next rebalance trades, by stock id: the report's,
    which scale a row down to 1, or above a leverage of 1 the signal row's
    own scaled down to the leverage (and capped at the position limit)."""
    report = run.report.get("next_weights", {})
    leverage = context.get("leverage", 1.0)
    if not (leverage > 1 and report and run.final["rebalance_due"]):
        return report
    row = context["weights_values"][run.report["next_weight_time"]]
    raw = {sid: float(row[sid]) for sid in report}
    total = sum(abs(w) for w in raw.values())
    scale = leverage / total if total > leverage else 1.0
    limit = context.get("position_limit", 1.0)
    return {sid: max(-limit, min(limit, w * scale)) for sid, w in raw.items()}


def _exit_rules(context: dict[str, Any]) -> ExitRules:
    """The run's exit rules, given as they are or as the call that makes them."""
    rules = context.get("exit_rules", ExitRules())
    return rules() if callable(rules) else rules


class LastCloses:
    """The last valid close of tickers up to ``end``: a stock suspended on
    the last bar is valued, and sized, at its last price. A plain object
    (not a closure), so that a Result pickles."""

    def __init__(self, close: pd.DataFrame | None, end: Any) -> None:
        self.close, self.end = close, end

    def __call__(self, tickers: pd.Index) -> np.ndarray:
        close = self.close
        if close is None or self.end is None:
            return np.full(len(tickers), np.nan)
        missing = pd.Index(tickers).difference(close.columns)
        if len(missing):
            raise ValueError(f"no close prices for {list(missing[:5])!r}")
        part = close.loc[:self.end, list(tickers)]
        return part.ffill().iloc[-1].to_numpy(dtype=np.float64) if len(part) else np.full(len(tickers), np.nan)


class Unpriced(LastCloses):
    """Whether tickers have no close on the market's last bar with any (an
    all-NaN final row, a placeholder for tomorrow, is not the last bar)."""

    def __call__(self, tickers: pd.Index) -> np.ndarray:
        part = self.close.loc[:self.end] if self.close is not None and self.end is not None else None
        for i in range(len(part) - 1, -1, -1) if part is not None else ():
            row = part.iloc[i]
            if row.notna().any():
                return row.reindex(tickers).isna().to_numpy()
        return np.zeros(len(tickers), dtype=bool)


def book_of(run: Any, context: dict[str, Any], signal_date: pd.Timestamp | None) -> Book:
    """The engine's final account, labelled, for the orders."""
    index = context["close_index"]
    close = context.get("close")
    end = index[-1] if len(index) else None
    tickers = pd.Index(context["tickers"])
    lots = context.get("lot_size")
    if isinstance(lots, np.ndarray):
        lots = pd.Series(lots, index=tickers)
    costs = Costs(context.get("fee") or 0.0, context.get("tax") or 0.0, context.get("min_fee", 0.0),
                  context.get("slippage", 0.0))
    next_rebalance = context.get("next_rebalance")
    if callable(next_rebalance):
        next_rebalance = next_rebalance()
    return Book(tickers=tickers, final=run.final, next_weights=_next_weights(run, context),
                equity=float(run.equity[-1]) if len(run.equity) else 1.0, prices=LastCloses(close, end),
                rules=_exit_rules(context), costs=costs,
                as_of=index[-1] if len(index) else None, signal_date=signal_date,
                for_date=index[-1] + index.freq if len(index) and index.freq is not None else None,
                next_rebalance=next_rebalance, shares=run.shares, lot_size=lots,
                leverage=context.get("leverage", 1.0),
                waiting=waiting_orders(run) if run.shares is not None and market_limited(context) else None,
                unpriced=Unpriced(close, end), stated=context.get("stated_delisting", frozenset()))
