#include "ravelin/trade_listing.hpp"

#include "host/arg_parser.hpp"
#include "host/buffer_view.hpp"
#include "host/errors.hpp"
#include "host/module_setup.hpp"
#include "ravelin/engine_state.hpp"
#include "ravelin/run_lock.hpp"

namespace ravelin {
namespace {

const host::keyword_table listing_parameters("get_trade_stocks", {"pos_columns", "price_index"}, 2);

bool is_open_trade(PyObject *exit_row, PyObject *minus_one) {
    return host::require_status(PyObject_RichCompareBool(exit_row, minus_one, Py_NE)) == 0;
}

struct listing_inputs {
    PyObject *analysis_module;
    PyObject *pos_columns;
    PyObject *price_index;
    PyObject *minus_one;
    PyObject *one;
};

// Nine elements, built in order, each reading what it needs when it needs
// it (so a malformed trade fails on the element that uses it): stock name,
// entry date, exit date, the dates one row before entry and exit, entry
// value, holding rows, entry row, exit row.
host::ref trade_row(PyObject *trade, Py_ssize_t i, const listing_inputs &in) {
    auto date_at = [&](PyObject *row) { return host::require(PyObject_GetItem(in.price_index, row)); };
    auto row_before = [&](PyObject *row) { return host::require(PyNumber_Subtract(row, in.one)); };
    host::ref row = host::require(PyList_New(9));
    auto put = [&](Py_ssize_t position, host::ref value) { PyList_SET_ITEM(row.get(), position, value.release()); };

    host::ref stock = host::require(PySequence_GetItem(trade, 0));
    put(0, host::require(PyObject_GetItem(in.pos_columns, stock.get())));
    host::ref entry_row = host::require(PySequence_GetItem(trade, 1));
    put(1, date_at(entry_row.get()));
    host::ref exit_row = host::require(PySequence_GetItem(trade, 2));
    const bool open = is_open_trade(exit_row.get(), in.minus_one);
    put(2, open ? host::ref::borrow(in.minus_one) : date_at(exit_row.get()));
    // An entry on the first row has no row before it.
    host::ref zero = host::require(PyLong_FromLong(0));
    const bool first_row = host::require_status(PyObject_RichCompareBool(entry_row.get(), zero.get(), Py_EQ)) == 1;
    put(3, first_row ? host::ref::borrow(in.minus_one) : date_at(row_before(entry_row.get()).get()));
    put(4, open ? host::ref::borrow(in.minus_one) : date_at(row_before(exit_row.get()).get()));
    host::ref entry_values = host::require(PyObject_GetAttr(in.analysis_module, strings.trade_positions));
    put(5, host::require(PySequence_GetItem(entry_values.get(), i)));
    if (open) {
        const Py_ssize_t days = PyObject_Length(in.price_index);
        if (days < 0) host::throw_pending();
        host::ref length = host::require(PyLong_FromSsize_t(days));
        put(6, host::require(PyNumber_Subtract(length.get(), entry_row.get())));
    } else {
        put(6, host::require(PyNumber_Subtract(exit_row.get(), entry_row.get())));
    }
    put(7, std::move(entry_row));
    put(8, std::move(exit_row));
    return row;
}

host::ref list_trades(PyObject *pos_columns, PyObject *price_index) {
    host::ref analysis_module = module_global(strings.tessary);
    host::ref trades = host::require(PyObject_GetAttr(analysis_module.get(), strings.trades));
    host::ref minus_one = host::require(PyLong_FromLong(-1));
    host::ref one = host::require(PyLong_FromLong(1));
    const listing_inputs inputs{analysis_module.get(), pos_columns, price_index, minus_one.get(), one.get()};
    host::ref rows = host::require(PyList_New(0));
    host::ref iterator = host::require(PyObject_GetIter(trades.get()));
    Py_ssize_t i = 0;
    while (host::ref trade = host::ref::steal(PyIter_Next(iterator.get()))) {
        if (PyErr_CheckSignals() < 0) host::throw_pending();  // a long listing stays interruptible
        host::ref row = trade_row(trade.get(), i++, inputs);
        host::require_status(PyList_Append(rows.get(), row.get()));
    }
    host::throw_if_pending();
    return rows;
}

}  // namespace

PyObject *get_trade_stocks(PyObject *, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    return host::guarded_traced("norvane.ravelin.get_trade_stocks", [&] {  // pinned
        PyObject *values[2];
        listing_parameters.parse(args, nargs, kwnames, values);
        host::require_ndarray_or_none(values[0], "pos_columns");
        host::require_ndarray_or_none(values[1], "price_index");
        host::object_1d::of(values[0]);
        host::int64_1d::of(values[1]);
        const run_lock one_at_a_time("get_trade_stocks");
        host::ref rows = list_trades(values[0], values[1]);
        return host::require(PyTuple_Pack(2, rows.get(), stock_operations));
    });
}

PyObject *get_stock_operations(PyObject *, PyObject *) {
    return host::guarded_traced("norvane.ravelin.get_stock_operations", [&] {  // pinned
        const run_lock one_at_a_time("get_stock_operations");
        if (stock_operations == nullptr || stock_operations == Py_None) {
            host::raise_format(PyExc_AttributeError, "'NoneType' object has no attribute '%.30s'", "copy");  // pinned
        }
        if (PyDict_CheckExact(stock_operations)) return host::require(PyDict_Copy(stock_operations));
        return host::require(PyObject_CallMethod(stock_operations, "copy", nullptr));
    });
}

PyObject *ioft(PyObject *, PyObject *timestamp) {
    return host::guarded_traced("norvane.ravelin.ioft", [&] {  // pinned
        host::ref seconds;
        if (PyFloat_Check(timestamp)) {
            seconds = host::require(PyFloat_FromDouble(PyFloat_AS_DOUBLE(timestamp) / 1e9));
        } else if (PyLong_Check(timestamp)) {
            const double value = PyLong_AsDouble(timestamp);
            if (value == -1.0 && PyErr_Occurred()) host::throw_pending();
            seconds = host::require(PyFloat_FromDouble(value / 1e9));
        } else {
            host::ref billion = host::require(PyFloat_FromDouble(1e9));
            seconds = host::require(PyNumber_TrueDivide(timestamp, billion.get()));
        }
        host::ref datetime_module = module_global(strings.datetime);
        host::ref datetime_class = host::require(PyObject_GetAttr(datetime_module.get(), strings.datetime));
        return host::require(PyObject_CallMethodOneArg(datetime_class.get(), strings.fromtimestamp, seconds.get()));
    });
}

}  // namespace ravelin
