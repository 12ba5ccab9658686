// Position ledger: the only code that trades. Opens, resizes, flips and
// closes holdings, charges fee and tax, and reports trades to the recorder.
#include "engine.hpp"

#include <algorithm>

namespace vostra::vantrel {

void PositionMap::rebuild() const {
    keys_.clear();
    for (std::size_t i = 0; i < present_.size(); ++i)
        if (present_[i]) keys_.push_back(static_cast<int>(i));
    dirty_ = false;
}

std::map<int, double> PositionMap::to_map() const {
    std::map<int, double> m;
    for (int sid : keys()) m.emplace_hint(m.end(), sid, value_[sid]);
    return m;
}

namespace {

double weight_of(double position, double balance) {
    if (balance == 0) raise(PyExc_ZeroDivisionError, "float division");
    return position / balance;
}

void recorder_entry(int sid, double weight, int paid) {
    module.recorder.record_entry(sid, weight, paid);
    throw_if_error();
}

void recorder_exit(int sid, int paid) {
    module.recorder.record_exit(sid, paid);
    throw_if_error();
}

// A holding kept through a periodic rebalance is split into two trade records
// unless costs are retained across rebalances. Both settings are read by name
// at every call, as the module globals of the run in progress.
bool splits_held_trades() {
    if (truth(module_global(names::retain_cost))) return false;
    return truth(module_global(names::resample));
}

}  // namespace

double set_position(PositionMap &p, int sid, double position, double cash, const Costs &c, bool check_null,
                    bool set_null, double balance) {
    return traced("vostra.core.vantrel.set_position", [&] {
        bool exist = check_null ? p.contains(sid) : true;
        bool prev_has_position = p.contains(sid) && p[sid] != 0;
        bool next_has_position = position != 0;

        // The recorder hears of the trade before anything changes, so a
        // failing notification leaves the map and the cash untouched.
        if (!prev_has_position && next_has_position) {
            recorder_entry(sid, weight_of(position, balance), 1);
        } else if (prev_has_position && !next_has_position) {
            recorder_exit(sid, 1);
        } else if (prev_has_position && next_has_position && splits_held_trades()) {
            recorder_exit(sid, 0);
            recorder_entry(sid, weight_of(position, balance), 0);
        }

        if (position == 0) {
            if (!exist) return cash;
            double old = p.contains(sid) ? p[sid] : 0.0;
            if (set_null)
                p.erase(sid);
            else
                p.set(sid, 0.0);
            return (old - std::fabs(old) * (c.fee_ratio + c.tax_ratio)) + cash;
        }

        if (!exist || !p.contains(sid)) p.set(sid, 0.0);
        double held = p[sid];
        double amount = position - held;
        bool buy = amount > 0;
        bool is_entry = buy ? position >= 0 : (position <= 0 && amount < 0);
        double cost = is_entry ? std::fabs(amount) * c.fee_ratio : std::fabs(amount) * (c.fee_ratio + c.tax_ratio);
        double value;
        if (buy) {
            // A purchase pays its fee out of the position's value ...
            cash = cash - amount;
            value = (amount - cost) + held;
        } else {
            // ... a sale out of the cash proceeds.
            cash = (-amount - cost) + cash;
            value = amount + held;
        }
        p.set(sid, value);
        if (set_null && value == 0) p.erase(sid);
        return cash;
    });
}

namespace {

// NumPy's pairwise summation (blocks of eight partial sums, halving above
// 128 elements), so the row sum equals numpy.abs(row).sum() bit for bit.
// `a(i)` gives |element i|.
template <class A>
double pairwise(const A &a, Py_ssize_t start, Py_ssize_t n) {
    if (n < 8) {
        double res = 0.;
        for (Py_ssize_t i = 0; i < n; ++i) res += a(start + i);
        return res;
    }
    if (n <= 128) {
        double r[8];
        for (int j = 0; j < 8; ++j) r[j] = a(start + j);
        Py_ssize_t i = 8;
        for (; i < n - (n % 8); i += 8)
            for (int j = 0; j < 8; ++j) r[j] += a(start + i + j);
        double res = ((r[0] + r[1]) + (r[2] + r[3])) + ((r[4] + r[5]) + (r[6] + r[7]));
        for (; i < n; ++i) res += a(start + i);
        return res;
    }
    Py_ssize_t n2 = n / 2;
    n2 -= n2 % 8;
    return pairwise(a, start, n2) + pairwise(a, start + n2, n - n2);
}

}  // namespace

double pairwise_abs_sum(const View1<double> &row) {
    // A contiguous, aligned row (the usual C-ordered signal matrix) is read
    // through a plain pointer, which lets the eight partial sums vectorise;
    // the additions, and so the result, are the same either way.
    if (row.stride == sizeof(double) && reinterpret_cast<std::uintptr_t>(row.data) % alignof(double) == 0) {
        const double *p = reinterpret_cast<const double *>(row.data);
        return 0.0 + pairwise([p](Py_ssize_t i) { return std::fabs(p[i]); }, 0, row.size);
    }
    return 0.0 + pairwise([&row](Py_ssize_t i) { return std::fabs(row[i]); }, 0, row.size);
}

double rebalance(PositionMap &p, const View1<double> &newp, double cash, const Costs &c, double position_limit) {
    return traced("vostra.core.vantrel.rebalance", [&] {
        double balance = cash;
        for (int sid : p.keys()) balance = balance + p[sid];
        double total = pairwise_abs_sum(newp);
        // Rows whose absolute weights add up to less than 1 leave the rest
        // in cash; larger rows are scaled down to the balance.
        double ratio = balance / (1.0 > total ? 1.0 : total);
        if (std::isnan(ratio)) ratio = 1;
        double cap = balance * position_limit;
        for (Py_ssize_t sid = 0; sid < newp.size; ++sid) {
            double v2 = newp[sid] * ratio;
            if (std::fabs(v2) > cap) {
                int sign = v2 > 0 ? 1 : -1;
                v2 = balance * position_limit * sign;
            }
            // A zero target for a stock that is not held changes nothing.
            if (v2 == 0 && !p.contains(static_cast<int>(sid))) continue;
            cash = set_position(p, static_cast<int>(sid), v2, cash, c, true, true, balance);
        }
        return cash;
    });
}

}  // namespace vostra::vantrel
