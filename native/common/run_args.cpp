// Binding and conversion of the arguments of a run.
#include "run_args.hpp"

namespace vostra {

const char *const run_param_names[run_nparams] = {
    "price_values", "close_values", "high_values", "low_values", "open_values", "price_index", "price_columns",
    "pos_values", "pos_index", "pos_columns", "resample", "fee_ratio", "tax_ratio", "stop_loss", "take_profit",
    "trail_stop", "trail_stop_activation", "touched_exit", "position_limit", "retain_cost_when_rebalance",
    "stop_trading_next_period", "orbalt_window", "orbalt_window_step", "periodically_rebalance", "delisting_bars"};

RunDefaults run_defaults;

void load_run_defaults(PyObject *numpy) {
    Ref inf = Ref::check(PyObject_GetAttrString(numpy, "inf"));
    double infinity = PyFloat_AsDouble(inf.get());
    if (infinity == -1.0 && PyErr_Occurred()) throw_py();
    run_defaults.take_profit = infinity;
    run_defaults.trail_stop = infinity;
}

namespace {

// The array parameters and their element types, in parameter order.
constexpr struct {
    RunParam param;
    Elem elem;
    int ndim;
} arrays[] = {
    {price_values, Elem::f64, 2},     {close_values, Elem::f64, 2}, {high_values, Elem::f64, 2},
    {low_values, Elem::f64, 2},       {open_values, Elem::f64, 2},  {price_index, Elem::i64, 1},
    {price_columns, Elem::object, 1}, {pos_values, Elem::f64, 2},   {pos_index, Elem::i64, 1},
    {pos_columns, Elem::object, 1},   {resample, Elem::i64, 1},
};

double float_or(PyObject *o, double fallback) { return o ? to_double(o) : fallback; }
bool bool_or(PyObject *o, bool fallback) { return o ? to_bool(o) : fallback; }
int int_or(PyObject *o, int fallback) { return o ? to_int32(o) : fallback; }

}  // namespace

void convert_run(RunArgs &a) {
    PyObject **v = a.v;
    kernel::Options &opt = a.opt;
    opt.fee_ratio = float_or(v[fee_ratio], run_defaults.fee_ratio);
    opt.tax_ratio = float_or(v[tax_ratio], run_defaults.tax_ratio);
    opt.stop_loss = float_or(v[stop_loss], 1.0);
    opt.take_profit = float_or(v[take_profit], run_defaults.take_profit);
    opt.trail_stop = float_or(v[trail_stop], run_defaults.trail_stop);
    opt.trail_stop_activation = float_or(v[trail_stop_activation], 0.0);
    opt.touched_exit = bool_or(v[touched_exit], false);
    opt.position_limit = float_or(v[position_limit], 1.0);
    opt.retain_cost_when_rebalance = bool_or(v[retain_cost_when_rebalance], false);
    a.stop_trading = v[stop_trading_next_period] ? v[stop_trading_next_period] : Py_True;
    opt.orbalt_window = int_or(v[orbalt_window], 0);
    opt.orbalt_window_step = int_or(v[orbalt_window_step], 1);
    opt.periodically_rebalance = bool_or(v[periodically_rebalance], true);

    kernel::Market &m = a.market;
    if (a.delisting.held) {
        PyBuffer_Release(&a.delisting.view);
        a.delisting.held = false;
    }
    m.has_delisting_bars = false;
    if (v[delisting_bars] && v[delisting_bars] != Py_None) {
        get_checked_buffer(v[delisting_bars], &a.delisting.view, Elem::const_i64, 1);
        a.delisting.held = true;
        m.has_delisting_bars = true;
        m.delisting_bars = view1<std::int64_t>(a.delisting.view);
    }

    // None passes no array check: a run needs every matrix.
    for (const auto &arr : arrays) {
        PyObject *o = v[arr.param];
        if (!PyArray_Check(o))
            raisef(PyExc_TypeError, "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)",
                   run_param_names[arr.param], PyArray_Type.tp_name, Py_TYPE(o)->tp_name);
    }
    for (const auto &arr : arrays) check_array(v[arr.param], arr.elem, arr.ndim);

    m.price = view2<double>(v[price_values]);
    m.close = view2<double>(v[close_values]);
    m.high = view2<double>(v[high_values]);
    m.low = view2<double>(v[low_values]);
    m.open = view2<double>(v[open_values]);
    m.weights = view2<double>(v[pos_values]);
    m.price_dates = view1<std::int64_t>(v[price_index]);
    m.pos_dates = view1<std::int64_t>(v[pos_index]);
    m.resample_dates = view1<std::int64_t>(v[resample]);
    a.price_labels = view1<PyObject *>(v[price_columns]);
    a.pos_labels = view1<PyObject *>(v[pos_columns]);
}

void bind_run(const Signature &sig, PyObject *args, PyObject *kwargs, RunArgs &out) {
    bind_args(sig, args, kwargs, out.v);
    convert_run(out);
}

kernel::Labels encode_labels(const View1<PyObject *> &labels) {
    kernel::Labels out;
    out.reserve(static_cast<std::size_t>(labels.size));
    for (Py_ssize_t i = 0; i < labels.size; ++i) {
        // Held while it is encoded: its `encode` may replace it in the array.
        Ref label = Ref::borrow(labels[i]);
        if (PyUnicode_Check(label.get())) {
            Py_ssize_t n;
            const char *s = PyUnicode_AsUTF8AndSize(label.get(), &n);
            if (!s) throw_py();
            out.emplace_back(s, static_cast<std::size_t>(n));
            continue;
        }
        Ref b = Ref::check(PyObject_CallMethod(label.get(), "encode", "s", "UTF-8"));
        char *s;
        Py_ssize_t n;
        if (PyBytes_AsStringAndSize(b.get(), &s, &n) < 0) throw_py();
        out.emplace_back(s, static_cast<std::size_t>(n));
    }
    return out;
}

}  // namespace vostra
