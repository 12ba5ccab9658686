// Stretches of a run under the market's rules, in which orders may wait.
//
// A waiting order ties its stock to the bar: each bar may fill part of it,
// at that bar's price and out of that bar's cash. The other holdings still
// evolve on their own, so they are walked down their columns as in any
// quiet stretch (stretch.hpp), while the stocks with an order ("busy"
// ones) are taken bar by bar by the bar loop's own steps, in the bar loop's
// order: revaluation and intrabar exits in stock order, then the sales of
// the previous bar's close-mode marks in stock order, then the waiting
// orders, then the mark to close. A walked holding's exit and mark are
// merged in where the bar loop takes them, so the cash, fills, records and
// marks come from the same operations on the same values. A walked
// holding whose exit the market fills only in part is busy from its exit's
// bar on, taken up from its state before that bar.
//
// A waiting order's fills depend on its own column alone (its volume,
// previous close, blocked cell, trading price and shares) but for the cash,
// which may cut a purchase, and the balance, which a fill that opens a
// position reads. So a busy stock whose order keeps its holding open is
// walked down its column too, its fills worked out bar by bar with the
// operations of a retry, and once its order is done its holding walks on;
// the bar loop's order then only books them (cash, host calls) among the
// other fills of the bar, checking a purchase against the cash at its
// turn. The bar that would open or close the holding or reach an exit
// level, and a purchase the cash would cut, are taken by the bar loop's own
// steps, and the order is walked again from the next bar.
#pragma once
#include "stretch.hpp"

#include <climits>

namespace vostra::kernel::detail {

// How many bars ahead a revaluation asks for a held column's prices.
inline constexpr index_t prefetch_ahead = 16;

struct Prices {
    double trade, close;
};

// Revalues held stock `sid` at this bar's trading price and applies the
// exit rules to it; returns the bar's trading and (when `need_close`) close
// prices.
template <class Host>
[[gnu::always_inline]] inline Prices revalue_one(Run &run, Host &host, int sid, bool need_close, bool prefetch) {
    const Market &in = run.in;
    index_t d = run.d;
    int col = run.price_column(sid);
    // Price matrices from pandas are column-major: each held stock is its own
    // stream through memory, too many for the hardware prefetcher to follow.
    if (prefetch) {
        __builtin_prefetch(in.price.row_ptr(d + prefetch_ahead) + col * in.price.col_stride);
        __builtin_prefetch(in.close.row_ptr(d + prefetch_ahead) + col * in.close.col_stride);
    }
    double trade_price = in.price(d, col);
    validate_price(run, host, PriceKind::trading, trade_price, sid);
    double close = need_close ? in.close(d, col) : 0.0;
    double &prev = run.previous_price[col];
    if (std::isnan(prev)) prev = trade_price;
    double r = checked_div(trade_price, prev);
    if (std::isnan(r)) r = 1;  // a missing price keeps the position where it was
    double &held = run.pos.value(sid);
    double value = held * r;
    held = value;
    double &cr = run.cr[sid];
    cr = cr * r;
    if (cr > run.maxcr[sid]) run.maxcr[sid] = cr;
    if (cr < run.mincr[sid]) run.mincr[sid] = cr;
    if (cr == 0) zero_division();  // no entry value to derive
    // A holding already closed by an intrabar stop is flat: it has no
    // exit levels left to reach.
    if (value != 0 && !market::exit_waits(run, sid)) position_exits(run, host, sid, col, r, value, trade_price, close);
    if (!std::isnan(trade_price)) prev = trade_price;
    return {trade_price, close};
}

// Whether bar d (after the warm-up) may start a stretch under the market's
// rules: as a quiet bar, but orders may wait.
inline bool stretch_may_start(const Run &run, index_t d) {
    // While a purchase may meet a waiting cover, the bar loop takes the
    // bars: the purchase reads what the cover still needs.
    return !run.should_rebalance && run.exit_stocks.empty() && !run.delisting_at[d] && !run.pos.keys().empty() &&
           !account::purchase_may_meet_cover(run);
}

// The stocks of a stretch [d, end) under the market's rules: stock k is
// the walked holding k (k < nw, run.stretch_keys) or the busy stock k - nw
// (run.busy), walked once its order is done. Their marks share
// run.stretch_marks: the walked holdings' first, as walk_holdings writes
// them, then the busy stocks'.
struct Stretch {
    index_t d, end;
    std::size_t nw, nb;
};

inline int stock_of(const Run &run, const Stretch &st, std::size_t k) {
    return k < st.nw ? run.stretch_keys[k] : run.busy[k - st.nw];
}

inline std::size_t mark_offset(const Run &run, const Stretch &st, std::size_t k, index_t b) {
    return run.mark_base[k] + static_cast<std::size_t>(b - st.d) * run.mark_stride[k];
}

inline StretchState state_now(const Run &run, int sid) {
    return {run.pos[sid], run.cr[sid], run.maxcr[sid], run.mincr[sid], run.previous_price[run.columns.price_of[sid]]};
}

inline void set_state(Run &run, int sid, const StretchState &w) {
    run.pos.value(sid) = w.held;
    run.cr[sid] = w.cr;
    run.maxcr[sid] = w.maxcr;
    run.mincr[sid] = w.mincr;
    run.previous_price[run.columns.price_of[sid]] = w.prev;
}

// Walks stock `sid` over bars [from, to) from state w (its marks into
// `marks`, every `stride` values); false when a bar needs the bar loop.
inline bool walk_stock(const Run &run, int sid, index_t from, index_t to, StretchState &w, WalkExit &exit,
                       double *marks, std::uint8_t *nonzero, std::size_t stride) {
    int col = run.columns.price_of[sid];
    return run.opt.touched_exit ? walk_holding<true>(run, col, from, to, w, exit, marks, nonzero, stride)
                                : walk_holding<false>(run, col, from, to, w, exit, marks, nonzero, stride);
}

// After stock k's walk from bar c (its state before c in stretch_start[k]):
// whether the market fills its exit only in part, which makes it busy from
// that bar on, from its state before it (walked again up to there). An
// exit depends on its holding's own shares and fills alone, so this is
// known before the bars up to it are taken. False when that walk needs the
// bar loop.
inline bool find_waiting_exit(Run &run, const Stretch &st, std::size_t k, index_t c) {
    const WalkExit &e = run.stretch_exit[k];
    run.busy_from[k] = -1;
    if (e.bar < 0) return true;
    int sid = stock_of(run, st, k);
    index_t at = run.d;
    run.d = e.bar;
    bool whole = account::fills_whole(run, sid, e.fill, e.reason);
    run.d = at;
    if (whole) return true;
    StretchState w = run.stretch_start[k];
    if (e.bar > c) {
        std::size_t len = static_cast<std::size_t>(e.bar - c);
        run.rewalk_marks.resize(len);
        run.rewalk_nonzero.resize(len);
        WalkExit again;
        if (!walk_stock(run, sid, c, e.bar, w, again, run.rewalk_marks.data(), run.rewalk_nonzero.data(), 1))
            return false;
    }
    run.busy_from[k] = e.bar;
    run.busy_from_state[k] = w;
    return true;
}

// The walked stocks' exits (run.stretch_exits) in the order the bar loop
// takes them: bar order, then stock order.
inline bool exit_before(const Run &run, const Stretch &st, std::uint32_t a, std::uint32_t b) {
    index_t x = run.stretch_exit[a].bar, y = run.stretch_exit[b].bar;
    return x != y ? x < y : stock_of(run, st, a) < stock_of(run, st, b);
}

// Stock k is walked from bar c: its value is carried from its state before
// c when a retry asks for the balance, its exit is listed, and the run
// takes its state at the stretch's end (nothing reads it before its exit,
// which sets what it reads).
inline void keep_walk(Run &run, const Stretch &st, std::size_t k, index_t c) {
    run.walk_from[k] = c;
    run.busy_flag[k] = 0;
    run.carried[k] = run.stretch_start[k];
    run.carried_bar[k] = c - 1;
    set_state(run, stock_of(run, st, k), run.stretch_state[k]);
    if (run.stretch_exit[k].bar < 0) return;
    std::vector<std::uint32_t> &exits = run.stretch_exits;
    auto k32 = static_cast<std::uint32_t>(k);
    exits.insert(std::upper_bound(exits.begin(), exits.end(), k32,
                                  [&](std::uint32_t a, std::uint32_t b) { return exit_before(run, st, a, b); }),
                 k32);
}

// Inserts k into the busy stocks of this bar, in stock order.
inline void add_busy(Run &run, const Stretch &st, std::uint32_t k) {
    std::vector<std::uint32_t> &now = run.busy_now;
    int sid = stock_of(run, st, k);
    now.insert(std::lower_bound(now.begin(), now.end(), sid,
                                [&](std::uint32_t a, int s) { return stock_of(run, st, a) < s; }),
               k);
    run.busy_flag[k] = 1;
}

// A busy stock whose order is done is walked from bar c to the stretch's
// end, if its walk can take those bars; else it stays busy.
inline bool walk_from_now(Run &run, const Stretch &st, std::size_t k, index_t c) {
    int sid = stock_of(run, st, k);
    run.walk_from[k] = -2;  // tried: a walk that fails is not tried again
    run.stretch_start[k] = run.stretch_state[k] = state_now(run, sid);
    WalkExit &e = run.stretch_exit[k];
    std::size_t at = mark_offset(run, st, k, c);
    bool ok = walk_stock(run, sid, c, st.end, run.stretch_state[k], e, run.stretch_marks.data() + at,
                         run.stretch_nonzero.data() + at, run.mark_stride[k]) &&
              find_waiting_exit(run, st, k, c);
    if (ok) {
        keep_walk(run, st, k, c);
        return true;
    }
    e.bar = -1;
    e.pending = false;
    run.busy_from[k] = -1;
    return false;
}

// The value of walked stock k at bar b, carried from its state before its
// walk by the walk's own operations (the value and reference price only).
inline double carried_value(Run &run, const Stretch &st, std::size_t k, index_t b) {
    StretchState &c = run.carried[k];
    index_t &at = run.carried_bar[k];
    const View2<double> &price = run.in.price;
    int col = run.columns.price_of[stock_of(run, st, k)];
    for (; at < b; ++at) {
        double trade_price = price(at + 1, col);
        if (std::isnan(c.prev)) c.prev = trade_price;
        double r = trade_price / c.prev;
        if (std::isnan(r)) r = 1;
        c.held = c.held * r;
        if (!std::isnan(trade_price)) c.prev = trade_price;
    }
    return c.held;
}

// Keeps the cash and the busy stocks' values before bar b's retry, which
// the balance is summed from should a fill ask for it.
inline void keep_values_before_retry(Run &run, const Stretch &st) {
    run.cash_before_retry = run.cash;
    for (std::uint32_t k : run.busy_now) {
        int sid = stock_of(run, st, k);
        bool held = run.pos.contains(sid);
        run.held_before_retry[k] = held;
        if (held) run.value_before_retry[k] = run.pos[sid];
    }
}

// The cash plus every holding's value on bar b before its retry, summed in
// stock order, as the bar loop's retry sums them.
inline double stretch_balance(Run &run, const Stretch &st, index_t b) {
    double total = run.cash_before_retry;
    std::size_t len = static_cast<std::size_t>(st.end - st.d), j = static_cast<std::size_t>(b - st.d);
    for (std::uint32_t k : run.stretch_order) {
        index_t exit_bar = run.stretch_exit[k].bar;
        if (b < run.plan_until[k]) {
            total = total + run.plan_values[k * len + j];
        } else if (run.busy_flag[k]) {
            if (run.held_before_retry[k]) total = total + run.value_before_retry[k];
        } else if (!(exit_bar >= 0 && exit_bar <= b)) {
            total = total + carried_value(run, st, k, b);
        } else {
            // Flat after an intrabar exit, sold and out of the map after a
            // close-mode one.
            int sid = stock_of(run, st, k);
            if (run.pos.contains(sid)) total = total + run.pos[sid];
        }
    }
    return total;
}

// The busy stocks' marks to close of bar b, written where their walks
// would have written them: each bar's sum is then added up with the walked
// stocks' marks, in stock order, after the stretch (a stock not held marks
// -0.0, which adds nothing).
template <class Host>
void mark_busy(Run &run, Host &host, const Stretch &st, index_t b) {
    double *marks = run.stretch_marks.data();
    std::uint8_t *nonzero = run.stretch_nonzero.data();
    for (std::uint32_t k : run.busy_now) {
        int sid = stock_of(run, st, k);
        std::size_t at = mark_offset(run, st, k, b);
        if (!run.pos.contains(sid)) {
            marks[at] = -0.0;
            nonzero[at] = 0;
            continue;
        }
        int col = run.price_column(sid);
        double trade_price = run.in.price(b, col);
        validate_price(run, host, PriceKind::trading, trade_price, sid);
        double close_price = run.in.close(b, col);
        validate_price(run, host, PriceKind::close, close_price, sid);
        double held = run.pos[sid];
        marks[at] = marked_value(held, trade_price, close_price);
        nonzero[at] = held != 0;
    }
}

// The marks of bars [from, to) of the stretch, each stock's in the
// stretch's marks: the bars' cash in out[] is there already.
template <class Host>
void add_walked_marks(Run &run, Host &host, const Stretch &st, index_t from, index_t to, double *out) {
    add_marks(run, host, from, to, out, [&run, &st](index_t b) {
        return [&run, j = static_cast<std::size_t>(b - st.d)](auto &&add) {
            for (std::uint32_t k : run.stretch_order) {
                std::size_t stride = run.mark_stride[k];
                add(run.mark_base[k] + j * stride, stride);
            }
        };
    });
}

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
                if (next == 0 || n.held == 0 || (pass == account::covers && next > 0)) break;
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

// Where a fill of pass `pass` for `sid` comes in a retry: passes in
// order, stock order within each.
inline std::uint64_t booking_key(std::uint8_t pass, int sid) {
    return (std::uint64_t{pass} << 32) | static_cast<std::uint32_t>(sid);
}

// The order of stretch stock k is walked (walk_order): its fills are
// booked from its plans, and it is taken bar by bar again at its stop.
inline void keep_order_walk(Run &run, const Stretch &st, std::uint32_t k) {
    int sid = stock_of(run, st, k);
    run.order_walked[k] = 1;
    run.plan_of[sid] = static_cast<std::int32_t>(k);
    run.busy_flag[k] = 0;
    if (run.plan_until[k] < st.end) run.walk_stops[static_cast<std::size_t>(run.plan_until[k] - st.d)].push_back(k);
    // Each fill under its bar, which then books only the fills it has.
    for (std::size_t p = run.plan_next[k]; p < run.plan_end[k]; ++p) {
        const PlannedFill &f = run.planned[p];
        run.bar_fills[static_cast<std::size_t>(f.bar - st.d)].push_back(
            {booking_key(f.pass, sid), static_cast<std::uint32_t>(p), k, 0.0});
    }
}

// Walked order k is taken bar by bar from here, from state `w`.
inline void hand_back_order(Run &run, const Stretch &st, std::uint32_t k, const StretchState &w) {
    int sid = stock_of(run, st, k);
    set_state(run, sid, w);
    run.plan_of[sid] = -1;
    add_busy(run, st, k);
}

// Books planned fill `f` of walked order k as account::trade would, unless
// the cash would cut a purchase (account::cut's first test): that order is
// then taken bar by bar from this bar on, from its state before the fill.
template <class Host>
bool book_planned(Run &run, Host &host, const Stretch &st, std::uint32_t k, const PlannedFill &f, double &cash,
                  double floor) {
    int sid = stock_of(run, st, k);
    if (f.pass == account::purchases && !((cash - f.traded) - f.fee >= floor)) {
        run.plan_until[k] = run.d + 1;  // its value before this bar's retry is the walk's
        run.order_walked[k] = 0;
        hand_back_order(run, st, k, f.before);
        return false;
    }
    if (f.completes) market::stop_waiting(run, sid);
    double after = f.delta > 0 ? (cash - f.traded) - f.cost : (f.traded - f.cost) + cash;
    run.shares[sid] = f.shares;
    run.traded = true;
    host.on_fill(run, sid, after - cash, f.traded, f.cost);
    // market::tell_fill, knowing that the market's rules are on and whether
    // the fill completes its order.
    market::note_filled(run, sid, f.delta);
    host.on_order_fill(run, Fill{run.d, sid, f.delta, f.fill, f.traded, f.cost, run.order_now, f.completes});
    cash = after;
    return true;
}

// Sorts a bar's few fills `q` by their keys, through `scratch`: counted
// out by pass, then put in stock order within each, in which they mostly
// come already (walks from the stretch's start are listed in stock order).
inline void sort_by_key(std::vector<BarFill> &q, std::vector<BarFill> &scratch) {
    scratch.resize(q.size());
    account::count_out_by_pass(
        q.size(), [&q](std::size_t i) { return static_cast<std::uint8_t>(q[i].key >> 32); },
        [&q, &scratch](std::size_t i, std::uint32_t at) { scratch[at] = q[i]; });
    q.swap(scratch);
    for (std::size_t i = 1; i < q.size(); ++i) {
        if (!(q[i - 1].key > q[i].key)) continue;
        BarFill x = q[i];
        std::size_t j = i;
        for (; j > 0 && q[j - 1].key > x.key; --j) q[j] = q[j - 1];
        q[j] = x;
    }
}

// The waiting orders' retry on bar b, as account::retry_waiting takes it:
// the orders taken bar by bar get their targets there and the walked
// orders' fills of this bar are booked from their plans, together in the
// passes of a retry and stock order within each. A bar touches only the
// orders that fill on it.
template <class Host>
void retry_stretch_bar(Run &run, Host &host, const Stretch &st, index_t b) {
    std::vector<BarFill> &queue = run.bar_queue;
    queue.clear();
    run.targets.clear();
    for (std::uint32_t k : run.busy_now) {
        int sid = stock_of(run, st, k);
        if (!market::waits(run, sid)) continue;
        std::size_t n = run.targets.size();
        account::add_waiting_target(run, host, sid);
        if (run.targets.size() == n) continue;
        queue.push_back({booking_key(run.targets[n].pass, sid), static_cast<std::uint32_t>(n), busy_target,
                         run.shares[sid]});
    }
    // The walked orders' fills of this bar, unless handed back since (a
    // walk again from a later bar starts past them).
    for (const BarFill &e : run.bar_fills[static_cast<std::size_t>(b - st.d)]) {
        int sid = stock_of(run, st, e.k);
        if (run.plan_of[sid] != static_cast<std::int32_t>(e.k) || run.plan_next[e.k] != e.plan) continue;
        if (!market::waits(run, sid)) continue;
        ++run.plan_next[e.k];
        queue.push_back({e.key, e.plan, e.k, run.shares[sid]});
    }
    sort_by_key(queue, run.bar_scratch);
    auto balance_now = [&run, &st, b] { return stretch_balance(run, st, b); };
    account::BalanceOnce<decltype(balance_now)> balance_of{balance_now};
    double floor = account::cash_floor(run, balance_of);
    double cash = run.cash;
    for (const BarFill &e : queue) {
        if (e.k == busy_target) {
            const AccountTarget &t = run.targets[e.plan];
            run.order_now = run.waiting_order[t.sid];
            cash = account::fill_target(run, host, t, cash, floor, false, balance_of);
            continue;
        }
        const PlannedFill &f = run.planned[e.plan];
        int sid = stock_of(run, st, e.k);
        run.order_now = run.waiting_order[sid];
        if (book_planned(run, host, st, e.k, f, cash, floor)) continue;
        // Handed back: filled here, from the state before the fill.
        AccountTarget t{sid, 0.0, run.orders[run.order_now].target, f.price, f.pass};
        cash = account::fill_target(run, host, t, cash, floor, false, balance_of);
    }
    run.order_now = -1;
    run.cash = cash;
    for (const BarFill &e : queue) {
        bool busy = e.k == busy_target;
        int sid = busy ? run.targets[e.plan].sid : stock_of(run, st, e.k);
        account::start_if_bought(run, sid, e.shares_before, busy ? run.targets[e.plan].price : run.planned[e.plan].price);
    }
}

// Bar b of the stretch up to its mark to close; exits [first, last) of
// run.stretch_exits are the walked stocks' exits on it.
template <class Host>
void stretch_bar(Run &run, Host &host, const Stretch &st, index_t b, std::size_t first, std::size_t last) {
    bool intrabar = run.opt.touched_exit;
    const std::vector<std::uint32_t> &exits = run.stretch_exits;
    // Exits the market fills only in part: their stocks are busy from here.
    for (std::size_t i = first; i < last; ++i) {
        std::uint32_t k = exits[i];
        if (run.busy_from[k] != b) continue;
        set_state(run, stock_of(run, st, k), run.busy_from_state[k]);
        add_busy(run, st, k);
    }
    // Walked orders whose walk stops here. A walk handed back before its
    // stop (a purchase the cash cuts, which ends its order) is no longer
    // walked; one walked again starts after its stop.
    for (std::uint32_t k : run.walk_stops[static_cast<std::size_t>(b - st.d)]) {
        if (!run.order_walked[k]) continue;
        run.order_walked[k] = 0;
        hand_back_order(run, st, k, run.plan_stop_state[k]);
    }
    // Revaluation and intrabar exits, in stock order.
    run.exit_stocks_temp.clear();
    bool prefetch = b + prefetch_ahead < run.in.price.rows;
    std::size_t i = first;
    auto walked_exits_before = [&](int sid) {
        for (; i < last && stock_of(run, st, exits[i]) < sid; ++i) {
            std::uint32_t k = exits[i];
            if (!run.busy_flag[k]) take_walk_exit(run, host, stock_of(run, st, k), run.stretch_exit[k]);
        }
    };
    for (std::uint32_t k : run.busy_now) {
        int sid = stock_of(run, st, k);
        if (!run.pos.contains(sid)) continue;
        if (intrabar) walked_exits_before(sid);
        revalue_one(run, host, sid, !intrabar, prefetch);
    }
    if (intrabar) walked_exits_before(INT_MAX);
    // The sales of the previous bar's close-mode marks, in stock order.
    if (!intrabar && (first < last || !run.exit_stocks.empty())) {
        const ExitList &marks = run.exit_stocks;
        std::size_t j = 0;
        for (std::size_t x = first; x < last; ++x) {
            std::uint32_t k = exits[x];
            int sid = stock_of(run, st, k);
            for (; j < marks.size() && marks[j].sid < sid; ++j) pending_exit(run, host, marks[j]);
            const WalkExit &e = run.stretch_exit[k];
            if (!run.busy_flag[k])
                take_walk_exit(run, host, sid, e);
            else
                pending_exit(run, host, SideSid{sid, e.positive, e.reason});
        }
        for (; j < marks.size(); ++j) pending_exit(run, host, marks[j]);
    }
    run.exit_stocks = run.exit_stocks_temp;
    if (run.waiting.empty()) return;
    keep_values_before_retry(run, st);
    retry_stretch_bar(run, host, st, b);
}

// After bar b's mark: busy stocks whose order is done are walked from the
// next bar, unless a close-mode mark is still to be sold.
inline void walk_done_orders(Run &run, const Stretch &st, index_t b) {
    if (b + 1 == st.end) return;
    std::vector<std::uint32_t> &now = run.busy_now;
    std::size_t kept = 0;
    for (std::size_t i = 0; i < now.size(); ++i) {
        std::uint32_t k = now[i];
        int sid = stock_of(run, st, k);
        bool marked = false;
        for (const SideSid &m : run.exit_stocks) marked = marked || m.sid == sid;
        if (!marked && !market::waits(run, sid) && !run.pos.contains(sid)) {
            // Sold out and done: nothing left to take on its bars, whose
            // marks add nothing (-0.0).
            run.held_before_retry[k] = 0;
            for (index_t c = b + 1; c < st.end; ++c) {
                std::size_t at = mark_offset(run, st, k, c);
                run.stretch_marks[at] = -0.0;
                run.stretch_nonzero[at] = 0;
            }
            continue;
        }
        if (!marked && market::waits(run, sid)) {
            // An order that goes on waiting: walked on from the next bar.
            if (!walk_order(run, st, k, b + 1)) {
                now[kept++] = k;
                continue;
            }
            keep_order_walk(run, st, k);
            continue;
        }
        bool walk = !marked && run.walk_from[k] == -1 && !market::waits(run, sid) && run.pos.contains(sid);
        if (!walk || !walk_from_now(run, st, k, b + 1)) now[kept++] = k;
    }
    now.resize(kept);
}

// The walked stocks' marks of the stretch's last bar, sold on the next bar,
// joined to the busy ones' in stock order.
inline void keep_last_marks(Run &run, const Stretch &st) {
    ExitList &walked_marks = run.walked_pending;
    walked_marks.clear();
    for (std::uint32_t k : run.stretch_order) {
        const WalkExit &e = run.stretch_exit[k];
        if (e.pending && !run.busy_flag[k]) walked_marks.push_back({stock_of(run, st, k), e.positive, e.reason});
    }
    run.exit_stocks_temp.clear();
    std::merge(walked_marks.begin(), walked_marks.end(), run.exit_stocks.begin(), run.exit_stocks.end(),
               std::back_inserter(run.exit_stocks_temp),
               [](const SideSid &a, const SideSid &b) { return a.sid < b.sid; });
    run.exit_stocks = run.exit_stocks_temp;
}

// Sets up the stretch's scratch and walks the holdings without a waiting
// order from its first bar; false when a bar needs the bar loop. Nothing
// of the run has changed yet.
inline bool walk_free_holdings(Run &run, const Stretch &st) {
    std::size_t n = st.nw + st.nb, len = static_cast<std::size_t>(st.end - st.d);
    run.stretch_marks.resize(n * len);
    run.stretch_nonzero.resize(n * len);
    run.stretch_state.resize(n);
    run.stretch_exit.resize(n);
    run.stretch_start.resize(n);
    run.busy_from_state.resize(n);
    run.carried.resize(n);
    run.carried_bar.resize(n);
    run.mark_base.resize(n);
    run.mark_stride.resize(n);
    run.walk_from.assign(n, -1);
    run.busy_from.assign(n, -1);
    run.busy_flag.assign(n, 1);
    run.held_before_retry.resize(n);
    run.value_before_retry.resize(n);
    run.plan_next.resize(n);
    run.plan_end.resize(n);
    run.plan_until.assign(n, st.d);
    run.order_walked.assign(n, 0);
    if (run.walk_stops.size() < len) run.walk_stops.resize(len);
    if (run.bar_fills.size() < len) run.bar_fills.resize(len);
    for (std::size_t j = 0; j < len; ++j) {
        run.walk_stops[j].clear();
        run.bar_fills[j].clear();
    }
    run.plan_stop_state.resize(n);
    run.plan_values.resize(n * len);
    run.planned.clear();
    if (run.plan_of.size() < run.shares.size()) run.plan_of.resize(run.shares.size(), -1);
    for (std::size_t k = 0; k < n; ++k) {
        bool first = k < st.nw;
        run.mark_base[k] = first ? k : st.nw * len + (k - st.nw);
        run.mark_stride[k] = first ? st.nw : st.nb;
        if (!first) run.stretch_exit[k] = WalkExit{-1, 0, 0, ExitReason::open, false, false};
    }
    // The columns the waiting orders are walked down, asked for while the
    // holdings are walked: each is a few lines of a column, too short a
    // stream for the hardware prefetcher.
    const MarketRules &m = run.opt.account.market;
    for (std::size_t k = st.nw; k < n; ++k) {
        int col = column_of(run, stock_of(run, st, k));
        if (col < 0) continue;
        prefetch_column(run.in.price, col, st.d, st.end);
        prefetch_column(run.in.close, col, st.d > 0 ? st.d - 1 : 0, st.end);
        if (m.volume.data) prefetch_column(m.volume, col, st.d, st.end);
    }
    if (st.nw > 0 && !walk_holdings(run, st.d, st.end)) return false;
    for (std::size_t k = 0; k < st.nw; ++k) {
        run.stretch_start[k] = state_now(run, run.stretch_keys[k]);
        if (!find_waiting_exit(run, st, k, st.d)) return false;
    }
    for (std::size_t k = st.nw; k < n; ++k) walk_order(run, st, k, st.d);
    return true;
}

// Simulates the stretch under the market's rules that starts at bar d,
// writing its portfolio values into `out`; returns one past its last bar,
// or d when the bar loop takes the bar (and, after a hand-back, every bar
// of the stretch).
template <class Host>
index_t walk_waiting_stretch(Run &run, Host &host, index_t d, double *out) {
    StretchEnd s = stretch_end(run, d);
    if (s.end - d < 2) return d;
    std::vector<int> &keys = run.stretch_keys, &busy = run.busy;
    keys.clear();
    for (int sid : run.pos.keys())
        if (!market::waits(run, sid)) keys.push_back(sid);
    busy.assign(run.waiting.begin(), run.waiting.end());
    Stretch st{d, s.end, keys.size(), busy.size()};
    if (!walk_free_holdings(run, st)) {
        run.loud_until = s.end;
        return d;
    }
    run.stretch_exits.clear();
    for (std::size_t k = 0; k < st.nw; ++k) keep_walk(run, st, k, d);
    run.busy_now.clear();
    for (std::size_t k = st.nw; k < st.nw + st.nb; ++k) {
        auto k32 = static_cast<std::uint32_t>(k);
        if (run.plan_until[k] == d)
            run.busy_now.push_back(k32);
        else
            keep_order_walk(run, st, k32);
    }
    // Every stock of the stretch, in stock order.
    std::vector<std::uint32_t> &order = run.stretch_order;
    order.clear();
    for (std::size_t i = 0, j = 0; i < st.nw || j < st.nb;) {
        bool walked_first = j == st.nb || (i < st.nw && keys[i] < busy[j]);
        order.push_back(static_cast<std::uint32_t>(walked_first ? i++ : st.nw + j++));
    }
    const std::vector<std::uint32_t> &exits = run.stretch_exits;
    std::size_t next = 0;
    // Each bar's cash, then its marks added to it after the last bar,
    // several bars side by side, still in bar order.
    for (index_t b = d; b < s.end; ++b) {
        start_bar(run, host, b);
        std::size_t first = next;
        while (next < exits.size() && run.stretch_exit[exits[next]].bar == b) ++next;
        stretch_bar(run, host, st, b, first, next);
        out[b] = run.cash;
        if (!run.busy_now.empty()) mark_busy(run, host, st, b);
        walk_done_orders(run, st, b);
    }
    add_walked_marks(run, host, st, d, s.end, out);
    // Orders walked to the stretch's end leave their holding's state there.
    for (std::size_t k = 0; k < st.nw + st.nb; ++k) {
        if (!run.order_walked[k]) continue;
        run.plan_of[stock_of(run, st, k)] = -1;
        set_state(run, stock_of(run, st, k), run.plan_stop_state[k]);
    }
    keep_last_marks(run, st);
    run.pos_id = s.pos_id;
    run.should_rebalance = s.should_rebalance;
    return s.end;
}

}  // namespace vostra::kernel::detail
