// The simulation loop: bar by bar revaluation at the trading price, exits,
// scheduled rebalances, delistings and the mark to close.
#include "engine.hpp"

namespace vostra::vantrel {

namespace {

void set_global(const char *name, bool value) {
    if (PyDict_SetItemString(module.dict, name, value ? Py_True : Py_False) < 0) throw_py();
}

// Marks, for each rebalance timestamp, the last bar at or before it (bar 0
// when it precedes every bar).
void mark_rebalance_bars(Run &run) {
    const auto &dates = run.in.price_dates;
    run.date_rebalance.assign(static_cast<std::size_t>(dates.size), 0);
    if (dates.size == 0) return;  // no bar to mark
    Py_ssize_t ptr = 0;
    const auto &resample = run.in.resample_dates;
    for (Py_ssize_t i = 0; i < resample.size; ++i) {
        std::int64_t d = resample[i];
        while (ptr + 1 < dates.size && dates[ptr + 1] <= d) ++ptr;
        run.date_rebalance[ptr] = 1;
    }
}

void start_recorder(Run &run) {
    module.recorder.start_analysis(reinterpret_cast<PyArrayObject *>(run.in.price_values),
                                   reinterpret_cast<PyArrayObject *>(run.in.close_values), run.columns.as_map(),
                                   static_cast<int>(run.in.pos_labels.size), run.opt.fee_ratio, run.opt.tax_ratio,
                                   run.opt.orbalt_window, run.opt.orbalt_window_step);
    throw_if_error();
}

// Revalues every held position at this bar's trading price and applies the
// exit rules to it.
void revalue_positions(Run &run, Py_ssize_t d) {
    run.exit_stocks_temp.clear();
    // Price matrices from pandas are column-major: each held stock is its own
    // stream through memory, too many for the hardware prefetcher to follow.
    constexpr Py_ssize_t ahead = 16;
    bool prefetch = d + ahead < run.in.price.rows;
    for (int sid : run.pos.keys()) {
        int col = run.price_column(sid);
        if (prefetch) {
            __builtin_prefetch(run.in.price.row_ptr(d + ahead) + col * run.in.price.col_stride);
            __builtin_prefetch(run.in.close.row_ptr(d + ahead) + col * run.in.close.col_stride);
        }
        double trade_price = run.in.price(d, col);
        validate_trade_price(run.in, trade_price, sid, d);
        double &prev = run.previous_price[col];
        if (std::isnan(prev)) prev = trade_price;
        double r = checked_div(trade_price, prev);
        if (std::isnan(r)) r = 1;  // a missing price keeps the position where it was
        double &held = run.pos.value(sid);
        double value = held * r;
        held = value;
        double &cr = run.cr[sid];
        cr = cr * r;
        if (cr > run.maxcr[sid]) run.maxcr[sid] = cr;
        if (cr < run.mincr[sid]) run.mincr[sid] = cr;
        if (cr == 0) raise(PyExc_ZeroDivisionError, "float division");  // no entry value to derive
        // A holding already closed by an intrabar stop is flat: it has no
        // exit levels left to reach.
        if (value != 0) position_exits(run, sid, col, d, r, value, trade_price);
        if (!std::isnan(trade_price)) prev = trade_price;
    }
}

void rebalance_step(Run &run, Py_ssize_t d) {
    const Inputs &in = run.in;
    Py_ssize_t ncols = in.weights.cols;
    View1<double> row = in.weights.row(run.pos_id);
    if (run.opt.retain_cost_when_rebalance) {
        // Holdings kept on the same side keep their return trackers.
        for (Py_ssize_t sid = 0; sid < ncols; ++sid) {
            double pv = row[sid];
            int s = static_cast<int>(sid);
            if (pv != 0 && (!run.pos.contains(s) || run.pos[s] * pv <= 0)) reset_trackers(run, s);
        }
    }
    run.latest_row_adjusted = truth(run.opt.stop_trading_next_period) && !run.exited_stocks.empty();
    if (run.latest_row_adjusted) {
        // Stocks stopped out since the last rebalance sit this one out; the
        // caller's matrix is left untouched.
        run.adjusted_row.resize(static_cast<std::size_t>(ncols));
        for (Py_ssize_t i = 0; i < ncols; ++i) run.adjusted_row[i] = row[i];
        for (const SideSid &e : run.exited_stocks) run.adjusted_row.at(static_cast<std::size_t>(e.sid)) = 0.0;
        row = View1<double>{reinterpret_cast<const char *>(run.adjusted_row.data()), ncols, sizeof(double)};
    }
    run.cash = rebalance(run.pos, row, run.cash, run.costs, run.opt.position_limit);
    run.latest_rebalanced_keys = run.pos.keys();
    // Newly held columns are cold: fetch their next bars for this bar's mark
    // to close and the next revaluations all at once, rather than one miss
    // after another.
    bool next_bar = d + 1 < in.price.rows;
    for (int sid : run.latest_rebalanced_keys) {
        int col = run.price_column(sid);
        __builtin_prefetch(in.price.row_ptr(d) + col * in.price.col_stride);
        __builtin_prefetch(in.close.row_ptr(d) + col * in.close.col_stride);
        if (next_bar) {
            __builtin_prefetch(in.price.row_ptr(d + 1) + col * in.price.col_stride);
            __builtin_prefetch(in.close.row_ptr(d + 1) + col * in.close.col_stride);
        }
    }
    if (!run.opt.retain_cost_when_rebalance) {
        // Every return tracker restarts at 1. Only held stocks read theirs,
        // and a stock is entered only at a rebalance, so restarting the held
        // ones is the same as refilling every column.
        for (int sid : run.latest_rebalanced_keys) reset_trackers(run, sid);
    }
    // Every reference price restarts at this bar's trading price. Only held
    // stocks ever read theirs, and a stock becomes held only at a rebalance,
    // so refreshing the held columns is the same as copying the whole row
    // without touching every column of a wide matrix.
    for (int sid : run.latest_rebalanced_keys) {
        int col = run.price_column(sid);
        run.previous_price[col] = in.price(d, col);
    }
    run.exited_stocks.clear();
    run.current_position_id = run.pos_id;
}

// Portfolio value at the close: positions are carried at the trading price
// between bars and marked to the close only for the result.
double mark_to_close(Run &run, Py_ssize_t d) {
    double balance = run.cash;
    for (int sid : run.pos.keys()) {
        int col = run.price_column(sid);
        double trade_price = run.in.price(d, col);
        validate_trade_price(run.in, trade_price, sid, d);
        double close_price = run.in.close(d, col);
        validate_price(run.in, PriceKind::close, close_price, sid, d);
        double val = run.pos[sid];
        if (std::isnan(trade_price) || std::isnan(close_price))
            balance += val;
        else
            balance += checked_div(val * close_price, trade_price);
    }
    return balance;
}

// A signal row comes into force at the last bar strictly before the next
// bar's timestamp; on the last bar every later row qualifies.
void advance_signal_row(Run &run, Py_ssize_t d) {
    const auto &dates = run.in.price_dates;
    bool last = d == dates.size - 1;
    std::int64_t next_bar = last ? 0 : dates[d + 1];
    const auto &pos_dates = run.in.pos_dates;
    while (run.pos_id < pos_dates.size - 1 && (last || pos_dates.at(run.pos_id + 1) < next_bar)) ++run.pos_id;
}

}  // namespace

Ref simulate(const Inputs &in, const Options &opt, ColumnMap *precomputed) {
    set_global("RETAIN_COST_WHEN_REBALANCE", opt.retain_cost_when_rebalance);
    set_global("RESAMPLE", opt.periodically_rebalance);

    Run run(in, opt);
    run.columns = precomputed ? std::move(*precomputed) : map_columns(in.price_columns, in.pos_columns);
    Py_ssize_t nbars = in.price_dates.size;
    npy_intp dims[1] = {nbars};
    Ref creturn = Ref::check(PyArray_EMPTY(1, dims, NPY_DOUBLE, 0));
    double *out = static_cast<double *>(PyArray_DATA(reinterpret_cast<PyArrayObject *>(creturn.get())));
    std::size_t nstocks = static_cast<std::size_t>(in.weights.cols);
    run.cr.assign(nstocks, 1.0);
    run.maxcr.assign(nstocks, 1.0);
    run.mincr.assign(nstocks, 1.0);
    run.previous_price.assign(static_cast<std::size_t>(in.price.cols), 1.0);
    run.pos = PositionMap(static_cast<int>(nstocks));
    if (in.has_delisting_bars)
        for (Py_ssize_t i = 0; i < in.delisting_bars.size && !run.has_delisting; ++i)
            run.has_delisting = in.delisting_bars[i] >= 0;
    run.stop_loss_abs = std::fabs(opt.stop_loss);
    run.take_profit_abs = std::fabs(opt.take_profit);
    run.trail_stop_abs = std::fabs(opt.trail_stop);
    run.trail_stop_activation_abs = std::fabs(opt.trail_stop_activation);
    mark_rebalance_bars(run);
    start_recorder(run);

    for (Py_ssize_t d = 0; d < nbars; ++d) {
        run.date = in.price_dates[d];
        if (run.date < in.pos_dates.at(0)) {  // warm-up: before the first signal
            out[d] = 1.0;
            continue;
        }
        module.recorder.record_date(static_cast<int>(d));
        revalue_positions(run, d);
        pending_exits(run);
        run.exit_stocks = run.exit_stocks_temp;
        if (run.should_rebalance) rebalance_step(run, d);
        if (run.has_delisting) delisting_exits(run, d);
        out[d] = mark_to_close(run, d);
        advance_signal_row(run, d);
        run.should_rebalance = run.pos_id != run.current_position_id && run.date_rebalance[d] != 0;
    }

    std::map<int, double> final_positions = run.pos.to_map();
    Ref done = Ref::check(module.recorder.end_analysis(final_positions));
    build_report(run);
    return creturn;
}

}  // namespace vostra::vantrel
