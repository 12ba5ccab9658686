"""Long tables (one row per date and ticker) turned into wide matrices.

Every table library comes in through Arrow: a pandas frame is converted,
a polars frame or any object with the Arrow stream interface is exported,
a pyarrow Table is used as it is. Dates and tickers are dictionary-encoded
by Arrow (a hash pass in C++), only their few distinct values are parsed
and sorted, and every value column is scattered once into a preallocated
column-major float64 matrix, the layout the engine reads without a copy.
"""

from __future__ import annotations

from collections.abc import Callable, Iterable, Iterator, Mapping, Sequence
from typing import Any

import numpy as np
import pandas as pd
import pyarrow as pa
import pyarrow.compute as pc

from .frames import listing

__all__ = ["arrow_table", "roles_of", "table_source", "scatter"]

_SHOWN = 5


def _rows(rows: np.ndarray) -> str:
    return listing(int(r) for r in rows)


def _pandas_table(frame: pd.DataFrame, names: list[str]) -> pa.Table:
    """The columns ``names`` of a pandas frame as Arrow, index levels
    included (a frame indexed by date and ticker is a long table too)."""
    if any(n in frame.index.names for n in names if n is not None):
        frame = frame.reset_index()
    present = [n for n in names if n in frame.columns]
    arrays = []
    for name in present:
        column = frame[name]
        try:
            arrays.append(pa.array(column, from_pandas=True))
        except (pa.ArrowInvalid, pa.ArrowTypeError):
            # Mixed objects (numbers and text): as text, so that the value
            # checks name the rows that are not numbers.
            arrays.append(pa.array(column.map(lambda v: None if pd.isna(v) else str(v)), type=pa.string()))
    return pa.table(arrays, names=present) if present else pa.table({})


def arrow_table(table: Any, names: list[str], what: str) -> pa.Table:
    """``table`` as an Arrow Table with (at most) the columns ``names``."""
    if isinstance(table, pd.DataFrame):
        return _pandas_table(table, names)
    if isinstance(table, pd.Series):
        raise TypeError(
            f"{what} must be a long table with columns, got a pandas Series; "
            f"use series.reset_index() for a Series indexed by date and ticker"
        )
    if hasattr(table, "collect") and hasattr(table, "select"):   # a polars LazyFrame
        schema = table.collect_schema() if hasattr(table, "collect_schema") else table.schema
        table = table.select([n for n in names if n in schema]).collect()
    if not isinstance(table, pa.Table):
        if isinstance(table, (pa.RecordBatch, pa.RecordBatchReader)) or hasattr(table, "__arrow_c_stream__"):
            table = pa.table(table)
        elif hasattr(table, "to_arrow"):
            table = table.to_arrow()
        elif isinstance(table, Mapping):
            table = pa.table(dict(table))
        else:
            raise TypeError(
                f"{what} must be a long table (pandas or polars DataFrame, polars "
                f"LazyFrame or pyarrow Table), got {type(table).__name__}"
            )
    return table.select([n for n in names if n in table.column_names])


def roles_of(present: Iterable[str], required: Mapping[str, str],
             optional: Mapping[str, tuple[str | None, bool]], what: str) -> dict[str, str]:
    """The column of each role among the columns ``present``. ``required``
    maps a role to its column; ``optional`` maps a role to ``(column,
    explicit)``: a missing optional column is an error only when the caller
    named it."""
    present = list(present)
    missing = [f"{role}={column!r}" for role, column in required.items() if column not in present]
    missing += [f"{role}={column!r}" for role, (column, explicit) in optional.items()
                if explicit and column is not None and column not in present]
    if missing:
        raise ValueError(
            f"{what} has no column for {', '.join(missing)}; its columns are "
            f"{listing(present) or 'none'}. Name the columns with these keywords, "
            f"e.g. close='Close'"
        )
    roles = dict(required)
    roles.update({role: column for role, (column, _) in optional.items()
                  if column is not None and column in present})
    return roles


#: Rows a piece of an in-memory table holds while it is scattered.
PIECE_ROWS = 1 << 20

#: The columns of a long table by role, piece by piece: called with the
#: roles wanted, it yields one {role: column} per piece of rows.
Source = Callable[[Sequence[str]], Iterator[dict[str, Any]]]


def table_source(table: pa.Table, roles: Mapping[str, str]) -> Source:
    def pieces(wanted: Sequence[str]) -> Iterator[dict[str, Any]]:
        for start in range(0, table.num_rows, PIECE_ROWS):
            yield {role: table.column(roles[role]).slice(start, PIECE_ROWS) for role in wanted}
    return pieces


# --------------------------------------------------------------------------
# Dates and tickers
# --------------------------------------------------------------------------

def _encoded(column: pa.ChunkedArray) -> tuple[np.ndarray, pa.Array]:
    """Per row, the code of its value in the returned dictionary (-1 for a
    null). The dictionary may hold values no row uses and repeated values."""
    if isinstance(column, pa.Array):
        column = pa.chunked_array([column])
    if not pa.types.is_dictionary(column.type):
        column = column.dictionary_encode()
    if column.num_chunks == 0:
        return np.empty(0, dtype=np.int64), pa.array([], type=column.type.value_type)
    chunks = column.chunks
    if any(not c.dictionary.equals(chunks[0].dictionary) for c in chunks[1:]):
        column = pa.table([column], names=["x"]).unify_dictionaries().column(0)
        chunks = column.chunks
    # As signed integers before the nulls are marked: polars' categories
    # come with unsigned indices.
    indices = pa.chunked_array([c.indices.cast(pa.int64()) for c in chunks], type=pa.int64())
    codes = indices.fill_null(-1).to_numpy()
    return codes, chunks[0].dictionary


def _no_nulls(codes: np.ndarray, role: str, what: str, offset: int) -> None:
    bad = np.flatnonzero(codes < 0)
    if len(bad):
        raise ValueError(f"{what}: the {role} is missing in {len(bad)} row(s): rows {_rows(bad[:_SHOWN] + offset)}")


_NAT = np.iinfo(np.int64).min


def _date_keys(dictionary: pa.Array, what: str) -> tuple[np.ndarray, Any, str]:
    """int64 nanoseconds of each dictionary date (NaT where it cannot be
    read), the timezone and the unit the dates come in."""
    kind = dictionary.type
    if pa.types.is_timestamp(kind) or pa.types.is_date(kind):
        tz = getattr(kind, "tz", None)
        ns = pc.cast(dictionary, pa.timestamp("ns", tz)) if kind != pa.timestamp("ns", tz) else dictionary
        unit = kind.unit if pa.types.is_timestamp(kind) else "s"
        return ns.cast(pa.int64()).fill_null(_NAT).to_numpy(), tz, unit
    if pa.types.is_string(kind) or pa.types.is_large_string(kind):
        text = dictionary.to_numpy(zero_copy_only=False)
        try:
            parsed = pd.DatetimeIndex(pd.to_datetime(text, errors="coerce"))
        except (ValueError, TypeError) as exc:  # mixed timezones, for one
            raise ValueError(f"{what}: the date column cannot be read as dates ({exc})") from None
        return parsed.as_unit("ns").asi8, parsed.tz, parsed.unit
    if pa.types.is_integer(kind) or pa.types.is_floating(kind):
        raise TypeError(
            f"{what}: the date column holds numbers ({kind}), not dates; convert it "
            f"first, e.g. pd.to_datetime(table['date'].astype(str), format='%Y%m%d') "
            f"for dates written as 20240131"
        )
    raise TypeError(f"{what}: the date column must hold dates or date strings, got {kind}")


def _used(codes: np.ndarray, size: int) -> np.ndarray:
    used = np.zeros(size, dtype=bool)
    used[codes] = True
    return used


class _Axes:
    """The sorted distinct dates and tickers of a long table, gathered piece
    by piece; then the cell of every row of a piece."""

    def __init__(self, what: str) -> None:
        self.what = what
        self.keys: list[np.ndarray] = []
        self.labels: list[np.ndarray] = []
        self.tz: Any = None
        self.unit = "ns"
        self.rows = 0

    def gather(self, piece: dict[str, Any]) -> None:
        codes, dictionary = _encoded(piece["date"])
        _no_nulls(codes, "date", self.what, self.rows)
        keys, self.tz, self.unit = _date_keys(dictionary, self.what)
        used = _used(codes, len(keys))
        unreadable = used & (keys == _NAT)
        if unreadable.any():
            rows = np.flatnonzero(unreadable[codes])
            values = [str(dictionary[int(codes[r])]) for r in rows[:_SHOWN]]
            raise ValueError(f"{self.what}: {len(rows)} row(s) have a date that is not a date: rows "
                             f"{_rows(rows[:_SHOWN] + self.rows)} ({listing(values)})")
        self.keys.append(keys[used])
        codes, dictionary = _encoded(piece["ticker"])
        _no_nulls(codes, "ticker", self.what, self.rows)
        self.labels.append(dictionary.to_numpy(zero_copy_only=False)[_used(codes, len(dictionary))])
        self.rows += len(codes)

    def close(self) -> None:
        if self.rows == 0:
            raise ValueError(f"{self.what} has no rows")
        self.ns = np.unique(np.concatenate(self.keys))
        dates = pd.DatetimeIndex(self.ns.astype("datetime64[ns]"), name="date")
        if self.tz is not None:
            dates = dates.tz_localize("UTC").tz_convert(self.tz)
        self.dates = dates.as_unit(self.unit)
        self.tickers = pd.Index(pd.factorize(np.concatenate(self.labels), sort=True)[1], name="ticker")
        del self.keys, self.labels

    def cells(self, piece: dict[str, Any]) -> tuple[np.ndarray, np.ndarray]:
        """Per row of the piece: its date's and its ticker's position."""
        codes, dictionary = _encoded(piece["date"])
        keys, _, _ = _date_keys(dictionary, self.what)
        date_codes = np.searchsorted(self.ns, keys)[codes]
        codes, dictionary = _encoded(piece["ticker"])
        ticker_codes = self.tickers.get_indexer(dictionary.to_numpy(zero_copy_only=False))[codes]
        return date_codes, ticker_codes


# --------------------------------------------------------------------------
# Values
# --------------------------------------------------------------------------

def _numbers(column: Any, role: str, what: str, where: tuple[_Axes, np.ndarray, np.ndarray, int]) -> np.ndarray:
    """The column as float64 per row, NaN for a null."""
    kind = column.type
    if pa.types.is_dictionary(kind):
        column, kind = column.cast(kind.value_type), kind.value_type
    if pa.types.is_floating(kind) or pa.types.is_integer(kind) or pa.types.is_decimal(kind) \
            or pa.types.is_null(kind):
        if kind != pa.float64():
            column = column.cast(pa.float64())
        return column.to_numpy(zero_copy_only=False)
    if pa.types.is_string(kind) or pa.types.is_large_string(kind):
        text = column.to_numpy(zero_copy_only=False)
        values = pd.to_numeric(pd.Series(text, dtype=object), errors="coerce").to_numpy(dtype=np.float64)
        bad = np.flatnonzero(np.isnan(values) & pd.notna(text)
                             & ~np.isin(text, ["", "nan", "NaN", "NA", "N/A", "null"]))
        if len(bad):
            axes, date_codes, ticker_codes, offset = where
            shown = [f"row {r + offset} ({axes.dates[date_codes[r]].date()}, "
                     f"{axes.tickers[ticker_codes[r]]!r}): {text[r]!r}" for r in bad[:_SHOWN]]
            raise ValueError(f"{what}: {role} is not a number in {len(bad)} row(s): " + "; ".join(shown))
        return values
    raise TypeError(f"{what}: the {role} column must hold numbers, got {kind}")


def _first_row(source: Source, axes: _Axes, cell: int) -> int:
    """The first row of the table that falls into ``cell``."""
    offset = 0
    for piece in source(["date", "ticker"]):
        date_codes, ticker_codes = axes.cells(piece)
        hit = np.flatnonzero(ticker_codes * len(axes.dates) + date_codes == cell)
        if len(hit):
            return offset + int(hit[0])
        offset += len(date_codes)
    raise AssertionError("the cell was seen before")  # pragma: no cover


def scatter(source: Source, values: Sequence[str],
            what: str) -> tuple[pd.DatetimeIndex, pd.Index, dict[str, np.ndarray]]:
    """Wide matrices (dates x tickers, column-major float64, NaN where no
    row gives a value) of the roles ``values`` of a long table. Two passes
    over the pieces: the dates and tickers, then the values of each piece
    written into their cells, so that no more than a piece of the table is
    held beside the matrices."""
    axes = _Axes(what)
    for piece in source(["date", "ticker"]):
        axes.gather(piece)
    axes.close()
    n_dates = len(axes.dates)
    out = {role: np.full((n_dates, len(axes.tickers)), np.nan, order="F") for role in values}
    seen = np.zeros(n_dates * len(axes.tickers), dtype=bool)
    offset = filled = 0
    for piece in source(["date", "ticker", *values]):
        date_codes, ticker_codes = axes.cells(piece)
        flat = ticker_codes * n_dates + date_codes   # column-major cell of each row
        _check_unique(source, axes, seen, flat, filled, offset)
        filled += len(flat)
        where = (axes, date_codes, ticker_codes, offset)
        for role in values:
            out[role].ravel(order="F")[flat] = _numbers(piece.pop(role), role, what, where)
        offset += len(flat)
    return axes.dates, axes.tickers, out


def _check_unique(source: Source, axes: _Axes, seen: np.ndarray, flat: np.ndarray, filled: int,
                  offset: int) -> None:
    """Mark the cells of a piece's rows, raising for a cell given twice."""
    again = np.flatnonzero(seen[flat])
    if len(again):
        pair = (_first_row(source, axes, int(flat[again[0]])), offset + int(again[0]))
    else:
        seen[flat] = True
        if np.count_nonzero(seen) == filled + len(flat):
            return
        order = np.argsort(flat, kind="stable")
        same = np.flatnonzero(flat[order][1:] == flat[order][:-1])[0]
        pair = (offset + int(order[same]), offset + int(order[same + 1]))
    cell = int(flat[pair[1] - offset])
    date, ticker = axes.dates[cell % len(axes.dates)], axes.tickers[cell // len(axes.dates)]
    raise ValueError(f"{axes.what}: rows {pair[0]} and {pair[1]} are both ({date}, {ticker!r}); "
                     f"keep one row per date and ticker")
