// Test-only module `vostra.core._recorder_probe`: binds the recorder through
// its export table exactly as the engine does and exposes the five native
// operations to Python, so the recorder can be driven directly by tests.
#define VOSTRA_IMPORT_ARRAY
#include "common/argbind.hpp"
#include "common/recorder_api.hpp"

namespace vostra::probe {
namespace {

constexpr const char *file = "core/_recorder_probe";
recorder_api::Table api;

// Runs a recorder call and turns a pending exception into a Python error.
template <class F>
PyObject *call(const char *name, F &&body) {
    return firewall(name, file, static_cast<PyObject *>(nullptr), [&]() -> PyObject * {
        body();
        throw_if_error();
        return Py_NewRef(Py_None);
    });
}

template <class Map, class V>
Map map_from_dict(PyObject *d, V (*conv)(PyObject *)) {
    if (!PyDict_Check(d)) raise(PyExc_TypeError, "expected a dict");
    Map m;
    Py_ssize_t pos = 0;
    PyObject *k, *v;
    while (PyDict_Next(d, &pos, &k, &v)) m[to_int32(k)] = conv(v);
    return m;
}

PyArrayObject *array_arg(PyObject *o) { return o == Py_None ? nullptr : reinterpret_cast<PyArrayObject *>(o); }

PyObject *start_analysis(PyObject *, PyObject *args) {
    PyObject *price, *close, *pos2price;
    int nstocks, window, step;
    double fee, tax;
    if (!PyArg_ParseTuple(args, "OOOiddii", &price, &close, &pos2price, &nstocks, &fee, &tax, &window, &step))
        return nullptr;
    return call("start_analysis", [&] {
        auto m = map_from_dict<std::map<int, int>>(pos2price, &to_int32);
        api.start_analysis(array_arg(price), array_arg(close), m, nstocks, fee, tax, window, step);
    });
}

PyObject *record_date(PyObject *, PyObject *args) {
    int d;
    if (!PyArg_ParseTuple(args, "i", &d)) return nullptr;
    return call("record_date", [&] { api.record_date(d); });
}

PyObject *record_entry(PyObject *, PyObject *args) {
    int sid, has;
    double w;
    if (!PyArg_ParseTuple(args, "idi", &sid, &w, &has)) return nullptr;
    return call("record_entry", [&] { api.record_entry(sid, w, has); });
}

PyObject *record_exit(PyObject *, PyObject *args) {
    int sid, has;
    if (!PyArg_ParseTuple(args, "ii", &sid, &has)) return nullptr;
    return call("record_exit", [&] { api.record_exit(sid, has); });
}

PyObject *end_analysis(PyObject *, PyObject *pos) {
    return firewall("end_analysis", file, static_cast<PyObject *>(nullptr), [&]() -> PyObject * {
        auto m = map_from_dict<std::map<int, double>>(pos, &to_double);
        return Ref::check(api.end_analysis(m)).release();
    });
}

// The arrays behind the exported variables `entry` and `position`.
PyObject *variables(PyObject *, PyObject *) {
    return Py_BuildValue("(OO)", *api.entry ? reinterpret_cast<PyObject *>(*api.entry) : Py_None,
                         *api.position ? reinterpret_cast<PyObject *>(*api.position) : Py_None);
}

PyMethodDef methods[] = {
    {"start_analysis", start_analysis, METH_VARARGS,
     "start_analysis(price, close, pos2price, nstocks, fee_ratio, tax_ratio, window, window_step)"},
    {"record_date", record_date, METH_VARARGS, "record_date(d)"},
    {"record_entry", record_entry, METH_VARARGS, "record_entry(sid, position, has_entry_trasnaction)"},
    {"record_exit", record_exit, METH_VARARGS, "record_exit(sid, has_exit_trasnaction)"},
    {"end_analysis", end_analysis, METH_O, "end_analysis(pos: dict[int, float])"},
    {"variables", variables, METH_NOARGS, "(entry, position) arrays of the recorder"},
    {nullptr, nullptr, 0, nullptr},
};

int exec(PyObject *module) {
    return firewall("init vostra.core._recorder_probe", file, -1, [&] {
        if (_import_array() < 0) throw_py();
        Ref recorder = recorder_api::bind("vostra.core.orbalt", api);
        if (PyModule_AddObjectRef(module, "orbalt", recorder.get()) < 0) throw_py();
        return 0;
    });
}

PyModuleDef_Slot slots[] = {{Py_mod_exec, reinterpret_cast<void *>(exec)}, {0, nullptr}};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "vostra.core._recorder_probe", "Drives the excursion recorder from tests.", 0, methods, slots,
    nullptr, nullptr, nullptr,
};

}  // namespace
}  // namespace vostra::probe

PyMODINIT_FUNC PyInit__recorder_probe() { return PyModuleDef_Init(&vostra::probe::module_def); }
