"""Parameter sweeps: every combination of a grid of options backtested, on
native threads in this process or as tasks on a Ray cluster.

The market and every weight frame are checked and converted once per sweep,
and cut to the arrays of every combination of the options that shape them;
the runs of a chunk then go to the native engine together, which simulates
them on threads without the interpreter lock, and the statistics come from
its arrays. Across machines, the frames go into Ray's object store once and
chunks of runs travel as tasks. A row holds exactly what
:func:`vostra.backtest` returns for the same configuration.
"""

from __future__ import annotations

import inspect
import itertools
import math
import signal
import threading
import uuid
import warnings
import weakref
from collections.abc import Callable, Mapping, Sequence
from concurrent.futures import ThreadPoolExecutor
from concurrent.futures import TimeoutError as FutureTimeout
from typing import Any, Literal

import numpy as np
import pandas as pd

from .._native import load_engine, usable_cpus
from ..data.market import Market, price_frames
from ..data.weight_shapes import WEIGHT_SHAPES, wide_weights
from ..data.prices import convert_prices
from ..data.weights import convert_weights
from ..run.arguments import engine_arguments
from ..run.backtest import engine_error
from ..results.backtest import backtest, ruin_message
from ..run.options import SCALAR_OPTIONS, held_bar_notes, intrabar_stops, needs_periods, scalar_arguments
from .overfit import attach_to_sweep, check_block_count
from ..results.fills import account_fill_figures
from ..results.result import ledger_trade_figures
from ..results.stats import SUMMARY_KEYS, figures, known_frequency
from .table import SweepTable

__all__ = ["sweep", "STAT_COLUMNS"]

#: Statistic columns of a sweep's result, in order (see :func:`vostra.statistics`).
STAT_COLUMNS = SUMMARY_KEYS

# Keyword options of backtest and their defaults: the names a grid may vary.
_OPTIONS = {name: p.default for name, p in inspect.signature(backtest).parameters.items()
            if p.kind is inspect.Parameter.KEYWORD_ONLY}

# Upper bound of runs per task; the default aims at about four tasks per
# worker for an even finish, and a chunk of 16 medium runs lasts a few tenths
# of a second, against well under a millisecond of task overhead.
_MAX_CHUNK = 16
_CHUNKS_PER_WORKER = 4
# Runs per thread in a chunk of the threads backend: enough to keep every
# thread busy, few enough for a lively progress bar and a prompt Ctrl-C.
_RUNS_PER_THREAD = 8

Run = tuple[int, int, dict[str, Any]]        # (run number, weights position, options)
# (run number, statistics, equity, error, warnings, fill figures of an account run)
Outcome = tuple[int, "np.ndarray | None", "np.ndarray | None", "str | None", "str | None", "dict | None"]


class _FrameRef:
    """Stands for a frame of the shared store inside a run's options."""

    __slots__ = ("key",)

    def __init__(self, key: Any) -> None:
        self.key = key


# --------------------------------------------------------------------------
# Runs on native threads
# --------------------------------------------------------------------------

def _cache_key(value: Any) -> Any:
    """A hashable stand-in for an option value: frames and other objects by
    identity, lists by their items."""
    if isinstance(value, (list, tuple)):
        return tuple(_cache_key(v) for v in value)
    try:
        hash(value)
    except TypeError:
        return ("id", id(value))
    if isinstance(value, (pd.DataFrame, pd.Series, np.ndarray)):
        return ("id", id(value))
    return value


class _FrameSource:
    """The engine arguments of a sweep's runs, from its frames: the prices
    are checked and converted once per sweep and each weight frame once
    (while its runs go), then cut to the arrays of every combination of the
    options that shape them."""

    def __init__(self, frames: Mapping[Any, Any]) -> None:
        self.frames = frames
        self._prices: Any = None
        self._signal: tuple[Any, Any] | None = None   # (weights key, converted or the error)

    def arguments(self, weights_key: Any, shaping: dict[str, Any]) -> tuple[dict[str, Any], dict[str, Any]]:
        f = self.frames
        if self._prices is None:
            self._prices = _attempt(lambda: convert_prices(f["close"], f.get("open"), f.get("high"), f.get("low")))
        prices = _outcome(self._prices)
        if self._signal is None or self._signal[0] != weights_key:
            self._signal = (weights_key, _attempt(lambda: convert_weights(f[("weights", weights_key)], prices)))
        return engine_arguments(prices, _outcome(self._signal[1]), **shaping)


def _attempt(convert: Callable[[], Any]) -> tuple[Any, list[warnings.WarningMessage]]:
    """What ``convert`` returns, or the exception it raises, with the
    warnings it issued: kept for every run that needs the conversion."""
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        try:
            value = convert()
        except Exception as exc:  # raised again by _outcome for each run
            value = exc
    return value, caught


def _outcome(attempt: tuple[Any, list[warnings.WarningMessage]]) -> Any:
    value, caught = attempt
    for w in caught:
        warnings.warn(w.message, w.category, stacklevel=2)
    if isinstance(value, Exception):
        raise value
    return value


class _Prepared:
    """The engine arguments of the runs of one sweep. The arguments shaped
    by the weights and the options that shape the engine's arrays (trade
    price, schedule, delisting, trade splits) come from the source once per
    combination; the scalar options of each run only replace plain values.

    Runs arrive grouped by their weights key, so only the combinations of
    the current key are kept."""

    def __init__(self, source: Any) -> None:
        self.source = source
        self.frames = source.frames
        self.cache: dict[Any, Any] = {}
        self.weights_key: Any = None

    def __call__(self, run: Run) -> tuple[dict[str, Any], dict[str, Any], list[str]]:
        _, weights_key, options = run
        kwargs = {name: self.frames[value.key] if isinstance(value, _FrameRef) else value
                  for name, value in options.items()}
        shaping = {k: v for k, v in kwargs.items() if k not in SCALAR_OPTIONS}
        if weights_key != self.weights_key:
            self.cache.clear()
            self.weights_key = weights_key
        key = tuple(sorted((k, _cache_key(v)) for k, v in shaping.items()))
        if key not in self.cache:
            with warnings.catch_warnings(record=True) as caught:
                warnings.simplefilter("always")
                try:
                    arguments, context = self.source.arguments(weights_key, shaping)
                    notes = [str(w.message) for w in caught] + list(context["warnings"])
                    self.cache[key] = (arguments, context, notes)
                except Exception as exc:
                    self.cache[key] = exc
        base = self.cache[key]
        if isinstance(base, Exception):
            raise base
        arguments, context, notes = base
        scalars = {name: kwargs.get(name, _OPTIONS[name]) for name in SCALAR_OPTIONS}
        engine_scalars, scalar_context = scalar_arguments(**scalars)
        notes = notes + scalar_context.pop("notes")
        merged = {**arguments, **engine_scalars}
        if needs_periods(merged):
            merged["periods_per_year"] = _periods_per_year(context)
        return merged, {**context, **scalar_context, "intrabar_stops": intrabar_stops(engine_scalars)}, notes


def _error_text(exc: BaseException) -> str:
    return f"{type(exc).__name__}: {exc}"


def _periods_per_year(context: dict[str, Any]) -> float:
    """The run's annualisation factor: given, or inferred once per index
    (a sweep's runs share one, a walk's windows a few)."""
    given = context.get("periods_per_year")
    if given is not None:
        return float(given)
    return known_frequency(context["close_index"])[0]


def _run_statistics(run: Any, context: dict[str, Any]) -> tuple[np.ndarray, np.ndarray, str | None]:
    """The statistics of one run from the engine's arrays, as the run's
    :class:`vostra.Result` gives them, its equity and the warning of a
    ruined run."""
    values = run.equity
    first = max(run.first_rebalance, 0)
    traded = run.traded[first:] if len(values) - max(first - 1, 0) > 1 else None
    out = figures(values, first, _periods_per_year(context), traded, ledger_trade_figures(run))
    stats = np.fromiter((out[k] for k in SUMMARY_KEYS), dtype=np.float64, count=len(SUMMARY_KEYS))
    ruin = None
    if (values <= 0).any():
        ruin = ruin_message(pd.Series(values, index=context["close_index"], name="equity"))
    return stats, values, ruin


def _prepare_chunk(prepare: _Prepared, chunk: list[Run]) -> tuple[list[dict[str, Any]], list[Any], dict[int, Outcome]]:
    """The engine arguments of a chunk's runs; runs that fail here get their
    outcome at once."""
    jobs, ready, outcomes = [], [], {}
    for run in chunk:
        try:
            arguments, context, notes = prepare(run)
        except Exception as exc:  # reported in the run's row
            outcomes[run[0]] = (run[0], None, None, _error_text(exc), None, None)
            continue
        jobs.append(arguments)
        ready.append((run[0], context, notes))
    return jobs, ready, outcomes


def _simulate(jobs: list[dict[str, Any]], threads: int) -> list[Any]:
    return load_engine().run_many(jobs=jobs, threads=threads, return_exceptions=True) if jobs else []


def _finish_chunk(chunk: list[Run], ready: list[Any], results: list[Any], outcomes: dict[int, Outcome],
                  keep_equity: bool) -> list[Outcome]:
    for (number, context, notes), result in zip(ready, results):
        if isinstance(result, BaseException):
            if isinstance(result, ValueError):
                result = engine_error(result, context)
            outcomes[number] = (number, None, None, _error_text(result), "\n".join(notes) or None, None)
            continue
        stats, equity, ruin = _run_statistics(result, context)
        notes = notes + held_bar_notes(context, result.trades)
        if ruin:
            notes = notes + [ruin]
        fills = account_fill_figures(result) if result.shares is not None else None
        outcomes[number] = (number, stats, equity if keep_equity else None, None,
                            "\n".join(notes) or None, fills)
    return [outcomes[run[0]] for run in chunk]


def _run_threads(prepare: _Prepared, chunk: list[Run], keep_equity: bool, threads: int) -> list[Outcome]:
    """One chunk: its runs prepared here, then simulated together on native
    threads without the interpreter lock."""
    jobs, ready, outcomes = _prepare_chunk(prepare, chunk)
    return _finish_chunk(chunk, ready, _simulate(jobs, threads), outcomes, keep_equity)


def _run_local(source: Any, chunks: list[list[Run]], keep_equity: bool, threads: int,
               collect: Callable[[list[Outcome]], None], interrupt: _DeferredInterrupt) -> None:
    """The threads backend: while the engine simulates one chunk (without the
    interpreter lock), the statistics of the previous one are computed here."""
    prepare = _Prepared(source)
    with ThreadPoolExecutor(max_workers=1, thread_name_prefix="vostra-sweep") as pool:
        pending = None
        for chunk in chunks + [None]:
            interrupt.check()
            started = None
            if chunk is not None:
                jobs, ready, outcomes = _prepare_chunk(prepare, chunk)
                started = (chunk, ready, outcomes, pool.submit(_simulate, jobs, threads))
            if pending is not None:
                done_chunk, done_ready, done_outcomes, future = pending
                while True:
                    try:
                        results = future.result(timeout=_POLL_SECONDS)
                        break
                    except FutureTimeout:
                        interrupt.check()
                collect(_finish_chunk(done_chunk, done_ready, results, done_outcomes, keep_equity))
            pending = started


_worker_store_id: str | None = None
_worker_prepared: Any = None


def _run_chunk_ray(source: Any, store_id: str, chunk: list[Run], keep_equity: bool) -> list[Outcome]:
    """Task of the Ray backend. ``source`` arrives from the object store
    (its arrays zero-copy); it is kept, with the arguments prepared on it,
    for the next task of the same store that lands on this worker."""
    global _worker_store_id, _worker_prepared
    if _worker_store_id != store_id:
        load_engine()
        _worker_prepared = _Prepared(source)
        _worker_store_id = store_id
    return _run_threads(_worker_prepared, chunk, keep_equity, threads=1)


# --------------------------------------------------------------------------
# Backends
# --------------------------------------------------------------------------

class _DeferredInterrupt:
    """Ctrl-C during a sweep, taken where the sweep can stop cleanly.

    A KeyboardInterrupt raised at an arbitrary point of the main thread can
    land inside the pool's bookkeeping while it holds a future's lock; the
    pool's manager thread then waits on that lock for ever and the
    interpreter hangs at exit. So while the sweep runs, SIGINT only sets a
    flag, and the backends call :meth:`check` between their waits. A
    handler other than Python's default, or a sweep outside the main
    thread, is left alone.
    """

    def __init__(self) -> None:
        self.requested = False
        self._previous: Any = None

    def __enter__(self) -> _DeferredInterrupt:
        if (threading.current_thread() is threading.main_thread()
                and signal.getsignal(signal.SIGINT) is signal.default_int_handler):
            self._previous = signal.signal(signal.SIGINT, self._handler)
        return self

    def _handler(self, signum: int, frame: Any) -> None:
        self.requested = True

    def __exit__(self, *exc: Any) -> None:
        if self._previous is not None:
            signal.signal(signal.SIGINT, self._previous)

    def check(self) -> None:
        if self.requested:
            raise KeyboardInterrupt


_POLL_SECONDS = 0.1


def _failed(chunk: list[Run], exc: BaseException) -> list[Outcome]:
    message = f"{type(exc).__name__}: {exc}".rstrip(": ")
    return [(run[0], None, None, message, None, None) for run in chunk]


_RAY_RETRIES = 3


def _import_ray():
    try:
        import ray
    except ImportError as exc:
        raise ImportError(
            "backend='ray' needs Ray: pip install 'vostra[cluster]' (or pip install ray)"
        ) from exc
    return ray


def _ray_workers(ray) -> int:
    return max(1, int(ray.cluster_resources().get("CPU", 1)))


# A source put into Ray's object store: (its frame count then, the store,
# its id). A walk's batches of runs share it while no frame was added.
_ray_stores: weakref.WeakKeyDictionary[Any, tuple[int, Any, str]] = weakref.WeakKeyDictionary()


def _run_ray(source: Any, chunks: list[list[Run]], keep_equity: bool,
             collect: Callable[[list[Outcome]], None], interrupt: _DeferredInterrupt) -> None:
    ray = _import_ray()
    known = _ray_stores.get(source)
    if known is None or known[0] != len(source.frames):
        known = _ray_stores[source] = (len(source.frames), ray.put(source), uuid.uuid4().hex)
    _, store, store_id = known
    # A task lost with its worker or node is run again by Ray; only a task
    # that fails every try becomes error rows.
    task = ray.remote(num_cpus=1, max_retries=_RAY_RETRIES, retry_exceptions=False)(_run_chunk_ray)
    pending: dict[Any, list[Run]] = {}
    try:
        for chunk in chunks:
            interrupt.check()
            pending[task.remote(store, store_id, chunk, keep_equity)] = chunk
        while pending:
            refs = list(pending)
            ready, _ = ray.wait(refs, num_returns=len(refs), timeout=_POLL_SECONDS)
            interrupt.check()
            for ref in ready:
                chunk = pending.pop(ref)
                try:
                    outcomes = ray.get(ref)
                except Exception as exc:  # the task failed as a whole
                    outcomes = _failed(chunk, exc)
                collect(outcomes)
    except BaseException:
        for ref in pending:
            ray.cancel(ref, force=True)
        raise


# --------------------------------------------------------------------------
# The configurations
# --------------------------------------------------------------------------

def _named_weights(weights: Any) -> tuple[list[Any], list[pd.DataFrame], bool]:
    """(names, wide frames, whether the result gets a ``weights`` column):
    a dict names weights, a list numbers them, anything else is one."""
    if isinstance(weights, Mapping):
        names, frames = list(weights.keys()), list(weights.values())
    elif isinstance(weights, Sequence) and not isinstance(weights, (str, bytes)):
        frames = list(weights)
        names = list(range(len(frames)))
    else:
        return [None], [wide_weights(weights)], False
    if not frames:
        raise ValueError("weights holds no frames; give at least one")
    for n, (name, frame) in enumerate(zip(names, frames)):
        try:
            frames[n] = wide_weights(frame)
        except TypeError:
            raise TypeError(f"weights[{name!r}] must be one set of weights: {WEIGHT_SHAPES}; "
                            f"got {type(frame).__name__}") from None
    return names, frames, True


def _check_option_names(names: Any, where: str) -> None:
    unknown = [n for n in names if n not in _OPTIONS]
    if unknown:
        raise TypeError(
            f"{where} names options that backtest does not take: "
            f"{', '.join(repr(n) for n in unknown)}; the options are "
            f"{', '.join(_OPTIONS)} (prices and weights are the sweep's own arguments)"
        )


def _grid_values(name: str, values: Any) -> list[Any]:
    if isinstance(values, (str, bytes, Mapping, pd.DataFrame, pd.Series)) or not isinstance(
            values, (Sequence, np.ndarray, pd.Index)):
        raise TypeError(
            f"grid[{name!r}] must be a list of values to try, got {type(values).__name__}; "
            f"pass a single value as sweep(..., {name}=value)"
        )
    return list(values)


def _combinations(grid: Mapping[str, Any] | Sequence[Mapping[str, Any]] | None,
                  fixed: dict[str, Any]) -> tuple[list[str], list[dict[str, Any]]]:
    """The grid's columns and, per combination, the options that vary."""
    if grid is None:
        return [], [{}]
    if isinstance(grid, Mapping):
        _check_option_names(grid, "grid")
        columns = list(grid)
        axes = [_grid_values(name, values) for name, values in grid.items()]
        return columns, [dict(zip(columns, combo)) for combo in itertools.product(*axes)]
    if isinstance(grid, Sequence) and not isinstance(grid, (str, bytes)):
        configs = []
        columns: list[str] = []
        for n, config in enumerate(grid):
            if not isinstance(config, Mapping):
                raise TypeError(f"grid[{n}] must be a dict of options, got {type(config).__name__}")
            _check_option_names(config, f"grid[{n}]")
            columns += [name for name in config if name not in columns]
            configs.append(dict(config))
        # A configuration that leaves an option out runs with the fixed value
        # or the default; its row says which.
        for config in configs:
            for name in columns:
                config.setdefault(name, fixed.get(name, _OPTIONS[name]))
        return columns, configs
    raise TypeError(
        "grid must be a dict {option: [values]} or a list of dicts of options, "
        f"got {type(grid).__name__}"
    )


def _column(values: list[Any]) -> pd.Series:
    """A parameter column that keeps the values as given (None stays None,
    a list stays one cell)."""
    if all(pd.api.types.is_scalar(v) and v is not None for v in values):
        return pd.Series(values)
    cells = np.empty(len(values), dtype=object)
    for n, v in enumerate(values):
        cells[n] = v
    return pd.Series(cells, dtype=object)


def _progress_bar(total: int, enabled: bool):
    if not enabled:
        return None
    from .progress import progress_bar

    return progress_bar(total, "sweep", "run")


# --------------------------------------------------------------------------
# The call
# --------------------------------------------------------------------------

def sweep(weights: pd.DataFrame | Sequence[pd.DataFrame] | Mapping[Any, pd.DataFrame],
          close: pd.DataFrame | Market, open: pd.DataFrame | None = None,
          high: pd.DataFrame | None = None, low: pd.DataFrame | None = None, *,
          grid: Mapping[str, Sequence[Any]] | Sequence[Mapping[str, Any]] | None = None,
          backend: Literal["threads", "ray", "serial"] = "threads",
          workers: int | None = None, chunksize: int | None = None,
          progress: bool = True, equity: bool = False,
          start_method: str | None = None, address: str | None = None,
          overfitting: bool = True, pbo_blocks: int = 16,
          **options: Any) -> SweepTable:
    """Backtest every combination of a grid of options.

    Parameters
    ----------
    weights
        Target weights as for :func:`vostra.backtest`: one DataFrame, a list
        of them (named 0, 1, ...) or a dict ``{name: DataFrame}``. Every
        weight frame is run with every combination of the grid.
    close, open, high, low
        Prices as for :func:`vostra.backtest`; ``close`` may also be a
        :class:`vostra.Market`, whose open, high and low are then used unless
        given here, and whose volume caps the fills of runs with
        ``max_volume_share`` but no ``volume``.
    grid
        ``{option: [values]}``: every combination of the values (the first
        option varies slowest), or a list of dicts of options, one per
        configuration. Options are the keyword options of
        :func:`vostra.backtest` (``rebalance``, ``fee``, ``stop_loss``, ...).
    **options
        Options of :func:`vostra.backtest` that hold for every run (a grid
        value overrides them).
    backend
        ``"threads"`` (default): native threads in this process, one per
        CPU (``workers=``); ``"process"`` is accepted as another name for it.
        ``"ray"``: tasks on Ray; a Ray already initialised in this process is
        used as it is, otherwise ``ray.init(address=address)`` connects to
        the cluster at ``address`` (or ``RAY_ADDRESS``, or starts a local
        one) and stays connected for later sweeps. A task lost with its
        worker is retried by Ray (three times) before its runs become error
        rows. ``"serial"``: one run after the other on this thread.
    workers
        Threads of the ``"threads"`` backend (default: the CPUs this process
        may use).
    chunksize
        Runs per chunk: simulated together on the threads, or sent as one
        Ray task (default: eight per thread, or about four tasks per Ray
        worker of at most 16 runs).
    progress
        Show a progress bar (runs done, rate, time left) on stderr.
    equity
        Add an ``equity`` column holding each run's equity curve (a Series,
        None for a failed run).
    start_method
        Ignored; kept so that calls written for the earlier worker processes
        still run.
    address
        Ray cluster address for the ``"ray"`` backend.
    overfitting
        Add a ``psr`` column (each run's probabilistic Sharpe ratio against
        0) and keep the runs' per-bar returns for the sweep's overfitting
        figures (trials, effective trials, best run by Sharpe, its deflated
        Sharpe ratio, the probability of backtest overfitting with
        ``pbo_blocks`` blocks, the minimum track record and backtest
        lengths), which :func:`vostra.overfitting` computes when first
        asked for (and keeps in ``table.attrs["overfitting"]``), and for
        :meth:`SweepTable.reality_check`. See :mod:`vostra.research.overfit`.
        The runs then send their equity curves back (8 bytes per bar and
        run); ``overfitting=False`` skips both.

    Returns
    -------
    SweepTable
        A DataFrame (with a formatted notebook view and
        :meth:`SweepTable.plot_heatmap`), one row per run, in grid order: a ``weights`` column with the weight
        frame's name (unless ``weights`` is a single frame), one column per
        grid option with its value, the statistics (:data:`STAT_COLUMNS`),
        ``error`` (``"Type: message"`` of a run that raised, whose statistics
        are then NaN; None otherwise), ``warnings`` (the run's warnings, one
        per line, or None) and, with ``equity=True``, ``equity``. With
        ``overfitting=True`` a ``psr`` column follows the statistics.

    A run that raises does not stop the sweep. Ctrl-C stops it after the
    chunk in flight: queued runs are dropped and KeyboardInterrupt propagates.
    """
    volume = close.volume if isinstance(close, Market) else None
    close, open, high, low = price_frames(close, open, high, low)
    backend = _check_run_options(backend, workers, chunksize, options, overfitting, pbo_blocks)
    load_engine()  # a missing build fails here rather than in every worker
    names, weight_frames, named = _named_weights(weights)
    columns, configs = _combinations(grid, options)

    # Every frame a run reads goes into the shared store once; runs refer to
    # option frames by key.
    frames: dict[Any, pd.DataFrame] = {"close": close}
    for key, frame in (("open", open), ("high", high), ("low", low)):
        if frame is not None:
            frames[key] = frame
    for n, frame in enumerate(weight_frames):
        frames[("weights", n)] = frame
    shared = _sharing(frames)
    runs: list[Run] = []
    for w in range(len(weight_frames)):
        for config in configs:
            merged = with_market_volume({**options, **config}, volume)
            runs.append((len(runs), w, {k: shared(v) for k, v in merged.items()}))

    keep_equity = equity or overfitting
    outcomes = _execute(_FrameSource(frames), runs, backend=backend, workers=workers,
                        chunksize=chunksize, address=address, progress=progress,
                        keep_equity=keep_equity)
    table = _table(names if named else None, weight_frames, columns, configs, outcomes,
                   close.index, keep_equity)
    return _with_overfitting(table, equity, pbo_blocks) if overfitting else table


def with_market_volume(options: dict[str, Any], volume: pd.DataFrame | None) -> dict[str, Any]:
    """A run's options; one that caps fills at a share of the volume
    without a volume frame takes the Market's, as :func:`vostra.backtest`
    does."""
    if volume is not None and options.get("volume") is None and options.get("max_volume_share") is not None:
        return {**options, "volume": volume}
    return options


def _check_run_options(backend: str, workers: int | None, chunksize: int | None,
                       options: Mapping[str, Any], overfitting: bool, pbo_blocks: int) -> str:
    """The arguments of a sweep that are not its inputs checked; the backend
    by its own name."""
    if backend == "process":
        backend = "threads"
    if backend not in ("threads", "ray", "serial"):
        raise ValueError(f"backend must be 'threads', 'ray' or 'serial', got {backend!r}")
    if workers is not None and int(workers) < 1:
        raise ValueError(f"workers must be at least 1, got {workers}")
    if chunksize is not None and int(chunksize) < 1:
        raise ValueError(f"chunksize must be at least 1, got {chunksize}")
    _check_option_names(options, "sweep(...)")
    if overfitting:
        check_block_count(pbo_blocks, "pbo_blocks")
    return backend


def _sharing(frames: dict[Any, Any]) -> Callable[[Any], Any]:
    """Puts an option frame into ``frames`` once and stands a key in for it."""
    refs: dict[int, _FrameRef] = {}

    def shared(value: Any) -> Any:
        if not isinstance(value, pd.DataFrame):
            return value
        if id(value) not in refs:
            refs[id(value)] = _FrameRef(("option", len(refs)))
            frames[refs[id(value)].key] = value
        return refs[id(value)]

    return shared


def _execute(source: Any, runs: list[Run], *, backend: str, workers: int | None,
             chunksize: int | None, address: str | None, progress: bool,
             keep_equity: bool) -> list[Outcome | None]:
    """The outcomes of ``runs``, in their order, on a checked backend; the
    engine arguments of a run come from ``source.arguments`` (the weights
    key and the shaping options) and its option frames from
    ``source.frames``."""
    if backend == "ray":
        ray = _import_ray()
        if not ray.is_initialized():
            ray.init(address=address)
        n_workers = _ray_workers(ray)
    elif backend == "threads":
        n_workers = int(workers) if workers else usable_cpus()
    else:
        n_workers = 1
    if chunksize is None and backend == "ray":
        chunksize = max(1, min(_MAX_CHUNK, math.ceil(len(runs) / (n_workers * _CHUNKS_PER_WORKER))))
    elif chunksize is None:
        chunksize = _RUNS_PER_THREAD * n_workers
    chunks = [runs[i:i + int(chunksize)] for i in range(0, len(runs), int(chunksize))]

    outcomes: list[Outcome | None] = [None] * len(runs)
    position = {run[0]: n for n, run in enumerate(runs)}
    bar = _progress_bar(len(runs), progress)

    def collect(batch: list[Outcome]) -> None:
        for outcome in batch:
            outcomes[position[outcome[0]]] = outcome
        if bar is not None:
            bar.update(len(batch))

    try:
        with _DeferredInterrupt() as interrupt:
            if not runs:
                pass                    # an empty grid: nothing to start
            elif backend == "ray":
                _run_ray(source, chunks, keep_equity, collect, interrupt)
            elif backend == "threads":
                _run_local(source, chunks, keep_equity, n_workers, collect, interrupt)
            else:
                prepare = _Prepared(source)
                for chunk in chunks:
                    interrupt.check()
                    collect(_run_threads(prepare, chunk, keep_equity, 1))
            interrupt.check()
    finally:
        if bar is not None:
            bar.close()
    return outcomes


def _with_overfitting(table: pd.DataFrame, keep_equity: bool, pbo_blocks: int) -> pd.DataFrame:
    """The overfitting figures come from every run's equity curve, which the
    runs then send back even when the caller did not ask for the column."""
    table = attach_to_sweep(table, pbo_blocks)
    return table if keep_equity else table.drop(columns="equity")


def _table(names: list[Any] | None, weight_frames: list[pd.DataFrame], columns: list[str],
           configs: list[dict[str, Any]], outcomes: list[Outcome | None],
           index: pd.DatetimeIndex, keep_equity: bool) -> pd.DataFrame:
    n = len(outcomes)
    data: dict[str, Any] = {}
    if names is not None:
        data["weights"] = _column([name for name in names for _ in configs])
    for name in columns:
        data[name] = _column([config[name] for _ in weight_frames for config in configs])
    stats = np.full((n, len(STAT_COLUMNS)), np.nan)
    errors = np.full(n, None, dtype=object)
    notes = np.full(n, None, dtype=object)
    curves = np.full(n, None, dtype=object)
    for i, outcome in enumerate(outcomes):
        if outcome is None:  # pragma: no cover - every run reports or the sweep raised
            errors[i] = "RuntimeError: the run reported no outcome"
            continue
        _, row, curve, error, note, _ = outcome
        if row is not None:
            stats[i] = row
        errors[i], notes[i] = error, note
        if keep_equity and curve is not None:
            curves[i] = pd.Series(curve, index=index, name="equity")
    for k, name in enumerate(STAT_COLUMNS):
        data[name] = stats[:, k]
    data["error"] = pd.Series(errors, dtype=object)
    data["warnings"] = pd.Series(notes, dtype=object)
    if keep_equity:
        data["equity"] = pd.Series(curves, dtype=object)
    return SweepTable(data, index=pd.RangeIndex(n, name="run"))
