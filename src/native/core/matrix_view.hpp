// Read-only strided views of the arrays a run reads, with no host in sight:
// a run may read them with the interpreter lock released. Indices are in
// range by construction (the entry checks the shapes before the run).
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace core {

template <class T>
struct vector_view {
    const char *data = nullptr;
    std::ptrdiff_t size = 0;
    std::ptrdiff_t stride = sizeof(T);  // bytes

    T operator[](std::ptrdiff_t i) const {
        T value;
        std::memcpy(&value, data + i * stride, sizeof value);
        return value;
    }
};

struct matrix_view {
    const char *data = nullptr;
    std::ptrdiff_t rows = 0, columns = 0;
    std::ptrdiff_t row_stride = 0, column_stride = 0;  // bytes

    double at(std::ptrdiff_t row, std::ptrdiff_t column) const {
        double value;
        std::memcpy(&value, address(row, column), sizeof value);
        return value;
    }
    const char *address(std::ptrdiff_t row, std::ptrdiff_t column) const {
        return data + row * row_stride + column * column_stride;
    }
    vector_view<double> row(std::ptrdiff_t row) const { return {address(row, 0), columns, column_stride}; }

    // Hints the cache about an element about to be read; indices outside
    // the matrix are ignored.
    void prefetch(std::ptrdiff_t row, std::ptrdiff_t column) const {
        if (row >= 0 && row < rows && column >= 0 && column < columns) {
            const char *where = address(row, column);
#if defined(__x86_64__) || defined(__i386__)
            // GCC drops __builtin_prefetch whose address is loaded from memory.
            asm volatile("prefetcht0 %0" : : "m"(*where));
#else
            __builtin_prefetch(where);
#endif
        }
    }
};

// True exactly when no column's absolute difference is NaN and at least
// one is greater than 0 (what `abs(a - b).sum() > 0` says of two rows).
bool rows_differ(const vector_view<double> &a, const vector_view<double> &b);

}  // namespace core
