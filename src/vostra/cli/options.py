"""The options of ``vostra backtest``: the flags (one for every option of
:func:`vostra.backtest` a file can express and for the reading options of
:func:`vostra.read_market`), their defaults, and a TOML file of settings
that the flags override."""

from __future__ import annotations

import argparse
import datetime
import types
from collections.abc import Mapping
from typing import Any, NoReturn

from .messages import InputError

#: Every setting and its default: those of ``vostra.backtest`` and
#: ``read_market`` where the flag is theirs.
DEFAULTS: dict[str, Any] = dict(
    prices=None, weights=None, config=None,
    rebalance="M", trade_at="close", fee=0.001425, tax=0.003, position_limit=1.0,
    stop_loss=None, take_profit=None, trail_stop=None, trail_activation=0.0, intrabar=False,
    retain_cost=None, split_trades=None, stop_trading=True, window=0, window_step=1, delisting="auto",
    capital=None, lot_size=None, min_fee=0.0, slippage=0.0, leverage=1.0, borrow_rate=0.0, cash_rate=0.0,
    max_volume_share=None, price_limit=None, blocked=None, volume_file=None,
    dividends=None, splits=None, cash_flows=None, dividend_tax=0.0,
    benchmark=None, risk_free=0.0, periods_per_year=None,
    date="date", ticker="ticker", weight="weight", open="open", high="high", low="low", close="close",
    volume="volume", dividend="dividend", split="split", adjust=None, factor="factor", adj_close="adj_close",
    start=None, end=None, tickers=None, date_format=None,
    html=None, orders=None, trades=None, stats=None, holdings=None, cash=None, for_date=None,
    json=False, quiet=False, debug=False,
)

EPILOG = """\
a nightly job:
  A file of settings keeps the job's options in one reviewed place (keys are
  the flags without their dashes; relative paths are read from the folder
  the command runs in; flags given on the command line override the file):

    # /srv/strategy/run.toml
    prices = "data/prices.parquet"
    weights = "data/weights.parquet"
    rebalance = "M"
    trade-at = "open"
    capital = 1_000_000
    lot-size = 100
    min-fee = 20
    stop-loss = 0.08
    holdings = "broker/positions.csv"
    orders = "out/orders.csv"
    html = "out/report.html"

  and a crontab line that runs it after the close on weekdays, with the
  account's cash from the broker's export, a JSON summary appended to a log:

    30 22 * * 1-5  cd /srv/strategy && vostra backtest --config run.toml \\
        --cash "$(cat broker/cash.txt)" --json >> log/runs.jsonl 2>> log/errors.log

  out/orders.csv has one row per ticker (no index column): the action, the
  shares to trade, as_of (the last bar), for_date, rebalance_due and
  next_rebalance. Text a spreadsheet would run (=, +, -, @) starts with '.

exit status:
  0 success; 2 a usage or input error, said in one line on stderr naming the
  file, column, row or flag; 130 interrupted (Ctrl-C). Outputs are written to
  temporary files and renamed into place once all are ready: on an error or
  an interrupt the files that were there are left as they were.
"""


def _tickers(text: str) -> list[str]:
    names = [t.strip() for t in text.split(",") if t.strip()]
    if not names:
        raise argparse.ArgumentTypeError("give ticker names separated by commas, e.g. AAPL,MSFT")
    return names


def _one_line_error(parser: argparse.ArgumentParser, message: str) -> NoReturn:
    raise InputError(message)


def add_parser(commands: Any) -> argparse.ArgumentParser:
    """Add the ``backtest`` command to the subcommands of the main parser.
    Only the flags given end up in its namespace (see :func:`settings`)."""
    p = commands.add_parser(
        "backtest", help="backtest weights from a file against prices from a file",
        argument_default=argparse.SUPPRESS, formatter_class=argparse.RawDescriptionHelpFormatter,
        epilog=EPILOG,
        description=(
            "Backtest target weights against daily prices, both read from Parquet or CSV files\n"
            "(a directory is read as a partitioned Parquet dataset), print the statistics and write\n"
            "the report, the orders, the trades and the statistics where asked.\n\n"
            "PRICES is a long table (date, ticker, close and, if present, open, high, low, volume)\n"
            "or a wide one (a date column, then one close column per ticker). WEIGHTS is a long\n"
            "table (date, ticker, weight) or a wide one (a date column, then one column per ticker).\n"
            "Both may come from the --config file instead."))
    p.error = types.MethodType(_one_line_error, p)  # type: ignore[method-assign]
    p.add_argument("prices", metavar="PRICES", nargs="?", help="prices file or dataset directory")
    p.add_argument("weights", metavar="WEIGHTS", nargs="?", help="weights file")
    p.add_argument("--config", metavar="FILE", help="a TOML file of settings (see below); flags override it")
    number = dict(type=float, metavar="X")
    switch = dict(action=argparse.BooleanOptionalAction)

    run = p.add_argument_group("the run")
    run.add_argument("--rebalance", metavar="FREQ|FILE",
                     help="D, W, W-FRI, M, Q, Y; 'signal' for every signal date; or a file of dates "
                          "(default: M)")
    run.add_argument("--trade-at", metavar="close|open|FILE",
                     help="trading price of a rebalance, or a file of trading prices (default: close)")
    run.add_argument("--fee", **number, help="fee per trade, fraction of its value (default: 0.001425)")
    run.add_argument("--tax", **number, help="tax on sales, fraction of their value (default: 0.003)")
    run.add_argument("--position-limit", **number, help="largest absolute weight of one stock (default: 1)")
    run.add_argument("--stop-loss", **number, help="stop-loss as a fraction of the entry value")
    run.add_argument("--take-profit", **number, help="take-profit as a fraction of the entry value")
    run.add_argument("--trail-stop", **number, help="trailing stop below the best level")
    run.add_argument("--trail-activation", **number, help="gain that arms the trailing stop (default: 0)")
    run.add_argument("--intrabar", **switch, help="test stops against highs and lows (default: closes)")
    run.add_argument("--retain-cost", **switch, help="keep a position's stops through rebalances")
    run.add_argument("--split-trades", **switch, help="a new trade record at every rebalance")
    run.add_argument("--stop-trading", **switch, help="keep stopped stocks out until the next "
                                                      "rebalance (default: yes)")
    run.add_argument("--window", type=int, metavar="N", help="excursions over the first N bars of a trade")
    run.add_argument("--window-step", type=int, metavar="N", help="every N bars of that window (default: 1)")
    run.add_argument("--delisting", metavar="auto|none|FILE",
                     help="delist stocks whose prices end (auto), none, or those of a file of tickers "
                          "and dates (default: auto)")
    run.add_argument("--no-delisting", dest="delisting", action="store_const", const="none",
                     help="same as --delisting none")

    account = p.add_argument_group("the account (default: a normalised account of 1.0)")
    account.add_argument("--capital", **number, help="starting capital in currency")
    account.add_argument("--lot-size", metavar="N|FILE",
                         help="whole lots of N shares, or a file of lots per ticker (ticker, lot_size)")
    account.add_argument("--min-fee", **number, help="least fee of a fill, in currency")
    account.add_argument("--slippage", **number, help="fraction of the price lost on every fill")
    account.add_argument("--leverage", **number, help="largest sum of absolute weights (default: 1)")
    account.add_argument("--borrow-rate", **number, help="annual rate shorts pay")
    account.add_argument("--cash-rate", **number, help="annual rate the cash earns")

    market = p.add_argument_group("the market's limits (need --capital)")
    market.add_argument("--max-volume-share", **number,
                        help="largest share of a bar's volume an order fills (volume: PRICES' volume "
                             "column or --volume-file)")
    market.add_argument("--volume-file", metavar="FILE", help="shares traded per bar, dates × tickers")
    market.add_argument("--price-limit", **number, help="daily price limit, fraction of the last close")
    market.add_argument("--blocked", metavar="FILE",
                        help="cells where nothing fills: dates × tickers of true/false, or rows of "
                             "date and ticker")

    events = p.add_argument_group("events on raw prices (default: PRICES' dividend and split columns)")
    events.add_argument("--dividends", metavar="FILE|none",
                        help="cash per share on ex-dates, dates × tickers (none: no dividends)")
    events.add_argument("--splits", metavar="FILE|none",
                        help="new shares per old share on ex-dates, dates × tickers (none: no splits)")
    events.add_argument("--dividend-tax", **number, help="share of a long's dividends withheld (default: 0)")
    events.add_argument("--cash-flows", metavar="FILE",
                        help="deposits (+) and withdrawals (-) by date, two columns (needs --capital)")

    stats = p.add_argument_group("the statistics")
    stats.add_argument("--benchmark", metavar="TICKER|FILE",
                       help="a ticker of PRICES, or a file of dates and prices (or equity)")
    stats.add_argument("--risk-free", **number, help="annual risk-free rate of Sharpe and Sortino")
    stats.add_argument("--periods-per-year", **number, help="annualisation (default: from the dates)")

    data = p.add_argument_group("the data")
    data.add_argument("--date", metavar="NAME", help="date column (default: date)")
    data.add_argument("--ticker", metavar="NAME", help="ticker column (default: ticker)")
    data.add_argument("--weight", metavar="NAME", help="weight column of a long WEIGHTS table (default: weight)")
    for name in ("open", "high", "low", "close", "volume", "dividend", "split"):
        data.add_argument(f"--{name}", metavar="NAME", help=f"{name} column of a long PRICES table "
                                                            f"(default: {name})")
    data.add_argument("--adjust", choices=("factor", "close"),
                      help="adjust prices by a factor column or by an adjusted close column")
    data.add_argument("--factor", metavar="NAME", help="adjustment factor column (default: factor)")
    data.add_argument("--adj-close", metavar="NAME", help="adjusted close column (default: adj_close)")
    data.add_argument("--date-format", metavar="FORMAT",
                      help="the order of date text whose day and month read either way (04/01/2016): "
                           "%%d/%%m/%%Y or %%m/%%d/%%Y")
    data.add_argument("--start", metavar="DATE", help="first date of prices read")
    data.add_argument("--end", metavar="DATE", help="last date of prices read")
    data.add_argument("--tickers", type=_tickers, metavar="A,B,...", help="only these tickers' prices")

    out = p.add_argument_group("the output")
    out.add_argument("--html", metavar="PATH", help="interactive report (HTML)")
    for name in ("orders", "trades", "stats"):
        out.add_argument(f"--{name}", metavar="PATH", help=f"the {name} table (.csv, .parquet or .json)")
    out.add_argument("--holdings", metavar="FILE",
                     help="shares held, one row per ticker (a ticker and a shares column): --orders "
                          "then trades this account to the strategy's weights")
    out.add_argument("--cash", **number, help="cash of that account, in the prices' currency (default: 0)")
    out.add_argument("--for-date", metavar="DATE", help="the date of the bar the orders are for "
                                                        "(their for_date column)")
    out.add_argument("--json", action="store_true", help="print a JSON summary to stdout instead of text")
    out.add_argument("--quiet", action="store_true", help="print nothing on success")
    out.add_argument("--debug", action="store_true", help="a traceback on errors")
    return p


# --------------------------------------------------------------------------
# The settings file
# --------------------------------------------------------------------------

def _toml(path: str) -> dict[str, Any]:
    try:
        import tomllib
    except ModuleNotFoundError:  # Python 3.10
        try:
            import tomli as tomllib  # type: ignore[no-redef]
        except ModuleNotFoundError:
            raise InputError("--config needs Python 3.11 or later, or the tomli package "
                             "(pip install tomli)") from None
    try:
        with open(path, "rb") as file:
            return tomllib.load(file)
    except OSError as exc:
        raise InputError(f"--config {path}: cannot be read ({exc.strerror or exc})") from None
    except (tomllib.TOMLDecodeError, UnicodeDecodeError) as exc:
        raise InputError(f"--config {path}: not a valid TOML file ({exc})") from None


def _flags(parser: argparse.ArgumentParser) -> dict[str, argparse.Action]:
    """The action of each setting a file may hold, by its name."""
    actions = {}
    for action in parser._actions:
        if action.option_strings and action.dest in DEFAULTS and action.dest not in ("config", "help"):
            if action.option_strings[0].startswith("--no-"):
                continue  # --no-delisting: the file says delisting = "none"
            actions[action.dest] = action
    return actions


def _tokens(key: str, value: Any, action: argparse.Action) -> list[str]:
    """A setting of the file as the flags that say it."""
    flag = action.option_strings[0]
    if isinstance(action, argparse.BooleanOptionalAction):
        if not isinstance(value, bool):
            raise InputError(f"{key} = {value!r}: true or false")
        return [flag if value else "--no-" + flag[2:]]
    if action.nargs == 0:  # --json, --quiet, --debug
        if not isinstance(value, bool):
            raise InputError(f"{key} = {value!r}: true or false")
        return [flag] if value else []
    if isinstance(value, bool) or isinstance(value, (dict, datetime.time)):
        raise InputError(f"{key} = {value!r}: not a value of {flag}")
    if isinstance(value, list):
        if action.dest != "tickers" or not all(isinstance(v, (str, int)) for v in value):
            raise InputError(f"{key} = {value!r}: a list is allowed only for tickers")
        value = ",".join(map(str, value))
    elif isinstance(value, (datetime.date, datetime.datetime)):
        value = value.isoformat()
    return [f"{flag}={value}"]


def _from_file(parser: argparse.ArgumentParser, path: str) -> dict[str, Any]:
    """The settings of a TOML file, checked as the flags are."""
    actions = _flags(parser)
    tokens: list[str] = []
    given: dict[str, Any] = {}
    for key, value in _toml(path).items():
        dest = key.replace("-", "_")
        if dest in ("prices", "weights"):
            if not isinstance(value, str):
                raise InputError(f"--config {path}: {key} must be a path, got {value!r}")
            given[dest] = value
            continue
        if dest not in actions:
            raise InputError(f"--config {path}: {key!r} is not a setting of vostra backtest "
                             f"(settings are the flags without their dashes, e.g. lot-size = 100)")
        try:
            tokens += _tokens(key, value, actions[dest])
        except InputError as exc:
            raise InputError(f"--config {path}: {exc}") from None
    try:
        parsed = vars(parser.parse_args(tokens))
    except InputError as exc:
        raise InputError(f"--config {path}: {exc}") from None
    return {**parsed, **given}


def settings(parser: argparse.ArgumentParser, flags: Mapping[str, Any]) -> argparse.Namespace:
    """The settings of a run: the defaults, then the --config file's, then
    the ``flags`` given (only those given: the parser's defaults are
    suppressed). ``given`` holds the names of those set by the file or the
    flags."""
    flags = {k: v for k, v in flags.items() if k in DEFAULTS}
    from_file = _from_file(parser, flags["config"]) if flags.get("config") else {}
    merged = {**DEFAULTS, **from_file, **flags}
    if merged["prices"] is None or merged["weights"] is None:
        raise InputError("give PRICES and WEIGHTS, on the command line or as prices = ... and "
                         "weights = ... in the --config file")
    return argparse.Namespace(**merged, given=frozenset(from_file) | frozenset(flags))

