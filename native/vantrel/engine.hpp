// Shared declarations of the backtest engine `vostra.core.vantrel`: the
// inputs of a run, the position map, the exit lists and the operations that
// the simulation loop, the exit rules, the ledger and the report share.
#pragma once
#include "common/arrays.hpp"
#include "common/recorder_api.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <map>
#include <string_view>
#include <vector>

namespace vostra::vantrel {

inline constexpr const char *source_file = "core/vantrel";

// Adds the traceback entry of an internal operation to an exception passing
// through it.
template <class F>
decltype(auto) traced(const char *qualname, F &&body) {
    try {
        return body();
    } catch (const py_error &) {
        add_traceback(qualname, source_file);
        throw;
    }
}

// Module state that outlives a run.
struct ModuleState {
    PyObject *dict = nullptr;              // module namespace (borrowed; lives for the process)
    PyObject *stock_operations = nullptr;  // report of the last completed run (owned)
    recorder_api::Table recorder;
    bool running = false;                  // a backtest_ is in progress
};
extern ModuleState module;

// Looks a module global up by name at every use, as the engine's
// Python-level code does (NameError when it is missing).
inline PyObject *module_global(const GlobalName &name) { return name.lookup(module.dict); }

namespace names {
inline const GlobalName retain_cost{"RETAIN_COST_WHEN_REBALANCE"}, resample{"RESAMPLE"},
    normalize_weight{"normalize_weight"}, orbalt{"orbalt"}, datetime{"datetime"};
}

// The position map: stock id -> signed position value, iterated in ascending
// id. Stored densely by id with a sorted key list, so a bar touches only the
// held stocks and a lookup never inserts.
class PositionMap {
public:
    explicit PositionMap(int nstocks = 0) : value_(nstocks, 0.0), present_(nstocks, 0) {}

    bool contains(int sid) const { return in_range(sid) && present_[sid]; }
    double operator[](int sid) const { return value_[sid]; }  // only for contained ids
    double &value(int sid) { return value_[sid]; }             // only for contained ids
    void set(int sid, double v) {
        grow(sid);
        if (!present_[sid]) {
            present_[sid] = 1;
            if (!dirty_ && (keys_.empty() || keys_.back() < sid))
                keys_.push_back(sid);
            else
                dirty_ = true;  // rebuilt once, on the next iteration
        }
        value_[sid] = v;
    }
    void erase(int sid) {
        if (!contains(sid)) return;
        present_[sid] = 0;
        value_[sid] = 0.0;
        // An exit between rebalances costs O(held), not O(signal columns).
        if (!dirty_) keys_.erase(std::lower_bound(keys_.begin(), keys_.end(), sid));
    }
    // Held ids in ascending order. Valid until the next insertion or removal.
    const std::vector<int> &keys() const {
        if (dirty_) rebuild();
        return keys_;
    }
    std::map<int, double> to_map() const;

private:
    bool in_range(int sid) const { return sid >= 0 && static_cast<std::size_t>(sid) < present_.size(); }
    void grow(int sid) {
        if (sid < 0) raise(PyExc_IndexError, "negative stock id");
        if (static_cast<std::size_t>(sid) >= present_.size()) {
            value_.resize(sid + 1, 0.0);
            present_.resize(sid + 1, 0);
        }
    }
    void rebuild() const;

    std::vector<double> value_;
    std::vector<std::uint8_t> present_;
    mutable std::vector<int> keys_;
    mutable bool dirty_ = false;
};

// An exit list element: the stock and the side of its exit. `positive` is
// the upper side of a close-mode mark, or the profit side of an intrabar exit.
struct SideSid {
    int sid;
    bool positive;
};
using ExitList = std::vector<SideSid>;

// --- Ledger -----------------------------------------------------------------

struct Costs {
    double fee_ratio, tax_ratio;
};

// Moves one stock to `position` and returns the new cash; reports entries and
// exits to the recorder before anything changes. Throws on failure.
double set_position(PositionMap &p, int sid, double position, double cash, const Costs &costs, bool check_null,
                    bool set_null, double balance = 1);

// Moves the portfolio to the target weights `newp` and returns the new cash.
double rebalance(PositionMap &p, const View1<double> &newp, double cash, const Costs &costs, double position_limit);

// Sum of |row| in NumPy's pairwise order (what numpy.abs(row).sum() gives).
double pairwise_abs_sum(const View1<double> &row);

// --- Column mapping and price checks -----------------------------------------

// Signal column -> price column (-1 where a label has no price column).
struct ColumnMap {
    std::vector<int> price_of;  // by stock id
    std::map<int, int> as_map() const;
};

// Builds the column map from the labels' UTF-8 bytes (last duplicate price
// label wins). Throws AttributeError/TypeError for labels that are not str.
ColumnMap map_columns(PyObject *price_columns, PyObject *pos_columns);

// The UTF-8 bytes that identify a label (its `encode("UTF-8")` for a label
// that is not a str); `keep` owns bytes that do not live in the label itself.
std::string_view encoded(PyObject *label, std::vector<Ref> &keep);

// The price matrices a run reads for held stocks.
enum class PriceKind { trading, close, high, low, open };

// Raises ValueError for a price that is not NaN and not a positive finite
// number, naming the stock's label, the row and the matrix it came from.
[[noreturn]] void raise_invalid_price(PriceKind kind, double value, PyObject *symbol, Py_ssize_t row);

// --- One run ------------------------------------------------------------------

struct Inputs {
    PyObject *price_values, *close_values, *high_values, *low_values, *open_values;
    PyObject *price_index, *price_columns, *pos_values, *pos_index, *pos_columns, *resample;
    View2<double> price, close, high, low, open, weights;
    View1<std::int64_t> price_dates, pos_dates, resample_dates;
    View1<PyObject *> price_labels, pos_labels;
    bool has_delisting_bars = false;
    View1<std::int64_t> delisting_bars;
};

struct Options {
    double fee_ratio, tax_ratio, stop_loss, take_profit, trail_stop, trail_stop_activation;
    bool touched_exit;
    double position_limit;
    bool retain_cost_when_rebalance;
    PyObject *stop_trading_next_period;
    int orbalt_window, orbalt_window_step;
    bool periodically_rebalance;
};

// Checks that the inputs describe one consistent market before a run writes
// any state. When every label is a str it also returns the column map, so the
// run does not build it twice.
bool check_inputs(const Inputs &in, const Options &opt, ColumnMap &columns);

// Everything the exit rules and the report read of a run.
struct Run {
    const Inputs &in;
    const Options &opt;
    Costs costs;
    PositionMap pos;
    ColumnMap columns;
    double cash = 1.0, balance = 1.0;
    std::vector<double> cr, maxcr, mincr, previous_price;
    std::vector<std::uint8_t> date_rebalance;
    Py_ssize_t pos_id = 0, current_position_id = -1;
    bool should_rebalance = false, has_delisting = false;
    double stop_loss_abs = 0, take_profit_abs = 0, trail_stop_abs = 0, trail_stop_activation_abs = 0;
    ExitList exit_stocks, exit_stocks_temp, exited_stocks;
    std::vector<int> delisted_stocks;
    std::vector<int> latest_rebalanced_keys;  // ids held right after the last rebalance
    // The row the last rebalance applied: signal row `current_position_id`,
    // or, when stopped stocks sat it out, `adjusted_row`.
    bool latest_row_adjusted = false;
    std::vector<double> adjusted_row;
    View1<double> latest_rebalanced_row() const {
        if (latest_row_adjusted)
            return {reinterpret_cast<const char *>(adjusted_row.data()), static_cast<Py_ssize_t>(adjusted_row.size()),
                    sizeof(double)};
        return in.weights.row(current_position_id);
    }
    std::int64_t date = 0;                    // timestamp of the last bar processed

    Run(const Inputs &i, const Options &o) : in(i), opt(o), costs{o.fee_ratio, o.tax_ratio} {}
    int price_column(int sid) const {
        int c = static_cast<std::size_t>(sid) < columns.price_of.size() ? columns.price_of[sid] : -1;
        return c < 0 ? 0 : c;  // an unmapped stock reads price column 0
    }
};

// Return trackers of a stock start again at 1 (entry, or after it is sold).
inline void reset_trackers(Run &run, int sid) { run.cr[sid] = run.maxcr[sid] = run.mincr[sid] = 1.0; }

// a / b, with Python's ZeroDivisionError for a zero divisor.
inline double checked_div(double a, double b) {
    if (b == 0) [[unlikely]]
        raise(PyExc_ZeroDivisionError, "float division");
    return a / b;
}

// The whole simulation; returns the new reference to `creturn`.
Ref simulate(const Inputs &in, const Options &opt, ColumnMap *precomputed);

// Exit rules, called from the bar loop.
// Exit tests of one held position after its revaluation to `value` (its
// value at entry is value / cr[sid]); `col` is its price column and
// `trade_price` this bar's trading price.
void position_exits(Run &run, int sid, int col, Py_ssize_t d, double r, double value, double trade_price);
void pending_exits(Run &run);
void delisting_exits(Run &run, Py_ssize_t d);

// Builds the operations report and stores it in the module state.
void build_report(Run &run);

// Python-callable functions.
PyObject *py_backtest(PyObject *, PyObject *args, PyObject *kwargs);
PyObject *py_get_trade_stocks(PyObject *, PyObject *args, PyObject *kwargs);
PyObject *py_normalize_weight(PyObject *, PyObject *args, PyObject *kwargs);
PyObject *py_ioft(PyObject *, PyObject *args, PyObject *kwargs);
PyObject *py_get_stock_operations(PyObject *, PyObject *);

// Defaults of backtest_ evaluated at import.
struct Defaults {
    double fee_ratio = 0.001425, tax_ratio = 0.003, take_profit = 0, trail_stop = 0;
};
extern Defaults defaults;

inline bool usable_price(double v) { return std::isnan(v) || (v > 0 && v <= 1.7976931348623157e308); }

// Stops the run for a price of a held stock that is neither missing (NaN)
// nor a positive finite number; `sid` names the stock by its signal label.
// A zero, negative or infinite close, high, low or open would otherwise be
// used as it is and give a plausible but wrong curve.
inline void validate_price(const Inputs &in, PriceKind kind, double value, int sid, Py_ssize_t row) {
    if (!usable_price(value)) [[unlikely]]
        raise_invalid_price(kind, value, in.pos_labels.at(sid), row);
}
inline void validate_trade_price(const Inputs &in, double value, int sid, Py_ssize_t row) {
    validate_price(in, PriceKind::trading, value, sid, row);
}

}  // namespace vostra::vantrel
