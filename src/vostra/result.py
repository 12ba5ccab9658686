"""The outcome of a backtest: equity curve, trade log, next-day operations,
statistics and plots, labelled with the caller's dates and tickers."""

from __future__ import annotations

from functools import cached_property
from pathlib import Path
from typing import TYPE_CHECKING, Any

import numpy as np
import pandas as pd

from .stats import drawdown, format_statistics, statistics

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

_TRADE_COLUMNS = ["ticker", "entry_date", "exit_date", "entry_signal_date", "exit_signal_date",
                  "weight", "holding_bars", "entry_bar", "exit_bar"]


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
    return names + list(METRICS), size


def _trade_frame(rows: list[list[Any]], excursions: list[np.ndarray], context: dict[str, Any]) -> pd.DataFrame:
    if len(excursions) != len(rows):
        raise RuntimeError(
            f"the recorder holds {len(excursions)} excursion arrays for {len(rows)} "
            f"trades; the engine's trade log is inconsistent"
        )
    index = context["close_index"]
    by_label = {str(t): t for t in context["tickers"]}
    names, size = _excursion_columns(context["window"], context["window_step"])

    exit_bar = np.array([r[8] for r in rows], dtype=np.int64)
    is_open = exit_bar == -1
    frame = pd.DataFrame({
        "ticker": pd.Series([by_label[r[0]] for r in rows], dtype=object),
        "entry_date": _dates([r[1] for r in rows], index),
        "exit_date": _dates([r[2] for r in rows], index, is_open),
        "entry_signal_date": _dates([r[3] for r in rows], index),
        "exit_signal_date": _dates([r[4] for r in rows], index, is_open),
        "weight": np.array([r[5] for r in rows], dtype=np.float64),
        "holding_bars": np.array([r[6] for r in rows], dtype=np.int64),
        "entry_bar": np.array([r[7] for r in rows], dtype=np.int64),
        "exit_bar": pd.arrays.IntegerArray(np.where(is_open, 0, exit_bar), is_open),
    })

    metrics = np.vstack(excursions) if excursions else np.empty((0, size))
    if metrics.shape[1] != size:
        raise RuntimeError(f"excursion arrays have {metrics.shape[1]} values, expected {size}")
    groups = metrics.reshape(len(rows), size // 6, 6).copy()
    # A window group the trade never reached is written as six -1.0; the
    # profit-bar count is never negative otherwise, so it identifies them.
    groups[groups[:, :, 4] == -1.0] = np.nan
    metrics = groups.reshape(len(rows), size)
    exc = pd.DataFrame(metrics, columns=names)
    exc["profit_bars"] = exc["profit_bars"].astype(np.int64)
    ordered = list(METRICS) + names[:-6]
    return pd.concat([frame, exc[ordered]], axis=1)


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


class Result:
    """Outcome of :func:`vostra.backtest`.

    Attributes
    ----------
    equity : pandas.Series
        Portfolio value on every price date, starting from 1.0.
    trades : pandas.DataFrame
        One row per trade: ``ticker``, ``entry_date``, ``exit_date`` (NaT for a
        trade still open at the end), ``entry_signal_date`` and
        ``exit_signal_date`` (the bars on which the trades were decided),
        ``weight`` (portfolio fraction at entry), ``holding_bars``,
        ``entry_bar``/``exit_bar`` (row numbers of the price frames), then the
        excursion metrics at the exit: ``return`` (after costs when the trade
        reaches past the excursion window), ``mae`` (maximum adverse
        excursion, ≤ 0), ``mfe`` (maximum favourable excursion, ≥ 0),
        ``bmfe`` (the best excursion reached before the MAE was set), ``mdd``
        (maximum drawdown within the trade) and ``profit_bars`` (bars closed
        in profit). ``return`` is NaN for a trade closed on a bar without a
        trading price (a delisting, or a suspended stock sold at a
        rebalance): the position is sold at its last value, which the equity
        curve shows, but the excursion record has no exit price. With
        ``window`` > 0 the same six metrics are given at
        each sampled bar offset ``k`` as ``mae_k``, ``mfe_k``, ... (NaN where
        the data end before offset ``k``). Excursions are close-to-close and
        relative to the entry price, with the entry fee included.
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
        ``stats.attrs`` and under the printed table.
    start : pandas.Timestamp or None
        The first executed rebalance that traded: the earliest entry date of
        the trade log (None without trades).
    fee, tax, periods_per_year
        The run's costs and the annualisation factor asked for (None: inferred
        from the dates, 252 a year for daily bars).
    traded : pandas.Series or None
        Traded value per bar, in units of the starting capital, when the
        engine reports it; the turnover statistic needs it.
    close : pandas.DataFrame or None
        The close prices the backtest ran on (the report's default benchmark
        is their equal-weighted universe).
    settings : dict
        The options of the call that the report states (trade price,
        rebalance schedule, fee, tax, exits).

    In a notebook a Result shows its period, costs, statistics and a small
    equity chart; :meth:`plot` returns matplotlib figures and :meth:`report`
    writes an interactive HTML report.
    """

    def __init__(self, equity: pd.Series, trades: pd.DataFrame, operations: pd.DataFrame, *,
                 weight_date: pd.Timestamp | None = None,
                 next_weight_date: pd.Timestamp | None = None,
                 start: pd.Timestamp | None = None, turnover: float | None = None,
                 traded: pd.Series | None = None, fee: float | None = None,
                 tax: float | None = None, periods_per_year: float | None = None,
                 close: pd.DataFrame | None = None, settings: dict[str, Any] | None = None) -> None:
        self.equity = equity
        self.trades = trades
        self.operations = operations
        self.weight_date = weight_date
        self.next_weight_date = next_weight_date
        self.start = start
        # Half the absolute change of the normalised targets over the executed
        # rebalances; the turnover statistic uses the traded value instead.
        self.turnover = turnover
        self.close = close
        self.settings = dict(settings or {})
        self.traded = traded
        self.fee = fee
        self.tax = tax
        self.periods_per_year = periods_per_year

    def statistics(self, benchmark: pd.Series | None = None,
                   periods_per_year: float | None = None) -> pd.Series:
        """The statistics of this run (see :func:`vostra.stats.statistics`),
        optionally against a ``benchmark`` (prices or equity on the same dates)
        and with another annualisation factor."""
        if periods_per_year is None:
            periods_per_year = self.periods_per_year
        return statistics(self.equity, self.trades, start=self.start, traded=self.traded,
                          periods_per_year=periods_per_year,
                          benchmark=benchmark, fee=self.fee, tax=self.tax)

    @cached_property
    def stats(self) -> pd.Series:
        return self.statistics()

    @property
    def drawdown(self) -> pd.Series:
        """Distance of the equity below its running peak (0 or negative)."""
        return drawdown(self.equity)

    @property
    def orders(self) -> pd.DataFrame:
        """The operations that need a trade or a check, i.e. with an action,
        and a ``meaning`` column saying in words what the action asks for
        (:data:`ACTIONS`)."""
        orders = self.operations[self.operations["action"].notna()].reset_index(drop=True)
        meaning = [ACTIONS.get(a, f"unknown action {a!r}") for a in orders["action"]]
        return orders.assign(meaning=pd.Series(meaning, index=orders.index, dtype=object))

    def plot(self, out_dir: str | Path | None = None, prefix: str = "", *,
             log: bool = False) -> dict[str, Figure]:
        """The plots as matplotlib figures by name: ``equity`` (with its
        drawdown; ``log=True`` for a log scale), ``excursions`` (MAE against
        MFE) and ``returns`` (histogram of trade returns). A notebook shows
        them inline. With ``out_dir`` they are also written there as
        ``<prefix><name>.png`` (the folder is created if needed)."""
        from .plots import result_figures, save_figures

        figures = result_figures(self, log=log)
        if out_dir is not None:
            save_figures(figures, Path(out_dir), prefix)
        return figures

    def report(self, path: str | Path | None = None, *, benchmark: pd.Series | None = None,
               title: str | None = None, sweep: pd.DataFrame | None = None) -> str:
        """Interactive HTML report in one self-contained file (plotly's
        JavaScript embedded, it opens offline): equity against a benchmark,
        drawdowns, monthly returns, rolling Sharpe, holdings, exposure,
        turnover, trade excursions and returns, the next-day orders and the
        statistics. ``benchmark`` is a price series or equity curve (default:
        the equal-weighted universe of the close prices); ``sweep`` a sweep
        table whose best rows are added. Writes ``path`` when given and
        returns the HTML."""
        from .report import build_report

        return build_report(self, path, benchmark=benchmark, title=title, sweep=sweep)

    def _repr_html_(self) -> str:
        from .report import result_html

        return result_html(self)

    def __repr__(self) -> str:
        if len(self.equity):
            head = (f"Backtest {self.equity.index[0].date()} .. {self.equity.index[-1].date()}, "
                    f"{len(self.equity)} bars, {len(self.trades)} trades")
        else:
            head = "Backtest (empty)"
        return head + "\n" + format_statistics(self.stats)


def build_result(creturn: np.ndarray, rows: list[list[Any]], excursions: list[np.ndarray],
                 report: dict[str, Any], context: dict[str, Any]) -> Result:
    """Label the engine's raw output with the caller's dates and tickers."""
    index = context["close_index"]
    weights_index = context["weights_index"]
    equity = pd.Series(np.asarray(creturn, dtype=np.float64), index=index, name="equity")
    trades = _trade_frame(rows, excursions, context)
    operations = _operations_frame(report, context["tickers"])

    def signal_date(row: Any) -> pd.Timestamp | None:
        if row is None or int(row) < 0:
            return None
        return weights_index[int(row)]

    # The statistics start at the first executed rebalance; the earliest entry
    # of the trade log is the first one that bought or sold anything.
    start = trades["entry_date"].min() if len(trades) else None
    return Result(equity, trades, operations,
                  weight_date=signal_date(report.get("weight_time")),
                  next_weight_date=signal_date(report.get("next_weight_time")),
                  start=start, turnover=context.get("turnover"), traded=context.get("traded"),
                  fee=context.get("fee"), tax=context.get("tax"),
                  periods_per_year=context.get("periods_per_year"),
                  close=context.get("close"), settings=context.get("settings"))
