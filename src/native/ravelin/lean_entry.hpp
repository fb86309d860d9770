// simulate: the engine's lean entry. The same run as backtest_, from arrays
// the caller has prepared, with the interpreter lock released and every
// result returned as columns; nothing is left in module state, so any
// number of threads may call it at once.
#pragma once

#include "host/ref.hpp"

namespace ravelin {

// simulate(price_values, price_index, stock_columns, pos_values, pos_index,
//          weight_sums, resample, fee_ratio=0.001425, tax_ratio=0.003,
//          stop_loss=-inf, take_profit=inf, touched_exit=False,
//          position_limit=1.0, tessary_window=0, tessary_window_step=1,
//          retarget=False, absolute_weights=False, stop_from_entry=False) -> dict
PyObject *simulate(PyObject *module, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames);

// cancel_runs(): every run of simulate in progress on a thread other than
// the main one ends with KeyboardInterrupt (the main thread's runs answer
// Ctrl-C themselves).
PyObject *cancel_runs(PyObject *module, PyObject *);

// The thread whose runs look for Ctrl-C themselves; set at module set-up.
void note_main_thread(unsigned long ident);

}  // namespace ravelin
