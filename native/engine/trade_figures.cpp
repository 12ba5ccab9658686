// The trade figures of a run's statistics straight from its ledger columns:
// a sweep asks them of every run, and a dozen NumPy passes over the trade
// columns cost more than the run's own bookkeeping. Counts and sums of whole
// bars do not depend on the order; the MAE and MFE of the closed trades are
// handed back in the trade log's order (by entry), for the caller to average
// with NumPy as the statistics do (how NumPy rounds a long sum depends on
// its version).
#include "figures.hpp"

#include <algorithm>
#include <memory>

namespace vostra::engine {

namespace {

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

template bool trade_figures_into<Out>(const TradeColumns &, bool, Out, std::vector<double> &,
                                        std::vector<double> &);

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
