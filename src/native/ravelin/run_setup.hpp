// Run setup: column map, working arrays, stop levels, the rebalance mask,
// and the start of the analysis run.
#pragma once

#include "ravelin/run_state.hpp"

namespace ravelin {

void set_up_run(const run_arguments &arguments, run_state &state);

// One flag per price row: the last row dated on or before each rebalance
// date (a shared cursor that never moves back).
std::vector<std::int64_t> build_rebalance_mask(const host::int64_1d &price_index, const host::int64_1d &resample);

}  // namespace ravelin
