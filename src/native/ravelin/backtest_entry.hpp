// The engine's run entry point.
#pragma once

#include "ravelin/run_state.hpp"

namespace ravelin {

// The run itself on converted arguments: setup, daily loop, results.
host::ref run_backtest(const run_arguments &arguments);

// backtest_(price_values, price_index, price_columns, pos_values, pos_index,
//           pos_columns, resample, fee_ratio=0.001425, tax_ratio=0.003,
//           stop_loss=-inf, take_profit=inf, touched_exit=False,
//           position_limit=1.0, tessary_window=0, tessary_window_step=1)
PyObject *backtest_(PyObject *module, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames);

}  // namespace ravelin
