"""The built-in demo: a momentum strategy on the synthetic market."""

from __future__ import annotations

import time
from collections.abc import Callable
from pathlib import Path

import numpy as np
import pandas as pd

from ..data.synthetic import synthetic_market
from ..results.backtest import backtest
from ..views.plots import save_figures
from ..results.orders import order_rows
from ..results.result import Result

__all__ = ["momentum_signal", "run_demo", "DEFAULT_OUT"]

DEFAULT_OUT = Path("out") / "demo"

_TRADE_VIEW = ["ticker", "entry_date", "exit_date", "entry_price", "exit_price", "weight", "pnl", "return",
               "exit_reason", "mae", "mfe"]


def momentum_signal(close: pd.DataFrame, lookback: int = 126, skip: int = 21,
                    top: int = 20) -> pd.DataFrame:
    """Bool frame selecting, on every date, the ``top`` stocks with the best
    return from ``lookback`` to ``skip`` bars ago.

    Suspension holes are bridged with the last close for the return, but a
    stock without a close on the signal date (suspended, delisted or not yet
    listed) is never selected, so the signal uses only prices known that day.
    """
    filled = close.ffill()
    momentum = filled.shift(skip) / filled.shift(lookback) - 1.0
    momentum = momentum.where(close.notna())
    return momentum.rank(axis=1, ascending=False, method="first") <= top


def run_demo(out_dir: str | Path = DEFAULT_OUT, *, seed: int = 7, n_stocks: int = 300,
             years: float = 10.0, top: int = 20, stop_loss: float | None = 0.1,
             html: str | Path | None = None,
             echo: Callable[[str], None] = print) -> tuple[Result, dict[str, Path]]:
    """Generate the synthetic market, backtest monthly momentum with a
    stop-loss, print the statistics, the last trades and the next-day orders,
    and write the plots into ``out_dir`` (and the interactive report to
    ``html`` when given). Returns the result and the paths of the PNG
    files."""
    started = time.perf_counter()
    market = synthetic_market(n_stocks=n_stocks, years=years, seed=seed)
    # End the data on the last bar of a month, as on a real rebalance day, so
    # that the operations report lists the orders for the next open.
    months = market.close.index.to_period("M")
    end = int(np.flatnonzero(months[1:] != months[:-1])[-1]) + 1 if months[0] != months[-1] else len(months)
    close, open_, high, low = (f.iloc[:end] for f in (market.close, market.open, market.high, market.low))
    signal = momentum_signal(close, top=top)
    result = backtest(signal, close, open_, high, low,
                      trade_at="open", rebalance="M", stop_loss=stop_loss,
                      window=20, window_step=5)
    paths = save_figures(result.plot(), Path(out_dir))
    built = None
    if html is not None:
        report_started = time.perf_counter()
        result.report(html, title=f"vostra demo: top {top} momentum, seed {seed}")
        built = time.perf_counter() - report_started
    elapsed = time.perf_counter() - started

    n_delisted = int(market.delisted.notna().sum())
    echo(f"Synthetic market: {n_stocks} stocks x {len(close)} daily bars "
         f"(seed {seed}, {n_delisted} delistings)")
    echo(f"Strategy: top {top} by 6-1 month momentum, monthly rebalance at the "
         f"next open, stop-loss {stop_loss if stop_loss is not None else 'off'}\n")
    echo(repr(result))
    closed = result.trades[result.trades["exit_date"].notna()].sort_values("exit_date", kind="stable")
    echo(f"\nLast closed trades ({len(result.trades) - len(closed)} positions still open):")
    with pd.option_context("display.width", 120, "display.float_format", "{:.4f}".format):
        echo(closed[_TRADE_VIEW].tail(10).to_string(index=False))
        orders = result.orders
        echo("\nNext-day orders:\n" + orders.summary())
        orders = order_rows(orders)
        # Words read left to right: pad the action column on the right.
        width = int(orders["action"].str.len().max()) if len(orders) else 0
        echo(orders.to_string(index=False, formatters={"action": f"{{:<{width}}}".format})
             if len(orders) else "none")
    echo(f"\nPlots written to {Path(out_dir)}/: " + ", ".join(p.name for p in paths.values()))
    if built is not None:
        size = Path(html).stat().st_size / 1e6
        echo(f"Report written to {Path(html)} ({size:.1f} MB, built in {built:.2f} s)")
    echo(f"Done in {elapsed:.1f} s")
    return result, paths
