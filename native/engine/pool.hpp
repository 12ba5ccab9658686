// Memory of the ledger's buffers kept from one run for the next, and the
// growable buffer that takes its memory from there.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdlib>
#include <new>
#include <type_traits>

namespace vostra::engine {

// Memory of ledger buffers that a run no longer needs (its trade rows, or
// excursions whose array has been freed), kept by kind for the next runs:
// writing a large ledger into fresh pages costs more in page faults than
// the walk that fills it. Bounded in bytes; thread-safe.
enum class Pool : int { excursions, rows, columns8, columns1 };
struct Block {
    void *data;
    std::size_t bytes;
    Pool pool;
};
Block take_block(Pool pool, std::size_t at_least);
void give_block(Block b);

// A growable buffer of plain values that is neither zeroed nor copied as it
// grows (realloc moves large blocks by remapping them), whose memory comes
// from and goes back to the pool, or is handed to the array that returns it.
template <class T>
class Pooled {
    static_assert(std::is_trivially_copyable_v<T>);

public:
    explicit Pooled(Pool pool) : pool_(pool) {}
    Pooled(const Pooled &) = delete;
    Pooled &operator=(const Pooled &) = delete;
    ~Pooled() { give_block(release()); }

    // Room for `n` more values at the end; returns where they start.
    T *extend(std::size_t n) {
        if (size_ + n > capacity_) [[unlikely]]
            grow(size_ + n);
        T *at = data_ + size_;
        size_ += n;
        return at;
    }
    void push_back(const T &v) { *extend(1) = v; }
    // Room for `n` values in all; returns the capacity. Values written past
    // the size count once set_size takes them.
    std::size_t reserve(std::size_t n) {
        if (n > capacity_) grow(n);
        return capacity_;
    }
    void set_size(std::size_t n) { size_ = n < capacity_ ? n : capacity_; }
    std::size_t size() const { return size_; }
    T *data() const { return data_; }
    T &operator[](std::size_t i) { return data_[i]; }
    const T &operator[](std::size_t i) const { return data_[i]; }
    T *begin() const { return data_; }
    T *end() const { return data_ + size_; }
    // Gives up the memory (the caller returns it with give_block).
    Block release() {
        Block b{data_, capacity_ * sizeof(T), pool_};
        data_ = nullptr;
        size_ = capacity_ = 0;
        return b;
    }

private:
    void grow(std::size_t needed) {
        if (!data_) {
            Block b = take_block(pool_, needed * sizeof(T));
            data_ = static_cast<T *>(b.data);
            capacity_ = b.bytes / sizeof(T);
            if (needed <= capacity_) return;
        }
        std::size_t capacity = std::max<std::size_t>({needed, capacity_ * 2, 1024});
        void *p = std::realloc(data_, capacity * sizeof(T));
        if (!p) throw std::bad_alloc();
        data_ = static_cast<T *>(p);
        capacity_ = capacity;
    }

    T *data_ = nullptr;
    std::size_t size_ = 0, capacity_ = 0;
    Pool pool_;
};

}  // namespace vostra::engine
