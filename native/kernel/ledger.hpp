// Position ledger: the only code that trades. Opens, resizes, flips and
// closes holdings, charges fee and tax, and tells the host of every trade.
#pragma once
#include "account.hpp"

#include <algorithm>
#include <iterator>

namespace vostra::kernel {

// Moves one stock to `position` and returns the new cash. The host hears of
// the trade before anything changes, so a failing notice leaves the map and
// the cash untouched. `reason` says why a holding ends (for the ledger) and
// `fill_price` at what price it trades.
template <class Host>
double set_position(Run &run, Host &host, int sid, double position, double cash, bool check_null, bool set_null,
                    double balance, ExitReason reason, double fill_price) {
    return host.frame(Frame::set_position, [&]() -> double {
        if constexpr (account_host<Host>) {
            // The account trades only through its rebalance, so here only
            // whole holdings end.
            if (run.opt.account.on) return account::exit(run, host, sid, cash, set_null, reason, fill_price);
        }
        PositionMap &p = run.pos;
        const Costs &c = run.costs;
        bool exist = check_null ? p.contains(sid) : true;
        double held_before = p.contains(sid) ? p[sid] : 0.0;
        bool prev_has_position = p.contains(sid) && held_before != 0;
        bool next_has_position = position != 0;

        if (!prev_has_position && next_has_position) {
            host.on_entry(run, sid, checked_div(position, balance), true, position, fill_price);
        } else if (prev_has_position && !next_has_position) {
            host.on_exit(run, sid, true, reason, held_before, fill_price);
        } else if (prev_has_position && next_has_position && host.splits_held_trades(run)) {
            host.on_exit(run, sid, false, ExitReason::rebalance, held_before, fill_price);
            host.on_entry(run, sid, checked_div(position, balance), false, position, fill_price);
        }

        if (position == 0) {
            if (!exist) return cash;
            double old = held_before;
            if (set_null)
                p.erase(sid);
            else
                p.set(sid, 0.0);
            double cost = std::fabs(old) * (c.fee_ratio + c.tax_ratio);
            double after = (old - cost) + cash;
            run.traded = true;
            host.on_fill(run, sid, after - cash, std::fabs(old), cost);
            return after;
        }

        if (!exist || !p.contains(sid)) p.set(sid, 0.0);
        double held = p[sid];
        double amount = position - held;
        bool buy = amount > 0;
        bool is_entry = buy ? position >= 0 : (position <= 0 && amount < 0);
        double cost = is_entry ? std::fabs(amount) * c.fee_ratio : std::fabs(amount) * (c.fee_ratio + c.tax_ratio);
        double value, after;
        if (buy) {
            // A purchase pays its fee out of the position's value ...
            after = cash - amount;
            value = (amount - cost) + held;
        } else {
            // ... a sale out of the cash proceeds.
            after = (-amount - cost) + cash;
            value = amount + held;
        }
        p.set(sid, value);
        if (set_null && value == 0) p.erase(sid);
        run.traded = true;
        host.on_fill(run, sid, after - cash, std::fabs(amount), cost);
        return after;
    });
}

// Moves the portfolio to the target weights `newp` and returns the new cash.
// Only held stocks and nonzero targets can trade, so only those columns are
// visited, in ascending order; the targets do not depend on that order, but
// the running cash does. `run.row_nonzero` holds newp's nonzero weights,
// less the columns of run.sat_out when run.latest_row_adjusted.
template <class Host>
double rebalance(Run &run, Host &host, const View1<double> &newp, double cash) {
    return host.frame(Frame::rebalance, [&]() -> double {
        PositionMap &p = run.pos;
        double balance = cash;
        for (int sid : p.keys()) balance = balance + p[sid];
        const NonzeroWeights &nonzero = run.row_nonzero;
        double total = pairwise_abs_sum(newp.size, nonzero);
        // Rows whose absolute weights add up to less than 1 leave the rest
        // in cash; larger rows are scaled down to the balance.
        double ratio = balance / (1.0 > total ? 1.0 : total);
        bool account = false;
        if constexpr (account_host<Host>) {
            account = run.opt.account.on;
            if (account) ratio = account::scale(balance, total, run.opt.account.leverage);
            run.targets.clear();
        }
        if (std::isnan(ratio)) ratio = 1;
        double limit = run.opt.position_limit;
        double cap = balance * limit;
        // Below a zero balance there is nothing left to invest: every target
        // is 0, so holdings are closed (paying their costs) and nothing opens.
        bool insolvent = balance < 0;
        // The held ids may change while trading; the union is taken first.
        // A zero weight has a zero target unless the ratio is not finite
        // (0 * inf), so only then is every column visited.
        std::vector<int> &visit = run.visit;
        visit.clear();
        bool every_column = !std::isfinite(ratio);
        const View1<double> all = every_column && run.latest_row_adjusted ? run.without_sat_out(newp) : newp;
        if (!every_column) {
            std::set_union(p.keys().begin(), p.keys().end(), nonzero.column.begin(), nonzero.column.end(),
                           std::back_inserter(visit));
            p.defer();  // rebuilt from the union below
        } else {
            for (index_t sid = 0; sid < newp.size; ++sid) visit.push_back(static_cast<int>(sid));
        }
        // The fill prices sit in as many columns as there are trades, each
        // line a miss; asked for together they arrive together, where the
        // trades between them would leave one miss after another.
        const char *fills = run.in.price.row_ptr(run.d);
        const std::vector<int> &price_of = run.columns.price_of;
        bool rules = false;
        if constexpr (account_host<Host>) rules = run.opt.account.market.on;
        for (int sid : visit) {
            if (sid >= newp.size || static_cast<std::size_t>(sid) >= price_of.size() || price_of[sid] < 0) continue;
            __builtin_prefetch(fills + price_of[sid] * run.in.price.col_stride);
            if (rules) market::prefetch_rules(run, price_of[sid], 0);
        }
        // The weights of the visited columns, from the nonzero list (walked
        // alongside, both ascending) or 0 for a held stock the row leaves out
        // (a zero weight of either sign gives a zero target: the same trade).
        std::size_t next = 0;
        auto weight_of = [&](int sid) {
            if (every_column) return all[sid];
            while (next < nonzero.column.size() && nonzero.column[next] < sid) ++next;
            return next < nonzero.column.size() && nonzero.column[next] == sid ? nonzero.weight[next] : 0.0;
        };
        for (int sid : visit) {
            if (sid >= newp.size) continue;  // held beyond the row: counted in the balance, not traded
            double v2 = insolvent ? 0.0 : weight_of(sid) * ratio;
            if (!insolvent && std::fabs(v2) > cap) {
                int sign = v2 > 0 ? 1 : -1;
                v2 = balance * limit * sign;
            }
            // A zero target for a stock that is not held changes nothing.
            if (v2 == 0 && !p.contains(sid)) continue;
            if constexpr (account_host<Host>) {
                if (account) {
                    run.targets.push_back({sid, v2, 0.0, 0.0, account::none});
                    continue;
                }
            }
            int col = run.price_column(sid);
            double price = run.in.price(run.d, col);
            // With credit_gaps a holding without a price on this bar is kept,
            // as an account keeps its shares.
            if (run.opt.credit_gaps && std::isnan(price) && p.contains(sid) && p[sid] != 0) continue;
            cash = set_position(run, host, sid, v2, cash, true, true, balance, ExitReason::rebalance, price);
        }
        if constexpr (account_host<Host>) {
            if (account) cash = account::trade_targets(run, host, balance, cash);
        }
        // Every id held before or traded now is in the union visited.
        if (!every_column) p.rebuild_from(visit);
        return cash;
    });
}

}  // namespace vostra::kernel
