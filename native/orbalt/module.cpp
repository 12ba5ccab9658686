// Module `vostra.core.orbalt`: initialisation and the export table through
// which the engine binds the recorder.
#define VOSTRA_IMPORT_ARRAY
#include "common/recorder_api.hpp"
#include "common/module_init.hpp"
#include "state.hpp"

namespace vostra::orbalt {
namespace {

bool initialised = false;

Ref zeros(int ndim, npy_intp *dims, int typenum) { return Ref::check(PyArray_ZEROS(ndim, dims, typenum, 0)); }

void set_array(PyArrayObject *&slot, Ref value) {
    Py_XDECREF(slot);
    slot = reinterpret_cast<PyArrayObject *>(value.release());
}

void add_capsule(PyObject *capi, const char *key, void *pointer, const char *signature) {
    Ref capsule = Ref::check(PyCapsule_New(pointer, signature, nullptr));
    if (PyDict_SetItemString(capi, key, capsule.get()) < 0) throw_py();
}

template <class F>
void *function_pointer(F f) {
    return reinterpret_cast<void *>(f);
}

int exec(PyObject *module) {
    return exec_once(initialised, "orbalt", "vostra.core.orbalt", "init vostra.core.orbalt", source_file, [&] {
        namespace api = recorder_api;
        state.module_dict = PyModule_GetDict(module);
        set_traceback_globals(state.module_dict);

        Ref np = Ref::check(PyImport_ImportModule("numpy"));
        add_object(module, "org_np", np.get());
        npy_intp empty2[2] = {0, 0}, empty1[1] = {0};
        set_array(state.price, zeros(2, empty2, NPY_DOUBLE));
        set_array(state.close, zeros(2, empty2, NPY_DOUBLE));
        for (const char *name : {"trades", "trade_positions", "orbalt"}) add_object(module, name, Ref::check(PyList_New(0)).get());
        set_array(state.entry, zeros(1, empty1, NPY_INT64));
        set_array(state.entry_trasnaction, zeros(1, empty1, NPY_INT64));
        set_array(state.position, zeros(1, empty1, NPY_DOUBLE));
        state.fee_ratio = state.tax_ratio = 0;

        Ref capi = Ref::check(PyDict_New());
        add_capsule(capi.get(), "entry", &state.entry, api::array_sig);
        add_capsule(capi.get(), "position", &state.position, api::array_sig);
        add_capsule(capi.get(), "start_analysis", function_pointer<api::start_analysis_fn>(&start_analysis),
                    api::start_analysis_sig);
        add_capsule(capi.get(), "record_date", function_pointer<api::record_date_fn>(&record_date), api::record_date_sig);
        add_capsule(capi.get(), "record_entry", function_pointer<api::record_entry_fn>(&record_entry),
                    api::record_entry_sig);
        add_capsule(capi.get(), "record_exit", function_pointer<api::record_exit_fn>(&record_exit), api::record_exit_sig);
        add_capsule(capi.get(), "end_analysis", function_pointer<api::end_analysis_fn>(&end_analysis),
                    api::end_analysis_sig);
        add_object(module, "__pyx_capi__", capi.get());
    });
}

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "vostra.core.orbalt",
    "Excursion recorder: one trade row, weight and excursion array per trade of the last backtest.\n\n"
    "The recorder's operations are native and bound by the engine through ``__pyx_capi__``; the lists\n"
    "``trades``, ``trade_positions`` and ``orbalt`` hold the trade log of the last run.",
    0,
    nullptr,
    process_global_slots<exec>,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace
}  // namespace vostra::orbalt

PyMODINIT_FUNC PyInit_orbalt() { return PyModuleDef_Init(&vostra::orbalt::module_def); }
