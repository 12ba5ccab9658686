"""vostra.sweep: rows equal one-by-one backtests, failed runs, progress bar,
argument checks, Ctrl-C, and the Ray backend on a local Ray."""

import contextlib
import itertools
import os
import pathlib
import shutil
import signal
import subprocess
import sys
import tempfile
import textwrap
import time

import numpy as np
import pandas as pd
import pytest

import vostra
from vostra.research.sweep import STAT_COLUMNS
from support import child_env


# 5 x 5 x 2 x 2 = 100 combinations.
GRID_100 = {
    "stop_loss": [None, 0.03, 0.08, 0.15, 0.3],
    "rebalance": ["M", "W", "Q", None, ["2014-03-15", "2014-09-30", "2015-01-31"]],
    "intrabar": [False, True],
    "fee": [0.0, 0.002],
}


@pytest.fixture(scope="module")
def market():
    return vostra.synthetic_market(n_stocks=12, years=1.5, seed=5)


@pytest.fixture(scope="module")
def signals(market):
    close = market.close
    filled = close.ffill()
    score = (filled.shift(5) / filled.shift(40) - 1).where(close.notna())
    rank = score.rank(axis=1, ascending=False)
    # A bool frame (equal weights) and a float frame with a short side.
    worst = rank.ge(rank.max(axis=1), axis=0)
    long_short = (rank <= 2) * 0.4 - worst * 0.2
    return {"top3": rank <= 3, "long_short": long_short.astype(float)}


def one_by_one(market, weights, **options):
    return vostra.backtest(weights, market.close, market.open, market.high, market.low, **options)


def records(table):
    """The rows as dicts of the cells as stored (a row Series would convert
    None to NaN in a row of strings and missing values)."""
    return table.to_dict("records")


def assert_row_equals(row, result):
    """Statistics and equity curve, bit for bit."""
    stats = np.array([row[c] for c in STAT_COLUMNS], dtype=np.float64)
    expected = result.stats[list(STAT_COLUMNS)].to_numpy()
    assert np.array_equal(stats, expected, equal_nan=True), (stats, expected)
    pd.testing.assert_series_equal(row["equity"], result.equity, check_exact=True)


def same(cell, value):
    return cell is value or cell == value


def test_hundred_combinations_equal_one_by_one_runs(market, signals):
    # Every combination for each of two weight frames: 200 runs; the fixed
    # fee is overridden by the grid's.
    table = vostra.sweep(signals, market, grid=GRID_100, trade_at="open", fee=0.05,
                         equity=True, progress=False, workers=2, chunksize=7)
    combos = list(itertools.product(*GRID_100.values()))
    assert len(combos) == 100
    assert len(table) == 200 and list(table.index) == list(range(200))
    assert list(table.columns) == ["weights", *GRID_100, *STAT_COLUMNS, "psr", "error", "warnings", "equity"]
    assert table["error"].isna().all() and table["warnings"].isna().all()
    # Rows in grid order: weights outermost, then the first option slowest.
    rows = iter(records(table))
    for name, weights in signals.items():
        for combo in combos:
            row = next(rows)
            options = dict(zip(GRID_100, combo))
            assert row["weights"] == name
            assert all(same(row[k], v) for k, v in options.items())
            assert_row_equals(row, one_by_one(market, weights, trade_at="open", **options))
    # The grid does move the outcome: the runs are not all the same.
    assert table["total_return"].nunique() > 100


def test_fresh_worker_processes_and_option_frames(market, signals):
    # Spawned workers import the engine themselves and read every frame,
    # including one given as an option value, from the mapped files.
    trade_price = (market.open + market.close) / 2
    grid = [{"trade_at": trade_price, "stop_loss": 0.05}, {"trade_at": "close"}]
    table = vostra.sweep(signals["long_short"], market.close, market.open, market.high, market.low,
                         grid=grid, rebalance="W", equity=True, progress=False, workers=2,
                         chunksize=1, start_method="spawn")
    assert list(table.columns[:2]) == ["trade_at", "stop_loss"]
    assert table.loc[0, "trade_at"] is trade_price
    assert table.loc[1, "stop_loss"] is None       # left out: the default
    for row, options in zip(records(table), grid):
        assert_row_equals(row, one_by_one(market, signals["long_short"], rebalance="W", **options))


def test_failed_runs_and_warnings_stay_in_their_rows(market, signals):
    # Holding every ticker keeps weights on stocks after their prices end.
    everything = market.close.notna() | True
    weights = {"top3": signals["top3"], "all": everything}
    grid = {"stop_loss": [0.1, -0.5, None], "trade_at": ["open", "midday"]}
    # One chunk: a worker meets the same warning twice and must report both.
    table = vostra.sweep(weights, market, grid=grid, equity=True, progress=False, workers=2,
                         chunksize=12)
    assert len(table) == 12
    bad = (table["stop_loss"] == -0.5) | (table["trade_at"] == "midday")
    assert bad.sum() == 8
    for row in records(table[bad]):
        if row["trade_at"] == "midday":
            assert row["error"].startswith("ValueError: trade_at must be 'close', 'open'")
        else:
            assert row["error"].startswith("ValueError: stop_loss must be a positive fraction")
        assert np.isnan([row[c] for c in STAT_COLUMNS]).all() and row["equity"] is None
    for row in records(table[~bad]):
        assert row["error"] is None
        frame = weights[row["weights"]]
        if row["weights"] == "all":
            with pytest.warns(UserWarning) as caught:
                result = one_by_one(market, frame, stop_loss=row["stop_loss"], trade_at="open")
            assert row["warnings"] == "\n".join(str(w.message) for w in caught)
            assert "after their prices end" in row["warnings"]
        else:
            result = one_by_one(market, frame, stop_loss=row["stop_loss"], trade_at="open")
            assert row["warnings"] is None
        assert_row_equals(row, result)


def test_prices_and_each_weight_frame_are_converted_once(market, signals, monkeypatch):
    from vostra.data import frames, prices, weights

    converted, masks = [], []
    matrix, weights_matrix = frames.matrix, weights.weights_matrix

    def counting_matrix(frame, name):
        converted.append(name)
        return matrix(frame, name)

    monkeypatch.setattr(prices, "matrix", counting_matrix)
    monkeypatch.setattr(weights, "matrix", counting_matrix)
    monkeypatch.setattr(weights, "weights_matrix",
                        lambda frame, *early: masks.append(frame.shape) or weights_matrix(frame, *early))
    grid = {"rebalance": ["M", "W"], "delisting": ["auto", None], "fee": [0.0, 0.002]}
    table = vostra.sweep(signals, market, grid=grid, equity=True, progress=False, workers=2, chunksize=3)
    # Four price frames and the float weight frame once; the bool frame is
    # read as a mask (without _matrix); each weight frame once.
    assert sorted(converted) == ["close", "high", "low", "open", "weights"]
    assert len(masks) == len(signals)
    for row in records(table):
        assert row["error"] is None
        options = {k: row[k] for k in grid}
        assert_row_equals(row, one_by_one(market, signals[row["weights"]], **options))


def test_a_market_that_cannot_be_converted_fails_every_row(market, signals):
    close = market.close.copy()
    close["text"] = "x"
    table = vostra.sweep(signals, close, grid={"fee": [0.0, 0.001]}, progress=False, workers=2)
    assert len(table) == 4
    assert all(e.startswith("TypeError: close must hold numbers") for e in table["error"])



@pytest.mark.parametrize("backend", ["process", "serial"])
def test_progress_bar_on_and_off(market, signals, capsys, backend):
    grid = {"fee": [0.0, 0.001, 0.002]}
    quiet = vostra.sweep(signals["top3"], market, grid=grid, backend=backend, progress=False)
    assert capsys.readouterr().err == ""
    loud = vostra.sweep(signals["top3"], market, grid=grid, backend=backend, progress=True)
    err = capsys.readouterr().err
    assert "3/3" in err and "run/s" in err
    pd.testing.assert_frame_equal(quiet, loud)
    assert list(quiet.columns) == ["fee", *STAT_COLUMNS, "psr", "error", "warnings"]


@pytest.mark.parametrize("call, error, match", [
    (dict(grid={"stoploss": [0.1]}), TypeError, "'stoploss'"),
    (dict(grid={"rebalance": "M"}), TypeError, r"grid\['rebalance'\] must be a list"),
    (dict(grid=[{"fee": 0.1}, 3]), TypeError, r"grid\[1\] must be a dict"),
    (dict(stop=0.1), TypeError, "'stop'"),
    (dict(backend="processes"), ValueError, "backend must be"),
    (dict(workers=0), ValueError, "workers must be at least 1"),
])
def test_bad_arguments_fail_before_any_run(market, signals, call, error, match):
    with pytest.raises(error, match=match):
        vostra.sweep(signals["top3"], market, progress=False, **call)


def test_weights_and_prices_must_be_frames(market, signals):
    with pytest.raises(ValueError, match="holds no frames"):
        vostra.sweep({}, market, progress=False)
    with pytest.raises(TypeError, match="weights must be a wide DataFrame.*got str"):
        vostra.sweep("top3", market, progress=False)
    with pytest.raises(TypeError, match=r"weights\['b'\] must be one set of weights: a wide DataFrame"):
        vostra.sweep({"a": signals["top3"], "b": None}, market, progress=False)
    with pytest.raises(TypeError, match="high must be a pandas DataFrame"):
        vostra.sweep(signals["top3"], market.close, market.open, market.high.to_numpy(),
                     progress=False)


CTRL_C_SCRIPT = textwrap.dedent("""
    import faulthandler
    faulthandler.dump_traceback_later(25, exit=True)   # a hang shows its stacks
    import vostra
    m = vostra.synthetic_market(n_stocks=12, years=1.5, seed=5)
    weights = m.close.notna() & (m.close.rank(axis=1) <= 3)
    print("sweeping", flush=True)
    vostra.sweep(weights, m, grid={"fee": [i * 1e-5 for i in range(20000)]},
                 workers=2, chunksize=4, progress=False)
    print("finished", flush=True)
""")


def test_ctrl_c_stops_the_sweep_and_its_workers():
    env = child_env()
    # A session of its own stands for a terminal: Ctrl-C reaches the whole
    # process group, the sweep and its workers. A terminal's shell starts it
    # with SIGINT at its default, which a test runner started in the
    # background (SIGINT ignored) would otherwise pass on.
    child = subprocess.Popen([sys.executable, "-c", CTRL_C_SCRIPT], env=env, text=True,
                             stdout=subprocess.PIPE, stderr=subprocess.PIPE, start_new_session=True,
                             preexec_fn=lambda: signal.signal(signal.SIGINT, signal.SIG_DFL))
    group = child.pid
    try:
        assert child.stdout.readline().strip() == "sweeping"
        time.sleep(1.5)
        os.killpg(group, signal.SIGINT)
        out, err = child.communicate(timeout=40)
        assert "finished" not in out
        assert child.returncode != 0 and "KeyboardInterrupt" in err, err
        deadline = time.monotonic() + 10
        while True:
            try:
                os.killpg(group, 0)
            except ProcessLookupError:
                break                   # no process of the sweep is left
            assert time.monotonic() < deadline, "worker processes outlived the sweep"
            time.sleep(0.1)
    finally:
        try:
            os.killpg(group, signal.SIGKILL)
        except ProcessLookupError:
            pass
        child.communicate()


# --------------------------------------------------------------------------
# Ray
# --------------------------------------------------------------------------

@pytest.fixture(scope="module")
def local_ray():
    try:
        import ray
    except ImportError as exc:
        pytest.skip(f"Ray is not installed (pip install 'vostra[cluster]'): {exc}")
    # A cluster of its own, even where another runs on the machine.
    ray.init(address="local", num_cpus=2, include_dashboard=False, log_to_driver=False)
    yield ray
    ray.shutdown()


def test_ray_backend_equals_one_by_one_runs(local_ray, market, signals):
    grid = {"stop_loss": [None, 0.05, -1.0], "rebalance": ["M", "W"]}
    table = vostra.sweep(signals, market, grid=grid, backend="ray", trade_at="open",
                         equity=True, progress=False, chunksize=3)
    assert len(table) == 12
    for row in records(table):
        if row["stop_loss"] == -1.0:
            assert row["error"].startswith("ValueError: stop_loss must be a positive fraction")
            assert np.isnan(row["total_return"]) and row["equity"] is None
            continue
        assert row["error"] is None
        result = one_by_one(market, signals[row["weights"]], trade_at="open",
                            stop_loss=row["stop_loss"], rebalance=row["rebalance"])
        assert_row_equals(row, result)
    # Ray stays as the caller set it up.
    assert local_ray.is_initialized() and local_ray.cluster_resources()["CPU"] == 2


def test_a_strategys_fits_on_ray_and_threads_equal_one_after_the_other(local_ray, market):
    from vostra.research.estimators import TopN

    kwargs = dict(grid={"n": [3, 6]}, train="1Y", test="6M", refit="W", lookback=60)
    serial = vostra.walk_forward(TopN(), market, backend="serial", **kwargs)
    for backend in ("threads", "ray"):
        other = vostra.walk_forward(TopN(), market, backend=backend, workers=2, **kwargs)
        pd.testing.assert_frame_equal(other.windows, serial.windows)
        pd.testing.assert_series_equal(other.result.equity, serial.result.equity)


@contextlib.contextmanager
def ray_cluster(ray, nodes):
    """A Ray cluster of `nodes` one-CPU nodes on this machine. Ray's test
    cluster starts real node processes and stops only those: other clusters
    on the machine, and the file that tells ray.init("auto") where one runs,
    are left as they were."""
    from ray.cluster_utils import Cluster

    # Short: Ray's socket paths under it must fit the limit of Unix sockets.
    tmp_path = tempfile.mkdtemp(prefix="vray", dir="/tmp")
    address_file = ray._common.utils.get_ray_address_file(None)
    kept = pathlib.Path(address_file).read_bytes() if os.path.exists(address_file) else None
    cluster = Cluster()
    try:
        cluster.add_node(num_cpus=1, include_dashboard=False, temp_dir=tmp_path)
        for _ in range(nodes - 1):
            cluster.add_node(num_cpus=1)
        cluster.wait_for_nodes()
        yield cluster
    finally:
        cluster.shutdown()
        if kept is not None:
            pathlib.Path(address_file).write_bytes(kept)
        shutil.rmtree(tmp_path, ignore_errors=True)


@pytest.fixture
def ray_module(monkeypatch):
    ray = pytest.importorskip("ray", reason="Ray is not installed (pip install 'vostra[cluster]')")
    # The node processes start the workers, which import this vostra.
    monkeypatch.setenv("PYTHONPATH", child_env()["PYTHONPATH"])
    if ray.is_initialized():
        ray.shutdown()
    return ray


def test_ray_cluster_of_two_nodes_equals_serial(ray_module, market, signals):
    ray = ray_module
    # Another cluster on the machine, started before and outside this test's.
    with ray_cluster(ray, 1) as elsewhere:
        with ray_cluster(ray, 2) as cluster:
            ray.init(address=cluster.address, log_to_driver=False)
            try:
                grid = {"stop_loss": [None, 0.05, -1.0], "rebalance": ["M", "W"]}
                kwargs = dict(grid=grid, trade_at="open", equity=True, progress=False)
                on_cluster = vostra.sweep(signals, market, backend="ray", chunksize=2, **kwargs)
                # Both nodes offer their CPU for the tasks: the cluster has two.
                assert ray.cluster_resources()["CPU"] == 2
            finally:
                ray.shutdown()
        assert elsewhere.head_node.remaining_processes_alive()
    serial = vostra.sweep(signals, market, backend="serial", **kwargs)
    assert len(on_cluster) == 12 and on_cluster["error"].notna().sum() == 4
    stats = list(STAT_COLUMNS)
    assert np.array_equal(on_cluster[stats].to_numpy(), serial[stats].to_numpy(), equal_nan=True)
    assert on_cluster["error"].tolist() == serial["error"].tolist()
    for a, b in zip(on_cluster["equity"], serial["equity"]):
        assert (a is None and b is None) or a.equals(b)
