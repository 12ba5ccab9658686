"""The fills of an account run and the orders still waiting, as the
caller's tables, and the two figures the statistics state of them."""

from __future__ import annotations

from typing import Any

import numpy as np
import pandas as pd

#: Why a trade ended (or an order was placed), by the engine's reason code.
EXIT_REASONS = ("rebalance", "stop_loss", "take_profit", "trail_stop", "delisting", "open", "withdrawal",
                "cash_in_lieu")


def _labels(sid: np.ndarray, context: dict[str, Any]) -> pd.Series:
    tickers = np.array(list(context["tickers"]), dtype=object)
    return pd.Series(tickers[sid], dtype=object)


def _reasons(codes: np.ndarray) -> pd.Categorical:
    return pd.Categorical.from_codes(codes.astype(np.int64), EXIT_REASONS)


def fill_frame(run: Any, context: dict[str, Any]) -> pd.DataFrame:
    """One row per fill: ``date``, ``ticker``, ``shares`` (+ bought, - sold),
    ``price`` (after slippage), ``value``, ``cost``, ``reason``,
    ``completed`` (whether it ended its order), ``cut`` (it ended a purchase
    the cash cut short of its target) and ``order_date``."""
    f, o = run.fills, run.orders
    index = context["close_index"]
    order = f["order"]
    return pd.DataFrame({
        "date": index[f["bar"]],
        "ticker": _labels(f["sid"], context),
        "shares": f["shares"],
        "price": f["price"],
        "value": f["value"],
        "cost": f["cost"],
        "reason": _reasons(o["reason"][order]),
        "completed": f["completed"],
        "cut": o["cut"][order] & f["completed"],
        "order_date": index[o["bar"][order]],
    })


def pending_frame(run: Any, context: dict[str, Any]) -> pd.DataFrame:
    """The orders still waiting after the last bar: ``ticker``,
    ``order_date``, ``reason``, ``target`` (shares the order moves to),
    ``ordered`` (the change it asked for), ``remaining`` and ``price`` (the
    trading price on the order's bar, which values what it asked for)."""
    o = run.orders
    waiting = np.asarray(run.waiting, dtype=np.int64)
    sid = o["sid"][waiting]
    return pd.DataFrame({
        "ticker": _labels(sid, context),
        "order_date": context["close_index"][o["bar"][waiting]],
        "reason": _reasons(o["reason"][waiting]),
        "target": o["target"][waiting],
        "ordered": o["shares"][waiting],
        "remaining": o["target"][waiting] - run.shares[sid],
        "price": o["price"][waiting],
    })


def waiting_orders(run: Any) -> dict[int, tuple[float, str]]:
    """The orders still waiting after the last bar, by stock id: the
    shares each moves to and why it was placed (an EXIT_REASONS word)."""
    o = run.orders
    waiting = np.asarray(run.waiting, dtype=np.int64)
    return {int(sid): (float(target), EXIT_REASONS[int(reason)])
            for sid, target, reason in zip(o["sid"][waiting], o["target"][waiting], o["reason"][waiting])}


def fill_figures(run: Any) -> dict[str, float]:
    """``filled``: the share of the ordered value (shares asked for at the
    order's trading price) that filled; ``fill_delay``: the mean bars from
    an order to its fills, weighted by their value at the order's price.
    NaN without orders."""
    f, o = run.fills, run.orders
    ordered = np.abs(o["shares"]) * o["price"]
    known = np.isfinite(ordered)
    total = ordered[known].sum()
    order = f["order"]
    filled = np.abs(f["shares"]) * o["price"][order]
    counted = np.isfinite(filled)
    done = filled[counted].sum()
    delay = (f["bar"] - o["bar"][order])[counted]
    return {
        "filled": done / total if total > 0 else float("nan"),
        "fill_delay": float((delay * filled[counted]).sum() / done) if done > 0 else float("nan"),
    }


def account_fill_figures(run: Any) -> dict[str, float]:
    """What an account run's orders came to: ``filled`` as in
    :func:`fill_figures`, and ``unfilled_value``, the ordered value still
    waiting after the last bar (the shares it still asks for at its order's
    trading price), in the run's currency."""
    o = run.orders
    waiting = np.asarray(run.waiting, dtype=np.int64)
    remaining = o["target"][waiting] - run.shares[o["sid"][waiting]]
    value = np.abs(remaining) * o["price"][waiting]
    return {"filled": fill_figures(run)["filled"], "unfilled_value": float(value[np.isfinite(value)].sum())}
