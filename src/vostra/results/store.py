"""A Result kept in a folder and read back: Parquet tables and one JSON file,
readable without vostra (pandas, polars, pyarrow, DuckDB, a spreadsheet)."""

from __future__ import annotations

import dataclasses
import datetime
import json
import math
from collections.abc import Mapping
from pathlib import Path
from typing import Any

import numpy as np
import pandas as pd

from .fills import EXIT_REASONS, fill_figures
from .orders import Book, Costs
from .book import LastCloses, Unpriced
from .result import Result
from ..run.options import ExitRules

__all__ = ["save_result", "load_result", "FORMAT"]

#: The name and version of the folder's layout, in ``result.json``.
FORMAT = {"name": "vostra.result", "version": 1}
_WIDE = ("close", "open", "high", "low", "volume", "trading")
_BOOK_ARRAYS = ("value", "marked", "cr", "maxcr", "mincr", "reference_price", "mark")


def save_result(result: Result, path: str | Path) -> Path:
    """Write ``result`` into the folder ``path`` (created if needed; its
    files of a result are replaced):

    - ``result.json``: the run's figures and settings, the tickers, the
      dates the statistics start at, and the account after the last bar
      that the orders are sized from;
    - ``bars.parquet``: ``date``, ``equity`` and the per-bar series the run
      reported (``traded``, ``costs``, ``gross``, ``holdings``, ...);
    - ``trades.parquet``, ``operations.parquet``, ``orders.parquet`` (the
      next-day orders as computed now), ``stats.json`` (label -> value);
      ``fills.parquet`` and ``pending.parquet`` for an account run;
    - ``book.parquet``: the positions after the last bar (one row per
      stock id), ``tickers.parquet`` the tickers in stock-id order with
      their shares held and lot sizes;
    - ``close.parquet`` and the other price frames the run read
      (``open``, ``high``, ``low``, ``volume``, ``trading``) and its
      events (``events_dividends``, ``events_splits``): wide, a ``date``
      column then one column per ticker (named as text).
    """
    folder = Path(path)
    folder.mkdir(parents=True, exist_ok=True)
    equity = result.equity
    index = equity.index
    bars = pd.DataFrame({"date": index, "equity": equity.to_numpy(dtype=np.float64)})
    for name, values in result._per_bar.items():
        if values is not None:
            bars[name] = np.asarray(values)
    _parquet(bars, folder / "bars.parquet")
    _parquet(result.trades, folder / "trades.parquet")
    _parquet(result.operations, folder / "operations.parquet")
    book = result.book
    kept = result.__dict__.get("_kept_fills")
    limited = result._fills_limited()
    figures = None
    if limited:
        figures = kept[2] if kept is not None else fill_figures(result._fill_source[0])
    for name in ("fills", "pending"):
        table = getattr(result, name)
        if table is not None:
            _parquet(table, folder / f"{name}.parquet")
    frames = {"close": result.close, **result.prices,
              **{f"events_{k}": v for k, v in (getattr(result, "events", None) or {}).items()}}
    wide = {}
    for name, frame in frames.items():
        if isinstance(frame, pd.DataFrame):
            wide[name] = list(frame.columns)
            frame = frame.set_axis([str(c) for c in frame.columns], axis=1)
            _parquet(frame.rename_axis("date").reset_index(), folder / f"{name}.parquet")
    stats = result.stats
    _json(dict(stats.items()), folder / "stats.json")
    meta: dict[str, Any] = {
        "format": FORMAT,
        "capital": result.capital, "fee": result.fee, "tax": result.tax,
        "periods_per_year": result.periods_per_year, "risk_free": result.risk_free,
        "start": result.start, "weight_date": result.weight_date, "next_weight_date": result.next_weight_date,
        "timezone": None if getattr(index, "tz", None) is None else str(index.tz),
        "freq": getattr(index, "freqstr", None),
        "settings": result.settings, "wide": wide, "stats_attrs": dict(stats.attrs),
        "fill_figures": figures, "limited": limited,
        "shares": result.shares is not None,
    }
    if book is not None:
        meta["book"] = _book_json(book)
        _book_tables(book, folder)
        _parquet(result.orders, folder / "orders.parquet")
    _json(meta, folder / "result.json")
    return folder


def load_result(path: str | Path) -> Result:
    """A :class:`vostra.Result` read back from a folder that
    :meth:`vostra.Result.save` wrote: it prints, reports, plots and gives
    its statistics, trades, fills and orders (``orders_for`` too) as the
    saved one did. Not kept: the options that are no plain numbers or text
    come back as text in ``settings`` (dates in ISO form, a lot size by
    ticker as a mapping), tickers that are neither text nor numbers come
    back as text, the fits of a strategy's run (``fits``, ``fitted``,
    ``refits``) are not saved, and neither are the run's own arrays behind
    the figures (the statistics are worked out again from the equity and
    the trade log, to the same values). A pickled Result keeps all of it."""
    folder = Path(path)
    meta = json.loads((folder / "result.json").read_text())
    if meta.get("format", {}).get("name") != FORMAT["name"]:
        raise ValueError(f"{folder} holds no saved vostra result (its result.json names no format)")
    if meta["format"].get("version", 0) > FORMAT["version"]:
        raise ValueError(f"{folder} was saved by a newer vostra (format {meta['format']['version']})")
    tz = meta.get("timezone")
    bars = _read(folder / "bars.parquet")
    index = pd.DatetimeIndex(bars.pop("date"), freq=meta.get("freq"))
    equity = pd.Series(bars.pop("equity").to_numpy(dtype=np.float64), index=index, name="equity")
    per_bar = {name: bars[name].to_numpy() for name in bars.columns}
    wide = {name: _wide(folder / f"{name}.parquet", columns, index) for name, columns in meta["wide"].items()}
    close = wide.pop("close", None)
    events = {name[len("events_"):]: wide.pop(name) for name in list(wide) if name.startswith("events_")}
    trades = _trades(_read(folder / "trades.parquet"))
    operations = _read(folder / "operations.parquet")
    book = _load_book(meta["book"], folder, close, index) if "book" in meta else None
    tickers = book.tickers if book is not None else None
    shares = None
    if meta.get("shares") and book is not None and book.shares is not None:
        shares = pd.Series(book.shares, index=tickers, name="shares")
    result = Result(equity, trades, operations, weight_date=_time(meta["weight_date"], tz),
                    next_weight_date=_time(meta["next_weight_date"], tz), start=_time(meta["start"], tz),
                    fee=meta["fee"], tax=meta["tax"], periods_per_year=meta["periods_per_year"], close=close,
                    settings=meta["settings"], per_bar=per_bar, risk_free=meta["risk_free"],
                    capital=meta["capital"], shares=shares, prices=wide, book=book)
    result.events = events
    fills = _read(folder / "fills.parquet") if (folder / "fills.parquet").exists() else None
    pending = _read(folder / "pending.parquet") if (folder / "pending.parquet").exists() else None
    for table in (fills, pending):
        if table is not None:
            _reasons(table, "reason")
    if fills is not None or pending is not None or meta.get("limited"):
        result._kept_fills = (fills, pending, meta.get("fill_figures"), bool(meta.get("limited")))
    return result


# --------------------------------------------------------------------------

def _parquet(frame: pd.DataFrame, path: Path) -> None:
    frame = pd.DataFrame(frame)  # a table of orders as a plain frame
    frame.attrs = {}
    frame.to_parquet(path, index=False)


def _read(path: Path) -> pd.DataFrame:
    frame = pd.read_parquet(path)
    # Text comes back as text: the tables were built with object columns.
    text = [c for c in frame.columns if c == "ticker" or pd.api.types.is_string_dtype(frame[c].dtype)
            and not isinstance(frame[c].dtype, pd.CategoricalDtype)]
    return frame.astype({c: object for c in text}) if text else frame


def _wide(path: Path, columns: list[Any], index: pd.DatetimeIndex) -> pd.DataFrame:
    frame = pd.read_parquet(path)
    dates = pd.DatetimeIndex(frame.pop("date"))
    # The run's dates, with their frequency, where the frame is on them.
    frame.index = index if dates.equals(index) else dates
    return frame.set_axis(pd.Index(columns, dtype=object) if columns else frame.columns, axis=1)


def _trades(trades: pd.DataFrame) -> pd.DataFrame:
    _reasons(trades, "exit_reason")
    if "exit_bar" in trades:
        trades["exit_bar"] = trades["exit_bar"].astype("Int64")
    return trades


def _reasons(table: pd.DataFrame, column: str) -> None:
    if column in table and not isinstance(table[column].dtype, pd.CategoricalDtype):
        table[column] = pd.Categorical(table[column], categories=EXIT_REASONS)


def _book_json(book: Book) -> dict[str, Any]:
    final = book.final
    lots = book.lot_size
    return {
        "cash": float(final["cash"]), "rebalance_due": bool(final["rebalance_due"]),
        "next_weights": [[int(s), float(w)] for s, w in book.next_weights.items()],
        "equity": book.equity, "rules": dataclasses.asdict(book.rules), "costs": dataclasses.asdict(book.costs),
        "as_of": book.as_of, "signal_date": book.signal_date, "for_date": getattr(book, "for_date", None),
        "next_rebalance": book.next_rebalance, "leverage": book.leverage,
        "lot_size": None if lots is None or isinstance(lots, (Mapping, pd.Series)) else float(lots),
        "lots_by_ticker": isinstance(lots, (Mapping, pd.Series)),
        "waiting": None if book.waiting is None else [[int(s), float(t), r] for s, (t, r) in book.waiting.items()],
        "stated": list(book.stated),
        "tickers": list(book.tickers),
    }


def _book_tables(book: Book, folder: Path) -> None:
    final = book.final
    positions = pd.DataFrame({"sid": np.asarray(final["sid"], dtype=np.int64),
                              **{k: np.asarray(final[k]) for k in _BOOK_ARRAYS}})
    _parquet(positions, folder / "book.parquet")
    table = pd.DataFrame({"ticker": [str(t) for t in book.tickers]})
    if book.shares is not None:
        table["shares"] = np.asarray(book.shares, dtype=np.float64)
    lots = book.lot_size
    if isinstance(lots, (Mapping, pd.Series)):
        lots = pd.Series(lots, dtype=object) if isinstance(lots, Mapping) else lots
        table["lot_size"] = [float(lots[t]) if t in lots.index else math.nan for t in book.tickers]
    _parquet(table, folder / "tickers.parquet")


def _load_book(meta: dict[str, Any], folder: Path, close: pd.DataFrame | None, index: pd.DatetimeIndex) -> Book:
    tz = None if index.tz is None else index.tz
    positions = pd.read_parquet(folder / "book.parquet")
    final: dict[str, Any] = {"sid": positions["sid"].to_numpy(dtype=np.int64)}
    for name in _BOOK_ARRAYS:
        final[name] = positions[name].to_numpy()
    final["cash"], final["rebalance_due"] = meta["cash"], meta["rebalance_due"]
    tickers = pd.Index(meta["tickers"], dtype=object)
    table = pd.read_parquet(folder / "tickers.parquet")
    shares = table["shares"].to_numpy(dtype=np.float64) if "shares" in table else None
    lots: Any = meta["lot_size"]
    if meta["lots_by_ticker"]:
        lots = pd.Series(table["lot_size"].to_numpy(), index=tickers)
    end = index[-1] if len(index) else None
    return Book(tickers=tickers, final=final, next_weights={int(s): float(w) for s, w in meta["next_weights"]},
                equity=meta["equity"], prices=LastCloses(close, end), rules=_rules(meta["rules"]),
                costs=Costs(**meta["costs"]), as_of=_time(meta["as_of"], tz),
                signal_date=_time(meta["signal_date"], tz), for_date=_time(meta.get("for_date"), tz),
                next_rebalance=_time(meta["next_rebalance"], tz), shares=shares, lot_size=lots,
                leverage=meta["leverage"],
                waiting=None if meta["waiting"] is None else {int(s): (float(t), r) for s, t, r in meta["waiting"]},
                unpriced=Unpriced(close, end), stated=frozenset(meta["stated"]))


def _rules(saved: dict[str, Any]) -> ExitRules:
    # A distance not set is infinite, kept as null.
    return ExitRules(**{k: math.inf if v is None else v for k, v in saved.items()})


def _time(value: Any, tz: Any) -> pd.Timestamp | None:
    """A date of result.json back in the zone of the run's dates."""
    if value is None:
        return None
    ts = pd.Timestamp(value)
    return ts.tz_convert(tz) if tz is not None and ts.tz is not None else ts


def _json(value: Any, path: Path) -> None:
    """Strict JSON (no NaN or infinity: null)."""
    path.write_text(json.dumps(_plain(value), indent=1, allow_nan=False) + "\n")


def _plain(value: Any) -> Any:
    """A value as JSON holds it: dates in ISO form, arrays and Series as
    lists and mappings, NumPy scalars as numbers, a number that is not
    finite as null, anything else as text."""
    if value is None or value is pd.NaT:
        return None
    if isinstance(value, (pd.Timestamp, datetime.date, datetime.datetime)):
        return value.isoformat()
    if isinstance(value, np.generic):
        value = value.item()
    if isinstance(value, float):
        return value if math.isfinite(value) else None
    if isinstance(value, np.ndarray):
        return value.tolist()
    if isinstance(value, pd.Series):
        return {str(k): _plain(v) for k, v in value.items()}
    if isinstance(value, (pd.Index, list, tuple, set, frozenset)):
        return [_plain(v) for v in value]
    if isinstance(value, Mapping):
        return {str(k): _plain(v) for k, v in value.items()}
    if isinstance(value, (bool, int, str)):
        return value
    return str(value)
