// The position map: stock id -> signed position value, iterated in ascending
// id. Stored densely by id with a sorted key list, so a bar touches only the
// held stocks and a lookup never inserts.
#pragma once
#include "fault.hpp"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <map>
#include <vector>

namespace vostra::kernel {

class PositionMap {
public:
    explicit PositionMap(int nstocks = 0) : value_(nstocks, 0.0), present_(nstocks, 0) {}

    bool contains(int sid) const { return in_range(sid) && present_[sid]; }
    double operator[](int sid) const { return value_[sid]; }  // only for contained ids
    double &value(int sid) { return value_[sid]; }             // only for contained ids
    void set(int sid, double v) {
        grow(sid);
        if (!present_[sid]) {
            present_[sid] = 1;
            // A new id between held ones (an order that goes on filling
            // opens it) costs O(held) here, not a scan of every stock on
            // the next iteration. While deferred, the rebuild places it.
            if (!dirty_ && (keys_.empty() || keys_.back() < sid))
                keys_.push_back(sid);
            else if (!dirty_)
                keys_.insert(std::upper_bound(keys_.begin(), keys_.end(), sid), sid);
        }
        value_[sid] = v;
    }
    // Many ids are about to be set and erased (a rebalance): the key list
    // is rebuilt once afterwards, by rebuild_from or the next iteration,
    // instead of kept in order through each change.
    void defer() { dirty_ = true; }
    void erase(int sid) {
        if (!contains(sid)) return;
        present_[sid] = 0;
        value_[sid] = 0.0;
        // An exit between rebalances costs O(held), not O(signal columns).
        if (!dirty_) keys_.erase(std::lower_bound(keys_.begin(), keys_.end(), sid));
    }
    // Held ids in ascending order. Valid until the next insertion or removal.
    const std::vector<int> &keys() const {
        if (dirty_) rebuild();
        return keys_;
    }
    // Marks the key list current from `candidates` (ascending), which must
    // hold every present id: a rebalance knows the few ids it may have
    // touched, and so need not scan every stock's flag.
    void rebuild_from(const std::vector<int> &candidates) {
        keys_.clear();
        for (int sid : candidates)
            if (contains(sid)) keys_.push_back(sid);
        dirty_ = false;
    }
    std::map<int, double> to_map() const {
        std::map<int, double> m;
        for (int sid : keys()) m.emplace_hint(m.end(), sid, value_[sid]);
        return m;
    }

private:
    bool in_range(int sid) const { return sid >= 0 && static_cast<std::size_t>(sid) < present_.size(); }
    void grow(int sid) {
        if (sid < 0) buffer_index_fault(0);
        if (static_cast<std::size_t>(sid) >= present_.size()) {
            value_.resize(sid + 1, 0.0);
            present_.resize(sid + 1, 0);
        }
    }
    void rebuild() const {
        keys_.clear();
        for (std::size_t i = 0; i < present_.size(); ++i)
            if (present_[i]) keys_.push_back(static_cast<int>(i));
        dirty_ = false;
    }

    std::vector<double> value_;
    std::vector<std::uint8_t> present_;
    mutable std::vector<int> keys_;
    mutable bool dirty_ = false;
};

}  // namespace vostra::kernel
