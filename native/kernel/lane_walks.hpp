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

// Both lanes' states in registers, lane 0 in the low half.
struct LaneState {
    __m128d held, cr, maxcr, mincr, prev;
};

[[gnu::always_inline]] inline LaneState load_state(const StretchState (&state)[2]) {
    auto pair = [](double lane0, double lane1) { return _mm_set_pd(lane1, lane0); };
    return {pair(state[0].held, state[1].held), pair(state[0].cr, state[1].cr), pair(state[0].maxcr, state[1].maxcr),
            pair(state[0].mincr, state[1].mincr), pair(state[0].prev, state[1].prev)};
}

[[gnu::always_inline]] inline void store(StretchState (&state)[2], const LaneState &s) {
    double lanes[5][2];
    _mm_storeu_pd(lanes[0], s.held);
    _mm_storeu_pd(lanes[1], s.cr);
    _mm_storeu_pd(lanes[2], s.maxcr);
    _mm_storeu_pd(lanes[3], s.mincr);
    _mm_storeu_pd(lanes[4], s.prev);
    for (int i = 0; i < 2; ++i) state[i] = {lanes[0][i], lanes[1][i], lanes[2][i], lanes[3][i], lanes[4][i]};
}

// The first N of a holding's price, close, high, low and open columns at
// the bar each lane walks next, and where its marks go: lane 1 as an
// offset from lane 0, so that a bar advances one pointer per stream.
template <int N>
struct LaneColumns {
    const char *at[N];
    std::ptrdiff_t other[N];
    index_t step[N];
    double *marks0;
    std::uint8_t *nonzero0;
    std::ptrdiff_t marks1, nonzero1;
    std::size_t stride;

    // Column c of both lanes at this bar.
    [[gnu::always_inline]] __m128d load(int c) const {
        return _mm_loadh_pd(_mm_load_sd(reinterpret_cast<const double *>(at[c])),
                            reinterpret_cast<const double *>(at[c] + other[c]));
    }
    // Both lanes' marks to the close of this bar (marked_value: the held
    // value where a price is missing) and whether each still holds anything.
    [[gnu::always_inline]] void store_marks(__m128d held, __m128d trade_price, __m128d close, __m128d held_any) const {
        __m128d at_close = _mm_div_pd(_mm_mul_pd(held, close), trade_price);
        __m128d mark = pick(_mm_cmpunord_pd(trade_price, close), held, at_close);
        _mm_storel_pd(marks0, mark);
        _mm_storeh_pd(marks0 + marks1, mark);
        int any = _mm_movemask_pd(held_any);
        *nonzero0 = any & 1;
        nonzero0[nonzero1] = any >> 1;
    }
    [[gnu::always_inline]] void next_bar() {
        for (int c = 0; c < N; ++c) at[c] += step[c];
        marks0 += stride;
        nonzero0 += stride;
    }
};

template <int N>
[[gnu::always_inline]] inline LaneColumns<N> lane_columns(const Market &in, const Lanes &lanes, std::size_t stride) {
    const char *const *column[5] = {lanes.price, lanes.close, lanes.high, lanes.low, lanes.open};
    const index_t step[5] = {in.price.row_stride, in.close.row_stride, in.high.row_stride, in.low.row_stride,
                             in.open.row_stride};
    LaneColumns<N> c;
    for (int i = 0; i < N; ++i) {
        c.at[i] = column[i][0];
        c.other[i] = column[i][1] - column[i][0];
        c.step[i] = step[i];
    }
    c.marks0 = lanes.marks[0];
    c.nonzero0 = lanes.nonzero[0];
    c.marks1 = lanes.marks[1] - lanes.marks[0];
    c.nonzero1 = lanes.nonzero[1] - lanes.nonzero[0];
    c.stride = stride;
    return c;
}

// Hands the bar each lane walks next back to `lanes`.
template <int N>
[[gnu::always_inline]] inline void keep_columns(Lanes &lanes, const LaneColumns<N> &c) {
    const char **column[5] = {lanes.price, lanes.close, lanes.high, lanes.low, lanes.open};
    for (int i = 0; i < N; ++i) {
        column[i][0] = c.at[i];
        column[i][1] = c.at[i] + c.other[i];
    }
    lanes.marks[0] = c.marks0;
    lanes.marks[1] = c.marks0 + c.marks1;
    lanes.nonzero[0] = c.nonzero0;
    lanes.nonzero[1] = c.nonzero0 + c.nonzero1;
}

// What the lanes' tests compare with, made once before a walk's loop: the
// largest finite value, the bounds of close_return_finite and of
// entry_is_long's quick sign tests, and the levels' constant parts as
// exit_levels computes them.
struct LaneConstants {
    __m128d one, largest, tiny, huge, infinity, magnitude, cr_fast, value_fast;
    __m128d long_upper, long_lower, short_upper, short_lower, long_armed_at, short_armed_at, trail;
};

[[gnu::always_inline]] inline LaneConstants lane_constants(const Run &run) {
    return {_mm_set1_pd(1.0),
            _mm_set1_pd(1.7976931348623157e308),
            _mm_set1_pd(1e-7),
            _mm_set1_pd(1e300),
            _mm_set1_pd(__builtin_inf()),
            _mm_castsi128_pd(_mm_set1_epi64x(0x7fffffffffffffffLL)),
            _mm_set1_pd(1e10),
            _mm_set1_pd(1e-290),
            _mm_set1_pd(1 + run.take_profit_abs),
            _mm_set1_pd(1 - run.stop_loss_abs),
            _mm_set1_pd(1 + run.stop_loss_abs),
            _mm_set1_pd(1 - run.take_profit_abs),
            _mm_set1_pd(1 + run.trail_stop_activation_abs),
            _mm_set1_pd(1 - run.trail_stop_activation_abs),
            _mm_set1_pd(run.trail_stop_abs)};
}

// The lanes whose price p is not usable (usable_price: missing, or positive
// and finite). Every comparison in the lanes is false for NaN except `neq`,
// as in the scalar walk.
[[gnu::always_inline]] inline __m128d unusable(__m128d p, const LaneConstants &k) {
    return _mm_or_pd(_mm_cmple_pd(p, _mm_setzero_pd()), _mm_cmpgt_pd(p, k.largest));
}

// A bar's revaluation in both lanes, walk_holding's: the reference price
// `base` (the last price, or this bar's where there is none), the return
// r and the lanes still holding anything; returns the lanes that cannot
// take the bar (an unusable price, a zero reference price or return
// tracker).
[[gnu::always_inline]] inline __m128d revalue_lanes(LaneState &s, const LaneConstants &k, __m128d trade_price,
                                                    __m128d close, __m128d &base, __m128d &r, __m128d &held_any) {
    const __m128d zero = _mm_setzero_pd();
    __m128d bad = _mm_or_pd(unusable(trade_price, k), unusable(close, k));
    base = pick(_mm_cmpunord_pd(s.prev, s.prev), trade_price, s.prev);
    bad = _mm_or_pd(bad, _mm_cmpeq_pd(base, zero));
    r = _mm_div_pd(trade_price, base);
    r = pick(_mm_cmpunord_pd(r, r), k.one, r);
    s.held = _mm_mul_pd(s.held, r);
    held_any = _mm_cmpneq_pd(s.held, zero);
    s.cr = _mm_mul_pd(s.cr, r);
    s.maxcr = _mm_max_pd(s.cr, s.maxcr);  // cr > maxcr ? cr : maxcr
    s.mincr = _mm_min_pd(s.cr, s.mincr);  // cr < mincr ? cr : mincr
    return _mm_or_pd(bad, _mm_cmpeq_pd(s.cr, zero));
}

// The held lanes on the long side, by entry_is_long's quick sign tests, and
// the held lanes whose side those tests cannot tell, which count as lanes
// that cannot take the bar.
struct LaneSides {
    __m128d is_long, unsure;
};

[[gnu::always_inline]] inline LaneSides lane_sides(const LaneState &s, const LaneConstants &k, __m128d held_any) {
    const __m128d zero = _mm_setzero_pd();
    __m128d cr_positive = _mm_cmpgt_pd(s.cr, zero);
    __m128d is_long = _mm_and_pd(_mm_and_pd(_mm_cmpgt_pd(s.held, zero), cr_positive),
                                 _mm_and_pd(_mm_cmple_pd(s.cr, k.cr_fast), _mm_cmpge_pd(s.held, k.value_fast)));
    __m128d is_short = _mm_and_pd(_mm_cmplt_pd(s.held, zero), cr_positive);
    return {is_long, _mm_andnot_pd(_mm_or_pd(is_long, is_short), held_any)};
}

// Both lanes' exit levels as cumulative returns (exit_levels lane by
// lane). Without `trailing` (no trailing stop: its distance infinite) the
// trailing levels are left out, as they are the fixed ones then: maxcr -
// inf is -inf, or NaN, which max_pd answers with its second operand;
// likewise for shorts.
struct LaneBounds {
    __m128d max_r, min_r;
};

template <bool trailing>
[[gnu::always_inline]] inline LaneBounds lane_bounds(const LaneState &s, const LaneConstants &k, __m128d is_long) {
    __m128d long_min = k.long_lower, short_max = k.short_upper;
    if constexpr (trailing) {
        long_min = pick(_mm_cmpge_pd(s.maxcr, k.long_armed_at), _mm_max_pd(_mm_sub_pd(s.maxcr, k.trail), k.long_lower),
                        k.long_lower);
        short_max = pick(_mm_cmple_pd(s.mincr, k.short_armed_at),
                         _mm_min_pd(_mm_add_pd(s.mincr, k.trail), k.short_upper), k.short_upper);
    }
    return {pick(is_long, k.long_upper, short_max), pick(is_long, long_min, k.short_lower)};
}

// Close mode: the held lanes whose close reaches an exit level (close_mark
// lane by lane). A held lane whose return at the close may overflow
// (close_return_finite) or whose side is unsure is added to `bad`.
template <bool trailing>
[[gnu::always_inline]] inline __m128d reached_at_close(const LaneState &s, const LaneConstants &k, __m128d trade_price,
                                                       __m128d close, __m128d held_any, __m128d &bad) {
    // close_return_finite(cr * close, trade_price), for held lanes.
    __m128d size = _mm_and_pd(_mm_mul_pd(s.cr, close), k.magnitude);
    __m128d at_least_one = _mm_cmpge_pd(trade_price, k.one);
    __m128d finite = pick(at_least_one, _mm_cmple_pd(size, k.largest),
                          _mm_and_pd(_mm_cmpge_pd(trade_price, k.tiny), _mm_cmple_pd(size, k.huge)));
    // A missing trading or close price leaves the return at the close NaN,
    // which reaches no level.
    finite = _mm_or_pd(finite, _mm_cmpunord_pd(trade_price, close));
    bad = _mm_or_pd(bad, _mm_andnot_pd(finite, held_any));
    LaneSides side = lane_sides(s, k, held_any);
    LaneBounds l = lane_bounds<trailing>(s, k, side.is_long);
    __m128d at_close = _mm_div_pd(_mm_mul_pd(s.cr, close), trade_price);
    __m128d reached = _mm_and_pd(_mm_or_pd(_mm_cmpge_pd(at_close, l.max_r), _mm_cmplt_pd(at_close, l.min_r)), held_any);
    bad = _mm_or_pd(bad, side.unsure);
    return reached;
}

// Close mode without stops: every level is infinite, so close_mark marks a
// held stock only when its return at the close overflows to +inf, which
// the walk of that holding alone takes. Returns those lanes.
[[gnu::always_inline]] inline __m128d overflows_at_close(const LaneState &s, const LaneConstants &k,
                                                         __m128d trade_price, __m128d close, __m128d held_any) {
    __m128d at_close = _mm_div_pd(_mm_mul_pd(s.cr, close), trade_price);
    return _mm_and_pd(_mm_cmpeq_pd(at_close, k.infinity), held_any);
}

// Intrabar: the held lanes whose bar (high, low, open) touches an exit
// level (intrabar_touch lane by lane: the bar's prices as cumulative returns
// from the reference price `base`). A held lane whose high, low or open is
// not usable, whose return is 0 or whose side is unsure is added to `bad`.
[[gnu::always_inline]] inline __m128d touched_lanes(const LaneState &s, const LaneConstants &k, __m128d high,
                                                    __m128d low, __m128d open, __m128d r, __m128d base,
                                                    __m128d held_any, __m128d &bad) {
    __m128d bar_bad = _mm_or_pd(_mm_or_pd(unusable(high, k), unusable(low, k)),
                                _mm_or_pd(unusable(open, k), _mm_cmpeq_pd(r, _mm_setzero_pd())));
    LaneSides side = lane_sides(s, k, held_any);
    bad = _mm_or_pd(bad, _mm_and_pd(_mm_or_pd(bar_bad, side.unsure), held_any));
    LaneBounds l = lane_bounds<true>(s, k, side.is_long);
    __m128d before = _mm_div_pd(s.cr, r);
    __m128d high_r = _mm_mul_pd(before, _mm_div_pd(high, base));
    __m128d low_r = _mm_mul_pd(before, _mm_div_pd(low, base));
    __m128d open_r = _mm_mul_pd(before, _mm_div_pd(open, base));
    __m128d touched = _mm_or_pd(_mm_or_pd(_mm_cmple_pd(low_r, l.min_r), _mm_cmpge_pd(high_r, l.max_r)),
                                _mm_or_pd(_mm_cmpge_pd(open_r, l.max_r), _mm_cmple_pd(open_r, l.min_r)));
    return _mm_and_pd(touched, held_any);
}

// The end of a bar in both lanes: the reference price for the next bar
// (this bar's trading price where there is one), the bar's marks, and the
// pointers moved on to the next bar.
template <int N>
[[gnu::always_inline]] inline void end_bar(LaneState &s, LaneColumns<N> &c, __m128d trade_price, __m128d close,
                                           __m128d base, __m128d held_any) {
    s.prev = pick(_mm_cmpord_pd(trade_price, trade_price), trade_price, base);
    c.store_marks(s.held, trade_price, close, held_any);
    c.next_bar();
}

// Whether a run of the lanes stops after bar j: some lane cannot take it
// (`bad`) or reached a level; `stop` then says which.
[[gnu::always_inline]] inline bool lanes_stop(index_t j, __m128d bad, __m128d reached, LaneStop &stop) {
    int bad_lanes = _mm_movemask_pd(bad), reached_lanes = _mm_movemask_pd(reached);
    if ((bad_lanes | reached_lanes) == 0) [[likely]]
        return false;
    stop = {j + 1, bad_lanes, reached_lanes & ~bad_lanes};
    return true;
}

// Walks both lanes up to `steps` bars in close mode, advancing their
// pointers and states; the checks of both lanes are gathered into one mask
// per bar. With `levels`, each held lane's close is also tested against its
// exit levels: a lane that reaches one stops the run after that bar.
// Inlined where it is called: the pairs' loop then knows their marks lie
// side by side.
template <bool levels, bool trailing = true>
[[gnu::always_inline]] inline LaneStop walk_lanes(const Run &run, Lanes &lanes, index_t steps, std::size_t stride) {
    LaneState s = load_state(lanes.state);
    LaneColumns<2> c = lane_columns<2>(run.in, lanes, stride);
    const LaneConstants k = lane_constants(run);
    LaneStop stop{steps, 0, 0};
    for (index_t j = 0; j < steps; ++j) {
        __m128d trade_price = c.load(0), close = c.load(1), base, r, held_any;
        __m128d bad = revalue_lanes(s, k, trade_price, close, base, r, held_any);
        __m128d reached = _mm_setzero_pd();
        if constexpr (levels)
            reached = reached_at_close<trailing>(s, k, trade_price, close, held_any, bad);
        else
            bad = _mm_or_pd(bad, overflows_at_close(s, k, trade_price, close, held_any));
        end_bar(s, c, trade_price, close, base, held_any);
        if (lanes_stop(j, bad, reached, stop)) [[unlikely]]
            break;
    }
    store(lanes.state, s);
    keep_columns(lanes, c);
    return stop;
}

// The intrabar walk of both lanes, up to `steps` bars: walk_holding<true>'s
// operations lane by lane (exit_levels and intrabar_touch included), the
// pointers advanced as walk_lanes does. A lane that touches a level stops
// the run after that bar, with `reached` set and the bar's reference price
// in lanes.base: take_lane_touch takes its exit. A flat lane walks on at 0.
inline LaneStop walk_intrabar_lanes(const Run &run, Lanes &lanes, index_t steps, std::size_t stride) {
    LaneState s = load_state(lanes.state);
    __m128d base = s.prev;
    const __m128d flat = _mm_castsi128_pd(_mm_set_epi64x(lanes.flat & 2 ? -1 : 0, lanes.flat & 1 ? -1 : 0));
    LaneColumns<5> c = lane_columns<5>(run.in, lanes, stride);
    const LaneConstants k = lane_constants(run);
    LaneStop stop{steps, 0, 0};
    for (index_t j = 0; j < steps; ++j) {
        __m128d trade_price = c.load(0), close = c.load(1), high = c.load(2), low = c.load(3), open = c.load(4);
        __m128d r, held_any;
        __m128d bad = revalue_lanes(s, k, trade_price, close, base, r, held_any);
        bad = _mm_or_pd(bad, _mm_and_pd(held_any, flat));  // a flat holding whose value came back
        __m128d touched = touched_lanes(s, k, high, low, open, r, base, held_any, bad);
        end_bar(s, c, trade_price, close, base, held_any);
        if (lanes_stop(j, bad, touched, stop)) [[unlikely]]
            break;
    }
    store(lanes.state, s);
    _mm_storeu_pd(lanes.base, base);
    keep_columns(lanes, c);
    return stop;
}

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

// Lane i takes holding k of the stretch [d, ...), whose price column is
// col: its columns from bar d, its marks, its state as the bar loop leaves
// it, and no exit yet.
template <bool intrabar>
inline void start_lane(Run &run, index_t d, Lanes &lanes, int i, std::size_t k, int col) {
    const Market &in = run.in;
    lanes.price[i] = in.price.row_ptr(d) + col * in.price.col_stride;
    lanes.close[i] = in.close.row_ptr(d) + col * in.close.col_stride;
    if constexpr (intrabar) {
        lanes.high[i] = in.high.row_ptr(d) + col * in.high.col_stride;
        lanes.low[i] = in.low.row_ptr(d) + col * in.low.col_stride;
        lanes.open[i] = in.open.row_ptr(d) + col * in.open.col_stride;
        lanes.flat &= ~(1 << i);
    }
    lanes.marks[i] = run.stretch_marks.data() + k;
    lanes.nonzero[i] = run.stretch_nonzero.data() + k;
    lanes.state[i] = state_of(run, run.stretch_keys[k], col);
    run.stretch_exit[k].bar = -1;
    run.stretch_exit[k].pending = false;
}

// The holdings of a stretch handed to the two lanes in turn: the one each
// lane walks, the bars it has walked of it, whether it has one, its events
// from the bar it walks next, and the next one to hand out.
struct LaneQueue {
    std::size_t next = 0, k[2] = {0, 0};
    index_t at[2] = {0, 0};
    bool live[2] = {false, false};
    EventCursor events[2];
};

// Lane i's event at `bar`, the bar it walks next, if it has one there,
// taken into its state (take_event); false when it needs the bar loop.
// A run of the lanes then stops before the lane's next event: `steps` is
// cut to the bars up to it.
inline bool lane_events(Lanes &lanes, EventCursor &events, int i, index_t bar, index_t &steps) {
    if (events.at == events.end) return true;
    if (events.at->bar == bar) {
        if (!take_event(*events.at, lanes.state[i], load<double>(lanes.price[i]))) return false;
        if (++events.at == events.end) return true;
    }
    steps = std::min(steps, events.at->bar - bar);
    return true;
}

// Lane i takes the next holding of the stretch from bar d, if any; false
// when its column is missing, which the bar loop reports.
template <bool intrabar>
inline bool take_next(Run &run, index_t d, Lanes &lanes, LaneQueue &q, int i) {
    q.live[i] = q.next < run.stretch_keys.size();
    if (!q.live[i]) return true;
    std::size_t k = q.next++;
    int col = column_of(run, run.stretch_keys[k]);
    if (col < 0) return false;
    q.k[i] = k;
    q.at[i] = 0;
    q.events[i] = events_of(run, k, d);
    start_lane<intrabar>(run, d, lanes, i, k, col);
    return true;
}

// What becomes of lane i when a run of the lanes stops: its holding walks
// on in the lane; or it is done (walked to the stretch's end, or handed to
// walk_holding) and the lane takes the next one; or a bar needs the bar loop.
enum class LaneNext { walk_on, take_next, bar_loop };

template <bool intrabar>
inline LaneNext after_stop(Run &run, index_t d, index_t end, Lanes &lanes, LaneQueue &q, const LaneStop &stop, int i) {
    const std::vector<int> &keys = run.stretch_keys;
    std::size_t k = q.k[i];
    index_t at = q.at[i] += stop.walked;
    bool bad = stop.bad >> i & 1, reached = stop.reached >> i & 1;
    if (intrabar && !bad && reached) {
        // Touched: its exit is taken, and the holding walks on flat.
        bad = !take_lane_touch(run, d, k, d + at - 1, lanes.state[i], lanes.base[i]);
        lanes.flat |= 1 << i;
        if (!bad && at < end - d) return LaneNext::walk_on;
    }
    bool ok = true;
    if (bad) {
        run.stretch_state[k] = state_of(run, keys[k], column_of(run, keys[k]));
        ok = walk_one(run, d, end, k, d);
    } else if (!intrabar && reached) {
        ok = walk_marked(run, d, end, k, d + at, lanes.state[i]);
    } else if (at == end - d) {
        run.stretch_state[k] = lanes.state[i];
    } else {
        return LaneNext::walk_on;
    }
    return ok ? LaneNext::take_next : LaneNext::bar_loop;
}

// The holdings of the stretch [d, end) walked in two lanes (walk_lanes in
// close mode, walk_intrabar_lanes intrabar). A lane whose holding is done
// (walked to the end, marked for a close-mode exit, or at a bar it cannot
// take) hands that holding to walk_holding and takes the next waiting one;
// the last one goes on alone. An intrabar exit is taken where it is
// touched, and the flat holding walks on in its lane. A lane's events are
// taken between runs of the lanes, at the bar it walks next. False when a
// bar needs the bar loop.
template <bool intrabar, bool levels>
bool walk_in_lanes(Run &run, index_t d, index_t end) {
    const std::size_t n = run.stretch_keys.size();
    const index_t len = end - d;
    const bool trailing = !(run.trail_stop_abs == __builtin_inf());
    Lanes lanes;
    LaneQueue q;
    if (!take_next<intrabar>(run, d, lanes, q, 0) || !take_next<intrabar>(run, d, lanes, q, 1)) return false;
    while (q.live[0] && q.live[1]) {
        index_t steps = std::min(len - q.at[0], len - q.at[1]);
        for (int i = 0; i < 2; ++i)
            if (!lane_events(lanes, q.events[i], i, d + q.at[i], steps)) return false;
        LaneStop stop = intrabar    ? walk_intrabar_lanes(run, lanes, steps, n)
                        : trailing ? walk_lanes<levels, true>(run, lanes, steps, n)
                                    : walk_lanes<levels, false>(run, lanes, steps, n);
        for (int i = 0; i < 2; ++i) {
            LaneNext next = after_stop<intrabar>(run, d, end, lanes, q, stop, i);
            if (next == LaneNext::bar_loop) return false;
            if (next == LaneNext::take_next && !take_next<intrabar>(run, d, lanes, q, i)) return false;
        }
    }
    for (int i = 0; i < 2; ++i) {
        if (!q.live[i]) continue;
        run.stretch_state[q.k[i]] = lanes.state[i];
        bool flat = intrabar && (lanes.flat >> i & 1);
        if (!walk_one(run, d, end, q.k[i], d + q.at[i], 0, ExitReason::open, flat)) return false;
    }
    return true;
}

// A pair of walk_in_pairs with events over bars [d, d + len): its runs of
// the lanes stop before each event, taken between them; what stopped it,
// its bars counted from d (bad -1: an event needs the bar loop). Kept out
// of line: the pairs without events keep their loop as it was.
[[gnu::noinline]] inline LaneStop walk_pair_with_events(const Run &run, Lanes &lanes, EventCursor (&events)[2],
                                                        index_t d, index_t len, std::size_t n) {
    LaneStop stop{0, 0, 0};
    index_t walked = 0;
    while (walked < len && stop.bad == 0) {
        index_t steps = len - walked;
        for (int i = 0; i < 2; ++i)
            if (!lane_events(lanes, events[i], i, d + walked, steps)) return {walked, -1, 0};
        stop = walk_lanes<false>(run, lanes, steps, n);
        walked += stop.walked;
    }
    stop.walked = walked;
    return stop;
}

// Without stops only a bar a holding cannot take stops its lane, so the
// holdings go in fixed pairs (k, k + 1) over the whole stretch, without the
// hand-over walk_in_lanes needs (a pair's run stops only before a lane's
// event); a lane the pair stopped for is walked again alone, the other goes
// on alone from where the pair stopped.
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
            start_lane<false>(run, d, lanes, i, k + i, col);
        }
        EventCursor events[2] = {events_of(run, k, d), events_of(run, k + 1, d)};
        LaneStop stop = events[0].at == events[0].end && events[1].at == events[1].end
                            ? walk_lanes<false>(run, lanes, len, n)
                            : walk_pair_with_events(run, lanes, events, d, len, n);
        if (stop.bad < 0) return false;
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
