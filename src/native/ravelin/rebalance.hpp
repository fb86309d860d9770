// Trading the position book to one row of target weights.
#pragma once

#include "host/ref.hpp"
#include "ravelin/position_book.hpp"

namespace ravelin {

// Scales `weights` (a 1-D float64 array; element i is stock index i) to the
// equity, caps each target at equity * position_limit and trades every
// stock of the row through set_position, in index order. Returns the new
// cash. An internal error is reported as unraisable and 0.0 is returned;
// only a KeyboardInterrupt or MemoryError is thrown on, to end the run.
double rebalance(position_book &positions, PyObject *weights, double cash, double fee_ratio, double tax_ratio,
                 double position_limit);

}  // namespace ravelin
