// The ledger's events on raw prices: cash dividends and splits dated on
// their ex-date, and deposits and withdrawals of cash (LedgerEvents). They
// happen at the bar's open, to what was held at the previous close, before
// the bar's revaluation (tests/model.py does the same operations):
// - With capital, a long receives shares x dividend in cash, less the
//   dividend tax withheld; a short pays shares x dividend in full. A split
//   multiplies the shares (and a waiting order's target) by its ratio and
//   divides the reference price of the next return by it, so the value and
//   the return trackers, and with them the stop, take-profit and trailing
//   levels, go on unmoved; a price limit's previous close is divided by it
//   too (fills.hpp). The fraction of a lot it leaves over is paid in cash at
//   the bar's close, after its trading ("cash in lieu").
// - Without capital, a dividend D enters the holding's return as (price + D)
//   / previous price and a split s as price * s / previous price, the price
//   being the bar's trading price: the reference price is divided by s and
//   multiplied by price / (price + D). A dividend on a bar without a trading
//   price waits for the next bar with one; a rebalance drops it.
// - A cash flow changes the cash at the open; a withdrawal beyond the cash
//   sells the longs pro rata at the bar's trading price, after its exits and
//   waiting orders, unless a rebalance is due: each the fraction
//   shortfall / (longs' value x (1 - slippage) x (1 - fee - tax)), at most 1,
//   rounded up to whole lots.
// Under the market's rules, bars with an event of a stock that may be held
// are taken by the bar loop: a stretch ends before them. Without them the
// quiet stretch reads its holdings' events itself (stretch.hpp): with
// capital a dividend only adds to the cash, which it pays in the bar loop's
// order, and only a split ends it; without capital its walks take both in
// the holding's column (holding_walk.hpp), the same operations at the bar's
// open, and only a dividend on a bar without a trading price ends it.
#pragma once
#include "stretch.hpp"

#include <limits>

namespace vostra::kernel::events {

inline double dividend_at(const Run &run, index_t d, int col) {
    const View2<double> &m = run.opt.events.dividends;
    if (!m.data) return 0.0;
    double x = m(d, col);
    return std::isnan(x) ? 0.0 : x;
}

inline double split_at(const Run &run, index_t d, int col) {
    const View2<double> &m = run.opt.events.splits;
    if (!m.data) return 1.0;
    double x = m(d, col);
    return std::isnan(x) || x == 0 ? 1.0 : x;
}

inline double flow_at(const Run &run, index_t d) {
    const View1<double> &f = run.opt.events.flows;
    if (!f.data) return 0.0;
    double x = f[d];
    return std::isnan(x) ? 0.0 : x;
}

// An event value a run uses is NaN or a finite amount >= 0.
template <class Host>
inline void check_event(Run &run, Host &host, PriceKind kind, double x, int sid, index_t bar) {
    if (!(std::isnan(x) || (x >= 0 && x <= 1.7976931348623157e308))) [[unlikely]]
        host.invalid_price(run, kind, x, sid, bar);
}

// The cash flows' bars and the scan state of every price column, once a run.
inline void set_up(Run &run) {
    std::size_t ncols = static_cast<std::size_t>(run.in.price.cols);
    run.event_bar.assign(ncols, -1);
    run.event_from.assign(ncols, -1);
    run.event_to.assign(ncols, -1);
    run.pending_dividend.assign(ncols, 0.0);
    for (index_t b = 0; b < run.opt.events.flows.size; ++b)
        if (flow_at(run, b) != 0) run.flow_bars.push_back(b);
    for (std::size_t b = 0; b < run.date_rebalance.size(); ++b)
        if (run.date_rebalance[b]) run.rebalance_bars.push_back(static_cast<index_t>(b));
}

constexpr index_t never = std::numeric_limits<index_t>::max();

// The first bar at or after d with an event in `bars`, from `next` on
// (bars are asked for in ascending order).
inline index_t next_of(const std::vector<index_t> &bars, std::size_t &next, index_t d) {
    while (next < bars.size() && bars[next] < d) ++next;
    return next < bars.size() ? bars[next] : never;
}

// Under the market's rules: the first bar in [d, end) with an event of
// held stock `sid` (never: none). A column is scanned only
// while a stock of it may be held, on from what it has scanned, as far as
// its next event or `end`; each value scanned is checked.
// Where next_event scans column `col` from bar d on (never: it knows).
inline index_t scan_from(const Run &run, int col, index_t d) {
    index_t found = run.event_bar[col], from = run.event_from[col], to = run.event_to[col];
    bool covered = from >= 0 && from <= d;
    if (covered && found != never && found >= d) return never;
    return covered && found == never && to > d ? to : d;
}

// The column pointers next_event reads.
inline const char *dividend_column(const Run &run, int col) {
    const View2<double> &m = run.opt.events.dividends;
    return m.data ? m.data + col * m.col_stride : nullptr;
}

inline const char *split_column(const Run &run, int col) {
    const View2<double> &m = run.opt.events.splits;
    return m.data ? m.data + col * m.col_stride : nullptr;
}

template <class Host>
index_t next_event(Run &run, Host &host, int sid, int col, index_t d, index_t end) {
    index_t &found = run.event_bar[col], &from = run.event_from[col], &to = run.event_to[col];
    index_t start = scan_from(run, col, d);
    if (start == never) return found < end ? found : never;
    if (start == d) from = d;
    // The columns in locals: the loop reads nothing else.
    const char *div = dividend_column(run, col), *split = split_column(run, col);
    index_t div_step = run.opt.events.dividends.row_stride, split_step = run.opt.events.splits.row_stride;
    for (index_t b = div || split ? start : end; b < end; ++b) {
        bool event = false;
        if (div) {
            double x = load<double>(div + b * div_step);
            if (!std::isnan(x)) {
                check_event(run, host, PriceKind::dividend, x, sid, b);
                event = x > 0;
            }
        }
        if (split) {
            double x = load<double>(split + b * split_step);
            if (!std::isnan(x)) {
                check_event(run, host, PriceKind::split, x, sid, b);
                event = event || (x > 0 && x != 1);
            }
        }
        if (event) {
            found = b;
            to = b + 1;
            return b;
        }
    }
    found = never;
    to = std::max(to, end);
    return never;
}

// Whether a stretch may start at bar d: not while a dividend waits for a
// price; the first cash flow from d on is marked for the bar loop, which the
// stretch ends before. Under the market's rules only the stocks held or
// waiting at its start may be held in it: their columns are scanned as far
// as the bar after the next scheduled rebalance (where a stretch mostly
// ends), and the first event bar there, or else that bar, is marked too.
template <class Host>
bool stretch_may_start(Run &run, Host &host, index_t d) {
    if (run.pending_count != 0) return false;
    index_t nbars = run.in.price.rows;
    index_t end = std::min(std::min(next_of(run.rebalance_bars, run.rebalance_next, d), nbars - 1) + 1,
                           d + detail::max_stretch);
    index_t first = next_of(run.flow_bars, run.flow_next, d);
    if (run.opt.account.market.on && (run.opt.events.dividends.data || run.opt.events.splits.data)) {
        // The lines of every column to scan are asked for first, so that
        // their reads overlap instead of waiting one by one.
        auto ahead = [&](int sid) {
            int col = run.price_column(sid);
            index_t start = scan_from(run, col, d);
            if (start == never) return;
            prefetch_bars(dividend_column(run, col), run.opt.events.dividends.row_stride, start, end);
            prefetch_bars(split_column(run, col), run.opt.events.splits.row_stride, start, end);
        };
        for (int sid : run.pos.keys()) ahead(sid);
        for (int sid : run.waiting) ahead(sid);
        auto stock = [&](int sid) {
            first = std::min(first, next_event(run, host, sid, run.price_column(sid), d, end));
        };
        for (int sid : run.pos.keys()) stock(sid);
        for (int sid : run.waiting) stock(sid);
        first = std::min(first, end);
    }
    if (first == d) return false;
    if (first < nbars) run.delisting_at[first] = 1;
    return true;
}

// Splits held stock `sid` by `ratio` at the open.
template <class Host>
void split(Run &run, Host &host, int sid, int col, double ratio) {
    run.previous_price[col] = run.previous_price[col] / ratio;
    double &pending = run.pending_dividend[col];
    if (pending != 0) pending = pending / ratio;
    if (!run.opt.account.on) return;
    host.on_split(run, sid, ratio);
    run.shares[sid] = run.shares[sid] * ratio;
    if (market::waits(run, sid)) run.orders[run.waiting_order[sid]].target *= ratio;
    run.split_today.push_back(sid);
}

// The dividend of the normalised account waiting in `col`, taken into the
// reference price once the stock has a trading price.
template <class Host>
void reinvest(Run &run, Host &host, int sid, int col) {
    double price = run.in.price(run.d, col);
    if (std::isnan(price)) return;
    double div = run.pending_dividend[col];
    run.pending_dividend[col] = 0.0;
    --run.pending_count;
    double prev = run.previous_price[col];
    if (std::isnan(prev)) return;
    host.on_dividend(run, sid, run.pos[sid] * div / prev, false);
    run.previous_price[col] = prev * (price / (price + div));
}

// Drops the normalised account's waiting dividends (a rebalance takes every
// reference price afresh).
inline void drop_pending(Run &run) {
    if (run.pending_count == 0) return;
    std::fill(run.pending_dividend.begin(), run.pending_dividend.end(), 0.0);
    run.pending_count = 0;
}

// A cash flow of a bar before the first signal.
template <class Host>
void warm_up_flow(Run &run, Host &host) {
    double f = run.opt.account.on ? flow_at(run, run.d) : 0.0;
    if (f == 0) return;
    host.on_date(run, run.d);
    run.cash = run.cash + f;
    host.on_flow(run, f);
}

// The events of bar run.d at its open.
template <class Host>
void at_open(Run &run, Host &host) {
    index_t d = run.d;
    bool account = run.opt.account.on;
    run.split_today.clear();
    if (account) {
        double f = flow_at(run, d);
        if (f != 0) {
            run.cash = run.cash + f;
            host.on_flow(run, f);
        }
    }
    for (int sid : run.pos.keys()) {
        int col = run.price_column(sid);
        if (run.opt.events.splits.data) check_event(run, host, PriceKind::split, run.opt.events.splits(d, col), sid, d);
        if (run.opt.events.dividends.data)
            check_event(run, host, PriceKind::dividend, run.opt.events.dividends(d, col), sid, d);
        double ratio = split_at(run, d, col);
        if (ratio != 1) split(run, host, sid, col, ratio);
        double div = dividend_at(run, d, col);
        if (div != 0 && account) {
            pay_dividend(run, host, sid, div);
        } else if (div != 0 && run.pos[sid] != 0) {
            double &pending = run.pending_dividend[col];
            if (pending == 0) ++run.pending_count;
            pending = pending + div;
        }
        if (!account && run.pending_dividend[col] != 0) reinvest(run, host, sid, col);
    }
}

// A long the withdrawal sales may sell: its shares and trading price.
struct Long {
    int sid;
    double shares, price;
};

// A withdrawal left the cash below 0: the longs are sold pro rata.
template <class Host>
void withdrawal_sales(Run &run, Host &host) {
    double shortfall = -run.cash;
    std::vector<Long> longs;
    double total = 0.0;
    for (int sid : run.pos.keys()) {
        double n = run.shares[sid];
        double price = run.in.price(run.d, run.price_column(sid));
        if (n > 0 && run.pos[sid] != 0 && !std::isnan(price) && !market::exit_waits(run, sid)) {
            longs.push_back({sid, n, price});
            total = total + n * price;
        }
    }
    if (!(total > 0)) return;
    const AccountOptions &a = run.opt.account;
    double f = shortfall / (total * (1 - a.slippage) * (1 - run.costs.fee_ratio - run.costs.tax_ratio));
    if (!(f < 1)) f = 1.0;
    for (const Long &l : longs) {
        double sold = l.shares * f;
        double lot = market::lot_of(run, l.sid);
        if (lot > 0) sold = std::ceil(sold / lot) * lot;
        if (sold > l.shares) sold = l.shares;
        if (!(sold > 0)) continue;
        market::place(run, l.sid, l.shares - sold, l.price, ExitReason::withdrawal);
        double shares = market::capped(run, l.sid, l.shares - sold, l.price);
        if (shares == 0)
            run.cash = account::close(run, host, l.sid, run.cash, true, ExitReason::withdrawal, l.price);
        else if (shares != l.shares)
            run.cash = account::trade(run, host, l.sid, shares, l.price, __builtin_nan(""), run.cash, false);
        run.order_now = -1;
    }
}

// The odd shares this bar's splits left, paid at its close.
template <class Host>
void cash_in_lieu(Run &run, Host &host) {
    index_t d = run.d;
    for (int sid : run.split_today) {
        double lot = market::lot_of(run, sid);
        if (!(lot > 0) || !run.pos.contains(sid) || run.shares[sid] == 0) continue;
        double n = run.shares[sid];
        double whole = std::trunc(n / lot) * lot;
        double odd = n - whole;
        if (odd == 0) continue;
        int col = run.price_column(sid);
        double trade_price = run.in.price(d, col), close = run.in.close(d, col);
        double held = run.pos[sid];
        double amount = marked_value(held, trade_price, close) * (odd / n);
        if (whole == 0) {
            host.on_exit(run, sid, true, ExitReason::cash_in_lieu, held, std::isnan(close) ? trade_price : close);
            run.pos.erase(sid);
            market::stop_waiting(run, sid);
        } else {
            run.pos.set(sid, held * (whole / n));
        }
        run.shares[sid] = whole;
        run.cash = run.cash + amount;
        run.traded = true;
        host.on_fill(run, sid, amount, 0.0, 0.0);
    }
}

}  // namespace vostra::kernel::events
