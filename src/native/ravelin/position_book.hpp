// The position book and the one operation that changes a holding.
#pragma once

#include <map>

namespace ravelin {

// Stock index to the holding's current value (negative for a short; 0.0 for
// an entry kept with nothing held).
using position_book = std::map<int, double>;

// Moves `stock`'s holding to `target`, settles the trade against `cash` with
// commission and tax, reports the entry or exit to the analysis module, and
// returns the new cash. An internal error is reported as unraisable and 0.0
// is returned; only a KeyboardInterrupt or MemoryError is thrown on, to end
// the run.
double set_position(position_book &positions, int stock, double target, double cash, double fee_ratio,
                    double tax_ratio, bool check_held = true, bool erase_closed = false);

}  // namespace ravelin
