"""The frequency of a market's bars: how many periods a year its dates
make, which annualises the statistics and the financing rates."""

from __future__ import annotations

import numpy as np
import pandas as pd

__all__ = ["PERIODS_PER_YEAR", "infer_periods_per_year", "known_frequency"]

PERIODS_PER_YEAR = {"daily": 252, "weekly": 52, "monthly": 12, "quarterly": 4, "yearly": 1}

# Upper bounds (in days) of the median bar spacing of each frequency; the
# gaps between them leave room for holidays and uneven month lengths.
_SPACING_DAYS = (("daily", 4.0), ("weekly", 20.0), ("monthly", 60.0), ("quarterly", 200.0))
_INTRADAY = pd.Timedelta(hours=20)


def infer_periods_per_year(index: pd.DatetimeIndex) -> tuple[float, str]:
    """Periods per year of the bars in ``index`` and the frequency's name.

    The frequency comes from the median spacing of the dates: up to 4 days is
    daily (252 a year), up to 20 weekly (52), up to 60 monthly (12), up to 200
    quarterly (4), longer yearly (1). Bars closer than 20 hours are intraday:
    252 times the median number of bars per calendar day. Fewer than two
    dates count as daily.
    """
    if not isinstance(index, pd.DatetimeIndex):
        raise TypeError(
            f"the equity index must be a DatetimeIndex to infer the data frequency, got "
            f"{type(index).__name__}; pass periods_per_year=... (e.g. 252 for daily bars)"
        )
    if len(index) < 2:
        return float(PERIODS_PER_YEAR["daily"]), "daily"
    spacing = pd.Timedelta(np.median(np.diff(index.asi8)), unit=index.unit)
    if spacing < _INTRADAY:
        per_day = float(np.median(pd.Series(1, index=index).groupby(index.normalize()).size()))
        return PERIODS_PER_YEAR["daily"] * per_day, f"intraday, {per_day:g} bars a day"
    days = spacing / pd.Timedelta(days=1)
    for name, bound in _SPACING_DAYS:
        if days <= bound:
            return float(PERIODS_PER_YEAR[name]), name
    return float(PERIODS_PER_YEAR["yearly"]), "yearly"


def known_frequency(index: pd.DatetimeIndex) -> tuple[float, str]:
    """:func:`infer_periods_per_year`, inferred once per index object: the
    runs of a sweep and the results of one market share theirs."""
    for seen, found in _inferred:
        if seen is index:
            return found
    found = infer_periods_per_year(index)
    _inferred.insert(0, (index, found))
    del _inferred[_INFERRED_KEPT:]
    return found


# The last indexes whose frequency was inferred (kept alive so that identity
# stays a safe key; an index is immutable), newest first.
_inferred: list[tuple[pd.DatetimeIndex, tuple[float, str]]] = []
_INFERRED_KEPT = 8
