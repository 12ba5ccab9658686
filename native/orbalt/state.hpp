// Module-global state of the excursion recorder: one backtest is recorded
// per process at a time.
#pragma once
#include "common/numpy.hpp"

#include <map>
#include <vector>

namespace vostra::orbalt {

struct State {
    // Exported through the capsule table: the engine holds their addresses.
    PyArrayObject *entry = nullptr;     // per stock: bar of its latest entry (int64)
    PyArrayObject *position = nullptr;  // per stock: weight given at its latest entry (float64)
    PyArrayObject *entry_trasnaction = nullptr;  // per stock: the latest entry paid the fee (int64)
    PyArrayObject *price = nullptr;     // the caller's trade-price matrix (a reference, not a copy)
    PyArrayObject *close = nullptr;     // the caller's close matrix
    std::map<int, int> pos2price;
    std::vector<int> column_of;         // pos2price by stock id (-1: not in the map)
    double fee_ratio = 0, tax_ratio = 0;
    int window = 0, window_step = 0;
    int date = 0;
    PyObject *module_dict = nullptr;    // borrowed: the module lives for the process
};

extern State state;

inline constexpr const char *source_file = "core/orbalt";

// The five operations published in the export table. Each leaves a Python
// exception set on failure and returns normally.
void start_analysis(PyArrayObject *price_, PyArrayObject *close_, std::map<int, int> pos2price_, int nstocks,
                    double fee_ratio_, double tax_ratio_, int window_, int window_step_);
void record_date(int d);
void record_entry(int sid, double position_sid, int has_entry_trasnaction);
void record_exit(int sid, int has_exit_trasnaction);
PyObject *end_analysis(std::map<int, double> &pos);

}  // namespace vostra::orbalt
