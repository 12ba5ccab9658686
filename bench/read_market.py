"""vostra.read_market against pandas.read_parquet + pivot on a long Parquet file.

    python bench/read_market.py            # 2000 tickers x 2520 bars (~4.5 M rows), about a minute
    python bench/read_market.py --quick    # 300 x 500 (smoke run, not comparable with the targets)

The file is generated into a temporary folder: one row per (date, ticker)
with a price (about 11 % of the cells have none: suspensions and late
listings), columns date (timestamp), ticker (text), open, high, low, close,
volume, sorted by date then ticker as a daily download appends them.

Rows:
- time: read_market(path) against pd.read_parquet(path) followed by
  frame.pivot(index="date", columns="ticker", values=f) for each of the five
  fields, measured in alternation in this process (median of the pairs);
  targets: at most 0.25x.
- peak extra memory of each, measured in a fresh child process (the
  resident high-water mark during the call minus the resident size before
  it, as bench/measure.py does), against the size of the five final float64
  matrices; target for read_market: at most 3x.
The two are first checked to give the same matrices.
"""

from __future__ import annotations

import argparse
import json
import os
import subprocess
import sys
import tempfile

import numpy as np
import pandas as pd
import pyarrow as pa
import pyarrow.parquet as pq

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
sys.path.insert(1, os.path.join(os.path.dirname(HERE), "src"))

from measure import RssPeak, interleaved  # noqa: E402

import vostra  # noqa: E402

FIELDS = ("open", "high", "low", "close", "volume")


def write_file(path: str, tickers: int, bars: int, seed: int = 0) -> int:
    rng = np.random.default_rng(seed)
    dates = pd.bdate_range("2010-01-04", periods=bars).values
    names = np.array([f"T{i:04d}" for i in range(tickers)])
    has = rng.random((bars, tickers)) > 0.08
    has[: bars // 4, : tickers // 10] = False            # late listings
    row, col = np.nonzero(has)                          # date-major: sorted by date, ticker
    n = len(row)
    close = np.exp(rng.normal(4.0, 0.5, n))
    table = pa.table({
        "date": pa.array(dates[row]), "ticker": pa.array(names[col]),
        "open": close * rng.uniform(0.98, 1.02, n), "high": close * 1.03, "low": close * 0.97,
        "close": close, "volume": np.round(rng.lognormal(12, 1, n)),
    })
    pq.write_table(table, path)
    return n


def with_pandas(path: str) -> dict[str, pd.DataFrame]:
    frame = pd.read_parquet(path)
    return {f: frame.pivot(index="date", columns="ticker", values=f) for f in FIELDS}


def with_vostra(path: str) -> vostra.Market:
    return vostra.read_market(path)


def child(method: str, path: str) -> None:
    """Peak extra resident memory of one call, printed as JSON."""
    call = with_vostra if method == "vostra" else with_pandas
    with RssPeak() as peak:
        out = call(path)
    del out
    print(json.dumps({"rss_peak_extra_bytes": peak.extra}))


def peak_in_child(method: str, path: str) -> int:
    proc = subprocess.run([sys.executable, __file__, "--child", method, path],
                          capture_output=True, text=True, check=True)
    return json.loads(proc.stdout.strip().splitlines()[-1])["rss_peak_extra_bytes"]


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true")
    parser.add_argument("--pairs", type=int, default=3)
    parser.add_argument("--child", nargs=2, metavar=("METHOD", "PATH"), help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.child:
        child(*args.child)
        return 0
    tickers, bars = (300, 500) if args.quick else (2000, 2520)
    with tempfile.TemporaryDirectory() as folder:
        path = os.path.join(folder, "market.parquet")
        rows = write_file(path, tickers, bars)
        print(f"long Parquet file: {tickers} tickers x {bars} bars, {rows} rows, "
              f"{os.path.getsize(path) / 1e6:.0f} MB")
        market, frames = with_vostra(path), with_pandas(path)
        for f in FIELDS:       # the same matrices, bit for bit
            want = frames[f]
            got = getattr(market, f)
            assert got.columns.equals(want.columns.rename("ticker")) and got.index.equals(want.index)
            assert np.array_equal(got.to_numpy(), want.to_numpy(), equal_nan=True), f
        matrices = 8 * len(FIELDS) * bars * tickers
        del market, frames
        ours, theirs = interleaved(lambda: with_vostra(path), lambda: with_pandas(path), args.pairs)
        print(f"time      read_market {ours:.2f} s   read_parquet + pivot {theirs:.2f} s   "
              f"ratio {ours / theirs:.3f}x (target <= 0.25x)")
        mine, pandas_peak = peak_in_child("vostra", path), peak_in_child("pandas", path)
        print(f"memory    final matrices {matrices / 1e6:.0f} MB; peak extra: read_market "
              f"{mine / 1e6:.0f} MB = {mine / matrices:.2f}x (target <= 3x), read_parquet + pivot "
              f"{pandas_peak / 1e6:.0f} MB = {pandas_peak / matrices:.2f}x")
    return 0


if __name__ == "__main__":
    sys.exit(main())
