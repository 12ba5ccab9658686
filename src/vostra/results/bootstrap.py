"""Resampling of bar returns: the indices of a stationary block bootstrap
(Politis and Romano) or an i.i.d. bootstrap, many samples at once.

The stationary bootstrap joins blocks that start at a uniformly drawn bar
and run on (wrapping from the last bar to the first) for a geometric
number of bars with mean ``block``: the scheme of
``arch.bootstrap.StationaryBootstrap``, whose per-bar draw (a new block
with probability ``1 / block``) gives the same geometric lengths. arch
draws bar by bar, sample by sample; here the lengths and starts of a chunk
of samples come from a few array draws, so a seed gives other samples than
arch's, from the same distribution (the tests feed these indices to arch
and get its intervals to the last bits).
"""

from __future__ import annotations

import math
from collections.abc import Iterator
from typing import Any

import numpy as np

__all__ = ["METHODS", "sample_blocks", "sample_indices", "optimal_block", "needs_research"]

METHODS = ("stationary", "iid")

# Samples per chunk: a chunk of 4,000-bar samples is a few megabytes per array.
CHUNK_CELLS = 1 << 21


def needs_research(what: str, exc: ImportError) -> ImportError:
    return ImportError(f"{what} needs arch and scipy: pip install 'vostra[research]' ({exc})")


def optimal_block(returns: np.ndarray) -> float:
    """The expected block length of a stationary bootstrap of ``returns``
    (one series, or the columns of a matrix: their median), as
    ``arch.bootstrap.optimal_block_length`` estimates it (Politis and White,
    with Patton's correction), at least 1."""
    try:
        from arch.bootstrap import optimal_block_length
    except ImportError as exc:
        raise needs_research("choosing the block length", exc) from None
    values = np.asarray(returns, dtype=np.float64)
    n = len(values)
    # arch looks at the autocorrelations up to lag sqrt(n) + 5: a series not
    # longer than that has none to estimate a block from.
    if n <= math.ceil(math.sqrt(n)) + max(5, int(math.log10(max(n, 1)))) + 1:
        return 1.0
    # A series flat over a stretch has autocorrelations of 0 / 0 there: no
    # block length from them (the finite ones decide, or 1).
    with np.errstate(divide="ignore", invalid="ignore"):
        lengths = optimal_block_length(values)["stationary"].to_numpy()
    lengths = lengths[np.isfinite(lengths)]
    return max(1.0, float(np.median(lengths))) if len(lengths) else 1.0


def check_block(block: Any) -> float:
    try:
        value = float(block)
    except (TypeError, ValueError):
        raise TypeError(f"block must be a number of bars (the mean block length), got {block!r}") from None
    if not (math.isfinite(value) and value >= 1.0):
        raise ValueError(f"block must be a mean length of at least 1 bar, got {block!r}")
    return value


def check_samples(samples: Any) -> int:
    if isinstance(samples, bool) or not isinstance(samples, (int, np.integer)) or samples < 2:
        raise ValueError(f"samples must be a whole number of at least 2, got {samples!r}")
    return int(samples)


def sample_blocks(n: int, samples: int, method: str, block: float,
                  rng: np.random.Generator) -> Iterator[tuple[np.ndarray, np.ndarray]]:
    """Chunks of samples as blocks: (starts, lengths), each (samples x
    blocks); a row's lengths add up to n (some are 0), a block reads on past
    the last bar from the first. The i.i.d. bootstrap's blocks are single
    bars."""
    rows = max(1, CHUNK_CELLS // max(n, 1))
    for first in range(0, samples, rows):
        k = min(rows, samples - first)
        if method == "iid" or block <= 1.0:
            starts = rng.integers(n, size=(k, n), dtype=np.int64)
            yield starts, np.ones_like(starts)
        else:
            yield _stationary_blocks(n, k, 1.0 / block, rng)


def sample_indices(n: int, samples: int, method: str, block: float,
                   rng: np.random.Generator) -> Iterator[np.ndarray]:
    """The samples of :func:`sample_blocks` (the same draws) as chunks of
    (samples x n) bar positions, in ``[0, 2n)``: position ``i`` and
    ``i + n`` are the same bar, so that a block running past the last bar
    reads a doubled series without a modulo."""
    for starts, lengths in sample_blocks(n, samples, method, block, rng):
        k = len(starts)
        # Position j of a block that begins at bar b of the flattened chunk
        # reads bar start + (j - b).
        begin = np.cumsum(lengths, axis=1) - lengths
        shift = (starts - begin - np.arange(k, dtype=np.int64)[:, None] * n).ravel()
        positions = np.repeat(shift, lengths.ravel())
        positions += np.arange(k * n, dtype=np.int64)
        yield positions.reshape(k, n).astype(np.intp, copy=False)


def _geometric(rng: np.random.Generator, rate: float, size: tuple[int, int]) -> np.ndarray:
    """Geometric lengths (1, 2, ...) with P(length > j) = exp(-rate j), by
    inversion of exponential draws: what ``Generator.geometric`` does for
    small success probabilities, and three times as fast as its search for
    large ones (short blocks)."""
    draws = rng.standard_exponential(size)
    np.divide(draws, rate, out=draws)
    np.ceil(draws, out=draws)
    return np.maximum(draws, 1.0, out=draws).astype(np.int64)


def _stationary_blocks(n: int, k: int, p: float, rng: np.random.Generator) -> tuple[np.ndarray, np.ndarray]:
    # Enough blocks that a row falls short of n bars about once in 1e9
    # rows; a short row draws more blocks (still from the seed's stream).
    expected = n * p
    width = int(math.ceil(expected + 6.0 * math.sqrt(expected) + 8.0))
    rate = -math.log1p(-p)
    lengths = _geometric(rng, rate, (k, width))
    while True:
        short = lengths.sum(axis=1) < n
        if not short.any():
            break
        lengths = np.concatenate([lengths, _geometric(rng, rate, (k, width))], axis=1)
    starts = rng.integers(n, size=lengths.shape, dtype=np.int64)
    # Each row's blocks cut to n bars in all: a block that begins at or after
    # bar n is dropped, the one across it is shortened.
    left = np.cumsum(lengths, axis=1)
    np.subtract(n + lengths, left, out=left)        # the bars left when each block begins
    np.maximum(left, 0, out=left)
    return starts, np.minimum(left, lengths, out=left)
