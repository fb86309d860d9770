#include "tessary/interface.hpp"

#include <climits>
#include <cstdint>

#include "host/buffer_view.hpp"
#include "host/conversions.hpp"
#include "host/errors.hpp"
#include "tessary/excursion.hpp"
#include "tessary/record_slab.hpp"
#include "tessary/state.hpp"

namespace tessary {
namespace {

// x.append(item), with the list fast path.
void append_to(PyObject *name, PyObject *item) {
    host::ref target = module_global(name);
    if (PyList_CheckExact(target.get())) {
        host::require_status(PyList_Append(target.get(), item));
    } else {
        host::require(PyObject_CallMethod(target.get(), "append", "O", item));
    }
}

// stock_array[stock] as the host's item access gives it (a NumPy scalar);
// integer item access spares a host int when the index is not negative.
host::ref element(PyArrayObject *array, int stock) {
    PyObject *object = reinterpret_cast<PyObject *>(array);
    if (stock >= 0) return host::require(PySequence_GetItem(object, stock));
    host::ref index = host::require(PyLong_FromLong(stock));
    return host::require(PyObject_GetItem(object, index.get()));
}

// The entry row as a 32-bit int: read from the array when it is a plain
// one, else through the scalar's integer conversion.
int entry_row_number(int stock, PyObject *entry_row) {
    if (host::int64_1d *entries = entry_view(); entries != nullptr && stock >= 0 && stock < entries->shape(0)) {
        const std::int64_t row = entries->raw(stock);
        if (row < INT_MIN || row > INT_MAX) host::raise(PyExc_OverflowError, "value too large to convert to int");
        return static_cast<int>(row);
    }
    return host::to_int32(entry_row);
}

// Appends one closed or still-open trade to the three result lists. The
// record is computed first, so a failing computation leaves all three
// lists as they were and they stay aligned.
void record_trade(int stock, PyObject *exit_row) {
    host::ref entry_row = element(entry, stock);
    host::ref entry_value = element(position, stock);
    host::ref record = tessary_analysis(entry_row_number(stock, entry_row.get()), stock);
    host::ref trade = host::require(PyList_New(3));
    PyList_SET_ITEM(trade.get(), 0, host::require(PyLong_FromLong(stock)).release());
    PyList_SET_ITEM(trade.get(), 1, entry_row.release());
    PyList_SET_ITEM(trade.get(), 2, host::ref::borrow(exit_row).release());
    append_to(strings.trades, trade.get());
    append_to(strings.trade_positions, entry_value.get());
    append_to(strings.tessary, record.get());
}

// entry[stock] = current_date; position[stock] = value, as item assignment
// would do them: straight into the arrays when they are plain ones.
void store_entry(int stock, double value) {
    host::int64_1d *entries = entry_view();
    host::float64_1d *values = entries != nullptr ? position_view() : nullptr;
    if (values != nullptr) {
        entries->raw_set(host::numpy_index(stock, entries->shape(0), 0), current_date);
        values->raw_set(host::numpy_index(stock, values->shape(0), 0), value);
        return;
    }
    host::ref index = host::require(PyLong_FromLong(stock));
    host::ref row = host::require(PyLong_FromLong(current_date));
    host::require_status(PyObject_SetItem(reinterpret_cast<PyObject *>(entry), index.get(), row.get()));
    host::ref amount = host::require(PyFloat_FromDouble(value));
    host::require_status(PyObject_SetItem(reinterpret_cast<PyObject *>(position), index.get(), amount.get()));
}

}  // namespace

// The void functions below never raise into the engine: a failure is
// reported as unraisable, except one that ends the run (KeyboardInterrupt,
// MemoryError), which is left pending for the engine to raise.

void start_analysis(PyArrayObject *price_matrix, std::map<int, int> columns, int stock_count, int window_length,
                    int step) {
    host::report_failure("norvane.tessary.start_analysis", [&] {  // pinned context
        PyObject *matrix = reinterpret_cast<PyObject *>(price_matrix);
        host::float64_2d::of(matrix);  // only the check; released at once
        assign_array(prices, matrix);
        set_stock_column(columns);
        window = window_length;
        window_step = step;
        for (PyObject *name : {strings.trades, strings.trade_positions, strings.tessary}) {
            host::ref list = module_global(name);
            host::require(PyObject_CallMethodNoArgs(list.get(), strings.clear));
        }
        host::ref count = host::require(PyLong_FromLong(stock_count));
        host::ref entries = zeros_array(count.get(), reinterpret_cast<PyObject *>(&PyLong_Type));
        assign_array(entry, entries.get());
        host::ref values = zeros_array(count.get(), reinterpret_cast<PyObject *>(&PyFloat_Type));
        assign_array(position, values.get());
        forget_record_slab();
    });
}

void record_date(int row) { current_date = row; }

void record_entry(int stock, double value) {
    host::report_failure("norvane.tessary.record_entry", [&] { store_entry(stock, value); });  // pinned context
}

void record_exit(int stock) {
    host::report_failure("norvane.tessary.record_exit", [&] {  // pinned context
        host::ref exit_row = host::require(PyLong_FromLong(current_date));
        record_trade(stock, exit_row.get());
    });
}

PyObject *end_analysis(std::map<int, double> &open_positions) {
    return host::guarded_traced("norvane.tessary.end_analysis", [&] {  // pinned context
        host::ref still_open = host::require(PyLong_FromLong(-1));
        for (const auto &[stock, value] : open_positions) {
            // Thousands of open trades may each walk a long price column.
            if (PyErr_CheckSignals() < 0) host::throw_pending();
            record_trade(stock, still_open.get());
        }
        forget_record_slab();
        return host::ref::borrow(Py_None);
    });
}

}  // namespace tessary
