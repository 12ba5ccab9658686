"""Markets read from files: a Parquet file, a partitioned Parquet dataset
(a directory) or a CSV file, through pyarrow.dataset so that only the
columns and rows asked for are read."""

from __future__ import annotations

import os
from collections.abc import Iterable, Iterator, Sequence
from pathlib import Path
from typing import Any

import pandas as pd
import pyarrow as pa
import pyarrow.csv  # noqa: F401  (pa.csv)
import pyarrow.dataset as ds

from .market import Adjust, Market, long_roles, market_from_source

__all__ = ["read_market", "open_dataset"]

_CSV = (".csv", ".tsv", ".txt", ".csv.gz", ".csv.bz2", ".csv.zst")
_PARQUET = (".parquet", ".pq", ".parq")

# The scan holds a few batches at a time beside the matrices being filled:
# reading ahead (and buffering whole column chunks) would hold much of the
# file at once.
SCAN = dict(batch_readahead=2, fragment_readahead=1)
PRE_BUFFER = False


def _format(path: Path, format: str | None) -> str:
    if format is not None:
        if format not in ("parquet", "csv"):
            raise ValueError(f"format must be 'parquet', 'csv' or None (from the path), got {format!r}")
        return format
    name = path.name.lower()
    if path.is_dir():
        files = (p.name.lower() for p in path.rglob("*") if p.is_file() and not p.name.startswith((".", "_")))
        return "csv" if any(f.endswith(_CSV) for f in files) else "parquet"
    if name.endswith(_CSV):
        return "csv"
    if name.endswith(_PARQUET):
        return "parquet"
    raise ValueError(f"{path}: cannot tell the format from the name; pass format='parquet' or 'csv'")


def open_dataset(path: str | os.PathLike[str], format: str | None = None,
                 dictionary: Iterable[str] = ()) -> ds.Dataset:
    """A dataset over a file or a directory of files (Hive partitions such
    as ``ticker=AAPL/`` become columns); ``dictionary`` names text columns
    read dictionary-encoded, as tickers repeat on every row."""
    path = Path(path)
    if not path.exists():
        raise FileNotFoundError(f"{path}: no such file or directory")
    kind = _format(path, format)
    if kind == "parquet":
        file_format: Any = ds.ParquetFileFormat(
            read_options=ds.ParquetReadOptions(dictionary_columns=set(dictionary)),
            default_fragment_scan_options=ds.ParquetFragmentScanOptions(pre_buffer=PRE_BUFFER))
    else:
        file_format = ds.CsvFileFormat(parse_options=pa.csv.ParseOptions(
            delimiter="\t" if path.name.lower().endswith(".tsv") else ","))
    partitioning = ds.HivePartitioning.discover(infer_dictionary=True) if path.is_dir() else None
    try:
        return ds.dataset(str(path), format=file_format, partitioning=partitioning)
    except (pa.ArrowInvalid, OSError) as exc:
        raise ValueError(f"{path}: cannot be read as {kind} ({exc})") from None


def _bound(value: Any, kind: pa.DataType, role: str) -> pa.Scalar:
    """A date bound as a scalar of the date column's type."""
    ts = pd.Timestamp(value)
    if pa.types.is_date(kind):
        return pa.scalar(ts.date(), type=kind)
    tz = kind.tz
    if (ts.tz is None) != (tz is None):
        ts = ts.tz_localize(tz) if ts.tz is None else ts.tz_convert(None)
    return pa.scalar(ts, type=kind)


def row_filter(schema: pa.Schema, date: str, ticker: str, start: Any, end: Any,
               tickers: Iterable[Any] | None) -> tuple[ds.Expression | None, tuple[Any, Any]]:
    """The filter a reader applies while reading, and the date bounds left
    for after the dates are parsed (a column of date text)."""
    expression = None
    later = (start, end)
    kind = schema.field(date).type if date in schema.names else None
    if kind is not None and (pa.types.is_timestamp(kind) or pa.types.is_date(kind)):
        later = (None, None)
        if start is not None:
            expression = ds.field(date) >= _bound(start, kind, "start")
        if end is not None:
            upper = ds.field(date) <= _bound(end, kind, "end")
            expression = upper if expression is None else expression & upper
    if tickers is not None and ticker in schema.names:
        kind = schema.field(ticker).type
        kind = kind.value_type if pa.types.is_dictionary(kind) else kind
        values = list(tickers) if not isinstance(tickers, str) else [tickers]
        try:
            value_set = pa.array(values).cast(kind)
        except (pa.ArrowInvalid, pa.ArrowTypeError, pa.ArrowNotImplementedError) as exc:
            raise ValueError(f"tickers cannot be compared with the {ticker!r} column ({kind}): {exc}") from None
        chosen = ds.field(ticker).isin(value_set)
        expression = chosen if expression is None else expression & chosen
    return expression, later


def read_market(path: str | os.PathLike[str], *, date: str = "date", ticker: str = "ticker",
                open: str | None = "open", high: str | None = "high", low: str | None = "low",
                close: str = "close", volume: str | None = "volume", adjust: Adjust = None,
                factor: str = "factor", adj_close: str = "adj_close", dividend: str | None = "dividend",
                split: str | None = "split", start: Any = None,
                end: Any = None, tickers: Iterable[Any] | None = None,
                format: str | None = None) -> Market:
    """A market read from a long table in a file: a Parquet file, a
    directory of Parquet files (a partitioned dataset, Hive partitions such
    as ``year=2024/`` or ``ticker=AAPL/`` read as columns) or a CSV file.

    The column keywords and ``adjust`` are those of
    :meth:`vostra.Market.from_long`. Only the columns needed are read, and
    only the rows of dates from ``start`` to ``end`` (both included) and of
    the ``tickers`` given: the reader skips the rest (whole files and row
    groups where their statistics allow). ``format`` (``"parquet"`` or
    ``"csv"``) overrides what the file name says.
    """
    names = dict(date=date, ticker=ticker, open=open, high=high, low=low, close=close,
                 volume=volume, adjust=adjust, factor=factor, adj_close=adj_close, dividend=dividend, split=split)
    dataset = open_dataset(path, format, dictionary=[ticker])
    what = str(path)
    roles = long_roles(dataset.schema.names, what, **names)
    expression, later = row_filter(dataset.schema, date, ticker, start, end, tickers)

    def pieces(wanted: Sequence[str]) -> Iterator[dict[str, Any]]:
        columns = [roles[role] for role in wanted]
        for batch in dataset.to_batches(columns=columns, filter=expression, **SCAN):
            if batch.num_rows:
                yield {role: batch.column(i) for i, role in enumerate(wanted)}

    try:
        market = market_from_source(pieces, roles, what, adjust)
    except ValueError as exc:
        if expression is not None and str(exc) == f"{what} has no rows":
            raise ValueError(f"{what} has no rows in the dates and tickers asked for") from None
        raise
    if later != (None, None):
        market = market.between(*later)
    return market
