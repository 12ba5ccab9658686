// Excursion metrics: MAE, MFE, best MFE before the worst point, drawdown,
// profit bars and return, sampled every window step and at the exit.
#include "metrics.hpp"
#include "lanes.hpp"

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

// Running values of the path at a bar: the value ratio, its running maximum
// (never below 1) and minimum (never above 1), the maximum as it stood when
// the minimum was last lowered, the deepest drawdown and the bars in profit.
// Comparisons are strict: ties keep the running value, and NaN never
// replaces one.
struct Path {
    double ratio, cummax, cummin, bmfe, mdd, profit;

    Group group() const { return Group{{cummin - 1, cummax - 1, bmfe - 1, mdd, profit, ratio - 1}}; }
};

// The last bar of a trade's analysed span: at least `window` bars past the
// entry, clipped to the data.
[[gnu::always_inline]] inline std::int64_t last_bar(const Grid &price, const Trade &t) {
    std::int64_t last = t.i_exit;
    if (t.i_entry + t.window > last) last = t.i_entry + t.window;
    return last >= price.rows ? price.rows - 1 : last;
}

// One trade's walk: its span and sampled offsets, known before the first
// bar, where its groups go, and the path as it stands between stretches of
// bars. A walk that does not complete fills with -1 the window places it did
// not reach.
struct Walk {
    const Trade &t;
    Sink sink;
    std::int64_t n = 0, i_exit_max = 0;
    std::uint64_t window_end = 0, exit_at = 0;
    std::int64_t next_window = -1;
    std::int64_t sampled_end = 0;
    bool inside = false;    // the whole span lies inside the close matrix
    const char *column = nullptr;
    Path path{};
    double pv = 0;          // the last close seen
    bool walked = false;

    Walk(const Grid &price, const Grid &close, const Trade &trade, double *out, std::int64_t size);
    Walk(const Walk &) = delete;
    Walk &operator=(const Walk &) = delete;
    ~Walk() {
        if (!walked && sink.out && sink.next_slot < sampled_end)
            sink.fill(sink.out + sink.next_slot, sink.out + sampled_end, -1.0);
    }

    void start(const Grid &price, const Grid &close);
    void finish(const Grid &price, const Grid &close);
    const char *bar_ptr(std::int64_t k, const Grid &close) const { return column + (t.i_entry + k) * close.row_stride; }
};

[[gnu::always_inline]] inline Walk::Walk(const Grid &price, const Grid &close, const Trade &trade, double *out, std::int64_t size)
    : t(trade), sink{out, size} {
    i_exit_max = last_bar(price, t);
    n = i_exit_max - t.i_entry + 1;
    if (n < 0) fault(Fault::negative_size);

    // Sampled offsets. Offsets compare as unsigned sizes, so a negative
    // window or step ends the sampling instead of walking backwards. A span
    // of no bar still reports its entry bar.
    std::uint64_t length = n > 0 ? static_cast<std::uint64_t>(n) : 1;
    window_end = std::min(static_cast<std::uint64_t>(t.window), length);
    exit_at = std::min(static_cast<std::uint64_t>(t.i_exit - t.i_entry), length - 1);
    next_window = window_end > 0 ? 0 : -1;

    // Window groups go straight into their places as they are sampled, so
    // only the places no sample reaches are filled with -1 beforehand (with
    // a large window, filling every place first would double the writes).
    // An array too small for its groups is filled whole, as the walk then
    // fails at its end.
    std::int64_t groups = window_end == 0 ? 0
                          : t.window_step > 0 ? static_cast<std::int64_t>((window_end - 1) / static_cast<std::uint64_t>(t.window_step)) + 1
                                              : 1;
    sampled_end = groups * 6 <= size - 6 ? groups * 6 : 0;
    if (out) sink.fill(out + sampled_end, out + size, -1.0);

    // When the whole span lies inside the close matrix the bars are read
    // without a check each; otherwise every read is checked, so a span that
    // leaves the data fails at the bar where it does.
    std::int64_t col = t.pid < 0 ? t.pid + close.cols : t.pid;
    inside = n > 1 && t.i_entry + 1 >= 0 && i_exit_max < close.rows && col >= 0 && col < close.cols;
    column = close.data + (inside ? col * close.col_stride : 0);
}

[[gnu::always_inline]] inline void sample(Walk &w, const Path &p, std::int64_t k, std::int64_t &next_window) {
    if (k == next_window || static_cast<std::uint64_t>(k) == w.exit_at) [[unlikely]]
        take_sample(w.sink, p.group(), k, next_window, w.exit_at, w.t.window_step, w.window_end);
}

// The entry bar: the ratio after the entry fill and fee, sampled at offset 0.
[[gnu::always_inline]] inline void Walk::start(const Grid &price, const Grid &close) {
    double entry_price = at(price, t.i_entry, t.pid);
    double entry_close = at(close, t.i_entry, t.pid);
    Path &p = path;
    p.ratio = t.is_long ? divide(entry_close, entry_price) : 2 - divide(entry_close, entry_price);
    if (t.entry_cost) p.ratio = p.ratio * (1 - t.fee_ratio);
    p.cummax = p.ratio < 1.0 ? 1.0 : p.ratio;
    p.cummin = p.ratio > 1.0 ? 1.0 : p.ratio;
    p.bmfe = p.cummax;
    p.mdd = p.ratio - 1 < 0 ? p.ratio - 1 : 0.0;
    p.profit = p.ratio > 1.0 ? 1.0 : 0.0;
    pv = entry_close;
    sample(*this, p, 0, next_window);
}

// Bars [k, end) of the walk, one at a time. The path is copied into locals
// for the stretch so that it stays in registers.
[[gnu::always_inline]] inline void walk_bars(Walk &w, const Grid &close, std::int64_t k, std::int64_t end) {
    const Trade &t = w.t;
    Path p = w.path;
    double pv = w.pv;
    std::int64_t next_window = w.next_window;
    for (; k < end; ++k) {
        double c;
        if (w.inside) {
            // Each bar of a column lies in a line of its own: asked for some
            // bars ahead, the lines arrive while the walk is on earlier bars.
            if (k + prefetch_bars < w.n) __builtin_prefetch(w.bar_ptr(k + prefetch_bars, close));
            std::memcpy(&c, w.bar_ptr(k, close), sizeof c);
        } else {
            c = at(close, t.i_entry + k, t.pid);
        }
        bool has_close = !std::isnan(c);
        if (has_close) {
            double v = divide(c, pv);
            pv = c;
            // A missing previous close leaves the ratio where it was.
            double next = t.is_long ? p.ratio * v : 2 - v * (2 - p.ratio);
            p.ratio = std::isnan(v) ? p.ratio : next;
        }
        // The running values are updated without branches: a random walk
        // makes new extremes too often for a branch to be predicted.
        double previous_max = p.cummax;
        p.cummax = p.ratio > p.cummax ? p.ratio : p.cummax;
        bool lower = p.ratio < p.cummin;
        p.bmfe = lower ? previous_max : p.bmfe;
        p.cummin = lower ? p.ratio : p.cummin;
        // The maximum is at least 1 (or NaN), never 0. A ratio at or above
        // it gives a drawdown of 0 (or NaN), never below `mdd`, so the
        // quotient may be taken on every bar.
        double newmdd = p.ratio / p.cummax - 1;
        p.mdd = p.mdd > newmdd ? newmdd : p.mdd;
        p.profit = p.profit + (has_close && p.ratio > 1.0 ? 1.0 : 0.0);
        sample(w, p, k, next_window);
    }
    w.path = p;
    w.pv = pv;
    w.next_window = next_window;
}

// After the last bar: the exit costs, then the exit group.
[[gnu::always_inline]] inline void Walk::finish(const Grid &price, const Grid &close) {
    walked = true;
    std::int64_t ith = n > 1 ? i_exit_max : t.i_entry;  // the last bar walked
    if (t.exit_cost) {
        // The last bar of the span is revalued from its close to its trade
        // price and pays fee and tax; only its return changes.
        double last = path.ratio;
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
        if (sampled && sink.out && !sink.outside) {
            std::uint64_t g = last_at == 0 ? 0 : last_at / static_cast<std::uint64_t>(t.window_step);
            if (double *p = sink.slot(static_cast<std::int64_t>(g) * 6)) sink.store_one(p + 5, last - 1);
        }
        if (exit_at == last_at) sink.exit.values[5] = last - 1;
    }
    if (!sink.out) return;
    if (!sink.outside)
        if (double *p = sink.slot(sink.size - 6)) sink.store(p, sink.exit);
    if (sink.outside) fault(Fault::buffer_index);
}

}  // namespace

void excursions(const Grid &price, const Grid &close, const Trade &t, double *out, std::int64_t size) {
    Walk w(price, close, t, out, size);
    w.start(price, close);
    walk_bars(w, close, 1, w.n);
    w.finish(price, close);
}

#if defined(__SSE2__)
namespace {

// The paths of two walks in the two lanes of SSE2 registers.
struct Lanes {
    __m128d ratio, cummax, cummin, bmfe, mdd, profit, pv;

    Lanes(const Walk &a, const Walk &b)
        : ratio(_mm_set_pd(b.path.ratio, a.path.ratio)), cummax(_mm_set_pd(b.path.cummax, a.path.cummax)),
          cummin(_mm_set_pd(b.path.cummin, a.path.cummin)), bmfe(_mm_set_pd(b.path.bmfe, a.path.bmfe)),
          mdd(_mm_set_pd(b.path.mdd, a.path.mdd)), profit(_mm_set_pd(b.path.profit, a.path.profit)),
          pv(_mm_set_pd(b.pv, a.pv)) {}

    // The path of lane `lane` (0 or 1).
    Path path(int lane) const {
        double r[2], x[2], n[2], b[2], m[2], p[2];
        _mm_storeu_pd(r, ratio);
        _mm_storeu_pd(x, cummax);
        _mm_storeu_pd(n, cummin);
        _mm_storeu_pd(b, bmfe);
        _mm_storeu_pd(m, mdd);
        _mm_storeu_pd(p, profit);
        return Path{r[lane], x[lane], n[lane], b[lane], m[lane], p[lane]};
    }
    // The group of lane `lane`, both lanes' values taken at once.
    Group group(int lane) const {
        const __m128d one = _mm_set1_pd(1.0);
        __m128d low = _mm_sub_pd(cummin, one), high = _mm_sub_pd(cummax, one);
        __m128d best = _mm_sub_pd(bmfe, one), last = _mm_sub_pd(ratio, one);
        Group g;
        if (lane == 0) {
            _mm_storeu_pd(g.values, _mm_unpacklo_pd(low, high));
            _mm_storeu_pd(g.values + 2, _mm_unpacklo_pd(best, mdd));
            _mm_storeu_pd(g.values + 4, _mm_unpacklo_pd(profit, last));
        } else {
            _mm_storeu_pd(g.values, _mm_unpackhi_pd(low, high));
            _mm_storeu_pd(g.values + 2, _mm_unpackhi_pd(best, mdd));
            _mm_storeu_pd(g.values + 4, _mm_unpackhi_pd(profit, last));
        }
        return g;
    }
    double last_close(int lane) const {
        double v[2];
        _mm_storeu_pd(v, pv);
        return v[lane];
    }
};

using kernel::pick;

// Bars [1, end) of two walks at once, each lane doing the operations of
// walk_bars in the same order, so each lane gets the bits of its walk taken
// alone. Returns false, with the lanes left mid-walk, at a bar where a lane
// would divide by a zero close: the caller then walks both alone, which
// raises the fault where it belongs.
bool walk_pair(Walk &a, Walk &b, const Grid &close, std::int64_t end) {
    Lanes l(a, b);
    const __m128d one = _mm_set1_pd(1.0), two = _mm_set1_pd(2.0), zero = _mm_setzero_pd();
    const __m128d is_long = _mm_castsi128_pd(_mm_set_epi64x(b.t.is_long ? -1 : 0, a.t.is_long ? -1 : 0));
    std::int64_t next_a = a.next_window, next_b = b.next_window;
    for (std::int64_t k = 1; k < end; ++k) {
        if (k + prefetch_bars < a.n) __builtin_prefetch(a.bar_ptr(k + prefetch_bars, close));
        if (k + prefetch_bars < b.n) __builtin_prefetch(b.bar_ptr(k + prefetch_bars, close));
        double ca, cb;
        std::memcpy(&ca, a.bar_ptr(k, close), sizeof ca);
        std::memcpy(&cb, b.bar_ptr(k, close), sizeof cb);
        __m128d c = _mm_set_pd(cb, ca);
        __m128d has_close = _mm_cmpord_pd(c, c);
        if (_mm_movemask_pd(_mm_and_pd(has_close, _mm_cmpeq_pd(l.pv, zero)))) [[unlikely]]
            return false;
        __m128d v = _mm_div_pd(c, l.pv);
        l.pv = pick(has_close, c, l.pv);
        __m128d next = pick(is_long, _mm_mul_pd(l.ratio, v), _mm_sub_pd(two, _mm_mul_pd(v, _mm_sub_pd(two, l.ratio))));
        l.ratio = pick(_mm_and_pd(has_close, _mm_cmpord_pd(v, v)), next, l.ratio);
        __m128d previous_max = l.cummax;
        l.cummax = pick(_mm_cmpgt_pd(l.ratio, l.cummax), l.ratio, l.cummax);
        __m128d lower = _mm_cmplt_pd(l.ratio, l.cummin);
        l.bmfe = pick(lower, previous_max, l.bmfe);
        l.cummin = pick(lower, l.ratio, l.cummin);
        __m128d newmdd = _mm_sub_pd(_mm_div_pd(l.ratio, l.cummax), one);
        l.mdd = pick(_mm_cmpgt_pd(l.mdd, newmdd), newmdd, l.mdd);
        l.profit = _mm_add_pd(l.profit, _mm_and_pd(_mm_and_pd(has_close, _mm_cmpgt_pd(l.ratio, one)), one));
        if (k == next_a || static_cast<std::uint64_t>(k) == a.exit_at) [[unlikely]]
            take_sample(a.sink, l.group(0), k, next_a, a.exit_at, a.t.window_step, a.window_end);
        if (k == next_b || static_cast<std::uint64_t>(k) == b.exit_at) [[unlikely]]
            take_sample(b.sink, l.group(1), k, next_b, b.exit_at, b.t.window_step, b.window_end);
    }
    a.path = l.path(0);
    b.path = l.path(1);
    a.pv = l.last_close(0);
    b.pv = l.last_close(1);
    a.next_window = next_a;
    b.next_window = next_b;
    return true;
}

}  // namespace
#endif

// Out of line: inlined into the ledger's close_row, its loops' register
// allocation shifted with unrelated changes elsewhere in the module (10 %
// more instructions in them in one build).
[[gnu::noinline]] bool excursions_pair(const Grid &price, const Grid &close, const Trade &ta, double *out_a, const Trade &tb,
                     double *out_b, std::int64_t size) {
#if defined(__SSE2__)
    // Short walks gain less from the lanes than setting them up costs.
    constexpr std::int64_t fewest_bars = 8;
    if (last_bar(price, ta) - ta.i_entry < fewest_bars || last_bar(price, tb) - tb.i_entry < fewest_bars) return false;
    try {
        Walk a(price, close, ta, out_a, size), b(price, close, tb, out_b, size);
        if (!a.inside || !b.inside) return false;
        a.start(price, close);
        b.start(price, close);
        std::int64_t both = std::min(a.n, b.n);
        if (!walk_pair(a, b, close, both)) return false;
        walk_bars(a, close, both, a.n);
        walk_bars(b, close, both, b.n);
        a.finish(price, close);
        b.finish(price, close);
        return true;
    } catch (const Fault &) {
        return false;
    }
#else
    (void)price, (void)close, (void)ta, (void)out_a, (void)tb, (void)out_b, (void)size;
    return false;
#endif
}

std::int64_t array_size(std::int64_t window, std::int64_t step) {
    if (step == 0) fault(Fault::zero_division);
    std::int64_t a = window - 1;
    std::int64_t q = a / step;
    if (a % step != 0 && ((a < 0) != (step < 0))) --q;  // floor division
    return q * 6 + 12;
}

}  // namespace vostra::metrics
