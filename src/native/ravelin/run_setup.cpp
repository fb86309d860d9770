#include "ravelin/run_setup.hpp"

#include <algorithm>
#include <cmath>

#include "host/conversions.hpp"
#include "ravelin/analysis_binding.hpp"
#include "ravelin/column_map.hpp"
#include "ravelin/engine_state.hpp"

namespace ravelin {
namespace {

host::ref size_of(PyObject *object) { return host::require(PyObject_GetAttr(object, strings.size)); }

host::ref call_numpy(PyObject *function_name, PyObject *argument, PyObject *kwargs) {
    host::ref numpy = module_global(strings.org_np);
    host::ref function = host::require(PyObject_GetAttr(numpy.get(), function_name));
    host::ref args = host::require(PyTuple_Pack(1, argument));
    return host::require(PyObject_Call(function.get(), args.get(), kwargs));
}

// org_np.empty(price_index.size, dtype=org_np.float64)
host::ref new_equity_curve(PyObject *price_index) {
    host::ref length = size_of(price_index);
    host::ref numpy = module_global(strings.org_np);
    host::ref float64 = host::require(PyObject_GetAttr(numpy.get(), strings.float64));
    host::ref kwargs = host::require(PyDict_New());
    host::require_status(PyDict_SetItem(kwargs.get(), strings.dtype, float64.get()));
    return call_numpy(strings.empty, length.get(), kwargs.get());
}

// org_np.ones(pos_values[0].size)
host::ref new_stock_array(PyObject *pos_values) {
    host::ref zero = host::require(PyLong_FromLong(0));
    host::ref first_row = host::require(PyObject_GetItem(pos_values, zero.get()));
    host::ref length = size_of(first_row.get());
    return call_numpy(strings.ones, length.get(), nullptr);
}

}  // namespace

host::ref weight_row(const run_arguments &arguments, int pos_row) {
    host::ref index = host::require(PyLong_FromLong(pos_row));
    return host::require(PyObject_GetItem(arguments.pos_values_object, index.get()));
}

std::vector<std::int64_t> build_rebalance_mask(const host::int64_1d &price_index, const host::int64_1d &resample) {
    const Py_ssize_t rows = price_index.shape(0);
    std::vector<std::int64_t> mask(rows, 0);
    if (rows == 0) return mask;  // no row to mark
    Py_ssize_t cursor = 0;
    for (Py_ssize_t k = 0; k < resample.shape(0); ++k) {
        const std::int64_t date = resample.raw(k);
        while (cursor + 1 < rows && price_index.raw(cursor + 1) <= date) ++cursor;
        mask[cursor] = 1;
    }
    return mask;
}

// Whether two stocks of a weight row read the same price column (duplicate
// names, or an unmatched name priced from column 0 beside the real one);
// the daily loop then marks all of them before it moves that column on.
bool any_column_shared(const std::vector<int> &price_column_of_stock) {
    std::vector<int> columns = price_column_of_stock;
    std::sort(columns.begin(), columns.end());
    return std::adjacent_find(columns.begin(), columns.end()) != columns.end();
}

void set_up_run(const run_arguments &arguments, run_state &state) {
    host::ref mapping = map_columns(arguments.price_columns_object, arguments.pos_columns_object);
    state.column_map = column_map_from_dict(mapping.get());
    state.portfolio_value = 1.0;
    state.rebalance_pending = false;
    state.pos_row = 0;

    state.equity_curve = host::owned_array<host::float64_1d>::of(new_equity_curve(arguments.price_index_object), true);
    if (state.equity_curve.view.shape(0) != arguments.price_index.shape(0)) {
        // Only an ndarray subclass that misreports its size gets here; the
        // curve must hold one value per date the loop walks.
        host::raise_format(PyExc_ValueError, "price_index reports size %zd but holds %zd dates",
                           state.equity_curve.view.shape(0), arguments.price_index.shape(0));
    }
    state.stock_growth = host::owned_array<host::float64_1d>::of(new_stock_array(arguments.pos_values_object), true);
    // Never read before the first rebalance replaces it by a row of prices.
    state.last_price.assign(state.stock_growth.view.shape(0), 1.0);

    state.price_column_of_stock.assign(state.stock_growth.view.shape(0), 0);
    for (const auto &[stock, column] : state.column_map) {
        if (stock >= 0 && static_cast<size_t>(stock) < state.price_column_of_stock.size()) {
            state.price_column_of_stock[stock] = column;
        }
    }
    state.columns_shared = any_column_shared(state.price_column_of_stock);

    state.stop_loss_level = 1 - std::fabs(arguments.stop_loss);
    state.take_profit_level = std::fabs(arguments.take_profit) + 1;
    state.last_pos_row = -1;

    if (arguments.resample_object == Py_None) {
        host::raise(PyExc_TypeError, "'NoneType' object is not iterable");  // pinned
    }
    state.rebalance_mask = build_rebalance_mask(arguments.price_index, arguments.resample);

    host::ref stock_count_object = size_of(arguments.pos_columns_object);
    const int stock_count = host::to_int32(stock_count_object.get());
    analysis::start_analysis(reinterpret_cast<PyArrayObject *>(arguments.price_values_object), state.column_map,
                             stock_count, arguments.tessary_window, arguments.tessary_window_step);
}

}  // namespace ravelin
