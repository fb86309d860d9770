// One run at a time. A run keeps its trades and next-day operations in
// module state until the next run replaces them, so two runs must never
// interleave, and the readers of that state must not run inside a run.
#pragma once

#include "host/ref.hpp"

namespace ravelin {

// Held for the duration of a run or of a read of its results. A call from
// another thread waits for the run in progress, with the interpreter lock
// released (and stays interruptible); a call from the thread that is running
// a backtest (a re-entrant call from inside the run) raises RuntimeError.
class run_lock {
public:
    explicit run_lock(const char *function_name);
    ~run_lock();
    run_lock(const run_lock &) = delete;
    run_lock &operator=(const run_lock &) = delete;
};

}  // namespace ravelin
