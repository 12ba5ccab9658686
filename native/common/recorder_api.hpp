// The contract between the engine and the excursion recorder: the export
// table's keys, the capsule names (signature strings, compared byte for byte)
// and the native types behind them. Both modules include this header, so the
// two sides cannot drift apart.
#pragma once
#include "numpy.hpp"

#include <map>

namespace vostra::recorder_api {

using start_analysis_fn = void (*)(PyArrayObject *, PyArrayObject *, std::map<int, int>, int, double, double,
                                   int, int);
using record_date_fn = void (*)(int);
using record_entry_fn = void (*)(int, double, int);
using record_exit_fn = void (*)(int, int);
using end_analysis_fn = PyObject *(*)(std::map<int, double> &);

inline constexpr const char *array_sig = "PyArrayObject *";
inline constexpr const char *start_analysis_sig =
    "void (PyArrayObject *, PyArrayObject *, std::map<int,int> , int, double, double, int, int)";
inline constexpr const char *record_date_sig = "void (int)";
inline constexpr const char *record_entry_sig = "void (int, double, int)";
inline constexpr const char *record_exit_sig = "void (int, int)";
inline constexpr const char *end_analysis_sig = "PyObject *(std::map<int,double>  &)";

// What the engine binds at import. Functions leave a Python exception set on
// failure; callers test PyErr_Occurred() after every call.
struct Table {
    PyArrayObject **entry = nullptr;
    PyArrayObject **position = nullptr;
    start_analysis_fn start_analysis = nullptr;
    record_date_fn record_date = nullptr;
    record_entry_fn record_entry = nullptr;
    record_exit_fn record_exit = nullptr;
    end_analysis_fn end_analysis = nullptr;
};

// The recorder's three lists hold one item per trade each, row i of one
// belonging with item i of the others. Lists cleared or replaced while a run
// recorded into them no longer line up: this raises RuntimeError then (the
// end of a run and the trade log check it), rather than pairing a trade row
// with another trade's weight.
inline void check_list_lengths(PyObject *trades, PyObject *trade_positions, PyObject *excursions) {
    Py_ssize_t n[3];
    PyObject *lists[3] = {trades, trade_positions, excursions};
    for (int k = 0; k < 3; ++k)
        if ((n[k] = PyObject_Size(lists[k])) < 0) throw_py();
    if (n[0] != n[1] || n[0] != n[2])
        raisef(PyExc_RuntimeError,
               "orbalt.trades, orbalt.trade_positions and orbalt.orbalt hold %zd, %zd and %zd items; they must hold "
               "one item per trade each (were they cleared or replaced while a run recorded into them?)",
               n[0], n[1], n[2]);
}

// Imports `module_name` and binds every entry of its export table in the
// order above, raising ImportError for a missing entry and TypeError for a
// capsule whose name differs from its signature string. Returns the module.
Ref bind(const char *module_name, Table &table);

}  // namespace vostra::recorder_api
