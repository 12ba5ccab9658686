"""The ticker drill-down: prices, trade marks and stop levels of one ticker,
standalone (Result.plot_ticker) and in the report."""

from __future__ import annotations

import numpy as np
import pandas as pd
import pytest

import vostra
from vostra.cli.demo import momentum_signal
from vostra.views.drilldown import most_traded, stop_levels

pytest.importorskip("vostra.core.vantrel")


@pytest.fixture(scope="module")
def market():
    return vostra.synthetic_market(n_stocks=60, years=3, seed=11)


def run(market, sign=1.0, **options):
    signal = momentum_signal(market.close, top=8).astype(float) * sign
    settings = dict(trade_at="open", rebalance="M", intrabar=True, stop_loss=0.1)
    settings.update(options)
    return vostra.backtest(signal, market.close, market.open, market.high, market.low, **settings)


@pytest.mark.parametrize("sign, options", [
    (1.0, {}),
    (1.0, dict(trail_stop=0.05, trail_activation=0.05, take_profit=0.3)),
    (1.0, dict(take_profit=0.15, stop_loss=0.08, retain_cost=True)),
    (-1.0, dict(trail_stop=0.06, take_profit=0.2)),
], ids=["stop_loss", "trailing", "retain_cost", "short"])
def test_stop_levels_are_where_the_engine_filled_its_intrabar_exits(market, sign, options):
    result = run(market, sign, **options)
    trades = result.trades
    checked = 0
    for ticker, mine in trades.groupby("ticker", sort=False):
        mine = mine.reset_index(drop=True)
        levels = stop_levels(market.open[ticker].to_numpy(), mine, result.settings)
        starts = np.flatnonzero(np.r_[True, levels["bar"][:-1] == -1])
        for record, start in zip(mine.itertuples(), starts):
            reason = str(record.exit_reason)
            if reason not in ("stop_loss", "trail_stop", "take_profit"):
                continue
            at = start + int(record.exit_bar) - int(record.entry_bar)
            level = levels["take" if reason == "take_profit" else "stop"][at]
            gapped = market.open[ticker].iloc[int(record.exit_bar)]
            assert record.exit_price == pytest.approx(level, rel=1e-9) or record.exit_price == gapped
            checked += 1
    assert checked > 20


def test_plot_ticker_draws_candles_volume_and_every_record(market):
    volume = market.close.notna() * 1000.0 + np.arange(len(market.close))[:, None]
    traded = vostra.Market.from_frames(market.close, market.open, market.high, market.low, volume)
    result = vostra.backtest(momentum_signal(market.close, top=8), traded, trade_at="open",
                             intrabar=True, stop_loss=0.1, trail_stop=0.08)
    ticker = most_traded(result.trades, 1)[0]
    records = result.trades[result.trades["ticker"] == ticker]
    figure = result.plot_ticker(ticker)
    kinds = [trace.type for trace in figure.data]
    assert kinds[:2] == ["candlestick", "bar"] and figure.data[1].yaxis == "y2"
    assert list(figure.data[1].y[-2:]) == volume[ticker].iloc[-2:].tolist()
    assert list(figure.data[0].open[-3:]) == pytest.approx(market.open[ticker].iloc[-3:].tolist())
    names = [trace.name for trace in figure.data]
    assert "stop level" in names and "take-profit level" not in names
    marks = {t.name: t for t in figure.data if t.type == "scatter" and t.mode == "markers"}
    entries = len(marks["long entry"].x)
    kept = len(marks["kept at rebalance"].x) if "kept at rebalance" in marks else 0
    exits = sum(len(t.x) for n, t in marks.items() if n.startswith("exit: "))
    assert entries + kept == len(records)
    assert exits + kept == records["exit_date"].notna().sum()
    stopped = records[records["exit_reason"] != "rebalance"].dropna(subset=["exit_date"]).iloc[0]
    reason = stopped["exit_reason"]
    text = f"exit: {reason} {stopped['exit_date'].date()} at {stopped['exit_price']:.4g}<br>" \
           f"return {stopped['return'] * 100:.2f}%"
    assert any(t.startswith(text) for t in marks[f"exit: {reason}"].text)
    with pytest.raises(KeyError, match="'NOPE' is not a ticker"):
        result.plot_ticker("NOPE")


def test_plot_ticker_without_ohlc_draws_the_close(market):
    # Records that run through rebalances unsplit do not show where the levels restart.
    signal = momentum_signal(market.close, top=8)
    with pytest.warns(UserWarning, match="split_trades=False"):
        result = vostra.backtest(signal, market.close, stop_loss=0.1, retain_cost=False,
                                 split_trades=False)
    ticker = result.trades["ticker"].iloc[0]
    figure = result.plot_ticker(ticker)
    assert figure.data[0].type == "scatter" and figure.data[0].name == f"{ticker} close"
    assert not any(t.type == "bar" or t.name == "stop level" for t in figure.data)
    assert "stop levels not drawn" in figure.layout.title.text


def test_report_embeds_the_tickers_asked_for(market):
    result = run(market)
    page = result.report(tickers=["S0003", "S0010"])
    assert 'id="panel-ticker-1"' in page and 'id="panel-ticker-2"' not in page
    assert "S0010: " in page
    assert 'id="panel-ticker-0"' not in result.report(tickers=[])
    counts = result.trades["ticker"].value_counts()
    assert counts[most_traded(result.trades, 3)].tolist() == counts.head(3).tolist()


def test_a_result_without_prices_reports_without_drilling_down():
    from test_plots import DAYS, hand_result

    page = hand_result().report(benchmark=pd.Series(np.linspace(1.0, 2.0, 6), index=DAYS, name="IDX"))
    assert "panel-equity" in page and "panel-ticker" not in page
    with pytest.raises(ValueError, match="keeps no prices"):
        hand_result().plot_ticker("A")
