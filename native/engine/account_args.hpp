// The account options of vostra._engine.run and run_many (capital, lot_size,
// min_fee, slippage, leverage, borrow_rate, cash_rate, periods_per_year, the
// market rules volume, max_volume_share, price_limit, blocked, and the
// ledger's events dividends, splits, cash_flows, dividend_tax):
// taken out of the keywords before the arguments backtest_ shares are
// bound, checked, and turned into the kernel's plain values.
#pragma once
#include "common/pyref.hpp"
#include "kernel/market.hpp"

namespace vostra::engine {

inline constexpr const char *account_names[] = {
    "capital",  "lot_size",  "min_fee", "slippage",         "leverage",    "borrow_rate",
    "cash_rate", "periods_per_year", "volume", "max_volume_share", "price_limit", "blocked",
    "dividends", "splits", "cash_flows", "dividend_tax"};
inline constexpr int account_count = 16;

struct AccountArgs {
    Ref v[account_count];  // as given, null where absent
};

// Removes the account options from `kwargs` (a dict the caller owns, or
// null) and returns them.
AccountArgs pop_account(PyObject *kwargs);

// Checks the options (ValueError or TypeError naming the option) and fills
// `out`; `columns` is the number of signal columns, `market` the run's
// market (the volume and blocked matrices share the price matrix's shape).
void convert_account(const AccountArgs &args, Py_ssize_t columns, const kernel::Market &market,
                     kernel::AccountOptions &out);

// Checks the events (dividends and splits share the price matrix's shape,
// cash flows are one per bar and need capital) and fills `out`.
void convert_events(const AccountArgs &args, const kernel::Market &market, kernel::LedgerEvents &out);

}  // namespace vostra::engine
