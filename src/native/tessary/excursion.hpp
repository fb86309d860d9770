// The excursion record of one trade: adverse and favourable excursion,
// drawdown, days in profit and return, sampled every `window_step` days
// below `window` days after the entry, and once more at the exit.
#pragma once

#include "host/ref.hpp"

namespace tessary {

// The record of the trade of `stock` entered on day row `entry_row` and
// left on the current date. Throws with the exception pending and a
// traceback entry "norvane.tessary.tessary_analysis".
host::ref tessary_analysis(int entry_row, int stock);

}  // namespace tessary
