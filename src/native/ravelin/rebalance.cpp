#include "ravelin/rebalance.hpp"

#include "host/buffer_view.hpp"
#include "host/conversions.hpp"
#include "host/errors.hpp"
#include "ravelin/engine_state.hpp"

namespace ravelin {
namespace {

// The row's own `sum`: NumPy's pairwise summation, so the scale is
// bit-identical to what the array reports.
double weight_sum(PyObject *weights) {
    host::ref total = host::require(PyObject_CallMethodNoArgs(weights, strings.sum));
    return host::to_double(total.get());
}

double trade_to_weights(position_book &positions, PyObject *weights, double cash, double fee_ratio,
                        double tax_ratio, double position_limit) {
    host::float64_1d row = host::float64_1d::of(weights);
    if (row.empty_source()) host::raise(PyExc_AttributeError, "'NoneType' object has no attribute 'sum'");  // pinned
    const double row_sum = weight_sum(weights);
    const core::vector_view<double> elements{row.data(), row.shape(0), row.stride(0)};
    return core::trade_to_weights(positions, elements, row_sum, cash, position_limit,
                                  [&](int stock, double target, double cash_before) {
                                      return set_position(positions, stock, target, cash_before, fee_ratio, tax_ratio,
                                                          core::rebalance_rules);
                                  });
}

}  // namespace

double rebalance(position_book &positions, PyObject *weights, double cash, double fee_ratio, double tax_ratio,
                 double position_limit) {
    return host::value_or_report("norvane.ravelin.rebalance", 0.0, [&] {  // pinned context
        return trade_to_weights(positions, weights, cash, fee_ratio, tax_ratio, position_limit);
    });
}

}  // namespace ravelin
