// Excursion metrics of one trade: the per-bar path of its value ratio from
// the entry bar, and the groups of six metrics sampled from that path.
// Pure arithmetic over strided price grids; the recorder turns faults into
// Python exceptions.
#pragma once
#include <cstddef>
#include <cstdint>
#include <vector>

namespace vostra::metrics {

// A 2-D float64 matrix read in place (rows are bars, columns price columns).
struct Grid {
    const char *data = nullptr;
    std::int64_t rows = 0, cols = 0;
    std::int64_t row_stride = 0, col_stride = 0;
};

// Why a walk or a write could not complete. `index`/`size` describe an
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
    std::int64_t window;
};

// Per-bar sequences of the analysed span; reused across calls so that a
// trade never reallocates them once they have grown to its span.
struct Path {
    std::vector<double> returns, cummax, cummin, mdd, profit_period;
    std::vector<std::int64_t> cummin_i;
    std::int64_t size() const { return static_cast<std::int64_t>(returns.size()); }
};

// Follows the trade from its entry bar to the end of its analysed span
// (at least `window` bars past the entry, clipped to the data). Throws Fault.
void walk(const Grid &price, const Grid &close, const Trade &t, Path &path);

// Number of values in the excursion array: one group of six per window
// step plus the exit group. Throws Fault{zero_division} for a zero step.
std::int64_t array_size(std::int64_t window, std::int64_t window_step);

// Writes the window groups and the exit group into `out` (already filled
// with -1.0, `size` values). Throws Fault{buffer_index} when a group falls
// outside the array.
void write_groups(const Path &path, const Trade &t, std::int64_t window_step, double *out, std::int64_t size);

}  // namespace vostra::metrics
