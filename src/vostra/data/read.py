"""Markets read from files: a Parquet file, a partitioned Parquet dataset
(a directory) or a CSV file, through pyarrow.dataset so that only the
columns and rows asked for are read."""

from __future__ import annotations

import os
import re
import warnings
from collections.abc import Iterable, Iterator, Sequence
from pathlib import Path
from typing import Any

import pandas as pd
import pyarrow as pa
import pyarrow.csv  # noqa: F401  (pa.csv)
import pyarrow.dataset as ds

from .frames import listing
from .long import folded
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
                 dictionary: Iterable[str] = ("ticker",), dates: Iterable[str] = ("date",)) -> ds.Dataset:
    """A dataset over a file or a directory of files (Hive partitions such
    as ``ticker=AAPL/`` become columns). Columns are matched by their names
    in any case or spelling. ``dictionary`` names the text columns (the
    tickers): read as text whatever they look like, so that 0050 keeps its
    zeros, and dictionary-encoded, as they repeat on every row. ``dates``
    names the date columns a CSV file gives as text, left for
    :func:`vostra.data.dates.read_dates` to read (the reader would put every
    timestamp with an offset in UTC, and a day in Taipei on the day before).
    The files of a directory may differ in their columns: the dataset has
    all of them (a file without one reads it as missing), and types that
    cannot be made one are refused."""
    return _open(Path(path), format, dictionary, dates)[0]


def _open(path: Path, format: str | None, dictionary: Iterable[str],
          dates: Iterable[str] = ()) -> tuple[ds.Dataset, dict[str, list[str]]]:
    """:func:`open_dataset`, and per column the files that lack it."""
    if not path.exists():
        raise FileNotFoundError(f"{path}: no such file or directory")
    kind = _format(path, format)
    partitioning = ds.HivePartitioning.discover(infer_dictionary=True) if path.is_dir() else None
    names: list[str] = []
    try:
        # A first look, with the columns of the first file, tells the
        # names; the dataset read is made with what every file holds.
        first = ds.dataset(str(path), format=_file_format(path, kind, (), ()), partitioning=partitioning)
        names = first.schema.names
        text, written = _named(first.schema.names, dictionary), _named(first.schema.names, dates)
        file_format = _file_format(path, kind, text, written)
        partitions = _text_partitions(first, text)
        schema, lacking = _unified(path, ds.dataset(str(path), format=file_format, partitioning=partitions),
                                   partitions)
        return ds.dataset(str(path), format=file_format, partitioning=partitions, schema=schema), lacking
    except (pa.ArrowInvalid, pa.ArrowTypeError, OSError) as exc:
        raise ValueError(f"{path}: {_unreadable(exc, kind, names, str(path))}") from None


_NOT_UTF8 = re.compile(r"In CSV column #(\d+): Row #(\d+): CSV conversion error to \w*string: invalid UTF8")


def _unreadable(exc: Exception, kind: str, names: Sequence[str], path: str) -> str:
    """Why a file cannot be read, on one line: text that is not UTF-8 named
    by its column and line, else Arrow's own words."""
    text = " ".join(str(exc).split())
    found = _NOT_UTF8.search(text)
    if found:
        column, line = int(found.group(1)), int(found.group(2))
        name = f"the column {names[column]!r}" if column < len(names) else f"column {column + 1}"
        source = re.search(r"CSV input source '([^']+)'", text)
        where = f"line {line} of {source.group(1)}" if source and source.group(1) != path else f"line {line}"
        return f"{name} holds text that is not UTF-8 ({where}); save the file as UTF-8"
    return f"cannot be read as {kind} ({text})"


def _named(present: Sequence[str], names: Iterable[str]) -> list[str]:
    """The columns among ``present`` that are ``names``, in any case or spelling."""
    names = list(names)
    keys = {folded(n) for n in names}
    return [n for n in present if n in names or folded(n) in keys]


def _file_format(path: Path, kind: str, text: Sequence[str], dates: Sequence[str]) -> Any:
    if kind == "parquet":
        return ds.ParquetFileFormat(
            read_options=ds.ParquetReadOptions(dictionary_columns=set(text)),
            default_fragment_scan_options=ds.ParquetFragmentScanOptions(pre_buffer=PRE_BUFFER))
    return ds.CsvFileFormat(
        parse_options=pa.csv.ParseOptions(delimiter="\t" if path.name.lower().endswith(".tsv") else ","),
        convert_options=pa.csv.ConvertOptions(column_types={name: pa.string() for name in [*text, *dates]}))


def _text_partitions(dataset: ds.Dataset, text: Sequence[str]) -> Any:
    """The dataset's Hive partitioning (the columns its folders give, which
    no file holds), its text columns read as text (``ticker=0050/`` is
    '0050', not 50); None for none."""
    fragment = next(iter(dataset.get_fragments()), None)
    held = set(fragment.physical_schema.names) if fragment is not None else set()
    fields = [f for f in dataset.schema if f.name not in held]
    if not fields:
        return None
    fields = [pa.field(f.name, pa.string() if f.name in text else
                       (f.type.value_type if pa.types.is_dictionary(f.type) else f.type)) for f in fields]
    return ds.partitioning(pa.schema(fields), flavor="hive")


def _unified(path: Path, dataset: ds.Dataset, partitions: Any) -> tuple[pa.Schema, dict[str, list[str]]]:
    """The columns of all the dataset's files, each of one type, and per
    column the files that lack it."""
    files = {fragment.path: fragment.physical_schema for fragment in dataset.get_fragments()}
    schemas = list(files.values()) + ([partitions.schema] if partitions is not None else [])
    try:
        schema = pa.unify_schemas(schemas, promote_options="permissive")
    except (pa.ArrowInvalid, pa.ArrowTypeError) as exc:
        raise ValueError(f"{path}: its files give a column different types ({exc}); write them with one "
                         f"type per column") from None
    lacking = {name: [f for f, held in files.items() if name not in held.names] for name in schema.names
               if partitions is None or name not in partitions.schema.names}
    return schema, {name: found for name, found in lacking.items() if found}


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
                format: str | None = None, date_format: str | None = None) -> Market:
    """A market read from a long table in a file: a Parquet file, a
    directory of Parquet files (a partitioned dataset, Hive partitions such
    as ``year=2024/`` or ``ticker=AAPL/`` read as columns) or a CSV file.

    The column keywords, ``adjust`` and ``date_format`` are those of
    :meth:`vostra.Market.from_long`. Only the columns needed are read, and
    only the rows of dates from ``start`` to ``end`` (both included) and of
    the ``tickers`` given: the reader skips the rest (whole files and row
    groups where their statistics allow); a ticker asked for that has no
    rows draws a warning. ``format`` (``"parquet"`` or ``"csv"``) overrides
    what the file name says. Tickers are read as text (0050 keeps its
    zeros, in a CSV file and in ``ticker=0050/`` folders). The files of a
    directory may differ in their columns: each column is read from the
    files that have it, with a warning naming those that lack it.
    """
    names = dict(date=date, ticker=ticker, open=open, high=high, low=low, close=close,
                 volume=volume, adjust=adjust, factor=factor, adj_close=adj_close, dividend=dividend, split=split)
    if tickers is not None:   # read twice: by the filter, then for the warning
        tickers = [tickers] if isinstance(tickers, str) else list(tickers)
    dataset, lacking = _open(Path(path), format, [ticker], [date])
    what = str(path)
    roles, notes = long_roles(dataset.schema.names, what, **names)
    notes += _lacking(what, roles, lacking, len(dataset.files))
    expression, later = row_filter(dataset.schema, roles["date"], roles["ticker"], start, end, tickers)

    def pieces(wanted: Sequence[str]) -> Iterator[dict[str, Any]]:
        columns = [roles[role] for role in wanted]
        for batch in dataset.to_batches(columns=columns, filter=expression, **SCAN):
            if batch.num_rows:
                yield {role: batch.column(i) for i, role in enumerate(wanted)}

    try:
        market = market_from_source(pieces, roles, what, adjust, date_format)
    except (pa.ArrowInvalid, pa.ArrowTypeError) as exc:   # met while scanning the files
        raise ValueError(f"{what}: {_unreadable(exc, dataset.format.default_extname, dataset.schema.names, what)}") \
            from None
    except ValueError as exc:
        if expression is not None and str(exc) == f"{what} has no rows":
            raise ValueError(f"{what} has no rows in the dates and tickers asked for") from None
        raise
    if later != (None, None):
        market = market.between(*later)
    if tickers is not None:
        notes += _absent(tickers, market, what, start is not None or end is not None)
    for note in notes:
        warnings.warn(note, UserWarning, stacklevel=2)
    return market


def _lacking(what: str, roles: dict[str, str], lacking: dict[str, list[str]], n_files: int) -> list[str]:
    """The warnings for the columns read that some files lack, one per set
    of files."""
    by_files: dict[tuple[str, ...], list[str]] = {}
    for role, column in roles.items():
        if column in lacking:
            by_files.setdefault(tuple(lacking[column]), []).append(column)
    return [f"{what}: {len(files)} of {n_files} files have no column {listing(columns)} ({listing(files)}); "
            f"their rows read them as missing" for files, columns in by_files.items()]


def _absent(tickers: list[Any], market: Market, what: str, bounded: bool) -> list[str]:
    """The warning for tickers asked for that the market read has not."""
    read = {str(t) for t in market.tickers}
    absent = [t for t in tickers if str(t) not in read]
    if not absent:
        return []
    where = " between start and end" if bounded else ""
    return [f"{what} has no rows{where} for {len(absent)} of the tickers asked for: {listing(absent)}; "
            f"tickers match by their exact text, so check their spelling"]
