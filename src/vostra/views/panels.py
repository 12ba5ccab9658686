"""The report's charts as plotly.js figure descriptions: plain data (data
traces and a layout) that the page draws with ``Plotly.newPlot``. They are
built without plotly's Python figure classes, whose validation of every
property costs more than the rest of the report together."""

from __future__ import annotations

import json
from typing import TYPE_CHECKING, Any

import numpy as np
import pandas as pd

from ..results import series, stats as stats_module
from ..results.stats import label_of

if TYPE_CHECKING:
    from ..results.result import Result

Panel = dict[str, Any]

LINE, BENCH, WIN, LOSS, ACCENT = "#1f4e79", "#8d99ae", "#2a9d5c", "#d1495b", "#e09f3e"
_GRID = "#e6ebf2"
_MONTHS = ["Jan", "Feb", "Mar", "Apr", "May", "Jun", "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"]
# Losses red, gains green (plotly.js knows no red-yellow-green scale by name).
_DIVERGING = [[0.0, "#b2182b"], [0.25, "#ef8a62"], [0.5, "#f7f7f7"], [0.75, "#7fbf7b"],
              [1.0, "#1b7837"]]
#: Trailing windows of the rolling panels: bars and label.
ROLLING = ((126, "6 months"), (series.BARS_PER_YEAR, "12 months"))


# --------------------------------------------------------------------------
# Building blocks
# --------------------------------------------------------------------------

def values(data: Any) -> list[Any]:
    """Numbers for a trace, NaN and infinities as null (a gap)."""
    array = np.asarray(data, dtype=np.float64)
    return np.where(np.isfinite(array), array, None).tolist()


def dates(index: pd.DatetimeIndex) -> list[str]:
    """Dates as ISO text, with the time only where the index has one."""
    naive = index.tz_localize(None) if index.tz is not None else index
    unit = "D" if (naive == naive.normalize()).all() else "s"
    return list(np.datetime_as_string(naive.to_numpy(dtype="datetime64[ns]"), unit=unit))


def axis(**extra: Any) -> dict[str, Any]:
    return {"gridcolor": _GRID, "zerolinecolor": _GRID, "automargin": True, **extra}


def panel(data: list[dict[str, Any]], title: str, height: int = 380, **layout: Any) -> Panel:
    base = {"title": {"text": title, "x": 0.01}, "height": height, "hovermode": "x unified",
            "paper_bgcolor": "white", "plot_bgcolor": "white", "font": {"color": "#2a3f5f"},
            "margin": {"l": 60, "r": 30, "t": 60, "b": 40},
            "legend": {"orientation": "h", "y": 1.02, "x": 1.0, "xanchor": "right",
                       "yanchor": "bottom"},
            "xaxis": axis(), "yaxis": axis()}
    base.update(layout)
    return {"data": data, "layout": base}


def line(x: list[str], y: Any, name: str, color: str, width: float = 1.3, **extra: Any) -> dict[str, Any]:
    return {"type": "scatter", "mode": "lines", "x": x, "y": values(y), "name": name,
            "line": {"color": color, "width": width}, **extra}


def value_axis(title: str, log: bool, **extra: Any) -> dict[str, Any]:
    """A price or value axis, on a log scale with ticks at 1, 2 and 5 of
    every decade when ``log``."""
    scale = {"type": "log", "dtick": "D2"} if log else {"type": "linear"}
    return axis(title={"text": title + (" (log scale)" if log else "")}, **scale, **extra)


def _zero_line() -> dict[str, Any]:
    return {"type": "line", "xref": "paper", "x0": 0, "x1": 1, "y0": 0, "y1": 0,
            "line": {"color": "black", "width": 0.8}}


def panel_html(name: str, figure: Panel) -> str:
    """A div and the script that draws the panel into it."""
    config = {"displaylogo": False, "responsive": True}
    payload = ", ".join(json.dumps(part, separators=(",", ":"), allow_nan=False)
                        for part in (figure["data"], figure["layout"], config))
    # No "<" in a script: "</script" would end it and "<!--" followed by
    # "<script" would keep it open past its end (a ticker or title may hold
    # either). In JSON a "<" stands only inside strings, where \u003c is it.
    payload = payload.replace("<", "\\u003c")
    return (f'<div id="panel-{name}" class="panel"></div>'
            f'<script>Plotly.newPlot("panel-{name}", {payload});</script>')


# --------------------------------------------------------------------------
# The equity and its returns
# --------------------------------------------------------------------------

def _drawdown_shading(equity: pd.Series, domain: list[float]) -> tuple[list[Any], list[Any]]:
    """Shapes shading the five worst drawdowns (peak to recovery, or to the
    last bar) over the chart's ``domain`` and a label with each depth."""
    shapes, notes = [], []
    index = equity.index
    for rank, row in enumerate(series.drawdown_periods(equity).itertuples(index=False), 1):
        end = row.recovery if not pd.isna(row.recovery) else index[-1]
        x0, x1 = dates(pd.DatetimeIndex([row.peak, end]))
        shapes.append({"type": "rect", "xref": "x", "yref": "paper", "x0": x0, "x1": x1,
                       "y0": domain[0], "y1": domain[1], "fillcolor": LOSS, "opacity": 0.08,
                       "line": {"width": 0}, "layer": "below"})
        notes.append({"x": x0, "y": domain[1], "xref": "x", "yref": "paper", "xanchor": "left",
                      "yanchor": "top", "showarrow": False, "font": {"size": 10, "color": LOSS},
                      "text": f"#{rank} {row.depth * 100:.1f}%"})
    return shapes, notes


def equity_panel(equity: pd.Series, benchmark: pd.Series) -> Panel:
    """Equity against the benchmark, the five worst drawdowns shaded, the
    drawdown underneath; a log scale when the curves span over a decade."""
    x = dates(equity.index)
    dd = stats_module.drawdown(equity) * 100.0
    data = [line(x, equity, "strategy", LINE, 1.6),
            line(dates(benchmark.index), benchmark, str(benchmark.name), BENCH, 1.2),
            line(x, dd, "drawdown %", LOSS, 0.8, fill="tozeroy", xaxis="x2", yaxis="y2")]
    log = series.spans_a_decade(equity, benchmark)
    scale = [{"label": kind, "method": "relayout",
              "args": [{f"yaxis.{k}": v for k, v in value_axis("value", kind == "log").items()
                        if k in ("type", "dtick", "title")}]}
             for kind in ("linear", "log")]
    scale[0]["args"][0]["yaxis.dtick"] = None   # back to automatic ticks
    domain = [0.3, 1.0]
    shapes, notes = _drawdown_shading(equity, domain)
    return panel(data, "Equity against the benchmark; the five worst drawdowns shaded", height=540,
                 margin={"l": 60, "r": 30, "t": 100, "b": 40}, shapes=shapes, annotations=notes,
                 xaxis=axis(matches="x2", showticklabels=False),
                 yaxis=value_axis("value", log, domain=domain),
                 xaxis2=axis(anchor="y2"), yaxis2=axis(title={"text": "drawdown %"},
                                                       domain=[0.0, 0.26], anchor="x2"),
                 updatemenus=[{"type": "buttons", "direction": "right", "x": 0.0, "y": 1.0,
                               "xanchor": "left", "yanchor": "bottom", "pad": {"b": 6},
                               "buttons": scale, "showactive": True, "active": int(log)}])


def _cell_text(z: np.ndarray, fmt: str) -> list[list[str]]:
    return np.where(np.isfinite(z), np.char.mod(fmt, np.nan_to_num(z)), "").tolist()


def monthly_panel(equity: pd.Series) -> Panel:
    table = series.monthly_returns(equity) * 100.0
    z = table.to_numpy(dtype=np.float64)
    limit = float(np.nanmax(np.abs(z))) if np.isfinite(z).any() else 1.0
    heat = {"type": "heatmap", "z": [values(row) for row in z], "x": _MONTHS,
            "y": [str(y) for y in table.index], "text": _cell_text(z, "%.1f"),
            "texttemplate": "%{text}", "colorscale": _DIVERGING, "zmid": 0.0, "zmin": -limit,
            "zmax": limit, "colorbar": {"title": {"text": "%"}},
            "hovertemplate": "%{y} %{x}: %{z:.2f}%<extra></extra>"}
    return panel([heat], "Monthly returns (%)", height=max(260, 60 + 28 * len(table)),
                 hovermode="closest", yaxis=axis(autorange="reversed", type="category"))


def yearly_panel(equity: pd.Series, benchmark: pd.Series) -> Panel:
    """Return of every calendar year beside the benchmark's."""
    mine, theirs = series.yearly_returns(equity), series.yearly_returns(benchmark)
    years = [str(y) for y in mine.index]
    data = [{"type": "bar", "x": years, "y": values(returns.reindex(mine.index) * 100.0),
             "name": name, "marker": {"color": color},
             "hovertemplate": f"{name} %{{x}}: %{{y:.2f}}%<extra></extra>"}
            for returns, name, color in ((mine, "strategy", LINE), (theirs, str(benchmark.name), BENCH))]
    part = [str(y) for y in (equity.index[0].year, equity.index[-1].year)
            if not _whole_year(equity.index, y)]
    note = f"; {' and '.join(dict.fromkeys(part))} part years" if part else ""
    return panel(data, f"Yearly returns (%){note}", hovermode="closest", barmode="group",
                 shapes=[_zero_line()], xaxis=axis(type="category"),
                 yaxis=axis(title={"text": "return %"}))


def _whole_year(index: pd.DatetimeIndex, year: int) -> bool:
    """Whether ``index`` runs from the first to the last week of ``year``."""
    inside = index[index.year == year]
    if not len(inside):
        return False
    first, last = inside[0].tz_localize(None), inside[-1].tz_localize(None)
    return (first - pd.Timestamp(year, 1, 1)).days < 7 and (pd.Timestamp(year, 12, 31) - last).days < 7


def distribution_panel(equity: pd.Series, benchmark: pd.Series, var_95: float | None = None,
                       bins: int = 80) -> Panel:
    """Histogram of the bar returns, the benchmark's over the same bins, and
    the 95 % value at risk when given."""
    mine = equity.pct_change().to_numpy(dtype=np.float64)[1:] * 100.0
    theirs = benchmark.pct_change().to_numpy(dtype=np.float64)[1:] * 100.0
    mine, theirs = mine[np.isfinite(mine)], theirs[np.isfinite(theirs)]
    both = np.concatenate([mine, theirs])
    data, shapes, notes = [], [], []
    if len(both):
        edges = np.histogram_bin_edges(both, bins=bins)
        centers = (edges[:-1] + edges[1:]) / 2.0
        for returns, name, color in ((theirs, str(benchmark.name), BENCH), (mine, "strategy", LINE)):
            counts, _ = np.histogram(returns, bins=edges)
            data.append({"type": "bar", "x": values(centers), "y": counts.tolist(), "name": name,
                         "width": values(np.diff(edges)), "marker": {"color": color}, "opacity": 0.6,
                         "hovertemplate": f"{name}: %{{y}} bars near %{{x:.2f}}%<extra></extra>"})
    if var_95 is not None and np.isfinite(var_95):
        shapes.append({"type": "line", "yref": "paper", "x0": var_95 * 100, "x1": var_95 * 100,
                       "y0": 0, "y1": 1, "line": {"color": LOSS, "dash": "dash"}})
        notes.append({"x": var_95 * 100, "y": 1, "yref": "paper", "showarrow": False,
                      "xanchor": "right", "yanchor": "bottom", "text": f"VaR 95% {var_95 * 100:.2f}%"})
    return panel(data, f"Distribution of bar returns (N = {len(mine):,})", hovermode="closest",
                 barmode="overlay", bargap=0, shapes=shapes, annotations=notes,
                 xaxis=axis(title={"text": "bar return %"}), yaxis=axis(title={"text": "bars"}))


def rolling_sharpe_panel(equity: pd.Series) -> Panel:
    x = dates(equity.index)
    data = [line(x, series.rolling_sharpe(equity, window), label, color)
            for (window, label), color in zip(ROLLING, (ACCENT, LINE))]
    return panel(data, "Rolling Sharpe ratio", shapes=[_zero_line()])


def rolling_volatility_panel(equity: pd.Series, benchmark: pd.Series) -> Panel:
    """Annualised volatility over the trailing six months, beside the
    benchmark's."""
    window, label = ROLLING[0]
    data = [line(dates(curve.index), series.rolling_volatility(curve, window) * 100.0, name, color)
            for curve, name, color in ((equity, "strategy", LINE), (benchmark, str(benchmark.name), BENCH))]
    return panel(data, f"Rolling volatility ({label}, annualised %)",
                 yaxis=axis(title={"text": "volatility %"}, rangemode="tozero"))


def rolling_beta_panel(equity: pd.Series, benchmark: pd.Series) -> Panel:
    x = dates(equity.index)
    data = [line(x, series.rolling_beta(equity, benchmark, window), label, color)
            for (window, label), color in zip(ROLLING, (ACCENT, LINE))]
    return panel(data, f"Rolling beta against {benchmark.name}", shapes=[_zero_line()],
                 yaxis=axis(title={"text": "beta"}))


# --------------------------------------------------------------------------
# Positions and trading
# --------------------------------------------------------------------------

def positions_panel(result: Result, window: pd.DatetimeIndex) -> Panel:
    x = dates(window)
    holdings = series.holdings_per_bar(result).reindex(window)
    exposure = series.exposure_per_bar(result).reindex(window) * 100.0
    data = [line(x, holdings, "holdings", LINE, 1.2, line_shape="hv"),
            line(x, exposure, "gross exposure %", ACCENT, 1.2, xaxis="x2", yaxis="y2")]
    return panel(data, "Holdings and exposure", height=440,
                 xaxis=axis(matches="x2", showticklabels=False),
                 yaxis=axis(title={"text": "positions"}, rangemode="tozero", domain=[0.54, 1.0]),
                 xaxis2=axis(anchor="y2"),
                 yaxis2=axis(title={"text": "exposure %"}, rangemode="tozero",
                             domain=[0.0, 0.46], anchor="x2"))


def has_income(result: Result) -> bool:
    """Whether the run had dividends or cash flows to show beside its equity."""
    return any(bool(getattr(result, name).to_numpy().any()) for name in ("dividends", "flows"))


def income_panel(result: Result, window: pd.DatetimeIndex) -> Panel:
    """The equity beside what came in on the way: the dividends and the
    interest added up, and the cash deposited (withdrawn)."""
    x = dates(window)
    data = [line(x, result.equity.reindex(window), "equity", LINE, 1.4)]
    for name, color in (("dividends", ACCENT), ("interest", BENCH), ("flows", "#7f7f7f")):
        part = getattr(result, name).reindex(window).fillna(0.0)
        if part.any():
            label = "cash deposited (withdrawn)" if name == "flows" else name
            data.append(line(x, part.cumsum(), f"{label}, added up", color, 1.3, line_shape="hv", yaxis="y2"))
    return panel(data, "Equity and income: dividends, interest and cash flows added up",
                 yaxis=axis(title={"text": "equity"}),
                 yaxis2=axis(title={"text": "added up"}, overlaying="y", side="right", showgrid=False))


def turnover_panel(result: Result, window: pd.DatetimeIndex) -> Panel:
    """The value traded on every bar that traded, and over the trailing year."""
    rolling, how = series.rolling_turnover(result)
    per_bar = series.traded_per_bar(result).reindex(window)
    traded = per_bar[per_bar > 0]
    data = [{"type": "scatter", "mode": "markers", "x": dates(traded.index),
             "y": values(traded * 100.0), "name": "per bar %",
             "marker": {"color": BENCH, "size": 4}}]
    # Only once the window holds a full year of its own trading.
    trailing = rolling.reindex(window).to_numpy(dtype=np.float64).copy()
    trailing[:series.BARS_PER_YEAR - 1] = np.nan
    data.append(line(dates(window), trailing, "trailing year", LINE, 1.4, yaxis="y2"))
    return panel(data, f"Turnover ({how})",
                 yaxis=axis(title={"text": "per bar % of equity"}, rangemode="tozero"),
                 yaxis2=axis(title={"text": "trailing year (x portfolio)"}, rangemode="tozero",
                             overlaying="y", side="right", showgrid=False))


def _trade_hover(trades: pd.DataFrame) -> tuple[list[list[Any]], str]:
    """customdata and hover template of the trade scatter, with the ledger's
    prices, P&L and exit reason when the trade log has them."""
    columns = [trades["ticker"].astype(str).tolist(),
               trades["entry_date"].dt.strftime("%Y-%m-%d").tolist(),
               trades["exit_date"].dt.strftime("%Y-%m-%d").fillna("open").tolist(),
               values(trades["return"].to_numpy(dtype=np.float64) * 100.0)]
    template = ("<b>%{customdata[0]}</b><br>%{customdata[1]} .. %{customdata[2]}<br>"
                "return %{customdata[3]:.2f}%<br>MAE %{x:.2f}%, MFE %{y:.2f}%")
    for column, label, fmt in (("exit_reason", "exit", ""), ("entry_price", "entry price", ":.4g"),
                               ("exit_price", "exit price", ":.4g"), ("pnl", "P&L", ":.4g")):
        if column in trades.columns:
            data = trades[column]
            n = len(columns)
            columns.append(data.astype(str).tolist() if fmt == "" else values(data))
            template += f"<br>{label} %{{customdata[{n}]{fmt}}}"
    return [list(row) for row in zip(*columns)], template


def excursion_panel(trades: pd.DataFrame) -> Panel:
    """MAE against MFE of the closed trades, in the trade log's signs: MAE
    at or below 0, MFE at or above 0."""
    closed = trades[trades["exit_date"].notna()]
    won = closed["return"].to_numpy(dtype=np.float64) > 0
    data = []
    for mask, name, color in ((won, "profit", WIN), (~won, "loss", LOSS)):
        part = closed[mask]
        custom, template = _trade_hover(part)
        data.append({"type": "scattergl", "mode": "markers", "name": name,
                     "x": values(part["mae"].to_numpy(dtype=np.float64) * 100.0),
                     "y": values(part["mfe"].to_numpy(dtype=np.float64) * 100.0),
                     "marker": {"color": color, "size": 5, "opacity": 0.6},
                     "customdata": custom, "hovertemplate": template + "<extra></extra>"})
    return panel(data, f"Trade excursions (N = {len(closed):,} closed trades)", height=460,
                 hovermode="closest", xaxis=axis(title={"text": "MAE, adverse excursion % (≤ 0)"}),
                 yaxis=axis(title={"text": "MFE, favourable excursion % (≥ 0)"}))


def histogram_panel(trades: pd.DataFrame, bins: int = 50) -> Panel:
    ret = trades.loc[trades["exit_date"].notna(), "return"].to_numpy(dtype=np.float64) * 100.0
    ret = ret[np.isfinite(ret)]
    data, shapes, notes = [], [], []
    if len(ret):
        counts, edges = np.histogram(ret, bins=bins)
        centers = (edges[:-1] + edges[1:]) / 2.0
        data.append({"type": "bar", "x": values(centers), "y": counts.tolist(),
                     "width": values(np.diff(edges)), "name": "trades",
                     "marker": {"color": np.where(centers > 0, WIN, LOSS).tolist()},
                     "hovertemplate": "%{x:.2f}%: %{y} trades<extra></extra>"})
        mean = float(ret.mean())
        shapes.append({"type": "line", "yref": "paper", "x0": mean, "x1": mean, "y0": 0, "y1": 1,
                       "line": {"color": LINE, "dash": "dash"}})
        notes.append({"x": mean, "y": 1, "yref": "paper", "text": f"mean {mean:.2f}%",
                      "showarrow": False, "xanchor": "left", "yanchor": "bottom"})
    return panel(data, f"Trade returns (N = {len(ret):,})", hovermode="closest",
                 showlegend=False, shapes=shapes, annotations=notes, bargap=0,
                 xaxis=axis(title={"text": "trade return %"}), yaxis=axis(title={"text": "trades"}))


def sweep_panel(table: pd.DataFrame, y: str, x: str, stat: str = "sharpe") -> Panel:
    """Heatmap of ``stat`` over the grid options ``y`` and ``x`` of a sweep
    (the best value over any other options)."""
    from .plots import sweep_pivot

    pivot = sweep_pivot(table, stat, x, y)
    z = pivot.to_numpy(dtype=np.float64)
    label = label_of(stat)[0]
    heat = {"type": "heatmap", "z": [values(row) for row in z], "x": [str(c) for c in pivot.columns],
            "y": [str(i) for i in pivot.index], "text": _cell_text(z, "%.2f"),
            "texttemplate": "%{text}", "colorscale": _DIVERGING, "colorbar": {"title": {"text": label}},
            "hovertemplate": f"{y} %{{y}}, {x} %{{x}}: %{{z:.3f}}<extra></extra>"}
    return panel([heat], f"Sweep: best {label} by {y} and {x}", height=360, hovermode="closest",
                 xaxis=axis(title={"text": x}, type="category"),
                 yaxis=axis(title={"text": y}, type="category"))
