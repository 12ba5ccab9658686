// Excursion metrics: MAE, MFE, best MFE before the worst point, drawdown,
// profit bars and return, sampled every window step and at the exit.
#include "metrics.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace vostra::metrics {

namespace {

[[noreturn, gnu::noinline, gnu::cold]] void fault(Fault::Kind kind, std::int64_t subscript = 0, std::int64_t size = 0) {
    throw Fault{kind, subscript, size};
}

// grid[row][col] with the indexing rules of a NumPy array: negative
// subscripts count from the end, out-of-range ones fault.
[[gnu::always_inline]] inline double at(const Grid &g, std::int64_t row, std::int64_t col) {
    std::int64_t r = row < 0 ? row + g.rows : row;
    if (r < 0 || r >= g.rows) [[unlikely]]
        fault(Fault::out_of_range, row, g.rows);
    std::int64_t c = col < 0 ? col + g.cols : col;
    if (c < 0 || c >= g.cols) [[unlikely]]
        fault(Fault::out_of_range, col, g.cols);
    double v;
    std::memcpy(&v, g.data + r * g.row_stride + c * g.col_stride, sizeof v);
    return v;
}

[[gnu::always_inline]] inline double divide(double a, double b) {
    if (b == 0) [[unlikely]]
        fault(Fault::zero_division);
    return a / b;
}

struct Group {
    double values[6];
};

constexpr std::int64_t prefetch_bars = 40;

// Where the groups of one trade go: window groups straight into the array
// as they are sampled, the exit group kept until the walk ends. A group
// outside the array is remembered, not raised, so a fault of the walk
// itself still wins.
struct Sink {
    double *out;
    std::int64_t size;
    std::int64_t next_slot = 0;  // position of the next window group
    bool outside = false;
    Group exit{};
    // A long window fills more memory than the caches hold: its groups are
    // streamed past them, which saves reading every line before writing it.
    bool stream = size >= streamed_size;

    static constexpr std::int64_t streamed_size = 512;

    double *slot(std::int64_t at) {
        std::int64_t i = at < 0 ? at + size : at;
        if (i < 0 || i + 5 >= size) {
            outside = true;
            return nullptr;
        }
        return out + i;
    }
    void window_group(const Group &g) {
        if (out && !outside)
            if (double *p = slot(next_slot)) store(p, g);
        next_slot += 6;
    }
    void store(double *p, const Group &g) {
#if defined(__SSE2__)
        if (stream && reinterpret_cast<std::uintptr_t>(p) % 16 == 0) {
            for (int i = 0; i < 6; i += 2) _mm_stream_pd(p + i, _mm_loadu_pd(g.values + i));
            return;
        }
#endif
        std::memcpy(p, g.values, sizeof g.values);
    }
    // The places of a streamed array are all written past the caches: a
    // line streamed and then written again through the cache would be
    // fetched back from memory in between.
    void fill(double *from, double *to, double v) {
#if defined(__SSE2__)
        if (stream) {
            for (; from < to && reinterpret_cast<std::uintptr_t>(from) % 16 != 0; ++from) store_one(from, v);
            for (; from + 2 <= to; from += 2) _mm_stream_pd(from, _mm_set1_pd(v));
        }
#endif
        std::fill(from, to, v);
    }
    void store_one(double *p, double v) {
#if defined(__SSE2__) && defined(__x86_64__)
        if (stream) {
            long long bits;
            std::memcpy(&bits, &v, sizeof bits);
            _mm_stream_si64(reinterpret_cast<long long *>(p), bits);
            return;
        }
#endif
        *p = v;
    }
    // Streamed stores are ordered before whatever follows the walk.
    ~Sink() {
#if defined(__SSE2__)
        if (stream) _mm_sfence();
#endif
    }
};

// Fills with -1 the window places [next_slot, end) that a failed walk did
// not reach.
struct UnreachedPlaces {
    Sink &sink;
    std::int64_t end;
    bool walked = false;
    ~UnreachedPlaces() {
        if (!walked && sink.out && sink.next_slot < end) sink.fill(sink.out + sink.next_slot, sink.out + end, -1.0);
    }
};

// Stores the group of bar offset k as a window group and/or the exit group,
// and moves the next window offset on.
[[gnu::always_inline]] inline void take_sample(Sink &sink, const Group &g, std::int64_t k, std::int64_t &next_window,
                                   std::uint64_t exit_at, std::int64_t step, std::uint64_t window_end) {
    if (k == next_window) {
        sink.window_group(g);
        next_window = step > 0 && static_cast<std::uint64_t>(k + step) < window_end ? k + step : -1;
    }
    if (static_cast<std::uint64_t>(k) == exit_at) sink.exit = g;
}

}  // namespace

void excursions(const Grid &price, const Grid &close, const Trade &t, double *out, std::int64_t size) {
    std::int64_t i_exit_max = t.i_exit;
    if (t.i_entry + t.window > i_exit_max) i_exit_max = t.i_entry + t.window;
    if (i_exit_max >= price.rows) i_exit_max = price.rows - 1;
    std::int64_t n = i_exit_max - t.i_entry + 1;
    if (n < 0) fault(Fault::negative_size);
    Sink sink{out, size};

    // Sampled offsets, known before the walk. Offsets compare as unsigned
    // sizes, so a negative window or step ends the sampling instead of
    // walking backwards. A span of no bar still reports its entry bar.
    std::uint64_t length = n > 0 ? static_cast<std::uint64_t>(n) : 1;
    std::uint64_t window_end = std::min(static_cast<std::uint64_t>(t.window), length);
    std::uint64_t exit_at = std::min(static_cast<std::uint64_t>(t.i_exit - t.i_entry), length - 1);
    std::int64_t next_window = window_end > 0 ? 0 : -1;

    // Window groups go straight into their places as they are sampled, so
    // only the places no sample reaches are filled with -1 beforehand (with
    // a large window, filling every place first would double the writes).
    // An array too small for its groups is filled whole, as the walk then
    // fails at its end; a walk that fails fills the places it did not reach.
    std::int64_t groups = window_end == 0 ? 0
                          : t.window_step > 0 ? static_cast<std::int64_t>((window_end - 1) / static_cast<std::uint64_t>(t.window_step)) + 1
                                              : 1;
    std::int64_t sampled_end = groups * 6 <= size - 6 ? groups * 6 : 0;
    if (out) sink.fill(out + sampled_end, out + size, -1.0);
    UnreachedPlaces unreached{sink, sampled_end};

    // Running values of the path at the current bar k: the value ratio, its
    // running maximum (never below 1) and minimum (never above 1), the
    // maximum as it stood when the minimum was last lowered, the deepest
    // drawdown and the bars in profit. Comparisons are strict: ties keep the
    // running value, and NaN never replaces one.
    double ratio, cummax, cummin, bmfe, mdd, profit;
    // Sampling is rare next to the bars walked: the values are handed over
    // by value, and only when bar k is sampled, so the walk keeps them in
    // registers (a lambda capturing them would pin them to memory).
#define VOSTRA_SAMPLE(k)                                                                                         \
    if ((k) == next_window || static_cast<std::uint64_t>(k) == exit_at) [[unlikely]]                             \
        take_sample(sink, Group{{cummin - 1, cummax - 1, bmfe - 1, mdd, profit, ratio - 1}}, (k), next_window,  \
                    exit_at, t.window_step, window_end)

    double entry_price = at(price, t.i_entry, t.pid);
    double entry_close = at(close, t.i_entry, t.pid);
    ratio = t.is_long ? divide(entry_close, entry_price) : 2 - divide(entry_close, entry_price);
    if (t.entry_cost) ratio = ratio * (1 - t.fee_ratio);
    cummax = ratio < 1.0 ? 1.0 : ratio;
    cummin = ratio > 1.0 ? 1.0 : ratio;
    bmfe = cummax;
    mdd = ratio - 1 < 0 ? ratio - 1 : 0.0;
    profit = ratio > 1.0 ? 1.0 : 0.0;
    double pv = entry_close;
    VOSTRA_SAMPLE(0);

    // When the whole span lies inside the close matrix the bars are read
    // without a check each; otherwise every read is checked, so a span that
    // leaves the data fails at the bar where it does.
    std::int64_t col = t.pid < 0 ? t.pid + close.cols : t.pid;
    bool inside = n > 1 && t.i_entry + 1 >= 0 && i_exit_max < close.rows && col >= 0 && col < close.cols;
    const char *column = close.data + (inside ? col * close.col_stride : 0);
    std::int64_t ith = t.i_entry;
    for (std::int64_t k = 1; k < n; ++k) {
        ith = t.i_entry + k;
        double c;
        if (inside) {
            // Each bar of a column lies in a line of its own: asked for some
            // bars ahead, the lines arrive while the walk is on earlier bars.
            if (k + prefetch_bars < n) __builtin_prefetch(column + (ith + prefetch_bars) * close.row_stride);
            std::memcpy(&c, column + ith * close.row_stride, sizeof c);
        } else
            c = at(close, ith, t.pid);
        bool has_close = !std::isnan(c);
        if (has_close) {
            double v = divide(c, pv);
            pv = c;
            // A missing previous close leaves the ratio where it was.
            double next = t.is_long ? ratio * v : 2 - v * (2 - ratio);
            ratio = std::isnan(v) ? ratio : next;
        }
        // The running values are updated without branches: a random walk
        // makes new extremes too often for a branch to be predicted.
        double previous_max = cummax;
        cummax = ratio > cummax ? ratio : cummax;
        bool lower = ratio < cummin;
        bmfe = lower ? previous_max : bmfe;
        cummin = lower ? ratio : cummin;
        // The maximum is at least 1 (or NaN), never 0. A ratio at or above
        // it gives a drawdown of 0 (or NaN), never below `mdd`, so the
        // quotient may be taken on every bar.
        double newmdd = ratio / cummax - 1;
        mdd = mdd > newmdd ? newmdd : mdd;
        profit = profit + (has_close && ratio > 1.0 ? 1.0 : 0.0);
        VOSTRA_SAMPLE(k);
    }
#undef VOSTRA_SAMPLE
    unreached.walked = true;

    if (t.exit_cost) {
        // The last bar of the span is revalued from its close to its trade
        // price and pays fee and tax; only its return changes.
        double last = ratio;
        if (t.i_entry != i_exit_max) {
            if (n == 0) fault(Fault::unbound_exit_bar);  // no bar after the entry to revalue
            double trade = at(price, ith, t.pid);
            double c = at(close, ith, t.pid);
            last = t.is_long ? last * divide(trade, c) : 2 - divide((2 - last) * trade, c);
        }
        last = last * (1 - t.fee_ratio - t.tax_ratio);
        std::uint64_t last_at = static_cast<std::uint64_t>(n - 1);
        // The window group sampled at the last bar, if any, was written at
        // position 6 * (last_at / step).
        bool sampled = window_end > 0 &&
                       (last_at == 0 || (t.window_step > 0 && last_at % static_cast<std::uint64_t>(t.window_step) == 0 &&
                                         last_at < window_end));
        if (sampled && out && !sink.outside) {
            std::uint64_t g = last_at == 0 ? 0 : last_at / static_cast<std::uint64_t>(t.window_step);
            if (double *p = sink.slot(static_cast<std::int64_t>(g) * 6)) sink.store_one(p + 5, last - 1);
        }
        if (exit_at == last_at) sink.exit.values[5] = last - 1;
    }
    if (!out) return;
    if (!sink.outside)
        if (double *p = sink.slot(size - 6)) sink.store(p, sink.exit);
    if (sink.outside) fault(Fault::buffer_index);
}

std::int64_t array_size(std::int64_t window, std::int64_t step) {
    if (step == 0) fault(Fault::zero_division);
    std::int64_t a = window - 1;
    std::int64_t q = a / step;
    if (a % step != 0 && ((a < 0) != (step < 0))) --q;  // floor division
    return q * 6 + 12;
}

}  // namespace vostra::metrics
