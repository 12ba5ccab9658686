// Module `vostra._engine`: the native entry of the front end. It keeps no
// state between calls; a run holds no interpreter lock while it simulates,
// so runs from many threads go on at once.
#define VOSTRA_IMPORT_ARRAY
#include "common/module_init.hpp"
#include "common/run_args.hpp"

namespace vostra::engine {

extern PyTypeObject *result_type;
PyObject *py_run(PyObject *, PyObject *args, PyObject *kwargs);
PyObject *py_run_many(PyObject *, PyObject *args, PyObject *kwargs);
PyObject *py_last_valid_rows(PyObject *, PyObject *args);
PyObject *py_held_last_rows(PyObject *, PyObject *args);
PyObject *py_volume_fault(PyObject *, PyObject *args);
PyObject *py_heavy_rows(PyObject *, PyObject *args);
PyObject *py_weights_after_delisting(PyObject *, PyObject *args);
PyObject *py_weight_columns(PyObject *, PyObject *matrix);
PyObject *py_scan_weights(PyObject *, PyObject *matrix);
PyObject *py_trade_figures(PyObject *, PyObject *args);
PyObject *py_return_figures(PyObject *, PyObject *args);
PyObject *py_resampled_figures(PyObject *, PyObject *args);
PyObject *py_stationary_figures(PyObject *, PyObject *args);
PyObject *py_pbo_logits(PyObject *, PyObject *args);
PyObject *py_window_figures(PyObject *, PyObject *args);
PyObject *py_first_nonpositive(PyObject *, PyObject *values);
PyObject *py_figure_table(PyObject *, PyObject *const *args, Py_ssize_t nargs);
PyObject *py_printout(PyObject *, PyObject *const *args, Py_ssize_t nargs);
PyObject *py_printed_figures(PyObject *, PyObject *const *args, Py_ssize_t nargs);

namespace {

PyStructSequence_Field result_fields[] = {
    {"equity", "portfolio value at every bar (the curve backtest_ returns)"},
    {"trades", "dict of per-trade columns: sid, entry_bar, exit_bar (-1 open), fill_entry_bar, fill_exit_bar, "
               "weight, entry_price, exit_price, pnl, return, shares (NaN without the account options), dividends "
               "(received or paid in cash over the record, with capital), reason (index into EXIT_REASONS)"},
    {"excursions", "float64 array trades x groups x 6 (mae, mfe, bmfe, mdd, profit bars, return)"},
    {"traded", "traded value per bar, in units of the starting capital"},
    {"costs", "fee and tax paid per bar"},
    {"gross", "gross marked value of the positions per bar"},
    {"holdings", "positions held at the close of every bar"},
    {"report", "the operations report, as vantrel.get_stock_operations() gives it"},
    {"first_rebalance", "bar of the first executed rebalance that traded, -1 when none"},
    {"entry_order", "int64 positions of the trade rows sorted by entry fill bar, then stock id (stable)"},
    {"interest", "interest earned (negative: paid) on the cash per bar, with cash_rate"},
    {"shares", "shares held per signal column after the last bar; None without the account options"},
    {"final", "dict of the account after the last bar: per stock of the position map sid, value (carried), "
              "marked (at the last close), cr, maxcr, mincr, reference_price, mark (reason code of a close-mode "
              "mark sold on the next bar, -1 for none); then cash and rebalance_due"},
    {"fills", "dict of per-fill columns: bar, sid, shares (+ bought, - sold), price, value, cost, order, "
              "completed; None without the account options"},
    {"orders", "dict of per-order columns: bar, sid, target, shares (the change asked for), price, reason"},
    {"waiting", "int64 orders still waiting after the last bar, by stock id"},
    {"dividends", "dividends per bar: received (negative: paid by shorts) in cash with capital, else reinvested "
                  "in the holdings"},
    {"flows", "cash deposited (negative: withdrawn) per bar, with cash_flows"},
    {nullptr, nullptr},
};

PyStructSequence_Desc result_desc = {"vostra._engine.RunResult", "Arrays of one run of the native engine.",
                                     result_fields, 18};

bool initialised = false;

int exec(PyObject *m) {
    return firewall("init vostra._engine", "vostra/_engine", -1, [&] {
        if (!initialised) {
            if (_import_array() < 0) throw_py();
            Ref np = Ref::check(PyImport_ImportModule("numpy"));
            load_run_defaults(np.get());
            result_type = PyStructSequence_NewType(&result_desc);
            if (!result_type) throw_py();
            initialised = true;
        }
        add_object(m, "RunResult", reinterpret_cast<PyObject *>(result_type));
        Ref reasons = Ref::check(
            Py_BuildValue("(ssssssss)", "rebalance", "stop_loss", "take_profit", "trail_stop", "delisting", "open",
                          "withdrawal", "cash_in_lieu"));
        add_object(m, "EXIT_REASONS", reasons.get());
        return 0;
    });
}

#define VOSTRA_RUN_PARAMS                                                                                        \
    "price_values, close_values, high_values, low_values, open_values, price_index, price_columns, pos_values, " \
    "pos_index, pos_columns, resample, fee_ratio=0.001425, tax_ratio=0.003, stop_loss=1.0, "                    \
    "take_profit=numpy.inf, trail_stop=numpy.inf, trail_stop_activation=0.0, touched_exit=False, "        \
    "position_limit=1.0, retain_cost_when_rebalance=False, stop_trading_next_period=True, orbalt_window=0, "    \
    "orbalt_window_step=1, periodically_rebalance=True, delisting_bars=None, capital=None, lot_size=None, "     \
    "min_fee=0.0, slippage=0.0, leverage=1.0, borrow_rate=0.0, cash_rate=0.0, periods_per_year=252.0"

PyMethodDef methods[] = {
    {"run", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(py_run)), METH_VARARGS | METH_KEYWORDS,
     "run($module, " VOSTRA_RUN_PARAMS ", credit_gaps=False, rebase_stops=False, weight_scan=None)\n--\n\n"
     "One backtest with the parameters, defaults and checks of vostra.core.vantrel.backtest_, without module "
     "state: returns a RunResult of NumPy arrays (the equity curve, the trade ledger, the excursion arrays, "
     "traded value, costs and exposure per bar, the operations report). The account options (capital, "
     "lot_size, min_fee, slippage, leverage, borrow_rate, cash_rate over periods_per_year) simulate an account "
     "in currency with whole lots, a minimum fee, slippage, leverage and financing; at their defaults the run "
     "is backtest_'s. credit_gaps: a holding without a price on a rebalance bar keeps its reference price, so "
     "its move across the gap is credited (always so with the account options). rebase_stops: with the account "
     "options and retain_cost_when_rebalance, a fill that adds to a position on its side measures the stops "
     "from the trade record's new entry (the mean of the fills that built it). weight_scan: what scan_weights(pos_values) returned as its scan, or None."},
    {"run_many", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(py_run_many)),
     METH_VARARGS | METH_KEYWORDS,
     "run_many(price_values, close_values, high_values, low_values, open_values, price_index, price_columns, "
     "pos_values, pos_index, pos_columns, resample, *, jobs, threads=0, return_exceptions=False, **options)\n--\n\n"
     "Runs every job (a dict of run options, possibly with its own pos_values, pos_index, pos_columns, resample "
     "or delisting_bars) over the same market on `threads` native threads (0: one per CPU) and returns their "
     "RunResults in job order. With return_exceptions a failing job gives its exception instead of raising."},
    {"last_valid_rows", py_last_valid_rows, METH_VARARGS,
     "last_valid_rows($module, matrix, columns=None, /)\n--\n\nPer column of a 2-D float64 matrix (or per "
     "column listed in the int64 array `columns`), the last row that is not NaN (-1 for none), read from the "
     "end of each column."},
    {"held_last_rows", py_held_last_rows, METH_VARARGS,
     "held_last_rows($module, close, price_col, traded, market_end=-1, /)\n--\n\n(last, unknown, empty, "
     "delisting, delisted): for every weight column that the bool array `traded` marks, the last row of its close column "
     "price_col[j] that is not NaN, in `last` (int64 per close column, -1 for none and for the columns not asked "
     "for); the marked weight columns without a close column (price_col < 0) in `unknown` and those whose closes "
     "are all NaN in `empty`; per weight column the row after its last close when that comes before "
     "`market_end`, else -1, in `delisting`, and how many columns that delists."},
    {"volume_fault", py_volume_fault, METH_VARARGS,
     "volume_fault($module, matrix, columns=None, /)\n--\n\n(row, column) of the first value of a 2-D float64 "
     "volume matrix (in the columns of the int64 array `columns` only, when given) that is negative or infinite, "
     "the first in its memory order; None when every value read is >= 0 or NaN. One pass in place, without the interpreter "
     "lock."},
    {"heavy_rows", py_heavy_rows, METH_VARARGS,
     "heavy_rows($module, weights, bound, /)\n--\n\n(count, first, sum): of the rows of a 2-D float64 weight "
     "matrix whose absolute weights add up to more than `bound` (a finite sum) and that hold a weight whose "
     "magnitude is not 1, how many there are, the first (-1 for none) and what it adds up to."},
    {"weights_after_delisting", py_weights_after_delisting, METH_VARARGS,
     "weights_after_delisting($module, weights, delisting_bars, price_ns, pos_ns, /)\n--\n\nWhether any column "
     "j of a 2-D float64 weight matrix with a delisting bar b = delisting_bars[j] >= 0 has a nonzero weight on a row "
     "dated (pos_ns, int64) at or after price_ns[max(b - 1, 0)], its last price bar."},
    {"weight_columns", py_weight_columns, METH_O,
     "weight_columns($module, matrix, /)\n--\n\nPer column of a 2-D float64 weight matrix, whether any row "
     "gives it a nonzero weight (a bool array); None when some weight is NaN or infinite. One pass over the "
     "matrix, without the interpreter lock."},
    {"scan_weights", py_scan_weights, METH_O,
     "scan_weights($module, matrix, /)\n--\n\n(traded, scan) of a 2-D float64 weight matrix: `traded` as "
     "weight_columns gives it, `scan` the whole pass (with each row's nonzero weights), which run and run_many "
     "take as weight_scan=scan with this same array as pos_values instead of scanning it again (the array must "
     "not change in between). None when some weight is NaN or infinite."},
    {"trade_figures", py_trade_figures, METH_VARARGS,
     "trade_figures($module, entry_order, exit_bar, entry_bar, returns, excursions, averages=False, /)\n--\n\n"
     "The trade figures of a run's statistics from its ledger columns: a dict of trades and, over the closed "
     "trades (exit_bar >= 0), win_rate and avg_holding_bars (without the figures that have no value), then the "
     "closed trades' MAE and MFE at the exit, in entry_order. With `averages` (and at most 8192 closed trades) "
     "the dict also holds avg_mae and avg_mfe, averaged over the values that are not NaN in NumPy's order, and the "
     "MAE and MFE are None."},
    {"return_figures", py_return_figures, METH_VARARGS,
     "return_figures($module, values, dates, periods_per_year, /)\n--\n\nThe figures of the bar returns of "
     "`values` (a window's equity, anchor first, finite and positive but for the last) that the statistics show below their "
     "summary: distribution, winning and losing bars, drawdowns; with `dates` (int64 wall-clock nanoseconds of "
     "the values, ascending, or None) also the calendar months and years and the trailing periods. A dict "
     "without the figures that have no value."},
    {"resampled_figures", py_resampled_figures, METH_VARARGS,
     "resampled_figures($module, returns, starts, lengths, ends, periods_per_year, risk_free, threads, /)\n--\n\n"
     "The figures of the bootstrap intervals (vostra.results.confidence.CONFIDENCE_KEYS) of many series made of "
     "blocks of the returns, as a float64 array samples x figures: sample s is blocks ends[s - 1] .. ends[s] - 1, "
     "block b the lengths[b] returns from bar starts[b] on, reading on from bar 0 past the last; risk_free is "
     "the rate of a bar."},
    {"stationary_figures", py_stationary_figures, METH_VARARGS,
     "stationary_figures($module, returns, starts, draws, rate, periods_per_year, risk_free, threads, /)\n--\n\n"
     "The figures of resampled_figures for stationary bootstrap samples as drawn: rows of block starts (int64) "
     "and exponential draws (float64), a block lasting ceil(draw / rate) bars (at least 1) until the sample has "
     "as many bars as the returns."},
    {"pbo_logits", py_pbo_logits, METH_VARARGS,
     "pbo_logits($module, sums, squares, shift, n, threads, /)\n--\n\n"
     "The logits of combinatorially symmetric cross-validation: for every way of taking half of the blocks "
     "as the in-sample set (in the lexicographic order of its blocks), the logit of the out-of-sample rank of "
     "the trial with the best in-sample Sharpe ratio, from the per-block sums and sums of squares (blocks x "
     "trials, C-contiguous float64) of the returns less `shift` (per trial), n bars to a half."},
    {"window_figures", py_window_figures, METH_VARARGS,
     "window_figures($module, equity, first, periods_per_year, traded, holdings, dates, risk_free, /)\n--\n\n"
     "The statistics of an equity curve that need neither its trades nor a benchmark, in the bits of "
     "vostra.stats: `equity` the whole curve (at most 8192 values from the window's anchor on), `first` the "
     "window's first bar, `traded` the traded value on the window's bars (float64, or None), `holdings` the "
     "positions held on the return bars (or None), `dates` the int64 wall-clock nanoseconds of the window's "
     "values (or None), `risk_free` the annual rate. A dict without the figures that have no value."},
    {"printed_figures", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(py_printed_figures)), METH_FASTCALL,
     "printed_figures($module, keys, equity, first, periods_per_year, traded, holdings, dates, risk_free, "
     "entry_order, exit_bar, entry_bar, returns, excursions, /)\n--\n\nWhat a printed result shows, in one call: "
     "the figures of window_figures and those of trade_figures with the MAE and MFE averages, as a float64 array "
     "laid out as the tuple of names `keys` (NaN for a figure without a value); then the closed trades' MAE and "
     "MFE in entry order when there are more than 8192 of them to average, else None and None."},
    {"figure_table", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(py_figure_table)), METH_FASTCALL,
     "figure_table($module, values, layout, /)\n--\n\nThe statistics table of a printout, its rows joined by "
     "newlines: per row of `layout`, a tuple (position in `values`, padded label, format \".2%\", \"d\", \".3f\" "
     "or \".2f\", whether a blank line comes before), the label and the figure as format() writes it, "
     "right-aligned in ten characters (\"-\" for a value that is not finite)."},
    {"printout", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(py_printout)), METH_FASTCALL,
     "printout($module, values, layout, dates, trades, anchor, window_start, window_rule, periods_per_year, "
     "frequency, risk_free, fee, tax, /)\n--\n\nA printed result's text but its account line: the head (the "
     "first and last day of `dates`, int64 wall-clock nanoseconds of the curve's dates, their number and "
     "`trades`), the table of figure_table and the lines of the conventions. None when the window's first return "
     "bar or its anchor (positions in `dates`, or None for no window) is not at midnight."},
    {"first_nonpositive", py_first_nonpositive, METH_O,
     "first_nonpositive($module, values, /)\n--\n\nThe first position of a 1-D float64 array whose value is at "
     "or below 0 (NaN is not), -1 for none."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef_Slot slots[] = {
    {Py_mod_exec, reinterpret_cast<void *>(exec)},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "vostra._engine",
    "Native entry of the front end: backtests as NumPy arrays, thread-safe, without module state.",
    0, methods, slots, nullptr, nullptr, nullptr,
};

}  // namespace
}  // namespace vostra::engine

PyMODINIT_FUNC PyInit__engine() { return PyModuleDef_Init(&vostra::engine::module_def); }
