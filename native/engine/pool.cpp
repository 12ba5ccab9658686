// The pool of the ledger's buffers: blocks given back by finished runs and
// arrays, taken by the next runs, bounded in bytes and guarded by a lock.
#include "pool.hpp"

#include <mutex>
#include <vector>

namespace vostra::engine {

namespace {

std::mutex pool_mutex;
std::vector<Block> &pool = *new std::vector<Block>;  // never destroyed: arrays may outlive static destruction
std::size_t pool_bytes = 0;
constexpr std::size_t max_pool_bytes = std::size_t(256) << 20;

}  // namespace

Block take_block(Pool kind, std::size_t at_least) {
    std::lock_guard<std::mutex> lock(pool_mutex);
    auto best = pool.end();
    for (auto it = pool.begin(); it != pool.end(); ++it)
        if (it->pool == kind && (best == pool.end() || it->bytes > best->bytes)) best = it;
    if (best == pool.end() || best->bytes < at_least / 4) return {nullptr, 0, kind};
    Block b = *best;
    pool.erase(best);
    pool_bytes -= b.bytes;
    return b;
}

void give_block(Block b) {
    if (!b.data) return;
    {
        std::lock_guard<std::mutex> lock(pool_mutex);
        if (pool_bytes + b.bytes <= max_pool_bytes) {
            pool.push_back(b);
            pool_bytes += b.bytes;
            return;
        }
    }
    std::free(b.data);
}

}  // namespace vostra::engine
