"""vostra.walk_forward: the windows, the choice on each train window, the
test pieces and their chaining, the result's frames, argument errors."""

import warnings

import numpy as np
import pandas as pd
import pytest

import vostra
from vostra.cli.demo import momentum_signal
from vostra.research.sweep import STAT_COLUMNS
from vostra.research.walkforward import chain, window_bounds

GRID = {"stop_loss": [None, 0.05]}


@pytest.fixture(scope="module")
def market():
    # No suspensions, listings or delistings: a window is then a plain row
    # slice of the prices, which the checks below run on their own.
    return vostra.synthetic_market(n_stocks=10, years=3, seed=3, suspensions=0,
                                   delisting_rate=0, listing_rate=0)


@pytest.fixture(scope="module")
def signals(market):
    return {f"top{n}": momentum_signal(market.close, lookback=40, skip=5, top=n) for n in (2, 4)}


@pytest.fixture(scope="module")
def walk(market, signals):
    return vostra.walk_forward(signals, market, grid=GRID, train="1Y", test="6M",
                               trade_at="open", backend="serial")


def run(market, weights, rows, **options):
    """A backtest on a row slice of the market, with the weights as given."""
    return vostra.backtest(weights, *(f.iloc[rows] for f in (market.close, market.open,
                                                             market.high, market.low)),
                           trade_at="open", **options)


# --- Windows ---------------------------------------------------------------

def test_bar_windows_by_hand():
    index = pd.date_range("2020-01-01", periods=10, freq="B")
    assert window_bounds(index, 4, 2) == [(0, 4, 4, 6), (2, 6, 6, 8), (4, 8, 8, 10)]
    assert window_bounds(index, 4, 2, anchored=True) == [(0, 4, 4, 6), (0, 6, 6, 8), (0, 8, 8, 10)]
    assert window_bounds(index, 4, 2, step=3) == [(0, 4, 4, 6), (3, 7, 7, 9)]
    # The last test window ends with the data; one shorter than 2 bars is dropped.
    assert window_bounds(index, 4, 4) == [(0, 4, 4, 8), (4, 8, 8, 10)]
    assert window_bounds(index, 3, 3) == [(0, 3, 3, 6), (3, 6, 6, 9)]


def test_calendar_windows_tile_the_test_period():
    index = pd.date_range("2014-01-01", "2016-12-31", freq="B")
    bounds = window_bounds(index, "1Y", "6M")
    assert [str(index[b[2]].date()) for b in bounds] == [
        "2015-01-01", "2015-07-01", "2016-01-01", "2016-07-01"]
    assert all(index[b[0]] == index[b[2]] - pd.DateOffset(years=1) for b in bounds)
    assert [b[3] for b in bounds[:-1]] == [b[2] for b in bounds[1:]] and bounds[-1][3] == len(index)
    # Month ends: Aug 31 + 6 months is Feb 28, yet no test window overlaps the next.
    daily = pd.date_range("2013-08-31", "2016-12-31", freq="D")
    bounds = window_bounds(daily, "6M", "6M", anchored=True)
    assert all(a[3] <= b[2] for a, b in zip(bounds, bounds[1:]))
    assert all(b[0] == 0 for b in bounds)


@pytest.mark.parametrize("call, error, match", [
    (dict(train=4, test=3, step=2), ValueError, "step=2 is shorter than test=3: the test windows would overlap"),
    (dict(train="1Y", test=20), ValueError, "all be numbers of bars or all be calendar lengths"),
    (dict(train="1Y", test="3X"), ValueError, r"test='3X' is not a window length; .* D, W, M, Q or Y"),
    (dict(train=0, test=3), ValueError, "train must be at least 1 bar, got 0"),
    (dict(train=True, test=3), TypeError, "train must be a number of bars or a length"),
    (dict(train=1, test=3), ValueError, "only 1 bar\\(s\\); a train window needs at least 2"),
    (dict(train=60, test=3), ValueError, "train=60 leaves no test window of 2 bars or more: the market has 50 bars"),
])
def test_window_argument_errors(call, error, match):
    index = pd.date_range("2020-01-01", periods=50, freq="B")
    with pytest.raises(error, match=match):
        window_bounds(index, **call)


# --- The walk ----------------------------------------------------------------

def test_test_pieces_cover_the_dates_once(walk, market):
    index = market.close.index
    assert len(walk.windows) == 4
    starts, ends = walk.windows["test_start"], walk.windows["test_end"]
    for k in range(1, len(walk.windows)):
        assert index.get_loc(starts[k]) == index.get_loc(ends[k - 1]) + 1
    assert walk.equity.index.equals(index[index.get_loc(starts[0]):])
    assert (walk.windows["train_end"] < walk.windows["test_start"]).all()


def test_chained_equity_is_the_product_of_the_pieces(walk):
    growth = np.prod([p.iloc[-1] / p.iloc[0] for p in walk.pieces])
    assert walk.equity.iloc[-1] == pytest.approx(walk.pieces[0].iloc[0] * growth, rel=1e-12)
    for piece in walk.pieces:
        part = walk.equity.loc[piece.index]
        np.testing.assert_allclose(part.pct_change().iloc[1:], piece.pct_change().iloc[1:], rtol=1e-10)
    # Each piece starts where the previous one ended.
    for a, b in zip(walk.pieces, walk.pieces[1:]):
        assert walk.equity.loc[b.index[0]] == pytest.approx(walk.equity.loc[a.index[-1]], rel=1e-12)


def test_choice_is_the_in_sample_best_and_its_test_run(walk, market, signals):
    index = market.close.index
    for row in walk.windows.to_dict("records"):
        train = slice(index.get_loc(row["train_start"]), index.get_loc(row["train_end"]) + 1)
        sharpe = {(name, stop): run(market, weights, train, stop_loss=stop).stats["sharpe"]
                  for name, weights in signals.items() for stop in GRID["stop_loss"]}
        best = max(sharpe, key=sharpe.get)
        assert (row["weights"], row["stop_loss"]) == best
        assert row["in_sample"] == sharpe[best]
        test = slice(index.get_loc(row["test_start"]), index.get_loc(row["test_end"]) + 1)
        piece = run(market, signals[row["weights"]], test, stop_loss=row["stop_loss"])
        assert row["out_of_sample"] == piece.stats["sharpe"]
        assert row["test_return"] == piece.stats["total_return"]
    for piece, row in zip(walk.pieces, walk.windows.to_dict("records")):
        assert piece.index[0] == row["test_start"] and piece.index[-1] == row["test_end"]


def test_hindsight_best_and_report_frames(walk, market):
    table = walk.sweep
    assert walk.in_sample_run == table["sharpe"].idxmax()
    pd.testing.assert_series_equal(walk.in_sample_best, table.at[walk.in_sample_run, "equity"])
    assert walk.overfitting is vostra.overfitting(table) and len(walk.train_tables) == 4
    frames = walk.report_frames()
    assert set(frames) == {"equity", "statistics", "windows", "overfitting"}
    curves = frames["equity"]
    assert list(curves.columns) == ["out_of_sample", "in_sample_best"]
    assert curves.index.equals(walk.equity.index)
    assert curves["in_sample_best"].iloc[0] == curves["out_of_sample"].iloc[0]
    assert frames["statistics"].loc["total_return", "out_of_sample"] == pytest.approx(
        walk.equity.iloc[-1] / walk.equity.iloc[0] - 1)
    text = repr(walk)
    assert "Walk-forward over 4 windows, selecting by 'sharpe'" in text and "pbo" in text
    # The two columns of statistics line up under their headings.
    block = text.split("\n\n")[1].splitlines()
    assert len(block) == 6 and len({len(line) for line in block}) == 1, block
    html = walk._repr_html_()
    assert "hindsight best" in html and "Windows" in html and "Overfitting" in html


def test_lowest_is_chosen_with_a_minus(market, signals):
    walk = vostra.walk_forward(signals["top2"], market, grid={"fee": [0.0, 0.01]},
                               train=250, test=250, select="-annual_volatility",
                               trade_at="open", backend="serial")
    assert len(walk.windows) == 3 and "weights" not in walk.windows.columns   # 756 bars
    for row, table in zip(walk.windows.to_dict("records"), walk.train_tables):
        assert row["in_sample"] == table["annual_volatility"].min()
        assert row["fee"] == table.at[table["annual_volatility"].idxmin(), "fee"]


def test_psr_selection_scores_pieces_as_the_sweep_does(market, signals):
    walk = vostra.walk_forward(signals, market, grid=GRID, train="1Y", test="1Y", select="psr",
                               trade_at="open", backend="serial")
    index = market.close.index
    for row, table in zip(walk.windows.to_dict("records"), walk.train_tables):
        assert row["in_sample"] == table["psr"].max()
        test = slice(index.get_loc(row["test_start"]), index.get_loc(row["test_end"]) + 1)
        alone = vostra.sweep(signals[row["weights"]], *(f.iloc[test] for f in (
            market.close, market.open, market.high, market.low)), grid={"stop_loss": [row["stop_loss"]]},
            trade_at="open", backend="serial", progress=False)
        assert row["out_of_sample"] == alone.at[0, "psr"]


def test_delisting_given_as_a_series_is_passed_on(market, signals):
    # The last stock "delisted" half way: its positions end there in every window.
    when = market.close.index[400]
    delisting = pd.Series({market.close.columns[-1]: when})
    with pytest.warns(UserWarning, match=r"after their prices end \('S0009'\)"):
        walk = vostra.walk_forward(signals["top4"], market, grid=GRID, train="1Y", test="6M",
                                   delisting=delisting, trade_at="open", backend="serial")
    assert len(walk.windows) == 4 and walk.sweep["error"].isna().all()
    assert walk.sweep["warnings"].str.contains("after their prices end").all()


def test_windows_cut_through_suspensions_and_delistings():
    # Stocks listed late or delisted early have no price in some windows;
    # the walk runs every window without an error.
    market = vostra.synthetic_market(n_stocks=15, years=3, seed=8, delisting_rate=0.3,
                                     listing_rate=0.3, suspensions=4)
    signal = momentum_signal(market.close, lookback=40, skip=5, top=3)
    walk = vostra.walk_forward(signal, market, grid={"stop_loss": [None, 0.1]}, train="1Y",
                               test="1Y", select="psr", backend="serial")
    assert len(walk.windows) == 2
    assert all(t["error"].isna().all() and t["warnings"].isna().all() for t in walk.train_tables)
    assert np.isfinite(walk.windows["out_of_sample"]).all()


def test_only_prices_that_end_for_good_are_delistings():
    from vostra.research.walkforward import _delisting_dates
    index = pd.date_range("2020-01-01", periods=6, freq="B")
    nan = np.nan
    close = pd.DataFrame({"gone": [1, 2, 3, nan, nan, nan], "paused": [1, nan, nan, 4, 5, 6],
                          "late": [nan, nan, 3, 4, 5, 6]}, index=index, dtype=float)
    assert _delisting_dates(close).to_dict() == {"gone": index[3]}


def test_chain_by_hand():
    index = pd.date_range("2020-01-01", periods=5, freq="B")
    a = pd.Series([1.0, 1.1, 1.2], index=index[:3])
    b = pd.Series([1.0, 0.5], index=index[3:])
    assert chain([a, b]).tolist() == pytest.approx([1.0, 1.1, 1.2, 1.2, 0.6])


@pytest.mark.parametrize("call, error, match", [
    (dict(select="best"), ValueError, r"select='best' is not a statistic; use one of total_return"),
    (dict(select=3), TypeError, "select must be the name of a statistic, got int"),
    (dict(test="6M", step="3M"), ValueError, "the test windows would overlap"),
    (dict(grid={"stop": [0.1]}), TypeError, "'stop'"),
])
def test_walk_argument_errors(market, signals, call, error, match):
    args = dict(grid=GRID, train="1Y", test="6M", backend="serial") | call
    with pytest.raises(error, match=match):
        vostra.walk_forward(signals, market, **args)


def test_the_report_shows_the_chained_equity_the_choices_and_the_overfitting(walk, tmp_path):
    import json
    import re

    pytest.importorskip("plotly")
    page = walk.report(tmp_path / "walk.html")
    assert (tmp_path / "walk.html").read_text(encoding="utf-8") == page
    assert not re.search(r"<script[^>]*\ssrc=", page)  # the JavaScript is embedded
    match = re.search(r'Plotly\.newPlot\("panel-walk", ', page)
    data, _ = json.JSONDecoder().raw_decode(page[match.end():].replace("<\\/", "</"))
    names = [trace["name"] for trace in data]
    assert names == ["chained out of sample", "in-sample best (hindsight)"]
    assert data[0]["y"] == pytest.approx(walk.report_frames()["equity"]["out_of_sample"].tolist())
    assert "Chosen parameters per window" in page and "Overfitting" in page
    for meaning in walk.overfitting.table().iloc[:, -1]:
        assert str(meaning).split("<")[0][:40].replace("&", "&amp;") in page


# --- One conversion, one backend -----------------------------------------------

@pytest.fixture(scope="module")
def rough():
    # Suspensions, late listings and delistings: windows cut columns, weight
    # rows and delistings out of the market.
    market = vostra.synthetic_market(n_stocks=14, years=3, seed=11, delisting_rate=0.3,
                                     listing_rate=0.3, suspensions=4)
    close = market.close
    score = (close.ffill().shift(5) / close.ffill().shift(40) - 1).where(close.notna())
    rank = score.rank(axis=1, ascending=False, method="first")
    # A bool frame (equal weights), a float frame with NaN, a short side and
    # weekly rows that do not fall on every bar, and a fixed allocation that
    # also weights stocks before they list and after they are gone.
    long_short = ((rank <= 2) * 0.45 - (rank >= rank.max(axis=1).to_numpy()[:, None]) * 0.2)
    long_short = long_short.where(rank.notna()).iloc[::5]
    fixed = pd.DataFrame(1 / 14, index=close.index[::21], columns=close.columns)
    return market, {"top3": rank <= 3, "long_short": long_short, "fixed": fixed}


def window_frames(market, weights, rows, delisting):
    """The window as the documented frames: its prices, the weight rows in
    force (the last one before its first bar and those inside) on the
    tickers with a price in it, and the market's delistings inside it."""
    close = market.close
    prices = [f.iloc[rows] for f in (close, market.open, market.high, market.low)]
    traded = prices[0].columns[prices[0].notna().any().to_numpy()]
    first, last = close.index[rows.start], close.index[rows.stop - 1]
    before = np.flatnonzero(weights.index < first)
    keep = (weights.index >= first) & (weights.index <= last)
    if len(before):
        keep[before[-1]] = True
    window_weights = weights.loc[keep, weights.columns.isin(traded)]
    if delisting == "auto":
        valid = close.notna().to_numpy()
        ends = len(close) - 1 - np.argmax(valid[::-1], axis=0)
        gone = valid.any(axis=0) & (ends < ends.max())
        delisting = {t: close.index[e + 1] for t, e, g in zip(close.columns, ends, gone)
                     if g and e + 1 < rows.stop and t in traded}
    return window_weights, prices, delisting


def assert_same_runs(table, expected):
    """Statistics and equity bit for bit, errors and warnings as written."""
    stats = list(STAT_COLUMNS) + (["psr"] if "psr" in expected else [])
    assert list(table.columns) == list(expected.columns) and len(table) == len(expected)
    assert np.array_equal(table[stats].to_numpy(), expected[stats].to_numpy(), equal_nan=True)
    assert table["error"].tolist() == expected["error"].tolist()
    assert table["warnings"].tolist() == expected["warnings"].tolist()
    if "equity" in expected:
        for got, want in zip(table["equity"], expected["equity"]):
            pd.testing.assert_series_equal(got, want, check_exact=True)


@pytest.mark.parametrize("backend", ["serial", "threads"])
@pytest.mark.parametrize("delisting", ["market", None, "grid"],
                         ids=("delisted_where_prices_end", "no_delisting", "delisting_in_grid"))
def test_windows_run_as_sweeps_and_backtests_of_the_cut_frames(rough, delisting, backend):
    market, signals = rough
    grid = {"stop_loss": [None, 0.08], "rebalance": ["M", "W"], "trade_at": ["close", "open"]}
    options = {}
    if delisting == "grid":
        grid["delisting"] = ["auto", None]
    elif delisting is None:
        options["delisting"] = None
    with warnings.catch_warnings(record=True) as issued:
        warnings.simplefilter("always")
        walk = vostra.walk_forward(signals, market, grid=grid, train="1Y", test="6M",
                                   select="psr", backend=backend, workers=2, **options)
    assert len(walk.windows) == 4
    if delisting == "grid":         # the windows table keeps None next to strings
        assert set(walk.windows["delisting"]) <= {"auto", None}
    expected_warnings = []

    whole = vostra.sweep(signals, market, grid=grid, equity=True, backend="serial",
                         progress=False, **options)
    assert_same_runs(walk.sweep, whole)
    index = market.close.index
    window_delisting = "auto" if delisting == "market" else None
    for row, table, piece in zip(walk.windows.to_dict("records"), walk.train_tables, walk.pieces):
        rows = slice(index.get_loc(row["train_start"]), index.get_loc(row["train_end"]) + 1)
        cut = {name: window_frames(market, w, rows, window_delisting) for name, w in signals.items()}
        prices = cut["top3"][1]
        fixed = dict(options, delisting=cut["top3"][2]) if delisting == "market" else options
        # The delistings of a window do not depend on the weights.
        assert cut["top3"][2] == cut["long_short"][2] == cut["fixed"][2]
        expected = vostra.sweep({name: c[0] for name, c in cut.items()}, *prices, grid=grid,
                                backend="serial", progress=False, **fixed)
        assert_same_runs(table, expected)

        rows = slice(index.get_loc(row["test_start"]), index.get_loc(row["test_end"]) + 1)
        weights, prices, dates = window_frames(market, signals[row["weights"]], rows,
                                               window_delisting)
        choice = {name: row[name] for name in grid}
        if delisting == "market":
            choice["delisting"] = dates
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            result = vostra.backtest(weights, *prices, **{**options, **choice})
        expected_warnings += [str(w.message) for w in caught]
        pd.testing.assert_series_equal(piece, result.equity, check_exact=True)
        assert row["test_return"] == result.stats["total_return"]
    # The test pieces warn as their backtests do, at the caller's line.
    assert [str(w.message) for w in issued] == expected_warnings
    assert all(w.filename == __file__ for w in issued)
    if delisting == "market":       # the fixed allocation holds stocks that are gone
        assert any("after their prices end" in m for m in expected_warnings)
    # The cut really removes tickers and delists some inside windows.
    assert any(len(window_frames(market, signals["top3"], slice(a, b), "auto")[0].columns) < 14
               for a, _, _, b in window_bounds(index, "1Y", "6M"))


def test_one_conversion_per_walk_and_test_pieces_in_one_batch(rough, monkeypatch):
    from vostra import _engine
    from vostra.research import walkforward
    from vostra.data import frames, prices, weights
    from vostra.run import backtest as run_backtest

    market, signals = rough
    converted, weight_frames, batches = [], [], []
    matrix, weights_matrix, run_many = frames.matrix, weights.weights_matrix, _engine.run_many

    def counting_matrix(frame, name):
        converted.append(name)
        return matrix(frame, name)

    def counting_weights_matrix(frame, *early):
        weight_frames.append(frame.shape)
        return weights_matrix(frame, *early)

    def counting_run_many(*args, jobs, **kwargs):
        batches.append(len(jobs))
        return run_many(*args, jobs=jobs, **kwargs)

    def forbidden(*args, **kwargs):
        raise AssertionError("a walk converts its inputs once and runs on the sweep backend")

    monkeypatch.setattr(prices, "matrix", counting_matrix)
    monkeypatch.setattr(weights, "matrix", counting_matrix)
    monkeypatch.setattr(weights, "weights_matrix", counting_weights_matrix)
    monkeypatch.setattr(_engine, "run_many", counting_run_many)
    monkeypatch.setattr(_engine, "run", forbidden)
    monkeypatch.setattr(run_backtest, "prepare", forbidden)
    monkeypatch.setattr(walkforward, "backtest", forbidden)
    trade_at = market.close * 1.001
    with pytest.warns(UserWarning, match="after their prices end"):   # the fixed allocation
        walk = vostra.walk_forward(signals, market, grid={"stop_loss": [None, 0.05],
                                                          "rebalance": ["M", "W"],
                                                          "trade_at": ["open", trade_at]},
                                   train="1Y", test="6M", backend="threads", workers=2)
    # Each price frame, the trading prices and each weight frame once (the
    # two float frames; the bool one is read as a mask, without _matrix).
    assert sorted(converted) == ["close", "high", "low", "open", "trade_at", "weights", "weights"]
    assert sorted(weight_frames) == sorted(w.shape for w in signals.values())
    windows = len(walk.windows)
    # The whole period and every train window (8 runs each), then the test pieces.
    assert sum(batches) == 8 * 3 * (windows + 1) + windows and batches[-1] == windows


def test_a_failed_test_piece_raises_as_its_backtest_does():
    # "up" rises steadily and wins every train window; its close turns
    # unusable in the last test window, while "down" is held elsewhere.
    index = pd.bdate_range("2020-01-01", periods=120)
    close = pd.DataFrame({"up": np.linspace(10, 20, 120), "down": np.linspace(20, 10, 120)},
                         index=index)
    close.iloc[110, 0] = -1.0
    weights = {"up": pd.DataFrame({"up": 1.0, "down": 0.0}, index=index[:1]),
               "down": pd.DataFrame({"up": 0.0, "down": 1.0}, index=index[:1])}
    with pytest.raises(ValueError, match=r"close has an unusable price -1\.0 for ticker 'up' on "
                                         r"2020-06-03 00:00:00 while it is held"):
        vostra.walk_forward(weights, close, grid=None, train=40, test=40, select="total_return",
                            fee=0, tax=0, rebalance=None, backend="serial")


@pytest.fixture(scope="module")
def local_ray():
    ray = pytest.importorskip("ray", reason="Ray is not installed (pip install 'vostra[cluster]')")
    ray.init(address="local", num_cpus=2, include_dashboard=False, log_to_driver=False)
    yield ray
    ray.shutdown()


def test_ray_walk_equals_the_threads_walk(local_ray, rough):
    market, signals = rough
    args = dict(grid={"stop_loss": [None, 0.08], "trade_at": ["open", market.close * 0.999]},
                train="1Y", test="6M", select="psr")
    walks, issued = [], []
    for backend in ("ray", "threads"):
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            walks.append(vostra.walk_forward(signals, market, backend=backend, **args))
        issued.append([str(w.message) for w in caught])
    ray_walk, walk = walks
    assert issued[0] == issued[1]
    pd.testing.assert_frame_equal(ray_walk.windows.drop(columns="trade_at"),
                                  walk.windows.drop(columns="trade_at"), check_exact=True)
    pd.testing.assert_series_equal(ray_walk.equity, walk.equity, check_exact=True)
    for a, b in zip(ray_walk.train_tables, walk.train_tables):
        assert_same_runs(a, b)


def test_a_markets_volume_caps_sweeps_and_walks_and_each_piece_says_what_did_not_fill(market, signals):
    # Caps at 0.01 % of the volume leave orders waiting at every piece's end.
    weights = signals["top2"]
    caps = dict(capital=1e7, lot_size=100, max_volume_share=1e-4, trade_at="open")
    table = vostra.sweep(weights, market, grid={"max_volume_share": [None, 1e-4]}, backend="serial",
                         progress=False, **{k: v for k, v in caps.items() if k != "max_volume_share"})
    assert table["error"].isna().all()
    assert table.at[1, "total_return"] == vostra.backtest(weights, market, **caps).stats["total_return"]
    walk = vostra.walk_forward(weights, market, grid={"stop_loss": [None, 0.05]}, train="1Y", test="6M",
                               backend="serial", **caps)
    index = market.close.index
    for row in walk.windows.to_dict("records"):
        test = slice(index.get_loc(row["test_start"]), index.get_loc(row["test_end"]) + 1)
        piece = run(market, weights, test, stop_loss=row["stop_loss"], volume=market.volume.iloc[test],
                    **{k: v for k, v in caps.items() if k != "trade_at"})
        assert row["test_return"] == piece.stats["total_return"] and row["filled"] == piece.stats["filled"]
        pending = piece.pending
        waiting = float((pending["remaining"].abs() * pending["price"]).sum())
        assert waiting > 0 and row["unfilled"] == pytest.approx(waiting / piece.equity.iloc[-1], rel=1e-12)
    assert "filled" not in vostra.walk_forward(weights, market, grid={"stop_loss": [None]}, train="1Y",
                                               test="6M", backend="serial").windows
