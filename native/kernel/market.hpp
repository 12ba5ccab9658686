// What one run reads: the market and the signal as strided views, the
// options as plain values, and the column labels as bytes the run owns.
#pragma once
#include "views.hpp"

#include <string>
#include <vector>

namespace vostra::kernel {

struct Market {
    View2<double> price, close, high, low, open;  // rows are bars, columns price columns
    View2<double> weights;                          // rows are signal rows, columns signal columns
    View1<std::int64_t> price_dates, pos_dates, resample_dates;
    bool has_delisting_bars = false;
    View1<std::int64_t> delisting_bars;              // per signal column: bar of delisting, < 0 never
};

// The account of a native-ledger run: starting capital, lot sizes, a
// minimum fee, slippage, leverage and financing (see account.hpp). With
// every value at its default `on` is false and a run keeps the normalised
// account of backtest_ bit for bit.
// What the market lets an account fill (fills.hpp): at most a share of each
// bar's volume, nothing at a daily price limit, nothing on a blocked cell.
// The matrices are bars x price columns; `on` is false when none is given.
struct MarketRules {
    bool on = false;
    View2<double> volume;              // empty: no volume cap
    double max_volume_share = 0;
    double price_limit = 0;            // a fraction of the previous close; 0: none
    View2<std::uint8_t> blocked;       // empty: nothing blocked
};

struct AccountOptions {
    bool on = false;
    double capital = 1.0;
    std::vector<double> lot;  // per signal column, whole shares a lot; empty or 0: fractional shares
    double min_fee = 0, slippage = 0, leverage = 1;
    double borrow_per_bar = 0, cash_per_bar = 0;  // annual rates over periods per year
    MarketRules market;
    bool financing() const { return borrow_per_bar != 0 || cash_per_bar != 0; }
};

// The ledger's events (events.hpp): cash dividends per share and splits
// (new shares per old one) dated on their ex-date, bars x price columns
// (NaN or 0: none), cash flows per bar (deposits > 0), and the share of a
// long's dividends withheld. `on` is false when none is given.
struct LedgerEvents {
    bool on = false;
    View2<double> dividends, splits;  // empty: none
    View1<double> flows;               // empty: none
    double dividend_tax = 0;
};

struct Options {
    double fee_ratio = 0.001425, tax_ratio = 0.003, stop_loss = 1.0;
    double take_profit = __builtin_inf(), trail_stop = __builtin_inf(), trail_stop_activation = 0.0;
    bool touched_exit = false;
    double position_limit = 1.0;
    bool retain_cost_when_rebalance = false;
    bool periodically_rebalance = true;
    int orbalt_window = 0, orbalt_window_step = 1;
    // A holding without a price on a rebalance bar keeps its reference
    // price, so its move across the gap is credited (always so in an
    // account in currency; backtest_ restarts it at the missing price).
    bool credit_gaps = false;
    // With the account and retain_cost_when_rebalance, a fill that adds to
    // a position on its side moves its stops to the record's new entry.
    bool rebase_stops = false;
    AccountOptions account;  // only the native ledger reads it
    LedgerEvents events;     // and this
};

// A label's identity: the UTF-8 bytes of its text, owned by the run.
using Labels = std::vector<std::string>;

// Why a trade ended, for the native ledger.
// `withdrawal`: sold to pay a withdrawal beyond the cash; `cash_in_lieu`:
// a split left less than a lot, paid out at the close.
enum class ExitReason : std::uint8_t {
    rebalance,
    stop_loss,
    take_profit,
    trail_stop,
    delisting,
    open,
    withdrawal,
    cash_in_lieu
};

}  // namespace vostra::kernel
