"""Where the Python layers find the native engine ``vostra._engine``."""

from __future__ import annotations

from types import ModuleType


def load_engine() -> ModuleType:
    """The native engine module, or an ImportError that says how to build it."""
    try:
        from . import _engine
    except ImportError as exc:  # pragma: no cover - depends on the build
        raise ImportError(
            "the native engine vostra._engine is not built; install the "
            "package with `pip install .` or build in place with "
            "`bash tools/dev-build.sh`"
        ) from exc
    return _engine
