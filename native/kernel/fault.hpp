// Failures of the simulation body, as plain C++ exceptions that carry the
// facts a message needs. The kernel includes no Python: each host turns these
// into the exception its callers see (see common/faults.hpp).
#pragma once
#include <cstdint>

namespace vostra::kernel {

// A division by zero in the formulas ("float division").
struct ZeroDivision {};

// A subscript outside a checked buffer: "Out of bounds on buffer access".
struct BufferIndex {
    int axis;
};

// A subscript outside an array indexed by NumPy's rules.
struct NumpyIndex {
    std::int64_t index;
    int axis;
    std::int64_t size;
};

// The price matrices a run reads for held stocks.
// dividend and split: a ledger event (events.hpp) that is not a finite amount >= 0.
enum class PriceKind : std::uint8_t { trading, close, high, low, open, dividend, split };

// A price of a held stock that is neither missing (NaN) nor positive and
// finite; `sid` is the stock's signal column.
struct InvalidPrice {
    PriceKind kind;
    double value;
    int sid;
    std::int64_t row;
};

// A target in whole lots of `shares` shares of `sid` on price row `row`:
// beyond 2^53 a double holds no longer every whole number, so the count
// cannot be cut by lots (one bad tick makes such a count).
struct ShareCount {
    double shares;
    int sid;
    std::int64_t row;
};

// Inputs that do not describe one consistent market, found before a run.
// `a`..`e` and `value` fill the message of `code` (common/faults.cpp).
enum class InputCode : std::uint8_t {
    shape_mismatch,       // a: matrix (0 close .. 3 open), b,c: its shape, d,e: the shape of price_values
    price_rows,           // a: price rows, b: price_index size
    price_labels,         // a: price columns, b: labels
    signal_rows,          // a: signal rows, b: pos_index size
    signal_labels,        // a: signal columns, b: labels
    delisting_size,       // a: delisting_bars size, b: labels
    window,               // a: orbalt_window
    window_step,          // a: orbalt_window_step
    position_limit,       // value: position_limit
    decreasing,           // a: which index (0 price, 1 pos, 2 resample), b: element, c: value, d: previous value
    non_finite_weight,    // a: row, b: column, value: weight
    duplicate_label,      // a: first column, b: second column
    unpriced_weight,      // a: column
    window_memory,        // a: orbalt_window, b: bytes per trade, c: physical memory, d: orbalt_window_step
    weight_sum_overflow,  // a: row whose absolute weights add up beyond the largest double
};

struct BadInput {
    InputCode code;
    std::int64_t a = 0, b = 0, c = 0, d = 0, e = 0;
    double value = 0;
};

// A stock without a price column reached a price lookup: the checks before
// a run make this impossible, so it is an internal fault, never a read of
// another stock's column.
struct Unmapped {
    int sid;
};

[[noreturn, gnu::cold, gnu::noinline]] inline void zero_division() { throw ZeroDivision{}; }
[[noreturn, gnu::cold, gnu::noinline]] inline void buffer_index_fault(int axis) { throw BufferIndex{axis}; }

// a / b, failing like Python's float division for a zero divisor.
inline double checked_div(double a, double b) {
    if (b == 0) [[unlikely]]
        zero_division();
    return a / b;
}

}  // namespace vostra::kernel
