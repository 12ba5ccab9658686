"""Slow, literal pure-Python model of the engine (vantrel) and the excursion
recorder (orbalt), used as the oracle of the differential tests.

Every function mirrors the native operation of the same name and performs the
same floating-point operations in the same order, so results are compared
bit for bit. Scalars are held as Python floats (IEEE doubles, like the native
doubles); NumPy is used only for the arrays handed in and out and for the one
reduction the engine itself delegates to NumPy (the absolute row sum of a
rebalance).

The model assumes inputs that pass the engine's pre-run checks (matching
shapes, ascending indexes, finite weights whose absolute sum per row is
finite, every traded label mapped, orbalt_window >= 0, orbalt_window_step >=
1, unique signal labels); it does not repeat those checks.
"""

from __future__ import annotations

import datetime
import math
from collections import namedtuple

import numpy as np

# Written at the start of every run, read by set_position on every call that
# keeps a position open. Mirrors the engine's module globals.
RETAIN_COST_WHEN_REBALANCE = False
RESAMPLE = None

# One element of an exit list: the stock id and the side of the exit.
# positive=True is the upper level (a close-mode mark at or above max_r, or an
# intrabar exit on the profit side); positive=False the lower / stop side.
# The side is explicit so that stock id 0 keeps it.
Exit = namedtuple("Exit", ["sid", "positive"])


def _isnan(x) -> bool:
    return x != x


# ---------------------------------------------------------------------------
# Excursion recorder
# ---------------------------------------------------------------------------


class Recorder:
    """State and operations of the excursion recorder for one process.

    `date` survives start_analysis, as in the native module.
    """

    def __init__(self):
        self.entry = np.zeros(0, dtype=np.int64)
        self.position = np.zeros(0, dtype=np.float64)
        self.entry_trasnaction = np.zeros(0, dtype=np.int64)
        self.price = np.zeros((0, 0), dtype=np.float64)
        self.close = np.zeros((0, 0), dtype=np.float64)
        self.pos2price = {}
        self.fee_ratio = 0.0
        self.tax_ratio = 0.0
        self.window = 0
        self.window_step = 0
        self.date = 0
        self.trades = []
        self.trade_positions = []
        self.orbalt = []

    def start_analysis(self, price, close, pos2price, nstocks, fee_ratio, tax_ratio, window, window_step):
        self.price = price
        self.close = close
        self.pos2price = dict(pos2price)
        self.window = int(window)
        self.window_step = int(window_step)
        self.trades.clear()
        self.trade_positions.clear()
        self.orbalt.clear()
        self.entry = np.zeros(nstocks, dtype=np.int64)
        self.position = np.zeros(nstocks, dtype=np.float64)
        self.entry_trasnaction = np.zeros(nstocks, dtype=np.int64)
        self.fee_ratio = float(fee_ratio)
        self.tax_ratio = float(tax_ratio)

    def record_date(self, d):
        self.date = int(d)

    def record_entry(self, sid, position_sid, has_entry_trasnaction):
        self.entry[sid] = self.date
        self.position[sid] = position_sid
        self.entry_trasnaction[sid] = has_entry_trasnaction

    def record_exit(self, sid, has_exit_trasnaction):
        self.trades.append([sid, int(self.entry[sid]), self.date])
        self.trade_positions.append(float(self.position[sid]))
        self.orbalt.append(
            self.orbalt_analysis(
                sid,
                int(self.entry[sid]),
                self.date,
                self.position[sid] > 0,
                int(self.entry_trasnaction[sid]),
                has_exit_trasnaction,
            )
        )

    def end_analysis(self, pos):
        # Trades still open at the end: exit date -1, no exit costs.
        for sid in sorted(pos):
            if pos[sid] != 0:
                self.trades.append([sid, int(self.entry[sid]), -1])
                self.trade_positions.append(float(self.position[sid]))
                self.orbalt.append(
                    self.orbalt_analysis(
                        sid,
                        int(self.entry[sid]),
                        self.date,
                        self.position[sid] > 0,
                        int(self.entry_trasnaction[sid]),
                        0,
                    )
                )
        return None

    def orbalt_analysis(self, sid, i_entry, i_exit, is_long, i_entry_trasnaction, i_exit_trasnaction):
        """Excursion array of one trade: window groups of six metrics every
        window_step bars after the entry, then the exit group."""
        price, close = self.price, self.close
        fee_ratio, tax_ratio = self.fee_ratio, self.tax_ratio
        window, window_step = self.window, self.window_step
        long_ = bool(is_long)

        # A stock id missing from the map is read as price column 0 (and kept).
        pid = self.pos2price.setdefault(sid, 0)
        i_exit_max = i_exit
        if i_entry + window > i_exit_max:
            i_exit_max = i_entry + window
        plength = price.shape[0]
        if i_exit_max >= plength:
            i_exit_max = plength - 1
        n = i_exit_max - i_entry + 1
        if n < 0:
            raise OverflowError("can't convert negative value to size_t")

        entry_price = float(price[i_entry, pid])
        entry_close = float(close[i_entry, pid])
        if long_:
            price_ratio = entry_close / entry_price
        else:
            price_ratio = 2 - entry_close / entry_price
        if i_entry_trasnaction != 0:
            price_ratio = price_ratio * (1 - fee_ratio)

        returns = [price_ratio]
        cummax = [1.0 if price_ratio < 1.0 else price_ratio]
        cummin = [1.0 if price_ratio > 1.0 else price_ratio]
        cummin_i = [0]
        mdd = [price_ratio - 1 if price_ratio - 1 < 0 else 0.0]
        profit_period = [1.0 if price_ratio > 1.0 else 0.0]
        pv = entry_close

        for k in range(1, n):
            ith = i_entry + k
            p = float(close[ith, pid])
            if not _isnan(p):
                v = p / pv
                pv = p
                if not _isnan(v):
                    if long_:
                        price_ratio = price_ratio * v
                    else:
                        price_ratio = 2 - v * (2 - price_ratio)
            cmax = cummax[k - 1]
            if price_ratio > cmax:
                cmax = price_ratio
            cummax.append(cmax)
            cmin = cummin[k - 1]
            if price_ratio < cmin:
                cummin.append(price_ratio)
                cummin_i.append(k - 1)
            else:
                cummin.append(cmin)
                cummin_i.append(cummin_i[k - 1])
            newmdd = price_ratio / cmax - 1
            mdd.append(newmdd if mdd[k - 1] > newmdd else mdd[k - 1])
            if not _isnan(p) and price_ratio > 1.0:
                profit_period.append(profit_period[k - 1] + 1)
            else:
                profit_period.append(profit_period[k - 1])
            returns.append(price_ratio)

        if i_exit_trasnaction != 0:
            if n == 0:
                # The span has no last bar to revalue.
                raise UnboundLocalError("local variable 'ith' referenced before assignment")
            last = n - 1
            if i_entry != i_exit_max:
                # Revalue the last bar from its close to its trade price.
                pv = float(price[i_exit_max, pid])
                p = float(close[i_exit_max, pid])
                if long_:
                    returns[last] = returns[last] * (pv / p)
                else:
                    returns[last] = 2 - ((2 - returns[last]) * pv) / p
            returns[last] = returns[last] * (1 - fee_ratio - tax_ratio)

        length = len(returns)
        arsize = ((window - 1) // window_step) * 6 + 12
        ret = np.empty(arsize)
        ret.fill(-1.0)

        def group(at, w):
            if at < 0 or at + 6 > arsize:
                raise IndexError("Out of bounds on buffer access (axis 0)")
            ret[at] = cummin[w] - 1
            ret[at + 1] = cummax[w] - 1
            ret[at + 2] = cummax[cummin_i[w]] - 1
            ret[at + 3] = mdd[w]
            ret[at + 4] = profit_period[w]
            ret[at + 5] = returns[w] - 1

        # Sizes compare as unsigned: a negative window reaches the whole span.
        limit = length if window < 0 else min(window, length)
        i = 0
        w = 0
        while w < limit:
            group(i, w)
            i += 6
            w += window_step
        diff = i_exit - i_entry
        w = length - 1 if diff < 0 else min(diff, length - 1)
        group(arsize - 6, w)
        return ret


# ---------------------------------------------------------------------------
# Column mapping and price validation
# ---------------------------------------------------------------------------


def map_columns(price_columns, pos_columns):
    """{signal column: price column} for every signal label found among the
    price labels; a repeated price label keeps its last column."""
    v = {}
    for i, n in enumerate(price_columns):
        v[n.encode("UTF-8")] = i
    ret = {}
    for i, n in enumerate(pos_columns):
        nn = n.encode("UTF-8")
        if nn in v:
            ret[i] = v[nn]
    return ret


def validate_trade_price(value, symbol, row):
    value = float(value)
    if _isnan(value):
        return
    if math.isfinite(value) and value > 0:
        return
    raise ValueError(
        "Invalid trading price for "
        + str(symbol)
        + " at price row "
        + str(int(row))
        + ": "
        + str(value)
        + ". Expected a positive finite price; check the trading-price dataset."
    )


# ---------------------------------------------------------------------------
# Position ledger
# ---------------------------------------------------------------------------


def set_position(p, sid, position, cash, fee_ratio, tax_ratio, check_null=True, set_null=False, balance=1,
                 *, recorder):
    """Move stock `sid` to `position`, charge fee (and tax on reductions),
    notify the recorder, and return the new cash."""
    position = float(position)
    exist = (sid in p) if check_null else True
    prev_has_position = sid in p and p[sid] != 0
    next_has_position = position != 0

    if not prev_has_position and next_has_position:
        recorder.record_entry(sid, position / balance, 1)
    elif prev_has_position and not next_has_position:
        recorder.record_exit(sid, 1)
    elif prev_has_position and next_has_position:
        if not RETAIN_COST_WHEN_REBALANCE and RESAMPLE:
            # A held position is split into two trade records at a periodic rebalance.
            recorder.record_exit(sid, 0)
            recorder.record_entry(sid, position / balance, 0)

    if position == 0:
        if exist:
            old = p.get(sid, 0.0)
            if set_null:
                p.pop(sid, None)
            else:
                p[sid] = 0.0
            cash = (old - abs(old) * (fee_ratio + tax_ratio)) + cash
        return cash

    if not exist:
        p[sid] = 0.0
    amount = position - p[sid]
    buy = amount > 0
    if buy:
        is_entry = position >= 0
    else:
        is_entry = position <= 0 and amount < 0
    if is_entry:
        cost = abs(amount) * fee_ratio
    else:
        cost = abs(amount) * (fee_ratio + tax_ratio)
    if buy:
        # A purchase pays its fee out of the position's value.
        cash = cash - amount
        p[sid] = (amount - cost) + p[sid]
    else:
        # A sale pays its costs out of the proceeds.
        cash = (-amount - cost) + cash
        p[sid] = amount + p[sid]
    if set_null and p[sid] == 0:
        del p[sid]
    return cash


def rebalance(p, newp, cash, fee_ratio, tax_ratio, position_limit, *, recorder, keep=None):
    """Move the whole portfolio to the weights `newp` and return the new cash.
    `keep(sid)`: a holding this rebalance cannot trade (no price), kept."""
    balance = cash
    for sid in sorted(p):
        balance = balance + p[sid]
    abs_sum = float(np.abs(newp).sum())
    ratio = balance / max(abs_sum, 1)
    if _isnan(ratio):
        ratio = 1.0
    for sid in range(len(newp)):
        v = float(newp[sid])
        v2 = v * ratio
        if balance < 0:
            # Below a zero balance every holding is closed and nothing opened.
            v2 = 0.0
        elif abs(v2) > balance * position_limit:
            sign = 1 if v2 > 0 else -1
            v2 = balance * position_limit * sign
        if keep is not None and keep(sid):
            continue
        cash = set_position(p, sid, v2, cash, fee_ratio, tax_ratio, check_null=True, set_null=True,
                            balance=balance, recorder=recorder)
    return cash


# ---------------------------------------------------------------------------
# A real account (native ledger only): shares, lots, minimum fee, slippage,
# leverage and financing
# ---------------------------------------------------------------------------


# Fractional share counts this close to the holding, relatively, are the
# holding: a rebalance that changes nothing makes no fill.
SHARE_NOISE = 1e-12


class Account:
    """The account options of a run and the shares held per stock id."""

    def __init__(self, capital, lot_size, min_fee, slippage, leverage, borrow_rate, cash_rate, periods_per_year,
                 n_stocks, fee_ratio, tax_ratio):
        self.capital = 1.0 if capital is None else float(capital)
        if lot_size is None:
            self.lots = [0.0] * n_stocks
        elif np.ndim(lot_size) == 0:
            self.lots = [float(lot_size)] * n_stocks
        else:
            self.lots = [float(x) for x in lot_size]
        self.min_fee = float(min_fee)
        self.slippage = float(slippage)
        self.leverage = float(leverage)
        self.borrow = float(borrow_rate) / float(periods_per_year)
        self.cash_rate = float(cash_rate) / float(periods_per_year)
        self.fee_ratio = fee_ratio
        self.tax_ratio = tax_ratio
        self.on = (capital is not None or lot_size is not None or self.min_fee != 0 or self.slippage != 0
                   or self.leverage != 1 or self.borrow != 0 or self.cash_rate != 0)
        self.shares = [0.0] * n_stocks
        self.trade_shares = []      # per trade record, the shares it held when it ended
        self.trade_dividends = []   # and the dividends it received (paid)
        self.events = None
        self.closed = [0.0] * n_stocks  # per stock id, shares its closing order has sold so far
        # The prices of the open record per stock id: the shares bought (sold
        # short) into it and what they cost, the shares its closing order
        # sold (bought back) and their proceeds, and whether it was taken
        # over at a rebalance on this bar (the resize is its cost).
        self.in_n, self.in_v = [0.0] * n_stocks, [0.0] * n_stocks
        self.out_n, self.out_v = [0.0] * n_stocks, [0.0] * n_stocks
        self.taken_over = [-1] * n_stocks
        self.trims = [0.0] * n_stocks   # what its sales before the close earned over its entry
        self.trade_entry_prices = []
        self.trade_exit_prices = []     # NaN for a record still open
        self.trade_trims = []
        self.interest = None        # per bar, set by the run
        # Market rules: volume caps, price limits, blocked cells; the orders
        # placed, the waiting one per stock id and the fills.
        self.volume = None
        self.max_volume_share = 0.0
        self.price_limit = 0.0
        self.blocked = None
        self.market_on = False
        self.orders = []            # [bar, sid, target, shares asked, price, reason, cut by the cash]
        self.waiting = {}           # sid -> order index
        self.order_now = -1
        self.fills = []             # (bar, sid, shares, price, value, cost, order, completed)
        self.fill_bar = {}          # sid -> bar of its last fill, and the shares filled on it
        self.filled_in_bar = {}
        self.d = 0
        self.split_at = lambda d, col: 1.0
        self.close_values = None
        self.pos2price = None

    def market(self, volume, max_volume_share, price_limit, blocked):
        self.volume = None if volume is None else np.asarray(volume, dtype=float)
        self.max_volume_share = 0.0 if max_volume_share is None else float(max_volume_share)
        self.price_limit = 0.0 if price_limit is None else float(price_limit)
        self.blocked = None if blocked is None else np.asarray(blocked, dtype=bool)
        self.market_on = volume is not None or price_limit is not None or blocked is not None

    def fee(self, value):
        f = self.fee_ratio * value
        return self.min_fee if f < self.min_fee else f

    def record_shares(self, sid):
        """What a record held before its closing order began to fill."""
        held, sold = self.shares[sid], self.closed[sid]
        return held + (-sold if held < 0 else sold) if sold > 0 else held

    def record_dividends(self, sid):
        return self.events.record[sid] if self.events is not None else 0.0

    def entry_price(self, sid):
        return self.in_v[sid] / self.in_n[sid] if self.in_n[sid] > 0 else math.nan

    def record_exit(self, recorder, sid, paid, last=None):
        """`last`: the closing fill (shares, price) not yet told, or the one
        price the whole record ends at (a split at a rebalance, a flip)."""
        self.trade_shares.append(self.record_shares(sid))
        self.trade_dividends.append(self.record_dividends(sid))
        self.book_record(sid, last)
        recorder.record_exit(sid, paid)

    def book_record(self, sid, last):
        """A record's entry is the share-weighted mean of the fills that built
        it; its exit that of its closing order's fills."""
        self.trade_entry_prices.append(self.entry_price(sid))
        self.trade_trims.append(self.trims[sid])
        if last is None:
            self.trade_exit_prices.append(math.nan)
            return
        if not isinstance(last, tuple):
            self.trade_exit_prices.append(float(last))
            return
        n, v = self.out_n[sid] + abs(last[0]), self.out_v[sid] + abs(last[0]) * last[1]
        self.trade_exit_prices.append(v / n if n > 0 else math.nan)

    def book_fill(self, sid, delta, fill, closing):
        """A fill of `delta` shares (the holding already moved) in the open
        record's prices."""
        after = self.shares[sid]
        before = after - delta
        if after == 0 and not closing:
            return                          # a whole close: its record has ended
        if before == 0 or before * delta > 0:
            self.in_n[sid] += abs(delta)
            self.in_v[sid] += abs(delta) * fill
        elif before * after < 0:
            # A flip in one fill: the close ended the old record at this fill.
            self.in_n[sid] += abs(after)
            self.in_v[sid] += abs(after) * fill
        elif closing:
            self.out_n[sid] += abs(delta)
            self.out_v[sid] += abs(delta) * fill
        elif self.taken_over[sid] == self.d:
            # The resize of a record taken over at a rebalance is its cost.
            self.in_n[sid] -= abs(delta)
            self.in_v[sid] -= abs(delta) * fill
        else:
            # A sale before the close: the cost per share stays.
            entry = self.entry_price(sid)
            self.trims[sid] += (fill - entry) * -delta
            self.in_n[sid] = abs(after)
            self.in_v[sid] = abs(after) * entry

    def close_replaced(self, sid):
        """The sales of a closing order a rebalance replaced were sales before
        the close."""
        if self.out_n[sid] > 0:
            entry = self.entry_price(sid)
            sign = 1.0 if self.shares[sid] > 0 else -1.0
            self.trims[sid] += sign * (self.out_v[sid] - self.out_n[sid] * entry)
            self.in_n[sid] = abs(self.shares[sid])
            self.in_v[sid] = self.in_n[sid] * entry
        self.out_n[sid] = self.out_v[sid] = 0.0

    def record_entry(self, recorder, sid, weight, paid):
        self.closed[sid] = 0.0
        self.in_n[sid] = self.in_v[sid] = self.out_n[sid] = self.out_v[sid] = self.trims[sid] = 0.0
        self.taken_over[sid] = -1
        if self.events is not None:
            self.events.record[sid] = 0.0
        recorder.record_entry(sid, weight, paid)


def market_allowed(acct, sid, buy, price):
    """The shares the market lets `sid` fill on this bar in one direction."""
    d, col = acct.d, acct.pos2price[sid]
    if acct.blocked is not None and acct.blocked[d, col]:
        return 0.0
    if acct.price_limit > 0 and d > 0:
        # A split of this bar puts the previous close into its shares.
        prev = float(acct.close_values[d - 1, col]) / acct.split_at(d, col)
        if buy and price >= prev * (1 + acct.price_limit) * (1 - 1e-9):
            return 0.0
        if not buy and price <= prev * (1 - acct.price_limit) * (1 + 1e-9):
            return 0.0
    if acct.volume is None:
        return math.inf
    cap = acct.max_volume_share * float(acct.volume[d, col])
    if acct.fill_bar.get(sid) == d:
        cap = cap - acct.filled_in_bar[sid]
    if not cap > 0:
        return 0.0
    lot = acct.lots[sid]
    if lot > 0:
        # An infinite volume caps nothing: its whole lots are infinite too.
        whole = cap / lot
        return (float(math.floor(whole)) if math.isfinite(whole) else whole) * lot
    return cap


def order_place(acct, sid, target, price, reason):
    acct.orders.append([acct.d, sid, target, target - acct.shares[sid], price, reason, False])
    acct.order_now = len(acct.orders) - 1


def order_wait(acct, sid):
    acct.waiting[sid] = acct.order_now


def order_stop_waiting(acct, sid):
    acct.waiting.pop(sid, None)


def exit_waits(acct, sid):
    return sid in acct.waiting and acct.orders[acct.waiting[sid]][2] == 0


def market_capped(acct, sid, target, price):
    """How far toward `target` the market lets `sid` move now; the order
    waits for the rest."""
    if not acct.market_on:
        return target
    held = acct.shares[sid]
    d = target - held
    a = math.inf if d == 0 else market_allowed(acct, sid, d > 0, price)
    if abs(d) <= a:
        order_stop_waiting(acct, sid)
        return target
    order_wait(acct, sid)
    if _isnan(price):
        return held
    return held + a if d > 0 else held - a


def tell_fill(acct, sid, delta, fill, value, cost):
    completed = acct.waiting.get(sid, -1) != acct.order_now
    if acct.market_on:
        if acct.fill_bar.get(sid) != acct.d:
            acct.filled_in_bar[sid] = 0.0
        acct.fill_bar[sid] = acct.d
        acct.filled_in_bar[sid] += abs(delta)
    closing = acct.orders[acct.order_now][2] == 0 and not completed
    if closing:
        acct.closed[sid] += abs(delta)
    acct.book_fill(sid, delta, fill, closing)
    acct.fills.append((acct.d, sid, delta, fill, value, cost, acct.order_now, completed))


def fills_whole(acct, sid, fill_price, reason):
    if not acct.market_on or reason == "delisting":
        return True
    n = acct.shares[sid]
    return n == 0 or market_allowed(acct, sid, n < 0, fill_price) >= abs(n)


def account_close_part(acct, p, sid, cash, a, fill_price):
    """Sell (cover) `a` shares, less than the whole holding; the rest waits."""
    order_wait(acct, sid)
    if a == 0:
        return cash
    n = acct.shares[sid]
    sold = a if n > 0 else -a
    rest = n - sold
    fill = fill_price * (1 - acct.slippage if n > 0 else 1 + acct.slippage)
    traded = a * fill
    cost = acct.fee(traded) + acct.tax_ratio * traded
    cash = (traded - cost) + cash if n > 0 else (cash - traded) - cost
    p[sid] = p[sid] * (rest / n)
    acct.shares[sid] = rest
    tell_fill(acct, sid, -sold, fill, traded, cost)
    return cash


def account_exit(acct, p, sid, cash, set_null, reason, fill_price, *, recorder):
    """An exit or delisting: an order for the whole holding."""
    if sid in p and (acct.shares[sid] != 0 or p[sid] != 0):
        order_place(acct, sid, 0.0, fill_price, reason)
    cash = account_close(acct, p, sid, cash, set_null, recorder=recorder, reason=reason, fill_price=fill_price)
    acct.order_now = -1
    return cash


def account_close(acct, p, sid, cash, set_null, *, recorder, reason="rebalance", fill_price=math.nan,
                  ends_order=True):
    """End a whole holding at its carried value, with slippage and costs.
    Unless `ends_order` (a flip whose other side waits), its order goes on."""
    if sid not in p:
        return cash
    held = p[sid]
    if held != 0 and not fills_whole(acct, sid, fill_price, reason):
        n = acct.shares[sid]
        a = 0.0 if _isnan(fill_price) else market_allowed(acct, sid, n < 0, fill_price)
        return account_close_part(acct, p, sid, cash, a, fill_price)
    n = acct.shares[sid]
    if held != 0:
        filled_at = abs(held - acct.slippage * abs(held)) / abs(n) if n != 0 else math.nan
        acct.record_exit(recorder, sid, 1, last=(n, filled_at))
    if set_null:
        del p[sid]
    else:
        p[sid] = 0.0
    acct.shares[sid] = 0.0
    if held == 0:
        return cash
    filled = held - acct.slippage * abs(held)
    value = abs(filled)
    cost = acct.fee(value) + acct.tax_ratio * value
    if ends_order:
        order_stop_waiting(acct, sid)
    tell_fill(acct, sid, -n, value / abs(n) if n != 0 else math.nan, value, cost)
    return (filled - cost) + cash


def account_trade(acct, p, sid, shares, price, balance, cash, *, recorder, split=True):
    """Move `sid` to `shares` (nonzero) at the trading price `price`; a held
    stock starts a new trade record only when `split` (at a rebalance)."""
    held_shares = acct.shares[sid]
    held = sid in p and p[sid] != 0
    d = shares - held_shares
    buy = d > 0
    value = shares * price
    fill = price * (1 + acct.slippage) if buy else price * (1 - acct.slippage)
    if not held:
        acct.record_entry(recorder, sid, value / balance, 1)
    elif held_shares * shares < 0:
        # A flip: the short (long) ends at this fill and the long (short) starts.
        acct.record_exit(recorder, sid, 1, last=fill)
        acct.record_entry(recorder, sid, value / balance, 1)
    elif split and not RETAIN_COST_WHEN_REBALANCE and RESAMPLE:
        # The record ends at the position's value and the next takes it over.
        acct.record_exit(recorder, sid, 0, last=price)
        acct.record_entry(recorder, sid, value / balance, 0)
        acct.in_n[sid], acct.in_v[sid] = abs(held_shares), abs(held_shares) * price
        acct.taken_over[sid] = acct.d
    if d == 0:
        return cash
    traded = abs(d) * fill
    is_entry = shares >= 0 if buy else shares <= 0
    cost = acct.fee(traded)
    if not is_entry:
        cost = cost + acct.tax_ratio * traded
    after = (cash - traded) - cost if buy else (traded - cost) + cash
    p[sid] = value
    acct.shares[sid] = shares
    tell_fill(acct, sid, d, fill, traded, cost)
    return after


def account_cut(acct, held, shares, fill, cash, floor, lot):
    """The shares a purchase keeps once its long part is cut, a lot at a
    time, until the cash after it is at least `floor`. A cover is not cut."""
    base = held if held > 0 else 0.0
    if not shares > base:
        return shares

    def after(x):
        traded = abs(x - held) * fill
        return (cash - traded) - acct.fee(traded)

    if after(shares) >= floor:
        return shares
    if lot > 0:
        # The cash left grows as lots are cut: the first k that fits is
        # found by bisection.
        steps = math.floor((shares - base) / lot)
        lo, hi = 1.0, float(steps - 1)
        if hi < lo or not after(shares - hi * lot) >= floor:
            return base
        while lo < hi:
            mid = float(math.floor((lo + hi) / 2))
            if after(shares - mid * lot) >= floor:
                hi = mid
            else:
                lo = mid + 1
        return shares - lo * lot
    avail = cash - floor
    with_fee = avail / (fill * (1 + acct.fee_ratio))
    with_min = (avail - acct.min_fee) / fill
    x = held + (with_min if with_min < with_fee else with_fee)
    if not x < shares:
        x = shares
    for _ in range(16):
        if not (x > base and not after(x) >= floor):
            break
        x = math.nextafter(x, base)
    return x if x > base and after(x) >= floor else base


def account_rebalance(acct, p, newp, cash, position_limit, price_row, pos2price, pos_columns, d, *, recorder):
    """The rebalance of an account: targets in shares, then sales, covers
    and purchases, each pass in ascending stock id."""
    balance = cash
    for sid in sorted(p):
        balance = balance + p[sid]
    abs_sum = float(np.abs(newp).sum())
    ratio = balance * acct.leverage / abs_sum if abs_sum > acct.leverage else balance
    if _isnan(ratio):
        ratio = 1.0
    targets = []
    for sid in range(len(newp)):
        v2 = float(newp[sid]) * ratio
        if balance < 0:
            v2 = 0.0
        elif abs(v2) > balance * position_limit:
            v2 = balance * position_limit * (1 if v2 > 0 else -1)
        if v2 == 0 and sid not in p:
            continue
        price = float(price_row[pos2price[sid]])
        if v2 == 0:
            # A holding without a price on this bar cannot be sold: it keeps
            # its shares and is carried on.
            if _isnan(price) and p.get(sid, 0.0) != 0:
                continue
            shares = 0.0
        else:
            validate_trade_price(price, pos_columns[sid], d)
            lot = acct.lots[sid]
            shares = float(np.trunc(v2 / price / lot)) * lot if lot > 0 else v2 / price
            if not math.isfinite(shares):
                continue
            if lot > 0 and not abs(shares) < 2.0 ** 53:
                # Whole lots end where a float stops counting every whole number.
                raise ValueError(f"Share count {shares:.6g} for {pos_columns[sid]} at price row {d} "
                                 f"is beyond whole numbers (2**53)")
        held = acct.shares[sid]
        if acct.lots[sid] <= 0 and abs(shares - held) <= SHARE_NOISE * abs(held):
            # Fractional shares a rounding away from the holding: no fill.
            shares = held
        if shares <= held:
            if shares == 0 and sid not in p:
                continue
            group = "sales"
        else:
            group = "covers" if held < 0 else "purchases"
        targets.append((sid, shares, price, group))

    # A rebalance replaces every waiting order. The sales of a closing order
    # it replaces were resizes of the record, which goes on: its shares are
    # what it holds.
    for sid in sorted(acct.waiting):
        if acct.orders[acct.waiting[sid]][2] == 0:
            acct.closed[sid] = 0.0
            acct.close_replaced(sid)
    acct.waiting.clear()
    return account_fill_targets(acct, p, targets, cash, balance, True, recorder=recorder)


def cover_reserve(acct, p):
    """What the covers still waiting need: each one's shares to buy back at
    their carried value with slippage, with the costs, and their value
    again, the part of the leverage the short still takes. A purchase may
    not spend it."""
    total = 0.0
    for sid in sorted(acct.waiting):
        held = acct.shares[sid]
        target = acct.orders[acct.waiting[sid]][2]
        if held < 0 and target > held and sid in p:
            need = (target if target < 0 else 0.0) - held
            value = abs(p[sid]) * (need / -held)
            traded = value * (1 + acct.slippage)
            cost = acct.fee(traded)
            if target < 0:
                cost = cost + acct.tax_ratio * traded
            total = total + ((traded + cost) + value)
    return total


def account_fill_targets(acct, p, targets, cash, balance, placing, *, recorder):
    """Sales, covers, purchases, each as far as the market and the cash
    allow. `placing`: a rebalance's new orders, else the waiting ones."""
    floor = balance * (1 - acct.leverage) if acct.leverage > 1 else 0.0
    for group in ("sales", "covers", "purchases"):
        if group == "purchases" and acct.waiting:
            floor = floor + cover_reserve(acct, p)
        for sid, target, price, g in targets:
            if g != group:
                continue
            if placing:
                order_place(acct, sid, target, price, "rebalance")
            else:
                acct.order_now = acct.waiting[sid]
            held = acct.shares[sid]
            shares = market_capped(acct, sid, target, price)
            if group != "sales":
                kept = account_cut(acct, held, shares, price * (1 + acct.slippage), cash, floor, acct.lots[sid])
                if kept != shares:
                    # The cash cuts the purchase short, which ends its order.
                    order_stop_waiting(acct, sid)
                    acct.orders[acct.order_now][6] = True
                shares = kept
            why = "rebalance" if placing else acct.orders[acct.order_now][5]
            if shares == 0:
                # A flip the market stops at flat: the close is a fill of its
                # order, whose other side waits.
                flip = target != 0 and acct.waiting.get(sid) == acct.order_now
                cash = account_close(acct, p, sid, cash, True, recorder=recorder, reason=why, fill_price=price,
                                     ends_order=not flip)
            elif placing or shares != held:
                cash = account_trade(acct, p, sid, shares, price, balance, cash, recorder=recorder,
                                     split=placing and target != 0)
    acct.order_now = -1
    return cash


def account_retry(acct, p, cash, price_row, pos_columns, *, recorder):
    """The waiting orders go on at this bar's trading prices; returns the
    cash and the stocks first bought (or flipped) now."""
    balance = cash
    for sid in sorted(p):
        balance = balance + p[sid]
    targets = []
    for sid in sorted(acct.waiting):
        target = acct.orders[acct.waiting[sid]][2]
        price = float(price_row[acct.pos2price[sid]])
        validate_trade_price(price, pos_columns[sid], acct.d)
        if _isnan(price):
            continue
        held = acct.shares[sid]
        if target <= held:
            if target == 0 and sid not in p:
                continue
            group = "sales"
        else:
            group = "covers" if held < 0 else "purchases"
        targets.append((sid, target, price, group))
    before = [acct.shares[t[0]] for t in targets]
    cash = account_fill_targets(acct, p, targets, cash, balance, False, recorder=recorder)
    entered = [(t[0], t[2]) for t, b in zip(targets, before) if b * acct.shares[t[0]] <= 0 and acct.shares[t[0]] != 0]
    return cash, entered



# ---------------------------------------------------------------------------
# Ledger events: cash dividends, splits and cash flows (the options
# dividends, splits, cash_flows and dividend_tax of the native ledger)
# ---------------------------------------------------------------------------
#
# The rules, as the issue that asked for them states them:
# - Dividends are cash per share dated on the ex-date; splits are new shares
#   per old share on the ex-date. NaN (and 0) is no event; a split of 1 too.
# - Both happen at the bar's open, to what was held at the previous close,
#   before the bar's revaluation; a cash flow is added to the cash there too.
# - With capital: a long receives shares x dividend in cash, less
#   dividend_tax of it (withheld); a short pays shares x dividend in full. A
#   split multiplies the shares by its ratio and divides the reference price
#   the next return is taken from by it (so the value, the return trackers
#   and therefore the stop, take-profit and trailing levels do not move), as
#   well as the previous close a price limit is measured from, and the
#   target of a waiting order is multiplied by it. A fraction of a lot left
#   over is paid as cash at that bar's close ("cash in lieu"), after the
#   bar's trading; a holding left with no whole lot ends there.
# - Without capital: a dividend D enters the holding's return as
#   (price + D) / previous price, the price being the bar's trading price
#   (its close when trading at the close), and a split s as price * s /
#   previous price: the reference price is divided by s and multiplied by
#   price / (price + D). A dividend of a bar without a trading price waits
#   for the next bar with one; a rebalance, which takes the reference price
#   afresh, drops it.
# - A withdrawal larger than the cash sells the long holdings pro rata at
#   the bar's trading price, after the bar's exits and waiting orders and
#   unless a rebalance (which sizes every holding to the balance) is due:
#   the fraction f = min(1, shortfall / (longs' value x (1 - slippage) x (1 -
#   fee - tax))) of each, rounded up to whole lots, at most the holding.


class Events:
    """The ledger events of a run, and what they paid per bar."""

    def __init__(self, dividends, splits, cash_flows, dividend_tax, n_bars, n_stocks):
        self.dividends = None if dividends is None else np.asarray(dividends, dtype=float)
        self.splits = None if splits is None else np.asarray(splits, dtype=float)
        self.flows = None if cash_flows is None else np.asarray(cash_flows, dtype=float)
        self.tax = float(dividend_tax)
        self.paid = np.zeros(n_bars)       # dividends per bar
        self.flowed = np.zeros(n_bars)     # cash flows per bar
        self.pending = {}                  # price column -> dividend waiting for a trading price
        self.split_today = []              # stock ids split on this bar
        self.record = [0.0] * n_stocks     # per stock id, the dividends of its open trade record
        self.on = dividends is not None or splits is not None or cash_flows is not None

    def dividend(self, d, col):
        if self.dividends is None:
            return 0.0
        x = float(self.dividends[d, col])
        return 0.0 if _isnan(x) else x

    def split(self, d, col):
        if self.splits is None:
            return 1.0
        x = float(self.splits[d, col])
        return 1.0 if _isnan(x) or x == 0 else x

    def flow(self, d):
        if self.flows is None:
            return 0.0
        x = float(self.flows[d])
        return 0.0 if _isnan(x) else x


def events_at_open(ev, acct, p, cash, d, price_values, previous_price, pos2price):
    """The events of bar d at its open; returns the cash."""
    ev.split_today = []
    if acct.on:
        f = ev.flow(d)
        if f != 0:
            cash = cash + f
            ev.flowed[d] += f
    for sid in sorted(p):
        col = pos2price[sid]
        s = ev.split(d, col)
        if s != 1:
            previous_price[col] = previous_price[col] / s
            if col in ev.pending:
                ev.pending[col] = ev.pending[col] / s
            if acct.on:
                acct.shares[sid] = acct.shares[sid] * s
                acct.closed[sid] *= s   # the record goes on in the new shares
                acct.in_n[sid] *= s
                acct.out_n[sid] *= s
                if sid in acct.waiting:
                    acct.orders[acct.waiting[sid]][2] *= s
                ev.split_today.append(sid)
        div = ev.dividend(d, col)
        if div == 0:
            continue
        if acct.on:
            n = acct.shares[sid]
            if n == 0:
                continue
            amount = n * div
            if n > 0:
                amount = amount - amount * ev.tax
            cash = cash + amount
            ev.paid[d] += amount
            ev.record[sid] += amount
        elif p[sid] != 0:
            ev.pending[col] = ev.pending.get(col, 0.0) + div
    if not acct.on:
        # The waiting dividends of held columns that have a price now.
        for sid in sorted(p):
            col = pos2price[sid]
            if col not in ev.pending:
                continue
            price = float(price_values[d, col])
            if _isnan(price):
                continue
            div = ev.pending.pop(col)
            prev = previous_price[col]
            if not _isnan(prev):
                ev.paid[d] += p[sid] * div / prev
                previous_price[col] = prev * (price / (price + div))
    return cash


def withdrawal_sales(acct, p, cash, price_row, pos2price, *, recorder):
    """A withdrawal beyond the cash sells the longs pro rata."""
    shortfall = -cash
    longs = []
    total = 0.0
    for sid in sorted(p):
        n = acct.shares[sid]
        price = float(price_row[pos2price[sid]])
        if n > 0 and p[sid] != 0 and not _isnan(price) and not exit_waits(acct, sid):
            longs.append((sid, n, price))
            total = total + n * price
    if not total > 0:
        return cash
    f = shortfall / (total * (1 - acct.slippage) * (1 - acct.fee_ratio - acct.tax_ratio))
    if not f < 1:
        f = 1.0
    for sid, n, price in longs:
        a = n * f
        lot = acct.lots[sid]
        if lot > 0:
            a = math.ceil(a / lot) * lot
        if a > n:
            a = n
        if a <= 0:
            continue
        order_place(acct, sid, n - a, price, "withdrawal")
        shares = market_capped(acct, sid, n - a, price)
        if shares == 0:
            cash = account_close(acct, p, sid, cash, True, recorder=recorder, reason="withdrawal", fill_price=price)
        elif shares != n:
            cash = account_trade(acct, p, sid, shares, price, math.nan, cash, recorder=recorder, split=False)
        acct.order_now = -1
    return cash


def cash_in_lieu(ev, acct, p, cash, d, price_values, close_values, pos2price, *, recorder):
    """The odd shares a split left, paid at the bar's close."""
    for sid in sorted(set(ev.split_today)):
        lot = acct.lots[sid]
        if not lot > 0 or sid not in p or acct.shares[sid] == 0:
            continue
        n = acct.shares[sid]
        whole = float(np.trunc(n / lot)) * lot
        odd = n - whole
        if odd == 0:
            continue
        col = pos2price[sid]
        tp, cp = float(price_values[d, col]), float(close_values[d, col])
        marked = p[sid] if _isnan(tp) or _isnan(cp) else p[sid] * cp / tp
        amount = marked * (odd / n)
        cash = cash + amount
        if whole == 0:
            acct.record_exit(recorder, sid, 1, last=(n, amount / odd))
            del p[sid]
            order_stop_waiting(acct, sid)
        else:
            p[sid] = p[sid] * (whole / n)
            acct.trims[sid] += (amount / odd - acct.entry_price(sid)) * odd
        acct.shares[sid] = whole
    return cash

# ---------------------------------------------------------------------------
# Weight utilities
# ---------------------------------------------------------------------------


def normalize_weight(weights, position_limit):
    """Scale so the absolute weights add up to at most 1, then cap each at
    +-position_limit; changes and returns the same dict."""
    weight_sum = 0.0
    for sid, w in weights.items():
        weight_sum += abs(weights[sid])
    for sid in weights:
        if weight_sum > 1:
            weights[sid] = weights[sid] * (1 / weight_sum)
    for sid in weights:
        if weights[sid] > position_limit:
            weights[sid] = position_limit
        elif weights[sid] < -position_limit:
            weights[sid] = -position_limit
    return weights


def ioft(v):
    return datetime.datetime.fromtimestamp(v / 1e9)


# ---------------------------------------------------------------------------
# Trade log export
# ---------------------------------------------------------------------------


def get_trade_stocks(trades, trade_positions, pos_columns, price_index, touched_exit):
    """Nine-value rows of the trade log: label, entry date, exit date, entry
    signal date, exit signal date, weight, holding period, entry row, exit row."""
    ret = []
    n_bars = len(price_index)
    for i, t in enumerate(trades):
        sid, i_entry, i_exit = t[0], int(t[1]), int(t[2])
        closed = i_exit != -1
        if not closed:
            exit_signal = -1
        elif touched_exit:
            exit_signal = int(price_index[i_exit])
        else:
            exit_signal = int(price_index[i_exit - 1])
        ret.append([
            pos_columns[sid],
            int(price_index[i_entry]),
            int(price_index[i_exit]) if closed else -1,
            int(price_index[i_entry - 1]),
            exit_signal,
            trade_positions[i],
            i_exit - i_entry if closed else n_bars - i_entry,
            i_entry,
            i_exit,
        ])
    return ret


# ---------------------------------------------------------------------------
# The run
# ---------------------------------------------------------------------------


class Result:
    """Everything a run leaves behind: the value array, the recorder lists,
    the operations report, and the final ledger state for debugging."""

    def __init__(self, creturn, recorder, stock_operations, pos, cash, exit_stocks, exited_stocks, pos2price,
                 account=None):
        self.account = account
        self.creturn = creturn
        self.recorder = recorder
        self.stock_operations = stock_operations
        self.pos = pos
        self.cash = cash
        self.exit_stocks = exit_stocks
        self.exited_stocks = exited_stocks
        self.pos2price = pos2price

    @property
    def trades(self):
        return self.recorder.trades

    @property
    def trade_positions(self):
        return self.recorder.trade_positions

    @property
    def orbalt(self):
        return self.recorder.orbalt

    def get_stock_operations(self):
        return self.stock_operations.copy()

    def get_trade_stocks(self, pos_columns, price_index, touched_exit):
        return get_trade_stocks(self.recorder.trades, self.recorder.trade_positions, pos_columns, price_index,
                                touched_exit)


def backtest(price_values, close_values, high_values, low_values, open_values, price_index, price_columns,
             pos_values, pos_index, pos_columns, resample, fee_ratio=0.001425, tax_ratio=0.003, stop_loss=1.0,
             take_profit=np.inf, trail_stop=np.inf, trail_stop_activation=0.0, touched_exit=False,
             position_limit=1.0, retain_cost_when_rebalance=False, stop_trading_next_period=True,
             orbalt_window=0, orbalt_window_step=1, periodically_rebalance=True, delisting_bars=None,
             recorder=None, capital=None, lot_size=None, min_fee=0.0, slippage=0.0, leverage=1.0,
             borrow_rate=0.0, cash_rate=0.0, periods_per_year=252.0, volume=None, max_volume_share=None,
             price_limit=None, blocked=None, dividends=None, splits=None, cash_flows=None, dividend_tax=0.0,
             credit_gaps=False, rebase_stops=False):
    """Run one backtest and return a Result. Pass `recorder` to carry the
    recorder's state over from an earlier run, as the native module does.
    The account options are those of the native ledger (vostra._engine.run);
    the Result's `account` then holds the shares, trade shares and interest.
    `credit_gaps` gives the normalised account the account's rule for a
    holding without a price on a rebalance bar (the front end's runs).
    `rebase_stops` measures the stops of an account's position kept on the
    same side (retain_cost_when_rebalance) from its record's entry: see
    rebase_on_add."""
    global RETAIN_COST_WHEN_REBALANCE, RESAMPLE

    fee_ratio = float(fee_ratio)
    tax_ratio = float(tax_ratio)
    position_limit = float(position_limit)
    if position_limit < 0:
        raise ValueError(f"position_limit must be >= 0, got {position_limit!r}")
    touched_exit = bool(touched_exit)
    orbalt_window = int(orbalt_window)
    orbalt_window_step = int(orbalt_window_step)
    if recorder is None:
        recorder = Recorder()

    RETAIN_COST_WHEN_REBALANCE = bool(retain_cost_when_rebalance)
    RESAMPLE = bool(periodically_rebalance)
    retain = RETAIN_COST_WHEN_REBALANCE
    rebase = bool(rebase_stops) and retain

    pos2price = map_columns(price_columns, pos_columns)

    n_bars = len(price_index)
    n_stocks = pos_values.shape[1]
    pidx = [int(x) for x in price_index]
    qidx = [int(x) for x in pos_index]
    creturn = np.empty(n_bars, dtype=np.float64)
    cr = [1.0] * n_stocks
    maxcr = [1.0] * n_stocks
    mincr = [1.0] * n_stocks
    previous_price = [1.0] * price_values.shape[1]

    if delisting_bars is None:
        has_delisting = False
    else:
        has_delisting = bool((np.asarray(delisting_bars) >= 0).any())

    stop_loss_abs = abs(float(stop_loss))
    take_profit_abs = abs(float(take_profit))
    trail_stop_abs = abs(float(trail_stop))
    trail_stop_activation_abs = abs(float(trail_stop_activation))
    acct = Account(capital, lot_size, min_fee, slippage, leverage, borrow_rate, cash_rate, periods_per_year,
                   n_stocks, fee_ratio, tax_ratio)
    acct.interest = np.zeros(n_bars)
    acct.market(volume, max_volume_share, price_limit, blocked)
    ev = Events(dividends, splits, cash_flows, dividend_tax, n_bars, n_stocks)
    acct.events = ev
    acct.split_at = ev.split
    acct.close_values = close_values
    acct.pos2price = pos2price
    cash = acct.capital
    balance = acct.capital
    pos_id = 0
    current_position_id = -1
    should_rebalance = False

    # Each resample timestamp marks the last price row at or before it.
    date_rebalance = [0] * n_bars
    ptr = 0
    for t in resample:
        t = int(t)
        while ptr + 1 < n_bars and pidx[ptr + 1] <= t:
            ptr += 1
        if ptr < n_bars:
            date_rebalance[ptr] = 1

    recorder.start_analysis(price_values, close_values, pos2price, len(pos_columns), fee_ratio, tax_ratio,
                            orbalt_window, orbalt_window_step)

    pos = {}
    latest_rebalanced_pos = {}
    latest_rebalanced_row = None
    exit_stocks = []
    exit_stocks_temp = []
    exited_stocks = []
    delisted_stocks = []
    date = None

    def close_stock(sid, set_null, reason="exit", fill_price=math.nan):
        if acct.on:
            return account_exit(acct, pos, sid, cash, set_null, reason, fill_price, recorder=recorder)
        return set_position(pos, sid, 0.0, cash, fee_ratio, tax_ratio, check_null=False, set_null=set_null,
                            recorder=recorder)

    for d in range(n_bars):
        date = pidx[d]
        if date < qidx[0]:
            # Before the first signal nothing is held; the cash earns, then
            # the cash flows come.
            if acct.on and d > 0 and acct.cash_rate != 0:
                earned = cash * acct.cash_rate
                cash = cash + earned
                acct.interest[d] += earned
            if ev.on and acct.on and ev.flow(d) != 0:
                cash = cash + ev.flow(d)
                ev.flowed[d] += ev.flow(d)
            creturn[d] = cash
            continue

        recorder.record_date(d)
        acct.d = d

        if acct.on and d > 0:
            # Interest on the cash of the previous close, then the borrow fee
            # of every short at its value at that close.
            if acct.cash_rate != 0:
                earned = cash * acct.cash_rate
                cash = cash + earned
                acct.interest[d] += earned
            if acct.borrow != 0:
                for sid in sorted(pos):
                    if pos[sid] < 0:
                        sidprice = pos2price[sid]
                        tp = float(price_values[d - 1, sidprice])
                        cp = float(close_values[d - 1, sidprice])
                        value = pos[sid] if _isnan(tp) or _isnan(cp) else pos[sid] * cp / tp
                        cash = cash - (-value * acct.borrow)

        if ev.on:
            cash = events_at_open(ev, acct, pos, cash, d, price_values, previous_price, pos2price)

        # Revalue every held position at this bar's trading price and test its exits.
        exit_stocks_temp = []
        for sid in sorted(pos):
            sidprice = pos2price[sid]
            trade_price = float(price_values[d, sidprice])
            validate_trade_price(trade_price, pos_columns[sid], d)
            if _isnan(previous_price[sidprice]):
                previous_price[sidprice] = trade_price
            r = trade_price / previous_price[sidprice]
            if _isnan(r):
                r = 1.0
            pos[sid] = pos[sid] * r
            cr[sid] = cr[sid] * r
            if cr[sid] > maxcr[sid]:
                maxcr[sid] = cr[sid]
            if cr[sid] < mincr[sid]:
                mincr[sid] = cr[sid]
            entry_pos = pos[sid] / cr[sid]

            # A flat entry (closed by an intrabar stop) has no levels to test,
            # nor a holding waiting to be sold.
            if pos[sid] != 0 and not exit_waits(acct, sid):
                if entry_pos > 0:
                    trail_stop_active = maxcr[sid] >= 1 + trail_stop_activation_abs
                    max_r = 1 + take_profit_abs
                    min_r = 1 - stop_loss_abs
                    if trail_stop_active:
                        min_r = max(min_r, maxcr[sid] - trail_stop_abs)
                else:
                    trail_stop_active = mincr[sid] <= 1 - trail_stop_activation_abs
                    max_r = 1 + stop_loss_abs
                    if trail_stop_active:
                        max_r = min(max_r, mincr[sid] + trail_stop_abs)
                    min_r = 1 - take_profit_abs

                if touched_exit:
                    prev = previous_price[sidprice]
                    base = cr[sid] / r
                    high_r = base * (float(high_values[d, sidprice]) / prev)
                    low_r = base * (float(low_values[d, sidprice]) / prev)
                    open_r = base * (float(open_values[d, sidprice]) / prev)
                    touch_low = low_r <= min_r
                    touch_high = high_r >= max_r
                    touch_open = open_r >= max_r or open_r <= min_r
                    if touch_open:
                        exit_value, fill = entry_pos * open_r, float(open_values[d, sidprice])
                    elif touch_high:
                        exit_value, fill = entry_pos * max_r, prev * (max_r / base)
                    elif touch_low:
                        exit_value, fill = entry_pos * min_r, prev * (min_r / base)
                    if touch_low or touch_high or touch_open:
                        if not acct.on or fills_whole(acct, sid, fill, "exit"):
                            pos[sid] = exit_value
                        stop_side = (touch_low and exit_value > 0) or (touch_high and exit_value < 0)
                        exited_stocks.append(Exit(sid, not stop_side))
                        cash = close_stock(sid, False, "exit", fill)
                else:
                    cr_at_close = cr[sid] * float(close_values[d, sidprice]) / float(price_values[d, sidprice])
                    if cr_at_close >= max_r:
                        exit_stocks_temp.append(Exit(sid, True))
                    elif cr_at_close < min_r:
                        exit_stocks_temp.append(Exit(sid, False))

            if not _isnan(trade_price):
                previous_price[sidprice] = trade_price

        # Close-mode marks of the previous bar are carried out at this bar's price.
        for mark in exit_stocks:
            abssid = mark.sid
            will_be_set_by_rebalance = (should_rebalance and not stop_trading_next_period
                                        and float(pos_values[pos_id, abssid]) != 0)
            if abssid not in pos or pos[abssid] == 0 or will_be_set_by_rebalance:
                continue
            cash = close_stock(abssid, True, "exit", float(price_values[d, pos2price[abssid]]))
            exited_stocks.append(mark)
            cr[abssid] = 1.0
            maxcr[abssid] = 1.0
            mincr[abssid] = 1.0
            for i, e in enumerate(exit_stocks_temp):
                if e.sid == abssid:
                    del exit_stocks_temp[i]
                    break
        exit_stocks = list(exit_stocks_temp)

        # A rebalance replaces the waiting orders; else they go on.
        if acct.waiting and not should_rebalance:
            before = list(acct.shares)
            cash, entered = account_retry(acct, pos, cash, price_values[d], pos_columns, recorder=recorder)
            if rebase:
                rebase_on_add(acct, before, price_values[d], cr, maxcr, mincr)
            for sid, price in entered:
                cr[sid] = maxcr[sid] = mincr[sid] = 1.0
                previous_price[pos2price[sid]] = price

        if ev.on and acct.on and ev.flow(d) < 0 and cash < 0 and not should_rebalance:
            cash = withdrawal_sales(acct, pos, cash, price_values[d], pos2price, recorder=recorder)

        if should_rebalance:
            ev.pending.clear()
            if retain:
                # Stocks kept on the same side keep their return trackers.
                for sid in range(n_stocks):
                    pv = float(pos_values[pos_id, sid])
                    if pv != 0 and (sid not in pos or pos[sid] * pv <= 0):
                        cr[sid] = 1.0
                        maxcr[sid] = 1.0
                        mincr[sid] = 1.0
            else:
                cr = [1.0] * n_stocks
                maxcr = [1.0] * n_stocks
                mincr = [1.0] * n_stocks
            rebalance_row = pos_values[pos_id]
            if stop_trading_next_period and exited_stocks:
                rebalance_row = np.array(rebalance_row, dtype=np.float64, copy=True)
                for e in exited_stocks:
                    rebalance_row[e.sid] = 0.0
            held_before = list(pos)
            if acct.on:
                before = list(acct.shares)
                cash = account_rebalance(acct, pos, rebalance_row, cash, position_limit, price_values[d], pos2price,
                                         pos_columns, d, recorder=recorder)
                if rebase:
                    rebase_on_add(acct, before, price_values[d], cr, maxcr, mincr)
            else:
                # With credit_gaps a holding without a price on this bar is
                # kept, as the account keeps its shares.
                keep = None
                if credit_gaps:
                    def keep(sid, d=d):
                        return pos.get(sid, 0.0) != 0 and _isnan(float(price_values[d, pos2price[sid]]))
                cash = rebalance(pos, rebalance_row, cash, fee_ratio, tax_ratio, position_limit, recorder=recorder,
                                 keep=keep)
            latest_rebalanced_pos = dict(pos)
            reference = [float(x) for x in price_values[d]]
            if acct.on or credit_gaps:
                # A holding without a price on this bar keeps its reference
                # price, so its move across the gap is credited when it
                # trades again.
                for sid in held_before:
                    col = pos2price[sid]
                    if sid in pos and _isnan(reference[col]):
                        reference[col] = previous_price[col]
            previous_price = reference
            latest_rebalanced_row = rebalance_row
            exited_stocks = []
            current_position_id = pos_id

        if has_delisting:
            for sid in sorted(acct.waiting, reverse=True):
                if int(delisting_bars[sid]) == d:
                    order_stop_waiting(acct, sid)
            delisted_stocks = []
            for sid in sorted(pos):
                if int(delisting_bars[sid]) == d and pos[sid] != 0:
                    delisted_stocks.append(sid)
            for sid in delisted_stocks:
                col = pos2price[sid]
                fill = float(price_values[d, col])
                if (acct.on or credit_gaps) and _isnan(fill) and d > 0:
                    # Sold at the price it was last marked at: the close of
                    # the bar before.
                    tp, cp = float(price_values[d - 1, col]), float(close_values[d - 1, col])
                    if not _isnan(tp) and not _isnan(cp):
                        pos[sid] = pos[sid] * cp / tp
                        fill = cp
                cash = close_stock(sid, True, "delisting", fill)
                cr[sid] = 1.0
                maxcr[sid] = 1.0
                mincr[sid] = 1.0

        if ev.on and acct.on and ev.split_today:
            cash = cash_in_lieu(ev, acct, pos, cash, d, price_values, close_values, pos2price, recorder=recorder)

        # Mark to close; positions themselves stay valued at the trading price.
        balance = cash
        for sid in sorted(pos):
            val = pos[sid]
            sidprice = pos2price[sid]
            trade_price = float(price_values[d, sidprice])
            validate_trade_price(trade_price, pos_columns[sid], d)
            close_price = float(close_values[d, sidprice])
            if _isnan(trade_price) or _isnan(close_price):
                balance += val
            else:
                balance += val * close_price / trade_price
        creturn[d] = balance

        # A signal row comes into force at the last bar strictly before the next bar.
        next_bar = pidx[d + 1] if d < n_bars - 1 else pidx[d] + math.inf
        while pos_id < len(qidx) - 1 and qidx[pos_id + 1] < next_bar:
            pos_id += 1
        should_rebalance = pos_id != current_position_id and date_rebalance[d] != 0

    if acct.on:
        acct.trade_shares.extend(acct.record_shares(sid) for sid in sorted(pos) if pos[sid] != 0)
        acct.trade_dividends.extend(acct.record_dividends(sid) for sid in sorted(pos) if pos[sid] != 0)
        for sid in sorted(pos):
            if pos[sid] != 0:
                acct.book_record(sid, None)
    recorder.end_analysis(pos)

    stock_operations = _stock_operations(
        pos, latest_rebalanced_pos, latest_rebalanced_row, current_position_id, pos_id, should_rebalance,
        stop_trading_next_period, position_limit, exit_stocks, exited_stocks, date, pos_values, qidx)

    result = Result(creturn, recorder, stock_operations, pos, cash, exit_stocks, exited_stocks, pos2price,
                    acct if acct.on else None)
    result.events = ev
    return result


def rebase_on_add(acct, before, price_row, cr, maxcr, mincr):
    """A fill that adds to a position on its side (a purchase into a long, a
    sale into a short) moves the record's entry to the mean of its fills;
    the stops then measure the return from that entry: the tracker becomes
    the trading price over the entry. The best and worst prices since the
    position was entered stay what they were, expressed against the new
    entry (a trailing stop stays trail_stop x entry below the best price).
    A sale out of a long or a cover of a short moves nothing."""
    for sid, held in enumerate(before):
        now = acct.shares[sid]
        if not (held * now > 0 and abs(now) > abs(held)):
            continue
        entry = acct.entry_price(sid)
        r = float(price_row[acct.pos2price[sid]]) / entry
        if not (r > 0 and cr[sid] > 0 and math.isfinite(r)):
            continue
        k = r / cr[sid]
        cr[sid] = r
        maxcr[sid] = maxcr[sid] * k
        mincr[sid] = mincr[sid] * k


def _stock_operations(pos, latest_rebalanced_pos, latest_rebalanced_row, current_position_id, pos_id,
                      should_rebalance, stop_trading_next_period, position_limit, exit_stocks, exited_stocks,
                      date, pos_values, pos_index):
    """Operations report: last and next weights and the action per stock."""
    stock_operations = {"actions": {}, "weights": {}, "next_weights": {}}
    actions = stock_operations["actions"]
    weights = stock_operations["weights"]
    next_weights = stock_operations["next_weights"]

    latest_weight_sum = 0
    for sid in sorted(latest_rebalanced_pos):
        weight = float(pos_values[current_position_id, sid])
        weights[sid] = weight if sid in pos else 0
        latest_weight_sum += abs(weight)
    for sid in weights:
        weights[sid] /= max(1, latest_weight_sum)

    total_next_weight_sum = 0
    if current_position_id == pos_id:
        next_row = latest_rebalanced_row
    else:
        next_row = pos_values[pos_id]
    for sid, val1 in enumerate(next_row):
        val1 = float(val1)
        dropped = False
        skip = False
        if stop_trading_next_period:
            if any(e.sid == sid for e in exited_stocks):
                dropped = True
                skip = True
            else:
                for e in exit_stocks:
                    if e.sid == sid:
                        skip = True
                        dropped = sid in pos and pos[sid] != 0
                        break
        if not (dropped and should_rebalance):
            total_next_weight_sum += abs(val1)
        if not skip and val1 != 0:
            next_weights[sid] = val1
    for sid in next_weights:
        next_weights[sid] /= max(1, total_next_weight_sum)

    stock_operations["weight_time"] = current_position_id
    stock_operations["next_weight_time"] = pos_id
    stock_operations["weights"] = normalize_weight(stock_operations["weights"], float(position_limit))
    stock_operations["next_weights"] = normalize_weight(stock_operations["next_weights"], float(position_limit))
    next_weights = stock_operations["next_weights"]

    if should_rebalance:
        for sid, v in enumerate(pos_values[pos_id]):
            v = float(v)
            held = sid in pos and pos[sid] != 0
            if not held and v != 0:
                actions[sid] = "enter"
            elif held and v == 0:
                actions[sid] = "exit"
            elif held and v != 0:
                actions[sid] = "hold"

    for e in exit_stocks:
        if stop_trading_next_period or date > pos_index[pos_id]:
            actions[e.sid] = "tp" if e.positive else "sl"
        elif e.sid in next_weights and next_weights[e.sid] != 0:
            actions[e.sid] = "tp_enter" if e.positive else "sl_enter"

    for e in exited_stocks:
        if stop_trading_next_period or e.sid not in actions:
            actions[e.sid] = "tp_" if e.positive else "sl_"

    return stock_operations
