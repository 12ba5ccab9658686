// The operations report: weights of the last executed rebalance, weights of
// the next signal row and one action word per stock, telling which orders
// the next trading day needs.
#include "engine.hpp"

namespace vostra::vantrel {

namespace {

PyObject *action_word(const char *word) {
    // Interned once: every report shares the same few strings.
    PyObject *s = PyUnicode_InternFromString(word);
    if (!s) throw_py();
    return s;
}

struct Words {
    PyObject *enter, *exit, *hold, *tp, *sl, *tp_enter, *sl_enter, *tp_, *sl_;
};

const Words &words() {
    static Words w{action_word("enter"), action_word("exit"), action_word("hold"),
                   action_word("tp"),    action_word("sl"),   action_word("tp_enter"),
                   action_word("sl_enter"), action_word("tp_"), action_word("sl_")};
    return w;
}

void dict_set(PyObject *d, PyObject *key, PyObject *value) {
    if (PyObject_SetItem(d, key, value) < 0) throw_py();
}

void dict_set(PyObject *d, int key, PyObject *value) { dict_set(d, py_int(key).get(), value); }

Ref new_dict() { return Ref::check(PyDict_New()); }

Ref item(PyObject *d, const char *key) {
    Ref k = Ref::check(PyUnicode_FromString(key));
    return Ref::check(PyObject_GetItem(d, k.get()));
}

bool held(const Run &run, int sid) { return run.pos.contains(sid) && run.pos[sid] != 0; }

// Divides every value of `weights` by max(1, total): only sums above 1 scale.
void scale_down(PyObject *weights, const std::vector<std::pair<int, double>> &values, double total) {
    double divisor = total > 1 ? total : 1.0;
    for (const auto &[sid, w] : values) dict_set(weights, sid, py_float(w / divisor).get());
}

Ref call_normalize_weight(PyObject *weights, double position_limit) {
    PyObject *fn = module_global(names::normalize_weight);
    Ref limit = py_float(position_limit);
    return Ref::check(PyObject_CallFunctionObjArgs(fn, weights, limit.get(), nullptr));
}

}  // namespace

void build_report(Run &run) {
    const Inputs &in = run.in;
    const Words &w = words();
    PyObject *stop_trading = run.opt.stop_trading_next_period;

    // The new report replaces the previous one at once.
    Ref report = new_dict();
    Ref actions = new_dict(), weights = new_dict(), next_weights = new_dict();
    dict_set(report.get(), Ref::check(PyUnicode_FromString("actions")).get(), actions.get());
    dict_set(report.get(), Ref::check(PyUnicode_FromString("weights")).get(), weights.get());
    dict_set(report.get(), Ref::check(PyUnicode_FromString("next_weights")).get(), next_weights.get());
    PyObject *old = module.stock_operations;
    module.stock_operations = Ref(report).release();
    Py_XDECREF(old);

    // Weights of the last rebalance: stocks sold since then by a pending exit
    // or a delisting report 0, but the divisor still counts their weight.
    std::vector<std::pair<int, double>> values;
    double latest_weight_sum = 0;
    for (int sid : run.latest_rebalanced_keys) {
        double weight = in.weights(buffer_index(run.current_position_id, in.weights.rows, 0), sid);
        values.emplace_back(sid, run.pos.contains(sid) ? weight : 0.0);
        latest_weight_sum += std::fabs(weight);
    }
    scale_down(weights.get(), values, latest_weight_sum);

    // Weights of the next signal row, without the stocks that stop trading
    // keeps out of the next rebalance.
    View1<double> row = run.current_position_id == run.pos_id
                            ? run.latest_rebalanced_row()
                            : in.weights.row(numpy_index(run.pos_id, in.weights.rows, 0));
    std::vector<double> next_row(static_cast<std::size_t>(row.size));
    for (Py_ssize_t i = 0; i < row.size; ++i) next_row[i] = row[i];
    std::vector<std::uint8_t> in_exited(next_row.size(), 0);
    for (const SideSid &e : run.exited_stocks)
        if (static_cast<std::size_t>(e.sid) < in_exited.size()) in_exited[e.sid] = 1;
    std::vector<std::uint8_t> in_pending(next_row.size(), 0);
    for (const SideSid &e : run.exit_stocks)
        if (static_cast<std::size_t>(e.sid) < in_pending.size()) in_pending[e.sid] = 1;
    values.clear();
    double total_next_weight_sum = 0;
    for (std::size_t sid = 0; sid < next_row.size(); ++sid) {
        double val1 = next_row[sid];
        bool dropped = false, skip = false;
        if (truth(stop_trading)) {
            if (in_exited[sid]) {
                dropped = skip = true;
            } else if (in_pending[sid]) {
                skip = true;
                dropped = held(run, static_cast<int>(sid));
            }
        }
        if (!(dropped && run.should_rebalance)) total_next_weight_sum += std::fabs(val1);
        if (!skip && val1 != 0) values.emplace_back(static_cast<int>(sid), val1);
    }
    scale_down(next_weights.get(), values, total_next_weight_sum);

    dict_set(report.get(), Ref::check(PyUnicode_FromString("weight_time")).get(), py_int(run.current_position_id).get());
    dict_set(report.get(), Ref::check(PyUnicode_FromString("next_weight_time")).get(), py_int(run.pos_id).get());

    for (const char *key : {"weights", "next_weights"}) {
        Ref current = item(report.get(), key);
        Ref normalised = call_normalize_weight(current.get(), run.opt.position_limit);
        dict_set(report.get(), Ref::check(PyUnicode_FromString(key)).get(), normalised.get());
    }

    // Actions; a later rule overwrites an earlier one for the same stock.
    if (run.should_rebalance) {
        View1<double> row = in.weights.row(numpy_index(run.pos_id, in.weights.rows, 0));
        for (Py_ssize_t sid = 0; sid < row.size; ++sid) {
            double v = row[sid];
            bool h = held(run, static_cast<int>(sid));
            if (!h && v != 0)
                dict_set(actions.get(), static_cast<int>(sid), w.enter);
            else if (h && v == 0)
                dict_set(actions.get(), static_cast<int>(sid), w.exit);
            else if (h)
                dict_set(actions.get(), static_cast<int>(sid), w.hold);
        }
    }
    Ref normalised_next = item(report.get(), "next_weights");
    for (const SideSid &e : run.exit_stocks) {
        PyObject *word = nullptr;
        if (truth(stop_trading) || run.date > in.pos_dates.at(run.pos_id)) {
            word = e.positive ? w.tp : w.sl;
        } else {
            Ref key = py_int(e.sid);
            int has = PySequence_Contains(normalised_next.get(), key.get());
            if (has < 0) throw_py();
            if (has) {
                Ref nw = Ref::check(PyObject_GetItem(normalised_next.get(), key.get()));
                Ref zero = py_int(0);
                int nonzero = PyObject_RichCompareBool(nw.get(), zero.get(), Py_NE);
                if (nonzero < 0) throw_py();
                if (nonzero) word = e.positive ? w.tp_enter : w.sl_enter;
            }
        }
        if (word) dict_set(actions.get(), e.sid, word);
    }
    for (const SideSid &e : run.exited_stocks) {
        Ref key = py_int(e.sid);
        int has = PyDict_Contains(actions.get(), key.get());
        if (has < 0) throw_py();
        if (truth(stop_trading) || !has) dict_set(actions.get(), key.get(), e.positive ? w.tp_ : w.sl_);
    }
}

}  // namespace vostra::vantrel
