// The host of the simulation body for `backtest_`: trades go to the
// excursion recorder through its capsule table, the run-wide settings are
// module globals read by name at every use, `stop_trading_next_period` is
// tested for truth where it is used, failures are Python exceptions with the
// engine's traceback entries, and the report is the module's dict.
#pragma once
#include "common/faults.hpp"
#include "common/recorder_api.hpp"
#include "kernel/loop.hpp"
#include "kernel/report.hpp"

namespace vostra::vantrel {

inline constexpr const char *source_file = "core/vantrel";

// Module state that outlives a run.
struct ModuleState {
    PyObject *dict = nullptr;              // module namespace (borrowed; lives for the process)
    PyObject *stock_operations = nullptr;  // report of the last completed run (owned)
    recorder_api::Table recorder;
    bool running = false;                  // a backtest_ is in progress
};
extern ModuleState module;

namespace names {
inline const GlobalName retain_cost{"RETAIN_COST_WHEN_REBALANCE"}, resample{"RESAMPLE"},
    normalize_weight{"normalize_weight"}, orbalt{"orbalt"}, datetime{"datetime"};
}

// Looks a module global up by name at every use (NameError when it is missing).
inline PyObject *module_global(const GlobalName &name) { return name.lookup(module.dict); }

const char *frame_name(kernel::Frame f);

struct ContractHost {
    static constexpr bool wants_marks = false;

    PyObject *price_values, *close_values;  // the arrays handed to the recorder
    PyObject *stop_trading_object;
    View1<PyObject *> pos_labels;
    // The report being built, published only when the run completes.
    Ref report, actions, normalised_next;

    void start(kernel::Run &run);
    void on_date(kernel::Run &, kernel::index_t d) { module.recorder.record_date(static_cast<int>(d)); }
    void on_entry(kernel::Run &, int sid, double weight, bool paid, double, double) {
        module.recorder.record_entry(sid, weight, paid ? 1 : 0);
        throw_if_error();
    }
    void on_exit(kernel::Run &, int sid, bool paid, kernel::ExitReason, double, double) {
        module.recorder.record_exit(sid, paid ? 1 : 0);
        throw_if_error();
    }
    void on_fill(kernel::Run &, int, double, double, double) {}
    // A holding kept through a periodic rebalance is split into two trade
    // records unless costs are retained across rebalances.
    bool splits_held_trades(kernel::Run &) {
        if (truth(module_global(names::retain_cost))) return false;
        return truth(module_global(names::resample));
    }
    bool stop_trading(const kernel::Run &) const { return truth(stop_trading_object); }

    template <class F>
    decltype(auto) frame(kernel::Frame f, F &&body) {
        try {
            return python_errors(pos_labels, static_cast<F &&>(body));
        } catch (const py_error &) {
            add_traceback(frame_name(f), source_file);
            throw;
        }
    }

    [[noreturn]] void invalid_price(kernel::Run &, kernel::PriceKind kind, double value, int sid,
                                    kernel::index_t row);
    void end(kernel::Run &run);

    // The report's actions, in the order the body decides them.
    void action(int sid, kernel::Action a);
    bool next_weight_nonzero(int sid);
};

}  // namespace vostra::vantrel
