"""Thousands of runs in one process must not leak: a sweep runs the engine
tens of thousands of times."""
import gc
import sys
import tracemalloc

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

    arrays, opts = random_market(3, exits=True, max_bars=60, max_stocks=8)
    opts = {**opts, "orbalt_window": 3, "orbalt_window_step": 1}
    vantrel.backtest_(*arrays, **opts)
    kept_row = vantrel.orbalt.trades[0]
    kept_copy = list(kept_row)
    kept_excursion = vantrel.orbalt.orbalt[0]
    excursion_copy = kept_excursion.copy()
    watched = weakref.ref(vantrel.orbalt.orbalt[-1])
    watched_copy = watched().copy()
    for seed in range(5):
        other, other_opts = random_market(seed + 10, exits=True, max_bars=60, max_stocks=8)
        vantrel.backtest_(*other, **{**other_opts, "orbalt_window": 3, "orbalt_window_step": 1})
        assert kept_row == kept_copy
        assert (kept_excursion == excursion_copy).all()
        assert all(r is not kept_row for r in vantrel.orbalt.trades)
        assert all(e is not kept_excursion for e in vantrel.orbalt.orbalt)
        if watched() is not None:
            assert (watched() == watched_copy).all()
            assert all(e is not watched() for e in vantrel.orbalt.orbalt)
