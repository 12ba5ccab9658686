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

// Imports `module_name` and binds every entry of its export table in the
// order above, raising ImportError for a missing entry and TypeError for a
// capsule whose name differs from its signature string. Returns the module.
Ref bind(const char *module_name, Table &table);

}  // namespace vostra::recorder_api
