"""The command line's errors and the Python keywords of the package's
messages said as the command's flags: ``close='Close'`` becomes
``--close Close``, ``delisting=None`` becomes ``--no-delisting``."""

from __future__ import annotations

import re
from collections.abc import Iterable

USAGE_ERROR = 2
INTERRUPTED = 130


class InputError(Exception):
    """A usage or input error: one line on stderr and status 2."""


#: The keywords of ``vostra.backtest``, ``read_market`` and the orders
#: whose flag is the keyword with dashes.
_SAME = ("trade_at", "rebalance", "fee", "tax", "stop_loss", "take_profit", "trail_stop", "trail_activation",
         "intrabar", "position_limit", "retain_cost", "stop_trading", "window", "window_step", "delisting",
         "split_trades", "periods_per_year", "capital", "lot_size", "min_fee", "slippage", "leverage",
         "borrow_rate", "cash_rate", "max_volume_share", "price_limit", "blocked", "benchmark", "risk_free",
         "date", "ticker", "open", "high", "low", "close", "volume", "adjust", "factor", "adj_close",
         "tickers", "date_format", "holdings", "cash", "dividends", "splits", "cash_flows", "dividend_tax", "dividend", "split")
FLAGS = {keyword: "--" + keyword.replace("_", "-") for keyword in _SAME}
# Switches: True is the flag, False its --no- form.
_SWITCHES = {"intrabar", "retain_cost", "split_trades", "stop_trading"}
# Keywords naming a column: their placeholder is a NAME.
_COLUMNS = {"date", "ticker", "open", "high", "low", "close", "volume", "factor", "adj_close", "dividend", "split"}
# Keywords that are ordinary words too: said as flags only as the subject
# of a clause ("fee must ...") or the object of "needs".
_WORDS = {k for k in _SAME if "_" not in k} - _COLUMNS

_VALUE = r"""'[^']*'|"[^"]*"|\.\.\.|None|True|False|[-+]?(?:\d[\d_.]*(?:e[-+]?\d+)?|inf|nan)"""
_ASSIGNED = re.compile(rf"(?<![\w.\-'\"\[])({'|'.join(sorted(FLAGS, key=len, reverse=True))})=({_VALUE})")
_SNAKE = re.compile(rf"(?<![\w.\-'\"])({'|'.join(k for k in FLAGS if '_' in k)})(?![\w'\"(=]|\.\w)")
_WORD = "|".join(sorted(_WORDS))
_SUBJECT = re.compile(rf"(^|[;:,(] |\band )((?:{_WORD})(?:(?:, | and )(?:{_WORD}))*)(?= (?:must|needs|cannot)\b)")
_OBJECT = re.compile(rf"(\bneeds )({_WORD})\b(?![\w'\"(=])")
_PHRASES = (("pass format='parquet' or 'csv'", "name the file .parquet or .csv"),
            ("with these keywords", "with these flags"), (", or None", ", or leave it out"),
            # The engine's volume argument is there only with max_volume_share.
            ("volume needs capital", "max_volume_share needs capital"))


def _assigned(match: re.Match[str]) -> str:
    keyword, value = match.group(1), match.group(2)
    if keyword == "delisting" and value == "None":
        return "--no-delisting"
    if keyword in ("dividends", "splits") and value == "False":
        return f"{FLAGS[keyword]} none"
    if keyword in _SWITCHES and value in ("True", "False"):
        return FLAGS[keyword] if value == "True" else "--no-" + FLAGS[keyword][2:]
    if value == "None":
        return f"no {FLAGS[keyword]}"
    if value == "...":
        value = "NAME" if keyword in _COLUMNS else "X"
    elif value[0] in "'\"" and len(value) > 2 and not any(c.isspace() for c in value):
        value = value[1:-1]
    return f"{FLAGS[keyword]} {value}"


def in_flags(message: str, keep: Iterable[str] = ()) -> str:
    """A message of the package with its Python keywords as flags, on one
    line; the text ``keep`` (file names) is left as it is."""
    text = " ".join(str(message).split())
    kept = sorted({k for k in keep if k and k in text}, key=len, reverse=True)
    for i, name in enumerate(kept):
        text = text.replace(name, f"\x00{i}\x00")
    for python, flag in _PHRASES:
        text = text.replace(python, flag)
    text = _ASSIGNED.sub(_assigned, text)
    text = _SNAKE.sub(lambda m: FLAGS[m.group(1)], text)
    text = _SUBJECT.sub(lambda m: m.group(1) + re.sub(rf"\b({_WORD})\b", lambda w: FLAGS[w.group(1)],
                                                      m.group(2)), text)
    text = _OBJECT.sub(lambda m: m.group(1) + FLAGS[m.group(2)], text)
    for i, name in enumerate(kept):
        text = text.replace(f"\x00{i}\x00", name)
    return text
