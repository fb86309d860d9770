// The create and exec steps both extension modules share: one interpreter
// per process, no re-initialisation, the version warning, builtins, the
// module registry and the check of the type objects the modules test
// against.
#pragma once

#include <cstdint>
#include <initializer_list>

#include "host/ref.hpp"

namespace host {

struct module_identity {
    const char *short_name;  // "tessary"
    const char *full_name;   // "norvane.tessary"
    const char *init_name;   // "init norvane.tessary", the traceback entry of a failed exec (pinned)
    PyObject *module = nullptr;  // owned once the exec step has bound it
    std::int64_t interpreter_id = -1;
};

// Create step. `module_type` is a module subclass to instantiate, or NULL
// for a plain module. Returns a new reference or NULL with an exception.
PyObject *create_module(module_identity &identity, PyObject *spec, PyTypeObject *module_type);

// Exec steps up to the builtins lookup. Returns true when this module object
// was initialised already (nothing left to do); throws on failure.
bool begin_exec(module_identity &identity, PyObject *module);

// Ends a failed exec step: traceback entry, module unbound. Returns -1.
int fail_exec(module_identity &identity);

// Makes each slot a strong reference to the interned string of its text,
// once for the process.
struct interned_string {
    PyObject **slot;
    const char *text;
};
void intern_all(std::initializer_list<interned_string> strings);

// The slots of a module with these create and exec steps: one interpreter
// per process, and the interpreter lock held (module state is shared).
template <PyObject *(*Create)(PyObject *, PyModuleDef *), int (*Exec)(PyObject *)>
struct module_slots {
    static inline PyModuleDef_Slot table[] = {
        {Py_mod_create, reinterpret_cast<void *>(Create)},
        {Py_mod_exec, reinterpret_cast<void *>(Exec)},
#if PY_VERSION_HEX >= 0x030C0000
        {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
#endif
#if PY_VERSION_HEX >= 0x030D0000
        {Py_mod_gil, Py_MOD_GIL_USED},
#endif
        {0, nullptr},
    };
};

// Fetches builtins.type and NumPy's type objects and checks their sizes.
void import_type_objects();

// NumPy's ndarray type, fetched by import_type_objects.
PyTypeObject *ndarray_type();

// Module attribute lookup as a module-level name: the module's namespace,
// then builtins; NameError "name '%U' is not defined" otherwise.
ref lookup_global(PyObject *module, PyObject *name);

// "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)"
// unless `object` is an ndarray (or a subclass) or None.
void require_ndarray_or_none(PyObject *object, const char *argument_name);

}  // namespace host
