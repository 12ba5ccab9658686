// The pass over a weight matrix that checks its weights, finds the columns
// it ever trades and lists each row's nonzero weights. A run makes it before
// it simulates; the front end, which needs the traded columns before the
// run, makes it once and hands it to the run with the matrix it read.
#pragma once
#include "common/pyref.hpp"
#include "kernel/checks.hpp"

#include <exception>
#include <memory>

namespace vostra::engine {

struct WeightScan {
    explicit WeightScan(const kernel::View2<double> &w) : weights(w) {}

    kernel::View2<double> weights;
    std::vector<std::uint8_t> traded;
    kernel::SparseRows sparse;  // read by every job that shares the matrix
    std::exception_ptr error;
    bool done = false;

    // Whether `w` is the very view this scan read: same memory, shape and strides.
    bool reads(const kernel::View2<double> &w) const {
        return weights.data == w.data && weights.rows == w.rows && weights.cols == w.cols &&
               weights.row_stride == w.row_stride && weights.col_stride == w.col_stride;
    }

    void run() noexcept {
        if (done) return;
        try {
            traded = kernel::scan_weights(weights, &sparse);
        } catch (...) {
            error = std::current_exception();
        }
        done = true;
    }
};

// The scan a caller holds between the scan and the run: the capsule keeps the
// matrix it read alive, so that the run can tell it is given the same array.
inline constexpr const char *weight_scan_capsule = "vostra._engine.WeightScan";

struct HeldScan {
    Ref matrix;
    std::shared_ptr<WeightScan> scan;
};

// The scan of `matrix` held in `capsule` (a capsule that scan_weights made),
// or a ValueError when it read another array, or a TypeError when it is none.
std::shared_ptr<WeightScan> given_scan(PyObject *capsule, PyObject *matrix, const kernel::View2<double> &w);

}  // namespace vostra::engine
