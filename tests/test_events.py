"""Cash dividends, splits and cash flows on raw prices: hand cases, the
model's bits on random markets, the total-return identity against prices
back-adjusted by the same events, and a real split and dividends."""
import math
import warnings

import numpy as np
import pandas as pd
import pytest
from hypothesis import HealthCheck, given, settings, strategies as st

import model
import vostra
from markets import random_market
from test_account import account_options, assert_same_as_model, same
from vostra import _engine

NAN = np.nan


def run(prices, rows, *, dividends=None, splits=None, flows=None, close=None, low=None, **opts):
    """A market of len(prices) bars (trading price = close unless `close`
    is given); signal row i dated at bar i, traded on the next bar."""
    prices = np.asarray(prices, dtype=float).reshape(len(prices), -1)
    close = prices if close is None else np.asarray(close, dtype=float).reshape(prices.shape)
    low = close if low is None else np.asarray(low, dtype=float).reshape(prices.shape)
    rows = np.asarray(rows, dtype=float).reshape(len(rows), -1)
    dates = np.arange(len(prices), dtype=np.int64) * 10
    labels = np.array([f"S{i}" for i in range(prices.shape[1])], dtype=object)
    events = {}
    for name, cells in (("dividends", dividends), ("splits", splits)):
        if cells is not None:
            m = np.full(prices.shape, NAN)
            for (bar, col), x in cells.items():
                m[bar, col] = x
            events[name] = m
    if flows is not None:
        f = np.zeros(len(prices))
        for bar, x in flows.items():
            f[bar] = x
        events["cash_flows"] = f
    opts = {"fee_ratio": 0.0, "tax_ratio": 0.0, "stop_loss": np.inf, **opts, **events}
    return _engine.run(prices, close, close, low, prices, dates, labels, rows, dates[:len(rows)], labels,
                       dates, **opts)


def identity_holds(got, capital):
    """pnl + dividends + interest + flows == final equity - capital."""
    total = (math.fsum(got.trades["pnl"]) + math.fsum(got.trades["dividends"]) + math.fsum(got.interest)
             + math.fsum(got.flows))
    return abs(total - (got.equity[-1] - capital)) <= 1e-9 * max(capital, abs(got.equity[-1]))


# --- Hand cases ------------------------------------------------------------------

@pytest.mark.parametrize("intrabar", [False, True])
def test_a_split_leaves_the_equity_and_fires_no_stop(intrabar):
    # 1,000 shares at 100; a 2:1 split on bar 2 halves the raw price.
    prices = [100, 100, 50, 51, 50.5]
    got = run(prices, [[1.0]], splits={(2, 0): 2.0}, capital=100_000, lot_size=1, stop_loss=0.1,
              touched_exit=intrabar)
    assert got.equity.tolist() == [100_000, 100_000, 100_000, 102_000, 101_000]
    assert got.shares.tolist() == [2000.0]
    assert got.trades["reason"].tolist() == [_engine.EXIT_REASONS.index("open")]
    assert got.trades["entry_price"].tolist() == [50.0]      # the record goes on in the new shares
    assert got.final["reference_price"].tolist() == [50.5]
    # Without the split the same prices are a 50 % fall that the stop sells.
    crash = run(prices, [[1.0]], capital=100_000, lot_size=1, stop_loss=0.1, touched_exit=intrabar)
    assert crash.trades["reason"].tolist() == [_engine.EXIT_REASONS.index("stop_loss")]


@pytest.mark.parametrize("weight, tax, paid", [(1.0, 0.0, 1000.0), (-1.0, 0.0, -1000.0), (1.0, 0.15, 850.0),
                                               (-1.0, 0.15, -1000.0)])
def test_dividends_in_cash(weight, tax, paid):
    # 1,000 shares (long or short) at 100; 1.0 a share goes ex on bar 2, whose close
    # drops by the dividend. A short pays it in full; the tax is withheld from longs.
    got = run([100, 100, 99, 99], [[weight]], dividends={(2, 0): 1.0}, capital=100_000, lot_size=1,
              dividend_tax=tax)
    assert got.dividends.tolist() == [0, 0, paid, 0]
    assert got.trades["dividends"].tolist() == [paid]
    assert got.equity[2] == 100_000 + paid - weight * 1000
    assert identity_holds(got, 100_000)


def test_a_split_pays_the_odd_shares_in_lieu():
    # 900 shares in lots of 100; a 3:2 split makes 1,350: 1,300 are kept and
    # the 50 odd ones paid at the close of the ex-date (61, not the open 60).
    got = run([100, 100, 60, 62], [[1.0]], close=[100, 100, 61, 62], splits={(2, 0): 1.5}, capital=90_000,
              lot_size=100)
    assert got.shares.tolist() == [1300.0]
    assert got.equity[2] == pytest.approx(1350 * 61, rel=1e-12)
    assert got.final["cash"] == pytest.approx(50 * 61, rel=1e-12)
    assert identity_holds(got, 90_000)
    # A 1:10 reverse split of 50 shares in lots of 10 leaves no lot: the
    # holding ends there, paid in lieu.
    gone = run([10, 10, 100, 100], [[1.0]], splits={(2, 0): 0.1}, capital=500, lot_size=10)
    assert gone.shares.tolist() == [0.0] and gone.trades["reason"].tolist() == [
        _engine.EXIT_REASONS.index("cash_in_lieu")]
    assert gone.equity.tolist() == [500] * 4 and identity_holds(gone, 500)
    gone = run([10, 10, 100, 100], [[1.0]], splits={(2, 0): 0.1}, capital=50_000, lot_size=1)
    assert gone.shares.tolist() == [500.0] and gone.equity.tolist() == [50_000] * 4


def test_a_deposit_is_not_a_return():
    # Rebalanced on every bar to the whole equity, without costs: a deposit
    # on a bar whose price does not move leaves every time-weighted return
    # as it was, while the equity grows by it.
    dates = pd.date_range("2024-01-01", periods=8, freq="B")
    close = pd.DataFrame({"A": [10, 11, 12, 12, 13, 12.5, 14, 15.0]}, index=dates)
    weights = pd.DataFrame({"A": 1.0}, index=dates)
    common = dict(rebalance="D", fee=0, tax=0, capital=1_000_000)
    plain = vostra.backtest(weights, close, **common)
    flows = pd.Series([500_000.0], index=[dates[3]])
    funded = vostra.backtest(weights, close, cash_flows=flows, **common)
    assert funded.flows.tolist() == [0, 0, 0, 500_000, 0, 0, 0, 0]
    assert funded.equity.iloc[-1] > 1.4 * plain.equity.iloc[-1]
    np.testing.assert_allclose(funded.returns, plain.returns, rtol=0, atol=1e-12)
    assert funded.stats["total_return"] == pytest.approx(plain.stats["total_return"], abs=1e-12)


def test_a_withdrawal_beyond_the_cash_sells_pro_rata():
    # Two stocks of 500 shares each at 100 and 50 (lots of 10) and no cash;
    # a withdrawal of 10,000 on a bar without a rebalance sells the shortfall,
    # grossed up for the tax, from each in proportion, rounded up to whole lots.
    prices = [[100, 50], [100, 50], [100, 50], [100, 50]]
    got = run(prices, [[2 / 3, 1 / 3]], flows={2: -10_000}, capital=75_000, lot_size=10, tax_ratio=0.003)
    fills = got.fills
    sold = fills["shares"][fills["bar"] == 2]
    # f = 10,000 / (75,000 x (1 - 0.003)) = 0.1337: 66.9 shares of each, 70 in lots.
    assert sold.tolist() == [-70.0, -70.0]
    assert got.shares.tolist() == [430.0, 430.0]
    assert got.flows[2] == -10_000
    assert got.final["cash"] >= 0
    assert identity_holds(got, 75_000)


# --- The model's bits on random markets ---------------------------------------------

def draw_events(seed, arrays, capital):
    """Dividends, splits (2:1, 3:2, 1:10 reverse, 3:1), cash flows and the
    market's limits, each now and then."""
    rng = np.random.default_rng([seed, 40])
    close = np.asarray(arrays[1])
    shape = close.shape
    out = {}
    if rng.random() < 0.8:
        cash = np.round(np.nan_to_num(close, nan=20.0) * rng.uniform(0.005, 0.04, shape), 2)
        out["dividends"] = np.where(rng.random(shape) < 0.1, cash, NAN)
    if rng.random() < 0.7:
        out["splits"] = np.where(rng.random(shape) < 0.06, rng.choice([2.0, 1.5, 0.1, 3.0], shape), NAN)
    if capital is not None and rng.random() < 0.6:
        amounts = capital * rng.uniform(-0.6, 0.4, shape[0])
        out["cash_flows"] = np.where(rng.random(shape[0]) < 0.15, amounts, 0.0)
    if rng.random() < 0.3:
        out["dividend_tax"] = 0.15
    if capital is not None and rng.random() < 0.3:
        out["price_limit"] = 0.1
    if capital is not None and rng.random() < 0.3:
        out["volume"] = np.asfortranarray(rng.uniform(0, 3000, shape))
        out["max_volume_share"] = 0.2
    return out


@settings(max_examples=300, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(seed=st.integers(0, 2**32 - 1))
def test_random_events_match_the_model(seed):
    arrays, opts = random_market(seed, exits=True, max_bars=60, max_stocks=8)
    account = account_options(seed, len(arrays[9]))
    events = draw_events(seed, arrays, account.get("capital"))
    both = {**opts, **account, **events}
    got = assert_same_as_model(arrays, both)
    if got is None:
        return
    want = model.backtest(*arrays, **both)
    assert same(got.dividends, want.events.paid) and same(got.flows, want.events.flowed)
    if want.account is not None:
        assert same(got.trades["dividends"], want.account.trade_dividends)
        if np.isfinite(got.equity).all() and "capital" in account:
            assert identity_holds(got, account["capital"])


# --- Total return: raw prices with their events against adjusted prices ----------

def event_market(seed, n_bars=70, n_stocks=5, trade_at=None):
    """Raw daily OHLC of a few stocks with dividends and splits (2:1, 3:2,
    1:10 reverse) and holes, as two long tables: the raw one with its
    events, and the same prices with the factor that back-adjusts them by
    the same events (each ex-date's return taken as (price + dividend) /
    previous price and price x ratio / previous price, the price being the
    trading price `trade_at`)."""
    rng = np.random.default_rng([seed, 41])
    drawn = "open" if rng.random() < 0.5 else "close"
    trade_at = trade_at or drawn
    dates = pd.bdate_range("2021-01-04", periods=n_bars)
    shape = (n_bars, n_stocks)
    base = 40 * np.exp(np.cumsum(rng.normal(0, 0.02, shape), axis=0))
    splits = np.where(rng.random(shape) < 0.03, rng.choice([2.0, 1.5, 0.1], shape), np.nan)
    splits[0] = np.nan
    close = base / np.cumprod(np.nan_to_num(splits, nan=1.0), axis=0)
    open_ = close * np.exp(rng.normal(0, 0.01, shape))
    high = np.maximum(open_, close) * (1 + np.abs(rng.normal(0, 0.01, shape)))
    low = np.minimum(open_, close) * (1 - np.abs(rng.normal(0, 0.01, shape)))
    dividends = np.where(rng.random(shape) < 0.06, np.round(close * rng.uniform(0.005, 0.03, shape), 2), np.nan)
    dividends[0] = np.nan
    price = open_ if trade_at == "open" else close
    events = ~np.isnan(dividends) | ~np.isnan(splits)
    holes = (rng.random(shape) < 0.03) & ~events & ~np.roll(events, -1, axis=0)
    for m in (open_, high, low, close):
        m[holes] = np.nan
    step = np.nan_to_num(price / (price + np.nan_to_num(dividends)) / np.nan_to_num(splits, nan=1.0), nan=1.0)
    factor = np.ones(shape)
    for t in range(n_bars - 1, 0, -1):
        factor[t - 1] = factor[t] * step[t]
    tickers = [f"T{i}" for i in range(n_stocks)]
    frame = pd.DataFrame({
        "date": np.repeat(dates, n_stocks), "ticker": np.tile(tickers, n_bars),
        "open": open_.ravel(), "high": high.ravel(), "low": low.ravel(), "close": close.ravel(),
        "dividend": dividends.ravel(), "split": splits.ravel(), "factor": factor.ravel()})
    raw = vostra.Market.from_long(frame.drop(columns="factor"))
    adjusted = vostra.Market.from_long(frame.drop(columns=["dividend", "split"]), adjust="factor")
    score = adjusted.close.ffill().pct_change(5)
    weights = score.rank(axis=1, ascending=False).le(2).where(adjusted.close.notna(), False)
    if rng.random() < 0.5:
        weights = weights.astype(float) - score.rank(axis=1).le(1).astype(float) * 0.3
    return raw, adjusted, weights, trade_at, rng


@pytest.mark.parametrize("seed", range(24))
def test_raw_prices_with_events_are_the_total_return_run(seed):
    raw, adjusted, weights, trade_at, rng = event_market(seed)
    assert raw.dividends.notna().any().any() and raw.splits.notna().any().any()
    options = dict(trade_at=trade_at, rebalance=str(rng.choice(["W", "D", "M"])),
                   stop_loss=float(rng.choice([0.05, 0.1])) if rng.random() < 0.5 else None,
                   take_profit=0.1 if rng.random() < 0.3 else None,
                   trail_stop=0.04 if rng.random() < 0.3 else None, intrabar=bool(rng.random() < 0.5))
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        total = vostra.backtest(weights, raw, **options)
        back_adjusted = vostra.backtest(weights, adjusted, **options)
        bare = vostra.backtest(weights, raw, dividends=False, splits=False, **options)
    np.testing.assert_allclose(total.equity, back_adjusted.equity, rtol=1e-12, atol=0)
    # The same raw prices without their events are another run.
    assert not np.allclose(bare.equity, total.equity, rtol=1e-6)


@pytest.mark.parametrize("seed", range(8))
def test_whole_shares_on_raw_prices_differ_from_adjusted_ones_only_by_rounding(seed):
    # Rebalanced at every close to the weights of the equity, without costs:
    # the dividends received in cash and the shares multiplied by splits are
    # worth at each close what the adjusted holding is, so the two accounts
    # part only by the whole shares each rounds its targets to (and the odd
    # shares paid in lieu). A bar moves each rounding's remainder, less than
    # a share a stock in either run, by the stock's return:
    #   |E - E'| <= prior gap * (1 + max |r|) + sum (p + p') |r|.
    raw, adjusted, _, _, rng = event_market(seed, n_bars=60, trade_at="close")
    weights = pd.DataFrame(rng.uniform(0.05, 0.3, raw.close.shape), index=raw.dates, columns=raw.tickers)
    weights = weights.where(raw.close.notna(), 0.0)
    options = dict(trade_at="close", rebalance="D", fee=0, tax=0, capital=1e7, lot_size=1)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        whole = vostra.backtest(weights, raw, **options)
        back_adjusted = vostra.backtest(weights, adjusted, **options)
    assert (whole.dividends > 0).any() and whole.trades["dividends"].sum() == pytest.approx(whole.dividends.sum())
    p, q = raw.close.ffill().to_numpy(), adjusted.close.ffill().to_numpy()
    # The adjusted prices' returns are the total returns of both runs.
    r = np.nan_to_num(np.abs(q[1:] / q[:-1] - 1))
    gap, bound = np.abs(whole.equity.to_numpy() - back_adjusted.equity.to_numpy()), 0.0
    for t in range(1, len(gap)):
        bound = bound * (1 + r[t - 1].max()) + np.nansum((p[t - 1] + q[t - 1]) * r[t - 1])
        assert gap[t] <= bound + 1e-9 * 1e7, (t, gap[t], bound)
    assert 0 < gap.max() < 1e-3 * 1e7


# --- A real split and real dividends ------------------------------------------------

# Apple (AAPL) in 2014, a few bars around each event, typed by hand: the
# 7-for-1 split that went ex on 2014-06-09 and the four quarterly cash
# dividends' ex-dates and amounts per share (3.05 and 3.29 before the split,
# 0.47 after) are the company's announced figures; the closes are the raw
# (unadjusted) daily closes to the cent as remembered from the public record,
# not checked against a source from here (nothing may be fetched), so a cent
# may differ from a vendor's. Nothing the test checks depends on that: it is
# the arithmetic of these events on these prices.
AAPL_2014 = """date,close,dividend,split
2014-02-05,512.59,,
2014-02-06,512.51,3.05,
2014-02-07,519.68,,
2014-05-07,587.99,,
2014-05-08,585.54,3.29,
2014-05-09,585.54,,
2014-06-06,645.57,,
2014-06-09,93.70,,7
2014-06-10,94.25,,
2014-08-06,94.96,,
2014-08-07,94.48,0.47,
2014-08-08,94.74,,
2014-11-05,108.86,,
2014-11-06,109.70,0.47,
2014-11-07,109.01,,
"""


def test_a_real_split_and_dividends_give_the_total_return():
    import io
    table = pd.read_csv(io.StringIO(AAPL_2014), parse_dates=["date"]).assign(ticker="AAPL")
    market = vostra.Market.from_long(table)
    close = table["close"].to_numpy()
    weights = pd.DataFrame({"AAPL": [1.0]}, index=market.dates[:1])
    # Held from the close of the second bar (2014-02-06, after its ex-date) on.
    normalised = vostra.backtest(weights, market, fee=0, tax=0, rebalance=None)
    # The holding counted in shares: 7 for 1 at the split, each dividend
    # bought back in at its ex-date's close.
    shares = 1.0
    for t in range(2, len(table)):
        shares *= 1.0 if np.isnan(table["split"][t]) else table["split"][t]
        if not np.isnan(table["dividend"][t]):
            shares += shares * table["dividend"][t] / close[t]
    truth = shares * close[-1] / close[1]
    # The adjusted close: back-adjusted by (close + dividend) / close and 1 / ratio.
    step = close / (close + table["dividend"].fillna(0).to_numpy()) / table["split"].fillna(1).to_numpy()
    adjusted = close * np.append(np.cumprod(step[:0:-1])[::-1], 1.0)
    equity = normalised.equity.to_numpy()
    assert equity[-1] / equity[1] == pytest.approx(truth, rel=1e-9)
    assert adjusted[-1] / adjusted[1] == pytest.approx(truth, rel=1e-9)
    # Beyond the price's 7 x 109.01 / 512.51, the dividends' yields of about 1.5 %.
    income = truth / (7 * close[-1] / close[1]) - 1
    assert income == pytest.approx(3.29 / 585.54 + 0.47 / 94.48 + 0.47 / 109.70, rel=0.01)
    # An account of 1,000,000 in whole shares with a 10 % stop: the split
    # (645.57 to 93.70) fires nothing, the shares become 7 times as many and
    # the dividends come in cash.
    account = vostra.backtest(weights, market, fee=0, tax=0, rebalance=None, capital=1e6, lot_size=1, stop_loss=0.1)
    assert account.trades["exit_reason"].tolist() == ["open"]
    assert account.shares["AAPL"] == 1951 * 7
    assert account.dividends[account.dividends != 0].tolist() == [1951 * 3.29, 13657 * 0.47, 13657 * 0.47]
    assert account.trades["dividends"].sum() == pytest.approx(1951 * 3.29 + 2 * 13657 * 0.47)
    change = account.equity["2014-06-09"] - account.equity["2014-06-06"]
    assert change == pytest.approx(13657 * 93.70 - 1951 * 645.57, rel=1e-9)   # +1.6 %, not -85 %


# --- Data in, views out -----------------------------------------------------------

def test_events_come_in_by_name_and_are_marked_in_the_views():
    table = pd.DataFrame({
        "date": pd.to_datetime(["2024-01-02", "2024-01-03", "2024-01-04"] * 2),
        "ticker": ["A"] * 3 + ["B"] * 3,
        "close": [10.0, 10.2, 5.1, 20.0, 19.5, 19.6],
        "dividend": [None, 0.1, None, None, None, 0.2],
        "split": [0.0, 0.0, 2.0, 0.0, 0.0, 0.0],
        "factor": 1.0})
    market = vostra.Market.from_long(table.drop(columns="factor"))
    assert market.dividends.loc["2024-01-03", "A"] == 0.1 and market.dividends["B"].count() == 1
    assert market.splits.loc["2024-01-04", "A"] == 2.0
    assert "dividends" in repr(market) and market.between("2024-01-03").splits.shape == (2, 2)
    with pytest.raises(ValueError, match="adjusted prices hold the dividends and splits"):
        vostra.Market.from_long(table, adjust="factor")
    assert vostra.Market.from_long(table, adjust="factor", dividend=None, split=None).dividends is None
    weights = pd.DataFrame({"A": [1.0]}, index=market.dates[:1])
    result = vostra.backtest(weights, market, rebalance=None, capital=10_000, lot_size=1, fee=0, tax=0)
    assert result.dividends.loc["2024-01-03"] == 0 and result.shares["A"] == 2 * 980   # 980 bought at the close of 01-03
    figure = result.plot_ticker("A")
    marks = {t["name"]: t for t in figure["data"]} if isinstance(figure, dict) else {
        t.name: t for t in figure.data}
    assert "ex-date: split" in marks and "ex-date: dividend" in marks
    page = result.report(tickers=["A"])
    assert 'id="panel-income"' not in page      # nothing came in: held only from the ex-date's close
    funded = vostra.backtest(weights, market, rebalance=None, capital=10_000, fee=0, tax=0,
                             cash_flows=pd.Series({"2024-01-04": 1000.0}))
    assert 'id="panel-income"' in funded.report()
    with pytest.raises(ValueError, match="cash_flows needs capital"):
        vostra.backtest(weights, market, cash_flows=pd.Series({"2024-01-04": 1000.0}))


def test_unusable_events_are_named():
    # The engine checks the values a run reads; the front end every value first.
    with pytest.raises(ValueError, match="dividend"):
        run([10, 10, 10, 10], [[1.0]], dividends={(2, 0): -1.0}, capital=1000)
    with pytest.raises(ValueError, match="split"):
        run([10, 10, 10, 10], [[1.0]], splits={(3, 0): np.inf})
    dates = pd.date_range("2024-01-01", periods=4, freq="B")
    close = pd.DataFrame({"A": 10.0}, index=dates)
    weights = pd.DataFrame({"A": [1.0]}, index=dates[:1])
    with pytest.raises(ValueError, match="splits must be new shares per old share"):
        vostra.backtest(weights, close, splits=pd.DataFrame({"A": -2.0}, index=dates[2:3]))
    with pytest.raises(ValueError, match="dividends has events on dates without prices"):
        vostra.backtest(weights, close, dividends=pd.DataFrame({"A": 1.0}, index=[pd.Timestamp("2024-02-01")]))
    with pytest.raises(ValueError, match="dividend_tax must be a fraction"):
        vostra.backtest(weights, close, dividend_tax=1.5)
