"""Vendor data as it comes: timezone-aware dates, categorical tickers, column
names in any case, text tickers with leading zeros, ambiguous dates. Each
run equals the run on the clean table or stops naming the problem."""

from __future__ import annotations

import subprocess
import sys

import numpy as np
import pandas as pd
import pyarrow as pa
import pytest

import vostra
from support import child_env

pl = pytest.importorskip("polars")

FIELDS = ("open", "high", "low", "close", "volume")
ZONE = "America/New_York"


@pytest.fixture(scope="module")
def market():
    return vostra.synthetic_market(n_stocks=12, years=1, seed=8, delisting_rate=0.2)


@pytest.fixture(scope="module")
def long_table(market):
    return pd.concat({f: getattr(market, f).stack() for f in FIELDS}, axis=1).reset_index()


@pytest.fixture(scope="module")
def signal(market):
    return market.close.pct_change(10, fill_method=None).rank(axis=1, ascending=False) <= 3


def same_run(got, want):
    assert len(want.trades) > 5
    assert got.equity.to_numpy().tobytes() == want.equity.to_numpy().tobytes()
    np.testing.assert_array_equal(got.trades["pnl"].to_numpy(), want.trades["pnl"].to_numpy())


AWARE = {
    "pandas": lambda t, m, path: vostra.Market.from_long(t),
    "polars": lambda t, m, path: vostra.Market.from_long(pl.from_pandas(t)),
    "parquet": lambda t, m, path: (t.to_parquet(path / "m.parquet"), vostra.read_market(path / "m.parquet"))[1],
    "frames": lambda t, m, path: vostra.Market.from_frames(*(getattr(m, f).tz_localize(ZONE) for f in
                                                             ("close", "open", "high", "low", "volume"))),
}


@pytest.mark.parametrize("way", AWARE)
def test_timezone_aware_markets_run_and_keep_their_zone(market, long_table, signal, way, tmp_path):
    aware = AWARE[way](long_table.assign(date=long_table["date"].dt.tz_localize(ZONE)), market, tmp_path)
    assert str(aware.dates.tz) == ZONE and str(aware.delisted.dt.tz) == ZONE
    assert aware.delisted.notna().any()
    got = vostra.backtest(signal.tz_localize(ZONE), aware, trade_at="open", stop_loss=0.05)
    same_run(got, vostra.backtest(signal, market, trade_at="open", stop_loss=0.05))
    assert str(got.equity.index.tz) == ZONE and str(got.trades["entry_date"].dt.tz) == ZONE


def test_the_command_line_reads_timezone_aware_files(market, signal, tmp_path):
    market.close.tz_localize("UTC").to_csv(tmp_path / "close.csv")
    signal.astype(float).tz_localize("UTC").to_csv(tmp_path / "weights.csv")
    proc = subprocess.run([sys.executable, "-W", "error", "-m", "vostra", "backtest", "close.csv", "weights.csv",
                           "--trades", "trades.csv"], cwd=tmp_path, env=child_env(), capture_output=True,
                          text=True, timeout=120)
    assert proc.returncode == 0, proc.stderr
    trades = pd.read_csv(tmp_path / "trades.csv")
    want = vostra.backtest(signal, market)
    assert len(trades) == len(want.trades) > 5 and trades["entry_date"].str.endswith("+00:00").all()


def test_categorical_tickers_of_polars(market, long_table, signal):
    categorical = pl.col("ticker").cast(pl.Categorical)
    got = vostra.Market.from_long(pl.from_pandas(long_table).with_columns(categorical))
    pd.testing.assert_frame_equal(got.close, market.close, check_freq=False)
    weights = pl.from_pandas(signal.stack().rename("weight").reset_index()).with_columns(categorical)
    same_run(vostra.backtest(weights, got), vostra.backtest(signal, market))
