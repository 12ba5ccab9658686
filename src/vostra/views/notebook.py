"""What a Jupyter notebook shows by itself: matplotlib figures that render
inline without ``%matplotlib inline``, rich views of the next-day orders,
the overfitting figures and a walk-forward, and progress bars that use the
notebook widget when there is one."""

from __future__ import annotations

import html
import io
import math
from typing import TYPE_CHECKING, Any

import pandas as pd
from matplotlib.figure import Figure

from ..results.orders import Orders as OrdersFrame
from ..results.orders import order_rows, orders_summary
from ..results.stats import STAT_LABELS, _format_value

if TYPE_CHECKING:
    from ..research.overfit import Overfitting
    from ..research.walkforward import WalkForward

__all__ = ["InlineFigure", "OrdersFrame", "orders_html", "overfitting_html", "walk_forward_html"]


class InlineFigure(Figure):
    """A matplotlib figure that a notebook shows as a PNG when it is a
    cell's value. Our figures are not pyplot's, so no backend draws them at
    the end of a cell; without this a notebook shows ``<Figure size ...>``
    until the user switches the inline backend on. With the inline backend
    on, its own formatter is used instead (one image either way)."""

    def _repr_png_(self) -> bytes:
        buffer = io.BytesIO()
        self.savefig(buffer, format="png", dpi=100)
        return buffer.getvalue()


def _percent(value: Any) -> str:
    try:
        number = float(value)
    except (TypeError, ValueError):
        return "-" if value is None else str(value)
    return "-" if not math.isfinite(number) else f"{number * 100:.2f}%"


def _cell(value: Any) -> str:
    if value is None or (isinstance(value, float) and math.isnan(value)):
        return "-"
    if isinstance(value, pd.Timestamp):
        return str(value.date()) if value.normalize() == value else str(value)
    return str(value)


def _table(frame: pd.DataFrame, percent: tuple[str, ...] = ()) -> str:
    head = "".join(f"<th>{html.escape(str(c))}</th>" for c in frame.columns)
    rows = []
    for row in frame.itertuples(index=False):
        cells = "".join(f"<td>{html.escape(_percent(v) if c in percent else _cell(v))}</td>"
                        for c, v in zip(frame.columns, row))
        rows.append(f"<tr>{cells}</tr>")
    return (f'<table class="vostra"><thead><tr>{head}</tr></thead>'
            f'<tbody>{"".join(rows)}</tbody></table>')


def orders_html(orders: pd.DataFrame) -> str:
    """The orders as a notebook shows them: the signal they follow, then one
    row per order with its weights in per cent."""
    when = orders.attrs.get("signal_date")
    head = f"Orders for the signal of {_cell(when)}" if when is not None else "Orders"
    summary = "".join(f"<br>{html.escape(line)}" for line in orders_summary(orders.attrs).splitlines())
    if not len(orders):
        return f"<div><b>{html.escape(head)}</b>: nothing to do.{summary}</div>"
    weights = tuple(c for c in orders.columns if str(c).endswith("weight"))
    return (f"<div><b>{html.escape(head)}</b> ({len(orders)} orders){summary}"
            f"{_table(order_rows(orders), weights)}</div>")


def overfitting_html(overfitting: Overfitting) -> str:
    """The overfitting figures as a table of figure, value and meaning."""
    shown = overfitting.shown()
    foot = (f"over {overfitting.n_obs} bars; PBO from {overfitting.n_blocks} blocks, "
            f"{len(overfitting.logits)} splits")
    note = f"<br><i>{html.escape(overfitting.note)}</i>" if overfitting.note else ""
    return (f"<div><b>Overfitting of the best of {overfitting.n_trials} trials</b>"
            f"{_table(shown)}<small>{html.escape(foot)}</small>{note}</div>")


def walk_forward_html(walk: WalkForward) -> str:
    """A walk-forward: its span, the out-of-sample statistics beside the
    hindsight best's, the choice of every window and the overfitting."""
    frames = walk.report_frames()
    stats = frames["statistics"]
    keep = ["total_return", "cagr", "annual_volatility", "sharpe", "max_drawdown"]
    shown = {name: [_format_value(stats.at[k, column], STAT_LABELS[k][1]) for k in keep]
             for name, column in (("chained out of sample", "out_of_sample"),
                                  ("hindsight best, same dates", "in_sample_best"))}
    pairs = pd.DataFrame({"statistic": [STAT_LABELS[k][0] for k in keep], **shown})
    span = f"{_cell(walk.equity.index[0])} .. {_cell(walk.equity.index[-1])}" if len(walk.equity) else "-"
    head = (f"Walk-forward over {len(frames['windows'])} windows, selecting by {walk.select!r}; "
            f"out of sample {span}")
    return (f"<div><b>{html.escape(head)}</b>{_table(pairs)}"
            f"<b>Windows</b>{_table(frames['windows'])}"
            f"{overfitting_html(walk.overfitting)}</div>")
