"""The ``vostra backtest`` command end to end, from files to files."""

from __future__ import annotations

import json
import subprocess
import sys

import numpy as np
import pandas as pd
import pytest

import vostra
from support import child_env


def run_cli(*args, cwd):
    return subprocess.run([sys.executable, "-W", "error", "-m", "vostra", "backtest", *map(str, args)],
                          cwd=cwd, env=child_env(MPLBACKEND="Agg"), capture_output=True, text=True,
                          timeout=120)


@pytest.fixture(scope="module")
def files(tmp_path_factory):
    folder = tmp_path_factory.mktemp("cli")
    m = vostra.synthetic_market(n_stocks=20, years=2, seed=4, delisting_rate=0.0)
    long = pd.concat({f: getattr(m, f).stack() for f in ("open", "high", "low", "close")}, axis=1)
    long.reset_index().to_parquet(folder / "prices.parquet", index=False)
    m.close.to_csv(folder / "close.csv")
    signal = m.close.ffill().pct_change(21, fill_method=None).rank(axis=1, ascending=False) <= 4
    signal.stack().rename("weight").reset_index().to_parquet(folder / "weights.parquet", index=False)
    signal.astype(float).to_csv(folder / "weights.csv")
    return folder, m, signal


def test_long_parquet_files_in_report_orders_trades_and_stats_out(files):
    folder, m, signal = files
    proc = run_cli("prices.parquet", "weights.parquet", "--trade-at", "open", "--stop-loss", "0.1",
                   "--rebalance", "W", "--html", "out.html", "--orders", "orders.csv",
                   "--trades", "trades.parquet", "--stats", "stats.json", cwd=folder)
    assert proc.returncode == 0, proc.stderr
    want = vostra.backtest(signal, m, trade_at="open", stop_loss=0.1, rebalance="W")
    assert "Sharpe ratio" in proc.stdout and "trades written to trades.parquet" in proc.stdout
    stats = json.loads((folder / "stats.json").read_text())
    assert stats["total_return"] == pytest.approx(want.stats["total_return"], rel=1e-14)
    trades = pd.read_parquet(folder / "trades.parquet")
    assert len(trades) == len(want.trades) > 10
    np.testing.assert_array_equal(trades["pnl"].to_numpy(), want.trades["pnl"].to_numpy())
    assert list(pd.read_csv(folder / "orders.csv").columns[1:]) == list(want.orders.columns)
    assert (folder / "out.html").read_text().lstrip().lower().startswith("<!doctype html")


def test_orders_for_the_holdings_and_cash_given(files):
    folder, m, signal = files
    want = vostra.backtest(signal, m).orders_for({}, 1e6)
    # An account of 1e6 holding the whole shares of its target weights, the
    # rest in cash: nothing to trade.
    held = np.floor(want["target_weight"] * 1e6 / want["price"])
    pd.DataFrame({"ticker": want["ticker"], "shares": held}).to_csv(folder / "held.csv", index=False)
    proc = run_cli("prices.parquet", "weights.parquet", "--holdings", "held.csv",
                   "--cash", repr(1e6 - float((held * want["price"]).sum())),
                   "--orders", "mine.csv", "--quiet", cwd=folder)
    assert proc.returncode == 0, proc.stderr
    got = pd.read_csv(folder / "mine.csv", index_col=0)
    assert got["ticker"].tolist() == want["ticker"].tolist() and (got["trade_shares"] == 0).all()
    proc = run_cli("prices.parquet", "weights.parquet", "--cash", 1e6, cwd=folder)
    assert proc.returncode == 2 and "give --orders PATH too" in proc.stderr


def test_wide_csv_files_give_the_same_run(files):
    folder, m, signal = files
    proc = run_cli("close.csv", "weights.csv", "--stats", "stats.csv", "--quiet", cwd=folder)
    assert proc.returncode == 0 and proc.stdout == "", proc.stderr
    want = vostra.backtest(signal.astype(float), m.close)
    got = pd.read_csv(folder / "stats.csv", index_col=0)["value"]
    assert got["total_return"] == pytest.approx(want.stats["total_return"], rel=1e-12)


@pytest.mark.parametrize("args, message", [
    (("missing.parquet", "weights.parquet"), "missing.parquet: no such file or directory"),
    (("weights.parquet", "prices.parquet"), "close='close'"),
    (("prices.parquet", "prices.parquet"), "a long WEIGHTS table needs the columns"),
    (("prices.parquet", "weights.parquet", "--trade-at", "mid"), "invalid choice: 'mid'"),
    (("prices.parquet", "weights.parquet", "--stop-loss", "-1"), "stop_loss must be a positive"),
    (("prices.parquet", "weights.parquet", "--orders", "orders.xlsx"), "must end in .csv"),
])
def test_errors_exit_2_with_one_line(files, args, message):
    proc = run_cli(*args, cwd=files[0])
    assert proc.returncode == 2
    assert proc.stderr.count("\n") == 1 and message in proc.stderr, proc.stderr
    assert proc.stderr.startswith("vostra backtest: error:")
