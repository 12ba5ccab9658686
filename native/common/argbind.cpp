// Argument binding and scalar conversion for the Python-callable functions.
#include "argbind.hpp"

#include <climits>

namespace vostra {

namespace {

[[noreturn]] void raise_arg_count(const Signature &sig, Py_ssize_t found) {
    bool exact = sig.nrequired == sig.nparams;
    Py_ssize_t expected;
    const char *more_or_less;
    if (found < sig.nrequired) {
        expected = sig.nrequired;
        more_or_less = "at least";
    } else {
        expected = sig.nparams;
        more_or_less = "at most";
    }
    if (exact) more_or_less = "exactly";
    raisef(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)", sig.name, more_or_less,
           expected, expected == 1 ? "" : "s", found);
}

PyObject *lookup(PyObject *kwargs, const char *name) {
    Ref key = Ref::check(PyUnicode_InternFromString(name));
    PyObject *v = PyDict_GetItemWithError(kwargs, key.get());
    if (!v) throw_if_error();
    return v;
}

bool same_name(PyObject *key, const char *name) {
    int r = PyUnicode_CompareWithASCIIString(key, name);
    if (PyErr_Occurred()) throw_py();
    return r == 0;
}

// Places the keywords not consumed by the positional pass and reports the
// first offending keyword in dict order.
void parse_keywords(const Signature &sig, PyObject *kwargs, Py_ssize_t nargs, PyObject **values) {
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    while (PyDict_Next(kwargs, &pos, &key, &value)) {
        if (!PyUnicode_Check(key)) raisef(PyExc_TypeError, "%.200s() keywords must be strings", sig.name);
        bool placed = false;
        for (Py_ssize_t j = nargs; j < sig.nparams; ++j) {
            if (same_name(key, sig.params[j])) {
                values[j] = value;
                placed = true;
                break;
            }
        }
        if (placed) continue;
        for (Py_ssize_t j = 0; j < nargs; ++j)
            if (same_name(key, sig.params[j]))
                raisef(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'", sig.name, key);
        raisef(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", sig.name, key);
    }
}

}  // namespace

void bind_args(const Signature &sig, PyObject *args, PyObject *kwargs, PyObject **values) {
    Py_ssize_t nargs = PyTuple_GET_SIZE(args);
    for (int i = 0; i < sig.nparams; ++i) values[i] = nullptr;
    if (nargs > sig.nparams) raise_arg_count(sig, nargs);
    for (Py_ssize_t i = 0; i < nargs; ++i) values[i] = PyTuple_GET_ITEM(args, i);
    if (!kwargs || PyDict_GET_SIZE(kwargs) == 0) {
        if (nargs < sig.nrequired) raise_arg_count(sig, nargs);
        return;
    }
    Py_ssize_t kw_left = PyDict_GET_SIZE(kwargs);
    for (Py_ssize_t i = nargs; i < sig.nparams; ++i) {
        if (i < sig.nrequired) {
            // A required parameter missing from both reports how many of the
            // parameters before it were bound.
            PyObject *v = lookup(kwargs, sig.params[i]);
            if (!v) raise_arg_count(sig, i);
            values[i] = v;
            --kw_left;
        } else if (kw_left > 0) {
            if (PyObject *v = lookup(kwargs, sig.params[i])) {
                values[i] = v;
                --kw_left;
            }
        }
    }
    if (kw_left > 0) parse_keywords(sig, kwargs, nargs, values);
}

double to_double(PyObject *o) {
    double v = PyFloat_CheckExact(o) ? PyFloat_AS_DOUBLE(o) : PyFloat_AsDouble(o);
    if (v == -1.0 && PyErr_Occurred()) throw_py();
    return v;
}

int to_int32(PyObject *o) {
    Ref num;
    if (PyLong_Check(o)) {
        num = Ref::borrow(o);
    } else {
        // Anything with __int__ converts (and truncates, for floats);
        // everything else is not an integer.
        PyNumberMethods *m = Py_TYPE(o)->tp_as_number;
        if (!m || !m->nb_int) raise(PyExc_TypeError, "an integer is required");
        num = Ref::check(m->nb_int(o));
        if (!PyLong_CheckExact(num.get()))
            raisef(PyExc_TypeError, "__int__ returned non-int (type %.200s)", Py_TYPE(num.get())->tp_name);
    }
    // Any value outside the int range, however large, gets the same message.
    int overflow = 0;
    long v = PyLong_AsLongAndOverflow(num.get(), &overflow);
    if (v == -1 && PyErr_Occurred()) throw_py();
    if (overflow || v < INT_MIN || v > INT_MAX) raise(PyExc_OverflowError, "value too large to convert to int");
    return static_cast<int>(v);
}

}  // namespace vostra
