"""Vendor data as it comes: timezone-aware dates, categorical tickers, column
names in any case, text tickers with leading zeros, ambiguous dates. Each
run equals the run on the clean table or stops naming the problem."""

from __future__ import annotations

import re
import subprocess
import sys
import tempfile
import warnings
from pathlib import Path

import numpy as np
import pandas as pd
import pyarrow as pa
import pyarrow.parquet as pq
import pytest
from hypothesis import HealthCheck, given, settings, strategies as st

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


def _zero_padded(table):
    """The table with tickers such as '0050' and '000001'."""
    codes = {t: f"{i:04d}" if i % 2 else f"{i:06d}" for i, t in enumerate(sorted(table["ticker"].unique()))}
    return table.assign(ticker=table["ticker"].map(codes)), codes


def _split_files(table, path, drop):
    """A folder of two Parquet files, the first without the columns ``drop``."""
    path.mkdir()
    first = table["ticker"].isin(sorted(table["ticker"].unique())[:3])
    table[first].drop(columns=list(drop)).to_parquet(path / "a.parquet", index=False)
    table[~first].to_parquet(path / "b.parquet", index=False)
    return first


def _short_day_first(table, path):
    """A CSV of the first twelve days of a month, dates written day first."""
    days = table[table["date"] < table["date"].min() + pd.Timedelta(days=12)]
    days.assign(date=days["date"].dt.strftime("%d/%m/%Y")).to_csv(path / "m.csv", index=False)
    return days


def trap_case(name, table, market, path):
    """(what the vendor's table reads as, the clean market it must equal,
    the warning it must draw or None)."""
    if name == "column names in other cases":
        vendor = table.rename(columns=str.title).rename(columns={"Ticker": "Symbol"}).assign(Exchange="XTAI")
        return vostra.Market.from_long(vendor, date="Date", ticker="Symbol", close="Close"), market, None
    if name == "adjusted close not asked for":
        got = vostra.Market.from_long(table.assign(**{"Adj Close": table["close"] * 0.5}))
        return got, market, "adjusted close column 'Adj Close' that is not read.*adjust='close'"
    if name == "misspelled ticker":
        table.to_parquet(path / "m.parquet")
        got = vostra.read_market(path / "m.parquet", tickers=["S0001", "S001", "S0003"])
        return got, market.between(None, None), r"no rows for 1 of the tickers asked for: 'S001'"
    if name in ("leading zeros in a CSV", "leading zeros in folders"):
        padded, codes = _zero_padded(table)
        if name == "leading zeros in a CSV":
            padded.to_csv(path / "m.csv", index=False)
            got = vostra.read_market(path / "m.csv")
        else:
            padded.to_parquet(path / "ds", partition_cols=["ticker"], index=False)
            got = vostra.read_market(path / "ds")
        return got, vostra.Market.from_long(padded), None
    if name == "files with other columns":
        first = _split_files(table, path / "ds", ["open", "high", "low"])
        want = vostra.Market.from_long(table.assign(**{f: table[f].where(~first) for f in ("open", "high", "low")}))
        return vostra.read_market(path / "ds"), want, r"1 of 2 files have no column 'open', 'high', 'low'"
    if name == "day-first dates with a format":
        days = _short_day_first(table, path)
        return vostra.read_market(path / "m.csv", date_format="%d/%m/%Y"), vostra.Market.from_long(days), None
    if name == "integer dates":
        return vostra.Market.from_long(table.assign(date=table["date"].dt.strftime("%Y%m%d").astype(int))), \
            market, None
    if name == "tickers as UTF-8 bytes":
        data = pa.Table.from_pandas(table, preserve_index=False)
        at = data.schema.get_field_index("ticker")
        data = data.set_column(at, "ticker", data.column(at).cast(pa.binary()))
        return vostra.Market.from_long(data), market, None
    raise AssertionError(name)


TRAPS = ["column names in other cases", "adjusted close not asked for", "misspelled ticker",
         "leading zeros in a CSV", "leading zeros in folders", "files with other columns",
         "day-first dates with a format", "integer dates", "tickers as UTF-8 bytes"]


@pytest.mark.parametrize("name", TRAPS)
def test_vendor_tables_read_as_the_clean_one_or_warn(market, long_table, name, tmp_path):
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        got, want, warned = trap_case(name, long_table, market, tmp_path)
    messages = [str(w.message) for w in caught]
    if warned is None:
        assert messages == []
    else:
        assert len(messages) == 1 and re.search(warned, messages[0]), messages
    for field in FIELDS:
        frame = getattr(want, field)
        if name == "misspelled ticker":
            frame = frame[["S0001", "S0003"]]
        pd.testing.assert_frame_equal(getattr(got, field), frame, check_freq=False, check_index_type=False)


REFUSED = {
    "ambiguous day-first dates": (lambda t, p: (_short_day_first(t, p), vostra.read_market(p / "m.csv")),
                                  r"read both day first and month first \('\d\d/01/\d{4}' is .*date_format="
                                  r"'%d/%m/%Y'"),
    "files that disagree on a type": (
        lambda t, p: (_split_files(t.assign(close=t["close"].astype(str).where(t["ticker"] < "S0003", t["close"])),
                                   p / "ds", []), vostra.read_market(p / "ds")),
        "its files give a column different types .*close"),
    "dates as seconds": (lambda t, p: vostra.Market.from_long(t.assign(date=t["date"].astype("int64") // 10**9)),
                         "holds numbers .* not all of them read as YYYYMMDD"),
    "tickers as lists": (lambda t, p: vostra.Market.from_long(_with_tickers(t, [[x] for x in t["ticker"]])),
                         r"the ticker column 'ticker' holds list<.*>, not tickers"),
    "tickers as half floats": (lambda t, p: vostra.read_market(_parquet(
        _with_tickers(t, np.arange(len(t)).astype(np.float16)), p)), r"m.parquet: the ticker column 'ticker' holds "
                                                                       r"halffloat"),
    "dates beyond 2262": (lambda t, p: vostra.read_market(_parquet(t.assign(date=t["date"].dt.date.map(
        lambda d: d.replace(year=d.year + 300))), p)), r"the date column 'date' has dates outside 1677-09-22 .. "
                                                       r"2262-04-11 \(23\d\d-"),
    "text dates before 1677": (lambda t, p: (t.assign(date=t["date"].dt.strftime("16%y-%m-%d")).to_csv(
        p / "m.csv", index=False), vostra.read_market(p / "m.csv")), r"dates outside 1677-09-22 .. 2262-04-11"),
    "tickers not UTF-8": (lambda t, p: ((p / "m.csv").write_bytes(t.to_csv(index=False).encode() + b"2014-01-02,\xe9,1,1,1,"
                                                                  b"1,1\n"), vostra.read_market(p / "m.csv")),
                          r"m.csv: the column 'ticker' holds text that is not UTF-8 \(line \d+\)"),
    "no dates from start to end": (lambda t, p: vostra.Market.from_long(t).between("2030-01-01"),
                                   r"no dates from 2030-01-01 to its last \(its dates run from 2014"),
}


def _with_tickers(table, tickers):
    data = pa.Table.from_pandas(table, preserve_index=False)
    return data.set_column(data.schema.get_field_index("ticker"), "ticker", pa.array(tickers))


def _parquet(table, path):
    data = table if isinstance(table, pa.Table) else pa.Table.from_pandas(table, preserve_index=False)
    pq.write_table(data, path / "m.parquet")
    return path / "m.parquet"


@pytest.mark.parametrize("name", REFUSED)
def test_vendor_tables_that_cannot_be_read_right_are_refused(long_table, name, tmp_path):
    build, message = REFUSED[name]
    with pytest.raises((ValueError, TypeError), match=message) as refused:
        build(long_table, tmp_path)
    assert "\n" not in str(refused.value)


def test_the_command_line_reads_integer_dates_of_a_wide_file(market, signal, tmp_path):
    close = market.close.set_axis(market.close.index.strftime("%Y%m%d").astype(int))
    close.rename_axis("date").to_csv(tmp_path / "close.csv")
    signal.astype(float).to_csv(tmp_path / "weights.csv")
    proc = subprocess.run([sys.executable, "-W", "error", "-m", "vostra", "backtest", "close.csv", "weights.csv",
                           "--trades", "trades.csv"], cwd=tmp_path, env=child_env(), capture_output=True,
                          text=True, timeout=120)
    assert proc.returncode == 0, proc.stderr
    trades = pd.read_csv(tmp_path / "trades.csv", parse_dates=["entry_date"])
    want = vostra.backtest(signal, market)
    assert len(trades) == len(want.trades) > 5
    assert (trades["entry_date"].to_numpy() == want.trades["entry_date"].to_numpy()).all()


def test_weight_rows_in_per_cent_warn(market, signal):
    with pytest.warns(UserWarning, match=r"add up to far more than the leverage \(30 on .*per cent"):
        got = vostra.backtest(signal * 10.0, market)
    np.testing.assert_allclose(got.equity, vostra.backtest(signal, market).equity, rtol=1e-12)
    # Scores that the rows' scaling makes weights do not warn, nor a 0/1 mask as floats.
    vostra.backtest(signal * np.linspace(0.2, 0.9, signal.shape[1]), market)
    vostra.backtest(signal.astype(float), market)


# --- Random vendor tables ------------------------------------------------------

@pytest.fixture(scope="module")
def small():
    m = vostra.synthetic_market(n_stocks=6, years=1, seed=3, delisting_rate=0.0)
    m = m.between(None, m.dates[79])
    table = pd.concat({f: getattr(m, f).stack() for f in FIELDS}, axis=1).reset_index()
    signal = m.close.pct_change(5, fill_method=None).rank(axis=1, ascending=False) <= 2
    options = dict(trade_at="open", stop_loss=0.04, intrabar=True)
    return table, signal, options, vostra.backtest(signal, m, **options)


def _vendor_dates(table, kind, zone):
    if kind == "aware":
        return table.assign(date=table["date"].dt.tz_localize(zone))
    if kind == "iso text":
        return table.assign(date=table["date"].dt.strftime("%Y-%m-%d"))
    if kind == "day-first text":
        return table.assign(date=table["date"].dt.strftime("%d/%m/%Y"))
    if kind == "integers":
        return table.assign(date=table["date"].dt.strftime("%Y%m%d").astype(int))
    return table


def _vendor_read(table, container, path, names):
    """The market of a vendor table, through ``container``."""
    keywords = dict(date=names["date"], ticker=names["ticker"], close=names["close"])
    if container == "pandas":
        return vostra.Market.from_long(table, **keywords)
    if container in ("polars", "arrow"):
        arrow = pa.Table.from_pandas(table, preserve_index=False)
        kind = arrow.schema.field(names["date"]).type
        if pa.types.is_timestamp(kind) and kind.tz is None:   # dates as date32
            arrow = arrow.set_column(arrow.schema.get_field_index(names["date"]), names["date"],
                                     arrow.column(names["date"]).cast(pa.date32()))
        return vostra.Market.from_long(arrow if container == "arrow" else pl.from_arrow(arrow), **keywords)
    if container == "csv":
        table.to_csv(path / "m.csv", index=False)
        return vostra.read_market(path / "m.csv", **keywords)
    if container == "parquet":
        table.to_parquet(path / "m.parquet", index=False)
        return vostra.read_market(path / "m.parquet", **keywords)
    # A folder of files that differ in their columns.
    (path / "ds").mkdir()
    tickers = table[names["ticker"]].astype(str)
    first = tickers.isin(sorted(tickers.unique())[:2])
    table[first].drop(columns=[names["volume"]]).assign(vwap=1.0).to_parquet(path / "ds" / "a.parquet", index=False)
    table[~first].to_parquet(path / "ds" / "b.parquet", index=False)
    return vostra.read_market(path / "ds", **keywords)


@settings(max_examples=40, deadline=None,
          suppress_health_check=[HealthCheck.too_slow, HealthCheck.function_scoped_fixture])
@given(case=st.sampled_from([str.lower, str.upper, str.title]), extra=st.booleans(), adjusted=st.booleans(),
       dates=st.sampled_from(["naive", "aware", "iso text", "day-first text", "integers"]),
       zone=st.sampled_from(["UTC", "America/New_York", "Asia/Taipei"]),
       tickers=st.sampled_from(["text", "zero-padded", "categorical"]),
       container=st.sampled_from(["pandas", "polars", "arrow", "csv", "parquet", "files"]))
def test_random_vendor_tables_run_as_the_clean_one(small, case, extra, adjusted, dates, zone, tickers, container):
    table, signal, options, want = small
    codes = {t: t for t in signal.columns}
    if tickers == "zero-padded":
        codes = {t: f"{i:05d}" for i, t in enumerate(signal.columns)}
    vendor = _vendor_dates(table.assign(ticker=table["ticker"].map(codes)), dates, zone)
    if tickers == "categorical":
        vendor = vendor.assign(ticker=vendor["ticker"].astype("category"))
    if extra:
        vendor = vendor.assign(exchange="XNYS", vwap=vendor["close"])
    if adjusted:
        vendor = vendor.assign(adj_close=vendor["close"] * 0.5)
    vendor = vendor.rename(columns=case)
    names = {c.lower(): c for c in vendor.columns}
    weights = signal.rename(columns=codes)
    if dates == "aware":
        weights = weights.tz_localize(zone)
    with tempfile.TemporaryDirectory() as folder, warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        market = _vendor_read(vendor, container, Path(folder), names)
    messages = " | ".join(str(w.message) for w in caught)
    assert ("adjusted close column" in messages) == adjusted, messages
    assert ("have no column" in messages) == (container == "files"), messages
    assert len(caught) == adjusted + (container == "files"), messages
    got = vostra.backtest(weights, market, **options)
    assert got.equity.to_numpy().tobytes() == want.equity.to_numpy().tobytes()
    assert [codes[t] for t in want.trades["ticker"]] == [str(t) for t in got.trades["ticker"]]
