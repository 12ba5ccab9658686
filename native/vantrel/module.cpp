// Module `vostra.core.vantrel`: import, binding of the recorder, module
// globals and the Python-callable functions.
#define VOSTRA_IMPORT_ARRAY
#include "common/module_init.hpp"
#include "host.hpp"
#include "common/run_args.hpp"

namespace vostra::vantrel {

ModuleState module;
PyObject *py_backtest(PyObject *, PyObject *args, PyObject *kwargs);
PyObject *py_get_trade_stocks(PyObject *, PyObject *args, PyObject *kwargs);
PyObject *py_normalize_weight(PyObject *, PyObject *args, PyObject *kwargs);
PyObject *py_ioft(PyObject *, PyObject *args, PyObject *kwargs);

PyObject *py_get_stock_operations(PyObject *, PyObject *) {
    return firewall("vostra.core.vantrel.get_stock_operations", source_file, static_cast<PyObject *>(nullptr),
                    [&]() -> PyObject * {
                        PyObject *report = module.stock_operations ? module.stock_operations : Py_None;
                        return Ref::check(PyObject_CallMethod(report, "copy", nullptr)).release();
                    });
}

namespace {

bool initialised = false;

int exec(PyObject *m) {
    return exec_once(initialised, "vantrel", "vostra.core.vantrel", "init vostra.core.vantrel", source_file, [&] {
        module.dict = PyModule_GetDict(m);
        set_traceback_globals(module.dict);
        Ref orbalt = recorder_api::bind("vostra.core.orbalt", module.recorder);

        Ref np = Ref::check(PyImport_ImportModule("numpy"));
        add_object(m, "org_np", np.get());
        add_object(m, "orbalt", orbalt.get());
        Ref datetime = Ref::check(PyImport_ImportModule("datetime"));
        add_object(m, "datetime", datetime.get());
        add_object(m, "RETAIN_COST_WHEN_REBALANCE", Py_False);
        add_object(m, "RESAMPLE", Py_None);
        module.stock_operations = Ref::check(PyDict_New()).release();

        // Defaults evaluated once, at import.
        load_run_defaults(np.get());
    });
}

PyMethodDef methods[] = {
    {"get_stock_operations", py_get_stock_operations, METH_NOARGS,
     "get_stock_operations()\n--\n\nA shallow copy of the operations report of the last completed run."},
    {"normalize_weight", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(py_normalize_weight)),
     METH_VARARGS | METH_KEYWORDS,
     "normalize_weight(weights, position_limit)\n--\n\nScales a dict of weights in place so that their absolute "
     "values add up to at most 1, then caps each at +/- position_limit. Returns the same dict."},
    {"ioft", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(py_ioft)), METH_VARARGS | METH_KEYWORDS,
     "ioft(v)\n--\n\nNanoseconds since the Unix epoch as a naive local datetime.datetime."},
    {"backtest_", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(py_backtest)),
     METH_VARARGS | METH_KEYWORDS,
     "backtest_(price_values, close_values, high_values, low_values, open_values, price_index, price_columns, "
     "pos_values, pos_index, pos_columns, resample, fee_ratio=0.001425, tax_ratio=0.003, stop_loss=1.0, "
     "take_profit=org_np.inf, trail_stop=org_np.inf, trail_stop_activation=0.0, touched_exit=False, position_limit=1.0, "
     "retain_cost_when_rebalance=False, stop_trading_next_period=True, orbalt_window=0, orbalt_window_step=1, "
     "periodically_rebalance=True, delisting_bars=None)\n--\n\n"
     "Simulates the portfolio bar by bar from a starting capital of 1.0 and returns its value at every bar."},
    {"get_trade_stocks", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(py_get_trade_stocks)),
     METH_VARARGS | METH_KEYWORDS,
     "get_trade_stocks(pos_columns, price_index, touched_exit)\n--\n\n"
     "The trade log of the last run, one nine-value row per trade, and the operations report."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "vostra.core.vantrel",
    "Backtest engine: bar-by-bar portfolio simulation with fees, exit tax, stops and delistings.",
    0,
    methods,
    process_global_slots<exec>,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace
}  // namespace vostra::vantrel

PyMODINIT_FUNC PyInit_vantrel() { return PyModuleDef_Init(&vostra::vantrel::module_def); }
