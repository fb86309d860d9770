#include "host/errors.hpp"

#include <frameobject.h>

#include <cstdio>
#include <cstring>
#include <utility>

namespace host {

namespace {

// The pending exception, taken out of the interpreter and put back later.
class pending_exception {
public:
    pending_exception() noexcept {
#if PY_VERSION_HEX >= 0x030C0000
        value_ = PyErr_GetRaisedException();
#else
        PyErr_Fetch(&type_, &value_, &traceback_);
#endif
    }
    pending_exception(const pending_exception &) = delete;
    pending_exception &operator=(const pending_exception &) = delete;
    ~pending_exception() { restore(); }

    bool is(PyObject *exception_type) const noexcept {
#if PY_VERSION_HEX >= 0x030C0000
        return value_ != nullptr && PyErr_GivenExceptionMatches(value_, exception_type);
#else
        return type_ != nullptr && PyErr_GivenExceptionMatches(type_, exception_type);
#endif
    }
    // Makes it pending again, keeping a copy for a second restore.
    void restore_copy() noexcept {
#if PY_VERSION_HEX >= 0x030C0000
        PyErr_SetRaisedException(Py_XNewRef(value_));
#else
        PyErr_Restore(Py_XNewRef(type_), Py_XNewRef(value_), Py_XNewRef(traceback_));
#endif
    }
    void restore() noexcept {
#if PY_VERSION_HEX >= 0x030C0000
        if (value_ != nullptr) PyErr_SetRaisedException(std::exchange(value_, nullptr));
#else
        if (type_ != nullptr) {
            PyErr_Restore(std::exchange(type_, nullptr), std::exchange(value_, nullptr),
                          std::exchange(traceback_, nullptr));
        }
#endif
    }

private:
#if PY_VERSION_HEX < 0x030C0000
    PyObject *type_ = nullptr;
    PyObject *traceback_ = nullptr;
#endif
    PyObject *value_ = nullptr;
};

}  // namespace

void add_traceback(const char *function_name, const char *file_name) {
    PyFrameObject *frame = nullptr;
    PyCodeObject *code = nullptr;
    {
        // The pending exception must survive building the frame.
        pending_exception saved;
        code = PyCode_NewEmpty(file_name, function_name, 0);
        if (code != nullptr) {
            ref globals = ref::steal(PyDict_New());
            if (globals) frame = PyFrame_New(PyThreadState_Get(), code, globals.get(), nullptr);
        }
        PyErr_Clear();
    }
    if (frame != nullptr) PyTraceBack_Here(frame);
    Py_XDECREF(frame);
    Py_XDECREF(code);
}

void report_unraisable(const char *context) {
    pending_exception saved;
    // Printing a SystemExit would end the process; the hook still hears of it.
    if (!saved.is(PyExc_SystemExit)) {
        saved.restore_copy();
        PyErr_PrintEx(0);
    }
    ref context_object = ref::steal(PyUnicode_FromString(context));
    PyErr_Clear();
    saved.restore();
    PyErr_WriteUnraisable(context_object ? context_object.get() : Py_None);
}

bool pending_ends_run() noexcept {
    return PyErr_ExceptionMatches(PyExc_KeyboardInterrupt) || PyErr_ExceptionMatches(PyExc_MemoryError);
}

void add_traceback_for(const char *context) {
    // A fixed buffer: this runs while a MemoryError is pending.
    char module_name[128];
    const char *last_dot = std::strrchr(context, '.');
    const int length = last_dot != nullptr ? static_cast<int>(last_dot - context) : static_cast<int>(std::strlen(context));
    std::snprintf(module_name, sizeof module_name, "%.*s", length, context);
    add_traceback(context, module_name);
}

Py_ssize_t numpy_index(Py_ssize_t index, Py_ssize_t size, int axis) {
    Py_ssize_t resolved = index < 0 ? index + size : index;
    if (resolved < 0 || resolved >= size) {
        raise_format(PyExc_IndexError, "index %zd is out of bounds for axis %d with size %zd",  // pinned
                     index, axis, size);
    }
    return resolved;
}

void raise_not_subscriptable(PyObject *object) {
    raise_format(PyExc_TypeError, "'%.200s' object is not subscriptable", Py_TYPE(object)->tp_name);  // pinned
}

}  // namespace host
