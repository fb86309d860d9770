#include "ravelin/column_map.hpp"

#include <string>

#include "host/conversions.hpp"
#include "host/errors.hpp"

namespace ravelin {
namespace {

// name.encode("UTF-8") as bytes.
std::string name_key(PyObject *name) {
    if (PyUnicode_CheckExact(name)) {
        Py_ssize_t length = 0;
        const char *bytes = PyUnicode_AsUTF8AndSize(name, &length);
        if (bytes == nullptr) host::throw_pending();
        return std::string(bytes, length);
    }
    host::ref encoded = host::require(PyObject_CallMethod(name, "encode", "s", "UTF-8"));
    return host::to_std_string(encoded.get());
}

// Calls `visit` with each element of a list, tuple or other iterable.
template <class Visit>
void for_each_element(PyObject *sequence, Visit &&visit) {
    if (PyList_CheckExact(sequence) || PyTuple_CheckExact(sequence)) {
        host::ref fast = host::ref::borrow(sequence);
        for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(fast.get()); ++i) {
            host::ref item = host::ref::borrow(PySequence_Fast_GET_ITEM(fast.get(), i));
            visit(item.get());
        }
        return;
    }
    host::ref iterator = host::require(PyObject_GetIter(sequence));
    while (host::ref item = host::ref::steal(PyIter_Next(iterator.get()))) visit(item.get());
    if (PyErr_Occurred()) host::throw_pending();
}

host::ref build_map(PyObject *price_columns, PyObject *pos_columns) {
    std::map<std::string, unsigned int> price_column_of;
    unsigned int price_column = 0;
    for_each_element(price_columns, [&](PyObject *name) { price_column_of[name_key(name)] = price_column++; });

    std::map<unsigned int, unsigned int> result;
    unsigned int stock = 0;
    for_each_element(pos_columns, [&](PyObject *name) {
        const auto found = price_column_of.find(name_key(name));
        if (found != price_column_of.end()) result[stock] = found->second;
        ++stock;
    });

    host::ref mapping = host::require(PyDict_New());
    for (const auto &[key, value] : result) {
        host::ref key_object = host::require(PyLong_FromUnsignedLong(key));
        host::ref value_object = host::require(PyLong_FromUnsignedLong(value));
        host::require_status(PyDict_SetItem(mapping.get(), key_object.get(), value_object.get()));
    }
    return mapping;
}

}  // namespace

host::ref map_columns(PyObject *price_columns, PyObject *pos_columns) {
    return host::traced("norvane.ravelin.map_columns",  // pinned
                        [&] { return build_map(price_columns, pos_columns); });
}

std::map<int, int> column_map_from_dict(PyObject *mapping) {
    if (!PyDict_Check(mapping)) {
        host::raise_format(PyExc_TypeError, "Expected %.16s, got %.200s", "dict", Py_TYPE(mapping)->tp_name);  // pinned
    }
    std::map<int, int> result;
    Py_ssize_t position = 0;
    PyObject *key, *value;
    while (PyDict_Next(mapping, &position, &key, &value)) {
        const int stock = host::to_int32(key);
        const int column = host::to_int32(value);
        result.emplace(stock, column);
    }
    return result;
}

}  // namespace ravelin
