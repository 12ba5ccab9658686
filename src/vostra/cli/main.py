"""Command line of vostra: ``python -m vostra demo`` and ``python -m vostra backtest``
(also the ``vostra`` script)."""

from __future__ import annotations

import argparse
import sys
import tempfile
import types
from collections.abc import Sequence
from pathlib import Path
from typing import NoReturn

from .messages import INTERRUPTED, USAGE_ERROR, InputError, in_flags


def _one_line_error(parser: argparse.ArgumentParser, message: str) -> NoReturn:
    """A usage error as one line on stderr (no usage text) and status 2: a
    scheduled run's log keeps the reason on the line it greps."""
    parser.exit(USAGE_ERROR, f"{parser.prog}: error: {message}\n")


def _parser() -> tuple[argparse.ArgumentParser, argparse.ArgumentParser, argparse.ArgumentParser]:
    """The command line parser and the parsers of its ``demo`` and
    ``backtest`` commands."""
    from .. import __version__

    parser = argparse.ArgumentParser(
        prog="vostra",
        description="vostra: portfolio backtesting with a native engine.",
    )
    parser.error = types.MethodType(_one_line_error, parser)  # type: ignore[method-assign]
    parser.add_argument("--version", action="version", version=f"vostra {__version__}")
    commands = parser.add_subparsers(dest="command", metavar="COMMAND")
    demo = commands.add_parser(
        "demo",
        help="backtest a momentum strategy on a synthetic market and plot it",
        description=(
            "Generate a seeded synthetic market (daily OHLC with suspensions and "
            "delistings), backtest a momentum strategy that holds the top stocks, "
            "rebalances monthly at the next open and exits on a stop-loss, then print "
            "the statistics, the last trades and the next-day orders and write "
            "equity.png, excursions.png and returns.png into the output folder "
            "(and, with --html, an interactive report that opens offline)."
        ),
    )
    demo.add_argument("--out", default="out/demo", metavar="DIR",
                      help="folder for the PNG plots, created if needed (default: out/demo)")
    demo.add_argument("--html", default=None, metavar="PATH",
                      help="also write the interactive HTML report to this file")
    demo.add_argument("--seed", type=int, default=7, metavar="N",
                      help="seed of the synthetic market (default: 7)")
    demo.add_argument("--stocks", type=int, default=300, metavar="N",
                      help="number of stocks (default: 300)")
    demo.add_argument("--years", type=float, default=10.0, metavar="Y",
                      help="years of daily bars (default: 10)")
    demo.add_argument("--top", type=int, default=20, metavar="N",
                      help="stocks held, equally weighted (default: 20)")
    demo.add_argument("--stop-loss", type=float, default=0.1, metavar="X",
                      help="stop-loss as a fraction of the entry value; 0 disables it "
                           "(default: 0.1)")
    from .options import add_parser

    return parser, demo, add_parser(commands)


def _writable_folder(folder: Path) -> str | None:
    """None when files can be written into ``folder`` (created if needed),
    else the reason they cannot."""
    try:
        folder.mkdir(parents=True, exist_ok=True)
        with tempfile.TemporaryFile(dir=folder):
            pass
    except OSError as exc:
        return exc.strerror or str(exc)
    return None


def main(argv: Sequence[str] | None = None) -> int:
    """Entry point of the ``vostra`` console script. Ctrl-C ends any command
    with one line and status 130."""
    command = "vostra"
    try:
        parser, demo, backtest = _parser()
        try:
            args, unknown = parser.parse_known_args(argv)
        except InputError as exc:  # the backtest command's flags
            print(f"vostra backtest: error: {in_flags(str(exc))}", file=sys.stderr)
            return USAGE_ERROR
        command = f"vostra {args.command}" if args.command else command
        if unknown:
            print(f"{command}: error: unrecognized arguments: {' '.join(unknown)}", file=sys.stderr)
            return USAGE_ERROR
        if args.command == "backtest":
            from .backtest import main as backtest_main

            return backtest_main(args, backtest)
        if args.command != "demo":
            parser.print_help()
            return USAGE_ERROR
        return _demo(args, demo)
    except KeyboardInterrupt:
        print(f"{command}: interrupted", file=sys.stderr)
        return INTERRUPTED


def _demo(args: argparse.Namespace, demo: argparse.ArgumentParser) -> int:
    if args.stocks < 1 or args.top < 1 or args.years <= 0 or args.stop_loss < 0:
        demo.error("--stocks, --top and --years must be positive, --stop-loss not negative")
    reason = _writable_folder(Path(args.out))
    if reason is not None:
        demo.error(f"--out {args.out}: cannot write plots there ({reason})")
    if args.html is not None:
        target = Path(args.html)
        reason = "it is a folder" if target.is_dir() else _writable_folder(target.parent)
        if reason is not None:
            demo.error(f"--html {args.html}: cannot write the report there ({reason})")
    from .demo import run_demo

    run_demo(args.out, seed=args.seed, n_stocks=args.stocks, years=args.years,
             top=args.top, stop_loss=args.stop_loss or None, html=args.html)
    return 0


if __name__ == "__main__":
    sys.exit(main())
