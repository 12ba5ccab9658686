// One holding of a stretch walked alone down its own columns (walk_holding),
// and what every walk of a stretch's holdings starts from.
#pragma once
#include "exits.hpp"

namespace vostra::kernel::detail {

// One holding over bars [d, end): its state as the bar loop leaves it, its
// exit, if any, and its marks into marks[j * stride] (j the bar's offset;
// -0.0, which adds nothing, once it is sold). False when a bar needs the bar
// loop. In close mode `marked` (+1 upper, -1 lower) and `reason` carry the
// mark of the bar before d; intrabar, `flat` keeps the exit a holding
// walked on flat already took.
template <bool intrabar>
inline bool walk_holding(const Run &run, int col, index_t d, index_t end, StretchState &state, WalkExit &exit,
                         double *marks, std::uint8_t *nonzero, std::size_t stride, int marked = 0,
                         ExitReason reason = ExitReason::open, bool flat = false) {
    // Column pointers in locals: the byte stores to `nonzero` may alias
    // anything, and would otherwise reload the views every bar.
    const Market &in = run.in;
    const char *price = in.price.row_ptr(d) + col * in.price.col_stride;
    const char *close_at = in.close.row_ptr(d) + col * in.close.col_stride;
    const char *high_at = in.high.row_ptr(d) + col * in.high.col_stride;
    const char *low_at = in.low.row_ptr(d) + col * in.low.col_stride;
    const char *open_at = in.open.row_ptr(d) + col * in.open.col_stride;
    const index_t price_step = in.price.row_stride, close_step = in.close.row_stride;
    StretchState w = state;  // in registers: the stores to `marks` cannot touch it
    if (!flat) {
        exit.bar = -1;
        exit.pending = false;
        exit.reason = reason;
    }
    for (index_t j = 0; j < end - d; ++j) {
        double trade_price = load<double>(price + j * price_step), close = load<double>(close_at + j * close_step);
        if (!usable_price(trade_price) || !usable_price(close)) return false;
        if (std::isnan(w.prev)) w.prev = trade_price;
        if (w.prev == 0) return false;
        double r = trade_price / w.prev;
        if (std::isnan(r)) r = 1;  // a missing price keeps the position where it was
        w.held = w.held * r;
        // A holding sold earlier in the walk stays in the map at 0 until the
        // stretch ends; an infinite ratio makes that 0 a NaN the bar loop
        // keeps (and records), so such a bar is its.
        if (intrabar && exit.bar >= 0 && w.held != 0) return false;
        w.cr = w.cr * r;
        if (w.cr > w.maxcr) w.maxcr = w.cr;
        if (w.cr < w.mincr) w.mincr = w.cr;
        if (w.cr == 0) return false;
        if (marked != 0) {
            // Sold at this bar's trading price and taken out of the map.
            if (w.held == 0) return false;
            if (!std::isnan(trade_price)) w.prev = trade_price;
            exit.bar = d + j;
            exit.value = w.held;
            exit.fill = trade_price;
            exit.positive = marked > 0;
            for (; j < end - d; ++j) {
                marks[static_cast<std::size_t>(j) * stride] = -0.0;
                nonzero[static_cast<std::size_t>(j) * stride] = 0;
            }
            state = w;
            return true;
        }
        if (w.held != 0) {
            Levels l;
            if constexpr (intrabar) {
                double high = load<double>(high_at + j * in.high.row_stride);
                double low = load<double>(low_at + j * in.low.row_stride);
                double open = load<double>(open_at + j * in.open.row_stride);
                if (!usable_price(high) || !usable_price(low) || !usable_price(open) || r == 0) return false;
                l = exit_levels(run, w.maxcr, w.mincr, entry_is_long(w.held, w.cr));
                Touch t = intrabar_touch(w.held, w.cr, r, w.prev, high, low, open, l);
                if (t.hit) {
                    if (exit.bar >= 0) return false;  // a flat holding whose value came back
                    exit = {d + j, t.exit_value, t.fill, t.reason, t.positive, false};
                    w.held = 0.0;
                }
            } else {
                marked = close_mark(run, w.held, w.cr, w.maxcr, w.mincr, trade_price, close, l);
                if (marked != 0) exit.reason = marked > 0 ? l.upper : l.lower;
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
    if (run.opt.touched_exit)
        return walk_holding<true>(run, col, from, end, w, run.stretch_exit[k], marks, nonzero, n, 0, reason, flat);
    return walk_holding<false>(run, col, from, end, w, run.stretch_exit[k], marks, nonzero, n, marked, reason);
}

}  // namespace vostra::kernel::detail
