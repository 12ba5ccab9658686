"""The HTML views: the interactive report (its panels read back from the
page, and the page opened offline in headless Chromium) and the notebook
summaries of a result and a sweep."""

from __future__ import annotations

import io
import json
import re

import numpy as np
import pandas as pd
import pytest

import vostra
from vostra.results import series, stats as stats_module
from vostra.cli.demo import momentum_signal
from browser import find_browser, load_page

PANELS = ["equity", "yearly", "monthly", "distribution", "rolling", "volatility", "beta",
          "positions", "turnover", "excursions", "returns", "ticker-0", "ticker-1", "ticker-2"]


@pytest.fixture(scope="module")
def run():
    pytest.importorskip("vostra.core.vantrel")
    m = vostra.synthetic_market(n_stocks=60, years=3, seed=5)
    signal = momentum_signal(m.close, top=8)
    result = vostra.backtest(signal, m.close, m.open, m.high, m.low, trade_at="open",
                             rebalance="M", stop_loss=0.1)
    return m, result


def panels(page: str) -> dict[str, tuple[list, dict]]:
    """data and layout of every plotly panel, decoded from the page's
    ``Plotly.newPlot("panel-<name>", data, layout, config)`` calls."""
    decoder = json.JSONDecoder()
    found = {}
    for match in re.finditer(r'Plotly\.newPlot\("panel-([\w-]+)", ', page):
        rest = page[match.end():].replace("<\\/", "</")
        data, end = decoder.raw_decode(rest)
        layout, _ = decoder.raw_decode(rest[end + 2:])
        found[match.group(1)] = (data, layout)
    return found


# --- Content --------------------------------------------------------------------------

def test_report_holds_every_panel_and_section(run, tmp_path):
    _, result = run
    path = tmp_path / "report.html"
    page = result.report(path)
    assert path.read_text(encoding="utf-8") == page
    assert list(panels(page)) == PANELS
    for heading in ("Worst drawdown periods", "Next-day orders", "Statistics", "Conventions"):
        assert f"<h2>{heading}</h2>" in page or f"<h3>{heading}</h3>" in page
    for label, _ in vostra.results.stats.STAT_LABELS.values():
        assert f"<td>{label}</td>" in page
    # One file: plotly.js inside, nothing to fetch.
    assert page.count("<script") == 1 + len(PANELS)
    library_end = page.index("</script>")
    assert page.index("<script") < library_end < page.index("<body>")
    assert re.search(r'(src|href)=["\']?(https?:)?//', page[library_end:]) is None
    assert len(page) > 3_000_000
    # The Sharpe ratio's bootstrap interval, computed for the report (seed 0)
    # and printed with the result from then on.
    low, high = result.confidence(["sharpe"], seed=0).loc["sharpe", ["low", "high"]]
    assert f"95 % interval {low:.2f} .. {high:.2f} (block bootstrap)" in page
    assert f"(95 % interval {low:.2f} .. {high:.2f}, block bootstrap)" in str(result)


def test_equity_panel_against_the_equal_weighted_universe(run):
    m, result = run
    data, layout = panels(result.report())["equity"]
    strategy, bench, drawdown = data
    live = series.live_equity(result)
    start = live.index[0]
    assert strategy["x"][0] == str(start.date()) and strategy["y"] == pytest.approx(live.tolist())
    expected = vostra.results.series.equal_weight_benchmark(m.close.loc[start:]) * live.iloc[0]
    assert bench["name"] == "equal-weighted universe" and bench["y"] == pytest.approx(expected.tolist())
    assert min(drawdown["y"]) == pytest.approx(result.drawdown[live.index].min() * 100)
    buttons = layout["updatemenus"][0]["buttons"]
    assert [b["args"][0]["yaxis.type"] for b in buttons] == ["linear", "log"]


def test_a_given_benchmark_replaces_the_default(run):
    _, result = run
    prices = pd.Series(np.linspace(100.0, 200.0, len(result.equity)), index=result.equity.index,
                       name="INDEX")
    data, _ = panels(result.report(benchmark=prices))["equity"]
    bench = data[1]
    assert bench["name"] == "INDEX"
    assert bench["y"][-1] / bench["y"][0] == pytest.approx(200.0 / prices[prices.index >= bench["x"][0]].iloc[0])
    with pytest.raises(TypeError, match="benchmark must be a pandas Series"):
        result.report(benchmark=[1.0, 2.0])


def test_trade_hover_shows_ledger_columns_when_present(run):
    _, result = run
    profit, loss = panels(result.report())["excursions"][0]
    assert "exit %{customdata[4]}" in loss["hovertemplate"] and "P&L %{customdata[7]" in loss["hovertemplate"]
    assert {row[4] for row in loss["customdata"]} <= set(vostra.results.result.EXIT_REASONS)
    closed = result.trades[result.trades["exit_date"].notna()]
    assert len(profit["x"]) + len(loss["x"]) == len(closed)


def test_panels_read_the_results_own_series(run):
    m, result = run
    found = panels(result.report())
    live = series.live_equity(result)
    # MAE in the trade log's sign, as the statistics give it.
    closed = result.trades[result.trades["exit_date"].notna()]
    mae = sorted(x for trace in found["excursions"][0] for x in trace["x"])
    assert mae == pytest.approx(sorted(closed["mae"] * 100)) and max(mae) <= 0 and result.stats["avg_mae"] < 0
    # Turnover per bar from the engine's traded value, on every bar that traded.
    per_bar = found["turnover"][0][0]
    traded = (result.traded / result.equity)[live.index]
    assert per_bar["y"] == pytest.approx((traded[traded > 0] * 100).tolist())
    strategy, bench = found["yearly"][0]
    assert strategy["y"] == pytest.approx((series.yearly_returns(live) * 100).tolist(), nan_ok=True)
    assert bench["name"] == "equal-weighted universe"
    beta = found["beta"][0][1]
    assert beta["name"] == "12 months" and np.nanmean(np.array(beta["y"], dtype=float)) > 0


def test_equity_panel_shades_drawdowns_and_turns_to_log_past_a_decade():
    days = pd.bdate_range("2000-01-03", periods=400)
    growth = pd.Series(np.exp(np.linspace(0, np.log(30), 400)), index=days)
    growth.iloc[100:150] *= 0.7
    layout = vostra.views.panels.equity_panel(growth, growth.rename("same"))["layout"]
    assert layout["yaxis"]["type"] == "log" and layout["updatemenus"][0]["active"] == 1
    # From the peak before the cut to bar 141, the first back above it
    # (0.7 recovered at ln 30 / 399 a bar).
    worst = layout["shapes"][0]
    assert (worst["x0"], worst["x1"]) == ("2000-05-19", "2000-07-18")
    flat = vostra.views.panels.equity_panel(growth / growth * 2, growth.rename("b") / growth)["layout"]
    assert flat["yaxis"]["type"] == "linear" and flat["shapes"] == []


def test_header_and_statistics_state_one_window(run):
    _, result = run
    page = result.report()
    attrs = result.stats.attrs
    start, anchor = attrs["window_start"].date(), attrs["anchor"].date()
    assert f"{start} .. " in page and f"returns from the close of {anchor}, as in the statistics" in page
    assert f"Window: from the first executed rebalance, {start} (returns from the close of {anchor})" \
        in vostra.results.stats.format_statistics(result.stats)
    # Alpha and beta once, with their values, under the benchmark; the
    # period figures once, in their tables beside the benchmark's.
    assert page.count("<td>Beta</td>") == 1
    window = series.live_equity(result).index
    theirs = vostra.results.stats.statistics(series.default_benchmark(result.close.loc[window[0]:]))
    for key in ("ytd", "best_month"):
        label = vostra.results.stats.STAT_LABELS[key][0]
        row = f"<td>{label}</td><td>{result.stats[key] * 100:.2f}%</td><td>{theirs[key] * 100:.2f}%</td>"
        assert page.count(f"<td>{label}</td>") == 1 and row in page
    assert "<th>Period returns</th>" in page and "<th>Best and worst</th>" in page


def test_a_single_stock_is_compared_with_itself_held():
    pytest.importorskip("vostra.core.vantrel")
    m = vostra.synthetic_market(n_stocks=1, years=2, seed=3)
    close = m.close.copy()
    close.iloc[100:110] = np.nan                       # a suspension, carried over
    result = vostra.backtest(close.notna(), close, rebalance="M", delisting=None)
    page = result.report(tickers=[])
    bench = panels(page)["equity"][0][1]
    name = f"{close.columns[0]} buy and hold"
    assert bench["name"] == name and "equal-weighted" not in page.lower()
    held = close.iloc[:, 0].ffill().loc[bench["x"][0]:]
    assert bench["y"][-1] / bench["y"][0] == pytest.approx(held.iloc[-1] / held.iloc[0])


def test_orders_are_shown_in_words_with_their_trigger_prices(run):
    _, result = run
    orders = result.orders
    assert len(orders) and set(orders["action"]) <= {"buy", "sell", "hold", "sell (stop loss)"}
    page = result.report()
    section = page[page.index("Next-day orders"):]
    assert "stop_price" in section and orders.summary().splitlines()[1] in section
    assert f"{orders['stop_price'].dropna().iloc[0]:.2f}" in section


def test_benchmark_statistics_come_from_the_statistics_module(run, monkeypatch):
    _, result = run
    page = result.report()
    assert "Against the benchmark" in page and "Beta" in page and "Tracking error" in page
    # Once, with values: not as a blank row of the strategy's table first.
    assert page.count("<td>Beta</td>") == 1 and "<td>Beta</td><td>-</td>" not in page
    seen = {}

    def relative(equity, benchmark):
        seen["args"] = (equity, benchmark)
        return pd.Series({"beta": 0.5, "tracking_error": 0.1})

    monkeypatch.setattr(stats_module, "benchmark_statistics", relative, raising=False)
    page = result.report()
    assert "Against the benchmark" in page and "<td>Beta</td><td>0.50</td>" in page
    assert seen["args"][0].index.equals(seen["args"][1].index)


def test_sweep_rows_and_heatmap_in_the_report(run):
    m, result = run
    table = vostra.sweep(momentum_signal(m.close, top=8), m, grid={"stop_loss": [None, 0.1],
                         "rebalance": ["M", "W"]}, trade_at="open", progress=False, backend="serial")
    page = result.report(sweep=table)
    found = panels(page)
    assert "sweep" in found
    heat = found["sweep"][0][0]
    assert {tuple(heat["y"]), tuple(heat["x"])} == {("None", "0.1"), ("M", "W")}
    best = table["sharpe"].max()
    assert np.nanmax(np.array(heat["z"], dtype=float)) == pytest.approx(best)
    assert "4 runs; the 4 best by Sharpe ratio" in page


def test_report_needs_two_bars():
    pytest.importorskip("vostra.core.vantrel")
    m = vostra.synthetic_market(n_stocks=5, years=1, seed=1)
    idle = vostra.backtest(m.close.iloc[:1].notna(), m.close.iloc[:1])
    with pytest.raises(ValueError, match="needs at least two bars"):
        idle.report()


# --- Notebook views ---------------------------------------------------------------------

def test_result_repr_html_summarises_period_costs_chart_and_statistics(run):
    _, result = run
    html = result._repr_html_()
    assert f"{len(result.trades):,} trades" in html
    assert "fee 0.1425% per trade, tax 0.3% on sales, stop-loss 10%" in html
    assert "<svg" in html and "<polyline" in html
    sharpe = vostra.results.stats.STAT_LABELS["sharpe"][0]
    assert f"<td>{sharpe}</td><td>{result.stats['sharpe']:.2f}</td>" in html


# --- In a browser -------------------------------------------------------------------------

@pytest.fixture(scope="module")
def browser():
    path = find_browser()
    if path is None:
        pytest.skip("no Chromium on this machine (.ci/run installs the chromium package)")
    return path


def test_report_opens_offline_in_chromium_and_draws_every_panel(run, browser, tmp_path):
    from matplotlib.image import imread

    _, result = run
    path = tmp_path / "report.html"
    result.report(path)
    ready = f"document.querySelectorAll('.js-plotly-plot .main-svg').length >= {len(PANELS)}"
    page = load_page(browser, path.as_uri(), width=1400, height=1000, ready=ready,
                     evaluate="Array.from(document.querySelectorAll('.js-plotly-plot'))"
                              ".map(e => [e.id, e._fullData.filter(t => t.visible).length])")
    assert page.errors == []
    assert page.requests == [path.as_uri()] + [u for u in page.requests[1:] if u.startswith("data:")]
    drawn = dict(page.evaluated)
    assert list(drawn) == [f"panel-{n}" for n in PANELS]
    assert all(count >= 1 for count in drawn.values()), drawn

    image = imread(io.BytesIO(page.screenshot), format="png")[..., :3]
    assert image.shape[:2] == (1000, 1400)
    assert image.std() > 0.05                       # not a blank page
    # The strategy's line colour (#1f4e79) is drawn in the upper part, where
    # the equity chart sits.
    target = np.array([0x1F, 0x4E, 0x79]) / 255.0
    line = np.all(np.abs(image[:700] - target) < 0.03, axis=-1)
    assert line.sum() > 500
    assert line[:, 700:].sum() > 100               # across the chart, not only the key figures


def test_the_browser_check_sees_errors_and_network_requests(browser, tmp_path):
    # The page check above is only as good as what it can see.
    path = tmp_path / "broken.html"
    path.write_text('<html><body><img src="http://example.invalid/x.png">'
                    '<script>console.error("logged"); throw new Error("boom");</script></body></html>')
    page = load_page(browser, path.as_uri(), width=400, height=300)
    assert any("boom" in e for e in page.errors) and any("logged" in e for e in page.errors)
    assert "http://example.invalid/x.png" in page.requests


def test_a_ticker_given_alone_with_markup_in_its_name_is_drilled_into_and_drawn(tmp_path):
    # report(tickers="...") once drilled into each character; "<!--<script>"
    # in the page's JSON kept the script element open past its end, so the
    # panels after it never drew. The information ratio, a per-bar figure,
    # shows its digits (it read 0.00).
    days = pd.bdate_range("2022-01-03", periods=120)
    rng = np.random.default_rng(7)
    names = ["<!--<script>", "S0001", "B"]
    close = pd.DataFrame(100 * np.exp(np.cumsum(0.01 * rng.standard_normal((120, 3)), axis=0)), index=days,
                         columns=names)
    result = vostra.backtest(close.rank(axis=1) <= 2, close, rebalance="W", stop_loss=0.05)
    path = tmp_path / "report.html"
    page = result.report(path, tickers=names[0])
    assert names[0] not in page
    drawn = panels(page)
    assert [n for n in drawn if n.startswith("ticker")] == ["ticker-0"]
    assert drawn["ticker-0"][1]["title"]["text"].startswith(names[0])
    shown = re.search(r"<td>Information ratio \(per period\)</td><td>(-?\d+\.(\d+))</td>", page)
    assert shown is not None and len(shown.group(2)) == 4 and float(shown.group(1)) != 0
    browser = find_browser()
    if browser is not None:
        ready = f"document.querySelectorAll('.js-plotly-plot .main-svg').length >= {len(drawn)}"
        loaded = load_page(browser, path.as_uri(), ready=ready, timeout=90,
                           evaluate="document.querySelectorAll('.js-plotly-plot').length")
        assert loaded.errors == [] and loaded.evaluated == len(drawn)
