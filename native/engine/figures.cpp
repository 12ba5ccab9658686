// Where the statistics' figures go (a figure's interned name, the slots of
// a tuple of names), and what a printed result shows, in one call.
#include "figures.hpp"

#include <algorithm>

namespace vostra::engine {

// The interned str of a figure's name (a string literal), made once: a
// dict of figures then takes no new string, nor its hash, per entry. The
// interpreter lock guards the table; its strings live as long as the process.
PyObject *name_of(const char *key) {
    static std::unordered_map<const char *, PyObject *> names;
    auto [at, fresh] = names.try_emplace(key, nullptr);
    if (fresh) {
        at->second = PyUnicode_InternFromString(key);
        if (!at->second) {
            names.erase(at);
            throw_py();
        }
    }
    return at->second;
}

void set_float(PyObject *d, const char *key, double v) {
    Ref value = Ref::check(PyFloat_FromDouble(v));
    if (PyDict_SetItem(d, name_of(key), value.get()) < 0) throw_py();
}

namespace {

// The slots of the names of `keys` (a tuple of str). The printout asks with
// one tuple, kept alive here so that its address stays its own: the map is
// made when another tuple comes.
const Slots &slots_of(PyObject *keys) {
    static PyObject *seen = nullptr;
    static Slots slots;
    static std::vector<Ref> names;
    if (keys == seen) return slots;
    if (!PyTuple_Check(keys)) raise(PyExc_TypeError, "printed_figures() needs the names as a tuple of str");
    Slots made;
    std::vector<Ref> held;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(keys); ++i) {
        PyObject *key = PyTuple_GET_ITEM(keys, i);
        if (!PyUnicode_CheckExact(key)) raise(PyExc_TypeError, "printed_figures() needs the names as a tuple of str");
        Py_INCREF(key);
        PyUnicode_InternInPlace(&key);  // the str name_of makes of the same text
        held.push_back(Ref::steal(key));
        made.by_name.emplace(key, i);
    }
    Py_INCREF(keys);
    Py_XDECREF(seen);
    seen = keys;
    slots = std::move(made);
    names.swap(held);
    return slots;
}

}  // namespace

// printed_figures(keys, equity, first, periods_per_year, traded, holdings, dates, risk_free,
// entry_order, exit_bar, entry_bar, returns, excursions, /): what a printed result shows, in one
// call: the figures of window_figures and of trade_figures (with the averages) as a float64 array
// laid out as the tuple of names `keys` (NaN for a figure without a value), then the closed
// trades' MAE and MFE in entry order when there are more than 8192 of them to average (else None).
PyObject *py_printed_figures(PyObject *, PyObject *const *args, Py_ssize_t nargs) {
    return firewall("vostra._engine.printed_figures", "vostra/_engine", static_cast<PyObject *>(nullptr),
                    [&]() -> PyObject * {
        if (nargs != 13) raisef(PyExc_TypeError, "printed_figures() takes 13 arguments (%zd given)", nargs);
        const Slots &at = slots_of(args[0]);
        if (!PyArray_Check(args[1])) raise(PyExc_TypeError, "printed_figures() needs the equity as a NumPy array");
        Py_ssize_t first = PyLong_AsSsize_t(args[2]);
        double ppy = PyFloat_AsDouble(args[3]), risk_free = PyFloat_AsDouble(args[7]);
        throw_if_error();
        TradeColumns c = trade_columns(args[8], args[9], args[10], args[11], args[12], "printed_figures");
        npy_intp dims[1] = {static_cast<npy_intp>(at.size())};
        Ref values = Ref::check(PyArray_EMPTY(1, dims, NPY_DOUBLE, 0));
        double *slots = static_cast<double *>(PyArray_DATA(reinterpret_cast<PyArrayObject *>(values.get())));
        std::fill(slots, slots + at.size(), NAN);
        Out put{nullptr, slots, &at};
        window_figures_into(args[1], first, ppy, args[4], args[5], args[6], risk_free, put, "printed_figures");
        std::vector<double> mae, mfe;
        if (trade_figures_into(c, true, put, mae, mfe) || mae.empty())
            return Py_BuildValue("(OOO)", values.get(), Py_None, Py_None);
        Ref mae_array = vector_array(mae, NPY_DOUBLE), mfe_array = vector_array(mfe, NPY_DOUBLE);
        return Py_BuildValue("(OOO)", values.get(), mae_array.get(), mfe_array.get());
    });
}

}  // namespace vostra::engine
