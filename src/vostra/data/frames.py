"""Checks and conversions of wide frames (dates x tickers): the axes, the
values as float64 matrices, the tickers' text and the timestamps."""

from __future__ import annotations

from collections.abc import Iterable
from typing import Any, NamedTuple

import numpy as np
import pandas as pd

from .index_facts import known

_MAX_LISTED = 5


def listing(labels: Iterable[Any]) -> str:
    labels = list(labels)
    text = ", ".join(repr(x) for x in labels[:_MAX_LISTED])
    if len(labels) > _MAX_LISTED:
        text += f" (and {len(labels) - _MAX_LISTED} more)"
    return text



class Axes(NamedTuple):
    """The dates and tickers of a frame: what the checks and the messages
    read of it once its values are converted."""

    index: pd.DatetimeIndex
    columns: pd.Index


def check_frame(frame: Any, name: str) -> pd.DataFrame:
    """``frame`` when it is a wide pandas frame (dates × tickers) with sound
    axes; else an error that names the way in for the shape it has."""
    if not isinstance(frame, pd.DataFrame):
        raise TypeError(f"{name} must be a pandas DataFrame with dates as rows and tickers as "
                        f"columns, got {_kind(frame)}; {_way_in(name)}")
    try:
        known("axes checked", (frame.index, frame.columns), lambda: _check_axes(frame.index, frame.columns, name))
    except (TypeError, ValueError) as exc:
        reason = _long_sign(frame)
        if reason is None:
            raise
        # The usual fixes of a wide frame (sorting, dropping repeated
        # dates) would run on one arbitrary ticker per date here.
        raise type(exc)(f"{name} looks like a long table ({reason}), not a wide frame of dates × "
                        f"tickers; {_way_in(name)}") from None
    return frame


def _kind(value: Any) -> str:
    kind = type(value)
    return f"{kind.__module__.split('.')[0]}.{kind.__name__}" if kind.__module__ != "builtins" else kind.__name__


def _way_in(name: str) -> str:
    if name == "weights":
        return ("weights may be a wide DataFrame, a Series indexed by (date, ticker), a long "
                "table with date, ticker and weight columns, or a dict of date -> Series")
    return ("build a vostra.Market with Market.from_long(table) for a long table (one row per date "
            "and ticker), vostra.read_market(path) for Parquet or CSV files, or Market.from_frames "
            "for wide pandas frames, and pass the Market in place of the price frames")


_LONG_COLUMNS = {"date", "ticker", "symbol", "datetime", "timestamp", "time", "weight"}


def _long_sign(frame: pd.DataFrame) -> str | None:
    """Why ``frame`` looks like a long table, or None."""
    if isinstance(frame.index, pd.MultiIndex):
        return f"its index has {frame.index.nlevels} levels"
    named = [c for c in frame.columns if isinstance(c, str) and c.lower() in _LONG_COLUMNS]
    if named:
        return f"it has a {named[0]!r} column"
    text = [c for c, d in frame.dtypes.items()
            if not (pd.api.types.is_numeric_dtype(d) or pd.api.types.is_bool_dtype(d))]
    if text:
        return f"its column {text[0]!r} does not hold numbers"
    return None


def _check_axes(index: pd.Index, columns: pd.Index, name: str) -> bool:
    if not isinstance(index, pd.DatetimeIndex):
        raise TypeError(f"{name}.index must be a DatetimeIndex, got "
                        f"{type(index).__name__}; {_date_advice(index, name)}")
    if index.hasnans:
        raise ValueError(f"{name}.index contains NaT; drop those rows first")
    if not index.is_monotonic_increasing:
        ns = index_ns(index)
        pos = int(np.flatnonzero(np.diff(ns) < 0)[0]) + 1
        raise ValueError(
            f"{name}.index is not in ascending order: {index[pos]} at row {pos} "
            f"comes after {index[pos - 1]}; sort it with {name}.sort_index()"
        )
    if not index.is_unique:
        dup = index[index.duplicated()]
        raise ValueError(
            f"{name}.index has duplicate dates ({listing(str(d) for d in dup)}); "
            f"keep one row per date"
        )
    if not columns.is_unique:
        dup = columns[columns.duplicated()]
        raise ValueError(f"{name} has duplicate tickers: {listing(dup)}")
    return True


def _date_advice(index: pd.Index, name: str) -> str:
    """How to give a frame its dates: converting the index only when it
    holds date text, as numbers would become dates of 1970."""
    if (index.dtype == object or pd.api.types.is_string_dtype(index.dtype)) and len(index):
        try:
            pd.to_datetime(index[:5])
        except (TypeError, ValueError):
            pass
        else:
            return f"its labels read as dates: {name}.index = pd.to_datetime({name}.index)"
    return f"a wide frame has one row per date and one column per ticker; {_way_in(name)}"


def index_ns(index: pd.DatetimeIndex) -> np.ndarray:
    """Timestamps as int64 nanoseconds since the epoch (UTC for aware indexes),
    read-only."""
    return known("ns", (index,), lambda: np.array(index.as_unit("ns").asi8, dtype=np.int64))


def block_values(frame: pd.DataFrame, dtype: Any) -> np.ndarray | None:
    """The frame's values when they are one block of ``dtype`` (float64 for
    the usual price frame), as its block manager holds them (columns x
    rows), read without building a Series of its dtypes; None whenever that
    cannot be told."""
    blocks = getattr(getattr(frame, "_mgr", None), "blocks", None)
    if not (isinstance(blocks, tuple) and len(blocks) == 1):
        return None
    # A NumPy block holds (columns x rows): its shape tells the columns
    # without the frame's (an Index of text counts its length in Python).
    values = getattr(blocks[0], "values", None)
    if isinstance(values, np.ndarray) and values.ndim == 2 and values.dtype == dtype and values.shape[0] > 0:
        return values
    return None


def one_block(frame: pd.DataFrame, dtype: Any) -> bool:
    """Whether the frame's values are one block of ``dtype`` (see :func:`block_values`)."""
    return block_values(frame, dtype) is not None


def matrix(frame: pd.DataFrame, name: str) -> np.ndarray:
    """The frame's values as float64 without copying when it is one float64 block.

    A single-dtype float64 frame hands out its block as a Fortran-ordered
    (often read-only) view; the engine reads any strides, so it is passed on
    as is. Other numeric dtypes are converted, which copies.
    """
    values = block_values(frame, np.float64)
    if values is not None:
        # What to_numpy gives for one block (a read-only transposed view of
        # it), without the call chain that costs more than the view.
        view = values.T
        view.flags.writeable = False
        return view
    dtypes = set(frame.dtypes.to_numpy())
    if not all(pd.api.types.is_numeric_dtype(d) or pd.api.types.is_bool_dtype(d) for d in dtypes):
        bad = [c for c in frame.columns if not pd.api.types.is_numeric_dtype(frame[c].dtype)]
        reason = _long_sign(frame)
        hint = f"; it looks like a long table ({reason}): {_way_in(name)}" if reason else ""
        raise TypeError(f"{name} must hold numbers; non-numeric columns: {listing(bad)}{hint}")
    return frame.to_numpy(dtype=np.float64, na_value=np.nan)


def aligned(frame: pd.DataFrame | None, close: pd.DataFrame | Axes, name: str) -> pd.DataFrame | None:
    """Another price frame put into the row and column order of ``close``."""
    if frame is None:
        return None
    check_frame(frame, name)
    if not known("same", (frame.index, close.index), lambda: frame.index.equals(close.index)):
        raise ValueError(
            f"{name}.index differs from close.index ({len(frame.index)} vs "
            f"{len(close.index)} rows); give it the dates of close, row for row"
        )
    if known("same", (frame.columns, close.columns), lambda: frame.columns.equals(close.columns)):
        return frame
    missing = close.columns.difference(frame.columns, sort=False)
    extra = frame.columns.difference(close.columns, sort=False)
    if len(missing) or len(extra):
        parts = []
        if len(missing):
            parts.append(f"missing {listing(missing)}")
        if len(extra):
            parts.append(f"not in close: {listing(extra)}")
        raise ValueError(
            f"{name} and close must have the same tickers ({'; '.join(parts)})"
        )
    return frame[close.columns]


def labels(columns: pd.Index, name: str) -> np.ndarray:
    """The tickers as the engine matches them (their text), read-only."""
    return known("labels", (columns,), lambda: _label_texts(columns, name))


def _label_texts(columns: pd.Index, name: str) -> np.ndarray:
    values = columns.to_numpy(dtype=object)
    if pd.api.types.infer_dtype(values, skipna=False) == "string" and columns.is_unique:
        return values.copy()  # str tickers are their own text, and unique ones stay unique
    labels = np.array([str(c) for c in columns], dtype=object)
    if len(set(labels)) != len(labels):
        seen: dict[str, Any] = {}
        for col, lab in zip(columns, labels):
            if lab in seen and seen[lab] != col:
                raise ValueError(
                    f"{name} tickers {seen[lab]!r} and {col!r} have the same text "
                    f"{lab!r}; the engine matches tickers by their text"
                )
            seen[lab] = col
    return labels


def same_clock(a: pd.DatetimeIndex, b: pd.DatetimeIndex, what: str) -> bool:
    """Raises unless both indexes are timezone-aware or both naive."""
    if (a.tz is None) != (b.tz is None):
        raise ValueError(
            f"{what}: one index is timezone-aware and the other is not; give both their dates "
            f"in a timezone, or both without one"
        )
    return True

