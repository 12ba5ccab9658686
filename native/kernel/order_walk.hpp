// A waiting order walked down its stock's column over a stretch: each
// bar's revaluation and exit test, the retry's cap, limit and fill worked
// out as the bar loop would, planned for the stretch's bars to book.
#pragma once
#include "stretch_stocks.hpp"

namespace vostra::kernel::detail {

// The columns a waiting order is walked down and where its walk writes,
// in hand: stores through the marks may alias anything the run holds, so
// the walks' loops read nothing from it that is copied here.
struct OrderColumn {
    const char *price, *close, *high, *low, *open;  // the stock's bar 0
    index_t price_step, close_step, high_step, low_step, open_step;
    index_t first;  // the stretch's first bar, where these start:
    double *marks, *values;
    std::uint8_t *nonzero;
    std::size_t stride;  // of the marks
};

// usable_price of both prices in one test: NaN fails every comparison.
[[gnu::always_inline]] inline bool usable_prices(double a, double b) {
    constexpr double largest = 1.7976931348623157e308;
    return !((a <= 0) | (a > largest) | (b <= 0) | (b > largest));
}

// How a walk tests a holding's exit levels: intrabar, at the close, or at
// the close without stops (only a return that may overflow can reach one).
enum class LevelTest { intrabar, close, close_no_stops };

// A walked holding's revaluation on bar b from state w (revalue_one's
// operations) and, when `exits`, its exit test (position_exits'); false
// when the bar is the bar loop's: a zero reference price or return, or a
// level reached.
template <LevelTest test>
[[gnu::always_inline]] inline bool revalue_walked(const Run &run, const OrderColumn &c, index_t b, double trade_price,
                                                  double close, StretchState &w, bool exits) {
    if (w.prev == 0) return false;
    if (std::isnan(w.prev)) w.prev = trade_price;
    double r = trade_price / w.prev;
    if (std::isnan(r)) r = 1;
    w.held = w.held * r;
    w.cr = w.cr * r;
    if (w.cr > w.maxcr) w.maxcr = w.cr;
    if (w.cr < w.mincr) w.mincr = w.cr;
    if (w.cr == 0) return false;
    if (exits && w.held != 0) {
        if constexpr (test == LevelTest::intrabar) {
            double high = load<double>(c.high + b * c.high_step), low = load<double>(c.low + b * c.low_step);
            double open = load<double>(c.open + b * c.open_step);
            if (!usable_price(high) || !usable_price(low) || !usable_price(open) || r == 0) return false;
            Levels l = exit_levels(run, w.maxcr, w.mincr, entry_is_long(w.held, w.cr));
            if (intrabar_touch(w.held, w.cr, r, w.prev, high, low, open, l).hit) return false;
        } else if (test == LevelTest::close || !close_return_finite(w.cr * close, trade_price)) {
            Levels l;
            if (close_mark(run, w.held, w.cr, w.maxcr, w.mincr, trade_price, close, l) != 0) return false;
        }
    }
    if (!std::isnan(trade_price)) w.prev = trade_price;
    return true;
}

// Bar b of a walked holding: its prices (p), which must be usable, and
// revalue_walked on them; writes the bar's value before any fill. False
// when the bar is the bar loop's.
template <LevelTest test>
[[gnu::always_inline]] inline bool revalue_bar(const Run &run, const OrderColumn &c, index_t b, StretchState &n,
                                               bool exits, Prices &p) {
    p = {load<double>(c.price + b * c.price_step), load<double>(c.close + b * c.close_step)};
    if (!usable_prices(p.trade, p.close) || !revalue_walked<test>(run, c, b, p.trade, p.close, n, exits)) return false;
    c.values[b - c.first] = n.held;
    return true;
}

// Bar b's mark to close of a walked holding worth `held` after its fills.
[[gnu::always_inline]] inline void mark_bar(const OrderColumn &c, index_t b, double held, const Prices &p) {
    std::size_t m = static_cast<std::size_t>(b - c.first) * c.stride;
    c.marks[m] = marked_value(held, p.trade, p.close);
    c.nonzero[m] = held != 0;
}

// Bars [b, end) of a waiting order whose stock is not held: nothing to
// revalue or mark (-0.0 adds nothing) up to the first bar that may fill
// some of its `change`, which opens the position and is the bar loop's.
// Returns the bar it stops at.
inline index_t walk_unheld(const OrderColumn &column, const market::ColumnRules &column_rules, index_t b,
                           index_t end, double change) {
    const OrderColumn c = column;
    const market::ColumnRules rules = column_rules;
    double previous_close = b > 0 ? load<double>(c.close + (b - 1) * c.close_step) : 0.0;
    for (; b < end; ++b) {
        double trade_price = load<double>(c.price + b * c.price_step), close = load<double>(c.close + b * c.close_step);
        if (!usable_prices(trade_price, close)) break;
        std::size_t j = static_cast<std::size_t>(b - c.first), m = j * c.stride;
        c.values[j] = c.marks[m] = -0.0;
        c.nonzero[m] = 0;
        double before = previous_close;
        previous_close = close;
        if (std::isnan(trade_price)) continue;
        if (change == 0 || rules.allowed(b, change > 0, trade_price, false, 0.0, [before] { return before; }) != 0)
            break;
    }
    return b;
}

// Bars [b, end) of a waiting order whose stock is held, from state w, as
// long as it waits: the retry of the order on each bar, as long as each
// fill keeps the position open (`exits`: the holding's exit levels are
// tested, not while it waits to be sold out). The fills go to
// run.planned. Returns the bar it stops at (one past the fill that
// completes the order, which clears `waiting`), w the state before it.
template <LevelTest test, bool exits>
index_t walk_waiting(Run &run, const OrderColumn &column, const market::ColumnRules &column_rules, index_t b,
                     index_t end, double target, double shares, StretchState &state, bool &waiting) {
    const OrderColumn c = column;
    const market::ColumnRules rules = column_rules;
    StretchState w = state;
    double previous_close = b > 0 ? load<double>(c.close + (b - 1) * c.close_step) : 0.0;
    for (; b < end; ++b) {
        StretchState n = w;
        Prices p;
        if (!revalue_bar<test>(run, c, b, n, exits, p)) break;
        double trade_price = p.trade, before = previous_close;
        previous_close = p.close;
        bool completes = false;
        if (!std::isnan(trade_price)) {
            // The retry: capped, then a trade of the part the bar allows.
            double change = target - shares;
            if (change == 0) break;
            double a = rules.allowed(b, change > 0, trade_price, false, 0.0, [before] { return before; });
            completes = std::fabs(change) <= a;
            double next = completes ? target : change > 0 ? shares + a : shares - a;
            if (next != shares) {
                std::uint8_t pass = target <= shares ? account::sales
                                    : shares < 0     ? account::covers
                                                     : account::purchases;
                // A close or a flip (two records) is the bar loop's, and so
                // is a fill that adds to the position when that moves its stops.
                if (next == 0 || n.held == 0 || next * shares < 0) break;
                if (account::rebases_stops(run) && std::fabs(next) > std::fabs(shares)) break;
                double d = next - shares;
                double fill = account::fill_price(run, d > 0, trade_price);
                auto [traded, fee, cost] = account::trade_costs(run, next, d, fill);
                run.planned.push_back({b, next, d, trade_price, fill, traded, fee, cost, pass, completes, n});
                n.held = next * trade_price;
                shares = next;
            }
        }
        mark_bar(c, b, n.held, p);
        w = n;
        if (completes) {
            waiting = false;
            ++b;
            break;
        }
    }
    state = w;
    return b;
}

// Bars [b, end) of a held stock whose order is done, from state w, as a
// walk of a quiet stretch takes them. Returns the bar it stops at, w the
// state before it.
template <LevelTest test>
index_t walk_done(const Run &run, const OrderColumn &column, index_t b, index_t end, StretchState &state) {
    const OrderColumn c = column;
    StretchState w = state;
    for (; b < end; ++b) {
        StretchState n = w;
        Prices p;
        if (!revalue_bar<test>(run, c, b, n, true, p)) break;
        mark_bar(c, b, n.held, p);
        w = n;
    }
    state = w;
    return b;
}

// Bars [b, end) of a waiting order whose stock is held, from state w: the
// retry of the order on each bar, then, once it is done, the holding
// alone. Returns the bar it stops at, w the state before it.
template <LevelTest test>
index_t walk_held(Run &run, const OrderColumn &c, const market::ColumnRules &rules, index_t b, index_t end,
                  double target, double shares, StretchState &w) {
    bool waiting = true;
    // An order to sell out the holding tests no exit level while it waits.
    b = target == 0 ? walk_waiting<test, false>(run, c, rules, b, end, target, shares, w, waiting)
                    : walk_waiting<test, true>(run, c, rules, b, end, target, shares, w, waiting);
    return waiting ? b : walk_done<test>(run, c, b, end, w);
}

// Walks the waiting order of busy stock k down its column from bar
// `from`: its revaluation and the retry of its order, as long as each fill
// keeps a held position open (bars without a fill are walked whether it is
// held or not), and once the order is done, the holding as a walk of a
// quiet stretch takes it. The fills go to run.planned; from the bar it
// stops at it is taken bar by bar, from its state before that bar
// (plan_until, plan_stop_state). False when it stops at `from`.
inline bool walk_order(Run &run, const Stretch &st, std::size_t k, index_t from) {
    int sid = stock_of(run, st, k);
    run.plan_next[k] = run.plan_end[k] = run.planned.size();
    run.plan_until[k] = from;
    if (!market::waits(run, sid)) return false;
    const Market &in = run.in;
    int col = run.columns.price_of[sid];
    std::size_t len = static_cast<std::size_t>(st.end - st.d), at = mark_offset(run, st, k, st.d);
    // High, low and open are read intrabar only (else they may be empty).
    auto start = [col](const View2<double> &v) { return v.data ? v.data + col * v.col_stride : nullptr; };
    OrderColumn c{start(in.price),
                  start(in.close),
                  start(in.high),
                  start(in.low),
                  start(in.open),
                  in.price.row_stride,
                  in.close.row_stride,
                  in.high.row_stride,
                  in.low.row_stride,
                  in.open.row_stride,
                  st.d,
                  run.stretch_marks.data() + at,
                  run.plan_values.data() + k * len,
                  run.stretch_nonzero.data() + at,
                  run.mark_stride[k]};
    const market::ColumnRules rules = market::column_rules(run, col, market::lot_of(run, sid));
    double target = run.orders[run.waiting_order[sid]].target, shares = run.shares[sid];
    StretchState w = state_now(run, sid);
    index_t b;
    if (!run.pos.contains(sid))
        b = walk_unheld(c, rules, from, st.end, target - shares);
    else if (run.opt.touched_exit)
        b = walk_held<LevelTest::intrabar>(run, c, rules, from, st.end, target, shares, w);
    else if (run.no_stops)
        b = walk_held<LevelTest::close_no_stops>(run, c, rules, from, st.end, target, shares, w);
    else
        b = walk_held<LevelTest::close>(run, c, rules, from, st.end, target, shares, w);
    run.plan_end[k] = run.planned.size();
    run.plan_until[k] = b;
    run.plan_stop_state[k] = w;
    return b > from;
}

}  // namespace vostra::kernel::detail
