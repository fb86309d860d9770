// backtest_: the argument contract (fifteen parameters by position or
// keyword, their conversions, defaults and messages) and the phases of one
// run.
#include "ravelin/backtest_entry.hpp"

#include "host/arg_parser.hpp"
#include "host/collector.hpp"
#include "host/conversions.hpp"
#include "host/errors.hpp"
#include "host/module_setup.hpp"
#include "ravelin/daily_loop.hpp"
#include "ravelin/engine_state.hpp"
#include "ravelin/results.hpp"
#include "ravelin/run_lock.hpp"
#include "ravelin/run_setup.hpp"

namespace ravelin {
namespace {

enum parameter {
    price_values, price_index, price_columns, pos_values, pos_index, pos_columns, resample,
    fee_ratio, tax_ratio, stop_loss, take_profit, touched_exit, position_limit, tessary_window,
    tessary_window_step, parameter_count,
};

const host::keyword_table backtest_parameters(
    "backtest_",
    {"price_values", "price_index", "price_columns", "pos_values", "pos_index", "pos_columns", "resample",
     "fee_ratio", "tax_ratio", "stop_loss", "take_profit", "touched_exit", "position_limit", "tessary_window",
     "tessary_window_step"},
    7);

double double_or(PyObject *value, double fallback) { return value != nullptr ? host::to_double(value) : fallback; }
int int_or(PyObject *value, int fallback) { return value != nullptr ? host::to_int32(value) : fallback; }

void convert_arguments(PyObject *const *values, run_arguments &arguments) {
    arguments.fee_ratio = double_or(values[fee_ratio], defaults.fee_ratio);
    arguments.tax_ratio = double_or(values[tax_ratio], defaults.tax_ratio);
    arguments.stop_loss = double_or(values[stop_loss], defaults.stop_loss);
    arguments.take_profit = double_or(values[take_profit], defaults.take_profit);
    arguments.touched_exit = values[touched_exit] != nullptr ? host::to_bool(values[touched_exit]) : false;
    arguments.position_limit = double_or(values[position_limit], 1.0);
    arguments.tessary_window = int_or(values[tessary_window], 0);
    arguments.tessary_window_step = int_or(values[tessary_window_step], 1);

    const char *const array_names[] = {"price_values", "price_index", "price_columns", "pos_values",
                                       "pos_index",    "pos_columns", "resample"};
    for (int i = price_values; i <= resample; ++i) host::require_ndarray_or_none(values[i], array_names[i]);

    arguments.price_values_object = values[price_values];
    arguments.price_index_object = values[price_index];
    arguments.price_columns_object = values[price_columns];
    arguments.pos_values_object = values[pos_values];
    arguments.pos_index_object = values[pos_index];
    arguments.pos_columns_object = values[pos_columns];
    arguments.resample_object = values[resample];
    arguments.price_values = host::float64_2d::of(values[price_values]);
    arguments.price_index = host::int64_1d::of(values[price_index]);
    arguments.price_columns = host::object_1d::of(values[price_columns]);
    arguments.pos_values = host::float64_2d::of(values[pos_values]);
    arguments.pos_index = host::int64_1d::of(values[pos_index]);
    arguments.pos_columns = host::object_1d::of(values[pos_columns]);
    arguments.resample = host::int64_1d::of(values[resample]);
}

}  // namespace

host::ref run_backtest(const run_arguments &arguments) {
    run_state state;
    set_up_run(arguments, state);
    run_daily_loop(arguments, state);
    return assemble_results(arguments, state);
}

PyObject *backtest_(PyObject *, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    return host::guarded_traced("norvane.ravelin.backtest_", [&] {  // pinned
        PyObject *values[parameter_count];
        backtest_parameters.parse(args, nargs, kwnames, values);
        run_arguments arguments;
        convert_arguments(values, arguments);
        const run_lock one_at_a_time("backtest_");
        const host::collector_paused no_collection;
        return run_backtest(arguments);
    });
}

}  // namespace ravelin
