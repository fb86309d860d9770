// End of a run: the analysis run is ended, `stock_operations` is replaced
// with the final weights, the next weights and the next day's actions, and
// the equity curve is returned.
#pragma once

#include "ravelin/run_state.hpp"

namespace ravelin {

host::ref assemble_results(const run_arguments &arguments, run_state &state);

}  // namespace ravelin
