// The logits of combinatorially symmetric cross-validation, for the
// probability of backtest overfitting (vostra.research.overfit.pbo_logits).
// The bars are cut into blocks; every way of taking half of the blocks as
// the in-sample set is a split, the other half its out-of-sample set. Per
// split the trial with the best in-sample Sharpe ratio is found and the
// rank of its out-of-sample one among the trials becomes a logit. A sweep
// of 64 trials over 16 blocks has 12,870 splits of 64 Sharpe ratios each
// way: a few passes over small arrays per split, which NumPy took in
// dozens of whole-array passes and here stay in registers and the cache.
#include "common/run_args.hpp"
#include "threads.hpp"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdint>
#include <new>
#include <vector>

namespace vostra::engine {

namespace {

// n choose k, or -1 beyond 2**62.
std::int64_t choose(std::int64_t n, std::int64_t k) {
    if (k < 0 || k > n) return 0;
    std::int64_t c = 1;
    for (std::int64_t i = 1; i <= k; ++i) {
        if (c > (std::int64_t(1) << 62) / (n - k + i)) return -1;
        c = c * (n - k + i) / i;
    }
    return c;
}

struct Splits {
    const double *sums, *squares, *shift;  // blocks x trials, C order; trials
    std::int64_t blocks, trials, half, count;
    double n;                               // bars in one half
    std::vector<double> total, total_square;
    double *out;
};

// The Sharpe ratios of a half from its sums and sums of squares of the
// centred returns, as the NumPy figures compute them: a constant series
// (what is left of its spread is rounding) is flat, 0, or +-inf with a
// mean.
void half_sharpe(const double *sum, const double *square, const double *shift, double n, std::size_t trials,
                 double *out) {
    for (std::size_t t = 0; t < trials; ++t) {
        double mean = sum[t] / n;
        double spread = mean * mean;
        spread = spread * -n;
        spread = spread + square[t];
        spread = spread <= 1e-12 * square[t] ? 0.0 : spread;
        spread = std::sqrt(spread / (n - 1));
        mean = mean + shift[t];
        double flat = mean > 0 ? INFINITY : mean < 0 ? -INFINITY : 0.0;
        out[t] = spread == 0 ? flat : mean / spread;
    }
}

// The logit of the out-of-sample rank (ties at their mean rank) of the
// first trial with the best in-sample ratio.
double split_logit(const std::vector<double> &in, const std::vector<double> &out) {
    std::size_t best = 0;
    for (std::size_t t = 1; t < in.size(); ++t)
        if (in[t] > in[best]) best = t;
    double pick = out[best];
    std::int64_t below = 0, equal = 0;
    for (double x : out) {
        below += x < pick;
        equal += x == pick;
    }
    double rank = static_cast<double>(below) + static_cast<double>(equal + 1) / 2.0;
    double omega = rank / (static_cast<double>(out.size()) + 1.0);
    return std::log(omega / (1.0 - omega));
}

// The combination of rank i among those of `half` blocks out of `blocks`
// in lexicographic order.
void unrank(std::int64_t i, std::int64_t blocks, std::int64_t half, std::vector<std::int64_t> &c) {
    std::int64_t v = 0;
    for (std::int64_t pos = 0; pos < half; ++pos, ++v) {
        for (;; ++v) {
            std::int64_t with = choose(blocks - v - 1, half - pos - 1);
            if (i < with) break;
            i -= with;
        }
        c[pos] = v;
    }
}

void next_combination(std::int64_t blocks, std::int64_t half, std::vector<std::int64_t> &c) {
    std::int64_t pos = half - 1;
    while (pos > 0 && c[pos] == blocks - half + pos) --pos;
    ++c[pos];
    for (std::int64_t k = pos + 1; k < half; ++k) c[k] = c[k - 1] + 1;
}

// Splits [first, last) of the first half (those holding block 0); each
// also gives its complement, the split of rank count - 1 - i.
void run_splits(const Splits &s, std::int64_t first, std::int64_t last) {
    std::size_t T = static_cast<std::size_t>(s.trials);
    std::vector<double> in_sum(T), in_square(T), out_sum(T), out_square(T), in(T), out(T);
    std::vector<std::int64_t> c(static_cast<std::size_t>(s.half));
    unrank(first, s.blocks, s.half, c);
    for (std::int64_t i = first; i < last; ++i) {
        if (i > first) next_combination(s.blocks, s.half, c);
        std::fill(in_sum.begin(), in_sum.end(), 0.0);
        std::fill(in_square.begin(), in_square.end(), 0.0);
        for (std::int64_t b : c) {
            const double *sum = s.sums + b * s.trials, *square = s.squares + b * s.trials;
            for (std::size_t t = 0; t < T; ++t) {
                in_sum[t] = in_sum[t] + sum[t];
                in_square[t] = in_square[t] + square[t];
            }
        }
        for (std::size_t t = 0; t < T; ++t) {
            double rest = s.total_square[t] - in_square[t];
            out_sum[t] = s.total[t] - in_sum[t];
            out_square[t] = rest > 0 ? rest : 0.0;
        }
        half_sharpe(in_sum.data(), in_square.data(), s.shift, s.n, T, in.data());
        half_sharpe(out_sum.data(), out_square.data(), s.shift, s.n, T, out.data());
        s.out[i] = split_logit(in, out);
        s.out[s.count - 1 - i] = split_logit(out, in);
    }
}

}  // namespace

// pbo_logits(sums, squares, shift, n, threads, /): the logits of every split
// of the blocks into two halves, in the lexicographic order of the in-sample
// blocks, from the per-block sums and sums of squares (blocks x trials,
// C-contiguous float64) of the returns less `shift` (per trial), n bars to
// a half; on up to `threads` threads.
PyObject *py_pbo_logits(PyObject *, PyObject *args) {
    return firewall("vostra._engine.pbo_logits", "vostra/_engine", static_cast<PyObject *>(nullptr),
                    [&]() -> PyObject * {
        PyObject *sums_obj, *squares_obj, *shift_obj;
        Py_ssize_t n;
        int threads;
        if (!PyArg_ParseTuple(args, "O!O!O!ni:pbo_logits", &PyArray_Type, &sums_obj, &PyArray_Type, &squares_obj,
                              &PyArray_Type, &shift_obj, &n, &threads))
            throw_py();
        check_array(sums_obj, Elem::f64, 2);
        check_array(squares_obj, Elem::f64, 2);
        check_array(shift_obj, Elem::f64, 1);
        auto *sums = reinterpret_cast<PyArrayObject *>(sums_obj), *squares = reinterpret_cast<PyArrayObject *>(squares_obj);
        auto *shift = reinterpret_cast<PyArrayObject *>(shift_obj);
        if (!PyArray_IS_C_CONTIGUOUS(sums) || !PyArray_IS_C_CONTIGUOUS(squares) || !PyArray_IS_C_CONTIGUOUS(shift))
            raisef(PyExc_ValueError, "pbo_logits() needs C-contiguous arrays");
        std::int64_t blocks = PyArray_DIM(sums, 0), trials = PyArray_DIM(sums, 1);
        if (PyArray_DIM(squares, 0) != blocks || PyArray_DIM(squares, 1) != trials || PyArray_DIM(shift, 0) != trials)
            raisef(PyExc_ValueError, "pbo_logits() needs sums, squares and shifts of the same blocks and trials");
        if (blocks < 2 || blocks % 2 || trials < 1 || n < 2)
            raisef(PyExc_ValueError, "pbo_logits() needs an even number of blocks >= 2, a trial and 2 bars a half");
        std::int64_t count = choose(blocks, blocks / 2);
        if (count < 0 || count > (std::int64_t(1) << 40))
            raisef(PyExc_ValueError, "pbo_logits() has too many splits for %lld blocks", static_cast<long long>(blocks));
        npy_intp dims[1] = {static_cast<npy_intp>(count)};
        Ref out = Ref::check(PyArray_EMPTY(1, dims, NPY_DOUBLE, 0));
        Splits s{static_cast<const double *>(PyArray_DATA(sums)), static_cast<const double *>(PyArray_DATA(squares)),
                 static_cast<const double *>(PyArray_DATA(shift)), blocks, trials, blocks / 2, count,
                 static_cast<double>(n), std::vector<double>(static_cast<std::size_t>(trials), 0.0),
                 std::vector<double>(static_cast<std::size_t>(trials), 0.0),
                 static_cast<double *>(PyArray_DATA(reinterpret_cast<PyArrayObject *>(out.get())))};
        for (std::int64_t b = 0; b < blocks; ++b)
            for (std::int64_t t = 0; t < trials; ++t) {
                s.total[t] = s.total[t] + s.sums[b * trials + t];
                s.total_square[t] = s.total_square[t] + s.squares[b * trials + t];
            }
        constexpr std::int64_t chunk = 256;
        std::int64_t first_half = count / 2, chunks = (first_half + chunk - 1) / chunk;
        std::atomic<std::int64_t> next{0};
        std::atomic<bool> failed{false};
        auto worker = [&] {
            try {
                for (std::int64_t k; (k = next.fetch_add(1)) < chunks;)
                    run_splits(s, k * chunk, std::min(first_half, (k + 1) * chunk));
            } catch (const std::bad_alloc &) {
                failed = true;
                next = chunks;
            }
        };
        Py_BEGIN_ALLOW_THREADS on_threads(std::max(threads, 1), chunks, worker);
        Py_END_ALLOW_THREADS
        if (failed) return PyErr_NoMemory();
        return out.release();
    });
}

}  // namespace vostra::engine
