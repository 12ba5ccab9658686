// The stocks of a stretch under the market's rules: the holdings walked
// down their columns and the busy stocks taken bar by bar, their states,
// exits, values for a retry's balance and marks.
#pragma once
#include "revalue.hpp"
#include "stretch.hpp"

namespace vostra::kernel::detail {

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

}  // namespace vostra::kernel::detail
