// The trade figures of a run's statistics straight from its ledger columns:
// a sweep asks them of every run, and a dozen NumPy passes over the trade
// columns cost more than the run's own bookkeeping. Counts and sums of whole
// bars do not depend on the order; the MAE and MFE of the closed trades are
// handed back in the trade log's order (by entry), for the caller to average
// with NumPy as the statistics do (how NumPy rounds a long sum depends on
// its version).
#include "calendar.hpp"

#include "common/run_args.hpp"
#include <algorithm>
#include <functional>
#include <memory>
#include <cmath>
#include <unordered_map>
#include <vector>

namespace vostra::engine {

namespace {

// The interned str of a figure's name (a string literal), made once: a
// dict of figures then takes no new string, nor its hash, per entry. The
// interpreter lock guards the table; its strings live as long as the process.
PyObject *name_of(const char *key) {
    static std::unordered_map<const char *, PyObject *> names;
    auto [at, fresh] = names.try_emplace(key, nullptr);
    if (fresh) {
        at->second = PyUnicode_InternFromString(key);
        if (!at->second) {
            names.erase(at);
            throw_py();
        }
    }
    return at->second;
}

void set_float(PyObject *d, const char *key, double v) {
    Ref value = Ref::check(PyFloat_FromDouble(v));
    if (PyDict_SetItem(d, name_of(key), value.get()) < 0) throw_py();
}

// The positions of a tuple of names: by interned str, and by the string
// literal each figure is put under, learned at its first put. Those few
// pairs sit side by side and are searched in order: a map's scattered nodes
// cost a cache miss each right after a run.
struct Slots {
    std::unordered_map<PyObject *, Py_ssize_t> by_name;
    mutable std::vector<std::pair<const char *, Py_ssize_t>> by_literal;

    std::size_t size() const { return by_name.size(); }

    // The position of `key` (a literal), -1 for a name not in the tuple.
    Py_ssize_t slot(const char *key) const {
        for (const auto &[literal, at] : by_literal)
            if (literal == key) return at;
        auto it = by_name.find(name_of(key));
        Py_ssize_t at = it == by_name.end() ? -1 : it->second;
        by_literal.emplace_back(key, at);
        return at;
    }
};

// Where figures go: into a dict by name, or into the slots of an array laid
// out in the order of a tuple of names (`at`). A figure without a value (NaN)
// is left out of either.
struct Out {
    PyObject *dict = nullptr;
    double *slots = nullptr;
    const Slots *at = nullptr;
    void operator()(const char *key, double v) const {
        if (std::isnan(v)) return;
        if (dict) {
            set_float(dict, key, v);
            return;
        }
        Py_ssize_t i = at->slot(key);
        if (i < 0) raisef(PyExc_ValueError, "printed_figures() has no slot for the figure %s", key);
        slots[i] = v;
    }
};

// The slots of the names of `keys` (a tuple of str). The printout asks with
// one tuple, kept alive here so that its address stays its own: the map is
// made when another tuple comes.
const Slots &slots_of(PyObject *keys) {
    static PyObject *seen = nullptr;
    static Slots slots;
    static std::vector<Ref> names;
    if (keys == seen) return slots;
    if (!PyTuple_Check(keys)) raise(PyExc_TypeError, "printed_figures() needs the names as a tuple of str");
    Slots made;
    std::vector<Ref> held;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(keys); ++i) {
        PyObject *key = PyTuple_GET_ITEM(keys, i);
        if (!PyUnicode_CheckExact(key)) raise(PyExc_TypeError, "printed_figures() needs the names as a tuple of str");
        Py_INCREF(key);
        PyUnicode_InternInPlace(&key);  // the str name_of makes of the same text
        held.push_back(Ref::steal(key));
        made.by_name.emplace(key, i);
    }
    Py_INCREF(keys);
    Py_XDECREF(seen);
    seen = keys;
    slots = std::move(made);
    names.swap(held);
    return slots;
}

// Asks for the cache lines of [p, p + bytes) ahead of a pass over them: right
// after a run, which streams the price matrices through the caches, these
// arrays come from memory, and a pass that meets each line's miss in turn
// waits for them one by one.
void fetch_ahead(const void *p, std::size_t bytes) {
    const char *c = static_cast<const char *>(p);
    for (std::size_t i = 0; i < bytes; i += 64) __builtin_prefetch(c + i);
}

template <class T>
void fetch_ahead(const View1<T> &a) {
    if (a.size > 0 && a.stride > 0) fetch_ahead(a.data, static_cast<std::size_t>(a.size * a.stride));
}

// NumPy's pairwise summation (eight partial sums in blocks of up to 128
// values, halving above), started from 0.0: the bits of add.reduce over a
// 1-D float64 array of up to 8192 values (longer arrays NumPy 1.x sums in
// blocks of its buffer size, so the caller keeps those in NumPy).
template <class At>
double pairwise(const At &a, Py_ssize_t lo, Py_ssize_t n) {
    if (n < 8) {
        double res = 0.;
        for (Py_ssize_t i = 0; i < n; ++i) res += a(lo + i);
        return res;
    }
    if (n <= 128) {
        double r[8];
        for (int j = 0; j < 8; ++j) r[j] = a(lo + j);
        Py_ssize_t i = 8;
        for (; i < n - n % 8; i += 8)
            for (int j = 0; j < 8; ++j) r[j] += a(lo + i + j);
        double res = ((r[0] + r[1]) + (r[2] + r[3])) + ((r[4] + r[5]) + (r[6] + r[7]));
        for (; i < n; ++i) res += a(lo + i);
        return res;
    }
    Py_ssize_t n2 = n / 2;
    n2 -= n2 % 8;
    return pairwise(a, lo, n2) + pairwise(a, lo + n2, n - n2);
}

template <class At>
double numpy_sum(const At &a, Py_ssize_t n) { return 0.0 + pairwise(a, 0, n); }

// vostra.stats._skipna_mean: the mean of the values that are not NaN, summed as NumPy sums.
double skipna_mean(const std::vector<double> &x) {
    auto n = static_cast<Py_ssize_t>(x.size());
    double total = numpy_sum([&](Py_ssize_t i) { return x[static_cast<std::size_t>(i)]; }, n);
    if (!std::isnan(total)) return total / static_cast<double>(n);
    auto count = std::count_if(x.begin(), x.end(), [](double v) { return !std::isnan(v); });
    if (count == 0) return NAN;
    total = numpy_sum([&](Py_ssize_t i) {
        double v = x[static_cast<std::size_t>(i)];
        return std::isnan(v) ? 0.0 : v;
    }, n);
    return total / static_cast<double>(count);
}

}  // namespace

namespace {

// A run's ledger columns as the trade figures read them, checked.
struct TradeColumns {
    View1<std::int64_t> order, exit_bar, entry_bar;
    View1<double> returns;
    PyArrayObject_fields *x;  // trades x groups x 6
};

TradeColumns trade_columns(PyObject *order_obj, PyObject *exit_obj, PyObject *entry_obj, PyObject *returns_obj,
                           PyObject *excursions_obj, const char *caller) {
    for (PyObject *o : {order_obj, exit_obj, entry_obj, returns_obj, excursions_obj})
        if (!PyArray_Check(o)) raisef(PyExc_TypeError, "%s() needs NumPy arrays for the trade columns", caller);
    check_array(order_obj, Elem::i64, 1);
    check_array(exit_obj, Elem::i64, 1);
    check_array(entry_obj, Elem::i64, 1);
    check_array(returns_obj, Elem::f64, 1);
    check_array(excursions_obj, Elem::f64, 3);
    TradeColumns c{view1<std::int64_t>(order_obj), view1<std::int64_t>(exit_obj), view1<std::int64_t>(entry_obj),
                   view1<double>(returns_obj), reinterpret_cast<PyArrayObject_fields *>(excursions_obj)};
    Py_ssize_t n = c.exit_bar.size;
    if (c.entry_bar.size != n || c.returns.size != n || c.x->dimensions[0] != n || c.x->dimensions[1] < 1 ||
        c.x->dimensions[2] < 2)
        raisef(PyExc_ValueError, "%s() needs columns of one length and excursions of shape "
                                 "(trades, groups, 6)", caller);
    return c;
}

// The trade figures into `put` (which takes every value, NaN too), and the
// closed trades' MAE and MFE in entry order into `mae` and `mfe`. With
// `averages`, and at most 8192 closed trades, their averages go to `put`
// too; returns whether they did.
template <class Put>
bool trade_figures_into(const TradeColumns &c, bool averages, Put put, std::vector<double> &mae,
                        std::vector<double> &mfe) {
    const auto &[order, exit_bar, entry_bar, returns, x] = c;
    Py_ssize_t n = exit_bar.size;
    // The exit group is the last one of each trade.
    const char *exit_group = x->data + (x->dimensions[1] - 1) * x->strides[1];
    // The rows are read in their own order, as streams the memory hands
    // out ahead (right after a run they come from memory): the counts,
    // and each closed row's MAE and MFE, which are then taken in the
    // log's order from these short arrays.
    auto row_mae = std::make_unique_for_overwrite<double[]>(static_cast<std::size_t>(n));
    auto row_mfe = std::make_unique_for_overwrite<double[]>(static_cast<std::size_t>(n));
    std::int64_t wins = 0, with_return = 0, bars = 0, closed = 0;
    for (Py_ssize_t row = 0; row < n; ++row) {
        if (exit_bar[row] < 0) continue;
        const char *g = exit_group + row * x->strides[0];
        row_mae[static_cast<std::size_t>(row)] = load<double>(g);
        row_mfe[static_cast<std::size_t>(row)] = load<double>(g + x->strides[2]);
        bars += exit_bar[row] - entry_bar[row];
        double r = returns[row];
        with_return += !std::isnan(r);
        wins += r > 0;
        ++closed;
    }
    mae.reserve(static_cast<std::size_t>(closed));
    mfe.reserve(static_cast<std::size_t>(closed));
    for (Py_ssize_t i = 0; i < order.size; ++i) {
        Py_ssize_t row = numpy_index(order[i], n, 0);
        if (exit_bar[row] < 0) continue;
        mae.push_back(row_mae[static_cast<std::size_t>(row)]);
        mfe.push_back(row_mfe[static_cast<std::size_t>(row)]);
    }
    put("trades", static_cast<double>(n));
    if (with_return) put("win_rate", static_cast<double>(wins) / static_cast<double>(with_return));
    if (!mae.empty()) put("avg_holding_bars", static_cast<double>(bars) / static_cast<double>(mae.size()));
    if (!(averages && !mae.empty() && mae.size() <= 8192)) return false;
    put("avg_mae", skipna_mean(mae));
    put("avg_mfe", skipna_mean(mfe));
    return true;
}

}  // namespace

// trade_figures(entry_order, exit_bar, entry_bar, returns, excursions, averages=False, /):
// ({trades, win_rate, avg_holding_bars}, mae, mfe) of the closed trades
// (exit_bar >= 0), the dict without the figures that have no value; with
// `averages`, and at most 8192 closed trades, the dict also holds avg_mae
// and avg_mfe as the statistics average them, and the MAE and MFE are None.
PyObject *py_trade_figures(PyObject *, PyObject *args) {
    return firewall("vostra._engine.trade_figures", "vostra/_engine", static_cast<PyObject *>(nullptr),
                    [&]() -> PyObject * {
        PyObject *order_obj, *exit_obj, *entry_obj, *returns_obj, *excursions_obj;
        int averages = 0;
        if (!PyArg_ParseTuple(args, "O!O!O!O!O!|p:trade_figures", &PyArray_Type, &order_obj, &PyArray_Type, &exit_obj,
                              &PyArray_Type, &entry_obj, &PyArray_Type, &returns_obj, &PyArray_Type, &excursions_obj,
                              &averages))
            throw_py();
        TradeColumns c = trade_columns(order_obj, exit_obj, entry_obj, returns_obj, excursions_obj, "trade_figures");
        Ref out = Ref::check(PyDict_New());
        std::vector<double> mae, mfe;
        if (trade_figures_into(c, averages, [&](const char *key, double v) { set_float(out.get(), key, v); }, mae, mfe))
            return Py_BuildValue("(OOO)", out.get(), Py_None, Py_None);  // the averages are all the caller asked the values for
        Ref mae_array = vector_array(mae, NPY_DOUBLE), mfe_array = vector_array(mfe, NPY_DOUBLE);
        return Py_BuildValue("(OOO)", out.get(), mae_array.get(), mfe_array.get());
    });
}

}  // namespace vostra::engine

// The figures of a window's bar returns that the statistics print below the
// summary: one pass or two over a few thousand returns, where NumPy spends
// a call (and a temporary array) on each figure. The definitions are those
// of vostra.stats (quantstats' on the same returns); a figure without a
// value is left out of the dict.
namespace vostra::engine {

namespace {

// The order statistics lo and lo + 1 (0-based, lo + 1 < size) of x. A tail
// quantile needs few values: a pivot from every eighth value, with a margin,
// keeps the least (greatest) ones without a branch each, and the selection
// runs on those alone (it mispredicts about every other comparison on
// returns, the cost of this figure). When too few are kept, on all values.
std::pair<double, double> order_pair(const std::vector<double> &x, std::size_t lo) {
    std::size_t n = x.size();
    bool low = lo < n / 2;
    std::size_t need = low ? lo + 2 : n - lo;  // the least (greatest) values that hold both
    std::vector<double> keep;
    if (n >= 512 && need * 4 <= n) {
        std::vector<double> sample;
        sample.reserve(n / 8 + 1);
        for (std::size_t i = 0; i < n; i += 8) sample.push_back(x[i]);
        std::size_t m = sample.size(), at = std::min(m - 1, need * m / n * 3 / 2 + 8);
        auto nth = sample.begin() + static_cast<std::ptrdiff_t>(at);
        if (low)
            std::nth_element(sample.begin(), nth, sample.end());
        else
            std::nth_element(sample.begin(), nth, sample.end(), std::greater<double>());
        double pivot = *nth;
        // Room for every value, left uninitialised: only the lines of the
        // few kept ones are ever written.
        auto kept = std::make_unique_for_overwrite<double[]>(n);
        std::size_t c = 0;
        if (low)
            for (double v : x) kept[c] = v, c += v <= pivot;
        else
            for (double v : x) kept[c] = v, c += v >= pivot;
        if (c < need)
            keep = x;
        else
            keep.assign(kept.get(), kept.get() + c);
    } else {
        keep = x;
    }
    // Kept are the least values (x's order statistics 0..), or the greatest (n - kept ..).
    std::size_t j = low ? lo : lo - (n - keep.size());
    auto at = keep.begin() + static_cast<std::ptrdiff_t>(j);
    std::nth_element(keep.begin(), at, keep.end());
    return {*at, *std::min_element(at + 1, keep.end())};
}

// Linear interpolation between order statistics, as NumPy's default quantile.
double quantile(const std::vector<double> &x, double q) {
    double h = q * static_cast<double>(x.size() - 1);
    auto lo = static_cast<std::size_t>(std::floor(h));
    if (lo + 1 >= x.size()) return *std::max_element(x.begin(), x.end());
    auto [a, b] = order_pair(x, lo);
    double t = h - static_cast<double>(lo);
    return t >= 0.5 ? b - (b - a) * (1.0 - t) : a + (b - a) * t;
}

// `r` holds the n returns, or is empty and receives them.
void return_figures(const double *v, Py_ssize_t n, std::vector<double> &r, Out put) {
    // v[0] is the anchor; return i (1..n) is v[i] / v[i - 1] - 1.
    bool given = static_cast<Py_ssize_t>(r.size()) == n;
    r.resize(static_cast<std::size_t>(n));
    double best = -INFINITY, worst = INFINITY, gains = 0, pains = 0, sum = 0;
    std::int64_t wins = 0, losses = 0, run_win = 0, run_loss = 0, max_win = 0, max_loss = 0;
    double peak = v[0], sunk2 = 0;
    for (Py_ssize_t i = 0; i < n; ++i) {
        double x = given ? r[static_cast<std::size_t>(i)] : v[i + 1] / v[i] - 1.0;
        r[static_cast<std::size_t>(i)] = x;
        sum += x;
        best = std::max(best, x);
        worst = std::min(worst, x);
        // Without a branch on the sign, which returns make a coin toss: adding
        // +0.0 to these sums (never -0.0) leaves them as they are.
        gains += x > 0 ? x : 0.0, wins += x > 0;
        pains -= x < 0 ? x : 0.0, losses += x < 0;
        run_win = x > 0 ? run_win + 1 : 0;
        run_loss = x < 0 ? run_loss + 1 : 0;
        max_win = std::max(max_win, run_win);
        max_loss = std::max(max_loss, run_loss);
        peak = std::max(peak, v[i + 1]);
        double sunk = v[i + 1] / peak - 1.0;
        sunk2 += sunk * sunk;
    }
    put("best_day", best);
    put("worst_day", worst);
    put("max_consecutive_wins", static_cast<double>(max_win));
    put("max_consecutive_losses", static_cast<double>(max_loss));
    put("profit_factor", pains > 0 ? gains / pains : NAN);
    put("omega", pains > 0 ? gains / pains : NAN);
    double avg_win = wins ? gains / static_cast<double>(wins) : NAN;
    double avg_loss = losses ? -pains / static_cast<double>(losses) : NAN;
    put("avg_win", avg_win);
    put("avg_loss", avg_loss);
    if (wins && losses && avg_loss != 0) {
        double payoff = avg_win / std::fabs(avg_loss);
        double p = static_cast<double>(wins) / static_cast<double>(wins + losses);
        put("payoff_ratio", payoff);
        if (payoff != 0) put("kelly", (payoff * p - (1.0 - p)) / payoff);
    }
    if (n < 2) return;
    double fn = static_cast<double>(n), mean = sum / fn, m2 = 0, m3 = 0, m4 = 0;
    for (double x : r) {
        double d = x - mean, d2 = d * d;
        m2 += d2, m3 += d2 * d, m4 += d2 * d2;
    }
    put("ulcer_index", std::sqrt(sunk2 / (fn - 1.0)));
    // The normal 5 % quantile and the mean beyond it, in deviations.
    constexpr double z05 = -1.6448536269514722, shortfall05 = 2.0627128075074257;
    double std_dev = best == worst ? 0.0 : std::sqrt(m2 / (fn - 1.0));
    put("var_95", mean + z05 * std_dev);
    put("cvar_95", mean - shortfall05 * std_dev);
    double low = quantile(r, 0.05), high = quantile(r, 0.95);
    if (low != 0) put("tail_ratio", std::fabs(high / low));
    if (n >= 3 && best != worst) {
        put("skew", std::sqrt(fn * (fn - 1.0)) / (fn - 2.0) * (m3 / fn) / std::pow(m2 / fn, 1.5));
        if (n >= 4) {
            double scale = (fn - 2.0) * (fn - 3.0);
            put("kurtosis", (fn + 1.0) * fn * (fn - 1.0) / scale * m4 / (m2 * m2) - 3.0 * (fn - 1.0) * (fn - 1.0) / scale);
        }
    }
}

std::int64_t month_of(std::int64_t ns) {
    Civil c = civil_from_days(floor_div(ns, day_ns));
    return c.year * 12 + (c.month - 1);
}

// Nanoseconds of the first day of a month counted from January 1970.
std::int64_t month_start_ns(std::int64_t month) {
    std::int64_t year = floor_div(month, 12);
    return days_from_civil(year, static_cast<unsigned>(month - year * 12 + 1), 1) * day_ns;
}

// Best and worst calendar month and year, and the returns of the periods
// that end on the last bar; `t` are the wall-clock dates of the values.
void calendar_figures(const double *v, const std::int64_t *t, Py_ssize_t n, double ppy, Out put) {
    double months[2] = {-INFINITY, INFINITY}, years[2] = {-INFINITY, INFINITY};
    Py_ssize_t month_start = 0, year_start = 0;  // index into v of the period's base
    std::int64_t month = month_of(t[1]), bound = month_start_ns(month + 1);
    for (Py_ssize_t i = 1; i <= n; ++i) {
        if (i < n && t[i + 1] < bound) continue;  // the next return is in the same month
        double m = v[i] / v[month_start] - 1.0;
        months[0] = std::max(months[0], m), months[1] = std::min(months[1], m);
        month_start = i;
        std::int64_t next = i < n ? month_of(t[i + 1]) : month + 12 * 1000;
        if (floor_div(next, 12) != floor_div(month, 12)) {
            double y = v[i] / v[year_start] - 1.0;
            years[0] = std::max(years[0], y), years[1] = std::min(years[1], y);
            year_start = i;
        }
        month = next;
        // After the last return the month is a marker past any date, whose
        // start would overflow the nanosecond clock.
        if (i < n) bound = month_start_ns(month + 1);
    }
    put("best_month", months[0]);
    put("worst_month", months[1]);
    put("best_year", years[0]);
    put("worst_year", years[1]);

    std::int64_t last = t[n], last_day = floor_div(last, day_ns), time_of_day = last - last_day * day_ns;
    Civil c = civil_from_days(last_day);
    struct Period {
        const char *name;
        int years;
        bool annual;
    };
    static constexpr Period periods[] = {{"mtd", 0, false},          {"ytd", -1, false},
                                         {"return_1y", 1, false},    {"return_3y_ann", 3, true},
                                         {"return_5y_ann", 5, true}, {"return_10y_ann", 10, true}};
    for (const Period &p : periods) {
        std::int64_t cutoff;
        if (p.years == 0) {
            cutoff = days_from_civil(c.year, c.month, 1) * day_ns;
        } else if (p.years < 0) {
            cutoff = days_from_civil(c.year, 1, 1) * day_ns;
        } else {
            // The same day and time years back, the day clamped to the month's end.
            std::int64_t y = c.year - p.years;
            unsigned d = std::min(c.day, days_in_month(y, c.month));
            cutoff = days_from_civil(y, c.month, d) * day_ns + time_of_day;
            if (t[0] > cutoff) continue;  // the window is shorter than the period
        }
        // The base: the value before the first return dated on or after the cutoff.
        Py_ssize_t first = std::lower_bound(t + 1, t + n + 1, cutoff) - (t + 1);
        double growth = v[n] / v[first];
        if (!p.annual)
            put(p.name, growth - 1.0);
        else if (growth >= 0)
            put(p.name, std::pow(growth, ppy / static_cast<double>(n - first)) - 1.0);
    }
}

// Whether a view's values can be read through a plain pointer: one after
// the other and aligned.
template <class T>
bool contiguous(const View1<T> &a) {
    return a.stride == static_cast<Py_ssize_t>(sizeof(T)) && reinterpret_cast<std::uintptr_t>(a.data) % alignof(T) == 0;
}

// vostra.stats._ratio: NaN unless both are finite and the denominator is not 0.
double ratio(double num, double den) {
    if (!(std::isfinite(num) && std::isfinite(den)) || den == 0) return NAN;
    return num / den;
}

// numpy's std(ddof=1) of r[0..n) (n >= 2), exactly 0 for identical values.
double sample_std(const std::vector<double> &r) {
    auto n = static_cast<Py_ssize_t>(r.size());
    auto [lo, hi] = std::minmax_element(r.begin(), r.end());
    if (*lo == *hi) return 0.0;
    double mean = numpy_sum([&](Py_ssize_t i) { return r[static_cast<std::size_t>(i)]; }, n) / static_cast<double>(n);
    double sq = numpy_sum([&](Py_ssize_t i) {
        double d = r[static_cast<std::size_t>(i)] - mean;
        return d * d;
    }, n);
    return std::sqrt(sq / static_cast<double>(n - 1));
}

// Of the values v[0..m): whether every one is finite and all but the last
// positive, whether one is NaN, and the least of the others (+inf for none).
struct CurveSigns {
    bool defined, nan;
    double low;
};

CurveSigns curve_signs(const double *v, Py_ssize_t m) {
    // Branch-free, in four lanes: only the signs of `low` are read, and a
    // minimum is the same value in any order.
    bool positive = true, nan = false;
    double low[4] = {INFINITY, INFINITY, INFINITY, INFINITY};
    Py_ssize_t last = m - 1, i = 0;
    for (; i + 4 <= last; i += 4) {
        for (int k = 0; k < 4; ++k) {
            double x = v[i + k];
            positive &= (x > 0) & (x < INFINITY);
            nan |= x != x;
            low[k] = x < low[k] ? x : low[k];
        }
    }
    for (; i < last; ++i) {
        double x = v[i];
        positive &= (x > 0) & (x < INFINITY);
        nan |= x != x;
        low[0] = x < low[0] ? x : low[0];
    }
    if (m > 0) {
        double x = v[last];
        positive &= std::isfinite(x);
        nan |= x != x;
        low[0] = x < low[0] ? x : low[0];
    }
    return {positive, nan, std::min(std::min(low[0], low[1]), std::min(low[2], low[3]))};
}

// The least (x - peak) / peak over v[0..m), peak the running maximum from
// v[0], NaN from a NaN on (as NumPy's maximum.accumulate and min).
double max_drawdown_nan(const double *v, Py_ssize_t m) {
    double peak = v[0], mdd = INFINITY;
    for (Py_ssize_t i = 0; i < m; ++i) {
        double x = v[i];
        peak = std::isnan(peak) || std::isnan(x) ? NAN : std::max(peak, x);
        double dd = (x - peak) / peak;
        mdd = std::isnan(mdd) || std::isnan(dd) ? NAN : std::min(mdd, dd);
    }
    return mdd;
}

// max_drawdown_nan of positive finite values, where no drawdown is NaN: a
// minimum in any order is the same value (x == peak gives +0.0), so four
// lanes keep the running minima apart and the divisions overlap.
double max_drawdown(const double *v, Py_ssize_t m) {
    double peak = v[0], low[4] = {INFINITY, INFINITY, INFINITY, INFINITY};
    Py_ssize_t i = 0;
    for (; i + 4 <= m; i += 4) {
        for (int k = 0; k < 4; ++k) {
            peak = std::max(peak, v[i + k]);
            low[k] = std::min(low[k], (v[i + k] - peak) / peak);
        }
    }
    for (; i < m; ++i) {
        peak = std::max(peak, v[i]);
        low[0] = std::min(low[0], (v[i] - peak) / peak);
    }
    return std::min(std::min(low[0], low[1]), std::min(low[2], low[3]));
}

// The summary figures of the window's values v[0..m) (anchor first), as
// vostra.stats._curve_stats computes them; `returns` is empty when they are
// undefined.
// `nan` and `low` tell whether a value is NaN and the least of the others.
void curve_figures(const double *v, Py_ssize_t m, bool nan, double low, const std::vector<double> &returns,
                   double ppy, double risk_free, Out put) {
    Py_ssize_t n = m - 1;
    if (n < 1 || !(v[0] > 0)) return;
    put("total_return", v[n] / v[0] - 1.0);
    if (!nan && low < 0) return;  // a drawdown beyond -100 % measures nothing
    double mdd = returns.empty() ? max_drawdown_nan(v, m) : max_drawdown(v, m);
    put("max_drawdown", mdd);
    if (returns.empty()) return;
    double growth = v[n] / v[0];
    double cagr = growth >= 0 ? std::pow(growth, ppy / static_cast<double>(n)) - 1.0 : NAN;
    put("cagr", cagr);
    if (mdd < 0) put("calmar", ratio(cagr, std::fabs(mdd)));
    if (n < 2) return;
    double std_dev = sample_std(returns);
    put("annual_volatility", std_dev * std::sqrt(ppy));
    std::vector<double> excess;
    const std::vector<double> *r = &returns;
    if (risk_free != 0) {
        // The annual rate compounded down to one period.
        double per_bar = std::pow(1.0 + risk_free, 1.0 / ppy) - 1.0;
        excess.resize(returns.size());
        for (std::size_t i = 0; i < returns.size(); ++i) excess[i] = returns[i] - per_bar;
        r = &excess;
        std_dev = sample_std(excess);
    }
    double fn = static_cast<double>(n);
    double mean = numpy_sum([&](Py_ssize_t i) { return (*r)[static_cast<std::size_t>(i)]; }, n) / fn;
    put("sharpe", ratio(mean, std_dev) * std::sqrt(ppy));
    double down = numpy_sum([&](Py_ssize_t i) {
        double x = std::min((*r)[static_cast<std::size_t>(i)], 0.0);
        return x * x;
    }, n) / fn;
    put("sortino", ratio(mean * ppy, std::sqrt(down) * std::sqrt(ppy)));
}

}  // namespace

namespace {

// The figures of window_figures into `put`; `caller` names the entry in messages.
void window_figures_into(PyObject *equity_obj, Py_ssize_t first, double ppy, PyObject *traded_obj,
                         PyObject *holdings_obj, PyObject *dates_obj, double risk_free, Out put, const char *caller) {
    check_array(equity_obj, Elem::f64, 1);
    View1<double> equity = view1<double>(equity_obj);
    if (first < 0 || first > equity.size) raisef(PyExc_ValueError, "%s() needs 0 <= first <= len(equity)", caller);
    Py_ssize_t anchor = std::max<Py_ssize_t>(first - 1, 0);
    Py_ssize_t m = equity.size - anchor, n = m - 1;
    if (m > 8192) raisef(PyExc_ValueError, "%s() sums at most 8192 values as NumPy does", caller);
    fetch_ahead(equity);
    for (PyObject *o : {traded_obj, holdings_obj, dates_obj})
        if (PyArray_Check(o) && PyArray_NDIM(reinterpret_cast<PyArrayObject *>(o)) == 1) fetch_ahead(view1<char>(o));
    // The curve is read in place when it is contiguous (the engine's is), else copied once.
    std::vector<double> copy;
    const double *v = reinterpret_cast<const double *>(equity.data) + anchor;
    if (!contiguous(equity)) {
        copy.resize(static_cast<std::size_t>(std::max<Py_ssize_t>(m, 0)));
        for (Py_ssize_t i = 0; i < m; ++i) copy[static_cast<std::size_t>(i)] = equity[anchor + i];
        v = copy.data();
    }
    // The returns need positive finite bases and a finite last value.
    CurveSigns signs = curve_signs(v, m);
    bool defined = m >= 2 && signs.defined, nan = signs.nan;
    double low = signs.low;
    std::vector<double> returns;
    if (defined) {
        returns.resize(static_cast<std::size_t>(n));
        for (Py_ssize_t i = 0; i < n; ++i) returns[static_cast<std::size_t>(i)] = v[i + 1] / v[i] - 1.0;
    }
    curve_figures(v, m, nan, low, returns, ppy, risk_free, put);
    if (traded_obj != Py_None && n > 0 && !nan && low >= 0) {
        // Over a mean that counts a negative equity, turnover can turn negative.
        check_array(traded_obj, Elem::f64, 1);
        View1<double> traded = view1<double>(traded_obj);
        double years = static_cast<double>(n) / ppy;
        double total = numpy_sum([&](Py_ssize_t i) { return traded[i]; }, traded.size);
        Py_ssize_t k = equity.size - first;
        double mean = numpy_sum([&](Py_ssize_t i) { return equity[first + i]; }, k) / static_cast<double>(k);
        put("turnover", ratio(total / years, mean));
    }
    if (returns.empty()) return;
    std::int64_t in_market = 0;
    if (holdings_obj != Py_None) {
        // The engine's counts are int32: read as they are, other types as float64.
        auto *given = reinterpret_cast<PyArrayObject *>(holdings_obj);
        bool counts = PyArray_Check(holdings_obj) && PyArray_NDIM(given) == 1 && PyArray_TYPE(given) == NPY_INT32;
        Ref held = counts ? Ref::borrow(holdings_obj)
                          : Ref::check(PyArray_FromAny(holdings_obj, PyArray_DescrFromType(NPY_DOUBLE), 1, 1,
                                                       NPY_ARRAY_ALIGNED, nullptr));
        auto size = PyArray_DIM(reinterpret_cast<PyArrayObject *>(held.get()), 0);
        if (size != n) raisef(PyExc_ValueError, "%s() needs a holding per return", caller);
        if (counts) {
            View1<std::int32_t> h = view1<std::int32_t>(held.get());
            for (Py_ssize_t i = 0; i < n; ++i) in_market += h[i] > 0;
        } else {
            View1<double> h = view1<double>(held.get());
            for (Py_ssize_t i = 0; i < n; ++i) in_market += h[i] > 0;
        }
    } else {
        for (double r : returns) in_market += r != 0;
    }
    put("time_in_market", static_cast<double>(in_market) / static_cast<double>(n));
    std::vector<std::int64_t> t;
    const std::int64_t *dates_at = nullptr;
    if (dates_obj != Py_None) {
        check_array(dates_obj, Elem::i64, 1);
        View1<std::int64_t> dates = view1<std::int64_t>(dates_obj);
        if (dates.size != m) raisef(PyExc_ValueError, "%s() needs a date per value", caller);
        for (Py_ssize_t i = 1; i < m; ++i)
            if (dates[i] < dates[i - 1]) raisef(PyExc_ValueError, "%s() needs ascending dates", caller);
        if (contiguous(dates)) {
            dates_at = reinterpret_cast<const std::int64_t *>(dates.data);
        } else {
            t.resize(static_cast<std::size_t>(m));
            for (Py_ssize_t i = 0; i < m; ++i) t[static_cast<std::size_t>(i)] = dates[i];
            dates_at = t.data();
        }
    }
    return_figures(v, n, returns, put);
    if (dates_at) calendar_figures(v, dates_at, n, ppy, put);
}

}  // namespace

// window_figures(equity, first, periods_per_year, traded, holdings, dates, risk_free, /): the dict of
// figures vostra.stats computes from a curve without a benchmark or trades, in the same bits: equity
// is the whole curve (at most 8192 values from the anchor on), first the window's first bar, traded
// the traded value on the window's bars (or None), holdings the positions on the return bars (or
// None), dates the wall-clock nanoseconds of the window's values (or None). Figures without a value
// are left out.
PyObject *py_window_figures(PyObject *, PyObject *args) {
    return firewall("vostra._engine.window_figures", "vostra/_engine", static_cast<PyObject *>(nullptr),
                    [&]() -> PyObject * {
        PyObject *equity_obj, *traded_obj, *holdings_obj, *dates_obj;
        Py_ssize_t first;
        double ppy, risk_free;
        if (!PyArg_ParseTuple(args, "O!ndOOOd:window_figures", &PyArray_Type, &equity_obj, &first, &ppy, &traded_obj,
                              &holdings_obj, &dates_obj, &risk_free))
            throw_py();
        Ref out = Ref::check(PyDict_New());
        window_figures_into(equity_obj, first, ppy, traded_obj, holdings_obj, dates_obj, risk_free, Out{out.get()},
                            "window_figures");
        return out.release();
    });
}


// printed_figures(keys, equity, first, periods_per_year, traded, holdings, dates, risk_free,
// entry_order, exit_bar, entry_bar, returns, excursions, /): what a printed result shows, in one
// call: the figures of window_figures and of trade_figures (with the averages) as a float64 array
// laid out as the tuple of names `keys` (NaN for a figure without a value), then the closed
// trades' MAE and MFE in entry order when there are more than 8192 of them to average (else None).
PyObject *py_printed_figures(PyObject *, PyObject *const *args, Py_ssize_t nargs) {
    return firewall("vostra._engine.printed_figures", "vostra/_engine", static_cast<PyObject *>(nullptr),
                    [&]() -> PyObject * {
        if (nargs != 13) raisef(PyExc_TypeError, "printed_figures() takes 13 arguments (%zd given)", nargs);
        const Slots &at = slots_of(args[0]);
        if (!PyArray_Check(args[1])) raise(PyExc_TypeError, "printed_figures() needs the equity as a NumPy array");
        Py_ssize_t first = PyLong_AsSsize_t(args[2]);
        double ppy = PyFloat_AsDouble(args[3]), risk_free = PyFloat_AsDouble(args[7]);
        throw_if_error();
        TradeColumns c = trade_columns(args[8], args[9], args[10], args[11], args[12], "printed_figures");
        npy_intp dims[1] = {static_cast<npy_intp>(at.size())};
        Ref values = Ref::check(PyArray_EMPTY(1, dims, NPY_DOUBLE, 0));
        double *slots = static_cast<double *>(PyArray_DATA(reinterpret_cast<PyArrayObject *>(values.get())));
        std::fill(slots, slots + at.size(), NAN);
        Out put{nullptr, slots, &at};
        window_figures_into(args[1], first, ppy, args[4], args[5], args[6], risk_free, put, "printed_figures");
        std::vector<double> mae, mfe;
        if (trade_figures_into(c, true, put, mae, mfe) || mae.empty())
            return Py_BuildValue("(OOO)", values.get(), Py_None, Py_None);
        Ref mae_array = vector_array(mae, NPY_DOUBLE), mfe_array = vector_array(mfe, NPY_DOUBLE);
        return Py_BuildValue("(OOO)", values.get(), mae_array.get(), mfe_array.get());
    });
}

// first_nonpositive(values, /): the first position of a 1-D float64 array whose
// value is at or below 0 (NaN is not), -1 for none. The front end asks it of
// every curve for its ruin warning; a NumPy reduction costs more in calls
// than the few thousand comparisons.
PyObject *py_first_nonpositive(PyObject *, PyObject *values_obj) {
    return firewall("vostra._engine.first_nonpositive", "vostra/_engine", static_cast<PyObject *>(nullptr),
                    [&]() -> PyObject * {
        check_array(values_obj, Elem::f64, 1);
        View1<double> values = view1<double>(values_obj);
        for (Py_ssize_t i = 0; i < values.size; ++i)
            if (values[i] <= 0) return PyLong_FromSsize_t(i);
        return PyLong_FromLong(-1);
    });
}

// return_figures(values, dates, periods_per_year, /): the dict of figures of
// the bar returns of `values` (the window's equity, anchor first, finite and
// positive but for the last); `dates` (int64 wall-clock nanoseconds of the values, or None)
// adds the calendar figures and the trailing periods.
PyObject *py_return_figures(PyObject *, PyObject *args) {
    return firewall("vostra._engine.return_figures", "vostra/_engine", static_cast<PyObject *>(nullptr),
                    [&]() -> PyObject * {
        PyObject *values_obj, *dates_obj;
        double ppy;
        if (!PyArg_ParseTuple(args, "O!Od:return_figures", &PyArray_Type, &values_obj, &dates_obj, &ppy))
            throw_py();
        check_array(values_obj, Elem::f64, 1);
        View1<double> values = view1<double>(values_obj);
        Py_ssize_t n = values.size - 1;
        if (n < 1) raisef(PyExc_ValueError, "return_figures() needs at least two values");
        std::vector<double> v(static_cast<std::size_t>(values.size));
        for (Py_ssize_t i = 0; i <= n; ++i) {
            v[static_cast<std::size_t>(i)] = values[i];
            // Every return needs a positive base; the last value may be a ruin.
            if (!std::isfinite(values[i]) || (i < n && !(values[i] > 0)))
                raisef(PyExc_ValueError, "return_figures() needs finite values, positive but for the last");
        }
        std::vector<std::int64_t> t;
        if (dates_obj != Py_None) {
            check_array(dates_obj, Elem::i64, 1);
            View1<std::int64_t> dates = view1<std::int64_t>(dates_obj);
            if (dates.size != values.size) raisef(PyExc_ValueError, "return_figures() needs a date per value");
            t.resize(static_cast<std::size_t>(dates.size));
            for (Py_ssize_t i = 0; i <= n; ++i) {
                t[static_cast<std::size_t>(i)] = dates[i];
                if (i && t[static_cast<std::size_t>(i)] < t[static_cast<std::size_t>(i - 1)])
                    raisef(PyExc_ValueError, "return_figures() needs ascending dates");
            }
        }
        Ref out = Ref::check(PyDict_New());
        Out put{out.get()};
        std::vector<double> r;
        return_figures(v.data(), n, r, put);
        if (!t.empty()) calendar_figures(v.data(), t.data(), n, ppy, put);
        return out.release();
    });
}

}  // namespace vostra::engine
