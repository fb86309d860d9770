#include "ravelin/results.hpp"

#include "host/buffer_view.hpp"
#include "ravelin/analysis_binding.hpp"
#include "ravelin/engine_state.hpp"

namespace ravelin {
namespace {

// Entries kept at 0.0 by a touched-mode exit already have their closed
// trade recorded; handing them over again would list the trade twice.
void end_analysis_run(const run_state &state) {
    position_book open_positions;
    for (const auto &[stock, value] : state.positions) {
        if (value != 0.0) open_positions.emplace_hint(open_positions.end(), stock, value);
    }
    analysis::end_analysis(open_positions);
}

host::ref new_operations_dict(PyObject *&actions, PyObject *&weights, PyObject *&next_weights) {
    host::ref operations = host::require(PyDict_New());
    for (auto [key, slot] : {std::pair{strings.actions, &actions}, std::pair{strings.weights, &weights},
                             std::pair{strings.next_weights, &next_weights}}) {
        host::ref inner = host::require(PyDict_New());
        host::require_status(PyDict_SetItem(operations.get(), key, inner.get()));
        *slot = inner.get();  // borrowed: the operations dict holds it
    }
    return operations;
}

void set_item(PyObject *dict, long key, PyObject *value) {
    host::ref key_object = host::require(PyLong_FromLong(key));
    host::require_status(PyDict_SetItem(dict, key_object.get(), value));
}

void fill_weights(PyObject *weights, const run_state &state) {
    for (const auto &[stock, value] : state.positions) {
        if (state.portfolio_value == 0.0) host::raise(PyExc_ZeroDivisionError, "float division");  // pinned
        host::ref share = host::require(PyFloat_FromDouble(value / state.portfolio_value));
        set_item(weights, stock, share.get());
    }
}

// The nonzero target weights of the row in force, as the row's own elements.
void fill_next_weights(PyObject *next_weights, const run_arguments &arguments, const run_state &state) {
    host::ref row = weight_row(arguments, state.pos_row);
    host::float64_1d weights = host::float64_1d::of(row.get());
    for (Py_ssize_t stock = 0; stock < weights.shape(0); ++stock) {
        if (weights.raw(stock) == 0) continue;
        host::ref element = host::require(PySequence_GetItem(row.get(), stock));
        set_item(next_weights, static_cast<long>(stock), element.get());
    }
}

// The openings and closings of the rebalance due on the next trading day,
// then the queued stop-loss and take-profit exits.
void fill_actions(PyObject *actions, const run_arguments &arguments, const run_state &state) {
    if (state.rebalance_pending) {
        host::ref row = weight_row(arguments, state.pos_row);
        host::float64_1d weights = host::float64_1d::of(row.get());
        for (Py_ssize_t stock = 0; stock < weights.shape(0); ++stock) {
            const double weight = weights.raw(stock);
            const auto found = state.positions.find(static_cast<int>(stock));
            const double value = found != state.positions.end() ? found->second : 0.0;
            if (value == 0.0 && weight != 0) set_item(actions, static_cast<long>(stock), strings.enter);
            if (value != 0.0 && weight == 0) set_item(actions, static_cast<long>(stock), strings.exit);
        }
    }
    for (const int stock : state.pending_exits) set_item(actions, stock, strings.sl_tp_exit);
}

}  // namespace

host::ref assemble_results(const run_arguments &arguments, run_state &state) {
    end_analysis_run(state);
    PyObject *actions, *weights, *next_weights;
    host::ref operations = new_operations_dict(actions, weights, next_weights);
    Py_XSETREF(stock_operations, operations.release());
    fill_weights(weights, state);
    fill_next_weights(next_weights, arguments, state);
    fill_actions(actions, arguments, state);
    return std::move(state.equity_curve.object);
}

}  // namespace ravelin
