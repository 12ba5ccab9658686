"""The command's inputs, all read and checked before anything is run or
written: the prices (a long table through ``read_market``, or a wide table
of closes), the weights, and the files some options name (holdings, lots,
delistings, blocked cells, volumes, trading prices, a benchmark, dates of
a schedule). An error names the file, and the flag that gave it."""

from __future__ import annotations

import argparse
import datetime
from collections.abc import Iterator
from contextlib import contextmanager
from dataclasses import dataclass
from pathlib import Path
from typing import Any

import numpy as np
import pandas as pd
import pyarrow as pa
import pyarrow.csv  # noqa: F401  (pa.csv)
import pyarrow.dataset as ds

from ..data.dates import AmbiguousDates, read_dates
from ..data.frames import listing
from ..data.market import Market
from ..data.read import open_dataset, read_market
from ..data.schedule import _PERIOD_ALIASES
from ..data.weight_shapes import wide_weights
from .messages import InputError

# What reading a file may raise when the file cannot be used.
READ_ERRORS = (ValueError, TypeError, KeyError, IndexError, OverflowError, NotImplementedError, OSError,
               pa.ArrowException)

_TABLE_NAMES = (".csv", ".tsv", ".txt", ".csv.gz", ".csv.bz2", ".csv.zst", ".parquet", ".pq", ".parq")
_COLUMN_FLAGS = ("open", "high", "low", "volume", "dividend", "split", "adjust", "factor", "adj_close")


@dataclass
class Inputs:
    """Everything a run reads, checked: the market, the weights, the keyword
    options of :func:`vostra.backtest` and what the statistics and the orders
    need besides."""

    market: Market
    weights: Any
    options: dict[str, Any]
    holdings: pd.Series | None
    benchmark: pd.Series | None


@contextmanager
def reading(label: str | None, path: str | None = None) -> Iterator[None]:
    """An error while reading becomes one line naming the file (and the flag
    that gave it, ``label``), unless the message names the file already;
    with no ``label`` (the run) the message is left as it is."""
    try:
        yield
    except InputError:
        raise
    except READ_ERRORS as exc:
        message = " ".join(str(exc).split()) or type(exc).__name__
        if "out of bounds" in message and "timestamp" in message.lower():   # Arrow's and pandas' words
            message = f"a date is outside {pd.Timestamp.min.date()} .. {pd.Timestamp.max.date()} ({message})"
        if path is not None and message.startswith(str(path)) and label.endswith(str(path)):
            message = label + message[len(str(path)):]   # the flag too
        elif label is not None and (path is None or str(path) not in message):
            message = f"{label}: {message}"
        raise InputError(message) from None


# --------------------------------------------------------------------------
# Which values name files
# --------------------------------------------------------------------------

def is_frequency(value: str) -> bool:
    return value.lower() == "signal" or value.upper() in _PERIOD_ALIASES


def _looks_like_file(value: str) -> bool:
    name = value.lower()
    return name.endswith(_TABLE_NAMES) or "/" in value or "\\" in value


def _number(value: str) -> float | None:
    try:
        return float(value)
    except ValueError:
        return None


def input_files(args: argparse.Namespace) -> list[tuple[str, str]]:
    """Every file the options read, as (flag, path)."""
    files = [("PRICES", args.prices), ("WEIGHTS", args.weights)]
    for flag, value in (("--config", args.config), ("--holdings", args.holdings), ("--blocked", args.blocked),
                        ("--volume-file", args.volume_file), ("--cash-flows", args.cash_flows)):
        if value is not None:
            files.append((flag, value))
    if args.lot_size is not None and _number(args.lot_size) is None:
        files.append(("--lot-size", args.lot_size))
    for flag, value in (("--dividends", args.dividends), ("--splits", args.splits)):
        if value is not None and value.lower() != "none":
            files.append((flag, value))
    if args.delisting.lower() not in ("auto", "none"):
        files.append(("--delisting", args.delisting))
    if args.benchmark is not None and _looks_like_file(args.benchmark):
        files.append(("--benchmark", args.benchmark))
    if not is_frequency(args.rebalance):
        files.append(("--rebalance", args.rebalance))
    if args.trade_at not in ("close", "open"):
        files.append(("--trade-at", args.trade_at))
    return files


# --------------------------------------------------------------------------
# Tables
# --------------------------------------------------------------------------

def _dataset(path: str, text: tuple[str, ...] = ()) -> ds.Dataset:
    """A dataset over a file or a folder; the ``text`` columns are read as
    text (a ticker '0050' keeps its zeros, in CSV files and folders), and a
    CSV file's dates as written (a timestamp keeps its offset)."""
    return open_dataset(path, dictionary=text or ("ticker",))


def _frame(path: str, text: tuple[str, ...] = ()) -> pd.DataFrame:
    return _dataset(path, text).to_table().to_pandas()


def _settled(read: Any, date_format: str | None) -> Any:
    """``read(None)``; date text whose day and month read either way is read
    again in ``date_format`` (--date-format) when given. Dates that read one
    way only are read so whatever the flag says: the files of a run need not
    write their dates alike."""
    try:
        return read(None)
    except AmbiguousDates:
        if date_format is None:
            raise
    return read(date_format)


def _dates(values: pd.Series, column: str, date_format: str | None = None) -> pd.DatetimeIndex:
    """A column of dates (or of date text, or integers such as 20240131) as
    nanosecond timestamps; other numbers, text that is not a date and text
    whose day and month read either way (unless ``date_format`` orders
    them) are refused, naming the rows."""
    if pd.api.types.is_numeric_dtype(values) and not pd.api.types.is_bool_dtype(values):
        try:
            parsed = read_dates(values, f"the column {column!r}") if pd.api.types.is_integer_dtype(values) else None
        except TypeError:
            parsed = None
        if parsed is None:
            raise ValueError(f"the column {column!r} holds numbers ({values.dtype}), not dates; "
                             f"write dates as 2024-01-31 or 20240131")
    elif pd.api.types.is_datetime64_any_dtype(values):
        parsed = pd.DatetimeIndex(values)
    else:
        text = values.astype(object)
        if not all(isinstance(v, (str, datetime.date, np.datetime64)) or v is None or v is pd.NaT
                   or (isinstance(v, float) and np.isnan(v)) for v in text):
            kinds = sorted({type(v).__name__ for v in text})
            raise ValueError(f"the column {column!r} must hold dates or date text, not {', '.join(kinds)}")
        parsed = _settled(lambda fmt: read_dates(text, f"the column {column!r}", fmt), date_format)
    bad = np.flatnonzero(parsed.isna())
    if len(bad):
        raise ValueError(f"the column {column!r} has no date in {len(bad)} row(s): rows "
                         f"{listing(int(r) for r in bad)} ({listing(values.iloc[bad[:5]].astype(str))})")
    try:
        return parsed.as_unit("ns")
    except (ValueError, OverflowError):
        raise ValueError(f"the column {column!r} has dates outside 1677-09-22 .. 2262-04-11, the range "
                         f"of nanosecond timestamps") from None


def _texts(values: pd.Series, column: str) -> pd.Index:
    """A column of tickers as text; nulls and values that are not scalars
    (lists, maps) are refused."""
    bad = [i for i, v in enumerate(values) if v is None or isinstance(v, (list, dict, tuple, np.ndarray))
           or (isinstance(v, float) and np.isnan(v))]
    if len(bad):
        raise ValueError(f"the column {column!r} must hold one ticker per row; rows {listing(bad)} do not")
    return pd.Index([str(v) for v in values], dtype=object)


def _numbers(frame: pd.DataFrame, what: str) -> pd.DataFrame:
    """The frame's columns as float64 (bools as 0 and 1), naming a column
    that holds something else."""
    out = {}
    for name in frame.columns:
        column = frame[name]
        if pd.api.types.is_bool_dtype(column) or pd.api.types.is_numeric_dtype(column):
            out[name] = column.astype(np.float64)
            continue
        values = pd.to_numeric(column, errors="coerce")
        bad = np.flatnonzero(values.isna().to_numpy() & column.notna().to_numpy())
        if len(bad):
            raise ValueError(f"{what}: the column {name!r} holds something other than numbers, in rows "
                             f"{listing(int(r) for r in bad)}")
        out[name] = values.astype(np.float64)
    return pd.DataFrame(out, index=frame.index)


def _wide(frame: pd.DataFrame, date: str, what: str, date_format: str | None = None) -> pd.DataFrame:
    """A wide table (a date column, then one column per ticker) as a frame
    indexed by its dates."""
    if frame.shape[1] < 2:
        raise ValueError(f"{what} needs a date column and at least one ticker column; found "
                         f"{listing(frame.columns) or 'none'}")
    column = date if date in frame.columns else frame.columns[0]
    index = _dates(frame[column], column, date_format).rename("date")
    rest = frame.drop(columns=column)
    rest.columns = pd.Index([str(c) for c in rest.columns], dtype=object, name="ticker")
    return rest.set_axis(index).sort_index(kind="stable")


def _long(frame: pd.DataFrame, date: str, ticker: str, value: str | None, what: str,
          date_format: str | None = None) -> pd.DataFrame:
    """A long table (date, ticker and a value column: ``value`` or the only
    other column; without one, every row is a True cell) as a wide frame."""
    rest = [c for c in frame.columns if c not in (date, ticker)]
    if value is not None and value in frame.columns:
        column = value
    elif len(rest) == 1:
        column = rest[0]
    elif not rest:
        column = None
    else:
        raise ValueError(f"{what} has the columns {listing(rest)} beside {date!r} and {ticker!r}: "
                         f"name the one to read {value!r}")
    dates = _dates(frame[date], date, date_format)
    tickers = _texts(frame[ticker], ticker)
    pairs = pd.MultiIndex.from_arrays([dates, tickers])
    twice = np.flatnonzero(pairs.duplicated())
    if len(twice):
        raise ValueError(f"{what} has more than one row for ({dates[twice[0]]}, {tickers[twice[0]]!r})")
    cells = pd.Series(True if column is None else frame[column].to_numpy(), index=pairs)
    return cells.unstack().sort_index(kind="stable").rename_axis(index="date", columns="ticker")


def _named(names: Any, given: str, default: str) -> str:
    """The column of a role in a file: the one the flag names, or else the
    default name (prices and weights may name their columns differently)."""
    return given if given in names or default not in names else default


def frame_file(path: str, args: argparse.Namespace, value: str | None, what: str) -> pd.DataFrame:
    """A file of dates × tickers, long (with a ticker column) or wide."""
    frame = _frame(path, (args.ticker, "ticker"))
    ticker, date = _named(frame.columns, args.ticker, "ticker"), _named(frame.columns, args.date, "date")
    if ticker in frame.columns:
        if date not in frame.columns:
            raise ValueError(f"{what} has a {ticker!r} column but no {date!r} column")
        return _long(frame, date, ticker, value, what, args.date_format)
    return _wide(frame, date, what, args.date_format)


def _by_ticker(path: str, args: argparse.Namespace, value: str, what: str,
               tickers: pd.Index) -> pd.Series:
    """A file of one value per ticker: a ``--ticker`` column and a ``value``
    column, or just two columns (ticker, then value). The tickers are those
    of the prices where their text matches."""
    frame = _frame(path, (args.ticker, "ticker"))
    ticker = _named(frame.columns, args.ticker, "ticker")
    if ticker in frame.columns and value in frame.columns:
        frame = frame[[ticker, value]]
    elif frame.shape[1] != 2:
        raise ValueError(f"{what} needs a {ticker!r} and a {value!r} column (or just two columns, "
                         f"ticker then {value}); found {listing(frame.columns) or 'none'}")
    known = {str(t): t for t in tickers}
    labels = [known.get(t, t) for t in _texts(frame.iloc[:, 0], str(frame.columns[0]))]
    values = frame.iloc[:, 1] if value == "date" else _numbers(frame.iloc[:, 1:], what).iloc[:, 0]
    return pd.Series(values.to_numpy(), index=pd.Index(labels, dtype=object), name=value)


# --------------------------------------------------------------------------
# The prices and the weights
# --------------------------------------------------------------------------

def _kinds(schema: pa.Schema, date: str, ticker: str) -> None:
    """Refuse a ticker column that is not text or whole numbers and a date
    column that is not dates or text, naming the type; Arrow reads CSV text
    that is not UTF-8 as bytes, which no ticker of the other files matches."""
    for name, role in ((ticker, "tickers (text)"), (date, "dates")):
        if name not in schema.names:
            continue
        kind = schema.field(name).type
        kind = kind.value_type if pa.types.is_dictionary(kind) else kind
        text = pa.types.is_string(kind) or pa.types.is_large_string(kind)
        fits = text or pa.types.is_integer(kind)   # whole numbers: the data layer's message for dates
        if role == "dates":
            fits = fits or pa.types.is_timestamp(kind) or pa.types.is_date(kind)
        if pa.types.is_binary(kind) or pa.types.is_large_binary(kind) or pa.types.is_fixed_size_binary(kind):
            raise ValueError(f"the column {name!r} is not text (bytes that are not UTF-8)")
        if not fits:
            raise ValueError(f"the column {name!r} holds {kind}, not {role}")


def _market(args: argparse.Namespace) -> Market:
    schema = _dataset(args.prices).schema
    names = schema.names
    _kinds(schema, args.date, args.ticker)
    tickers = args.tickers
    if tickers is not None and args.benchmark is not None and not _looks_like_file(args.benchmark):
        tickers = [*tickers, args.benchmark]
    if args.ticker in names:
        # The dividend and split columns are read by name; adjusted prices hold them already.
        events = dict(dividend=args.dividend, split=args.split)
        if args.adjust is not None:
            events.update({k: None for k in events if k not in args.given})
        return _settled(lambda fmt: read_market(
            args.prices, date=args.date, ticker=args.ticker, open=args.open, high=args.high, low=args.low,
            close=args.close, volume=args.volume, adjust=args.adjust, factor=args.factor,
            adj_close=args.adj_close, start=args.start, end=args.end, tickers=tickers, date_format=fmt,
            **events), args.date_format)
    given = [f"--{f.replace('_', '-')}" for f in _COLUMN_FLAGS if f in args.given]
    if given:
        raise ValueError(f"{', '.join(given)} name columns of a long table (with a {args.ticker!r} column); "
                         f"this one is wide (a date column, then one close column per ticker)")
    close = _numbers(_wide(_frame(args.prices), args.date, args.prices, args.date_format), args.prices)
    if tickers is not None:
        close = close[[t for t in close.columns if t in set(tickers)]]
    if close.loc[args.start:args.end].notna().to_numpy().sum() == 0:
        raise ValueError(f"{args.prices} has no prices in the dates and tickers asked for")
    return Market.from_frames(close).between(args.start, args.end)


def _weights(args: argparse.Namespace) -> Any:
    dataset = _dataset(args.weights, (args.ticker, "ticker"))
    names = dataset.schema.names
    ticker, date = _named(names, args.ticker, "ticker"), _named(names, args.date, "date")
    _kinds(dataset.schema, date, ticker)
    if ticker not in names:
        frame = _wide(dataset.to_table().to_pandas(), date, args.weights, args.date_format)
        bools = all(pd.api.types.is_bool_dtype(t) for t in frame.dtypes)
        return frame if bools else _numbers(frame, args.weights)
    needed = [date, ticker, _named(names, args.weight, "weight")]
    missing = [n for n in needed if n not in names]
    if missing:
        raise ValueError(f"a long WEIGHTS table needs the columns {listing(needed)}; "
                         f"{listing(missing)} not among {listing(names)}")
    table = dataset.to_table(columns=needed).rename_columns(["date", "ticker", "weight"])
    return _settled(lambda fmt: wide_weights(table, fmt), args.date_format)


# --------------------------------------------------------------------------
# The options that name files
# --------------------------------------------------------------------------

def _rebalance(args: argparse.Namespace) -> Any:
    if is_frequency(args.rebalance):
        return None if args.rebalance.lower() == "signal" else args.rebalance
    if not _looks_like_file(args.rebalance) and not Path(args.rebalance).exists():
        raise InputError(f"--rebalance {args.rebalance}: neither a frequency (D, W, W-FRI, M, Q, Y), "
                         f"'signal' (every signal date) nor a file of dates")
    with reading(f"--rebalance {args.rebalance}", args.rebalance):
        frame = _frame(args.rebalance)
        column = _named(frame.columns, args.date, "date")
        column = column if column in frame.columns else frame.columns[0]
        return list(_dates(frame[column], column, args.date_format))


def _lots(args: argparse.Namespace, tickers: pd.Index) -> Any:
    number = _number(args.lot_size)
    if number is not None:
        return number
    with reading(f"--lot-size {args.lot_size}", args.lot_size):
        return _by_ticker(args.lot_size, args, "lot_size", args.lot_size, tickers)


def _delisting(args: argparse.Namespace, tickers: pd.Index) -> Any:
    if args.delisting.lower() in ("auto", "none"):
        return None if args.delisting.lower() == "none" else "auto"
    with reading(f"--delisting {args.delisting}", args.delisting):
        dates = _by_ticker(args.delisting, args, "date", args.delisting, tickers)
        return dict(zip(dates.index, _dates(pd.Series(dates.to_numpy()), "date", args.date_format)))


def _benchmark(args: argparse.Namespace, market: Market) -> pd.Series | None:
    value = args.benchmark
    if value is None:
        return None
    if not _looks_like_file(value):
        known = {str(t): t for t in market.tickers}
        if value not in known:
            raise InputError(f"--benchmark {value}: not a ticker of PRICES (nor a file name: one ends in "
                             f".csv or .parquet)")
        return market.close[known[value]].rename(value)
    with reading(f"--benchmark {value}", value):
        frame = _frame(value)
        if frame.shape[1] != 2:
            raise ValueError(f"a benchmark file needs two columns, its dates then its prices or equity; "
                             f"found {listing(frame.columns) or 'none'}")
        frame = _wide(frame, _named(frame.columns, args.date, "date"), value, args.date_format)
        series = _numbers(frame, value).iloc[:, 0]
        return series.rename(Path(value).stem)


def _blocked(args: argparse.Namespace) -> pd.DataFrame | None:
    if args.blocked is None:
        return None
    with reading(f"--blocked {args.blocked}", args.blocked):
        frame = frame_file(args.blocked, args, "blocked", args.blocked)
        values = _numbers(frame, args.blocked)
        if not values.isin([0.0, 1.0]).to_numpy()[values.notna().to_numpy()].all():
            raise ValueError("blocked cells must be true or false (1 or 0)")
        return values.fillna(0.0).astype(bool)


def _prices_file(flag: str, path: str | None, args: argparse.Namespace, value: str) -> pd.DataFrame | None:
    if path is None:
        return None
    with reading(f"{flag} {path}", path):
        return _numbers(frame_file(path, args, value, path), path)


def _events(args: argparse.Namespace) -> dict[str, Any]:
    """The events' options: frames from files, ``none`` for not those of
    PRICES, cash flows by date."""
    out: dict[str, Any] = {"dividend_tax": args.dividend_tax}
    for name, value in (("dividends", args.dividends), ("splits", args.splits)):
        if value is not None:
            out[name] = False if value.lower() == "none" else _prices_file(f"--{name}", value, args, name[:-1])
    if args.cash_flows is not None:
        with reading(f"--cash-flows {args.cash_flows}", args.cash_flows):
            frame = _frame(args.cash_flows)
            if frame.shape[1] != 2:
                raise ValueError(f"cash flows need two columns, their dates then their amounts; found "
                                 f"{listing(frame.columns) or 'none'}")
            date = _named(frame.columns, args.date, "date")
            frame = _wide(frame, date, args.cash_flows, args.date_format)
            out["cash_flows"] = _numbers(frame, args.cash_flows).iloc[:, 0]
    return out


def read_inputs(args: argparse.Namespace) -> Inputs:
    """Read and check every input the options name."""
    with reading(args.prices, args.prices):
        market = _market(args)
    with reading(args.weights, args.weights):
        weights = _weights(args)
    options: dict[str, Any] = dict(
        rebalance=_rebalance(args), fee=args.fee, tax=args.tax, stop_loss=args.stop_loss,
        take_profit=args.take_profit, trail_stop=args.trail_stop, trail_activation=args.trail_activation,
        intrabar=args.intrabar, position_limit=args.position_limit, retain_cost=args.retain_cost,
        split_trades=args.split_trades, stop_trading=args.stop_trading, window=args.window,
        window_step=args.window_step, delisting=_delisting(args, market.tickers),
        periods_per_year=args.periods_per_year, capital=args.capital, min_fee=args.min_fee,
        slippage=args.slippage, leverage=args.leverage, borrow_rate=args.borrow_rate,
        cash_rate=args.cash_rate, max_volume_share=args.max_volume_share, price_limit=args.price_limit,
        blocked=_blocked(args))
    if args.lot_size is not None:
        options["lot_size"] = _lots(args, market.tickers)
    trading = None
    if args.trade_at not in ("close", "open"):
        if not _looks_like_file(args.trade_at) and not Path(args.trade_at).exists():
            raise InputError(f"--trade-at {args.trade_at}: neither close, open nor a file of trading prices")
        trading = _prices_file("--trade-at", args.trade_at, args, "price")
    options["trade_at"] = args.trade_at if trading is None else trading
    options.update(_events(args))
    volume = _prices_file("--volume-file", args.volume_file, args, "volume")
    if volume is not None:
        options["volume"] = volume
    holdings = None
    if args.holdings is not None:
        with reading(f"--holdings {args.holdings}", args.holdings):
            holdings = _by_ticker(args.holdings, args, "shares", args.holdings, market.tickers)
            unpriced = holdings.index[(holdings != 0).to_numpy() & ~holdings.index.isin(market.tickers)]
            if len(unpriced):
                raise ValueError(f"shares held of tickers without prices in PRICES: {listing(unpriced)}")
    return Inputs(market=market, weights=weights, options=options, holdings=holdings,
                  benchmark=_benchmark(args, market))
