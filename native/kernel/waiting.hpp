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
//
// Here: the stretch's bars and their set-up. The stocks' states, exits,
// balance and marks are in stretch_stocks.hpp, the walk of a waiting order
// in order_walk.hpp, the booking of its fills in planned_fills.hpp.
#pragma once
#include "planned_fills.hpp"

#include <climits>

namespace vostra::kernel::detail {

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
