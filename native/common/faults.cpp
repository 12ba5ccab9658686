// Kernel and excursion faults as Python exceptions.
#include "faults.hpp"

#include "kernel/metrics.hpp"

#include <exception>

namespace vostra {

namespace {

using kernel::BadInput;
using kernel::InputCode;

Ref label_repr(const View1<PyObject *> &labels, std::int64_t i) {
    return Ref::check(PyObject_Repr(labels.at(static_cast<Py_ssize_t>(i))));
}

[[noreturn]] void raise_bad_input(const BadInput &e, const View1<PyObject *> &labels) {
    static const char *const matrices[] = {"close_values", "high_values", "low_values", "open_values"};
    static const char *const indexes[] = {"price_index", "pos_index", "resample"};
    PyObject *value_error = PyExc_ValueError;
    switch (e.code) {
        case InputCode::shape_mismatch:
            raisef(value_error,
                   "%s has shape (%zd, %zd) but price_values has shape (%zd, %zd); the price matrices must share one "
                   "shape",
                   matrices[e.a], static_cast<Py_ssize_t>(e.b), static_cast<Py_ssize_t>(e.c),
                   static_cast<Py_ssize_t>(e.d), static_cast<Py_ssize_t>(e.e));
        case InputCode::price_rows:
            raisef(value_error, "price_values has %zd rows but price_index has %zd timestamps",
                   static_cast<Py_ssize_t>(e.a), static_cast<Py_ssize_t>(e.b));
        case InputCode::price_labels:
            raisef(value_error, "price_values has %zd columns but price_columns has %zd labels",
                   static_cast<Py_ssize_t>(e.a), static_cast<Py_ssize_t>(e.b));
        case InputCode::signal_rows:
            raisef(value_error, "pos_values has %zd rows but pos_index has %zd timestamps",
                   static_cast<Py_ssize_t>(e.a), static_cast<Py_ssize_t>(e.b));
        case InputCode::signal_labels:
            raisef(value_error, "pos_values has %zd columns but pos_columns has %zd labels",
                   static_cast<Py_ssize_t>(e.a), static_cast<Py_ssize_t>(e.b));
        case InputCode::delisting_size:
            raisef(value_error,
                   "delisting_bars has %zd elements but pos_columns has %zd labels; give one delisting bar per signal "
                   "column (-1 for never)",
                   static_cast<Py_ssize_t>(e.a), static_cast<Py_ssize_t>(e.b));
        case InputCode::window:
            raisef(value_error, "orbalt_window must be >= 0, got %d", static_cast<int>(e.a));
        case InputCode::window_step:
            raisef(value_error, "orbalt_window_step must be >= 1, got %d", static_cast<int>(e.a));
        case InputCode::position_limit:
            raisef(value_error, "position_limit must be >= 0, got %R", py_float(e.value).get());
        case InputCode::window_memory:
            raisef(PyExc_MemoryError,
                   "orbalt_window=%d with orbalt_window_step=%d gives every trade an excursion array of %lld bytes, "
                   "more than a tenth of this machine's physical memory (%lld bytes); choose a smaller "
                   "orbalt_window or a larger orbalt_window_step",
                   static_cast<int>(e.a), static_cast<int>(e.d), static_cast<long long>(e.b),
                   static_cast<long long>(e.c));
        case InputCode::decreasing:
            raisef(value_error, "%s must not decrease: element %zd (%lld) is smaller than element %zd (%lld)",
                   indexes[e.a], static_cast<Py_ssize_t>(e.b), static_cast<long long>(e.c),
                   static_cast<Py_ssize_t>(e.b - 1), static_cast<long long>(e.d));
        case InputCode::non_finite_weight: {
            Ref label = label_repr(labels, e.b);
            raisef(value_error,
                   "pos_values holds a non-finite weight (%R) at row %zd, column %U; weights must be finite numbers",
                   py_float(e.value).get(), static_cast<Py_ssize_t>(e.a), label.get());
        }
        case InputCode::weight_sum_overflow:
            raisef(value_error,
                   "the absolute weights of pos_values row %zd add up beyond the largest float (about 1.8e308), "
                   "which would scale every weight of the row to 0; divide the row by a common factor (rows that "
                   "add up above 1 are scaled down to the balance anyway)",
                   static_cast<Py_ssize_t>(e.a));
        case InputCode::duplicate_label:
            raisef(value_error,
                   "pos_columns holds the label %R twice (columns %zd and %zd); each signal column needs its own "
                   "label",
                   labels.at(static_cast<Py_ssize_t>(e.b)), static_cast<Py_ssize_t>(e.a),
                   static_cast<Py_ssize_t>(e.b));
        case InputCode::unpriced_weight:
            raisef(value_error, "pos_columns label %R has nonzero weights but no price column with the same label",
                   labels.at(static_cast<Py_ssize_t>(e.a)));
    }
    raise(PyExc_SystemError, "unknown input check");
}

[[noreturn]] void raise_excursion_fault(const metrics::Fault &f) {
    switch (f.kind) {
        case metrics::Fault::zero_division: raise(PyExc_ZeroDivisionError, "float division");
        case metrics::Fault::negative_size: raise(PyExc_OverflowError, "can't convert negative value to size_t");
        case metrics::Fault::unbound_exit_bar:
            raisef(PyExc_UnboundLocalError, "local variable '%s' referenced before assignment", "ith");
        case metrics::Fault::out_of_range:
            raisef(PyExc_IndexError, "index %lld is out of bounds for axis 0 with size %lld",
                   static_cast<long long>(f.subscript), static_cast<long long>(f.size));
        case metrics::Fault::buffer_index: raise_buffer_index(0);
    }
    raise(PyExc_SystemError, "unknown excursion fault");
}

}  // namespace

void raise_invalid_price(kernel::PriceKind kind, double value, PyObject *symbol, Py_ssize_t row) {
    static const char *const names[] = {"trading", "close", "high", "low", "open", "dividend", "split"};
    static const char *const datasets[] = {"trading-price", "close", "high", "low", "open", "dividends", "splits"};
    int k = static_cast<int>(kind);
    Ref text = Ref::check(PyObject_Str(symbol));
    char *repr = PyOS_double_to_string(value, 'r', 0, Py_DTSF_ADD_DOT_0, nullptr);
    if (!repr) throw_py();
    Ref number = Ref::steal(PyUnicode_FromString(repr));
    PyMem_Free(repr);
    if (!number) throw_py();
    if (kind == kernel::PriceKind::dividend || kind == kernel::PriceKind::split)
        raisef(PyExc_ValueError,
               "Invalid %s for %U at price row %zd: %U. Expected a finite amount >= 0 (NaN: none); check the %s "
               "dataset.",
               names[k], text.get(), row, number.get(), datasets[k]);
    raisef(PyExc_ValueError,
           "Invalid %s price for %U at price row %zd: %U. Expected a positive finite price; check the %s dataset.",
           names[k], text.get(), row, number.get(), datasets[k]);
}

// The refusal of a share count beyond whole numbers, in the words the front
// end matches (run/backtest.py) to name the date.
[[noreturn]] static void raise_share_count(const kernel::ShareCount &e, PyObject *symbol) {
    Ref text = Ref::check(PyObject_Str(symbol));
    char *repr = PyOS_double_to_string(e.shares, 'g', 6, 0, nullptr);
    if (!repr) throw_py();
    Ref number = Ref::steal(PyUnicode_FromString(repr));
    PyMem_Free(repr);
    if (!number) throw_py();
    raisef(PyExc_ValueError,
           "Share count %U for %U at price row %zd is beyond whole numbers (2**53); a price far too small "
           "for the capital makes it. Check the trading price.",
           number.get(), text.get(), static_cast<Py_ssize_t>(e.row));
}

void raise_current_fault(const View1<PyObject *> &labels) {
    try {
        throw;
    } catch (const kernel::ZeroDivision &) {
        raise(PyExc_ZeroDivisionError, "float division");
    } catch (const kernel::BufferIndex &e) {
        raise_buffer_index(e.axis);
    } catch (const kernel::NumpyIndex &e) {
        raisef(PyExc_IndexError, "index %zd is out of bounds for axis %d with size %zd",
               static_cast<Py_ssize_t>(e.index), e.axis, static_cast<Py_ssize_t>(e.size));
    } catch (const kernel::InvalidPrice &e) {
        raise_invalid_price(e.kind, e.value, labels.at(e.sid), static_cast<Py_ssize_t>(e.row));
    } catch (const kernel::ShareCount &e) {
        raise_share_count(e, labels.at(e.sid));
    } catch (const kernel::BadInput &e) {
        raise_bad_input(e, labels);
    } catch (const kernel::Unmapped &e) {
        raisef(PyExc_SystemError, "stock %d has no price column but reached a price lookup", e.sid);
    } catch (const metrics::Fault &f) {
        raise_excursion_fault(f);
    } catch (const std::exception &e) {
        raise(PyExc_SystemError, e.what());
    }
}

}  // namespace vostra
