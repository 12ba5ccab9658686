"""Next-day orders: what the account holds after the last bar, what it
should hold after the next one, the trades between them (in shares for an
account kept in currency) and the prices at which an exit rule would fire on
the next bar."""

from __future__ import annotations

import math
from collections.abc import Callable, Mapping
from dataclasses import dataclass
from typing import Any

import numpy as np
import pandas as pd

from ..data.frames import listing
from ..run.options import ExitRules

__all__ = ["Orders", "ExitRules", "Costs", "Book", "trigger_prices", "size_orders"]

# The engine's exit reason codes that a close-mode mark can carry, in words.
_RULES = {1: "stop loss", 2: "take profit", 3: "trailing stop"}

# Value over price lands a hair below a whole number of lots when the
# account holds exactly that many; such a target keeps the lot.
_LOT_SLACK = 1e-9

# A trigger price is moved this far (relative, a few units in the last
# place) beyond the exact level, so that the price itself still reaches the
# level after the engine's own rounding of the returns.
_TRIGGER_MARGIN = 2.0 ** -49

TRIGGERS = ("stop_price", "take_profit_price", "trail_price")
# The bar the orders hold for and the schedule, as the last columns of every row.
DATE_COLUMNS = ("as_of", "for_date", "rebalance_due", "next_rebalance")
# Why a waiting order was placed, in the words of an action.
_WAITING = {"rebalance": "waiting order", "stop_loss": "stop loss, waiting", "take_profit": "take profit, waiting",
            "trail_stop": "trailing stop, waiting", "delisting": "delisting, waiting"}
WEIGHT_COLUMNS = ("ticker", "action", "status", "current_weight", "target_weight",
                  "stop_price", "take_profit_price", "trail_price")
SHARE_COLUMNS = ("ticker", "action", "status", "current_shares", "current_weight", "target_weight",
                 "target_shares", "trade_shares", "price", "trade_value", "est_cost",
                 "stop_price", "take_profit_price", "trail_price")
# A row's status: its stock's close on the market's last bar is known, or
# missing (a vendor's lag, a halt or a delisting: the data cannot tell).
STATUS_OK = "ok"
NO_LAST_PRICE = "no price on the last bar"


@dataclass(frozen=True)
class Costs:
    """What a fill costs: ``fee`` on the filled value (at least ``min_fee``
    for a fill), ``tax`` in addition on the filled value of a trade that
    reduces or closes a position, and fills ``slippage`` worse than the
    price."""

    fee: float = 0.0
    tax: float = 0.0
    min_fee: float = 0.0
    slippage: float = 0.0


@dataclass(eq=False)
class Book:
    """The account after the last bar, as the engine hands it back, and what
    the orders are worked out from.

    ``final`` is the engine's final state (per stock id of the position map:
    value, marked value, return trackers, reference price, close-mode mark;
    the cash and whether the next bar rebalances); ``next_weights`` the
    normalised weights the next rebalance applies, by stock id; ``prices``
    gives the last valid close of some tickers; ``shares`` the shares held
    per stock id (signal column) when the account is kept in currency,
    ``lot_size`` its lots (None: fractional shares) and ``waiting``, under
    the market's limits, the orders still waiting after the last bar (stock
    id -> the shares each moves to and why it was placed). ``unpriced``
    tells, per ticker, whether it has no close on the market's last bar
    (None: not known), and ``stated`` the tickers whose delisting the
    caller gave: only those are sold for want of a price. ``for_date`` is
    the date of the bar the orders are for, when the prices' calendar tells
    it (None: not known)."""

    tickers: pd.Index
    final: dict[str, Any]
    next_weights: dict[int, float]
    equity: float
    prices: Callable[[pd.Index], np.ndarray]
    rules: ExitRules
    costs: Costs
    as_of: pd.Timestamp | None = None
    signal_date: pd.Timestamp | None = None
    next_rebalance: pd.Timestamp | None = None
    for_date: pd.Timestamp | None = None
    shares: np.ndarray | None = None
    lot_size: int | Mapping[Any, int] | pd.Series | None = None
    leverage: float = 1.0
    waiting: Mapping[int, tuple[float, str]] | None = None
    unpriced: Callable[[pd.Index], np.ndarray] | None = None
    stated: frozenset[Any] = frozenset()

    def kept(self, tickers: pd.Index) -> np.ndarray:
        """Per ticker, whether the orders keep it as it is: no close on the
        last bar and no delisting stated, so the next bar may not trade it
        and a missing row must not become a sale."""
        if self.unpriced is None or len(tickers) == 0:
            return np.zeros(len(tickers), dtype=bool)
        return np.asarray(self.unpriced(tickers), dtype=bool) & ~pd.Index(tickers).isin(list(self.stated))

    def status(self, tickers: pd.Index) -> pd.Series:
        """Each ticker's status for the orders' ``status`` column."""
        unpriced = np.zeros(len(tickers), dtype=bool) if self.unpriced is None or len(tickers) == 0 \
            else np.asarray(self.unpriced(tickers), dtype=bool)
        return pd.Series(np.where(unpriced, NO_LAST_PRICE, STATUS_OK), dtype=object)

    def floor(self, equity: float) -> float:
        """The least cash a purchase may leave: 0, or below it what the
        leverage allows."""
        return equity * (1 - self.leverage) if self.leverage > 1 else 0.0


class Orders(pd.DataFrame):
    """A table of orders: a DataFrame whose ``attrs`` say for which bar it
    holds (``as_of``), whether a rebalance is due on the next bar
    (``rebalance_due``), the date of the latest signal (``signal_date``,
    the target's when a rebalance is due), the next scheduled rebalance
    (``next_rebalance``), the account's ``equity`` and ``cash`` and how the
    trigger prices are tested (``exit_mode``); its printout starts with
    them. ``as_of``, ``for_date``, ``rebalance_due`` and ``next_rebalance``
    are columns too, so that a file of the orders carries them."""

    # Selections and copies are plain frames (they keep the attrs).
    @property
    def _constructor(self) -> type[pd.DataFrame]:
        return pd.DataFrame

    def _repr_html_(self) -> str:
        from ..views.notebook import orders_html

        return orders_html(self)

    def summary(self) -> str:
        """The attributes in words (the printout's first lines)."""
        return orders_summary(self.attrs)

    def to_parquet(self, path: Any = None, *args: Any, **kwargs: Any) -> Any:
        """As :meth:`pandas.DataFrame.to_parquet`, the attrs kept in the
        file's metadata with their dates as ISO 8601 text."""
        frame = pd.DataFrame(self)
        frame.attrs = {k: v.isoformat() if isinstance(v, pd.Timestamp) else v for k, v in self.attrs.items()}
        return frame.to_parquet(path, *args, **kwargs)

    def __repr__(self) -> str:
        head = self.summary()
        with pd.option_context("display.max_columns", None, "display.width", 250):
            body = repr(order_rows(self))
        return f"{head}\n{body}" if head else body


def order_rows(orders: pd.DataFrame) -> pd.DataFrame:
    """The orders without the columns that repeat the attrs on every row
    (which a printout says once, above the rows)."""
    return pd.DataFrame(orders).drop(columns=list(DATE_COLUMNS), errors="ignore")


def orders_summary(attrs: Mapping[str, Any]) -> str:
    if "rebalance_due" not in attrs:
        return ""
    lines = []
    as_of = attrs.get("as_of")
    account = f"equity {attrs['equity']:,.2f}, cash {attrs['cash']:,.2f}" if "equity" in attrs else ""
    lines.append(f"Orders for the bar after {_day(as_of)} ({attrs.get('account', 'simulated')} account"
                 + (f": {account})" if account else ")"))
    if attrs["rebalance_due"]:
        signal = attrs.get("signal_date")
        lines.append("Rebalance due on the next bar" + (f", to the signal of {_day(signal)}." if signal else "."))
    else:
        nxt = attrs.get("next_rebalance")
        lines.append("No rebalance due on the next bar; next scheduled: "
                     + (f"decided on {_day(nxt)}, traded the bar after." if nxt is not None else "not known."))
    if attrs.get("exit_mode") == "intrabar":
        lines.append("Trigger prices: the next bar's low or high at or beyond one exits there "
                     "(at the open when it opens beyond).")
    else:
        lines.append("Trigger prices: a close at or beyond one marks the position, sold at the "
                     "following bar's trading price.")
    return "\n".join(lines)


def _day(ts: Any) -> str:
    if ts is None:
        return "-"
    ts = pd.Timestamp(ts)
    return str(ts.date()) if ts == ts.normalize() else str(ts)


# --------------------------------------------------------------------------
# Trigger prices
# --------------------------------------------------------------------------

def trigger_prices(value: np.ndarray, cr: np.ndarray, maxcr: np.ndarray, mincr: np.ndarray,
                   reference: np.ndarray, rules: ExitRules) -> dict[str, np.ndarray]:
    """The price at which each exit rule of a held position fires on the next
    bar: ``stop_price``, ``take_profit_price`` and ``trail_price`` (only once
    the trailing stop is armed), NaN where a rule is not set or cannot fire.

    A rule fires when the next bar's return from the reference price takes
    the position's cumulative return ``cr`` to its level, so the price is
    ``reference * level / cr``; a lower level is reached at or below it, an
    upper one at or above."""
    with np.errstate(invalid="ignore", divide="ignore", over="ignore"):
        is_long = value / cr > 0
        sl, tp, trail = rules.stop_loss, rules.take_profit, rules.trail_stop
        act = rules.trail_activation
        stop = np.where(is_long, 1 - sl, 1 + sl)
        take = np.where(is_long, 1 + tp, 1 - tp)
        armed = np.where(is_long, maxcr >= 1 + act, mincr <= 1 - act)
        trailing = np.where(armed, np.where(is_long, maxcr - trail, mincr + trail), np.nan)
        # For a long the stop and the trailing stop are below, the take
        # profit above; for a short the other way round.
        return {
            "stop_price": _level_price(stop, reference, cr, lower=is_long),
            "take_profit_price": _level_price(take, reference, cr, lower=~is_long),
            "trail_price": _level_price(trailing, reference, cr, lower=is_long),
        }


def _level_price(level: np.ndarray, reference: np.ndarray, cr: np.ndarray, lower: np.ndarray) -> np.ndarray:
    price = reference * level / cr
    price = price * np.where(lower, 1 - _TRIGGER_MARGIN, 1 + _TRIGGER_MARGIN)
    # A level of a rule not set is infinite; one at or below zero is never
    # reached by a positive price.
    return np.where(np.isfinite(price) & (price > 0), price, np.nan)


# --------------------------------------------------------------------------
# Sizing
# --------------------------------------------------------------------------

def size_orders(current: np.ndarray, target_weight: np.ndarray, price: np.ndarray, equity: float,
                cash: float, lots: np.ndarray | None, costs: Costs,
                resize: np.ndarray | None = None, floor: float = 0.0,
                fixed: np.ndarray | None = None, tickers: Any = None) -> dict[str, np.ndarray]:
    """Shares to trade to move ``current`` shares to ``target_weight`` of
    ``equity`` at ``price`` (all per ticker, in stock order), as the
    engine's rebalance trades them.

    The target is rounded toward zero to whole lots (a target within 1e-9
    of a lot keeps it); ``lots=None`` means fractional shares. Where
    ``fixed`` is finite it is the target in shares (a waiting order's), and
    where ``resize`` is False the holding is kept as it is. Sales go first and add
    their proceeds to ``cash``, then covers of shorts, then purchases, each
    in order; the long part of a purchase is cut by whole lots (or to what
    the cash pays, for fractional shares) until the cash left after it,
    with its costs, stays at or above ``floor``. Returns ``target_shares``,
    ``trade_shares``, ``trade_value`` (shares times price, signed),
    ``est_cost`` (fee, tax and slippage) and ``cut`` (a purchase was cut
    for cash). A target of whole lots beyond 2**53 shares, which a float
    cannot count, raises ValueError naming its ticker (from ``tickers``)."""
    current = np.asarray(current, dtype=np.float64)
    price = np.asarray(price, dtype=np.float64)
    if not equity > 0:
        # An account worth nothing (or less) has nothing to invest: as the
        # engine's rebalance does, every target is 0.
        target_weight = np.zeros(len(current))
    with np.errstate(invalid="ignore", divide="ignore"):
        target = target_weight * equity / price
        if lots is not None:
            lots = np.asarray(lots, dtype=np.float64)
            raw = target / lots
            target = np.trunc(raw + np.sign(raw) * _LOT_SLACK) * lots
            _countable(target, price, tickers)
    target = np.where(np.isfinite(target), target, current)  # without a price: not traded
    if fixed is not None:
        target = np.where(np.isfinite(fixed) & np.isfinite(price), fixed, target)
    if resize is not None:
        target = np.where(resize, target, current)
    trade = target - current
    cost = np.zeros(len(trade))
    cut = np.zeros(len(trade), dtype=bool)
    available = float(cash)
    sales, covers = np.flatnonzero(trade < 0), np.flatnonzero((trade > 0) & (current < 0))
    purchases = np.flatnonzero((trade > 0) & (current >= 0))
    for i in np.concatenate([sales, covers, purchases]):
        q = trade[i]
        if q > 0 and current[i] >= 0 and -_cash_flow(q, current[i], price[i], costs) > available - floor:
            cut[i] = True
            q = _affordable(q, current[i], price[i], available - floor, None if lots is None else lots[i], costs)
        trade[i] = q
        cost[i] = _fill_cost(q, current[i], price[i], costs)
        available += _cash_flow(q, current[i], price[i], costs)
    return {"target_shares": current + trade, "trade_shares": trade, "trade_value": trade * price,
            "est_cost": cost, "cut": cut}


def _countable(target: np.ndarray, price: np.ndarray, tickers: Any) -> None:
    """Refuses whole-lot targets beyond 2**53 shares: past it a float skips
    whole numbers, and a lot cut off one at a time changes nothing."""
    beyond = np.flatnonzero(np.isfinite(target) & ~(np.abs(target) < 2.0 ** 53))
    if len(beyond):
        i = int(beyond[0])
        name = repr(tickers[i]) if tickers is not None else f"row {i}"
        raise ValueError(f"a target of {target[i]:.6g} shares of {name} is beyond what whole lots can count "
                         f"(2**53 shares); its last close {price[i]:.6g} is far too small for the account: "
                         f"check that price")


def _affordable(q: float, current: float, price: float, available: float, lot: float | None,
                costs: Costs) -> float:
    """The largest purchase up to ``q`` shares (whole lots of ``lot``, or
    any fraction without) that ``available`` pays with its costs."""
    unit = price * (1 + costs.slippage)
    if not (unit > 0 and available > 0):
        return 0.0
    # What the cash buys with the fee in proportion, or with the minimum
    # fee when that is the larger.
    most = min(available / (unit * (1 + costs.fee)), (available - costs.min_fee) / unit)
    q = min(q, max(most, 0.0))
    if lot is not None:
        q = math.floor(q / lot) * lot
        while q > 0 and -_cash_flow(q, current, price, costs) > available:
            q = max(q - lot, 0.0)
        return q
    for _ in range(16):  # rounding may leave it an ulp short
        if q <= 0 or -_cash_flow(q, current, price, costs) <= available:
            break
        q = math.nextafter(q, 0.0)
    return q if q > 0 and -_cash_flow(q, current, price, costs) <= available else 0.0


def _fill_cost(q: float, current: float, price: float, costs: Costs) -> float:
    """Fee, tax and slippage of trading ``q`` shares (signed) from
    ``current``: the fee on the filled value, at least the minimum fee, and
    the tax on it when the trade closes or reduces the position (not when it
    opens, adds or turns it to the other side, as in the engine)."""
    if q == 0:
        return 0.0
    fill = price * (1 + costs.slippage) if q > 0 else price * (1 - costs.slippage)
    filled = abs(q) * fill
    target = current + q
    taxed = target == 0 or (target * current > 0 and abs(target) < abs(current))
    return max(costs.fee * filled, costs.min_fee) + (costs.tax * filled if taxed else 0.0) \
        + abs(q) * price * costs.slippage


def _cash_flow(q: float, current: float, price: float, costs: Costs) -> float:
    """The cash a fill moves: what the shares are worth at the price, less
    every cost (a purchase pays them, a sale's proceeds are cut by them)."""
    return -q * price - _fill_cost(q, current, price, costs)


# --------------------------------------------------------------------------
# The tables
# --------------------------------------------------------------------------

def _plan(book: Book) -> pd.DataFrame:
    """What the simulated account does on the next bar, by stock id: every
    holding and, when a rebalance is due, every stock of its target.
    Columns: ``current_weight`` (marked value over the equity),
    ``target_weight`` (after the next bar's orders), ``resize`` (the next bar
    trades it), ``reason`` (the rule of a close-mode mark it is sold for)
    and the trigger prices."""
    f = book.final
    sid = np.asarray(f["sid"], dtype=np.int64)
    value = np.asarray(f["value"], dtype=np.float64)
    held = value != 0  # NaN counts as held, as the engine counts it
    due = bool(f["rebalance_due"])
    nxt = book.next_weights
    # A mark is sold on the next bar unless that bar's rebalance, with
    # stopped stocks allowed back, keeps holding the stock.
    kept = np.array([due and not book.rules.stop_trading and nxt.get(int(s), 0) != 0 for s in sid], dtype=bool)
    sold = held & (np.asarray(f["mark"]) >= 0) & ~kept
    state = pd.DataFrame({
        "current_weight": np.asarray(f["marked"], dtype=np.float64) / book.equity,
        "sold": sold,
        "reason": pd.Series([_RULES.get(int(m)) if s else None for m, s in zip(f["mark"], sold)], dtype=object),
        **trigger_prices(value, f["cr"], f["maxcr"], f["mincr"], f["reference_price"], book.rules),
    }, index=sid)[held]
    waiting = book.waiting or {}
    ids = state.index.union(pd.Index([s for s, w in nxt.items() if due and w != 0], dtype=np.int64))
    ids = ids.union(pd.Index(list(waiting), dtype=np.int64))
    plan = state.reindex(ids)
    plan["current_weight"] = plan["current_weight"].fillna(0.0)
    # From the index, not by filling the reindexed column: its holes make it
    # an object column, whose fill older pandas warns about.
    plan["sold"] = ids.isin(state.index[state["sold"].to_numpy(dtype=bool)])
    target = pd.Series(nxt, dtype=np.float64).reindex(ids, fill_value=0.0) if due else plan["current_weight"]
    plan["target_weight"] = target.where(~plan["sold"], 0.0)
    plan["resize"] = due | plan["sold"]
    _carry_waiting(plan, book, waiting, due)
    _keep_unpriced(plan, book)
    for name in TRIGGERS:
        # A holding sold on the next bar has no level left to watch.
        plan[name] = plan[name].where(~plan["sold"])
    return plan


def _carry_waiting(plan: pd.DataFrame, book: Book, waiting: Mapping[int, tuple[float, str]], due: bool) -> None:
    """The orders still waiting, in ``plan``: ``waiting_shares`` (the shares
    each still asks for) and ``waiting_target``. A rebalance due on the next
    bar replaces them; otherwise they go on there toward their targets, as
    the engine retries them, and a waiting sale of a whole holding leaves
    no level to watch."""
    ids = plan.index.to_numpy()
    target = np.array([waiting[s][0] if s in waiting else np.nan for s in ids], dtype=np.float64)
    held = np.asarray(book.shares, dtype=np.float64)[ids] if book.shares is not None else np.zeros(len(ids))
    plan["waiting_shares"] = np.where(np.isnan(target), 0.0, target - held)
    carried = ~np.isnan(target) & ~plan["sold"].to_numpy(dtype=bool) & (not due)
    plan["waiting_target"] = np.where(carried, target, np.nan)
    if not carried.any():
        return
    with np.errstate(invalid="ignore", divide="ignore"):
        weight = target * book.prices(book.tickers[ids]) / book.equity
    plan["target_weight"] = np.where(carried, weight, plan["target_weight"].to_numpy(dtype=np.float64))
    plan["resize"] = plan["resize"].to_numpy(dtype=bool) | carried
    why = [_WAITING[waiting[s][1]] if c else r for s, c, r in zip(ids, carried, plan["reason"])]
    plan["reason"] = pd.Series(why, index=plan.index, dtype=object)
    plan["sold"] = plan["sold"].to_numpy(dtype=bool) | (carried & (target == 0))


def _keep_unpriced(plan: pd.DataFrame, book: Book) -> None:
    """Rows of stocks without a close on the last bar keep what is held:
    no trade, no waiting order carried, the reason in the action."""
    keep = book.kept(book.tickers[plan.index.to_numpy()])
    if not keep.any():
        return
    plan["target_weight"] = np.where(keep, plan["current_weight"], plan["target_weight"])
    plan["resize"] = plan["resize"].to_numpy(dtype=bool) & ~keep
    plan["sold"] = plan["sold"].to_numpy(dtype=bool) & ~keep
    plan["waiting_target"] = np.where(keep, np.nan, plan["waiting_target"])
    reason = [NO_LAST_PRICE if k else r for k, r in zip(keep, plan["reason"])]
    plan["reason"] = pd.Series(reason, index=plan.index, dtype=object)


def simulated_orders(book: Book) -> Orders:
    """The orders of the simulated account, in stock id order."""
    plan = _plan(book)
    f = book.final
    tickers = book.tickers[plan.index.to_numpy()]
    current_weight = plan["current_weight"].to_numpy()
    target_weight = plan["target_weight"].to_numpy()
    table: dict[str, Any] = {"ticker": pd.Series(tickers, dtype=object), "current_weight": current_weight,
                             "target_weight": target_weight, "status": book.status(tickers)}
    if book.shares is None:
        direction = np.where(plan["resize"], np.sign(target_weight - current_weight), 0.0)
    else:
        current = np.asarray(book.shares, dtype=np.float64)[plan.index.to_numpy()]
        price = book.prices(tickers)
        sized = size_orders(current, target_weight, price, book.equity, float(f["cash"]),
                            _lots(book.lot_size, tickers), book.costs, plan["resize"].to_numpy(),
                            book.floor(book.equity), plan["waiting_target"].to_numpy(), tickers)
        table.update(current_shares=current, price=price, **sized)
        if book.waiting is not None:
            table["waiting_shares"] = plan["waiting_shares"].to_numpy()
        direction = np.sign(sized["trade_shares"])
    table["action"] = _actions(direction, current_weight, list(plan["reason"]), table.get("cut"))
    table.update({name: plan[name].to_numpy(dtype=np.float64) for name in TRIGGERS})
    columns = WEIGHT_COLUMNS if book.shares is None else SHARE_COLUMNS
    if book.waiting is not None:
        at = columns.index("trade_shares") + 1
        columns = columns[:at] + ("waiting_shares",) + columns[at:]
    return _table(table, columns, _attrs(book, bool(f["rebalance_due"]), book.equity, float(f["cash"]),
                                          "simulated"))


def account_orders(book: Book, holdings: Mapping[Any, float] | pd.Series, cash: float, *,
                   lot_size: int | Mapping[Any, int] | pd.Series, costs: Costs) -> Orders:
    """The orders that take the account the trader holds (``holdings``:
    shares by ticker; ``cash`` in currency) to what the simulated account
    holds after the next bar, in proportion to the account's value at the
    last close."""
    held = _holdings(holdings)
    cash = float(cash)
    if not math.isfinite(cash):
        raise ValueError(f"cash must be a finite amount, got {cash!r}")
    plan = _plan(book)
    plan.index = book.tickers[plan.index.to_numpy()]
    planned = plan.index[plan["target_weight"].to_numpy() != 0]
    extra = held.index[(held != 0).to_numpy() & ~held.index.isin(planned)]
    tickers = planned.append(extra)
    # Tickers in neither the target nor the account: nothing to do.
    current = held.reindex(tickers, fill_value=0.0).to_numpy(dtype=np.float64)
    price = book.prices(tickers)
    equity = cash + float(np.sum(current * price))
    row = plan.reindex(tickers)
    target_weight = row["target_weight"].fillna(0.0).to_numpy(dtype=np.float64)
    with np.errstate(invalid="ignore", divide="ignore"):
        current_weight = current * price / equity
    # What the account holds of a stock without a last close stays as it is.
    keep = book.kept(tickers)
    target_weight = np.where(keep, current_weight, target_weight)
    sized = size_orders(current, target_weight, price, equity, cash, _lots(lot_size, tickers), costs,
                        resize=~keep, floor=book.floor(equity), tickers=tickers)
    reasons = [NO_LAST_PRICE if k else r if isinstance(r, str) and c != 0 else None
               for r, c, k in zip(row["reason"], current, keep)]
    table: dict[str, Any] = {"ticker": pd.Series(tickers, dtype=object), "current_weight": current_weight,
                             "target_weight": target_weight, "status": book.status(tickers),
                             "current_shares": current, "price": price,
                             **sized, "action": _actions(np.sign(sized["trade_shares"]), current, reasons, sized["cut"])}
    table.update({name: row[name].to_numpy(dtype=np.float64) for name in TRIGGERS})
    return _table(table, SHARE_COLUMNS, _attrs(book, bool(book.final["rebalance_due"]), equity, cash, "given"))


def unpriced_note(orders: pd.DataFrame) -> str | None:
    """The warning for orders with rows of stocks without a close on the
    last bar (None without such rows)."""
    if "action" not in orders:
        return None
    tickers = orders["ticker"][orders["action"].str.endswith(f"({NO_LAST_PRICE})").to_numpy(dtype=bool)]
    if len(tickers) == 0:
        return None
    return (f"no close on the last bar for {listing(tickers)}: a missing price is not taken as a "
            f"delisting, so the orders keep what is held and do not trade "
            f"{'it' if len(tickers) == 1 else 'them'} (status '{NO_LAST_PRICE}'); "
            f"a delisting is sold only when it is stated")


def _holdings(holdings: Mapping[Any, float] | pd.Series) -> pd.Series:
    if isinstance(holdings, pd.DataFrame) or not isinstance(holdings, (Mapping, pd.Series)):
        raise TypeError(f"holdings must be shares by ticker, a mapping or a Series; got {type(holdings).__name__}")
    held = pd.Series(holdings, dtype=object) if isinstance(holdings, Mapping) else holdings
    if not held.index.is_unique:
        raise ValueError("holdings lists a ticker twice")
    try:
        shares = held.astype(np.float64)
    except (TypeError, ValueError) as exc:
        raise ValueError(f"holdings must be numbers of shares: {exc}") from None
    if not np.isfinite(shares.to_numpy()).all():
        raise ValueError("holdings must be finite numbers of shares")
    return shares


def _table(columns: dict[str, Any], names: tuple[str, ...], attrs: dict[str, Any]) -> Orders:
    frame = Orders({c: columns[c] for c in names})
    rows = len(frame)
    for name in DATE_COLUMNS:  # the same on every row: a file of the orders tells them
        value = attrs.get(name)
        frame[name] = np.full(rows, bool(value)) if name == "rebalance_due" else \
            pd.Series(pd.DatetimeIndex([value] * rows if value is not None else [pd.NaT] * rows))
    frame.attrs.update(attrs)
    return frame


def _attrs(book: Book, due: bool, equity: float, cash: float, account: str) -> dict[str, Any]:
    return {"as_of": book.as_of, "for_date": book.for_date, "rebalance_due": due, "signal_date": book.signal_date,
            "next_rebalance": book.next_rebalance, "equity": equity, "cash": cash, "account": account,
            "exit_mode": "intrabar" if book.rules.intrabar else "close"}


def _actions(direction: np.ndarray, current: np.ndarray, reasons: list[str | None],
             cut: np.ndarray | None = None) -> pd.Series:
    """The action of each row in words, from the side of its trade and the
    side of the holding, with why in brackets: the rule of an exit mark, a
    purchase cut to the cash, a target under one lot."""
    words = []
    cut = np.zeros(len(direction), dtype=bool) if cut is None else cut
    for d, c, why, short in zip(direction, current, reasons, cut):
        if d > 0:
            word = "buy to cover" if c < 0 else "buy"
        elif d < 0:
            word = "sell" if c > 0 else "sell short"
        else:
            word = "hold" if c != 0 else "none"
        if not isinstance(why, str):
            why = ("cut to the cash" if d else "no cash left") if short else \
                "under one lot" if word == "none" else None
        words.append(f"{word} ({why})" if why else word)
    return pd.Series(words, dtype=object)


def _lots(lot_size: int | Mapping[Any, int] | pd.Series | None, tickers: pd.Index) -> np.ndarray | None:
    """Lot size per ticker from one number or a mapping by ticker (None:
    fractional shares)."""
    if lot_size is None:
        return None
    if isinstance(lot_size, (Mapping, pd.Series)):
        sizes = pd.Series(lot_size, dtype=object) if isinstance(lot_size, Mapping) else lot_size
        missing = [t for t in tickers if t not in sizes.index]
        if missing:
            raise ValueError(f"lot_size has no lot size for {missing[:5]!r}")
        values = np.array([sizes[t] for t in tickers], dtype=np.float64)
    else:
        values = np.full(len(tickers), lot_size, dtype=np.float64)
    if not (np.isfinite(values).all() and (values >= 1).all() and (values == np.trunc(values)).all()):
        raise ValueError("lot sizes must be whole numbers of shares, at least 1")
    return values

