"""Data coming in: markets from long tables and files, weights in the
shapes users hold, and the messages for shapes that are refused."""

from __future__ import annotations

import numpy as np
import pandas as pd
import pyarrow as pa
import pytest

import vostra

pl = pytest.importorskip("polars")

FIELDS = ("open", "high", "low", "close")
LIBRARIES = {
    "pandas": lambda frame: frame,
    "polars": lambda frame: pl.from_pandas(frame),
    "lazy": lambda frame: pl.from_pandas(frame).lazy(),
    "arrow": lambda frame: pa.Table.from_pandas(frame, preserve_index=False),
}


@pytest.fixture(scope="module")
def market():
    return vostra.synthetic_market(n_stocks=24, years=2, seed=5, delisting_rate=0.2)


@pytest.fixture(scope="module")
def long_table(market):
    """One row per (date, ticker) with a close, in shuffled order: suspended
    days and the days after a delisting have no row."""
    fields = FIELDS + ("volume",)
    frame = pd.concat({f: getattr(market, f).stack() for f in fields}, axis=1).reset_index()
    return frame.sample(frac=1.0, random_state=3).reset_index(drop=True)


@pytest.fixture(params=[None, 997], ids=["one_piece", "pieces"])
def pieces(request, monkeypatch):
    """Tables scattered whole, or piece by piece as files are read."""
    if request.param:
        from vostra.data import long
        monkeypatch.setattr(long, "PIECE_ROWS", request.param)


def assert_same_market(got, want):
    for name in FIELDS + ("volume",):
        pd.testing.assert_frame_equal(getattr(got, name), getattr(want, name), check_freq=False)
    pd.testing.assert_series_equal(got.listed, want.listed)
    pd.testing.assert_series_equal(got.delisted, want.delisted)


@pytest.mark.parametrize("library", LIBRARIES)
def test_long_tables_of_every_library_give_the_wide_market(market, long_table, library, pieces):
    got = vostra.Market.from_long(LIBRARIES[library](long_table))
    assert_same_market(got, market)
    assert got.delisted.notna().sum() > 0 and got.close.isna().any().any()
    # ... and back: the rows with a close are the long table's rows.
    back = got.close.stack().rename("close").reset_index()
    expected = long_table.sort_values(["ticker", "date"])[["date", "ticker", "close"]]
    pd.testing.assert_frame_equal(back.sort_values(["ticker", "date"]).reset_index(drop=True),
                                  expected.reset_index(drop=True), check_dtype=False)


def test_derived_listing_dates_match_the_synthetic_market():
    m = vostra.synthetic_market(n_stocks=40, years=2, seed=2, delisting_rate=0.3)
    built = vostra.Market.from_frames(m.close[m.close.columns[::-1]], m.open, m.high, m.low)
    assert list(built.open.columns) == list(m.close.columns[::-1])   # put in the order of close
    pd.testing.assert_series_equal(built.listed.sort_index(), m.listed.sort_index())
    pd.testing.assert_series_equal(built.delisted.sort_index(), m.delisted.sort_index())
    with pytest.raises(TypeError, match="needs close prices"):
        vostra.Market(open=m.open)


def test_files_and_partitioned_datasets_read_what_was_asked(market, long_table, tmp_path):
    long_table.to_parquet(tmp_path / "m.parquet", index=False)
    long_table.to_csv(tmp_path / "m.csv", index=False)
    long_table.assign(year=long_table["date"].dt.year).to_parquet(
        tmp_path / "ds", partition_cols=["year"], index=False)
    for path in ("m.parquet", "m.csv", "ds"):
        got = vostra.read_market(tmp_path / path)
        for name in FIELDS + ("volume",):
            np.testing.assert_array_equal(getattr(got, name).to_numpy(), getattr(market, name).to_numpy())
        # The dates' unit follows the file (a CSV's are read in seconds).
        assert len(got.close.index) == len(market.close.index)
        assert (got.close.index == market.close.index).all()
    part = vostra.read_market(tmp_path / "ds", start="2014-07-01", end="2015-03-31",
                              tickers=["S0003", "S0001"], open=None)
    want = market.between("2014-07-01", "2015-03-31").close[["S0001", "S0003"]]
    pd.testing.assert_frame_equal(part.close, want, check_freq=False)
    assert part.open is None and part.volume is not None
    with pytest.raises(FileNotFoundError, match="no such file"):
        vostra.read_market(tmp_path / "missing.parquet")


def test_adjustment_scales_every_price_of_a_bar(long_table):
    table = long_table.assign(factor=np.where(long_table["date"] < "2015-01-01", 0.5, 1.0))
    raw = vostra.Market.from_long(table)
    by_factor = vostra.Market.from_long(table, adjust="factor")
    by_close = vostra.Market.from_long(table.assign(adj_close=table["close"] * table["factor"]), adjust="close")
    early = raw.close.index < "2015-01-01"
    for name in FIELDS:
        np.testing.assert_array_equal(getattr(by_factor, name)[early].to_numpy(),
                                      getattr(raw, name)[early].to_numpy() * 0.5)
        np.testing.assert_allclose(getattr(by_close, name).to_numpy(), getattr(by_factor, name).to_numpy(),
                                   rtol=1e-15)
    pd.testing.assert_frame_equal(by_factor.volume, raw.volume)
    with pytest.raises(ValueError, match="factor must be positive"):
        vostra.Market.from_long(table.assign(factor=0.0), adjust="factor")


@pytest.mark.parametrize("change, message", [
    (lambda t: pd.concat([t, t.iloc[[7]]]), r"rows 7 and 1\d{4} are both \(.*S00\d\d'\); keep one row"),
    (lambda t: pd.concat([t.iloc[:5], t.iloc[[3]], t.iloc[5:]]), r"rows 3 and 5 are both"),
    (lambda t: t.assign(date=t["date"].dt.strftime("%Y-%m-%d").where(t.index != 4, "31/02/2015")),
     r"1 row\(s\) have a date that is not a date: rows 4 \('31/02/2015'\)"),
    (lambda t: t.assign(close=t["close"].astype(object).where(t.index != 9, "n.a.")),
     r"close is not a number in 1 row\(s\): row 9 \(\d{4}-\d\d-\d\d, 'S00\d\d'\): 'n.a.'"),
    (lambda t: t.assign(date=t["date"].astype("int64") // 10**9), "holds numbers .* not dates"),
    (lambda t: t.assign(ticker=t["ticker"].where(t.index != 2, None)), r"ticker is missing in 1 row\(s\): rows 2"),
    (lambda t: t.rename(columns={"close": "price"}), r"no column for close='close'; its columns are"),
    # Not one column found: the message lists the table's own.
    (lambda t: t.add_prefix("x_"), r"no column for date='date', ticker='ticker', close='close'; its columns are "
                                   r"'x_date', 'x_ticker'"),
])
def test_broken_long_tables_are_refused_naming_rows(long_table, change, message, pieces):
    with pytest.raises((ValueError, TypeError), match=message):
        vostra.Market.from_long(change(long_table))


@pytest.fixture(scope="module")
def signals(market):
    momentum = market.close.ffill().pct_change(21, fill_method=None)
    mask = momentum.rank(axis=1, ascending=False) <= 5
    weights = mask * np.random.default_rng(1).uniform(0.2, 1.0, mask.shape)
    return mask, weights.where(mask)


WEIGHT_SHAPES = {
    "series": lambda w: w.stack(),
    "long": lambda w: w.stack().rename("weight").reset_index(),
    "polars": lambda w: pl.from_pandas(w.stack().rename("weight").reset_index()),
    "arrow": lambda w: pa.Table.from_pandas(w.stack().rename("weight").reset_index(), preserve_index=False),
    "dict": lambda w: {date: row.dropna() for date, row in w.iterrows()},
}


@pytest.mark.parametrize("kind", ["float", "bool"])
@pytest.mark.parametrize("shape", WEIGHT_SHAPES)
def test_every_weight_shape_gives_the_bits_of_the_wide_frame(market, signals, shape, kind):
    wide = signals[0] if kind == "bool" else signals[1]
    options = dict(trade_at="open", stop_loss=0.08, delisting=None)
    want = vostra.backtest(wide, market.close, market.open, market.high, market.low, **options)
    got = vostra.backtest(WEIGHT_SHAPES[shape](wide), market, **options)
    assert len(want.trades) > 20
    assert got.equity.to_numpy().tobytes() == want.equity.to_numpy().tobytes()
    pd.testing.assert_frame_equal(got.trades, want.trades)


def test_refused_shapes_name_the_way_in(market, long_table):
    cases = [
        (lambda: vostra.backtest(market.close > 0, long_table.set_index("date")),
         "close looks like a long table .* Market.from_long"),
        (lambda: vostra.backtest(market.close > 0, long_table.set_index(["date", "ticker"])[["close"]]),
         "index has 2 levels.*read_market"),
        (lambda: vostra.backtest(market.close > 0, pl.from_pandas(long_table)),
         "got polars.DataFrame; build a vostra.Market with Market.from_long"),
        (lambda: vostra.backtest(market.close > 0, market.close.reset_index(drop=True)),
         "got RangeIndex; a wide frame has one row per date"),
        (lambda: vostra.backtest(market.close.iloc[-1] > 0, market),
         "one row of weights has no date.*dict of date -> Series"),
        (lambda: vostra.backtest(long_table[["date", "ticker", "close"]].set_index("date"), market),
         "weights looks like a long table.*date, ticker and weight columns"),
    ]
    for call, message in cases:
        with pytest.raises((TypeError, ValueError), match=message):
            call()
    # Date text in the index is the one case where converting it is the fix.
    text = market.close.set_axis(market.close.index.strftime("%Y-%m-%d"))
    with pytest.raises(TypeError, match=r"close.index = pd.to_datetime\(close.index\)"):
        vostra.backtest(market.close > 0, text)
