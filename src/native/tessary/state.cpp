#include "tessary/state.hpp"

#include "host/module_setup.hpp"

namespace tessary {

PyObject *prices = nullptr;
PyArrayObject *entry = nullptr;
PyArrayObject *position = nullptr;

std::map<int, int> stock_column;
int window = 0;
int window_step = 0;
int current_date = 0;

PyObject *module_object = nullptr;
interned_names names{};

void intern_names() {
    host::intern_all({{&names.trades, "trades"},
                      {&names.trade_positions, "trade_positions"},
                      {&names.tessary, "tessary"},
                      {&names.org_np, "org_np"},
                      {&names.zeros, "zeros"},
                      {&names.empty, "empty"},
                      {&names.clear, "clear"},
                      {&names.dtype, "dtype"}});
}

void assign_array(PyObject *&variable, PyObject *value) {
    PyTypeObject *ndarray = host::ndarray_type();
    if (value != Py_None && (ndarray == nullptr || !PyObject_TypeCheck(value, ndarray))) {
        host::raise_format(PyExc_TypeError, "Cannot convert %.200s to %.200s", Py_TYPE(value)->tp_name,  // pinned
                           ndarray != nullptr ? ndarray->tp_name : "numpy.ndarray");
    }
    Py_INCREF(value);
    Py_XSETREF(variable, value);
}

host::ref zeros_array(PyObject *shape, PyObject *element_type) {
    host::ref numpy = module_global(names.org_np);
    host::ref zeros = host::require(PyObject_GetAttr(numpy.get(), names.zeros));
    host::ref args = host::require(PyTuple_Pack(1, shape));
    host::ref kwargs = host::require(PyDict_New());
    host::require_status(PyDict_SetItem(kwargs.get(), names.dtype, element_type));
    return host::require(PyObject_Call(zeros.get(), args.get(), kwargs.get()));
}

host::ref module_global(PyObject *name) { return host::lookup_global(module_object, name); }

}  // namespace tessary
