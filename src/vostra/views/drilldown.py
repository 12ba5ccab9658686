"""The drill-down of one ticker: its prices (candles, or the close alone),
its volume, every entry and exit of the backtest on them and the stop
levels each trade was held under, as a plotly figure description."""

from __future__ import annotations

from fractions import Fraction
from typing import TYPE_CHECKING, Any

import numpy as np
import pandas as pd

from ..results import series
from .panels import ACCENT, BENCH, LINE, LOSS, WIN, Panel, axis, dates, panel, value_axis, values

if TYPE_CHECKING:
    from ..results.result import Result

__all__ = ["ticker_panel", "ticker_figure", "most_traded", "stop_levels", "levels_known"]

_EXIT_COLORS = {"rebalance": "#5c677d", "stop_loss": LOSS, "take_profit": WIN,
                "trail_stop": "#e09f3e", "delisting": "black"}


def most_traded(trades: pd.DataFrame, count: int = 3) -> list[Any]:
    """The ``count`` tickers with the most trade records (ties: the first
    traded first)."""
    counts = trades["ticker"].value_counts(sort=False)
    order = np.argsort(-counts.to_numpy(), kind="stable")
    return counts.index[order[:count]].tolist()


def _price_frames(result: Result, ticker: Any) -> dict[str, pd.Series]:
    """The ticker's price series the result kept, by field."""
    close = result.close
    if close is None:
        raise ValueError("the result keeps no prices; a ticker drill-down needs the close "
                         "prices the backtest ran on")
    if ticker not in close.columns:
        known = ", ".join(map(repr, close.columns[:5])) + (", ..." if len(close.columns) > 5 else "")
        raise KeyError(f"{ticker!r} is not a ticker of the backtest's prices ({known})")
    fields = {"close": close[ticker]}
    for name, frame in result.prices.items():
        if frame is not None and name != "close":
            fields[name] = frame[ticker]
    return fields


def _trading_prices(result: Result, fields: dict[str, pd.Series]) -> pd.Series:
    """The prices the engine traded the ticker at (and measured its stop
    levels on)."""
    trade_at = result.settings.get("trade_at", "close")
    return fields.get("trading" if trade_at == "prices" else trade_at, fields["close"])


def _levels(prices: np.ndarray, base: int, last: int, long: bool, sl: float, tp: float,
            tr: float, activation: float) -> tuple[np.ndarray, np.ndarray]:
    """Stop and take-profit prices on bars ``base`` to ``last`` of a position
    whose cumulative return counts from the trading price of bar ``base``."""
    cr = prices[base:last + 1] / prices[base]
    if long:
        best = np.fmax.accumulate(np.fmax(cr, 1.0))
        stop = np.where(best >= 1.0 + activation, np.maximum(1.0 - sl, best - tr), 1.0 - sl)
        take = np.full(len(stop), 1.0 + tp)
    else:
        worst = np.fmin.accumulate(np.fmin(cr, 1.0))
        stop = np.where(worst <= 1.0 - activation, np.minimum(1.0 + sl, worst + tr), 1.0 + sl)
        take = np.full(len(stop), 1.0 - tp)
    return stop * prices[base], take * prices[base]


def _option(settings: dict[str, Any], name: str) -> float:
    value = settings.get(name)
    return abs(float(value)) if value is not None else np.inf


def levels_known(settings: dict[str, Any]) -> bool:
    """Whether the trade log tells where each record's stop levels count
    from. They count from the last rebalance that traded the position unless
    ``retain_cost`` carries its return through; ``split_trades`` starts a
    record there, and ``retain_cost`` keeps one record, so with either the
    levels count from the record's entry."""
    return bool(settings.get("split_trades", True) or settings.get("retain_cost"))


def stop_levels(trading: np.ndarray, trades: pd.DataFrame,
                settings: dict[str, Any]) -> dict[str, np.ndarray]:
    """Stop and take-profit levels, as prices, on every bar each trade record
    of one ticker is held: ``bar`` (the bar numbers, -1 between records),
    ``stop`` (the stop-loss or, once armed, the trailing stop, whichever is
    nearer) and ``take`` (the take-profit); NaN where no such level is set.
    Needs :func:`levels_known`.

    The levels are fractions of the record's entry price; the trailing stop
    follows the best (for a short, the worst) trading price since. The
    engine's return counts a bar without a price as unchanged, so after a
    rebalance on such a bar (with ``retain_cost``) its levels can differ from
    the ones drawn."""
    sl, tp, tr = (_option(settings, k) for k in ("stop_loss", "take_profit", "trail_stop"))
    activation = abs(float(settings.get("trail_activation") or 0.0))
    prices = pd.Series(trading, dtype=np.float64).ffill().to_numpy()
    out: dict[str, list[np.ndarray]] = {"bar": [], "stop": [], "take": []}
    for record in trades.itertuples(index=False):
        entry = int(record.entry_bar)
        closed = not pd.isna(record.exit_bar)
        last = int(record.exit_bar) if closed else len(prices) - 1
        stop, take = _levels(prices, entry, last, bool(record.weight > 0), sl, tp, tr, activation)
        out["bar"] += [np.arange(entry, last + 1), np.array([-1])]
        out["stop"] += [stop, np.array([np.nan])]
        out["take"] += [take, np.array([np.nan])]
    joined = {k: np.concatenate(v) if v else np.empty(0) for k, v in out.items()}
    for name in ("stop", "take"):
        level = joined[name]
        level[~np.isfinite(level) | (level <= 0)] = np.nan
    joined["bar"] = joined["bar"].astype(np.int64)
    return joined


def _price_traces(fields: dict[str, pd.Series], x: list[str], ticker: Any) -> tuple[list[Any], bool]:
    """Candles when the result kept open, high and low prices, else the
    close as a line; and the volume bars when it kept volume."""
    name = str(ticker)
    if all(k in fields for k in ("open", "high", "low")):
        data = [{"type": "candlestick", "x": x, "name": name,
                 **{k: values(fields[k]) for k in ("open", "high", "low", "close")},
                 "increasing": {"line": {"color": WIN, "width": 1}},
                 "decreasing": {"line": {"color": LOSS, "width": 1}}}]
    else:
        data = [{"type": "scatter", "mode": "lines", "x": x, "y": values(fields["close"]),
                 "name": f"{name} close", "line": {"color": LINE, "width": 1.2}}]
    volume = "volume" in fields
    if volume:
        data.append({"type": "bar", "x": x, "y": values(fields["volume"]), "name": "volume",
                     "marker": {"color": BENCH}, "xaxis": "x2", "yaxis": "y2",
                     "hovertemplate": "volume %{y:,.0f}<extra></extra>"})
    return data, volume


def _level_traces(levels: dict[str, np.ndarray], x: list[str]) -> list[Any]:
    at = [x[b] if b >= 0 else None for b in levels["bar"]]
    traces = []
    for key, name, color in (("stop", "stop level", LOSS), ("take", "take-profit level", WIN)):
        if np.isfinite(levels[key]).any():
            traces.append({"type": "scatter", "mode": "lines", "x": at, "y": values(levels[key]),
                           "name": name, "line": {"color": color, "width": 1, "dash": "dot",
                                                  "shape": "hv"},
                           "hovertemplate": f"{name} %{{y:.4g}}<extra></extra>"})
    return traces


def _kept(trades: pd.DataFrame) -> np.ndarray:
    """Records that ended at a rebalance which kept the position on the same
    side: the next record of the ticker starts on the bar this one ended."""
    nxt = trades.shift(-1)
    return ((trades["exit_reason"].astype(str) == "rebalance").to_numpy()
            & (trades["exit_bar"].astype("Int64") == nxt["entry_bar"].astype("Int64")).fillna(False).to_numpy()
            & (np.sign(trades["weight"]) == np.sign(nxt["weight"])).to_numpy())


def _marker(x: list[str], y: Any, name: str, text: list[str], symbol: str, color: str,
            size: int = 10) -> dict[str, Any]:
    return {"type": "scatter", "mode": "markers", "x": x, "y": values(y), "name": name,
            "text": text, "hovertemplate": "%{text}<extra></extra>",
            "marker": {"symbol": symbol, "color": color, "size": size,
                       "line": {"color": "white", "width": 1}}}


def _day(stamps: pd.Series) -> list[str]:
    return stamps.dt.strftime("%Y-%m-%d").tolist()


def _trade_markers(trades: pd.DataFrame) -> list[Any]:
    """Entries (triangles pointing the position's way), exits by reason with
    the record's return, and the rebalances the position was kept through."""
    kept = _kept(trades)
    fresh = np.concatenate([[True], ~kept[:-1]]) if len(trades) else np.empty(0, bool)
    traces = []
    for side, symbol, name in ((True, "triangle-up", "long entry"), (False, "triangle-down", "short entry")):
        part = trades[fresh & ((trades["weight"] > 0).to_numpy() == side)]
        if len(part):
            text = [f"{name} {d} at {p:.4g}, weight {w * 100:.2f}%"
                    for d, p, w in zip(_day(part["entry_date"]), part["entry_price"], part["weight"])]
            traces.append(_marker(_day(part["entry_date"]), part["entry_price"], name, text, symbol, LINE))
    ended = trades[~kept & trades["exit_date"].notna().to_numpy()]
    for reason, part in ended.groupby(ended["exit_reason"].astype(str), sort=False):
        text = [f"exit: {reason} {d} at {p:.4g}<br>return {r * 100:.2f}%, P&L {pnl:.4g}"
                for d, p, r, pnl in zip(_day(part["exit_date"]), part["exit_price"], part["return"], part["pnl"])]
        traces.append(_marker(_day(part["exit_date"]), part["exit_price"], f"exit: {reason}", text,
                              "x", _EXIT_COLORS.get(reason, LOSS)))
    part = trades[kept]
    if len(part):
        text = [f"kept through the rebalance of {d} at {p:.4g}<br>return so far {r * 100:.2f}%"
                for d, p, r in zip(_day(part["exit_date"]), part["exit_price"], part["return"])]
        traces.append(_marker(_day(part["exit_date"]), part["exit_price"], "kept at rebalance",
                              text, "diamond", _EXIT_COLORS["rebalance"], 7))
    return traces


def _ratio_text(ratio: float) -> str:
    """A split's new shares per old one as it is announced: 2 -> 2:1, 1.5 -> 3:2, 0.1 -> 1:10."""
    f = Fraction(float(ratio)).limit_denominator(1000)
    return f"{f.numerator}:{f.denominator}"


def _event_markers(result: Result, ticker: Any, close: pd.Series) -> list[Any]:
    """The ticker's ex-dates: its cash dividends and its splits, on its close."""
    traces = []
    events = getattr(result, "events", None) or {}
    for name, symbol, color in (("dividends", "circle-open", ACCENT), ("splits", "star", LOSS)):
        frame = events.get(name)
        if not isinstance(frame, pd.DataFrame) or ticker not in frame.columns:
            continue
        cells = frame[ticker].reindex(close.index)
        on = (cells.notna() & (cells != 0)).to_numpy()
        if not on.any():
            continue
        days = dates(close.index[on])
        if name == "dividends":
            text = [f"ex-dividend {d}: {v:.4g} a share" for d, v in zip(days, cells[on])]
        else:
            text = [f"split {d}: {_ratio_text(v)}" for d, v in zip(days, cells[on])]
        traces.append(_marker(days, close[on], f"ex-date: {name[:-1]}", text, symbol, color, 11))
    return traces


def ticker_panel(result: Result, ticker: Any) -> Panel:
    """The drill-down figure of ``ticker`` (see :meth:`Result.plot_ticker`)."""
    fields = _price_frames(result, ticker)
    index = result.close.index
    x = dates(index)
    all_trades = result.trades
    columns = ["ticker", "entry_date", "exit_date", "entry_price", "exit_price", "weight", "pnl",
               "return", "exit_reason", "entry_bar", "exit_bar"]
    trades = all_trades.loc[(all_trades["ticker"] == ticker).to_numpy(), columns].reset_index(drop=True)
    data, volume = _price_traces(fields, x, ticker)
    note = ""
    if levels_known(result.settings):
        levels = stop_levels(_trading_prices(result, fields).to_numpy(dtype=np.float64), trades,
                             result.settings)
        data += _level_traces(levels, x)
    elif any(result.settings.get(k) is not None for k in ("stop_loss", "take_profit", "trail_stop")):
        note = ("<br><sub>stop levels not drawn: without split_trades or retain_cost they restart "
                "at rebalances the trade log does not show</sub>")
    data += _trade_markers(trades)
    data += _event_markers(result, ticker, fields["close"])
    closed = trades["exit_date"].notna().to_numpy()
    won = int((trades["return"].to_numpy(dtype=np.float64)[closed] > 0).sum())
    title = (f"{ticker}: {len(trades):,} trade records, {won:,} of {int(closed.sum()):,} closed "
             f"in profit, P&L {trades['pnl'].sum() / getattr(result, 'capital', 1.0) * 100:.2f}% of the starting capital{note}")
    price_domain = [0.28, 1.0] if volume else [0.0, 1.0]
    log = series.spans_a_decade(fields["close"])
    layout = dict(xaxis=axis(type="date", rangeslider={"visible": False}, range=_focus(index, trades)),
                  yaxis=value_axis("price", log, domain=price_domain))
    if volume:
        layout.update(xaxis=dict(layout["xaxis"], matches="x2", showticklabels=False),
                      xaxis2=axis(type="date", anchor="y2"),
                      yaxis2=axis(title={"text": "volume"}, domain=[0.0, 0.22], anchor="x2"))
    # The legend goes under the chart: above it, beside a long title, its
    # entries ran into the title.
    legend = {"orientation": "h", "x": 0.0, "xanchor": "left", "y": -0.07, "yanchor": "top"}
    return panel(data, title, height=560 if volume else 460, hovermode="closest", legend=legend, **layout)


def ticker_figure(result: Result, ticker: Any) -> Any:
    """The drill-down as a plotly figure that a notebook shows, and that
    an exported notebook (HTML) shows too (see :class:`NotebookFigure`)."""
    from .plotly_figure import NotebookFigure

    return NotebookFigure(ticker_panel(result, ticker))


def _focus(index: pd.DatetimeIndex, trades: pd.DataFrame, margin: int = 20) -> list[str] | None:
    """The dates from a little before the first entry to a little after the
    last exit (None without trades: the whole history)."""
    if not len(trades):
        return None
    first = int(trades["entry_bar"].min())
    exits = trades["exit_bar"].astype("Int64").fillna(len(index) - 1)
    last = int(exits.max())
    return dates(index[[max(first - margin, 0), min(last + margin, len(index) - 1)]])
