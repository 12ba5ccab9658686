// The holdings of a quiet stretch walked two at a time in the lanes of an
// SSE2 register, in close mode (walk_lanes) and intrabar
// (walk_intrabar_lanes), each lane doing walk_holding's operations and
// handing a holding it cannot take on to walk_holding (walk_in_lanes).
#pragma once
#include "holding_walk.hpp"
#include "lanes.hpp"

namespace vostra::kernel::detail {

#if defined(__SSE2__)
// Two holdings walked side by side in close mode, one in each lane of an
// SSE2 register: the operations of walk_holding, lane by lane (the same
// IEEE operations, so the same bits), with about half the instructions.
// Each lane walks its own holding at its own bar: when one lane's holding
// is done, the next waiting holding takes the lane, so a pair never runs
// one lane idle.
struct Lanes {
    const char *price[2], *close[2];  // the bar each lane walks next
    const char *high[2], *low[2], *open[2];  // intrabar
    double *marks[2];
    std::uint8_t *nonzero[2];
    StretchState state[2];
    double base[2];  // intrabar: the reference price of the last bar walked, before it
    int flat = 0;    // intrabar: the lanes whose holding an exit closed (bit 0, bit 1)
};

// What stopped a run of the lanes: the bars walked (the last one included
// when a lane stopped there), and per lane (bit 0, bit 1) whether that bar
// was one it cannot take (walked again by walk_holding from the holding's
// start) or one whose close reached an exit level.
struct LaneStop {
    index_t walked;
    int bad, reached;
};

[[gnu::always_inline]] inline void store(StretchState (&state)[2], __m128d held, __m128d cr, __m128d maxcr,
                                         __m128d mincr, __m128d prev) {
    double lanes[5][2];
    _mm_storeu_pd(lanes[0], held);
    _mm_storeu_pd(lanes[1], cr);
    _mm_storeu_pd(lanes[2], maxcr);
    _mm_storeu_pd(lanes[3], mincr);
    _mm_storeu_pd(lanes[4], prev);
    for (int i = 0; i < 2; ++i) state[i] = {lanes[0][i], lanes[1][i], lanes[2][i], lanes[3][i], lanes[4][i]};
}

// Both lanes' marks to the close of a bar (marked_value: the held value
// where a price is missing) and whether each still holds anything.
[[gnu::always_inline]] inline void store_marks(__m128d held, __m128d trade_price, __m128d close, __m128d held_any,
                                               double *marks0, std::ptrdiff_t marks1, std::uint8_t *nonzero0,
                                               std::ptrdiff_t nonzero1) {
    __m128d mark = pick(_mm_cmpunord_pd(trade_price, close), held, _mm_div_pd(_mm_mul_pd(held, close), trade_price));
    _mm_storel_pd(marks0, mark);
    _mm_storeh_pd(marks0 + marks1, mark);
    int any = _mm_movemask_pd(held_any);
    *nonzero0 = any & 1;
    nonzero0[nonzero1] = any >> 1;
}

// Walks both lanes up to `steps` bars, advancing their pointers and states.
// The checks of both lanes are gathered into one mask per bar; every
// comparison below is false for NaN except `neq`, as in the scalar walk.
// With `levels`, each held lane's close is also tested against its exit
// levels (exit_levels and close_mark, lane by lane); a lane that reaches
// one stops the run after that bar, one whose side the quick sign tests of
// entry_is_long cannot tell counts as a bar it cannot take. Without
// `trailing` (no trailing stop: its distance infinite) the trailing levels
// are left out, as they are the fixed ones then: maxcr - inf is -inf, or
// NaN, which max_pd answers with its second operand; likewise for shorts.
template <bool levels, bool trailing = true>
inline LaneStop walk_lanes(const Run &run, Lanes &lanes, index_t steps, std::size_t stride) {
    const index_t price_step = run.in.price.row_stride, close_step = run.in.close.row_stride;
    auto pair = [](double lane0, double lane1) { return _mm_set_pd(lane1, lane0); };
    const StretchState(&state)[2] = lanes.state;
    __m128d held = pair(state[0].held, state[1].held), cr = pair(state[0].cr, state[1].cr);
    __m128d maxcr = pair(state[0].maxcr, state[1].maxcr), mincr = pair(state[0].mincr, state[1].mincr);
    __m128d prev = pair(state[0].prev, state[1].prev);
    // Lane 1 as an offset from lane 0: one pointer per stream to advance.
    const char *price0 = lanes.price[0], *close0 = lanes.close[0];
    double *marks0 = lanes.marks[0];
    std::uint8_t *nonzero0 = lanes.nonzero[0];
    const std::ptrdiff_t price1 = lanes.price[1] - price0, close1 = lanes.close[1] - close0;
    const std::ptrdiff_t marks1 = lanes.marks[1] - marks0, nonzero1 = lanes.nonzero[1] - nonzero0;
    const __m128d one = _mm_set1_pd(1.0), zero = _mm_setzero_pd(), largest = _mm_set1_pd(1.7976931348623157e308);
    const __m128d tiny = _mm_set1_pd(1e-7), huge = _mm_set1_pd(1e300);
    const __m128d infinity = _mm_set1_pd(__builtin_inf());
    const __m128d magnitude = _mm_castsi128_pd(_mm_set1_epi64x(0x7fffffffffffffffLL));
    // The levels' constant parts, as exit_levels computes them.
    const __m128d long_upper = _mm_set1_pd(1 + run.take_profit_abs), long_lower = _mm_set1_pd(1 - run.stop_loss_abs);
    const __m128d short_upper = _mm_set1_pd(1 + run.stop_loss_abs), short_lower = _mm_set1_pd(1 - run.take_profit_abs);
    const __m128d long_armed_at = _mm_set1_pd(1 + run.trail_stop_activation_abs);
    const __m128d short_armed_at = _mm_set1_pd(1 - run.trail_stop_activation_abs);
    const __m128d trail = _mm_set1_pd(run.trail_stop_abs);
    const __m128d cr_fast = _mm_set1_pd(1e10), value_fast = _mm_set1_pd(1e-290);
    LaneStop stop{steps, 0, 0};
    for (index_t j = 0; j < steps; ++j) {
        __m128d trade_price = _mm_loadh_pd(_mm_load_sd(reinterpret_cast<const double *>(price0)),
                                           reinterpret_cast<const double *>(price0 + price1));
        __m128d close = _mm_loadh_pd(_mm_load_sd(reinterpret_cast<const double *>(close0)),
                                     reinterpret_cast<const double *>(close0 + close1));
        // usable_price: missing (NaN), or positive and finite.
        __m128d bad = _mm_or_pd(_mm_or_pd(_mm_cmple_pd(trade_price, zero), _mm_cmpgt_pd(trade_price, largest)),
                                _mm_or_pd(_mm_cmple_pd(close, zero), _mm_cmpgt_pd(close, largest)));
        __m128d base = pick(_mm_cmpunord_pd(prev, prev), trade_price, prev);
        bad = _mm_or_pd(bad, _mm_cmpeq_pd(base, zero));
        __m128d r = _mm_div_pd(trade_price, base);
        r = pick(_mm_cmpunord_pd(r, r), one, r);
        held = _mm_mul_pd(held, r);
        cr = _mm_mul_pd(cr, r);
        maxcr = _mm_max_pd(cr, maxcr);  // cr > maxcr ? cr : maxcr
        mincr = _mm_min_pd(cr, mincr);  // cr < mincr ? cr : mincr
        bad = _mm_or_pd(bad, _mm_cmpeq_pd(cr, zero));
        __m128d held_any = _mm_cmpneq_pd(held, zero);
        if constexpr (levels) {
            // close_return_finite(cr * close, trade_price), for held lanes.
            __m128d size = _mm_and_pd(_mm_mul_pd(cr, close), magnitude);
            __m128d at_least_one = _mm_cmpge_pd(trade_price, one);
            __m128d finite = pick(at_least_one, _mm_cmple_pd(size, largest),
                                  _mm_and_pd(_mm_cmpge_pd(trade_price, tiny), _mm_cmple_pd(size, huge)));
            // A missing trading or close price leaves the return at the
            // close NaN, which reaches no level.
            finite = _mm_or_pd(finite, _mm_cmpunord_pd(trade_price, close));
            bad = _mm_or_pd(bad, _mm_andnot_pd(finite, held_any));
        } else {
            // Without stops every level is infinite: close_mark marks a held
            // stock only when its return at the close overflows to +inf,
            // which the walk of that holding alone takes.
            __m128d at_close = _mm_div_pd(_mm_mul_pd(cr, close), trade_price);
            bad = _mm_or_pd(bad, _mm_and_pd(_mm_cmpeq_pd(at_close, infinity), held_any));
        }
        __m128d reached = zero;
        if constexpr (levels) {
            __m128d cr_positive = _mm_cmpgt_pd(cr, zero);
            __m128d is_long = _mm_and_pd(_mm_and_pd(_mm_cmpgt_pd(held, zero), cr_positive),
                                         _mm_and_pd(_mm_cmple_pd(cr, cr_fast), _mm_cmpge_pd(held, value_fast)));
            __m128d is_short = _mm_and_pd(_mm_cmplt_pd(held, zero), cr_positive);
            __m128d long_min = long_lower, short_max = short_upper;
            if constexpr (trailing) {
                long_min = pick(_mm_cmpge_pd(maxcr, long_armed_at), _mm_max_pd(_mm_sub_pd(maxcr, trail), long_lower),
                                long_lower);
                short_max = pick(_mm_cmple_pd(mincr, short_armed_at), _mm_min_pd(_mm_add_pd(mincr, trail), short_upper),
                                 short_upper);
            }
            __m128d max_r = pick(is_long, long_upper, short_max), min_r = pick(is_long, long_min, short_lower);
            __m128d at_close = _mm_div_pd(_mm_mul_pd(cr, close), trade_price);
            reached = _mm_and_pd(_mm_or_pd(_mm_cmpge_pd(at_close, max_r), _mm_cmplt_pd(at_close, min_r)), held_any);
            bad = _mm_or_pd(bad, _mm_andnot_pd(_mm_or_pd(is_long, is_short), held_any));
        }
        prev = pick(_mm_cmpord_pd(trade_price, trade_price), trade_price, base);
        store_marks(held, trade_price, close, held_any, marks0, marks1, nonzero0, nonzero1);
        price0 += price_step;
        close0 += close_step;
        marks0 += stride;
        nonzero0 += stride;
        int bad_lanes = _mm_movemask_pd(bad), reached_lanes = _mm_movemask_pd(reached);
        if ((bad_lanes | reached_lanes) != 0) [[unlikely]] {
            stop = {j + 1, bad_lanes, reached_lanes & ~bad_lanes};
            break;
        }
    }
    store(lanes.state, held, cr, maxcr, mincr, prev);
    lanes.price[0] = price0;
    lanes.price[1] = price0 + price1;
    lanes.close[0] = close0;
    lanes.close[1] = close0 + close1;
    lanes.marks[0] = marks0;
    lanes.marks[1] = marks0 + marks1;
    lanes.nonzero[0] = nonzero0;
    lanes.nonzero[1] = nonzero0 + nonzero1;
    return stop;
}
// The intrabar walk of both lanes, up to `steps` bars: walk_holding<true>'s
// operations lane by lane (exit_levels and intrabar_touch included), the
// pointers advanced as walk_lanes does. A lane that touches a level stops
// the run after that bar, with `reached` set and the bar's reference price
// in lanes.base: walk_touched takes its exit. A flat lane walks on at 0.
inline LaneStop walk_intrabar_lanes(const Run &run, Lanes &lanes, index_t steps, std::size_t stride) {
    const Market &in = run.in;
    auto pair = [](double lane0, double lane1) { return _mm_set_pd(lane1, lane0); };
    const StretchState(&state)[2] = lanes.state;
    __m128d held = pair(state[0].held, state[1].held), cr = pair(state[0].cr, state[1].cr);
    __m128d maxcr = pair(state[0].maxcr, state[1].maxcr), mincr = pair(state[0].mincr, state[1].mincr);
    __m128d prev = pair(state[0].prev, state[1].prev), base = prev;
    const __m128d flat = _mm_castsi128_pd(_mm_set_epi64x(lanes.flat & 2 ? -1 : 0, lanes.flat & 1 ? -1 : 0));
    const char *at[5] = {lanes.price[0], lanes.close[0], lanes.high[0], lanes.low[0], lanes.open[0]};
    const std::ptrdiff_t other[5] = {lanes.price[1] - at[0], lanes.close[1] - at[1], lanes.high[1] - at[2],
                                     lanes.low[1] - at[3], lanes.open[1] - at[4]};
    const index_t step[5] = {in.price.row_stride, in.close.row_stride, in.high.row_stride, in.low.row_stride,
                             in.open.row_stride};
    double *marks0 = lanes.marks[0];
    std::uint8_t *nonzero0 = lanes.nonzero[0];
    const std::ptrdiff_t marks1 = lanes.marks[1] - marks0, nonzero1 = lanes.nonzero[1] - nonzero0;
    const __m128d one = _mm_set1_pd(1.0), zero = _mm_setzero_pd(), largest = _mm_set1_pd(1.7976931348623157e308);
    const __m128d long_upper = _mm_set1_pd(1 + run.take_profit_abs), long_lower = _mm_set1_pd(1 - run.stop_loss_abs);
    const __m128d short_upper = _mm_set1_pd(1 + run.stop_loss_abs), short_lower = _mm_set1_pd(1 - run.take_profit_abs);
    const __m128d long_armed_at = _mm_set1_pd(1 + run.trail_stop_activation_abs);
    const __m128d short_armed_at = _mm_set1_pd(1 - run.trail_stop_activation_abs);
    const __m128d trail = _mm_set1_pd(run.trail_stop_abs);
    const __m128d cr_fast = _mm_set1_pd(1e10), value_fast = _mm_set1_pd(1e-290);
    auto unusable = [&](__m128d v) { return _mm_or_pd(_mm_cmple_pd(v, zero), _mm_cmpgt_pd(v, largest)); };
    auto load = [&](int c) {
        return _mm_loadh_pd(_mm_load_sd(reinterpret_cast<const double *>(at[c])),
                            reinterpret_cast<const double *>(at[c] + other[c]));
    };
    LaneStop stop{steps, 0, 0};
    for (index_t j = 0; j < steps; ++j) {
        __m128d trade_price = load(0), close = load(1), high = load(2), low = load(3), open = load(4);
        __m128d bad = _mm_or_pd(unusable(trade_price), unusable(close));
        base = pick(_mm_cmpunord_pd(prev, prev), trade_price, prev);
        bad = _mm_or_pd(bad, _mm_cmpeq_pd(base, zero));
        __m128d r = _mm_div_pd(trade_price, base);
        r = pick(_mm_cmpunord_pd(r, r), one, r);
        held = _mm_mul_pd(held, r);
        __m128d held_any = _mm_cmpneq_pd(held, zero);
        bad = _mm_or_pd(bad, _mm_and_pd(held_any, flat));  // a flat holding whose value came back
        cr = _mm_mul_pd(cr, r);
        maxcr = _mm_max_pd(cr, maxcr);
        mincr = _mm_min_pd(cr, mincr);
        bad = _mm_or_pd(bad, _mm_cmpeq_pd(cr, zero));
        __m128d bar_bad = _mm_or_pd(_mm_or_pd(unusable(high), unusable(low)),
                                    _mm_or_pd(unusable(open), _mm_cmpeq_pd(r, zero)));
        __m128d cr_positive = _mm_cmpgt_pd(cr, zero);
        __m128d is_long = _mm_and_pd(_mm_and_pd(_mm_cmpgt_pd(held, zero), cr_positive),
                                     _mm_and_pd(_mm_cmple_pd(cr, cr_fast), _mm_cmpge_pd(held, value_fast)));
        __m128d is_short = _mm_and_pd(_mm_cmplt_pd(held, zero), cr_positive);
        bar_bad = _mm_or_pd(bar_bad, _mm_andnot_pd(_mm_or_pd(is_long, is_short), held_any));  // side unsure
        bad = _mm_or_pd(bad, _mm_and_pd(bar_bad, held_any));
        __m128d long_min = pick(_mm_cmpge_pd(maxcr, long_armed_at),
                                _mm_max_pd(_mm_sub_pd(maxcr, trail), long_lower), long_lower);
        __m128d short_max = pick(_mm_cmple_pd(mincr, short_armed_at),
                                 _mm_min_pd(_mm_add_pd(mincr, trail), short_upper), short_upper);
        __m128d max_r = pick(is_long, long_upper, short_max), min_r = pick(is_long, long_min, short_lower);
        // intrabar_touch: the bar's prices as cumulative returns.
        __m128d before = _mm_div_pd(cr, r);
        __m128d high_r = _mm_mul_pd(before, _mm_div_pd(high, base));
        __m128d low_r = _mm_mul_pd(before, _mm_div_pd(low, base));
        __m128d open_r = _mm_mul_pd(before, _mm_div_pd(open, base));
        __m128d touched = _mm_or_pd(_mm_or_pd(_mm_cmple_pd(low_r, min_r), _mm_cmpge_pd(high_r, max_r)),
                                    _mm_or_pd(_mm_cmpge_pd(open_r, max_r), _mm_cmple_pd(open_r, min_r)));
        touched = _mm_and_pd(touched, held_any);
        prev = pick(_mm_cmpord_pd(trade_price, trade_price), trade_price, base);
        store_marks(held, trade_price, close, held_any, marks0, marks1, nonzero0, nonzero1);
        for (int c = 0; c < 5; ++c) at[c] += step[c];
        marks0 += stride;
        nonzero0 += stride;
        int bad_lanes = _mm_movemask_pd(bad), touched_lanes = _mm_movemask_pd(touched);
        if ((bad_lanes | touched_lanes) != 0) [[unlikely]] {
            stop = {j + 1, bad_lanes, touched_lanes & ~bad_lanes};
            break;
        }
    }
    store(lanes.state, held, cr, maxcr, mincr, prev);
    _mm_storeu_pd(lanes.base, base);
    const char **column[5] = {lanes.price, lanes.close, lanes.high, lanes.low, lanes.open};
    for (int c = 0; c < 5; ++c) {
        column[c][0] = at[c];
        column[c][1] = at[c] + other[c];
    }
    lanes.marks[0] = marks0;
    lanes.marks[1] = marks0 + marks1;
    lanes.nonzero[0] = nonzero0;
    lanes.nonzero[1] = nonzero0 + nonzero1;
    return stop;
}
#endif

#if defined(__SSE2__)
// A lane's holding whose close at bar from - 1 reached a level, with its
// state `w` after that bar: its mark, found again by close_mark from that
// state, and the walk on from `from`, whose first bar sells it.
inline bool walk_marked(Run &run, index_t d, index_t end, std::size_t k, index_t from, const StretchState &w) {
    int col = column_of(run, run.stretch_keys[k]);
    double trade_price = run.in.price(from - 1, col), close = run.in.close(from - 1, col);
    Levels l;
    int marked = close_mark(run, w.held, w.cr, w.maxcr, w.mincr, trade_price, close, l);
    run.stretch_state[k] = w;
    if (marked != 0) return walk_one(run, d, end, k, from, marked, marked > 0 ? l.upper : l.lower);
    run.stretch_state[k] = state_of(run, run.stretch_keys[k], col);  // not expected: walked again alone
    return walk_one(run, d, end, k, d);
}

// A lane's holding that touched a level on bar b, with its state `w` after
// that bar and the bar's reference price `base`: its exit, found again by
// intrabar_touch, and its mark at 0. False when the touch is not found
// again (not expected), which the caller walks again alone.
inline bool take_lane_touch(Run &run, index_t d, std::size_t k, index_t b, StretchState &w, double base) {
    int col = column_of(run, run.stretch_keys[k]);
    const Market &in = run.in;
    double trade_price = in.price(b, col), close = in.close(b, col);
    double r = trade_price / base;
    if (std::isnan(r)) r = 1;
    Levels l = exit_levels(run, w.maxcr, w.mincr, entry_is_long(w.held, w.cr));
    Touch t = intrabar_touch(w.held, w.cr, r, base, in.high(b, col), in.low(b, col), in.open(b, col), l);
    if (!t.hit) return false;
    run.stretch_exit[k] = {b, t.exit_value, t.fill, t.reason, t.positive, false};
    w.held = 0.0;
    std::size_t at = static_cast<std::size_t>(b - d) * run.stretch_keys.size() + k;
    run.stretch_marks[at] = marked_value(0.0, trade_price, close);
    run.stretch_nonzero[at] = 0;
    return true;
}

// The holdings of the stretch [d, end) walked in two lanes (walk_lanes in
// close mode, walk_intrabar_lanes intrabar). A lane whose holding is done
// (walked to the end, marked for a close-mode exit, or at a bar it cannot
// take) hands that holding to walk_holding and takes the next waiting one;
// the last one goes on alone. An intrabar exit is taken where it is
// touched, and the flat holding walks on in its lane. False when a bar
// needs the bar loop.
template <bool intrabar, bool levels>
bool walk_in_lanes(Run &run, index_t d, index_t end) {
    const std::vector<int> &keys = run.stretch_keys;
    std::size_t n = keys.size(), next = 0, lane_k[2] = {0, 0};
    index_t len = end - d, at[2] = {0, 0};
    bool live[2] = {false, false};
    const bool trailing = !(run.trail_stop_abs == __builtin_inf());
    Lanes lanes;
    // Lane i takes the next holding, if any; false when its column is
    // missing, which the bar loop reports.
    auto fill = [&](int i) {
        live[i] = next < n;
        if (!live[i]) return true;
        std::size_t k = next++;
        int col = column_of(run, keys[k]);
        if (col < 0) return false;
        lane_k[i] = k;
        at[i] = 0;
        lanes.price[i] = run.in.price.row_ptr(d) + col * run.in.price.col_stride;
        lanes.close[i] = run.in.close.row_ptr(d) + col * run.in.close.col_stride;
        if constexpr (intrabar) {
            lanes.high[i] = run.in.high.row_ptr(d) + col * run.in.high.col_stride;
            lanes.low[i] = run.in.low.row_ptr(d) + col * run.in.low.col_stride;
            lanes.open[i] = run.in.open.row_ptr(d) + col * run.in.open.col_stride;
            lanes.flat &= ~(1 << i);
        }
        lanes.marks[i] = run.stretch_marks.data() + k;
        lanes.nonzero[i] = run.stretch_nonzero.data() + k;
        lanes.state[i] = state_of(run, keys[k], col);
        run.stretch_exit[k].bar = -1;
        run.stretch_exit[k].pending = false;
        return true;
    };
    if (!fill(0) || !fill(1)) return false;
    while (live[0] && live[1]) {
        index_t steps = std::min(len - at[0], len - at[1]);
        LaneStop stop = intrabar    ? walk_intrabar_lanes(run, lanes, steps, n)
                        : trailing ? walk_lanes<levels, true>(run, lanes, steps, n)
                                    : walk_lanes<levels, false>(run, lanes, steps, n);
        for (int i = 0; i < 2; ++i) {
            std::size_t k = lane_k[i];
            at[i] += stop.walked;
            bool bad = stop.bad >> i & 1;
            if (intrabar && !bad && (stop.reached >> i & 1)) {
                bad = !take_lane_touch(run, d, k, d + at[i] - 1, lanes.state[i], lanes.base[i]);
                lanes.flat |= 1 << i;
                if (!bad && at[i] < len) continue;
            }
            if (bad) {
                run.stretch_state[k] = state_of(run, keys[k], column_of(run, keys[k]));
                if (!walk_one(run, d, end, k, d)) return false;
            } else if (!intrabar && (stop.reached >> i & 1)) {
                if (!walk_marked(run, d, end, k, d + at[i], lanes.state[i])) return false;
            } else if (at[i] == len) {
                run.stretch_state[k] = lanes.state[i];
            } else {
                continue;
            }
            if (!fill(i)) return false;
        }
    }
    for (int i = 0; i < 2; ++i) {
        if (!live[i]) continue;
        run.stretch_state[lane_k[i]] = lanes.state[i];
        bool flat = intrabar && (lanes.flat >> i & 1);
        if (!walk_one(run, d, end, lane_k[i], d + at[i], 0, ExitReason::open, flat)) return false;
    }
    return true;
}

// Without stops only a bar a holding cannot take stops its lane, so the
// holdings go in fixed pairs (k, k + 1) over the whole stretch, without the
// hand-over walk_in_lanes needs; a lane the pair stopped for is walked again
// alone, the other goes on alone from where the pair stopped.
inline bool walk_in_pairs(Run &run, index_t d, index_t end) {
    const std::vector<int> &keys = run.stretch_keys;
    const std::size_t n = keys.size();
    const index_t len = end - d;
    std::size_t k = 0;
    for (; k + 2 <= n; k += 2) {
        Lanes lanes;
        for (int i = 0; i < 2; ++i) {
            int col = column_of(run, keys[k + i]);
            if (col < 0) return false;
            lanes.price[i] = run.in.price.row_ptr(d) + col * run.in.price.col_stride;
            lanes.close[i] = run.in.close.row_ptr(d) + col * run.in.close.col_stride;
            lanes.marks[i] = run.stretch_marks.data() + k + i;
            lanes.nonzero[i] = run.stretch_nonzero.data() + k + i;
            lanes.state[i] = state_of(run, keys[k + i], col);
            run.stretch_exit[k + i].bar = -1;
            run.stretch_exit[k + i].pending = false;
        }
        LaneStop stop = walk_lanes<false>(run, lanes, len, n);
        for (int i = 0; i < 2; ++i) {
            std::size_t at = k + i;
            bool bad = stop.bad >> i & 1;
            run.stretch_state[at] = bad ? state_of(run, keys[at], column_of(run, keys[at])) : lanes.state[i];
            if (stop.bad != 0 && !walk_one(run, d, end, at, bad ? d : d + stop.walked)) return false;
        }
    }
    if (k < n) {
        int col = column_of(run, keys[k]);
        if (col < 0) return false;
        run.stretch_state[k] = state_of(run, keys[k], col);
        if (!walk_one(run, d, end, k, d)) return false;
    }
    return true;
}
#endif

}  // namespace vostra::kernel::detail
