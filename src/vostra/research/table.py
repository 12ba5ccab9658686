"""The table a parameter sweep returns: a DataFrame that shows its
statistics formatted in a notebook and draws heatmaps over two options."""

from __future__ import annotations

from typing import TYPE_CHECKING, Any

import pandas as pd

if TYPE_CHECKING:
    from matplotlib.figure import Figure

    from .overfit import SweepReturns
    from .reality import RealityCheck

__all__ = ["SweepTable"]


class SweepTable(pd.DataFrame):
    """One row per run of :func:`vostra.sweep`; a plain DataFrame in every
    other respect (selections and sorts keep the class, and the runs'
    returns)."""

    # The per-bar returns of the runs (a SweepReturns), passed on by
    # reference to the tables made from this one.
    _metadata = ["_run_returns"]
    _run_returns: SweepReturns | None = None

    @property
    def _constructor(self):
        return SweepTable

    def reality_check(self, benchmark: Any = "cash", statistic: str = "mean", *, samples: int = 1000,
                      block: float | None = None, size: float = 0.05, seed: Any = None) -> RealityCheck:
        """Does any run of this table beat ``benchmark`` once the search over
        all of them is accounted for? White's Reality Check and Hansen's SPA
        p-values and the StepM set of runs that beat it, on the runs'
        per-bar returns (a :class:`vostra.research.reality.RealityCheck`).

        ``benchmark``: ``"cash"`` (a return of 0 on every bar), a price
        series or equity curve (its returns between the sweep's bars), or
        the label of a run of the table (tested against the others).
        ``statistic``: ``"mean"`` compares mean bar returns, ``"log"`` mean
        bar log returns (growth). The stationary bootstrap draws ``samples``
        samples with mean block length ``block`` (default: estimated as
        ``arch.bootstrap.optimal_block_length`` does, the median over the
        runs) from ``numpy.random.default_rng(seed)``; ``size`` is StepM's
        family-wise error rate. The runs are the rows of this table (a
        filtered table tests its own rows); failed runs have no returns and
        are left out. Needs the returns a sweep keeps with
        ``overfitting=True`` (the default) or ``equity=True``, and
        ``pip install 'vostra[research]'``."""
        from .reality import reality_check

        return reality_check(self._returns_source(), list(self.index), benchmark, statistic=statistic,
                             samples=samples, block=block, size=size, seed=seed)

    def _returns_source(self) -> SweepReturns:
        from .overfit import SweepReturns, sweep_returns

        if self._run_returns is not None:
            return self._run_returns
        if "equity" in self.columns:
            curves = self["equity"]
            returns = sweep_returns(curves)
            first = next((c for c in curves if c is not None), None)
            if first is not None and len(returns):
                anchor = first.index[first.index.get_loc(returns.index[0]) - 1]
                return SweepReturns(returns, anchor)
        raise ValueError("this table keeps no returns of its runs: they come with vostra.sweep(..., "
                         "overfitting=True) (the default) or equity=True")

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
