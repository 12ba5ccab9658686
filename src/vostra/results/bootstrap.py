"""Resampling of bar returns: the indices of a stationary block bootstrap
(Politis and Romano) or an i.i.d. bootstrap, many samples at once.

The stationary bootstrap joins blocks that start at a uniformly drawn bar
and run on (wrapping from the last bar to the first) for a geometric
number of bars with mean ``block``: the scheme of
``arch.bootstrap.StationaryBootstrap``, whose per-bar draw (a new block
with probability ``1 / block``) gives the same geometric lengths. arch
draws bar by bar, sample by sample; here the lengths and starts of a chunk
of samples come from two array draws (the engine turns them into blocks as
it reads them), so a seed gives other samples than arch's, from the same
distribution (the tests feed these samples to arch and get its intervals
to the last bits).
"""

from __future__ import annotations

import math
from collections.abc import Iterator
from typing import Any, NamedTuple

import numpy as np

__all__ = ["METHODS", "Draws", "sample_draws", "block_lengths", "sample_indices", "optimal_block", "needs_research"]

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


class Draws(NamedTuple):
    """The draws of a chunk of samples (one row each). A stationary sample
    is blocks that start at ``starts`` and last ``ceil(lengths / rate)``
    bars (at least 1), cut where the sample reaches n bars; an i.i.d. one
    (``lengths`` None) is the single bars ``starts``."""

    starts: np.ndarray
    lengths: np.ndarray | None
    rate: float


def sample_draws(n: int, samples: int, method: str, block: float,
                 rng: np.random.Generator) -> Iterator[Draws]:
    """The draws of ``samples`` samples of n bars, in chunks."""
    rows = max(1, CHUNK_CELLS // max(n, 1))
    p = 1.0 / block
    for first in range(0, samples, rows):
        k = min(rows, samples - first)
        if method == "iid" or p >= 1.0:
            yield Draws(rng.integers(n, size=(k, n), dtype=np.int64), None, math.inf)
            continue
        # A new block on each bar with probability p: geometric lengths, by
        # inversion of exponential draws (what Generator.geometric does for
        # a small p, three times as fast as its search for a large one).
        # Enough blocks that a row falls short of n bars with a probability
        # below 1e-20 (beyond ten deviations).
        expected = n * p
        width = int(math.ceil(expected + 10.0 * math.sqrt(expected) + 16.0))
        lengths = rng.standard_exponential((k, width))
        starts = rng.integers(n, size=(k, width), dtype=np.int64)
        yield Draws(starts, lengths, -math.log1p(-p))


def block_lengths(draws: Draws, n: int) -> np.ndarray:
    """The bars of every block of stationary draws (samples x blocks), each
    row adding up to n: 0 for the blocks after the sample is full."""
    lengths = np.divide(draws.lengths, draws.rate)
    np.ceil(lengths, out=lengths)
    lengths = np.maximum(lengths, 1.0, out=lengths).astype(np.int64)
    left = np.cumsum(lengths, axis=1)
    if (left[:, -1] < n).any():
        raise RuntimeError("a bootstrap sample drew too few blocks to fill its bars")
    np.subtract(n + lengths, left, out=left)        # the bars left when each block begins
    np.maximum(left, 0, out=left)
    return np.minimum(left, lengths, out=left)


def sample_indices(n: int, samples: int, method: str, block: float,
                   rng: np.random.Generator) -> Iterator[np.ndarray]:
    """The samples of :func:`sample_draws` (the same draws) as chunks of
    (samples x n) bar positions, in ``[0, 2n)``: position ``i`` and
    ``i + n`` are the same bar, so that a block running past the last bar
    reads a doubled series without a modulo."""
    for draws in sample_draws(n, samples, method, block, rng):
        if draws.lengths is None:
            yield draws.starts.astype(np.intp, copy=False)
            continue
        starts, lengths = draws.starts, block_lengths(draws, n)
        k = len(starts)
        # Position j of a block that begins at bar b of the flattened chunk
        # reads bar start + (j - b).
        begin = np.cumsum(lengths, axis=1) - lengths
        shift = (starts - begin - np.arange(k, dtype=np.int64)[:, None] * n).ravel()
        positions = np.repeat(shift, lengths.ravel())
        positions += np.arange(k * n, dtype=np.int64)
        yield positions.reshape(k, n).astype(np.intp, copy=False)
