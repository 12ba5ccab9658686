"""The table a parameter sweep returns: a DataFrame that shows its
statistics formatted in a notebook and draws heatmaps over two options."""

from __future__ import annotations

from typing import TYPE_CHECKING

import pandas as pd

if TYPE_CHECKING:
    from matplotlib.figure import Figure

__all__ = ["SweepTable"]


class SweepTable(pd.DataFrame):
    """One row per run of :func:`vostra.sweep`; a plain DataFrame in every
    other respect (selections and sorts keep the class)."""

    @property
    def _constructor(self):
        return SweepTable

    def plot_heatmap(self, stat: str = "sharpe", x: str | None = None, y: str | None = None, *,
                     best: str = "max") -> Figure:
        """Heatmap (a matplotlib figure) of statistic ``stat`` over option
        ``x`` (columns) and option ``y`` (rows), by default the last two
        options the grid varies. Runs that differ in other options are
        reduced by ``best`` ("max", "min" or "mean")."""
        from ..views.plots import sweep_heatmap
        from ..views.report import sweep_grid_columns

        if x is None or y is None:
            grid = [c for c in sweep_grid_columns(self) if c not in (x, y)]
            needed = (x is None) + (y is None)
            if len(grid) < needed:
                raise ValueError(
                    f"the sweep varies {sweep_grid_columns(self)}; a heatmap needs two options: "
                    f"pass x= and y= (columns: {list(self.columns)})")
            if y is None:
                y = grid[-2] if x is None else grid[-1]
            if x is None:
                x = grid[-1]
        return sweep_heatmap(self, stat, x, y, best=best)

    def _repr_html_(self) -> str:
        from ..views.report import sweep_html

        return sweep_html(self)
