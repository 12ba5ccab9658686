// The native trade ledger: one row per trade record with its fills, its
// realized P&L and its excursion array, written as the run goes.
#include "ledger.hpp"

#include <algorithm>
#include <numeric>

namespace vostra::engine {

namespace {

metrics::Grid grid_of(const kernel::View2<double> &v) { return {v.data, v.rows, v.cols, v.row_stride, v.col_stride}; }

}  // namespace

void LedgerHost::start(kernel::Run &run) {
    std::size_t nstocks = static_cast<std::size_t>(run.in.weights.cols);
    std::size_t nbars = static_cast<std::size_t>(run.in.price_dates.size);
    open_.assign(nstocks, TradeRow{});
    flows_to_closed_.assign(nstocks, -1);
    split_value_.assign(nstocks, 0.0);
    built_shares_.assign(nstocks, 0.0);
    built_value_.assign(nstocks, 0.0);
    closed_shares_.assign(nstocks, 0.0);
    closed_value_.assign(nstocks, 0.0);
    taken_over_.assign(nstocks, -1);
    action_slot_.assign(nstocks, -1);
    out_.traded.assign(nbars, 0.0);
    out_.costs.assign(nbars, 0.0);
    out_.gross.assign(nbars, 0.0);
    out_.holdings.assign(nbars, 0);
    out_.interest.assign(nbars, 0.0);
    out_.dividends.assign(nbars, 0.0);
    out_.flows.assign(nbars, 0.0);
    out_.array_size = metrics::array_size(run.opt.orbalt_window, run.opt.orbalt_window_step);
    price_ = grid_of(run.in.price);
    close_ = grid_of(run.in.close);
}

void LedgerHost::on_entry(kernel::Run &, int sid, double weight, bool paid, double target, double fill_price) {
    TradeRow &row = open_[sid];
    row = TradeRow{};
    row.sid = sid;
    row.entry_bar = row.fill_entry_bar = date_;
    row.weight = weight;
    row.entry_price = fill_price;
    row.notional = std::fabs(target);
    row.entry_cost = paid;
    // A record split off a held position takes it over at its value.
    row.pnl = paid ? 0.0 : -split_value_[sid];
    flows_to_closed_[sid] = -1;
    built_shares_[sid] = built_value_[sid] = closed_shares_[sid] = closed_value_[sid] = 0.0;
    taken_over_[sid] = paid ? -1 : date_;
}

void LedgerHost::close_row(kernel::Run &run, int sid, std::int64_t exit_bar, bool paid) {
    TradeRow &row = open_[sid];
    if (built_shares_[sid] != 0) row.entry_price = built_value_[sid] / built_shares_[sid];
    // The excursion array of the trade, as the recorder computes it.
    metrics::Trade t{run.price_column(sid), row.entry_bar, date_, row.weight > 0, row.entry_cost, paid,
                     run.opt.fee_ratio, run.opt.tax_ratio, run.opt.orbalt_window, run.opt.orbalt_window_step};
    std::size_t offset = out_.excursions.size();
    out_.excursions.extend(static_cast<std::size_t>(out_.array_size));
    walk(t, offset);
    row.exit_bar = exit_bar;
    if (run.opt.account.on) {
        // What the record held before its closing order began to fill.
        double held = run.shares[sid], sold = closed_shares_[sid];
        row.shares = sold > 0 ? held + (held < 0 ? -sold : sold) : held;
    }
    out_.rows.push_back(row);
}

void LedgerHost::walk(const metrics::Trade &t, std::size_t offset) {
    if (!waiting_) {
        waiting_ = Waiting{t, offset};
        return;
    }
    Waiting first = *waiting_;
    waiting_.reset();
    double *arrays = out_.excursions.data();
    std::int64_t size = out_.array_size;
    if (!metrics::excursions_pair(price_, close_, first.trade, arrays + first.offset, t, arrays + offset, size)) {
        // One by one, in the order the trades closed, so that the first
        // fault is the one raised.
        metrics::excursions(price_, close_, first.trade, arrays + first.offset, size);
        metrics::excursions(price_, close_, t, arrays + offset, size);
    }
}

void LedgerHost::finish_walks() {
    if (!waiting_) return;
    Waiting last = *waiting_;
    waiting_.reset();
    metrics::excursions(price_, close_, last.trade, out_.excursions.data() + last.offset, out_.array_size);
}

void LedgerHost::on_exit(kernel::Run &run, int sid, bool paid, kernel::ExitReason reason, double value,
                         double fill_price) {
    TradeRow &row = open_[sid];
    row.fill_exit_bar = date_;
    row.exit_price = fill_price;
    row.reason = reason;
    if (paid && closed_shares_[sid] > 0) {
        // The last fill of a closing order that filled in parts.
        double rest = std::fabs(run.shares[sid]);
        row.exit_price = (closed_value_[sid] + rest * fill_price) / (closed_shares_[sid] + rest);
    }
    if (!paid) {
        // Split at a rebalance: the record ends at the position's value,
        // which the next record takes over.
        row.pnl += value;
        split_value_[sid] = value;
    }
    close_row(run, sid, date_, paid);
    flows_to_closed_[sid] = static_cast<std::int64_t>(out_.rows.size()) - 1;
}

void LedgerHost::action(int sid, kernel::Action a) {
    int &slot = action_slot_.at(static_cast<std::size_t>(sid));
    if (slot < 0) {
        slot = static_cast<int>(out_.actions.size());
        out_.actions.emplace_back(sid, a);
    } else {
        out_.actions[slot].second = a;
    }
}

void LedgerHost::keep_final_state(const kernel::Run &run) {
    std::vector<std::int8_t> mark(static_cast<std::size_t>(run.in.weights.cols), -1);
    for (const kernel::SideSid &e : run.exit_stocks)
        if (static_cast<std::size_t>(e.sid) < mark.size()) mark[e.sid] = static_cast<std::int8_t>(e.reason);
    for (int sid : run.pos.keys()) {
        int col = run.price_column(sid);
        double value = run.pos[sid];
        out_.final_sid.push_back(sid);
        out_.final_value.push_back(value);
        out_.final_marked.push_back(kernel::marked_value(value, run.in.price(run.d, col), run.in.close(run.d, col)));
        out_.final_cr.push_back(run.cr[sid]);
        out_.final_maxcr.push_back(run.maxcr[sid]);
        out_.final_mincr.push_back(run.mincr[sid]);
        out_.final_reference.push_back(run.previous_price[col]);
        out_.final_mark.push_back(static_cast<std::size_t>(sid) < mark.size() ? mark[sid] : -1);
    }
    out_.final_cash = run.cash;
    out_.rebalance_due = run.should_rebalance;
}

void LedgerHost::end(kernel::Run &run) {
    // Trades still open are marked to the last close.
    for (int sid : run.pos.keys()) {
        double value = run.pos[sid];
        if (value == 0) continue;  // flat stocks have no open trade; NaN counts as open
        int col = run.price_column(sid);
        TradeRow &row = open_[sid];
        row.pnl += kernel::marked_value(value, run.in.price(run.d, col), run.in.close(run.d, col));
        row.reason = kernel::ExitReason::open;
        row.fill_exit_bar = -1;
        row.exit_price = __builtin_nan("");
        close_row(run, sid, -1, false);
    }
    finish_walks();
    if (run.opt.account.on) {
        out_.final_shares = run.shares;
        out_.orders = std::move(run.orders);
        for (int sid : run.waiting) out_.waiting.push_back(run.waiting_order[sid]);
    }
    keep_final_state(run);

    kernel::ReportWeights w = kernel::report_weights(run, *this);
    kernel::normalize_weights(w.weights, run.opt.position_limit);
    kernel::normalize_weights(w.next_weights, run.opt.position_limit);
    next_dense_.assign(static_cast<std::size_t>(run.in.weights.cols), 0.0);
    for (const auto &[sid, v] : w.next_weights)
        if (static_cast<std::size_t>(sid) < next_dense_.size()) next_dense_[sid] = v;
    out_.weights = std::move(w.weights);
    out_.next_weights = std::move(w.next_weights);
    out_.weight_time = run.current_position_id;
    out_.next_weight_time = run.pos_id;
    kernel::report_actions(run, *this);
}

void resolve_fills(const kernel::Run &run, Ledger &ledger) {
    const kernel::View2<double> &price = run.in.price;
    // An account's exit without a price fills at the last price with its
    // slippage (it has no entry without a price).
    double slippage = run.opt.account.on ? run.opt.account.slippage : 0.0;
    index_t last_bar = price.rows - 1;
    for (TradeRow &row : ledger.rows) {
        int col = run.price_column(row.sid);
        if (std::isnan(row.entry_price)) {
            index_t until = row.exit_bar >= 0 ? row.exit_bar : last_bar;
            for (index_t b = row.entry_bar + 1; b <= until; ++b) {
                double p = price(b, col);
                if (!std::isnan(p)) {
                    row.fill_entry_bar = b;
                    row.entry_price = p;
                    break;
                }
            }
        }
        if (row.exit_bar >= 0 && std::isnan(row.exit_price)) {
            for (index_t b = row.exit_bar - 1; b >= row.fill_entry_bar; --b) {
                double p = price(b, col);
                if (!std::isnan(p)) {
                    row.exit_price = slippage == 0 ? p : p * (row.weight > 0 ? 1 - slippage : 1 + slippage);
                    break;
                }
            }
        }
    }
}

namespace {

// Stable counting sort of `from` by key(i) - lo in [0, span), into `to`.
template <class Key>
void count_sort(const std::vector<std::int64_t> &from, std::vector<std::int64_t> &to, std::vector<std::int64_t> &at,
                std::int64_t lo, std::int64_t span, Key key) {
    at.assign(static_cast<std::size_t>(span) + 1, 0);
    for (std::int64_t i : from) ++at[static_cast<std::size_t>(key(i) - lo) + 1];
    for (std::size_t k = 1; k < at.size(); ++k) at[k] += at[k - 1];
    for (std::int64_t i : from) to[static_cast<std::size_t>(at[static_cast<std::size_t>(key(i) - lo)]++)] = i;
}

}  // namespace

void sort_entries(Ledger &ledger) {
    const Pooled<TradeRow> &rows = ledger.rows;
    std::vector<std::int64_t> &order = ledger.entry_order;
    std::size_t n = rows.size();
    order.resize(n);
    std::iota(order.begin(), order.end(), std::int64_t{0});
    if (n < 2) return;
    // The keys side by side, for the two passes below (a comparison sort
    // of the rows read two 96-byte rows at every step).
    std::vector<EntryKey> &keys = ledger.entry_keys;
    keys.resize(n);
    std::int64_t bar_lo = rows[0].fill_entry_bar, bar_hi = bar_lo, sid_lo = rows[0].sid, sid_hi = sid_lo;
    bool sorted = true;
    for (std::size_t i = 0; i < n; ++i) {
        EntryKey k{rows[i].fill_entry_bar, rows[i].sid};
        keys[i] = k;
        bar_lo = std::min(bar_lo, k.bar), bar_hi = std::max(bar_hi, k.bar);
        sid_lo = std::min<std::int64_t>(sid_lo, k.sid), sid_hi = std::max<std::int64_t>(sid_hi, k.sid);
        if (i > 0) {
            const EntryKey &p = keys[i - 1];
            sorted = sorted && (p.bar != k.bar ? p.bar < k.bar : p.sid <= k.sid);
        }
    }
    // Records made in entry order (a run whose trades all end at the
    // rebalances) are left as they are.
    if (sorted) return;
    // By stock id, then stably by bar: the counts span at most the run's
    // stocks and bars, one row and one column of its price matrix.
    std::vector<std::int64_t> &by_sid = ledger.sort_scratch, &at = ledger.sort_counts;
    by_sid.resize(n);
    count_sort(order, by_sid, at, sid_lo, sid_hi - sid_lo + 1, [&](std::int64_t i) { return keys[i].sid; });
    count_sort(by_sid, order, at, bar_lo, bar_hi - bar_lo + 1, [&](std::int64_t i) { return keys[i].bar; });
}

}  // namespace vostra::engine
