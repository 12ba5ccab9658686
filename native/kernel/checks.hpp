// One pass over the inputs before a run: inconsistent shapes, decreasing
// timestamps, non-finite weights and unpriced or duplicate signal labels
// would otherwise make a run read past an array or return a plausible but
// wrong curve. Each failure is a BadInput naming the culprit.
#pragma once
#include "run.hpp"

namespace vostra::kernel {

// Shapes, options, timestamps and weights; returns, per signal column,
// whether any signal row gives it a nonzero weight. `price_labels` and
// `pos_labels` are the label counts. The same as check_inputs followed by
// scan_weights.
std::vector<std::uint8_t> check_market(const Market &m, const Options &opt, index_t price_labels,
                                       index_t pos_labels, SparseRows *sparse = nullptr);

// The checks of check_market that do not read the weight matrix.
void check_inputs(const Market &m, const Options &opt, index_t price_labels, index_t pos_labels);

// Finite weights; returns, per signal column, whether any row gives it a
// nonzero weight. Reads the whole matrix, so the native entry runs it on
// the simulating thread. With `sparse`, also lists each row's nonzero
// weights where they are few (see SparseRows).
std::vector<std::uint8_t> scan_weights(const View2<double> &w, SparseRows *sparse = nullptr);

// Duplicate signal labels, and nonzero weights for labels without prices.
void check_labels(const Labels &pos_labels, const std::vector<std::uint8_t> &traded, const ColumnMap &columns);

// Bytes of one trade's excursion array for a window, and the most one array
// may take (a tenth of the machine's physical memory).
std::int64_t excursion_bytes(int window, int window_step);
std::int64_t excursion_bytes_limit();
std::int64_t physical_memory();

}  // namespace vostra::kernel
