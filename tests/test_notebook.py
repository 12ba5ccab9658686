"""A notebook executed headlessly: figures come out as PNG images and the
rich views as HTML without any magic, and a progress bar falls back to text
silently where the notebook widget is missing."""

from __future__ import annotations

import os

import pytest

import vostra
from vostra.views.notebook import InlineFigure, OrdersFrame

nbformat = pytest.importorskip("nbformat")
nbclient = pytest.importorskip("nbclient")

SETUP = """
import vostra
m = vostra.synthetic_market(n_stocks=40, years=3, seed=4)
score = m.close.ffill().pct_change(20, fill_method=None).where(m.close.notna())
signal = score.rank(axis=1, ascending=False) <= 5
result = vostra.backtest(signal, m.close, m.open, m.high, m.low, trade_at="open", stop_loss=0.1)
"""

# (source, the MIME type its output must carry)
CELLS = [
    ('result.plot()["equity"]', "image/png"),
    ("result", "text/html"),
    ("result.orders", "text/html"),
    ("table = vostra.sweep(signal, m.close, m.open, m.high, m.low, trade_at='open', progress=True,\n"
     "                     grid={'stop_loss': [None, 0.05, 0.1], 'fee': [0.0, 0.001]})\n"
     "table.plot_heatmap('sharpe', 'fee', 'stop_loss')", "image/png"),
    ("vostra.overfitting(table)", "text/html"),
    ("vostra.walk_forward(signal, m.close, m.open, m.high, m.low, trade_at='open',\n"
     "                    grid={'stop_loss': [None, 0.1]}, train=250, test=120)", "text/html"),
]


def test_a_notebook_shows_figures_and_rich_views_inline(tmp_path):
    nb = nbformat.v4.new_notebook()
    nb.cells = [nbformat.v4.new_code_cell(SETUP)] + [nbformat.v4.new_code_cell(src) for src, _ in CELLS]
    # The kernel imports the vostra this test imports, wherever it lies.
    package_root = os.path.dirname(os.path.dirname(vostra.__file__))
    path = os.pathsep.join(filter(None, [package_root, os.environ.get("PYTHONPATH")]))
    client = nbclient.NotebookClient(nb, timeout=300, kernel_name="python3",
                                     resources={"metadata": {"path": str(tmp_path)}})
    client.execute(env={**os.environ, "PYTHONPATH": path})
    for cell, (source, mime) in zip(nb.cells[1:], CELLS):
        results = [o for o in cell.outputs if o.output_type == "execute_result"]
        assert results and mime in results[0]["data"], (source, cell.outputs)
        text = "".join(o.get("text", "") for o in cell.outputs if o.output_type == "stream")
        assert "IProgress" not in text and "Warning" not in text, (source, text)
    png = nb.cells[1].outputs[0]["data"]["image/png"]
    assert len(png) > 1000
    orders = nb.cells[3].outputs[0]["data"]["text/html"]
    assert "Orders for the signal of" in orders


def test_figures_and_orders_carry_their_own_notebook_views(monkeypatch):
    m = vostra.synthetic_market(n_stocks=30, years=2, seed=1)
    res = vostra.backtest(m.close.rank(axis=1) <= 3, m.close, rebalance="M")
    figure = res.plot()["equity"]
    assert isinstance(figure, InlineFigure) and figure._repr_png_().startswith(b"\x89PNG")
    orders = res.orders
    assert isinstance(orders, OrdersFrame) and orders.attrs["signal_date"] == res.next_weight_date
    assert f"{res.next_weight_date.date()}" in orders._repr_html_()
    # A selection is a plain frame again.
    assert type(orders.head(2)) is not OrdersFrame
    # A ticker's drill-down carries HTML beside plotly's own mime type, which
    # a notebook exported to HTML does not draw.
    import plotly.io as pio

    monkeypatch.setattr(pio.renderers, "default", "plotly_mimetype")
    bundle = res.plot_ticker(res.trades["ticker"].iloc[0])._repr_mimebundle_()
    assert "application/vnd.plotly.v1+json" in bundle and 'class="plotly-graph-div"' in bundle["text/html"]
