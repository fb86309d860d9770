// Set-up of the engine module "norvane.ravelin": method table, module
// state, the binding of the analysis module and the defaults of backtest_.
#include "host/module_setup.hpp"
#include "ravelin/analysis_binding.hpp"
#include "ravelin/backtest_entry.hpp"
#include "ravelin/engine_state.hpp"
#include "ravelin/lean_entry.hpp"
#include "ravelin/trade_listing.hpp"

namespace {

host::module_identity identity{"ravelin", "norvane.ravelin", "init norvane.ravelin"};  // pinned

PyMethodDef methods[] = {
    {"get_stock_operations", ravelin::get_stock_operations, METH_NOARGS, nullptr},
    {"ioft", ravelin::ioft, METH_O, nullptr},
    {"backtest_", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(ravelin::backtest_)),
     METH_FASTCALL | METH_KEYWORDS, nullptr},
    {"get_trade_stocks", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(ravelin::get_trade_stocks)),
     METH_FASTCALL | METH_KEYWORDS, nullptr},
    {"simulate", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(ravelin::simulate)),
     METH_FASTCALL | METH_KEYWORDS, nullptr},
    {"cancel_runs", ravelin::cancel_runs, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

// from norvane import tessary
void bind_analysis_module(PyObject *module) {
    host::ref fromlist = host::require(Py_BuildValue("[s]", "tessary"));
    host::ref package = host::require(PyImport_ImportModuleLevel("norvane", nullptr, nullptr, fromlist.get(), 0));
    host::ref analysis_module = host::ref::steal(PyObject_GetAttr(package.get(), ravelin::strings.tessary));
    if (!analysis_module) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) host::throw_pending();
        PyErr_Clear();
        host::raise_format(PyExc_ImportError, "cannot import name %S", ravelin::strings.tessary);  // pinned
    }
    host::require_status(PyObject_SetAttr(module, ravelin::strings.tessary, analysis_module.get()));
}

void import_as(PyObject *module, const char *name, PyObject *attribute) {
    host::ref imported = host::require(PyImport_ImportModule(name));
    host::require_status(PyObject_SetAttr(module, attribute, imported.get()));
}

// The thread that handles signals: its runs look for Ctrl-C themselves.
void note_main_thread() {
    host::ref threading = host::require(PyImport_ImportModule("threading"));
    host::ref main = host::require(PyObject_CallMethod(threading.get(), "main_thread", nullptr));
    host::ref ident = host::require(PyObject_GetAttrString(main.get(), "ident"));
    const unsigned long value = PyLong_AsUnsignedLong(ident.get());
    if (value == static_cast<unsigned long>(-1) && PyErr_Occurred()) host::throw_pending();
    ravelin::note_main_thread(value);
}

double numpy_infinity() {
    host::ref numpy = ravelin::module_global(ravelin::strings.org_np);
    host::ref infinity = host::require(PyObject_GetAttrString(numpy.get(), "inf"));
    const double value = PyFloat_AsDouble(infinity.get());
    if (value == -1.0 && PyErr_Occurred()) host::throw_pending();
    return value;
}

void run_exec_steps(PyObject *module) {
    ravelin::module_object = module;
    ravelin::intern_strings();
    Py_XSETREF(ravelin::stock_operations, Py_NewRef(Py_None));
    host::import_type_objects();
    ravelin::analysis::bind_variables();
    ravelin::analysis::bind_functions();
    import_as(module, "numpy", ravelin::strings.org_np);
    bind_analysis_module(module);
    import_as(module, "datetime", ravelin::strings.datetime);
    note_main_thread();
    Py_XSETREF(ravelin::stock_operations, host::require(PyDict_New()).release());
    const double infinity = numpy_infinity();
    ravelin::defaults = {ravelin::default_fee_ratio, ravelin::default_tax_ratio, -infinity, infinity};
    host::ref test_dict = host::require(PyDict_New());
    host::require_status(PyObject_SetAttrString(module, "__test__", test_dict.get()));
}

PyObject *create(PyObject *spec, PyModuleDef *) { return host::create_module(identity, spec, nullptr); }

int exec(PyObject *module) {
    const bool completed = host::run_guarded([&] {
        if (host::begin_exec(identity, module)) return;
        run_exec_steps(module);
    });
    return completed ? 0 : host::fail_exec(identity);
}

PyModuleDef definition = {
    PyModuleDef_HEAD_INIT, "ravelin", nullptr, 0, methods, host::module_slots<create, exec>::table,
    nullptr, nullptr, nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit_ravelin() { return PyModuleDef_Init(&definition); }
