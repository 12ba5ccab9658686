"""Long tables (one row per date and ticker) turned into wide matrices.

Every table library comes in through Arrow: a pandas frame is converted,
a polars frame or any object with the Arrow stream interface is exported,
a pyarrow Table is used as it is. Dates and tickers are dictionary-encoded
by Arrow (a hash pass in C++), only their few distinct values are parsed
and sorted, and every value column is scattered once into a preallocated
column-major float64 matrix, the layout the engine reads without a copy.
"""

from __future__ import annotations

from collections.abc import Mapping
from typing import Any

import numpy as np
import pandas as pd
import pyarrow as pa
import pyarrow.compute as pc

from .frames import listing

__all__ = ["arrow_columns", "scatter"]

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


def arrow_columns(table: Any, required: Mapping[str, str], optional: Mapping[str, tuple[str | None, bool]],
                  what: str) -> dict[str, pa.ChunkedArray]:
    """The columns of a long table by role. ``required`` maps a role to its
    column; ``optional`` maps a role to ``(column, explicit)``: a missing
    optional column is an error only when the caller named it."""
    wanted = list(required.values()) + [c for c, _ in optional.values() if c is not None]
    table = arrow_table(table, wanted, what)
    present = set(table.column_names)
    missing = [f"{role}={column!r}" for role, column in required.items() if column not in present]
    missing += [f"{role}={column!r}" for role, (column, explicit) in optional.items()
                if explicit and column is not None and column not in present]
    if missing:
        raise ValueError(
            f"{what} has no column for {', '.join(missing)}; its columns are "
            f"{listing(present) or 'none'}. Name the columns with these keywords, "
            f"e.g. close='Close'"
        )
    columns = {role: table.column(column) for role, column in required.items()}
    for role, (column, _) in optional.items():
        if column is not None and column in present:
            columns[role] = table.column(column)
    return columns


# --------------------------------------------------------------------------
# Dates and tickers: dictionary codes
# --------------------------------------------------------------------------

def _encoded(column: pa.ChunkedArray) -> tuple[np.ndarray, pa.Array]:
    """Per row, the code of its value in the returned dictionary (-1 for a
    null). The dictionary may hold values no row uses and repeated values."""
    if not pa.types.is_dictionary(column.type):
        column = column.dictionary_encode()
    if column.num_chunks == 0:
        return np.empty(0, dtype=np.int64), pa.array([], type=column.type.value_type)
    chunks = column.chunks
    if any(not c.dictionary.equals(chunks[0].dictionary) for c in chunks[1:]):
        column = pa.table([column], names=["x"]).unify_dictionaries().column(0)
        chunks = column.chunks
    indices = pa.chunked_array([c.indices for c in chunks], type=chunks[0].indices.type)
    codes = indices.fill_null(-1).to_numpy().astype(np.int64, copy=False)
    return codes, chunks[0].dictionary


def _recode(codes: np.ndarray, keys: np.ndarray, valid: np.ndarray | None = None) -> tuple[np.ndarray, np.ndarray]:
    """Codes into the sorted distinct ``keys`` that rows use: ``keys`` gives
    each dictionary entry a sortable key. Returns (row codes, key per code)
    and drops entries no row uses."""
    used = np.zeros(len(keys), dtype=bool)
    used[codes] = True
    if valid is not None:
        used &= valid
    distinct, inverse = np.unique(keys[used], return_inverse=True)
    position = np.full(len(keys), -1, dtype=np.int64)
    position[np.flatnonzero(used)] = inverse.reshape(-1)
    return position[codes], distinct


def _no_nulls(codes: np.ndarray, role: str, what: str) -> None:
    bad = np.flatnonzero(codes < 0)
    if len(bad):
        raise ValueError(f"{what}: the {role} is missing in {len(bad)} row(s): rows {_rows(bad[:_SHOWN])}")


def _date_keys(dictionary: pa.Array, role: str, what: str) -> tuple[np.ndarray, Any, str]:
    """int64 nanoseconds of each dictionary date (NaT where it cannot be
    read), the timezone and the unit the dates come in."""
    kind = dictionary.type
    if pa.types.is_timestamp(kind) or pa.types.is_date(kind):
        tz = getattr(kind, "tz", None)
        ns = pc.cast(dictionary, pa.timestamp("ns", tz)) if kind != pa.timestamp("ns", tz) else dictionary
        unit = kind.unit if pa.types.is_timestamp(kind) else "s"
        return ns.cast(pa.int64()).fill_null(np.iinfo(np.int64).min).to_numpy(), tz, unit
    if pa.types.is_string(kind) or pa.types.is_large_string(kind):
        text = dictionary.to_numpy(zero_copy_only=False)
        try:
            parsed = pd.DatetimeIndex(pd.to_datetime(text, errors="coerce"))
        except (ValueError, TypeError) as exc:  # mixed timezones, for one
            raise ValueError(f"{what}: the {role} column cannot be read as dates ({exc})") from None
        return parsed.as_unit("ns").asi8, parsed.tz, parsed.unit
    if pa.types.is_integer(kind) or pa.types.is_floating(kind):
        raise TypeError(
            f"{what}: the {role} column holds numbers ({kind}), not dates; convert it "
            f"first, e.g. pd.to_datetime(table[{role!r}].astype(str), format='%Y%m%d') "
            f"for dates written as 20240131"
        )
    raise TypeError(f"{what}: the {role} column must hold dates or date strings, got {kind}")


def dates_of(column: pa.ChunkedArray, role: str, what: str) -> tuple[np.ndarray, pd.DatetimeIndex]:
    """Per row the position of its date among the sorted distinct dates,
    and those dates."""
    codes, dictionary = _encoded(column)
    _no_nulls(codes, role, what)
    keys, tz, unit = _date_keys(dictionary, role, what)
    unreadable = keys == np.iinfo(np.int64).min
    if unreadable.any():
        rows = np.flatnonzero(unreadable[codes])
        if len(rows):
            values = [str(dictionary[int(codes[r])]) for r in rows[:_SHOWN]]
            raise ValueError(
                f"{what}: {len(rows)} row(s) have a {role} that is not a date: rows "
                f"{_rows(rows[:_SHOWN])} ({listing(values)})"
            )
    codes, distinct = _recode(codes, keys, ~unreadable)
    dates = pd.DatetimeIndex(distinct.astype("datetime64[ns]"), name="date").as_unit(unit)
    if tz is not None:
        dates = dates.tz_localize("UTC").tz_convert(tz)
    return codes, dates


def tickers_of(column: pa.ChunkedArray, role: str, what: str) -> tuple[np.ndarray, pd.Index]:
    """Per row the position of its ticker among the sorted distinct tickers,
    and those tickers."""
    codes, dictionary = _encoded(column)
    _no_nulls(codes, role, what)
    labels = dictionary.to_numpy(zero_copy_only=False)
    order, distinct = pd.factorize(labels, sort=True)
    hit = np.zeros(len(labels), dtype=bool)
    hit[codes] = True
    used = np.zeros(len(distinct), dtype=bool)
    used[order[hit]] = True
    position = np.cumsum(used) - 1
    return position[order][codes], pd.Index(distinct[used], name="ticker")


# --------------------------------------------------------------------------
# Values
# --------------------------------------------------------------------------

def _numbers(column: pa.ChunkedArray, role: str, what: str,
             where: tuple[np.ndarray, pd.DatetimeIndex, np.ndarray, pd.Index]) -> np.ndarray:
    """The column as float64 per row, NaN for a null."""
    kind = column.type
    if pa.types.is_dictionary(kind):
        column, kind = column.cast(kind.value_type), kind.value_type
    if pa.types.is_floating(kind) or pa.types.is_integer(kind) or pa.types.is_decimal(kind) \
            or pa.types.is_null(kind):
        if kind != pa.float64():
            column = column.cast(pa.float64())
        return column.to_numpy()
    if pa.types.is_string(kind) or pa.types.is_large_string(kind):
        text = column.to_numpy(zero_copy_only=False)
        values = pd.to_numeric(pd.Series(text, dtype=object), errors="coerce").to_numpy(dtype=np.float64)
        bad = np.flatnonzero(np.isnan(values) & pd.notna(text)
                             & ~np.isin(text, ["", "nan", "NaN", "NA", "N/A", "null"]))
        if len(bad):
            date_codes, dates, ticker_codes, tickers = where
            shown = [f"row {r} ({dates[date_codes[r]].date()}, {tickers[ticker_codes[r]]!r}): {text[r]!r}"
                     for r in bad[:_SHOWN]]
            raise ValueError(f"{what}: {role} is not a number in {len(bad)} row(s): " + "; ".join(shown))
        return values
    raise TypeError(f"{what}: the {role} column must hold numbers, got {kind}")


def duplicates(flat: np.ndarray, cells: int) -> np.ndarray | None:
    """Two rows that fall into the same cell, or None when every cell is
    filled once at most."""
    seen = np.zeros(cells, dtype=bool)
    seen[flat] = True
    if np.count_nonzero(seen) == len(flat):
        return None
    order = np.argsort(flat, kind="stable")
    same = np.flatnonzero(flat[order][1:] == flat[order][:-1])
    return order[same[0]:same[0] + 2]


def scatter(columns: dict[str, pa.ChunkedArray], date: str, ticker: str,
            what: str) -> tuple[pd.DatetimeIndex, pd.Index, dict[str, np.ndarray]]:
    """Wide matrices (dates x tickers, column-major float64, NaN where no
    row gives a value) of every column of a long table but ``date`` and
    ``ticker``. Columns are taken out of ``columns`` as they are used, so
    that each is freed once scattered when the caller holds no other
    reference."""
    date_codes, dates = dates_of(columns.pop(date), "date", what)
    ticker_codes, tickers = tickers_of(columns.pop(ticker), "ticker", what)
    n_dates = len(dates)
    flat = ticker_codes * n_dates + date_codes   # column-major cell of each row
    pair = duplicates(flat, n_dates * len(tickers))
    if pair is not None:
        a, b = (int(r) for r in pair)
        raise ValueError(
            f"{what}: rows {a} and {b} are both ({dates[date_codes[a]]}, "
            f"{tickers[ticker_codes[a]]!r}); keep one row per date and ticker"
        )
    where = (date_codes, dates, ticker_codes, tickers)
    out = {}
    for role in list(columns):
        values = _numbers(columns.pop(role), role, what, where)
        matrix = np.full((n_dates, len(tickers)), np.nan, order="F")
        matrix.ravel(order="F")[flat] = values
        del values
        out[role] = matrix
    return dates, tickers, out
