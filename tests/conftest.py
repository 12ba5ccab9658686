import os
import sys

# The model and market generators live beside the tests.
sys.path.insert(0, os.path.dirname(__file__))


import numpy as np
import pytest


@pytest.fixture
def recorder():
    """The excursion recorder driven through its export table (the test probe).

    The recorder's state is process-global; each test starts from an empty run
    with the current bar reset to 0. `recorder.orbalt` is the recorder module.
    """
    from vostra.core import _recorder_probe

    _recorder_probe.record_date(0)
    _recorder_probe.start_analysis(np.zeros((0, 0)), np.zeros((0, 0)), {}, 0, 0.0, 0.0, 0, 1)
    return _recorder_probe


# --- Tiny hand-made markets for the engine's behaviour tests -----------------

from typing import NamedTuple  # noqa: E402


class TinyMarket(NamedTuple):
    """The eleven array arguments of backtest_, in positional order."""

    price_values: np.ndarray
    close_values: np.ndarray
    high_values: np.ndarray
    low_values: np.ndarray
    open_values: np.ndarray
    price_index: np.ndarray
    price_columns: np.ndarray
    pos_values: np.ndarray
    pos_index: np.ndarray
    pos_columns: np.ndarray
    resample: np.ndarray


def _matrix(values):
    m = np.array(values, dtype=np.float64)
    return m.reshape(-1, 1) if m.ndim == 1 else m


def tiny_market(price, weights=((1.0,),), *, close=None, high=None, low=None, open=None, price_index=None,
                price_columns=None, pos_index=None, pos_columns=None, resample=None):
    """A market small enough to check by hand.

    `price` is the trading price (rows are bars; a flat list is one stock).
    Close, high, low and open default to copies of it. Bars are dated 0, 10,
    20, ...; price columns are labelled A, B, C, ...; the signal columns take
    the first price labels; signal row k is dated at bar k (so, with every
    bar marked for rebalancing, it is traded on bar k + 1); every bar is a
    rebalance bar.
    """
    price = _matrix(price)
    other = {name: price.copy() if m is None else _matrix(m)
             for name, m in (("close", close), ("high", high), ("low", low), ("open", open))}
    weights = _matrix(weights) if np.ndim(weights) == 2 else np.array([weights], dtype=np.float64)
    if price_index is None:
        price_index = 10 * np.arange(price.shape[0])
    price_index = np.array(price_index, dtype=np.int64)
    if price_columns is None:
        price_columns = [chr(ord("A") + i) for i in range(price.shape[1])]
    if pos_columns is None:
        pos_columns = list(price_columns)[: weights.shape[1]]
    if pos_index is None:
        pos_index = price_index[: weights.shape[0]]
    if resample is None:
        resample = price_index
    return TinyMarket(price, other["close"], other["high"], other["low"], other["open"], price_index,
                      np.array(price_columns, dtype=object), weights, np.array(pos_index, dtype=np.int64),
                      np.array(pos_columns, dtype=object), np.array(resample, dtype=np.int64))


@pytest.fixture
def market():
    """Builder of tiny markets: see `tiny_market`."""
    return tiny_market
