// Where a stretch of bars walked at once may start and where it ends: the
// signal row in force, the next rebalance or delisting, or the longest
// stretch the scratch memory allows.
#pragma once
#include "exits.hpp"

namespace vostra::kernel::detail {

// The signal row in force after bar d, from row `pos_id`: a row comes into
// force at the last bar strictly before the next bar's timestamp; on the
// last bar every later row qualifies.
inline index_t next_signal_row(const Run &run, index_t d, index_t pos_id) {
    const auto &dates = run.in.price_dates;
    bool last = d == dates.size - 1;
    std::int64_t next_bar = last ? 0 : dates[d + 1];
    const auto &pos_dates = run.in.pos_dates;
    while (pos_id < pos_dates.size - 1 && (last || pos_dates.at(pos_id + 1) < next_bar)) ++pos_id;
    return pos_id;
}

// Longest stretch walked at once, which bounds its scratch memory; the next
// bar starts another.
constexpr index_t max_stretch = 512;

// Whether bar d (after the warm-up) may start a quiet stretch.
inline bool quiet_bar(const Run &run, index_t d) {
    return !run.should_rebalance && run.exit_stocks.empty() && !run.delisting_at[d] && !run.pos.keys().empty() &&
           run.waiting.empty();
}

// Where the stretch from bar d ends (one past its last bar), with the signal
// row and the rebalance flag after its last bar.
struct StretchEnd {
    index_t end, pos_id;
    bool should_rebalance;
};

inline StretchEnd stretch_end(const Run &run, index_t d) {
    index_t nbars = run.in.price_dates.size, pos_id = run.pos_id;
    for (index_t b = d;; ++b) {
        pos_id = next_signal_row(run, b, pos_id);
        bool rebalance = pos_id != run.current_position_id && run.date_rebalance[b] != 0;
        if (rebalance || b + 1 == nbars || run.delisting_at[b + 1] || b + 1 - d == max_stretch)
            return {b + 1, pos_id, rebalance};
    }
}

// Whether bar d (after the warm-up) may start a stretch under the market's
// rules: as a quiet bar, but orders may wait.
inline bool stretch_may_start(const Run &run, index_t d) {
    // While a purchase may meet a waiting cover, the bar loop takes the
    // bars: the purchase reads what the cover still needs.
    return !run.should_rebalance && run.exit_stocks.empty() && !run.delisting_at[d] && !run.pos.keys().empty() &&
           !account::purchase_may_meet_cover(run);
}

}  // namespace vostra::kernel::detail
