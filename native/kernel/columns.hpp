// Column mapping between the signal and price matrices, from the labels'
// bytes (the last duplicate price label wins).
#pragma once
#include "market.hpp"

#include <map>

namespace vostra::kernel {

// Signal column -> price column, -1 where a label has no price column.
struct ColumnMap {
    std::vector<int> price_of;  // by stock id
    std::map<int, int> as_map() const {
        std::map<int, int> m;
        for (std::size_t sid = 0; sid < price_of.size(); ++sid)
            if (price_of[sid] >= 0) m.emplace_hint(m.end(), static_cast<int>(sid), price_of[sid]);
        return m;
    }
    // The price column of a stock that may be held. The checks before a run
    // keep stocks without prices out of every position.
    int column(int sid) const {
        int c = static_cast<std::size_t>(sid) < price_of.size() ? price_of[sid] : -1;
        if (c < 0) [[unlikely]]
            throw Unmapped{sid};
        return c;
    }
};

ColumnMap map_columns(const Labels &price_labels, const Labels &pos_labels);

}  // namespace vostra::kernel
