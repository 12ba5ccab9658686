// What the statistics' figure files share: where a figure goes (a dict by
// name, or the slots of a printed result's array), NumPy's pairwise sum,
// and the figures one file hands another.
#pragma once
#include "common/run_args.hpp"

#include <cmath>
#include <unordered_map>
#include <utility>
#include <vector>

namespace vostra::engine {

// The interned str of a figure's name (a string literal), made once.
PyObject *name_of(const char *key);

// d[key] = v, the key under its interned name.
void set_float(PyObject *d, const char *key, double v);

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

// A run's ledger columns as the trade figures read them, checked.
struct TradeColumns {
    View1<std::int64_t> order, exit_bar, entry_bar;
    View1<double> returns;
    PyArrayObject_fields *x;  // trades x groups x 6
};

// The checked trade columns of a run's ledger; `caller` names the entry in messages.
TradeColumns trade_columns(PyObject *order_obj, PyObject *exit_obj, PyObject *entry_obj, PyObject *returns_obj,
                           PyObject *excursions_obj, const char *caller);

// The trade figures into `put` (which takes every value, NaN too), and the
// closed trades' MAE and MFE in entry order into `mae` and `mfe`. With
// `averages`, and at most 8192 closed trades, their averages go to `put`
// too; returns whether they did.
template <class Put>
bool trade_figures_into(const TradeColumns &c, bool averages, Put put, std::vector<double> &mae,
                        std::vector<double> &mfe);

// The figures of the n bar returns of v[0..n] (anchor first); `r` holds the
// returns, or is empty and receives them.
void return_figures(const double *v, Py_ssize_t n, std::vector<double> &r, Out put);

// Best and worst calendar month and year, and the returns of the periods
// that end on the last bar; `t` are the wall-clock dates of the values.
void calendar_figures(const double *v, const std::int64_t *t, Py_ssize_t n, double ppy, Out put);

// The figures of window_figures into `put`; `caller` names the entry in messages.
void window_figures_into(PyObject *equity_obj, Py_ssize_t first, double ppy, PyObject *traded_obj,
                         PyObject *holdings_obj, PyObject *dates_obj, double risk_free, Out put, const char *caller);

}  // namespace vostra::engine
