// Excursion metrics: MAE, MFE, best MFE before the worst point, drawdown,
// profit bars and return, sampled every window step and at the exit.
#include "metrics.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace vostra::metrics {

namespace {

[[noreturn, gnu::noinline, gnu::cold]] void fault(Fault::Kind kind, std::int64_t subscript = 0, std::int64_t size = 0) {
    throw Fault{kind, subscript, size};
}

// grid[row][col] with the indexing rules of a NumPy array: negative
// subscripts count from the end, out-of-range ones fault.
[[gnu::always_inline]] inline double at(const Grid &g, std::int64_t row, std::int64_t col) {
    std::int64_t r = row < 0 ? row + g.rows : row;
    if (r < 0 || r >= g.rows) [[unlikely]]
        fault(Fault::out_of_range, row, g.rows);
    std::int64_t c = col < 0 ? col + g.cols : col;
    if (c < 0 || c >= g.cols) [[unlikely]]
        fault(Fault::out_of_range, col, g.cols);
    double v;
    std::memcpy(&v, g.data + r * g.row_stride + c * g.col_stride, sizeof v);
    return v;
}

[[gnu::always_inline]] inline double divide(double a, double b) {
    if (b == 0) [[unlikely]]
        fault(Fault::zero_division);
    return a / b;
}

}  // namespace

void walk(const Grid &price, const Grid &close, const Trade &t, Path &p) {
    std::int64_t i_exit_max = t.i_exit;
    if (t.i_entry + t.window > i_exit_max) i_exit_max = t.i_entry + t.window;
    if (i_exit_max >= price.rows) i_exit_max = price.rows - 1;
    std::int64_t n = i_exit_max - t.i_entry + 1;
    if (n < 0) fault(Fault::negative_size);

    for (auto *v : {&p.returns, &p.cummax, &p.cummin, &p.mdd, &p.profit_period}) {
        v->clear();
        v->reserve(static_cast<std::size_t>(n));
    }
    p.cummin_i.clear();
    p.cummin_i.reserve(static_cast<std::size_t>(n));

    double entry_price = at(price, t.i_entry, t.pid);
    double entry_close = at(close, t.i_entry, t.pid);
    double ratio = t.is_long ? divide(entry_close, entry_price) : 2 - divide(entry_close, entry_price);
    if (t.entry_cost) ratio = ratio * (1 - t.fee_ratio);
    p.returns.push_back(ratio);
    p.cummax.push_back(ratio < 1.0 ? 1.0 : ratio);
    p.cummin.push_back(ratio > 1.0 ? 1.0 : ratio);
    p.cummin_i.push_back(0);
    p.mdd.push_back(ratio - 1 < 0 ? ratio - 1 : 0.0);
    p.profit_period.push_back(ratio > 1.0 ? 1.0 : 0.0);
    double pv = entry_close;

    std::int64_t ith = t.i_entry;
    for (std::int64_t k = 1; k < n; ++k) {
        ith = t.i_entry + k;
        double c = at(close, ith, t.pid);
        bool has_close = !std::isnan(c);
        if (has_close) {
            double v = divide(c, pv);
            pv = c;
            // A missing previous close leaves the ratio where it was.
            if (!std::isnan(v)) ratio = t.is_long ? ratio * v : 2 - v * (2 - ratio);
        }
        double cmax = p.cummax[k - 1];
        if (ratio > cmax) cmax = ratio;
        p.cummax.push_back(cmax);
        if (ratio < p.cummin[k - 1]) {
            p.cummin.push_back(ratio);
            p.cummin_i.push_back(k - 1);
        } else {
            p.cummin.push_back(p.cummin[k - 1]);
            p.cummin_i.push_back(p.cummin_i[k - 1]);
        }
        double newmdd = divide(ratio, cmax) - 1;
        p.mdd.push_back(p.mdd[k - 1] > newmdd ? newmdd : p.mdd[k - 1]);
        p.profit_period.push_back(has_close && ratio > 1.0 ? p.profit_period[k - 1] + 1 : p.profit_period[k - 1]);
        p.returns.push_back(ratio);
    }

    if (t.exit_cost) {
        std::size_t last = static_cast<std::size_t>(n - 1);
        if (t.i_entry != i_exit_max) {
            // The span has no bar after the entry: there is no last bar to
            // revalue at the trade price.
            if (n == 0) fault(Fault::unbound_exit_bar);
            double trade = at(price, ith, t.pid);
            double c = at(close, ith, t.pid);
            if (t.is_long)
                p.returns[last] = p.returns[last] * divide(trade, c);
            else
                p.returns[last] = 2 - divide((2 - p.returns[last]) * trade, c);
        }
        p.returns[last] = p.returns[last] * (1 - t.fee_ratio - t.tax_ratio);
    }
}

std::int64_t array_size(std::int64_t window, std::int64_t step) {
    if (step == 0) fault(Fault::zero_division);
    std::int64_t a = window - 1;
    std::int64_t q = a / step;
    if (a % step != 0 && ((a < 0) != (step < 0))) --q;  // floor division
    return q * 6 + 12;
}

void write_groups(const Path &p, const Trade &t, std::int64_t step, double *out, std::int64_t size) {
    auto put = [&](std::int64_t at, std::int64_t w) {
        std::int64_t i = at < 0 ? at + size : at;
        if (i < 0 || i + 5 >= size) fault(Fault::buffer_index);
        out[i] = p.cummin[w] - 1;
        out[i + 1] = p.cummax[w] - 1;
        out[i + 2] = p.cummax[p.cummin_i[w]] - 1;
        out[i + 3] = p.mdd[w];
        out[i + 4] = p.profit_period[w];
        out[i + 5] = p.returns[w] - 1;
    };
    // Offsets compare as unsigned sizes: a negative window or step ends the
    // sampling instead of walking backwards.
    std::uint64_t n = static_cast<std::uint64_t>(p.size());
    std::uint64_t limit = std::min(static_cast<std::uint64_t>(t.window), n);
    std::int64_t i = 0;
    for (std::int64_t w = 0; static_cast<std::uint64_t>(w) < limit; w += step) {
        put(i, w);
        i += 6;
    }
    std::uint64_t w_exit = std::min(static_cast<std::uint64_t>(t.i_exit - t.i_entry), n - 1);
    put(size - 6, static_cast<std::int64_t>(w_exit));
}

}  // namespace vostra::metrics
