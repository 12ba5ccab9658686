"""One run of the engine on pandas frames: the options checked and turned
into the engine's arguments, the engine called, its errors told in the
caller's terms. :func:`vostra.backtest` wraps the outcome in a Result."""

from __future__ import annotations

import functools
import re
from collections.abc import Mapping
from typing import Any

import numpy as np
import pandas as pd

from .._native import load_engine
from ..data.market import Market, price_frames
from ..data.schedule import Rebalance, next_rebalance
from ..data.weight_shapes import wide_weights
from .arguments import prepare
from .options import ACCOUNT_DEFAULTS, ExitRules, held_bar_notes

__all__ = ["prepare_run", "call_engine", "run_notes", "engine_error"]


def prepare_run(weights: Any, close: Market | pd.DataFrame, open: pd.DataFrame | None,
                high: pd.DataFrame | None, low: pd.DataFrame | None, *, trade_at: Any, rebalance: Rebalance,
                fee: float, tax: float, stop_loss: Any, take_profit: Any, trail_stop: Any,
                trail_activation: float, intrabar: bool, position_limit: float, retain_cost: Any,
                stop_trading: bool, window: int, window_step: int, delisting: Any, split_trades: Any,
                periods_per_year: Any, capital: Any, lot_size: Any, min_fee: float, slippage: float,
                leverage: float, borrow_rate: float, cash_rate: float, volume: Any, max_volume_share: Any,
                price_limit: Any, blocked: Any, dividends: Any = None, splits: Any = None,
                cash_flows: Any = None, dividend_tax: float = 0.0) -> tuple[dict[str, Any], dict[str, Any]]:
    """The engine's arguments and the run's context for the options of
    :func:`vostra.backtest` (documented there). The context's ``"warnings"``
    are the caller's to issue, at the caller's line."""
    market_volume = close.volume if isinstance(close, Market) else None
    if isinstance(close, Market) and isinstance(delisting, str) and delisting == "auto":
        # Delistings the market states are acted on as given, not inferred.
        stated = close.stated_delisting()
        delisting = delisting if stated is None else stated
    if isinstance(close, Market):
        # A market's events apply unless given here.
        dividends = close.dividends if dividends is None else dividends
        splits = close.splits if splits is None else splits
    # False: without the market's.
    dividends = None if dividends is False else dividends
    splits = None if splits is False else splits
    if volume is None and max_volume_share is not None:
        volume = market_volume
    close, open, high, low = price_frames(close, open, high, low)
    arguments, context = prepare(
        wide_weights(weights), close, open, high, low, trade_at=trade_at, rebalance=rebalance,
        fee=fee, tax=tax, stop_loss=stop_loss, take_profit=take_profit,
        trail_stop=trail_stop, trail_activation=trail_activation, intrabar=intrabar,
        position_limit=position_limit, retain_cost=retain_cost,
        stop_trading=stop_trading, window=window, window_step=window_step,
        delisting=delisting, split_trades=split_trades, periods_per_year=periods_per_year,
        capital=capital, lot_size=lot_size, min_fee=min_fee, slippage=slippage, leverage=leverage,
        borrow_rate=borrow_rate, cash_rate=cash_rate, volume=volume, max_volume_share=max_volume_share,
        price_limit=price_limit, blocked=blocked, dividends=dividends, splits=splits, cash_flows=cash_flows,
        dividend_tax=dividend_tax,
    )
    # The report's default benchmark, its cost line and its ticker drill-down read these. Set
    # before the run: right after it, every step starts with cold caches.
    context["close"] = close
    context["prices"] = dict(open=open, high=high, low=low, volume=market_volume if volume is None else volume,
                             trading=trade_at if isinstance(trade_at, pd.DataFrame) else None)
    context["settings"] = dict(trade_at="prices" if isinstance(trade_at, pd.DataFrame) else trade_at,
                               rebalance=rebalance, fee=fee, tax=tax, stop_loss=stop_loss,
                               take_profit=take_profit, trail_stop=trail_stop, intrabar=intrabar,
                               trail_activation=trail_activation,
                               retain_cost=bool(arguments["retain_cost_when_rebalance"]),
                               split_trades=bool(arguments["periodically_rebalance"]),
                               **_account_settings(capital=capital, lot_size=lot_size, min_fee=min_fee,
                                                   slippage=slippage, leverage=leverage,
                                                   borrow_rate=borrow_rate, cash_rate=cash_rate),
                               **{k: v for k, v in dict(max_volume_share=max_volume_share,
                                                        price_limit=price_limit).items() if v is not None},
                               **({"blocked": True} if blocked is not None else {}),
                               **({"dividend_tax": dividend_tax} if dividend_tax else {}),
                               **{k: True for k, v in dict(dividends=dividends, splits=splits,
                                                           cash_flows=cash_flows).items() if v is not None})
    # The orders sell a stock without a last close only when its delisting was given.
    context["stated_delisting"] = _stated(delisting)
    # The ticker drill-down marks the ex-dates.
    context["events"] = dict(dividends=dividends, splits=splits)
    # Only the orders read the exit rules: made when the book is.
    context["exit_rules"] = functools.partial(
        ExitRules, abs(arguments["stop_loss"]), abs(arguments["take_profit"]), abs(arguments["trail_stop"]),
        abs(arguments["trail_stop_activation"]), arguments["touched_exit"], arguments["stop_trading_next_period"])
    # The orders size a run in currency with its own lots and costs.
    context.update(lot_size=arguments.get("lot_size"), min_fee=arguments.get("min_fee", 0.0),
                   slippage=arguments.get("slippage", 0.0), leverage=arguments.get("leverage", 1.0),
                   position_limit=arguments["position_limit"], weights_values=arguments["pos_values"])
    # Only the orders ask for it: worked out when the book is built, not on every run.
    context["next_rebalance"] = functools.partial(next_rebalance, rebalance, context["close_index"],
                                                  arguments["resample"])
    return arguments, context


def _stated(delisting: Any) -> frozenset[Any]:
    """The tickers a ``delisting`` mapping gives a date."""
    if isinstance(delisting, pd.Series):
        return frozenset(delisting.index[delisting.notna().to_numpy()])
    if isinstance(delisting, Mapping):
        return frozenset(t for t, d in delisting.items() if d is not None and not pd.isna(d))
    return frozenset()


def call_engine(arguments: dict[str, Any], context: dict[str, Any]) -> Any:
    """The engine's run of prepared arguments; an unusable price or weight
    row is reported in the caller's terms."""
    try:
        return load_engine().run(**arguments, weight_scan=context["weight_scan"])
    except ValueError as exc:
        raise engine_error(exc, context) from None


def run_notes(run: Any, context: dict[str, Any]) -> list[str]:
    """The warnings a finished run adds: only runs whose stops test the
    bars' ranges have notes on them."""
    return held_bar_notes(context, run.trades) if context["intrabar_stops"] else []


def _account_settings(**given: Any) -> dict[str, Any]:
    """The account options that differ from their defaults, for the report."""
    return {k: v for k, v in given.items()
            if v is not None and not (isinstance(v, (int, float, np.number)) and v == ACCOUNT_DEFAULTS[k])}


_INVALID_PRICE = re.compile(r"Invalid (\w+) price for (.*) at price row (-?\d+): (\S+)\. Expected")
_ROW_SUM = re.compile(r"the absolute weights of pos_values row (\d+) add up beyond the largest float")
_SHARE_COUNT = re.compile(r"Share count (\S+) for (.*) at price row (-?\d+) is beyond whole numbers")


def engine_error(exc: ValueError, context: dict[str, Any]) -> ValueError:
    """The engine's message for an unusable price of a held stock, a share
    count beyond whole numbers, or a weight row whose absolute sum
    overflows, in the caller's terms: the frame, the ticker and the date."""
    row_sum = _ROW_SUM.match(str(exc))
    if row_sum is not None:
        date = context["weights_index"][int(row_sum.group(1))]
        return ValueError(f"the absolute weights of weights on {date} add up beyond the largest float "
                          f"(about 1.8e308), which would scale them all to 0; divide the row by a "
                          f"common factor (rows that add up above 1 are scaled down anyway)")
    count = _SHARE_COUNT.match(str(exc))
    if count is not None:
        shares, label, row = count.groups()
        ticker = {str(t): t for t in context["tickers"]}.get(label, label)
        date = context["close_index"][int(row)]
        return ValueError(
            f"a target of {shares} shares of {ticker!r} on {date} is beyond what whole lots can count "
            f"(2**53 shares); its trading price there is far too small for the capital: check that price")
    match = _INVALID_PRICE.match(str(exc))
    if match is None:
        return exc
    kind, label, row, value = match.groups()
    ticker = {str(t): t for t in context["tickers"]}.get(label, label)
    date = context["close_index"][int(row)]
    names = context["price_frames"]
    name = (names() if callable(names) else names).get(kind, kind)
    return ValueError(
        f"{name} has an unusable price {value} for ticker {ticker!r} on {date} while it is held; "
        f"prices must be positive and finite, use NaN for a missing price"
    )

