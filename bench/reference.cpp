// Reference kernel for the benchmark: what a plain C++ loop costs for the
// run without stops, with no checks, no host and no recorder. It reads the
// same column-major matrices and does the engine's divisions in the same
// layout: the scan of each rebalance row for its nonzero weights, the
// trades of a rebalance with fee and tax, per bar and holding the
// revaluation ratio (a missing price counts as 1) and the return trackers,
// the mark to the close and the per-bar sum, and for every trade record
// (split at each rebalance) the excursion walk over its closes: the bar
// ratio, the running extremes and the drawdown quotient.
// Built by bench/reference.py: c++ -O2 -ffp-contract=off -shared -fPIC.
#include <cmath>
#include <cstdint>
#include <vector>

namespace {

struct Holding {
    int sid;
    double held, cr, maxcr, mincr, prev;
    std::int64_t entry;
};

// One trade record's walk from its entry bar to its exit bar.
double excursion(const double *close, std::int64_t entry, std::int64_t exit) {
    double pv = close[entry], ratio = 1.0, cummax = 1.0, cummin = 1.0, mdd = 0.0, profit = 0.0;
    for (std::int64_t k = entry + 1; k <= exit; ++k) {
        double c = close[k];
        if (c == c) {
            ratio = ratio * (c / pv);
            pv = c;
        }
        cummax = ratio > cummax ? ratio : cummax;
        cummin = ratio < cummin ? ratio : cummin;
        double dd = ratio / cummax - 1;
        mdd = mdd > dd ? dd : mdd;
        profit += ratio > 1.0 ? 1.0 : 0.0;
    }
    return mdd + cummin + profit;
}

}  // namespace

// price, close: (bars x stocks) column-major; weights: (rows x stocks) row
// major; row_bar[i]: the bar on which row i is traded. Writes the portfolio
// value of every bar into `out` and returns a sum over the excursion walks
// (so that the compiler keeps them).
extern "C" double reference_run(const double *price, const double *close, std::int64_t bars, std::int64_t stocks,
                                const double *weights, const std::int64_t *row_bar, std::int64_t rows, double fee,
                                double tax, double *out) {
    std::vector<Holding> pos, next;
    std::vector<int> nonzero;
    double cash = 1.0, walks = 0.0;
    std::int64_t row = 0;
    for (std::int64_t d = 0; d < bars; ++d) {
        for (Holding &h : pos) {
            double p = price[h.sid * bars + d];
            if (h.prev != h.prev) h.prev = p;
            double r = p / h.prev;
            if (r != r) r = 1;
            h.held = h.held * r;
            h.cr = h.cr * r;
            h.maxcr = h.cr > h.maxcr ? h.cr : h.maxcr;
            h.mincr = h.cr < h.mincr ? h.cr : h.mincr;
            if (p == p) h.prev = p;
        }
        if (row < rows && row_bar[row] == d) {
            const double *w = weights + row * stocks;
            nonzero.clear();
            double total = 0;
            for (std::int64_t s = 0; s < stocks; ++s)
                if (w[s] != 0) {
                    nonzero.push_back(static_cast<int>(s));
                    total += std::fabs(w[s]);
                }
            double balance = cash;
            for (const Holding &h : pos) balance = balance + h.held;
            double ratio = balance / (1.0 > total ? 1.0 : total);
            // Both lists ascend: held stocks not in the row are sold, the
            // others resized, new ones bought; every record is split.
            next.clear();
            std::size_t i = 0, j = 0;
            while (i < pos.size() || j < nonzero.size()) {
                int hs = i < pos.size() ? pos[i].sid : INT32_MAX, ns = j < nonzero.size() ? nonzero[j] : INT32_MAX;
                double held = hs <= ns ? pos[i].held : 0.0;
                if (hs <= ns) walks += excursion(close + static_cast<std::int64_t>(hs) * bars, pos[i].entry, d);
                double target = ns <= hs ? w[ns] * ratio : 0.0;
                double amount = target - held;
                if (amount > 0) {
                    double cost = target >= 0 ? amount * fee : amount * (fee + tax);
                    cash = cash - amount;
                    held = (amount - cost) + held;
                } else {
                    double cost = -amount * (fee + tax);
                    cash = (-amount - cost) + cash;
                    held = amount + held;
                }
                int sid = ns <= hs ? ns : hs;
                double p = price[static_cast<std::int64_t>(sid) * bars + d];
                if (target != 0) next.push_back({sid, held, 1.0, 1.0, 1.0, p, d});
                if (hs <= ns) ++i;
                if (ns <= hs) ++j;
            }
            pos.swap(next);
            ++row;
        }
        double balance = cash;
        for (const Holding &h : pos) {
            double p = price[h.sid * bars + d], c = close[h.sid * bars + d];
            balance += (p != p || c != c) ? h.held : h.held * c / p;
        }
        out[d] = balance;
    }
    for (const Holding &h : pos) walks += excursion(close + static_cast<std::int64_t>(h.sid) * bars, h.entry, bars - 1);
    return walks;
}
