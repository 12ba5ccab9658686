"""The ``vostra backtest`` command: prices and weights from files, one
backtest, the statistics printed and the results written where asked.
Meant for scheduled runs: every input is read and checked before any
output is written, outputs are replaced whole or not at all, and an error
is one line on stderr with status 2."""

from __future__ import annotations

import argparse
import sys
import warnings
from pathlib import Path
from typing import Any, TextIO

import numpy as np
import pandas as pd

from .inputs import READ_ERRORS, Inputs, input_files, read_inputs, reading
from .messages import USAGE_ERROR, InputError, in_flags
from .options import add_parser, settings
from .outputs import OUTPUTS, json_text, output_paths, plain, stats_frame, table_writer, text_writer, write_all

__all__ = ["add_parser", "main"]


def _date(value: str | None, flag: str) -> pd.Timestamp | None:
    if value is None:
        return None
    try:
        return pd.Timestamp(value)
    except (TypeError, ValueError):
        raise InputError(f"{flag} {value}: not a date (write it as 2024-01-31)") from None


def _check(args: argparse.Namespace) -> dict[str, Path]:
    """The checks that need no file read: the outputs' paths first."""
    outputs = output_paths({name: getattr(args, name) for name in OUTPUTS}, input_files(args))
    if (args.holdings is not None or args.cash is not None) and "orders" not in outputs:
        raise InputError("--holdings and --cash size the orders: give --orders PATH too")
    for name in ("start", "end", "for_date"):
        _date(getattr(args, name), "--" + name.replace("_", "-"))
    return outputs


def _orders(result: Any, inputs: Inputs, args: argparse.Namespace) -> pd.DataFrame:
    """The simulated account's orders, or with --holdings or --cash those of
    the account given; --for-date fills their for_date column."""
    if inputs.holdings is None and args.cash is None:
        orders = result.orders
    else:
        held = inputs.holdings if inputs.holdings is not None else pd.Series(dtype=np.float64)
        orders = result.orders_for(held, 0.0 if args.cash is None else args.cash)
    for_date = _date(args.for_date, "--for-date")
    if for_date is not None:
        as_of = orders.attrs.get("as_of")
        if as_of is not None:
            if (for_date.tz is None) != (as_of.tz is None):
                if for_date.tz is not None:
                    raise InputError(f"--for-date {args.for_date}: the prices' dates have no time zone")
                for_date = for_date.tz_localize(as_of.tz)
            if not for_date > as_of:
                raise InputError(f"--for-date {args.for_date}: must come after the last bar, {as_of}")
        orders = orders.copy()
        orders["for_date"] = for_date
        orders.attrs["for_date"] = for_date
    return orders


def _statistics(result: Any, inputs: Inputs) -> pd.Series:
    return result.stats if inputs.benchmark is None else result.statistics(benchmark=inputs.benchmark)


def _writers(result: Any, inputs: Inputs, args: argparse.Namespace, outputs: dict[str, Path],
             tables: dict[str, Any]) -> dict[str, Any]:
    """Every output rendered in memory, with the writer of its file."""
    writers: dict[str, Any] = {}
    for name, path in outputs.items():
        if name == "html":
            writers[name] = (path, text_writer(result.report(None, benchmark=inputs.benchmark)))
            continue
        suffix = path.suffix.lower()
        if name == "stats":
            stats = tables["stats"]
            frame = stats_frame(stats)
            frame.attrs = dict(stats.attrs)
            writers[name] = (path, table_writer(frame, suffix, records=dict(zip(stats.index, stats.tolist()))))
        else:
            writers[name] = (path, table_writer(tables[name](), suffix))
    return writers


def _summary(result: Any, stats: pd.Series, orders: pd.DataFrame, notes: list[str],
             outputs: dict[str, Path]) -> dict[str, Any]:
    """The run in a few figures for a job's log (``--json``)."""
    equity = result.equity
    attrs = orders.attrs
    idle = orders["action"].astype(str).str.match(r"(hold|none)\b") if len(orders) else pd.Series([], dtype=bool)
    return {
        "status": "ok",
        "as_of": attrs.get("as_of", equity.index[-1] if len(equity) else None),
        "final_equity": float(equity.iloc[-1]) if len(equity) else None,
        "capital": result.capital,
        "statistics": dict(zip(stats.index, stats.tolist())),
        "orders": {"rows": len(orders), "to_trade": int((~idle).sum()),
                   "rebalance_due": attrs.get("rebalance_due"), "next_rebalance": attrs.get("next_rebalance"),
                   "for_date": attrs.get("for_date")},
        "warnings": notes,
        "outputs": {name: str(path) for name, path in outputs.items()},
    }


def _text(result: Any, stats: pd.Series, inputs: Inputs) -> str:
    if inputs.benchmark is None:
        return repr(result)
    from ..results.stats import format_statistics

    head, *rest = repr(result).splitlines()
    account = [line for line in rest if line.startswith("Account: ")]
    return "\n".join([head, format_statistics(stats), *account])


def _run(args: argparse.Namespace, caught: list[warnings.WarningMessage], out: TextIO) -> int:
    outputs = _check(args)
    inputs = read_inputs(args)
    from ..results.backtest import backtest

    with reading(None):
        result = backtest(inputs.weights, inputs.market, **inputs.options)
        result.risk_free = args.risk_free
        stats = _statistics(result, inputs)
        orders = _orders(result, inputs, args)
        tables = {"stats": stats, "orders": lambda: orders, "trades": lambda: result.trades}
        writers = _writers(result, inputs, args, outputs, tables)
    write_all(writers)
    keep = [p for _, p in input_files(args)] + [str(p) for p in outputs.values()]
    notes = [in_flags(str(w.message), keep) for w in caught]
    for note in notes:
        print(f"vostra backtest: warning: {note}", file=sys.stderr)
    if args.json:
        out.write(json_text(plain(_summary(result, stats, orders, notes, outputs))))
    elif not args.quiet:
        print(_text(result, stats, inputs), file=out)
        for name, path in outputs.items():
            print(f"{name} written to {path}", file=out)
    return 0


def main(flags: argparse.Namespace, parser: argparse.ArgumentParser) -> int:
    """Run the command on the flags parsed by ``parser`` (the command's).
    An input error is one line on stderr and status 2; anything else that
    goes wrong is a fault of this program: one line and status 1, or with
    --debug its traceback."""
    debug = bool(getattr(flags, "debug", False))
    keep: list[str] = []
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        try:
            args = settings(parser, vars(flags))
            debug = args.debug
            keep = [p for _, p in input_files(args)] + [getattr(args, n) for n in OUTPUTS if getattr(args, n)]
            return _run(args, caught, sys.stdout)
        except InputError as exc:
            if debug:
                raise
            print(f"vostra backtest: error: {in_flags(str(exc), keep)}", file=sys.stderr)
            return USAGE_ERROR
        except READ_ERRORS as exc:  # an error outside the reading of a file
            if debug:
                raise
            print(f"vostra backtest: error: {in_flags(str(exc), keep) or type(exc).__name__}", file=sys.stderr)
            return USAGE_ERROR
        except Exception as exc:
            if debug:
                raise
            message = " ".join(str(exc).split())
            print(f"vostra backtest: internal error ({type(exc).__name__}: {message}); run with --debug for "
                  f"the traceback and report it", file=sys.stderr)
            return 1
