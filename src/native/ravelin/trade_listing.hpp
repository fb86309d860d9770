// Reading a run's results afterwards: the trade listing, the next-day
// operations and timestamp conversion.
#pragma once

#include "host/ref.hpp"

namespace ravelin {

PyObject *get_trade_stocks(PyObject *module, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames);
PyObject *get_stock_operations(PyObject *module, PyObject *unused);
PyObject *ioft(PyObject *module, PyObject *timestamp);

}  // namespace ravelin
