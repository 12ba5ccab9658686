"""A plotly figure that an exported notebook shows too."""

from __future__ import annotations

from typing import Any

import plotly.graph_objects as go

__all__ = ["NotebookFigure"]


class NotebookFigure(go.Figure):
    """A plotly Figure whose notebook output carries, beside plotly's own
    mime type (which only a live notebook draws), the figure as HTML with
    plotly's script loaded from its CDN: a notebook exported to HTML, or a
    viewer without the plotly extension, draws it from that."""

    def _repr_mimebundle_(self, include: Any = None, exclude: Any = None, validate: bool = True,
                          **kwargs: Any) -> dict[str, Any]:
        bundle = dict(super()._repr_mimebundle_(include, exclude, validate, **kwargs) or {})
        bundle.setdefault("text/html", self.to_html(full_html=False, include_plotlyjs="cdn"))
        return bundle
