"""Strategies that learn their weights, and one refit of a strategy on a
window of the market.

A strategy is what :func:`vostra.backtest` and :func:`vostra.walk_forward`
take in place of weight frames:

- an **estimator** following scikit-learn's convention: ``get_params`` /
  ``set_params``, ``fit(X)`` on returns (observations × assets) setting
  ``weights_`` (one weight per asset, in ``X``'s column order). skfolio's
  optimisers and pipelines are such estimators, as are
  :class:`~vostra.research.estimators.EqualWeight`,
  :class:`~vostra.research.estimators.InverseVolatility` and
  :class:`~vostra.research.estimators.TopN`;
- a plain **function** ``f(history) -> weights``: ``history`` is a
  :class:`vostra.Market` cut to the window, ``weights`` a Series (or dict)
  by ticker. Keyword parameters of ``f`` are its hyperparameters.

Each refit clones the estimator (or calls the function afresh) on the
returns of one window. The window ends at the refit date's close: the data
handed to the fit never reach beyond it, and its weights become the target
the account trades on the next bar. The fit sees the tickers listed and
priced on the refit date (a close on that date); with ``missing="drop"``
(the default) only those whose closes cover the whole window. Returns are
close to close, with a suspended stock's close carried over (its return is
0 while suspended and the resumption's return spans the gap), as the
account values it.

An estimator that declares ``needs_previous_weights`` (skfolio's flag), or
one without that flag that has a ``previous_weights`` parameter, and a
function with a ``previous_weights`` parameter, is given the weights the
account really holds at the refit date's close (after drift, lots and
orders that did not fill), aligned to the window's tickers. Such a
strategy is refitted in sequence; the others may be fitted in parallel.

Using it (what a walk-forward or a cross-validation over windows does)::

    from vostra.research.strategy import MarketData, as_strategy, refit

    strategy = as_strategy(InverseVolatility())          # or a function, or skfolio's
    data = MarketData.of(market)                         # closes and returns, once per market
    fit = refit(strategy, data, "2021-06-30", lookback=252)
    fit.weights      # Series by ticker: the target from the bar after 2021-06-30
    fit.start, fit.date, fit.tickers                     # what the fit saw

``refit`` raises :class:`FitError` naming the window when the strategy
raises, and refuses weights for tickers the window does not hold.
"""

from __future__ import annotations

import inspect
from collections.abc import Callable, Mapping
from dataclasses import dataclass, field
from typing import Any, Literal

import numpy as np
import pandas as pd

from ..data.frames import listing
from ..data.market import Market, price_frames
from .estimators import clone
from .windows import window_length

__all__ = ["Strategy", "Fit", "FitError", "MarketData", "as_strategy", "is_strategy", "refit",
           "lookback_start"]

Missing = Literal["drop", "keep"]
Lookback = int | str | pd.DateOffset | None


class FitError(RuntimeError):
    """A strategy's fit on a window raised, or gave weights that cannot be
    traded; the message names the window."""


# --------------------------------------------------------------------------
# What a strategy is
# --------------------------------------------------------------------------

def _is_estimator(obj: Any) -> bool:
    return not isinstance(obj, type) and callable(getattr(obj, "fit", None)) and callable(
        getattr(obj, "get_params", None))


def is_strategy(obj: Any) -> bool:
    """Whether ``obj`` is a strategy (an estimator or a function) rather
    than weights (frames, tables, dicts of them)."""
    if isinstance(obj, Strategy):
        return True
    if isinstance(obj, (pd.DataFrame, pd.Series, Mapping, list, tuple, np.ndarray)):
        return False
    return _is_estimator(obj) or (callable(obj) and not isinstance(obj, type))


def _last_step(estimator: Any) -> Any:
    """The step of a pipeline that holds the weights (the estimator itself
    otherwise)."""
    steps = getattr(estimator, "steps", None)
    return steps[-1][1] if isinstance(steps, list) and steps else estimator


def _function_params(function: Callable[..., Any]) -> list[str]:
    try:
        parameters = list(inspect.signature(function).parameters.values())
    except (TypeError, ValueError):
        return []
    return [p.name for p in parameters[1:]
            if p.kind in (p.POSITIONAL_OR_KEYWORD, p.KEYWORD_ONLY) and p.name != "previous_weights"]


@dataclass(frozen=True)
class Strategy:
    """A strategy and the hyperparameters it is run with.

    ``target`` is the estimator (kept unfitted: every fit works on a clone)
    or the function; ``params`` are set on the clone with ``set_params`` or
    passed to the function as keywords."""

    target: Any
    params: dict[str, Any] = field(default_factory=dict)

    @property
    def kind(self) -> str:
        return "estimator" if _is_estimator(self.target) else "function"

    @property
    def needs_previous(self) -> bool:
        """Whether each fit needs the weights the account holds."""
        if self.kind == "function":
            try:
                return "previous_weights" in inspect.signature(self.target).parameters
            except (TypeError, ValueError):
                return False
        step = _last_step(self._configured())
        flag = getattr(step, "needs_previous_weights", None)
        if flag is not None:
            return bool(flag)
        return "previous_weights" in step.get_params(deep=False)

    def param_names(self) -> list[str]:
        """The names a grid may vary."""
        if self.kind == "function":
            return _function_params(self.target)
        return list(self.target.get_params(deep=True))

    def with_params(self, params: Mapping[str, Any]) -> Strategy:
        unknown = [name for name in params if name not in self.param_names()]
        if unknown:
            what = type(self.target).__name__ if self.kind == "estimator" else getattr(
                self.target, "__name__", "the function")
            names = ", ".join(repr(name) for name in self.param_names())
            raise ValueError(f"{what} has no parameter {listing(unknown)}; its parameters are {names or 'none'}")
        return Strategy(self.target, {**self.params, **params})

    def label(self) -> str:
        name = repr(self.target) if self.kind == "estimator" else getattr(self.target, "__name__", "function")
        if not self.params:
            return name
        return f"{name} with " + ", ".join(f"{k}={v!r}" for k, v in self.params.items())

    def _configured(self) -> Any:
        """A fresh clone of the estimator with the parameters set."""
        estimator = clone(self.target)
        if self.params:
            estimator.set_params(**self.params)
        return estimator


def as_strategy(obj: Any) -> Strategy:
    """``obj`` as a :class:`Strategy` (an estimator or a function); a
    TypeError for anything else."""
    if isinstance(obj, Strategy):
        return obj
    if isinstance(obj, type) and callable(getattr(obj, "fit", None)):
        raise TypeError(f"{obj.__name__} is a class; pass an estimator, e.g. {obj.__name__}()")
    if not is_strategy(obj):
        raise TypeError(f"a strategy is an estimator with fit(X) and weights_, or a function "
                        f"history -> weights; got {type(obj).__name__}")
    return Strategy(obj)


# --------------------------------------------------------------------------
# The market, prepared once for many fits
# --------------------------------------------------------------------------

@dataclass(eq=False)
class MarketData:
    """A market's closes prepared for fits: the returns of every bar from
    the closes carried over missing ones (NaN before a ticker's first
    close), which tickers have a close on each bar, and each ticker's first
    bar. :meth:`of` builds it from a Market or a close frame."""

    market: Market
    returns: np.ndarray            # bars × tickers, row 0 NaN
    priced: np.ndarray             # bars × tickers: a close on the bar
    first: np.ndarray              # per ticker, its first bar with a close (len(dates) for none)
    _last_tickers: tuple[bytes, pd.Index] | None = field(default=None, repr=False)
    _last_labels: tuple[pd.Index, pd.Index] | None = field(default=None, repr=False)

    @classmethod
    def of(cls, market: Market | pd.DataFrame | MarketData, dividends: Any = None,
           splits: Any = None) -> MarketData:
        """``dividends`` and ``splits`` (frames dated on the ex-date; by
        default the market's, False for none) make the returns a holder's:
        on an ex-date the split's new shares and the dividend's cash count,
        so that raw prices give the returns the account earns."""
        if isinstance(market, MarketData):
            return market
        if not isinstance(market, Market):
            close, open, high, low = price_frames(market)
            market = Market(close=close, open=open, high=high, low=low)
        close = market.close.to_numpy(dtype=np.float64)
        priced = ~np.isnan(close)
        carried = pd.DataFrame(close).ffill().to_numpy()
        returns = np.full_like(carried, np.nan)
        if len(carried) > 1:
            ratio, cash = _events(market, dividends, splits)
            if ratio is None and cash is None:
                returns[1:] = carried[1:] / carried[:-1] - 1.0
            else:
                value = carried[1:] * (1.0 if ratio is None else ratio[1:]) + (0.0 if cash is None else cash[1:])
                returns[1:] = value / carried[:-1] - 1.0
        first = np.where(priced.any(axis=0), priced.argmax(axis=0), len(close))
        return cls(market, returns, priced, first)

    @property
    def dates(self) -> pd.DatetimeIndex:
        return self.market.dates

    @property
    def tickers(self) -> pd.Index:
        return self.market.tickers

    def bar(self, date: Any) -> int:
        """The last bar at or before ``date`` (a bar number stays one)."""
        if isinstance(date, (int, np.integer)) and not isinstance(date, bool):
            if not 0 <= date < len(self.dates):
                raise IndexError(f"bar {date} is outside the market's {len(self.dates)} bars")
            return int(date)
        stamp = pd.Timestamp(date)
        bar = int(self.dates.searchsorted(stamp, side="right")) - 1
        if bar < 0:
            raise ValueError(f"{stamp} is before the market's first date {self.dates[0]}")
        return bar

    def columns(self, start: int, bar: int, missing: Missing) -> np.ndarray:
        """Positions of the tickers a fit on the returns of bars ``start``
        .. ``bar`` sees: priced on ``bar`` and, with ``"drop"``, with a close
        at or before ``start - 1`` (so that every return is known)."""
        active = self.priced[bar].copy()
        if missing == "drop":
            active &= self.first <= start - 1
        elif missing != "keep":
            raise ValueError(f"missing must be 'drop' or 'keep', got {missing!r}")
        return np.flatnonzero(active)

    def tickers_of(self, columns: np.ndarray) -> pd.Index:
        """The tickers of columns, the same Index for the same columns as
        the last call's (consecutive refits mostly see the same tickers,
        and an Index builds its lookup table once)."""
        key = columns.tobytes()
        last = self._last_tickers
        if last is None or last[0] != key:
            last = self._last_tickers = (key, self.tickers[columns])
        return last[1]

    def window_returns(self, start: int, bar: int, columns: np.ndarray,
                       tickers: pd.Index | None = None) -> pd.DataFrame:
        """The returns a fit sees; its columns are labelled by plain Python
        objects, as an estimator's input checks read the labels one by one
        (scikit-learn's take a quarter of a fit's time over text tickers
        stored as Arrow strings)."""
        labels = self.tickers[columns] if tickers is None else tickers
        if labels.dtype != object:
            labels = self._plain_labels(labels)
        return pd.DataFrame(self.returns[start:bar + 1, columns], index=self.dates[start:bar + 1],
                            columns=labels, copy=False)

    def _plain_labels(self, labels: pd.Index) -> pd.Index:
        last = self._last_labels
        if last is None or last[0] is not labels:
            last = self._last_labels = (labels, pd.Index(labels.to_numpy(dtype=object), dtype=object,
                                                         name=labels.name))
        return last[1]

    def history(self, start: int, bar: int, columns: np.ndarray) -> Market:
        """The market a function sees: the closes from the one before the
        window's first return to the refit date, the window's tickers."""
        rows = slice(max(start - 1, 0), bar + 1)
        frames = {name: getattr(self.market, name)
                  for name in ("open", "high", "low", "close", "volume", "dividends", "splits")}
        return Market(**{name: frame.iloc[rows, columns] for name, frame in frames.items() if frame is not None})


def _events(market: Market, dividends: Any, splits: Any) -> tuple[np.ndarray | None, np.ndarray | None]:
    """Per bar and ticker the shares one share becomes (a split's ratio, 1
    without one) and the cash it pays, on the market's dates and tickers
    (None where there are no such events)."""
    dividends = market.dividends if dividends is None else (None if dividends is False else dividends)
    splits = market.splits if splits is None else (None if splits is False else splits)

    def cells(frame: pd.DataFrame | None) -> np.ndarray | None:
        if frame is None:
            return None
        return frame.reindex(index=market.dates, columns=market.tickers).to_numpy(dtype=np.float64)

    ratio, cash = cells(splits), cells(dividends)
    if ratio is not None:
        ratio = np.where(np.isnan(ratio) | (ratio == 0), 1.0, ratio)
    if cash is not None:
        cash = np.nan_to_num(cash, nan=0.0)
    return ratio, cash


def lookback_start(dates: pd.DatetimeIndex, bar: int, lookback: Lookback) -> int:
    """The first bar whose return a fit on ``bar`` sees: ``lookback`` bars of
    returns up to ``bar`` (a number), the returns dated after ``date -
    lookback`` (a calendar length such as ``"1Y"``), or every return from the
    second bar on (None: an expanding window). May be below 1 when the
    market is too short for the window."""
    if lookback is None:
        return 1
    length = window_length(lookback, "lookback")
    if isinstance(length, int):
        return bar - length + 1
    return int(dates.searchsorted(dates[bar] - length, side="right"))


# --------------------------------------------------------------------------
# One refit
# --------------------------------------------------------------------------

@dataclass
class Fit:
    """One refit: the ``weights`` (a Series over the ``tickers`` the fit saw,
    0 for those it left out) that become the target from the bar after
    ``date``; ``start`` is the date of the first return it saw, ``bar`` the
    refit's bar; ``estimator`` the fitted clone (None for a function)."""

    date: pd.Timestamp
    bar: int
    start: pd.Timestamp
    weights: pd.Series
    estimator: Any = None
    #: The market's column of every ticker of ``weights``.
    columns: np.ndarray | None = field(default=None, repr=False)

    @property
    def tickers(self) -> pd.Index:
        return self.weights.index


def refit(strategy: Any, market: Market | pd.DataFrame | MarketData, date: Any, *,
          lookback: Lookback = 252, previous_weights: pd.Series | Mapping[Any, float] | None = None,
          missing: Missing = "drop") -> Fit:
    """Fit ``strategy`` on the window that ends at ``date``'s close (the last
    bar at or before it; a bar number also works).

    ``lookback`` is the window (see :func:`lookback_start`); the fit needs
    at least 2 returns. ``previous_weights`` (by ticker) is given to a
    strategy that asks for it, aligned to the window's tickers (0 for a
    ticker it does not list). Raises :class:`FitError` naming the window
    when the strategy raises or its weights cannot be traded.
    """
    strategy = as_strategy(strategy)
    data = MarketData.of(market)
    bar = data.bar(date)
    start = lookback_start(data.dates, bar, lookback)
    where = _Where(data, max(start, 1), bar)
    if start < 1 or bar - start + 1 < 2:
        raise FitError(f"{where}: lookback={lookback!r} needs returns from before the market's "
                       f"second bar {data.dates[min(1, len(data.dates) - 1)].date()}; a fit needs "
                       f"at least 2 returns")
    columns = data.columns(start, bar, missing)
    if not len(columns):
        raise FitError(f"{where}: no ticker is priced on {data.dates[bar].date()}"
                       + (" with closes over the whole window" if missing == "drop" else ""))
    tickers = data.tickers_of(columns)
    previous = None
    if previous_weights is not None and strategy.needs_previous:
        previous = pd.Series(previous_weights, dtype=np.float64).reindex(tickers, fill_value=0.0)
    try:
        if strategy.kind == "estimator":
            estimator = strategy._configured()
            if previous is not None:
                _last_step(estimator).set_params(previous_weights=previous.to_numpy())
            estimator.fit(data.window_returns(start, bar, columns, tickers))
            raw, names = _estimator_weights(estimator)
        else:
            estimator = None
            kwargs = dict(strategy.params)
            if previous is not None:
                kwargs["previous_weights"] = previous
            raw, names = strategy.target(data.history(start, bar, columns), **kwargs), None
    except Exception as exc:
        raise FitError(f"{where}: {strategy.label()} raised {type(exc).__name__}: {exc}") from exc
    weights = _checked_weights(raw, names, tickers, data, where)
    return Fit(date=data.dates[bar], bar=bar, start=data.dates[start], weights=weights, estimator=estimator,
               columns=columns)


class _Where:
    """The window in a message, written only when one is."""

    def __init__(self, data: MarketData, start: int, bar: int) -> None:
        self.dates, self.start, self.bar = data.dates, start, bar

    def __format__(self, format_spec: str) -> str:
        first, last = self.dates[min(self.start, self.bar)].date(), self.dates[self.bar].date()
        return f"the fit on {first} .. {last} (refit on {last})"


def _estimator_weights(estimator: Any) -> tuple[Any, Any]:
    """The fitted weights and the asset names they go with (None: the
    window's columns), from the step that holds them."""
    step = _last_step(estimator)
    weights = getattr(step, "weights_", None)
    if weights is None:
        raise ValueError("the estimator set no weights_ (a failed optimisation?)")
    names = getattr(step, "feature_names_in_", None)
    return weights, names


def _checked_weights(raw: Any, names: Any, tickers: pd.Index, data: MarketData, where: _Where) -> pd.Series:
    """The weights by ticker over the window's tickers, or a FitError."""
    if isinstance(raw, Mapping):
        raw = pd.Series(raw, dtype=np.float64)
    if isinstance(raw, pd.Series):
        labels, values = raw.index, raw.to_numpy(dtype=np.float64)
    else:
        values = np.asarray(raw, dtype=np.float64)
        if values.ndim != 1:
            raise FitError(f"{where}: the weights must be one per asset, got an array of shape {values.shape}")
        if names is None or (len(names) == len(tickers) and (np.asarray(names, dtype=object)
                                                               == tickers.to_numpy(dtype=object)).all()):
            if len(values) != len(tickers):
                raise FitError(f"{where}: {len(values)} weights for the window's {len(tickers)} tickers")
            if not np.isfinite(values).all():
                bad = ~np.isfinite(values)
                raise FitError(f"{where}: weights that are not finite numbers for {listing(tickers[bad])}")
            return pd.Series(values, index=tickers, copy=False)
        labels = pd.Index(names)
        if len(labels) != len(values):
            raise FitError(f"{where}: {len(values)} weights for the {len(labels)} assets the estimator names")
    if labels.has_duplicates:
        raise FitError(f"{where}: the weights name tickers more than once: "
                       f"{listing(labels[labels.duplicated()].unique())}")
    outside = labels.difference(tickers, sort=False)
    if len(outside):
        unknown = outside.difference(data.tickers, sort=False)
        if len(unknown):
            raise FitError(f"{where}: weights for tickers the market does not have: {listing(unknown)}")
        raise FitError(f"{where}: weights for tickers the window does not hold (not listed and "
                       f"priced on the refit date, or without closes over the whole window): "
                       f"{listing(outside)}")
    bad = ~np.isfinite(values)
    if bad.any():
        raise FitError(f"{where}: weights that are not finite numbers for {listing(labels[bad])}")
    return pd.Series(values, index=labels, dtype=np.float64).reindex(tickers, fill_value=0.0)
