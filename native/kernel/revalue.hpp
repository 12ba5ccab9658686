// One held position on a bar of the bar loop: its revaluation at the
// trading price with the exit rules, and what its mark to close adds up.
// The busy stocks of a stretch under the market's rules take the same steps.
#pragma once
#include "exits.hpp"

namespace vostra::kernel::detail {

// What the mark to close of a bar adds up.
struct Mark {
    double balance, gross = 0;
    int holdings = 0;
    bool ok = true;  // false when a price needs the checks of the mark pass proper
};

template <class Host>
[[gnu::always_inline]] inline void add_mark(Mark &m, double val, double trade_price, double close_price) {
    double v = marked_value(val, trade_price, close_price);
    m.balance += v;
    if constexpr (Host::wants_marks) {
        m.gross += std::fabs(v);
        m.holdings += val != 0;
    }
}

// How many bars ahead a revaluation asks for a held column's prices.
inline constexpr index_t prefetch_ahead = 16;

struct Prices {
    double trade, close;
};

// Revalues held stock `sid` at this bar's trading price and applies the
// exit rules to it; returns the bar's trading and (when `need_close`) close
// prices.
template <class Host>
[[gnu::always_inline]] inline Prices revalue_one(Run &run, Host &host, int sid, bool need_close, bool prefetch) {
    const Market &in = run.in;
    index_t d = run.d;
    int col = run.price_column(sid);
    // Price matrices from pandas are column-major: each held stock is its own
    // stream through memory, too many for the hardware prefetcher to follow.
    if (prefetch) {
        __builtin_prefetch(in.price.row_ptr(d + prefetch_ahead) + col * in.price.col_stride);
        __builtin_prefetch(in.close.row_ptr(d + prefetch_ahead) + col * in.close.col_stride);
    }
    double trade_price = in.price(d, col);
    validate_price(run, host, PriceKind::trading, trade_price, sid);
    double close = need_close ? in.close(d, col) : 0.0;
    double &prev = run.previous_price[col];
    if (std::isnan(prev)) prev = trade_price;
    double r = checked_div(trade_price, prev);
    if (std::isnan(r)) r = 1;  // a missing price keeps the position where it was
    double &held = run.pos.value(sid);
    double value = held * r;
    held = value;
    double &cr = run.cr[sid];
    cr = cr * r;
    if (cr > run.maxcr[sid]) run.maxcr[sid] = cr;
    if (cr < run.mincr[sid]) run.mincr[sid] = cr;
    if (cr == 0) zero_division();  // no entry value to derive
    // A holding already closed by an intrabar stop is flat: it has no
    // exit levels left to reach.
    if (value != 0 && !market::exit_waits(run, sid)) position_exits(run, host, sid, col, r, value, trade_price, close);
    if (!std::isnan(trade_price)) prev = trade_price;
    return {trade_price, close};
}

}  // namespace vostra::kernel::detail
