"""Series behind the plots and the report (on hand-checked results), the
figures Result.plot returns, and the sweep table's heatmaps."""

from __future__ import annotations

import math

import numpy as np
import pandas as pd
import pytest
from matplotlib.figure import Figure

import vostra
from vostra.results import series
from vostra.views.plots import sweep_pivot
from vostra.results.result import Result
from vostra.research.table import SweepTable

DAYS = pd.bdate_range("2021-01-04", periods=6)


def hand_result(equity=(1.0, 1.0, 1.1, 0.99, 1.045, 1.21), start=None) -> Result:
    """Six bars: A held on bars 1-2 (weight 0.5), B on bars 1-4 (0.25) and
    bought back on bar 4 (0.5, still open), C entered on bar 3 (0.2, open)."""
    nat = pd.NaT
    trades = pd.DataFrame({
        "ticker": pd.Series(["A", "B", "B", "C"], dtype=object),
        "entry_date": DAYS[[1, 1, 4, 3]],
        "exit_date": pd.DatetimeIndex([DAYS[3], DAYS[4], nat, nat]),
        "entry_signal_date": DAYS[[0, 0, 3, 2]],
        "weight": [0.5, 0.25, 0.5, -0.2],
        "holding_bars": [2, 3, 2, 3],
        "entry_bar": np.array([1, 1, 4, 3]),
        "exit_bar": pd.array([3, 4, None, None], dtype="Int64"),
        "mae": [-0.02, -0.05, -0.01, 0.0], "mfe": [0.1, 0.02, 0.03, 0.04],
        "return": [0.08, -0.04, 0.02, 0.01],
    })
    operations = pd.DataFrame({"ticker": pd.Series(["A", "B", "C"], dtype=object),
                               "action": pd.Series(["exit", None, "sl_"], dtype=object),
                               "current_weight": [0.5, 0.5, 0.0], "next_weight": [0.0, 0.5, 0.0]})
    curve = pd.Series(equity, index=DAYS, name="equity")
    return Result(curve, trades, operations, start=start if start is not None else DAYS[0],
                  settings={"trade_at": "open", "rebalance": "M", "fee": 0.001, "tax": 0.003,
                            "stop_loss": 0.1})


# --- Holdings, exposure and turnover from the trade log ----------------------------

def test_holdings_and_exposure_count_the_trades_open_on_each_bar():
    r = hand_result()
    # Bar 3: A leaves (exit bar not counted), C enters; bar 4: B rolls over.
    assert series.holdings_per_bar(r).tolist() == [0, 2, 2, 2, 2, 2]
    assert series.exposure_per_bar(r).to_numpy() == pytest.approx([0, 0.75, 0.75, 0.45, 0.7, 0.7])


def test_native_holdings_and_exposure_take_over_when_the_result_has_them():
    r = hand_result()
    r.holdings = pd.Series([9] * 6, index=DAYS)
    r.exposure = pd.Series([0.9] * 6, index=DAYS)
    assert series.holdings_per_bar(r) is r.holdings
    assert series.exposure_per_bar(r) is r.exposure


def test_turnover_per_bar_nets_a_sale_and_purchase_of_the_same_ticker():
    r = hand_result()
    per_bar = series.turnover_per_bar(r.trades, DAYS)
    # Bar 1: buy 0.75; bar 3: sell A 0.5, short C 0.2; bar 4: B 0.25 -> 0.5.
    assert per_bar.tolist() == pytest.approx([0, 0.375, 0, 0.35, 0.125, 0])
    rolling, how = series.rolling_turnover(r, window=2)
    assert "trade log" in how
    assert rolling.tolist()[1:] == pytest.approx([0.375, 0.375, 0.35, 0.475, 0.125])
    r.traded = pd.Series([0, 2.0, 0, 1.0, 0, 0], index=DAYS)
    rolling, how = series.rolling_turnover(r, window=2)
    assert how == "traded value over mean equity"
    assert rolling.iloc[2] == pytest.approx(2.0 / 1.05)


def test_live_equity_starts_at_the_close_before_the_first_rebalance():
    r = hand_result()
    started = Result(r.equity, r.trades, r.operations, start=DAYS[3])
    assert series.live_equity(started).index[0] == DAYS[2]
    at_first_bar = Result(r.equity, r.trades, r.operations, start=DAYS[0])
    assert series.live_equity(at_first_bar).index[0] == DAYS[0]
    idle = Result(r.equity, r.trades.iloc[:0], r.operations, start=None)
    assert series.live_equity(idle).index.equals(r.equity.index)


# --- Returns, drawdowns, benchmark -----------------------------------------------

def test_monthly_returns_chain_month_ends():
    index = pd.DatetimeIndex(["2020-01-02", "2020-01-31", "2020-02-28", "2020-04-30", "2021-01-29"])
    table = series.monthly_returns(pd.Series([1.0, 1.1, 0.99, 1.188, 1.188], index=index))
    assert list(table.columns) == list(range(1, 13)) and list(table.index) == [2020, 2021]
    assert table.loc[2020, 1] == pytest.approx(0.1)
    assert table.loc[2020, 2] == pytest.approx(-0.1)
    assert math.isnan(table.loc[2020, 3])
    assert table.loc[2020, 4] == pytest.approx(0.2)      # over the February end
    assert table.loc[2021, 1] == pytest.approx(0.0)


def test_drawdown_periods_deepest_first_with_recovery():
    equity = pd.Series([1.0, 0.9, 1.0, 1.2, 0.6, 0.9, 1.1], index=pd.bdate_range("2021-01-04", periods=7))
    table = series.drawdown_periods(equity)
    assert list(table["depth"]) == pytest.approx([0.6 / 1.2 - 1, -0.1])
    deepest = table.iloc[0]
    assert (deepest["peak"], deepest["trough"]) == (equity.index[3], equity.index[4])
    assert pd.isna(deepest["recovery"]) and deepest["bars"] == 3
    assert table.iloc[1]["recovery"] == equity.index[2] and table.iloc[1]["bars"] == 2
    assert series.drawdown_periods(equity, top=1).shape[0] == 1
    assert series.drawdown_periods(equity.iloc[:0]).empty


def test_equal_weight_benchmark_skips_missing_prices():
    close = pd.DataFrame({"A": [10.0, 11.0, np.nan, 12.0], "B": [20.0, 19.0, 19.0, 38.0]},
                         index=DAYS[:4])
    curve = series.equal_weight_benchmark(close)
    # Day 1: (+10% - 5%) / 2; day 2: B only, 0%; day 3: B only (A has no prior close), +100%.
    assert curve.tolist() == pytest.approx([1.0, 1.025, 1.025, 2.05])


def test_benchmark_series_is_aligned_and_rebased():
    prices = pd.Series([50.0, 55.0, 60.5], index=DAYS[[0, 2, 4]], name="index")
    bench = series.as_benchmark(prices, DAYS[1:])
    assert bench.name == "index"
    assert bench.tolist() == pytest.approx([1.0, 1.1, 1.1, 1.21, 1.21])
    with pytest.raises(TypeError, match="benchmark must be a pandas Series.*got list"):
        series.as_benchmark([1, 2], DAYS)
    with pytest.raises(ValueError, match="has no value from"):
        series.as_benchmark(pd.Series([1.0], index=[DAYS[-1] + pd.Timedelta(days=9)]), DAYS)
    with pytest.raises(ValueError, match="benchmark must be positive"):
        series.as_benchmark(pd.Series([0.0, 1.0], index=DAYS[:2]), DAYS)


def test_rolling_sharpe_of_a_known_window():
    equity = pd.Series(np.cumprod([1.0, 1.01, 0.99, 1.02, 1.0]), index=DAYS[:5])
    sharpe = series.rolling_sharpe(equity, 3)
    r = np.array([0.01, -0.01, 0.02])
    assert sharpe.iloc[:3].isna().all()
    assert sharpe.iloc[3] == pytest.approx(r.mean() / r.std(ddof=1) * math.sqrt(252))
    flat = series.rolling_sharpe(pd.Series(1.0, index=DAYS), 2)
    assert flat.isna().all()


# --- Figures ---------------------------------------------------------------------

def test_plot_returns_figures_titled_with_period_figures_and_count(tmp_path):
    r = hand_result()
    figures = r.plot()
    assert list(figures) == ["equity", "excursions", "returns"]
    assert all(isinstance(f, Figure) for f in figures.values())
    title = figures["equity"].axes[0].get_title()
    assert "2021-01-04 .. 2021-01-11" in title and "Sharpe" in title and "4 trades" in title
    assert "N = 2 closed trades" in figures["excursions"].axes[0].get_title()
    # MAE in the trade log's sign (A and B closed with -2 % and -5 %).
    offsets = figures["excursions"].axes[0].collections[0].get_offsets()
    assert offsets[:, 0].tolist() == pytest.approx([-2.0, -5.0])
    assert figures["equity"].axes[0].get_yscale() == "linear"
    assert r.plot(log=True)["equity"].axes[0].get_yscale() == "log"
    assert not list(tmp_path.iterdir())
    saved = r.plot(tmp_path / "png", prefix="x_")
    assert sorted(p.name for p in (tmp_path / "png").iterdir()) == ["x_equity.png", "x_excursions.png",
                                                                     "x_returns.png"]
    assert list(saved) == list(figures)
    assert figures._repr_html_().count("data:image/png;base64,") == 3


def test_plot_draws_the_benchmark_when_the_result_keeps_prices():
    r = hand_result()
    assert len(r.plot()["equity"].axes[0].lines) == 1
    # One ticker is held through its missing price, not cut at it.
    r.close = pd.DataFrame({"A": [1.0, 1.0, 1.1, np.nan, 1.21, 1.21]}, index=DAYS)
    lines = r.plot()["equity"].axes[0].lines
    assert [line.get_label() for line in lines] == ["strategy", "A buy and hold"]
    assert list(lines[1].get_ydata()) == pytest.approx([1.0, 1.0, 1.1, 1.1, 1.21, 1.21])
    r.close = r.close.assign(B=1.0)
    lines = r.plot()["equity"].axes[0].lines
    assert lines[1].get_label() == "equal-weighted universe"
    # A benchmark given replaces it, rebased to the equity's start.
    index = pd.Series([50.0, 55.0, 60.5, 60.5, 66.55, 66.55], index=DAYS, name="INDEX")
    lines = r.plot(benchmark=index)["equity"].axes[0].lines
    assert lines[1].get_label() == "INDEX"
    assert list(lines[1].get_ydata()) == pytest.approx(list(index / 50.0 * r.equity.iloc[0]))


def test_equity_turns_to_a_log_scale_when_it_spans_a_decade():
    r = hand_result(equity=(1.0, 1.0, 3.0, 9.0, 10.5, 11.0))
    assert r.plot()["equity"].axes[0].get_yscale() == "log"
    assert r.plot(log=False)["equity"].axes[0].get_yscale() == "linear"
    assert not series.spans_a_decade(pd.Series([2.0, 20.0]), pd.Series([0.0, 2.0]))


# --- Sweep tables ----------------------------------------------------------------------

@pytest.fixture
def table():
    grid = [(w, s, f) for w in ("a", "b") for s in (None, 0.1, 0.05) for f in (0.001, 0.002)]
    frame = pd.DataFrame(grid, columns=["weights", "stop_loss", "fee"])
    frame["sharpe"] = np.arange(len(frame), dtype=float)
    frame.loc[3, "sharpe"] = np.nan                 # a failed run
    frame["error"] = None
    return SweepTable(frame)


def test_sweep_pivot_keeps_the_grid_order_and_reduces_other_options(table):
    pivot = sweep_pivot(table, "sharpe", "fee", "stop_loss")
    assert list(pivot.index) == ["None", "0.1", "0.05"] and list(pivot.columns) == ["0.001", "0.002"]
    # Best over the two weight frames: b's runs are 6 later.
    assert pivot.to_numpy().tolist() == [[6, 7], [8, 9], [10, 11]]
    low = sweep_pivot(table.iloc[:6], "sharpe", "fee", "stop_loss", best="min")
    assert low.loc["0.1", "0.002"] != low.loc["0.1", "0.002"]       # NaN: its only run failed
    for kwargs, error, message in [
        (dict(stat="calmar", x="fee", y="stop_loss"), KeyError, "no column 'calmar'"),
        (dict(stat="sharpe", x="fee", y="fee"), ValueError, "two different options"),
        (dict(stat="sharpe", x="fee", y="stop_loss", best="median"), ValueError, "best must be"),
    ]:
        with pytest.raises(error, match=message):
            sweep_pivot(table, **kwargs)


def test_sweep_table_keeps_its_class_and_draws_heatmaps(table):
    assert type(table.sort_values("sharpe")) is SweepTable
    assert type(table[table["fee"] > 0.001]) is SweepTable
    fig = table.plot_heatmap()
    ax = fig.axes[0]
    assert ax.get_xlabel() == "fee" and ax.get_ylabel() == "stop_loss"
    assert "Sharpe ratio" in ax.get_title()
    texts = sorted(t.get_text() for t in ax.texts)
    assert texts == sorted(f"{v:.2f}" for v in (6, 7, 8, 9, 10, 11))
    with pytest.raises(ValueError, match="a heatmap needs two options"):
        SweepTable(table[["fee", "sharpe"]]).plot_heatmap()
    html = table._repr_html_()
    assert "Sharpe ratio" in html and "<table" in html and "0.05" in html
