// The position book and the one operation that changes a holding, with the
// analysis module told of every opening and closing.
#pragma once

#include "core/position_book.hpp"

namespace ravelin {

using position_book = core::position_book;

// The analysis module hears of an opening or a closing before the book changes.
struct analysis_hooks {
    void entered(int stock, double value);
    void exited(int stock);
};

// Moves `stock`'s holding to `target`, settles the trade against `cash` with
// commission and tax, reports the entry or exit to the analysis module, and
// returns the new cash. An internal error is reported as unraisable and 0.0
// is returned; only a KeyboardInterrupt or MemoryError is thrown on, to end
// the run.
double set_position(position_book &positions, int stock, double target, double cash, double fee_ratio,
                    double tax_ratio, core::book_rules rules);

}  // namespace ravelin
