// Owning references to host objects and the one exception type that says
// "a Python exception is pending". Native code throws `error_already_set`
// after the interpreter's error indicator has been set; every entry point
// from the host catches it once (see `guarded`) and returns NULL.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdarg>
#include <exception>
#include <new>
#include <utility>

namespace host {

struct error_already_set : std::exception {
    const char *what() const noexcept override { return "a Python exception is pending"; }
};

[[noreturn]] inline void throw_pending() { throw error_already_set(); }

// Throws when a host call left an exception pending without saying so in
// its result (a void function of the analysis module's interface).
inline void throw_if_pending() {
    if (PyErr_Occurred() != nullptr) throw_pending();
}

// Sets a Python exception and throws.
[[noreturn]] inline void raise(PyObject *type, const char *message) {
    PyErr_SetString(type, message);
    throw_pending();
}

// Sets a Python exception from a PyUnicode_FromFormat format and throws.
[[noreturn]] inline void raise_format(PyObject *type, const char *format, ...) {
    va_list arguments;
    va_start(arguments, format);
    PyErr_FormatV(type, format, arguments);
    va_end(arguments);
    throw_pending();
}

// An owning reference: the object is released when the handle goes away,
// on every path, success or failure.
class ref {
public:
    ref() noexcept = default;
    ref(const ref &other) noexcept : ptr_(other.ptr_) { Py_XINCREF(ptr_); }
    ref(ref &&other) noexcept : ptr_(other.release()) {}
    ~ref() { Py_XDECREF(ptr_); }

    ref &operator=(ref other) noexcept {
        std::swap(ptr_, other.ptr_);
        return *this;
    }

    // Takes over a reference the caller owns.
    static ref steal(PyObject *ptr) noexcept { return ref(ptr); }
    // Takes a new reference to a borrowed object.
    static ref borrow(PyObject *ptr) noexcept {
        Py_XINCREF(ptr);
        return ref(ptr);
    }

    PyObject *get() const noexcept { return ptr_; }
    // Hands the reference to the caller.
    PyObject *release() noexcept { return std::exchange(ptr_, nullptr); }
    void reset() noexcept { Py_CLEAR(ptr_); }
    explicit operator bool() const noexcept { return ptr_ != nullptr; }

private:
    explicit ref(PyObject *ptr) noexcept : ptr_(ptr) {}
    PyObject *ptr_ = nullptr;
};

// Wraps the result of a host call that returns a new reference or NULL.
inline ref require(PyObject *result) {
    if (result == nullptr) throw_pending();
    return ref::steal(result);
}

// Checks the status of a host call that returns -1 on failure.
inline int require_status(int status) {
    if (status < 0) throw_pending();
    return status;
}

// Turns any C++ exception escaping `body` into a pending Python exception.
// Returns true when `body` completed.
template <class Body>
bool run_guarded(Body &&body) noexcept {
    try {
        body();
        return true;
    } catch (const error_already_set &) {
    } catch (const std::bad_alloc &) {
        PyErr_NoMemory();
    } catch (const std::exception &error) {
        PyErr_SetString(PyExc_RuntimeError, error.what());
    }
    return false;
}

// Entry-point form of `run_guarded` for functions that return a new reference.
template <class Body>
PyObject *guarded(Body &&body) noexcept {
    PyObject *result = nullptr;
    run_guarded([&] { result = body().release(); });
    return result;
}

}  // namespace host
