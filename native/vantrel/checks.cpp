// One pass over the inputs before a run: inconsistent shapes, decreasing
// timestamps, non-finite weights and unpriced or duplicate signal labels
// would otherwise make a run read past an array or return a plausible but
// wrong curve, so they are rejected with a message naming the culprit.
#include "engine.hpp"

#include <string_view>
#include <unordered_map>

namespace vostra::vantrel {

namespace {

[[noreturn]] void reject(const char *fmt, auto... args) { raisef(PyExc_ValueError, fmt, args...); }

void check_shapes(const Inputs &in) {
    const char *names[] = {"close_values", "high_values", "low_values", "open_values"};
    const View2<double> *others[] = {&in.close, &in.high, &in.low, &in.open};
    for (int k = 0; k < 4; ++k)
        if (others[k]->rows != in.price.rows || others[k]->cols != in.price.cols)
            reject("%s has shape (%zd, %zd) but price_values has shape (%zd, %zd); the price matrices must share one "
                   "shape",
                   names[k], others[k]->rows, others[k]->cols, in.price.rows, in.price.cols);
    if (in.price.rows != in.price_dates.size)
        reject("price_values has %zd rows but price_index has %zd timestamps", in.price.rows, in.price_dates.size);
    if (in.price.cols != in.price_labels.size)
        reject("price_values has %zd columns but price_columns has %zd labels", in.price.cols, in.price_labels.size);
    if (in.weights.rows != in.pos_dates.size)
        reject("pos_values has %zd rows but pos_index has %zd timestamps", in.weights.rows, in.pos_dates.size);
    if (in.weights.cols != in.pos_labels.size)
        reject("pos_values has %zd columns but pos_columns has %zd labels", in.weights.cols, in.pos_labels.size);
    if (in.has_delisting_bars && in.delisting_bars.size != in.pos_labels.size)
        reject("delisting_bars has %zd elements but pos_columns has %zd labels; give one delisting bar per signal "
               "column (-1 for never)",
               in.delisting_bars.size, in.pos_labels.size);
}

void check_ascending(const char *name, const View1<std::int64_t> &v) {
    for (Py_ssize_t i = 1; i < v.size; ++i)
        if (v[i] < v[i - 1])
            reject("%s must not decrease: element %zd (%lld) is smaller than element %zd (%lld)", name, i,
                   static_cast<long long>(v[i]), i - 1, static_cast<long long>(v[i - 1]));
}

// Finite weights, and which signal columns are ever traded: one branch-free
// pass along the matrix's contiguous axis; only a matrix with a non-finite
// weight is walked again, in the same order, to name the first one.
void scan_weights(const Inputs &in, std::vector<std::uint8_t> &traded) {
    const View2<double> &w = in.weights;
    traded.assign(static_cast<std::size_t>(w.cols), 0);
    bool row_major = std::llabs(w.col_stride) <= std::llabs(w.row_stride);
    auto walk = [&](auto &&visit) {
        if (row_major) {
            for (Py_ssize_t r = 0; r < w.rows; ++r)
                for (Py_ssize_t c = 0; c < w.cols; ++c) visit(r, c);
        } else {
            for (Py_ssize_t c = 0; c < w.cols; ++c)
                for (Py_ssize_t r = 0; r < w.rows; ++r) visit(r, c);
        }
    };
    bool finite = true;
    walk([&](Py_ssize_t r, Py_ssize_t c) {
        double v = w(r, c);
        finite &= std::isfinite(v);
        traded[c] |= v != 0;
    });
    if (finite) return;
    walk([&](Py_ssize_t r, Py_ssize_t c) {
        double v = w(r, c);
        if (std::isfinite(v)) return;
        Ref label = Ref::check(PyObject_Repr(in.pos_labels[c]));
        reject("pos_values holds a non-finite weight (%R) at row %zd, column %U; weights must be finite numbers",
               py_float(v).get(), r, label.get());
    });
}

void check_labels(const Inputs &in, const std::vector<std::uint8_t> &traded, ColumnMap &columns) {
    // Keyed like the column mapping: a label that is not a str but encodes
    // (so the mapping accepts it) is checked like any other.
    std::vector<Ref> keep;
    std::unordered_map<std::string_view, Py_ssize_t> seen;
    for (Py_ssize_t i = 0; i < in.pos_labels.size; ++i) {
        auto [it, fresh] = seen.emplace(encoded(in.pos_labels[i], keep), i);
        if (!fresh)
            reject("pos_columns holds the label %R twice (columns %zd and %zd); each signal column needs its own "
                   "label",
                   in.pos_labels[i], it->second, i);
    }
    for (Py_ssize_t i = 0; i < in.pos_labels.size; ++i)
        if (traded[i] && columns.price_of[i] < 0)
            reject("pos_columns label %R has nonzero weights but no price column with the same label",
                   in.pos_labels[i]);
}

}  // namespace

bool check_inputs(const Inputs &in, const Options &opt, ColumnMap &columns) {
    check_shapes(in);
    if (opt.orbalt_window < 0) reject("orbalt_window must be >= 0, got %d", opt.orbalt_window);
    if (opt.orbalt_window_step < 1) reject("orbalt_window_step must be >= 1, got %d", opt.orbalt_window_step);
    check_ascending("price_index", in.price_dates);
    check_ascending("pos_index", in.pos_dates);
    check_ascending("resample", in.resample_dates);
    std::vector<std::uint8_t> traded;
    scan_weights(in, traded);
    try {
        columns = map_columns(in.price_columns, in.pos_columns);
    } catch (const py_error &) {
        // A label without an `encode` method, or one that cannot be encoded,
        // fails later, in the run, exactly where the column mapping meets it.
        PyErr_Clear();
        return false;
    }
    check_labels(in, traded, columns);
    return true;
}

}  // namespace vostra::vantrel
