// Exit rules: stop-loss, take-profit and trailing stop (intrabar or on the
// next bar after a close beyond a level), and delisting.
#pragma once
#include "ledger.hpp"

namespace vostra::kernel {

// Whether the value at entry, value / cr, is positive (a long). The sign is
// certain without the division unless the quotient could underflow to zero.
inline bool entry_is_long(double value, double cr) {
    if (value > 0 && cr > 0 && cr <= 1e10 && value >= 1e-290) return true;
    if (value < 0 && cr > 0) return false;
    return value / cr > 0;
}

// Whether numerator / trade_price, the cumulative return at the close, is
// certainly finite: then infinite levels cannot be reached. A finite
// numerator over a price of at least 1 cannot overflow, nor one of at most
// 1e300 over a price of at least 1e-7 (the quotient stays below 1e307).
inline bool close_return_finite(double numerator, double trade_price) {
    if (trade_price >= 1.0) return std::isfinite(numerator);
    return trade_price >= 1e-7 && std::fabs(numerator) <= 1e300;
}

// The two exit levels of a position, as values of its cumulative return, and
// which rule each one stands for.
struct Levels {
    double max_r, min_r;
    ExitReason upper, lower;
};

// For a long the upper level takes profit and the lower one stops (or
// trails); for a short it is the other way round. The trailing distance is
// subtracted from (added to) the extreme cumulative return itself.
inline Levels exit_levels(const Run &run, double maxcr, double mincr, bool is_long) {
    Levels l;
    if (is_long) {
        bool trail_armed = maxcr >= 1 + run.trail_stop_activation_abs;
        l.max_r = 1 + run.take_profit_abs;
        l.min_r = 1 - run.stop_loss_abs;
        l.upper = ExitReason::take_profit;
        l.lower = ExitReason::stop_loss;
        if (trail_armed) {
            double trail = maxcr - run.trail_stop_abs;
            if (l.min_r < trail) l.lower = ExitReason::trail_stop;
            l.min_r = std::max(l.min_r, trail);
        }
    } else {
        bool trail_armed = mincr <= 1 - run.trail_stop_activation_abs;
        l.max_r = 1 + run.stop_loss_abs;
        l.upper = ExitReason::stop_loss;
        if (trail_armed) {
            double trail = mincr + run.trail_stop_abs;
            if (trail < l.max_r) l.upper = ExitReason::trail_stop;
            l.max_r = std::min(l.max_r, trail);
        }
        l.min_r = 1 - run.take_profit_abs;
        l.lower = ExitReason::take_profit;
    }
    return l;
}

inline Levels exit_levels(const Run &run, int sid, bool is_long) {
    return exit_levels(run, run.maxcr[sid], run.mincr[sid], is_long);
}

// What an intrabar test decided for one position: whether a level was
// touched, the position's value and fill price at the exit, the rule, and
// the side of the exit list it goes to.
struct Touch {
    bool hit;
    double exit_value, fill;
    ExitReason reason;
    bool positive;
};

// Intrabar mode: the bar's open, high and low against the levels, relative to
// the previous trading price `prev`; `cr` is the cumulative return after the
// bar's ratio `r`. The caller has checked the three prices.
[[gnu::always_inline]] inline Touch intrabar_touch(double value, double cr, double r, double prev, double high,
                                                   double low, double open, const Levels &l) {
    double base = checked_div(cr, r);
    double high_r = base * checked_div(high, prev);
    double low_r = base * checked_div(low, prev);
    double open_r = base * checked_div(open, prev);
    bool touch_low = low_r <= l.min_r;
    bool touch_high = high_r >= l.max_r;
    bool touch_open = open_r >= l.max_r || open_r <= l.min_r;
    if (!(touch_low || touch_high || touch_open)) return {false, 0, 0, ExitReason::open, false};
    // An open beyond a level is worth the open; otherwise the level reached,
    // the upper one first when both were touched.
    double entry_pos = value / cr;
    Touch t;
    t.hit = true;
    if (touch_open) {
        t.exit_value = entry_pos * open_r;
        t.fill = open;
        t.reason = open_r >= l.max_r ? l.upper : l.lower;
    } else if (touch_high) {
        t.exit_value = entry_pos * l.max_r;
        t.fill = prev * (l.max_r / base);
        t.reason = l.upper;
    } else {
        t.exit_value = entry_pos * l.min_r;
        t.fill = prev * (l.min_r / base);
        t.reason = l.lower;
    }
    // The side comes from the touches alone: a long that touched both levels
    // is valued at the upper level but counted as stopped out.
    bool stop_side = (touch_low && t.exit_value > 0) || (touch_high && t.exit_value < 0);
    t.positive = !stop_side;
    return t;
}

// Closes a position an intrabar test hit at its exit value; it stays in
// the map, flat.
template <class Host>
void take_touch(Run &run, Host &host, int sid, const Touch &t) {
    // An exit the market fills only in part keeps its holding carried as it
    // is; the part sold fills at the exit's price.
    bool whole = true;
    if constexpr (account_host<Host>) whole = account::fills_whole(run, sid, t.fill, t.reason);
    if (whole) run.pos.set(sid, t.exit_value);
    run.exited_stocks.push_back({sid, t.positive, t.reason});
    run.cash = set_position(run, host, sid, 0.0, run.cash, false, false, 1.0, t.reason, t.fill);
}

template <class Host>
[[gnu::noinline]] void intrabar_exit(Run &run, Host &host, int sid, int col, double r, double value,
                                     const Levels &l) {
    index_t d = run.d;
    double high = run.in.high(d, col), low = run.in.low(d, col), open = run.in.open(d, col);
    validate_price(run, host, PriceKind::high, high, sid);
    validate_price(run, host, PriceKind::low, low, sid);
    validate_price(run, host, PriceKind::open, open, sid);
    Touch t = intrabar_touch(value, run.cr[sid], r, run.previous_price[col], high, low, open, l);
    if (t.hit) take_touch(run, host, sid, t);
}

// Close mode only marks the stock; it is sold on the next bar at that bar's
// trading price. The lower test is strict, the upper one is not. Returns the
// mark (+1 upper, -1 lower, 0 none) of a position worth `value` with return
// trackers cr, maxcr, mincr, and sets `l` to its levels when there is one.
[[gnu::always_inline]] inline int close_mark(const Run &run, double value, double cr, double maxcr, double mincr,
                                             double trade_price, double close, Levels &l) {
    double numerator = cr * close;
    // Without finite levels only an overflow to +inf could reach one.
    // Without any stop the levels are infinite whatever the trackers say, so
    // they need not be derived.
    bool cannot_overflow = close_return_finite(numerator, trade_price);
    if (run.no_stops && cannot_overflow) return 0;
    l = exit_levels(run, maxcr, mincr, entry_is_long(value, cr));
    if (l.max_r == INFINITY && l.min_r == -INFINITY && cannot_overflow) return 0;
    double cr_at_close = checked_div(numerator, trade_price);
    if (cr_at_close >= l.max_r) return 1;
    if (cr_at_close < l.min_r) return -1;
    return 0;
}

// Exit tests of one held position after its revaluation to `value` (its
// value at entry is value / cr[sid]); `col` is its price column and
// `trade_price` and `close` this bar's trading and close prices.
template <class Host>
[[gnu::always_inline]] inline void position_exits(Run &run, Host &host, int sid, int col, double r, double value,
                                                  double trade_price, double close) {
    if (run.opt.touched_exit) {
        intrabar_exit(run, host, sid, col, r, value,
                      exit_levels(run, sid, entry_is_long(value, run.cr[sid])));
        return;
    }
    validate_price(run, host, PriceKind::close, close, sid);
    Levels l;
    int mark = close_mark(run, value, run.cr[sid], run.maxcr[sid], run.mincr[sid], trade_price, close, l);
    if (mark > 0)
        run.exit_stocks_temp.push_back({sid, true, l.upper});
    else if (mark < 0)
        run.exit_stocks_temp.push_back({sid, false, l.lower});
}

// A close-mode mark of the previous bar, sold at this bar's trading price.
template <class Host>
void pending_exit(Run &run, Host &host, const SideSid &mark) {
    int sid = mark.sid;
    // A rebalance of this bar that keeps holding the stock takes it
    // over, unless stopped stocks are to sit out the next period.
    bool will_be_set_by_rebalance =
        run.should_rebalance && !host.stop_trading(run) && run.in.weights(run.pos_id, sid) != 0;
    if (!run.pos.contains(sid) || run.pos[sid] == 0 || will_be_set_by_rebalance) return;
    double fill = run.in.price(run.d, run.price_column(sid));
    run.cash = set_position(run, host, sid, 0.0, run.cash, false, true, 1.0, mark.reason, fill);
    run.exited_stocks.push_back(mark);
    reset_trackers(run, sid);
    // A fresh mark of this bar for the stock just sold is void.
    auto &temp = run.exit_stocks_temp;
    for (auto it = temp.begin(); it != temp.end(); ++it) {
        if (it->sid == sid) {
            temp.erase(it);
            break;
        }
    }
}

template <class Host>
void pending_exits(Run &run, Host &host) {
    for (const SideSid &mark : run.exit_stocks) pending_exit(run, host, mark);
}

// Held stocks whose delisting bar has come are sold at their last value.
template <class Host>
void delisting_exits(Run &run, Host &host) {
    run.delisted_stocks.clear();
    if constexpr (account_host<Host>) {
        // A purchase still waiting for a delisted stock ends unfilled.
        for (std::size_t i = run.waiting.size(); i-- > 0;) {
            int sid = run.waiting[i];
            if (run.in.delisting_bars.at(sid) == run.d) market::stop_waiting(run, sid);
        }
    }
    for (int sid : run.pos.keys())
        if (run.in.delisting_bars.at(sid) == run.d && run.pos[sid] != 0) run.delisted_stocks.push_back(sid);
    for (int sid : run.delisted_stocks) {
        int col = run.price_column(sid);
        double fill = run.in.price(run.d, col);
        // An account (and the front end's normalised runs) sells at the
        // price it was last marked at: the close of the bar before.
        bool marked = run.opt.credit_gaps;
        if constexpr (account_host<Host>) marked = marked || run.opt.account.on;
        if (marked && std::isnan(fill) && run.d > 0) {
            double tp = run.in.price(run.d - 1, col), cp = run.in.close(run.d - 1, col);
            if (!std::isnan(tp) && !std::isnan(cp)) {
                run.pos.set(sid, marked_value(run.pos[sid], tp, cp));
                fill = cp;
            }
        }
        run.cash = set_position(run, host, sid, 0.0, run.cash, false, true, 1.0, ExitReason::delisting, fill);
        reset_trackers(run, sid);
    }
}

}  // namespace vostra::kernel
