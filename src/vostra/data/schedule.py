"""Rebalance schedules: the timestamps at which a rebalance may be decided."""

from __future__ import annotations

from collections.abc import Iterable
from typing import Any, Union

import numpy as np
import pandas as pd

from .index_facts import known
from .frames import index_ns, same_clock

Rebalance = Union[str, Iterable[Any], pd.DatetimeIndex, None]

# Pandas period aliases for the calendar schedules; the offset spellings users
# know from date_range ("ME", "QE", ...) name the same periods.
_PERIOD_ALIASES = {
    "D": "D", "B": "D",
    "W": "W", "W-FRI": "W-FRI", "W-SUN": "W",
    "M": "M", "ME": "M", "BM": "M", "BME": "M", "MS": "M",
    "Q": "Q", "QE": "Q", "BQ": "Q", "BQE": "Q", "QS": "Q",
    "Y": "Y", "YE": "Y", "A": "Y", "BY": "Y", "BYE": "Y", "YS": "Y",
}


def schedule(rebalance: Rebalance, close_index: pd.DatetimeIndex, price_ns: np.ndarray,
              pos_ns: np.ndarray) -> np.ndarray:
    """The timestamps at which a rebalance may be decided (``resample``).

    A calendar frequency marks the last bar of every period; the final period
    counts only when the data reach its last business day, so a run that ends
    mid-month does not schedule a rebalance for the next day. Explicit dates
    mark the last bar at or before each date. ``None`` marks every signal date.
    """
    if rebalance is None:
        return pos_ns
    if isinstance(rebalance, str):
        alias = _PERIOD_ALIASES.get(rebalance.upper())
        if alias is None:
            raise ValueError(
                f"rebalance={rebalance!r} is not a supported frequency; use one of "
                f"'D', 'W', 'W-FRI', 'M', 'Q', 'Y', a list of dates, or None "
                f"(every signal date)"
            )
        # The price timestamps are those of close_index, so the dates alone
        # decide the schedule.
        return known("schedule " + alias, (close_index,), lambda: _period_ends(alias, close_index, price_ns))
    try:
        dates = pd.DatetimeIndex(pd.to_datetime(list(rebalance)))
    except (TypeError, ValueError) as exc:
        raise ValueError(
            "rebalance must be a frequency string, a list of dates or None; "
            f"could not read the dates: {exc}"
        ) from exc
    same_clock(dates, close_index, "rebalance dates and close.index")
    return np.unique(index_ns(dates))


def _period_ends(alias: str, close_index: pd.DatetimeIndex, price_ns: np.ndarray) -> np.ndarray:
    """The timestamps of the last bar of every period of ``alias``."""
    local = close_index.tz_localize(None) if close_index.tz is not None else close_index
    if len(local) == 0:
        return np.empty(0, dtype=np.int64)
    periods = local.to_period(alias)
    codes = periods.asi8
    ends = np.flatnonzero(codes[1:] != codes[:-1])
    last_period_end = pd.offsets.BDay().rollback(periods[-1].end_time.normalize())
    if local[-1].normalize() >= last_period_end:
        ends = np.append(ends, len(codes) - 1)
    return np.ascontiguousarray(price_ns[ends], dtype=np.int64)



def next_rebalance(rebalance: Rebalance, dates: pd.DatetimeIndex, resample_ns: np.ndarray) -> pd.Timestamp | None:
    """The first scheduled rebalance decision after the last of ``dates``:
    for a calendar frequency the last business day of the first period that
    ends after it, else the first of the run's ``resample`` timestamps after
    it (None when there is none)."""
    if len(dates) == 0:
        return None
    last = dates[-1]
    if not isinstance(rebalance, str):
        later = resample_ns[resample_ns > last.as_unit("ns").value]
        if not len(later):
            return None
        stamp = pd.Timestamp(int(later[0]), unit="ns")
        return (stamp.tz_localize("UTC").tz_convert(last.tz) if last.tz is not None else stamp).as_unit(dates.unit)
    local = last.tz_localize(None) if last.tz is not None else last
    period = local.to_period(_PERIOD_ALIASES[rebalance.upper()])
    while True:
        end = pd.offsets.BDay().rollback(period.end_time.normalize())
        if end > local.normalize():
            break
        period += 1
    end = pd.Timestamp(end).as_unit(dates.unit)
    return end.tz_localize(last.tz) if last.tz is not None else end
