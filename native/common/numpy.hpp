// NumPy C API include. Exactly one translation unit per module defines
// VOSTRA_IMPORT_ARRAY and calls import_array(); the others share its table.
#pragma once
#include "pyref.hpp"
#ifndef VOSTRA_IMPORT_ARRAY
#define NO_IMPORT_ARRAY
#endif
#include <numpy/arrayobject.h>
#include <numpy/arrayscalars.h>
