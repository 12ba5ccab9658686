// Weight and time utilities: normalize_weight and ioft. Both work on Python
// objects, so the weights may be Python numbers or NumPy scalars.
#include "common/argbind.hpp"
#include "host.hpp"

namespace vostra::vantrel {

namespace {

const char *const normalize_params[] = {"weights", "position_limit"};
const Signature normalize_signature{"normalize_weight", normalize_params, 2, 2};
const char *const ioft_params[] = {"v"};
const Signature ioft_signature{"ioft", ioft_params, 1, 1};

bool compare(PyObject *a, PyObject *b, int op) {
    int r = PyObject_RichCompareBool(a, b, op);
    if (r < 0) throw_py();
    return r != 0;
}

// Calls `body(key)` for each key of `weights` in iteration order; a dict that
// changes size meanwhile raises RuntimeError.
template <class F>
void for_each_key(PyObject *weights, F &&body) {
    Ref it = Ref::check(PyObject_GetIter(weights));
    while (Ref key = Ref::steal(PyIter_Next(it.get()))) body(key.get());
    throw_if_error();
}

Ref normalize_weight(PyObject *weights, PyObject *position_limit) {
    Ref weight_sum = py_float(0.0);
    Ref items_method = Ref::check(PyObject_GetAttrString(weights, "items"));
    Ref items = Ref::check(PyObject_CallNoArgs(items_method.get()));
    Ref it = Ref::check(PyObject_GetIter(items.get()));
    while (Ref pair = Ref::steal(PyIter_Next(it.get()))) {
        Ref sid = Ref::check(PySequence_GetItem(pair.get(), 0));
        Ref w = Ref::check(PyObject_GetItem(weights, sid.get()));
        Ref a = Ref::check(PyNumber_Absolute(w.get()));
        weight_sum = Ref::check(PyNumber_InPlaceAdd(weight_sum.get(), a.get()));
    }
    throw_if_error();

    Ref one = py_int(1);
    for_each_key(weights, [&](PyObject *sid) {
        if (!compare(weight_sum.get(), one.get(), Py_GT)) return;
        Ref w = Ref::check(PyObject_GetItem(weights, sid));
        Ref factor = Ref::check(PyNumber_TrueDivide(one.get(), weight_sum.get()));
        Ref scaled = Ref::check(PyNumber_Multiply(w.get(), factor.get()));
        if (PyObject_SetItem(weights, sid, scaled.get()) < 0) throw_py();
    });

    // Capping comes after scaling; nothing is rescaled afterwards.
    for_each_key(weights, [&](PyObject *sid) {
        Ref w = Ref::check(PyObject_GetItem(weights, sid));
        if (compare(w.get(), position_limit, Py_GT)) {
            if (PyObject_SetItem(weights, sid, position_limit) < 0) throw_py();
            return;
        }
        Ref negative = Ref::check(PyNumber_Negative(position_limit));
        if (compare(w.get(), negative.get(), Py_LT) && PyObject_SetItem(weights, sid, negative.get()) < 0)
            throw_py();
    });
    return Ref::borrow(weights);
}

}  // namespace

PyObject *py_normalize_weight(PyObject *, PyObject *args, PyObject *kwargs) {
    return firewall("vostra.core.vantrel.normalize_weight", source_file, static_cast<PyObject *>(nullptr),
                    [&]() -> PyObject * {
                        PyObject *v[2];
                        bind_args(normalize_signature, args, kwargs, v);
                        return normalize_weight(v[0], v[1]).release();
                    });
}

PyObject *py_ioft(PyObject *, PyObject *args, PyObject *kwargs) {
    return firewall("vostra.core.vantrel.ioft", source_file, static_cast<PyObject *>(nullptr), [&]() -> PyObject * {
        PyObject *v[1];
        bind_args(ioft_signature, args, kwargs, v);
        // Nanoseconds since the epoch, divided in floating point, as a naive
        // local date-time.
        Ref billion = py_float(1e9);
        Ref seconds = Ref::check(PyNumber_TrueDivide(v[0], billion.get()));
        PyObject *datetime_module = module_global(names::datetime);
        Ref cls = Ref::check(PyObject_GetAttrString(datetime_module, "datetime"));
        return Ref::check(PyObject_CallMethod(cls.get(), "fromtimestamp", "O", seconds.get())).release();
    });
}

}  // namespace vostra::vantrel
