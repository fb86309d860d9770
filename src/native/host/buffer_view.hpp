// Typed strided views over the buffer protocol: float64 2-D and 1-D, int64
// 1-D and object 1-D. Any strides are accepted (also negative and zero
// ones) and read-only buffers are accepted unless the view writes. Element
// access is bounds-checked; a negative index counts from the end. None
// gives an empty view (every extent 0), so element access on it fails
// exactly like access to an empty array.
#pragma once

#include <cstdint>
#include <cstring>

#include "host/ref.hpp"

namespace host {

enum class element_kind { float64, int64, object };

template <class T> struct element_of;
template <> struct element_of<double> { static constexpr element_kind kind = element_kind::float64; };
template <> struct element_of<std::int64_t> { static constexpr element_kind kind = element_kind::int64; };
template <> struct element_of<PyObject *> { static constexpr element_kind kind = element_kind::object; };

// Acquires `object`'s buffer as `ndim` dimensions of `kind`; raises the
// buffer errors on a mismatch. Returns false (buffer untouched) for None.
bool acquire_buffer(Py_buffer &buffer, PyObject *object, element_kind kind, int ndim, bool writable);

[[noreturn]] void raise_out_of_bounds(int axis);

template <class T, int N>
class strided_view {
    static_assert(N == 1 || N == 2);

public:
    strided_view() noexcept = default;
    strided_view(const strided_view &) = delete;
    strided_view &operator=(const strided_view &) = delete;
    strided_view(strided_view &&other) noexcept { take(other); }
    strided_view &operator=(strided_view &&other) noexcept {
        if (this != &other) {
            release();
            take(other);
        }
        return *this;
    }
    ~strided_view() { release(); }

    static strided_view of(PyObject *object, bool writable = false) {
        strided_view view;
        if (acquire_buffer(view.buffer_, object, element_of<T>::kind, N, writable)) {
            view.held_ = true;
            view.data_ = static_cast<char *>(view.buffer_.buf);
            for (int axis = 0; axis < N; ++axis) {
                view.shape_[axis] = view.buffer_.shape[axis];
                view.strides_[axis] = view.buffer_.strides[axis];
            }
        }
        return view;
    }

    Py_ssize_t shape(int axis = 0) const noexcept { return shape_[axis]; }
    Py_ssize_t stride(int axis = 0) const noexcept { return strides_[axis]; }
    // Where an element lies, unchecked.
    char *raw_address(Py_ssize_t i, Py_ssize_t j) const requires(N == 2) {
        return data_ + i * strides_[0] + j * strides_[1];
    }
    bool empty_source() const noexcept { return !held_; }
    const char *data() const noexcept { return data_; }

    // Bounds-checked element access.
    T get(Py_ssize_t i) const requires(N == 1) { return load(offset(i, 0)); }
    T get(Py_ssize_t i, Py_ssize_t j) const requires(N == 2) { return load(offset(i, 0) + offset(j, 1)); }
    void set(Py_ssize_t i, T value) requires(N == 1) { store(offset(i, 0), value); }
    void set(Py_ssize_t i, Py_ssize_t j, T value) requires(N == 2) {
        store(offset(i, 0) + offset(j, 1), value);
    }

    // Unchecked access, for loops whose indices are in range by construction.
    T raw(Py_ssize_t i) const requires(N == 1) { return load(i * strides_[0]); }
    T raw(Py_ssize_t i, Py_ssize_t j) const requires(N == 2) {
        return load(i * strides_[0] + j * strides_[1]);
    }
    void raw_set(Py_ssize_t i, T value) requires(N == 1) { store(i * strides_[0], value); }

    // Hints the cache about an element that is about to be read; indices
    // outside the view are ignored.
    void prefetch(Py_ssize_t i, Py_ssize_t j) const requires(N == 2) {
        if (i >= 0 && i < shape_[0] && j >= 0 && j < shape_[1]) {
            const char *address = data_ + i * strides_[0] + j * strides_[1];
#if defined(__x86_64__) || defined(__i386__)
            // GCC drops __builtin_prefetch whose address is loaded from memory.
            asm volatile("prefetcht0 %0" : : "m"(*address));
#else
            __builtin_prefetch(address);
#endif
        }
    }

private:
    Py_ssize_t offset(Py_ssize_t index, int axis) const {
        if (index < 0) index += shape_[axis];
        if (index < 0 || index >= shape_[axis]) raise_out_of_bounds(axis);
        return index * strides_[axis];
    }
    // memcpy keeps unaligned buffers well defined; it compiles to one move.
    T load(Py_ssize_t byte_offset) const {
        T value;
        std::memcpy(&value, data_ + byte_offset, sizeof(T));
        return value;
    }
    void store(Py_ssize_t byte_offset, T value) { std::memcpy(data_ + byte_offset, &value, sizeof(T)); }

    void take(strided_view &other) noexcept {
        buffer_ = other.buffer_;
        held_ = std::exchange(other.held_, false);
        data_ = other.data_;
        for (int axis = 0; axis < N; ++axis) {
            shape_[axis] = other.shape_[axis];
            strides_[axis] = other.strides_[axis];
        }
    }
    void release() noexcept {
        if (held_) PyBuffer_Release(&buffer_);
        held_ = false;
    }

    Py_buffer buffer_{};
    bool held_ = false;
    char *data_ = nullptr;
    Py_ssize_t shape_[N] = {};
    Py_ssize_t strides_[N] = {};
};

// An array owned together with a typed view of it. The view is declared
// last, so it is released before the array.
template <class View>
struct owned_array {
    ref object;
    View view;

    static owned_array of(ref array, bool writable = false) {
        owned_array owned;
        owned.view = View::of(array.get(), writable);
        owned.object = std::move(array);
        return owned;
    }
};

using float64_2d = strided_view<double, 2>;
using float64_1d = strided_view<double, 1>;
using int64_1d = strided_view<std::int64_t, 1>;
using object_1d = strided_view<PyObject *, 1>;

}  // namespace host
