// backtest_: binds and checks the 25 arguments, then runs the simulation
// body with the contract's host: the recorder, the module globals and the
// report dict of `vostra.core.vantrel`.
#include "host.hpp"
#include "common/run_args.hpp"

namespace vostra::vantrel {

const char *frame_name(kernel::Frame f) {
    switch (f) {
        case kernel::Frame::set_position: return "vostra.core.vantrel.set_position";
        case kernel::Frame::rebalance: return "vostra.core.vantrel.rebalance";
        case kernel::Frame::validate_trade_price: return "vostra.core.vantrel.validate_trade_price";
        case kernel::Frame::validate_price: return "vostra.core.vantrel.validate_price";
    }
    return "vostra.core.vantrel.backtest_";
}

namespace {

const Signature signature{"backtest_", run_param_names, run_nparams, 11};

void set_global(const char *name, bool value) {
    if (PyDict_SetItemString(module.dict, name, value ? Py_True : Py_False) < 0) throw_py();
}

void set_run_globals(const kernel::Options &opt) {
    set_global("RETAIN_COST_WHEN_REBALANCE", opt.retain_cost_when_rebalance);
    set_global("RESAMPLE", opt.periodically_rebalance);
}

// One run at a time per process: the recorder and the report are global.
struct RunGuard {
    RunGuard() {
        if (module.running)
            raise(PyExc_RuntimeError,
                  "backtest_() was called while another backtest_ is running in this process; the engine keeps "
                  "one run's state per process, so runs cannot be nested");
        module.running = true;
    }
    ~RunGuard() { module.running = false; }
    RunGuard(const RunGuard &) = delete;
    RunGuard &operator=(const RunGuard &) = delete;
};

// The recorder creates a few Python objects per trade, none of them cyclic
// garbage; collecting during a run would only rescan the growing trade log.
struct GcPause {
    int was_enabled = PyGC_Disable();
    ~GcPause() {
        if (was_enabled) PyGC_Enable();
    }
};

Ref new_dict() { return Ref::check(PyDict_New()); }

void dict_set(PyObject *d, PyObject *key, PyObject *value) {
    if (PyObject_SetItem(d, key, value) < 0) throw_py();
}
void dict_set(PyObject *d, const char *key, PyObject *value) {
    dict_set(d, Ref::check(PyUnicode_FromString(key)).get(), value);
}
void dict_set(PyObject *d, int key, PyObject *value) { dict_set(d, py_int(key).get(), value); }

Ref item(PyObject *d, const char *key) {
    Ref k = Ref::check(PyUnicode_FromString(key));
    return Ref::check(PyObject_GetItem(d, k.get()));
}

Ref weights_dict(const std::vector<std::pair<int, double>> &values) {
    Ref d = new_dict();
    for (const auto &[sid, w] : values) dict_set(d.get(), sid, py_float(w).get());
    return d;
}

PyObject *action_word(const char *word) {
    // Interned once: every report shares the same few strings.
    PyObject *s = PyUnicode_InternFromString(word);
    if (!s) throw_py();
    return s;
}

PyObject *word_of(kernel::Action a) {
    static PyObject *const words[] = {action_word("enter"), action_word("exit"),     action_word("hold"),
                                      action_word("tp"),    action_word("sl"),       action_word("tp_enter"),
                                      action_word("sl_enter"), action_word("tp_"),   action_word("sl_")};
    return words[static_cast<int>(a)];
}

Ref call_normalize_weight(PyObject *weights, double position_limit) {
    PyObject *fn = module_global(names::normalize_weight);
    Ref limit = py_float(position_limit);
    return Ref::check(PyObject_CallFunctionObjArgs(fn, weights, limit.get(), nullptr));
}

// The recorder appends one row to each of its three lists per trade; lists
// cleared or replaced while the run went on would pair rows with the wrong
// weights and excursions.
void check_recorder_lists() {
    PyObject *orbalt = module_global(names::orbalt);
    Py_ssize_t n[3];
    const char *lists[] = {"trades", "trade_positions", "orbalt"};
    for (int k = 0; k < 3; ++k) {
        Ref list = Ref::check(PyObject_GetAttrString(orbalt, lists[k]));
        n[k] = PyObject_Length(list.get());
        if (n[k] < 0) throw_py();
    }
    if (n[0] != n[1] || n[0] != n[2])
        raisef(PyExc_RuntimeError,
               "the recorder's lists changed during the run: orbalt.trades has %zd rows, orbalt.trade_positions "
               "%zd and orbalt.orbalt %zd; the trade log of this run is lost, run it again without touching them",
               n[0], n[1], n[2]);
}

}  // namespace

void ContractHost::start(kernel::Run &run) {
    set_run_globals(run.opt);
    module.recorder.start_analysis(reinterpret_cast<PyArrayObject *>(price_values),
                                   reinterpret_cast<PyArrayObject *>(close_values), run.columns.as_map(),
                                   static_cast<int>(pos_labels.size), run.opt.fee_ratio, run.opt.tax_ratio,
                                   run.opt.orbalt_window, run.opt.orbalt_window_step);
    throw_if_error();
}

void ContractHost::invalid_price(kernel::Run &, kernel::PriceKind kind, double value, int sid, kernel::index_t row) {
    const char *where = kind == kernel::PriceKind::trading ? "vostra.core.vantrel.validate_trade_price"
                                                            : "vostra.core.vantrel.validate_price";
    try {
        raise_invalid_price(kind, value, pos_labels.at(sid), static_cast<Py_ssize_t>(row));
    } catch (const py_error &) {
        add_traceback(where, source_file);
        throw;
    }
}

void ContractHost::action(int sid, kernel::Action a) { dict_set(actions.get(), sid, word_of(a)); }

bool ContractHost::next_weight_nonzero(int sid) {
    Ref key = py_int(sid);
    int has = PySequence_Contains(normalised_next.get(), key.get());
    if (has < 0) throw_py();
    if (!has) return false;
    Ref nw = Ref::check(PyObject_GetItem(normalised_next.get(), key.get()));
    Ref zero = py_int(0);
    int nonzero = PyObject_RichCompareBool(nw.get(), zero.get(), Py_NE);
    if (nonzero < 0) throw_py();
    return nonzero != 0;
}

void ContractHost::end(kernel::Run &run) {
    std::map<int, double> final_positions = run.pos.to_map();
    Ref done = Ref::check(module.recorder.end_analysis(final_positions));
    check_recorder_lists();

    // The new report is built aside and replaces the previous one only when
    // it is complete.
    report = new_dict();
    actions = new_dict();
    kernel::ReportWeights w = kernel::report_weights(run, *this);
    dict_set(report.get(), "actions", actions.get());
    dict_set(report.get(), "weights", weights_dict(w.weights).get());
    dict_set(report.get(), "next_weights", weights_dict(w.next_weights).get());
    dict_set(report.get(), "weight_time", py_int(run.current_position_id).get());
    dict_set(report.get(), "next_weight_time", py_int(run.pos_id).get());
    for (const char *key : {"weights", "next_weights"}) {
        Ref current = item(report.get(), key);
        Ref normalised = call_normalize_weight(current.get(), run.opt.position_limit);
        dict_set(report.get(), key, normalised.get());
    }
    normalised_next = item(report.get(), "next_weights");
    kernel::report_actions(run, *this);
    PyObject *old = module.stock_operations;
    module.stock_operations = report.release();
    Py_XDECREF(old);
}

PyObject *py_backtest(PyObject *, PyObject *args, PyObject *kwargs) {
    RunArgs a;
    return firewall("vostra.core.vantrel.backtest_", source_file, static_cast<PyObject *>(nullptr), a.pos_labels,
                    [&]() -> PyObject * {
        bind_run(signature, args, kwargs, a);
        RunGuard guard;
        GcPause gc_pause;
        kernel::SparseRows sparse;
        std::vector<std::uint8_t> traded =
            kernel::check_market(a.market, a.opt, a.price_labels.size, a.pos_labels.size, &sparse);
        kernel::Labels price_labels, pos_labels;
        try {
            price_labels = encode_labels(a.price_labels);
            pos_labels = encode_labels(a.pos_labels);
        } catch (const py_error &) {
            // The column mapping is the run's own first step: the run's
            // settings are in place when it fails.
            add_traceback("vostra.core.vantrel.map_columns", source_file);
            PyObject *type, *value, *tb;
            PyErr_Fetch(&type, &value, &tb);
            set_run_globals(a.opt);
            PyErr_Restore(type, value, tb);
            throw;
        }
        kernel::ColumnMap columns = kernel::map_columns(price_labels, pos_labels);
        kernel::check_labels(pos_labels, traded, columns);

        npy_intp dims[1] = {a.market.price_dates.size};
        Ref creturn = Ref::check(PyArray_EMPTY(1, dims, NPY_DOUBLE, 0));
        double *out = static_cast<double *>(PyArray_DATA(reinterpret_cast<PyArrayObject *>(creturn.get())));
        ContractHost host{a.v[price_values], a.v[close_values], a.stop_trading, a.pos_labels, {}, {}, {}};
        kernel::Run run(a.market, a.opt, columns);
        run.sparse = &sparse;
        kernel::simulate(run, host, out);
        return creturn.release();
    });
}

}  // namespace vostra::vantrel
