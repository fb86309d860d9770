// The engine's module-level state: what outlives a run.
#pragma once

#include "host/ref.hpp"

namespace ravelin {

// The module object whose namespace holds `org_np`, `tessary`, `datetime`.
extern PyObject *module_object;

// What the strategy holds and is to do on the next trading day, replaced by
// every run that reaches its results (a dict; None before set-up ends).
extern PyObject *stock_operations;

// Defaults of backtest_, fixed at module set-up.
// The rates a run charges when its caller leaves them out (the Python
// layer's Settings defaults are the same numbers).
inline constexpr double default_fee_ratio = 1.425 / 1000;
inline constexpr double default_tax_ratio = 3.0 / 1000;

struct run_defaults {
    double fee_ratio;
    double tax_ratio;
    double stop_loss;
    double take_profit;
};
extern run_defaults defaults;

// Interned strings used on every run.
struct interned_strings {
    PyObject *org_np, *tessary, *datetime, *trades, *trade_positions;
    PyObject *empty, *ones, *copy, *size, *float64, *dtype, *sum;
    PyObject *fromtimestamp, *actions, *weights, *next_weights, *enter, *exit, *sl_tp_exit;
};
extern interned_strings strings;
void intern_strings();

// A module-level name of the engine (namespace, then builtins).
host::ref module_global(PyObject *name);

}  // namespace ravelin
