"""Where the Python layers find the native engine ``vostra._engine``."""

from __future__ import annotations

from types import ModuleType


_loaded: ModuleType | None = None


def load_engine() -> ModuleType:
    """The native engine module, or an ImportError that says how to build it."""
    global _loaded
    if _loaded is not None:  # an import statement per call costs a run's worth of bookkeeping
        return _loaded
    try:
        from . import _engine
    except ImportError as exc:  # pragma: no cover - depends on the build
        raise ImportError(
            "the native engine vostra._engine is not built; install the "
            "package with `pip install .` or build in place with "
            "`bash tools/dev-build.sh`"
        ) from exc
    _loaded = _engine
    return _engine
