#include "host/errors.hpp"

#include <frameobject.h>

namespace host {

void add_traceback(const char *function_name, const char *file_name) {
    // The pending exception must survive building the frame.
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    PyCodeObject *code = PyCode_NewEmpty(file_name, function_name, 0);
    PyFrameObject *frame = nullptr;
    if (code != nullptr) {
        ref globals = ref::steal(PyDict_New());
        if (globals) frame = PyFrame_New(PyThreadState_Get(), code, globals.get(), nullptr);
    }
    PyErr_Clear();
    PyErr_Restore(type, value, traceback);
    if (frame != nullptr) PyTraceBack_Here(frame);
    Py_XDECREF(frame);
    Py_XDECREF(code);
}

void report_unraisable(const char *context) {
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    Py_XINCREF(type);
    Py_XINCREF(value);
    Py_XINCREF(traceback);
    PyErr_Restore(type, value, traceback);
    PyErr_PrintEx(0);
    ref context_object = ref::steal(PyUnicode_FromString(context));
    PyErr_Restore(type, value, traceback);
    PyErr_WriteUnraisable(context_object ? context_object.get() : Py_None);
}

Py_ssize_t numpy_index(Py_ssize_t index, Py_ssize_t size, int axis) {
    Py_ssize_t resolved = index < 0 ? index + size : index;
    if (resolved < 0 || resolved >= size) {
        PyErr_Format(PyExc_IndexError, "index %zd is out of bounds for axis %d with size %zd",
                     index, axis, size);
        throw_pending();
    }
    return resolved;
}

void raise_not_subscriptable(PyObject *object) {
    PyErr_Format(PyExc_TypeError, "'%.200s' object is not subscriptable", Py_TYPE(object)->tp_name);
    throw_pending();
}

}  // namespace host
