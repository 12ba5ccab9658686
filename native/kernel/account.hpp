// The rules of a real account, for hosts that take them (the native
// ledger): positions in shares, whole lots where lot sizes are given, a
// minimum fee, slippage on every fill, leverage, and the financing of shorts
// and cash. They apply only when the run's account options are not all at
// their defaults; backtest_'s host compiles without them.
//
// The arithmetic, in this order (tests/model.py does the same operations):
// - A target value v at this bar's trading price p is n = trunc(v / p / lot)
//   * lot shares, or v / p without lot sizes. A stock without a trading
//   price (or with a target that gives no finite share count) is not
//   traded at this rebalance: a holding keeps its shares and its reference
//   price, so its move across the gap is credited on its next priced bar.
// - A trade of d = n - held shares fills at f = p * (1 + slippage) when it
//   buys and p * (1 - slippage) when it sells. Its value is |d| * f, its cost
//   max(fee * value, min_fee), plus tax * value unless it opens or adds to a
//   position (the rule of the normalised account). A purchase pays
//   (cash - value) - cost, a sale receives (value - cost) + cash. The holding
//   is then worth n * p and, as in the normalised account, is carried from
//   bar to bar by the ratio of trading prices.
// - A whole holding that ends (a zero target, an exit, a delisting) fills at
//   its carried value v: it receives v - slippage * |v| less the cost on the
//   absolute value of that, so an intrabar stop fills at its level and a
//   stock without a price at the value it was last carried at.
// - A rebalance trades in three passes in ascending stock id: sales (and
//   short sales), then covers of shorts, then purchases. The long part of a
//   purchase is cut by whole lots (for fractional shares: to what cash pays)
//   until the cash after it, with its costs, stays at or above the floor: 0,
//   or balance * (1 - leverage) above a leverage of 1, raised by what the
//   covers still waiting need (cover_reserve). Covers and closes are never
//   cut.
// - Rows whose absolute weights add up to more than the leverage are scaled
//   down to it.
// - Each bar after the first simulated one, the cash of the previous close
//   earns cash * cash rate per bar (paid when cash is negative), then every
//   short pays its value at the previous close times the borrow rate per bar,
//   charged to its trade.
// - Under market rules (fills.hpp) a trade goes only as far as the bar
//   allows; a holding that ends only in part sells that part at the fill
//   price, the rest carried in proportion to the shares left.
#pragma once
#include "fills.hpp"

namespace vostra::kernel::account {

enum Pass : std::uint8_t { sales, covers, purchases, none };

// Fractional share counts this close to the holding, relatively, are the
// holding.
inline constexpr double share_noise = 1e-12;

// The fee of a fill of value `value`: a fraction of it, at least the minimum.
inline double fee_of(const Run &run, double value) {
    double fee = run.costs.fee_ratio * value;
    return fee < run.opt.account.min_fee ? run.opt.account.min_fee : fee;
}

using market::lot_of;

// The ratio from weights to values of a rebalance: rows beyond the leverage
// are scaled down to it.
inline double scale(double balance, double total, double leverage) {
    return total > leverage ? (balance * leverage) / total : balance;
}

// Sells (covers) `a` shares, less than the whole holding of `sid`, at
// `fill_price`; the order waits for the rest. Returns the new cash.
template <class Host>
double close_part(Run &run, Host &host, int sid, double cash, double a, double fill_price) {
    market::wait(run, sid);
    if (a == 0) return cash;
    double n = run.shares[sid];
    double slippage = run.opt.account.slippage;
    double sold = n > 0 ? a : -a;
    double rest = n - sold;
    double fill = fill_price * (n > 0 ? 1 - slippage : 1 + slippage);
    double traded = a * fill;
    double cost = fee_of(run, traded) + run.costs.tax_ratio * traded;
    double after = n > 0 ? (traded - cost) + cash : (cash - traded) - cost;
    run.pos.set(sid, run.pos[sid] * (rest / n));
    run.shares[sid] = rest;
    run.traded = true;
    host.on_fill(run, sid, after - cash, traded, cost);
    market::tell_fill(run, host, sid, -sold, fill, traded, cost);
    return after;
}

// Whether the market fills the whole holding of `sid` at `fill_price` now
// (a delisting always does).
inline bool fills_whole(const Run &run, int sid, double fill_price, ExitReason reason) {
    if (!run.opt.account.market.on || reason == ExitReason::delisting) return true;
    double n = run.shares[sid];
    return n == 0 || market::allowed(run, sid, n < 0, fill_price) >= std::fabs(n);
}

// Ends the holding of `sid` at its carried value and returns the new cash.
// Unless `ends_order` (a flip whose other side waits), its order goes on.
template <class Host>
double close(Run &run, Host &host, int sid, double cash, bool set_null, ExitReason reason, double fill_price,
             bool ends_order = true) {
    PositionMap &p = run.pos;
    if (!p.contains(sid)) return cash;
    double held = p[sid];
    if (held != 0 && !fills_whole(run, sid, fill_price, reason)) {
        // Without a price to fill at, nothing fills before the rest waits.
        double n = run.shares[sid];
        double a = std::isnan(fill_price) ? 0.0 : market::allowed(run, sid, n < 0, fill_price);
        return close_part(run, host, sid, cash, a, fill_price);
    }
    double slippage = run.opt.account.slippage;
    double n = run.shares[sid];
    if (held != 0) host.on_exit(run, sid, true, reason, held, fill_price * (held > 0 ? 1 - slippage : 1 + slippage));
    if (set_null)
        p.erase(sid);
    else
        p.set(sid, 0.0);
    run.shares[sid] = 0.0;
    run.traded = true;
    if (held == 0) return cash;  // flat already: nothing to fill
    double filled = held - slippage * std::fabs(held);
    double value = std::fabs(filled);
    double cost = fee_of(run, value) + run.costs.tax_ratio * value;
    double after = (filled - cost) + cash;
    host.on_fill(run, sid, after - cash, value, cost);
    if (ends_order) market::stop_waiting(run, sid);
    market::tell_fill(run, host, sid, -n, n != 0 ? value / std::fabs(n) : __builtin_nan(""), value, cost);
    return after;
}

// The price a trade fills at: the trading price moved by the slippage
// against the trader.
inline double fill_price(const Run &run, bool buy, double price) {
    double slippage = run.opt.account.slippage;
    return buy ? price * (1 + slippage) : price * (1 - slippage);
}

struct TradeCosts {
    double traded, fee, cost;
};

// The value and costs of a trade of `d` shares at `fill` that leaves
// `shares` held: the fee, and the tax unless it opens or adds to a position.
inline TradeCosts trade_costs(const Run &run, double shares, double d, double fill) {
    double traded = std::fabs(d) * fill;
    bool is_entry = d > 0 ? shares >= 0 : shares <= 0;
    double fee = fee_of(run, traded);
    return {traded, fee, is_entry ? fee : fee + run.costs.tax_ratio * traded};
}

// Whether the run's fills that add to a position move its stops
// (rebase_stops, kept on the same side through rebalances).
inline bool rebases_stops(const Run &run) {
    return run.opt.rebase_stops && run.opt.retain_cost_when_rebalance && run.opt.account.on;
}

// A fill that took `sid` from `held` to `shares` shares. One that adds to
// the position on its side moves the record's entry to the mean of the
// fills that built it (the host keeps it); with rebases_stops the stops
// then measure from that entry: the return tracker becomes the trading
// price over the entry, and the best and worst returns keep the prices
// they were reached at, so a trailing stop stays trail_stop x entry below
// the best price. A sale out of a long or a cover of a short moves nothing.
template <class Host>
void rebase_on_add(Run &run, Host &host, int sid, double held, double shares, double price) {
    if (!rebases_stops(run) || !(held * shares > 0 && std::fabs(shares) > std::fabs(held))) return;
    double r = price / host.entry_price(run, sid);
    double &cr = run.cr[sid];
    if (!(r > 0 && cr > 0 && std::isfinite(r))) return;
    double k = r / cr;
    cr = r;
    run.maxcr[sid] = run.maxcr[sid] * k;
    run.mincr[sid] = run.mincr[sid] * k;
}

// Moves `sid` to `shares` (nonzero) at trading price `price`; returns the
// new cash. `split`: a held stock starts a new trade record if the host
// splits them (at a rebalance, not while an order goes on filling).
template <class Host>
double trade(Run &run, Host &host, int sid, double shares, double price, double balance, double cash,
             bool split = true) {
    PositionMap &p = run.pos;
    double held_shares = run.shares[sid];
    bool held = p.contains(sid) && p[sid] != 0;
    double d = shares - held_shares;
    bool buy = d > 0;
    double fill = fill_price(run, buy, price);
    double value = shares * price;
    bool flip = held && held_shares * shares < 0;
    if (!held) {
        host.on_entry(run, sid, checked_div(value, balance), true, value, fill);
    } else if (!flip && split && host.splits_held_trades(run)) {
        // The record ends at the position's value, at the trading price; the
        // next takes it over and enters at its cost: that value and the
        // resize's fill, per share held after it.
        host.on_exit(run, sid, false, ExitReason::rebalance, p[sid], price);
        double basis = d == 0 ? price : (p[sid] + d * fill) / shares;
        host.on_entry(run, sid, checked_div(value, balance), false, value, basis);
    }
    if (d == 0) return cash;
    auto [traded, fee, cost] = trade_costs(run, shares, d, fill);
    double after = buy ? (cash - traded) - cost : (traded - cost) + cash;
    if (flip) {
        // A flip is two records: the one fill closes the old side, whose
        // record ends at it with its part of the cash and costs, and opens
        // the new one.
        double part = std::fabs(held_shares) / std::fabs(d);
        double closing = buy ? -(traded * part) - cost * part : traded * part - cost * part;
        host.on_fill(run, sid, closing, 0.0, 0.0);
        host.on_exit(run, sid, true, ExitReason::rebalance, p[sid], fill);
        host.on_entry(run, sid, checked_div(value, balance), true, value, fill);
        host.on_fill(run, sid, (after - cash) - closing, traded, cost);
        p.set(sid, value);
        run.shares[sid] = shares;
        run.traded = true;
        market::tell_fill(run, host, sid, d, fill, traded, cost);
        return after;
    }
    p.set(sid, value);
    run.shares[sid] = shares;
    run.traded = true;
    host.on_fill(run, sid, after - cash, traded, cost);
    market::tell_fill(run, host, sid, d, fill, traded, cost);
    rebase_on_add(run, host, sid, held_shares, shares, price);
    return after;
}

// The shares a purchase from `held` to `shares` keeps once its long part is
// cut until the cash after it stays at or above `floor`. The cash after a
// purchase falls as it grows, so the first whole lot that fits is found by
// bisection: the same lot the cut one lot at a time reaches.
inline double cut(const Run &run, double held, double shares, double fill, double cash, double floor, double lot) {
    double base = held > 0 ? held : 0.0;
    if (!(shares > base)) return shares;  // no long part: a cover is never cut
    auto after = [&](double x) {
        double traded = std::fabs(x - held) * fill;
        return (cash - traded) - fee_of(run, traded);
    };
    if (after(shares) >= floor) return shares;
    if (lot > 0) {
        // The smallest k in [1, steps) for which shares - k * lot fits.
        double steps = std::floor((shares - base) / lot);
        double lo = 1, hi = steps - 1;
        if (hi < lo || !(after(shares - hi * lot) >= floor)) return base;
        while (lo < hi) {
            double mid = std::floor((lo + hi) / 2);
            if (after(shares - mid * lot) >= floor)
                hi = mid;
            else
                lo = mid + 1;
        }
        return shares - lo * lot;
    }
    // Fractional shares: what the cash pays with the fee (or the minimum
    // fee), then down an ulp at a time while rounding leaves it short.
    double avail = cash - floor;
    double with_fee = avail / (fill * (1 + run.costs.fee_ratio));
    double with_min = (avail - run.opt.account.min_fee) / fill;
    double x = held + (with_min < with_fee ? with_min : with_fee);
    if (!(x < shares)) x = shares;
    for (int i = 0; i < 16 && x > base && !(after(x) >= floor); ++i) x = std::nextafter(x, base);
    return x > base && after(x) >= floor ? x : base;
}

// The share count of target value `value`, NaN where the stock cannot trade.
template <class Host>
double target_shares(Run &run, Host &host, int sid, double value, double price) {
    // A holding without a price on this bar cannot be sold: it is kept.
    if (value == 0) return std::isnan(price) && run.pos.contains(sid) && run.pos[sid] != 0 ? __builtin_nan("") : 0.0;
    validate_price(run, host, PriceKind::trading, price, sid);
    double lot = lot_of(run, sid);
    double x = value / price;
    double shares = lot > 0 ? std::trunc(x / lot) * lot : x;
    if (!std::isfinite(shares)) return __builtin_nan("");
    if (lot > 0 && !(std::fabs(shares) < 0x1p53)) [[unlikely]]
        throw ShareCount{shares, sid, run.d};
    return shares;
}

inline Pass pass_of(const Run &run, const AccountTarget &t) {
    if (std::isnan(t.shares)) return none;
    double held = run.shares[t.sid];
    if (t.shares <= held) return t.shares == 0 && !run.pos.contains(t.sid) ? none : sales;
    return held < 0 ? covers : purchases;
}

// The balance before a bar's first fill, worked out when a fill first
// reads it.
template <class Balance>
struct BalanceOnce {
    Balance &now;
    double value = __builtin_nan("");
    bool known = false;
    double operator()() {
        if (!known) value = now();
        known = true;
        return value;
    }
};

// Fills target `t` of fill_targets (its order run.order_now) as far as the
// market and the cash above `floor` allow; returns the new cash.
template <class Host, class BalanceOf>
double fill_target(Run &run, Host &host, const AccountTarget &t, double cash, double floor, bool placing,
                   BalanceOf &balance_of) {
    double held = run.shares[t.sid];
    double shares = market::capped(run, t.sid, t.shares, t.price);
    if (t.pass != sales) {
        double fill = t.price * (1 + run.opt.account.slippage);
        double kept = cut(run, held, shares, fill, cash, floor, lot_of(run, t.sid));
        if (kept != shares) {
            market::stop_waiting(run, t.sid);  // the cash ends this order
            run.orders[static_cast<std::size_t>(run.order_now)].cut = true;
        }
        shares = kept;
    }
    bool closing = t.shares == 0;
    ExitReason why = placing ? ExitReason::rebalance : run.orders[run.order_now].reason;
    if (shares == 0) {
        // A flip the market stops at flat: the close is a fill of its
        // order, whose other side waits.
        bool flip = t.shares != 0 && market::waits(run, t.sid) && run.waiting_order[t.sid] == run.order_now;
        return close(run, host, t.sid, cash, true, why, t.price, !flip);
    }
    if (!placing && shares == held) return cash;
    // Only a fill that opens a position (or a rebalance's) reads the balance;
    // a flip opens one.
    bool opens = !(run.pos.contains(t.sid) && run.pos[t.sid] != 0) || held * shares < 0;
    double b = placing || opens ? balance_of() : __builtin_nan("");
    return trade(run, host, t.sid, shares, t.price, b, cash, placing && !closing);
}

// The floor of the cash a purchase may not cut below: 0, or below the
// balance at a leverage above 1.
template <class BalanceOf>
double cash_floor(const Run &run, BalanceOf &balance_of) {
    double leverage = run.opt.account.leverage;
    return leverage > 1 ? balance_of() * (1 - leverage) : 0.0;
}

// What the covers still waiting need: each one's shares to buy back at
// their carried value with slippage, with the costs, and their value again,
// the part of the leverage the short still takes (the rebalance counted it
// gone). A purchase may not spend it.
inline double cover_reserve(const Run &run) {
    double total = 0.0;
    for (int sid : run.waiting) {
        double held = run.shares[sid];
        double target = run.orders[run.waiting_order[sid]].target;
        if (!(held < 0 && target > held && run.pos.contains(sid))) continue;
        double need = (target < 0 ? target : 0.0) - held;
        double value = std::fabs(run.pos[sid]) * (need / -held);
        double traded = value * (1 + run.opt.account.slippage);
        double cost = fee_of(run, traded);
        if (target < 0) cost = cost + run.costs.tax_ratio * traded;
        total = total + ((traded + cost) + value);
    }
    return total;
}

// Whether a purchase may have to leave cash to a waiting cover: one waits
// already, or a purchase waits while a short is held or on its way, whose
// exit may come to wait. Stretches leave such bars to the bar loop.
inline bool purchase_may_meet_cover(const Run &run) {
    bool purchase = false, short_order = false;
    for (int sid : run.waiting) {
        double held = run.shares[sid], target = run.orders[run.waiting_order[sid]].target;
        if (held < 0 && target > held) return true;
        purchase = purchase || target > held;
        short_order = short_order || target < 0;
    }
    if (!purchase) return false;
    if (short_order) return true;
    for (int sid : run.pos.keys())
        if (run.shares[sid] < 0) return true;
    return false;
}

// Counts items [0, n) out by pass (sales, covers, purchases, then the
// rest), in their own order within each: `place(i, at)` puts item i at
// place `at`. Returns where the purchases end. One count instead of a test
// of each item's pass in every pass, which mispredicts as often as the
// passes mix.
template <class PassOf, class Place>
std::uint32_t count_out_by_pass(std::size_t n, PassOf pass_of, Place place) {
    auto bucket = [&pass_of](std::size_t i) { return std::min<std::uint8_t>(pass_of(i), none); };
    std::uint32_t at[none + 2] = {};
    for (std::size_t i = 0; i < n; ++i) ++at[bucket(i) + 1];
    for (int p = 1; p < none + 2; ++p) at[p] += at[p - 1];
    std::uint32_t end = at[none];
    for (std::size_t i = 0; i < n; ++i) place(i, at[bucket(i)]++);
    return end;
}

// Trades run.targets (ascending stock id) in three passes, sales, covers
// and purchases, as far as the market and the cash allow; returns the new
// cash. `placing`: a rebalance places their orders, else they are the
// waiting orders going on.
// `balance_now()` gives the balance before the first fill, asked for only
// when a fill reads it.
template <class Host, class Balance>
double fill_targets(Run &run, Host &host, Balance &&balance_now, double cash, bool placing) {
    BalanceOnce<Balance> balance_of{balance_now};
    double floor = cash_floor(run, balance_of);
    std::vector<std::uint32_t> &by_pass = run.by_pass;
    by_pass.resize(run.targets.size());
    std::uint32_t n = count_out_by_pass(
        run.targets.size(), [&run](std::size_t i) { return run.targets[i].pass; },
        [&by_pass](std::size_t i, std::uint32_t at) { by_pass[at] = static_cast<std::uint32_t>(i); });
    bool reserved = false;
    for (std::uint32_t i = 0; i < n; ++i) {
        const AccountTarget &t = run.targets[by_pass[i]];
        if (t.pass == purchases && !reserved) {
            // The covers are done: what those that wait still need.
            reserved = true;
            if (!run.waiting.empty()) floor = floor + cover_reserve(run);
        }
        if (placing)
            market::place(run, t.sid, t.shares, t.price, ExitReason::rebalance);
        else
            run.order_now = run.waiting_order[t.sid];
        cash = fill_target(run, host, t, cash, floor, placing, balance_of);
    }
    run.order_now = -1;
    return cash;
}

// Trades the targets of a rebalance (run.targets, ascending stock id, each
// held or with a nonzero value) and returns the new cash.
template <class Host>
double trade_targets(Run &run, Host &host, double balance, double cash) {
    for (AccountTarget &t : run.targets) {
        t.price = run.in.price(run.d, run.price_column(t.sid));
        t.shares = target_shares(run, host, t.sid, t.value, t.price);
        // Fractional shares a rounding away from the holding are the
        // holding: a rebalance that changes nothing makes no fill.
        double held = run.shares[t.sid];
        if (lot_of(run, t.sid) <= 0 && std::fabs(t.shares - held) <= share_noise * std::fabs(held)) t.shares = held;
        t.pass = pass_of(run, t);
    }
    // This rebalance replaces every waiting order. The sales of a closing
    // order it replaces were resizes of the record, which goes on.
    for (int sid : run.waiting)
        if (run.orders[run.waiting_order[sid]].target == 0) host.on_close_replaced(run, sid);
    market::clear(run);
    return fill_targets(run, host, [balance] { return balance; }, cash, true);
}

// Whether filling run.targets may read the balance: above a leverage of 1
// it sets the floor of the cash, and a fill that opens a position records
// its weight against it.
inline bool needs_balance(const Run &run) {
    if (run.opt.account.leverage > 1) return true;
    for (const AccountTarget &t : run.targets)
        if (!(run.pos.contains(t.sid) && run.pos[t.sid] != 0) || run.shares[t.sid] * t.shares < 0) return true;
    return false;
}

// The target of the waiting order of `sid` at this bar's trading price,
// added to run.targets unless the stock has no price or nothing to trade.
template <class Host>
void add_waiting_target(Run &run, Host &host, int sid) {
    int col = run.price_column(sid);
    market::prefetch_rules(run, col, 8);  // for the bars it may go on waiting
    double price = run.in.price(run.d, col);
    validate_price(run, host, PriceKind::trading, price, sid);
    if (std::isnan(price)) return;
    // Written in place: a target built aside and copied in stalls on
    // reading back its narrow fields.
    AccountTarget &t = run.targets.emplace_back();
    t.sid = sid;
    t.value = 0.0;
    t.shares = run.orders[run.waiting_order[sid]].target;
    t.price = price;
    t.pass = pass_of(run, t);
    if (t.pass == none) run.targets.pop_back();
}

// A stock first bought (or flipped) by a waiting order starts its return
// trackers and reference price at the bar's trading price, as a rebalance
// starts those of the stocks it buys.
inline void start_if_bought(Run &run, int sid, double shares_before, double price) {
    if (shares_before * run.shares[sid] <= 0 && run.shares[sid] != 0) {
        reset_trackers(run, sid);
        run.previous_price[run.price_column(sid)] = price;
    }
}

// The waiting orders go on at this bar's trading prices, in the passes of a
// rebalance; a stock without a price waits on. `balance_before()` gives the
// cash plus every holding's value before the first fill, summed in stock
// order. It is asked for only when a fill reads it; unless `lazy` (it can
// still tell the value before the fills once they began), that is decided
// before the first fill.
template <class Host, class Balance>
void retry_waiting(Run &run, Host &host, Balance &&balance_before, bool lazy) {
    run.targets.clear();
    for (int sid : run.waiting) add_waiting_target(run, host, sid);
    double balance = !lazy && needs_balance(run) ? balance_before() : __builtin_nan("");
    for (const AccountTarget &t : run.targets) run.shares_before.push_back(run.shares[t.sid]);
    run.cash = fill_targets(run, host, [&] { return lazy ? balance_before() : balance; }, run.cash, false);
    for (std::size_t i = 0; i < run.targets.size(); ++i)
        start_if_bought(run, run.targets[i].sid, run.shares_before[i], run.targets[i].price);
    run.shares_before.clear();
}

template <class Host>
void retry_waiting(Run &run, Host &host) {
    auto sum = [&run] {
        double total = run.cash;
        for (int sid : run.pos.keys()) total = total + run.pos[sid];
        return total;
    };
    retry_waiting(run, host, sum, false);
}

// An exit or a delisting of `sid` places an order for its whole holding and
// ends it as far as the market lets it; returns the new cash.
template <class Host>
double exit(Run &run, Host &host, int sid, double cash, bool set_null, ExitReason reason, double fill_price) {
    // A holding of no shares but a value (fractional shares that underflow,
    // or a NaN value) still fills, and every fill belongs to an order.
    if (run.pos.contains(sid) && (run.shares[sid] != 0 || run.pos[sid] != 0))
        market::place(run, sid, 0.0, fill_price, reason);
    double after = close(run, host, sid, cash, set_null, reason, fill_price);
    run.order_now = -1;
    return after;
}

// Interest on the cash and borrow fees of the shorts held at the previous
// close, at the start of bar run.d (from bar 1 on, the bars before the
// first signal included: the cash earns while nothing is held).
template <class Host>
void finance(Run &run, Host &host) {
    const AccountOptions &a = run.opt.account;
    index_t d = run.d;
    if (d == 0) return;  // no close before
    if (a.cash_per_bar != 0) {
        double earned = run.cash * a.cash_per_bar;
        run.cash = run.cash + earned;
        host.on_interest(run, earned);
    }
    if (a.borrow_per_bar == 0) return;
    for (int sid : run.pos.keys()) {
        double held = run.pos[sid];
        if (!(held < 0)) continue;
        int col = run.price_column(sid);
        double value = marked_value(held, run.in.price(d - 1, col), run.in.close(d - 1, col));
        double fee = -value * a.borrow_per_bar;
        run.cash = run.cash - fee;
        host.on_borrow(run, sid, -fee);
    }
}

}  // namespace vostra::kernel::account
