"""Plots of a backtest result, drawn on standalone matplotlib figures.

The figures are built with ``matplotlib.figure.Figure`` rather than pyplot,
so they render with the Agg canvas and never touch the interactive backend
or pyplot's global figure list of the caller.
"""

from __future__ import annotations

from pathlib import Path
from typing import TYPE_CHECKING

import numpy as np
import pandas as pd
from matplotlib.figure import Figure

from .stats import drawdown

if TYPE_CHECKING:
    from .result import Result

__all__ = ["equity_figure", "excursion_figure", "returns_figure", "save_plots"]

_WIN, _LOSS, _LINE = "#2a9d5c", "#d1495b", "#1f4e79"


def equity_figure(equity: pd.Series, title: str = "Equity") -> Figure:
    """Equity curve with its drawdown underneath, sharing the date axis."""
    fig = Figure(figsize=(10, 6), layout="constrained")
    top, bottom = fig.subplots(2, 1, sharex=True, height_ratios=[3, 1])
    top.plot(equity.index, equity.to_numpy(), color=_LINE, linewidth=1.2)
    top.set_title(title)
    top.set_ylabel("portfolio value")
    top.grid(alpha=0.3)
    dd = drawdown(equity) * 100.0
    bottom.fill_between(dd.index, dd.to_numpy(), 0.0, color=_LOSS, alpha=0.5, linewidth=0)
    bottom.set_ylabel("drawdown %")
    bottom.grid(alpha=0.3)
    return fig


def _outcome_colors(returns: np.ndarray) -> np.ndarray:
    return np.where(returns > 0, _WIN, _LOSS)


def excursion_figure(trades: pd.DataFrame) -> Figure:
    """Adverse against favourable excursion of every closed trade, green for
    trades that ended in profit and red for the others."""
    fig = Figure(figsize=(7, 6), layout="constrained")
    ax = fig.subplots()
    closed = trades[trades["exit_date"].notna()]
    mae = -closed["mae"].to_numpy(dtype=np.float64) * 100.0
    mfe = closed["mfe"].to_numpy(dtype=np.float64) * 100.0
    ret = closed["return"].to_numpy(dtype=np.float64)
    if len(closed):
        ax.scatter(mae, mfe, c=_outcome_colors(ret), s=10, alpha=0.6, linewidths=0)
        ax.scatter([], [], c=_WIN, s=10, label="profit")
        ax.scatter([], [], c=_LOSS, s=10, label="loss")
        ax.legend(loc="upper right")
    else:
        ax.text(0.5, 0.5, "no closed trades", ha="center", va="center", transform=ax.transAxes)
    ax.set_xlabel("MAE (adverse excursion, %)")
    ax.set_ylabel("MFE (favourable excursion, %)")
    ax.set_title("Trade excursions")
    ax.grid(alpha=0.3)
    return fig


def returns_figure(trades: pd.DataFrame, bins: int = 50) -> Figure:
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
    ax.set_title("Trade return distribution")
    ax.grid(alpha=0.3)
    return fig


def save_plots(result: Result, out_dir: Path, prefix: str = "") -> dict[str, Path]:
    """Write the three plots of ``result`` as PNG files into ``out_dir``."""
    out_dir.mkdir(parents=True, exist_ok=True)
    figures = {
        "equity": equity_figure(result.equity),
        "excursions": excursion_figure(result.trades),
        "returns": returns_figure(result.trades),
    }
    paths = {}
    for name, fig in figures.items():
        path = out_dir / f"{prefix}{name}.png"
        fig.savefig(path, dpi=100)
        paths[name] = path
    return paths
