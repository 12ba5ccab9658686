// What the market lets an account fill, and the orders that wait for it.
//
// Every trade of an account belongs to an order: a rebalance places one per
// stock it trades, an exit or a delisting one for the whole holding. With
// market rules (MarketRules), a bar fills at most:
// - nothing on a blocked cell;
// - no purchase at a trading price at or above the previous close times
//   (1 + limit), no sale (exits included, delistings excepted) at or below
//   the previous close times (1 - limit), each with a relative tolerance of
//   1e-9; a bar after a missing close has no limit;
// - at most max_volume_share times the bar's volume in shares, rounded down
//   to whole lots (a missing or nonpositive volume fills nothing).
// The part an order could not fill waits: it is retried on every following
// bar at that bar's trading price until it fills, a rebalance replaces it or
// (a purchase) the stock is delisted. A purchase cut by the cash ends its
// order: the cash, not the market, refused the rest.
#pragma once
#include "run.hpp"

namespace vostra::kernel::market {

inline constexpr double tolerance = 1e-9;

inline double lot_of(const Run &run, int sid) {
    const std::vector<double> &lot = run.opt.account.lot;
    return static_cast<std::size_t>(sid) < lot.size() ? lot[sid] : 0.0;
}

// What the market's rules read of one price column (its blocked cells,
// volume and closes from bar 0), with the limit, the share of the volume
// and the lot: what a walk down the column keeps at hand.
struct ColumnRules {
    const char *blocked, *volume, *close;
    index_t blocked_step, volume_step, close_step;
    double limit, share, lot;

    // The shares the market lets fill on bar `d` in one direction at
    // `price` (infinite: no cap), once `filled` shares have filled on that
    // bar when `same_bar`.
    [[gnu::always_inline]] double allowed(index_t d, bool buy, double price, bool same_bar, double filled) const {
        return allowed(d, buy, price, same_bar, filled, [&] { return load<double>(close + (d - 1) * close_step); });
    }

    // The same, the close of bar d - 1 given by `previous_close()` (asked
    // for only under a limit, from bar 1 on): a walk down the column has it
    // at hand.
    template <class PreviousClose>
    [[gnu::always_inline]] double allowed(index_t d, bool buy, double price, bool same_bar, double filled,
                                          PreviousClose &&previous_close) const {
        if (blocked && load<std::uint8_t>(blocked + d * blocked_step)) return 0;
        if (limit > 0 && d > 0) {
            double prev = previous_close();
            if (buy && price >= prev * (1 + limit) * (1 - tolerance)) return 0;
            if (!buy && price <= prev * (1 - limit) * (1 + tolerance)) return 0;
        }
        if (!volume) return INFINITY;
        double cap = share * load<double>(volume + d * volume_step);
        // The cap is the bar's: fills of this bar (an exit's, then a waiting
        // order's or a rebalance's) share it.
        if (same_bar) cap = cap - filled;
        if (!(cap > 0)) return 0;
        return lot > 0 ? whole_part(cap / lot) * lot : cap;
    }

    // std::floor of x >= 0 (not NaN): without SSE4.1 the library's floor is
    // a long sequence, while below 2^52 the truncation to an integer is
    // exact and the same, and from there on every double is whole.
    [[gnu::always_inline]] static double whole_part(double x) {
        return x < 0x1p52 ? static_cast<double>(static_cast<std::int64_t>(x)) : x;
    }
};

inline ColumnRules column_rules(const Run &run, int col, double lot) {
    const MarketRules &m = run.opt.account.market;
    const View2<double> &close = run.in.close;
    ColumnRules r{nullptr, nullptr, close.data + col * close.col_stride, 0, 0, close.row_stride,
                  m.price_limit, m.max_volume_share, lot};
    if (m.blocked.data) {
        r.blocked = m.blocked.data + col * m.blocked.col_stride;
        r.blocked_step = m.blocked.row_stride;
    }
    if (m.volume.data) {
        r.volume = m.volume.data + col * m.volume.col_stride;
        r.volume_step = m.volume.row_stride;
    }
    return r;
}

// The shares of `sid` the market lets fill on this bar in one direction at
// `price` (infinite: no cap).
inline double allowed(const Run &run, int sid, bool buy, double price) {
    index_t d = run.d;
    int col = run.price_column(sid);
    ColumnRules rules = column_rules(run, col, lot_of(run, sid));
    bool same_bar = run.fill_bar[sid] == d;
    if (!run.opt.events.splits.data) return rules.allowed(d, buy, price, same_bar, run.filled_in_bar[sid]);
    // A split of this bar (events.hpp) puts the previous close into its shares.
    return rules.allowed(d, buy, price, same_bar, run.filled_in_bar[sid], [&] {
        double ratio = run.opt.events.splits(d, col);
        return run.in.close(d - 1, col) / (std::isnan(ratio) || ratio == 0 ? 1.0 : ratio);
    });
}

// Asks for what a fill of column `col` on bar run.d + ahead reads: its
// trading price, previous close, volume and blocked cell. The fills of a
// bar (a rebalance's orders, the orders that wait bar after bar) read as
// many column-major streams as there are orders, more than the hardware
// prefetcher follows, each line a miss when read one after another.
// Always inlined: a helper made only of prefetches counts as free of side
// effects, and the compiler drops every call to it.
[[gnu::always_inline]] inline void prefetch_rules(const Run &run, int col, index_t ahead) {
    index_t d = run.d + ahead;
    if (d >= run.in.price.rows || col < 0) return;
    const MarketRules &m = run.opt.account.market;
    __builtin_prefetch(run.in.price.row_ptr(d) + col * run.in.price.col_stride);
    if (d > 0) __builtin_prefetch(run.in.close.row_ptr(d - 1) + col * run.in.close.col_stride);
    if (m.volume.data) __builtin_prefetch(m.volume.row_ptr(d) + col * m.volume.col_stride);
    if (m.blocked.data) __builtin_prefetch(m.blocked.row_ptr(d) + col * m.blocked.col_stride);
}

inline bool waits(const Run &run, int sid) {
    return static_cast<std::size_t>(sid) < run.waiting_order.size() && run.waiting_order[sid] >= 0;
}

// Whether `sid` waits to be sold or covered out of its whole holding.
inline bool exit_waits(const Run &run, int sid) {
    return waits(run, sid) && run.orders[run.waiting_order[sid]].target == 0;
}

// Places the order of `sid` for `target` shares at this bar; it is the one
// being filled.
inline void place(Run &run, int sid, double target, double price, ExitReason reason) {
    run.orders.push_back({run.d, sid, target, target - run.shares[sid], price, reason, false});
    run.order_now = static_cast<std::int64_t>(run.orders.size()) - 1;
}

// The order being filled waits for the rest.
inline void wait(Run &run, int sid) {
    std::int64_t &slot = run.waiting_order[sid];
    if (slot < 0) run.waiting.insert(std::lower_bound(run.waiting.begin(), run.waiting.end(), sid), sid);
    slot = run.order_now;
}

inline void stop_waiting(Run &run, int sid) {
    if (!waits(run, sid)) return;
    run.waiting_order[sid] = -1;
    run.waiting.erase(std::lower_bound(run.waiting.begin(), run.waiting.end(), sid));
}

// A rebalance replaces every waiting order.
inline void clear(Run &run) {
    for (int sid : run.waiting) run.waiting_order[sid] = -1;
    run.waiting.clear();
}

// How far toward `target` shares `sid` may move on this bar at `price`;
// the order waits when it cannot get there, and stops waiting when it can.
// (A holding that ends in full fills at its carried value even without a
// price, as an account's close does.)
inline double capped(Run &run, int sid, double target, double price) {
    if (!run.opt.account.market.on) return target;
    double held = run.shares[sid];
    double d = target - held;
    double a = d == 0 ? INFINITY : allowed(run, sid, d > 0, price);
    if (std::fabs(d) <= a) {
        stop_waiting(run, sid);
        return target;
    }
    wait(run, sid);
    if (std::isnan(price)) return held;  // a part cannot fill without a price
    return d > 0 ? held + a : held - a;
}

// Notes `delta` shares of `sid` filled on this bar: the bar's later fills
// of it share its cap.
inline void note_filled(Run &run, int sid, double delta) {
    if (run.fill_bar[sid] != run.d) run.filled_in_bar[sid] = 0.0;
    run.fill_bar[sid] = run.d;
    run.filled_in_bar[sid] += std::fabs(delta);
}

// The fill of `delta` shares at `fill` (value and cost as charged), told to
// the host with the order it belongs to.
template <class Host>
void tell_fill(Run &run, Host &host, int sid, double delta, double fill, double value, double cost) {
    bool completed = !waits(run, sid) || run.waiting_order[sid] != run.order_now;
    if (run.opt.account.market.on) note_filled(run, sid, delta);
    host.on_order_fill(run, Fill{run.d, sid, delta, fill, value, cost, run.order_now, completed});
}

}  // namespace vostra::kernel::market
