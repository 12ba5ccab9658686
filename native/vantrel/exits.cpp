// Exit rules: stop-loss, take-profit and trailing stop (intrabar or on the
// next bar after a close beyond a level), and delisting.
#include "engine.hpp"

namespace vostra::vantrel {

namespace {

// Whether the value at entry, value / cr, is positive (a long). The sign is
// certain without the division unless the quotient could underflow to zero.
bool entry_is_long(double value, double cr) {
    if (value > 0 && cr > 0 && cr <= 1e10 && value >= 1e-290) return true;
    if (value < 0 && cr > 0) return false;
    return value / cr > 0;
}

}  // namespace

namespace {

// Intrabar mode: the bar's open, high and low against the levels, relative to
// the previous trading price. A touched level closes the stock at once.
[[gnu::noinline]] void intrabar_exit(Run &run, int sid, int col, Py_ssize_t d, double r, double value, double max_r,
                                     double min_r) {
    double prev = run.previous_price[col];
    double high = run.in.high(d, col), low = run.in.low(d, col), open = run.in.open(d, col);
    validate_price(run.in, PriceKind::high, high, sid, d);
    validate_price(run.in, PriceKind::low, low, sid, d);
    validate_price(run.in, PriceKind::open, open, sid, d);
    double base = checked_div(run.cr[sid], r);
    double high_r = base * checked_div(high, prev);
    double low_r = base * checked_div(low, prev);
    double open_r = base * checked_div(open, prev);
    bool touch_low = low_r <= min_r;
    bool touch_high = high_r >= max_r;
    bool touch_open = open_r >= max_r || open_r <= min_r;
    if (!(touch_low || touch_high || touch_open)) return;
    // An open beyond a level is worth the open; otherwise the level reached,
    // the upper one first when both were touched.
    double entry_pos = value / run.cr[sid];
    double exit_value = touch_open ? entry_pos * open_r : touch_high ? entry_pos * max_r : entry_pos * min_r;
    run.pos.set(sid, exit_value);
    // The side comes from the touches alone: a long that touched both levels
    // is valued at the upper level but counted as stopped out.
    bool stop_side = (touch_low && exit_value > 0) || (touch_high && exit_value < 0);
    run.exited_stocks.push_back({sid, !stop_side});
    run.cash = set_position(run.pos, sid, 0.0, run.cash, run.costs, false, false);
}

}  // namespace

void position_exits(Run &run, int sid, int col, Py_ssize_t d, double r, double value, double trade_price) {
    // Exit levels as values of the cumulative return `cr`: for a long the
    // upper level takes profit and the lower one stops (or trails); for a
    // short it is the other way round. The trailing distance is subtracted
    // from (added to) the extreme cumulative return itself.
    double max_r, min_r;
    if (entry_is_long(value, run.cr[sid])) {
        bool trail_armed = run.maxcr[sid] >= 1 + run.trail_stop_activation_abs;
        max_r = 1 + run.take_profit_abs;
        min_r = 1 - run.stop_loss_abs;
        if (trail_armed) min_r = std::max(min_r, run.maxcr[sid] - run.trail_stop_abs);
    } else {
        bool trail_armed = run.mincr[sid] <= 1 - run.trail_stop_activation_abs;
        max_r = 1 + run.stop_loss_abs;
        if (trail_armed) max_r = std::min(max_r, run.mincr[sid] + run.trail_stop_abs);
        min_r = 1 - run.take_profit_abs;
    }
    if (run.opt.touched_exit) {
        intrabar_exit(run, sid, col, d, r, value, max_r, min_r);
        return;
    }
    // Close mode only marks the stock; it is sold on the next bar at that
    // bar's trading price. The lower test is strict, the upper one is not.
    double close = run.in.close(d, col);
    validate_price(run.in, PriceKind::close, close, sid, d);
    double numerator = run.cr[sid] * close;
    // Without finite levels only an overflow to +inf could reach one; a
    // finite numerator over a price of at least 1 cannot overflow.
    if (max_r == INFINITY && min_r == -INFINITY && std::isfinite(numerator) && trade_price >= 1.0) return;
    double cr_at_close = checked_div(numerator, trade_price);
    if (cr_at_close >= max_r)
        run.exit_stocks_temp.push_back({sid, true});
    else if (cr_at_close < min_r)
        run.exit_stocks_temp.push_back({sid, false});
}

void pending_exits(Run &run) {
    for (const SideSid &mark : run.exit_stocks) {
        int sid = mark.sid;
        // A rebalance of this bar that keeps holding the stock takes it
        // over, unless stopped stocks are to sit out the next period.
        bool will_be_set_by_rebalance = run.should_rebalance && !truth(run.opt.stop_trading_next_period) &&
                                        run.in.weights(run.pos_id, sid) != 0;
        if (!run.pos.contains(sid) || run.pos[sid] == 0 || will_be_set_by_rebalance) continue;
        run.cash = set_position(run.pos, sid, 0.0, run.cash, run.costs, false, true);
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
}

void delisting_exits(Run &run, Py_ssize_t d) {
    run.delisted_stocks.clear();
    for (int sid : run.pos.keys())
        if (run.in.delisting_bars.at(sid) == d && run.pos[sid] != 0) run.delisted_stocks.push_back(sid);
    for (int sid : run.delisted_stocks) {
        run.cash = set_position(run.pos, sid, 0.0, run.cash, run.costs, false, true);
        reset_trackers(run, sid);
    }
}

}  // namespace vostra::vantrel
