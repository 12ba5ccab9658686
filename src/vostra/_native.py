"""Where the Python layers find the native engine ``vostra._engine``."""

from __future__ import annotations

import os
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


def usable_cpus() -> int:
    """The CPUs this process may run on: the threads the native work and
    the fits are spread over by default."""
    try:
        return max(1, len(os.sched_getaffinity(0)))
    except AttributeError:  # pragma: no cover - not on Linux
        return os.cpu_count() or 1
