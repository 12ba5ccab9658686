// Module initialisation shared by the native modules. Include after
// numpy.hpp in the translation unit that defines VOSTRA_IMPORT_ARRAY.
#pragma once
#include "numpy.hpp"

namespace vostra {

inline void add_object(PyObject *module, const char *name, PyObject *value) {
    if (PyModule_AddObjectRef(module, name, value) < 0) throw_py();
}

// Runs a module's exec body once per process. The modules keep process-global
// state, so a second initialisation (after the module was dropped from
// sys.modules, say) is refused rather than silently sharing or resetting it.
template <class F>
int exec_once(bool &initialised, const char *short_name, const char *qualified_name, const char *init_entry,
              const char *file, F &&body) {
    if (initialised) {
        PyErr_Format(PyExc_RuntimeError,
                     "Module '%s' has already been imported. Re-initialisation is not supported.", short_name);
        return -1;
    }
    return firewall(init_entry, file, -1, [&] {
        if (check_binary_version(qualified_name) < 0) throw_py();
        if (_import_array() < 0) throw_py();
        body();
        initialised = true;
        return 0;
    });
}

// Slots of a module whose state is process-global: its exec function, and
// no sharing between subinterpreters.
template <int (*Exec)(PyObject *)>
inline PyModuleDef_Slot process_global_slots[] = {
    {Py_mod_exec, reinterpret_cast<void *>(Exec)},
#if PY_VERSION_HEX >= 0x030C0000
    {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
#endif
    {0, nullptr},
};

}  // namespace vostra
