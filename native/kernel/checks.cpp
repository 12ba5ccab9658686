// Input checks of a run, before any state is written.
#include "checks.hpp"
#include "metrics.hpp"

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <string_view>
#include <unistd.h>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif
#include <functional>
#include <memory>

namespace vostra::kernel {

namespace {

// Labels found by their bytes in an open-addressing table of indices, so
// that the checks of a wide universe allocate nothing per label.
class LabelTable {
public:
    explicit LabelTable(const Labels &labels) : labels_(labels) {
        std::size_t capacity = 16;
        while (capacity < 2 * labels.size()) capacity *= 2;
        slots_.assign(capacity, -1);
    }
    // The index of the label equal to `label`, or the empty slot (-1) that
    // it would take.
    int &find(std::string_view label) {
        std::size_t mask = slots_.size() - 1, i = std::hash<std::string_view>{}(label) & mask;
        while (slots_[i] >= 0 && labels_[static_cast<std::size_t>(slots_[i])] != label) i = (i + 1) & mask;
        return slots_[i];
    }

private:
    const Labels &labels_;
    std::vector<int> slots_;
};

}  // namespace

ColumnMap map_columns(const Labels &price_labels, const Labels &pos_labels) {
    ColumnMap map;
    map.price_of.assign(pos_labels.size(), -1);
    if (price_labels == pos_labels) {
        // The same labels in the same order: each stock is its own column,
        // unless a label repeats (then the last one wins below, and the
        // label check rejects the repeat).
        LabelTable seen(pos_labels);
        bool repeats = false;
        for (std::size_t i = 0; i < pos_labels.size() && !repeats; ++i) {
            int &slot = seen.find(pos_labels[i]);
            repeats = slot >= 0;
            slot = static_cast<int>(i);
        }
        if (!repeats) {
            for (std::size_t i = 0; i < pos_labels.size(); ++i) map.price_of[i] = static_cast<int>(i);
            return map;
        }
    }
    LabelTable by_label(price_labels);
    for (std::size_t i = 0; i < price_labels.size(); ++i) by_label.find(price_labels[i]) = static_cast<int>(i);
    for (std::size_t i = 0; i < pos_labels.size(); ++i) map.price_of[i] = by_label.find(pos_labels[i]);
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

// Weights are scanned as bits so that the compiler vectorises the scan: a
// weight is nonzero when its magnitude bits are, and needs a second look
// when they reach those of 2^960 (adding `large_carry` then carries into the
// sign bit). That takes in every weight that is not finite, and every row
// whose absolute sum could overflow: below 2^960 a sum would need 2^64
// columns to reach the largest double.
constexpr std::uint64_t magnitude_mask = 0x7fffffffffffffffULL, carry_bit = 0x8000000000000000ULL,
                        large_bits = std::uint64_t{960 + 1023} << 52, large_carry = carry_bit - large_bits;

inline std::uint64_t magnitude(const double *p) {
    std::uint64_t bits;
    std::memcpy(&bits, p, sizeof bits);
    return bits & magnitude_mask;
}

// One contiguous row: whether every weight is ordinary (finite and below
// 2^960); each column's
// magnitude bits are ORed into `seen`.
bool scan_row(const double *__restrict p, index_t n, std::uint64_t *__restrict seen) {
    std::uint64_t bad = 0;
    for (index_t i = 0; i < n; ++i) {
        std::uint64_t m = magnitude(p + i);
        seen[i] |= m;
        bad |= (m + large_carry) & carry_bit;
    }
    return bad == 0;
}

// scan_row that also appends the row's nonzero weights to `out`, in the same
// pass: sixteen weights at a time, listed only when one of them is nonzero
// (a top-k row is mostly zeros).
bool scan_row_listing(const double *__restrict p, index_t n, std::uint64_t *__restrict seen, NonzeroWeights &out) {
    constexpr index_t block = 16;
    index_t i = 0;
    bool ordinary = true;
#if defined(__SSE2__)
    const __m128i mask = _mm_set1_epi64x(static_cast<long long>(magnitude_mask)),
                  one = _mm_set1_epi64x(static_cast<long long>(large_carry)),
                  carry = _mm_set1_epi64x(static_cast<long long>(carry_bit)), zero = _mm_setzero_si128();
    __m128i bad = zero;
    for (; i + block <= n; i += block) {
        __m128i any = zero;
        for (index_t k = 0; k < block; k += 2) {
            __m128i m = _mm_and_si128(_mm_loadu_si128(reinterpret_cast<const __m128i *>(p + i + k)), mask);
            auto *s = reinterpret_cast<__m128i *>(seen + i + k);
            _mm_storeu_si128(s, _mm_or_si128(_mm_loadu_si128(s), m));
            bad = _mm_or_si128(bad, _mm_and_si128(_mm_add_epi64(m, one), carry));
            any = _mm_or_si128(any, m);
        }
        if (_mm_movemask_epi8(_mm_cmpeq_epi8(any, zero)) == 0xffff) continue;
        // The block's nonzero weights (NaN included, as `v != 0` has it) as
        // bits, visited lowest first: a branch per weight would mispredict
        // on every other block of a top-k row.
        unsigned nonzero = 0;
        for (index_t k = 0; k < block; k += 2) {
            __m128d v = _mm_loadu_pd(p + i + k);  // the matrix need not be aligned
            nonzero |= static_cast<unsigned>(_mm_movemask_pd(_mm_cmpneq_pd(v, _mm_setzero_pd()))) << k;
        }
        for (; nonzero != 0; nonzero &= nonzero - 1) {
            index_t k = i + __builtin_ctz(nonzero);
            out.push(static_cast<int>(k), load<double>(reinterpret_cast<const char *>(p + k)));
        }
    }
    ordinary = _mm_movemask_epi8(_mm_cmpeq_epi8(bad, zero)) == 0xffff;
#endif
    ordinary &= scan_row(p + i, n - i, seen + i);
    append_nonzero(p + i, n - i, static_cast<int>(i), out);
    return ordinary;
}

// One contiguous column: whether every weight is ordinary, and whether any is
// nonzero (into `traded`).
bool scan_column(const double *p, index_t n, std::uint8_t &traded) {
    std::uint64_t bad = 0, seen = 0;
    for (index_t i = 0; i < n; ++i) {
        std::uint64_t m = magnitude(p + i);
        seen |= m;
        bad |= (m + large_carry) & carry_bit;
    }
    traded = seen != 0;
    return bad == 0;
}

// scan_column that also writes the column's nonzero weights and their rows
// to `weights` and `rows` (room for n each), counted in `count`, in the same
// pass: sixteen weights at a time, listed only when one of them is nonzero
// (a top-k column is mostly zeros). Every weight of such a block is written
// and the count moves past the nonzero ones only, without a branch on each.
bool scan_column_listing(const double *__restrict p, index_t n, std::uint8_t &traded, int *__restrict rows,
                         double *__restrict weights, index_t &count) {
    constexpr index_t block = 16;
    index_t i = 0, at = 0;
    std::uint64_t bad = 0, seen = 0;
    auto take = [&](index_t k) {
        double v = load<double>(reinterpret_cast<const char *>(p + k));
        rows[at] = static_cast<int>(k);
        weights[at] = v;
        at += v != 0;  // at <= k: the writes stay within the n rows
    };
#if defined(__SSE2__)
    const __m128i mask = _mm_set1_epi64x(static_cast<long long>(magnitude_mask)),
                  one = _mm_set1_epi64x(static_cast<long long>(large_carry)),
                  carry = _mm_set1_epi64x(static_cast<long long>(carry_bit)), zero = _mm_setzero_si128();
    __m128i large = zero, all = zero;
    for (; i + block <= n; i += block) {
        __m128i any = zero;
        for (index_t k = 0; k < block; k += 2) {
            __m128i m = _mm_and_si128(_mm_loadu_si128(reinterpret_cast<const __m128i *>(p + i + k)), mask);
            large = _mm_or_si128(large, _mm_and_si128(_mm_add_epi64(m, one), carry));
            any = _mm_or_si128(any, m);
        }
        if (_mm_movemask_epi8(_mm_cmpeq_epi8(any, zero)) == 0xffff) continue;
        all = _mm_or_si128(all, any);
        for (index_t k = i; k < i + block; ++k) take(k);
    }
    alignas(16) std::uint64_t lanes[4];
    _mm_store_si128(reinterpret_cast<__m128i *>(lanes), large);
    _mm_store_si128(reinterpret_cast<__m128i *>(lanes + 2), all);
    bad = lanes[0] | lanes[1];
    seen = lanes[2] | lanes[3];
#endif
    for (; i < n; ++i) {
        std::uint64_t m = magnitude(p + i);
        seen |= m;
        bad |= (m + large_carry) & carry_bit;
        take(i);
    }
    traded = seen != 0;
    count = at;
    return bad == 0;
}

// The nonzero weights of a matrix are listed while they stay few: a dense
// matrix gains nothing from lists and would double its memory.
bool sparse_enough(const View2<double> &w, std::size_t listed) {
    return listed <= static_cast<std::size_t>(w.rows) * static_cast<std::size_t>(w.cols) / 4;
}

// Lists, by row, nonzero weights found column by column: `hits` holds, per
// column in ascending order, its rows (in `column`) and weights.
void bucket_by_row(index_t rows, const std::vector<int> &hit_columns, const NonzeroWeights &hits, SparseRows &out) {
    out.start.assign(static_cast<std::size_t>(rows) + 1, 0);
    for (int r : hits.column) ++out.start[static_cast<std::size_t>(r) + 1];
    for (std::size_t r = 0; r < static_cast<std::size_t>(rows); ++r) out.start[r + 1] += out.start[r];
    out.column.resize(hits.column.size());
    out.weight.resize(hits.column.size());
    std::vector<std::int64_t> at(out.start.begin(), out.start.end() - 1);
    for (std::size_t i = 0; i < hits.column.size(); ++i) {
        auto k = static_cast<std::size_t>(at[static_cast<std::size_t>(hits.column[i])]++);
        out.column[k] = hit_columns[i];
        out.weight[k] = hits.weight[i];
    }
}

// A row whose absolute sum overflows would be scaled by 1/inf: every target
// 0, a run that silently trades nothing. The sum is the rebalance's own.
void check_row_sums(const View2<double> &w) {
    NonzeroWeights nonzero;
    for (index_t r = 0; r < w.rows; ++r) {
        View1<double> row = w.row(r);
        bool large = false;
        for (index_t c = 0; c < row.size && !large; ++c) {
            double v = row[c];
            large = ((magnitude(&v) + large_carry) & carry_bit) != 0;
        }
        if (!large) continue;
        nonzero_weights(row, nonzero);
        double total = pairwise_abs_sum(row.size, nonzero);
        if (!std::isfinite(total)) reject(InputCode::weight_sum_overflow, r);
    }
}

}  // namespace

// Finite weights, rows whose absolute sum is finite, and which signal
// columns are ever traded: one pass along the matrix's contiguous axis
// (listing the nonzero weights of each row into `sparse` if asked, while the
// part just read is in the cache); only a matrix with a weight that is not
// finite or very large is walked again, in the same order, to name the first
// one.
std::vector<std::uint8_t> scan_weights(const View2<double> &w, SparseRows *sparse) {
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
    bool ordinary = true, listing = sparse != nullptr;
    if (sparse) *sparse = {};
    constexpr index_t item = sizeof(double);
    if (w.rows > 0 && w.cols > 0 && row_major && w.col_stride == item) {
        std::vector<std::uint64_t> seen(traded.size(), 0);
        if (listing) sparse->start.assign(1, 0);
        for (index_t r = 0; r < w.rows; ++r) {
            const double *row = reinterpret_cast<const double *>(w.row_ptr(r));
            if (listing) {
                ordinary &= scan_row_listing(row, w.cols, seen.data(), *sparse);
                sparse->start.push_back(static_cast<std::int64_t>(sparse->column.size()));
                listing = sparse_enough(w, sparse->column.size());
            } else {
                ordinary &= scan_row(row, w.cols, seen.data());
            }
        }
        for (std::size_t c = 0; c < traded.size(); ++c) traded[c] = seen[c] != 0;
    } else if (w.rows > 0 && w.cols > 0 && !row_major && w.row_stride == item) {
        NonzeroWeights hits;  // rows and weights, column after column
        std::vector<int> hit_columns;
        // A column's list, written before it is kept (left uninitialised).
        auto listed_rows = std::make_unique_for_overwrite<int[]>(static_cast<std::size_t>(w.rows));
        auto listed = std::make_unique_for_overwrite<double[]>(static_cast<std::size_t>(w.rows));
        for (index_t c = 0; c < w.cols; ++c) {
            const double *column = reinterpret_cast<const double *>(w.row_ptr(0) + c * w.col_stride);
            if (!listing) {
                ordinary &= scan_column(column, w.rows, traded[c]);
                continue;
            }
            index_t count = 0;
            ordinary &= scan_column_listing(column, w.rows, traded[c], listed_rows.get(), listed.get(), count);
            if (count == 0) continue;
            hits.column.insert(hits.column.end(), listed_rows.get(), listed_rows.get() + count);
            hits.weight.insert(hits.weight.end(), listed.get(), listed.get() + count);
            hit_columns.resize(hits.column.size(), static_cast<int>(c));
            listing = sparse_enough(w, hits.column.size());
        }
        if (listing) bucket_by_row(w.rows, hit_columns, hits, *sparse);
    } else {
        listing = false;
        walk([&](index_t r, index_t c) {
            double v = w(r, c);
            ordinary &= ((magnitude(&v) + large_carry) & carry_bit) == 0;
            traded[c] |= v != 0;
        });
    }
    if (sparse && !listing) *sparse = {};
    if (ordinary) return traded;
    walk([&](index_t r, index_t c) {
        double v = w(r, c);
        if (!std::isfinite(v)) reject(InputCode::non_finite_weight, r, c, 0, 0, 0, v);
    });
    check_row_sums(w);
    return traded;
}

std::int64_t excursion_bytes(int window, int window_step) {
    return metrics::array_size(window, window_step) * static_cast<std::int64_t>(sizeof(double));
}

std::int64_t physical_memory() {
    long pages = sysconf(_SC_PHYS_PAGES), page = sysconf(_SC_PAGE_SIZE);
    if (pages <= 0 || page <= 0) return INT64_MAX;
    return static_cast<std::int64_t>(pages) * page;
}

std::int64_t excursion_bytes_limit() { return physical_memory() / 10; }

void check_inputs(const Market &m, const Options &opt, index_t price_labels, index_t pos_labels) {
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
}

std::vector<std::uint8_t> check_market(const Market &m, const Options &opt, index_t price_labels,
                                       index_t pos_labels, SparseRows *sparse) {
    check_inputs(m, opt, price_labels, pos_labels);
    return scan_weights(m.weights, sparse);
}

void check_labels(const Labels &pos_labels, const std::vector<std::uint8_t> &traded, const ColumnMap &columns) {
    LabelTable seen(pos_labels);
    for (std::size_t i = 0; i < pos_labels.size(); ++i) {
        int &slot = seen.find(pos_labels[i]);
        if (slot >= 0) reject(InputCode::duplicate_label, slot, static_cast<std::int64_t>(i));
        slot = static_cast<int>(i);
    }
    for (std::size_t i = 0; i < pos_labels.size(); ++i)
        if (traded[i] && columns.price_of[i] < 0) reject(InputCode::unpriced_weight, static_cast<std::int64_t>(i));
}

}  // namespace vostra::kernel
