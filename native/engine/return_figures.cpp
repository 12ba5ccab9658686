// The figures of a window's bar returns that the statistics print below the
// summary: one pass or two over a few thousand returns, where NumPy spends
// a call (and a temporary array) on each figure. The definitions are those
// of vostra.stats (quantstats' on the same returns); a figure without a
// value is left out of the dict. Besides them, the best and worst
// calendar month and year and the trailing periods' returns.
#include "calendar.hpp"
#include "figures.hpp"

#include <algorithm>
#include <functional>
#include <memory>

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

}  // namespace

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

namespace {

std::int64_t month_of(std::int64_t ns) {
    Civil c = civil_from_days(floor_div(ns, day_ns));
    return c.year * 12 + (c.month - 1);
}

// Nanoseconds of the first day of a month counted from January 1970.
std::int64_t month_start_ns(std::int64_t month) {
    std::int64_t year = floor_div(month, 12);
    return days_from_civil(year, static_cast<unsigned>(month - year * 12 + 1), 1) * day_ns;
}

}  // namespace

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
