"""The scalar options of a backtest checked and converted into the engine's
keyword arguments."""

from __future__ import annotations

import math
from collections.abc import Mapping
from dataclasses import dataclass
from typing import Any

import numpy as np
import pandas as pd

from ..data.frames import listing


@dataclass(frozen=True)
class ExitRules:
    """The run's exit rules: absolute distances (inf for a rule not set)."""

    stop_loss: float = math.inf
    take_profit: float = math.inf
    trail_stop: float = math.inf
    trail_activation: float = 0.0
    intrabar: bool = False
    stop_trading: bool = True

#: The options of :func:`vostra.backtest` that become plain values of the engine
#: call; the others (prices, schedule, delisting) shape its arrays.
SCALAR_OPTIONS = ("fee", "tax", "stop_loss", "take_profit", "trail_stop", "trail_activation",
                  "intrabar", "position_limit", "retain_cost", "split_trades", "stop_trading",
                  "window", "window_step", "periods_per_year", "capital", "min_fee", "slippage",
                  "leverage", "borrow_rate", "cash_rate")

#: The options of a real account, with their defaults (the normalised account).
ACCOUNT_DEFAULTS = dict(capital=None, lot_size=None, min_fee=0.0, slippage=0.0, leverage=1.0,
                        borrow_rate=0.0, cash_rate=0.0)


_MOST_BARS = 2**31 - 1


def scalar_arguments(*, fee: float = 0.001425, tax: float = 0.003, stop_loss: float | None = None,
            take_profit: float | None = None, trail_stop: float | None = None,
            trail_activation: float = 0.0, intrabar: bool = False, position_limit: float = 1.0,
            retain_cost: bool | None = None, split_trades: bool | None = None,
            stop_trading: bool = True, window: int = 0,
            window_step: int = 1, periods_per_year: float | None = None,
            capital: float | None = None, min_fee: float = 0.0, slippage: float = 0.0,
            leverage: float = 1.0, borrow_rate: float = 0.0, cash_rate: float = 0.0,
            ) -> tuple[dict[str, Any], dict[str, Any]]:
    """The scalar options checked and converted: the engine's keyword
    arguments and what the result needs of them, with ``context["notes"]``
    the warnings they draw. The defaults are those of :func:`vostra.backtest`."""
    fee, tax, position_limit = float(fee), float(tax), float(position_limit)
    # A NaN or infinite cost makes every value of the equity curve NaN.
    for name, value in (("fee", fee), ("tax", tax)):
        if not math.isfinite(value):
            raise ValueError(f"{name} must be a finite number, got {value}")
    if fee < 0 or tax < 0:
        raise ValueError(f"fee and tax must not be negative (got fee={fee}, tax={tax})")
    # A cost of the whole value buys nothing: the capital is gone without a
    # trade on record.
    for name, value, what in (("fee", fee, "value of a purchase"), ("tax", tax, "proceeds of a sale")):
        if value >= 1:
            raise ValueError(f"{name} must be below 1: it is a fraction of each trade's value (0.003 is "
                             f"0.3 %), and {name}={value:g} takes the whole {what}")
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
    for name, bars in (("window", window), ("window_step", window_step)):
        if bars > _MOST_BARS:  # the engine counts bars in a C int
            raise ValueError(f"{name} must be at most {_MOST_BARS} bars, got {bars}")
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
        position_limit=position_limit, stop_trading_next_period=bool(stop_trading),
        orbalt_window=window, orbalt_window_step=window_step,
    )
    notes = implausible(fee=fee, tax=tax, stop_loss=arguments["stop_loss"],
                        take_profit=arguments["take_profit"])
    (arguments["retain_cost_when_rebalance"],
     arguments["periodically_rebalance"]) = trade_records(retain_cost, split_trades, notes)
    account = _account(capital, min_fee, slippage, leverage, borrow_rate, cash_rate)
    if account:
        arguments.update(account)
        if periods_per_year is not None:
            arguments["periods_per_year"] = periods_per_year
    context = dict(window=window, window_step=window_step, fee=fee, tax=tax,
                   periods_per_year=periods_per_year, capital=1.0 if capital is None else float(capital),
                   notes=notes)
    return arguments, context


def _account(capital: float | None, min_fee: float, slippage: float, leverage: float,
             borrow_rate: float, cash_rate: float) -> dict[str, Any]:
    """The engine's account options that differ from their defaults, checked
    (so that a run with all of them at their defaults is today's run)."""
    # The normalised account as the defaults give it (plain floats): nothing to check or pass on.
    if (capital is None and type(min_fee) is float and type(slippage) is float and type(leverage) is float
            and type(borrow_rate) is float and type(cash_rate) is float and min_fee == 0.0 and slippage == 0.0
            and leverage == 1.0 and borrow_rate == 0.0 and cash_rate == 0.0):
        return {}
    out: dict[str, Any] = {}
    if capital is not None:
        capital = _number(capital, "capital")
        if not (math.isfinite(capital) and capital > 0):
            raise ValueError(f"capital must be a positive finite amount of currency such as 1_000_000, "
                             f"or None for an account of 1.0; got {capital!r}")
        out["capital"] = capital
    min_fee = _number(min_fee, "min_fee")
    if not (math.isfinite(min_fee) and min_fee >= 0):
        raise ValueError(f"min_fee must be a finite amount >= 0, got {min_fee!r}")
    if min_fee and capital is None:
        raise ValueError("min_fee needs capital: a minimum fee is an amount of currency, so pass "
                         "capital=... (the starting capital in the same currency)")
    slippage = _number(slippage, "slippage")
    if not 0 <= slippage < 1:
        raise ValueError(f"slippage must be a fraction in [0, 1) such as 0.001, got {slippage!r}")
    leverage = _number(leverage, "leverage")
    if not (math.isfinite(leverage) and leverage >= 0):
        raise ValueError(f"leverage must be a finite number >= 0 (1: no borrowing), got {leverage!r}")
    for name, value in (("borrow_rate", borrow_rate), ("cash_rate", cash_rate)):
        rate = _number(value, name)
        if not (math.isfinite(rate) and rate >= -1):
            raise ValueError(f"{name} must be a finite annual rate >= -1 such as 0.03, got {rate!r}")
        if rate:
            out[name] = rate
    if min_fee:
        out["min_fee"] = min_fee
    if slippage:
        out["slippage"] = slippage
    if leverage != 1:
        out["leverage"] = leverage
    return out


def _number(value: Any, name: str) -> float:
    if isinstance(value, (bool, np.bool_)) or not isinstance(value, (int, float, np.integer, np.floating)):
        raise TypeError(f"{name} must be a number, got {type(value).__name__} {value!r}")
    return float(value)


def needs_periods(arguments: dict[str, Any]) -> bool:
    """Whether the engine call has annual rates but not yet the periods per
    year to turn them into rates per bar (then inferred from the dates, as
    the statistics infer them)."""
    return ("borrow_rate" in arguments or "cash_rate" in arguments) and "periods_per_year" not in arguments


def lot_sizes(lot_size: Any, tickers: pd.Index, traded: np.ndarray) -> int | np.ndarray:
    """The lot size of every weight column: one whole number for all, or a
    mapping / Series by ticker that must cover every ticker the weights
    trade (the others get 1, never used)."""
    if isinstance(lot_size, (bool, np.bool_)):
        raise TypeError(f"lot_size must be a whole number of shares or a mapping of them by ticker, "
                        f"got {lot_size!r}")
    if isinstance(lot_size, (int, np.integer, float, np.floating)):
        if not (float(lot_size) >= 1 and float(lot_size).is_integer()):
            raise ValueError(f"lot_size must be a positive whole number of shares such as 100, got {lot_size!r}")
        return int(lot_size)
    if not isinstance(lot_size, (Mapping, pd.Series)):
        raise TypeError(f"lot_size must be a whole number of shares or a mapping of them by ticker, got "
                        f"{type(lot_size).__name__}")
    lots = pd.Series(lot_size, dtype=object) if isinstance(lot_size, Mapping) else lot_size
    if not lots.index.is_unique:
        raise ValueError("lot_size has a ticker more than once")
    found = lots.reindex(tickers)
    missing = found.isna().to_numpy() & traded
    if missing.any():
        raise ValueError(f"lot_size has no lot size for tickers the weights trade: {listing(tickers[missing])}")
    values = found.where(~found.isna(), 1)
    out = np.empty(len(values), dtype=np.float64)
    for i, (ticker, lot) in enumerate(zip(tickers, values)):
        ok = not isinstance(lot, (bool, np.bool_)) and isinstance(lot, (int, float, np.integer, np.floating))
        if not (ok and float(lot) >= 1 and float(lot).is_integer()):
            raise ValueError(f"lot_size must be positive whole numbers of shares; {ticker!r} has {lot!r}")
        out[i] = float(lot)
    return out


def trade_records(retain_cost: bool | None, split_trades: bool | None,
                  notes: list[str]) -> tuple[bool, bool]:
    """``retain_cost`` and ``split_trades`` as the run uses them. A stop is
    measured from the position's value when its return tracker last
    restarted, and a trade record starts at an entry; the two agree when
    the options are opposite: either a kept position restarts both at every
    rebalance, or neither. The option given decides the other; both given
    and equal draw a note saying what the stops are measured from."""
    if retain_cost is None and split_trades is None:
        return True, False
    if retain_cost is None:
        return not split_trades, bool(split_trades)
    if split_trades is None:
        return bool(retain_cost), not retain_cost
    retain_cost, split_trades = bool(retain_cost), bool(split_trades)
    if retain_cost and split_trades:
        notes.append("retain_cost=True measures every stop from the position's first entry, so a "
                     "position kept through rebalances stays one trade record: split_trades=True "
                     "has no effect")
    elif not retain_cost and not split_trades:
        notes.append("retain_cost=False measures every stop from the position's value at the last "
                     "rebalance, while with split_trades=False a trade record keeps the position's "
                     "first entry: a stop_loss exit may show a gain, a take_profit exit a loss; "
                     "leave one of the two options out to measure both from the same entry")
    return retain_cost, split_trades


def implausible(*, fee: float, tax: float, stop_loss: float, take_profit: float) -> list[str]:
    """Notes on option values that are valid but most likely meant as
    percentages, saying what they mean as fractions."""
    notes = []
    for name, value in (("fee", fee), ("tax", tax)):
        if value > 0.05:
            notes.append(f"{name}={value:g} charges {value * 100:g} % of every trade's value; for "
                         f"{value:g} % pass {name}={value / 100:g}")
    for name, value, bound, meaning in (
            ("stop_loss", stop_loss, 1, "exits at a loss of {} % of the entry value, which a long "
                                        "position cannot reach before it is worth nothing"),
            ("take_profit", take_profit, 10, "takes profit at a gain of {} % of the entry value")):
        if value >= bound and value != math.inf:
            notes.append(f"{name}={value:g} is a fraction: it " + meaning.format(f"{value * 100:g}")
                         + f"; for {value:g} % pass {name}={value / 100:g}")
    return notes


def positive(value: float | None, name: str) -> float:
    """A stop distance: None means no stop (an infinite distance)."""
    if value is None:
        return float(np.inf)
    value = float(value)
    if not value > 0:
        raise ValueError(f"{name} must be a positive fraction such as 0.1, or None; got {value!r}")
    return value


def intrabar_stops(arguments: dict[str, Any]) -> bool:
    """Whether the run tests stops against each bar's open, high and low."""
    return bool(arguments["touched_exit"]) and (arguments["stop_loss"] != math.inf or arguments["take_profit"] != math.inf
                                                or arguments["trail_stop"] != math.inf)


def held_bar_notes(context: dict[str, Any], trades: dict[str, Any]) -> list[str]:
    """After a run with intrabar stops, the note on the inconsistent bars
    its trades were held on (made by ``context["ohlc_note"]``)."""
    if not context.get("intrabar_stops"):
        return []
    note = context["ohlc_note"](trades)
    return [] if note is None else [note]
