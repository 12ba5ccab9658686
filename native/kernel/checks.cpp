// Input checks of a run, before any state is written.
#include "checks.hpp"
#include "metrics.hpp"

#include <cmath>
#include <cstdlib>
#include <string_view>
#include <unistd.h>
#include <unordered_map>

namespace vostra::kernel {

ColumnMap map_columns(const Labels &price_labels, const Labels &pos_labels) {
    std::unordered_map<std::string_view, int> by_label;
    by_label.reserve(price_labels.size());
    for (std::size_t i = 0; i < price_labels.size(); ++i) by_label[price_labels[i]] = static_cast<int>(i);
    ColumnMap map;
    map.price_of.assign(pos_labels.size(), -1);
    for (std::size_t i = 0; i < pos_labels.size(); ++i) {
        auto it = by_label.find(pos_labels[i]);
        if (it != by_label.end()) map.price_of[i] = it->second;
    }
    return map;
}

namespace {

[[noreturn]] void reject(InputCode code, std::int64_t a = 0, std::int64_t b = 0, std::int64_t c = 0,
                         std::int64_t d = 0, std::int64_t e = 0, double value = 0) {
    throw BadInput{code, a, b, c, d, e, value};
}

void check_shapes(const Market &m, index_t price_labels, index_t pos_labels) {
    const View2<double> *others[] = {&m.close, &m.high, &m.low, &m.open};
    for (int k = 0; k < 4; ++k)
        if (others[k]->rows != m.price.rows || others[k]->cols != m.price.cols)
            reject(InputCode::shape_mismatch, k, others[k]->rows, others[k]->cols, m.price.rows, m.price.cols);
    if (m.price.rows != m.price_dates.size) reject(InputCode::price_rows, m.price.rows, m.price_dates.size);
    if (m.price.cols != price_labels) reject(InputCode::price_labels, m.price.cols, price_labels);
    if (m.weights.rows != m.pos_dates.size) reject(InputCode::signal_rows, m.weights.rows, m.pos_dates.size);
    if (m.weights.cols != pos_labels) reject(InputCode::signal_labels, m.weights.cols, pos_labels);
    if (m.has_delisting_bars && m.delisting_bars.size != pos_labels)
        reject(InputCode::delisting_size, m.delisting_bars.size, pos_labels);
}

void check_ascending(int which, const View1<std::int64_t> &v) {
    for (index_t i = 1; i < v.size; ++i)
        if (v[i] < v[i - 1]) reject(InputCode::decreasing, which, i, v[i], v[i - 1]);
}

// Finite weights, and which signal columns are ever traded: one branch-free
// pass along the matrix's contiguous axis; only a matrix with a non-finite
// weight is walked again, in the same order, to name the first one.
std::vector<std::uint8_t> scan_weights(const View2<double> &w) {
    std::vector<std::uint8_t> traded(static_cast<std::size_t>(w.cols), 0);
    bool row_major = std::llabs(w.col_stride) <= std::llabs(w.row_stride);
    auto walk = [&](auto &&visit) {
        if (row_major) {
            for (index_t r = 0; r < w.rows; ++r)
                for (index_t c = 0; c < w.cols; ++c) visit(r, c);
        } else {
            for (index_t c = 0; c < w.cols; ++c)
                for (index_t r = 0; r < w.rows; ++r) visit(r, c);
        }
    };
    bool finite = true;
    walk([&](index_t r, index_t c) {
        double v = w(r, c);
        finite &= std::isfinite(v);
        traded[c] |= v != 0;
    });
    if (finite) return traded;
    walk([&](index_t r, index_t c) {
        double v = w(r, c);
        if (!std::isfinite(v)) reject(InputCode::non_finite_weight, r, c, 0, 0, 0, v);
    });
    return traded;
}

}  // namespace

std::int64_t excursion_bytes(int window, int window_step) {
    return metrics::array_size(window, window_step) * static_cast<std::int64_t>(sizeof(double));
}

std::int64_t physical_memory() {
    long pages = sysconf(_SC_PHYS_PAGES), page = sysconf(_SC_PAGE_SIZE);
    if (pages <= 0 || page <= 0) return INT64_MAX;
    return static_cast<std::int64_t>(pages) * page;
}

std::int64_t excursion_bytes_limit() { return physical_memory() / 10; }

std::vector<std::uint8_t> check_market(const Market &m, const Options &opt, index_t price_labels,
                                       index_t pos_labels) {
    check_shapes(m, price_labels, pos_labels);
    if (opt.orbalt_window < 0) reject(InputCode::window, opt.orbalt_window);
    if (opt.orbalt_window_step < 1) reject(InputCode::window_step, opt.orbalt_window_step);
    std::int64_t bytes = excursion_bytes(opt.orbalt_window, opt.orbalt_window_step);
    if (bytes > excursion_bytes_limit())
        reject(InputCode::window_memory, opt.orbalt_window, bytes, physical_memory(), opt.orbalt_window_step);
    if (opt.position_limit < 0) reject(InputCode::position_limit, 0, 0, 0, 0, 0, opt.position_limit);
    check_ascending(0, m.price_dates);
    check_ascending(1, m.pos_dates);
    check_ascending(2, m.resample_dates);
    return scan_weights(m.weights);
}

void check_labels(const Labels &pos_labels, const std::vector<std::uint8_t> &traded, const ColumnMap &columns) {
    std::unordered_map<std::string_view, std::size_t> seen;
    for (std::size_t i = 0; i < pos_labels.size(); ++i) {
        auto [it, fresh] = seen.emplace(pos_labels[i], i);
        if (!fresh) reject(InputCode::duplicate_label, static_cast<std::int64_t>(it->second), static_cast<std::int64_t>(i));
    }
    for (std::size_t i = 0; i < pos_labels.size(); ++i)
        if (traded[i] && columns.price_of[i] < 0) reject(InputCode::unpriced_weight, static_cast<std::int64_t>(i));
}

}  // namespace vostra::kernel
