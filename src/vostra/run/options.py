"""The scalar options of a backtest checked and converted into the engine's
keyword arguments."""

from __future__ import annotations

import math
from typing import Any

import numpy as np

#: The options of :func:`vostra.backtest` that become plain values of the engine
#: call; the others (prices, schedule, delisting) shape its arrays.
SCALAR_OPTIONS = ("fee", "tax", "stop_loss", "take_profit", "trail_stop", "trail_activation",
                  "intrabar", "position_limit", "retain_cost", "stop_trading", "window",
                  "window_step", "periods_per_year")


def scalar_arguments(*, fee: float = 0.001425, tax: float = 0.003, stop_loss: float | None = None,
            take_profit: float | None = None, trail_stop: float | None = None,
            trail_activation: float = 0.0, intrabar: bool = False, position_limit: float = 1.0,
            retain_cost: bool = False, stop_trading: bool = True, window: int = 0,
            window_step: int = 1, periods_per_year: float | None = None,
            ) -> tuple[dict[str, Any], dict[str, Any]]:
    """The scalar options checked and converted: the engine's keyword
    arguments and what the result needs of them. The defaults are those of
    :func:`vostra.backtest`."""
    fee, tax, position_limit = float(fee), float(tax), float(position_limit)
    # A NaN or infinite cost makes every value of the equity curve NaN.
    for name, value in (("fee", fee), ("tax", tax)):
        if not math.isfinite(value):
            raise ValueError(f"{name} must be a finite number, got {value}")
    if fee < 0 or tax < 0:
        raise ValueError(f"fee and tax must not be negative (got fee={fee}, tax={tax})")
    if not position_limit > 0:
        raise ValueError(f"position_limit must be positive, got {position_limit}")
    trail_activation = float(trail_activation)
    if math.isnan(trail_activation):  # would never activate the trailing stop
        raise ValueError(f"trail_activation must be a number, got {trail_activation}")
    if trail_activation < 0:
        raise ValueError(f"trail_activation must not be negative, got {trail_activation}")
    window, window_step = int(window), int(window_step)
    if window < 0:
        raise ValueError(f"window must be 0 (no window) or a number of bars, got {window}")
    if window_step < 1:
        raise ValueError(f"window_step must be at least 1 bar, got {window_step}")
    if periods_per_year is not None:
        periods_per_year = float(periods_per_year)
        if not (np.isfinite(periods_per_year) and periods_per_year > 0):
            raise ValueError(f"periods_per_year must be a positive number such as 252, "
                             f"or None to infer it from the dates; got {periods_per_year!r}")

    arguments = dict(
        fee_ratio=fee, tax_ratio=tax,
        stop_loss=positive(stop_loss, "stop_loss"),
        take_profit=positive(take_profit, "take_profit"),
        trail_stop=positive(trail_stop, "trail_stop"),
        trail_stop_activation=trail_activation, touched_exit=bool(intrabar),
        position_limit=position_limit, retain_cost_when_rebalance=bool(retain_cost),
        stop_trading_next_period=bool(stop_trading), orbalt_window=window,
        orbalt_window_step=window_step,
    )
    context = dict(window=window, window_step=window_step, fee=fee, tax=tax,
                   periods_per_year=periods_per_year)
    return arguments, context


def positive(value: float | None, name: str) -> float:
    """A stop distance: None means no stop (an infinite distance)."""
    if value is None:
        return float(np.inf)
    value = float(value)
    if not value > 0:
        raise ValueError(f"{name} must be a positive fraction such as 0.1, or None; got {value!r}")
    return value


