"""The outcome of a backtest: equity curve, trade log, next-day operations,
statistics and plots, labelled with the caller's dates and tickers."""

from __future__ import annotations

import math
import warnings
from functools import cached_property
from pathlib import Path
from collections.abc import Callable
from typing import TYPE_CHECKING, Any

import numpy as np
import pandas as pd

from .book import book_of, market_limited
from .fills import EXIT_REASONS, fill_figures, fill_frame, pending_frame
from .settings import account_parts
from .orders import (DATE_COLUMNS, WEIGHT_COLUMNS, Book, Costs, Orders, account_orders,
                     simulated_orders, unpriced_note)
from .stats import (STAT_LABELS, CurveFigures, _trade_stats, curve_figures, drawdown, format_figures, format_statistics,
                    printout, sharpe_line)
from .stats import ledger_trade_figures as stats_ledger_trade_figures

if TYPE_CHECKING:
    from matplotlib.figure import Figure

__all__ = ["Result", "ACTIONS", "METRICS"]

# Six values per excursion group, in the recorder's order.
METRICS = ("mae", "mfe", "bmfe", "mdd", "profit_bars", "return")

ACTIONS = {
    "enter": "buy: a rebalance is due and the next signal holds the stock",
    "exit": "sell: a rebalance is due and the next signal drops the stock",
    "hold": "keep: a rebalance is due and the stock stays in the signal",
    "tp": "sell: the close crossed the take-profit side of a stop level",
    "sl": "sell: the close crossed the stop-loss side of a stop level",
    "tp_enter": "take-profit mark on a stock the next signal holds again",
    "sl_enter": "stop-loss mark on a stock the next signal holds again",
    "tp_": "stopped out on the profit side since the last rebalance",
    "sl_": "stopped out on the loss side since the last rebalance",
}

def _dates(ns: np.ndarray, like: pd.DatetimeIndex, missing: np.ndarray | None = None) -> pd.DatetimeIndex:
    """int64 nanoseconds back to dates in the unit and timezone of ``like``."""
    values = np.asarray(ns, dtype=np.int64).astype("datetime64[ns]")
    if missing is not None:
        values[missing] = np.datetime64("NaT")
    dates = pd.DatetimeIndex(values)
    if like.tz is not None:
        dates = dates.tz_localize("UTC").tz_convert(like.tz)
    return dates.as_unit(like.unit)


def _excursion_columns(window: int, window_step: int) -> tuple[list[str], int]:
    size = ((window - 1) // window_step) * 6 + 12
    offsets = [g * window_step for g in range(size // 6 - 1)]
    names = [f"{m}_{k}" for k in offsets for m in METRICS]
    exit_group = [m if m != "return" else "excursion_return" for m in METRICS]
    return names + exit_group, size


def _holding_bars(t: dict[str, np.ndarray], n_bars: int) -> np.ndarray:
    return (np.where(t["exit_bar"] < 0, n_bars, t["exit_bar"]) - t["entry_bar"]).astype(np.int64)


def _trade_frame(trades: dict[str, np.ndarray], excursions: np.ndarray, order: np.ndarray,
                 context: dict[str, Any], shares: bool = False, dividends: bool = False) -> pd.DataFrame:
    """The native ledger's trade columns as the caller's table, in ``order``
    (the engine's entry order); with ``shares`` (an account run) the signed
    shares of every trade after its prices."""
    index = context["close_index"]
    price_ns = index.as_unit("ns").asi8
    tickers = np.array(list(context["tickers"]) + [None], dtype=object)
    n = len(trades["sid"])
    t = {k: v[order] for k, v in trades.items()}
    is_open = t["exit_bar"] < 0
    fill_exit = np.where(is_open, 0, t["fill_exit_bar"])
    entry_bar = t["fill_entry_bar"]
    holding = _holding_bars(t, len(index))
    frame = pd.DataFrame({
        "ticker": pd.Series(tickers[t["sid"]], dtype=object),
        "entry_date": _dates(price_ns[entry_bar], index),
        "exit_date": _dates(price_ns[fill_exit], index, is_open),
        "entry_price": t["entry_price"],
        "exit_price": t["exit_price"],
        **({"shares": t["shares"]} if shares else {}),
        "weight": t["weight"],
        "holding_bars": holding.astype(np.int64),
        "pnl": t["pnl"],
        **({"dividends": t["dividends"]} if dividends else {}),
        "return": t["return"],
        "exit_reason": pd.Categorical.from_codes(t["reason"].astype(np.int64), EXIT_REASONS),
    })
    names, size = _excursion_columns(context["window"], context["window_step"])
    groups = excursions[order].copy()
    # A window group the trade never reached is written as six -1.0; the
    # profit-bar count is never negative otherwise, so it identifies them.
    groups[groups[:, :, 4] == -1.0] = np.nan
    exc = pd.DataFrame(groups.reshape(n, size), columns=names)
    exc["profit_bars"] = exc["profit_bars"].astype(np.int64)
    exit_names = names[-6:]
    bars = pd.DataFrame({
        "entry_bar": entry_bar.astype(np.int64),
        "exit_bar": pd.arrays.IntegerArray(fill_exit.astype(np.int64), is_open),
    })
    return pd.concat([frame, exc[exit_names + names[:-6]], bars], axis=1)


def ledger_trade_figures(run: Any) -> dict[str, float]:
    """The trade figures of a native run from its ledger's columns, equal to
    those of its trade log (see :func:`vostra.stats.ledger_trade_figures`)."""
    return stats_ledger_trade_figures(*_trade_columns(run))


def _trade_columns(run: Any) -> tuple[np.ndarray, ...]:
    """What the trade figures read of a native run's ledger."""
    trades = run.trades
    return run.entry_order, trades["exit_bar"], trades["entry_bar"], trades["return"], run.excursions


def _operations_frame(report: dict[str, Any], tickers: list[Any]) -> pd.DataFrame:
    actions = report.get("actions", {})
    weights = report.get("weights", {})
    next_weights = report.get("next_weights", {})
    sids = sorted(set(actions) | set(weights) | set(next_weights))
    return pd.DataFrame({
        "ticker": pd.Series([tickers[s] for s in sids], dtype=object),
        "action": pd.Series([actions.get(s) for s in sids], dtype=object),
        "current_weight": np.array([float(weights.get(s, 0.0)) for s in sids], dtype=np.float64),
        "next_weight": np.array([float(next_weights.get(s, 0.0)) for s in sids], dtype=np.float64),
    })


class _Later:
    """A value made when it is first read: the engine's result labels its
    arrays with pandas only when they are asked for (printing needs none)."""

    __slots__ = ("_make", "_value")

    def __init__(self, make: Callable[[], Any]) -> None:
        self._make: Callable[[], Any] | None = make
        self._value: Any = None

    def get(self) -> Any:
        if self._make is not None:
            self._value, self._make = self._make(), None
        return self._value


class _Deferred:
    """An attribute set to a value, or to a :class:`_Later` that makes it
    when first read; setting it again replaces either."""

    def __set_name__(self, owner: type, name: str) -> None:
        self._slot = f"_{name}_given"

    def __get__(self, obj: Any, owner: type | None = None) -> Any:
        if obj is None:
            return self
        value = obj.__dict__[self._slot]
        return value.get() if isinstance(value, _Later) else value

    def __set__(self, obj: Any, value: Any) -> None:
        obj.__dict__[self._slot] = value


_TRADES_AT = list(STAT_LABELS).index("trades")


class Result:
    """Outcome of :func:`vostra.backtest`.

    Attributes
    ----------
    equity : pandas.Series
        Portfolio value on every price date, starting from 1.0.
    trades : pandas.DataFrame
        One row per trade record from the engine's ledger, sorted by entry:
        ``ticker``; ``entry_date`` and ``exit_date``, the bars whose trading
        prices filled the trade (an entry on a bar without a price is filled
        at the next bar with one; NaT for a trade still open at the end);
        ``entry_price`` and ``exit_price`` (an intrabar stop fills at its
        level, or at the open when the open gapped through it; an exit on a
        bar without a price is sold at the value it was carried at, the last
        price shown); ``weight`` (portfolio fraction at entry);
        ``holding_bars``; ``pnl``, the cash the trade moved plus its value
        when it ended, in units of the starting capital and net of the fee
        and tax charged to it (a trade still open is marked at the last
        close), so ``trades["pnl"].sum()`` equals ``equity.iloc[-1] - 1``;
        ``return``, ``pnl`` over the position's value at entry; and
        ``exit_reason``: "rebalance", "stop_loss", "take_profit",
        "trail_stop", "delisting" or "open". A position kept through a
        rebalance with ``split_trades`` is two records: the first ends at the
        position's value ("rebalance") and the second takes it over; the fee
        and tax of a resize at a rebalance belong to the record that holds the
        position after it. With ``capital``, a record that is not split enters
        at the share-weighted mean of every fill that opened or added to it
        (over several orders and bars); a sale before its close keeps that
        cost per share, and what it earned over it is in ``pnl`` beside
        (exit - entry) x shares; a position that flips from long to short
        (or back) is two records, the first ending at the fill that flips it.
        Then the excursion metrics at the exit, all
        close-based (close-to-close from the entry trading price, with the
        entry fee): ``mae`` (maximum adverse excursion, ≤ 0), ``mfe``
        (maximum favourable excursion, ≥ 0), ``bmfe`` (the best excursion
        reached before the MAE was set), ``mdd`` (maximum drawdown within the
        trade), ``profit_bars`` (bars closed in profit) and
        ``excursion_return`` (the close-based return, after the exit costs
        when the trade reaches past the excursion window). With ``window`` >
        0 the same six metrics at each sampled bar offset ``k`` follow as
        ``mae_k``, ..., ``return_k`` (NaN where the data end before offset
        ``k``). Last, ``entry_bar``/``exit_bar``: row numbers of the fill bars.
    operations : pandas.DataFrame
        Orders for the next trading day: ``ticker``, ``action`` (see
        :data:`ACTIONS`; None when nothing is to be done), ``current_weight``
        (weights of the last executed rebalance) and ``next_weight`` (weights
        of the latest signal, both normalised like the engine trades them).
    weight_date, next_weight_date
        Signal dates of the last executed rebalance and of the latest signal
        (None when there is none).
    stats : pandas.Series
        Statistics from the first executed rebalance on (see
        :func:`vostra.stats.statistics`); their conventions are in
        ``stats.attrs`` and under the printed table. A result of the engine
        takes its trade figures from the ledger's arrays, so printing it
        does not build the trade log.
    returns : pandas.Series
        The bar returns the statistics are computed on (see :attr:`returns`).
    start : pandas.Timestamp or None
        The first executed rebalance that traded: the earliest entry date of
        the trade log (None without trades).
    fee, tax, periods_per_year, risk_free
        The run's costs, the annualisation factor asked for (None: inferred
        from the dates, 252 a year for daily bars) and the annual risk-free
        rate of Sharpe and Sortino.
    traded : pandas.Series or None
        Traded value per bar, in units of the starting capital, when the
        engine reports it; the turnover statistic needs it.
    close : pandas.DataFrame or None
        The close prices the backtest ran on (the report's default benchmark
        is their equal-weighted universe).
    prices : dict
        The other price frames the backtest ran on, as given (not copied):
        ``open``, ``high``, ``low``, ``volume`` and, for ``trade_at`` given as
        a frame, ``trading``; those not given are left out.
        :meth:`plot_ticker` draws them.
    settings : dict
        The options of the call that the report states (trade price,
        rebalance schedule, fee, tax, exits).

    In a notebook a Result shows its period, costs, statistics and a small
    equity chart; :meth:`plot` returns matplotlib figures and :meth:`report`
    writes an interactive HTML report.
    """

    equity = _Deferred()
    start = _Deferred()
    weight_date = _Deferred()
    next_weight_date = _Deferred()

    def __init__(self, equity: pd.Series, trades: pd.DataFrame | Callable[[], pd.DataFrame],
                 operations: pd.DataFrame | Callable[[], pd.DataFrame], *,
                 weight_date: pd.Timestamp | None = None,
                 next_weight_date: pd.Timestamp | None = None,
                 start: pd.Timestamp | None = None,
                 traded: pd.Series | None = None, fee: float | None = None,
                 tax: float | None = None, periods_per_year: float | None = None,
                 close: pd.DataFrame | None = None, settings: dict[str, Any] | None = None,
                 per_bar: dict[str, np.ndarray] | None = None,
                 trade_columns: Callable[[], tuple[np.ndarray, ...]] | None = None,
                 risk_free: float = 0.0, capital: float = 1.0,
                 shares: pd.Series | None = None,
                 prices: dict[str, pd.DataFrame | None] | None = None,
                 book: Book | Callable[[], Book] | None = None,
                 fill_source: tuple[Any, dict[str, Any], bool] | None = None) -> None:
        # The deferred attributes' slots, written as their __set__ does: four
        # calls fewer in every backtest.
        slots = self.__dict__
        slots["_equity_given"], slots["_start_given"] = equity, start
        slots["_weight_date_given"], slots["_next_weight_date_given"] = weight_date, next_weight_date
        # The ledger's columns the trade figures are read from (None: from the trade log).
        self._trade_columns = trade_columns
        self.risk_free = risk_free
        #: The starting capital (1.0 for the normalised account).
        self.capital = capital
        #: Shares held per ticker after the last bar (runs with the account options).
        self.shares = shares
        self._book = book
        # An account run's arrays, their labels and whether the market's
        # limits applied: the fills and pending orders are built from them.
        self._fill_source = fill_source
        self._start_position: tuple[Any, int | None] = (None, None)
        # The engine's curve, its dates and their wall-clock nanoseconds (or
        # None), with the _Later the equity was given as: while it stands,
        # the statistics read the curve without a Series.
        self._curve: tuple[Any, np.ndarray, pd.Index, np.ndarray | None] | None = None
        self._per_bar = per_bar or {}
        self._trades = trades
        self._operations = operations
        self.close = close
        self.prices = {k: v for k, v in (prices or {}).items() if v is not None}
        self.settings = dict(settings or {})
        if traded is not None:
            self.traded = traded
        self.fee = fee
        self.tax = tax
        self.periods_per_year = periods_per_year

    def statistics(self, benchmark: pd.Series | None = None,
                   periods_per_year: float | None = None, risk_free: float | None = None) -> pd.Series:
        """The statistics of this run (see :func:`vostra.stats.statistics`),
        optionally against a ``benchmark`` (prices or equity on the same
        dates), with another annualisation factor or another annual
        risk-free rate."""
        return self._with_fills(self._figures(benchmark, periods_per_year, risk_free).series())

    def _with_fills(self, stats: pd.Series) -> pd.Series:
        if self._fills_limited():
            # Under the market's limits: how much of what was ordered filled, and how late.
            kept = self.__dict__.get("_kept_fills")
            figures = fill_figures(self._fill_source[0]) if kept is None else kept[2]
            for key, value in figures.items():
                stats.loc[key] = value
        return stats

    def _fills_limited(self) -> bool:
        kept = self.__dict__.get("_kept_fills")
        if kept is not None:
            return kept[3]
        return self._fill_source is not None and self._fill_source[2]

    def _figures(self, benchmark: pd.Series | None = None, periods_per_year: float | None = None,
                 risk_free: float | None = None) -> CurveFigures:
        if periods_per_year is None:
            periods_per_year = self.periods_per_year
        if risk_free is None:
            risk_free = self.risk_free
        # The ledger's arrays give the trade figures unless the trade log is
        # at hand already: printing a result need not build it.
        trade_stats = trade_columns = None
        if self._trade_columns is not None and "trades" not in self.__dict__:
            trade_columns = self._trade_columns()
        else:
            trade_stats = _trade_stats(self.trades)
        # The engine's own arrays where there are some, without a Series each.
        traded, holdings = self._per_bar.get("traded"), self._per_bar.get("holdings")
        # The engine told the start's bar; it holds while start is what it gave.
        given, position = self._start_position
        engine_start = position is not None and self.__dict__.get("_start_given") is given
        curve = self._curve
        if curve is not None and self.__dict__.get("_equity_given") is curve[0]:
            full, index, local_ns = curve[1], curve[2], curve[3]
        else:
            equity = self.equity
            full, index, local_ns = equity.to_numpy(dtype=np.float64), equity.index, None
        full = self._time_weighted(full)
        return curve_figures(full, index, trade_stats, start=given if engine_start else self.start,
                             start_position=position if engine_start else None,
                             traded=self.traded if traded is None else traded,
                             periods_per_year=periods_per_year, benchmark=benchmark,
                             fee=self.fee, tax=self.tax, risk_free=risk_free,
                             holdings=self.holdings if holdings is None else holdings, local_ns=local_ns,
                             trade_columns=trade_columns)

    @cached_property
    def _default_figures(self) -> CurveFigures:
        return self._figures()

    @cached_property
    def fills(self) -> pd.DataFrame | None:
        """Every fill of an account run (with ``capital`` or another account
        option; None otherwise): ``date``, ``ticker``, ``shares`` (+ bought,
        - sold), ``price`` (after slippage), ``value``, ``cost``, ``reason``
        (rebalance, stop_loss, take_profit, trail_stop, delisting),
        ``completed`` (whether the fill ended its order), ``cut`` (it ended a
        purchase the cash cut short of its target; the rest is not pending)
        and ``order_date``."""
        kept = self.__dict__.get("_kept_fills")
        if kept is not None:
            return kept[0]
        return None if self._fill_source is None else fill_frame(*self._fill_source[:2])

    @cached_property
    def pending(self) -> pd.DataFrame | None:
        """The orders still waiting after the last bar under the market's
        limits: ``ticker``, ``order_date``, ``reason``, ``target`` (the
        shares the order moves to), ``ordered`` (the change it asked for),
        ``remaining`` and ``price`` (the trading price on the order's bar).
        None without the account options."""
        kept = self.__dict__.get("_kept_fills")
        if kept is not None:
            return kept[1]
        return None if self._fill_source is None else pending_frame(*self._fill_source[:2])

    @property
    def returns(self) -> pd.Series:
        """The bar returns of the statistics' window: from the first executed
        rebalance on, the first measured from the close of the bar before it
        (the starting capital). Empty when the equity reaches 0 or below
        before its last bar (the returns after it are undefined)."""
        equity = self.equity
        anchor = max(int(equity.index.searchsorted(self.start)) - 1, 0) if self.start is not None else 0
        values = self._time_weighted(equity.to_numpy(dtype=np.float64))[anchor:]
        if len(values) < 2 or not (np.all(values[:-1] > 0) and np.all(np.isfinite(values))):
            return pd.Series([], index=equity.index[:0], name="returns", dtype=np.float64)
        return pd.Series(values[1:] / values[:-1] - 1.0, index=equity.index[anchor + 1:], name="returns")

    def _time_weighted(self, equity: np.ndarray) -> np.ndarray:
        """The curve the statistics read: the equity itself, or with cash
        flows its time-weighted index (each bar's return the equity over the
        equity before it plus the bar's flow, which comes at its open), so
        that a deposit is not a gain."""
        flows = self._per_bar.get("flows")
        if flows is None or not flows.any():
            return equity
        before = np.concatenate(([self.capital], equity[:-1])) + flows
        with np.errstate(divide="ignore", invalid="ignore"):
            growth = np.where(before != 0, equity / before, np.nan)
        return self.capital * np.cumprod(growth)

    def _bar_series(self, name: str, dtype: Any = None) -> pd.Series | None:
        values = self._per_bar.get(name)
        if values is None:
            return None
        return pd.Series(values if dtype is None else values.astype(dtype), index=self.equity.index, name=name)

    @cached_property
    def traded(self) -> pd.Series | None:
        """Traded value per bar (None when the engine did not report it)."""
        return self._bar_series("traded")

    @cached_property
    def costs(self) -> pd.Series | None:
        """Fee and tax paid on each bar (None when the engine did not report them)."""
        return self._bar_series("costs")

    @cached_property
    def interest(self) -> pd.Series:
        """Interest earned (negative: paid) on the cash on each bar, with
        ``cash_rate``; 0 without it."""
        series = self._bar_series("interest")
        return series if series is not None else pd.Series(0.0, index=self.equity.index, name="interest")

    @cached_property
    def dividends(self) -> pd.Series:
        """Dividends on each bar: with ``capital`` the cash received (negative:
        paid by shorts; also per trade in the trade log's ``dividends``),
        without it what was reinvested in the holdings (part of their
        ``pnl``); 0 without dividends."""
        series = self._bar_series("dividends")
        return series if series is not None else pd.Series(0.0, index=self.equity.index, name="dividends")

    @cached_property
    def flows(self) -> pd.Series:
        """Cash deposited (negative: withdrawn) on each bar, with ``cash_flows``."""
        series = self._bar_series("flows")
        return series if series is not None else pd.Series(0.0, index=self.equity.index, name="flows")

    @cached_property
    def exposure(self) -> pd.Series | None:
        """Gross value of the positions over the equity on each bar."""
        gross = self._per_bar.get("gross")
        if gross is None:
            return self._bar_series("exposure")
        with np.errstate(invalid="ignore", divide="ignore"):
            return pd.Series(gross / self.equity.to_numpy(), index=self.equity.index, name="exposure")

    @cached_property
    def holdings(self) -> pd.Series | None:
        """Positions held at the close of each bar."""
        return self._bar_series("holdings", np.int64)

    @cached_property
    def operations(self) -> pd.DataFrame:
        """The next-day operations (built from the engine's report when first
        asked for)."""
        operations = self._operations
        return operations() if callable(operations) else operations

    @cached_property
    def trades(self) -> pd.DataFrame:
        """The trade log (built from the native ledger when first asked for)."""
        trades = self._trades
        return trades() if callable(trades) else trades

    @cached_property
    def stats(self) -> pd.Series:
        return self._with_fills(self._default_figures.series())

    @property
    def drawdown(self) -> pd.Series:
        """Distance of the equity below its running peak (0 or negative)."""
        return drawdown(self.equity)

    @cached_property
    def book(self) -> Book | None:
        """The account after the last bar that the orders are worked out from
        (None for a result made without the engine's final state)."""
        book = self._book
        return book() if callable(book) else book

    @property
    def orders(self) -> Orders:
        """The orders for the bar after the last one: a row for every stock
        held at the last bar or in the target, in the signal's column order.

        ``action`` in words ("buy", "sell", "hold", "sell short", "buy to
        cover"; a sale for a close-mode exit mark names its rule, e.g. "sell
        (stop loss)"); ``current_weight``, the value at the last close over
        the equity; ``target_weight``, the weight after the next bar's
        orders (the next signal's weights when a rebalance is due, else the
        current weight, 0 for a holding sold for an exit mark); and the
        prices to watch on the next bar, NaN where no such rule is set:
        ``stop_price``, ``take_profit_price`` and ``trail_price`` (once the
        trailing stop is armed), each the price at (or beyond) which the rule
        fires: the next bar's low or high in intrabar mode, its close in
        close mode. ``status`` is "ok", or "no price on the last bar" for a
        stock whose close is missing on the market's last bar: a row held or
        targeted so is kept as it is, not traded ("hold (no price on the
        last bar)"; a warning names them), unless its delisting was stated
        (the ``delisting`` mapping, or a Market's given ``delisted``).
        ``attrs`` (and the printout) hold whether a rebalance is
        due on the next bar, the next scheduled one, the equity and the
        cash. ``orders.to_csv(path)`` writes them as any frame.

        Under the market's limits (``max_volume_share``, ``price_limit``,
        ``blocked``) the orders still waiting after the last bar
        (:attr:`pending`) have rows too, and ``waiting_shares`` says how
        many shares each still asks for (its ``remaining``). Without a
        rebalance due they go on on the next bar: ``target_shares`` is the
        order's target, ``action`` says "(waiting order)" or names the exit
        rule ("sell (stop loss, waiting)"), and the market may again fill
        only part. A rebalance due on the next bar replaces them."""
        book = self.book
        if book is None:
            return Orders({c: [] for c in WEIGHT_COLUMNS + DATE_COLUMNS})
        return _warned(simulated_orders(book))

    def orders_for(self, holdings: Any, cash: float, *, lot_size: Any = None,
                   min_fee: float | None = None, slippage: float | None = None) -> Orders:
        """The orders that take the account you really hold to the simulated
        one's weights after the next bar, in proportion to its value at the
        last close (``cash`` plus ``holdings``, shares by ticker as a mapping
        or Series, at the last closes).

        Columns as :attr:`orders`, with ``current_shares``,
        ``target_shares`` (rounded toward zero to whole lots of
        ``lot_size``: one number or a mapping by ticker; by default the
        run's, or whole shares), ``trade_shares``, ``price`` (the last close used for
        sizing), ``trade_value`` and ``est_cost`` (the run's fee and tax,
        ``min_fee`` per fill and ``slippage`` on the fill price). Sales come
        first; each purchase, in row order, is cut by whole lots until the
        cash left pays for it with its costs. A stock without a close on the
        last bar is kept as held, as in :attr:`orders`."""
        book = self.book
        if book is None:
            raise ValueError("this result has no final account state to size orders from")
        base = book.costs
        costs = Costs(base.fee, base.tax, base.min_fee if min_fee is None else float(min_fee),
                      base.slippage if slippage is None else float(slippage))
        if not (math.isfinite(costs.min_fee) and costs.min_fee >= 0):
            raise ValueError(f"min_fee must be a finite amount of at least 0, got {costs.min_fee!r}")
        if not (math.isfinite(costs.slippage) and 0 <= costs.slippage < 1):
            raise ValueError(f"slippage must be a fraction in [0, 1), got {costs.slippage!r}")
        if lot_size is None:
            lot_size = 1 if book.lot_size is None else book.lot_size
        return _warned(account_orders(book, holdings, cash, lot_size=lot_size, costs=costs))

    def confidence(self, statistics: Any = None, level: float = 0.95, method: str = "stationary",
                   block: float | None = None, samples: int = 10_000, seed: Any = None) -> pd.DataFrame:
        """How sure the statistics are: for each figure of the bar returns
        (:attr:`returns`) its point ``value`` and a bootstrap interval at
        ``level``, the percentile one (``low``, ``high``) and the
        bias-corrected and accelerated one (``bca_low``, ``bca_high``, NaN
        where the bias cannot be corrected), and ``std_error``, the spread
        of the resampled figure.

        ``method="stationary"`` (default) resamples blocks of bars that
        start at a random bar and run on (past the last bar to the first)
        for a geometric number of bars with mean ``block`` (Politis and
        Romano), so that the autocorrelation of the returns is kept;
        ``block=None`` estimates it as ``arch.bootstrap.optimal_block_length``
        does. ``method="iid"`` resamples single bars. ``samples`` series are
        drawn from ``numpy.random.default_rng(seed)``: a seed gives the same
        table every time. ``statistics`` names the figures (default: all of
        :data:`vostra.results.confidence.CONFIDENCE_KEYS`, the summary
        figures of the returns first); trade, calendar and benchmark figures
        are not functions of the bar returns and have no interval here.
        ``attrs`` holds ``level``, ``method``, ``block``, ``samples``,
        ``bars`` and ``seed``. Once computed, the Sharpe ratio's interval is
        also printed with the result and shown in its report. Needs
        ``pip install 'vostra[research]'`` (arch, scipy)."""
        from .confidence import confidence_table

        attrs = self._default_figures.attrs
        table = confidence_table(self.returns.to_numpy(), attrs["periods_per_year"],
                                 rate=attrs.get("risk_free") or 0.0, statistics=statistics, level=level,
                                 method=method, block=block, samples=samples, seed=seed)
        if "sharpe" in table.index:
            self.__dict__["_sharpe_interval"] = (table.attrs["level"], table.at["sharpe", "low"],
                                                 table.at["sharpe", "high"], table.attrs["method"])
        return table

    def plot(self, out_dir: str | Path | None = None, prefix: str = "", *,
             log: bool | None = None, benchmark: pd.Series | None = None) -> dict[str, Figure]:
        """The plots as matplotlib figures by name: ``equity`` (with its
        drawdown, against ``benchmark``, a price series or equity curve,
        by default the equal-weighted universe of the close prices; on a log
        scale with ``log=True``, and by default when the
        curves span more than a factor of ten), ``excursions`` (MAE against
        MFE) and ``returns`` (histogram of trade returns). A notebook shows
        them inline. With ``out_dir`` they are also written there as
        ``<prefix><name>.png`` (the folder is created if needed)."""
        from ..views.plots import result_figures, save_figures

        figures = result_figures(self, log=log, benchmark=benchmark)
        if out_dir is not None:
            save_figures(figures, Path(out_dir), prefix)
        return figures

    def plot_ticker(self, ticker: Any) -> Any:
        """A plotly figure of one ticker: its candles (the close as a line
        when the backtest had no open, high and low prices), its volume when
        the backtest had it, every entry and exit with its reason and return,
        the rebalances the position was kept through, and the stop and
        take-profit levels each trade was held under. Raises KeyError for a
        ticker the prices do not have. In a notebook it draws with
        plotly, and an exported notebook keeps it as HTML."""
        from ..views.drilldown import ticker_figure

        return ticker_figure(self, ticker)

    def report(self, path: str | Path | None = None, *, benchmark: pd.Series | None = None,
               title: str | None = None, sweep: pd.DataFrame | None = None,
               tickers: list[Any] | None = None) -> str:
        """Interactive HTML report in one self-contained file (plotly's
        JavaScript embedded, it opens offline): equity against a benchmark
        with the worst drawdowns, monthly and yearly returns, the return
        distribution, rolling Sharpe, volatility and beta, holdings,
        exposure, turnover, trade excursions and returns, a drill-down per
        ticker (:meth:`plot_ticker`), the next-day orders and the
        statistics. ``benchmark`` is a price series or equity curve (default:
        the equal-weighted universe of the close prices, or the one ticker
        bought and held); ``sweep`` a sweep table whose best rows are added;
        ``tickers`` the tickers drilled into (default: the three with the
        most trade records; ``[]`` for none). Writes ``path`` when given and
        returns the HTML."""
        from ..views.report import build_report

        return build_report(self, path, benchmark=benchmark, title=title, sweep=sweep,
                            tickers=tickers)

    def __getstate__(self) -> dict[str, Any]:
        """The result as values only: what the engine's run makes when first
        asked for is made now, and the run itself (a native object) and the
        closures over it stay behind, so that a Result pickles (back from a
        process pool, joblib or Ray) and prints, reports and gives its
        statistics, trades, fills and orders as before."""
        kept = self.__dict__.get("_kept_fills")
        if kept is None and self._fill_source is not None:
            limited = self._fills_limited()
            kept = (self.fills, self.pending, fill_figures(self._fill_source[0]) if limited else None, limited)
        state = {k: v for k, v in self.__dict__.items() if k != "_default_figures"}
        state.update(_equity_given=self.equity, _start_given=self.start, _weight_date_given=self.weight_date,
                     _next_weight_date_given=self.next_weight_date, _trades=self.trades,
                     _operations=self.operations, _book=self.book, _trade_columns=None, _curve=None,
                     _start_position=(None, None), _fill_source=None, _kept_fills=kept)
        for name in ("trades", "operations", "book", "fills", "pending"):
            state.pop(name, None)  # the cached copies of what the state now holds
        return state

    def __setstate__(self, state: dict[str, Any]) -> None:
        self.__dict__.update(state)

    def save(self, path: str | Path) -> Path:
        """Keep this result in the folder ``path``: Parquet tables and JSON,
        readable without vostra; :func:`vostra.load_result` reads it back
        (see :func:`vostra.results.store.save_result` for the files and
        what is not kept)."""
        from .store import save_result

        return save_result(self, path)

    def _repr_html_(self) -> str:
        from ..views.report import result_html

        return result_html(self)

    def _trade_count(self) -> int:
        if "trades" in self.__dict__ or self._trade_columns is None:
            return len(self.trades)
        return int(self._default_figures.values[_TRADES_AT])

    def __repr__(self) -> str:
        # Printed from the figures as they are: no Series, no Timestamps.
        figures = self._default_figures
        text = None if self._fills_limited() else printout(figures, self._trade_count)
        if text is None:
            text = self._text(figures)
        interval = self.__dict__.get("_sharpe_interval")
        if interval is not None:
            text = sharpe_line(text, interval)
        account = account_parts(self.settings)
        return text + "\nAccount: " + ", ".join(account) if account else text

    def _text(self, figures: CurveFigures) -> str:
        """The printout but its account line, written in Python: the engine's
        :func:`vostra.stats.printout` writes the same text where it can."""
        n_bars = len(figures.index)
        if n_bars:
            head = (f"Backtest {figures.day(0)} .. {figures.day(n_bars - 1)}, "
                    f"{n_bars} bars, {self._trade_count()} trades")
        else:
            head = "Backtest (empty)"
        table = format_statistics(self.stats) if self._fills_limited() else format_figures(figures)
        return head + "\n" + table


def _warned(orders: Orders) -> Orders:
    note = unpriced_note(orders)
    if note is not None:
        warnings.warn(note, UserWarning, stacklevel=3)
    return orders


def build_result(run: Any, context: dict[str, Any]) -> Result:
    """Label the native engine's arrays with the caller's dates and tickers
    (the equity Series and the dates when first read)."""
    index = context["close_index"]
    weights_index = context["weights_index"]
    report = run.report
    def operations() -> pd.DataFrame:
        return _operations_frame(report, context["tickers"])

    def signal_date(row: Any) -> pd.Timestamp | None:
        if row is None or int(row) < 0:
            return None
        return weights_index[int(row)]

    equity = _Later(lambda: pd.Series(run.equity, index=index, name="equity", copy=False))  # the run's own array
    # The statistics start at the first executed rebalance.
    first = int(run.first_rebalance)
    start = _Later(lambda: index[first]) if first >= 0 else None
    account = run.shares is not None
    dividends = account and "dividends" in (context.get("settings") or {})
    result = Result(equity,
                    lambda: _trade_frame(run.trades, run.excursions, run.entry_order, context, account, dividends),
                    operations,
                    weight_date=_Later(lambda: signal_date(report.get("weight_time"))),
                    next_weight_date=_Later(lambda: signal_date(report.get("next_weight_time"))),
                    start=start,
                    fee=context.get("fee"), tax=context.get("tax"),
                    periods_per_year=context.get("periods_per_year"),
                    close=context.get("close"), settings=context.get("settings"),
                    prices=context.get("prices"),
                    per_bar={"traded": run.traded, "costs": run.costs, "gross": run.gross,
                             "holdings": run.holdings, "interest": run.interest,
                             **({"dividends": run.dividends, "flows": run.flows} if hasattr(run, "dividends") else {})},
                    trade_columns=lambda: _trade_columns(run),
                    risk_free=context.get("risk_free", 0.0),
                    capital=context.get("capital", 1.0),
                    shares=(pd.Series(run.shares, index=context["tickers"], name="shares")
                            if account else None),
                    book=lambda: book_of(run, context, signal_date(report.get("next_weight_time"))),
                    fill_source=(run, context, market_limited(context)) if account else None)
    result._curve = (equity, run.equity, index, context.get("local_ns"))
    #: The dividends and splits the run took, by ticker (the drill-down marks their ex-dates).
    result.events = {k: v for k, v in (context.get("events") or {}).items() if v is not None}
    if start is not None:
        result._start_position = (start, first)
    return result
