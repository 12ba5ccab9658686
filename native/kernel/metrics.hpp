// Excursion metrics of one trade: its value ratio followed bar by bar from
// the entry, with the running extremes, drawdown and profit bars sampled every
// window step and at the exit. Pure arithmetic over strided price grids; the
// recorder turns faults into Python exceptions.
#pragma once
#include <cstddef>
#include <cstdint>

namespace vostra::metrics {

// A 2-D float64 matrix read in place (rows are bars, columns price columns).
struct Grid {
    const char *data = nullptr;
    std::int64_t rows = 0, cols = 0;
    std::int64_t row_stride = 0, col_stride = 0;
};

// Why a walk or a write could not complete. `subscript`/`size` describe an
// out-of-range subscript of a price grid.
struct Fault {
    enum Kind { zero_division, negative_size, unbound_exit_bar, out_of_range, buffer_index } kind;
    std::int64_t subscript = 0, size = 0;
};

struct Trade {
    std::int64_t pid;        // price column
    std::int64_t i_entry;    // entry bar
    std::int64_t i_exit;     // exit bar
    bool is_long;
    bool entry_cost;         // the entry paid the fee
    bool exit_cost;          // the exit pays fee and tax at the trade price
    double fee_ratio, tax_ratio;
    std::int64_t window, window_step;
};

// Number of values in the excursion array: one group of six per window
// step plus the exit group. Throws Fault{zero_division} for a zero step.
std::int64_t array_size(std::int64_t window, std::int64_t window_step);

// Follows the trade from its entry bar over its analysed span (at least
// `window` bars past the entry, clipped to the data) and writes its
// excursion array into out[0, size): window groups of six values (mae, gmfe,
// bmfe, mdd, profit bars, return) from the start as they are sampled, the
// exit group in the last six places; `out` is first filled with -1.0. A
// group that falls outside the array faults with buffer_index once the walk
// has completed. With `out` null the walk only runs (for its faults).
// Throws Fault.
void excursions(const Grid &price, const Grid &close, const Trade &t, double *out, std::int64_t size);

// The excursion arrays of two trades of one run (same window and step), the
// bars of both walked at once: the bits excursions() gives each. Returns
// false when the pair cannot be walked so (a span that leaves the data, a
// fault, no SIMD lanes); the arrays are then to be computed one by one,
// which also raises any fault in its order. Both outputs must be non-null.
bool excursions_pair(const Grid &price, const Grid &close, const Trade &a, double *out_a, const Trade &b,
                     double *out_b, std::int64_t size);

}  // namespace vostra::metrics
