// Set-up of the analysis module "norvane.tessary": the module object (a
// module subclass whose typed array attributes read and write the native
// variables), the initial state and the export table `__pyx_capi__`.
#include "host/capi_signatures.hpp"
#include "host/module_setup.hpp"
#include "tessary/interface.hpp"
#include "tessary/state.hpp"

namespace {

host::module_identity identity{"tessary", "norvane.tessary", "init norvane.tessary"};  // pinned

// ---- typed attributes: prices, entry, position --------------------------

PyObject *get_array(PyObject *, void *closure) {
    PyObject *value = *static_cast<PyObject **>(closure);
    return Py_NewRef(value != nullptr ? value : Py_None);
}

int set_array(PyObject *, PyObject *value, void *closure) {
    if (value == nullptr) {
        PyErr_SetString(PyExc_AttributeError, "cannot delete a typed array attribute");
        return -1;
    }
    return host::run_guarded([&] { tessary::assign_array(*static_cast<PyObject **>(closure), value); }) ? 0 : -1;
}

PyGetSetDef typed_attributes[] = {
    {"prices", get_array, set_array, nullptr, &tessary::prices},
    {"entry", get_array, set_array, nullptr, &tessary::entry},
    {"position", get_array, set_array, nullptr, &tessary::position},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot module_type_slots[] = {
    {Py_tp_getset, typed_attributes},
    {0, nullptr},
};

PyType_Spec module_type_spec = {
    "norvane.tessary.analysis_module", 0, 0, Py_TPFLAGS_DEFAULT, module_type_slots,
};

PyTypeObject *module_type = nullptr;

// ---- export table -------------------------------------------------------

template <class Function>
void *function_address(Function function) {
    return reinterpret_cast<void *>(function);
}

void publish_export_table(PyObject *module) {
    PyObject *namespace_dict = PyModule_GetDict(module);
    host::ref table = host::ref::borrow(PyDict_GetItemString(namespace_dict, "__pyx_capi__"));
    if (!table) {
        table = host::require(PyDict_New());
        host::require_status(PyModule_AddObjectRef(module, "__pyx_capi__", table.get()));
    }
    struct export_entry {
        const char *name;
        void *pointer;
        const char *signature;
    };
    const export_entry entries[] = {
        {"entry", &tessary::entry, capi::array_variable_signature},
        {"position", &tessary::position, capi::array_variable_signature},
        {"start_analysis", function_address(&tessary::start_analysis), capi::start_analysis_signature},
        {"record_date", function_address(&tessary::record_date), capi::record_date_signature},
        {"record_entry", function_address(&tessary::record_entry), capi::record_entry_signature},
        {"record_exit", function_address(&tessary::record_exit), capi::record_exit_signature},
        {"end_analysis", function_address(&tessary::end_analysis), capi::end_analysis_signature},
    };
    for (const export_entry &item : entries) {
        host::ref capsule = host::require(PyCapsule_New(item.pointer, item.signature, nullptr));
        host::require_status(PyDict_SetItemString(table.get(), item.name, capsule.get()));
    }
}

// ---- module-level statements ----------------------------------------------

void run_module_statements(PyObject *module) {
    host::ref numpy = host::require(PyImport_ImportModule("numpy"));
    host::require_status(PyObject_SetAttr(module, tessary::strings.org_np, numpy.get()));
    PyObject *float_type = reinterpret_cast<PyObject *>(&PyFloat_Type);
    PyObject *int_type = reinterpret_cast<PyObject *>(&PyLong_Type);

    host::ref empty_shape = host::require(Py_BuildValue("(ii)", 0, 0));
    tessary::assign_array(tessary::prices, tessary::zeros_array(empty_shape.get(), float_type).get());
    for (PyObject *name : {tessary::strings.trades, tessary::strings.trade_positions, tessary::strings.tessary}) {
        host::ref list = host::require(PyList_New(0));
        host::require_status(PyObject_SetAttr(module, name, list.get()));
    }
    host::ref zero = host::require(PyLong_FromLong(0));
    tessary::assign_array(tessary::entry, tessary::zeros_array(zero.get(), int_type).get());
    tessary::assign_array(tessary::position, tessary::zeros_array(zero.get(), float_type).get());
    host::ref test_dict = host::require(PyDict_New());
    host::require_status(PyObject_SetAttrString(module, "__test__", test_dict.get()));
}

// ---- create and exec ------------------------------------------------------

PyObject *create(PyObject *spec, PyModuleDef *) {
    if (module_type == nullptr) {
        module_type = reinterpret_cast<PyTypeObject *>(
            PyType_FromSpecWithBases(&module_type_spec, reinterpret_cast<PyObject *>(&PyModule_Type)));
        if (module_type == nullptr) return nullptr;
    }
    return host::create_module(identity, spec, module_type);
}

int exec(PyObject *module) {
    bool done = false;
    const bool completed = host::run_guarded([&] {
        done = host::begin_exec(identity, module);
        if (done) return;
        tessary::module_object = module;
        tessary::intern_strings();
        tessary::assign_array(tessary::entry, Py_None);
        tessary::assign_array(tessary::position, Py_None);
        tessary::assign_array(tessary::prices, Py_None);
        publish_export_table(module);
        host::import_type_objects();
        run_module_statements(module);
    });
    if (!completed) {
        tessary::module_object = nullptr;
        return host::fail_exec(identity);
    }
    return 0;
}

PyModuleDef definition = {
    PyModuleDef_HEAD_INIT, "norvane.tessary", nullptr, 0, nullptr, host::module_slots<create, exec>::table,
    nullptr, nullptr, nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit_tessary() { return PyModuleDef_Init(&definition); }
