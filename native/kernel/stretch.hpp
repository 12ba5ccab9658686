// Quiet stretches: runs of bars on which no rebalance, pending exit or
// delisting can trade. Between them a held position evolves on its own: its
// value, return trackers and exit tests read only its own price columns, and
// only the cash its exit moves and the sum of the marks tie it to the
// others. So each holding is walked down its own columns for the whole
// stretch (contiguous memory in the column-major matrices pandas hands
// over, where the bar loop jumps between as many columns as there are
// holdings), in close mode and intrabar alike, its exit found as an event
// at its bar. The events are then taken bar by bar in stock order, and the
// marks added up in the order the bar loop adds them: the same operations
// on the same values, so the same cash, exit lists, host calls and marks.
// A stretch in which anything unusual happens (a price to reject, a return
// tracker at 0, a second exit of one holding) is left to the bar loop,
// which reports it where it occurs.
#pragma once
#include "exits.hpp"
#include "lanes.hpp"

namespace vostra::kernel {

namespace detail {

// What the mark to close of a bar adds up.
struct Mark {
    double balance, gross = 0;
    int holdings = 0;
    bool ok = true;  // false when a price needs the checks of the mark pass proper
};

template <class Host>
[[gnu::always_inline]] inline void add_mark(Mark &m, double val, double trade_price, double close_price) {
    double v = marked_value(val, trade_price, close_price);
    m.balance += v;
    if constexpr (Host::wants_marks) {
        m.gross += std::fabs(v);
        m.holdings += val != 0;
    }
}

// The signal row in force after bar d, from row `pos_id`: a row comes into
// force at the last bar strictly before the next bar's timestamp; on the
// last bar every later row qualifies.
inline index_t next_signal_row(const Run &run, index_t d, index_t pos_id) {
    const auto &dates = run.in.price_dates;
    bool last = d == dates.size - 1;
    std::int64_t next_bar = last ? 0 : dates[d + 1];
    const auto &pos_dates = run.in.pos_dates;
    while (pos_id < pos_dates.size - 1 && (last || pos_dates.at(pos_id + 1) < next_bar)) ++pos_id;
    return pos_id;
}

// Longest stretch walked at once, which bounds its scratch memory; the next
// bar starts another.
constexpr index_t max_stretch = 512;

// Whether bar d (after the warm-up) may start a quiet stretch.
inline bool quiet_bar(const Run &run, index_t d) {
    return !run.should_rebalance && run.exit_stocks.empty() && !run.delisting_at[d] && !run.pos.keys().empty() &&
           run.waiting.empty();
}

// Where the stretch from bar d ends (one past its last bar), with the signal
// row and the rebalance flag after its last bar.
struct StretchEnd {
    index_t end, pos_id;
    bool should_rebalance;
};

inline StretchEnd stretch_end(const Run &run, index_t d) {
    index_t nbars = run.in.price_dates.size, pos_id = run.pos_id;
    for (index_t b = d;; ++b) {
        pos_id = next_signal_row(run, b, pos_id);
        bool rebalance = pos_id != run.current_position_id && run.date_rebalance[b] != 0;
        if (rebalance || b + 1 == nbars || run.delisting_at[b + 1] || b + 1 - d == max_stretch)
            return {b + 1, pos_id, rebalance};
    }
}

// One holding over bars [d, end): its state as the bar loop leaves it, its
// exit, if any, and its marks into marks[j * stride] (j the bar's offset;
// -0.0, which adds nothing, once it is sold). False when a bar needs the bar
// loop.
template <bool intrabar>
inline bool walk_holding(const Run &run, int col, index_t d, index_t end, StretchState &state, WalkExit &exit,
                         double *marks, std::uint8_t *nonzero, std::size_t stride) {
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
    exit.bar = -1;
    exit.pending = false;
    int marked = 0;  // close mode: the mark of the previous bar
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

#if defined(__SSE2__)
// Two holdings walked side by side in close mode, one in each lane of an
// SSE2 register: the operations of walk_holding, lane by lane (the same
// IEEE operations, so the same bits), with about half the instructions. The checks of both
// lanes are gathered into one mask per bar; a bar that either lane cannot
// take stops the pair there: it returns that bar's offset (else the
// stretch's length), with `state` as it was before that bar.
// Every comparison below is false for NaN except `neq`, as in the scalar
// walk.
//
// With `levels`, each held lane's close is also tested against its exit
// levels (exit_levels and close_mark, lane by lane); a lane that reaches
// one, or whose side the quick sign tests of entry_is_long cannot tell,
// stops the pair, and walk_holding takes each holding on from there.
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

template <bool levels>
inline index_t walk_pair(const Run &run, const int (&col)[2], index_t d, index_t end, StretchState (&state)[2],
                      double *marks, std::uint8_t *nonzero, std::size_t stride) {
    const double *price[2], *close_at[2];
    for (int i = 0; i < 2; ++i) {
        price[i] = reinterpret_cast<const double *>(run.in.price.row_ptr(d) + col[i] * run.in.price.col_stride);
        close_at[i] = reinterpret_cast<const double *>(run.in.close.row_ptr(d) + col[i] * run.in.close.col_stride);
    }
    const index_t price_step = run.in.price.row_stride, close_step = run.in.close.row_stride;
    auto pair = [](double lane0, double lane1) { return _mm_set_pd(lane1, lane0); };
    __m128d held = pair(state[0].held, state[1].held), cr = pair(state[0].cr, state[1].cr);
    __m128d maxcr = pair(state[0].maxcr, state[1].maxcr), mincr = pair(state[0].mincr, state[1].mincr);
    __m128d prev = pair(state[0].prev, state[1].prev);
    const __m128d one = _mm_set1_pd(1.0), zero = _mm_setzero_pd(), largest = _mm_set1_pd(1.7976931348623157e308);
    const __m128d tiny = _mm_set1_pd(1e-7), huge = _mm_set1_pd(1e300);
    const __m128d magnitude = _mm_castsi128_pd(_mm_set1_epi64x(0x7fffffffffffffffLL));
    // The levels' constant parts, as exit_levels computes them.
    const __m128d long_upper = _mm_set1_pd(1 + run.take_profit_abs), long_lower = _mm_set1_pd(1 - run.stop_loss_abs);
    const __m128d short_upper = _mm_set1_pd(1 + run.stop_loss_abs), short_lower = _mm_set1_pd(1 - run.take_profit_abs);
    const __m128d long_armed_at = _mm_set1_pd(1 + run.trail_stop_activation_abs);
    const __m128d short_armed_at = _mm_set1_pd(1 - run.trail_stop_activation_abs);
    const __m128d trail = _mm_set1_pd(run.trail_stop_abs);
    const __m128d cr_fast = _mm_set1_pd(1e10), value_fast = _mm_set1_pd(1e-290);
    for (index_t j = 0; j < end - d; ++j) {
        auto at = [j](const double *p, index_t step) {
            return reinterpret_cast<const char *>(p) + j * step;
        };
        __m128d trade_price = _mm_loadh_pd(_mm_load_sd(reinterpret_cast<const double *>(at(price[0], price_step))),
                                           reinterpret_cast<const double *>(at(price[1], price_step)));
        __m128d close = _mm_loadh_pd(_mm_load_sd(reinterpret_cast<const double *>(at(close_at[0], close_step))),
                                     reinterpret_cast<const double *>(at(close_at[1], close_step)));
        // usable_price: missing (NaN), or positive and finite.
        __m128d bad = _mm_or_pd(_mm_or_pd(_mm_cmple_pd(trade_price, zero), _mm_cmpgt_pd(trade_price, largest)),
                                _mm_or_pd(_mm_cmple_pd(close, zero), _mm_cmpgt_pd(close, largest)));
        // The bar's values go to new registers: a bar the pair cannot take
        // is walked again from the state before it.
        __m128d base = pick(_mm_cmpunord_pd(prev, prev), trade_price, prev);
        bad = _mm_or_pd(bad, _mm_cmpeq_pd(base, zero));
        __m128d r = _mm_div_pd(trade_price, base);
        r = pick(_mm_cmpunord_pd(r, r), one, r);
        __m128d held_now = _mm_mul_pd(held, r), cr_now = _mm_mul_pd(cr, r);
        __m128d maxcr_now = _mm_max_pd(cr_now, maxcr);  // cr > maxcr ? cr : maxcr
        __m128d mincr_now = _mm_min_pd(cr_now, mincr);  // cr < mincr ? cr : mincr
        bad = _mm_or_pd(bad, _mm_cmpeq_pd(cr_now, zero));
        // close_return_finite(cr * close, trade_price), for held lanes.
        __m128d size = _mm_and_pd(_mm_mul_pd(cr_now, close), magnitude);
        __m128d at_least_one = _mm_cmpge_pd(trade_price, one);
        __m128d finite = pick(at_least_one, _mm_cmple_pd(size, largest),
                              _mm_and_pd(_mm_cmpge_pd(trade_price, tiny), _mm_cmple_pd(size, huge)));
        // A missing trading or close price leaves the return at the close
        // NaN, which reaches no level.
        finite = _mm_or_pd(finite, _mm_cmpunord_pd(trade_price, close));
        __m128d held_any = _mm_cmpneq_pd(held_now, zero);
        bad = _mm_or_pd(bad, _mm_andnot_pd(finite, held_any));
        if constexpr (levels) {
            __m128d cr_positive = _mm_cmpgt_pd(cr_now, zero);
            __m128d is_long =
                _mm_and_pd(_mm_and_pd(_mm_cmpgt_pd(held_now, zero), cr_positive),
                           _mm_and_pd(_mm_cmple_pd(cr_now, cr_fast), _mm_cmpge_pd(held_now, value_fast)));
            __m128d is_short = _mm_and_pd(_mm_cmplt_pd(held_now, zero), cr_positive);
            __m128d long_min = pick(_mm_cmpge_pd(maxcr_now, long_armed_at),
                                    _mm_max_pd(_mm_sub_pd(maxcr_now, trail), long_lower), long_lower);
            __m128d short_max = pick(_mm_cmple_pd(mincr_now, short_armed_at),
                                     _mm_min_pd(_mm_add_pd(mincr_now, trail), short_upper), short_upper);
            __m128d max_r = pick(is_long, long_upper, short_max), min_r = pick(is_long, long_min, short_lower);
            __m128d at_close = _mm_div_pd(_mm_mul_pd(cr_now, close), trade_price);
            __m128d reached = _mm_or_pd(_mm_cmpge_pd(at_close, max_r), _mm_cmplt_pd(at_close, min_r));
            __m128d unsure = _mm_andnot_pd(_mm_or_pd(is_long, is_short), held_any);
            bad = _mm_or_pd(bad, _mm_or_pd(_mm_and_pd(reached, held_any), unsure));
        }
        // `state` still holds the pair's start: the bars before this one
        // are walked again, which is cheaper than keeping every bar's state
        // aside in registers the loop needs.
        if (_mm_movemask_pd(bad) != 0) [[unlikely]]
            return j == 0 ? 0 : walk_pair<levels>(run, col, d, d + j, state, marks, nonzero, stride);
        held = held_now;
        cr = cr_now;
        maxcr = maxcr_now;
        mincr = mincr_now;
        prev = pick(_mm_cmpord_pd(trade_price, trade_price), trade_price, base);
        __m128d mark = pick(_mm_cmpunord_pd(trade_price, close), held,
                            _mm_div_pd(_mm_mul_pd(held, close), trade_price));
        _mm_storeu_pd(marks + static_cast<std::size_t>(j) * stride, mark);
        int any = _mm_movemask_pd(held_any);
        nonzero[static_cast<std::size_t>(j) * stride] = any & 1;
        nonzero[static_cast<std::size_t>(j) * stride + 1] = any >> 1;
    }
    store(state, held, cr, maxcr, mincr, prev);
    return end - d;
}
#endif

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

// Walks every holding of a stretch over bars [d, end) into the run's
// scratch; false when a bar needs the bar loop.
inline bool walk_holdings(Run &run, index_t d, index_t end) {
    const std::vector<int> &keys = run.stretch_keys;
    std::size_t n = keys.size();
    auto column_of = [&](int sid) {
        return static_cast<std::size_t>(sid) < run.columns.price_of.size() ? run.columns.price_of[sid] : -1;
    };
    bool intrabar = run.opt.touched_exit;
    for (int sid : keys) {
        int col = column_of(sid);
        if (col < 0) continue;
        prefetch_column(run.in.price, col, d, end);
        prefetch_column(run.in.close, col, d, end);
        if (intrabar) {
            prefetch_column(run.in.high, col, d, end);
            prefetch_column(run.in.low, col, d, end);
            if (run.in.open.data != run.in.price.data) prefetch_column(run.in.open, col, d, end);
        }
    }
    auto state_of = [&](int sid, int col) -> StretchState {
        return {run.pos[sid], run.cr[sid], run.maxcr[sid], run.mincr[sid], run.previous_price[col]};
    };
    double *marks = run.stretch_marks.data();
    std::uint8_t *nonzero = run.stretch_nonzero.data();
    std::size_t k = 0;
    // Holding k from bar `from` on, its state at `from` in stretch_state[k].
    auto walk_one = [&](std::size_t k, index_t from) {
        int col = column_of(keys[k]);
        std::size_t at = static_cast<std::size_t>(from - d) * n + k;
        StretchState &w = run.stretch_state[k];
        return intrabar ? walk_holding<true>(run, col, from, end, w, run.stretch_exit[k], marks + at, nonzero + at, n)
                        : walk_holding<false>(run, col, from, end, w, run.stretch_exit[k], marks + at, nonzero + at, n);
    };
#if defined(__SSE2__)
    if (!intrabar) {
        for (; k + 2 <= n; k += 2) {
            int col[2] = {column_of(keys[k]), column_of(keys[k + 1])};
            if (col[0] < 0 || col[1] < 0) break;  // the column is reported by the bar loop
            StretchState w[2] = {state_of(keys[k], col[0]), state_of(keys[k + 1], col[1])};
            index_t walked = run.no_stops ? walk_pair<false>(run, col, d, end, w, marks + k, nonzero + k, n)
                                          : walk_pair<true>(run, col, d, end, w, marks + k, nonzero + k, n);
            run.stretch_state[k] = w[0];
            run.stretch_state[k + 1] = w[1];
            run.stretch_exit[k].bar = run.stretch_exit[k + 1].bar = -1;
            run.stretch_exit[k].pending = run.stretch_exit[k + 1].pending = false;
            // An exit, or a bar to look at closely: one holding at a time from there.
            if (walked < end - d && (!walk_one(k, d + walked) || !walk_one(k + 1, d + walked))) return false;
        }
    }
#endif
    for (; k < n; ++k) {
        int col = column_of(keys[k]);
        if (col < 0) return false;
        run.stretch_state[k] = state_of(keys[k], col);
        if (!walk_one(k, d)) return false;
    }
    return true;
}

// Takes the exit of holding k on its bar, as the bar loop takes it.
template <class Host>
void take_walk_exit(Run &run, Host &host, std::size_t k) {
    int sid = run.stretch_keys[k];
    const WalkExit &e = run.stretch_exit[k];
    if (run.opt.touched_exit) {
        take_touch(run, host, sid, Touch{true, e.value, e.fill, e.reason, e.positive});
        return;
    }
    // A close-mode mark of the previous bar (pending_exits).
    run.pos.value(sid) = e.value;
    run.cash = set_position(run, host, sid, 0.0, run.cash, false, true, 1.0, e.reason, e.fill);
    run.exited_stocks.push_back({sid, e.positive, e.reason});
    reset_trackers(run, sid);
}

// Whether the market fills every exit the walk found in full on its bar:
// an exit that waits leaves an order to go on in the bars after it, which
// only the bar loop takes.
inline bool exits_fill_whole(Run &run, std::size_t n) {
    index_t d = run.d;
    bool whole = true;
    for (std::size_t k = 0; k < n && whole; ++k) {
        const WalkExit &e = run.stretch_exit[k];
        if (e.bar < 0 || e.pending) continue;
        run.d = e.bar;
        whole = account::fills_whole(run, run.stretch_keys[k], e.fill, e.reason);
    }
    run.d = d;
    return whole;
}

// Simulates the quiet stretch that starts at bar d, writing its portfolio
// values into `out`; returns one past its last bar, or d when it must go
// through the bar loop (which then takes every bar of it).
template <class Host>
index_t walk_quiet_stretch(Run &run, Host &host, index_t d, double *out) {
    StretchEnd s = stretch_end(run, d);
    if (s.end - d < 2) return d;
    run.stretch_keys = run.pos.keys();  // exits change the map's keys
    const std::vector<int> &keys = run.stretch_keys;
    std::size_t n = keys.size(), len = static_cast<std::size_t>(s.end - d);
    run.stretch_marks.resize(n * len);
    run.stretch_nonzero.resize(n * len);
    run.stretch_state.resize(n);
    run.stretch_exit.resize(n);
    bool handed_back = !walk_holdings(run, d, s.end);
    if constexpr (account_host<Host>) {
        if (!handed_back && run.opt.account.market.on) handed_back = !exits_fill_whole(run, n);
    }
    if (handed_back) {
        run.loud_until = s.end;
        return d;
    }
    // Nothing reads a holding's value or trackers between here and its exit
    // but the exit itself, which sets what it reads.
    std::vector<std::uint32_t> &exits = run.stretch_exits;
    exits.clear();
    for (std::size_t k = 0; k < n; ++k) {
        int sid = keys[k];
        const StretchState &w = run.stretch_state[k];
        run.pos.value(sid) = w.held;
        run.cr[sid] = w.cr;
        run.maxcr[sid] = w.maxcr;
        run.mincr[sid] = w.mincr;
        run.previous_price[run.columns.price_of[sid]] = w.prev;
        if (run.stretch_exit[k].bar >= 0) exits.push_back(static_cast<std::uint32_t>(k));
    }
    // Bar order, and stock order within a bar.
    std::stable_sort(exits.begin(), exits.end(), [&](std::uint32_t a, std::uint32_t b) {
        return run.stretch_exit[a].bar < run.stretch_exit[b].bar;
    });
    std::size_t next = 0;
    for (index_t b = d; b < s.end; ++b) {
        run.d = b;
        run.date = run.in.price_dates[b];
        host.on_date(run, b);
        run.traded = false;
        for (; next < exits.size() && run.stretch_exit[exits[next]].bar == b; ++next)
            take_walk_exit(run, host, exits[next]);
        Mark mark{run.cash};
        const double *marks = run.stretch_marks.data() + static_cast<std::size_t>(b - d) * n;
        const std::uint8_t *nonzero = run.stretch_nonzero.data() + static_cast<std::size_t>(b - d) * n;
        for (std::size_t k = 0; k < n; ++k) {
            mark.balance += marks[k];
            if constexpr (Host::wants_marks) {
                mark.gross += std::fabs(marks[k]);
                mark.holdings += nonzero[k];
            }
        }
        out[b] = mark.balance;
        if constexpr (Host::wants_marks) host.on_mark(run, b, mark.gross, mark.holdings);
    }
    // The marks of the last bar wait for the next one, as the bar loop
    // leaves them.
    run.exit_stocks_temp.clear();
    for (std::size_t k = 0; k < n; ++k) {
        const WalkExit &e = run.stretch_exit[k];
        if (e.pending) run.exit_stocks_temp.push_back({keys[k], e.positive, e.reason});
    }
    run.exit_stocks = run.exit_stocks_temp;
    run.pos_id = s.pos_id;
    run.should_rebalance = s.should_rebalance;
    return s.end;
}

}  // namespace detail

}  // namespace vostra::kernel
