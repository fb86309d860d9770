// Pausing the cyclic garbage collector for the length of a scope.
#pragma once

#include "host/ref.hpp"

namespace host {

// A run makes one container per trade and no reference cycle, so the
// collector would only walk the whole heap again and again while it runs.
// The caller's setting comes back when the scope ends, on every path: also
// when a hook the run called (an unraisable hook, a signal handler) changed
// it meanwhile.
class collector_paused {
public:
    collector_paused() noexcept : was_enabled_(PyGC_Disable() != 0) {}
    ~collector_paused() {
        if (was_enabled_) {
            PyGC_Enable();
        } else {
            PyGC_Disable();
        }
    }
    collector_paused(const collector_paused &) = delete;
    collector_paused &operator=(const collector_paused &) = delete;

private:
    bool was_enabled_;
};

}  // namespace host
