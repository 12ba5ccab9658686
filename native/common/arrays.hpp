// Typed, strided, read-only views over NumPy arrays, and the buffer checks
// that guard them. Views never copy: C order, Fortran order, slices and
// read-only arrays are all read in place through their strides.
#pragma once
#include "numpy.hpp"
#include "kernel/views.hpp"

#include <cstdint>
#include <cstring>
#include <vector>

namespace vostra {

enum class Elem { f64, i64, object, const_i64 };

// Checks that `arr` (a NumPy array) has `ndim` dimensions and element type
// `elem`, raising the buffer ValueErrors ("Buffer has wrong number of
// dimensions ...", "Buffer dtype mismatch, expected ... but got ...").
void check_array(PyObject *arr, Elem elem, int ndim);

// Acquires a read-only buffer of `ndim` dimensions of `elem` from any object
// that exports one (used for arguments that accept any buffer). The caller
// releases it with PyBuffer_Release.
void get_checked_buffer(PyObject *obj, Py_buffer *view, Elem elem, int ndim);

// IndexError "Out of bounds on buffer access (axis %d)".
[[noreturn]] void raise_buffer_index(int axis);

// Normalises a possibly negative index against `n` (negative counts from the
// end) and raises the buffer IndexError when it is out of range.
inline Py_ssize_t buffer_index(Py_ssize_t i, Py_ssize_t n, int axis) {
    if (i < 0) i += n;
    if (i < 0 || i >= n) raise_buffer_index(axis);
    return i;
}

// The same for NumPy's own indexing: "index %zd is out of bounds for axis %d
// with size %zd".
inline Py_ssize_t numpy_index(Py_ssize_t i, Py_ssize_t n, int axis) {
    Py_ssize_t j = i < 0 ? i + n : i;
    if (j < 0 || j >= n)
        raisef(PyExc_IndexError, "index %zd is out of bounds for axis %d with size %zd", i, axis, n);
    return j;
}

using kernel::load;
using kernel::View1;
using kernel::View2;

// Views over arrays already checked with check_array. A null or None object
// gives an empty view.
template <class T>
View1<T> view1(PyObject *o) {
    if (!o || o == Py_None) return {};
    auto *a = reinterpret_cast<PyArrayObject_fields *>(o);
    return {a->data, a->dimensions[0], a->strides[0]};
}

template <class T>
View2<T> view2(PyObject *o) {
    if (!o || o == Py_None) return {};
    auto *a = reinterpret_cast<PyArrayObject_fields *>(o);
    return {a->data, a->dimensions[0], a->dimensions[1], a->strides[0], a->strides[1]};
}

template <class T>
View1<T> view1(const Py_buffer &b) {
    return {static_cast<const char *>(b.buf), b.shape[0], b.strides ? b.strides[0] : Py_ssize_t(sizeof(T))};
}

// A new 1-D NumPy array of type `typenum` holding a copy of `v`.
template <class T>
Ref vector_array(const std::vector<T> &v, int typenum) {
    npy_intp dims[1] = {static_cast<npy_intp>(v.size())};
    Ref a = Ref::check(PyArray_EMPTY(1, dims, typenum, 0));
    if (!v.empty()) std::memcpy(PyArray_DATA(reinterpret_cast<PyArrayObject *>(a.get())), v.data(), v.size() * sizeof(T));
    return a;
}

}  // namespace vostra
