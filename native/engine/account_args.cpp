// Binding and checks of the account options of the native entry.
#include "account_args.hpp"

#include "common/argbind.hpp"
#include "common/arrays.hpp"
#include "common/numpy.hpp"

#include <cmath>

namespace vostra::engine {

enum {
    capital,
    lot_size,
    min_fee,
    slippage,
    leverage,
    borrow_rate,
    cash_rate,
    periods_per_year,
    volume,
    max_volume_share,
    price_limit,
    blocked,
    dividends,
    splits,
    cash_flows,
    dividend_tax
};

AccountArgs pop_account(PyObject *kwargs) {
    AccountArgs out;
    if (!kwargs) return out;
    for (int i = 0; i < account_count; ++i) {
        Ref key = Ref::check(PyUnicode_InternFromString(account_names[i]));
        PyObject *v = PyDict_GetItemWithError(kwargs, key.get());
        if (!v) {
            throw_if_error();
            continue;
        }
        out.v[i] = Ref::borrow(v);
        if (PyDict_DelItem(kwargs, key.get()) < 0) throw_py();
    }
    return out;
}

namespace {

bool given(const AccountArgs &a, int i) { return a.v[i] && a.v[i].get() != Py_None; }

double number(const AccountArgs &a, int i, double fallback) { return given(a, i) ? to_double(a.v[i].get()) : fallback; }

[[noreturn]] void bad(const AccountArgs &a, int i, const char *what) {
    raisef(PyExc_ValueError, "%s must be %s, got %R", account_names[i], what, a.v[i].get());
}

// Positive whole numbers, small enough that share counts stay exact.
bool whole_lot(double lot) { return lot >= 1 && lot <= 1e12 && std::floor(lot) == lot; }

// Lot sizes per signal column: one number for every column, or one each.
std::vector<double> lots(const AccountArgs &a, Py_ssize_t columns) {
    Ref arr;
    try {
        arr = Ref::check(
            PyArray_FROMANY(a.v[lot_size].get(), NPY_DOUBLE, 0, 1, NPY_ARRAY_CARRAY_RO | NPY_ARRAY_FORCECAST));
    } catch (const py_error &) {
        PyErr_Clear();
        bad(a, lot_size, "a whole number of shares, or one per signal column");
    }
    auto *p = reinterpret_cast<PyArrayObject *>(arr.get());
    const double *data = static_cast<const double *>(PyArray_DATA(p));
    if (PyArray_NDIM(p) == 0) {
        if (!whole_lot(data[0])) bad(a, lot_size, "a positive whole number of shares");
        return std::vector<double>(static_cast<std::size_t>(columns), data[0]);
    }
    if (PyArray_DIM(p, 0) != columns)
        raisef(PyExc_ValueError, "lot_size has %zd lot sizes for %zd signal columns", Py_ssize_t(PyArray_DIM(p, 0)),
               columns);
    for (Py_ssize_t i = 0; i < columns; ++i)
        if (!whole_lot(data[i]))
            raisef(PyExc_ValueError, "lot_size must be positive whole numbers of shares, got %R for column %zd",
                   Ref::check(PyFloat_FromDouble(data[i])).get(), i);
    return std::vector<double>(data, data + columns);
}

// A bars x price columns matrix of `type` (float64 or bool), read in place.
template <class T>
kernel::View2<T> matrix(const AccountArgs &a, int i, int type, const char *what, const kernel::Market &m) {
    PyObject *o = a.v[i].get();
    if (!PyArray_Check(o) || PyArray_TYPE(reinterpret_cast<PyArrayObject *>(o)) != type || PyArray_NDIM(reinterpret_cast<PyArrayObject *>(o)) != 2)
        raisef(PyExc_TypeError, "%s must be a 2-D %s array (bars x price columns), got %.200s", account_names[i], what,
               Py_TYPE(o)->tp_name);
    auto *arr = reinterpret_cast<PyArrayObject *>(o);
    // Read in place, so the values must be in the machine's byte order.
    if (!PyArray_ISNOTSWAPPED(arr))
        raisef(PyExc_TypeError, "%s must be in the machine's byte order (its dtype is %R); convert it with "
               "astype('=f8')", account_names[i], reinterpret_cast<PyObject *>(PyArray_DESCR(arr)));
    if (PyArray_DIM(arr, 0) != m.price.rows || PyArray_DIM(arr, 1) != m.price.cols)
        raisef(PyExc_ValueError, "%s has shape (%zd, %zd), the prices (%zd, %zd)", account_names[i],
               Py_ssize_t(PyArray_DIM(arr, 0)), Py_ssize_t(PyArray_DIM(arr, 1)), Py_ssize_t(m.price.rows),
               Py_ssize_t(m.price.cols));
    return view2<T>(o);
}

// The market rules: each needs an account in currency.
void convert_market(const AccountArgs &a, bool has_capital, const kernel::Market &m, kernel::MarketRules &out) {
    out = kernel::MarketRules{};
    bool has_volume = given(a, volume), has_share = given(a, max_volume_share);
    if (has_volume != has_share)
        raise(PyExc_ValueError, "volume and max_volume_share go together: the cap is a share of each bar's volume");
    for (int i : {volume, price_limit, blocked})
        if (given(a, i) && !has_capital)
            raisef(PyExc_ValueError, "%s needs capital: the market's limits are counted in shares",
                   account_names[i]);
    if (has_volume) {
        out.volume = matrix<double>(a, volume, NPY_DOUBLE, "float64", m);
        out.max_volume_share = to_double(a.v[max_volume_share].get());
        if (!(out.max_volume_share > 0 && out.max_volume_share <= 1))
            bad(a, max_volume_share, "a fraction in (0, 1]");
    }
    if (given(a, price_limit)) {
        out.price_limit = to_double(a.v[price_limit].get());
        if (!(out.price_limit > 0 && out.price_limit < 1)) bad(a, price_limit, "a fraction in (0, 1)");
    }
    if (given(a, blocked)) out.blocked = matrix<std::uint8_t>(a, blocked, NPY_BOOL, "bool", m);
    out.on = has_volume || given(a, price_limit) || given(a, blocked);
}

}  // namespace

void convert_events(const AccountArgs &a, const kernel::Market &m, kernel::LedgerEvents &out) {
    out = kernel::LedgerEvents{};
    // Their values are checked where a run reads them: a whole matrix is
    // as large as the prices, and a run reads the few columns it holds.
    if (given(a, dividends)) out.dividends = matrix<double>(a, dividends, NPY_DOUBLE, "float64", m);
    if (given(a, splits)) out.splits = matrix<double>(a, splits, NPY_DOUBLE, "float64", m);
    if (given(a, cash_flows)) {
        if (!given(a, capital)) raise(PyExc_ValueError, "cash_flows needs capital: a deposit is an amount of currency");
        PyObject *o = a.v[cash_flows].get();
        auto *arr = reinterpret_cast<PyArrayObject *>(o);
        if (!PyArray_Check(o) || PyArray_TYPE(arr) != NPY_DOUBLE || PyArray_NDIM(arr) != 1 || !PyArray_ISNOTSWAPPED(arr))
            raisef(PyExc_TypeError, "cash_flows must be a 1-D float64 array (one amount per bar), got %.200s",
                   Py_TYPE(o)->tp_name);
        if (PyArray_DIM(arr, 0) != m.price.rows)
            raisef(PyExc_ValueError, "cash_flows has %zd values for %zd bars", Py_ssize_t(PyArray_DIM(arr, 0)),
                   Py_ssize_t(m.price.rows));
        out.flows = {static_cast<const char *>(PyArray_DATA(arr)), PyArray_DIM(arr, 0), PyArray_STRIDE(arr, 0)};
        for (kernel::index_t b = 0; b < out.flows.size; ++b)
            if (std::isinf(out.flows[b]))
                raisef(PyExc_ValueError, "cash_flows must be finite amounts (NaN: none), got %R at bar %zd",
                       Ref::check(PyFloat_FromDouble(out.flows[b])).get(), Py_ssize_t(b));
    }
    out.dividend_tax = number(a, dividend_tax, 0.0);
    if (!(out.dividend_tax >= 0 && out.dividend_tax < 1)) bad(a, dividend_tax, "a fraction in [0, 1)");
    out.on = out.dividends.data || out.splits.data || out.flows.data;
}

void convert_account(const AccountArgs &a, Py_ssize_t columns, const kernel::Market &market,
                     kernel::AccountOptions &out) {
    out = kernel::AccountOptions{};
    bool has_capital = given(a, capital);
    out.capital = number(a, capital, 1.0);
    if (!(out.capital > 0 && std::isfinite(out.capital))) bad(a, capital, "a positive finite amount");
    out.min_fee = number(a, min_fee, 0.0);
    if (!(out.min_fee >= 0 && std::isfinite(out.min_fee))) bad(a, min_fee, "a finite amount >= 0");
    if (out.min_fee != 0 && !has_capital)
        raise(PyExc_ValueError, "min_fee needs capital: a minimum fee is an amount of currency");
    if (given(a, lot_size)) {
        if (!has_capital) raise(PyExc_ValueError, "lot_size needs capital: whole lots are sized in currency");
        out.lot = lots(a, columns);
    }
    out.slippage = number(a, slippage, 0.0);
    if (!(out.slippage >= 0 && out.slippage < 1)) bad(a, slippage, "a fraction in [0, 1)");
    out.leverage = number(a, leverage, 1.0);
    if (!(out.leverage >= 0 && std::isfinite(out.leverage))) bad(a, leverage, "a finite number >= 0");
    double periods = number(a, periods_per_year, 252.0);
    if (!(periods > 0 && std::isfinite(periods))) bad(a, periods_per_year, "a positive finite number");
    double borrow = number(a, borrow_rate, 0.0), cash = number(a, cash_rate, 0.0);
    if (!(borrow >= -1 && std::isfinite(borrow))) bad(a, borrow_rate, "a finite annual rate >= -1");
    if (!(cash >= -1 && std::isfinite(cash))) bad(a, cash_rate, "a finite annual rate >= -1");
    out.borrow_per_bar = borrow / periods;
    out.cash_per_bar = cash / periods;
    convert_market(a, has_capital, market, out.market);
    out.on = has_capital || !out.lot.empty() || out.min_fee != 0 || out.slippage != 0 || out.leverage != 1 ||
             out.borrow_per_bar != 0 || out.cash_per_bar != 0;
}

}  // namespace vostra::engine
