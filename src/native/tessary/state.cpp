#include "tessary/state.hpp"

#include <vector>

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
interned_strings strings{};

void intern_strings() {
    host::intern_all({{&strings.trades, "trades"},
                      {&strings.trade_positions, "trade_positions"},
                      {&strings.tessary, "tessary"},
                      {&strings.org_np, "org_np"},
                      {&strings.zeros, "zeros"},
                      {&strings.empty, "empty"},
                      {&strings.clear, "clear"},
                      {&strings.dtype, "dtype"}});
}

namespace {

// A view of one of the typed variables, with the object it was taken of.
template <class View>
struct cached_view {
    PyObject *source = nullptr;  // borrowed; the view's buffer keeps it alive
    View view;
    bool usable = false;

    void forget() noexcept {
        view = View();
        source = nullptr;
        usable = false;
    }
};

// Never destroyed: at process exit a destructor would hand buffers back to
// an interpreter that has already gone.
cached_view<host::float64_2d> &prices_cache = *new cached_view<host::float64_2d>;
cached_view<host::int64_1d> &entry_cache = *new cached_view<host::int64_1d>;
cached_view<host::float64_1d> &position_cache = *new cached_view<host::float64_1d>;

void forget_views_of(PyObject *&variable) noexcept {
    if (&variable == &prices) prices_cache.forget();
    if (&variable == reinterpret_cast<PyObject **>(&entry)) entry_cache.forget();
    if (&variable == reinterpret_cast<PyObject **>(&position)) position_cache.forget();
}

// A writable view of an exact ndarray of the view's element type, or none.
template <class View>
View *plain_array_view(cached_view<View> &cache, PyObject *array) {
    if (cache.source != array) {
        cache.forget();
        cache.source = array;
        if (array != nullptr && Py_TYPE(array) == host::ndarray_type()) {
            try {
                cache.view = View::of(array, true);
                cache.usable = true;
            } catch (const host::error_already_set &) {
                PyErr_Clear();  // another dtype or layout: item assignment handles it
            }
        }
    }
    return cache.usable ? &cache.view : nullptr;
}

}  // namespace

namespace {

// Entries of stock_column never change once made, so a lookup can be kept.
constexpr int not_looked_up = -1;
std::vector<int> looked_up_columns;

}  // namespace

int column_of_stock(int stock) {
    const bool cacheable = stock >= 0 && static_cast<size_t>(stock) < stock_column.size() + 4096;
    if (cacheable && static_cast<size_t>(stock) < looked_up_columns.size() && looked_up_columns[stock] != not_looked_up) {
        return looked_up_columns[stock];
    }
    const int column = stock_column.try_emplace(stock, 0).first->second;
    if (cacheable && column != not_looked_up) {
        if (looked_up_columns.size() <= static_cast<size_t>(stock)) looked_up_columns.resize(stock + 1, not_looked_up);
        looked_up_columns[stock] = column;
    }
    return column;
}

void set_stock_column(const std::map<int, int> &columns) {
    stock_column = columns;
    looked_up_columns.clear();
}

const host::float64_2d &price_view() {
    if (prices_cache.source != prices || !prices_cache.usable) {
        prices_cache.forget();
        prices_cache.view = host::float64_2d::of(prices);
        prices_cache.source = prices;
        prices_cache.usable = true;
    }
    return prices_cache.view;
}

host::int64_1d *entry_view() { return plain_array_view(entry_cache, reinterpret_cast<PyObject *>(entry)); }
host::float64_1d *position_view() { return plain_array_view(position_cache, reinterpret_cast<PyObject *>(position)); }

void assign_array(PyObject *&variable, PyObject *value) {
    PyTypeObject *ndarray = host::ndarray_type();
    if (value != Py_None && (ndarray == nullptr || !PyObject_TypeCheck(value, ndarray))) {
        host::raise_format(PyExc_TypeError, "Cannot convert %.200s to %.200s", Py_TYPE(value)->tp_name,  // pinned
                           ndarray != nullptr ? ndarray->tp_name : "numpy.ndarray");
    }
    forget_views_of(variable);
    Py_INCREF(value);
    Py_XSETREF(variable, value);
}

host::ref zeros_array(PyObject *shape, PyObject *element_type) {
    host::ref numpy = module_global(strings.org_np);
    host::ref zeros = host::require(PyObject_GetAttr(numpy.get(), strings.zeros));
    host::ref args = host::require(PyTuple_Pack(1, shape));
    host::ref kwargs = host::require(PyDict_New());
    host::require_status(PyDict_SetItem(kwargs.get(), strings.dtype, element_type));
    return host::require(PyObject_Call(zeros.get(), args.get(), kwargs.get()));
}

host::ref module_global(PyObject *name) { return host::lookup_global(module_object, name); }

}  // namespace tessary
