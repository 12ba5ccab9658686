"""The market a backtest reads: daily prices (and volume) as wide frames,
dates x tickers, built from wide frames or from a long table."""

from __future__ import annotations

import warnings
from collections.abc import Mapping
from dataclasses import dataclass
from typing import Any, Literal

import numpy as np
import pandas as pd

from .frames import aligned, check_frame, listing, matrix
from .long import Source, arrow_table, roles_of, scatter, table_columns, table_source

__all__ = ["Market"]

PRICES = ("open", "high", "low", "close")
#: The frames of a market besides its prices: volume and the events.
EXTRA = ("volume", "dividends", "splits")
Adjust = Literal["factor", "close", None]


@dataclass(frozen=True, eq=False)
class Market:
    """Daily prices, dates × tickers; NaN where a stock does not trade.

    ``close`` is required; ``open``, ``high``, ``low`` and ``volume`` are
    optional frames with the same dates and tickers (their columns are put
    into the order of ``close``). ``listed`` and ``delisted`` give, per
    ticker, the first date with a close and, for a stock whose closes end
    before the market's last date with any close, its last one (NaT for
    stocks that trade to the end); they are derived from ``close`` when not
    given. A backtest delists stocks from the prices themselves (its
    ``delisting`` option), or, when ``delisted`` is given, on the bar after
    each date it gives (see :meth:`stated_delisting`).

    ``dividends`` (cash per share) and ``splits`` (new shares per old share:
    2 for 2:1, 0.1 for a 1:10 reverse split) are optional frames dated on
    the ex-date, NaN (or, for a split, 0) where there is none; a backtest on
    the market takes them (see :func:`vostra.backtest`). They go with raw
    prices: adjusted prices hold them already.

    Build one with :meth:`from_long` (a long table), :meth:`from_frames`
    (wide frames) or :func:`vostra.read_market` (Parquet or CSV files).
    """

    open: pd.DataFrame | None = None
    high: pd.DataFrame | None = None
    low: pd.DataFrame | None = None
    close: pd.DataFrame | None = None
    volume: pd.DataFrame | None = None
    listed: pd.Series | None = None
    delisted: pd.Series | None = None
    dividends: pd.DataFrame | None = None
    splits: pd.DataFrame | None = None

    def __post_init__(self) -> None:
        if self.close is None:
            raise TypeError("a Market needs close prices: Market.from_frames(close, open=..., ...), "
                            "Market.from_long(table) or vostra.read_market(path)")
        close = check_frame(self.close, "close")
        if not len(close.index):
            raise ValueError("close has no dates: a market needs at least one")
        for name in ("open", "high", "low") + EXTRA:
            frame = getattr(self, name)
            if frame is not None:
                check_frame(frame, name)
                object.__setattr__(self, name, aligned(frame, close, name))
        if self.volume is not None:
            matrix(self.volume, "volume")   # numbers, checked here as no backtest reads them
        # Whether the delistings are the caller's word or read from the closes.
        object.__setattr__(self, "_delisted_given", self.delisted is not None)
        for name, what in (("dividends", "cash per share"), ("splits", "new shares per old share")):
            frame = getattr(self, name)
            if frame is not None:
                values = matrix(frame, name)
                if ((values < 0) | np.isinf(values)).any():
                    raise ValueError(f"{name} must be {what}, >= 0 and finite (NaN: none)")
        if self.listed is None or self.delisted is None:
            listed, delisted = _listing_dates(close)
            if self.listed is None:
                object.__setattr__(self, "listed", listed)
            if self.delisted is None:
                object.__setattr__(self, "delisted", delisted)

    @property
    def dates(self) -> pd.DatetimeIndex:
        return self.close.index

    @property
    def tickers(self) -> pd.Index:
        return self.close.columns

    def stated_delisting(self) -> dict[Any, Any] | None:
        """The delistings given as ``delisted``, as a backtest's
        ``delisting`` mapping: each ticker with a date is delisted on the
        first date after it (its last close), or not at all when the
        prices end there. None when ``delisted`` was derived from the
        closes: a backtest then infers them itself."""
        if not self.__dict__.get("_delisted_given"):
            return None
        stated = self.delisted.dropna()
        dates = self.close.index
        after = dates.searchsorted(pd.DatetimeIndex(stated), side="right")
        return {t: dates[i] if i < len(dates) else None for t, i in zip(stated.index, after)}

    def __repr__(self) -> str:
        fields = [n for n in PRICES + EXTRA if getattr(self, n) is not None]
        span = f"{self.dates[0].date()} to {self.dates[-1].date()}" if len(self.dates) else "no dates"
        return (f"Market({len(self.dates)} dates x {len(self.tickers)} tickers, {span}; "
                f"{', '.join(fields)})")

    def between(self, start: Any = None, end: Any = None) -> Market:
        """The market of the dates from ``start`` to ``end`` (both included,
        None for no bound), without the tickers that have no value there."""
        rows = self.close.loc[start:end].index
        if not len(rows):
            raise ValueError(f"the market has no dates from {'its first' if start is None else start} to "
                             f"{'its last' if end is None else end} (its dates run from {self.dates[0]} "
                             f"to {self.dates[-1]})")
        frames = {n: getattr(self, n) for n in PRICES + EXTRA if getattr(self, n) is not None}
        keep = np.zeros(len(self.tickers), dtype=bool)
        for name, frame in frames.items():
            if name in PRICES + ("volume",):
                keep |= frame.loc[rows].notna().to_numpy().any(axis=0)
        return Market(**{n: f.loc[rows, keep] for n, f in frames.items()})

    @classmethod
    def from_frames(cls, close: pd.DataFrame, open: pd.DataFrame | None = None,
                    high: pd.DataFrame | None = None, low: pd.DataFrame | None = None,
                    volume: pd.DataFrame | None = None, dividends: pd.DataFrame | None = None,
                    splits: pd.DataFrame | None = None) -> Market:
        """A market of wide pandas frames, dates × tickers."""
        return cls(open=open, high=high, low=low, close=close, volume=volume, dividends=dividends, splits=splits)

    @classmethod
    def from_long(cls, table: Any, *, date: str = "date", ticker: str = "ticker",
                  open: str | None = "open", high: str | None = "high", low: str | None = "low",
                  close: str = "close", volume: str | None = "volume", adjust: Adjust = None,
                  factor: str = "factor", adj_close: str = "adj_close", dividend: str | None = "dividend",
                  split: str | None = "split", date_format: str | None = None) -> Market:
        """A market from a long table: one row per date and ticker.

        ``table`` is a pandas DataFrame (date and ticker may be index
        levels), a polars DataFrame or LazyFrame, a pyarrow Table or any
        table with the Arrow stream interface. The keywords name its
        columns; a column left at its default name is also found in another
        case or spelling ('Close', 'Adj Close'). ``open``, ``high``, ``low``
        and ``volume`` are read when the table has them (pass None to leave
        one out). Rows may come in any order; a (date, ticker) without a row
        is NaN. Dates may be dates, timestamps (with a timezone or not),
        date strings or integers such as 20240131; strings whose day and
        month read either way (04/01/2016) need ``date_format``, as
        :func:`pandas.to_datetime` takes it ('%d/%m/%Y').

        ``adjust="factor"`` multiplies open, high, low and close by the
        column ``factor`` (a cumulative adjustment factor, positive);
        ``adjust="close"`` takes the column ``adj_close`` as the close and
        scales open, high and low by the same ratio ``adj_close / close``,
        so that every bar stays consistent. Volume is left as it is. A table
        with an adjusted close read without ``adjust`` draws a warning.

        ``dividend`` (cash per share) and ``split`` (new shares per old
        share) are read, like volume, when the table has them: each row
        dated on an ex-date, empty (or a split of 0) on the other rows. They
        go with raw prices: with ``adjust`` they are an error.

        Raises ValueError for duplicate (date, ticker) rows, dates that
        cannot be read and values that are not numbers, naming the rows.
        """
        names = dict(date=date, ticker=ticker, open=open, high=high, low=low, close=close,
                     volume=volume, adjust=adjust, factor=factor, adj_close=adj_close, dividend=dividend,
                     split=split)
        what = "the long table"
        wanted = [n for n in (date, ticker, open, high, low, close, volume, factor, adj_close, dividend, split)
                  if n is not None]
        table = arrow_table(table, wanted, what)
        # Roles are looked for among all the table's columns, which the
        # message lists when one is missing; those found are the ones kept.
        roles, notes = long_roles(table_columns(table), what, **names)
        for note in notes:
            warnings.warn(note, UserWarning, stacklevel=2)
        return market_from_source(table_source(table, roles), roles, what, adjust, date_format)


def _listing_dates(close: pd.DataFrame) -> tuple[pd.Series, pd.Series]:
    """First date with a close per ticker, and the last one of the tickers
    whose closes end before the market's (NaT for the others)."""
    valid = ~np.isnan(matrix(close, "close"))
    n = len(valid)
    has = valid.any(axis=0)
    first = valid.argmax(axis=0)
    last = n - 1 - valid[::-1].argmax(axis=0)
    end = int(last[has].max()) if has.any() else -1
    dates = close.index
    # Taken from the index itself, so that the dates keep their unit and zone.
    listed = pd.Series(dates[first], index=close.columns, name="listed").where(has)
    ends = has & (last < end)
    delisted = pd.Series(dates[last], index=close.columns, name="delisted").where(ends)
    return listed, delisted


#: The column each role of a long market table has unless named otherwise.
ROLE_NAMES = dict(date="date", ticker="ticker", open="open", high="high", low="low", close="close",
                  volume="volume", factor="factor", adj_close="adj_close", dividends="dividend", splits="split")


def long_roles(present: Any, what: str, *, date: str, ticker: str, open: str | None, high: str | None,
               low: str | None, close: str, volume: str | None, adjust: Adjust, factor: str,
               adj_close: str, dividend: str | None = "dividend",
               split: str | None = "split") -> tuple[dict[str, str], list[str]]:
    """The column of each role of a long market table, among ``present``,
    and the warnings for the caller to issue. A role left at its default
    name is found in any case or spelling ('Close', 'Adj Close')."""
    names = dict(date=date, ticker=ticker, open=open, high=high, low=low, close=close, volume=volume,
                 factor=factor, adj_close=adj_close, dividends=dividend, splits=split)
    optional = {role: (names[role], names[role] != ROLE_NAMES[role])
                for role in ("open", "high", "low", "volume", "dividends", "splits")}
    required = dict(date=date, ticker=ticker, close=close)
    if adjust == "factor":
        required["factor"] = factor
    elif adjust == "close":
        required["adj_close"] = adj_close
    elif adjust is None:
        optional["adj_close"] = (adj_close, False)   # looked for, to be told about
    else:
        raise ValueError(f"adjust must be 'factor', 'close' or None, got {adjust!r}")
    loose = [role for role, name in names.items() if name == ROLE_NAMES[role]]
    roles = roles_of(present, required, optional, what, loose)
    if adjust is not None and ("dividends" in roles or "splits" in roles):
        events = [roles[r] for r in ("dividends", "splits") if r in roles]
        raise ValueError(f"{what}: adjust={adjust!r} with the events {listing(events)}: adjusted prices hold the "
                         f"dividends and splits already; read raw prices with their events, or pass "
                         f"dividend=None, split=None")
    notes = []
    if adjust is None and "adj_close" in roles:
        notes.append(f"{what} has an adjusted close column {roles.pop('adj_close')!r} that is not read: the "
                     f"prices are the reported ones, in which a split or a dividend is a jump that returns and "
                     f"stops take as a move. Pass adjust='close' to trade the adjusted prices, or leave the "
                     f"column out to trade the reported ones")
    return roles, notes


def market_from_source(source: Source, roles: Mapping[str, str], what: str, adjust: Adjust,
                       date_format: str | None = None) -> Market:
    """A market from the pieces of a long table."""
    values = [role for role in roles if role not in ("date", "ticker")]
    dates, tickers, matrices = scatter(source, values, what, date_format, roles)
    if adjust is not None:
        _adjust(matrices, adjust, what)
    frames = {role: pd.DataFrame(m, index=dates, columns=tickers, copy=False) for role, m in matrices.items()}
    return Market(**frames)


def _adjust(values: dict[str, np.ndarray], adjust: str, what: str) -> None:
    """Adjusted prices in place of the reported ones, every price of a bar by
    the same ratio."""
    if adjust == "factor":
        ratio = values.pop("factor")
        bad = ~(ratio > 0) & ~np.isnan(values["close"])
        if bad.any():
            raise ValueError(f"{what}: the adjustment factor must be positive where there is a close; "
                             f"it is {ratio[bad][0]!r} in {int(bad.sum())} cell(s)")
    else:
        adjusted = values.pop("adj_close")
        ratio = adjusted / values["close"]
    for name in PRICES:
        if name in values:
            values[name] *= ratio


def price_frames(close: Any, open: Any = None, high: Any = None, low: Any = None,
                 ) -> tuple[pd.DataFrame, Any, Any, Any]:
    """The price frames of a run: ``close`` may be a :class:`Market`, whose
    open, high and low then fill the others not given."""
    if isinstance(close, Market):
        market = close
        close = market.close
        open = market.open if open is None else open
        high = market.high if high is None else high
        low = market.low if low is None else low
    for name, frame in (("close", close), ("open", open), ("high", high), ("low", low)):
        if (frame is not None or name == "close") and not isinstance(frame, pd.DataFrame):
            check_frame(frame, name)   # raises, naming the way in for what it is
    return close, open, high, low
