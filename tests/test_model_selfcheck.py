"""Hand-checked cases for the Python model used as the differential oracle."""

import numpy as np
import pytest

import model


def _recorder(closes, prices=None, window=0, step=1, fee=0.0, tax=0.0):
    col = np.array(closes, dtype=np.float64).reshape(-1, 1)
    price = col if prices is None else np.array(prices, dtype=np.float64).reshape(-1, 1)
    rec = model.Recorder()
    rec.start_analysis(price, col, {0: 0}, 1, fee, tax, window, step)
    return rec


class TestRecorder:
    def test_long_window_groups(self):
        rec = _recorder([10.0, 9.0, 12.0], window=2, step=1)
        rec.record_date(0)
        rec.record_entry(0, 1.0, 1)
        rec.record_date(1)
        rec.record_exit(0, 1)
        assert rec.trades == [[0, 0, 1]]
        assert rec.trade_positions == [1.0]
        out = rec.orbalt[0]
        assert out.shape == (18,)
        down = 9.0 / 10.0 - 1
        assert out[0:6].tolist() == [0.0] * 6
        assert out[6:12].tolist() == [down, 0.0, 0.0, down, 0.0, down]
        assert out[12:18].tolist() == out[6:12].tolist()

    def test_short_and_exit_costs(self):
        # Short, fee 1 %, tax 2 %, closes 10 -> 11. Entry: (2 - 1) * 0.99 = 0.99;
        # bar 1: 2 - 1.1 * (2 - 0.99) = 0.889; exit costs: 0.889 * 0.97 = 0.86233.
        rec = _recorder([10.0, 11.0], window=0, fee=0.01, tax=0.02)
        rec.record_date(0)
        rec.record_entry(0, -0.5, 1)
        rec.record_date(1)
        rec.record_exit(0, 1)
        out = rec.orbalt[0]
        assert out.shape == (6,)
        assert out.tolist() == pytest.approx([-0.111, 0.0, 0.0, -0.111, 0.0, 0.86233 - 1], abs=1e-12)

    def test_open_trades_in_stock_order(self):
        rec = _recorder([10.0, 10.0])
        rec.start_analysis(rec.price, rec.close, {0: 0, 1: 0}, 2, 0.0, 0.0, 0, 1)
        rec.record_date(1)
        rec.record_entry(1, 0.3, 1)
        rec.record_entry(0, 0.2, 1)
        rec.end_analysis({0: 0.2, 1: 0.3, 2: 0.0})
        assert rec.trades == [[0, 1, -1], [1, 1, -1]]
        assert rec.trade_positions == [0.2, 0.3]


def _ledger_recorder(nstocks, fee=0.0, tax=0.0):
    prices = np.full((2, nstocks), 10.0)
    rec = model.Recorder()
    rec.start_analysis(prices, prices, {i: i for i in range(nstocks)}, nstocks, fee, tax, 0, 1)
    return rec


class TestLedger:
    @pytest.mark.parametrize(
        "old, new, fee, tax, cash_change, kept",
        [
            (None, 10.0, 0.001, 0.0, -10.0, 9.99),        # open a long: fee out of the position
            (10.0, 4.0, 0.001, 0.003, 6.0 - 0.024, 4.0),  # reduce: fee and tax out of the proceeds
            (10.0, -5.0, 0.001, 0.003, 15.0 - 0.015, -5.0),  # flip: an entry, no tax
            (-10.0, 0.0, 0.001, 0.003, -10.0 - 0.04, None),  # close a short
        ],
        ids=["open", "reduce", "flip", "close_short"],
    )
    def test_cost_rules(self, old, new, fee, tax, cash_change, kept):
        # The expected figures are the rounded ledger examples, hence the tolerance.
        rec = _ledger_recorder(1, fee, tax)
        p = {} if old is None else {0: old}
        cash = model.set_position(p, 0, new, 100.0, fee, tax, set_null=True, recorder=rec)
        assert cash == pytest.approx(100.0 + cash_change, abs=1e-12)
        assert p.get(0) == (None if kept is None else pytest.approx(kept, abs=1e-12))

    def test_periodic_split_only_without_retained_cost(self, monkeypatch):
        prices = np.full((3, 1), 10.0)
        for retain, resample, rows in [(False, True, 1), (True, True, 0), (False, False, 0)]:
            monkeypatch.setattr(model, "RETAIN_COST_WHEN_REBALANCE", retain)
            monkeypatch.setattr(model, "RESAMPLE", resample)
            rec = model.Recorder()
            rec.start_analysis(prices, prices, {0: 0}, 1, 0.0, 0.0, 0, 1)
            model.set_position({0: 0.5}, 0, 0.7, 0.5, 0.0, 0.0, recorder=rec)
            assert len(rec.trades) == rows

    def test_rebalance_caps_and_scales(self):
        rec = _ledger_recorder(4)
        p = {3: 5.0}
        cash = model.rebalance(p, np.array([0.35, -0.35, 0.2, 0.0]), 95.0, 0.0, 0.0, 0.2, recorder=rec)
        assert p == {0: 20.0, 1: -20.0, 2: 20.0}
        assert cash == 95.0 + 5.0 - 20.0 + 20.0 - 20.0
        p = {}
        model.rebalance(p, np.array([1.5, -0.5]), 1.0, 0.0, 0.0, 1.0, recorder=rec)
        assert p == {0: 0.75, 1: -0.25}


class TestUtilities:
    @pytest.mark.parametrize(
        "weights, limit, expected",
        [
            ({"a": 0.5, "b": 1.5}, 1.0, {"a": 0.25, "b": 0.75}),
            ({"a": 0.6, "b": 0.2}, 0.5, {"a": 0.5, "b": 0.2}),
            ({"a": -3.0, "b": 1.0}, 0.5, {"a": -0.5, "b": 0.25}),
            ({}, 1.0, {}),
        ],
    )
    def test_normalize_weight(self, weights, limit, expected):
        assert model.normalize_weight(weights, limit) is weights
        assert weights == expected

    def test_validate_trade_price(self):
        for ok in (float("nan"), 1e-300, 1.7976931348623157e308):
            model.validate_trade_price(ok, "A", 0)
        with pytest.raises(ValueError) as err:
            model.validate_trade_price(-2.5, "AB12", 17)
        assert str(err.value) == ("Invalid trading price for AB12 at price row 17: -2.5. "
                                  "Expected a positive finite price; check the trading-price dataset.")
        for bad in (0.0, -0.0, float("inf"), float("-inf")):
            with pytest.raises(ValueError):
                model.validate_trade_price(bad, "A", -3)

    def test_map_columns(self):
        assert model.map_columns(["A", "B", "C"], ["C", "X", "A"]) == {0: 2, 2: 0}
        assert model.map_columns(["A", "A"], ["A", "a"]) == {0: 1}


def _one_stock(prices, closes=None, highs=None, lows=None, opens=None, **options):
    """Stock 0 ('A') gets weight 1 from a signal at t=0, traded on bar 1."""
    col = lambda xs: np.array(xs if xs is not None else prices, dtype=np.float64).reshape(-1, 1)
    n = len(prices)
    return model.backtest(
        col(prices), col(closes), col(highs), col(lows), col(opens),
        np.arange(n, dtype=np.int64), np.array(["A"], dtype=object),
        np.array([[1.0]]), np.array([0], dtype=np.int64), np.array(["A"], dtype=object),
        np.array([0], dtype=np.int64), **options)


class TestRuns:
    def test_entry_on_next_bar_with_fee(self):
        res = _one_stock([10.0, 11.0, 12.0], fee_ratio=0.001, tax_ratio=0.0)
        held = 0.999 * (12.0 / 11.0)
        assert res.creturn.tolist() == [1.0, 0.0 + 0.999 * 11.0 / 11.0, 0.0 + held * 12.0 / 12.0]
        assert res.trades == [[0, 1, -1]]
        assert res.get_trade_stocks(np.array(["A"], dtype=object), np.arange(3) * 10, False) == [
            ["A", 10, -1, 0, -1, 1.0, 2, 1, -1]]
        assert list(res.stock_operations) == ["actions", "weights", "next_weights", "weight_time",
                                              "next_weight_time"]
        assert res.stock_operations["weights"] == {0: 1.0}
        assert res.stock_operations["weight_time"] == 0

    def test_intrabar_take_profit_of_stock_zero(self):
        # Bar 2 touches +10 % and closes the position at that level; bar 3 falls
        # through the old levels but the flat entry is no longer tested.
        res = _one_stock([10.0, 10.0, 10.5, 8.0], highs=[10.0, 10.0, 11.5, 8.5],
                         lows=[10.0, 10.0, 10.0, 7.0], fee_ratio=0.0, tax_ratio=0.0,
                         take_profit=0.1, touched_exit=True)
        assert res.exited_stocks == [(0, True)]
        assert res.creturn.tolist() == [1.0, 1.0, 1.1, 1.1]
        assert res.pos == {0: 0.0}
        assert res.trades == [[0, 1, 2]]
        assert res.stock_operations["actions"] == {0: "tp_"}
        assert res.stock_operations["next_weights"] == {}

    @pytest.mark.parametrize("close2, marked", [(8.9, True), (9.0, False)], ids=["below", "on_level"])
    def test_close_mode_stop_runs_next_bar(self, close2, marked):
        res = _one_stock([10.0, 10.0, 10.0, 9.5], closes=[10.0, 10.0, close2, 9.5],
                         fee_ratio=0.0, tax_ratio=0.0, stop_loss=0.1)
        assert res.creturn[2] == close2 / 10.0
        value = 9.5 / 10.0
        if marked:
            assert res.creturn[3] == value
            assert res.exited_stocks == [(0, False)] and res.pos == {}
            assert res.trades == [[0, 1, 3]]
            assert res.stock_operations["actions"] == {0: "sl_"}
        else:
            assert res.creturn[3] == value * 9.5 / 9.5
            assert res.exited_stocks == [] and res.pos == {0: value}
            assert res.trades == [[0, 1, -1]]
