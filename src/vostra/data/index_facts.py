"""Facts the front end derives from pandas indexes, kept for the indexes it
saw last.

An Index cannot change once made (a frame given new dates or tickers holds a
new Index object), so what was found out about one (its checks passed, its
timestamps, its labels, where its tickers sit in another index) holds for as
long as the object lives. Users call backtests on the same frames again and
again; each call then skips the pandas work of the checks and conversions,
which after a garbage collection costs more than its arithmetic suggests.
The entries hold the indexes themselves, so an id is never that of another
object; only successful outcomes are kept, so every failure is raised anew.
"""

from __future__ import annotations

import threading
from collections.abc import Callable
from typing import Any, TypeVar

import numpy as np

T = TypeVar("T")

_KEPT = 32
_entries: dict[tuple[Any, ...], tuple[tuple[Any, ...], Any]] = {}
_lock = threading.Lock()


def known(kind: str, objects: tuple[Any, ...], make: Callable[[], T]) -> T:
    """``make()``, or what it gave before for these same objects."""
    key = (kind, *map(id, objects))
    # An entry holds its objects alive, so no other live object has their
    # ids: a hit is for these very objects. One dict read needs no lock.
    hit = _entries.get(key)
    if hit is not None:
        return hit[1]
    value = make()
    if isinstance(value, np.ndarray):
        value.flags.writeable = False  # shared by every later call
    with _lock:
        _entries.pop(key, None)
        _entries[key] = (objects, value)
        while len(_entries) > _KEPT:
            del _entries[next(iter(_entries))]
    return value
