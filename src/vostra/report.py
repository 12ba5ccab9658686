"""The HTML views of a backtest: the interactive report (one self-contained
file with plotly's JavaScript embedded, so it opens offline) and the
compact summary a notebook shows for a Result or a sweep table."""

from __future__ import annotations

import html
import inspect
import json
import math
import time
from collections.abc import Iterable
from pathlib import Path
from typing import TYPE_CHECKING, Any

import numpy as np
import pandas as pd

from . import series, stats as stats_module
from .plots import span_text
from .stats import STAT_LABELS

if TYPE_CHECKING:
    from .result import Result

__all__ = ["build_report", "result_html", "table_html", "settings_text", "sweep_grid_columns"]

_LINE, _BENCH, _WIN, _LOSS, _ACCENT = "#1f4e79", "#8d99ae", "#2a9d5c", "#d1495b", "#e09f3e"
_MONTHS = ["Jan", "Feb", "Mar", "Apr", "May", "Jun", "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"]
# Losses red, gains green (plotly.js knows no red-yellow-green scale by name).
_DIVERGING = [[0.0, "#b2182b"], [0.25, "#ef8a62"], [0.5, "#f7f7f7"], [0.75, "#7fbf7b"],
              [1.0, "#1b7837"]]
_NOT_GRID = {"weights", "error", "warnings", "equity", "psr", *STAT_LABELS}

# What the report's own panels compute, stated in the report.
_CONVENTIONS = [
    "Window of the charts: from the signal date of the first trade on (before it the portfolio "
    "holds only cash). The statistics keep the window of Result.stats.",
    "Benchmark: rebased to the strategy's value on the first bar of the window.",
    "Equal-weighted universe: every day the mean close-to-close return of the tickers priced "
    "that day and the day before, i.e. rebalanced daily, without costs.",
    "Monthly returns: last value of the month over the last value of the month before.",
    f"Rolling Sharpe: mean over sample standard deviation of daily returns over the trailing "
    f"126 (6 months) or {series.BARS_PER_YEAR} bars (12 months), times the square root of "
    f"{series.BARS_PER_YEAR}, no risk-free rate.",
    "Drawdown periods: from the last peak to the first bar back at it (or to the last bar if "
    "not recovered); depth is the lowest value over the peak, minus 1.",
]


# --------------------------------------------------------------------------
# Formatting
# --------------------------------------------------------------------------

def _value_text(value: Any, kind: str) -> str:
    if value is None or (isinstance(value, float) and not math.isfinite(value)):
        return "-"
    if kind == "pct":
        return f"{value * 100:.2f}%"
    if kind == "int":
        return f"{int(value):,d}"
    return f"{value:.2f}"


def _labelled(values: pd.Series) -> list[tuple[str, str]]:
    """(label, formatted value) of every statistic, labels and formats from
    :data:`vostra.stats.STAT_LABELS`."""
    rows = []
    for key, value in values.items():
        label, kind = STAT_LABELS.get(key, (str(key), "num"))
        rows.append((label, _value_text(value, kind)))
    return rows


def _fraction(value: Any) -> str:
    return "off" if value is None else f"{float(value) * 100:g}%"


def settings_text(settings: dict[str, Any]) -> str:
    """The costs and rules of a run in one line."""
    if not settings:
        return "settings not recorded"
    rebalance = settings.get("rebalance")
    if rebalance is not None and not isinstance(rebalance, str):
        rebalance = f"{len(list(rebalance))} given dates"
    parts = [f"trades at the {settings.get('trade_at', 'close')}",
             f"rebalance {rebalance if rebalance is not None else 'on every signal'}",
             f"fee {_fraction(settings.get('fee'))} per trade",
             f"tax {_fraction(settings.get('tax'))} on sales"]
    for key, name in (("stop_loss", "stop-loss"), ("take_profit", "take-profit"),
                      ("trail_stop", "trailing stop")):
        if settings.get(key) is not None:
            parts.append(f"{name} {_fraction(settings[key])}")
    if settings.get("intrabar"):
        parts.append("stops checked intrabar")
    if settings.get("capital") is not None:
        parts.append(f"capital {settings['capital']:,.2f}")
    lot = settings.get("lot_size")
    if lot is not None:
        parts.append(f"lots of {lot}" if np.isscalar(lot) else "lots by ticker")
    if settings.get("min_fee"):
        parts.append(f"minimum fee {settings['min_fee']:,.2f}")
    for key, name in (("slippage", "slippage"), ("borrow_rate", "borrow rate"), ("cash_rate", "cash rate")):
        if settings.get(key):
            parts.append(f"{name} {_fraction(settings[key])}")
    if settings.get("leverage", 1.0) != 1.0:
        parts.append(f"leverage {settings['leverage']:g}")
    return ", ".join(parts)


def table_html(frame: pd.DataFrame, formats: dict[str, str] | None = None,
               css: str = "table") -> str:
    """A frame as a plain HTML table; ``formats`` maps columns to
    ``pct``, ``int``, ``num``, ``date`` or ``weight``."""
    formats = formats or {}

    def cell(value: Any, kind: str | None) -> str:
        if kind == "date":
            return "-" if pd.isna(value) else str(pd.Timestamp(value).date())
        if kind == "weight":
            return f"{value:.4f}"
        if kind is not None:
            return _value_text(value, kind)
        if isinstance(value, float):
            return f"{value:g}"
        return "-" if value is None or (not isinstance(value, str) and pd.isna(value)) else str(value)

    text = [c not in formats and frame[c].dtype == object for c in frame.columns]
    attr = [' class="text"' if t else "" for t in text]
    head = "".join(f"<th{a}>{html.escape(str(c))}</th>" for c, a in zip(frame.columns, attr))
    body = []
    for row in frame.itertuples(index=False):
        cells = "".join(f"<td{a}>{html.escape(cell(v, formats.get(c)))}</td>"
                        for c, a, v in zip(frame.columns, attr, row))
        body.append(f"<tr>{cells}</tr>")
    return f'<table class="{css}"><thead><tr>{head}</tr></thead><tbody>{"".join(body)}</tbody></table>'


def _pairs_html(rows: Iterable[tuple[str, ...]], header: tuple[str, ...] | None = None) -> str:
    head = ""
    if header:
        head = "<thead><tr>" + "".join(f"<th>{html.escape(h)}</th>" for h in header) + "</tr></thead>"
    body = "".join("<tr>" + "".join(f"<td>{html.escape(c)}</td>" for c in row) + "</tr>"
                   for row in rows)
    return f'<table class="stats">{head}<tbody>{body}</tbody></table>'


# --------------------------------------------------------------------------
# Notebook views
# --------------------------------------------------------------------------

def _sparkline(equity: pd.Series, width: int = 360, height: int = 90, points: int = 400) -> str:
    """The equity as a small inline SVG line (at most ``points`` vertices)."""
    values = equity.to_numpy(dtype=np.float64)
    values = values[np.isfinite(values)]
    if len(values) < 2:
        return ""
    step = max(1, len(values) // points)
    sample = np.append(values[::step], values[-1])
    low, high = float(sample.min()), float(sample.max())
    span = (high - low) or 1.0
    xs = np.linspace(0, width, len(sample))
    ys = height - 4 - (sample - low) / span * (height - 8)
    path = " ".join(f"{x:.1f},{y:.1f}" for x, y in zip(xs, ys))
    return (f'<svg width="{width}" height="{height}" viewBox="0 0 {width} {height}" '
            f'role="img" aria-label="equity curve"><polyline fill="none" stroke="{_LINE}" '
            f'stroke-width="1.5" points="{path}"/></svg>')


def result_html(result: Result) -> str:
    """Notebook view of a result: period, size, costs, a small equity chart
    and the statistics."""
    equity = series.live_equity(result)
    if len(result.equity):
        head = (f"Backtest {span_text(equity.index)}: {len(equity):,} bars, "
                f"{len(result.trades):,} trades")
    else:
        head = "Backtest (empty)"
    rows = _labelled(result.stats)
    half = (len(rows) + 1) // 2
    left, right = rows[:half], rows[half:] + [("", "")] * (2 * half - len(rows))
    table = _pairs_html(tuple(a) + tuple(b) for a, b in zip(left, right))
    return (f'<div class="vostra-result"><b>{html.escape(head)}</b><br>'
            f'<small>{html.escape(settings_text(result.settings))}</small><br>'
            f'{_sparkline(equity)}{table}</div>')


def sweep_grid_columns(table: pd.DataFrame) -> list[str]:
    """The option columns a sweep table varies (not its statistics, the
    weights' name, errors, warnings or equity curves)."""
    return [c for c in table.columns if c not in _NOT_GRID]


def sweep_html(table: pd.DataFrame, max_rows: int = 30) -> str:
    """Notebook view of a sweep table: statistics formatted by their labels,
    equity curves left out, at most ``max_rows`` rows."""
    columns = [c for c in table.columns if c != "equity"]
    shown = table[columns].head(max_rows)
    formats = {c: STAT_LABELS[c][1] for c in columns if c in STAT_LABELS}
    named = shown.rename(columns={c: STAT_LABELS[c][0] for c in formats})
    note = ""
    if len(table) > max_rows:
        note = f"<small>first {max_rows} of {len(table)} runs</small>"
    return table_html(named, {STAT_LABELS[c][0]: k for c, k in formats.items()},
                      css="dataframe") + note


# --------------------------------------------------------------------------
# Report panels: plotly.js figure descriptions as plain data (data traces and a
# layout), drawn in the page by Plotly.newPlot. Built without plotly's
# Python figure classes, whose validation of every property costs more than
# the rest of the report together.
# --------------------------------------------------------------------------

Panel = dict[str, Any]
_GRID = "#e6ebf2"


def _values(values: Any) -> list[Any]:
    """Numbers for a trace, NaN and infinities as null (a gap)."""
    array = np.asarray(values, dtype=np.float64)
    return np.where(np.isfinite(array), array, None).tolist()


def _dates(index: pd.DatetimeIndex) -> list[str]:
    """Dates as ISO text, with the time only where the index has one."""
    naive = index.tz_localize(None) if index.tz is not None else index
    unit = "D" if (naive == naive.normalize()).all() else "s"
    return list(np.datetime_as_string(naive.to_numpy(dtype="datetime64[ns]"), unit=unit))


def _axis(**extra: Any) -> dict[str, Any]:
    return {"gridcolor": _GRID, "zerolinecolor": _GRID, "automargin": True, **extra}


def _panel(data: list[dict[str, Any]], title: str, height: int = 380, **layout: Any) -> Panel:
    base = {"title": {"text": title, "x": 0.01}, "height": height, "hovermode": "x unified",
            "paper_bgcolor": "white", "plot_bgcolor": "white", "font": {"color": "#2a3f5f"},
            "margin": {"l": 60, "r": 30, "t": 60, "b": 40},
            "legend": {"orientation": "h", "y": 1.02, "x": 1.0, "xanchor": "right",
                       "yanchor": "bottom"},
            "xaxis": _axis(), "yaxis": _axis()}
    base.update(layout)
    return {"data": data, "layout": base}


def _line(x: list[str], y: Any, name: str, color: str, width: float = 1.3, **extra: Any) -> dict[str, Any]:
    return {"type": "scatter", "mode": "lines", "x": x, "y": _values(y), "name": name,
            "line": {"color": color, "width": width}, **extra}


def _equity_panel(equity: pd.Series, benchmark: pd.Series) -> Panel:
    x = _dates(equity.index)
    dd = stats_module.drawdown(equity) * 100.0
    data = [_line(x, equity, "strategy", _LINE, 1.6),
            _line(_dates(benchmark.index), benchmark, str(benchmark.name), _BENCH, 1.2),
            _line(x, dd, "drawdown %", _LOSS, 0.8, fill="tozeroy", xaxis="x2", yaxis="y2")]
    scale = [{"label": kind, "method": "relayout", "args": [{"yaxis.type": kind}]}
             for kind in ("linear", "log")]
    return _panel(data, "Equity against the benchmark", height=540,
                  margin={"l": 60, "r": 30, "t": 100, "b": 40},
                  xaxis=_axis(matches="x2", showticklabels=False),
                  yaxis=_axis(title={"text": "value"}, domain=[0.3, 1.0]),
                  xaxis2=_axis(anchor="y2"), yaxis2=_axis(title={"text": "drawdown %"},
                                                           domain=[0.0, 0.26], anchor="x2"),
                  updatemenus=[{"type": "buttons", "direction": "right", "x": 0.0, "y": 1.0,
                                "xanchor": "left", "yanchor": "bottom", "pad": {"b": 6},
                                "buttons": scale, "showactive": True}])


def _cell_text(z: np.ndarray, fmt: str) -> list[list[str]]:
    return np.where(np.isfinite(z), np.char.mod(fmt, np.nan_to_num(z)), "").tolist()


def _monthly_panel(equity: pd.Series) -> Panel:
    table = series.monthly_returns(equity) * 100.0
    z = table.to_numpy(dtype=np.float64)
    limit = float(np.nanmax(np.abs(z))) if np.isfinite(z).any() else 1.0
    heat = {"type": "heatmap", "z": [_values(row) for row in z], "x": _MONTHS,
            "y": [str(y) for y in table.index], "text": _cell_text(z, "%.1f"),
            "texttemplate": "%{text}", "colorscale": _DIVERGING, "zmid": 0.0, "zmin": -limit,
            "zmax": limit, "colorbar": {"title": {"text": "%"}},
            "hovertemplate": "%{y} %{x}: %{z:.2f}%<extra></extra>"}
    return _panel([heat], "Monthly returns (%)", height=max(260, 60 + 28 * len(table)),
                  hovermode="closest", yaxis=_axis(autorange="reversed", type="category"))


def _rolling_panel(equity: pd.Series) -> Panel:
    x = _dates(equity.index)
    data = [_line(x, series.rolling_sharpe(equity, window), label, color)
            for window, label, color in ((126, "6 months", _ACCENT),
                                         (series.BARS_PER_YEAR, "12 months", _LINE))]
    zero = {"type": "line", "xref": "paper", "x0": 0, "x1": 1, "y0": 0, "y1": 0,
            "line": {"color": "black", "width": 0.8}}
    return _panel(data, "Rolling Sharpe ratio", shapes=[zero])


def _positions_panel(result: Result, window: pd.DatetimeIndex) -> Panel:
    x = _dates(window)
    holdings = series.holdings_per_bar(result).reindex(window)
    exposure = series.exposure_per_bar(result).reindex(window) * 100.0
    data = [_line(x, holdings, "holdings", _LINE, 1.2, line_shape="hv"),
            _line(x, exposure, "gross exposure %", _ACCENT, 1.2, xaxis="x2", yaxis="y2")]
    return _panel(data, "Holdings and exposure", height=440,
                  xaxis=_axis(matches="x2", showticklabels=False),
                  yaxis=_axis(title={"text": "positions"}, rangemode="tozero", domain=[0.54, 1.0]),
                  xaxis2=_axis(anchor="y2"),
                  yaxis2=_axis(title={"text": "exposure %"}, rangemode="tozero",
                               domain=[0.0, 0.46], anchor="x2"))


def _turnover_panel(result: Result, window: pd.DatetimeIndex) -> Panel:
    rolling, how = series.rolling_turnover(result)
    data = []
    if getattr(result, "traded", None) is None:
        per_bar = series.turnover_per_bar(result.trades, result.equity.index).reindex(window)
        traded = per_bar[per_bar > 0]
        data.append({"type": "scatter", "mode": "markers", "x": _dates(traded.index),
                     "y": _values(traded * 100.0), "name": "per bar %",
                     "marker": {"color": _BENCH, "size": 4}})
    # Only once the window holds a full year of its own trading.
    trailing = rolling.reindex(window).to_numpy(dtype=np.float64).copy()
    trailing[:series.BARS_PER_YEAR - 1] = np.nan
    data.append(_line(_dates(window), trailing, "trailing year", _LINE, 1.4, yaxis="y2"))
    return _panel(data, f"Turnover ({how})",
                  yaxis=_axis(title={"text": "per bar %"}, rangemode="tozero"),
                  yaxis2=_axis(title={"text": "trailing year (x portfolio)"}, rangemode="tozero",
                               overlaying="y", side="right", showgrid=False))


def _trade_hover(trades: pd.DataFrame) -> tuple[list[list[Any]], str]:
    """customdata and hover template of the trade scatter, with the ledger's
    prices, P&L and exit reason when the trade log has them."""
    columns = [trades["ticker"].astype(str).tolist(),
               trades["entry_date"].dt.strftime("%Y-%m-%d").tolist(),
               trades["exit_date"].dt.strftime("%Y-%m-%d").fillna("open").tolist(),
               _values(trades["return"].to_numpy(dtype=np.float64) * 100.0)]
    template = ("<b>%{customdata[0]}</b><br>%{customdata[1]} .. %{customdata[2]}<br>"
                "return %{customdata[3]:.2f}%<br>MAE %{x:.2f}%, MFE %{y:.2f}%")
    for column, label, fmt in (("exit_reason", "exit", ""), ("entry_price", "entry price", ":.4g"),
                               ("exit_price", "exit price", ":.4g"), ("pnl", "P&L", ":.4g")):
        if column in trades.columns:
            values = trades[column]
            n = len(columns)
            columns.append(values.astype(str).tolist() if fmt == "" else _values(values))
            template += f"<br>{label} %{{customdata[{n}]{fmt}}}"
    return [list(row) for row in zip(*columns)], template


def _excursion_panel(trades: pd.DataFrame) -> Panel:
    closed = trades[trades["exit_date"].notna()]
    won = closed["return"].to_numpy(dtype=np.float64) > 0
    data = []
    for mask, name, color in ((won, "profit", _WIN), (~won, "loss", _LOSS)):
        part = closed[mask]
        custom, template = _trade_hover(part)
        data.append({"type": "scattergl", "mode": "markers", "name": name,
                     "x": _values(-part["mae"].to_numpy(dtype=np.float64) * 100.0),
                     "y": _values(part["mfe"].to_numpy(dtype=np.float64) * 100.0),
                     "marker": {"color": color, "size": 5, "opacity": 0.6},
                     "customdata": custom, "hovertemplate": template + "<extra></extra>"})
    return _panel(data, f"Trade excursions (N = {len(closed):,} closed trades)", height=460,
                  hovermode="closest", xaxis=_axis(title={"text": "MAE, adverse excursion %"}),
                  yaxis=_axis(title={"text": "MFE, favourable excursion %"}))


def _histogram_panel(trades: pd.DataFrame, bins: int = 50) -> Panel:
    ret = trades.loc[trades["exit_date"].notna(), "return"].to_numpy(dtype=np.float64) * 100.0
    ret = ret[np.isfinite(ret)]
    data, shapes, notes = [], [], []
    if len(ret):
        counts, edges = np.histogram(ret, bins=bins)
        centers = (edges[:-1] + edges[1:]) / 2.0
        data.append({"type": "bar", "x": _values(centers), "y": counts.tolist(),
                     "width": _values(np.diff(edges)), "name": "trades",
                     "marker": {"color": np.where(centers > 0, _WIN, _LOSS).tolist()},
                     "hovertemplate": "%{x:.2f}%: %{y} trades<extra></extra>"})
        mean = float(ret.mean())
        shapes.append({"type": "line", "yref": "paper", "x0": mean, "x1": mean, "y0": 0, "y1": 1,
                       "line": {"color": _LINE, "dash": "dash"}})
        notes.append({"x": mean, "y": 1, "yref": "paper", "text": f"mean {mean:.2f}%",
                      "showarrow": False, "xanchor": "left", "yanchor": "bottom"})
    return _panel(data, f"Trade returns (N = {len(ret):,})", hovermode="closest",
                  showlegend=False, shapes=shapes, annotations=notes, bargap=0,
                  xaxis=_axis(title={"text": "trade return %"}), yaxis=_axis(title={"text": "trades"}))


def _sweep_panel(table: pd.DataFrame, stat: str = "sharpe") -> Panel | None:
    """Heatmap of ``stat`` over the last two grid options of a sweep (the
    best value over any other options), or None with fewer than two."""
    grid = sweep_grid_columns(table)
    if len(grid) < 2 or stat not in table.columns:
        return None
    from .plots import sweep_pivot

    y, x = grid[-2], grid[-1]
    pivot = sweep_pivot(table, stat, x, y)
    z = pivot.to_numpy(dtype=np.float64)
    label = STAT_LABELS.get(stat, (stat,))[0]
    heat = {"type": "heatmap", "z": [_values(row) for row in z], "x": [str(c) for c in pivot.columns],
            "y": [str(i) for i in pivot.index], "text": _cell_text(z, "%.2f"),
            "texttemplate": "%{text}", "colorscale": _DIVERGING, "colorbar": {"title": {"text": label}},
            "hovertemplate": f"{y} %{{y}}, {x} %{{x}}: %{{z:.3f}}<extra></extra>"}
    return _panel([heat], f"Sweep: best {label} by {y} and {x}", height=360, hovermode="closest",
                  xaxis=_axis(title={"text": x}, type="category"),
                  yaxis=_axis(title={"text": y}, type="category"))


def _panel_html(name: str, panel: Panel) -> str:
    """A div and the script that draws the panel into it."""
    config = {"displaylogo": False, "responsive": True}
    payload = ", ".join(json.dumps(part, separators=(",", ":"), allow_nan=False)
                        for part in (panel["data"], panel["layout"], config))
    # "</" would end the script element if a ticker or title contained it.
    payload = payload.replace("</", "<\\/")
    return (f'<div id="panel-{name}" class="panel"></div>'
            f'<script>Plotly.newPlot("panel-{name}", {payload});</script>')


# --------------------------------------------------------------------------
# The report
# --------------------------------------------------------------------------

def _default_benchmark(result: Result, index: pd.DatetimeIndex) -> pd.Series:
    if result.close is None:
        raise ValueError("the result keeps no close prices for the default benchmark; "
                         "pass benchmark= a price series or equity curve")
    return series.equal_weight_benchmark(result.close.loc[index[0]:index[-1]])


def _statistics_section(result: Result, equity: pd.Series, benchmark: pd.Series) -> str:
    # The benchmark's own figures from the same function, on its curve alone
    # (trade statistics stay blank).
    theirs = stats_module.statistics(benchmark)
    rows = []
    for key, value in result.stats.items():
        if key in stats_module.BENCHMARK_KEYS:  # shown against the benchmark below
            continue
        label, kind = STAT_LABELS.get(key, (str(key), "num"))
        other = theirs.get(key, math.nan)
        rows.append((label, _value_text(value, kind),
                     _value_text(other, kind) if np.isfinite(other) else "-"))
    parts = [_pairs_html(rows, ("Statistic", "Strategy", str(benchmark.name)))]
    relative = getattr(stats_module, "benchmark_statistics", None)
    if callable(relative):
        parts.append("<h3>Against the benchmark</h3>")
        parts.append(_pairs_html(_labelled(relative(equity, benchmark))))
    doc = inspect.getdoc(stats_module.statistics) or ""
    notes = "".join(f"<li>{html.escape(c)}</li>" for c in _CONVENTIONS)
    parts.append(f"<h3>Conventions</h3><ul>{notes}</ul>"
                 f"<details><summary>The statistics, as <code>vostra.stats.statistics</code> "
                 f"documents them</summary><pre>{html.escape(doc)}</pre></details>")
    return "".join(parts)


def _orders_section(result: Result) -> str:
    orders = result.orders
    when = result.next_weight_date.date() if result.next_weight_date is not None else "-"
    if not len(orders):
        return f"<p>No orders for the signal of {when}.</p>"
    view = orders[["ticker", "action", "meaning", "current_weight", "next_weight"]]
    return (f"<p>Signal of {when}; weights of the last executed rebalance and of the latest "
            f"signal.</p>" + table_html(view, {"current_weight": "weight", "next_weight": "weight"}))


def _sweep_section(table: pd.DataFrame, stat: str = "sharpe", rows: int = 10) -> tuple[str, Any]:
    best = table.sort_values(stat, ascending=False, kind="stable").head(rows) if stat in table else table.head(rows)
    columns = [c for c in best.columns if c not in ("equity", "warnings")]
    formats = {c: STAT_LABELS[c][1] for c in columns if c in STAT_LABELS}
    return (f"<p>{len(table)} runs; the {len(best)} best by {STAT_LABELS.get(stat, (stat,))[0]}.</p>"
            + table_html(best[columns], formats), _sweep_panel(table, stat))


_CSS = """
body { font-family: -apple-system, "Segoe UI", Helvetica, Arial, sans-serif; color: #222;
       margin: 0 auto; max-width: 1200px; padding: 16px 24px; background: #fff; }
h1 { font-size: 22px; margin: 4px 0; } h2 { font-size: 17px; margin: 28px 0 6px; }
h3 { font-size: 15px; } .sub { color: #555; margin: 2px 0 10px; }
.keys { display: flex; flex-wrap: wrap; gap: 10px; margin: 10px 0; }
.key { border: 1px solid #ddd; border-radius: 6px; padding: 6px 12px; min-width: 110px; }
.key b { display: block; font-size: 18px; color: #1f4e79; } .key span { font-size: 12px; color: #666; }
table { border-collapse: collapse; font-size: 13px; margin: 6px 0; }
th, td { border-bottom: 1px solid #e3e3e3; padding: 3px 10px; text-align: right; }
th { background: #f4f6f8; } td:first-child, th:first-child { text-align: left; }
td.text, th.text { text-align: left; }
pre { font-size: 12px; background: #f7f7f7; padding: 8px; overflow-x: auto; }
.grid2 { display: grid; grid-template-columns: 1fr 1fr; gap: 12px; }
footer { color: #777; font-size: 12px; margin-top: 30px; }
"""


def _key_figures(result: Result, benchmark: pd.Series) -> str:
    chosen = [k for k in ("total_return", "cagr", "sharpe", "max_drawdown", "annual_volatility", "trades")
              if k in result.stats.index]
    cells = [(STAT_LABELS.get(k, (k, "num"))[0],
              _value_text(result.stats[k], STAT_LABELS.get(k, (k, "num"))[1])) for k in chosen]
    bench_total = float(benchmark.iloc[-1] / benchmark.iloc[0] - 1.0) if len(benchmark) else math.nan
    cells.append((f"{benchmark.name}: total return", _value_text(bench_total, "pct")))
    return '<div class="keys">' + "".join(
        f'<div class="key"><b>{html.escape(v)}</b><span>{html.escape(k)}</span></div>'
        for k, v in cells) + "</div>"


def build_report(result: Result, path: str | Path | None = None, *,
                 benchmark: pd.Series | None = None, title: str | None = None,
                 sweep: pd.DataFrame | None = None) -> str:
    """The interactive report of ``result`` as one HTML page with plotly's
    JavaScript embedded; written to ``path`` when given. ``benchmark`` is a
    price series or equity curve (default: the equal-weighted universe of
    the result's close prices); ``sweep`` a sweep table whose best rows (by
    Sharpe ratio) and heatmap are added. Benchmark-relative statistics
    appear when :mod:`vostra.stats` provides ``benchmark_statistics``."""
    started = time.perf_counter()
    equity = series.live_equity(result)
    if len(equity) < 2:
        since = "" if result.start is None else f" from the close before the first rebalance ({result.start})"
        raise ValueError(f"the report needs at least two bars of equity{since}; this result has "
                         f"{len(equity)}")
    window = equity.index
    bench = _default_benchmark(result, window) if benchmark is None else benchmark
    bench = series.as_benchmark(bench, window) * float(equity.iloc[0])
    figures: list[tuple[str, str, Any]] = [
        ("equity", "Equity", _equity_panel(equity, bench)),
    ]
    drawdowns = series.drawdown_periods(equity)
    sections = [
        ("drawdowns", "Worst drawdown periods",
         table_html(drawdowns, {"peak": "date", "trough": "date", "recovery": "date",
                                "depth": "pct", "days": "int", "bars": "int"})),
    ]
    figures += [("monthly", "Monthly returns", _monthly_panel(equity)),
                ("rolling", "Rolling Sharpe", _rolling_panel(equity)),
                ("positions", "Holdings and exposure", _positions_panel(result, window)),
                ("turnover", "Turnover", _turnover_panel(result, window)),
                ("excursions", "Trade excursions", _excursion_panel(result.trades)),
                ("returns", "Trade returns", _histogram_panel(result.trades))]
    div = _panel_html
    body = [div("equity", figures[0][2]), f"<h2>{sections[0][1]}</h2>{sections[0][2]}"]
    body += [div(name, fig) for name, _, fig in figures[1:]]
    body.append(f"<h2>Next-day orders</h2>{_orders_section(result)}")
    if sweep is not None:
        rows, panel = _sweep_section(sweep)
        body.append(f"<h2>Sweep</h2>{rows}")
        if panel is not None:
            body.append(div("sweep", panel))
    body.append(f"<h2>Statistics</h2>{_statistics_section(result, equity, bench)}")

    heading = title or "vostra backtest report"
    sub = (f"{span_text(window)}, {len(window):,} bars, {len(result.trades):,} trades; "
           f"{settings_text(result.settings)}")
    return _write_page(path, heading, sub, _key_figures(result, bench) + "".join(body), started)


def _write_page(path: str | Path | None, heading: str, sub: str, body: str, started: float) -> str:
    """One self-contained page: plotly's JavaScript embedded, written to
    ``path`` when given."""
    from plotly.offline import get_plotlyjs

    page = (f'<!DOCTYPE html><html lang="en"><head><meta charset="utf-8">'
            f"<title>{html.escape(heading)}</title><style>{_CSS}</style>"
            f'<script type="text/javascript">{get_plotlyjs()}</script></head><body>'
            f"<h1>{html.escape(heading)}</h1><p class=\"sub\">{html.escape(sub)}</p>{body}"
            f"<footer>Built by vostra in {time.perf_counter() - started:.2f} s.</footer>"
            f"</body></html>")
    if path is not None:
        Path(path).write_text(page, encoding="utf-8")
    return page


# --------------------------------------------------------------------------
# The report of a walk-forward run
# --------------------------------------------------------------------------

def build_walk_forward_report(walk: Any, path: str | Path | None = None, *, title: str | None = None) -> str:
    """The report of a :func:`vostra.walk_forward` run as one HTML page:
    the chained out-of-sample equity against the in-sample best, the
    parameters chosen per window, both curves' statistics and the
    overfitting figures, each with a line on what it means."""
    started = time.perf_counter()
    frames = walk.report_frames()
    curves = frames["equity"]
    x = _dates(curves.index)
    data = [_line(x, curves[name], label, color, width)
            for name, label, color, width in (("out_of_sample", "chained out of sample", _LINE, 1.6),
                                              ("in_sample_best", "in-sample best (hindsight)", _BENCH, 1.2))
            if name in curves]
    equity = _panel(data, "Walk-forward equity", height=460, yaxis=_axis(title={"text": "value"}))
    stats = frames["statistics"]
    stat_rows = pd.DataFrame({
        "statistic": [STAT_LABELS.get(k, (k, "num"))[0] for k in stats.index],
        **{name: [_value_text(v, STAT_LABELS.get(k, (k, "num"))[1]) for k, v in stats[name].items()]
           for name in stats.columns}})
    windows = frames["windows"]
    date_columns = {c: "date" for c in ("train_start", "train_end", "test_start", "test_end") if c in windows}
    body = [_panel_html("walk", equity),
            "<h2>Chosen parameters per window</h2>", table_html(windows, date_columns),
            "<h2>Statistics</h2>", table_html(stat_rows),
            "<h2>Overfitting</h2>", table_html(frames["overfitting"])]
    heading = title or "vostra walk-forward report"
    sub = (f"{span_text(curves.index)}, {len(windows)} windows, selecting by {walk.select!r}; "
           f"each test window starts from the capital the previous one ended with")
    return _write_page(path, heading, sub, "".join(body), started)
