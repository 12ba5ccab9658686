"""Plots of a backtest result, drawn on standalone matplotlib figures.

The figures are built with ``matplotlib.figure.Figure`` rather than pyplot,
so they render with the Agg canvas and never touch the interactive backend
or pyplot's global figure list of the caller.
"""

from __future__ import annotations

import base64
import io
from pathlib import Path
from typing import TYPE_CHECKING

import numpy as np
import pandas as pd
from .notebook import InlineFigure as Figure

from ..results.series import as_benchmark, default_benchmark, live_equity, spans_a_decade
from ..results.stats import drawdown

if TYPE_CHECKING:
    from ..results.result import Result

__all__ = ["equity_figure", "excursion_figure", "returns_figure", "heatmap_figure",
           "sweep_pivot", "sweep_heatmap", "result_figures", "save_figures", "save_plots",
           "span_text", "Figures"]

_WIN, _LOSS, _LINE, _BENCH = "#2a9d5c", "#d1495b", "#1f4e79", "#8d99ae"


class Figures(dict):
    """Figures by name; a notebook shows them all, one under the other."""

    def _repr_html_(self) -> str:
        parts = []
        for name, fig in self.items():
            buffer = io.BytesIO()
            fig.savefig(buffer, format="png", dpi=80)
            data = base64.b64encode(buffer.getvalue()).decode("ascii")
            parts.append(f'<img alt="{name}" src="data:image/png;base64,{data}">')
        return "<div>" + "<br>".join(parts) + "</div>"


def span_text(index: pd.DatetimeIndex) -> str:
    """``first .. last`` date of an index, or an empty string."""
    if len(index) == 0:
        return ""
    return f"{index[0].date()} .. {index[-1].date()}"


def _figure(stats: pd.Series, key: str, kind: str = "pct") -> str:
    value = stats.get(key, np.nan)
    if value is None or not np.isfinite(value):
        return "-"
    return f"{value * 100:.1f}%" if kind == "pct" else f"{value:.2f}"


def equity_figure(equity: pd.Series, title: str = "Equity", *, benchmark: pd.Series | None = None,
                  log: bool | None = None) -> Figure:
    """Equity curve (against ``benchmark`` when given, on the same scale)
    with its drawdown underneath, sharing the date axis; ``log`` draws the
    values on a log scale (None: when the curves span more than a factor of
    ten)."""
    if log is None:
        log = spans_a_decade(equity, *([] if benchmark is None else [benchmark]))
    fig = Figure(figsize=(10, 6), layout="constrained")
    top, bottom = fig.subplots(2, 1, sharex=True, height_ratios=[3, 1])
    top.plot(equity.index, equity.to_numpy(), color=_LINE, linewidth=1.2, label="strategy")
    if benchmark is not None:
        top.plot(benchmark.index, benchmark.to_numpy(), color=_BENCH, linewidth=1.0,
                 label=str(benchmark.name or "benchmark"))
        top.legend(loc="upper left")
    if log:
        top.set_yscale("log")
    top.set_title(title)
    top.set_ylabel("portfolio value" + (" (log scale)" if log else ""))
    top.grid(alpha=0.3, which="both" if log else "major")
    dd = drawdown(equity) * 100.0
    bottom.fill_between(dd.index, dd.to_numpy(), 0.0, color=_LOSS, alpha=0.5, linewidth=0)
    bottom.set_ylabel("drawdown %")
    bottom.grid(alpha=0.3)
    return fig


def _outcome_colors(returns: np.ndarray) -> np.ndarray:
    return np.where(returns > 0, _WIN, _LOSS)


def excursion_figure(trades: pd.DataFrame, title: str | None = None) -> Figure:
    """Adverse against favourable excursion of every closed trade, in the
    trade log's signs (MAE at or below 0, MFE at or above 0), green for
    trades that ended in profit and red for the others."""
    fig = Figure(figsize=(7, 6), layout="constrained")
    ax = fig.subplots()
    closed = trades[trades["exit_date"].notna()]
    mae = closed["mae"].to_numpy(dtype=np.float64) * 100.0
    mfe = closed["mfe"].to_numpy(dtype=np.float64) * 100.0
    ret = closed["return"].to_numpy(dtype=np.float64)
    if len(closed):
        ax.scatter(mae, mfe, c=_outcome_colors(ret), s=10, alpha=0.6, linewidths=0)
        ax.scatter([], [], c=_WIN, s=10, label="profit")
        ax.scatter([], [], c=_LOSS, s=10, label="loss")
        ax.legend(loc="upper right")
    else:
        ax.text(0.5, 0.5, "no closed trades", ha="center", va="center", transform=ax.transAxes)
    ax.set_xlabel("MAE (adverse excursion, %, ≤ 0)")
    ax.set_ylabel("MFE (favourable excursion, %, ≥ 0)")
    ax.set_title(title or f"Trade excursions (N = {len(closed):,} closed trades)")
    ax.grid(alpha=0.3)
    return fig


def returns_figure(trades: pd.DataFrame, bins: int = 50, title: str | None = None) -> Figure:
    """Histogram of the returns of closed trades, with the mean marked."""
    fig = Figure(figsize=(8, 5), layout="constrained")
    ax = fig.subplots()
    closed = trades[trades["exit_date"].notna()]
    ret = closed["return"].to_numpy(dtype=np.float64) * 100.0
    ret = ret[np.isfinite(ret)]
    if len(ret):
        counts, edges = np.histogram(ret, bins=bins)
        centers = (edges[:-1] + edges[1:]) / 2.0
        ax.bar(centers, counts, width=np.diff(edges), color=_outcome_colors(centers), alpha=0.8)
        ax.axvline(float(ret.mean()), color=_LINE, linestyle="--",
                   label=f"mean {ret.mean():.2f}%")
        ax.legend(loc="upper right")
    else:
        ax.text(0.5, 0.5, "no closed trades", ha="center", va="center", transform=ax.transAxes)
    ax.axvline(0.0, color="black", linewidth=0.8)
    ax.set_xlabel("trade return %")
    ax.set_ylabel("trades")
    if title is None:
        wins = f", {np.mean(ret > 0) * 100:.1f}% won" if len(ret) else ""
        title = f"Trade returns (N = {len(ret):,} closed trades with a return{wins})"
    ax.set_title(title)
    ax.grid(alpha=0.3)
    return fig


def heatmap_figure(table: pd.DataFrame, title: str, *, fmt: str = "{:.2f}",
                   cmap: str = "RdYlGn") -> Figure:
    """A table of numbers (rows by columns, NaN left blank) as a coloured
    grid with every value written in its cell."""
    values = table.to_numpy(dtype=np.float64)
    fig = Figure(figsize=(max(6.4, 1.6 + 1.1 * len(table.columns)), max(3.6, 1.6 + 0.6 * len(table))),
                 layout="constrained")
    ax = fig.subplots()
    finite = values[np.isfinite(values)]
    limits = (finite.min(), finite.max()) if len(finite) else (0.0, 1.0)
    image = ax.imshow(np.ma.masked_invalid(values), cmap=cmap, aspect="auto",
                      vmin=limits[0], vmax=limits[1])
    ax.set_xticks(range(len(table.columns)), [str(c) for c in table.columns])
    ax.set_yticks(range(len(table.index)), [str(i) for i in table.index])
    ax.set_xlabel(str(table.columns.name or ""))
    ax.set_ylabel(str(table.index.name or ""))
    middle = (limits[0] + limits[1]) / 2.0
    span = (limits[1] - limits[0]) or 1.0
    for (r, c), value in np.ndenumerate(values):
        if np.isfinite(value):
            dark = abs(value - middle) / span > 0.35
            ax.text(c, r, fmt.format(value), ha="center", va="center",
                    color="white" if dark else "black", fontsize=9)
    fig.colorbar(image, ax=ax, shrink=0.8)
    ax.set_title(title)
    return fig


def _labels(values: pd.Series) -> tuple[pd.Series, list[str]]:
    """Values as text labels (None, or NaN in a float column, as "None":
    the option was off) and the labels in order of first appearance, which
    is the grid's order in a sweep table."""
    text = pd.Series(["None" if v is None or (isinstance(v, float) and np.isnan(v)) else str(v)
                      for v in values], index=values.index, dtype=object)
    return text, list(pd.unique(text))


def sweep_pivot(table: pd.DataFrame, stat: str, x: str, y: str, *,
                best: str = "max") -> pd.DataFrame:
    """``stat`` of a sweep table with the values of option ``y`` as rows and
    of ``x`` as columns (in grid order). Runs that differ in other options
    are reduced by ``best`` ("max", "min" or "mean"); failed runs are NaN."""
    for name in (stat, x, y):
        if name not in table.columns:
            raise KeyError(f"the sweep table has no column {name!r}; columns: {list(table.columns)}")
    if x == y:
        raise ValueError(f"x and y must be two different options, both are {x!r}")
    if best not in ("max", "min", "mean"):
        raise ValueError(f"best must be 'max', 'min' or 'mean', got {best!r}")
    xs, x_order = _labels(table[x])
    ys, y_order = _labels(table[y])
    values = pd.to_numeric(table[stat], errors="coerce").astype(np.float64)
    frame = pd.DataFrame({"x": xs, "y": ys, "v": values})
    pivot = frame.groupby(["y", "x"], sort=False)["v"].agg(best).unstack("x")
    pivot = pivot.reindex(index=y_order, columns=x_order)
    pivot.index.name, pivot.columns.name = y, x
    return pivot


def sweep_heatmap(table: pd.DataFrame, stat: str, x: str, y: str, *,
                  best: str = "max") -> Figure:
    """Heatmap of ``stat`` over the options ``x`` (columns) and ``y``
    (rows) of a sweep table; see :func:`sweep_pivot`."""
    from ..results.stats import label_of

    pivot = sweep_pivot(table, stat, x, y, best=best)
    label, kind = label_of(stat)
    shown = pivot * 100.0 if kind == "pct" else pivot
    suffix = " (%)" if kind == "pct" else ""
    reduced = "" if len(table) == pivot.size else f"\n({best} over the other options)"
    return heatmap_figure(shown, f"{label}{suffix} by {y} and {x}{reduced}",
                          fmt="{:.1f}" if kind == "pct" else "{:.2f}")


def result_figures(result: Result, *, log: bool | None = None, benchmark: pd.Series | None = None) -> Figures:
    """The equity, excursion and trade-return figures of a result, titled
    with the period, key figures and the number of trades. The equity is
    drawn from the result's start, against ``benchmark`` (a price series or
    equity curve, rebased to the equity's start) or else the equal-weighted
    universe of its close prices (one ticker: that ticker held) when the
    result has them; ``log`` as :func:`equity_figure`."""
    equity = live_equity(result)
    if benchmark is not None and len(equity):
        benchmark = as_benchmark(benchmark, equity.index) * float(equity.iloc[0])
    elif result.close is not None and len(equity):
        bench = default_benchmark(result.close.loc[equity.index[0]:])
        benchmark = bench * float(equity.iloc[0])
    stats = result.stats
    title = (f"Equity {span_text(equity.index)}: CAGR {_figure(stats, 'cagr')}, "
             f"Sharpe {_figure(stats, 'sharpe', 'num')}, "
             f"max drawdown {_figure(stats, 'max_drawdown')}, {len(result.trades):,} trades")
    return Figures(
        equity=equity_figure(equity, title, benchmark=benchmark, log=log),
        excursions=excursion_figure(result.trades),
        returns=returns_figure(result.trades),
    )


def save_figures(figures: dict[str, Figure], out_dir: Path, prefix: str = "") -> dict[str, Path]:
    """Write every figure as ``<prefix><name>.png`` into ``out_dir``
    (created if needed) and return the paths by name."""
    out_dir.mkdir(parents=True, exist_ok=True)
    paths = {}
    for name, fig in figures.items():
        path = out_dir / f"{prefix}{name}.png"
        fig.savefig(path, dpi=100)
        paths[name] = path
    return paths


def save_plots(result: Result, out_dir: Path, prefix: str = "") -> dict[str, Path]:
    """Write the three plots of ``result`` as PNG files into ``out_dir``."""
    return save_figures(result_figures(result), out_dir, prefix)
