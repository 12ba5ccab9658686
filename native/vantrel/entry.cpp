// backtest_: binds and checks the 25 arguments, then runs the simulation.
#include "common/argbind.hpp"
#include "engine.hpp"

namespace vostra::vantrel {

Defaults defaults;

namespace {

enum Param {
    price_values, close_values, high_values, low_values, open_values, price_index, price_columns, pos_values,
    pos_index, pos_columns, resample, fee_ratio, tax_ratio, stop_loss, take_profit, trail_stop,
    trail_stop_activation, touched_exit, position_limit, retain_cost_when_rebalance, stop_trading_next_period,
    orbalt_window, orbalt_window_step, periodically_rebalance, delisting_bars, nparams
};

const char *const param_names[nparams] = {
    "price_values", "close_values", "high_values", "low_values", "open_values", "price_index", "price_columns",
    "pos_values", "pos_index", "pos_columns", "resample", "fee_ratio", "tax_ratio", "stop_loss", "take_profit",
    "trail_stop", "trail_stop_activation", "touched_exit", "position_limit", "retain_cost_when_rebalance",
    "stop_trading_next_period", "orbalt_window", "orbalt_window_step", "periodically_rebalance", "delisting_bars"};

const Signature signature{"backtest_", param_names, nparams, 11};

// The array parameters and their element types, in parameter order.
constexpr struct {
    Param param;
    Elem elem;
    int ndim;
} arrays[] = {
    {price_values, Elem::f64, 2}, {close_values, Elem::f64, 2}, {high_values, Elem::f64, 2},
    {low_values, Elem::f64, 2},   {open_values, Elem::f64, 2},  {price_index, Elem::i64, 1},
    {price_columns, Elem::object, 1}, {pos_values, Elem::f64, 2}, {pos_index, Elem::i64, 1},
    {pos_columns, Elem::object, 1}, {resample, Elem::i64, 1},
};

double float_or(PyObject *o, double fallback) { return o ? to_double(o) : fallback; }
bool bool_or(PyObject *o, bool fallback) { return o ? to_bool(o) : fallback; }
int int_or(PyObject *o, int fallback) { return o ? to_int32(o) : fallback; }

// Holds the delisting buffer for the length of a run.
struct BufferGuard {
    Py_buffer view{};
    bool held = false;
    ~BufferGuard() {
        if (held) PyBuffer_Release(&view);
    }
};

// One run at a time per process: the recorder and the report are global.
struct RunGuard {
    RunGuard() {
        if (module.running)
            raise(PyExc_RuntimeError,
                  "backtest_() was called while another backtest_ is running in this process; the engine keeps "
                  "one run's state per process, so runs cannot be nested");
        module.running = true;
    }
    ~RunGuard() { module.running = false; }
    RunGuard(const RunGuard &) = delete;
    RunGuard &operator=(const RunGuard &) = delete;
};

// The recorder creates a few Python objects per trade, none of them cyclic
// garbage; collecting during a run would only rescan the growing trade log.
struct GcPause {
    int was_enabled = PyGC_Disable();
    ~GcPause() {
        if (was_enabled) PyGC_Enable();
    }
};

}  // namespace

PyObject *py_backtest(PyObject *, PyObject *args, PyObject *kwargs) {
    return firewall("vostra.core.vantrel.backtest_", source_file, static_cast<PyObject *>(nullptr),
                    [&]() -> PyObject * {
        PyObject *v[nparams];
        bind_args(signature, args, kwargs, v);

        Options opt;
        opt.fee_ratio = float_or(v[fee_ratio], defaults.fee_ratio);
        opt.tax_ratio = float_or(v[tax_ratio], defaults.tax_ratio);
        opt.stop_loss = float_or(v[stop_loss], 1.0);
        opt.take_profit = float_or(v[take_profit], defaults.take_profit);
        opt.trail_stop = float_or(v[trail_stop], defaults.trail_stop);
        opt.trail_stop_activation = float_or(v[trail_stop_activation], 0.0);
        opt.touched_exit = bool_or(v[touched_exit], false);
        opt.position_limit = float_or(v[position_limit], 1.0);
        opt.retain_cost_when_rebalance = bool_or(v[retain_cost_when_rebalance], false);
        opt.stop_trading_next_period = v[stop_trading_next_period] ? v[stop_trading_next_period] : Py_True;
        opt.orbalt_window = int_or(v[orbalt_window], 0);
        opt.orbalt_window_step = int_or(v[orbalt_window_step], 1);
        opt.periodically_rebalance = bool_or(v[periodically_rebalance], true);

        Inputs in{};
        BufferGuard delisting;
        if (v[delisting_bars] && v[delisting_bars] != Py_None) {
            get_checked_buffer(v[delisting_bars], &delisting.view, Elem::const_i64, 1);
            delisting.held = true;
            in.has_delisting_bars = true;
            in.delisting_bars = view1<std::int64_t>(delisting.view);
        }

        // None passes no array check: a run needs every matrix.
        for (const auto &a : arrays) {
            PyObject *o = v[a.param];
            if (!PyArray_Check(o))
                raisef(PyExc_TypeError, "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)",
                       param_names[a.param], PyArray_Type.tp_name, Py_TYPE(o)->tp_name);
        }
        for (const auto &a : arrays) check_array(v[a.param], a.elem, a.ndim);

        in.price_values = v[price_values];
        in.close_values = v[close_values];
        in.high_values = v[high_values];
        in.low_values = v[low_values];
        in.open_values = v[open_values];
        in.price_index = v[price_index];
        in.price_columns = v[price_columns];
        in.pos_values = v[pos_values];
        in.pos_index = v[pos_index];
        in.pos_columns = v[pos_columns];
        in.resample = v[resample];
        in.price = view2<double>(in.price_values);
        in.close = view2<double>(in.close_values);
        in.high = view2<double>(in.high_values);
        in.low = view2<double>(in.low_values);
        in.open = view2<double>(in.open_values);
        in.weights = view2<double>(in.pos_values);
        in.price_dates = view1<std::int64_t>(in.price_index);
        in.pos_dates = view1<std::int64_t>(in.pos_index);
        in.resample_dates = view1<std::int64_t>(in.resample);
        in.price_labels = view1<PyObject *>(in.price_columns);
        in.pos_labels = view1<PyObject *>(in.pos_columns);

        RunGuard guard;
        GcPause gc_pause;
        ColumnMap columns;
        bool mapped = check_inputs(in, opt, columns);
        return simulate(in, opt, mapped ? &columns : nullptr).release();
    });
}

}  // namespace vostra::vantrel
