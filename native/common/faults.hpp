// Turns the failures of the Python-free simulation body into the Python
// exceptions callers see, with the same types and messages on every path
// into the body.
#pragma once
#include "arrays.hpp"

namespace vostra {

// The ValueError of an unusable price of a held stock (no traceback entry).
[[noreturn]] void raise_invalid_price(kernel::PriceKind kind, double value, PyObject *symbol, Py_ssize_t row);

}  // namespace vostra
