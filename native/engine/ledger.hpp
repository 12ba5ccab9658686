// The host of the simulation body for the native entry `vostra._engine`: a
// trade ledger in plain vectors (fill prices, realized P&L, exit reasons,
// excursion arrays), per-bar traded value, costs and gross exposure, and the
// report as plain data. It touches no Python object, so a run needs no
// interpreter lock and many runs may go on at once.
#pragma once
#include "kernel/loop.hpp"
#include "kernel/metrics.hpp"
#include "kernel/report.hpp"
#include "pool.hpp"

#include <algorithm>
#include <optional>

namespace vostra::engine {

using kernel::index_t;

// What the rows are sorted by into entry order.
struct EntryKey {
    std::int64_t bar;
    int sid;
};

struct TradeRow {
    int sid = 0;
    std::int64_t entry_bar = 0;          // bar of the ledger entry (the excursion walk starts there)
    std::int64_t exit_bar = -1;          // bar of the exit, -1 while open
    std::int64_t fill_entry_bar = 0;     // bar whose trading price filled the entry
    std::int64_t fill_exit_bar = -1;     // bar whose trading price filled the exit
    double weight = 0;                   // target / balance at entry, as the recorder reports it
    double entry_price = 0, exit_price = 0;
    double pnl = 0;                      // cash moved by the trade, plus its value when it ends
    double notional = 0;                 // |target value| at entry
    double shares = __builtin_nan("");   // signed shares held when the record ends (account runs only)
    double dividends = 0;                // received (paid) in cash over the record (account runs only)
    kernel::ExitReason reason = kernel::ExitReason::open;
    bool entry_cost = false;
};

// The fills of an account run, a column per field, each handed as it is
// to the array that returns it: a fill is written once, where a list of
// records would be copied as it grows and then again into the arrays. The
// columns grow together, so a fill checks for room once; `close` sets
// their sizes before they are handed over.
struct FillColumns {
    Pooled<std::int64_t> bar{Pool::columns8}, sid{Pool::columns8}, order{Pool::columns8};
    Pooled<double> shares{Pool::columns8}, price{Pool::columns8}, value{Pool::columns8}, cost{Pool::columns8};
    Pooled<bool> completed{Pool::columns1};

    void push_back(const kernel::Fill &f) {
        if (n_ == room_) [[unlikely]]
            make_room();
        // The count in a local: a store to an int64 column may alias it.
        std::size_t n = n_;
        bar[n] = f.bar;
        sid[n] = f.sid;
        order[n] = f.order;
        shares[n] = f.shares;
        price[n] = f.price;
        value[n] = f.value;
        cost[n] = f.cost;
        completed[n] = f.completed;
        n_ = n + 1;
    }
    std::size_t size() const { return n_; }
    void close() {
        bar.set_size(n_), sid.set_size(n_), order.set_size(n_), shares.set_size(n_), price.set_size(n_);
        value.set_size(n_), cost.set_size(n_), completed.set_size(n_);
    }

private:
    void make_room() {
        std::size_t n = std::max<std::size_t>(2 * n_, 1024);
        room_ = std::min({bar.reserve(n), sid.reserve(n), order.reserve(n), shares.reserve(n), price.reserve(n),
                          value.reserve(n), cost.reserve(n), completed.reserve(n)});
    }
    std::size_t n_ = 0, room_ = 0;
};

struct Ledger {
    Pooled<TradeRow> rows{Pool::rows};   // closed trades in exit order, then the open ones by stock id
    Pooled<double> excursions{Pool::excursions};  // rows x array_size values
    std::int64_t array_size = 0;
    std::vector<double> traded, costs, gross;
    std::vector<std::int32_t> holdings;
    std::vector<double> interest;        // cash interest per bar (account runs)
    std::vector<double> dividends, flows;  // per bar: dividends, and cash deposited (withdrawn)
    std::vector<double> final_shares;    // shares per stock id after the last bar (account runs)
    FillColumns fills;                   // every fill of an order, in the order they happened (account runs)
    std::vector<kernel::Order> orders;   // every order placed (account runs)
    std::vector<std::int64_t> waiting;   // orders still waiting after the last bar, by stock id
    std::int64_t first_rebalance = -1;   // bar of the first executed rebalance that traded
    std::vector<std::int64_t> entry_order;  // rows by entry fill bar, then stock id, stable
    std::vector<EntryKey> entry_keys;       // the sort's scratch
    std::vector<std::int64_t> sort_scratch, sort_counts;
    // The report.
    std::vector<std::pair<int, double>> weights, next_weights;
    std::vector<std::pair<int, kernel::Action>> actions;  // in first-insertion order, last action wins
    std::int64_t weight_time = -1, next_weight_time = 0;
    // The account after the last bar, from which the next day's orders and
    // the prices that would trigger an exit on the next bar are worked out.
    // One entry per stock id of the position map (flat ones included).
    std::vector<std::int64_t> final_sid;
    std::vector<double> final_value;    // carried at the last trading price
    std::vector<double> final_marked;   // marked to the last close, as the equity is
    std::vector<double> final_cr, final_maxcr, final_mincr;
    std::vector<double> final_reference;  // trading price the next bar's returns are taken from
    std::vector<std::int8_t> final_mark;  // close-mode mark to be sold on the next bar: its ExitReason, or -1
    double final_cash = 0;
    bool rebalance_due = false;         // the bar after the last one would rebalance
};

// The run asked for stop_trading_next_period, whose truth test failed
// before the run; the run's caller raises that test's error.
struct TruthTestFailed {};

class LedgerHost {
public:
    static constexpr bool wants_marks = true;
    static constexpr bool account_rules = true;

    LedgerHost(Ledger &out, bool stop_trading, bool truth_failed = false)
        : out_(out), stop_trading_(stop_trading), truth_failed_(truth_failed) {}

    void start(kernel::Run &run);
    void on_date(kernel::Run &, index_t d) { date_ = d; }
    void on_entry(kernel::Run &run, int sid, double weight, bool paid, double target, double fill_price);
    void on_exit(kernel::Run &run, int sid, bool paid, kernel::ExitReason reason, double value, double fill_price);
    void on_fill(kernel::Run &, int sid, double cash_delta, double traded, double cost) {
        (flows_to_closed_[sid] >= 0 ? out_.rows[flows_to_closed_[sid]] : open_[sid]).pnl += cash_delta;
        out_.traded[date_] += traded;
        out_.costs[date_] += cost;
    }
    void on_interest(kernel::Run &, double amount) { out_.interest[date_] += amount; }
    // A record's entry (exit) price is the share-weighted average of the
    // fills that built (closed) it: every fill that opens or adds to it, on
    // its order's bar or later (averaged when the record is written), and
    // every fill of a closing order that fills in parts. A sale before the
    // close keeps the cost per share; the resize of a record taken over at
    // a rebalance is in the price it entered at.
    void on_order_fill(kernel::Run &run, const kernel::Fill &f) {
        out_.fills.push_back(f);
        const kernel::Order &o = run.orders.at(static_cast<std::size_t>(f.order));
        int sid = f.sid;
        double after = run.shares[sid], before = after - f.shares;
        double size = std::fabs(f.shares);
        if (o.target == 0 && !f.completed) {
            closed_shares_[sid] += size;
            closed_value_[sid] += size * f.price;
            return;
        }
        if (after == 0 || taken_over_[sid] == f.bar) return;
        if (before != 0 && before * after > 0 && std::fabs(after) < std::fabs(before)) {
            if (built_shares_[sid] != 0) {
                double entry = built_value_[sid] / built_shares_[sid];
                built_shares_[sid] = std::fabs(after);
                built_value_[sid] = built_shares_[sid] * entry;
            }
            return;
        }
        if (built_shares_[sid] == 0 && before * after > 0) {
            built_shares_[sid] = std::fabs(before);
            built_value_[sid] = std::fabs(before) * open_[sid].entry_price;
        }
        // A flip in one fill ended the old record at it: the new one holds `after`.
        if (before * after < 0) size = std::fabs(after);
        built_shares_[sid] += size;
        built_value_[sid] += size * f.price;
    }
    // A dividend of a held stock: in cash to its record with capital, else
    // reinvested (only counted per bar).
    void on_dividend(kernel::Run &, int sid, double amount, bool cash) {
        out_.dividends[date_] += amount;
        if (cash) open_[sid].dividends += amount;
    }
    void on_flow(kernel::Run &, double amount) { out_.flows[date_] += amount; }
    // A held stock splits: its record's entry price, and the shares of the
    // fills that built or closed it, in the new shares.
    void on_split(kernel::Run &, int sid, double ratio) {
        open_[sid].entry_price /= ratio;
        built_shares_[sid] *= ratio;
        closed_shares_[sid] *= ratio;
    }
    // The sales of a replaced closing order were sales before the close of
    // the record, which goes on: they keep its cost per share and no longer
    // count among its closing fills.
    void on_close_replaced(kernel::Run &run, int sid) {
        double sold = closed_shares_[sid];
        if (sold == 0) return;
        double held = std::fabs(run.shares[sid]);
        double entry = built_shares_[sid] != 0 ? built_value_[sid] / built_shares_[sid] : open_[sid].entry_price;
        built_shares_[sid] = held;
        built_value_[sid] = held * entry;
        closed_shares_[sid] = closed_value_[sid] = 0.0;
    }
    // The open record's entry as close_row will write it.
    double entry_price(kernel::Run &, int sid) const {
        return built_shares_[sid] != 0 ? built_value_[sid] / built_shares_[sid] : open_[sid].entry_price;
    }
    void on_borrow(kernel::Run &, int sid, double cash_delta) {
        (flows_to_closed_[sid] >= 0 ? out_.rows[flows_to_closed_[sid]] : open_[sid]).pnl += cash_delta;
    }
    bool splits_held_trades(kernel::Run &run) const {
        return !run.opt.retain_cost_when_rebalance && run.opt.periodically_rebalance;
    }
    bool stop_trading(const kernel::Run &) const {
        if (truth_failed_) throw TruthTestFailed{};
        return stop_trading_;
    }
    template <class F>
    decltype(auto) frame(kernel::Frame, F &&body) {
        return body();
    }
    [[noreturn]] void invalid_price(kernel::Run &, kernel::PriceKind kind, double value, int sid, index_t row) {
        throw kernel::InvalidPrice{kind, value, sid, row};
    }
    void on_mark(kernel::Run &, index_t d, double gross, int holdings) {
        out_.gross[d] = gross;
        out_.holdings[d] = holdings;
        if (out_.first_rebalance < 0 && out_.traded[d] > 0) out_.first_rebalance = d;
    }
    void end(kernel::Run &run);

    // Walks the excursions of a closed trade still waiting for a partner.
    // A run that stops on an error calls it first: that trade closed before
    // the error, so a fault of its walk is the one to report.
    void finish_walks();

    void action(int sid, kernel::Action a);
    bool next_weight_nonzero(int sid) const {
        return static_cast<std::size_t>(sid) < next_dense_.size() && next_dense_[sid] != 0;
    }

private:
    void close_row(kernel::Run &run, int sid, std::int64_t exit_bar, bool paid);
    void keep_final_state(const kernel::Run &run);
    void walk(const metrics::Trade &t, std::size_t offset);

    // The excursion walks of closed trades go two at a time, as two walks
    // in the lanes of one loop take little more than one: a closed trade
    // waits here for the next.
    struct Waiting {
        metrics::Trade trade;
        std::size_t offset;  // of its array in the excursions
    };
    std::optional<Waiting> waiting_;

    Ledger &out_;
    bool stop_trading_, truth_failed_;
    index_t date_ = 0;
    std::vector<TradeRow> open_;              // by stock id
    std::vector<std::int64_t> flows_to_closed_;  // by stock id: row that the next fill belongs to, or -1
    std::vector<double> split_value_;        // by stock id: value handed from a split record to the next
    // By stock id, for a record built or closed over several bars: the
    // shares and value of the fills that built it, and of the fills its
    // closing order has made so far.
    std::vector<double> built_shares_, built_value_, closed_shares_, closed_value_;
    std::vector<std::int64_t> taken_over_;   // by stock id: bar its record was taken over at a rebalance
    std::vector<double> next_dense_;
    std::vector<int> action_slot_;
    metrics::Grid price_, close_;
};

// Resolves the fill bars and prices of rows whose entry or exit bar had no
// trading price: an entry is filled at the next bar with a price, an exit at
// the last price the position was carried at.
void resolve_fills(const kernel::Run &run, Ledger &ledger);

// The order of the trade log (by entry fill, then stock), sorted here so
// that callers need not sort on the interpreter's thread.
void sort_entries(Ledger &ledger);

}  // namespace vostra::engine
