// The rules of a real account, for hosts that take them (the native
// ledger): positions in shares, whole lots where lot sizes are given, a
// minimum fee, slippage on every fill, leverage, and the financing of shorts
// and cash. They apply only when the run's account options are not all at
// their defaults; backtest_'s host compiles without them.
//
// The arithmetic, in this order (tests/model.py does the same operations):
// - A target value v at this bar's trading price p is n = trunc(v / p / lot)
//   * lot shares, or v / p without lot sizes. A stock with a nonzero target
//   but no trading price (or a target that gives no finite share count) is
//   not traded at this rebalance.
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
//   or balance * (1 - leverage) above a leverage of 1. Covers and closes are
//   never cut.
// - Rows whose absolute weights add up to more than the leverage are scaled
//   down to it.
// - Each bar after the first simulated one, the cash of the previous close
//   earns cash * cash rate per bar (paid when cash is negative), then every
//   short pays its value at the previous close times the borrow rate per bar,
//   charged to its trade.
#pragma once
#include "run.hpp"

namespace vostra::kernel::account {

enum Pass : std::uint8_t { sales, covers, purchases, none };

// The fee of a fill of value `value`: a fraction of it, at least the minimum.
inline double fee_of(const Run &run, double value) {
    double fee = run.costs.fee_ratio * value;
    return fee < run.opt.account.min_fee ? run.opt.account.min_fee : fee;
}

inline double lot_of(const Run &run, int sid) {
    const std::vector<double> &lot = run.opt.account.lot;
    return static_cast<std::size_t>(sid) < lot.size() ? lot[sid] : 0.0;
}

// The ratio from weights to values of a rebalance: rows beyond the leverage
// are scaled down to it.
inline double scale(double balance, double total, double leverage) {
    return total > leverage ? (balance * leverage) / total : balance;
}

// Ends the holding of `sid` at its carried value and returns the new cash.
template <class Host>
double close(Run &run, Host &host, int sid, double cash, bool set_null, ExitReason reason, double fill_price) {
    PositionMap &p = run.pos;
    if (!p.contains(sid)) return cash;
    double held = p[sid];
    double slippage = run.opt.account.slippage;
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
    return after;
}

// Moves `sid` to `shares` (nonzero) at trading price `price`; returns the
// new cash.
template <class Host>
double trade(Run &run, Host &host, int sid, double shares, double price, double balance, double cash) {
    PositionMap &p = run.pos;
    double slippage = run.opt.account.slippage;
    double held_shares = run.shares[sid];
    bool held = p.contains(sid) && p[sid] != 0;
    double d = shares - held_shares;
    bool buy = d > 0;
    double fill = buy ? price * (1 + slippage) : price * (1 - slippage);
    double value = shares * price;
    if (!held) {
        host.on_entry(run, sid, checked_div(value, balance), true, value, fill);
    } else if (host.splits_held_trades(run)) {
        host.on_exit(run, sid, false, ExitReason::rebalance, p[sid], fill);
        host.on_entry(run, sid, checked_div(value, balance), false, value, fill);
    }
    if (d == 0) return cash;
    double traded = std::fabs(d) * fill;
    bool is_entry = buy ? shares >= 0 : shares <= 0;
    double fee = fee_of(run, traded);
    double cost = is_entry ? fee : fee + run.costs.tax_ratio * traded;
    double after = buy ? (cash - traded) - cost : (traded - cost) + cash;
    p.set(sid, value);
    run.shares[sid] = shares;
    run.traded = true;
    host.on_fill(run, sid, after - cash, traded, cost);
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
    if (value == 0) return 0.0;
    validate_price(run, host, PriceKind::trading, price, sid);
    double lot = lot_of(run, sid);
    double x = value / price;
    double shares = lot > 0 ? std::trunc(x / lot) * lot : x;
    return std::isfinite(shares) ? shares : __builtin_nan("");
}

inline Pass pass_of(const Run &run, const AccountTarget &t) {
    if (std::isnan(t.shares)) return none;
    double held = run.shares[t.sid];
    if (t.shares <= held) return t.shares == 0 && !run.pos.contains(t.sid) ? none : sales;
    return held < 0 ? covers : purchases;
}

// Trades the targets of a rebalance (run.targets, ascending stock id, each
// held or with a nonzero value) and returns the new cash.
template <class Host>
double trade_targets(Run &run, Host &host, double balance, double cash) {
    const AccountOptions &a = run.opt.account;
    double floor = a.leverage > 1 ? balance * (1 - a.leverage) : 0.0;
    for (AccountTarget &t : run.targets) {
        t.price = run.in.price(run.d, run.price_column(t.sid));
        t.shares = target_shares(run, host, t.sid, t.value, t.price);
        t.pass = pass_of(run, t);
    }
    for (std::uint8_t pass : {sales, covers, purchases}) {
        for (const AccountTarget &t : run.targets) {
            if (t.pass != pass) continue;
            double shares = t.shares;
            if (pass != sales) {
                double fill = t.price * (1 + a.slippage);
                shares = cut(run, run.shares[t.sid], shares, fill, cash, floor, lot_of(run, t.sid));
            }
            if (shares == 0)
                cash = close(run, host, t.sid, cash, true, ExitReason::rebalance, t.price);
            else
                cash = trade(run, host, t.sid, shares, t.price, balance, cash);
        }
    }
    return cash;
}

// Interest on the cash and borrow fees of the shorts held at the previous
// close, at the start of bar run.d.
template <class Host>
void finance(Run &run, Host &host) {
    const AccountOptions &a = run.opt.account;
    index_t d = run.d;
    if (d == 0 || run.in.price_dates[d - 1] < run.in.pos_dates.at(0)) return;  // nothing held before
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
