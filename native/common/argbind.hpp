// One argument binder for every Python-callable function of the engine:
// positional arguments first, then keywords by name, with the exact messages
// callers see for missing, surplus, unknown, repeated or non-string keywords.
#pragma once
#include "pyref.hpp"

namespace vostra {

struct Signature {
    const char *name;           // function name used in the messages
    const char *const *params;  // parameter names in positional order
    int nparams;
    int nrequired;              // the first `nrequired` parameters have no default
};

// Fills values[0..nparams) with borrowed references (null where a parameter
// with a default was not given). Throws py_error on a binding error.
void bind_args(const Signature &sig, PyObject *args, PyObject *kwargs, PyObject **values);

// Scalar conversions used by the binders.
double to_double(PyObject *o);                    // Python's float conversion
int to_int32(PyObject *o);                        // int conversion to a 32-bit signed int
inline bool to_bool(PyObject *o) { return truth(o); }

}  // namespace vostra
