// The state of one run, shared by the bar loop, the exit rules, the ledger
// and the report, and the interface through which the simulation body talks
// to its host.
//
// The body is written once, as templates over a Host policy that decides how
// a trade is recorded, how a run-wide setting is read and how a failure is
// reported. A host provides (all called on the simulating thread):
//
//   void start(Run &)                          after set-up, before the first bar
//   void on_date(Run &, index_t d)             a bar after the warm-up begins
//   void on_entry(Run &, int sid, double weight, bool paid, double target, double fill_price)
//   void on_exit(Run &, int sid, bool paid, ExitReason, double value, double fill_price)
//   void on_fill(Run &, int sid, double cash_delta, double traded, double cost)
//   bool splits_held_trades(Run &)             a held stock starts a new trade record at a rebalance
//   bool stop_trading(Run &)                   stopped stocks sit out the next rebalance
//   decltype(auto) frame(Frame, F &&body)      runs one internal operation
//   [[noreturn]] void invalid_price(Run &, PriceKind, double value, int sid, index_t row)
//   void on_mark(Run &, index_t d, double gross, int holdings)   if Host::wants_marks
//   void on_interest(Run &, double amount)     if Host::account_rules: cash interest of this bar
//   void on_borrow(Run &, int sid, double cash_delta)   if Host::account_rules: a short's borrow fee
//   void on_order_fill(Run &, const Fill &)    if Host::account_rules: every fill of an order
//   void on_dividend(Run &, int sid, double amount, bool cash)   if Host::account_rules: a dividend
//   void on_flow(Run &, double amount)         if Host::account_rules: a deposit or withdrawal
//   void on_split(Run &, int sid, double ratio)   if Host::account_rules: a held stock splits
//   void on_close_replaced(Run &, int sid)     if Host::account_rules: a rebalance replaces the
//                                              closing order of sid, which filled in part
//   double entry_price(Run &, int sid)         if Host::account_rules: the entry price of sid's
//                                              open record after the fills told so far
//   void end(Run &)                            after the last bar
//
// The entry and exit notices come before the ledger changes anything, in the
// order the trade record needs; on_fill follows every change of a holding
// with the cash it moved.
#pragma once
#include "columns.hpp"
#include "positions.hpp"

#include <cmath>
#include <utility>
#include <vector>

namespace vostra::kernel {

// Internal operations a host may name in what it reports of a failure.
enum class Frame : std::uint8_t { set_position, rebalance, validate_trade_price, validate_price };

// An exit list element: the stock and the side of its exit. `positive` is
// the upper side of a close-mode mark, or the profit side of an intrabar
// exit; `reason` is the level that was crossed.
struct SideSid {
    int sid;
    bool positive;
    ExitReason reason;
};
using ExitList = std::vector<SideSid>;

struct Costs {
    double fee_ratio, tax_ratio;
};

// A holding at the end of a quiet stretch: its value, return trackers and
// reference price.
struct StretchState {
    double held, cr, maxcr, mincr, prev;
};

// A dividend or split of holding k on bar `bar` that the normalised
// account's stretch walks take in the holding's column (dividend 0: none,
// ratio 1: none), and the amount of the dividend the walk recorded there
// (`paid`: whether it recorded one).
struct WalkEvent {
    index_t bar;
    std::uint32_t k;
    bool paid;
    double dividend, ratio, amount;
};

// The exit a stretch walk found for one holding: the bar it is taken on
// (-1 for none; in close mode the bar after the mark), the holding's value
// and fill price there, its rule and the side of the exit list it goes to.
// A close-mode mark on the stretch's last bar is `pending`: the bar loop
// sells it on the next bar.
struct WalkExit {
    index_t bar;
    double value, fill;
    ExitReason reason;
    bool positive, pending;
};

// Nonzero weights in ascending column order.
struct NonzeroWeights {
    std::vector<int> column;
    std::vector<double> weight;
    void clear() {
        column.clear();
        weight.clear();
    }
    void push(int c, double w) {
        column.push_back(c);
        weight.push_back(w);
    }
};

// The nonzero weights of every signal row, as the weight scan lists them:
// row r's are entries [start[r], start[r + 1]). Without `start` (a matrix
// too dense for lists to pay) a rebalance reads its row.
struct SparseRows : NonzeroWeights {
    std::vector<std::int64_t> start;
    bool lists(index_t row) const { return row >= 0 && static_cast<std::size_t>(row) + 1 < start.size(); }
};

// A stock a rebalance of the account visits: its target value, its target
// shares (NaN where it cannot trade), the bar's trading price, and the pass
// that trades it (sales, covers of shorts, purchases). A waiting order whose
// fill of this bar was worked out ahead names it in `plan` (run.planned).
struct AccountTarget {
    int sid;
    double value, shares, price;
    std::uint8_t pass;
};

// A fill of a waiting order worked out ahead, down its stock's column
// (order_walk.hpp): its bar, the shares held after it, the change, the bar's
// trading price, the fill price, value, fee and cost as a trade charges
// them, its pass, whether it ends its order, and the holding's state after
// the bar's revaluation, before the fill.
struct PlannedFill {
    index_t bar;
    double shares, delta, price, fill, traded, fee, cost;
    std::uint8_t pass;
    bool completes;
    StretchState before;
};

// A fill worked out ahead, listed under its bar (planned_fills.hpp): its
// place in the bar's booking order (pass, then stock id), in run.planned
// and its stretch stock; or a target of an order taken bar by bar (`k`
// busy_target, `plan` its place in run.targets). `shares_before` is kept
// for the fill.
struct BarFill {
    std::uint64_t key;
    std::uint32_t plan, k;
    double shares_before;
};
inline constexpr std::uint32_t busy_target = 0xffffffffu;

// An order of the account: placed at `bar` for `target` shares of `sid`,
// the change `shares` it asked for, the trading price then, and why.
struct Order {
    index_t bar;
    int sid;
    double target, shares, price;
    ExitReason reason;
    bool cut;  // the cash cut the purchase short of its target, which ended it
};

// A fill of an order: the shares it moved (+ bought, - sold), at what price,
// its value and cost, and whether it ended its order.
struct Fill {
    index_t bar;
    int sid;
    double shares, price, value, cost;
    std::int64_t order;
    bool completed;
};

struct Run {
    const Market &in;
    const Options &opt;
    const ColumnMap &columns;
    const SparseRows *sparse = nullptr;  // the weight scan's lists, if it made them
    Costs costs;
    PositionMap pos;
    double cash = 1.0, balance = 1.0;
    std::vector<double> cr, maxcr, mincr, previous_price;
    std::vector<std::uint8_t> date_rebalance, delisting_at;
    index_t d = 0;                       // the bar being simulated
    index_t pos_id = 0, current_position_id = -1;
    bool should_rebalance = false, has_delisting = false;
    bool traded = false;                 // a holding changed on this bar
    double stop_loss_abs = 0, take_profit_abs = 0, trail_stop_abs = 0, trail_stop_activation_abs = 0;
    bool no_stops = false;  // every stop distance infinite: the exit levels are too
    ExitList exit_stocks, exit_stocks_temp, exited_stocks;
    std::vector<int> delisted_stocks;
    std::vector<int> latest_rebalanced_keys;  // ids held right after the last rebalance
    std::vector<int> held_before;             // scratch of a rebalance: the ids held before it
    // The row the last rebalance applied: signal row `current_position_id`,
    // or, when stopped stocks sat it out, that row with the columns of
    // `sat_out` at 0. That copy of a whole row is made in `adjusted_row`
    // only when something reads every column of it (the report, a rebalance
    // at an infinite balance): a rebalance needs only the row's nonzero
    // weights.
    bool latest_row_adjusted = false;
    std::vector<int> sat_out;
    mutable std::vector<double> adjusted_row;
    NonzeroWeights row_nonzero;          // scratch of a rebalance: the row's nonzero weights
    std::vector<int> visit;              // and the columns it trades
    std::int64_t date = 0;               // timestamp of the last bar processed
    // Quiet stretches (see stretch.hpp): the bar before which the bar loop
    // takes every bar (a stretch it had to hand back), and the scratch of a
    // stretch: per bar and holding the mark and whether it is held, per
    // holding its id, its state at the end and its exit, and the holdings
    // with an exit in the order they are taken.
    index_t loud_until = 0;
    std::vector<double> stretch_marks;
    std::vector<std::uint8_t> stretch_nonzero;
    std::vector<int> stretch_keys;
    std::vector<StretchState> stretch_state;
    std::vector<WalkExit> stretch_exit;
    std::vector<std::uint32_t> stretch_exits;
    std::vector<std::pair<index_t, std::uint32_t>> stretch_dividends;  // (bar, holding) a stretch pays
    // A stretch under the market's rules (waiting.hpp): the stocks with a
    // waiting order at its start (ascending), walked once their order is
    // done; all stocks in stock order (their indices: the walked holdings',
    // then these) and the ones taken bar by bar; per stock whether it is,
    // the bar its walk starts (-1: not walked) and the bar from which it is
    // taken bar by bar again (-1: never), its states at those bars, its
    // value carried as far as a bar that asked for it, and where its marks
    // are.
    std::vector<int> busy;
    std::vector<std::uint32_t> stretch_order, busy_now;
    std::vector<std::uint8_t> busy_flag;
    std::vector<index_t> walk_from, busy_from;
    std::vector<StretchState> stretch_start, busy_from_state, carried;
    std::vector<index_t> carried_bar;
    std::vector<std::size_t> mark_base, mark_stride;
    std::vector<std::uint8_t> held_before_retry;
    std::vector<double> value_before_retry;
    double cash_before_retry = 0;
    // The waiting orders walked down their columns (order_walk.hpp): their
    // fills in bar order per stock, and per stretch stock the next of them,
    // the bar from which it is taken bar by bar again with its state then,
    // and its values before each bar's retry up to there; per stock id the
    // stretch stock whose order is walked (-1: none); per stretch stock
    // whether its order is walked, and per bar of the stretch the walks
    // that stop there (some no longer walked, or walked again since).
    std::vector<PlannedFill> planned;
    std::vector<std::size_t> plan_next, plan_end;
    std::vector<index_t> plan_until;
    std::vector<StretchState> plan_stop_state;
    std::vector<double> plan_values;
    std::vector<std::int32_t> plan_of;
    std::vector<std::uint8_t> order_walked;
    std::vector<std::vector<std::uint32_t>> walk_stops;
    std::vector<std::vector<BarFill>> bar_fills;  // per bar of the stretch: the fills planned for it
    std::vector<BarFill> bar_queue, bar_scratch;  // scratch: a bar's fills in booking order
    std::vector<double> rewalk_marks;
    std::vector<std::uint8_t> rewalk_nonzero;
    ExitList walked_pending;
    // The account (account.hpp): shares held per stock id, and the scratch
    // of a rebalance, its target value per visited stock.
    std::vector<double> shares;
    std::vector<AccountTarget> targets;
    // Orders of the account (fills.hpp): every order placed, per stock id
    // the one waiting (-1: none), the ids with one (ascending), and the
    // order being filled.
    std::vector<Order> orders;
    std::vector<std::int64_t> waiting_order;
    std::vector<int> waiting;
    std::int64_t order_now = -1;
    std::vector<double> shares_before;  // scratch of the waiting orders' fills
    std::vector<std::uint32_t> by_pass;   // scratch of account::fill_targets: targets in pass order
    std::vector<index_t> fill_bar;        // per stock id: the bar of its last fill
    std::vector<double> filled_in_bar;    // and the shares filled on that bar
    // The ledger's events (events.hpp): per price column the bars
    // [event_from, event_to) scanned (-1: none) and the event found there
    // (never: none), the dividends
    // of the normalised account waiting for a trading price (per price
    // column, 0: none) and how many wait, and the stocks split on this bar.
    std::vector<index_t> event_bar, event_from, event_to;
    std::vector<double> pending_dividend;
    std::size_t pending_count = 0;
    std::vector<int> split_today;
    std::vector<index_t> flow_bars, rebalance_bars;  // bars with a cash flow, with a scheduled rebalance
    std::size_t flow_next = 0, rebalance_next = 0;
    // The normalised account's events a stretch's walks take: holding k's
    // are walk_events[walk_event_start[k], walk_event_start[k + 1]) by bar
    // (no list: none taken), and the dividends they recorded by bar, in
    // stock order within a bar.
    std::vector<WalkEvent> walk_events;
    std::vector<std::uint32_t> walk_event_start, walk_paid;

    Run(const Market &m, const Options &o, const ColumnMap &c)
        : in(m), opt(o), columns(c), costs{o.fee_ratio, o.tax_ratio} {}

    int price_column(int sid) const { return columns.column(sid); }
    View1<double> latest_rebalanced_row() const {
        View1<double> row = in.weights.row(current_position_id);
        return latest_row_adjusted ? without_sat_out(row) : row;
    }
    // `row` with the columns of `sat_out` at 0, copied into adjusted_row.
    View1<double> without_sat_out(const View1<double> &row) const {
        adjusted_row.resize(static_cast<std::size_t>(row.size));
        for (index_t i = 0; i < row.size; ++i) adjusted_row[i] = row[i];
        for (int sid : sat_out) adjusted_row[sid] = 0.0;
        return {reinterpret_cast<const char *>(adjusted_row.data()), row.size, sizeof(double)};
    }
};

// Whether a host takes the account rules; backtest_'s host does not, and
// compiles without them.
template <class Host>
concept account_host = requires { requires Host::account_rules; };

// Return trackers of a stock start again at 1 (entry, or after it is sold).
inline void reset_trackers(Run &run, int sid) { run.cr[sid] = run.maxcr[sid] = run.mincr[sid] = 1.0; }

// A bar a stretch takes: the host told its date, nothing traded on it yet.
template <class Host>
inline void start_bar(Run &run, Host &host, index_t b) {
    run.d = b;
    run.date = run.in.price_dates[b];
    host.on_date(run, b);
    run.traded = false;
}

// With capital, a held stock's cash dividend `div` a share at the bar's
// open: a long receives it less the dividend tax withheld, a short pays it.
template <class Host>
inline void pay_dividend(Run &run, Host &host, int sid, double div) {
    double n = run.shares[sid];
    if (n == 0) return;
    double amount = n * div;
    if (n > 0) amount = amount - amount * run.opt.events.dividend_tax;
    run.cash = run.cash + amount;
    host.on_dividend(run, sid, amount, true);
}

// Asks for the cache lines of bars [start, end) of a column whose bars lie
// `step` bytes apart: one a line where they are closer than a line.
inline void prefetch_bars(const char *column, index_t step, index_t start, index_t end) {
    if (!column || start >= end) return;
    index_t every = step > 0 && step < 64 ? 64 / step : 1;
    for (index_t b = start; b < end; b += every) __builtin_prefetch(column + b * step);
    __builtin_prefetch(column + (end - 1) * step);
}

inline bool usable_price(double v) { return std::isnan(v) || (v > 0 && v <= 1.7976931348623157e308); }

// Stops the run for a price of a held stock that is neither missing (NaN)
// nor a positive finite number. A zero, negative or infinite close, high,
// low or open would otherwise be used as it is and give a plausible but
// wrong curve.
template <class Host>
inline void validate_price(Run &run, Host &host, PriceKind kind, double value, int sid) {
    if (!usable_price(value)) [[unlikely]]
        host.invalid_price(run, kind, value, sid, run.d);
}

// A position's value at the close: carried at the trading price between
// bars, marked to the close only for the result.
inline double marked_value(double val, double trade_price, double close_price) {
    if (std::isnan(trade_price) || std::isnan(close_price)) return val;
    return checked_div(val * close_price, trade_price);
}

// Sum of |row| in NumPy's pairwise order (what numpy.abs(row).sum() gives)
// for a row of `size` weights whose nonzero ones are `nonzero`: zeros (whose
// +0.0 additions change no partial sum) are not visited.
double pairwise_abs_sum(index_t size, const NonzeroWeights &nonzero);

// The nonzero weights of a row, read from the row.
void nonzero_weights(const View1<double> &row, NonzeroWeights &out);

// Appends the nonzero weights of the n contiguous weights at p (columns
// first_column + i).
void append_nonzero(const double *p, index_t n, int first_column, NonzeroWeights &out);

}  // namespace vostra::kernel
