#include "ravelin/lean_entry.hpp"

#include <pythread.h>

#include <atomic>
#include <climits>

#include "core/simulation.hpp"
#include "host/arg_parser.hpp"
#include "host/buffer_view.hpp"
#include "host/conversions.hpp"
#include "host/core_views.hpp"
#include "host/errors.hpp"
#include "host/module_setup.hpp"
#include "ravelin/engine_state.hpp"

namespace ravelin {
namespace {

enum parameter {
    price_values, price_index, stock_columns, pos_values, pos_index, weight_sums, resample,
    fee_ratio, tax_ratio, stop_loss, take_profit, touched_exit, position_limit, tessary_window,
    tessary_window_step, retarget, absolute_weights, stop_from_entry, parameter_count,
};

const host::keyword_table simulate_parameters(
    "simulate",
    {"price_values", "price_index", "stock_columns", "pos_values", "pos_index", "weight_sums", "resample",
     "fee_ratio", "tax_ratio", "stop_loss", "take_profit", "touched_exit", "position_limit", "tessary_window",
     "tessary_window_step", "retarget", "absolute_weights", "stop_from_entry"},
    7);

unsigned long main_thread = 0;
std::atomic<unsigned long> cancellations{0};

// The views a run reads, held (with the arrays behind them) for its length.
struct held_inputs {
    host::float64_2d prices, weights;
    host::int64_1d price_dates, weight_dates, columns, rebalance_dates;
    host::float64_1d sums;
};

template <class View>
View required_view(PyObject *object, const char *name) {
    if (object == Py_None) host::raise_format(PyExc_TypeError, "%s: expected a NumPy array, got None", name);
    host::require_ndarray_or_none(object, name);
    return View::of(object);
}

void require_length(Py_ssize_t got, Py_ssize_t expected, const char *name, const char *what) {
    if (got != expected) {
        host::raise_format(PyExc_ValueError, "%s: expected %zd values, one per %s, got %zd", name, expected, what,
                           got);
    }
}

template <class T>
core::vector_view<T> core_vector(const host::strided_view<T, 1> &view) {
    return {view.data(), view.shape(0), view.stride(0)};
}

std::vector<int> checked_columns(const host::int64_1d &columns, Py_ssize_t price_columns) {
    std::vector<int> out(columns.shape(0));
    for (Py_ssize_t stock = 0; stock < columns.shape(0); ++stock) {
        const std::int64_t column = columns.raw(stock);
        if (column < 0 || column >= price_columns) {
            host::raise_format(PyExc_ValueError,
                               "stock_columns: stock %zd reads price column %lld, but price_values has %zd columns",
                               stock, static_cast<long long>(column), price_columns);
        }
        out[stock] = static_cast<int>(column);
    }
    return out;
}

core::run_inputs check_inputs(PyObject *const *values, held_inputs &held) {
    held.prices = required_view<host::float64_2d>(values[price_values], "price_values");
    held.price_dates = required_view<host::int64_1d>(values[price_index], "price_index");
    held.columns = required_view<host::int64_1d>(values[stock_columns], "stock_columns");
    held.weights = required_view<host::float64_2d>(values[pos_values], "pos_values");
    held.weight_dates = required_view<host::int64_1d>(values[pos_index], "pos_index");
    held.sums = required_view<host::float64_1d>(values[weight_sums], "weight_sums");
    held.rebalance_dates = required_view<host::int64_1d>(values[resample], "resample");

    const Py_ssize_t rows = held.prices.shape(0);
    if (rows >= INT_MAX) host::raise_format(PyExc_ValueError, "price_values: %zd rows are too many", rows);
    require_length(held.price_dates.shape(0), rows, "price_index", "price row");
    if (held.weights.shape(0) == 0) host::raise(PyExc_ValueError, "pos_values: expected at least one position row");
    require_length(held.weight_dates.shape(0), held.weights.shape(0), "pos_index", "position row");
    require_length(held.sums.shape(0), held.weights.shape(0), "weight_sums", "position row");
    require_length(held.columns.shape(0), held.weights.shape(1), "stock_columns", "column of pos_values");

    core::run_inputs inputs;
    inputs.prices = host::core_view(held.prices);
    inputs.price_dates = core_vector(held.price_dates);
    inputs.weights = host::core_view(held.weights);
    inputs.weight_dates = core_vector(held.weight_dates);
    inputs.weight_sums = core_vector(held.sums);
    inputs.stock_columns = checked_columns(held.columns, held.prices.shape(1));
    inputs.rebalance_rows = core::rebalance_rows(inputs.price_dates, core_vector(held.rebalance_dates));
    return inputs;
}

double double_or(PyObject *value, double fallback) { return value != nullptr ? host::to_double(value) : fallback; }
int int_or(PyObject *value, int fallback) { return value != nullptr ? host::to_int32(value) : fallback; }

core::run_options check_options(PyObject *const *values, Py_ssize_t rows) {
    core::run_options options;
    options.cost = {double_or(values[fee_ratio], defaults.fee_ratio), double_or(values[tax_ratio], defaults.tax_ratio)};
    options.stop_loss = double_or(values[stop_loss], defaults.stop_loss);
    options.take_profit = double_or(values[take_profit], defaults.take_profit);
    options.touched_exit = values[touched_exit] != nullptr ? host::to_bool(values[touched_exit]) : false;
    options.retarget = values[retarget] != nullptr ? host::to_bool(values[retarget]) : false;
    options.absolute_weights = values[absolute_weights] != nullptr ? host::to_bool(values[absolute_weights]) : false;
    options.stop_from_entry = values[stop_from_entry] != nullptr ? host::to_bool(values[stop_from_entry]) : false;
    options.position_limit = double_or(values[position_limit], 1.0);
    options.window = int_or(values[tessary_window], 0);
    options.window_step = int_or(values[tessary_window_step], 1);
    if (options.window < 0 || options.window > rows) {
        host::raise_format(PyExc_ValueError, "tessary_window: expected 0 to %zd days (the price rows), got %d", rows,
                           options.window);
    }
    if (options.window_step < 1) {
        host::raise_format(PyExc_ValueError, "tessary_window_step: expected at least 1 day, got %d",
                           options.window_step);
    }
    return options;
}

// Asked every few hundred rows with the interpreter lock released. On the
// main thread: whether a signal handler raised (Ctrl-C), the lock briefly
// taken for it; elsewhere: whether cancel_runs was called since the start.
struct poll_context {
    PyThreadState *released = nullptr;
    bool on_main_thread = false;
    unsigned long cancellations_at_start = 0;
    bool signalled = false;
};

bool should_stop(void *opaque) {
    auto &context = *static_cast<poll_context *>(opaque);
    if (!context.on_main_thread) return cancellations.load(std::memory_order_relaxed) != context.cancellations_at_start;
    PyEval_RestoreThread(context.released);
    context.signalled = PyErr_CheckSignals() < 0;  // the exception stays pending
    context.released = PyEval_SaveThread();
    return context.signalled;
}

enum class outcome { done, failed, out_of_memory };

outcome run_released(const core::run_inputs &inputs, const core::run_options &options, core::run_results &results,
                     core::run_failure &failure, poll_context &context) {
    context.on_main_thread = PyThread_get_thread_ident() == main_thread;
    context.cancellations_at_start = cancellations.load(std::memory_order_relaxed);
    const core::interrupt_poll poll{should_stop, &context};
    outcome result = outcome::done;
    context.released = PyEval_SaveThread();
    try {
        failure = core::simulate(inputs, options, poll, results);
    } catch (const std::bad_alloc &) {
        result = outcome::out_of_memory;
    }
    PyEval_RestoreThread(context.released);
    return result;
}

[[noreturn]] void raise_failure(core::run_failure failure, const poll_context &context) {
    switch (failure) {
        case core::run_failure::interrupted:
            if (context.signalled) host::throw_pending();
            host::raise(PyExc_KeyboardInterrupt, "the run was cancelled");
        case core::run_failure::zero_price:
            host::raise(PyExc_ValueError, "price_values: a trade's price column holds a price of 0; prices must be "
                                          "positive (NaN marks a missing price)");
        case core::run_failure::zero_equity:
            host::raise(PyExc_ZeroDivisionError, "float division");  // as backtest_
        case core::run_failure::none: break;
    }
    host::raise(PyExc_SystemError, "simulate: an unknown failure");
}

// numpy.empty(shape, dtype=dtype), with its buffer handed to `fill`.
template <class Fill>
host::ref new_array(const char *dtype, Py_ssize_t rows, Py_ssize_t columns, Fill &&fill) {
    host::ref numpy = module_global(strings.org_np);
    host::ref shape = host::require(columns < 0 ? Py_BuildValue("(n)", rows) : Py_BuildValue("(nn)", rows, columns));
    host::ref empty = host::require(PyObject_GetAttr(numpy.get(), strings.empty));
    host::ref args = host::require(PyTuple_Pack(1, shape.get()));
    host::ref kwargs = host::require(Py_BuildValue("{s:s}", "dtype", dtype));
    host::ref array = host::require(PyObject_Call(empty.get(), args.get(), kwargs.get()));
    Py_buffer buffer;
    host::require_status(PyObject_GetBuffer(array.get(), &buffer, PyBUF_C_CONTIGUOUS | PyBUF_WRITABLE));
    fill(buffer.buf);
    PyBuffer_Release(&buffer);
    return array;
}

template <class T>
host::ref array_of(const std::vector<T> &data, const char *dtype, Py_ssize_t rows) {
    return new_array(dtype, rows, -1, [&](void *out) {
        if (!data.empty()) std::memcpy(out, data.data(), data.size() * sizeof(T));
    });
}

// A chunked column's values, each chunk freed once copied.
template <class T>
host::ref array_of(core::chunked_column<T> &data, const char *dtype, Py_ssize_t rows, Py_ssize_t columns = -1) {
    return new_array(dtype, rows, columns, [&](void *out) { data.move_to(static_cast<T *>(out)); });
}

host::ref results_dict(core::run_results &results) {
    const Py_ssize_t trades = static_cast<Py_ssize_t>(results.trade_stock.size());
    const std::pair<const char *, host::ref> columns[] = {
        {"equity", array_of(results.equity, "float64", static_cast<Py_ssize_t>(results.equity.size()))},
        {"trade_stock", array_of(results.trade_stock, "int64", trades)},
        {"trade_entry_row", array_of(results.trade_entry_row, "int64", trades)},
        {"trade_exit_row", array_of(results.trade_exit_row, "int64", trades)},
        {"trade_entry_value", array_of(results.trade_entry_value, "float64", trades)},
        {"trade_exit_reason", array_of(results.trade_exit_reason, "int8", trades)},
        {"records", array_of(results.records, "float64", trades, results.record_length)},
        {"weight_stock", array_of(results.weight_stock, "int64", results.weight_stock.size())},
        {"weight", array_of(results.weight, "float64", results.weight.size())},
        {"next_weight_stock", array_of(results.next_weight_stock, "int64", results.next_weight_stock.size())},
        {"next_weight", array_of(results.next_weight, "float64", results.next_weight.size())},
        {"action_stock", array_of(results.action_stock, "int64", results.action_stock.size())},
        {"action", array_of(results.action, "int8", results.action.size())},
    };
    host::ref dict = host::require(PyDict_New());
    for (const auto &[key, value] : columns) host::require_status(PyDict_SetItemString(dict.get(), key, value.get()));
    return dict;
}

}  // namespace

PyObject *simulate(PyObject *, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    return host::guarded_traced("norvane.ravelin.simulate", [&] {
        PyObject *values[parameter_count];
        simulate_parameters.parse(args, nargs, kwnames, values);
        held_inputs held;
        const core::run_inputs inputs = check_inputs(values, held);
        const core::run_options options = check_options(values, held.prices.shape(0));
        core::run_results results;
        core::run_failure failure = core::run_failure::none;
        poll_context context;
        if (run_released(inputs, options, results, failure, context) == outcome::out_of_memory) {
            host::raise(PyExc_MemoryError, "simulate: the run's results do not fit in memory");
        }
        if (failure != core::run_failure::none) raise_failure(failure, context);
        return results_dict(results);
    });
}

PyObject *cancel_runs(PyObject *, PyObject *) {
    cancellations.fetch_add(1, std::memory_order_relaxed);
    Py_RETURN_NONE;
}

void note_main_thread(unsigned long ident) { main_thread = ident; }

}  // namespace ravelin
