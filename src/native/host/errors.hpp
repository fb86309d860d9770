// Reporting of failures: traceback entries named after a function, errors
// that must not reach the caller (printed, then handed to the unraisable
// hook), and the index errors NumPy itself raises.
#pragma once

#include "host/ref.hpp"

namespace host {

// Adds a traceback entry for `function_name` to the pending exception.
void add_traceback(const char *function_name, const char *file_name);

// Runs `body`; when it fails, adds a traceback entry for `function_name`
// to the exception (a C++ allocation failure becomes MemoryError) and
// throws again.
template <class Body>
auto traced(const char *function_name, const char *file_name, Body &&body) -> decltype(body()) {
    try {
        return body();
    } catch (const std::bad_alloc &) {
        PyErr_NoMemory();
    } catch (const error_already_set &) {
    }
    add_traceback(function_name, file_name);
    throw_pending();
}

// Entry-point form of `traced`: a new reference, or NULL with the exception
// set and the traceback entry added.
template <class Body>
PyObject *guarded_traced(const char *function_name, const char *file_name, Body &&body) noexcept {
    PyObject *result = guarded(body);
    if (result == nullptr) add_traceback(function_name, file_name);
    return result;
}

// Prints the pending exception with its traceback, then hands it to
// sys.unraisablehook with `context` as the object; clears it.
void report_unraisable(const char *context);

// Resolves `index` into an axis of `size` the way NumPy's item access does
// (negative counts from the end); raises NumPy's IndexError otherwise.
Py_ssize_t numpy_index(Py_ssize_t index, Py_ssize_t size, int axis);

// "'NoneType' object is not subscriptable" and friends.
[[noreturn]] void raise_not_subscriptable(PyObject *object);

}  // namespace host
