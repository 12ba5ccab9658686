"""The ``vostra backtest`` command end to end, from files to files: every
flag reaches the run, the settings file, outputs that are safe to replace,
their formats read back, the exit statuses and one-line messages."""

from __future__ import annotations

import contextlib
import io
import json
import os
import resource
import signal
import subprocess
import sys
import time
import warnings

import numpy as np
import pandas as pd
import pyarrow as pa
import pyarrow.parquet as pq
import pytest

from hypothesis import HealthCheck, given, settings, strategies as st

import cli_mutations
import vostra
from vostra.cli import main
from support import child_env


def run_cli(*args, cwd, **popen):
    return subprocess.run([sys.executable, "-W", "error", "-m", "vostra", "backtest", *map(str, args)],
                          cwd=cwd, env=child_env(MPLBACKEND="Agg"), capture_output=True, text=True,
                          timeout=300, **popen)


def cli(*args, cwd):
    """The command run in this process (as the console script runs it):
    (status, stdout, stderr)."""
    out, err = io.StringIO(), io.StringIO()
    here = os.getcwd()
    os.chdir(cwd)
    try:
        with contextlib.redirect_stdout(out), contextlib.redirect_stderr(err):
            try:
                status = main(["backtest", *map(str, args)])
            except SystemExit as exc:
                status = exc.code
    finally:
        os.chdir(here)
    return status, out.getvalue(), err.getvalue()


@pytest.fixture(scope="module")
def files(tmp_path_factory):
    folder = tmp_path_factory.mktemp("cli")
    m = vostra.synthetic_market(n_stocks=12, years=2, seed=4)
    fields = ("open", "high", "low", "close", "volume")
    long = pd.concat({f: getattr(m, f).stack() for f in fields}, axis=1).reset_index()
    long.to_parquet(folder / "prices.parquet", index=False)
    long["factor"] = np.where(long["date"] < "2015-01-01", 0.5, 1.0)
    long["adj_close"] = long["close"] * long["factor"]
    long.rename(columns={"date": "Day", "ticker": "Symbol", "open": "O", "high": "H", "low": "L", "close": "C",
                         "volume": "V", "factor": "F", "adj_close": "AC"}).to_csv(folder / "renamed.csv", index=False)
    m.close.to_csv(folder / "close.csv")
    momentum = m.close.ffill().pct_change(21, fill_method=None).where(m.close.notna())
    signal = momentum.rank(axis=1, ascending=False) <= 4
    signal.stack().rename("weight").reset_index().to_parquet(folder / "weights.parquet", index=False)
    signal.astype(float).to_csv(folder / "weights.csv")
    (signal.astype(float) * 0.25 - (~signal).astype(float) * 0.05).to_csv(folder / "shorts.csv")
    tickers = list(m.tickers)
    pd.DataFrame({"ticker": tickers, "lot_size": [10, 1000] * 6}).to_csv(folder / "lots.csv", index=False)
    pd.DataFrame({"ticker": tickers[:3], "date": ["2014-06-02"] * 3}).to_csv(folder / "delist.csv", index=False)
    blocked = signal.shift(25, fill_value=False) & (m.close.index.day < 10)[:, None]
    blocked.stack()[lambda s: s].reset_index()[["date", "ticker"]].to_csv(folder / "blocked.csv", index=False)
    (m.volume * 0.01).to_csv(folder / "volume.csv")
    ((m.open + m.close) / 2).to_csv(folder / "trade.csv")
    m.close.iloc[:, 0].ffill().rename("S0000").to_csv(folder / "bench.csv")
    pd.DataFrame({"date": pd.date_range("2014-01-01", "2015-12-31", freq="QE")}).to_csv(folder / "dates.csv",
                                                                                         index=False)
    # Events on raw prices: dividends on two dates, a 2:1 split of every ticker, cash flows.
    dividends = pd.DataFrame(np.nan, index=m.close.index, columns=m.close.columns)
    dividends.iloc[[100, 350]] = 0.8
    dividends.to_csv(folder / "div.csv")
    pd.DataFrame({"date": m.dates[200], "ticker": m.tickers, "split": 2.0}).to_csv(folder / "spl.csv", index=False)
    long["div"] = dividends.stack().reindex(pd.MultiIndex.from_frame(long[["date", "ticker"]])).to_numpy()
    long["spl"] = np.where(long["date"] == m.dates[200], 2.0, np.nan)
    long.drop(columns=["factor", "adj_close"]).to_parquet(folder / "events.parquet", index=False)
    pd.DataFrame({"date": m.dates[[80, 300]], "amount": [1e5, -3e5]}).to_csv(folder / "flows.csv", index=False)
    return folder, m


def _api(folder, read=None, stats=None, prices="prices.parquet", **keywords):
    """The figures of the same run through the Python API: read_market, then
    vostra.backtest on the long weights table."""
    market = vostra.read_market(folder / prices, **(read or {}))
    weights = keywords.pop("weights", None)
    weights = pq.read_table(folder / "weights.parquet") if weights is None else weights
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")   # the command's are on its stderr
        result = vostra.backtest(weights, market, **keywords)
        figures = result.statistics(**(stats or {}))
    return {"final_equity": float(result.equity.iloc[-1]), **figures.to_dict()}


def _dates(folder, name):
    return list(pd.to_datetime(pd.read_csv(folder / name)["date"]))


def _lots(folder):
    frame = pd.read_csv(folder / "lots.csv")
    return dict(zip(frame["ticker"], frame["lot_size"]))


def _frame(folder, name):
    return pd.read_csv(folder / name, index_col=0, parse_dates=True).rename_axis(columns="ticker")


def _blocked(folder, m):
    rows = pd.read_csv(folder / "blocked.csv", parse_dates=["date"])
    return pd.Series(True, index=pd.MultiIndex.from_frame(rows)).unstack(fill_value=False).reindex(
        index=m.close.index, columns=m.close.columns, fill_value=False)


ACCOUNT = (["--capital", "1e6"], dict(capital=1e6))
STOPS = (["--stop-loss", "0.04"], dict(stop_loss=0.04))
LIMITS = (["--capital", "1e9"], dict(capital=1e9))
# (flags, the run's keywords without them, the keywords they add, the figure they move)
CASES = {
    "fee": (["--fee", "0.01"], {}, dict(fee=0.01), "total_return"),
    "tax": (["--tax", "0.01"], {}, dict(tax=0.01), "total_return"),
    "position-limit": (["--position-limit", "0.2"], {}, dict(position_limit=0.2), "total_return"),
    "stop-loss": (["--stop-loss", "0.04"], {}, dict(stop_loss=0.04), "total_return"),
    "take-profit": (["--take-profit", "0.05"], {}, dict(take_profit=0.05), "total_return"),
    "trail-stop": (["--trail-stop", "0.04"], {}, dict(trail_stop=0.04), "total_return"),
    "trail-activation": (["--trail-stop", "0.04", "--trail-activation", "0.05"], dict(trail_stop=0.04),
                         dict(trail_activation=0.05), "total_return"),
    "intrabar": (STOPS[0] + ["--intrabar"], STOPS[1], dict(intrabar=True), "total_return"),
    "no-retain-cost": (STOPS[0] + ["--no-retain-cost"], STOPS[1], dict(retain_cost=False), "total_return"),
    "split-trades": (["--split-trades"], {}, dict(split_trades=True), "trades"),
    "no-stop-trading": (STOPS[0] + ["--no-stop-trading"], STOPS[1], dict(stop_trading=False), "total_return"),
    "no-delisting": (["--no-delisting"], {}, dict(delisting=None), "final_equity"),
    "delisting FILE": (["--delisting", "delist.csv"], {}, "delisting", "total_return"),
    "rebalance": (["--rebalance", "W"], {}, dict(rebalance="W"), "total_return"),
    "rebalance signal": (["--rebalance", "signal"], {}, dict(rebalance=None), "total_return"),
    "rebalance FILE": (["--rebalance", "dates.csv"], {}, "rebalance", "total_return"),
    "trade-at": (["--trade-at", "open"], {}, dict(trade_at="open"), "total_return"),
    "trade-at FILE": (["--trade-at", "trade.csv"], {}, "trade_at", "total_return"),
    "capital": (ACCOUNT[0], {}, ACCOUNT[1], "final_equity"),
    "lot-size": (ACCOUNT[0] + ["--lot-size", "1000"], ACCOUNT[1], dict(lot_size=1000), "total_return"),
    "lot-size FILE": (ACCOUNT[0] + ["--lot-size", "lots.csv"], ACCOUNT[1], "lot_size", "total_return"),
    "min-fee": (ACCOUNT[0] + ["--min-fee", "500"], ACCOUNT[1], dict(min_fee=500.0), "total_return"),
    "slippage": (["--slippage", "0.01"], {}, dict(slippage=0.01), "total_return"),
    "leverage": (["--leverage", "0.5"], {}, dict(leverage=0.5), "total_return"),
    "borrow-rate": (["--borrow-rate", "0.2"], {}, dict(borrow_rate=0.2), "total_return"),
    "cash-rate": (["--position-limit", "0.2", "--cash-rate", "0.2"], dict(position_limit=0.2),
                  dict(cash_rate=0.2), "total_return"),
    "max-volume-share": (LIMITS[0] + ["--max-volume-share", "0.001"], LIMITS[1], dict(max_volume_share=0.001),
                         "total_return"),
    "volume-file": (LIMITS[0] + ["--max-volume-share", "0.001", "--volume-file", "volume.csv"],
                    dict(LIMITS[1], max_volume_share=0.001), "volume", "total_return"),
    "price-limit": (ACCOUNT[0] + ["--price-limit", "0.01"], ACCOUNT[1], dict(price_limit=0.01), "total_return"),
    "blocked": (ACCOUNT[0] + ["--blocked", "blocked.csv"], ACCOUNT[1], "blocked", "total_return"),
    "periods-per-year": (["--periods-per-year", "12"], {}, dict(periods_per_year=12.0), "annual_volatility"),
    "risk-free": (["--risk-free", "0.05"], {}, "risk_free", "sharpe"),
    "benchmark": (["--benchmark", "S0001"], {}, "benchmark", "beta"),
    "benchmark FILE": (["--benchmark", "bench.csv"], {}, "benchmark", "beta"),
    "start": (["--start", "2014-06-01"], {}, "start", "total_return"),
    "end": (["--end", "2015-06-30"], {}, "end", "total_return"),
    "adjust factor": (["prices"], {}, "adjust factor", "total_return"),
    "adjust close": (["prices"], {}, "adjust close", "total_return"),
    "dividends FILE": (["--dividends", "div.csv"], {}, "dividends", "total_return"),
    "splits FILE": (["--splits", "spl.csv"], {}, "splits", "total_return"),
    "dividend-tax": (ACCOUNT[0] + ["--dividends", "div.csv", "--dividend-tax", "0.3"], ACCOUNT[1], "dividend_tax",
                     "final_equity"),
    "cash-flows FILE": (ACCOUNT[0] + ["--cash-flows", "flows.csv"], ACCOUNT[1], "cash_flows", "final_equity"),
    "dividend and split columns": (["events.parquet", "weights.parquet", "--dividend", "div", "--split", "spl"],
                                   {}, "event columns", "total_return"),
    "dividends none": (["events.parquet", "weights.parquet", "--dividend", "div", "--split", "spl",
                        "--dividends", "none"], dict(prices="events.parquet", read=dict(dividend="div", split="spl")),
                       dict(dividends=False), "total_return"),
}


def _keywords(name, added, folder, m):
    """The keywords of the Python run for a case (those the files give)."""
    if isinstance(added, dict):
        return added, {}
    return {
        "delisting": (dict(delisting={t: pd.Timestamp("2014-06-02") for t in ("S0000", "S0001", "S0002")}), {}),
        "rebalance": (dict(rebalance=_dates(folder, "dates.csv")), {}),
        "trade_at": (dict(trade_at=_frame(folder, "trade.csv")), {}),
        "lot_size": (dict(lot_size=_lots(folder)), {}),
        "volume": (dict(volume=_frame(folder, "volume.csv")), {}),
        "blocked": (dict(blocked=_blocked(folder, m)), {}),
        "risk_free": ({}, dict(stats=dict(risk_free=0.05))),
        "benchmark": ({}, dict(stats=dict(benchmark=m.close["S0001"] if "FILE" not in name else
                                          m.close["S0000"].ffill()))),
        "start": ({}, dict(read=dict(start="2014-06-01"))),
        "end": ({}, dict(read=dict(end="2015-06-30"))),
        "dividends": (dict(dividends=_frame(folder, "div.csv")), {}),
        "splits": (dict(splits=pd.DataFrame(2.0, index=m.dates[[200]], columns=m.tickers)), {}),
        "dividend_tax": (dict(dividends=_frame(folder, "div.csv"), dividend_tax=0.3), {}),
        "cash_flows": (dict(cash_flows=pd.read_csv(folder / "flows.csv", index_col=0, parse_dates=True)["amount"]),
                       {}),
        "event columns": ({}, dict(prices="events.parquet", read=dict(dividend="div", split="spl"))),
    }[added]


@pytest.mark.parametrize("name", list(CASES))
def test_every_flag_reaches_the_run(files, name):
    folder, m = files
    flags, base, added, figure = CASES[name]
    if name.startswith("adjust"):
        kind = name.split()[1]
        flags = ["renamed.csv", "weights.parquet", "--date", "Day", "--ticker", "Symbol", "--open", "O",
                 "--high", "H", "--low", "L", "--close", "C", "--volume", "V", "--factor", "F",
                 "--adj-close", "AC", "--adjust", kind]
        read = dict(date="Day", ticker="Symbol", open="O", high="H", low="L", close="C", volume="V",
                    factor="F", adj_close="AC")
        market = vostra.read_market(folder / "renamed.csv", **read, adjust=kind)
        weights = pq.read_table(folder / "weights.parquet")
        want = vostra.backtest(weights, market).stats.to_dict()
        without = _api(folder)
    else:
        keywords, extra = _keywords(name, added, folder, m)
        if not flags[0].startswith("--"):   # the case's own files
            pass
        elif "borrow_rate" in keywords or "delisting" in name:
            weights = _frame(folder, "shorts.csv")
            flags = ["prices.parquet", "shorts.csv", *flags]
            base = dict(base, weights=weights)
        else:
            flags = ["prices.parquet", "weights.parquet", *flags]
        want = _api(folder, **{**base, **extra}, **keywords)
        if name == "dividend-tax":   # the dividends without their tax
            base = dict(base, dividends=keywords["dividends"])
        without = _api(folder, **base)
    status, out, err = cli(*flags, "--json", cwd=folder)
    assert status == 0, err
    summary = json.loads(out)
    got = summary["final_equity"] if figure == "final_equity" else summary["statistics"][figure]
    assert got == pytest.approx(want[figure], rel=1e-12, abs=1e-15)
    assert want[figure] != pytest.approx(without[figure], rel=1e-9)   # the flag moves it


def test_tickers_and_column_flags_reach_the_reader(files):
    folder, _ = files
    status, _, err = cli("prices.parquet", "weights.parquet", "--tickers", "S0000,S0001", cwd=folder)
    assert status == 2 and "no column in close" in err and "(columns=" not in err
    status, _, err = cli("renamed.csv", "weights.parquet", "--date", "Day", "--ticker", "Symbol", cwd=folder)
    assert status == 2 and err.count("\n") == 1
    # The package's keywords are said as flags.
    assert "renamed.csv has no column for --close close" in err and "e.g. --close Close" in err


def test_date_format_orders_day_first_text_and_only_that(files, tmp_path):
    folder, m = files
    days = m.dates[(m.dates.year == 2015) & (m.dates.month == 3) & (m.dates.day <= 12)]
    long = pd.concat({f: getattr(m, f).loc[days].stack() for f in ("open", "close")}, axis=1).reset_index()
    long.assign(date=long["date"].dt.strftime("%d/%m/%Y")).to_csv(tmp_path / "p.csv", index=False)
    held = m.tickers[m.close.loc[days].notna().all().to_numpy()]
    weights = pd.DataFrame(1 / len(held), index=days, columns=held).rename_axis("date")
    weights.to_csv(tmp_path / "w.csv")   # dates as 2015-03-02: read so whatever the flag says
    status, _, err = cli("p.csv", "w.csv", cwd=tmp_path)
    assert status == 2 and "name their format: --date-format %d/%m/%Y (day first)" in err
    status, out, err = cli("p.csv", "w.csv", "--date-format", "%d/%m/%Y", "--rebalance", "W", "--json",
                           cwd=tmp_path)
    assert status == 0, err
    market = vostra.read_market(tmp_path / "p.csv", date_format="%d/%m/%Y")
    want = vostra.backtest(weights, market, rebalance="W")
    assert market.dates.equals(days) and len(want.trades)
    assert json.loads(out)["final_equity"] == want.equity.iloc[-1]


def test_settings_file_and_a_flag_over_it(files):
    folder, _ = files
    (folder / "run.toml").write_text('prices = "prices.parquet"\nweights = "weights.parquet"\n'
                                     'fee = 0.01\nstop-loss = 0.04\nintrabar = true\nstats = "from_toml.json"\n'
                                     'tickers = ["S0000", "S0001", "S0002", "S0003", "S0004", "S0005", "S0006",'
                                     ' "S0007", "S0008", "S0009", "S0010", "S0011"]\nquiet = true\n')
    proc = run_cli("--config", "run.toml", cwd=folder)
    assert proc.returncode == 0 and proc.stdout == "", proc.stderr
    got = json.loads((folder / "from_toml.json").read_text())
    want = _api(folder, fee=0.01, stop_loss=0.04, intrabar=True)
    assert got["total_return"] == pytest.approx(want["total_return"], rel=1e-12)
    proc = run_cli("--config", "run.toml", "--fee", "0.02", "--no-intrabar", cwd=folder)
    got = json.loads((folder / "from_toml.json").read_text())
    assert got["total_return"] == pytest.approx(_api(folder, fee=0.02, stop_loss=0.04)["total_return"], rel=1e-12)
    for text, message in (("fees = 0.1\n", "'fees' is not a setting"),
                          ("capital = 'lots'\n", "argument --capital: invalid float value: 'lots'"),
                          ("intrabar = 1\n", "intrabar = 1: true or false"),
                          ("fee = [", "not a valid TOML file")):
        (folder / "bad.toml").write_text(text)
        status, _, err = cli("prices.parquet", "weights.parquet", "--config", "bad.toml", cwd=folder)
        assert status == 2 and err.count("\n") == 1 and "--config bad.toml: " + message in err, err


def _normalised(frame, like):
    """A frame read back from CSV or JSON in the dtypes of ``like``."""
    out = frame.copy()
    for name, dtype in like.dtypes.items():
        if pd.api.types.is_datetime64_any_dtype(dtype):
            out[name] = pd.to_datetime(out[name]).astype(dtype)
        elif pd.api.types.is_bool_dtype(dtype):
            out[name] = out[name].astype(bool)
        elif pd.api.types.is_float_dtype(dtype):
            out[name] = out[name].astype(np.float64)
        else:
            out[name] = out[name].astype(dtype)
    return out


def test_orders_trades_and_stats_read_back_equal_to_the_api(files):
    folder, m = files
    flags = ["--capital", "1e6", "--lot-size", "100", "--window", "10", "--window-step", "5"]
    result = vostra.backtest(pq.read_table(folder / "weights.parquet"), vostra.read_market(folder / "prices.parquet"),
                             capital=1e6, lot_size=100, window=10, window_step=5)
    want = {"orders": pd.DataFrame(result.orders), "trades": result.trades,
            "stats": pd.DataFrame({"statistic": result.stats.index, "value": result.stats.to_numpy()})}
    assert len(want["orders"]) and {"as_of", "for_date", "rebalance_due", "next_rebalance"} <= set(want["orders"])
    assert "mae_5" in want["trades"]
    formats = ("csv", "parquet", "json")
    for shift in range(3):
        names = {what: f"{what}.{formats[(i + shift) % 3]}" for i, what in enumerate(want)}
        proc = run_cli("prices.parquet", "weights.parquet", *flags, "--quiet",
                       *[a for what, name in names.items() for a in (f"--{what}", name)], cwd=folder)
        assert proc.returncode == 0, proc.stderr
        for what, name in names.items():
            path = folder / name
            if name.endswith(".parquet"):   # the same dtypes, text as str
                got = pd.read_parquet(path)
                assert [t.kind if t.kind != "O" else "O" for t in got.dtypes] == \
                    [t.kind for t in want[what].dtypes], name
                pd.testing.assert_frame_equal(_normalised(got, want[what]), want[what].reset_index(drop=True))
                continue
            if name.endswith(".csv"):
                got = pd.read_csv(path, keep_default_na=True)
            elif what == "stats":
                values = json.loads(path.read_text())
                got = pd.DataFrame({"statistic": list(values), "value": [np.nan if v is None else v
                                                                         for v in values.values()]})
            else:
                got = pd.DataFrame(json.loads(path.read_text()))
            assert list(got.columns) == list(want[what].columns), name
            pd.testing.assert_frame_equal(_normalised(got, want[what]), want[what].reset_index(drop=True),
                                          check_exact=False, rtol=1e-15, obj=name)
    # The orders say the bar they hold for on every row.
    orders = pd.read_csv(folder / "orders.csv")
    assert (orders["as_of"] == str(m.dates[-1].date())).all()
    assert list(orders.columns[:2]) == ["ticker", "action"]


def test_formula_cells_are_escaped_in_csv(tmp_path):
    names = ["=HYPERLINK(\"http://x\")", "@SUM(A1)", "+1", "-2", "\tTAB", "PLAIN"]
    dates = pd.bdate_range("2024-01-01", periods=30)
    close = pd.DataFrame(100.0 + np.arange(30)[:, None] * np.linspace(-0.5, 0.5, 6), index=dates, columns=names)
    close.rename_axis(index="date", columns="ticker").stack().rename("close").reset_index().to_parquet(
        tmp_path / "p.parquet", index=False)
    weights = pd.DataFrame(1 / 6, index=dates[[5]], columns=names)
    weights.rename_axis(index="date", columns="ticker").stack().rename("weight").reset_index().to_parquet(
        tmp_path / "w.parquet", index=False)
    pd.DataFrame({"ticker": names, "shares": [-3.0, 5, 7, 0, 2, 1]}).to_csv(tmp_path / "held.csv", index=False)
    status, _, err = cli("p.parquet", "w.parquet", "--capital", "1e5", "--holdings", "held.csv", "--cash", "1000",
                         "--orders", "o.csv", "--trades", "t.csv", "--quiet", cwd=tmp_path)
    assert status == 0, err
    for name in ("o.csv", "t.csv"):
        got = pd.read_csv(tmp_path / name, keep_default_na=False)
        assert sorted(got["ticker"]) == sorted("'" + n if n[0] in "=@+-\t" else n for n in names), name
    orders = pd.read_csv(tmp_path / "o.csv")
    assert (orders["current_shares"] < 0).any()   # numbers keep their sign


def _tree(folder):
    return {p.name: p.read_bytes() for p in folder.iterdir() if p.is_file()}


def test_an_output_on_an_input_or_on_another_output_is_refused(files, tmp_path):
    folder, _ = files
    for name in ("prices.parquet", "weights.parquet"):
        (tmp_path / name).write_bytes((folder / name).read_bytes())
    os.link(tmp_path / "weights.parquet", tmp_path / "linked.csv")
    (tmp_path / "data").mkdir()
    before = _tree(tmp_path)
    for args, message in (
            (("--orders", "weights.parquet", "--trades", "t.csv"), "--orders weights.parquet: the same file as "
                                                                   "the input WEIGHTS weights.parquet"),
            (("--trades", "t.csv", "--stats", "./t.csv"), "--stats ./t.csv: the same file as --trades t.csv"),
            (("--stats", "s.csv", "--orders", "linked.csv"), "--orders linked.csv: the same file as the input"),
            (("--holdings", "s.csv", "--orders", "o.csv", "--stats", "s.csv"), "the same file as the input "
                                                                               "--holdings s.csv")):
        status, _, err = cli("prices.parquet", "weights.parquet", *args, cwd=tmp_path)
        assert status == 2 and err.count("\n") == 1 and message in err, err
        assert _tree(tmp_path) == before
    proc = run_cli(tmp_path, "weights.parquet", "--trades", tmp_path / "t.csv", cwd=tmp_path)
    assert proc.returncode == 2 and "inside the input folder PRICES" in proc.stderr


def test_a_failed_write_leaves_the_previous_outputs(files, tmp_path):
    folder, _ = files
    (tmp_path / "report.html").write_text("the report of yesterday")

    def small_files():
        resource.setrlimit(resource.RLIMIT_FSIZE, (200_000, 200_000))

    proc = run_cli(folder / "prices.parquet", folder / "weights.parquet", "--orders", "orders.csv",
                   "--html", "report.html", cwd=tmp_path, preexec_fn=small_files)
    assert proc.returncode == 2 and proc.stderr.count("\n") == 1, proc.stderr
    assert "--html report.html: cannot be written (File too large)" in proc.stderr
    # Nothing half-written, nothing renamed: the orders waited for the report.
    assert sorted(p.name for p in tmp_path.iterdir()) == ["report.html"]
    assert (tmp_path / "report.html").read_text() == "the report of yesterday"


def test_a_bad_holdings_file_is_refused_before_any_output(files, tmp_path):
    folder, _ = files
    (tmp_path / "held.csv").write_text("ticker,shares\nS0001,100\nS0002,many\n")
    proc = run_cli(folder / "prices.parquet", folder / "weights.parquet", "--holdings", "held.csv",
                   "--orders", "o.csv", "--html", "r.html", "--trades", "t.csv", cwd=tmp_path)
    assert proc.returncode == 2 and proc.stderr.count("\n") == 1
    assert "--holdings held.csv: " in proc.stderr and "'shares'" in proc.stderr and "row" in proc.stderr
    assert sorted(p.name for p in tmp_path.iterdir()) == ["held.csv"]


def test_ctrl_c_gives_130_one_line_and_no_files(tmp_path):
    m = vostra.synthetic_market(n_stocks=300, years=8, seed=1)
    m.close.to_csv(tmp_path / "close.csv")
    (m.close.rank(axis=1) <= 30).to_csv(tmp_path / "weights.csv")
    (tmp_path / "orders.csv").write_text("yesterday")
    child = subprocess.Popen(
        [sys.executable, "-c", "import sys; from vostra.cli import main; print('ready', file=sys.stderr, "
                               "flush=True); sys.exit(main(sys.argv[1:]))",
         "backtest", "close.csv", "weights.csv", "--html", "r.html", "--orders", "orders.csv", "--trades", "t.csv"],
        cwd=tmp_path, env=child_env(MPLBACKEND="Agg"), stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    assert child.stderr.readline() == "ready\n"
    time.sleep(0.5)   # in the command (the run takes seconds)
    child.send_signal(signal.SIGINT)
    out, err = child.communicate(timeout=120)
    assert child.returncode == 130 and err == "vostra backtest: interrupted\n" and out == ""
    assert sorted(p.name for p in tmp_path.iterdir()) == ["close.csv", "orders.csv", "weights.csv"]
    assert (tmp_path / "orders.csv").read_text() == "yesterday"


def test_ctrl_c_while_writing_renames_nothing(files, tmp_path, monkeypatch):
    from vostra.cli import outputs

    folder, _ = files
    (tmp_path / "orders.csv").write_text("yesterday")
    real = outputs.table_writer

    def interrupted_writer(frame, suffix, **kw):
        write = real(frame, suffix, **kw)
        if "exit_reason" not in frame:
            return write

        def stop(path):
            write(path)   # the trades' temporary file is whole, then Ctrl-C
            raise KeyboardInterrupt
        return stop

    monkeypatch.setattr("vostra.cli.backtest.table_writer", interrupted_writer)
    status, out, err = cli(folder / "prices.parquet", folder / "weights.parquet", "--orders", "orders.csv",
                           "--trades", "t.csv", cwd=tmp_path)
    assert status == 130 and err == "vostra backtest: interrupted\n"
    assert sorted(p.name for p in tmp_path.iterdir()) == ["orders.csv"]
    assert (tmp_path / "orders.csv").read_text() == "yesterday"


def test_orders_for_the_holdings_and_cash_given(files):
    folder, m = files
    market = vostra.read_market(folder / "prices.parquet")
    want = vostra.backtest(pq.read_table(folder / "weights.parquet"), market).orders_for({}, 1e6)
    # An account of 1e6 holding the whole shares of its target weights, the
    # rest in cash: nothing to trade.
    held = np.floor(want["target_weight"] * 1e6 / want["price"])
    pd.DataFrame({"ticker": want["ticker"], "shares": held}).to_csv(folder / "held.csv", index=False)
    status, _, err = cli("prices.parquet", "weights.parquet", "--holdings", "held.csv",
                         "--cash", repr(1e6 - float((held * want["price"]).sum())),
                         "--orders", "mine.csv", "--for-date", "2015-12-08", "--quiet", cwd=folder)
    assert status == 0, err
    got = pd.read_csv(folder / "mine.csv")
    assert got["ticker"].tolist() == want["ticker"].tolist() and (got["trade_shares"] == 0).all()
    assert (got["for_date"] == "2015-12-08").all()
    status, _, err = cli("prices.parquet", "weights.parquet", "--cash", 1e6, cwd=folder)
    assert status == 2 and "give --orders PATH too" in err
    status, _, err = cli("prices.parquet", "weights.parquet", "--orders", "o.csv", "--for-date", "2015-12-07",
                         cwd=folder)
    assert status == 2 and "--for-date 2015-12-07: must come after the last bar" in err


def test_wide_csv_files_give_the_same_run_and_the_text_printout(files):
    folder, m = files
    proc = run_cli("close.csv", "weights.csv", "--stats", "stats.csv", "--benchmark", "S0003", "--html", "r.html",
                   cwd=folder)
    assert proc.returncode == 0, proc.stderr
    assert (folder / "r.html").read_text().lstrip().lower().startswith("<!doctype html")
    want = vostra.backtest(pd.read_csv(folder / "weights.csv", index_col=0, parse_dates=True), m.close)
    got = pd.read_csv(folder / "stats.csv", index_col="statistic")["value"]
    assert got["total_return"] == pytest.approx(want.stats["total_return"], rel=1e-12)
    assert "Beta" in proc.stdout and "stats written to stats.csv" in proc.stdout


def _table_with(folder, name, column, values, **others):
    n = len(values)
    base = {"date": pa.array(pd.bdate_range("2024-01-01", periods=n).as_unit("s")),
            "ticker": pa.array(["A"] * n), "close": pa.array(np.linspace(10, 11, n))}
    base.update(others)
    base[column] = values
    pq.write_table(pa.table(base), folder / name)


def test_errors_exit_2_with_one_line(files, tmp_path):
    folder, _ = files
    _table_with(tmp_path, "list.parquet", "ticker", pa.array([["A"], ["B"], ["C"]]))
    _table_with(tmp_path, "struct.parquet", "ticker", pa.array([{"x": 1}, {"x": 2}, {"x": 3}]))
    _table_with(tmp_path, "map.parquet", "ticker", pa.array([[("a", 1)]] * 3, type=pa.map_(pa.string(), pa.int64())))
    _table_with(tmp_path, "half.parquet", "ticker", pa.array(np.array([1, 2, 3], dtype=np.float16)))
    _table_with(tmp_path, "far.parquet", "date", pa.array([np.datetime64("2300-01-01", "s")] * 3))
    (tmp_path / "utf8.csv").write_bytes(b"date,ticker,close\n2024-01-02,\xff\xfe,10\n2024-01-03,A,11\n")
    for name in ("prices.parquet", "weights.parquet", "weights.csv"):
        (tmp_path / name).write_bytes((folder / name).read_bytes())
    cases = [
        (("missing.parquet", "weights.parquet"), "missing.parquet: no such file or directory"),
        (("weights.parquet", "prices.parquet"), "--close close"),
        (("prices.parquet", "prices.parquet"), "a long WEIGHTS table needs the columns"),
        (("prices.parquet", "weights.parquet", "--trade-at", "mid"), "--trade-at mid: neither close, open"),
        (("prices.parquet", "weights.parquet", "--stop-loss", "-1"), "--stop-loss must be a positive fraction"),
        (("prices.parquet", "weights.parquet", "--capital", "-5"), "--capital must be a positive"),
        (("prices.parquet", "weights.parquet", "--min-fee", "5"), "--min-fee needs --capital"),
        (("prices.parquet", "weights.parquet", "--orders", "orders.xlsx"), "must end in .csv"),
        (("prices.parquet", "weights.parquet", "--capitl", "4"), "unrecognized arguments: --capitl"),
        (("prices.parquet", "weights.parquet", "--start", "yesterday-ish"), "--start yesterday-ish: not a date"),
        (("close.csv", "weights.parquet", "--open", "O"), "--open name columns of a long table"),
        (("list.parquet", "weights.csv"), "list.parquet"),
        (("struct.parquet", "weights.csv"), "struct.parquet"),
        (("map.parquet", "weights.csv"), "map.parquet"),
        (("half.parquet", "weights.csv"), "half.parquet"),
        (("far.parquet", "weights.csv"), "far.parquet"),
        (("utf8.csv", "weights.csv"), "utf8.csv"),
    ]
    (tmp_path / "close.csv").write_bytes((folder / "close.csv").read_bytes())
    for args, message in cases:
        status, out, err = cli(*args, cwd=tmp_path)
        assert status == 2 and err.count("\n") == 1 and message in err and out == "", (args, err)
        assert err.startswith("vostra backtest: error:") and "Traceback" not in err
    proc = run_cli("prices.parquet", "weights.parquet", "--tickers", "S0000", "--debug", cwd=tmp_path)
    assert proc.returncode == 1 and "Traceback" in proc.stderr


@pytest.mark.parametrize("python, flags", [
    ("p.csv has no column for close='Close', open='O'; its columns are 'a'. Name the columns with these "
     "keywords, e.g. close='Close'", "p.csv has no column for --close Close, --open O; its columns are 'a'. "
     "Name the columns with these flags, e.g. --close Close"),
    ("weights hold 1 ticker(s) after their prices end ('A'); ... or pass delisting=None to keep them",
     "weights hold 1 ticker(s) after their prices end ('A'); ... or pass --no-delisting to keep them"),
    ("fee and tax must not be negative (got fee=-1.0, tax=0.003)",
     "--fee and --tax must not be negative (got --fee -1.0, --tax 0.003)"),
    ("retain_cost=True measures every stop ...: split_trades=True has no effect",
     "--retain-cost measures every stop ...: --split-trades has no effect"),
    ("min_fee needs capital: a minimum fee is an amount of currency, so pass capital=... (the starting",
     "--min-fee needs --capital: a minimum fee is an amount of currency, so pass --capital X (the starting"),
    ("stop_loss must be a positive fraction such as 0.1, or None; got -1.0",
     "--stop-loss must be a positive fraction such as 0.1, or leave it out; got -1.0"),
    # Python code, quoted column names and file names stay as they are.
    ("e.g. pd.to_datetime(t['date'].astype(str), format='%Y%m%d')", None),
    ("stop_loss.csv: the 'adj_close' column holds text", None),
])
def test_messages_say_keywords_as_flags(python, flags):
    from vostra.cli.messages import in_flags

    assert in_flags(python, ["stop_loss.csv"]) == (python if flags is None else flags)


def test_version_and_help_with_a_nightly_job(tmp_path):
    version = subprocess.run([sys.executable, "-m", "vostra", "--version"], capture_output=True, text=True,
                             env=child_env())
    assert version.returncode == 0 and version.stdout == f"vostra {vostra.__version__}\n"
    status, out, _ = cli("--help", cwd=tmp_path)
    assert status == 0 and "crontab" in out and "--config run.toml" in out
    for flag in ("--capital", "--lot-size N|FILE", "--min-fee", "--slippage", "--leverage", "--borrow-rate",
                 "--cash-rate", "--max-volume-share", "--price-limit", "--blocked FILE", "--benchmark TICKER|FILE",
                 "--risk-free", "--periods-per-year", "--trail-activation", "--date", "--ticker", "--open",
                 "--high", "--low", "--close", "--volume", "--adjust", "--start", "--end", "--tickers", "--json",
                 "--dividends FILE|none", "--splits FILE|none", "--dividend-tax", "--cash-flows FILE",
                 "--dividend NAME", "--split NAME"):
        assert flag in out, flag


@settings(max_examples=25, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(seed=st.integers(0, 2**32 - 1))
def test_mutated_files_end_in_status_0_or_2(seed):
    # tests/cli_mutations.py runs the same cases for minutes.
    assert cli_mutations.fault(seed) is None
