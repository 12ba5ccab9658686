// Passes over the front end's matrices that NumPy would make in several
// steps: the last valid row of columns (delisting dates), the weight scan
// of a run (finite weights, columns ever traded) and the check of a volume
// frame (no negative or infinite volume), each in one read.
#include "common/run_args.hpp"
#include "kernel/checks.hpp"
#include "weight_scan.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <exception>
#include <limits>
#include <memory>
#include <utility>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace vostra::engine {

namespace {

// Whether the n doubles before `end` (end[-n] .. end[-1]) are all NaN, as
// bits (a NaN's magnitude is above that of infinity), so that it vectorises.
inline bool all_nan(const double *end, Py_ssize_t n) {
    std::uint64_t valid = 0;
    for (Py_ssize_t j = 1; j <= n; ++j) {
        std::uint64_t bits;
        std::memcpy(&bits, end - j, sizeof bits);
        valid |= (bits & 0x7fffffffffffffffULL) <= 0x7ff0000000000000ULL;
    }
    return valid == 0;
}

// The last row of column c that is not NaN, -1 for none. A contiguous
// column skips its trailing gap a block at a time.
Py_ssize_t last_valid_row(const View2<double> &m, Py_ssize_t c) {
    Py_ssize_t r = m.rows - 1;
    // Most columns have a price on the last row: one value read, from the
    // line the caller may have asked for ahead.
    if (r < 0 || !std::isnan(m(r, c))) return r;
    if (m.row_stride == static_cast<Py_ssize_t>(sizeof(double))) {
        constexpr Py_ssize_t block = 16, ahead = 8 * block;
        const double *column = reinterpret_cast<const double *>(m.row_ptr(0) + c * m.col_stride);
        while (r + 1 >= block && all_nan(column + r + 1, block)) {
            // A long gap is read backwards: its lines are asked for ahead of the scan.
            if (r >= ahead) __builtin_prefetch(column + r - ahead);
            r -= block;
        }
    }
    while (r >= 0 && std::isnan(m(r, c))) --r;
    return r;
}

Ref int64_array(Py_ssize_t n, std::int64_t **data) {
    npy_intp dims[1] = {n};
    Ref out = Ref::check(PyArray_EMPTY(1, dims, NPY_INT64, 0));
    *data = static_cast<std::int64_t *>(PyArray_DATA(reinterpret_cast<PyArrayObject *>(out.get())));
    return out;
}

// Whether a volume is unusable: below 0 or infinite (NaN, no volume, is not).
inline bool bad_volume(double v) { return v < 0 || v > std::numeric_limits<double>::max(); }

// Whether any of the `block` volumes from `v` on is unusable: two lanes at a
// time where SSE2 is there (the compiler keeps the scalar test scalar).
constexpr Py_ssize_t volume_block = 64;

inline bool any_bad_volume(const double *v) {
#if defined(__SSE2__)
    const __m128d zero = _mm_setzero_pd(), largest = _mm_set1_pd(std::numeric_limits<double>::max());
    __m128d bad = zero;
    for (Py_ssize_t j = 0; j < volume_block; j += 2) {
        __m128d x = _mm_loadu_pd(v + j);
        bad = _mm_or_pd(bad, _mm_or_pd(_mm_cmplt_pd(x, zero), _mm_cmpgt_pd(x, largest)));
    }
    return _mm_movemask_pd(bad) != 0;
#else
    bool any = false;
    for (Py_ssize_t j = 0; j < volume_block; ++j) any |= bad_volume(v[j]);
    return any;
#endif
}

// The first row from `r` on of column c whose volume is unusable, -1 for
// none. A contiguous column is told a block at a time.
Py_ssize_t first_bad_volume(const View2<double> &m, Py_ssize_t c, Py_ssize_t r) {
    if (m.row_stride == static_cast<Py_ssize_t>(sizeof(double))) {
        const double *column = reinterpret_cast<const double *>(m.row_ptr(0) + c * m.col_stride);
        while (r + volume_block <= m.rows && !any_bad_volume(column + r)) r += volume_block;
    }
    for (; r < m.rows; ++r)
        if (bad_volume(m(r, c))) return r;
    return -1;
}

// The (row, column) of the first unusable volume of the columns that
// `checked` marks, in the matrix's memory order: column by column, or row
// by row for a row-major matrix, whose rows are read whole; row -1 for none.
std::pair<Py_ssize_t, Py_ssize_t> first_bad_volume(const View2<double> &m, const std::vector<std::uint8_t> &checked) {
    if (m.col_stride == static_cast<Py_ssize_t>(sizeof(double)) && m.row_stride != m.col_stride) {
        const View2<double> rows{m.data, m.cols, m.rows, m.col_stride, m.row_stride};  // its columns are m's rows
        for (Py_ssize_t r = 0; r < m.rows; ++r)
            for (Py_ssize_t c = first_bad_volume(rows, r, 0); c >= 0; c = first_bad_volume(rows, r, c + 1))
                if (checked[c]) return {r, c};
        return {-1, 0};
    }
    for (Py_ssize_t c = 0; c < m.cols; ++c)
        if (Py_ssize_t r = checked[c] ? first_bad_volume(m, c, 0) : -1; r >= 0) return {r, c};
    return {-1, 0};
}

// Whether a weight's magnitude `a` makes its row more than a mask: a 0/1 or
// -1/0/1 matrix of floats means equal weights, whatever its rows add up to.
inline bool weighs(double a) { return a != 0 && a != 1; }

// The sum of the absolute weights of a contiguous row, and whether one of
// them weighs: two lanes at a time where SSE2 is there.
double row_sum(const double *row, Py_ssize_t n, bool &odd) {
    double total = 0;
    bool any = false;
    Py_ssize_t c = 0;
#if defined(__SSE2__)
    const __m128d sign = _mm_set1_pd(-0.0), zero = _mm_setzero_pd(), one = _mm_set1_pd(1.0);
    __m128d sums = zero, marks = zero;
    for (; c + 2 <= n; c += 2) {
        __m128d a = _mm_andnot_pd(sign, _mm_loadu_pd(row + c));
        sums = _mm_add_pd(sums, a);
        marks = _mm_or_pd(marks, _mm_and_pd(_mm_cmpneq_pd(a, zero), _mm_cmpneq_pd(a, one)));
    }
    double lanes[2];
    _mm_storeu_pd(lanes, sums);
    total = lanes[0] + lanes[1];
    any = _mm_movemask_pd(marks) != 0;
#endif
    for (; c < n; ++c) {
        double a = std::fabs(row[c]);
        total += a;
        any |= weighs(a);
    }
    odd = any;
    return total;
}

// Per row of a weight matrix, the sum of its absolute weights and whether a
// weight of it weighs (see `weighs`), read in the matrix's memory order: a
// column-major matrix adds its columns into the rows' sums, which vectorises.
void row_sums(const View2<double> &w, std::vector<double> &sum, std::vector<double> &odd) {
    sum.assign(static_cast<std::size_t>(w.rows), 0.0);
    odd.assign(static_cast<std::size_t>(w.rows), 0.0);
    constexpr Py_ssize_t item = sizeof(double);
    if (w.col_stride == item && w.row_stride != w.col_stride) {
        for (Py_ssize_t r = 0; r < w.rows; ++r) {
            bool weighed;
            sum[r] = row_sum(reinterpret_cast<const double *>(w.row_ptr(r)), w.cols, weighed);
            odd[r] = weighed;
        }
        return;
    }
    double *__restrict total = sum.data();
    double *__restrict marked = odd.data();
    for (Py_ssize_t c = 0; c < w.cols; ++c) {
        if (w.row_stride == item) {
            const double *column = reinterpret_cast<const double *>(w.row_ptr(0) + c * w.col_stride);
            for (Py_ssize_t r = 0; r < w.rows; ++r) {
                double a = std::fabs(column[r]);
                total[r] += a;
                marked[r] = weighs(a) ? 1.0 : marked[r];
            }
        } else {
            for (Py_ssize_t r = 0; r < w.rows; ++r) {
                double a = std::fabs(w(r, c));
                total[r] += a;
                marked[r] = weighs(a) ? 1.0 : marked[r];
            }
        }
    }
}

}  // namespace

// last_valid_rows(matrix, columns=None, /): per column (or per listed
// column), the last row that is not NaN. Each column is read from its end,
// so the cost is that of the trailing gaps, not of the matrix.
PyObject *py_last_valid_rows(PyObject *, PyObject *args) {
    return firewall("vostra._engine.last_valid_rows", "vostra/_engine", static_cast<PyObject *>(nullptr),
                    [&]() -> PyObject * {
        PyObject *matrix, *columns = Py_None;
        if (!PyArg_ParseTuple(args, "O|O:last_valid_rows", &matrix, &columns)) throw_py();
        if (!PyArray_Check(matrix))
            raisef(PyExc_TypeError, "last_valid_rows() needs a NumPy array, got %.200s", Py_TYPE(matrix)->tp_name);
        check_array(matrix, Elem::f64, 2);
        View2<double> m = view2<double>(matrix);
        std::int64_t *p;
        if (columns == Py_None) {
            Ref out = int64_array(m.cols, &p);
            for (Py_ssize_t c = 0; c < m.cols; ++c) p[c] = last_valid_row(m, c);
            return out.release();
        }
        if (!PyArray_Check(columns))
            raisef(PyExc_TypeError, "last_valid_rows() columns must be a NumPy array, got %.200s",
                   Py_TYPE(columns)->tp_name);
        check_array(columns, Elem::i64, 1);
        View1<std::int64_t> cols = view1<std::int64_t>(columns);
        Ref out = int64_array(cols.size, &p);
        for (Py_ssize_t i = 0; i < cols.size; ++i) p[i] = last_valid_row(m, numpy_index(cols[i], m.cols, 1));
        return out.release();
    });
}

// volume_fault(matrix, columns=None, /): the (row, column) of the first
// volume of a 2-D float64 matrix that is negative or infinite, in its memory
// order (of the int64 array `columns` only, when given); None when every
// volume read is >= 0 or NaN. One read in place, without the interpreter
// lock: a volume frame on the prices' axes is checked as it is.
PyObject *py_volume_fault(PyObject *, PyObject *args) {
    return firewall("vostra._engine.volume_fault", "vostra/_engine", static_cast<PyObject *>(nullptr),
                    [&]() -> PyObject * {
        PyObject *matrix, *columns = Py_None;
        if (!PyArg_ParseTuple(args, "O!|O:volume_fault", &PyArray_Type, &matrix, &columns)) throw_py();
        check_array(matrix, Elem::f64, 2);
        View2<double> m = view2<double>(matrix);
        std::vector<std::uint8_t> checked(static_cast<std::size_t>(m.cols), columns == Py_None);
        if (columns != Py_None) {
            if (!PyArray_Check(columns))
                raisef(PyExc_TypeError, "volume_fault() columns must be a NumPy array, got %.200s",
                       Py_TYPE(columns)->tp_name);
            check_array(columns, Elem::i64, 1);
            View1<std::int64_t> given = view1<std::int64_t>(columns);
            for (Py_ssize_t i = 0; i < given.size; ++i) checked[numpy_index(given[i], m.cols, 1)] = 1;
        }
        std::pair<Py_ssize_t, Py_ssize_t> cell;
        Py_BEGIN_ALLOW_THREADS cell = first_bad_volume(m, checked);
        Py_END_ALLOW_THREADS
        if (cell.first < 0) Py_RETURN_NONE;
        return Py_BuildValue("(nn)", cell.first, cell.second);
    });
}

// heavy_rows(weights, bound, /): (count, first, sum) of the rows of a 2-D
// float64 weight matrix whose absolute weights add up to more than `bound`
// (and to a finite sum) and that hold a weight whose magnitude is not 1: how many there are, the
// first of them (-1 for none) and what it adds up to. A run scales such a
// row down; the front end warns when that is far from what the row says.
PyObject *py_heavy_rows(PyObject *, PyObject *args) {
    return firewall("vostra._engine.heavy_rows", "vostra/_engine", static_cast<PyObject *>(nullptr),
                    [&]() -> PyObject * {
        PyObject *matrix;
        double bound;
        if (!PyArg_ParseTuple(args, "O!d:heavy_rows", &PyArray_Type, &matrix, &bound)) throw_py();
        check_array(matrix, Elem::f64, 2);
        View2<double> w = view2<double>(matrix);
        std::vector<double> sum, odd;
        Py_BEGIN_ALLOW_THREADS row_sums(w, sum, odd);
        Py_END_ALLOW_THREADS
        Py_ssize_t count = 0, first = -1;
        for (Py_ssize_t r = 0; r < w.rows; ++r) {
            // A sum beyond the largest double is the run's to refuse.
            if (!(sum[r] > bound && sum[r] <= std::numeric_limits<double>::max() && odd[r] != 0)) continue;
            if (count++ == 0) first = r;
        }
        return Py_BuildValue("(nnd)", count, first, first >= 0 ? sum[first] : 0.0);
    });
}

// held_last_rows(close, price_col, traded, market_end=-1, /): (last, unknown,
// empty, delisting, delisted). For every weight column j that `traded` marks, the
// last valid row of its price column price_col[j] (-1 for none) goes into
// `last` (one entry per price column, -1 for the columns not asked for);
// `unknown` lists the marked weight columns without a price column
// (price_col < 0), `empty` those whose closes are all NaN, both ascending;
// `delisting` gives every weight column the bar after its last close when
// that close comes before `market_end` (the last bar with any close), else
// -1, and `delisted` counts the columns it delists. The columns' ends are asked for all at once before they are read:
// right after a run they come from memory, one page each.
PyObject *py_held_last_rows(PyObject *, PyObject *args) {
    return firewall("vostra._engine.held_last_rows", "vostra/_engine", static_cast<PyObject *>(nullptr),
                    [&]() -> PyObject * {
        PyObject *matrix, *price_col_obj, *traded_obj;
        long long market_end = -1;
        if (!PyArg_ParseTuple(args, "O!O!O!|L:held_last_rows", &PyArray_Type, &matrix, &PyArray_Type, &price_col_obj,
                              &PyArray_Type, &traded_obj, &market_end))
            throw_py();
        check_array(matrix, Elem::f64, 2);
        check_array(price_col_obj, Elem::i64, 1);
        auto *traded_arr = reinterpret_cast<PyArrayObject *>(traded_obj);
        if (PyArray_NDIM(traded_arr) != 1 || PyArray_TYPE(traded_arr) != NPY_BOOL)
            raisef(PyExc_ValueError, "held_last_rows() needs `traded` as a 1-D bool array");
        View2<double> m = view2<double>(matrix);
        View1<std::int64_t> price_col = view1<std::int64_t>(price_col_obj);
        View1<npy_bool> traded = view1<npy_bool>(traded_obj);
        if (traded.size != price_col.size)
            raisef(PyExc_ValueError, "held_last_rows() needs `traded` and `price_col` of one length");
        std::int64_t *last;
        Ref out = int64_array(m.cols, &last);
        std::fill(last, last + m.cols, -1);
        std::vector<std::int64_t> unknown, empty, asked;
        for (Py_ssize_t j = 0; j < price_col.size; ++j) {
            if (!traded[j]) continue;
            std::int64_t c = price_col[j];
            if (c < 0) {
                unknown.push_back(j);
                continue;
            }
            if (c >= m.cols) raise_buffer_index(1);
            asked.push_back(j);
            if (m.rows > 0) __builtin_prefetch(m.row_ptr(m.rows - 1) + c * m.col_stride);
        }
        std::int64_t *delisting;
        Ref delisting_array = int64_array(price_col.size, &delisting);
        std::fill(delisting, delisting + price_col.size, -1);
        Py_ssize_t delisted = 0;
        for (std::int64_t j : asked) {
            std::int64_t c = price_col[j];
            last[c] = last_valid_row(m, c);
            if (last[c] < 0) empty.push_back(j);
            if (last[c] >= 0 && last[c] < market_end) delisting[j] = last[c] + 1, ++delisted;
        }
        Ref unknown_array = vector_array(unknown, NPY_INT64), empty_array = vector_array(empty, NPY_INT64);
        return Py_BuildValue("(OOOOn)", out.get(), unknown_array.get(), empty_array.get(), delisting_array.get(),
                             delisted);
    });
}

// weights_after_delisting(weights, delisting_bars, price_ns, pos_ns, /): whether any
// weight column j with a delisting bar b = delisting_bars[j] >= 0 has a nonzero
// weight on a row dated at or after its last price bar (price_ns[max(b - 1, 0)]):
// the weights a run of a delisting must drop. Most runs have none, told here
// without the masks of every delisted column.
PyObject *py_weights_after_delisting(PyObject *, PyObject *args) {
    return firewall("vostra._engine.weights_after_delisting", "vostra/_engine", static_cast<PyObject *>(nullptr),
                    [&]() -> PyObject * {
        PyObject *weights_obj, *bars_obj, *price_obj, *pos_obj;
        if (!PyArg_ParseTuple(args, "O!O!O!O!:weights_after_delisting", &PyArray_Type, &weights_obj, &PyArray_Type,
                              &bars_obj, &PyArray_Type, &price_obj, &PyArray_Type, &pos_obj))
            throw_py();
        check_array(weights_obj, Elem::f64, 2);
        check_array(bars_obj, Elem::i64, 1);
        check_array(price_obj, Elem::i64, 1);
        check_array(pos_obj, Elem::i64, 1);
        View2<double> w = view2<double>(weights_obj);
        View1<std::int64_t> bars = view1<std::int64_t>(bars_obj), price_ns = view1<std::int64_t>(price_obj),
                            pos_ns = view1<std::int64_t>(pos_obj);
        if (bars.size != w.cols || pos_ns.size != w.rows)
            raise(PyExc_ValueError, "weights_after_delisting() needs a delisting bar per column and a date per row");
        for (Py_ssize_t c = 0; c < w.cols; ++c) {
            if (bars[c] < 0) continue;
            std::int64_t cutoff = price_ns[numpy_index(std::max<std::int64_t>(bars[c] - 1, 0), price_ns.size, 0)];
            for (Py_ssize_t r = 0; r < w.rows; ++r)
                if (pos_ns[r] >= cutoff && w(r, c) != 0) Py_RETURN_TRUE;
        }
        Py_RETURN_FALSE;
    });
}

// weight_columns(matrix, /): per column of a float64 weight matrix, whether
// any row gives it a nonzero weight; None when some weight is not finite
// or a row's absolute weights add up beyond the largest double.
PyObject *py_weight_columns(PyObject *, PyObject *matrix) {
    return firewall("vostra._engine.weight_columns", "vostra/_engine", static_cast<PyObject *>(nullptr),
                    [&]() -> PyObject * {
        if (!PyArray_Check(matrix))
            raisef(PyExc_TypeError, "weight_columns() needs a NumPy array, got %.200s", Py_TYPE(matrix)->tp_name);
        check_array(matrix, Elem::f64, 2);
        View2<double> w = view2<double>(matrix);
        std::vector<std::uint8_t> traded;
        bool finite = true;
        std::exception_ptr error;  // raised once the lock is back
        Py_BEGIN_ALLOW_THREADS try {
            traded = kernel::scan_weights(w);
        } catch (const kernel::BadInput &) {
            finite = false;
        } catch (...) {
            error = std::current_exception();
        }
        Py_END_ALLOW_THREADS if (error) std::rethrow_exception(error);
        if (!finite) Py_RETURN_NONE;
        npy_intp dims[1] = {w.cols};
        Ref out = Ref::check(PyArray_EMPTY(1, dims, NPY_BOOL, 0));
        if (!traded.empty()) std::memcpy(PyArray_DATA(reinterpret_cast<PyArrayObject *>(out.get())), traded.data(), traded.size());
        return out.release();
    });
}

namespace {

void free_scan(PyObject *capsule) {
    delete static_cast<HeldScan *>(PyCapsule_GetPointer(capsule, weight_scan_capsule));
}

}  // namespace

// scan_weights(matrix, /): (traded, scan) for a float64 weight matrix, traded
// as weight_columns gives it, scan the whole pass (with each row's nonzero
// weights) for a run on this same matrix; None when some weight is not finite
// or a row's absolute weights add up beyond the largest double.
PyObject *py_scan_weights(PyObject *, PyObject *matrix) {
    return firewall("vostra._engine.scan_weights", "vostra/_engine", static_cast<PyObject *>(nullptr),
                    [&]() -> PyObject * {
        if (!PyArray_Check(matrix))
            raisef(PyExc_TypeError, "scan_weights() needs a NumPy array, got %.200s", Py_TYPE(matrix)->tp_name);
        check_array(matrix, Elem::f64, 2);
        auto held = std::make_unique<HeldScan>();
        held->matrix = Ref::borrow(matrix);
        held->scan = std::make_shared<WeightScan>(view2<double>(matrix));
        WeightScan &scan = *held->scan;
        Py_BEGIN_ALLOW_THREADS scan.run();
        Py_END_ALLOW_THREADS
        if (scan.error) {
            try {
                std::rethrow_exception(scan.error);
            } catch (const kernel::BadInput &) {
                Py_RETURN_NONE;
            }
        }
        npy_intp dims[1] = {scan.weights.cols};
        Ref traded = Ref::check(PyArray_EMPTY(1, dims, NPY_BOOL, 0));
        if (!scan.traded.empty())
            std::memcpy(PyArray_DATA(reinterpret_cast<PyArrayObject *>(traded.get())), scan.traded.data(),
                        scan.traded.size());
        Ref capsule = Ref::check(PyCapsule_New(held.get(), weight_scan_capsule, free_scan));
        held.release();  // the capsule owns it now
        return PyTuple_Pack(2, traded.get(), capsule.get());
    });
}

std::shared_ptr<WeightScan> given_scan(PyObject *capsule, PyObject *matrix, const kernel::View2<double> &w) {
    if (!PyCapsule_IsValid(capsule, weight_scan_capsule))
        raisef(PyExc_TypeError, "weight_scan must be the scan that scan_weights() returned, got %.200s",
               Py_TYPE(capsule)->tp_name);
    auto *held = static_cast<HeldScan *>(PyCapsule_GetPointer(capsule, weight_scan_capsule));
    if (held->matrix.get() != matrix || !held->scan->reads(w))
        raise(PyExc_ValueError, "weight_scan was made of another array than pos_values; scan pos_values itself");
    return held->scan;
}

}  // namespace vostra::engine
