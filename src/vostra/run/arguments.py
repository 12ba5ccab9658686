"""The engine arguments of one run, from price and weight arrays converted
once by the data layer."""

from __future__ import annotations

import functools
from typing import Any

import numpy as np
import pandas as pd

from ..data.delisting import Delisting, delisting_by_option, delisting_horizon
from ..data.frames import listing
from .._native import load_engine
from ..data.prices import PriceArrays, convert_prices, inconsistent_note, market_last
from ..data.schedule import Rebalance, schedule
from ..data.weights import WeightArrays, check_finite, convert_weights, early_scan, run_weights
from ..data.frequency import infer_periods_per_year
from .events import event_arguments
from .market_rules import market_arguments
from .options import intrabar_stops, lot_sizes, needs_periods, scalar_arguments


def prepare(weights: pd.DataFrame, close: pd.DataFrame, open: pd.DataFrame | None = None,
            high: pd.DataFrame | None = None, low: pd.DataFrame | None = None,
            **options: Any) -> tuple[dict[str, Any], dict[str, Any]]:
    """Check and convert the inputs of :func:`vostra.backtest` (``options``
    are its keyword options).

    Returns ``(arguments, context)``: the keyword arguments of the engine's
    ``run`` and what the result needs to label the engine's output;
    ``context["warnings"]`` holds the messages for the caller to issue (so
    that they point at the user's call). Raises the errors listed in
    :func:`vostra.backtest`.
    """
    # The weight scan first: the checks and conversions run after its pass.
    early = early_scan(weights)
    prices = convert_prices(close, open, high, low)
    return engine_arguments(prices, convert_weights(weights, prices, early), **options)


def price_frames(trade_at: Any) -> dict[str, str]:
    """The name the caller gave each price matrix, for messages."""
    trading = "trade_at" if isinstance(trade_at, pd.DataFrame) else str(trade_at)
    return {"trading": trading, "close": "close", "high": "high", "low": "low", "open": "open"}


def _price_matrices(prices: PriceArrays, bars: slice | None,
                    trade_at: str | pd.DataFrame) -> dict[str, np.ndarray]:
    """The price matrices of the bars ``bars`` (views), the trading prices
    chosen by ``trade_at``; open, high and low default to the closes."""

    def cut(values: np.ndarray) -> np.ndarray:
        return values if bars is None else values[bars]

    close = cut(prices.close_values)
    out = dict(
        close_values=close,
        open_values=close if prices.open_values is None else cut(prices.open_values),
        high_values=close if prices.high_values is None else cut(prices.high_values),
        low_values=close if prices.low_values is None else cut(prices.low_values),
    )
    if isinstance(trade_at, pd.DataFrame):
        out["price_values"] = cut(prices.trade_values(trade_at))
    elif trade_at == "close":
        out["price_values"] = close
    elif trade_at == "open":
        if prices.open_values is None:
            raise ValueError("trade_at='open' needs the open prices: pass open=...")
        out["price_values"] = out["open_values"]
    else:
        raise ValueError(f"trade_at must be 'close', 'open' or a DataFrame of prices, got {trade_at!r}")
    return out


def _held_last_closes(pos_values: np.ndarray, is_mask: bool, tickers: pd.Index, price_col: np.ndarray,
                      traded: np.ndarray, close_values: np.ndarray,
                      market_end: int = -1) -> tuple[np.ndarray, np.ndarray, bool]:
    """The last valid close of every price column some weight may hold (-1
    for none and for the others), and per weight column the automatic
    delisting bar of a close that ends before ``market_end`` (the horizon of
    :func:`delisting_horizon`) and whether it delists any; raises for a held
    ticker with no column in close or without any close."""

    def held(columns: np.ndarray) -> np.ndarray:
        """Whether the weights ever hold each of these columns: asked only of
        the few tickers that lack prices."""
        part = pos_values[:, columns]
        return part.any(axis=0) if is_mask else (part != 0).any(axis=0)

    # Only columns that some row gives a weight (in any rows: `traded` is
    # the whole frame's) may be held: one native pass over their closes.
    last, missing, empty, delisting, delisted = load_engine().held_last_rows(
        close_values, price_col if price_col.dtype == np.int64 else price_col.astype(np.int64), traded, market_end)
    unknown = tickers[missing[held(missing)]] if len(missing) else ()
    if len(unknown):
        raise ValueError(
            f"weights has tickers with no column in close: {listing(unknown)}; add "
            f"their prices or leave those tickers out of the weights"
        )
    empty = empty[held(empty)] if len(empty) else empty
    if len(empty):
        raise ValueError(
            f"weights gives nonzero weight to tickers whose close prices are all "
            f"missing: {listing(tickers[empty])}"
        )
    return last, delisting, delisted > 0


def _heavy_rows(values: np.ndarray, dates: pd.DatetimeIndex, leverage: float, notes: list[str]) -> None:
    """The warning for rows of weights that add up to more than ten times the
    leverage (a 0/1 matrix of floats aside, which means equal weights): a run
    scales them down, which is what scores ask for and rarely what weights
    in per cent meant."""
    if not leverage > 0:
        return
    count, first, total = load_engine().heavy_rows(values, 10.0 * leverage)
    if count:
        notes.append(f"weights on {count} row(s) add up to far more than the leverage ({total:g} on "
                     f"{dates[first]}, leverage {leverage:g}): each such row is scaled down to add up to "
                     f"the leverage, so weights in per cent (10 for 10 %) do not say what they mean. Divide "
                     f"per-cent weights by 100, or divide each row by its sum to scale the rows yourself")


def engine_arguments(prices: PriceArrays, signal: WeightArrays, bars: slice | None = None,
              rows: slice | None = None, columns: np.ndarray | None = None,
              delisted_at: np.ndarray | None = None, *,
              trade_at: str | pd.DataFrame = "close", rebalance: Rebalance = "M",
              delisting: Delisting = "auto", lot_size: Any = None, volume: Any = None,
              max_volume_share: Any = None, price_limit: Any = None, blocked: Any = None,
              dividends: Any = None, splits: Any = None, cash_flows: Any = None, dividend_tax: Any = 0.0,
              **options: Any) -> tuple[dict[str, Any], dict[str, Any]]:
    """The engine arguments of one run on converted inputs: the prices of
    the bars ``bars``, the weight rows ``rows`` and the weight columns where
    the bool array ``columns`` is True (all by default), exactly as
    :func:`prepare` gives them for frames cut to those rows and columns.
    ``delisted_at`` (a delisting bar per price column, -1 for none) stands
    in for the ``delisting`` option; ``options`` are the scalar options.
    ``lot_size`` (by ticker) is aligned to the weight columns here."""
    notes: list[str] = []
    whole = rows is None or (rows.start in (0, None) and rows.stop is not None and rows.stop >= len(signal.pos_ns)
                             and rows.step in (1, None))
    rows = slice(0, len(signal.pos_ns)) if rows is None else rows
    # An index cannot change: the whole of it needs no copy.
    weights_index = signal.frame.index if whole else signal.frame.index[rows]
    if len(weights_index) == 0:
        raise ValueError("weights has no rows; it needs at least one signal date")
    matrices = _price_matrices(prices, bars, trade_at)
    engine_scalars, scalar_context = scalar_arguments(**options)
    notes.extend(scalar_context.pop("notes"))

    close_index = prices.dates_of(bars)
    if needs_periods(engine_scalars):
        engine_scalars["periods_per_year"] = infer_periods_per_year(close_index)[0]
    price_ns = prices.price_ns if bars is None else prices.price_ns[bars]
    pos_ns = signal.pos_ns[rows]
    check_finite(signal, rows, columns)
    pos_values, tickers = signal.values if whole else signal.values[rows], signal.frame.columns
    price_col, pos_labels, traded = signal.price_col, signal.labels, signal.traded
    if columns is not None and not columns.all():
        pos_values, tickers = pos_values[:, columns], tickers[columns]
        price_col, pos_labels, traded = price_col[columns], pos_labels[columns], traded[columns]
    close_values = matrices["close_values"]
    # Automatic delistings come per weight column from the same pass.
    auto = delisted_at is None and isinstance(delisting, str) and delisting == "auto"
    last, delisting_bars, delisted = _held_last_closes(
        pos_values, signal.is_mask, tickers, price_col, traded, close_values,
        delisting_horizon(market_last(close_values)) if auto else -1)
    if not auto:
        delist_price = delisted_at
        if delist_price is None:
            delist_price = delisting_by_option(delisting, last, last >= 0, close_values, prices.close, price_ns)
        delisting_bars = None
        if delist_price is not None:
            known = price_col >= 0
            delisting_bars = np.full(len(price_col), -1, dtype=np.int64)
            delisting_bars[known] = delist_price[price_col[known]]
        delisted = delisting_bars is not None
    if not signal.is_mask:
        _heavy_rows(pos_values, weights_index, engine_scalars.get("leverage", 1.0), notes)
    # Without delistings a weight matrix of numbers is traded as it is.
    if delisted or signal.is_mask:
        pos_values = run_weights(signal, pos_values, tickers, delisting_bars, price_ns, pos_ns, notes,
                                 key=(rows.start, rows.stop, None if columns is None else columns.tobytes(),
                                      None if bars is None else (bars.start, bars.stop)))

    resample = schedule(rebalance, close_index, price_ns, pos_ns)
    if rebalance is None and len(pos_ns) > 1:
        # A signal row that gives every stock the weight of the row before it
        # changes no target: it is no rebalance (no trade, and a stock a stop
        # took out stays out), as if the signal were listed on its changes.
        changed = np.ones(len(pos_ns), dtype=bool)
        changed[1:] = (pos_values[1:] != pos_values[:-1]).any(axis=1)
        resample = resample if changed.all() else pos_ns[changed]
    if len(pos_ns) and len(price_ns) and pos_ns[0] > price_ns[-1]:
        notes.append(
            f"weights start on {weights_index[0]}, after the last price date "
            f"{close_index[-1]}; nothing will be traded"
        )
    if lot_size is not None:
        engine_scalars["lot_size"] = lot_sizes(lot_size, tickers, traded)
    # The volume a run may read: that of the stocks its weights trade.
    filled = None if volume is None else np.unique(price_col[traded & (price_col >= 0)]).astype(np.int64)
    engine_scalars.update(market_arguments(prices.close, bars, filled, volume=volume,
                                           max_volume_share=max_volume_share, price_limit=price_limit,
                                           blocked=blocked))
    engine_scalars.update(event_arguments(prices.close, bars, dividends=dividends, splits=splits,
                                          cash_flows=cash_flows, dividend_tax=dividend_tax,
                                          capital=options.get("capital")))

    run_arguments = dict(
        price_index=price_ns, price_columns=prices.labels,
        pos_values=pos_values, pos_index=pos_ns,
        pos_columns=pos_labels, resample=resample,
        delisting_bars=delisting_bars,
        # A holding without a price on a rebalance bar keeps its reference
        # price, so its move across the gap is credited (backtest_ drops it).
        credit_gaps=True,
        # With capital and retain_cost, a purchase into a long (a sale into a
        # short) moves the record's entry to its average cost: the stops
        # are measured from there, as the trade log shows it.
        rebase_stops=True,
        **matrices, **engine_scalars,
    )
    context = dict(
        close_index=close_index, weights_index=weights_index,
        # A naive index's nanoseconds are its wall-clock ones, which the printout reads.
        local_ns=price_ns if close_index.tz is None else None,
        # The names of the price matrices, which only an engine error's message reads.
        tickers=tickers, price_frames=functools.partial(price_frames, trade_at),
        # Read after a run whose stops test each bar's range, on its trades.
        ohlc_note=functools.partial(inconsistent_note, prices, bars, price_col),
        intrabar_stops=intrabar_stops(engine_scalars),
        # The data layer's pass over the weights, for a run of that very matrix.
        weight_scan=signal.scan if pos_values is signal.values else None,
        warnings=notes, **scalar_context,
    )
    return run_arguments, context
