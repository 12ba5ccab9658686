"""Next-day orders: drifted weights, the trigger prices against the engine's
own exits, and the sizing of orders for a trader's account."""

from __future__ import annotations

import numpy as np
import pandas as pd
import pytest

import vostra
from vostra.results.orders import Costs, size_orders

pytest.importorskip("vostra._engine")

DAYS = pd.bdate_range("2022-03-01", periods=8)


def one_stock(path, weight, *, extra=None):
    """One stock traded at the open, entered on the second bar with
    ``weight``; open = close on every bar of ``path``, then the bars of
    ``extra`` as (open, high, low, close)."""
    bars = [(p, p, p, p) for p in path] + list(extra or [])
    o, h, lo, c = (pd.DataFrame({"A": [b[k] for b in bars]}, index=DAYS[:len(bars)]) for k in range(4))
    weights = pd.DataFrame({"A": [weight]}, index=DAYS[:1])
    return weights, c, o, h, lo


def run(path, weight, rules, intrabar, extra=None):
    weights, c, o, h, lo = one_stock(path, weight, extra=extra)
    return vostra.backtest(weights, c, o, h, lo, trade_at="open", rebalance=None, fee=0, tax=0,
                           intrabar=intrabar, **rules)


# The paths leave a long at 110 after a best of 112 and a short at 90 after
# a low of 88, so that a 4 % trailing stop activated at 5 % is armed.
PATHS = {1.0: [100, 100, 106, 112, 110], -1.0: [100, 100, 95, 88, 90]}
RULES = {
    "stop_price": ({"stop_loss": 0.2}, "stop_loss"),
    "take_profit_price": ({"take_profit": 0.3}, "take_profit"),
    "trail_price": ({"trail_stop": 0.04, "trail_activation": 0.05}, "trail_stop"),
}


@pytest.mark.parametrize("intrabar", [False, True], ids=["close_mode", "intrabar"])
@pytest.mark.parametrize("weight", [1.0, -1.0], ids=["long", "short"])
@pytest.mark.parametrize("column", list(RULES))
def test_a_trigger_price_fed_back_exits_and_a_cent_inside_does_not(column, weight, intrabar):
    rules, reason = RULES[column]
    path = PATHS[weight]
    orders = run(path, weight, rules, intrabar).orders
    assert list(orders["action"]) == ["hold"]
    price = orders[column].iloc[0]
    others = [c for c in RULES if c != column]
    assert np.isfinite(price) and orders[others].isna().all(axis=None)
    last = path[-1]
    upper = price > last

    def exits_at(level):
        # The next bar opens where the last one closed; only its high or low
        # (intrabar) or its close (close mode) reaches the level. A close-mode
        # mark is sold on the bar after.
        close = level if not intrabar else last
        bar = (last, max(last, level), min(last, level), close)
        trades = run(path, weight, rules, intrabar, extra=[bar, (close, close, close, close)]).trades
        return trades["exit_reason"].iloc[0]

    assert exits_at(price) == reason
    assert exits_at(price - 0.01 if upper else price + 0.01) == "open"


def test_a_day_without_rebalance_holds_every_position_at_its_drifted_weight():
    m = vostra.synthetic_market(n_stocks=40, years=1, seed=3)
    close = m.close.loc[:"2014-06-17"]  # mid-June: the next rebalance is at the month's end
    signal = close.rank(axis=1, ascending=False) <= 6
    result = vostra.backtest(signal, close, rebalance="M", fee=0, tax=0, split_trades=True)
    orders = result.orders
    open_trades = result.trades[result.trades["exit_reason"] == "open"]
    assert len(orders) == len(open_trades) > 0 and (orders["action"] == "hold").all()
    assert not orders.attrs["rebalance_due"] and orders.attrs["next_rebalance"] == pd.Timestamp("2014-06-30")
    # Trading at the close, the shares bought are the target value over the
    # entry price; their value at the last close over the equity is the weight.
    equity = result.equity
    shares = open_trades["weight"] * equity.iloc[open_trades["entry_bar"]].to_numpy() / open_trades["entry_price"]
    last_close = close.ffill().iloc[-1][open_trades["ticker"]].to_numpy()
    expected = (shares * last_close / equity.iloc[-1]).to_numpy()
    assert orders["current_weight"].to_numpy() == pytest.approx(expected, rel=1e-12)
    assert (orders["target_weight"] == orders["current_weight"]).all()
    assert "No rebalance due on the next bar; next scheduled: decided on 2014-06-30" in repr(orders)


def test_size_orders_sells_first_and_cuts_purchases_by_lots_to_the_cash():
    costs = Costs(fee=0.001, min_fee=20.0)
    # 10,000 at 10 a share buys 1000 shares, but not with the minimum fee:
    # cut by a lot of 100, 900 shares cost 9,000 + 20.
    one = size_orders(np.zeros(1), np.array([1.0]), np.array([10.0]), 10_000, 10_000, np.array([100]), costs)
    assert one["trade_shares"].tolist() == [900.0] and one["est_cost"].tolist() == [20.0] and one["cut"][0]
    # With no cash the sale of B pays for A: 500 x 10 less its 20 fee and
    # 50 tax leaves 4,930, which buys 400 shares with their fee.
    two = size_orders(np.array([0.0, 500.0]), np.array([1.0, 0.0]), np.array([10.0, 10.0]), 5_000, 0.0,
                      np.array([100, 100]), Costs(min_fee=20.0, tax=0.01))
    assert two["trade_shares"].tolist() == [400.0, -500.0]
    assert two["est_cost"].tolist() == [20.0, 20.0 + 50.0]
    # Without lots the cash buys what it pays for to the cent.
    frac = size_orders(np.zeros(1), np.array([1.0]), np.array([10.0]), 1_000, 1_000, None, Costs(fee=0.01))
    assert frac["trade_shares"][0] == pytest.approx(1_000 / 10.1) and frac["cut"][0]


@pytest.mark.parametrize("lot_size, leverage", [(1, 1.0), (100, 1.0), (100, 1.6)])
def test_on_a_rebalance_day_the_orders_are_the_trades_the_engine_makes_next(lot_size, leverage):
    m = vostra.synthetic_market(n_stocks=40, years=1, seed=4, suspensions=0, delisting_rate=0, listing_rate=0)
    m = m.between(None, "2014-09-30")
    rank = m.close.rank(axis=1, ascending=False)
    # At a leverage of 1.6 a 130/30 book: six longs and three shorts.
    signal = (rank <= 6) * (1.3 / 6) - (rank > 37) * 0.1 if leverage > 1 else rank <= 6
    options = dict(trade_at="open", rebalance="M", capital=1_000_000, lot_size=lot_size, min_fee=20,
                   slippage=0.001, leverage=leverage)
    orders = vostra.backtest(signal, m, **options).orders
    assert orders.attrs["rebalance_due"] and {"buy", "sell"} <= set(orders["action"])
    assert orders["target_weight"].abs().sum() == pytest.approx(1.6 if leverage > 1 else 1.0)
    # Whole shares leave no slack: the last purchase is cut to the cash.
    assert (orders["target_shares"] * orders["price"] < orders["target_weight"] * orders.attrs["equity"]
            - orders["price"] * lot_size).any() == (lot_size == 1)
    assert (orders["current_shares"] + orders["trade_shares"] == orders["target_shares"]).all()
    # The next bar opens at the last close: the engine's rebalance there
    # trades at the prices the orders were sized at.
    last = m.close.iloc[[-1]].set_axis([m.close.index[-1] + pd.offsets.BDay()])
    longer = [pd.concat([frame, last]) for frame in (m.close, m.open, m.high, m.low)]
    after = vostra.backtest(signal, *longer, **options).shares
    held = orders[orders["target_shares"] != 0]
    assert after[after != 0].to_dict() == dict(zip(held["ticker"], held["target_shares"]))
    assert len(held) == (9 if leverage > 1 else 6)


def test_orders_for_an_account_buys_whole_lots_within_the_cash_and_then_nothing():
    m = vostra.synthetic_market(n_stocks=40, years=1, seed=3)
    signal = m.close.rank(axis=1, ascending=False) <= 6
    result = vostra.backtest(signal, m.close, m.open, m.high, m.low, trade_at="open", stop_loss=0.1)
    first = result.orders_for({}, 1_000_000, lot_size=100, slippage=0.001)
    assert len(first) and (first["trade_shares"] % 100 == 0).all() and (first["action"] == "buy").all()
    spent = float((first["trade_value"] + first["est_cost"]).sum())
    assert 0 < spent <= 1_000_000 and first["est_cost"].gt(0).all()
    assert first.attrs["equity"] == 1_000_000 and first.attrs["account"] == "given"
    # An account of the same value holding its whole lots of the target
    # weights, the rest in cash, has nothing to trade.
    held = np.floor(first["target_weight"] * 1_000_000 / first["price"] / 100) * 100
    again = result.orders_for(pd.Series(held.to_numpy(), index=first["ticker"]),
                              1_000_000 - float((held * first["price"]).sum()), lot_size=100, slippage=0.001)
    assert (again["trade_shares"] == 0).all() and (again["action"] == "hold").all()
    assert again["target_shares"].tolist() == held.tolist()


def test_orders_for_refuses_what_it_cannot_price():
    m = vostra.synthetic_market(n_stocks=10, years=1, seed=3)
    result = vostra.backtest(m.close.rank(axis=1) <= 3, m.close)
    with pytest.raises(ValueError, match="no close prices for \\['XYZ'\\]"):
        result.orders_for({"XYZ": 100}, 1000)
    with pytest.raises(ValueError, match="finite"):
        result.orders_for({}, float("nan"))
    # A short worth more than the cash leaves nothing to invest: it is covered.
    short = result.orders_for({"S0001": -1000}, 10.0)
    assert short.attrs["equity"] < 0 and short["target_shares"].eq(0).all()
    assert short.set_index("ticker").loc["S0001", "action"] == "buy to cover"
    with pytest.raises(ValueError, match="lot sizes must be whole"):
        result.orders_for({}, 1000, lot_size=0.5)


def test_orders_still_waiting_go_on_in_the_orders_unless_a_rebalance_replaces_them():
    days = pd.bdate_range("2022-03-01", periods=9)
    close = pd.DataFrame({"A": [10.0] * 9, "B": [20.0] * 6 + [17.0, 15.3, 13.77]}, index=days)
    volume = pd.DataFrame({"A": 1000.0, "B": 1e9}, index=days)
    options = dict(rebalance=None, fee=0, tax=0, capital=1e6, lot_size=1, volume=volume, max_volume_share=0.1,
                   price_limit=0.1, stop_loss=0.1)
    weights = pd.DataFrame({"A": [0.5], "B": [0.5]}, index=days[:1])
    r = vostra.backtest(weights, close, **options)
    # A's purchase fills 100 shares a bar; B's stop marked on the 7th bar
    # meets two bars locked at the limit.
    orders = r.orders.set_index("ticker")
    pending = r.pending.set_index("ticker")["remaining"]
    assert not orders.attrs["rebalance_due"] and orders["waiting_shares"].to_dict() == pending.to_dict()
    assert orders["action"].to_dict() == {"A": "buy (waiting order)", "B": "sell (stop loss, waiting)"}
    # One more bar with volume to spare and no limit reached: the engine
    # fills what the orders say.
    more = days[-1] + pd.offsets.BDay()
    longer = pd.concat([close, pd.DataFrame({"A": [10.0], "B": [13.0]}, index=[more])])
    options["volume"] = pd.concat([volume, pd.DataFrame({"A": 1e9, "B": 1e9}, index=[more])])
    after = vostra.backtest(weights, longer, **options).shares
    assert after.to_dict() == orders["target_shares"].to_dict()
    # A rebalance due on the next bar (a row that changes the weights; one
    # that repeats them is none) replaces them: the orders trade to its
    # weights (the stopped B sits it out).
    again = vostra.backtest(pd.concat([weights, weights.set_axis(days[-1:])]), close, **options).orders
    assert not again.attrs["rebalance_due"]
    new = pd.DataFrame({"A": [0.6], "B": [0.4]}, index=days[-1:])
    due = vostra.backtest(pd.concat([weights, new]), close, **options).orders
    due = due.set_index("ticker")
    assert due.attrs["rebalance_due"] and due["waiting_shares"].to_dict() == pending.to_dict()
    assert due["action"].to_dict() == {"A": "buy", "B": "sell"} and due.loc["B", "target_shares"] == 0


def test_a_missing_last_row_is_kept_and_flagged_and_only_a_stated_delisting_sells():
    days = pd.bdate_range("2024-01-01", periods=30)
    rng = np.random.default_rng(0)
    close = pd.DataFrame(100 * np.cumprod(1 + 0.01 * rng.standard_normal((30, 3)), axis=0), index=days,
                         columns=["A", "B", "C"])
    close.iloc[-1, 1] = np.nan                         # B has no row on the last date
    weights = pd.DataFrame(1 / 3, index=days, columns=close.columns)
    options = dict(rebalance=None, capital=1e6, lot_size=1)   # a rebalance is due on the next bar
    r = vostra.backtest(weights, close, **options)
    # The run holds B at its last close, as in a suspension: no delisting.
    def last_exit(result):
        return result.trades.loc[result.trades["ticker"] == "B", "exit_reason"].iloc[-1]

    assert last_exit(r) == "open" and r.shares["B"] > 0
    with pytest.warns(UserWarning, match="no close on the last bar for 'B'") as caught:
        orders = r.orders.set_index("ticker")
        mine = r.orders_for({"A": 3000, "B": 3000, "C": 3000}, 0.0).set_index("ticker")
    assert len(caught) == 2
    for table, held in ((orders, r.shares["B"]), (mine, 3000)):
        assert table.loc["B", "action"] == "hold (no price on the last bar)"
        assert table.loc["B", "status"] == "no price on the last bar"
        assert (table.loc["B", ["current_shares", "target_shares", "trade_shares"]] == [held, held, 0]).all()
        assert (table.loc[["A", "C"], "status"] == "ok").all()
    with pytest.warns(UserWarning, match="'B'"):
        kept = vostra.backtest(weights, close, **options, delisting=None).orders
    assert kept.loc[1, "action"] == "hold (no price on the last bar)"
    # A delisting the caller states is acted on: the run sells B by its date
    # and the orders neither hold nor buy it back.
    for stated in (dict(delisting={"B": days[-1]}),
                   dict(close=vostra.Market(close=close, delisted=pd.Series({"B": days[-2]})))):
        with pytest.warns(UserWarning, match="after their prices end"):
            run = vostra.backtest(weights, **{"close": close, **options, **stated})
        assert run.shares["B"] == 0 and "B" not in set(run.orders["ticker"])
        sold = run.orders_for({"B": 3000}, 0.0).set_index("ticker").loc["B"]
        assert sold["action"] == "sell" and sold["trade_shares"] == -3000
    # Two bars without a close while the others trade: the run infers the
    # delisting (its past), but a held B is still not sold by the orders.
    close.iloc[-2, 1] = np.nan
    with pytest.warns(UserWarning, match="after their prices end"):
        gone = vostra.backtest(weights, close, **options)
    assert gone.shares["B"] == 0
    with pytest.warns(UserWarning, match="'B'"):
        assert gone.orders_for({"B": 3000}, 0.0).set_index("ticker").loc["B", "trade_shares"] == 0


@pytest.mark.parametrize("tz", [None, "Asia/Taipei"])
def test_the_orders_carry_their_bar_in_columns_and_keep_them_in_parquet(tmp_path, tz):
    days = pd.bdate_range("2024-01-01", periods=30, tz=tz)
    close = pd.DataFrame({"A": np.linspace(10, 12, 30), "B": np.linspace(20, 18, 30)}, index=days)
    weights = pd.DataFrame({"A": [0.5], "B": [0.5]}, index=days[[3]])
    regular = vostra.backtest(weights, close).orders
    # A calendar of business days tells the bar the orders are for; dates
    # read from a file, without one, do not.
    assert (regular["as_of"] == days[-1]).all() and (regular["for_date"] == days[-1] + pd.offsets.BDay()).all()
    assert (regular["next_rebalance"] == regular.attrs["next_rebalance"]).all() and not regular["rebalance_due"].any()
    irregular = vostra.backtest(weights, close.set_axis(pd.DatetimeIndex(list(days)))).orders
    assert irregular["for_date"].isna().all() and irregular.attrs["for_date"] is None
    regular.to_parquet(tmp_path / "orders.parquet", index=False)
    back = pd.read_parquet(tmp_path / "orders.parquet")
    pd.testing.assert_frame_equal(back, pd.DataFrame(regular).astype({"ticker": back["ticker"].dtype}),
                                  check_dtype=False)
    assert back.attrs["as_of"] == days[-1].isoformat()
    # The printout says them once, above the rows.
    assert "as_of" not in repr(regular) and str(days[-1].date()) in repr(regular)
