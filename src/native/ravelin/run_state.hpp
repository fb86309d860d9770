// The arguments of one run, as native values and typed views, and the
// working state the run builds from them. Both live in the run and are
// released when it returns, on success and on failure.
#pragma once

#include <cstdint>
#include <map>
#include <vector>

#include "host/buffer_view.hpp"
#include "ravelin/position_book.hpp"
#include "core/price_history.hpp"

namespace ravelin {

struct run_arguments {
    PyObject *price_values_object = nullptr;
    PyObject *price_index_object = nullptr;
    PyObject *price_columns_object = nullptr;
    PyObject *pos_values_object = nullptr;
    PyObject *pos_index_object = nullptr;
    PyObject *pos_columns_object = nullptr;
    PyObject *resample_object = nullptr;

    host::float64_2d price_values;
    host::int64_1d price_index;
    host::object_1d price_columns;
    host::float64_2d pos_values;
    host::int64_1d pos_index;
    host::object_1d pos_columns;
    host::int64_1d resample;

    double fee_ratio = 0.0;
    double tax_ratio = 0.0;
    double stop_loss = 0.0;
    double take_profit = 0.0;
    bool touched_exit = false;
    double position_limit = 1.0;
    int tessary_window = 0;
    int tessary_window_step = 1;
};

// The last valid price of each price column. Element access is checked like
// a typed view's: a negative column counts from the end.
class last_prices {
public:
    void assign(Py_ssize_t count, double value) { values_.assign(count, value); }
    // Takes the prices of one row of the price matrix: the whole row's size,
    // the values of the columns `read_columns` visits (the only ones read
    // before the next row is taken). Columns outside the matrix are left to
    // fail when they are read.
    template <class Visit>
    void take_row(const host::float64_2d &matrix, Py_ssize_t row, Visit &&read_columns) {
        values_.resize(matrix.shape(1));
        read_columns([&](Py_ssize_t column) {
            if (column >= 0 && column < matrix.shape(1)) values_[column] = matrix.raw(row, column);
        });
    }
    void copy(const host::float64_1d &row) {
        values_.resize(row.shape(0));
        for (Py_ssize_t column = 0; column < row.shape(0); ++column) values_[column] = row.raw(column);
    }
    double get(Py_ssize_t column) const { return values_[checked(column)]; }
    bool holds(Py_ssize_t column) const { return column >= 0 && column < static_cast<Py_ssize_t>(values_.size()); }
    double raw_get(Py_ssize_t column) const { return values_[column]; }
    void set(Py_ssize_t column, double value) { values_[checked(column)] = value; }
    void raw_set(Py_ssize_t column, double value) { values_[column] = value; }

private:
    Py_ssize_t checked(Py_ssize_t column) const {
        const Py_ssize_t size = static_cast<Py_ssize_t>(values_.size());
        if (column < 0) column += size;
        if (column < 0 || column >= size) host::raise_out_of_bounds(0);
        return column;
    }
    std::vector<double> values_;
};

struct run_state {
    position_book positions;
    std::map<int, int> column_map;
    // column_map flattened over the stock indices of a weight row (0 where
    // a stock has no price column), for the per-row lookups.
    std::vector<int> price_column_of_stock;
    // Some price column is read by more than one stock.
    bool columns_shared = false;
    double cash = 1.0;
    double portfolio_value = 1.0;
    bool rebalance_pending = false;
    int pos_row = 0;
    int last_pos_row = -1;

    host::owned_array<host::float64_1d> equity_curve;
    host::owned_array<host::float64_1d> stock_growth;
    last_prices last_price;
    core::price_history past_prices;

    double stop_loss_level = 0.0;
    double take_profit_level = 0.0;
    std::vector<std::int64_t> rebalance_mask;
    std::vector<int> pending_exits;
    std::vector<int> new_exits;
    bool exits_found = false;
};

// pos_values[pos_row] as the host indexes it (a 1-D float64 array).
host::ref weight_row(const run_arguments &arguments, int pos_row);

}  // namespace ravelin
