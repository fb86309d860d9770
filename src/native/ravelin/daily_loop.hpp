// The daily loop: for every price row, marking to market with stop-loss and
// take-profit exits, settling queued exits, executing a scheduled
// rebalance, valuation, the position-row cursor and scheduling.
#pragma once

#include "ravelin/run_state.hpp"

namespace ravelin {

void run_daily_loop(const run_arguments &arguments, run_state &state);

// True exactly when no column's absolute difference is NaN and at least
// one is greater than 0 (what `abs(a - b).sum() > 0` says of two rows).
bool weight_rows_differ(const host::float64_2d &pos_values, Py_ssize_t row_a, Py_ssize_t row_b);

}  // namespace ravelin
