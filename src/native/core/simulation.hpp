// One run of the engine over plain arrays: marking, stops, exits,
// rebalances, valuation, scheduling and every trade's excursion record. All
// of a run's state lives in its `run`; nothing here touches the host, so a
// run may go on with the interpreter lock released, beside other runs.
#pragma once

#include <cstdint>
#include <vector>

#include "core/chunked_column.hpp"
#include "core/excursion_walk.hpp"
#include "core/matrix_view.hpp"
#include "core/position_book.hpp"
#include "core/price_history.hpp"

namespace core {

// What a run reads. Every index in it is in range (the entry checks).
struct run_inputs {
    matrix_view prices;                      // price rows x price columns; NaN marks a missing price
    vector_view<std::int64_t> price_dates;   // one per price row, ascending
    matrix_view weights;                     // position rows x stocks, at least one row
    vector_view<std::int64_t> weight_dates;  // one per position row, ascending
    vector_view<double> weight_sums;         // each weight row's own (pairwise) sum
    std::vector<int> stock_columns;          // the price column of each stock
    std::vector<std::uint8_t> rebalance_rows;  // 1 on a row whose scheduled rebalance may run
};

struct run_options {
    costs cost;
    double stop_loss = 0.0;    // its absolute value is the loss that stops a holding out
    double take_profit = 0.0;  // likewise the gain
    bool touched_exit = false;
    double position_limit = 1.0;
    int window = 0;  // at least 0
    int window_step = 1;  // at least 1
    // Rebalance on every scheduled row, to the weights in force, whether or
    // not a new position row has come.
    bool retarget = false;
    // Weights are fractions of the portfolio value (a row summing to 0.5
    // keeps half in cash), not shares of the row's sum.
    bool absolute_weights = false;
    // Stops and take-profits measure a holding's growth from its entry, not
    // from the last rebalance.
    bool stop_from_entry = false;
};

enum class run_failure { none, interrupted, zero_price, zero_equity };

// Asked between rows whether the run is to stop (Ctrl-C, say).
struct interrupt_poll {
    bool (*stop)(void *context) = nullptr;
    void *context = nullptr;
};

// Next-day action codes.
enum action_code : std::int8_t { action_enter = 0, action_exit = 1, action_stop_exit = 2 };

// Why a trade ended.
enum exit_reason : std::int8_t { exit_by_rebalance = 0, exit_by_stop_loss = 1, exit_by_take_profit = 2, still_open = 3 };

// What a run leaves, as columns.
struct run_results {
    std::vector<double> equity;  // one value per price row
    // One entry per trade: closed trades in closing order, then the open
    // ones by stock (exit row -1).
    chunked_column<std::int64_t> trade_stock, trade_entry_row, trade_exit_row;
    chunked_column<double> trade_entry_value;
    chunked_column<std::int8_t> trade_exit_reason;
    chunked_column<double> records;  // record_length values per trade
    std::int64_t record_length = 0;
    // The book's entries at the end (value over equity), by stock.
    std::vector<std::int64_t> weight_stock;
    std::vector<double> weight;
    // The nonzero weights of the position row in force at the end.
    std::vector<std::int64_t> next_weight_stock;
    std::vector<double> next_weight;
    // What the next trading day does, in the order decided.
    std::vector<std::int64_t> action_stock;
    std::vector<std::int8_t> action;
};

run_failure simulate(const run_inputs &inputs, const run_options &options, const interrupt_poll &poll,
                     run_results &results);

// One flag per price row: the last row dated on or before each rebalance
// date (a shared cursor that never moves back).
std::vector<std::uint8_t> rebalance_rows(const vector_view<std::int64_t> &price_dates,
                                         const vector_view<std::int64_t> &rebalance_dates);

}  // namespace core
