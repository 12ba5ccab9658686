// The walked orders' fills booked on a stretch's bars: listed under their
// bar, put in the passes of a retry with the fills of the orders taken bar
// by bar, each purchase checked against the cash at its turn.
#pragma once
#include "order_walk.hpp"

namespace vostra::kernel::detail {

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

}  // namespace vostra::kernel::detail
