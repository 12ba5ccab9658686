// Binding the recorder's export table at import of the engine.
#include "recorder_api.hpp"

namespace vostra::recorder_api {

namespace {

void *import_entry(PyObject *module, PyObject *capi, const char *name, const char *sig, const char *kind) {
    PyObject *cobj = PyDict_GetItemString(capi, name);
    const char *modname = PyModule_GetName(module);
    if (!modname) throw_py();
    if (!cobj)
        raisef(PyExc_ImportError, "%.200s does not export expected C %s %.200s", modname, kind, name);
    if (!PyCapsule_IsValid(cobj, sig)) {
        const char *got = PyCapsule_GetName(cobj);
        PyErr_Clear();
        raisef(PyExc_TypeError, "C %s %.200s.%.200s has wrong signature (expected %.500s, got %.500s)", kind, modname,
               name, sig, got ? got : "(null)");
    }
    void *p = PyCapsule_GetPointer(cobj, sig);
    if (!p) throw_py();
    return p;
}

template <class F>
F import_function(PyObject *module, PyObject *capi, const char *name, const char *sig) {
    return reinterpret_cast<F>(import_entry(module, capi, name, sig, "function"));
}

}  // namespace

Ref bind(const char *module_name, Table &t) {
    Ref module = Ref::check(PyImport_ImportModule(module_name));
    Ref capi = Ref::check(PyObject_GetAttrString(module.get(), "__pyx_capi__"));
    PyObject *d = capi.get();
    t.entry = static_cast<PyArrayObject **>(import_entry(module.get(), d, "entry", array_sig, "variable"));
    t.position = static_cast<PyArrayObject **>(import_entry(module.get(), d, "position", array_sig, "variable"));
    t.start_analysis = import_function<start_analysis_fn>(module.get(), d, "start_analysis", start_analysis_sig);
    t.record_date = import_function<record_date_fn>(module.get(), d, "record_date", record_date_sig);
    t.record_entry = import_function<record_entry_fn>(module.get(), d, "record_entry", record_entry_sig);
    t.record_exit = import_function<record_exit_fn>(module.get(), d, "record_exit", record_exit_sig);
    t.end_analysis = import_function<end_analysis_fn>(module.get(), d, "end_analysis", end_analysis_sig);
    return module;
}

}  // namespace vostra::recorder_api
