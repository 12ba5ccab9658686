// Trade log export: the recorder's rows with labels, dates, signal dates,
// weights and holding periods.
#include "common/argbind.hpp"
#include "host.hpp"

namespace vostra::vantrel {

namespace {

// An array argument that may also be None (then every access is out of
// range).
void check_type(PyObject *o, const char *name) {
    if (o != Py_None && !PyArray_Check(o))
        raisef(PyExc_TypeError, "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)", name,
               PyArray_Type.tp_name, Py_TYPE(o)->tp_name);
}

void check_elements(PyObject *o, Elem elem) {
    if (o != Py_None) check_array(o, elem, 1);
}

Py_ssize_t index_of(PyObject *i) {
    Py_ssize_t v = PyNumber_AsSsize_t(i, PyExc_IndexError);
    if (v == -1 && PyErr_Occurred()) throw_py();
    return v;
}

struct TradeLog {
    View1<PyObject *> labels;
    View1<std::int64_t> dates;
    PyObject *price_index;

    Ref label(PyObject *i) const { return Ref::borrow(labels.at(index_of(i))); }
    Ref date(PyObject *i) const { return py_int(dates.at(index_of(i))); }
};

Ref minus_one(PyObject *i) {
    Ref one = py_int(1);
    return Ref::check(PyNumber_Subtract(i, one.get()));
}

bool is_open(PyObject *exit_row) {
    Ref m1 = py_int(-1);
    int ne = PyObject_RichCompareBool(exit_row, m1.get(), Py_NE);
    if (ne < 0) throw_py();
    return !ne;
}

Ref row_of(const TradeLog &log, PyObject *t, Py_ssize_t i, bool touched_exit) {
    Ref sid = Ref::check(PySequence_GetItem(t, 0));
    Ref entry = Ref::check(PySequence_GetItem(t, 1));
    Ref exit = Ref::check(PySequence_GetItem(t, 2));
    Ref values[9];
    values[0] = log.label(sid.get());
    values[1] = log.date(entry.get());
    values[2] = is_open(exit.get()) ? py_int(-1) : log.date(exit.get());
    values[3] = log.date(minus_one(entry.get()).get());
    if (is_open(exit.get()))
        values[4] = py_int(-1);
    else
        values[4] = touched_exit ? log.date(exit.get()) : log.date(minus_one(exit.get()).get());
    Ref orbalt = Ref::borrow(module_global(names::orbalt));
    Ref positions = Ref::check(PyObject_GetAttrString(orbalt.get(), "trade_positions"));
    Ref index = py_int(i);
    values[5] = Ref::check(PyObject_GetItem(positions.get(), index.get()));
    if (is_open(exit.get())) {
        if (log.price_index == Py_None) raise(PyExc_TypeError, "object of type 'NoneType' has no len()");
        Ref length = py_int(log.dates.size);
        values[6] = Ref::check(PyNumber_Subtract(length.get(), entry.get()));
    } else {
        values[6] = Ref::check(PyNumber_Subtract(exit.get(), entry.get()));
    }
    values[7] = entry;
    values[8] = exit;
    Ref row = Ref::check(PyList_New(9));
    for (int k = 0; k < 9; ++k) PyList_SET_ITEM(row.get(), k, values[k].release());
    return row;
}

const char *const params[] = {"pos_columns", "price_index", "touched_exit"};
const Signature signature{"get_trade_stocks", params, 3, 3};

}  // namespace

PyObject *py_get_trade_stocks(PyObject *, PyObject *args, PyObject *kwargs) {
    return firewall("vostra.core.vantrel.get_trade_stocks", source_file, static_cast<PyObject *>(nullptr),
                    [&]() -> PyObject * {
                        PyObject *v[3];
                        bind_args(signature, args, kwargs, v);
                        bool touched_exit = to_bool(v[2]);
                        check_type(v[0], "pos_columns");
                        check_type(v[1], "price_index");
                        check_elements(v[0], Elem::object);
                        check_elements(v[1], Elem::i64);
                        TradeLog log{view1<PyObject *>(v[0]), view1<std::int64_t>(v[1]), v[1]};
                        Ref orbalt = Ref::borrow(module_global(names::orbalt));
                        Ref trades = Ref::check(PyObject_GetAttrString(orbalt.get(), "trades"));
                        Ref positions = Ref::check(PyObject_GetAttrString(orbalt.get(), "trade_positions"));
                        Ref excursions = Ref::check(PyObject_GetAttrString(orbalt.get(), "orbalt"));
                        recorder_api::check_list_lengths(trades.get(), positions.get(), excursions.get());
                        Ref ret = Ref::check(PyList_New(0));
                        Ref it = Ref::check(PyObject_GetIter(trades.get()));
                        Py_ssize_t i = 0;
                        while (Ref t = Ref::steal(PyIter_Next(it.get()))) {
                            list_append(ret.get(), row_of(log, t.get(), i++, touched_exit).get());
                        }
                        throw_if_error();
                        PyObject *report = module.stock_operations ? module.stock_operations : Py_None;
                        return Py_BuildValue("(OO)", ret.get(), report);
                    });
}

}  // namespace vostra::vantrel
