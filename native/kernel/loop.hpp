// The simulation loop: bar by bar revaluation at the trading price, exits,
// scheduled rebalances, delistings and the mark to close.
#pragma once
#include "events.hpp"
#include "waiting.hpp"

namespace vostra::kernel {

namespace detail {

// Marks, for each rebalance timestamp, the last bar at or before it (bar 0
// when it precedes every bar).
inline void mark_rebalance_bars(Run &run) {
    const auto &dates = run.in.price_dates;
    run.date_rebalance.assign(static_cast<std::size_t>(dates.size), 0);
    if (dates.size == 0) return;  // no bar to mark
    index_t ptr = 0;
    const auto &resample = run.in.resample_dates;
    for (index_t i = 0; i < resample.size; ++i) {
        std::int64_t d = resample[i];
        while (ptr + 1 < dates.size && dates[ptr + 1] <= d) ++ptr;
        run.date_rebalance[ptr] = 1;
    }
}

// Bars on which some stock is delisted: on the others the delisting step
// cannot trade.
inline void mark_delisting_bars(Run &run) {
    const Market &in = run.in;
    run.delisting_at.assign(static_cast<std::size_t>(in.price_dates.size), 0);
    if (!in.has_delisting_bars) return;
    for (index_t i = 0; i < in.delisting_bars.size; ++i) {
        std::int64_t bar = in.delisting_bars[i];
        if (bar >= 0 && bar < in.price_dates.size) run.delisting_at[bar] = 1;
        run.has_delisting |= bar >= 0;
    }
}

// Revalues every held position at this bar's trading price and applies the
// exit rules to it. With `fuse`, it also marks each position to the close as
// the mark pass would, for a bar on which nothing else can trade.
template <class Host>
Mark revalue_positions(Run &run, Host &host, bool fuse) {
    const Market &in = run.in;
    run.exit_stocks_temp.clear();
    Mark mark{run.cash};
    bool need_close = fuse || !run.opt.touched_exit;
    bool prefetch = run.d + prefetch_ahead < in.price.rows;
    for (int sid : run.pos.keys()) {
        Prices p = revalue_one(run, host, sid, need_close, prefetch);
        if (fuse) {
            // An unusable close is left to the mark pass, which reports it
            // in its own order.
            if (usable_price(p.close))
                add_mark<Host>(mark, run.pos[sid], p.trade, p.close);
            else
                mark.ok = false;
        }
    }
    return mark;
}

// The nonzero weights of signal row r into run.row_nonzero: copied from the
// weight scan's lists when it made them (the row itself was last read long
// ago), else read from the row.
inline void signal_row_weights(Run &run, index_t r, const View1<double> &row) {
    const SparseRows *sparse = run.sparse;
    if (!sparse || !sparse->lists(r)) {
        nonzero_weights(row, run.row_nonzero);
        return;
    }
    auto from = static_cast<std::ptrdiff_t>(sparse->start[r]), to = static_cast<std::ptrdiff_t>(sparse->start[r + 1]);
    run.row_nonzero.column.assign(sparse->column.begin() + from, sparse->column.begin() + to);
    run.row_nonzero.weight.assign(sparse->weight.begin() + from, sparse->weight.begin() + to);
}

// A rebalance of the account under market rules is due on this bar: the
// cells its fills read (trading price, previous close, volume, blocked
// cell) of the stocks its row names are asked for before the revaluation,
// whose work then hides their misses.
inline void prefetch_rebalance(const Run &run) {
    const SparseRows *sparse = run.sparse;
    if (!sparse || !sparse->lists(run.pos_id)) return;
    auto from = static_cast<std::size_t>(sparse->start[run.pos_id]);
    auto to = static_cast<std::size_t>(sparse->start[run.pos_id + 1]);
    const std::vector<int> &price_of = run.columns.price_of;
    for (std::size_t i = from; i < to; ++i) {
        int sid = sparse->column[i];
        if (sid >= 0 && static_cast<std::size_t>(sid) < price_of.size()) market::prefetch_rules(run, price_of[sid], 0);
    }
}

// Holdings kept on the same side by the row in run.row_nonzero keep their
// return trackers; the others' restart (retain_cost_when_rebalance).
inline void keep_same_side_trackers(Run &run) {
    const NonzeroWeights &nonzero = run.row_nonzero;
    for (std::size_t i = 0; i < nonzero.column.size(); ++i) {
        int s = nonzero.column[i];
        if (!run.pos.contains(s) || run.pos[s] * nonzero.weight[i] <= 0) reset_trackers(run, s);
    }
}

// Stocks stopped out since the last rebalance sit this one out: the nonzero
// weights left in run.row_nonzero are the row's, less those columns (the
// caller's matrix is left untouched).
inline void sit_out_stopped(Run &run, index_t ncols) {
    std::vector<int> &out = run.sat_out;
    out.clear();
    for (const SideSid &e : run.exited_stocks) out.push_back(static_cast<int>(buffer_index(e.sid, ncols, 0)));
    std::sort(out.begin(), out.end());
    NonzeroWeights &nonzero = run.row_nonzero;
    std::size_t kept = 0;
    for (std::size_t i = 0; i < nonzero.column.size(); ++i) {
        if (std::binary_search(out.begin(), out.end(), nonzero.column[i])) continue;
        nonzero.column[kept] = nonzero.column[i];
        nonzero.weight[kept++] = nonzero.weight[i];
    }
    nonzero.column.resize(kept);
    nonzero.weight.resize(kept);
}

// After the rebalance on bar d, for its holdings (run.latest_rebalanced_keys).
// Newly held columns are cold: their next bars are fetched for this bar's
// mark to close and the next revaluations all at once, rather than one miss
// after another. Every reference price restarts at this bar's trading price,
// and without retain_cost_when_rebalance every return tracker at 1. Only
// held stocks ever read theirs, and a stock becomes held only at a
// rebalance, so restarting the held ones is the same as refilling every
// column, without touching every column of a wide matrix. With `credit`, a
// holding kept across this bar without a price (one of run.held_before)
// keeps its reference, so its move across the gap counts.
inline void restart_held(Run &run, index_t d, bool credit) {
    const Market &in = run.in;
    bool next_bar = d + 1 < in.price.rows;
    for (int sid : run.latest_rebalanced_keys) {
        int col = run.price_column(sid);
        __builtin_prefetch(in.price.row_ptr(d) + col * in.price.col_stride);
        __builtin_prefetch(in.close.row_ptr(d) + col * in.close.col_stride);
        if (next_bar) {
            __builtin_prefetch(in.price.row_ptr(d + 1) + col * in.price.col_stride);
            __builtin_prefetch(in.close.row_ptr(d + 1) + col * in.close.col_stride);
        }
    }
    if (!run.opt.retain_cost_when_rebalance)
        for (int sid : run.latest_rebalanced_keys) reset_trackers(run, sid);
    for (int sid : run.latest_rebalanced_keys) {
        int col = run.price_column(sid);
        double price = in.price(d, col);
        if (credit && std::isnan(price) &&
            std::binary_search(run.held_before.begin(), run.held_before.end(), sid))
            continue;
        run.previous_price[col] = price;
    }
}

// The rebalance due on this bar: the signal row in force, less the stocks
// stopped out since the last one when the host asks for that, traded into.
template <class Host>
void rebalance_step(Run &run, Host &host) {
    index_t d = run.d;
    View1<double> row = run.in.weights.row(run.pos_id);
    signal_row_weights(run, run.pos_id, row);
    if (run.opt.retain_cost_when_rebalance) keep_same_side_trackers(run);
    run.latest_row_adjusted = host.stop_trading(run) && !run.exited_stocks.empty();
    if (run.latest_row_adjusted) sit_out_stopped(run, run.in.weights.cols);
    bool credit = run.opt.credit_gaps;
    if constexpr (account_host<Host>) credit = credit || run.opt.account.on;
    if (credit) run.held_before = run.pos.keys();
    run.cash = rebalance(run, host, row, run.cash);
    events::drop_pending(run);
    run.latest_rebalanced_keys = run.pos.keys();
    restart_held(run, d, credit);
    run.exited_stocks.clear();
    run.current_position_id = run.pos_id;
}

// Portfolio value at the close: positions are carried at the trading price
// between bars and marked to the close only for the result.
template <class Host>
Mark mark_to_close(Run &run, Host &host) {
    Mark mark{run.cash};
    for (int sid : run.pos.keys()) {
        int col = run.price_column(sid);
        double trade_price = run.in.price(run.d, col);
        validate_price(run, host, PriceKind::trading, trade_price, sid);
        double close_price = run.in.close(run.d, col);
        validate_price(run, host, PriceKind::close, close_price, sid);
        add_mark<Host>(mark, run.pos[sid], trade_price, close_price);
    }
    return mark;
}

// Walks the stretch that starts at bar d, if one may start there; returns
// one past its last bar, or d for the bar loop.
template <class Host>
index_t walk_stretch(Run &run, Host &host, index_t d, double *out) {
    // The ledger's events are asked last: their scan reads the held
    // columns ahead, wasted on a bar that cannot start a stretch anyway.
    if constexpr (account_host<Host>) {
        // Under the market's rules exits may wait and orders go on filling.
        if (run.opt.account.market.on) {
            if (!stretch_may_start(run, d) || (run.opt.events.on && !events::stretch_may_start(run, host, d)))
                return d;
            return walk_waiting_stretch(run, host, d, out);
        }
        if (quiet_bar(run, d) && run.opt.events.on && !events::stretch_may_start(run, host, d)) return d;
    }
    return quiet_bar(run, d) ? walk_quiet_stretch(run, host, d, out) : d;
}

inline void advance_signal_row(Run &run) { run.pos_id = next_signal_row(run, run.d, run.pos_id); }

}  // namespace detail

// Sets up the per-run arrays of `run` (whose column map is built) before the
// bar loop.
inline void set_up(Run &run) {
    const Market &in = run.in;
    std::size_t nstocks = static_cast<std::size_t>(in.weights.cols);
    run.cr.assign(nstocks, 1.0);
    run.maxcr.assign(nstocks, 1.0);
    run.mincr.assign(nstocks, 1.0);
    run.previous_price.assign(static_cast<std::size_t>(in.price.cols), 1.0);
    run.pos = PositionMap(static_cast<int>(nstocks));
    if (run.opt.account.on) {
        run.cash = run.balance = run.opt.account.capital;
        run.shares.assign(nstocks, 0.0);
        if (run.opt.account.market.on) {
            run.waiting_order.assign(nstocks, -1);
            run.fill_bar.assign(nstocks, -1);
            run.filled_in_bar.assign(nstocks, 0.0);
        }
    }
    detail::mark_delisting_bars(run);
    run.stop_loss_abs = std::fabs(run.opt.stop_loss);
    run.take_profit_abs = std::fabs(run.opt.take_profit);
    run.trail_stop_abs = std::fabs(run.opt.trail_stop);
    run.trail_stop_activation_abs = std::fabs(run.opt.trail_stop_activation);
    run.no_stops = run.stop_loss_abs == INFINITY && run.take_profit_abs == INFINITY && run.trail_stop_abs == INFINITY;
    detail::mark_rebalance_bars(run);
    if (run.opt.events.on) events::set_up(run);
}

// The whole simulation: writes the portfolio value of every bar into `out`
// (price_dates.size values).
template <class Host>
void simulate(Run &run, Host &host, double *out) {
    const Market &in = run.in;
    set_up(run);
    host.start(run);
    index_t nbars = in.price_dates.size;
    for (index_t d = 0; d < nbars; ++d) {
        run.d = d;
        run.date = in.price_dates[d];
        if (run.date < in.pos_dates.at(0)) {  // warm-up: before the first signal
            if constexpr (account_host<Host>) {
                // Nothing is held yet; the cash earns, then the cash flows come.
                if (run.opt.account.cash_per_bar != 0 && d > 0) {
                    host.on_date(run, d);
                    account::finance(run, host);
                }
                if (run.opt.events.on) events::warm_up_flow(run, host);
            }
            out[d] = run.cash;  // the starting capital, its interest and the cash flows so far
            continue;
        }
        bool may_stretch = d >= run.loud_until;
        if constexpr (account_host<Host>) {
            // Financing changes the cash every bar: such runs take every bar.
            may_stretch = may_stretch && !run.opt.account.financing();
        }
        if (may_stretch) {
            index_t end = detail::walk_stretch(run, host, d, out);
            if (end > d) {
                d = end - 1;
                continue;
            }
        }
        host.on_date(run, d);
        run.traded = false;
        if constexpr (account_host<Host>) {
            if (run.should_rebalance && run.opt.account.market.on) detail::prefetch_rebalance(run);
            if (run.opt.account.financing()) account::finance(run, host);
            if (run.opt.events.on) events::at_open(run, host);
        }
        // On a bar without a rebalance, pending exit or delisting, only an
        // intrabar stop can trade: the mark to close is then taken in the
        // revaluation pass, and taken again only if something traded.
        bool fuse = !run.should_rebalance && run.exit_stocks.empty() && !run.delisting_at[d];
        detail::Mark mark = detail::revalue_positions(run, host, fuse);
        pending_exits(run, host);
        run.exit_stocks = run.exit_stocks_temp;
        if constexpr (account_host<Host>) {
            // A rebalance replaces the waiting orders; else they go on.
            if (!run.waiting.empty() && !run.should_rebalance) account::retry_waiting(run, host);
            // A withdrawal beyond the cash sells, unless a rebalance sizes the book anyway.
            if (run.opt.events.on && run.cash < 0 && !run.should_rebalance && run.opt.account.on &&
                events::flow_at(run, d) < 0)
                events::withdrawal_sales(run, host);
        }
        if (run.should_rebalance) detail::rebalance_step(run, host);
        if (run.has_delisting) delisting_exits(run, host);
        if constexpr (account_host<Host>) {
            if (!run.split_today.empty()) events::cash_in_lieu(run, host);
        }
        if (!(fuse && mark.ok && !run.traded)) mark = detail::mark_to_close(run, host);
        out[d] = mark.balance;
        if constexpr (Host::wants_marks) host.on_mark(run, d, mark.gross, mark.holdings);
        detail::advance_signal_row(run);
        run.should_rebalance = run.pos_id != run.current_position_id && run.date_rebalance[d] != 0;
    }
    host.end(run);
}

}  // namespace vostra::kernel
