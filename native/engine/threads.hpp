#pragma once
// Work shared among threads, the calling one included.

#include <cstdint>
#include <system_error>
#include <thread>
#include <vector>

namespace vostra::engine {

// Runs worker() on this thread and on up to threads - 1 more, no more threads
// than `useful`. Each worker takes its share from a counter of its own, so a
// thread the system refuses leaves its share to the others.
template <class Worker>
void on_threads(int threads, std::int64_t useful, Worker &&worker) {
    std::vector<std::thread> pool;
    for (int t = 1; t < threads && t < useful; ++t) {
        try {
            pool.emplace_back(worker);
        } catch (const std::system_error &) {
            break;  // fewer threads than asked: the others do the work
        }
    }
    worker();
    for (auto &t : pool) t.join();
}

}  // namespace vostra::engine
