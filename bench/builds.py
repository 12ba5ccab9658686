"""``backtest_`` of whole builds against each other, on the rows of walks.py.

    python bench/builds.py OLD_DIR NEW_DIR [MORE_DIRS...] [--pairs 41] [--rounds 3] [--rows 0123]

Each folder holds a build's ``vantrel`` and ``orbalt`` modules (a build
tree's ``build/dev``). Each ``vantrel`` is loaded with its own recorder, as
a user of that build runs it, all in this one process; the calls go round
robin (the order reversed every other pair), and each build's CPU median is
printed relative to the first folder's. A copy of a folder under another
path measures the method's own bias (two loads of the same build). Every
build is first checked to give the first one's equity bits.
"""

from __future__ import annotations

import argparse
import gc
import glob
import importlib.util
import os
import statistics
import sys
import time

import numpy as np

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from market import top_k_signal  # noqa: E402
import peers  # noqa: E402
import walks  # noqa: E402


def load(folder, name, tag):
    so = glob.glob(os.path.join(folder, name + ".cpython*.so"))[0]
    found = importlib.util.spec_from_file_location(f"build{tag}.{name}", so)
    module = importlib.util.module_from_spec(found)
    found.loader.exec_module(module)
    return module


def load_build(folder, tag):
    """The folder's vantrel, bound at import to the folder's own recorder
    (the package's own modules when the folder holds them: an extension
    module cannot be loaded twice from one file)."""
    import vostra.core.orbalt as installed
    import vostra.core.vantrel as package
    so = glob.glob(os.path.join(folder, "orbalt.cpython*.so"))[0]
    if os.path.realpath(so) == os.path.realpath(installed.__file__):
        return package
    recorder = load(folder, "orbalt", tag)
    sys.modules["vostra.core.orbalt"] = recorder
    try:
        vantrel = load(folder, "vantrel", tag)
    finally:
        sys.modules["vostra.core.orbalt"] = installed
    assert vantrel.orbalt is recorder
    return vantrel


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("folders", nargs="+")
    ap.add_argument("--pairs", type=int, default=41)
    ap.add_argument("--rounds", type=int, default=1)
    ap.add_argument("--rows", default="0123", help="digits of the rows to run, in walks.py's order")
    a = ap.parse_args()
    builds = [load_build(f, i) for i, f in enumerate(a.folders)]
    clean, holed = walks.issue_market(2000, 4000, 0.001)
    sig = top_k_signal(clean, 50)
    base, holes = peers.engine_args(clean, sig), peers.engine_args(holed, sig)
    rows = [("no stops, no holes", base, walks.NO_STOPS), ("no stops, holes", holes, walks.NO_STOPS),
            ("stop_loss=0.1, holes", holes, walks.CLOSE_STOP), ("intrabar, holes", holes, walks.INTRABAR_STOP)]
    rows = [r for i, r in enumerate(rows) if str(i) in a.rows]
    for name, args, opts in rows:
        want = builds[0].backtest_(*args, **opts)
        for b in builds[1:]:
            assert np.array_equal(want, b.backtest_(*args, **opts), equal_nan=True), name
    for _ in range(a.rounds):
        for name, args, opts in rows:
            times = [[] for _ in builds]
            for p in range(a.pairs):
                for i in (reversed(range(len(builds))) if p % 2 else range(len(builds))):
                    gc.collect()
                    c0 = time.process_time()
                    builds[i].backtest_(*args, **opts)
                    times[i].append(time.process_time() - c0)
            med = [statistics.median(t) for t in times]
            print(f"{name:<22}" + "".join(f"  {m * 1e3:6.2f} ms {m / med[0]:5.3f}x" for m in med), flush=True)
    print("folders:", *a.folders, " load", os.getloadavg())


if __name__ == "__main__":
    main()
