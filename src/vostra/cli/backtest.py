"""The ``vostra backtest`` command: prices and weights from files, one
backtest, the statistics printed and the results written where asked.
Meant for scheduled runs: status 0 on success, 2 with a one-line message on
a usage or input error."""

from __future__ import annotations

import argparse
import sys
import types
import warnings
from pathlib import Path
from typing import Any, NoReturn

import numpy as np
import pandas as pd

USAGE_ERROR = 2
_TABLES = (".csv", ".parquet", ".json")


def _one_line_error(parser: argparse.ArgumentParser, message: str) -> NoReturn:
    """A usage error as one line on stderr (no usage text) and status 2: a
    scheduled run's log keeps the reason on the line it greps."""
    parser.exit(USAGE_ERROR, f"{parser.prog}: error: {message}\n")


def add_parser(commands: Any) -> argparse.ArgumentParser:
    """Add the ``backtest`` command to the subcommands of the main parser."""
    p = commands.add_parser(
        "backtest", help="backtest weights from a file against prices from a file",
        description=(
            "Backtest target weights against daily prices, both read from Parquet or CSV "
            "files (a directory is read as a partitioned Parquet dataset), print the "
            "statistics and write the report, the orders, the trades and the statistics "
            "where asked. PRICES is a long table (date, ticker, close and, if present, "
            "open, high, low, volume) or a wide one (a date column, then one close column "
            "per ticker). WEIGHTS is a long table (date, ticker, weight) or a wide one "
            "(a date column, then one column per ticker). Exit status 0 on success, 2 on a "
            "usage or input error."))
    p.error = types.MethodType(_one_line_error, p)  # type: ignore[method-assign]
    p.add_argument("prices", metavar="PRICES", help="prices file or dataset directory")
    p.add_argument("weights", metavar="WEIGHTS", help="weights file")
    run = p.add_argument_group("the run")
    run.add_argument("--rebalance", default="M", metavar="FREQ",
                     help="D, W, M, Q, Y, or 'signal' for every signal date (default: M)")
    run.add_argument("--trade-at", default="close", choices=("close", "open"),
                     help="trading price of a rebalance (default: close)")
    for name, help_text in (("stop-loss", "stop-loss as a fraction of the entry value"),
                            ("take-profit", "take-profit as a fraction of the entry value"),
                            ("trail-stop", "trailing stop below the best level")):
        run.add_argument(f"--{name}", type=float, default=None, metavar="X", help=help_text)
    run.add_argument("--intrabar", action="store_true", help="test stops against highs and lows")
    run.add_argument("--fee", type=float, default=0.001425, metavar="X",
                     help="fee per trade, fraction of its value (default: 0.001425)")
    run.add_argument("--tax", type=float, default=0.003, metavar="X",
                     help="tax on sales, fraction of their value (default: 0.003)")
    run.add_argument("--position-limit", type=float, default=1.0, metavar="X",
                     help="largest absolute weight of one stock (default: 1)")
    run.add_argument("--no-delisting", action="store_true",
                     help="do not delist stocks whose prices end")
    data = p.add_argument_group("the data")
    data.add_argument("--start", default=None, metavar="DATE", help="first date of prices read")
    data.add_argument("--end", default=None, metavar="DATE", help="last date of prices read")
    data.add_argument("--date", default="date", metavar="NAME", help="date column (default: date)")
    data.add_argument("--ticker", default="ticker", metavar="NAME", help="ticker column (default: ticker)")
    data.add_argument("--weight", default="weight", metavar="NAME",
                      help="weight column of a long WEIGHTS table (default: weight)")
    data.add_argument("--adjust", default=None, choices=("factor", "close"),
                      help="adjust prices by a 'factor' column or an 'adj_close' column")
    out = p.add_argument_group("the output")
    out.add_argument("--html", default=None, metavar="PATH", help="interactive report (HTML)")
    for name in ("orders", "trades", "stats"):
        out.add_argument(f"--{name}", default=None, metavar="PATH",
                         help=f"the {name} table (.csv, .parquet or .json)")
    out.add_argument("--holdings", default=None, metavar="FILE",
                     help="shares held, one row per ticker (a ticker and a shares column; .csv or "
                          ".parquet): --orders then trades this account to the strategy's weights")
    out.add_argument("--cash", type=float, default=None, metavar="X",
                     help="cash of that account, in the prices' currency (default: 0)")
    out.add_argument("--quiet", action="store_true", help="print nothing on success")
    return p


def _outputs(args: argparse.Namespace) -> dict[str, Path]:
    """The output files asked for, checked before the run."""
    paths = {}
    for name in ("html", "orders", "trades", "stats"):
        value = getattr(args, name)
        if value is None:
            continue
        path = Path(value)
        if name != "html" and path.suffix.lower() not in _TABLES:
            raise ValueError(f"--{name} {value}: the file name must end in .csv, .parquet or .json")
        if path.is_dir():
            raise ValueError(f"--{name} {value}: is a folder")
        if not path.parent.is_dir():
            raise ValueError(f"--{name} {value}: the folder {path.parent} does not exist")
        paths[name] = path
    return paths


def _columns(path: str) -> list[str]:
    from ..data.read import open_dataset

    return open_dataset(path).schema.names


def _wide(path: str, date: str, what: str) -> pd.DataFrame:
    """A wide file as a frame indexed by its date column (``date`` or, when
    there is none, the first column)."""
    from ..data.read import open_dataset

    frame = open_dataset(path).to_table().to_pandas()
    if frame.shape[1] < 2:
        raise ValueError(f"{path}: {what} needs a date column and at least one ticker column")
    column = date if date in frame.columns else frame.columns[0]
    try:
        index = pd.DatetimeIndex(pd.to_datetime(frame[column]), name="date")
    except (TypeError, ValueError) as exc:
        raise ValueError(f"{path}: the column {column!r} of {what} does not hold dates ({exc})") from None
    frame = frame.drop(columns=column).set_axis(index)
    frame.columns = frame.columns.rename("ticker")
    return frame.sort_index()


def _market(args: argparse.Namespace) -> Any:
    from ..data.market import Market
    from ..data.read import read_market

    if args.ticker in _columns(args.prices):
        return read_market(args.prices, date=args.date, ticker=args.ticker, adjust=args.adjust,
                           start=args.start, end=args.end)
    if args.adjust is not None:
        raise ValueError(f"{args.prices}: --adjust needs a long table with a {args.ticker!r} column")
    return Market.from_frames(_wide(args.prices, args.date, "PRICES")).between(args.start, args.end)


def _weights(args: argparse.Namespace) -> Any:
    from ..data.read import open_dataset

    names = _columns(args.weights)
    if args.ticker in names:
        needed = [args.date, args.ticker, args.weight]
        missing = [n for n in needed if n not in names]
        if missing:
            raise ValueError(f"{args.weights}: a long WEIGHTS table needs the columns {needed}; "
                             f"{missing} not among {names}")
        table = open_dataset(args.weights).to_table(columns=needed)
        return table.rename_columns(["date", "ticker", "weight"])
    return _wide(args.weights, args.date, "WEIGHTS")


def _holdings(args: argparse.Namespace) -> pd.Series:
    """Shares by ticker from the --holdings file (empty without one)."""
    if args.holdings is None:
        return pd.Series(dtype=np.float64)
    from ..data.read import open_dataset

    frame = open_dataset(args.holdings).to_table().to_pandas()
    if args.ticker in frame.columns and "shares" in frame.columns:
        frame = frame[[args.ticker, "shares"]]
    elif frame.shape[1] != 2:
        raise ValueError(f"{args.holdings}: holdings need a {args.ticker!r} and a 'shares' column "
                         f"(or just two columns, ticker then shares); found {list(frame.columns)}")
    tickers, shares = frame.iloc[:, 0], frame.iloc[:, 1]
    if not pd.api.types.is_numeric_dtype(shares):
        raise ValueError(f"{args.holdings}: the shares column must hold numbers")
    return pd.Series(shares.to_numpy(dtype=np.float64), index=pd.Index(tickers, dtype=object))


def _orders(result: Any, args: argparse.Namespace) -> pd.DataFrame:
    """The simulated account's orders, or with --holdings or --cash those of
    the account given."""
    if args.holdings is None and args.cash is None:
        return result.orders
    return result.orders_for(_holdings(args), 0.0 if args.cash is None else args.cash)


def _write(table: pd.DataFrame | pd.Series, path: Path) -> None:
    suffix = path.suffix.lower()
    if suffix == ".json":   # records, or {statistic: value}
        table.to_json(path, orient="records" if isinstance(table, pd.DataFrame) else "index",
                      date_format="iso", double_precision=15, indent=1)
        return
    frame = table.to_frame("value") if isinstance(table, pd.Series) else table
    if suffix == ".csv":
        frame.to_csv(path)
    else:
        frame.to_parquet(path)


def _run(args: argparse.Namespace) -> int:
    from ..results.backtest import backtest

    outputs = _outputs(args)
    if (args.holdings is not None or args.cash is not None) and "orders" not in outputs:
        raise ValueError("--holdings and --cash size the orders: give --orders PATH too")
    market = _market(args)
    weights = _weights(args)
    rebalance = None if args.rebalance.lower() == "signal" else args.rebalance
    result = backtest(weights, market, trade_at=args.trade_at, rebalance=rebalance,
                      stop_loss=args.stop_loss, take_profit=args.take_profit,
                      trail_stop=args.trail_stop, intrabar=args.intrabar, fee=args.fee,
                      tax=args.tax, position_limit=args.position_limit,
                      delisting=None if args.no_delisting else "auto")
    if "html" in outputs:
        result.report(outputs["html"])
    tables = {"orders": lambda: _orders(result, args), "trades": lambda: result.trades,
              "stats": lambda: result.stats}
    for name, table in tables.items():
        if name in outputs:
            _write(table(), outputs[name])
    if not args.quiet:
        print(result)
        for name, path in outputs.items():
            print(f"{name} written to {path}")
    return 0


def main(args: argparse.Namespace) -> int:
    """Run the command; input errors become one line on stderr and status 2,
    warnings one line each."""
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        try:
            status = _run(args)
        except (ValueError, TypeError, OSError, KeyError) as exc:
            status = USAGE_ERROR
            message = " ".join(str(exc).split()) or type(exc).__name__
            print(f"vostra backtest: error: {message}", file=sys.stderr)
    for warning in caught:
        print(f"vostra backtest: warning: {' '.join(str(warning.message).split())}", file=sys.stderr)
    return status
