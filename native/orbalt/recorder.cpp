// The recorder's operations: one trade row, its position weight and its
// excursion array per closed or still-open trade.
#include "common/arrays.hpp"
#include "common/recorder_api.hpp"
#include "kernel/metrics.hpp"
#include "state.hpp"

#include <algorithm>
#include <climits>
#include <cstring>
#include <unistd.h>
#include <vector>

namespace vostra::orbalt {

State state;

namespace {

// Rows go to whatever object the module attribute names at the time of the
// call, so rebinding `trades` (or the other lists) redirects later rows.
const GlobalName trades{"trades"}, trade_positions{"trade_positions"}, excursions{"orbalt"};

void append_to(const GlobalName &list, PyObject *item) { list_append(list.lookup(state.module_dict), item); }

// Trade rows and excursion arrays that only the previous run's lists still
// hold are recycled for the next run instead of being freed and made again:
// nothing else can reach them, so their reuse cannot be seen, and it saves
// most of the per-trade object cost of a long trade log.
struct Recycled {
    std::vector<Ref> rows;    // lists of three items
    std::vector<Ref> arrays;  // fresh-looking 1-D float64 arrays of `array_size` values
    npy_intp array_size = -1;
};
// Lives as long as the process: it is never destroyed, since destroying it
// at exit would release Python objects after the interpreter has gone.
Recycled &recycled = *new Recycled;
constexpr std::size_t max_recycled = 1 << 20;
// Excursion arrays are as large as the window makes them: the pool keeps at
// most this many bytes of them, and only while a run may reuse them.
constexpr std::int64_t max_recycled_array_bytes = std::int64_t{64} << 20;

bool unshared_row(PyObject *o) { return PyList_CheckExact(o) && Py_REFCNT(o) == 1 && PyList_GET_SIZE(o) == 3; }

bool unshared_array(PyObject *o, npy_intp size) {
    if (!PyArray_CheckExact(o) || Py_REFCNT(o) != 1) return false;
    auto *a = reinterpret_cast<PyArrayObject_fields *>(o);
    constexpr int pristine = NPY_ARRAY_OWNDATA | NPY_ARRAY_C_CONTIGUOUS | NPY_ARRAY_ALIGNED | NPY_ARRAY_WRITEABLE;
    return !a->weakreflist && !a->base && a->nd == 1 && a->dimensions[0] == size && a->descr->type_num == NPY_DOUBLE &&
           PyArray_ISNOTSWAPPED(reinterpret_cast<PyArrayObject *>(o)) && (a->flags & pristine) == pristine;
}

// Moves the unshared items of an exact list into `pool` (up to `limit`
// items) before it is cleared.
template <class Keep>
void harvest(PyObject *list, std::vector<Ref> &pool, std::size_t limit, Keep &&keep) {
    if (!PyList_CheckExact(list)) return;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list) && pool.size() < limit; ++i) {
        PyObject *item = PyList_GET_ITEM(list, i);
        if (keep(item)) pool.push_back(Ref::borrow(item));
    }
}

void clear_list(const GlobalName &list) {
    PyObject *l = list.lookup(state.module_dict);
    if (PyList_CheckExact(l)) {
        if (PyList_SetSlice(l, 0, PyList_GET_SIZE(l), nullptr) < 0) throw_py();
        return;
    }
    Ref r = Ref::check(PyObject_CallMethod(l, "clear", nullptr));
}

// A list of three for a trade row: recycled (its old items are replaced as
// the row is filled) or new (items still null).
Ref new_row() {
    if (!recycled.rows.empty()) {
        Ref row = std::move(recycled.rows.back());
        recycled.rows.pop_back();
        return row;
    }
    return Ref::check(PyList_New(3));
}

void set_row_item(PyObject *row, Py_ssize_t i, Ref value) {
    PyObject *old = PyList_GET_ITEM(row, i);
    PyList_SET_ITEM(row, i, value.release());
    Py_XDECREF(old);
}

Ref new_excursion_array(npy_intp size) {
    if (size == recycled.array_size && !recycled.arrays.empty()) {
        Ref a = std::move(recycled.arrays.back());
        recycled.arrays.pop_back();
        return a;
    }
    npy_intp dims[1] = {size};
    return Ref::check(PyArray_EMPTY(1, dims, NPY_DOUBLE, 0));
}

// Collects what the lists about to be cleared alone hold; arrays only when
// they have the size the new run's window gives.
void recycle_previous_run(int window, int window_step) {
    npy_intp size = -1;
    try {
        size = static_cast<npy_intp>(metrics::array_size(window, window_step));
    } catch (const metrics::Fault &) {
    }
    if (size != recycled.array_size) {
        recycled.arrays.clear();
        recycled.array_size = size;
    }
    harvest(trades.lookup(state.module_dict), recycled.rows, max_recycled, unshared_row);
    if (size >= 0) {
        std::int64_t bytes = std::max<std::int64_t>(size, 1) * static_cast<std::int64_t>(sizeof(double));
        std::size_t limit = std::min<std::size_t>(max_recycled, static_cast<std::size_t>(max_recycled_array_bytes / bytes));
        harvest(excursions.lookup(state.module_dict), recycled.arrays, limit,
                [size](PyObject *o) { return unshared_array(o, size); });
    }
}

// Empties the recycled rows of their items (the previous run's values)
// before the run, in one pass: they were last touched a whole run ago, and
// released one by one as each row is reused, every trade would wait on
// their cache misses. The rows are out of every list by now, so nothing
// (no finaliser an item may run) can see them empty. The rows, their item
// arrays and the items are asked for a few rows ahead, so that their misses
// overlap.
void empty_recycled_rows() {
    std::vector<Ref> &rows = recycled.rows;
    const std::size_t n = rows.size();
    auto items = [&](std::size_t i) { return reinterpret_cast<PyListObject *>(rows[i].get())->ob_item; };
    for (std::size_t i = 0; i < n; ++i) {
        if (i + 12 < n) __builtin_prefetch(rows[i + 12].get());
        if (i + 8 < n) __builtin_prefetch(items(i + 8));
        if (i + 4 < n)
            for (int k = 0; k < 3; ++k)
                if (PyObject *item = items(i + 4)[k]) __builtin_prefetch(item);
        PyObject **row = items(i);
        for (int k = 0; k < 3; ++k) {
            PyObject *item = row[k];
            row[k] = nullptr;
            Py_XDECREF(item);
        }
    }
}

// Releases what the run in progress did not reuse: nothing else needs it.
void release_recycled() {
    recycled.rows.clear();
    recycled.arrays.clear();
}

// Refuses, before a run changes anything, a window whose excursion array
// alone would take more than a tenth of the physical memory: the array is
// sized by the window, not by the data, so a few trades would exhaust the
// machine instead of raising. A window the size cannot be computed for
// fails per trade, as before.
void check_array_memory(int window, int window_step) {
    std::int64_t size;
    try {
        size = metrics::array_size(window, window_step);
    } catch (const metrics::Fault &) {
        return;
    }
    long pages = sysconf(_SC_PHYS_PAGES), page = sysconf(_SC_PAGE_SIZE);
    if (size <= 0 || pages <= 0 || page <= 0) return;
    long long physical = static_cast<long long>(pages) * page;
    long long bytes = static_cast<long long>(size) * static_cast<long long>(sizeof(double));
    if (bytes > physical / 10)
        raisef(PyExc_MemoryError,
               "orbalt_window=%d with orbalt_window_step=%d gives every trade an excursion array of %lld bytes, more "
               "than a tenth of this machine's physical memory (%lld bytes); choose a smaller orbalt_window or a "
               "larger orbalt_window_step",
               window, window_step, bytes, physical);
}

// Element `i` of a per-stock array, by NumPy's indexing rules.
char *item_ptr(PyArrayObject *a, Py_ssize_t i) {
    if (!a || reinterpret_cast<PyObject *>(a) == Py_None) raise(PyExc_TypeError, "'NoneType' object is not subscriptable");
    Py_ssize_t j = numpy_index(i, PyArray_DIM(a, 0), 0);
    return PyArray_BYTES(a) + j * PyArray_STRIDE(a, 0);
}

// a[i] as the NumPy scalar indexing gives. The recorder's own int64 and
// float64 arrays take the direct route; anything else goes through NumPy.
Ref scalar_at(PyArrayObject *a, Py_ssize_t i) {
    char *p = item_ptr(a, i);
    PyArray_Descr *descr = PyArray_DESCR(a);
    if (PyArray_ISNOTSWAPPED(a)) {
        if (descr->type_num == NPY_INT64) {
            Ref s = Ref::check(PyArrayScalar_New(Int64));
            PyArrayScalar_ASSIGN(s.get(), Int64, load<npy_int64>(p));
            return s;
        }
        if (descr->type_num == NPY_DOUBLE) {
            Ref s = Ref::check(PyArrayScalar_New(Double));
            PyArrayScalar_ASSIGN(s.get(), Double, load<double>(p));
            return s;
        }
    }
    return Ref::check(PyArray_Scalar(p, descr, reinterpret_cast<PyObject *>(a)));
}

std::int64_t int64_at(PyArrayObject *a, Py_ssize_t i) { return load<std::int64_t>(item_ptr(a, i)); }
double double_at(PyArrayObject *a, Py_ssize_t i) { return load<double>(item_ptr(a, i)); }

int as_c_int(std::int64_t v) {
    if (v < INT_MIN || v > INT_MAX) raise(PyExc_OverflowError, "value too large to convert to int");
    return static_cast<int>(v);
}

metrics::Grid grid_of(PyArrayObject *a) {
    if (!a || reinterpret_cast<PyObject *>(a) == Py_None) raise(PyExc_TypeError, "'NoneType' object is not subscriptable");
    return {PyArray_BYTES(a), PyArray_DIM(a, 0), PyArray_DIM(a, 1), PyArray_STRIDE(a, 0), PyArray_STRIDE(a, 1)};
}

// The price column of a stock: the column map as a vector by stock id, with
// the map itself behind it for ids outside. A stock id missing from the map
// is inserted with column 0 and column 0 is used.
int price_column_of(int sid) {
    if (sid >= 0 && static_cast<std::size_t>(sid) < state.column_of.size() && state.column_of[sid] >= 0)
        return state.column_of[sid];
    int col = state.pos2price[sid];
    if (sid >= 0 && static_cast<std::size_t>(sid) < state.column_of.size()) state.column_of[sid] = col;
    return col;
}

// The excursion array of one trade (a new float64 array), written in place.
Ref orbalt_analysis(int sid, int i_entry, int i_exit, bool is_long, int i_entry_trasnaction,
                    int i_exit_trasnaction) {
    try {
        metrics::Trade t{price_column_of(sid), i_entry, i_exit, is_long, i_entry_trasnaction != 0,
                         i_exit_trasnaction != 0, state.fee_ratio, state.tax_ratio, state.window,
                         state.window_step};
        metrics::Grid price = grid_of(state.price), close = grid_of(state.close);
        // A fault of the walk (a zero price, say) wins over one of the size,
        // so the walk runs first when there is no array to write.
        std::int64_t size = -1;
        bool zero_step = false;
        try {
            size = metrics::array_size(state.window, state.window_step);
        } catch (const metrics::Fault &) {
            zero_step = true;
        }
        Ref ret;
        double *out = nullptr;
        if (!zero_step && size >= 0) {
            ret = new_excursion_array(static_cast<npy_intp>(size));
            out = static_cast<double *>(PyArray_DATA(reinterpret_cast<PyArrayObject *>(ret.get())));
        }
        try {
            metrics::excursions(price, close, t, out, out ? size : 0);
        } catch (const metrics::Fault &) {
            raise_current_fault({});
        }
        if (zero_step) raise(PyExc_ZeroDivisionError, "integer division or modulo by zero");
        if (size < 0) raise(PyExc_ValueError, "negative dimensions are not allowed");
        return ret;
    } catch (const py_error &) {
        add_traceback("vostra.core.orbalt.orbalt_analysis", source_file);
        throw;
    }
}

// One trade row: [sid, entry[sid], exit_date], its weight, its excursions.
void record_trade(int sid, int exit_date, int exit_bar, int has_exit_trasnaction) {
    Ref entry_date = scalar_at(state.entry, sid);
    Ref row = new_row();
    set_row_item(row.get(), 0, py_int(sid));
    set_row_item(row.get(), 1, std::move(entry_date));
    set_row_item(row.get(), 2, py_int(exit_date));
    append_to(trades, row.get());
    append_to(trade_positions, scalar_at(state.position, sid).get());
    int i_entry = as_c_int(int64_at(state.entry, sid));
    bool is_long = double_at(state.position, sid) > 0;
    int entry_cost = as_c_int(int64_at(state.entry_trasnaction, sid));
    Ref excursions_of_trade = orbalt_analysis(sid, i_entry, exit_bar, is_long, entry_cost, has_exit_trasnaction);
    append_to(excursions, excursions_of_trade.get());
}

Ref zeros(int n, int typenum) {
    npy_intp dims[1] = {n};
    if (n < 0) raise(PyExc_ValueError, "negative dimensions are not allowed");
    return Ref::check(PyArray_ZEROS(1, dims, typenum, 0));
}

void replace(PyArrayObject *&slot, Ref value) {
    PyObject *old = reinterpret_cast<PyObject *>(slot);
    slot = reinterpret_cast<PyArrayObject *>(value.release());
    Py_XDECREF(old);
}

template <class F>
void guarded(const char *qualname, F &&body) {
    firewall(qualname, source_file, 0, [&] {
        body();
        return 0;
    });
}

}  // namespace

void start_analysis(PyArrayObject *price_, PyArrayObject *close_, std::map<int, int> pos2price_, int nstocks,
                    double fee_ratio_, double tax_ratio_, int window_, int window_step_) {
    guarded("vostra.core.orbalt.start_analysis", [&] {
        for (PyArrayObject *a : {price_, close_})
            if (a && reinterpret_cast<PyObject *>(a) != Py_None) check_array(reinterpret_cast<PyObject *>(a), Elem::f64, 2);
        check_array_memory(window_, window_step_);
        auto as_ref = [](PyArrayObject *a) { return Ref::borrow(a ? reinterpret_cast<PyObject *>(a) : Py_None); };
        replace(state.price, as_ref(price_));
        replace(state.close, as_ref(close_));
        state.pos2price = std::move(pos2price_);
        state.column_of.assign(nstocks > 0 ? static_cast<std::size_t>(nstocks) : 0, -1);
        for (const auto &[sid, col] : state.pos2price)
            if (sid >= 0 && sid < nstocks) state.column_of[sid] = col;
        state.window = window_;
        state.window_step = window_step_;
        recycle_previous_run(window_, window_step_);
        clear_list(trades);
        clear_list(trade_positions);
        clear_list(excursions);
        empty_recycled_rows();
        replace(state.entry, zeros(nstocks, NPY_INT64));
        replace(state.position, zeros(nstocks, NPY_DOUBLE));
        replace(state.entry_trasnaction, zeros(nstocks, NPY_INT64));
        state.fee_ratio = fee_ratio_;
        state.tax_ratio = tax_ratio_;
    });
}

void record_date(int d) { state.date = d; }

void record_entry(int sid, double position_sid, int has_entry_trasnaction) {
    guarded("vostra.core.orbalt.record_entry", [&] {
        std::int64_t date = state.date, cost = has_entry_trasnaction;
        std::memcpy(item_ptr(state.entry, sid), &date, sizeof date);
        std::memcpy(item_ptr(state.position, sid), &position_sid, sizeof position_sid);
        std::memcpy(item_ptr(state.entry_trasnaction, sid), &cost, sizeof cost);
    });
}

void record_exit(int sid, int has_exit_trasnaction) {
    guarded("vostra.core.orbalt.record_exit",
            [&] { record_trade(sid, state.date, state.date, has_exit_trasnaction); });
}

PyObject *end_analysis(std::map<int, double> &pos) {
    return firewall("vostra.core.orbalt.end_analysis", source_file, static_cast<PyObject *>(nullptr), [&] {
        for (const auto &[sid, value] : pos) {
            if (value == 0) continue;  // flat stocks have no open trade; NaN counts as open
            record_trade(sid, -1, state.date, 0);
        }
        release_recycled();
        PyObject *d = state.module_dict;
        recorder_api::check_list_lengths(trades.lookup(d), trade_positions.lookup(d), excursions.lookup(d));
        return Py_NewRef(Py_None);
    });
}

}  // namespace vostra::orbalt
