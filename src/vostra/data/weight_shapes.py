"""Target weights in the shapes users hold, made the wide frame (dates ×
tickers) that a backtest reads: a long table, a Series indexed by (date,
ticker) and a dict of date -> Series all go through the long-table scatter."""

from __future__ import annotations

from collections.abc import Mapping
from typing import Any

import numpy as np
import pandas as pd
import pyarrow as pa

from .index_facts import known
from .long import arrow_table, roles_of, scatter, table_source

__all__ = ["wide_weights", "WEIGHT_SHAPES"]

WEIGHT_SHAPES = ("a wide DataFrame (dates × tickers, float or bool), a Series indexed by (date, "
                 "ticker), a long table with date, ticker and weight columns (pandas, polars or "
                 "pyarrow) or a dict of date -> Series of weights by ticker")

_LONG = ("date", "ticker", "weight")


def _is_long_pandas(frame: pd.DataFrame) -> bool:
    # Membership through the columns' hash table: a wide frame has thousands
    # of tickers, and a set of them costs more than a short run. The labels
    # of an Index cannot change (its names can): the columns are read once.
    columns = frame.columns
    in_columns = known("long columns", (columns,), lambda: tuple(name in columns for name in _LONG))
    if not any(in_columns) and frame.index.nlevels < len(_LONG):
        return False  # the usual wide frame: its index cannot name all three (nlevels is cheaper than names)
    levels = frame.index.names
    return all(name in levels or found for name, found in zip(_LONG, in_columns))


def wide_weights(weights: Any, date_format: str | None = None) -> pd.DataFrame:
    """``weights`` as a wide frame; a wide frame is returned as it is. The
    date text of a long table is read in ``date_format`` when given."""
    if isinstance(weights, pd.DataFrame):
        return _from_long(weights) if _is_long_pandas(weights) else weights
    if isinstance(weights, pd.Series):
        return _from_series(weights)
    if isinstance(weights, Mapping):
        return _from_dict(weights)
    if isinstance(weights, pa.Table) or hasattr(weights, "__arrow_c_stream__") or hasattr(weights, "collect"):
        return _from_long(weights, date_format)
    raise TypeError(f"weights must be {WEIGHT_SHAPES}; got {type(weights).__name__}")


def _from_series(weights: pd.Series) -> pd.DataFrame:
    if weights.index.nlevels != 2:
        raise TypeError(
            "weights is a Series indexed by one level: one row of weights has no date. Give "
            "it one, {date: series}, or index the Series by (date, ticker); weights may be "
            + WEIGHT_SHAPES
        )
    frame = weights.rename("weight").reset_index()
    frame.columns = list(_LONG)       # the levels are date then ticker, whatever their names
    return _from_long(frame)


def _from_dict(weights: Mapping[Any, Any]) -> pd.DataFrame:
    if not weights:
        raise ValueError("weights is an empty dict; it needs at least one date")
    rows = {}
    for date, row in weights.items():
        if isinstance(row, Mapping):
            row = pd.Series(row, dtype=None if row else float)
        if not isinstance(row, pd.Series) or row.index.nlevels != 1:
            raise TypeError(f"weights[{date!r}] must be a Series of weights by ticker, got "
                            f"{type(row).__name__}; weights may be {WEIGHT_SHAPES}")
        rows[date] = row
    try:
        dates = pd.to_datetime(list(rows))
    except (TypeError, ValueError) as exc:
        raise ValueError(f"weights: the keys of a dict of weights must be dates ({exc})") from None
    series = pd.concat(list(rows.values()), keys=range(len(rows)))
    frame = pd.DataFrame({"date": dates[series.index.get_level_values(0)],
                          "ticker": series.index.get_level_values(1),
                          "weight": series.to_numpy()})
    return _from_long(frame)


def _from_long(table: Any, date_format: str | None = None) -> pd.DataFrame:
    """The wide frame of a long weight table; NaN where it has no row (a
    weight of 0), and a bool frame from a bool weight column."""
    what = "the long weight table"
    table = arrow_table(table, list(_LONG), what)
    roles = roles_of(table.column_names, dict(zip(_LONG, _LONG)), {}, what)
    is_mask = pa.types.is_boolean(table.schema.field("weight").type)
    if is_mask:
        at = table.schema.get_field_index("weight")
        table = table.set_column(at, "weight", table.column(at).cast(pa.float64()))
    dates, tickers, values = scatter(table_source(table, roles), ["weight"], what, date_format, roles)
    matrix = values["weight"]
    if is_mask:
        matrix = np.asfortranarray(matrix == 1.0)
    return pd.DataFrame(matrix, index=dates, columns=tickers, copy=False)
