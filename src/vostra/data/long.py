"""Long tables (one row per date and ticker) turned into wide matrices.

Every table library comes in through Arrow: a pandas frame is converted,
a polars frame or any object with the Arrow stream interface is exported,
a pyarrow Table is used as it is. Dates and tickers are dictionary-encoded
by Arrow (a hash pass in C++), only their few distinct values are parsed
and sorted, and every value column is scattered once into a preallocated
column-major float64 matrix, the layout the engine reads without a copy.
"""

from __future__ import annotations

import json
from collections.abc import Callable, Iterable, Iterator, Mapping, Sequence
from typing import Any

import re

import numpy as np
import pandas as pd
import pyarrow as pa
import pyarrow.compute as pc

from .dates import read_dates
from .frames import listing

__all__ = ["arrow_table", "folded", "roles_of", "table_source", "scatter"]

_SHOWN = 5


def _rows(rows: np.ndarray) -> str:
    return listing(int(r) for r in rows)


def folded(name: Any) -> Any:
    """A column name as it is matched loosely: in lower case, without spaces,
    underscores or hyphens ('Adj Close' is adj_close)."""
    return re.sub(r"[\s_\-]", "", name.casefold()) if isinstance(name, str) else name


_COLUMNS = b"vostra.columns"


def _wanted(present: Iterable[Any], names: list[str]) -> list[Any]:
    """The columns among ``present`` that may be one of ``names``, loosely."""
    keys = {folded(n) for n in names if n is not None}
    return [c for c in present if c in names or folded(c) in keys]


def _pandas_table(frame: pd.DataFrame, names: list[str]) -> pa.Table:
    """The columns ``names`` of a pandas frame as Arrow, index levels
    included (a frame indexed by date and ticker is a long table too)."""
    if _wanted([n for n in frame.index.names if n is not None], names):
        frame = frame.reset_index()
    present = _wanted(frame.columns, names)
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
    """``table`` as an Arrow Table with (at most) the columns that may be
    ``names``, matched loosely (see :func:`folded`); :func:`table_columns`
    tells all the columns it had."""
    if isinstance(table, pd.DataFrame):
        every = [n for n in table.index.names if n is not None] + list(table.columns)
        return _with_columns(_pandas_table(table, names), every)
    if isinstance(table, pd.Series):
        raise TypeError(
            f"{what} must be a long table with columns, got a pandas Series; "
            f"use series.reset_index() for a Series indexed by date and ticker"
        )
    if hasattr(table, "collect") and hasattr(table, "select"):   # a polars LazyFrame
        schema = table.collect_schema() if hasattr(table, "collect_schema") else table.schema
        return _with_columns(arrow_table(table.select(_wanted(schema, names)).collect(), names, what), list(schema))
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
    return _with_columns(table.select(_wanted(table.column_names, names)), table.column_names)


def _with_columns(table: pa.Table, columns: list[Any]) -> pa.Table:
    # The columns the caller's table had, for a message that lists them.
    return table.replace_schema_metadata({**(table.schema.metadata or {}),
                                          _COLUMNS: json.dumps([str(c) for c in columns])})


def table_columns(table: pa.Table) -> list[str]:
    """All the columns of the table :func:`arrow_table` was given (the
    Arrow table's own when it does not say)."""
    saved = (table.schema.metadata or {}).get(_COLUMNS)
    return json.loads(saved) if saved is not None else list(table.column_names)


def _column(present: list[Any], role: str, column: str, loose: bool, what: str) -> Any:
    """The column of ``role``: the one named ``column``, else (``loose``)
    the one that is ``column`` in another case or spelling; None for none."""
    if column in present or not loose:
        return column if column in present else None
    hits = [c for c in present if folded(c) == folded(column)]
    if len(hits) > 1:
        raise ValueError(f"{what} has {len(hits)} columns that may be the {role}: {listing(hits)}; name "
                         f"one, e.g. {role}={hits[0]!r}")
    return hits[0] if hits else None


def roles_of(present: Iterable[str], required: Mapping[str, str],
             optional: Mapping[str, tuple[str | None, bool]], what: str,
             loose: Iterable[str] = ()) -> dict[str, str]:
    """The column of each role among the columns ``present``. ``required``
    maps a role to its column; ``optional`` maps a role to ``(column,
    explicit)``: a missing optional column is an error only when the caller
    named it. The roles ``loose`` lists are found in another case or
    spelling (see :func:`folded`) when no column has their very name."""
    present, loose = list(present), set(loose)
    roles, missing = {}, []
    for role, column in required.items():
        roles[role] = _column(present, role, column, role in loose, what)
        if roles[role] is None:
            missing.append(f"{role}={column!r}")
    for role, (column, explicit) in optional.items():
        found = None if column is None else _column(present, role, column, role in loose, what)
        if found is not None:
            roles[role] = found
        elif explicit and column is not None:
            missing.append(f"{role}={column!r}")
    if missing:
        raise ValueError(
            f"{what} has no column for {', '.join(missing)}; its columns are "
            f"{listing(present) or 'none'}. Name the columns with these keywords, "
            f"e.g. close='Close'"
        )
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


def _is_text(kind: pa.DataType) -> bool:
    # polars hands its strings over as string views.
    return pa.types.is_string(kind) or pa.types.is_large_string(kind) or pa.types.is_string_view(kind)


def _is_timestamp(kind: pa.DataType) -> bool:
    return pa.types.is_timestamp(kind) or pa.types.is_date(kind)


def _is_binary(kind: pa.DataType) -> bool:
    return pa.types.is_binary(kind) or pa.types.is_large_binary(kind) or pa.types.is_fixed_size_binary(kind) \
        or pa.types.is_binary_view(kind)


def _value_kind(column: Any) -> pa.DataType:
    kind = column.type
    return kind.value_type if pa.types.is_dictionary(kind) else kind


def _check_kinds(piece: dict[str, Any], names: Mapping[str, str], what: str) -> None:
    """Refuses a date or ticker column of a type that holds no date or no
    ticker (lists, structs, maps, half floats), naming it, before Arrow is
    asked to encode it."""
    kind = _value_kind(piece["date"])
    if not (_is_timestamp(kind) or _is_text(kind) or pa.types.is_integer(kind) or pa.types.is_floating(kind)):
        raise TypeError(f"{what}: the date column {names['date']!r} holds {kind}, not dates")
    kind = _value_kind(piece["ticker"])
    scalar = (_is_text(kind) or _is_binary(kind) or pa.types.is_integer(kind) or pa.types.is_boolean(kind)
              or pa.types.is_decimal(kind) or _is_timestamp(kind)
              or (pa.types.is_floating(kind) and not pa.types.is_float16(kind)))
    if not scalar:
        raise TypeError(f"{what}: the ticker column {names['ticker']!r} holds {kind}, not tickers "
                        f"(one text or number per row)")


def _ticker_values(dictionary: pa.Array, name: str, what: str) -> np.ndarray:
    """The tickers of a dictionary; bytes are read as UTF-8 text (a ticker
    is text) and refused when they are not."""
    if _is_binary(dictionary.type):
        try:
            dictionary = dictionary.cast(pa.string())
        except (pa.ArrowInvalid, pa.ArrowNotImplementedError):
            raise ValueError(f"{what}: the ticker column {name!r} holds bytes that are not UTF-8 text; "
                             f"write the tickers as UTF-8") from None
    return dictionary.to_numpy(zero_copy_only=False)


# The dates nanoseconds since 1970 hold in an int64.
DATE_RANGE = "1677-09-22 .. 2262-04-11"


def _far_dates(what: str, name: str, found: Any) -> ValueError:
    return ValueError(f"{what}: the date column {name!r} has dates outside {DATE_RANGE} ({found}), "
                      f"beyond the range the engine's timestamps hold")


def _beyond(values: Any) -> Any:
    """The first of the date texts ``values`` that is a date outside the
    range, else None (pandas 2 reads such text as no date at all)."""
    for value in values:
        try:
            stamp = pd.Timestamp(str(value))
            if stamp.tzinfo is not None:
                stamp = stamp.tz_convert("UTC").tz_localize(None)
        except (ValueError, TypeError, OverflowError):
            continue
        if stamp is not pd.NaT and not pd.Timestamp.min <= stamp <= pd.Timestamp.max:
            return value
    return None


def _timestamp_keys(dictionary: pa.Array, name: str = "date", what: str = "the table"
                    ) -> tuple[np.ndarray, Any, str]:
    """int64 nanoseconds of each dictionary date or timestamp, the timezone
    and the unit they come in."""
    kind = dictionary.type
    tz = getattr(kind, "tz", None)
    try:
        ns = pc.cast(dictionary, pa.timestamp("ns", tz)) if kind != pa.timestamp("ns", tz) else dictionary
    except pa.ArrowInvalid:
        extremes = pc.min_max(dictionary)
        raise _far_dates(what, name, f"{extremes['min']} to {extremes['max']}") from None
    unit = kind.unit if pa.types.is_timestamp(kind) else "s"
    return ns.cast(pa.int64()).fill_null(_NAT).to_numpy(), tz, unit


def _written(dictionary: pa.Array, what: str) -> np.ndarray:
    """The dates of a dictionary written as text or numbers, as they are."""
    kind = dictionary.type
    if not (_is_text(kind) or pa.types.is_integer(kind) or pa.types.is_floating(kind)):
        raise TypeError(f"{what}: the date column must hold dates or date strings, got {kind}")
    return dictionary.to_numpy(zero_copy_only=False)


def _used(codes: np.ndarray, size: int) -> np.ndarray:
    used = np.zeros(size, dtype=bool)
    used[codes] = True
    return used


class _Axes:
    """The sorted distinct dates and tickers of a long table, gathered piece
    by piece; then the cell of every row of a piece. Dates written as text or
    numbers are read once all of them are known, so that their order (day or
    month first) is told from the whole table, in ``date_format`` when given."""

    def __init__(self, what: str, date_format: str | None, names: Mapping[str, str]) -> None:
        self.what = what
        self.date_format = date_format
        self.names = names
        self.keys: list[np.ndarray] = []
        self.written: list[np.ndarray] = []
        self.labels: list[np.ndarray] = []
        self.tz: Any = None
        self.unit = "ns"
        self.rows = 0

    def gather(self, piece: dict[str, Any]) -> None:
        _check_kinds(piece, self.names, self.what)
        codes, dictionary = _encoded(piece["date"])
        _no_nulls(codes, "date", self.what, self.rows)
        used = _used(codes, len(dictionary))
        if _is_timestamp(dictionary.type):
            keys, self.tz, self.unit = _timestamp_keys(dictionary, self.names["date"], self.what)
            self.keys.append(keys[used])
        else:
            self.written.append(_written(dictionary, self.what)[used])
        codes, dictionary = _encoded(piece["ticker"])
        _no_nulls(codes, "ticker", self.what, self.rows)
        labels = _ticker_values(dictionary, self.names["ticker"], self.what)
        self.labels.append(labels[_used(codes, len(dictionary))])
        self.rows += len(codes)

    def close(self) -> np.ndarray:
        """The dates read; returns the written dates that are not dates."""
        if self.rows == 0:
            raise ValueError(f"{self.what} has no rows")
        unreadable = np.empty(0, dtype=object)
        if self.written:
            written = pd.unique(np.concatenate(self.written))
            far = _beyond(written[:1])
            if far is None:
                parsed = read_dates(written, self.what, self.date_format)
                far = _beyond(written[parsed.isna()][:_SHOWN])
            if far is not None:
                raise _far_dates(self.what, self.names["date"], far)
            self.tz, self.unit = parsed.tz, parsed.unit
            try:
                self.written_ns = parsed.as_unit("ns").asi8
            except (ValueError, OverflowError):   # pandas' OutOfBoundsDatetime
                raise _far_dates(self.what, self.names["date"], f"{parsed.min()} to {parsed.max()}") from None
            self.written_index = pd.Index(written)
            unreadable = written[parsed.isna()]
            self.keys.append(self.written_ns[parsed.notna()])
        self.ns = np.unique(np.concatenate(self.keys))
        dates = pd.DatetimeIndex(self.ns.astype("datetime64[ns]"), name="date")
        if self.tz is not None:
            dates = dates.tz_localize("UTC").tz_convert(self.tz)
        self.dates = dates.as_unit(self.unit)
        self.tickers = pd.Index(pd.factorize(np.concatenate(self.labels), sort=True)[1], name="ticker")
        del self.keys, self.written, self.labels
        return unreadable

    def date_ns(self, dictionary: pa.Array) -> np.ndarray:
        """Nanoseconds of each date of a piece's dictionary (any value for
        one no row uses)."""
        if _is_timestamp(dictionary.type):
            return _timestamp_keys(dictionary, self.names["date"], self.what)[0]
        at = self.written_index.get_indexer(_written(dictionary, self.what))
        return self.written_ns[at]

    def cells(self, piece: dict[str, Any]) -> tuple[np.ndarray, np.ndarray]:
        """Per row of the piece: its date's and its ticker's position."""
        codes, dictionary = _encoded(piece["date"])
        date_codes = np.searchsorted(self.ns, self.date_ns(dictionary))[codes]
        codes, dictionary = _encoded(piece["ticker"])
        ticker_codes = self.tickers.get_indexer(_ticker_values(dictionary, self.names["ticker"], self.what))[codes]
        return date_codes, ticker_codes


def _refuse_unreadable(source: Source, what: str, unreadable: np.ndarray) -> None:
    """Raises naming the rows whose dates are not dates."""
    rows, values, offset = [], [], 0
    for piece in source(["date"]):
        codes, dictionary = _encoded(piece["date"])
        bad = np.isin(_written(dictionary, what), unreadable)[codes] if len(codes) else codes.astype(bool)
        found = np.flatnonzero(bad)
        rows.extend((found + offset).tolist())
        values.extend(str(dictionary[int(codes[r])]) for r in found[:_SHOWN])
        offset += len(codes)
    raise ValueError(f"{what}: {len(rows)} row(s) have a date that is not a date: rows "
                     f"{_rows(np.array(rows[:_SHOWN]))} ({listing(values[:_SHOWN])})")


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
    if _is_text(kind):
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


def scatter(source: Source, values: Sequence[str], what: str, date_format: str | None = None,
            names: Mapping[str, str] | None = None) -> tuple[pd.DatetimeIndex, pd.Index, dict[str, np.ndarray]]:
    """Wide matrices (dates x tickers, column-major float64, NaN where no
    row gives a value) of the roles ``values`` of a long table. Two passes
    over the pieces: the dates and tickers, then the values of each piece
    written into their cells, so that no more than a piece of the table is
    held beside the matrices. Dates given as text are read in
    ``date_format`` when given. ``names`` gives the table's column of each
    role, for the messages."""
    axes = _Axes(what, date_format, {"date": "date", "ticker": "ticker", **(names or {})})
    for piece in source(["date", "ticker"]):
        axes.gather(piece)
    unreadable = axes.close()
    if len(unreadable):
        _refuse_unreadable(source, what, unreadable)
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
