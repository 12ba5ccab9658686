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
//
// Here: the stretch's bars (exits taken, marks added up). The walks are in
// holding_walk.hpp (one holding alone) and lane_walks.hpp (two at a time);
// where a stretch starts and ends, in stretch_end.hpp.
#pragma once
#include "stretch_end.hpp"
#include "lane_walks.hpp"

namespace vostra::kernel {

namespace detail {

// Walks every holding of a stretch over bars [d, end) into the run's
// scratch; false when a bar needs the bar loop.
inline bool walk_holdings(Run &run, index_t d, index_t end) {
    const std::vector<int> &keys = run.stretch_keys;
    bool intrabar = run.opt.touched_exit;
    for (int sid : keys) {
        int col = column_of(run, sid);
        if (col < 0) continue;
        prefetch_column(run.in.price, col, d, end);
        prefetch_column(run.in.close, col, d, end);
        if (intrabar) {
            prefetch_column(run.in.high, col, d, end);
            prefetch_column(run.in.low, col, d, end);
            if (run.in.open.data != run.in.price.data) prefetch_column(run.in.open, col, d, end);
        }
    }
#if defined(__SSE2__)
    if (intrabar) return walk_in_lanes<true, true>(run, d, end);
    return run.no_stops ? walk_in_pairs(run, d, end) : walk_in_lanes<false, true>(run, d, end);
#endif
    for (std::size_t k = 0; k < keys.size(); ++k) {
        int col = column_of(run, keys[k]);
        if (col < 0) return false;
        run.stretch_state[k] = state_of(run, keys[k], col);
        if (!walk_one(run, d, end, k, d)) return false;
    }
    return true;
}

// Takes the exit `e` a walk found for `sid` on its bar, as the bar loop
// takes it.
template <class Host>
void take_walk_exit(Run &run, Host &host, int sid, const WalkExit &e) {
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

// Adds the marks of bars [b, b + W) of a stretch to the cash in out[b], in
// stock order, as the bar loop adds them, and hands the host their gross
// and holdings. `stocks(f)` calls f(at, stride) for each stock in stock
// order: the place of its bar-b mark in run.stretch_marks and the distance
// between its bars' marks. Each bar's sum is one chain of dependent
// additions; W bars summed side by side overlap their chains instead of
// waiting on each other.
template <int W, class Host, class Stocks>
[[gnu::always_inline]] inline void add_bar_marks(Run &run, Host &host, index_t b, double *out, Stocks stocks) {
    const double *marks = run.stretch_marks.data();
    const std::uint8_t *nonzero = run.stretch_nonzero.data();
    double sum[W], gross[W];
    int holdings[W];
    for (int i = 0; i < W; ++i) {
        sum[i] = out[b + i];
        gross[i] = 0;
        holdings[i] = 0;
    }
    stocks([&](std::size_t at, std::size_t stride) {
        for (int i = 0; i < W; ++i) {
            double v = marks[at + static_cast<std::size_t>(i) * stride];
            sum[i] += v;
            if constexpr (Host::wants_marks) {
                gross[i] += std::fabs(v);
                holdings[i] += nonzero[at + static_cast<std::size_t>(i) * stride];
            }
        }
    });
    for (int i = 0; i < W; ++i) {
        out[b + i] = sum[i];
        // The host reads only the bar's own figures: its calls come after
        // the stretch's exits, still in bar order.
        if constexpr (Host::wants_marks) host.on_mark(run, b + i, gross[i], holdings[i]);
    }
}

// The marks of bars [from, to) of a stretch, four bars at a time;
// `stocks_at(b)` gives add_bar_marks its stocks for bar b.
template <class Host, class StocksAt>
void add_marks(Run &run, Host &host, index_t from, index_t to, double *out, StocksAt stocks_at) {
    index_t b = from;
    for (; b + 4 <= to; b += 4) add_bar_marks<4>(run, host, b, out, stocks_at(b));
    for (; b < to; ++b) add_bar_marks<1>(run, host, b, out, stocks_at(b));
}

// Whether a quiet stretch reads its holdings' dividends and splits itself
// (list_stretch_events). With capital it pays the dividends in cash in the
// bar loop's order, and a split ends it; without, its walks take both in
// the holding's column.
inline bool stretch_reads_events(const Run &run) {
    const LedgerEvents &e = run.opt.events;
    return e.on && (e.dividends.data || e.splits.data);
}

// The dividends and splits of the stretch's holdings in [d, end), each
// value checked, read in one pass over both columns (their lines asked for
// first, all of them, so that their reads overlap instead of waiting one by
// one). With capital, the dividends into run.stretch_dividends as (bar,
// holding) in the order the bar loop pays them: by bar, and in stock order
// within a bar (one sold in the stretch holds no shares by then). Without,
// both into run.walk_events, holding by holding and by bar. Returns the
// first bar the stretch cannot take, or `end`: with capital a split's,
// without it a dividend's on a bar without a trading price (it waits, in
// the bar loop).
template <class Host>
index_t list_stretch_events(Run &run, Host &host, index_t d, index_t end) {
    const View2<double> &dm = run.opt.events.dividends, &sm = run.opt.events.splits;
    const std::vector<int> &keys = run.stretch_keys;
    const bool cash = run.opt.account.on;
    auto column = [&](const View2<double> &m, int col) { return m.data ? m.data + col * m.col_stride : nullptr; };
    for (int sid : keys) {
        int col = run.price_column(sid);
        prefetch_bars(column(dm, col), dm.row_stride, d, end);
        prefetch_bars(column(sm, col), sm.row_stride, d, end);
    }
    run.stretch_dividends.clear();
    run.walk_events.clear();
    if (!cash) run.walk_event_start.assign(1, 0);
    index_t stop = end;
    for (std::size_t k = 0; k < keys.size(); ++k) {
        int sid = keys[k], col = run.price_column(sid);
        const char *div = column(dm, col), *split = column(sm, col);
        auto k32 = static_cast<std::uint32_t>(k);
        for (index_t b = d; b < end; ++b) {
            double s = split ? load<double>(split + b * sm.row_stride) : 1.0;
            double x = div ? load<double>(div + b * dm.row_stride) : 0.0;
            if (!(s == 1 || std::isnan(s) || (s >= 0 && s <= 1.7976931348623157e308))) [[unlikely]]
                host.invalid_price(run, PriceKind::split, s, sid, b);
            if (!(x == 0 || std::isnan(x) || (x >= 0 && x <= 1.7976931348623157e308))) [[unlikely]]
                host.invalid_price(run, PriceKind::dividend, x, sid, b);
            bool splits = s > 0 && s != 1, pays = x > 0;
            if (!splits && !pays) continue;
            if (cash) {
                if (splits) stop = std::min(stop, b);
                if (pays) run.stretch_dividends.push_back({b, k32});
                continue;
            }
            if (pays && std::isnan(run.in.price(b, col))) stop = std::min(stop, b);
            run.walk_events.push_back({b, k32, false, pays ? x : 0.0, splits ? s : 1.0, 0.0});
        }
        if (!cash) run.walk_event_start.push_back(static_cast<std::uint32_t>(run.walk_events.size()));
    }
    std::stable_sort(run.stretch_dividends.begin(), run.stretch_dividends.end(),
                     [](const auto &a, const auto &b) { return a.first < b.first; });
    return stop;
}

// The dividends the walks recorded (run.walk_paid) in the order the bar
// loop records them: by bar, and in stock order within a bar.
inline void order_walk_dividends(Run &run) {
    std::vector<std::uint32_t> &paid = run.walk_paid;
    paid.clear();
    for (std::size_t i = 0; i < run.walk_events.size(); ++i)
        if (run.walk_events[i].paid) paid.push_back(static_cast<std::uint32_t>(i));
    std::stable_sort(paid.begin(), paid.end(), [&](std::uint32_t a, std::uint32_t b) {
        return run.walk_events[a].bar < run.walk_events[b].bar;
    });
}

// The marks of the quiet stretch [d, end): bar by bar, its holdings' marks
// side by side.
template <class Host>
void add_stretch_marks(Run &run, Host &host, index_t d, index_t end, double *out) {
    const std::size_t n = run.stretch_keys.size();
    add_marks(run, host, d, end, out, [n, d](index_t b) {
        return [n, at = static_cast<std::size_t>(b - d) * n](auto &&add) {
            for (std::size_t k = 0; k < n; ++k) add(at + k, n);
        };
    });
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
    run.stretch_dividends.clear();
    run.walk_events.clear();
    run.walk_event_start.clear();
    if constexpr (account_host<Host>) {
        if (stretch_reads_events(run)) {
            // A split with capital, or a dividend waiting for a price, is
            // the bar loop's: the stretch ends before its bar.
            index_t stop = list_stretch_events(run, host, d, s.end);
            if (stop < s.end) {
                run.delisting_at[stop] = 1;
                if (stop - d < 2) return d;
                s = stretch_end(run, d);
            }
        }
    }
    std::size_t n = keys.size(), len = static_cast<std::size_t>(s.end - d);
    run.stretch_marks.resize(n * len);
    run.stretch_nonzero.resize(n * len);
    run.stretch_state.resize(n);
    run.stretch_exit.resize(n);
    if (!walk_holdings(run, d, s.end)) {
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
    if constexpr (account_host<Host>) order_walk_dividends(run);
    // The cash after each bar's dividends and exits first, then the marks
    // added to it.
    std::size_t next = 0, paid = 0, reinvested = 0;
    for (index_t b = d; b < s.end; ++b) {
        start_bar(run, host, b);
        if constexpr (account_host<Host>) {
            const auto &due = run.stretch_dividends;
            for (; paid < due.size() && due[paid].first == b; ++paid) {
                int sid = keys[due[paid].second];
                pay_dividend(run, host, sid, run.opt.events.dividends(b, run.price_column(sid)));
            }
            const std::vector<std::uint32_t> &walked = run.walk_paid;
            for (; reinvested < walked.size() && run.walk_events[walked[reinvested]].bar == b; ++reinvested) {
                const WalkEvent &e = run.walk_events[walked[reinvested]];
                host.on_dividend(run, keys[e.k], e.amount, false);
            }
        }
        for (; next < exits.size() && run.stretch_exit[exits[next]].bar == b; ++next)
            take_walk_exit(run, host, keys[exits[next]], run.stretch_exit[exits[next]]);
        out[b] = run.cash;
    }
    add_stretch_marks(run, host, d, s.end, out);
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
