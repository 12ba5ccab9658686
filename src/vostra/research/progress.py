"""Progress bars of long research runs: the notebook widget in a Jupyter
kernel, the text bar everywhere else."""

from __future__ import annotations

import sys
from typing import Any


def _in_notebook() -> bool:
    """Whether a Jupyter kernel runs this process (IPython is not imported
    to find out)."""
    ipython = sys.modules.get("IPython")
    shell = ipython.get_ipython() if ipython is not None else None
    return shell is not None and getattr(shell, "kernel", None) is not None


def progress_bar(total: int, desc: str, unit: str) -> Any:
    """A tqdm progress bar: the notebook widget in a Jupyter kernel that has
    ipywidgets, the text bar everywhere else (tqdm's own fallback would
    print "IProgress not found" instead)."""
    from tqdm.std import tqdm as text_bar

    if _in_notebook():
        try:
            import ipywidgets  # noqa: F401
            from tqdm.notebook import tqdm as widget_bar

            return widget_bar(total=total, desc=desc, unit=unit)
        except ImportError:
            pass
    return text_bar(total=total, desc=desc, unit=unit, dynamic_ncols=True)
