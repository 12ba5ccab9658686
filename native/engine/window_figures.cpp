// The summary figures of a window of the equity curve that the statistics
// print (total return, drawdown, CAGR, volatility, Sharpe, Sortino,
// turnover, time in market), gathered with the return and calendar
// figures in one call; and the ruin test of a curve.
#include "figures.hpp"

#include <algorithm>

namespace vostra::engine {

namespace {

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

// The traded value over the window's n returns (`traded`, the traded
// value on its bars), a year's worth over the mean equity from `first` on.
double turnover(PyObject *traded_obj, const View1<double> &equity, Py_ssize_t first, Py_ssize_t n, double ppy) {
    check_array(traded_obj, Elem::f64, 1);
    View1<double> traded = view1<double>(traded_obj);
    double years = static_cast<double>(n) / ppy;
    double total = numpy_sum([&](Py_ssize_t i) { return traded[i]; }, traded.size);
    Py_ssize_t k = equity.size - first;
    double mean = numpy_sum([&](Py_ssize_t i) { return equity[first + i]; }, k) / static_cast<double>(k);
    return ratio(total / years, mean);
}

// How many of the window's returns were made holding something: by the
// holdings on the return bars, or without them by the nonzero returns.
std::int64_t bars_in_market(PyObject *holdings_obj, const std::vector<double> &returns, const char *caller) {
    auto n = static_cast<Py_ssize_t>(returns.size());
    std::int64_t in_market = 0;
    if (holdings_obj == Py_None) {
        for (double r : returns) in_market += r != 0;
        return in_market;
    }
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
    return in_market;
}

// The window's m dates, checked (one per value, ascending): read in place
// when contiguous, else copied into `t`.
const std::int64_t *window_dates(PyObject *dates_obj, Py_ssize_t m, std::vector<std::int64_t> &t, const char *caller) {
    check_array(dates_obj, Elem::i64, 1);
    View1<std::int64_t> dates = view1<std::int64_t>(dates_obj);
    if (dates.size != m) raisef(PyExc_ValueError, "%s() needs a date per value", caller);
    for (Py_ssize_t i = 1; i < m; ++i)
        if (dates[i] < dates[i - 1]) raisef(PyExc_ValueError, "%s() needs ascending dates", caller);
    if (contiguous(dates)) return reinterpret_cast<const std::int64_t *>(dates.data);
    t.resize(static_cast<std::size_t>(m));
    for (Py_ssize_t i = 0; i < m; ++i) t[static_cast<std::size_t>(i)] = dates[i];
    return t.data();
}

}  // namespace

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
    // Over a mean that counts a negative equity, turnover can turn negative.
    if (traded_obj != Py_None && n > 0 && !nan && low >= 0)
        put("turnover", turnover(traded_obj, equity, first, n, ppy));
    if (returns.empty()) return;
    put("time_in_market", static_cast<double>(bars_in_market(holdings_obj, returns, caller)) / static_cast<double>(n));
    std::vector<std::int64_t> t;
    const std::int64_t *dates_at = dates_obj == Py_None ? nullptr : window_dates(dates_obj, m, t, caller);
    return_figures(v, n, returns, put);
    if (dates_at) calendar_figures(v, dates_at, n, ppy, put);
}

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

}  // namespace vostra::engine
