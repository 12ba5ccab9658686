// The operations report: weights of the last executed rebalance, weights of
// the next signal row and one action word per stock, telling which orders
// the next trading day needs. The kernel works out the figures; the host
// keeps them (as the contract's dict, or as plain arrays) and normalises
// the weights.
#pragma once
#include "run.hpp"

#include <utility>

namespace vostra::kernel {

enum class Action : std::uint8_t { enter, exit, hold, tp, sl, tp_enter, sl_enter, tp_, sl_ };

struct ReportWeights {
    std::vector<std::pair<int, double>> weights, next_weights;  // before normalisation
};

// Scales the weights so their absolute values add up to at most 1, then caps
// each at +/- position_limit, with the arithmetic of the engine's
// `normalize_weight` on floats.
inline void normalize_weights(std::vector<std::pair<int, double>> &w, double position_limit) {
    double weight_sum = 0.0;
    for (const auto &kv : w) weight_sum += std::fabs(kv.second);
    if (weight_sum > 1)
        for (auto &kv : w) kv.second = kv.second * (1 / weight_sum);
    for (auto &kv : w) {
        if (kv.second > position_limit)
            kv.second = position_limit;
        else if (kv.second < -position_limit)
            kv.second = -position_limit;
    }
}

namespace detail {

inline bool held(const Run &run, int sid) { return run.pos.contains(sid) && run.pos[sid] != 0; }

// Divides every value by max(1, total): only sums above 1 scale.
inline void scale_down(std::vector<std::pair<int, double>> &values, double total) {
    double divisor = total > 1 ? total : 1.0;
    for (auto &kv : values) kv.second = kv.second / divisor;
}

}  // namespace detail

// The report's weights before normalisation.
template <class Host>
ReportWeights report_weights(const Run &run, Host &host) {
    const Market &in = run.in;
    ReportWeights out;
    // Weights of the last rebalance: stocks sold since then by a pending exit
    // or a delisting report 0, but the divisor still counts their weight.
    double latest_weight_sum = 0;
    for (int sid : run.latest_rebalanced_keys) {
        double weight = in.weights(buffer_index(run.current_position_id, in.weights.rows, 0), sid);
        out.weights.emplace_back(sid, run.pos.contains(sid) ? weight : 0.0);
        latest_weight_sum += std::fabs(weight);
    }
    detail::scale_down(out.weights, latest_weight_sum);

    // Weights of the next signal row, without the stocks that stop trading
    // keeps out of the next rebalance.
    View1<double> row = run.current_position_id == run.pos_id
                            ? run.latest_rebalanced_row()
                            : in.weights.row(numpy_index(run.pos_id, in.weights.rows, 0));
    std::size_t n = static_cast<std::size_t>(row.size);
    std::vector<std::uint8_t> in_exited(n, 0), in_pending(n, 0);
    for (const SideSid &e : run.exited_stocks)
        if (static_cast<std::size_t>(e.sid) < n) in_exited[e.sid] = 1;
    for (const SideSid &e : run.exit_stocks)
        if (static_cast<std::size_t>(e.sid) < n) in_pending[e.sid] = 1;
    double total_next_weight_sum = 0;
    for (std::size_t sid = 0; sid < n; ++sid) {
        double val1 = row[static_cast<index_t>(sid)];
        bool dropped = false, skip = false;
        if (host.stop_trading(run)) {
            if (in_exited[sid]) {
                dropped = skip = true;
            } else if (in_pending[sid]) {
                skip = true;
                dropped = detail::held(run, static_cast<int>(sid));
            }
        }
        if (!(dropped && run.should_rebalance)) total_next_weight_sum += std::fabs(val1);
        if (!skip && val1 != 0) out.next_weights.emplace_back(static_cast<int>(sid), val1);
    }
    detail::scale_down(out.next_weights, total_next_weight_sum);
    return out;
}

// The actions, handed to `host.action(sid, action)` in order (a later one
// replaces an earlier one for the same stock). `host.next_weight_nonzero`
// reads the normalised next weights.
template <class Host>
void report_actions(const Run &run, Host &host) {
    const Market &in = run.in;
    std::vector<std::uint8_t> has_action(static_cast<std::size_t>(in.weights.cols), 0);
    auto act = [&](int sid, Action a) {
        if (static_cast<std::size_t>(sid) < has_action.size()) has_action[sid] = 1;
        host.action(sid, a);
    };
    if (run.should_rebalance) {
        View1<double> row = in.weights.row(numpy_index(run.pos_id, in.weights.rows, 0));
        for (index_t sid = 0; sid < row.size; ++sid) {
            double v = row[sid];
            bool h = detail::held(run, static_cast<int>(sid));
            if (!h && v != 0)
                act(static_cast<int>(sid), Action::enter);
            else if (h && v == 0)
                act(static_cast<int>(sid), Action::exit);
            else if (h)
                act(static_cast<int>(sid), Action::hold);
        }
    }
    for (const SideSid &e : run.exit_stocks) {
        if (host.stop_trading(run) || run.date > in.pos_dates.at(run.pos_id))
            act(e.sid, e.positive ? Action::tp : Action::sl);
        else if (host.next_weight_nonzero(e.sid))
            act(e.sid, e.positive ? Action::tp_enter : Action::sl_enter);
    }
    for (const SideSid &e : run.exited_stocks) {
        bool has = static_cast<std::size_t>(e.sid) < has_action.size() && has_action[e.sid];
        if (host.stop_trading(run) || !has) act(e.sid, e.positive ? Action::tp_ : Action::sl_);
    }
}

}  // namespace vostra::kernel
