// norvane._testing: a test-only module that drives native internals the
// host cannot reach directly: the analysis module's exported interface
// (through its capsules, as the engine binds it) and the engine's position
// book, rebalance, column mapping and rebalance mask.
#include <map>
#include <string_view>
#include <type_traits>

#include "host/buffer_view.hpp"
#include "host/module_setup.hpp"
#include "ravelin/analysis_binding.hpp"
#include "ravelin/column_map.hpp"
#include "ravelin/daily_loop.hpp"
#include "ravelin/engine_state.hpp"
#include "ravelin/position_book.hpp"
#include "ravelin/rebalance.hpp"
#include "ravelin/run_setup.hpp"

namespace {

template <class Map>
Map map_from_dict(PyObject *dict) {
    if (!PyDict_Check(dict)) host::raise(PyExc_TypeError, "expected a dict");
    Map result;
    Py_ssize_t position = 0;
    PyObject *key, *value;
    while (PyDict_Next(dict, &position, &key, &value)) {
        const long stock = PyLong_AsLong(key);
        if (stock == -1 && PyErr_Occurred()) host::throw_pending();
        if constexpr (std::is_same_v<typename Map::mapped_type, double>) {
            const double amount = PyFloat_AsDouble(value);
            if (amount == -1.0 && PyErr_Occurred()) host::throw_pending();
            result[static_cast<int>(stock)] = amount;
        } else {
            const long column = PyLong_AsLong(value);
            if (column == -1 && PyErr_Occurred()) host::throw_pending();
            result[static_cast<int>(stock)] = static_cast<int>(column);
        }
    }
    return result;
}

PyObject *host_value(double value) { return PyFloat_FromDouble(value); }
PyObject *host_value(int value) { return PyLong_FromLong(value); }

// {stock: value} of a map keyed by stock (a book, a column map).
template <class Map>
host::ref dict_of(const Map &map) {
    host::ref dict = host::require(PyDict_New());
    for (const auto &[stock, value] : map) {
        host::ref key = host::require(PyLong_FromLong(stock));
        host::ref item = host::require(host_value(value));
        host::require_status(PyDict_SetItem(dict.get(), key.get(), item.get()));
    }
    return dict;
}

PyObject *start_analysis(PyObject *, PyObject *args) {
    PyObject *prices, *columns;
    int stock_count, window, step;
    if (!PyArg_ParseTuple(args, "OOiii", &prices, &columns, &stock_count, &window, &step)) return nullptr;
    return host::guarded([&] {
        ravelin::analysis::start_analysis(reinterpret_cast<PyArrayObject *>(prices),
                                          map_from_dict<std::map<int, int>>(columns), stock_count, window, step);
        return host::ref::borrow(Py_None);
    });
}

PyObject *record_date(PyObject *, PyObject *args) {
    int row;
    if (!PyArg_ParseTuple(args, "i", &row)) return nullptr;
    ravelin::analysis::record_date(row);
    Py_RETURN_NONE;
}

// A failure that ends a run (left pending by the analysis module) is raised.
PyObject *record_entry(PyObject *, PyObject *args) {
    int stock;
    double value;
    if (!PyArg_ParseTuple(args, "id", &stock, &value)) return nullptr;
    return host::guarded([&] {
        ravelin::analysis::record_entry(stock, value);
        return host::ref::borrow(Py_None);
    });
}

PyObject *record_exit(PyObject *, PyObject *args) {
    int stock;
    if (!PyArg_ParseTuple(args, "i", &stock)) return nullptr;
    return host::guarded([&] {
        ravelin::analysis::record_exit(stock);
        return host::ref::borrow(Py_None);
    });
}

PyObject *end_analysis(PyObject *, PyObject *open_positions) {
    return host::guarded([&] {
        auto book = map_from_dict<ravelin::position_book>(open_positions);
        return ravelin::analysis::end_analysis(book);
    });
}

// set_position(book, stock, target, cash, fee_ratio, tax_ratio,
//              check_held=True, erase_closed=False) -> (cash, book)
PyObject *set_position(PyObject *, PyObject *args) {
    PyObject *book_dict;
    int stock, check_held = 1, erase_closed = 0;
    double target, cash, fee_ratio, tax_ratio;
    if (!PyArg_ParseTuple(args, "Oidddd|pp", &book_dict, &stock, &target, &cash, &fee_ratio, &tax_ratio,
                          &check_held, &erase_closed)) {
        return nullptr;
    }
    return host::guarded([&] {
        auto book = map_from_dict<ravelin::position_book>(book_dict);
        const double new_cash = ravelin::set_position(book, stock, target, cash, fee_ratio, tax_ratio,
                                                      {check_held != 0, erase_closed != 0});
        return host::require(Py_BuildValue("(dN)", new_cash, dict_of(book).release()));
    });
}

// rebalance(book, weights, cash, fee_ratio, tax_ratio, position_limit) -> (cash, book)
PyObject *rebalance(PyObject *, PyObject *args) {
    PyObject *book_dict, *weights;
    double cash, fee_ratio, tax_ratio, position_limit;
    if (!PyArg_ParseTuple(args, "OOdddd", &book_dict, &weights, &cash, &fee_ratio, &tax_ratio, &position_limit)) {
        return nullptr;
    }
    return host::guarded([&] {
        auto book = map_from_dict<ravelin::position_book>(book_dict);
        const double new_cash = ravelin::rebalance(book, weights, cash, fee_ratio, tax_ratio, position_limit);
        return host::require(Py_BuildValue("(dN)", new_cash, dict_of(book).release()));
    });
}

// map_columns(price_columns, pos_columns) -> {stock index: price column}
PyObject *map_columns(PyObject *, PyObject *args) {
    PyObject *price_columns, *pos_columns;
    if (!PyArg_ParseTuple(args, "OO", &price_columns, &pos_columns)) return nullptr;
    return host::guarded([&] { return ravelin::map_columns(price_columns, pos_columns); });
}

// column_map_from_dict(mapping) -> dict, through the engine's std::map<int,int>
PyObject *column_map_from_dict(PyObject *, PyObject *mapping) {
    return host::guarded([&] { return dict_of(ravelin::column_map_from_dict(mapping)); });
}

// rebalance_mask(price_index, resample) -> list of 0/1 per price row
PyObject *rebalance_mask(PyObject *, PyObject *args) {
    PyObject *price_index, *resample;
    if (!PyArg_ParseTuple(args, "OO", &price_index, &resample)) return nullptr;
    return host::guarded([&] {
        auto mask = ravelin::build_rebalance_mask(host::int64_1d::of(price_index), host::int64_1d::of(resample));
        host::ref list = host::require(PyList_New(0));
        for (const auto flag : mask) {
            host::ref item = host::require(PyLong_FromLongLong(flag));
            host::require_status(PyList_Append(list.get(), item.get()));
        }
        return list;
    });
}

// weight_rows_differ(pos_values, row_a, row_b) -> bool
PyObject *weight_rows_differ(PyObject *, PyObject *args) {
    PyObject *pos_values;
    Py_ssize_t row_a, row_b;
    if (!PyArg_ParseTuple(args, "Onn", &pos_values, &row_a, &row_b)) return nullptr;
    return host::guarded([&] {
        auto view = host::float64_2d::of(pos_values);
        return host::ref::borrow(ravelin::weight_rows_differ(view, row_a, row_b) ? Py_True : Py_False);
    });
}

// float64_2d / int64_1d / object_1d view checks: view_shape(kind, array)
PyObject *view_element(PyObject *, PyObject *args) {
    const char *kind;
    PyObject *array;
    Py_ssize_t i, j = 0;
    if (!PyArg_ParseTuple(args, "sOn|n", &kind, &array, &i, &j)) return nullptr;
    return host::guarded([&]() -> host::ref {
        const std::string_view name = kind;
        if (name == "float64_2d") return host::require(PyFloat_FromDouble(host::float64_2d::of(array).get(i, j)));
        if (name == "float64_1d") return host::require(PyFloat_FromDouble(host::float64_1d::of(array).get(i)));
        if (name == "int64_1d") return host::require(PyLong_FromLongLong(host::int64_1d::of(array).get(i)));
        if (name == "object_1d") return host::ref::borrow(host::object_1d::of(array).get(i));
        host::raise(PyExc_ValueError, "unknown view kind");
    });
}

PyMethodDef methods[] = {
    {"start_analysis", start_analysis, METH_VARARGS, nullptr},
    {"record_date", record_date, METH_VARARGS, nullptr},
    {"record_entry", record_entry, METH_VARARGS, nullptr},
    {"record_exit", record_exit, METH_VARARGS, nullptr},
    {"end_analysis", end_analysis, METH_O, nullptr},
    {"set_position", set_position, METH_VARARGS, nullptr},
    {"rebalance", rebalance, METH_VARARGS, nullptr},
    {"map_columns", map_columns, METH_VARARGS, nullptr},
    {"column_map_from_dict", column_map_from_dict, METH_O, nullptr},
    {"rebalance_mask", rebalance_mask, METH_VARARGS, nullptr},
    {"weight_rows_differ", weight_rows_differ, METH_VARARGS, nullptr},
    {"view_element", view_element, METH_VARARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

int exec(PyObject *module) {
    return host::run_guarded([&] {
               ravelin::module_object = module;
               ravelin::intern_strings();
               host::import_type_objects();
               ravelin::analysis::bind_variables();
               ravelin::analysis::bind_functions();
           })
               ? 0
               : -1;
}

PyModuleDef_Slot slots[] = {
    {Py_mod_exec, reinterpret_cast<void *>(exec)},
    {0, nullptr},
};

PyModuleDef definition = {
    PyModuleDef_HEAD_INIT, "norvane._testing", "Test-only access to native internals.", 0, methods, slots,
    nullptr, nullptr, nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit__testing() { return PyModuleDef_Init(&definition); }
