// Typed, strided, read-only views over caller-owned memory (NumPy arrays in
// practice). Views never copy: C order, Fortran order, slices and read-only
// arrays are all read in place through their strides.
#pragma once
#include "fault.hpp"

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace vostra::kernel {

using index_t = std::ptrdiff_t;

// Normalises a possibly negative index against `n` (negative counts from the
// end) and faults with BufferIndex when it is out of range.
inline index_t buffer_index(index_t i, index_t n, int axis) {
    if (i < 0) i += n;
    if (i < 0 || i >= n) [[unlikely]]
        buffer_index_fault(axis);
    return i;
}

// The same with NumPy's own indexing fault.
inline index_t numpy_index(index_t i, index_t n, int axis) {
    index_t j = i < 0 ? i + n : i;
    if (j < 0 || j >= n) [[unlikely]]
        throw NumpyIndex{i, axis, n};
    return j;
}

template <class T>
inline T load(const char *p) noexcept {
    T v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

template <class T>
struct View1 {
    const char *data = nullptr;
    index_t size = 0;
    index_t stride = 0;

    T operator[](index_t i) const noexcept { return load<T>(data + i * stride); }
    // Buffer-style checked access (negative indices count from the end).
    T at(index_t i, int axis = 0) const { return (*this)[buffer_index(i, size, axis)]; }
    bool contiguous() const noexcept { return stride == static_cast<index_t>(sizeof(T)); }
};

template <class T>
struct View2 {
    const char *data = nullptr;
    index_t rows = 0, cols = 0;
    index_t row_stride = 0, col_stride = 0;

    T operator()(index_t r, index_t c) const noexcept { return load<T>(data + r * row_stride + c * col_stride); }
    const char *row_ptr(index_t r) const noexcept { return data + r * row_stride; }
    View1<T> row(index_t r) const noexcept { return {row_ptr(r), cols, col_stride}; }
};

}  // namespace vostra::kernel
