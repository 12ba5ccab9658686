"""A run's settings in words: the report's settings line and the account
line of the printout."""

from __future__ import annotations

from typing import Any

import numpy as np

__all__ = ["settings_text", "account_parts"]


def _fraction(value: Any) -> str:
    return "off" if value is None else f"{float(value) * 100:g}%"


def settings_text(settings: dict[str, Any]) -> str:
    """The costs and rules of a run in one line."""
    if not settings:
        return "settings not recorded"
    rebalance = settings.get("rebalance")
    if rebalance is not None and not isinstance(rebalance, str):
        rebalance = f"{len(list(rebalance))} given dates"
    parts = [f"trades at the {settings.get('trade_at', 'close')}",
             f"rebalance {rebalance if rebalance is not None else 'on every signal'}",
             f"fee {_fraction(settings.get('fee'))} per trade",
             f"tax {_fraction(settings.get('tax'))} on sales"]
    for key, name in (("stop_loss", "stop-loss"), ("take_profit", "take-profit"),
                      ("trail_stop", "trailing stop")):
        if settings.get(key) is not None:
            parts.append(f"{name} {_fraction(settings[key])}")
    if settings.get("intrabar"):
        parts.append("stops checked intrabar")
    parts.extend(account_parts(settings))
    return ", ".join(parts)


def account_parts(settings: dict[str, Any]) -> list[str]:
    """The account options of a run that differ from their defaults, in words."""
    parts = []
    if settings.get("capital") is not None:
        parts.append(f"capital {settings['capital']:,.2f}")
    lot = settings.get("lot_size")
    if lot is not None:
        parts.append(f"lots of {lot}" if np.isscalar(lot) else "lots by ticker")
    if settings.get("min_fee"):
        parts.append(f"minimum fee {settings['min_fee']:,.2f}")
    for key, name in (("slippage", "slippage"), ("borrow_rate", "borrow rate"), ("cash_rate", "cash rate")):
        if settings.get(key):
            parts.append(f"{name} {_fraction(settings[key])}")
    if settings.get("leverage", 1.0) != 1.0:
        parts.append(f"leverage {settings['leverage']:g}")
    # The market's limits on fills.
    if settings.get("max_volume_share") is not None:
        parts.append(f"fills up to {_fraction(settings['max_volume_share'])} of volume")
    if settings.get("price_limit") is not None:
        parts.append(f"price limit {_fraction(settings['price_limit'])}")
    if settings.get("blocked"):
        parts.append("blocked cells")
    return parts
