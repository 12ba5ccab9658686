"""Strategies that learn their weights: what a fit sees (never past its
refit date), what it may return, the weights the account holds when it is
refitted, the built-in estimators, and agreement with skfolio's own
walk-forward where the two conventions meet."""

import copy

import numpy as np
import pandas as pd
import pytest

import vostra
from vostra.research.estimators import EqualWeight, InverseVolatility, PortfolioEstimator, TopN, clone
from vostra.research.strategy import FitError, MarketData, refit


class Log(list):
    """Shared by every clone of the estimator that writes to it."""

    def __deepcopy__(self, memo):
        return self


class Recorder(PortfolioEstimator):
    """Equal weights; records what each fit saw."""

    def __init__(self, log=None, previous_weights=None):
        self.log = log
        self.previous_weights = previous_weights

    def fit(self, X, y=None):
        self.log.append(dict(first=X.index[0], last=X.index[-1], rows=len(X), tickers=list(X.columns),
                             finite=bool(np.isfinite(X.to_numpy()).all()), previous=self.previous_weights))
        self.weights_ = np.full(X.shape[1], 1.0 / X.shape[1])
        return self


@pytest.fixture(scope="module")
def market():
    return vostra.synthetic_market(n_stocks=30, years=3, seed=11, listing_rate=0.4, delisting_rate=0.4)


def gbm(n_bars=600, n_assets=8, seed=5):
    rng = np.random.default_rng(seed)
    steps = rng.normal(0.0003, 0.015, (n_bars, n_assets)) * rng.uniform(0.5, 2.0, n_assets)
    return pd.DataFrame(100 * np.exp(np.cumsum(steps, axis=0)), index=pd.bdate_range("2015-01-01", periods=n_bars),
                        columns=[f"T{i}" for i in range(n_assets)])


# --- What a fit sees ---------------------------------------------------------

@pytest.mark.parametrize("lookback", [60, "3M", None])
def test_every_fit_ends_at_its_refit_close_and_sees_only_listed_tickers(market, lookback):
    log = Log()
    result = vostra.backtest(Recorder(log), market, refit="M", lookback=lookback, fee=0, tax=0)
    close, dates = market.close, market.dates
    assert len(log) == len(result.fits) > 20
    changes = set()
    for seen, fit in zip(log, result.fits):
        at = dates.get_loc(fit.date)
        assert seen["last"] == fit.date and seen["finite"]      # nothing after the refit close
        if isinstance(lookback, int):
            assert seen["rows"] == lookback
        # Every ticker seen is priced on the refit date and has closes over the window.
        assert close.loc[fit.date, seen["tickers"]].notna().all()
        assert (market.listed[seen["tickers"]] < seen["first"]).all()
        # ... and every such ticker is seen.
        start = dates.get_loc(seen["first"])
        eligible = close.columns[close.iloc[at].notna().to_numpy() & (market.listed < dates[start]).to_numpy()]
        assert sorted(seen["tickers"]) == sorted(eligible)
        changes.add(frozenset(seen["tickers"]))
    assert len(changes) > 5     # listings and delistings happened within the walk
    # A fit's target is traded from the bar after its refit date, never before.
    first_entry = result.trades["entry_date"].min()
    assert first_entry == dates[dates.get_loc(result.fits[0].date) + 1]
    # A function sees the same window through a Market.
    dates_seen = []

    def equal(history):
        dates_seen.append((history.dates[-1], list(history.tickers)))
        return pd.Series(1.0 / len(history.tickers), index=history.tickers)

    again = vostra.backtest(equal, market, refit="M", lookback=lookback, fee=0, tax=0)
    # (Fitted on threads: in any order.)
    assert sorted((d, sorted(t)) for d, t in dates_seen) == [(s["last"], sorted(s["tickers"])) for s in log]
    pd.testing.assert_series_equal(again.equity, result.equity)


def test_refusals_name_the_window_and_the_tickers(market):
    data = MarketData.of(market)
    gone = market.delisted.dropna().sort_values().index[0]
    after = market.dates[market.dates.get_loc(market.delisted[gone]) + 40]
    window = rf"the fit on \d{{4}}-\d\d-\d\d \.\. {after.date()} \(refit on {after.date()}\)"

    class Broken(PortfolioEstimator):
        def fit(self, X, y=None):
            raise ArithmeticError("singular")

    with pytest.raises(FitError, match=window + r": Broken\(\) raised ArithmeticError: singular") as info:
        refit(Broken(), data, after, lookback=30)
    assert isinstance(info.value.__cause__, ArithmeticError)
    with pytest.raises(FitError, match=window + r": weights for tickers the market does not have: 'ZZZ'"):
        refit(lambda h: pd.Series({"ZZZ": 1.0}), data, after, lookback=30)
    with pytest.raises(FitError, match=window + rf": weights for tickers the window does not hold .*'{gone}'"):
        refit(lambda h: pd.Series({gone: 1.0}), data, after, lookback=30)
    with pytest.raises(FitError, match=r"not finite numbers for 'S00"):
        refit(lambda h: pd.Series(np.nan, index=h.tickers), data, after, lookback=30)
    with pytest.raises(FitError, match=r"needs returns from before the market's second bar"):
        refit(EqualWeight(), data, 10, lookback=30)
    # In a backtest, the first failing refit stops the run with the same message.
    with pytest.raises(FitError, match=r"\(refit on 2014-0\d-\d\d\): Broken\(\) raised"):
        vostra.backtest(Broken(), market, refit="M", lookback=30)
    with pytest.raises(TypeError, match="InverseVolatility is a class; pass an estimator"):
        vostra.backtest(InverseVolatility, market)
    with pytest.raises(TypeError, match="refit= refits a strategy"):
        vostra.backtest(market.close.notna(), market, refit="M")


# --- The account the fits are given -----------------------------------------

def test_previous_weights_are_what_the_account_holds_after_drift_lots_and_costs(market):
    log = Log()
    options = dict(refit="M", lookback=40, capital=1_000_000, lot_size=100, fee=0.001425, tax=0.003, min_fee=20)
    result = vostra.backtest(Recorder(log), market, **options)
    fills, close = result.fills, market.close.ffill()
    shares = fills.pivot_table(index="date", columns="ticker", values="shares", aggfunc="sum")
    held = shares.reindex(close.index).fillna(0.0).cumsum().reindex(columns=close.columns, fill_value=0.0)
    checked = 0
    for seen, fit in zip(log, result.fits):
        expected = (held.loc[fit.date] * close.loc[fit.date] / result.equity.loc[fit.date])
        expected = expected.reindex(seen["tickers"]).fillna(0.0).to_numpy()
        np.testing.assert_allclose(seen["previous"], expected, rtol=1e-12, atol=1e-12)
        checked += np.count_nonzero(expected)
    assert checked > 100 and log[0]["previous"].sum() == 0
    # Drift, lots and costs: the holdings are not the previous targets.
    targets = result.fitted.shift(1).iloc[-1].reindex(log[-1]["tickers"]).fillna(0.0)
    assert 0 < log[-1]["previous"].sum() < 1 and np.abs(log[-1]["previous"] - targets).max() > 1e-3


def test_the_account_reconciles_and_differs_from_the_frictionless_run_by_its_fills(market):
    strategy = InverseVolatility()
    frictionless = vostra.backtest(strategy, market, refit="M", lookback=60, fee=0, tax=0)
    fractional = vostra.backtest(strategy, market, refit="M", lookback=60, fee=0, tax=0, capital=1e6)
    # Equal until a rebalance meets a holding without a price: the account
    # keeps its shares and the cash then cuts its purchases, where the
    # normalised account, without cash, buys them whole.
    t, close = fractional.trades, market.close
    rebalances = pd.DatetimeIndex(t["entry_date"].unique()).sort_values()
    gaps = [d for d in rebalances
            if close.loc[d, t[(t["entry_date"] < d) & ~(t["exit_date"] < d)]["ticker"]].isna().any()]
    until = close.index < gaps[0] if gaps else slice(None)
    assert until.sum() > 300 if gaps else True
    np.testing.assert_allclose(fractional.equity[until], 1e6 * frictionless.equity[until], rtol=1e-12)

    real = vostra.backtest(strategy, market, refit="M", lookback=60, capital=1e6, lot_size=100, min_fee=20)
    assert real.trades["pnl"].sum() + real.interest.sum() == pytest.approx(real.equity.iloc[-1] - 1e6, rel=1e-9)
    fills, close = real.fills, market.close.ffill()
    assert fills["cost"].sum() == pytest.approx(real.costs.sum(), rel=1e-12)
    # The equity is the fills' shares at the closes plus the cash the fills left.
    spent = (fills["shares"] * fills["price"] + fills["cost"]).groupby(fills["date"]).sum()
    cash = 1e6 - spent.reindex(close.index, fill_value=0.0).cumsum()
    shares = fills.pivot_table(index="date", columns="ticker", values="shares", aggfunc="sum")
    held = shares.reindex(close.index).fillna(0.0).cumsum()
    value = (held * close[held.columns].fillna(0.0)).sum(axis=1)
    np.testing.assert_allclose(value + cash, real.equity, rtol=1e-9)
    assert real.equity.iloc[-1] != pytest.approx(1e6 * frictionless.equity.iloc[-1], rel=1e-3)


# --- The estimators ------------------------------------------------------------

def test_builtin_estimators_follow_the_convention_and_match_skfolio():
    skfolio = pytest.importorskip("skfolio.optimization")
    from sklearn.base import clone as sklearn_clone

    X = gbm().pct_change().iloc[1:]
    np.testing.assert_allclose(InverseVolatility().fit(X).weights_, skfolio.InverseVolatility().fit(X).weights_,
                               rtol=1e-12)
    np.testing.assert_array_equal(EqualWeight().fit(X).weights_, skfolio.EqualWeighted().fit(X).weights_)
    top = TopN(n=3).fit(X)
    best = np.argsort(-((1 + X).prod() - 1).to_numpy())[:3]
    assert set(np.flatnonzero(top.weights_)) == set(best) and top.weights_.sum() == pytest.approx(1.0)
    assert np.count_nonzero(TopN(n=2, score=lambda R: -R.std()).fit(X).weights_) == 2
    # Missing returns are left out, and an asset that never moves gets no weight.
    gaps = X.copy()
    gaps.iloc[:50, 0] = np.nan
    gaps.iloc[:, 1] = 0.0
    weights = InverseVolatility().fit(gaps).weights_
    assert weights[1] == 0 and weights[0] > 0 and weights.sum() == pytest.approx(1.0)

    estimator = TopN(n=4, score=np.mean)
    for copied in (clone(estimator), sklearn_clone(estimator)):
        assert copied is not estimator and copied.get_params() == estimator.get_params()
    assert repr(estimator.set_params(n=5)) == "TopN(n=5, score=<function mean at " + repr(np.mean).split(" at ")[1] + ")"
    with pytest.raises(ValueError, match="TopN has no parameter 'm'; its parameters are n, score"):
        estimator.set_params(m=1)
    assert copy.deepcopy(Log([1])) == [1]


@pytest.mark.parametrize("name", ["EqualWeighted", "InverseVolatility", "MeanRisk"])
def test_walk_forward_returns_and_weights_equal_skfolios(name):
    """skfolio's returns hold the weights of a fit over the bars after its
    training window, from the close it trained on: an account rebalanced to
    the targets on every bar and trading at the refit date's close (the
    previous close, on the next bar) earns them exactly. Trading at the next
    bar's close, as vostra does by default, differs on the first bar of
    every fold only, by the change of weights times that bar's returns."""
    optimization = pytest.importorskip("skfolio.optimization")
    from skfolio.model_selection import WalkForward, cross_val_predict
    from skfolio.preprocessing import prices_to_returns

    close = gbm()
    X = prices_to_returns(close)
    estimator = getattr(optimization, name)()
    path = cross_val_predict(estimator, X, cv=WalkForward(train_size=120, test_size=42))
    theirs = pd.Series(np.asarray(path.returns), index=pd.DatetimeIndex(path.observations))
    weights = np.array([p.weights for p in path.portfolios])

    options = dict(refit=42, lookback=120, rebalance="D", fee=0, tax=0)
    at_close = vostra.backtest(estimator, close, trade_at=close.shift(1), **options)
    ours = at_close.equity.pct_change().reindex(theirs.index)
    assert np.abs(ours - theirs).max() < 1e-10
    np.testing.assert_array_equal(at_close.fitted.to_numpy()[:len(weights)], weights)
    # Each fit is dated on the last day of its training window.
    assert list(at_close.fitted.index[:len(weights)]) == [X.index[X.index.get_loc(p.observations[0]) - 1]
                                                          for p in path.portfolios]

    next_bar = vostra.backtest(estimator, close, **options).equity.pct_change().reindex(theirs.index) - theirs
    firsts = [p.observations[0] for p in path.portfolios]
    before = np.vstack([np.zeros(weights.shape[1]), weights[:-1]])
    expected = [(before[k] - weights[k]) @ X.loc[day].to_numpy() for k, day in enumerate(firsts)]
    assert np.abs(next_bar.loc[firsts].to_numpy() - expected).max() < 1e-10
    assert np.abs(next_bar.drop(firsts)).max() < 1e-10


# --- Walk-forward of a strategy ----------------------------------------------

def perturbed_after(market, date, seed=0):
    """The market with every price after ``date`` moved at random (missing
    ones stay missing, so listings and delistings do not change)."""
    rng = np.random.default_rng(seed)
    later = market.dates > date
    frames = {}
    for name in ("open", "high", "low", "close"):
        frame = getattr(market, name).copy()
        frame.loc[later] *= rng.uniform(0.8, 1.25, (int(later.sum()), frame.shape[1]))
        frames[name] = frame
    return vostra.Market(**frames, volume=market.volume)


def test_nothing_after_a_date_changes_the_fits_choices_or_account_before_it(market):
    cut = market.dates[500]
    other = perturbed_after(market, cut)
    walks = [vostra.walk_forward(TopN(), m, grid={"n": [3, 8]}, train="1Y", test="6M", refit="M",
                                 lookback=60, backend="serial", fee=0.001, tax=0) for m in (market, other)]
    before = [w.windows[w.windows["train_end"] <= cut] for w in walks]
    assert len(before[0]) >= 2 and len(before[0]) < len(walks[0].windows)
    pd.testing.assert_frame_equal(before[0][["n", "in_sample"]], before[1][["n", "in_sample"]])
    for fit, again in zip(walks[0].result.fits, walks[1].result.fits):
        if fit.date <= cut:
            pd.testing.assert_series_equal(fit.weights, again.weights)
    pd.testing.assert_series_equal(walks[0].result.equity.loc[:cut], walks[1].result.equity.loc[:cut])
    assert not walks[0].result.equity.loc[cut:].equals(walks[1].result.equity.loc[cut:])


def test_walk_chooses_on_train_windows_and_trades_one_account(market):
    log = Log()
    grid = {"log": [log], "previous_weights": [None]}
    options = dict(train="1Y", test="6M", refit="M", lookback=40, capital=1e6, lot_size=100, backend="serial")
    walk = vostra.walk_forward(Recorder(), market, grid=grid, **options)
    result, windows = walk.result, walk.windows
    # Each window's choice is the best of its train table, and its statistic is the chosen run's there.
    for row, table in zip(windows.itertuples(), walk.train_tables):
        assert row.run == table["sharpe"].idxmax() and row.in_sample == table.at[row.run, "sharpe"]
    # One account through every test window: its first trades follow the first test window's start.
    first_test = windows["test_start"].iloc[0]
    assert result.trades["entry_date"].min() == first_test
    assert walk.equity.index[0] == market.dates[market.dates.get_loc(first_test) - 1]
    assert sum(len(f) for f in walk.fitted) == len(result.fits) == windows["refits"].sum()
    # In sequence, each out-of-sample fit was handed what the account held.
    fills, close = result.fills, market.close.ffill()
    shares = fills.pivot_table(index="date", columns="ticker", values="shares", aggfunc="sum")
    held = shares.reindex(close.index).fillna(0.0).cumsum().reindex(columns=close.columns, fill_value=0.0)
    for seen, fit in zip(log[-len(result.fits):], result.fits):
        assert seen["last"] == fit.date
        expected = held.loc[fit.date] * close.loc[fit.date] / result.equity.loc[fit.date]
        np.testing.assert_allclose(seen["previous"], expected.reindex(seen["tickers"]).fillna(0.0), atol=1e-12)
    piece = walk.pieces[-1]
    assert windows["test_return"].iloc[-1] == pytest.approx(piece.iloc[-1] / piece.iloc[0] - 1)

    with pytest.raises(ValueError, match="TopN has no parameter 'k'; its parameters are 'n', 'score'"):
        vostra.walk_forward(TopN(), market, grid={"k": [1, 2]}, train="1Y", test="6M")
    with pytest.raises(ValueError, match="test windows must follow each other"):
        vostra.walk_forward(TopN(), market, train="1Y", test="3M", step="6M")
    with pytest.raises(ValueError, match="lacks the history lookback=300"):
        vostra.walk_forward(TopN(), market, train="6M", test="6M", lookback=300)



def test_fits_on_raw_prices_see_a_holders_returns_across_splits_and_dividends():
    adjusted = gbm(300, 4)
    ex = adjusted.index[200]
    raw = adjusted.copy()
    raw.iloc[:200, 1] *= 2.0                     # T1 splits 2:1 on the ex-date
    splits = pd.DataFrame(np.nan, index=raw.index, columns=raw.columns)
    splits.loc[ex, "T1"] = 2.0
    dividends = splits * np.nan
    dividends.loc[ex, "T2"] = 1.5                # T2 pays 1.5 a share
    logs = {}
    for name, market in {"adjusted": vostra.Market.from_frames(adjusted),
                         "raw": vostra.Market.from_frames(raw, splits=splits)}.items():
        logs[name] = Log()
        vostra.backtest(Recorder(logs[name]), market, refit=20, lookback=60, fee=0, tax=0)
    # From the split on (the refit on the ex-date first), the account holds what it held on adjusted prices.
    after = [(a, b) for a, b in zip(logs["adjusted"], logs["raw"]) if a["last"] >= ex]
    assert after and all(np.abs(a["previous"] - b["previous"]).max() < 1e-12 for a, b in after)
    data = MarketData.of(vostra.Market.from_frames(raw, splits=splits, dividends=dividends))
    seen = data.window_returns(200, 200, np.arange(4)).iloc[0]
    assert seen["T1"] == pytest.approx(adjusted["T1"].pct_change().loc[ex], rel=1e-12)
    assert seen["T2"] == pytest.approx((raw.loc[ex, "T2"] + 1.5) / raw["T2"].iloc[199] - 1, rel=1e-12)
