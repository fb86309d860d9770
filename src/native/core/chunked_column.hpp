// A growing column of a run's results kept in fixed-size chunks: no
// reallocation while it grows (so no copy and no slack of up to its own
// size), and handed over chunk by chunk, each given back to the system once
// copied, so that a run's peak memory is its results plus one chunk.
#pragma once

#include <cstddef>
#include <cstring>
#include <new>
#include <vector>

#if defined(__unix__) || defined(__APPLE__)
#include <sys/mman.h>
#endif

namespace core {

namespace detail {

// Chunks are mapped pages of their own where the system has them: the heap
// would keep a freed chunk for reuse, and the pages would stay resident
// while the results are copied out.
inline void *allocate_chunk(std::size_t bytes) {
#if defined(__unix__) || defined(__APPLE__)
    void *pages = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (pages == MAP_FAILED) throw std::bad_alloc();
    return pages;
#else
    return ::operator new(bytes);
#endif
}

inline void free_chunk(void *chunk, std::size_t bytes) noexcept {
#if defined(__unix__) || defined(__APPLE__)
    munmap(chunk, bytes);
#else
    (void)bytes;
    ::operator delete(chunk);
#endif
}

}  // namespace detail

template <class T>
class chunked_column {
public:
    // `group` values always lie together (an excursion record); a chunk
    // holds a whole number of groups, and about 256 KiB at least.
    explicit chunked_column(std::size_t group = 1)
        : chunk_(group * ((chunk_bytes / sizeof(T) + group - 1) / group)) {}
    chunked_column(const chunked_column &) = delete;
    chunked_column &operator=(const chunked_column &) = delete;
    chunked_column(chunked_column &&other) noexcept { take(other); }
    chunked_column &operator=(chunked_column &&other) noexcept {
        if (this != &other) {
            release();
            take(other);
        }
        return *this;
    }
    ~chunked_column() { release(); }

    std::size_t size() const { return size_; }

    void push_back(T value) { *extend(1) = value; }

    // `count` (at most a group) consecutive new slots, left to the caller to fill.
    T *extend(std::size_t count) {
        if (chunks_.empty() || used_ + count > chunk_) {
            chunks_.reserve(chunks_.size() + 1);  // so that the push below cannot fail
            chunks_.push_back(static_cast<T *>(detail::allocate_chunk(chunk_ * sizeof(T))));
            used_ = 0;
        }
        T *slots = chunks_.back() + used_;
        used_ += count;
        size_ += count;
        return slots;
    }
    // Takes back the last `count` slots of the latest extend.
    void unextend(std::size_t count) {
        used_ -= count;
        size_ -= count;
    }

    // Copies every value, in order, to `out`, giving back each chunk once copied.
    void move_to(T *out) {
        std::size_t left = size_;
        for (T *&chunk : chunks_) {
            const std::size_t count = left < chunk_ ? left : chunk_;
            if (count > 0) std::memcpy(out, chunk, count * sizeof(T));
            out += count;
            left -= count;
            detail::free_chunk(chunk, chunk_ * sizeof(T));
            chunk = nullptr;
        }
        chunks_.clear();
        size_ = used_ = 0;
    }

private:
    static constexpr std::size_t chunk_bytes = 256 * 1024;

    void take(chunked_column &other) noexcept {
        chunk_ = other.chunk_;
        chunks_ = std::move(other.chunks_);
        used_ = other.used_;
        size_ = other.size_;
        other.chunks_.clear();
        other.used_ = other.size_ = 0;
    }
    void release() noexcept {
        for (T *chunk : chunks_) {
            if (chunk != nullptr) detail::free_chunk(chunk, chunk_ * sizeof(T));
        }
        chunks_.clear();
    }

    std::size_t chunk_ = 0;
    std::vector<T *> chunks_;
    std::size_t used_ = 0;  // slots used in the last chunk
    std::size_t size_ = 0;
};

}  // namespace core
