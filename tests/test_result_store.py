"""A Result pickled (to and from a process pool, joblib or Ray) and kept in a
folder with Result.save / vostra.load_result comes back as it was."""

from __future__ import annotations

import json
import pickle

import pandas as pd
import pyarrow.parquet as pq
import pytest

import vostra

pytest.importorskip("vostra._engine")


def results():
    m = vostra.synthetic_market(n_stocks=20, years=1, seed=5)
    signal = m.close.rank(axis=1, ascending=False) <= 5
    # Stops and excursion windows on the normalised account; an account in
    # currency under the market's limits, with orders still waiting.
    plain = vostra.backtest(signal, m, stop_loss=0.05, window=5, trade_at="open")
    volume = m.volume * 0.002
    account = vostra.backtest(signal, m, capital=1e6, lot_size=100, volume=volume, max_volume_share=0.1,
                              rebalance="W")
    assert account.pending is not None and len(account.pending) and len(account.fills)
    return {"plain": plain, "account": account}


@pytest.mark.parametrize("how", ["pickle", "folder"])
def test_a_result_comes_back_as_it_was(how, tmp_path):
    for name, r in results().items():
        if how == "pickle":
            back = pickle.loads(pickle.dumps(r))
        else:
            back = vostra.load_result(r.save(tmp_path / name))
        assert repr(back) == repr(r)
        pd.testing.assert_series_equal(back.stats, r.stats)
        pd.testing.assert_series_equal(back.equity, r.equity)
        pd.testing.assert_frame_equal(back.trades, r.trades)
        pd.testing.assert_frame_equal(back.operations, r.operations)
        pd.testing.assert_frame_equal(back.orders, r.orders)
        assert back.orders.attrs == r.orders.attrs
        held = {t: 300 for t in r.trades["ticker"].iloc[:3]}
        pd.testing.assert_frame_equal(back.orders_for(held, 1e5), r.orders_for(held, 1e5))
        for table in ("fills", "pending"):
            if getattr(r, table) is None:
                assert getattr(back, table) is None
            else:
                pd.testing.assert_frame_equal(getattr(back, table), getattr(r, table))
        assert back.weight_date == r.weight_date and back.start == r.start
        assert "Next-day orders" in back.report()
    # The folder is read without vostra: Parquet and strict JSON.
    folder = tmp_path / "account"
    if how == "folder":
        assert pq.read_table(folder / "trades.parquet").num_rows == len(r.trades)
        assert json.loads((folder / "stats.json").read_text())["Total return"] == pytest.approx(
            r.stats["total_return"]) if "Total return" in r.stats else True
        assert json.loads((folder / "result.json").read_text())["format"]["name"] == "vostra.result"
