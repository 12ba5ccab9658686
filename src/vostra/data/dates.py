"""Dates as vendors write them: text in the usual orders, integers such as
20230103, timestamps with or without a zone; refused where they cannot be
told apart (04/01/2016 is 4 January or 1 April)."""

from __future__ import annotations

import warnings
from typing import Any

import numpy as np
import pandas as pd
try:
    from pandas.tseries.api import guess_datetime_format
except ImportError:   # pandas before 2.2
    from pandas._libs.tslibs.parsing import guess_datetime_format

__all__ = ["AmbiguousDates", "read_dates"]


class AmbiguousDates(ValueError):
    """Date text whose day and month read either way, without a format."""

# Integers read as YYYYMMDD: eight digits from the year 1000 on.
_YYYYMMDD = (10000101, 99991231)


def read_dates(values: Any, what: str, format: str | None = None) -> pd.DatetimeIndex:
    """``values`` (dates, timestamps, text or integers; None for a missing
    one) as a DatetimeIndex, NaT where a value cannot be read as a date (the
    caller names those). Text whose day and month can be read either way is
    refused unless ``format`` (as for :func:`pandas.to_datetime`) is given."""
    values = pd.Index(values)
    if isinstance(values, pd.DatetimeIndex):
        return values
    if pd.api.types.is_integer_dtype(values.dtype):
        return _integer_dates(values, what, format)
    if pd.api.types.is_numeric_dtype(values.dtype) or pd.api.types.is_bool_dtype(values.dtype):
        raise TypeError(f"{what}: the date column holds numbers ({values.dtype}), not dates; write the dates "
                        f"as dates, as text such as 2024-01-31 or as whole numbers such as 20240131")
    text = values.to_numpy(dtype=object)
    return _parsed(text, format, what) if format is not None else _text_dates(text, what)


def _parsed(text: np.ndarray, format: str | None, what: str) -> pd.DatetimeIndex:
    try:
        try:
            with warnings.catch_warnings():   # pandas 2 warns where pandas 3 raises
                warnings.simplefilter("error", FutureWarning)
                return pd.DatetimeIndex(pd.to_datetime(text, format=format, errors="coerce"))
        except (ValueError, FutureWarning) as exc:
            if "utc=True" not in str(exc).replace("`", ""):
                raise
            # Offsets that change with daylight saving time: the instants, in UTC.
            return pd.DatetimeIndex(pd.to_datetime(text, format=format, errors="coerce", utc=True))
    except (ValueError, TypeError, FutureWarning) as exc:
        raise ValueError(f"{what}: the date column cannot be read as dates ({exc})") from None


def _integer_dates(values: pd.Index, what: str, format: str | None) -> pd.DatetimeIndex:
    numbers = values.to_numpy()
    if format is None and len(numbers) and not (numbers.min() >= _YYYYMMDD[0] and numbers.max() <= _YYYYMMDD[1]):
        raise TypeError(
            f"{what}: the date column holds numbers ({values.dtype}), not dates, and not all of them "
            f"read as YYYYMMDD (such as 20240131); numbers such as seconds since 1970 are not read as "
            f"dates: write the dates as dates or as text such as 2024-01-31"
        )
    return _parsed(numbers.astype(str), format or "%Y%m%d", what)


def _text_dates(text: np.ndarray, what: str) -> pd.DatetimeIndex:
    """Text dates in the order their first value shows; where the day and
    the month may come in either order, the one every value reads in."""
    present = pd.notna(text)
    if not present.any():
        return pd.DatetimeIndex(np.full(len(text), np.datetime64("NaT", "ns")))
    first = str(text[np.argmax(present)])
    with warnings.catch_warnings():   # pandas' note that a guess put the day first
        warnings.simplefilter("ignore", UserWarning)
        month_first, day_first = guess_datetime_format(first), guess_datetime_format(first, dayfirst=True)
    if not (month_first and day_first and month_first.startswith("%m") and day_first.startswith("%d")):
        # The order is plain (year first, a month's name, a day above 12):
        # read as the first value shows.
        return _parsed(text, month_first, what)
    by_month, by_day = _parsed(text, month_first, what), _parsed(text, day_first, what)
    month_reads, day_reads = bool((by_month.notna() | ~present).all()), bool((by_day.notna() | ~present).all())
    if month_reads and day_reads and not by_month.equals(by_day):
        at = int(np.argmax(by_month != by_day))
        raise AmbiguousDates(
            f"{what}: the dates read both day first and month first ({text[at]!r} is "
            f"{by_day[at].day} {by_day[at]:%B %Y} or {by_month[at].day} {by_month[at]:%B %Y}); name their format: "
            f"date_format={day_first!r} (day first) or {month_first!r} (month first)"
        )
    return by_day if day_reads and not month_reads else by_month
