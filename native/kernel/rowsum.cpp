// The |row| sum of a rebalance in NumPy's pairwise order, over the row's
// nonzero columns only.
#include "run.hpp"

#include <algorithm>

namespace vostra::kernel {

namespace {

using Iter = std::vector<int>::const_iterator;

// NumPy's pairwise summation (blocks of eight partial sums, halving above
// 128 elements) of |row| over [start, start + n), visiting only the nonzero
// columns in [first, last). Every skipped element is +0.0, and adding +0.0
// to a sum of absolute values leaves it unchanged, so the result equals the
// dense sum bit for bit.
double pairwise(const View1<double> &row, index_t start, index_t n, Iter first, Iter last) {
    if (first == last) return 0.;
    auto a = [&row](int i) { return std::fabs(row[i]); };
    if (n < 8) {
        double res = 0.;
        for (Iter it = first; it != last; ++it) res += a(*it);
        return res;
    }
    if (n <= 128) {
        double r[8] = {0., 0., 0., 0., 0., 0., 0., 0.};
        index_t body_end = start + (n - n % 8);
        Iter it = first;
        for (; it != last && *it < body_end; ++it) r[(*it - start) % 8] += a(*it);
        double res = ((r[0] + r[1]) + (r[2] + r[3])) + ((r[4] + r[5]) + (r[6] + r[7]));
        for (; it != last; ++it) res += a(*it);
        return res;
    }
    index_t n2 = n / 2;
    n2 -= n2 % 8;
    Iter mid = std::lower_bound(first, last, static_cast<int>(start + n2));
    return pairwise(row, start, n2, first, mid) + pairwise(row, start + n2, n - n2, mid, last);
}

}  // namespace

double pairwise_abs_sum(const View1<double> &row, const std::vector<int> &nonzero) {
    return 0.0 + pairwise(row, 0, row.size, nonzero.begin(), nonzero.end());
}

void nonzero_columns(const View1<double> &row, std::vector<int> &out) {
    out.clear();
    if (row.contiguous() && reinterpret_cast<std::uintptr_t>(row.data) % alignof(double) == 0) {
        // A weight row is mostly zeros: blocks of eight whose magnitude bits
        // are all clear (+0.0 or -0.0) are passed over without a branch each.
        constexpr std::uint64_t magnitude = 0x7fffffffffffffffULL;
        constexpr index_t ahead = 128;
        const double *p = reinterpret_cast<const double *>(row.data);
        index_t i = 0;
        for (; i + 8 <= row.size; i += 8) {
            if (i + ahead < row.size) __builtin_prefetch(p + i + ahead);  // the row streams in from a far cache
            std::uint64_t any = 0;
            for (index_t k = 0; k < 8; ++k) any |= load<std::uint64_t>(reinterpret_cast<const char *>(p + i + k));
            if ((any & magnitude) == 0) continue;
            for (index_t k = i; k < i + 8; ++k)
                if (p[k] != 0) out.push_back(static_cast<int>(k));
        }
        for (; i < row.size; ++i)
            if (p[i] != 0) out.push_back(static_cast<int>(i));
        return;
    }
    for (index_t i = 0; i < row.size; ++i)
        if (row[i] != 0) out.push_back(static_cast<int>(i));
}

}  // namespace vostra::kernel
