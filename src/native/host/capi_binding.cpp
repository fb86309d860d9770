#include "host/capi_binding.hpp"

namespace host {
namespace {

void *import_capi_entry(PyObject *module, const char *name, const char *signature, const char *kind) {
    ref table = require(PyObject_GetAttrString(module, "__pyx_capi__"));
    const char *module_name = PyModule_GetName(module);
    if (module_name == nullptr) throw_pending();
    PyObject *capsule = PyDict_Check(table.get()) ? PyDict_GetItemString(table.get(), name) : nullptr;
    if (capsule == nullptr) {
        raise_format(PyExc_ImportError, "%.200s does not export expected C %s %.200s", module_name, kind, name);  // pinned
    }
    if (!PyCapsule_IsValid(capsule, signature)) {
        const char *got = PyCapsule_CheckExact(capsule) ? PyCapsule_GetName(capsule) : Py_TYPE(capsule)->tp_name;
        PyErr_Clear();
        raise_format(PyExc_TypeError, "C %s %.200s.%.200s has wrong signature (expected %.500s, got %.500s)", kind,  // pinned
                     module_name, name, signature, got != nullptr ? got : "NULL");
    }
    void *pointer = PyCapsule_GetPointer(capsule, signature);
    if (pointer == nullptr) throw_pending();
    return pointer;
}

}  // namespace

void *import_capi_function(PyObject *module, const char *name, const char *signature) {
    return import_capi_entry(module, name, signature, "function");
}

void *import_capi_variable(PyObject *module, const char *name, const char *signature) {
    return import_capi_entry(module, name, signature, "variable");
}

}  // namespace host
