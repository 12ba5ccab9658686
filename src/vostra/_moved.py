"""The module paths of the flat layout, kept for one release: importing one
warns and gives the module's new home (``vostra.result`` is
``vostra.results.result``)."""

from __future__ import annotations

import importlib
import importlib.abc
import importlib.machinery
import os
import sys
import types
import warnings

MOVED = {
    "result": "results.result", "stats": "results.stats", "series": "results.series",
    "fills": "results.fills", "orders": "results.orders",
    "plots": "views.plots", "panels": "views.panels", "report": "views.report",
    "drilldown": "views.drilldown", "notebook": "views.notebook",
    "sweep": "research.sweep", "walkforward": "research.walkforward",
    "overfit": "research.overfit", "table": "research.table",
    "backtest_command": "cli.backtest", "demo": "cli.demo", "_index_facts": "data.index_facts",
}

_HERE = os.path.dirname(__file__)


def _caller_level() -> int:
    """The stack level of the first frame outside the import machinery and
    this package: the line that imported the old path."""
    frame, level = sys._getframe(1), 1
    while frame is not None and ("importlib" in frame.f_code.co_filename
                                 or frame.f_code.co_filename.startswith(_HERE)):
        frame, level = frame.f_back, level + 1
    return level


class _CallableModule(types.ModuleType):
    """An old path that is also a function's name in ``vostra``
    (``vostra.sweep``): the import rebinds the package's attribute to the
    module, which must then still run the function."""

    def __call__(self, *args, **kwargs):
        return getattr(self._target, self.__name__.rsplit(".", 1)[1])(*args, **kwargs)

    def __getattr__(self, attr):
        return getattr(self.__dict__["_target"], attr)


class _Loader(importlib.abc.Loader):
    def create_module(self, spec):
        return None

    def exec_module(self, module):
        name = module.__name__
        new = "vostra." + MOVED[name.rsplit(".", 1)[1]]
        warnings.warn(f"{name} has moved to {new}; import it from there (or its names from "
                      f"vostra): the old path will be removed in the next release",
                      FutureWarning, stacklevel=_caller_level())
        target = importlib.import_module(new)
        if callable(getattr(sys.modules["vostra"], name.rsplit(".", 1)[1], None)):
            module.__class__ = _CallableModule
            module._target = target
        else:
            sys.modules[name] = target  # the import returns what sys.modules holds


class _Finder(importlib.abc.MetaPathFinder):
    def find_spec(self, fullname, path, target=None):
        package, _, leaf = fullname.rpartition(".")
        if package != "vostra" or leaf not in MOVED:
            return None
        return importlib.machinery.ModuleSpec(fullname, _Loader())


def install() -> None:
    if not any(isinstance(f, _Finder) for f in sys.meta_path):
        sys.meta_path.append(_Finder())
