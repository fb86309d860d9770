#include "host/module_setup.hpp"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "host/errors.hpp"

namespace host {
namespace {

PyTypeObject *numpy_ndarray = nullptr;  // a strong reference, kept for the process

void check_single_interpreter(module_identity &identity) {
    const std::int64_t current = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (current == -1) throw_pending();
    if (identity.interpreter_id == -1) {
        identity.interpreter_id = current;
    } else if (identity.interpreter_id != current) {
        raise(PyExc_ImportError,
              "Interpreter change detected - this module can only be loaded into one interpreter per process.");  // pinned
    }
}

void copy_spec_attribute(PyObject *spec, PyObject *namespace_dict, const char *from, const char *to,
                         bool allow_none) {
    ref value = ref::steal(PyObject_GetAttrString(spec, from));
    if (!value) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw_pending();
        PyErr_Clear();
        return;
    }
    if (allow_none || value.get() != Py_None) {
        require_status(PyDict_SetItemString(namespace_dict, to, value.get()));
    }
}

// The interpreter's "major.minor" against the one this module was built for.
void warn_on_version_mismatch(const module_identity &identity) {
    char compiled[16];
    std::snprintf(compiled, sizeof compiled, "%d.%d", PY_MAJOR_VERSION, PY_MINOR_VERSION);
    const char *version = Py_GetVersion();
    char running[16] = {};
    const char *dot = std::strchr(version, '.');
    const char *end = dot != nullptr ? dot + 1 : version;
    while (*end >= '0' && *end <= '9') ++end;
    const size_t length = std::min<size_t>(end - version, sizeof running - 1);
    std::memcpy(running, version, length);
    if (std::strcmp(compiled, running) != 0) {
        require_status(PyErr_WarnFormat(nullptr, 1,
                                        "compiletime version %s of module '%.100s' does not match runtime version %s",  // pinned
                                        compiled, identity.full_name, running));
    }
}

void look_up_builtins(PyObject *builtins) {
    for (const char *name : {"enumerate", "range", "ImportError"}) {
        if (!PyObject_HasAttrString(builtins, name)) {
            raise_format(PyExc_NameError, "name '%s' is not defined", name);  // pinned
        }
    }
}

enum class larger_size { warn, accept };

PyTypeObject *import_type(PyObject *module, const char *module_name, const char *class_name, Py_ssize_t expected,
                          larger_size when_larger) {
    ref object = require(PyObject_GetAttrString(module, class_name));
    if (!PyType_Check(object.get())) {
        raise_format(PyExc_TypeError, "%.200s.%.200s is not a type object", module_name, class_name);
    }
    const Py_ssize_t size = reinterpret_cast<PyTypeObject *>(object.get())->tp_basicsize;
    if (size < expected) {
        raise_format(PyExc_ValueError,
                     "%.200s.%.200s size changed, may indicate binary incompatibility. "  // pinned
                     "Expected %zd from C header, got %zd from PyObject",
                     module_name, class_name, expected, size);
    }
    if (size > expected && when_larger == larger_size::warn) {
        require_status(PyErr_WarnFormat(nullptr, 0,
                                        "%s.%s size changed, may indicate binary incompatibility. "  // pinned
                                        "Expected %zd from C header, got %zd from PyObject",
                                        module_name, class_name, expected, size));
    }
    return reinterpret_cast<PyTypeObject *>(object.release());
}

}  // namespace

PyObject *create_module(module_identity &identity, PyObject *spec, PyTypeObject *module_type) {
    return guarded([&]() -> ref {
        check_single_interpreter(identity);
        if (identity.module != nullptr) return ref::borrow(identity.module);
        ref name = require(PyObject_GetAttrString(spec, "name"));
        ref module = module_type != nullptr
                         ? require(PyObject_CallOneArg(reinterpret_cast<PyObject *>(module_type), name.get()))
                         : require(PyModule_NewObject(name.get()));
        PyObject *namespace_dict = PyModule_GetDict(module.get());
        if (namespace_dict == nullptr) throw_pending();
        copy_spec_attribute(spec, namespace_dict, "loader", "__loader__", true);
        copy_spec_attribute(spec, namespace_dict, "origin", "__file__", true);
        copy_spec_attribute(spec, namespace_dict, "parent", "__package__", true);
        copy_spec_attribute(spec, namespace_dict, "submodule_search_locations", "__path__", false);
        return module;
    });
}

bool begin_exec(module_identity &identity, PyObject *module) {
    if (identity.module != nullptr) {
        if (identity.module == module) return true;
        raise_format(PyExc_RuntimeError,
                     "Module '%s' has already been imported. Re-initialisation is not supported.",  // pinned
                     identity.short_name);
    }
    identity.module = ref::borrow(module).release();
    warn_on_version_mismatch(identity);
    PyObject *builtins = PyImport_AddModule("builtins");  // borrowed
    if (builtins == nullptr) throw_pending();
    require_status(PyObject_SetAttrString(module, "__builtins__", builtins));
    PyObject *registry = PyImport_GetModuleDict();  // borrowed
    if (PyDict_GetItemString(registry, identity.full_name) == nullptr) {
        require_status(PyDict_SetItemString(registry, identity.full_name, module));
    }
    look_up_builtins(builtins);
    return false;
}

int fail_exec(module_identity &identity) {
    if (identity.module != nullptr) {
        add_traceback(identity.init_name, identity.full_name);
        Py_CLEAR(identity.module);
    } else if (!PyErr_Occurred()) {
        PyErr_SetString(PyExc_ImportError, identity.init_name);
    }
    return -1;
}

void import_type_objects() {
    PyObject *builtins = PyImport_AddModule("builtins");
    if (builtins == nullptr) throw_pending();
    Py_DECREF(import_type(builtins, "builtins", "type", sizeof(PyHeapTypeObject), larger_size::warn));
    ref numpy = require(PyImport_ImportModule("numpy"));
    // Both modules reach NumPy objects only through the buffer protocol and
    // attribute access, so the part of their layout they depend on is the
    // object header.
    const Py_ssize_t header = sizeof(PyObject);
    for (const char *name : {"dtype", "flatiter", "broadcast", "ndarray", "generic", "number", "integer",
                             "signedinteger", "unsignedinteger", "inexact", "floating", "complexfloating",
                             "flexible", "character", "ufunc"}) {
        PyTypeObject *type = import_type(numpy.get(), "numpy", name, header, larger_size::accept);
        if (std::strcmp(name, "ndarray") == 0 && numpy_ndarray == nullptr) {
            numpy_ndarray = type;
        } else {
            Py_DECREF(type);
        }
    }
}

void intern_all(std::initializer_list<interned_string> strings) {
    for (const interned_string &string : strings) {
        if (*string.slot == nullptr) *string.slot = require(PyUnicode_InternFromString(string.text)).release();
    }
}

PyTypeObject *ndarray_type() { return numpy_ndarray; }

ref lookup_global(PyObject *module, PyObject *name) {
    PyObject *namespace_dict = PyModule_GetDict(module);
    PyObject *value = PyDict_GetItemWithError(namespace_dict, name);
    if (value != nullptr) return ref::borrow(value);
    if (PyErr_Occurred()) throw_pending();
    value = PyDict_GetItemWithError(PyEval_GetBuiltins(), name);
    if (value != nullptr) return ref::borrow(value);
    if (!PyErr_Occurred()) PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);  // pinned
    throw_pending();
}

void require_ndarray_or_none(PyObject *object, const char *argument_name) {
    if (object == Py_None || PyObject_TypeCheck(object, numpy_ndarray)) return;
    raise_format(PyExc_TypeError, "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)",  // pinned
                 argument_name, numpy_ndarray->tp_name, Py_TYPE(object)->tp_name);
}

}  // namespace host
