"""The HTML views of a backtest: the interactive report (one self-contained
file with plotly's JavaScript embedded, so it opens offline) and the
compact summary a notebook shows for a Result or a sweep table."""

from __future__ import annotations

import html
import inspect
import math
import time
from collections.abc import Iterable
from pathlib import Path
from typing import TYPE_CHECKING, Any

import numpy as np
import pandas as pd

from ..results import series, stats as stats_module
from .drilldown import most_traded, ticker_panel
from .panels import (BENCH, LINE, Panel, axis, dates, distribution_panel, equity_panel, has_income, income_panel,
                     excursion_panel, histogram_panel, line, monthly_panel, panel, panel_html,
                     positions_panel, rolling_beta_panel, rolling_sharpe_panel,
                     rolling_volatility_panel, sweep_panel, turnover_panel, yearly_panel)
from .plots import span_text
from ..results.orders import order_rows
from ..results.settings import settings_text
from ..results.stats import BENCHMARK_KEYS, STAT_LABELS, format_figure, label_of

if TYPE_CHECKING:
    from ..results.result import Result

__all__ = ["build_report", "result_html", "table_html", "settings_text", "sweep_grid_columns"]

_NOT_GRID = {"weights", "error", "warnings", "equity", "psr", *STAT_LABELS}

# What the report's own panels compute, stated in the report.
_CONVENTIONS = [
    "Window of the charts: the statistics' window, from the close before the first executed "
    "rebalance (the starting capital) to the last bar.",
    "Benchmark: rebased to the strategy's value on the first bar of the window.",
    "Monthly and yearly returns: last value of the period over the last value of the period "
    "before (the first period: over the first value of the window).",
    f"Rolling figures over the trailing 126 bars (6 months) or {series.BARS_PER_YEAR} bars "
    f"(12 months) of returns: Sharpe ratio, mean over sample standard deviation times the square "
    f"root of {series.BARS_PER_YEAR}, no risk-free rate; volatility, sample standard deviation "
    f"times the same root; beta, sample covariance with the benchmark's returns over their "
    f"sample variance.",
    "Drawdown periods: from the last peak to the first bar back at it (or to the last bar if "
    "not recovered); depth is the lowest value over the peak, minus 1.",
    "Excursions: MAE is at or below 0 and MFE at or above 0, in the trade log, the statistics "
    "and the scatter alike.",
    "Equity on a log scale by default when the strategy and benchmark together span more than "
    "a factor of ten.",
]
_EQUAL_WEIGHTED = ("Equal-weighted universe: every day the mean close-to-close return of the "
                   "tickers priced that day and the day before, i.e. rebalanced daily, without "
                   "costs.")
_HELD = ("{name}: the one ticker's close, carried over missing prices, from the first bar of "
         "the window on, without costs.")
_DRILLDOWN = ("Ticker drill-down: entries and exits at their fill prices; stop levels as "
              "fractions of each trade record's entry price, the trailing stop following the best "
              "(short: worst) trading price since; not drawn when records run through rebalances "
              "that restart them (split_trades and retain_cost both off).")


# --------------------------------------------------------------------------
# Formatting
# --------------------------------------------------------------------------

def _value_text(value: Any, kind: str) -> str:
    if value is None or (isinstance(value, float) and not math.isfinite(value)):
        return "-"
    if kind == "pct":
        return f"{value * 100:.2f}%"
    if kind == "int":
        return f"{int(value):,d}"
    return format_figure(value, kind)


def _labelled(values: pd.Series) -> list[tuple[str, str]]:
    """(label, formatted value) of every statistic, labels and formats from
    :data:`vostra.stats.STAT_LABELS`."""
    rows = []
    for key, value in values.items():
        label, kind = label_of(key)
        rows.append((label, _value_text(value, kind)))
    return rows


def table_html(frame: pd.DataFrame, formats: dict[str, str] | None = None,
               css: str = "table") -> str:
    """A frame as a plain HTML table; ``formats`` maps columns to
    ``pct``, ``int``, ``num``, ``date`` or ``weight``."""
    formats = formats or {}

    def cell(value: Any, kind: str | None) -> str:
        if kind == "date":
            return "-" if pd.isna(value) else str(pd.Timestamp(value).date())
        if kind == "weight":
            return f"{value:.4f}"
        if kind is not None:
            return _value_text(value, kind)
        if isinstance(value, float):
            return f"{value:g}"
        return "-" if value is None or (not isinstance(value, str) and pd.isna(value)) else str(value)

    text = [c not in formats and frame[c].dtype == object for c in frame.columns]
    attr = [' class="text"' if t else "" for t in text]
    head = "".join(f"<th{a}>{html.escape(str(c))}</th>" for c, a in zip(frame.columns, attr))
    body = []
    for row in frame.itertuples(index=False):
        cells = "".join(f"<td{a}>{html.escape(cell(v, formats.get(c)))}</td>"
                        for c, a, v in zip(frame.columns, attr, row))
        body.append(f"<tr>{cells}</tr>")
    return f'<table class="{css}"><thead><tr>{head}</tr></thead><tbody>{"".join(body)}</tbody></table>'


def _pairs_html(rows: Iterable[tuple[str, ...]], header: tuple[str, ...] | None = None) -> str:
    head = ""
    if header:
        head = "<thead><tr>" + "".join(f"<th>{html.escape(h)}</th>" for h in header) + "</tr></thead>"
    body = "".join("<tr>" + "".join(f"<td>{html.escape(c)}</td>" for c in row) + "</tr>"
                   for row in rows)
    return f'<table class="stats">{head}<tbody>{body}</tbody></table>'


# --------------------------------------------------------------------------
# Notebook views
# --------------------------------------------------------------------------

def _sparkline(equity: pd.Series, width: int = 360, height: int = 90, points: int = 400) -> str:
    """The equity as a small inline SVG line (at most ``points`` vertices)."""
    values = equity.to_numpy(dtype=np.float64)
    values = values[np.isfinite(values)]
    if len(values) < 2:
        return ""
    step = max(1, len(values) // points)
    sample = np.append(values[::step], values[-1])
    low, high = float(sample.min()), float(sample.max())
    span = (high - low) or 1.0
    xs = np.linspace(0, width, len(sample))
    ys = height - 4 - (sample - low) / span * (height - 8)
    path = " ".join(f"{x:.1f},{y:.1f}" for x, y in zip(xs, ys))
    return (f'<svg width="{width}" height="{height}" viewBox="0 0 {width} {height}" '
            f'role="img" aria-label="equity curve"><polyline fill="none" stroke="{LINE}" '
            f'stroke-width="1.5" points="{path}"/></svg>')


def result_html(result: Result) -> str:
    """Notebook view of a result: period, size, costs, a small equity chart
    and the statistics."""
    equity = series.live_equity(result)
    if len(result.equity):
        head = (f"Backtest {span_text(equity.index)}: {len(equity):,} bars, "
                f"{len(result.trades):,} trades")
    else:
        head = "Backtest (empty)"
    rows = _labelled(result.stats)
    half = (len(rows) + 1) // 2
    left, right = rows[:half], rows[half:] + [("", "")] * (2 * half - len(rows))
    table = _pairs_html(tuple(a) + tuple(b) for a, b in zip(left, right))
    return (f'<div class="vostra-result"><b>{html.escape(head)}</b><br>'
            f'<small>{html.escape(settings_text(result.settings))}</small><br>'
            f'{_sparkline(equity)}{table}</div>')


def sweep_grid_columns(table: pd.DataFrame) -> list[str]:
    """The option columns a sweep table varies (not its statistics, the
    weights' name, errors, warnings or equity curves)."""
    return [c for c in table.columns if c not in _NOT_GRID]


def sweep_html(table: pd.DataFrame, max_rows: int = 30) -> str:
    """Notebook view of a sweep table: statistics formatted by their labels,
    equity curves left out, at most ``max_rows`` rows."""
    columns = [c for c in table.columns if c != "equity"]
    shown = table[columns].head(max_rows)
    formats = {c: STAT_LABELS[c][1] for c in columns if c in STAT_LABELS}
    named = shown.rename(columns={c: STAT_LABELS[c][0] for c in formats})
    note = ""
    if len(table) > max_rows:
        note = f"<small>first {max_rows} of {len(table)} runs</small>"
    return table_html(named, {STAT_LABELS[c][0]: k for c, k in formats.items()},
                      css="dataframe") + note


# --------------------------------------------------------------------------
# The report
# --------------------------------------------------------------------------

#: The period returns and the best and worst periods, shown in tables of their own.
PERIOD_KEYS = ("mtd", "ytd", "return_1y", "return_3y_ann", "return_5y_ann", "return_10y_ann")
EXTREME_KEYS = ("best_day", "worst_day", "best_month", "worst_month", "best_year", "worst_year")


def _default_benchmark(result: Result, index: pd.DatetimeIndex) -> pd.Series:
    if result.close is None:
        raise ValueError("the result keeps no close prices for the default benchmark; "
                         "pass benchmark= a price series or equity curve")
    return series.default_benchmark(result.close.loc[index[0]:index[-1]])


def _compared(keys: Iterable[str], mine: pd.Series, theirs: pd.Series) -> list[tuple[str, str, str]]:
    """(label, strategy, benchmark) of every statistic in ``keys`` the
    strategy has; "-" where the benchmark's is undefined."""
    rows = []
    for key in keys:
        if key not in mine.index:
            continue
        label, kind = label_of(key)
        other = theirs.get(key, math.nan)
        rows.append((label, _value_text(mine[key], kind),
                     _value_text(other, kind) if np.isfinite(other) else "-"))
    return rows


def _periods_section(mine: pd.Series, theirs: pd.Series, name: str) -> str:
    """The period returns and the best and worst periods beside the
    benchmark's, or nothing when the statistics have none of them."""
    header = ("", "Strategy", name)
    tables = [_pairs_html(rows, (title,) + header[1:])
              for title, keys in (("Period returns", PERIOD_KEYS), ("Best and worst", EXTREME_KEYS))
              if (rows := _compared(keys, mine, theirs))]
    return f'<div class="grid2">{"".join(tables)}</div>' if tables else ""


def _statistics_section(result: Result, equity: pd.Series, benchmark: pd.Series,
                        theirs: pd.Series, notes: list[str]) -> str:
    # The benchmark-relative figures have their own table below, and the
    # period figures theirs above.
    shown_elsewhere = {*BENCHMARK_KEYS, *PERIOD_KEYS, *EXTREME_KEYS}
    keys = [k for k in result.stats.index if k not in shown_elsewhere]
    parts = [_pairs_html(_compared(keys, result.stats, theirs),
                         ("Statistic", "Strategy", str(benchmark.name)))]
    relative = getattr(stats_module, "benchmark_statistics", None)
    if callable(relative):
        parts.append("<h3>Against the benchmark</h3>")
        parts.append(_pairs_html(_labelled(relative(equity, benchmark))))
    doc = inspect.getdoc(stats_module.statistics) or ""
    items = "".join(f"<li>{html.escape(c)}</li>" for c in notes)
    parts.append(f"<h3>Conventions</h3><ul>{items}</ul>"
                 f"<details><summary>The statistics, as <code>vostra.stats.statistics</code> "
                 f"documents them</summary><pre>{html.escape(doc)}</pre></details>")
    return "".join(parts)


def _orders_section(result: Result) -> str:
    orders = result.orders
    head = html.escape(orders.summary()).replace("\n", "<br>") if hasattr(orders, "summary") else ""
    if not len(orders):
        return f"<p>{head or 'No orders.'}</p>"
    kinds = {"current_weight": "weight", "target_weight": "weight", "current_shares": "int",
             "target_shares": "int", "trade_shares": "int", "waiting_shares": "int", "price": "num", "trade_value": "num",
             "est_cost": "num", "stop_price": "num", "take_profit_price": "num", "trail_price": "num"}
    return f"<p>{head}</p>" + table_html(order_rows(orders), {c: k for c, k in kinds.items() if c in orders})


def _sweep_heatmap(table: pd.DataFrame, stat: str) -> Panel | None:
    """The sweep's heatmap over its last two grid options, or None with fewer."""
    grid = sweep_grid_columns(table)
    if len(grid) < 2 or stat not in table.columns:
        return None
    return sweep_panel(table, grid[-2], grid[-1], stat)


def _sweep_section(table: pd.DataFrame, stat: str = "sharpe", rows: int = 10) -> tuple[str, Any]:
    best = table.sort_values(stat, ascending=False, kind="stable").head(rows) if stat in table else table.head(rows)
    columns = [c for c in best.columns if c not in ("equity", "warnings")]
    formats = {c: STAT_LABELS[c][1] for c in columns if c in STAT_LABELS}
    return (f"<p>{len(table)} runs; the {len(best)} best by {label_of(stat)[0]}.</p>"
            + table_html(best[columns], formats), _sweep_heatmap(table, stat))


_CSS = """
body { font-family: -apple-system, "Segoe UI", Helvetica, Arial, sans-serif; color: #222;
       margin: 0 auto; max-width: 1200px; padding: 16px 24px; background: #fff; }
h1 { font-size: 22px; margin: 4px 0; } h2 { font-size: 17px; margin: 28px 0 6px; }
h3 { font-size: 15px; } .sub { color: #555; margin: 2px 0 10px; }
.keys { display: flex; flex-wrap: wrap; gap: 10px; margin: 10px 0; }
.key { border: 1px solid #ddd; border-radius: 6px; padding: 6px 12px; min-width: 110px; }
.key b { display: block; font-size: 18px; color: #1f4e79; } .key span { font-size: 12px; color: #666; }
.key span.sure { font-size: 11px; color: #888; }
table { border-collapse: collapse; font-size: 13px; margin: 6px 0; }
th, td { border-bottom: 1px solid #e3e3e3; padding: 3px 10px; text-align: right; }
th { background: #f4f6f8; } td:first-child, th:first-child { text-align: left; }
td.text, th.text { text-align: left; }
pre { font-size: 12px; background: #f7f7f7; padding: 8px; overflow-x: auto; }
.grid2 { display: grid; grid-template-columns: 1fr 1fr; gap: 12px; }
footer { color: #777; font-size: 12px; margin-top: 30px; }
"""


def sharpe_interval(result: Result) -> tuple[float, float, float, str] | None:
    """The Sharpe ratio's bootstrap interval (level, low, high, method):
    the last one computed for the result, or one computed now with the
    defaults of :meth:`Result.confidence` (seed 0, so that a report is the
    same every time); None without arch and scipy."""
    if result.__dict__.get("_sharpe_interval") is None:
        try:
            result.confidence(["sharpe"], seed=0)
        except ImportError:
            return None
        except ValueError:      # too few returns for a bootstrap
            return None
    return result.__dict__.get("_sharpe_interval")


def _key_figures(result: Result, benchmark: pd.Series) -> str:
    chosen = [k for k in ("total_return", "cagr", "sharpe", "max_drawdown", "annual_volatility", "trades")
              if k in result.stats.index]
    interval = sharpe_interval(result) if "sharpe" in chosen else None
    cells = [(label_of(k)[0], _value_text(result.stats[k], label_of(k)[1]), "") for k in chosen]
    if interval is not None:
        level, low, high, method = interval
        where = chosen.index("sharpe")
        cells[where] = cells[where][:2] + (
            f"{level * 100:g} % interval {_value_text(low, 'num')} .. {_value_text(high, 'num')} "
            f"({'block' if method == 'stationary' else 'i.i.d.'} bootstrap)",)
    bench_total = float(benchmark.iloc[-1] / benchmark.iloc[0] - 1.0) if len(benchmark) else math.nan
    cells.append((f"{benchmark.name}: total return", _value_text(bench_total, "pct"), ""))
    return '<div class="keys">' + "".join(
        f'<div class="key"><b>{html.escape(v)}</b><span>{html.escape(k)}</span>'
        + (f'<br><span class="sure">{html.escape(note)}</span>' if note else "") + "</div>"
        for k, v, note in cells) + "</div>"


def _day(ts: pd.Timestamp) -> str:
    return str(ts.date()) if ts.normalize() == ts else str(ts)


def _window_text(result: Result, window: pd.DatetimeIndex) -> str:
    """The charts' and statistics' window as the statistics' printout states it."""
    attrs = result.stats.attrs
    first = attrs.get("window_start")
    if first is None:
        return f"{span_text(window)}, {len(window):,} bars"
    return (f"{_day(first)} .. {_day(window[-1])}, "
            f"{len(window) - 1:,} bars from the {attrs['window_rule']} (returns from the close "
            f"of {_day(window[0])}, as in the statistics)")


def _ticker_sections(result: Result, tickers: Iterable[Any] | None) -> list[tuple[str, Panel]]:
    if tickers is None:
        # Without the prices a result ran on there is nothing to drill into.
        tickers = most_traded(result.trades) if result.close is not None else []
    # One ticker given alone is that ticker, not the characters of its name.
    chosen = [tickers] if isinstance(tickers, (str, bytes)) or not isinstance(tickers, Iterable) else list(tickers)
    return [(f"ticker-{n}", ticker_panel(result, ticker)) for n, ticker in enumerate(chosen)]


def build_report(result: Result, path: str | Path | None = None, *,
                 benchmark: pd.Series | None = None, title: str | None = None,
                 sweep: pd.DataFrame | None = None, tickers: Iterable[Any] | None = None) -> str:
    """The interactive report of ``result`` as one HTML page with plotly's
    JavaScript embedded; written to ``path`` when given. ``benchmark`` is a
    price series or equity curve (default: the equal-weighted universe of
    the result's close prices, or its one ticker held); ``sweep`` a sweep
    table whose best rows (by Sharpe ratio) and heatmap are added;
    ``tickers`` the tickers drilled into (default: the most traded three).
    Benchmark-relative statistics appear when :mod:`vostra.stats` provides
    ``benchmark_statistics``."""
    started = time.perf_counter()
    equity = series.live_equity(result)
    if len(equity) < 2:
        since = "" if result.start is None else f" from the close before the first rebalance ({result.start})"
        raise ValueError(f"the report needs at least two bars of equity{since}; this result has "
                         f"{len(equity)}")
    window = equity.index
    bench = _default_benchmark(result, window) if benchmark is None else benchmark
    notes = list(_CONVENTIONS)
    if benchmark is None:
        notes.insert(2, _EQUAL_WEIGHTED if result.close.shape[1] != 1 else _HELD.format(name=bench.name))
    bench = series.as_benchmark(bench, window) * float(equity.iloc[0])
    # The benchmark's own figures from the same function, on its curve alone
    # (trade statistics stay blank).
    theirs = stats_module.statistics(bench)
    drilled = _ticker_sections(result, tickers)
    div = panel_html
    drawdowns = table_html(series.drawdown_periods(equity),
                           {"peak": "date", "trough": "date", "recovery": "date",
                            "depth": "pct", "days": "int", "bars": "int"})
    body = [div("equity", equity_panel(equity, bench)),
            *([div("income", income_panel(result, window))] if has_income(result) else []),
            f"<h2>Worst drawdown periods</h2>{drawdowns}",
            div("yearly", yearly_panel(equity, bench)),
            div("monthly", monthly_panel(equity)),
            div("distribution", distribution_panel(equity, bench, result.stats.get("var_95"))),
            _periods_section(result.stats, theirs, str(bench.name)),
            div("rolling", rolling_sharpe_panel(equity)),
            div("volatility", rolling_volatility_panel(equity, bench)),
            div("beta", rolling_beta_panel(equity, bench)),
            div("positions", positions_panel(result, window)),
            div("turnover", turnover_panel(result, window)),
            div("excursions", excursion_panel(result.trades)),
            div("returns", histogram_panel(result.trades))]
    if drilled:
        notes.append(_DRILLDOWN)
        body.append("<h2>Tickers</h2>" + "".join(div(name, fig) for name, fig in drilled))
    body.append(f"<h2>Next-day orders</h2>{_orders_section(result)}")
    if sweep is not None:
        rows, heat = _sweep_section(sweep)
        body.append(f"<h2>Sweep</h2>{rows}")
        if heat is not None:
            body.append(div("sweep", heat))
    body.append(f"<h2>Statistics</h2>{_statistics_section(result, equity, bench, theirs, notes)}")

    heading = title or "vostra backtest report"
    sub = (f"{_window_text(result, window)}; {len(result.trades):,} trades; "
           f"{settings_text(result.settings)}")
    return _write_page(path, heading, sub, _key_figures(result, bench) + "".join(body), started)


def _write_page(path: str | Path | None, heading: str, sub: str, body: str, started: float) -> str:
    """One self-contained page: plotly's JavaScript embedded, written to
    ``path`` when given."""
    from plotly.offline import get_plotlyjs

    page = (f'<!DOCTYPE html><html lang="en"><head><meta charset="utf-8">'
            f"<title>{html.escape(heading)}</title><style>{_CSS}</style>"
            f'<script type="text/javascript">{get_plotlyjs()}</script></head><body>'
            f"<h1>{html.escape(heading)}</h1><p class=\"sub\">{html.escape(sub)}</p>{body}"
            f"<footer>Built by vostra in {time.perf_counter() - started:.2f} s.</footer>"
            f"</body></html>")
    if path is not None:
        Path(path).write_text(page, encoding="utf-8")
    return page


# --------------------------------------------------------------------------
# The report of a walk-forward run
# --------------------------------------------------------------------------

def build_walk_forward_report(walk: Any, path: str | Path | None = None, *, title: str | None = None) -> str:
    """The report of a :func:`vostra.walk_forward` run as one HTML page:
    the chained out-of-sample equity against the in-sample best, the
    parameters chosen per window, both curves' statistics and the
    overfitting figures, each with a line on what it means."""
    started = time.perf_counter()
    frames = walk.report_frames()
    curves = frames["equity"]
    x = dates(curves.index)
    data = [line(x, curves[name], label, color, width)
            for name, label, color, width in (("out_of_sample", "chained out of sample", LINE, 1.6),
                                              ("in_sample_best", "in-sample best (hindsight)", BENCH, 1.2))
            if name in curves]
    equity = panel(data, "Walk-forward equity", height=460, yaxis=axis(title={"text": "value"}))
    stats = frames["statistics"]
    stat_rows = pd.DataFrame({
        "statistic": [label_of(k)[0] for k in stats.index],
        **{name: [_value_text(v, label_of(k)[1]) for k, v in stats[name].items()]
           for name in stats.columns}})
    windows = frames["windows"]
    date_columns = {c: "date" for c in ("train_start", "train_end", "test_start", "test_end") if c in windows}
    body = [panel_html("walk", equity),
            "<h2>Chosen parameters per window</h2>", table_html(windows, date_columns),
            "<h2>Statistics</h2>", table_html(stat_rows),
            "<h2>Overfitting</h2>", table_html(frames["overfitting"])]
    heading = title or "vostra walk-forward report"
    carried = ("one account traded through every test window (walk.result has its trades and report)"
               if getattr(walk, "result", None) is not None
               else "each test window starts from the capital the previous one ended with")
    sub = f"{span_text(curves.index)}, {len(windows)} windows, selecting by {walk.select!r}; {carried}"
    return _write_page(path, heading, sub, "".join(body), started)
