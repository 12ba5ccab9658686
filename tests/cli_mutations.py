"""Mutated CSV and Parquet files (and flags) through ``vostra backtest``:
every run must end with status 0, or 2 with one line on stderr; never
status 1, a traceback or a hang.

Each case comes from one seed: a small sound market and weights, then a few
mutations of the tables (columns dropped, renamed or of another type: lists,
structs, maps, float16, bytes, dates out of range or as numbers, text in
number columns, NaN, inf, duplicates, formula-like tickers, no rows) and of
the written bytes (flips, truncation, bytes that are not UTF-8), some
optional files (holdings, blocked cells, lots) and flags with sound or
broken values. The suite runs a few dozen seeds (test_backtest_command.py);
a campaign runs for minutes and prints the counts:

    PYTHONPATH=src python tests/cli_mutations.py --minutes 10
"""

from __future__ import annotations

import argparse
import contextlib
import io
import os
import random
import sys
import tempfile
import threading
import time
import traceback
from collections import Counter
from pathlib import Path

import numpy as np
import pandas as pd
import pyarrow as pa
import pyarrow.parquet as pq

from vostra.cli import main

HANG_SECONDS = 120


# --------------------------------------------------------------------------
# The sound tables
# --------------------------------------------------------------------------

def _sound(rng: random.Random) -> dict[str, pd.DataFrame]:
    n_dates, n_tickers = rng.randint(3, 40), rng.randint(1, 6)
    dates = pd.bdate_range("2023-01-02", periods=n_dates)
    tickers = [rng.choice(["A", "B", "0050", "BRK.B", "S1", "Z9", "x y"]) + str(i) for i in range(n_tickers)]
    noise = np.random.default_rng(rng.randrange(2**32)).normal(0, 0.02, (n_dates, n_tickers))
    close = 50 * np.exp(np.cumsum(noise, axis=0))
    rows = [(d, t, close[i, j] * 0.99, close[i, j] * 1.02, close[i, j] * 0.97, close[i, j], 1e5 + i)
            for i, d in enumerate(dates) for j, t in enumerate(tickers)]
    prices = pd.DataFrame(rows, columns=["date", "ticker", "open", "high", "low", "close", "volume"])
    signal_dates = dates[:: max(1, n_dates // 4)]
    weights = pd.DataFrame([(d, t, rng.choice([0.0, 0.2, 0.5, -0.1, True])) for d in signal_dates
                            for t in tickers], columns=["date", "ticker", "weight"])
    weights["weight"] = weights["weight"].astype(float)
    holdings = pd.DataFrame({"ticker": tickers, "shares": [rng.choice([0, 100, -20, 3.5]) for _ in tickers]})
    blocked = prices[["date", "ticker"]].sample(frac=0.2, random_state=rng.randrange(2**31))
    lots = pd.DataFrame({"ticker": tickers, "lot_size": [rng.choice([1, 10, 100]) for _ in tickers]})
    return {"prices": prices, "weights": weights, "holdings": holdings, "blocked": blocked, "lots": lots}


def _wide(long: pd.DataFrame, value: str) -> pd.DataFrame:
    return long.pivot(index="date", columns="ticker", values=value).reset_index()


# --------------------------------------------------------------------------
# Mutations
# --------------------------------------------------------------------------

_ODD_CELLS = [np.nan, None, np.inf, -np.inf, -1.0, 0.0, 1e308, 1e-300, "x", "", "=1+1", "1e999", True, -0.0]
_ODD_TICKERS = ["", "=HYPERLINK(\"x\")", "@SUM(A1)", "+1", "-2", "\tT", "\r", "ü", "A" * 300, " ", "nan", "None"]


def _column(rng: random.Random, n: int) -> pa.Array:
    """A column of an unusual type."""
    kind = rng.randrange(11)
    if kind == 0:
        return pa.array([[str(i)] for i in range(n)])
    if kind == 1:
        return pa.array([{"x": i} for i in range(n)])
    if kind == 2:
        return pa.array([[("k", i)] for i in range(n)], type=pa.map_(pa.string(), pa.int64()))
    if kind == 3:
        return pa.array(np.arange(n, dtype=np.float16))
    if kind == 4:
        return pa.array([bytes([0xff, 0xfe, i % 256]) for i in range(n)])
    if kind == 5:
        return pa.array([rng.choice([np.datetime64("1500-01-01", "s"), np.datetime64("3000-06-01", "s")])
                         for _ in range(n)])
    if kind == 6:
        return pa.array([20230102 + i for i in range(n)])
    if kind == 7:
        return pa.array(pd.date_range("2023-01-02", periods=n, tz=rng.choice(["UTC", "Asia/Taipei"])))
    if kind == 8:
        return pa.array([bool(i % 2) for i in range(n)])
    if kind == 9:
        return pa.array([None] * n, type=pa.null())
    return pa.array(np.arange(n, dtype=np.int64)).cast(pa.decimal128(20, 3))


def _mutate_table(rng: random.Random, frame: pd.DataFrame) -> pa.Table | pd.DataFrame:
    frame = frame.copy()
    for _ in range(rng.choice([0, 1, 1, 2, 3])):
        if not len(frame.columns):
            break
        try:
            frame = _mutation(rng, frame)
        except (ValueError, TypeError, KeyError, OverflowError, pa.ArrowException):
            continue   # a mutation the table cannot take
        if isinstance(frame, pa.Table):
            return frame
    return frame


def _mutation(rng: random.Random, frame: pd.DataFrame) -> pa.Table | pd.DataFrame:
    name = rng.choice(list(frame.columns))
    action = rng.randrange(10)
    if action == 0:
        frame = frame.drop(columns=name)
    elif action == 1:
        frame = frame.rename(columns={name: rng.choice(["Date", "TICKER", "close ", "", "weight", "x"])})
    elif action == 2 and len(frame):
        frame = pd.concat([frame, frame.sample(n=1, random_state=rng.randrange(2**31))])
    elif action == 3 and len(frame):
        frame = frame.astype({name: object})
        frame.iloc[rng.randrange(len(frame)), frame.columns.get_loc(name)] = rng.choice(_ODD_CELLS)
    elif action == 4 and len(frame) and name == "ticker":
        frame.iloc[rng.randrange(len(frame)), frame.columns.get_loc(name)] = rng.choice(_ODD_TICKERS)
    elif action == 5:
        frame = frame.iloc[: rng.choice([0, 1])]
    elif action == 6:
        frame = frame.sample(frac=1.0, random_state=rng.randrange(2**31))
    elif action == 7 and len(frame):
        frame[name] = frame[name].astype(str)
    elif action == 8 and name == "date" and len(frame):
        frame[name] = pd.to_datetime(frame[name]).dt.strftime(rng.choice(["%d/%m/%Y", "%Y%m%d", "%b %d %Y"]))
    else:
        table = pa.Table.from_pandas(frame, preserve_index=False).replace_schema_metadata(None)
        return table.set_column(table.schema.get_field_index(name), name, _column(rng, len(frame)))
    return frame


def _write(rng: random.Random, table: pa.Table | pd.DataFrame, path: Path, wide: str | None) -> Path:
    """The table written as CSV or Parquet (now and then wide), and now and
    then its bytes damaged."""
    if wide is not None and isinstance(table, pd.DataFrame) and rng.random() < 0.3:
        try:
            table = _wide(table, wide)
        except (ValueError, KeyError, TypeError):
            pass
    if rng.random() < 0.5:
        path = path.with_suffix(".csv")
        try:
            frame = table.to_pandas() if isinstance(table, pa.Table) else table
            frame.to_csv(path, index=False)
        except (ValueError, TypeError, UnicodeError, pa.ArrowException):
            path.write_text("date,ticker\n")
    else:
        path = path.with_suffix(".parquet")
        try:
            table = table if isinstance(table, pa.Table) else pa.Table.from_pandas(table, preserve_index=False)
            pq.write_table(table, path)
        except (pa.ArrowException, ValueError, TypeError, OverflowError):
            path.write_bytes(b"PAR1")
    if rng.random() < 0.08:
        data = bytearray(path.read_bytes())
        for _ in range(rng.randint(1, 8)):
            kind = rng.randrange(4)
            if kind == 0 and data:
                data[rng.randrange(len(data))] = rng.randrange(256)
            elif kind == 1:
                del data[rng.randrange(len(data) + 1):]
            elif kind == 2:
                at = rng.randrange(len(data) + 1)
                data[at:at] = rng.choice([b"\xff\xfe", b"\x00", b"\xc3", b'"', b"\n\n", b",,,"])
            else:
                data += rng.choice([b"garbage", b"\n1,2,3,4,5,6,7,8\n", b"\xe2\x82"])
        path.write_bytes(bytes(data))
    return path


# Each flag's sound values, then broken ones (drawn one time in four).
_FLAGS = {
    "--rebalance": (["D", "W", "M", "Q", "signal", "dates.csv"], ["X", "missing.csv"]),
    "--trade-at": (["close", "open"], ["mid"]),
    "--fee": (["0", "0.001"], ["-1", "nan", "2", "inf"]),
    "--tax": (["0.003", "0.9"], ["-0.1"]),
    "--stop-loss": (["0.05", "5"], ["0", "-1"]),
    "--take-profit": (["0.1", "100"], ["0"]),
    "--trail-stop": (["0.05"], ["nan"]),
    "--trail-activation": (["0.02"], ["-1"]),
    "--intrabar": ([None], []),
    "--no-split-trades": ([None], []),
    "--no-delisting": ([None], []),
    "--position-limit": (["0.3"], ["0", "-1"]),
    "--capital": (["1e6", "100", "1e300"], ["-1", "0"]),
    "--lot-size": (["100", "LOTS"], ["0", "1.5", "abc"]),
    "--min-fee": (["20"], ["-1"]),
    "--slippage": (["0.001"], ["1", "-0.5"]),
    "--leverage": (["2", "0"], ["-1"]),
    "--borrow-rate": (["0.05"], ["-2"]),
    "--cash-rate": (["0.02"], ["nan"]),
    "--max-volume-share": (["0.1"], ["0", "2"]),
    "--price-limit": (["0.1"], ["1"]),
    "--blocked": (["BLOCKED"], []),
    "--benchmark": (["A0", "B1", "bench.csv"], ["nope", "missing.csv"]),
    "--risk-free": (["0.02"], ["-5"]),
    "--periods-per-year": (["252", "12"], ["0", "-3"]),
    "--start": (["2023-01-10", "2023-01-02"], ["garbage", "2300-01-01"]),
    "--end": (["2023-02-01", "2030-01-01"], ["1900-01-01"]),
    "--tickers": (["A0,B1,S0,Z90,0050", "0050,ü"], [","]),
    "--window": (["5"], ["-1"]),
    "--holdings": (["HOLDINGS"], []),
    "--cash": (["1e5", "0"], ["-1", "nan"]),
    "--for-date": (["2030-01-01"], ["2000-01-01", "x"]),
    "--dividends": (["none", "dividends.csv"], []),
    "--dividend-tax": (["0.15"], ["1", "-0.1"]),
    "--cash-flows": (["flows.csv"], ["missing.csv"]),
}
_OUTPUTS = ["--orders", "--trades", "--stats", "--html"]


def build_case(seed: int, folder: Path) -> list[str]:
    """Write the files of case ``seed`` into ``folder``; its arguments."""
    rng = random.Random(seed)
    tables = _sound(rng)
    prices = _write(rng, _mutate_table(rng, tables["prices"]) if rng.random() < 0.4 else tables["prices"],
                    folder / "prices", "close")
    weights = _write(rng, _mutate_table(rng, tables["weights"]) if rng.random() < 0.3 else tables["weights"],
                     folder / "weights", "weight")
    sound = tables["prices"]
    sound[["date", "close"]].drop_duplicates("date").to_csv(folder / "bench.csv", index=False)
    sound[["date", "ticker"]].assign(dividend=0.5).iloc[::3].to_csv(folder / "dividends.csv", index=False)
    pd.DataFrame({"date": sound["date"].iloc[[-1, 0]], "amount": [1e4, -5e3]}).to_csv(folder / "flows.csv",
                                                                                       index=False)
    args = [prices.name, weights.name]
    for flag in rng.sample(sorted(_FLAGS), rng.randint(0, 4)):
        sound, broken = _FLAGS[flag]
        value = rng.choice(broken if broken and rng.random() < 0.25 else sound)
        if value in ("HOLDINGS", "BLOCKED", "LOTS"):
            key = value.lower()
            value = _write(rng, _mutate_table(rng, tables[key]) if rng.random() < 0.5 else tables[key],
                           folder / key, None).name
        args += [flag] if value is None else [flag, value]
    if "--holdings" in args or "--cash" in args or rng.random() < 0.5:
        args += ["--orders", rng.choice(["orders.csv", "orders.parquet", "orders.json"])]
    for flag in rng.sample(_OUTPUTS[1:], rng.randint(0, 2)):
        args += [flag, f"{flag[2:]}.{rng.choice(['csv', 'parquet', 'json']) if flag != '--html' else 'html'}"]
    if rng.random() < 0.05:
        args += ["--trades", args[0]]   # an output on an input
    pd.DataFrame({"date": ["2023-01-31", "2023-03-31"]}).to_csv(folder / "dates.csv", index=False)
    if rng.random() < 0.5:
        args.append(rng.choice(["--json", "--quiet"]))
    return args


def run_case(seed: int) -> tuple[int | str, str]:
    """Run case ``seed`` in a fresh folder: (status, stderr); the status is
    'crash' with the traceback for an exception that escaped the command."""
    with tempfile.TemporaryDirectory() as folder:
        args = build_case(seed, Path(folder))
        out, err = io.StringIO(), io.StringIO()
        here = os.getcwd()
        os.chdir(folder)
        try:
            with contextlib.redirect_stdout(out), contextlib.redirect_stderr(err):
                try:
                    status: int | str = main(["backtest", *args])
                except SystemExit as exc:
                    status = exc.code if isinstance(exc.code, int) else 2
                except BaseException:   # noqa: B036 (a finding, whatever it is)
                    status, err = "crash", io.StringIO(traceback.format_exc())
        finally:
            os.chdir(here)
        return status, err.getvalue()


def fault(seed: int) -> str | None:
    """What is wrong with the run of case ``seed`` (None: a sound ending)."""
    status, err = run_case(seed)
    if status == 0:
        return None
    if status == 2 and err.count("\n") == 1 and err.startswith("vostra backtest: error: ") \
            and "Traceback" not in err:
        return None
    return f"status {status}: {err.strip()[-2000:]}"


def _campaign(minutes: float, first_seed: int) -> int:
    counts: Counter[str] = Counter()
    faults: dict[str, int] = {}
    started = time.monotonic()
    seed = first_seed
    current = [seed, time.monotonic()]

    def watchdog() -> None:
        while True:
            time.sleep(5)
            if time.monotonic() - current[1] > HANG_SECONDS:
                sys.__stdout__.write(f"hang: seed {current[0]} runs for over {HANG_SECONDS} s\n")
                sys.__stdout__.flush()
                os._exit(3)

    threading.Thread(target=watchdog, daemon=True).start()
    while time.monotonic() - started < minutes * 60:
        current[:] = [seed, time.monotonic()]
        status, err = run_case(seed)
        ok = status == 0 or (status == 2 and err.count("\n") == 1 and "Traceback" not in err)
        counts[f"status {status}" + ("" if ok else " (fault)")] += 1
        if not ok:
            key = err.strip().splitlines()[-1][:200] if err.strip() else f"status {status}"
            faults.setdefault(key, seed)
        seed += 1
    print(f"{sum(counts.values())} runs in {time.monotonic() - started:.0f} s (seeds {first_seed}..{seed - 1}):")
    for key, n in sorted(counts.items()):
        print(f"  {key}: {n}")
    for key, at in faults.items():
        print(f"  fault (first at seed {at}): {key}")
    return 1 if faults else 0


if __name__ == "__main__":
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--minutes", type=float, default=1.0)
    parser.add_argument("--seed", type=int, default=0, help="first seed")
    parser.add_argument("--replay", type=int, default=None, help="run one seed and show its arguments")
    options = parser.parse_args()
    if options.replay is not None:
        with tempfile.TemporaryDirectory() as tmp:
            print(build_case(options.replay, Path(tmp)))
        print(run_case(options.replay))
        sys.exit(0)
    sys.exit(_campaign(options.minutes, options.seed))
