#include "ravelin/run_lock.hpp"

#include <pythread.h>

namespace ravelin {
namespace {

// Touched only with the interpreter lock held.
PyThread_type_lock lock = nullptr;
bool held = false;
unsigned long owner = 0;

// How long one wait for another thread's run lasts before pending signals
// are looked at again, in microseconds.
constexpr long long wait_slice = 20'000;

void wait_for_other_run() {
    for (;;) {
        PyLockStatus status;
        Py_BEGIN_ALLOW_THREADS
        status = PyThread_acquire_lock_timed(lock, wait_slice, 0);
        Py_END_ALLOW_THREADS
        if (status == PY_LOCK_ACQUIRED) return;
        if (PyErr_CheckSignals() < 0) host::throw_pending();
    }
}

}  // namespace

run_lock::run_lock(const char *function_name) {
    const unsigned long thread = PyThread_get_thread_ident();
    if (held && owner == thread) {
        host::raise_format(PyExc_RuntimeError,
                           "%s() called while a backtest is already running in this thread; "
                           "the engine runs one backtest at a time",
                           function_name);
    }
    if (lock == nullptr) {
        lock = PyThread_allocate_lock();
        if (lock == nullptr) host::raise(PyExc_MemoryError, "cannot allocate the engine's run lock");
    }
    if (PyThread_acquire_lock(lock, NOWAIT_LOCK) == 0) wait_for_other_run();
    held = true;
    owner = thread;
}

run_lock::~run_lock() {
    held = false;
    owner = 0;
    PyThread_release_lock(lock);
}

}  // namespace ravelin
