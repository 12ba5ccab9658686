"""Thousands of runs in one process must not leak: a sweep runs the engine
tens of thousands of times."""
import gc
import sys
import tracemalloc

import numpy as np
import pytest

from markets import random_market

from vostra.core import vantrel


def one_cycle(markets):
    for arrays, opts in markets:
        vantrel.backtest_(*arrays, **opts)
        vantrel.get_stock_operations()
        vantrel.get_trade_stocks(arrays[9], arrays[5], opts.get("touched_exit", False))
        # A failing run must release what it took too.
        with pytest.raises(ValueError):
            vantrel.backtest_(*arrays, **{**opts, "orbalt_window_step": 0})


def footprint():
    gc.collect()
    return tracemalloc.get_traced_memory()[0], len(gc.get_objects()), sys.getallocatedblocks()


@pytest.mark.slow
def test_memory_and_objects_stop_growing_after_warm_up():
    markets = [random_market(seed, exits=True, max_bars=60, max_stocks=8) for seed in range(40)]
    tracemalloc.start()
    try:
        for _ in range(5):  # warm-up: caches, interned names, code objects
            one_cycle(markets)
        before = footprint()
        for _ in range(50):  # 2000 successful and 2000 failing runs
            one_cycle(markets)
        after = footprint()
    finally:
        tracemalloc.stop()
    traced, objects, blocks = (a - b for a, b in zip(after, before))
    # Per run, a leak of even one small object would add up to kilobytes.
    assert traced < 64 * 1024, f"traced memory grew by {traced} bytes"
    assert objects < 200, f"{objects} more live objects"
    assert blocks < 500, f"{blocks} more allocated blocks"


def test_trades_are_recorded_in_the_soak_markets():
    # The soak is only meaningful if its markets trade and stop out.
    stops = 0
    trades = 0
    for seed in range(40):
        arrays, opts = random_market(seed, exits=True, max_bars=60, max_stocks=8)
        vantrel.backtest_(*arrays, **opts)
        trades += len(vantrel.orbalt.trades)
        stops += sum(a.endswith("_") for a in vantrel.get_stock_operations()["actions"].values())
    assert trades > 50 and stops > 5


def test_rows_and_excursions_kept_by_the_caller_survive_the_next_run():
    # Objects of a previous run that the caller still holds (directly or
    # through a weak reference) are never reused for the next run's rows.
    import weakref

    for seed in range(100):  # the first market with a few trades
        arrays, opts = random_market(seed, exits=True, max_bars=60, max_stocks=8)
        opts = {**opts, "orbalt_window": 3, "orbalt_window_step": 1}
        vantrel.backtest_(*arrays, **opts)
        if len(vantrel.orbalt.trades) >= 3:
            break
    kept_rows = list(vantrel.orbalt.trades[1:])
    row_copies = [list(r) for r in kept_rows]
    kept_excursions = list(vantrel.orbalt.orbalt[1:])
    excursion_copies = [e.copy() for e in kept_excursions]
    watched = weakref.ref(vantrel.orbalt.orbalt[0])
    watched_copy = watched().copy()
    for seed in range(5):
        other, other_opts = random_market(seed + 10, exits=True, max_bars=60, max_stocks=8)
        vantrel.backtest_(*other, **{**other_opts, "orbalt_window": 3, "orbalt_window_step": 1})
        assert [list(r) for r in kept_rows] == row_copies
        assert all(np.array_equal(e, c, equal_nan=True) for e, c in zip(kept_excursions, excursion_copies))
        new_ids = {id(r) for r in vantrel.orbalt.trades} | {id(e) for e in vantrel.orbalt.orbalt}
        assert not new_ids & {id(o) for o in kept_rows + kept_excursions}
        if watched() is not None:
            assert np.array_equal(watched(), watched_copy, equal_nan=True)
            assert id(watched()) not in new_ids
