#include "host/conversions.hpp"

#include <climits>

namespace host {
namespace {

// An int object for `value`: ints as they are, others through __int__.
ref integer_of(PyObject *value) {
    if (PyLong_Check(value)) return ref::borrow(value);
    PyNumberMethods *number = Py_TYPE(value)->tp_as_number;
    if (number == nullptr || number->nb_int == nullptr) raise(PyExc_TypeError, "an integer is required");  // pinned
    ref result = require(number->nb_int(value));
    if (!PyLong_Check(result.get())) {
        raise_format(PyExc_TypeError, "__int__ returned non-int (type %.200s)", Py_TYPE(result.get())->tp_name);
    }
    return result;
}

}  // namespace

double to_double(PyObject *value) {
    if (PyFloat_CheckExact(value)) return PyFloat_AS_DOUBLE(value);
    const double result = PyFloat_AsDouble(value);
    if (result == -1.0 && PyErr_Occurred()) throw_pending();
    return result;
}

int to_int32(PyObject *value) {
    ref integer = integer_of(value);
    int overflow = 0;
    const long long wide = PyLong_AsLongLongAndOverflow(integer.get(), &overflow);
    if (wide == -1 && PyErr_Occurred()) throw_pending();
    if (overflow != 0 || wide < INT_MIN || wide > INT_MAX) {
        raise(PyExc_OverflowError, "value too large to convert to int");  // pinned
    }
    return static_cast<int>(wide);
}

std::int64_t to_int64(PyObject *value) {
    ref integer = integer_of(value);
    int overflow = 0;
    const long long wide = PyLong_AsLongLongAndOverflow(integer.get(), &overflow);
    if (wide == -1 && PyErr_Occurred()) throw_pending();
    if (overflow != 0) raise(PyExc_OverflowError, "value too large to convert to int64_t");
    return static_cast<std::int64_t>(wide);
}

std::string to_std_string(PyObject *value) {
    if (PyBytes_Check(value)) return std::string(PyBytes_AS_STRING(value), PyBytes_GET_SIZE(value));
    if (PyByteArray_Check(value)) return std::string(PyByteArray_AS_STRING(value), PyByteArray_GET_SIZE(value));
    raise_format(PyExc_TypeError, "expected bytes, %.200s found", Py_TYPE(value)->tp_name);
}

bool to_bool(PyObject *value) {
    if (value == Py_True) return true;
    if (value == Py_False || value == Py_None) return false;
    return require_status(PyObject_IsTrue(value)) != 0;
}

}  // namespace host
