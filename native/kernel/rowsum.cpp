// The |row| sum of a rebalance in NumPy's pairwise order, over the row's
// nonzero columns only.
#include "run.hpp"

#include <algorithm>

namespace vostra::kernel {

namespace {

// NumPy's pairwise summation (blocks of eight partial sums, halving above
// 128 elements) of |row| over [start, start + n), visiting only the nonzero
// weights [first, last) of `nz`. Every skipped element is +0.0, and adding
// +0.0 to a sum of absolute values leaves it unchanged, so the result equals
// the dense sum bit for bit.
double pairwise(const NonzeroWeights &nz, index_t start, index_t n, std::size_t first, std::size_t last) {
    if (first == last) return 0.;
    auto a = [&nz](std::size_t i) { return std::fabs(nz.weight[i]); };
    if (n < 8) {
        double res = 0.;
        for (std::size_t i = first; i != last; ++i) res += a(i);
        return res;
    }
    if (n <= 128) {
        double r[8] = {0., 0., 0., 0., 0., 0., 0., 0.};
        index_t body_end = start + (n - n % 8);
        std::size_t i = first;
        for (; i != last && nz.column[i] < body_end; ++i) r[(nz.column[i] - start) % 8] += a(i);
        double res = ((r[0] + r[1]) + (r[2] + r[3])) + ((r[4] + r[5]) + (r[6] + r[7]));
        for (; i != last; ++i) res += a(i);
        return res;
    }
    index_t n2 = n / 2;
    n2 -= n2 % 8;
    auto begin = nz.column.begin();
    std::size_t mid = static_cast<std::size_t>(
        std::lower_bound(begin + first, begin + last, static_cast<int>(start + n2)) - begin);
    return pairwise(nz, start, n2, first, mid) + pairwise(nz, start + n2, n - n2, mid, last);
}

}  // namespace

double pairwise_abs_sum(index_t size, const NonzeroWeights &nonzero) {
    return 0.0 + pairwise(nonzero, 0, size, 0, nonzero.column.size());
}

void append_nonzero(const double *p, index_t n, int first_column, NonzeroWeights &out) {
    // A weight row is mostly zeros: blocks of eight whose magnitude bits
    // are all clear (+0.0 or -0.0) are passed over without a branch each.
    constexpr std::uint64_t magnitude = 0x7fffffffffffffffULL;
    constexpr index_t ahead = 128;
    index_t i = 0;
    // Read through memcpy: a caller's matrix need not be aligned.
    auto take = [&](index_t k) {
        double v = load<double>(reinterpret_cast<const char *>(p + k));
        if (v != 0) out.push(first_column + static_cast<int>(k), v);
    };
    for (; i + 8 <= n; i += 8) {
        if (i + ahead < n) __builtin_prefetch(p + i + ahead);  // the row streams in from a far cache
        std::uint64_t any = 0;
        for (index_t k = 0; k < 8; ++k) any |= load<std::uint64_t>(reinterpret_cast<const char *>(p + i + k));
        if ((any & magnitude) == 0) continue;
        for (index_t k = i; k < i + 8; ++k) take(k);
    }
    for (; i < n; ++i) take(i);
}

void nonzero_weights(const View1<double> &row, NonzeroWeights &out) {
    out.clear();
    if (row.contiguous()) {
        append_nonzero(reinterpret_cast<const double *>(row.data), row.size, 0, out);
        return;
    }
    for (index_t i = 0; i < row.size; ++i)
        if (double v = row[i]; v != 0) out.push(static_cast<int>(i), v);
}

}  // namespace vostra::kernel
