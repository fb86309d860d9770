#include "ravelin/analysis_binding.hpp"

#include "host/capi_binding.hpp"

namespace ravelin::analysis {

bound_functions bound;

PyArrayObject **entry = nullptr;
PyArrayObject **position = nullptr;

namespace {

constexpr const char *analysis_module_name = "norvane.tessary";

template <class Function>
void bind(PyObject *module, Function &slot, const char *name, const char *signature) {
    slot = reinterpret_cast<Function>(host::import_capi_function(module, name, signature));
}

}  // namespace

void bind_variables() {
    host::ref module = host::require(PyImport_ImportModule(analysis_module_name));
    entry = static_cast<PyArrayObject **>(
        host::import_capi_variable(module.get(), "entry", capi::array_variable_signature));
    position = static_cast<PyArrayObject **>(
        host::import_capi_variable(module.get(), "position", capi::array_variable_signature));
}

void bind_functions() {
    host::ref module = host::require(PyImport_ImportModule(analysis_module_name));
    bind(module.get(), bound.start_analysis, "start_analysis", capi::start_analysis_signature);
    bind(module.get(), bound.record_date, "record_date", capi::record_date_signature);
    bind(module.get(), bound.record_entry, "record_entry", capi::record_entry_signature);
    bind(module.get(), bound.record_exit, "record_exit", capi::record_exit_signature);
    bind(module.get(), bound.end_analysis, "end_analysis", capi::end_analysis_signature);
}

}  // namespace ravelin::analysis
