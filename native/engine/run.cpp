// vostra._engine.run and run_many: the arguments of backtest_, checked the
// same way, then the simulation body with the native ledger, without the
// interpreter lock; the results come back as NumPy arrays.
#include "account_args.hpp"
#include "common/run_args.hpp"
#include "ledger.hpp"
#include "threads.hpp"
#include "weight_scan.hpp"

#include <algorithm>
#include <atomic>
#include <exception>
#include <memory>
#include <thread>

namespace vostra::engine {

PyTypeObject *result_type = nullptr;

namespace {

// Takes the pending Python exception as an object (for run_many's results, and
// a truth test that failed before the run).
Ref fetch_exception() {
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    PyErr_NormalizeException(&type, &value, &tb);
    if (tb) PyException_SetTraceback(value, tb);
    Py_XDECREF(type);
    Py_XDECREF(tb);
    return Ref::steal(value);
}

// Makes `exception` (as fetch_exception took it) the pending exception again.
void restore_exception(const Ref &exception) {
    PyObject *value = exception.get();
    Py_INCREF(Py_TYPE(value));
    Py_INCREF(value);
    PyErr_Restore(reinterpret_cast<PyObject *>(Py_TYPE(value)), value, PyException_GetTraceback(value));
}

// Removes `name` from the keyword dict and returns it (null when absent).
Ref pop(PyObject *kwargs, const char *name) {
    if (!kwargs) return {};
    Ref key = Ref::check(PyUnicode_FromString(name));
    PyObject *v = PyDict_GetItemWithError(kwargs, key.get());
    if (!v) {
        throw_if_error();
        return {};
    }
    Ref kept = Ref::borrow(v);
    if (PyDict_DelItem(kwargs, key.get()) < 0) throw_py();
    return kept;
}

// One run: its arguments as given, what the checks derived from them, and
// what the run produced.
struct Job {
    Ref kwargs;  // keeps the objects that `args.v` borrows
    AccountArgs account;
    RunArgs args;
    kernel::Labels pos_labels;  // encoded, for the label checks
    std::shared_ptr<WeightScan> scan;
    kernel::ColumnMap columns;
    bool stop_trading = true;
    Ref equity;
    double *out = nullptr;
    Ledger ledger;
    Ref truth_error;  // raised where the run first asks for stop_trading
    std::exception_ptr error;
    Ref python_error;  // the exception of a job that failed before or after its run
};

// Binding, conversion and the checks that need no pass over the weight
// matrix, with the interpreter lock held.
void prepare(Job &job, const Signature &sig, PyObject *args, PyObject *kwargs) {
    RunArgs &a = job.args;
    job.account = pop_account(kwargs);
    Ref scan = pop(kwargs, "weight_scan");
    Ref gaps = pop(kwargs, "credit_gaps");
    Ref rebase = pop(kwargs, "rebase_stops");
    bind_run(sig, args, kwargs, a);
    a.opt.credit_gaps = gaps && gaps.get() != Py_None && truth(gaps.get());
    a.opt.rebase_stops = rebase && rebase.get() != Py_None && truth(rebase.get());
    convert_account(job.account, a.market.weights.cols, a.market, a.opt.account);
    convert_events(job.account, a.market, a.opt.events);
    // An account's purchase is cut to what the cash pays with its fee; at a
    // fee of -100 % or less a purchase would pay for itself.
    if (a.opt.account.on && !(a.opt.fee_ratio > -1))
        raisef(PyExc_ValueError, "fee_ratio must be above -1 with the account options, got %R",
               py_float(a.opt.fee_ratio).get());
    kernel::check_inputs(a.market, a.opt, a.price_labels.size, a.pos_labels.size);
    kernel::Labels price_labels;
    try {
        price_labels = encode_labels(a.price_labels);
        job.pos_labels = encode_labels(a.pos_labels);
    } catch (const py_error &) {
        // A weight that is not finite is reported before a label that
        // cannot be read, as backtest_ checks them in that order. The
        // label's error is set aside meanwhile: the weight's message calls
        // into Python, which must not find an exception pending.
        Ref label_error = fetch_exception();
        kernel::scan_weights(a.market.weights);
        if (label_error) restore_exception(label_error);
        throw;
    } catch (...) {
        kernel::scan_weights(a.market.weights);
        throw;
    }
    job.columns = kernel::map_columns(price_labels, job.pos_labels);
    // A scan made by the caller of this very matrix stands for the run's own.
    if (scan && scan.get() != Py_None) job.scan = given_scan(scan.get(), a.v[pos_values], a.market.weights);
    // Options are read once, as plain values. backtest_ tests
    // stop_trading_next_period only where the run needs it, after the checks
    // and perhaps after a fault of the run: a failing truth test is kept
    // and raised at that same point.
    try {
        job.stop_trading = truth(a.stop_trading);
    } catch (const py_error &) {
        job.truth_error = fetch_exception();
    }
    npy_intp dims[1] = {a.market.price_dates.size};
    job.equity = Ref::check(PyArray_EMPTY(1, dims, NPY_DOUBLE, 0));
    job.out = static_cast<double *>(PyArray_DATA(reinterpret_cast<PyArrayObject *>(job.equity.get())));
}

// The label checks (after the job's weight scan) and the simulation,
// without the interpreter lock: touches no Python object.
void simulate(Job &job) noexcept {
    try {
        if (job.scan->error) std::rethrow_exception(job.scan->error);
        kernel::check_labels(job.pos_labels, job.scan->traded, job.columns);
        kernel::Run run(job.args.market, job.args.opt, job.columns);
        run.sparse = &job.scan->sparse;
        LedgerHost host(job.ledger, job.stop_trading, static_cast<bool>(job.truth_error));
        try {
            kernel::simulate(run, host, job.out);
        } catch (...) {
            host.finish_walks();  // a fault of its walk replaces the error
            throw;
        }
        resolve_fills(run, job.ledger);
        sort_entries(job.ledger);
    } catch (...) {
        job.error = std::current_exception();
    }
}

template <class T>
Ref column(const Pooled<TradeRow> &rows, int typenum, T (*get)(const TradeRow &)) {
    npy_intp dims[1] = {static_cast<npy_intp>(rows.size())};
    Ref a = Ref::check(PyArray_EMPTY(1, dims, typenum, 0));
    T *p = static_cast<T *>(PyArray_DATA(reinterpret_cast<PyArrayObject *>(a.get())));
    for (std::size_t i = 0; i < rows.size(); ++i) p[i] = get(rows[i]);
    return a;
}

void set_item(PyObject *d, const char *key, PyObject *value) {
    if (PyDict_SetItemString(d, key, value) < 0) throw_py();
}

Ref trade_columns(const Ledger &l) {
    const auto &r = l.rows;
    Ref d = Ref::check(PyDict_New());
    set_item(d.get(), "sid", column<std::int64_t>(r, NPY_INT64, [](const TradeRow &t) -> std::int64_t { return t.sid; }).get());
    set_item(d.get(), "entry_bar", column<std::int64_t>(r, NPY_INT64, [](const TradeRow &t) { return t.entry_bar; }).get());
    set_item(d.get(), "exit_bar", column<std::int64_t>(r, NPY_INT64, [](const TradeRow &t) { return t.exit_bar; }).get());
    set_item(d.get(), "fill_entry_bar",
             column<std::int64_t>(r, NPY_INT64, [](const TradeRow &t) { return t.fill_entry_bar; }).get());
    set_item(d.get(), "fill_exit_bar",
             column<std::int64_t>(r, NPY_INT64, [](const TradeRow &t) { return t.fill_exit_bar; }).get());
    set_item(d.get(), "weight", column<double>(r, NPY_DOUBLE, [](const TradeRow &t) { return t.weight; }).get());
    set_item(d.get(), "entry_price", column<double>(r, NPY_DOUBLE, [](const TradeRow &t) { return t.entry_price; }).get());
    set_item(d.get(), "exit_price", column<double>(r, NPY_DOUBLE, [](const TradeRow &t) { return t.exit_price; }).get());
    set_item(d.get(), "pnl", column<double>(r, NPY_DOUBLE, [](const TradeRow &t) { return t.pnl; }).get());
    set_item(d.get(), "return", column<double>(r, NPY_DOUBLE, [](const TradeRow &t) {
                 return t.notional != 0 ? t.pnl / t.notional : __builtin_nan("");
             }).get());
    set_item(d.get(), "shares", column<double>(r, NPY_DOUBLE, [](const TradeRow &t) { return t.shares; }).get());
    set_item(d.get(), "dividends", column<double>(r, NPY_DOUBLE, [](const TradeRow &t) { return t.dividends; }).get());
    set_item(d.get(), "reason",
             column<std::int8_t>(r, NPY_INT8, [](const TradeRow &t) { return static_cast<std::int8_t>(t.reason); }).get());
    return d;
}

template <class R, class T>
Ref rows_column(const std::vector<R> &rows, int typenum, T (*get)(const R &)) {
    npy_intp dims[1] = {static_cast<npy_intp>(rows.size())};
    Ref a = Ref::check(PyArray_EMPTY(1, dims, typenum, 0));
    T *p = static_cast<T *>(PyArray_DATA(reinterpret_cast<PyArrayObject *>(a.get())));
    for (std::size_t i = 0; i < rows.size(); ++i) p[i] = get(rows[i]);
    return a;
}

// Every order of an account run: bar, sid, target shares, the change it
// asked for, the trading price then, its reason and whether the cash cut it.
Ref order_columns(const std::vector<kernel::Order> &o) {
    using O = kernel::Order;
    Ref d = Ref::check(PyDict_New());
    set_item(d.get(), "bar", rows_column<O, std::int64_t>(o, NPY_INT64, [](const O &x) -> std::int64_t { return x.bar; }).get());
    set_item(d.get(), "sid", rows_column<O, std::int64_t>(o, NPY_INT64, [](const O &x) -> std::int64_t { return x.sid; }).get());
    set_item(d.get(), "target", rows_column<O, double>(o, NPY_DOUBLE, [](const O &x) { return x.target; }).get());
    set_item(d.get(), "shares", rows_column<O, double>(o, NPY_DOUBLE, [](const O &x) { return x.shares; }).get());
    set_item(d.get(), "price", rows_column<O, double>(o, NPY_DOUBLE, [](const O &x) { return x.price; }).get());
    set_item(d.get(), "reason", rows_column<O, std::int8_t>(o, NPY_INT8, [](const O &x) {
                 return static_cast<std::int8_t>(x.reason);
             }).get());
    set_item(d.get(), "cut", rows_column<O, bool>(o, NPY_BOOL, [](const O &x) { return x.cut; }).get());
    return d;
}

const char *const action_words[] = {"enter", "exit", "hold", "tp", "sl", "tp_enter", "sl_enter", "tp_", "sl_"};

Ref weights_dict(const std::vector<std::pair<int, double>> &w) {
    Ref d = Ref::check(PyDict_New());
    for (const auto &[sid, v] : w)
        if (PyDict_SetItem(d.get(), py_int(sid).get(), py_float(v).get()) < 0) throw_py();
    return d;
}

// The operations report, in the shape of vantrel.get_stock_operations().
Ref report_dict(const Ledger &l) {
    Ref actions = Ref::check(PyDict_New());
    for (const auto &[sid, a] : l.actions) {
        Ref word = Ref::check(PyUnicode_InternFromString(action_words[static_cast<int>(a)]));
        if (PyDict_SetItem(actions.get(), py_int(sid).get(), word.get()) < 0) throw_py();
    }
    Ref d = Ref::check(PyDict_New());
    set_item(d.get(), "actions", actions.get());
    set_item(d.get(), "weights", weights_dict(l.weights).get());
    set_item(d.get(), "next_weights", weights_dict(l.next_weights).get());
    set_item(d.get(), "weight_time", py_int(l.weight_time).get());
    set_item(d.get(), "next_weight_time", py_int(l.next_weight_time).get());
    return d;
}

// The account after the last bar: per stock of the position map its value
// (carried and marked to the last close), return trackers and reference
// price and its close-mode mark, then the cash and whether the next bar rebalances.
Ref final_state(const Ledger &l) {
    Ref d = Ref::check(PyDict_New());
    set_item(d.get(), "sid", vector_array(l.final_sid, NPY_INT64).get());
    set_item(d.get(), "value", vector_array(l.final_value, NPY_DOUBLE).get());
    set_item(d.get(), "marked", vector_array(l.final_marked, NPY_DOUBLE).get());
    set_item(d.get(), "cr", vector_array(l.final_cr, NPY_DOUBLE).get());
    set_item(d.get(), "maxcr", vector_array(l.final_maxcr, NPY_DOUBLE).get());
    set_item(d.get(), "mincr", vector_array(l.final_mincr, NPY_DOUBLE).get());
    set_item(d.get(), "reference_price", vector_array(l.final_reference, NPY_DOUBLE).get());
    set_item(d.get(), "mark", vector_array(l.final_mark, NPY_INT8).get());
    set_item(d.get(), "cash", py_float(l.final_cash).get());
    set_item(d.get(), "rebalance_due", l.rebalance_due ? Py_True : Py_False);
    return d;
}

// An array of shape `dims` that takes over the memory of `buffer` (at least
// that many values), which goes back to its pool when the array dies.
template <class T>
Ref adopt(Pooled<T> &buffer, int typenum, int nd, npy_intp *dims) {
    if (buffer.size() == 0) return Ref::check(PyArray_ZEROS(nd, dims, typenum, 0));
    auto *block = new Block{nullptr, 0, Pool::rows};  // filled in once the capsule exists
    Ref owner = Ref::steal(PyCapsule_New(block, nullptr, [](PyObject *c) {
        auto *b = static_cast<Block *>(PyCapsule_GetPointer(c, nullptr));
        give_block(*b);
        delete b;
    }));
    if (!owner) {
        delete block;
        throw_py();
    }
    *block = buffer.release();
    Ref a = Ref::check(PyArray_SimpleNewFromData(nd, dims, typenum, block->data));
    if (PyArray_SetBaseObject(reinterpret_cast<PyArrayObject *>(a.get()), owner.release()) < 0) throw_py();
    return a;
}

template <class T>
Ref adopt(Pooled<T> &buffer, int typenum) {
    npy_intp dims[1] = {static_cast<npy_intp>(buffer.size())};
    return adopt(buffer, typenum, 1, dims);
}

// The excursion arrays as one trades x groups x 6 matrix that takes over
// the ledger's buffer.
Ref excursion_matrix(Ledger &l) {
    npy_intp dims[3] = {static_cast<npy_intp>(l.rows.size()), static_cast<npy_intp>(l.array_size / 6), 6};
    return adopt(l.excursions, NPY_DOUBLE, 3, dims);
}

// Every fill of an account run: bar, sid, shares (signed), price, value,
// cost, its order and whether it ended that order.
Ref fill_columns(FillColumns &f) {
    f.close();
    Ref d = Ref::check(PyDict_New());
    set_item(d.get(), "bar", adopt(f.bar, NPY_INT64).get());
    set_item(d.get(), "sid", adopt(f.sid, NPY_INT64).get());
    set_item(d.get(), "shares", adopt(f.shares, NPY_DOUBLE).get());
    set_item(d.get(), "price", adopt(f.price, NPY_DOUBLE).get());
    set_item(d.get(), "value", adopt(f.value, NPY_DOUBLE).get());
    set_item(d.get(), "cost", adopt(f.cost, NPY_DOUBLE).get());
    set_item(d.get(), "order", adopt(f.order, NPY_INT64).get());
    set_item(d.get(), "completed", adopt(f.completed, NPY_BOOL).get());
    return d;
}

Ref result_of(Job &job) {
    if (job.error) {
        try {
            std::rethrow_exception(job.error);
        } catch (const TruthTestFailed &) {
            restore_exception(job.truth_error);
            throw_py();
        } catch (...) {
            raise_current_fault(job.args.pos_labels);
        }
    }
    Ledger &l = job.ledger;
    Ref excursions = excursion_matrix(l);
    Ref values[] = {job.equity,
                    trade_columns(l),
                    excursions,
                    vector_array(l.traded, NPY_DOUBLE),
                    vector_array(l.costs, NPY_DOUBLE),
                    vector_array(l.gross, NPY_DOUBLE),
                    vector_array(l.holdings, NPY_INT32),
                    report_dict(l),
                    py_int(l.first_rebalance),
                    vector_array(l.entry_order, NPY_INT64),
                    vector_array(l.interest, NPY_DOUBLE),
                    job.args.opt.account.on ? vector_array(l.final_shares, NPY_DOUBLE) : Ref::borrow(Py_None),
                    final_state(l),
                    job.args.opt.account.on ? fill_columns(l.fills) : Ref::borrow(Py_None),
                    job.args.opt.account.on ? order_columns(l.orders) : Ref::borrow(Py_None),
                    job.args.opt.account.on ? vector_array(l.waiting, NPY_INT64) : Ref::borrow(Py_None),
                    vector_array(l.dividends, NPY_DOUBLE),
                    vector_array(l.flows, NPY_DOUBLE)};
    Ref result = Ref::check(PyStructSequence_New(result_type));
    for (int i = 0; i < 18; ++i) PyStructSequence_SET_ITEM(result.get(), i, values[i].release());
    return result;
}

const Signature run_signature{"run", run_param_names, run_nparams, 11};
const Signature run_many_signature{"run_many", run_param_names, run_nparams, 11};

}  // namespace

PyObject *py_run(PyObject *, PyObject *args, PyObject *kwargs) {
    auto job = std::make_unique<Job>();
    return firewall("vostra._engine.run", "vostra/_engine", static_cast<PyObject *>(nullptr), job->args.pos_labels,
                    [&]() -> PyObject * {
                        // A copy, from which the account options are taken.
                        if (kwargs) job->kwargs = Ref::check(PyDict_Copy(kwargs));
                        prepare(*job, run_signature, args, job->kwargs.get());
                        if (!job->scan) job->scan = std::make_shared<WeightScan>(job->args.market.weights);
                        Py_BEGIN_ALLOW_THREADS job->scan->run();
                        simulate(*job);
                        Py_END_ALLOW_THREADS return result_of(*job).release();
                    });
}

namespace {

// The weight checks of jobs already prepared: without return_exceptions the
// first failing job's error is raised, so theirs come before a later job's.
void check_weights_of(const std::vector<std::unique_ptr<Job>> &jobs) {
    for (const auto &job : jobs) {
        python_errors(job->args.pos_labels, [&] {
            std::vector<std::uint8_t> traded = kernel::scan_weights(job->args.market.weights);
            kernel::check_labels(job->pos_labels, traded, job->columns);
        });
    }
}

// Calls work(i) for i in [0, n) on `threads` threads, this one included.
template <class F>
void parallel_for(std::size_t n, int threads, F &&work) {
    std::atomic<std::size_t> next{0};
    auto worker = [&] {
        for (std::size_t i; (i = next.fetch_add(1)) < n;) work(i);
    };
    on_threads(threads, static_cast<std::int64_t>(n), worker);
}

// The same weight matrix (same memory, shape and strides) is scanned once
// for all the jobs that share it.
std::vector<std::shared_ptr<WeightScan>> share_scans(std::vector<std::unique_ptr<Job>> &jobs) {
    std::vector<std::shared_ptr<WeightScan>> scans;
    for (auto &job : jobs) {
        if (job->python_error) continue;
        const kernel::View2<double> &w = job->args.market.weights;
        auto it = std::find_if(scans.begin(), scans.end(), [&](const auto &s) { return s->reads(w); });
        if (it == scans.end())
            it = scans.insert(scans.end(), job->scan ? job->scan : std::make_shared<WeightScan>(w));
        job->scan = *it;
    }
    return scans;
}

void run_all(std::vector<std::unique_ptr<Job>> &jobs, int threads) {
    std::vector<std::shared_ptr<WeightScan>> scans = share_scans(jobs);
    parallel_for(scans.size(), threads, [&](std::size_t i) { scans[i]->run(); });
    parallel_for(jobs.size(), threads, [&](std::size_t i) {
        if (!jobs[i]->python_error) simulate(*jobs[i]);
    });
}

}  // namespace

PyObject *py_run_many(PyObject *, PyObject *args, PyObject *kwargs) {
    std::vector<std::unique_ptr<Job>> jobs;
    return firewall("vostra._engine.run_many", "vostra/_engine", static_cast<PyObject *>(nullptr), [&]() -> PyObject * {
        Ref common = kwargs ? Ref::check(PyDict_Copy(kwargs)) : Ref::check(PyDict_New());
        Ref job_list = pop(common.get(), "jobs");
        Ref threads_arg = pop(common.get(), "threads");
        Ref return_exceptions_arg = pop(common.get(), "return_exceptions");
        if (!job_list) raise(PyExc_TypeError, "run_many() missing required keyword argument 'jobs'");
        int threads = threads_arg && threads_arg.get() != Py_None ? to_int32(threads_arg.get()) : 0;
        if (threads < 0) raisef(PyExc_ValueError, "threads must be at least 1 (or 0 for one per CPU), got %d", threads);
        if (threads == 0) threads = std::max(1u, std::thread::hardware_concurrency());
        bool return_exceptions = return_exceptions_arg && truth(return_exceptions_arg.get());

        Ref it = Ref::check(PyObject_GetIter(job_list.get()));
        while (Ref options = Ref::steal(PyIter_Next(it.get()))) {
            if (!PyDict_Check(options.get()))
                raisef(PyExc_TypeError, "run_many() jobs must be dicts of run options, got %.200s",
                       Py_TYPE(options.get())->tp_name);
            auto job = std::make_unique<Job>();
            job->kwargs = Ref::check(PyDict_Copy(common.get()));
            if (PyDict_Update(job->kwargs.get(), options.get()) < 0) throw_py();
            try {
                python_errors(job->args.pos_labels,
                              [&] { prepare(*job, run_many_signature, args, job->kwargs.get()); });
            } catch (const py_error &) {
                job->python_error = fetch_exception();
                if (!return_exceptions) {
                    check_weights_of(jobs);
                    restore_exception(job->python_error);
                    throw;
                }
            }
            jobs.push_back(std::move(job));
        }
        throw_if_error();

        int n = static_cast<int>(std::min<std::size_t>(static_cast<std::size_t>(threads), jobs.size()));
        Py_BEGIN_ALLOW_THREADS run_all(jobs, std::max(n, 1));
        Py_END_ALLOW_THREADS

        Ref out = Ref::check(PyList_New(0));
        for (auto &job : jobs) {
            Ref item;
            if (job->python_error) {
                item = job->python_error;
            } else {
                try {
                    item = result_of(*job);
                } catch (const py_error &) {
                    if (!return_exceptions) throw;
                    item = fetch_exception();
                }
            }
            list_append(out.get(), item.get());
        }
        return out.release();
    });
}

}  // namespace vostra::engine
