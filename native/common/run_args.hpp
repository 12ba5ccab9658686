// The 25 arguments of a run, bound, converted and checked the way the
// engine's callers see it, for both entries into the simulation body:
// `backtest_` and the native entry `vostra._engine.run`.
#pragma once
#include "argbind.hpp"
#include "arrays.hpp"
#include "kernel/checks.hpp"

namespace vostra {

enum RunParam {
    price_values, close_values, high_values, low_values, open_values, price_index, price_columns, pos_values,
    pos_index, pos_columns, resample, fee_ratio, tax_ratio, stop_loss, take_profit, trail_stop,
    trail_stop_activation, touched_exit, position_limit, retain_cost_when_rebalance, stop_trading_next_period,
    orbalt_window, orbalt_window_step, periodically_rebalance, delisting_bars, run_nparams
};

extern const char *const run_param_names[run_nparams];

// Defaults of the float options, evaluated once at import (the infinities
// from NumPy's `inf`).
struct RunDefaults {
    double fee_ratio = 0.001425, tax_ratio = 0.003, take_profit = 0, trail_stop = 0;
};
extern RunDefaults run_defaults;
void load_run_defaults(PyObject *numpy);

// Holds a buffer for the length of a run.
struct BufferGuard {
    Py_buffer view{};
    bool held = false;
    BufferGuard() = default;
    BufferGuard(const BufferGuard &) = delete;
    BufferGuard &operator=(const BufferGuard &) = delete;
    ~BufferGuard() {
        if (held) PyBuffer_Release(&view);
    }
};

// One run's arguments: the objects as given (borrowed from the call), the
// options as plain values and the market as views over the arrays.
struct RunArgs {
    PyObject *v[run_nparams] = {};
    kernel::Options opt;
    PyObject *stop_trading = nullptr;  // the object given, tested for truth where used
    BufferGuard delisting;
    kernel::Market market;
    View1<PyObject *> price_labels, pos_labels;
};

// Binds positional and keyword arguments by `sig` and converts them in
// parameter order: scalar options, delisting_bars, then the array types,
// element types and dimensions. Throws py_error with the callers' messages.
void bind_run(const Signature &sig, PyObject *args, PyObject *kwargs, RunArgs &out);

// Fills the options and the market of `out` from the objects in `out.v`
// (already bound); used by bind_run and by entries that take the options of
// many runs from dicts.
void convert_run(RunArgs &out);

// The UTF-8 bytes of every label, copied so the run owns them: a str's own
// encoding, or the bytes its `encode("UTF-8")` returns for another object.
kernel::Labels encode_labels(const View1<PyObject *> &labels);

}  // namespace vostra
