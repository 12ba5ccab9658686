// One holding of a stretch walked alone down its own columns (walk_holding),
// and what every walk of a stretch's holdings starts from.
#pragma once
#include "exits.hpp"

namespace vostra::kernel::detail {

// A holding's columns from the first bar of its walk, in locals: the byte
// stores to a walk's `nonzero` may alias anything, and would otherwise
// reload the views every bar.
struct HoldingColumns {
    const char *price, *close, *high, *low, *open;
    index_t price_step, close_step;
};

[[gnu::always_inline]] inline HoldingColumns holding_columns(const Market &in, int col, index_t d) {
    return {in.price.row_ptr(d) + col * in.price.col_stride, in.close.row_ptr(d) + col * in.close.col_stride,
            in.high.row_ptr(d) + col * in.high.col_stride,   in.low.row_ptr(d) + col * in.low.col_stride,
            in.open.row_ptr(d) + col * in.open.col_stride,   in.price.row_stride,
            in.close.row_stride};
}

// A bar's revaluation in a walk alone (revalue_one's operations) at this
// bar's trading price, its return in r; false when the bar is the bar
// loop's. A holding sold earlier in the walk (`sold`) stays in the map at
// 0 until the stretch ends; an infinite ratio makes that 0 a NaN the bar
// loop keeps (and records), so such a bar is its.
[[gnu::always_inline]] inline bool revalue_alone(StretchState &w, double trade_price, bool sold, double &r) {
    if (std::isnan(w.prev)) w.prev = trade_price;
    if (w.prev == 0) return false;
    r = trade_price / w.prev;
    if (std::isnan(r)) r = 1;  // a missing price keeps the position where it was
    w.held = w.held * r;
    if (sold && w.held != 0) return false;
    w.cr = w.cr * r;
    if (w.cr > w.maxcr) w.maxcr = w.cr;
    if (w.cr < w.mincr) w.mincr = w.cr;
    return w.cr != 0;
}

// Bar j (bar `bar` of the run) after a close-mode mark: the holding is sold
// at this bar's trading price and taken out of the map, its marks -0.0 from
// here to the walk's end (bar `len`). False when the bar is the bar loop's.
[[gnu::always_inline]] inline bool sell_marked(StretchState &w, WalkExit &exit, index_t bar, double trade_price,
                                               int marked, double *marks, std::uint8_t *nonzero, std::size_t stride,
                                               index_t j, index_t len) {
    if (w.held == 0) return false;
    if (!std::isnan(trade_price)) w.prev = trade_price;
    exit.bar = bar;
    exit.value = w.held;
    exit.fill = trade_price;
    exit.positive = marked > 0;
    for (; j < len; ++j) {
        marks[static_cast<std::size_t>(j) * stride] = -0.0;
        nonzero[static_cast<std::size_t>(j) * stride] = 0;
    }
    return true;
}

// The intrabar exit test of bar j (bar `bar` of the run) of a held
// holding, its return r: a touched level is the walk's exit, and the
// holding is flat from there. False when the bar is the bar loop's: an
// unusable high, low or open, a zero return, or a second touch (a flat
// holding whose value came back).
[[gnu::always_inline]] inline bool touch_alone(const Run &run, const HoldingColumns &c, index_t j, index_t bar,
                                               double r, StretchState &w, WalkExit &exit) {
    const Market &in = run.in;
    double high = load<double>(c.high + j * in.high.row_stride);
    double low = load<double>(c.low + j * in.low.row_stride);
    double open = load<double>(c.open + j * in.open.row_stride);
    if (!usable_price(high) || !usable_price(low) || !usable_price(open) || r == 0) return false;
    Levels l = exit_levels(run, w.maxcr, w.mincr, entry_is_long(w.held, w.cr));
    Touch t = intrabar_touch(w.held, w.cr, r, w.prev, high, low, open, l);
    if (!t.hit) return true;
    if (exit.bar >= 0) return false;  // a flat holding whose value came back
    exit = {bar, t.exit_value, t.fill, t.reason, t.positive, false};
    w.held = 0.0;
    return true;
}

// The close-mode exit test of a held holding: the mark of a close beyond
// a level (+1 upper, -1 lower, 0 none), its reason in the walk's exit.
[[gnu::always_inline]] inline int mark_alone(const Run &run, const StretchState &w, double trade_price, double close,
                                             WalkExit &exit) {
    Levels l;
    int marked = close_mark(run, w.held, w.cr, w.maxcr, w.mincr, trade_price, close, l);
    if (marked != 0) exit.reason = marked > 0 ? l.upper : l.lower;
    return marked;
}

// The events a walk of one holding takes from its first bar on, by bar.
struct EventCursor {
    WalkEvent *at = nullptr, *end = nullptr;
};

// Holding k's events from bar `from` on (none when the stretch lists none).
inline EventCursor events_of(Run &run, std::size_t k, index_t from) {
    const std::vector<std::uint32_t> &start = run.walk_event_start;
    if (k + 1 >= start.size()) return {};
    WalkEvent *at = run.walk_events.data() + start[k], *end = run.walk_events.data() + start[k + 1];
    while (at != end && at->bar < from) ++at;
    return {at, end};
}

// The event `e` at the open of its bar, before the bar's revaluation, as
// the bar loop takes it (events::at_open, split and reinvest): a split
// divides the reference price; a dividend of a holding with a value and a
// reference price is recorded and taken into the reference price at the
// bar's trading price. False when the dividend would wait for a trading
// price, which the bar loop does.
[[gnu::always_inline]] inline bool take_event(WalkEvent &e, StretchState &w, double trade_price) {
    if (e.ratio != 1) w.prev = w.prev / e.ratio;
    e.paid = false;
    if (e.dividend == 0 || w.held == 0) return true;
    if (std::isnan(trade_price)) return false;
    if (std::isnan(w.prev)) return true;
    e.amount = w.held * e.dividend / w.prev;
    e.paid = true;
    w.prev = w.prev * (trade_price / (trade_price + e.dividend));
    return true;
}

// One holding over bars [d, end): its state as the bar loop leaves it, its
// exit, if any, and its marks into marks[j * stride] (j the bar's offset;
// -0.0, which adds nothing, once it is sold). False when a bar needs the bar
// loop. In close mode `marked` (+1 upper, -1 lower) and `reason` carry the
// mark of the bar before d; intrabar, `flat` keeps the exit a holding
// walked on flat already took. The holding's events (`events`, from bar d
// on) are taken at their bars' open.
template <bool intrabar>
inline bool walk_holding(const Run &run, int col, index_t d, index_t end, StretchState &state, WalkExit &exit,
                         double *marks, std::uint8_t *nonzero, std::size_t stride, int marked = 0,
                         ExitReason reason = ExitReason::open, bool flat = false, EventCursor events = {}) {
    const HoldingColumns c = holding_columns(run.in, col, d);
    StretchState w = state;  // in registers: the stores to `marks` cannot touch it
    if (!flat) {
        exit.bar = -1;
        exit.pending = false;
        exit.reason = reason;
    }
    index_t event_at = events.at != events.end ? events.at->bar - d : end - d;
    for (index_t j = 0; j < end - d; ++j) {
        double trade_price = load<double>(c.price + j * c.price_step), close = load<double>(c.close + j * c.close_step);
        if (!usable_price(trade_price) || !usable_price(close)) return false;
        if (j == event_at) [[unlikely]] {
            if (!take_event(*events.at, w, trade_price)) return false;
            ++events.at;
            event_at = events.at != events.end ? events.at->bar - d : end - d;
        }
        double r;
        if (!revalue_alone(w, trade_price, intrabar && exit.bar >= 0, r)) return false;
        if (marked != 0) {
            if (!sell_marked(w, exit, d + j, trade_price, marked, marks, nonzero, stride, j, end - d)) return false;
            state = w;
            return true;
        }
        if (w.held != 0) {
            if constexpr (intrabar) {
                if (!touch_alone(run, c, j, d + j, r, w, exit)) return false;
            } else {
                marked = mark_alone(run, w, trade_price, close, exit);
            }
        }
        if (!std::isnan(trade_price)) w.prev = trade_price;
        marks[static_cast<std::size_t>(j) * stride] = marked_value(w.held, trade_price, close);
        nonzero[static_cast<std::size_t>(j) * stride] = w.held != 0;
    }
    if (marked != 0) {
        exit.pending = true;
        exit.positive = marked > 0;
    }
    state = w;
    return true;
}

// Asks for the cache lines of a column over bars [d, end) before they are
// walked: a stretch reads a few lines from each of many columns, too short a
// run for the hardware prefetcher to pick up.
inline void prefetch_column(const View2<double> &m, int col, index_t d, index_t end) {
    const char *p = m.row_ptr(d) + col * m.col_stride;
    index_t step = m.row_stride, span = (end - d) * step;
    if (step < 0) return;
    for (index_t off = 0; off < span; off += step < 64 ? 64 : step) __builtin_prefetch(p + off);
    __builtin_prefetch(p + span - step);
}

inline int column_of(const Run &run, int sid) {
    return static_cast<std::size_t>(sid) < run.columns.price_of.size() ? run.columns.price_of[sid] : -1;
}

// A holding's state as the bar loop leaves it before the stretch.
inline StretchState state_of(const Run &run, int sid, int col) {
    return {run.pos[sid], run.cr[sid], run.maxcr[sid], run.mincr[sid], run.previous_price[col]};
}

// Holding k of the stretch [d, end) walked alone from bar `from` on, its
// state at `from` in stretch_state[k] (and, in close mode, the mark of the
// bar before; intrabar, with `flat`, the exit it already took).
inline bool walk_one(Run &run, index_t d, index_t end, std::size_t k, index_t from, int marked = 0,
                     ExitReason reason = ExitReason::open, bool flat = false) {
    std::size_t n = run.stretch_keys.size();
    std::size_t at = from < end ? static_cast<std::size_t>(from - d) * n + k : 0;  // nothing is stored at the end
    int col = column_of(run, run.stretch_keys[k]);
    double *marks = run.stretch_marks.data() + at;
    std::uint8_t *nonzero = run.stretch_nonzero.data() + at;
    StretchState &w = run.stretch_state[k];
    EventCursor events = events_of(run, k, from);
    if (run.opt.touched_exit)
        return walk_holding<true>(run, col, from, end, w, run.stretch_exit[k], marks, nonzero, n, 0, reason, flat,
                                  events);
    return walk_holding<false>(run, col, from, end, w, run.stretch_exit[k], marks, nonzero, n, marked, reason, false,
                               events);
}

}  // namespace vostra::kernel::detail
