// The figures of many resampled return series at once, for the bootstrap
// intervals of a result's statistics (vostra.results.confidence). A series
// is a list of blocks of the bar returns, each a start bar and a length
// (reading on past the last bar from the first), so that a sample of a
// stationary bootstrap is read where it lies instead of being copied out
// first, and its figures take two passes over it, in the cache, instead of
// a NumPy pass each over the whole chunk of samples. The definitions are
// those of vostra.results.stats (the statistics of the same returns); the
// tests hold the two together.
#include "common/run_args.hpp"
#include "threads.hpp"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdint>
#include <vector>

namespace vostra::engine {

namespace {

// The figures, in the order of vostra.results.confidence.CONFIDENCE_KEYS.
enum Figure {
    total_return, cagr, annual_volatility, sharpe, sortino, max_drawdown, calmar, skew, kurtosis, var_95,
    cvar_95, best_day, worst_day, avg_win, avg_loss, profit_factor, payoff_ratio, kelly, omega, ulcer_index,
    n_figures
};

double ratio(double num, double den) {
    return std::isfinite(num) && std::isfinite(den) && den != 0 ? num / den : NAN;
}

struct Blocks {
    const double *r;  // the returns twice over: a block is a run of it
    std::int64_t n;
    const std::int64_t *start, *length, *end;
    double shift;     // near the returns' mean: the power sums about it lose nothing

    // Calls f(x) for the returns of sample s in order.
    template <class F>
    void each(std::int64_t s, F &&f) const {
        for (std::int64_t b = s ? end[s - 1] : 0; b < end[s]; ++b)
            for (const double *p = r + start[b], *stop = p + length[b]; p < stop; ++p) f(*p);
    }
};

// The samples of a stationary bootstrap as drawn: per sample (a row) the
// block starts and exponential draws, a block lasting ceil(draw / rate)
// bars (at least 1) until the sample has its n bars, as
// vostra.results.bootstrap.block_lengths cuts them.
struct Drawn {
    const double *r;  // the returns twice over
    std::int64_t n;
    const std::int64_t *start;
    const double *draw;
    std::int64_t width;
    double rate, shift;
    std::atomic<bool> *short_row;

    template <class F>
    void each(std::int64_t s, F &&f) const {
        std::int64_t left = n;
        for (std::int64_t b = s * width, stop = b + width; b < stop && left > 0; ++b) {
            double length = std::max(std::ceil(draw[b] / rate), 1.0);
            std::int64_t run = length < static_cast<double>(left) ? static_cast<std::int64_t>(length) : left;
            for (const double *p = r + start[b], *last = p + run; p < last; ++p) f(*p);
            left -= run;
        }
        if (left > 0) short_row->store(true);
    }
};

// The figures of sample s into out[0 .. n_figures), in one pass: the
// central moments come from the power sums about `shift`.
template <class Source>
void figures_of(const Source &blocks, std::int64_t s, double ppy, double per_bar, double *out) {
    double s1 = 0, s2 = 0, s3 = 0, s4 = 0, down = 0, best = -INFINITY, worst = INFINITY, gains = 0, pains = 0;
    // The drawdown below the peak by its reciprocal, changed only at a new
    // peak: a multiplication a bar instead of two divisions.
    double equity = 1.0, peak = 1.0, below = 1.0, deepest = 0.0, sunk2 = 0.0;
    std::int64_t m = 0, wins = 0, losses = 0;
    bool ruined = false;
    const double c = blocks.shift;
    blocks.each(s, [&](double x) {
        ++m;
        double y = x - c, y2 = y * y;
        s1 += y, s2 += y2, s3 += y2 * y, s4 += y2 * y2;
        double e = x - per_bar;
        double low = e < 0 ? e : 0.0;
        down += low * low;
        best = std::max(best, x);
        worst = std::min(worst, x);
        gains += x > 0 ? x : 0.0, wins += x > 0;
        pains -= x < 0 ? x : 0.0, losses += x < 0;
        equity *= 1.0 + x;
        ruined |= equity < 0;
        if (equity > peak) peak = equity, below = 1.0 / equity;
        double sunk = equity * below - 1.0;
        deepest = std::min(deepest, sunk);
        sunk2 += sunk * sunk;
    });
    double fm = static_cast<double>(m), d = s1 / fm, mean = c + d;
    double m2 = std::max(s2 - fm * d * d, 0.0);
    double m3 = s3 - 3.0 * d * s2 + 2.0 * fm * d * d * d;
    double m4 = s4 - 4.0 * d * s3 + 6.0 * d * d * s2 - 3.0 * fm * d * d * d * d;
    bool flat = best == worst;
    double root = std::sqrt(ppy);
    double sd = m < 2 ? NAN : flat ? 0.0 : std::sqrt(m2 / (fm - 1.0));
    double excess_mean = mean - per_bar;
    out[total_return] = equity - 1.0;
    out[cagr] = equity >= 0 ? std::pow(equity, ppy / fm) - 1.0 : NAN;
    out[annual_volatility] = sd * root;
    out[sharpe] = ratio(excess_mean, sd) * root;
    out[sortino] = ratio(excess_mean * ppy, std::sqrt(down / fm) * root);
    out[max_drawdown] = ruined ? NAN : deepest;
    out[calmar] = out[max_drawdown] < 0 ? ratio(out[cagr], std::fabs(out[max_drawdown])) : NAN;
    out[skew] = m >= 3 && !flat ? std::sqrt(fm * (fm - 1.0)) / (fm - 2.0) * (m3 / fm) / std::pow(m2 / fm, 1.5) : NAN;
    double scale = (fm - 2.0) * (fm - 3.0);
    out[kurtosis] = m >= 4 && !flat ? (fm + 1.0) * fm * (fm - 1.0) / scale * m4 / (m2 * m2)
                                          - 3.0 * (fm - 1.0) * (fm - 1.0) / scale
                                    : NAN;
    // The normal 5 % quantile and the mean beyond it, in deviations.
    out[var_95] = mean - 1.6448536269514722 * sd;
    out[cvar_95] = mean - 2.0627128075074257 * sd;
    out[best_day] = best;
    out[worst_day] = worst;
    out[avg_win] = ratio(gains, static_cast<double>(wins));
    out[avg_loss] = ratio(-pains, static_cast<double>(losses));
    out[profit_factor] = ratio(gains, pains);
    out[payoff_ratio] = ratio(out[avg_win], std::fabs(out[avg_loss]));
    double p = ratio(static_cast<double>(wins), static_cast<double>(wins + losses));
    out[kelly] = ratio(out[payoff_ratio] * p - (1.0 - p), out[payoff_ratio]);
    out[omega] = out[profit_factor];
    out[ulcer_index] = m < 2 ? NAN : std::sqrt(sunk2 / (fm - 1.0));
}

// Calls figures_of for every sample on `threads` threads, this one included,
// without the interpreter lock.
template <class Source>
void all_figures(const Source &source, std::int64_t n_samples, double ppy, double per_bar, int threads,
                 double *values) {
    std::atomic<std::int64_t> next{0};
    constexpr std::int64_t chunk = 64;
    auto worker = [&] {
        for (std::int64_t first; (first = next.fetch_add(chunk)) < n_samples;)
            for (std::int64_t s = first; s < std::min(first + chunk, n_samples); ++s)
                figures_of(source, s, ppy, per_bar, values + s * n_figures);
    };
    Py_BEGIN_ALLOW_THREADS
    on_threads(threads, (n_samples + chunk - 1) / chunk, worker);
    Py_END_ALLOW_THREADS
}

// The returns twice over (a block reads on past the last bar from the
// first), checked finite, and their mean.
std::vector<double> twice_over(PyObject *returns_obj, double &mean, const char *caller) {
    if (!PyArray_IS_C_CONTIGUOUS(reinterpret_cast<PyArrayObject *>(returns_obj)))
        raisef(PyExc_ValueError, "%s() needs C-contiguous arrays", caller);
    check_array(returns_obj, Elem::f64, 1);
    const auto *returns = static_cast<const double *>(PyArray_DATA(reinterpret_cast<PyArrayObject *>(returns_obj)));
    auto n = static_cast<std::int64_t>(PyArray_SIZE(reinterpret_cast<PyArrayObject *>(returns_obj)));
    if (n < 1) raisef(PyExc_ValueError, "%s() needs at least one return", caller);
    std::vector<double> twice(static_cast<std::size_t>(2 * n));
    double total = 0;
    for (std::int64_t i = 0; i < n; ++i) {
        if (!std::isfinite(returns[i])) raisef(PyExc_ValueError, "%s() needs finite returns", caller);
        twice[static_cast<std::size_t>(i)] = twice[static_cast<std::size_t>(i + n)] = returns[i];
        total += returns[i];
    }
    mean = total / static_cast<double>(n);
    return twice;
}

}  // namespace

// resampled_figures(returns, starts, lengths, ends, periods_per_year, risk_free, threads, /): a float64
// array (samples x 20) of the figures of every sample; sample s is made of the blocks ends[s - 1] ..
// ends[s] - 1 (from 0 for the first), block b the lengths[b] returns from bar starts[b] on, reading on
// from bar 0 past the last bar. risk_free is the rate of a bar that Sharpe and Sortino measure against.
PyObject *py_resampled_figures(PyObject *, PyObject *args) {
    return firewall("vostra._engine.resampled_figures", "vostra/_engine", static_cast<PyObject *>(nullptr),
                    [&]() -> PyObject * {
        PyObject *returns_obj, *starts_obj, *lengths_obj, *ends_obj;
        double ppy, per_bar;
        int threads;
        if (!PyArg_ParseTuple(args, "O!O!O!O!ddi:resampled_figures", &PyArray_Type, &returns_obj, &PyArray_Type,
                              &starts_obj, &PyArray_Type, &lengths_obj, &PyArray_Type, &ends_obj, &ppy, &per_bar,
                              &threads))
            throw_py();
        for (PyObject *o : {starts_obj, lengths_obj, ends_obj}) {
            if (!PyArray_IS_C_CONTIGUOUS(reinterpret_cast<PyArrayObject *>(o)))
                raisef(PyExc_ValueError, "resampled_figures() needs C-contiguous arrays");
            check_array(o, Elem::i64, 1);
        }
        if (!(std::isfinite(ppy) && ppy > 0) || !std::isfinite(per_bar))
            raisef(PyExc_ValueError, "resampled_figures() needs a positive periods_per_year and a finite rate");
        double mean;
        std::vector<double> twice = twice_over(returns_obj, mean, "resampled_figures");
        auto data = [](PyObject *o) { return static_cast<const std::int64_t *>(PyArray_DATA(reinterpret_cast<PyArrayObject *>(o))); };
        auto size = [](PyObject *o) { return static_cast<std::int64_t>(PyArray_SIZE(reinterpret_cast<PyArrayObject *>(o))); };
        std::int64_t n = static_cast<std::int64_t>(twice.size() / 2), n_blocks = size(starts_obj),
                     n_samples = size(ends_obj);
        if (size(lengths_obj) != n_blocks)
            raisef(PyExc_ValueError, "resampled_figures() needs a length for every block start");
        Blocks blocks{twice.data(), n, data(starts_obj), data(lengths_obj), data(ends_obj), mean};
        for (std::int64_t b = 0; b < n_blocks; ++b)
            if (blocks.start[b] < 0 || blocks.start[b] >= n || blocks.length[b] < 0 || blocks.length[b] > n)
                raisef(PyExc_ValueError, "resampled_figures() block %lld starts outside the returns or has a "
                       "negative length or one beyond the returns", static_cast<long long>(b));
        for (std::int64_t s = 0; s < n_samples; ++s) {
            std::int64_t first = s ? blocks.end[s - 1] : 0, total = 0;
            if (blocks.end[s] < first || blocks.end[s] > n_blocks)
                raisef(PyExc_ValueError, "resampled_figures() needs ascending block ends within the blocks");
            for (std::int64_t b = first; b < blocks.end[s]; ++b) total += blocks.length[b];
            if (total < 1) raisef(PyExc_ValueError, "resampled_figures() sample %lld holds no return",
                                  static_cast<long long>(s));
        }
        npy_intp dims[2] = {static_cast<npy_intp>(n_samples), n_figures};
        Ref out = Ref::check(PyArray_EMPTY(2, dims, NPY_DOUBLE, 0));
        all_figures(blocks, n_samples, ppy, per_bar, threads,
                    static_cast<double *>(PyArray_DATA(reinterpret_cast<PyArrayObject *>(out.get()))));
        return out.release();
    });
}

// stationary_figures(returns, starts, draws, rate, periods_per_year, risk_free, threads, /): the figures
// (samples x 20) of the stationary bootstrap samples drawn as rows of starts (int64) and exponential draws
// (float64), both samples x blocks: a block lasts ceil(draw / rate) bars, at least 1, until the sample has
// as many bars as the returns.
PyObject *py_stationary_figures(PyObject *, PyObject *args) {
    return firewall("vostra._engine.stationary_figures", "vostra/_engine", static_cast<PyObject *>(nullptr),
                    [&]() -> PyObject * {
        PyObject *returns_obj, *starts_obj, *draws_obj;
        double rate, ppy, per_bar;
        int threads;
        if (!PyArg_ParseTuple(args, "O!O!O!dddi:stationary_figures", &PyArray_Type, &returns_obj, &PyArray_Type,
                              &starts_obj, &PyArray_Type, &draws_obj, &rate, &ppy, &per_bar, &threads))
            throw_py();
        for (PyObject *o : {starts_obj, draws_obj})
            if (!PyArray_IS_C_CONTIGUOUS(reinterpret_cast<PyArrayObject *>(o)))
                raisef(PyExc_ValueError, "stationary_figures() needs C-contiguous arrays");
        check_array(starts_obj, Elem::i64, 2);
        check_array(draws_obj, Elem::f64, 2);
        auto *starts = reinterpret_cast<PyArrayObject *>(starts_obj), *draws = reinterpret_cast<PyArrayObject *>(draws_obj);
        if (PyArray_DIM(starts, 0) != PyArray_DIM(draws, 0) || PyArray_DIM(starts, 1) != PyArray_DIM(draws, 1))
            raisef(PyExc_ValueError, "stationary_figures() needs a draw for every block start");
        if (!(std::isfinite(ppy) && ppy > 0) || !std::isfinite(per_bar) || !(rate > 0))
            raisef(PyExc_ValueError, "stationary_figures() needs a positive periods_per_year and rate, and a finite "
                   "risk-free rate");
        double mean;
        std::vector<double> twice = twice_over(returns_obj, mean, "stationary_figures");
        std::int64_t n = static_cast<std::int64_t>(twice.size() / 2), n_samples = PyArray_DIM(starts, 0),
                     width = PyArray_DIM(starts, 1);
        const auto *start = static_cast<const std::int64_t *>(PyArray_DATA(starts));
        const auto *draw = static_cast<const double *>(PyArray_DATA(draws));
        for (std::int64_t b = 0; b < n_samples * width; ++b) {
            if (start[b] < 0 || start[b] >= n)
                raisef(PyExc_ValueError, "stationary_figures() block %lld starts outside the returns",
                       static_cast<long long>(b));
            if (!(draw[b] >= 0) || !std::isfinite(draw[b]))
                raisef(PyExc_ValueError, "stationary_figures() needs finite draws of at least 0");
        }
        std::atomic<bool> short_row{false};
        Drawn source{twice.data(), n, start, draw, width, rate, mean, &short_row};
        npy_intp dims[2] = {static_cast<npy_intp>(n_samples), n_figures};
        Ref out = Ref::check(PyArray_EMPTY(2, dims, NPY_DOUBLE, 0));
        all_figures(source, n_samples, ppy, per_bar, threads,
                    static_cast<double *>(PyArray_DATA(reinterpret_cast<PyArrayObject *>(out.get()))));
        if (short_row.load())
            raisef(PyExc_RuntimeError, "a bootstrap sample drew too few blocks to fill its bars");
        return out.release();
    });
}

}  // namespace vostra::engine
