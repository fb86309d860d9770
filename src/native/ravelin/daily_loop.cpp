#include "ravelin/daily_loop.hpp"

#include <cmath>

#include "host/errors.hpp"
#include "host/module_setup.hpp"
#include "ravelin/analysis_binding.hpp"
#include "host/core_views.hpp"
#include "ravelin/engine_state.hpp"
#include "ravelin/rebalance.hpp"

namespace ravelin {
namespace {

int price_column_of(const run_state &state, int stock) {
    if (stock >= 0 && static_cast<size_t>(stock) < state.price_column_of_stock.size()) {
        return state.price_column_of_stock[stock];
    }
    const auto found = state.column_map.find(stock);
    return found != state.column_map.end() ? found->second : 0;  // unmapped stocks price from column 0
}

// Carries every holding from the last valid price to row `row`'s price and
// applies the stop levels; queues next-row exits in `new_exits`.
void mark_to_market(const run_arguments &arguments, run_state &state, Py_ssize_t row) {
    // The holdings' prices sit far apart in a large matrix: request all of
    // them before the first is needed, so the cache misses overlap.
    for (const auto &[stock, value] : state.positions) {
        arguments.price_values.prefetch(row, price_column_of(state, stock));
    }
    last_prices &last_price = state.last_price;
    host::float64_1d &stock_growth = state.stock_growth.view;
    for (auto entry = state.positions.begin(); entry != state.positions.end(); ++entry) {
        const int stock = entry->first;
        const int column = price_column_of(state, stock);
        const double last = last_price.get(column);  // before the price matrix: its bound is reported first
        const double price = arguments.price_values.get(row, column);
        double ratio = price / (std::isnan(last) ? price : last);
        // A column that several holdings read moves on once all of them are marked.
        if (!state.columns_shared && !std::isnan(price)) last_price.set(column, price);
        if (std::isnan(ratio)) ratio = 1;
        entry->second = entry->second * ratio;
        const double growth = stock_growth.get(stock) * ratio;
        stock_growth.set(stock, growth);

        const bool stop_loss_hit = growth < state.stop_loss_level;
        const bool take_profit_hit = growth > state.take_profit_level;
        if (arguments.touched_exit && (stop_loss_hit || take_profit_hit)) {
            // Exit at the level itself; the entry stays in the book at 0.0.
            const double level = stop_loss_hit ? state.stop_loss_level : state.take_profit_level;
            const double base_value = entry->second / growth;
            entry->second = base_value * level;
            state.cash = set_position(state.positions, stock, 0.0, state.cash, arguments.fee_ratio,
                                      arguments.tax_ratio, core::touched_exit_rules);
        } else if (!arguments.touched_exit && (stop_loss_hit || take_profit_hit)) {
            state.exits_found = true;
            state.new_exits.push_back(stock);
        }
    }
    if (state.columns_shared) {
        for (const auto &[stock, value] : state.positions) {
            const int column = price_column_of(state, stock);
            const double price = arguments.price_values.raw(row, column);  // read above: in bounds
            if (!std::isnan(price)) last_price.raw_set(column, price);
        }
    }
}

// Closes the holdings queued on the previous processed row.
void settle_pending_exits(const run_arguments &arguments, run_state &state) {
    for (const int stock : state.pending_exits) {
        const auto found = state.positions.find(stock);
        if (found == state.positions.end() || found->second == 0.0) continue;
        state.cash = set_position(state.positions, stock, 0.0, state.cash, arguments.fee_ratio, arguments.tax_ratio,
                                  core::pending_exit_rules);
    }
    state.pending_exits.clear();
    if (state.exits_found) {
        state.pending_exits = state.new_exits;
        state.new_exits.clear();
    }
}

// A column without a price on the rebalance row keeps its last valid price
// as the reference, so the move across the gap is booked when the price
// returns; a column never priced stays NaN and is valued at cost until its
// first price.
void fill_missing_references(const run_arguments &arguments, run_state &state, Py_ssize_t row) {
    const host::float64_2d &matrix = arguments.price_values;
    const Py_ssize_t price_row = host::numpy_index(row, matrix.shape(0), 0);
    for (const auto &[stock, value] : state.positions) {
        const int column = price_column_of(state, stock);
        if (!state.last_price.holds(column) || column >= matrix.shape(1)) continue;  // fails when read
        if (!std::isnan(state.last_price.raw_get(column))) continue;
        state.last_price.raw_set(column, state.past_prices.last_valid_before(host::core_view(matrix), price_row, column));
    }
}

// Trades to the weights of the position row in force, at this row's prices.
void execute_rebalance(const run_arguments &arguments, run_state &state, Py_ssize_t row) {
    host::ref weights = weight_row(arguments, state.pos_row);
    state.cash = rebalance(state.positions, weights.get(), state.cash, arguments.fee_ratio, arguments.tax_ratio,
                           arguments.position_limit);
    state.last_pos_row = state.pos_row;

    // last_price = price_values[row].copy(): natively for a plain array, and
    // only for the columns of the book. Until the next rebalance the book
    // only loses stocks, and marking reads nothing else.
    if (Py_TYPE(arguments.price_values_object) == host::ndarray_type()) {
        const Py_ssize_t price_row = host::numpy_index(row, arguments.price_values.shape(0), 0);
        state.last_price.take_row(arguments.price_values, price_row, [&](auto &&take) {
            for (const auto &[stock, value] : state.positions) take(price_column_of(state, stock));
        });
    } else {
        host::ref index = host::require(PyLong_FromSsize_t(row));
        host::ref price_row = host::require(PyObject_GetItem(arguments.price_values_object, index.get()));
        host::ref copied = host::require(PyObject_CallMethodNoArgs(price_row.get(), strings.copy));
        state.last_price.copy(host::float64_1d::of(copied.get()));
    }
    fill_missing_references(arguments, state, row);

    host::float64_1d &stock_growth = state.stock_growth.view;
    for (Py_ssize_t stock = 0; stock < stock_growth.shape(0); ++stock) stock_growth.raw_set(stock, 1.0);
}

double portfolio_value(const run_state &state) {
    double value = state.cash;
    for (const auto &[stock, holding] : state.positions) value = value + holding;
    return value;
}

// Moves the cursor to the last position row dated strictly before the next
// price date; on the last price row every remaining row is taken.
void advance_position_cursor(const run_arguments &arguments, run_state &state, Py_ssize_t row) {
    const Py_ssize_t rows = arguments.price_index.shape(0);
    const bool last_row = row == rows - 1;
    const std::int64_t next_date = last_row ? 0 : arguments.price_index.raw(row + 1);
    const Py_ssize_t last_pos_row = arguments.pos_index.shape(0) - 1;
    while (state.pos_row < last_pos_row && (last_row || arguments.pos_index.raw(state.pos_row + 1) < next_date)) {
        ++state.pos_row;
    }
}

void schedule_rebalance(const run_arguments &arguments, run_state &state, Py_ssize_t row) {
    if (state.pos_row == state.last_pos_row || state.rebalance_mask[row] == 0) {
        state.rebalance_pending = false;
    } else {
        state.rebalance_pending = state.last_pos_row == -1 ||
                                  weight_rows_differ(arguments.pos_values, state.pos_row, state.last_pos_row);
    }
}

}  // namespace

bool weight_rows_differ(const host::float64_2d &pos_values, Py_ssize_t row_a, Py_ssize_t row_b) {
    const Py_ssize_t rows = pos_values.shape(0);
    const core::matrix_view weights = host::core_view(pos_values);
    return core::rows_differ(weights.row(host::numpy_index(row_a, rows, 0)),
                             weights.row(host::numpy_index(row_b, rows, 0)));
}

void run_daily_loop(const run_arguments &arguments, run_state &state) {
    const Py_ssize_t rows = arguments.price_index.shape(0);
    for (Py_ssize_t row = 0; row < rows; ++row) {
        // A row may make no host call at all: Ctrl-C is looked for here.
        if (PyErr_CheckSignals() < 0) host::throw_pending();
        if (arguments.price_index.raw(row) < arguments.pos_index.get(0)) {
            state.equity_curve.view.set(row, 1.0);
            continue;
        }
        analysis::record_date(static_cast<int>(row));
        state.exits_found = false;
        mark_to_market(arguments, state, row);
        settle_pending_exits(arguments, state);

        if (state.rebalance_pending) {
            execute_rebalance(arguments, state, row);
            // The rebalance re-targeted every holding and restarted its
            // growth: a stop found on this row no longer holds.
            state.pending_exits.clear();
        }
        state.portfolio_value = portfolio_value(state);
        state.equity_curve.view.set(row, state.portfolio_value);
        advance_position_cursor(arguments, state, row);
        schedule_rebalance(arguments, state, row);
    }
}

}  // namespace ravelin
