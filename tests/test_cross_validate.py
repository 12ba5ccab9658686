"""Combinatorial purged cross-validation: the splits and paths are
skfolio's, each split chooses the best configuration on its train bars,
and each path is the backtests of its choices chained."""

import itertools
import math

import numpy as np
import pandas as pd
import pytest

import vostra
from vostra.research.crossval import cpcv_splits, path_folds
from vostra.research.walkforward import chain
from vostra.results.stats import statistics
from test_walkforward import window_frames

skfolio_cv = pytest.importorskip("skfolio.model_selection")


@pytest.mark.parametrize("n, folds, tests, purge, embargo", [
    (60, 3, 2, 0, 0), (103, 6, 2, 2, 1), (250, 8, 3, 3, 4), (97, 5, 4, 1, 0)])
def test_splits_and_paths_are_skfolios(n, folds, tests, purge, embargo):
    theirs = skfolio_cv.CombinatorialPurgedCV(n_folds=folds, n_test_folds=tests, purged_size=purge,
                                              embargo_size=embargo)
    ours = cpcv_splits(n, folds, tests, purge, embargo)
    splits = list(theirs.split(np.zeros((n, 2))))
    assert len(ours) == len(splits) == math.comb(folds, tests)
    for (train, test), (their_train, their_test) in zip(ours, splits):
        np.testing.assert_array_equal(train, their_train)
        assert len(test) == len(their_test) and all(np.array_equal(a, b) for a, b in zip(test, their_test))
    paths = path_folds(folds, tests)
    assert paths.shape == (theirs.n_test_paths, folds)
    for split, (test_folds, ids) in enumerate(zip(itertools.combinations(range(folds), tests),
                                                  theirs.get_path_ids())):
        assert all(paths[path, fold] == split for fold, path in zip(test_folds, ids))


@pytest.fixture(scope="module")
def market():
    return vostra.synthetic_market(n_stocks=16, years=2.5, seed=21)


@pytest.fixture(scope="module")
def signals(market):
    rank = market.close.ffill().pct_change(30).where(market.close.notna()).rank(axis=1, ascending=False)
    return {"top3": rank <= 3, "top6": rank <= 6}


GRID = {"stop_loss": [None, 0.04]}


def test_each_path_is_the_backtests_of_its_choices(market, signals):
    cv = vostra.cross_validate(signals, market, n_folds=5, n_test_folds=2, purge=4, embargo=3, grid=GRID,
                               rebalance="W", capital=1e6, lot_size=10, backend="serial")
    frames = (market.close, market.open, market.high, market.low)
    configs = [(name, stop) for name in signals for stop in GRID["stop_loss"]]

    def backtest(config, rows=None):
        name, stop = config
        if rows is None:
            weights, prices, delisting = signals[name], frames, "auto"
        else:   # the window as a walk-forward's test window sees it
            weights, prices, delisting = window_frames(market, signals[name], rows, "auto")
        return vostra.backtest(weights, *prices, rebalance="W", stop_loss=stop, capital=1e6, lot_size=10,
                               delisting=delisting)

    # Each split chooses the best Sharpe ratio of the whole-period runs' train bars.
    whole = [backtest(c).equity.to_numpy() for c in configs]
    for split, (train, _) in zip(cv.splits.to_dict("records"), cv.split_indices):
        train = train[train > 0]
        sharpe = [np.mean(r := e[train] / e[train - 1] - 1) / np.std(r, ddof=1) * math.sqrt(252) for e in whole]
        assert configs[split["run"]] == (split["weights"], split["stop_loss"]) == configs[int(np.argmax(sharpe))]
        assert split["in_sample"] == pytest.approx(max(sharpe), rel=1e-12)

    # Each path: its folds' choices, consecutive equal ones run as one backtest, chained.
    edges = [0] + [int(cv.folds["bars"].iloc[:k + 1].sum()) for k in range(len(cv.folds))]
    several = 0
    for p, splits in enumerate(cv.path_splits):
        runs = []
        for fold, split in enumerate(splits):
            run = int(cv.splits.at[split, "run"])
            if runs and runs[-1][0] == run:
                runs[-1][2] = edges[fold + 1]
            else:
                runs.append([run, edges[fold], edges[fold + 1]])
        equity = chain([backtest(configs[run], slice(a, b)).equity for run, a, b in runs])
        pd.testing.assert_series_equal(cv.equity[p].dropna(), equity, check_names=False, rtol=1e-12)
        expected = statistics(equity)
        for key in ("total_return", "cagr", "sharpe", "max_drawdown"):
            assert cv.paths.at[p, key] == pytest.approx(expected[key], rel=1e-12)
        assert cv.paths.at[p, "runs"] == len(runs)
        several += len(runs) > 1
    assert several and len(cv.paths) == math.comb(4, 1)
    assert cv.pbo == np.mean(cv.paths["logit"] <= 0) and "PBO over the paths" in str(cv)


def train_returns(market, train):
    """The returns of the train bars of the tickers whose closes cover them
    (carried over suspensions), as a strategy's fit sees them."""
    close = market.close
    bars = train[train > 0]
    valid = close.notna().to_numpy()
    first, last = valid.argmax(axis=0), len(close) - 1 - valid[::-1].argmax(axis=0)
    covered = close.columns[(first <= bars[0] - 1) & (last >= bars[-1])]
    carried = close[covered].ffill()
    return (carried / carried.shift(1) - 1).iloc[bars]


def test_a_strategy_is_fitted_on_each_splits_train_bars_and_each_path_is_one_backtest(market):
    from vostra.research.estimators import InverseVolatility, TopN

    options = dict(rebalance="M", capital=1e6, lot_size=10, trade_at="open")
    cv = vostra.cross_validate(InverseVolatility(), market, n_folds=5, n_test_folds=2, purge=3, embargo=2,
                               backend="serial", **options)
    edges = [0] + list(np.cumsum(cv.folds["bars"]))
    valid = market.close.notna().to_numpy()
    last = pd.Series(len(valid) - 1 - valid[::-1].argmax(axis=0), index=market.close.columns)
    for p, splits in enumerate(cv.path_splits):
        targets = cv.targets[p]
        for fold, split in enumerate(splits):
            bar = max(edges[fold] - 1, 0)
            returns = train_returns(market, cv.split_indices[split][0])
            expected = pd.Series(InverseVolatility().fit(returns).weights_, index=returns.columns)
            # A stock delisted by the fold's start (its last close at or before the row) gets nothing.
            gone = (last[expected.index] <= bar) & (last[expected.index] < len(valid) - 1)
            expected[gone] = 0.0
            row = targets.loc[market.close.index[bar]]
            np.testing.assert_allclose(row.reindex(expected.index), expected, rtol=1e-12)
            assert (row.drop(expected.index) == 0).all()
        run = vostra.backtest(targets, market, **options)
        pd.testing.assert_series_equal(cv.equity[p], run.equity, check_names=False, check_exact=True)
        assert cv.paths.at[p, "sharpe"] == statistics(run.equity)["sharpe"]
    assert math.isnan(cv.pbo)        # one configuration: nothing chosen, nothing to rank

    # With a grid of its parameters, each split keeps the best in-sample Sharpe ratio.
    ranked = vostra.cross_validate(TopN(), market, n_folds=4, n_test_folds=2, grid={"n": [2, 6]},
                                   backend="serial")
    for split, (train, _) in zip(ranked.splits.to_dict("records"), ranked.split_indices):
        returns = train_returns(market, train)
        sharpe = []
        for n in (2, 6):
            daily = returns.fillna(0).to_numpy() @ TopN(n=n).fit(returns).weights_
            sharpe.append(daily.mean() / daily.std(ddof=1) * math.sqrt(252))
        assert split["n"] == (2, 6)[int(np.argmax(sharpe))] and split["in_sample"] == pytest.approx(max(sharpe))
    assert 0 <= ranked.pbo <= 1 and np.isfinite(ranked.paths["logit"]).all()


@pytest.mark.parametrize("call, error, match", [
    (dict(n_folds=2), ValueError, "n_folds must be at least 3, got 2"),
    (dict(n_test_folds=5), ValueError, "n_test_folds must be at least 1 and below n_folds=5"),
    (dict(purge=200), ValueError, r"purge \+ embargo = 200 bars must be below a fold's"),
    (dict(select="trades"), ValueError, "select='trades' is not a statistic of the bar returns"),
    (dict(strategy=lambda history: {}), TypeError, "cross_validate fits estimators"),
])
def test_argument_errors(market, signals, call, error, match):
    with pytest.raises(error, match=match):
        vostra.cross_validate(call.pop("strategy", signals["top3"]), market, **{"n_folds": 5, **call})
