// Reporting of failures: traceback entries named after a function, errors
// that must not reach the caller (printed, then handed to the unraisable
// hook), and the index errors NumPy itself raises.
//
// Message and context strings marked `pinned` are part of the modules'
// contract: callers and tests match them byte for byte.
#pragma once

#include "host/ref.hpp"

namespace host {

// Adds a traceback entry for `function_name` to the pending exception.
void add_traceback(const char *function_name, const char *file_name);

// Adds a traceback entry for `function_name` ("norvane.ravelin.rebalance"),
// filed under the module part of the name.
void add_traceback_for(const char *function_name);

// Runs `body`; when it fails, adds a traceback entry for `function_name`
// to the exception (a C++ allocation failure becomes MemoryError) and
// throws again.
template <class Body>
auto traced(const char *function_name, Body &&body) -> decltype(body()) {
    try {
        return body();
    } catch (const std::bad_alloc &) {
        PyErr_NoMemory();
    } catch (const error_already_set &) {
    }
    add_traceback_for(function_name);
    throw_pending();
}

// Entry-point form of `traced`: a new reference, or NULL with the exception
// set and the traceback entry added.
template <class Body>
PyObject *guarded_traced(const char *function_name, Body &&body) noexcept {
    PyObject *result = guarded(body);
    if (result == nullptr) add_traceback_for(function_name);
    return result;
}

// Prints the pending exception with its traceback, then hands it to
// sys.unraisablehook with `context` as the object; clears it.
void report_unraisable(const char *context);

// Whether the pending exception ends a run instead of being reported:
// KeyboardInterrupt (the user asked to stop) and MemoryError (whatever the
// run did next could not be trusted).
bool pending_ends_run() noexcept;

enum class failure { none, reported, ends_run };

// The one boundary of the operations that report their own failures instead
// of raising to their caller. Runs `body`; when it fails (a C++ allocation
// failure counts as MemoryError):
// - KeyboardInterrupt and MemoryError stay pending with a traceback entry
//   for `context`, so that the run ends with them: `failure::ends_run`;
// - anything else is printed and handed to the unraisable hook under
//   `context`: `failure::reported`.
template <class Body>
failure report_failure(const char *context, Body &&body) noexcept {
    if (run_guarded(body)) return failure::none;
    if (pending_ends_run()) {
        add_traceback_for(context);
        return failure::ends_run;
    }
    report_unraisable(context);
    return failure::reported;
}

// `report_failure` for an operation inside a run that returns a value: a
// reported failure returns `fallback`, one that ends the run is thrown on.
template <class T, class Body>
T value_or_report(const char *context, T fallback, Body &&body) {
    T result = fallback;
    switch (report_failure(context, [&] { result = body(); })) {
        case failure::none: return result;
        case failure::reported: return fallback;
        case failure::ends_run: break;
    }
    throw_pending();
}

// Resolves `index` into an axis of `size` the way NumPy's item access does
// (negative counts from the end); raises NumPy's IndexError otherwise.
Py_ssize_t numpy_index(Py_ssize_t index, Py_ssize_t size, int axis);

// "'NoneType' object is not subscriptable" and friends.
[[noreturn]] void raise_not_subscriptable(PyObject *object);

}  // namespace host
