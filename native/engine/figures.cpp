// The trade figures of a run's statistics straight from its ledger columns:
// a sweep asks them of every run, and a dozen NumPy passes over the trade
// columns cost more than the run's own bookkeeping. Counts and sums of whole
// bars do not depend on the order; the MAE and MFE of the closed trades are
// handed back in the trade log's order (by entry), for the caller to average
// with NumPy as the statistics do (how NumPy rounds a long sum depends on
// its version).
#include "common/run_args.hpp"
#include <cmath>
#include <vector>

namespace vostra::engine {

namespace {

void set_float(PyObject *d, const char *key, double v) {
    Ref value = Ref::check(PyFloat_FromDouble(v));
    if (PyDict_SetItemString(d, key, value.get()) < 0) throw_py();
}

}  // namespace

// trade_figures(entry_order, exit_bar, entry_bar, returns, excursions, /):
// ({trades, win_rate, avg_holding_bars}, mae, mfe) of the closed trades
// (exit_bar >= 0), the dict without the figures that have no value.
PyObject *py_trade_figures(PyObject *, PyObject *args) {
    return firewall("vostra._engine.trade_figures", "vostra/_engine", static_cast<PyObject *>(nullptr),
                    [&]() -> PyObject * {
        PyObject *order_obj, *exit_obj, *entry_obj, *returns_obj, *excursions_obj;
        if (!PyArg_ParseTuple(args, "O!O!O!O!O!:trade_figures", &PyArray_Type, &order_obj, &PyArray_Type, &exit_obj,
                              &PyArray_Type, &entry_obj, &PyArray_Type, &returns_obj, &PyArray_Type, &excursions_obj))
            throw_py();
        check_array(order_obj, Elem::i64, 1);
        check_array(exit_obj, Elem::i64, 1);
        check_array(entry_obj, Elem::i64, 1);
        check_array(returns_obj, Elem::f64, 1);
        check_array(excursions_obj, Elem::f64, 3);
        View1<std::int64_t> order = view1<std::int64_t>(order_obj), exit_bar = view1<std::int64_t>(exit_obj),
                            entry_bar = view1<std::int64_t>(entry_obj);
        View1<double> returns = view1<double>(returns_obj);
        auto *x = reinterpret_cast<PyArrayObject_fields *>(excursions_obj);
        Py_ssize_t n = exit_bar.size;
        if (entry_bar.size != n || returns.size != n || x->dimensions[0] != n || x->dimensions[1] < 1 ||
            x->dimensions[2] < 2)
            raisef(PyExc_ValueError, "trade_figures() needs columns of one length and excursions of shape "
                                     "(trades, groups, 6)");
        // The exit group is the last one of each trade.
        const char *exit_group = x->data + (x->dimensions[1] - 1) * x->strides[1];
        std::vector<double> mae, mfe;
        std::int64_t wins = 0, with_return = 0, bars = 0;
        for (Py_ssize_t i = 0; i < order.size; ++i) {
            Py_ssize_t row = numpy_index(order[i], n, 0);
            if (exit_bar[row] < 0) continue;
            const char *g = exit_group + row * x->strides[0];
            mae.push_back(load<double>(g));
            mfe.push_back(load<double>(g + x->strides[2]));
            bars += exit_bar[row] - entry_bar[row];
            double r = returns[row];
            with_return += !std::isnan(r);
            wins += r > 0;
        }
        Ref out = Ref::check(PyDict_New());
        set_float(out.get(), "trades", static_cast<double>(n));
        if (with_return) set_float(out.get(), "win_rate", static_cast<double>(wins) / static_cast<double>(with_return));
        if (!mae.empty())
            set_float(out.get(), "avg_holding_bars", static_cast<double>(bars) / static_cast<double>(mae.size()));
        Ref mae_array = vector_array(mae, NPY_DOUBLE), mfe_array = vector_array(mfe, NPY_DOUBLE);
        return Py_BuildValue("(OOO)", out.get(), mae_array.get(), mfe_array.get());
    });
}

}  // namespace vostra::engine
