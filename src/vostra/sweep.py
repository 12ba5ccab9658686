"""Parameter sweeps: every combination of a grid of options backtested, in
worker processes on this machine or as tasks on a Ray cluster.

The engine keeps its state in the process and runs one backtest at a time,
so runs are spread over processes. The frames every run reads (prices,
weights, any frame given as an option) are handed to the workers once: as
memory-mapped ``.npy`` files for local processes, as one object in Ray's
object store for Ray. Runs travel in chunks so that the cost of a task stays
small against runs of a few milliseconds. Every run goes through
:func:`vostra.backtest`, so a row holds exactly what that call returns for
the same configuration.
"""

from __future__ import annotations

import inspect
import itertools
import math
import multiprocessing
import os
import shutil
import signal
import tempfile
import threading
import uuid
import warnings
from collections.abc import Callable, Mapping, Sequence
from concurrent.futures import FIRST_COMPLETED, ProcessPoolExecutor, wait
from concurrent.futures.process import BrokenProcessPool
from typing import Any, Literal

import numpy as np
import pandas as pd

from ._frontend import _load_engine, backtest
from .market import Market
from .overfit import attach_to_sweep, check_block_count
from .stats import STAT_LABELS
from .table import SweepTable

__all__ = ["sweep", "STAT_COLUMNS"]

#: Statistic columns of a sweep's result, in order (see :func:`vostra.statistics`).
STAT_COLUMNS = tuple(STAT_LABELS)

# Keyword options of backtest and their defaults: the names a grid may vary.
_OPTIONS = {name: p.default for name, p in inspect.signature(backtest).parameters.items()
            if p.kind is inspect.Parameter.KEYWORD_ONLY}

# Upper bound of runs per task; the default aims at about four tasks per
# worker for an even finish, and a chunk of 16 medium runs lasts a few tenths
# of a second, against well under a millisecond of task overhead.
_MAX_CHUNK = 16
_CHUNKS_PER_WORKER = 4

Run = tuple[int, int, dict[str, Any]]        # (run number, weights position, options)
Outcome = tuple[int, "np.ndarray | None", "np.ndarray | None", "str | None", "str | None"]


class _FrameRef:
    """Stands for a frame of the shared store inside a run's options."""

    __slots__ = ("key",)

    def __init__(self, key: Any) -> None:
        self.key = key


# --------------------------------------------------------------------------
# Frames shared with the workers
# --------------------------------------------------------------------------

def _as_array(frame: pd.DataFrame) -> np.ndarray | None:
    """The frame's values as one NumPy array, or None when it does not have
    a single plain NumPy dtype (such frames are pickled whole instead)."""
    dtypes = set(frame.dtypes)
    if len(dtypes) != 1 or len(frame.columns) == 0:
        return None
    dtype = dtypes.pop()
    if not isinstance(dtype, np.dtype) or dtype.kind not in "biuf":
        return None
    return frame.to_numpy()


def _pack(frames: dict[Any, pd.DataFrame], directory: str | None) -> dict[Any, tuple]:
    """Describe the frames for the workers: arrays are written to ``.npy``
    files in ``directory`` (or kept as arrays when it is None, for Ray's
    object store); only the labels are pickled."""
    packed = {}
    for n, (key, frame) in enumerate(frames.items()):
        values = _as_array(frame)
        if values is None:
            packed[key] = ("frame", frame)
        elif directory is None:
            packed[key] = ("array", values, frame.index, frame.columns)
        else:
            path = os.path.join(directory, f"{n}.npy")
            np.save(path, values)
            packed[key] = ("file", path, frame.index, frame.columns)
    return packed


def _unpack(packed: dict[Any, tuple]) -> dict[Any, pd.DataFrame]:
    frames = {}
    for key, entry in packed.items():
        if entry[0] == "frame":
            frames[key] = entry[1]
            continue
        values = np.load(entry[1], mmap_mode="r") if entry[0] == "file" else entry[1]
        frames[key] = pd.DataFrame(values, index=entry[2], columns=entry[3], copy=False)
    return frames


def _store_directory(nbytes: int) -> str:
    """A fresh directory for the memory-mapped frames: in /dev/shm when it
    has room (pages in memory, shared by the workers), else the temp dir."""
    base = None
    if os.path.isdir("/dev/shm"):
        try:
            if shutil.disk_usage("/dev/shm").free > 2 * nbytes + (64 << 20):
                base = "/dev/shm"
        except OSError:
            pass
    return tempfile.mkdtemp(prefix="vostra-sweep-", dir=base)


# --------------------------------------------------------------------------
# Worker side
# --------------------------------------------------------------------------

_worker_frames: dict[Any, pd.DataFrame] = {}
_worker_store_id: str | None = None


def _init_worker(packed: dict[Any, tuple]) -> None:
    """Pool initializer: leave Ctrl-C to the parent, import the engine and
    map the shared frames."""
    signal.signal(signal.SIGINT, signal.SIG_IGN)
    _load_engine()
    _worker_frames.clear()
    _worker_frames.update(_unpack(packed))


def _run_one(frames: Mapping[Any, pd.DataFrame], run: Run, keep_equity: bool) -> Outcome:
    number, weights_key, options = run
    kwargs = {name: frames[value.key] if isinstance(value, _FrameRef) else value
              for name, value in options.items()}
    stats = equity = error = None
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        try:
            result = backtest(frames[("weights", weights_key)], frames["close"],
                              frames.get("open"), frames.get("high"), frames.get("low"),
                              **kwargs)
            stats = result.stats.to_numpy(dtype=np.float64)
            if keep_equity:
                equity = result.equity.to_numpy(dtype=np.float64)
        except Exception as exc:  # reported in the run's row
            error = f"{type(exc).__name__}: {exc}"
    notes = "\n".join(str(w.message) for w in caught) or None
    return number, stats, equity, error, notes


def _run_chunk(chunk: list[Run], keep_equity: bool) -> list[Outcome]:
    """Task of the process pool: runs against the frames mapped at start."""
    return [_run_one(_worker_frames, run, keep_equity) for run in chunk]


def _run_chunk_ray(packed: dict[Any, tuple], store_id: str, chunk: list[Run],
                   keep_equity: bool) -> list[Outcome]:
    """Task of the Ray backend. ``packed`` arrives from the object store
    (its arrays zero-copy); the frames built on them are kept for the next
    task of the same sweep that lands on this worker."""
    global _worker_store_id
    if _worker_store_id != store_id:
        _load_engine()
        _worker_frames.clear()
        _worker_frames.update(_unpack(packed))
        _worker_store_id = store_id
    return [_run_one(_worker_frames, run, keep_equity) for run in chunk]


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
    return [(run[0], None, None, message, None) for run in chunk]


def _stop_pool(executor: ProcessPoolExecutor) -> None:
    """Shut the pool down now: drop queued chunks and end the workers."""
    terminate = getattr(executor, "terminate_workers", None)
    if terminate is not None:  # Python >= 3.14
        terminate()
        return
    processes = list((getattr(executor, "_processes", None) or {}).values())
    executor.shutdown(wait=False, cancel_futures=True)
    for process in processes:
        if process.is_alive():
            process.terminate()
    for process in processes:
        process.join(timeout=5)
        if process.is_alive():
            process.kill()
            process.join()


def _run_processes(frames: dict[Any, pd.DataFrame], chunks: list[list[Run]], workers: int,
                   start_method: str | None, keep_equity: bool,
                   collect: Callable[[list[Outcome]], None], interrupt: _DeferredInterrupt) -> None:
    nbytes = sum(int(f.memory_usage(index=False, deep=False).sum()) for f in frames.values())
    directory = _store_directory(nbytes)
    try:
        packed = _pack(frames, directory)
        context = multiprocessing.get_context(start_method)
        executor = ProcessPoolExecutor(max_workers=workers, mp_context=context,
                                       initializer=_init_worker, initargs=(packed,))
        try:
            pending = {}
            for chunk in chunks:
                interrupt.check()
                try:
                    pending[executor.submit(_run_chunk, chunk, keep_equity)] = chunk
                except BrokenProcessPool as exc:  # a worker died during submission
                    collect(_failed(chunk, exc))
            while pending:
                done, _ = wait(pending, timeout=_POLL_SECONDS, return_when=FIRST_COMPLETED)
                interrupt.check()
                for future in done:
                    chunk = pending.pop(future)
                    try:
                        outcomes = future.result()
                    except Exception as exc:  # a worker died: the pool is broken
                        outcomes = _failed(chunk, exc)
                    collect(outcomes)
        except BaseException:
            _stop_pool(executor)
            raise
        executor.shutdown(wait=True)
    finally:
        shutil.rmtree(directory, ignore_errors=True)


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


def _run_ray(frames: dict[Any, pd.DataFrame], chunks: list[list[Run]], keep_equity: bool,
             collect: Callable[[list[Outcome]], None], interrupt: _DeferredInterrupt) -> None:
    ray = _import_ray()
    store = ray.put(_pack(frames, None))
    task = ray.remote(num_cpus=1)(_run_chunk_ray)
    store_id = uuid.uuid4().hex
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
    """(names, frames, whether the result gets a ``weights`` column)."""
    if isinstance(weights, pd.DataFrame):
        return [None], [weights], False
    if isinstance(weights, Mapping):
        names, frames = list(weights.keys()), list(weights.values())
    elif isinstance(weights, Sequence) and not isinstance(weights, (str, bytes)):
        frames = list(weights)
        names = list(range(len(frames)))
    else:
        raise TypeError(
            "weights must be a DataFrame, a list of DataFrames or a dict "
            f"{{name: DataFrame}}, got {type(weights).__name__}"
        )
    if not frames:
        raise ValueError("weights holds no frames; give at least one")
    for name, frame in zip(names, frames):
        if not isinstance(frame, pd.DataFrame):
            raise TypeError(f"weights[{name!r}] must be a DataFrame, got {type(frame).__name__}")
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
    try:
        from tqdm.auto import tqdm
    except ImportError as exc:  # pragma: no cover - tqdm is a dependency
        raise ImportError("the progress bar needs tqdm (pip install tqdm), or pass progress=False") from exc
    return tqdm(total=total, unit="run", desc="sweep", dynamic_ncols=True)


# --------------------------------------------------------------------------
# The call
# --------------------------------------------------------------------------

def sweep(weights: pd.DataFrame | Sequence[pd.DataFrame] | Mapping[Any, pd.DataFrame],
          close: pd.DataFrame | Market, open: pd.DataFrame | None = None,
          high: pd.DataFrame | None = None, low: pd.DataFrame | None = None, *,
          grid: Mapping[str, Sequence[Any]] | Sequence[Mapping[str, Any]] | None = None,
          backend: Literal["process", "ray", "serial"] = "process",
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
        given here.
    grid
        ``{option: [values]}``: every combination of the values (the first
        option varies slowest), or a list of dicts of options, one per
        configuration. Options are the keyword options of
        :func:`vostra.backtest` (``rebalance``, ``fee``, ``stop_loss``, ...).
    **options
        Options of :func:`vostra.backtest` that hold for every run (a grid
        value overrides them).
    backend
        ``"process"`` (default): a pool of worker processes on this machine.
        ``"ray"``: tasks on Ray; a Ray already initialised in this process is
        used as it is, otherwise ``ray.init(address=address)`` connects to
        the cluster at ``address`` (or ``RAY_ADDRESS``, or starts a local
        one) and stays connected for later sweeps. ``"serial"``: one run
        after the other in this process.
    workers
        Worker processes of the ``"process"`` backend (default: the CPUs
        this process may use).
    chunksize
        Runs per task (default: about four tasks per worker, at most 16
        runs each).
    progress
        Show a progress bar (runs done, rate, time left) on stderr.
    equity
        Add an ``equity`` column holding each run's equity curve (a Series,
        None for a failed run).
    start_method
        Multiprocessing start method of the ``"process"`` backend
        (``"fork"``, ``"forkserver"``, ``"spawn"``; default: the platform's).
        Workers read the frames from memory-mapped files with any of them.
    address
        Ray cluster address for the ``"ray"`` backend.
    overfitting
        Add a ``psr`` column (each run's probabilistic Sharpe ratio against
        0) and keep the sweep's overfitting figures (trials, effective
        trials, best run by Sharpe, its deflated Sharpe ratio, the
        probability of backtest overfitting with ``pbo_blocks`` blocks) in
        ``table.attrs["overfitting"]``, read with :func:`vostra.overfitting`.
        See :mod:`vostra.overfit`. The runs then send their equity curves
        back (8 bytes per bar and run) and the figures take about a second
        per thousand runs of ten years; ``overfitting=False`` skips both.

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

    A run that raises does not stop the sweep. Ctrl-C stops it: queued runs
    are dropped, the workers are ended and KeyboardInterrupt propagates.
    """
    if isinstance(close, Market):
        market = close
        close = market.close
        open = market.open if open is None else open
        high = market.high if high is None else high
        low = market.low if low is None else low
    for name, frame in (("close", close), ("open", open), ("high", high), ("low", low)):
        if not (frame is None and name != "close") and not isinstance(frame, pd.DataFrame):
            raise TypeError(
                f"{name} must be a pandas DataFrame with dates as rows and tickers as "
                f"columns{' or a vostra.Market' if name == 'close' else ''}, "
                f"got {type(frame).__name__}"
            )
    if backend not in ("process", "ray", "serial"):
        raise ValueError(f"backend must be 'process', 'ray' or 'serial', got {backend!r}")
    if workers is not None and int(workers) < 1:
        raise ValueError(f"workers must be at least 1, got {workers}")
    if chunksize is not None and int(chunksize) < 1:
        raise ValueError(f"chunksize must be at least 1, got {chunksize}")
    _check_option_names(options, "sweep(...)")
    if overfitting:
        check_block_count(pbo_blocks, "pbo_blocks")

    _load_engine()  # a missing build fails here rather than in every worker
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
    refs: dict[int, _FrameRef] = {}

    def shared(value: Any) -> Any:
        if not isinstance(value, pd.DataFrame):
            return value
        if id(value) not in refs:
            refs[id(value)] = _FrameRef(("option", len(refs)))
            frames[refs[id(value)].key] = value
        return refs[id(value)]

    runs: list[Run] = []
    for w in range(len(weight_frames)):
        for config in configs:
            merged = {**options, **config}
            runs.append((len(runs), w, {k: shared(v) for k, v in merged.items()}))

    if backend == "ray":
        ray = _import_ray()
        if not ray.is_initialized():
            ray.init(address=address)
        n_workers = _ray_workers(ray)
    elif backend == "process":
        n_workers = int(workers) if workers else len(_usable_cpus())
    else:
        n_workers = 1
    if chunksize is None:
        chunksize = max(1, min(_MAX_CHUNK, math.ceil(len(runs) / (n_workers * _CHUNKS_PER_WORKER))))
    chunks = [runs[i:i + int(chunksize)] for i in range(0, len(runs), int(chunksize))]

    keep_equity = equity or overfitting
    outcomes: list[Outcome | None] = [None] * len(runs)
    bar = _progress_bar(len(runs), progress)

    def collect(batch: list[Outcome]) -> None:
        for outcome in batch:
            outcomes[outcome[0]] = outcome
        if bar is not None:
            bar.update(len(batch))

    try:
        with _DeferredInterrupt() as interrupt:
            if not runs:
                pass                    # an empty grid: nothing to start
            elif backend == "process":
                _run_processes(frames, chunks, min(n_workers, len(chunks)), start_method,
                               keep_equity, collect, interrupt)
            elif backend == "ray":
                _run_ray(frames, chunks, keep_equity, collect, interrupt)
            else:
                for chunk in chunks:
                    interrupt.check()
                    collect([_run_one(frames, run, keep_equity) for run in chunk])
            interrupt.check()
    finally:
        if bar is not None:
            bar.close()

    table = _table(names if named else None, weight_frames, columns, configs, outcomes,
                   close.index, keep_equity)
    return _with_overfitting(table, equity, pbo_blocks) if overfitting else table


def _with_overfitting(table: pd.DataFrame, keep_equity: bool, pbo_blocks: int) -> pd.DataFrame:
    """The overfitting figures come from every run's equity curve, which the
    runs then send back even when the caller did not ask for the column."""
    table = attach_to_sweep(table, pbo_blocks)
    return table if keep_equity else table.drop(columns="equity")


def _usable_cpus() -> set[int] | range:
    try:
        return os.sched_getaffinity(0)
    except AttributeError:  # pragma: no cover - not on Linux
        return range(os.cpu_count() or 1)


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
        _, row, curve, error, note = outcome
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
