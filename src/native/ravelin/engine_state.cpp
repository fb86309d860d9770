#include "ravelin/engine_state.hpp"

#include "host/module_setup.hpp"

namespace ravelin {

PyObject *module_object = nullptr;
PyObject *stock_operations = nullptr;
run_defaults defaults{default_fee_ratio, default_tax_ratio, 0.0, 0.0};  // the levels are set at import
interned_strings strings{};

void intern_strings() {
    host::intern_all({
        {&strings.org_np, "org_np"},
        {&strings.tessary, "tessary"},
        {&strings.datetime, "datetime"},
        {&strings.trades, "trades"},
        {&strings.trade_positions, "trade_positions"},
        {&strings.empty, "empty"},
        {&strings.ones, "ones"},
        {&strings.copy, "copy"},
        {&strings.size, "size"},
        {&strings.float64, "float64"},
        {&strings.dtype, "dtype"},
        {&strings.sum, "sum"},
        {&strings.fromtimestamp, "fromtimestamp"},
        {&strings.actions, "actions"},
        {&strings.weights, "weights"},
        {&strings.next_weights, "next_weights"},
        {&strings.enter, "enter"},
        {&strings.exit, "exit"},
        {&strings.sl_tp_exit, "sl_tp_exit"},
    });
}

host::ref module_global(PyObject *name) { return host::lookup_global(module_object, name); }

}  // namespace ravelin
