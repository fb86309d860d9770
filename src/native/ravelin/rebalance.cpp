#include "ravelin/rebalance.hpp"

#include <algorithm>
#include <cmath>
#include <iterator>

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

// The first stock at or after `stock` whose weight is not 0 (NaN is not).
Py_ssize_t next_weighted(const host::float64_1d &row, Py_ssize_t stock) {
    while (stock < row.shape(0) && row.raw(stock) == 0.0) ++stock;
    return stock;
}

double trade_to_weights(position_book &positions, PyObject *weights, double cash, double fee_ratio,
                        double tax_ratio, double position_limit) {
    host::float64_1d row = host::float64_1d::of(weights);
    if (row.empty_source()) host::raise(PyExc_AttributeError, "'NoneType' object has no attribute 'sum'");  // pinned
    double total = cash;
    for (const auto &[stock, value] : positions) total = total + value;
    const double scale = total / (weight_sum(weights) + 1e-7);
    const double cap = total * position_limit;
    // A zero target for a stock not held changes nothing. With a finite
    // scale and a cap of at least 0 a zero weight makes a zero target, so
    // only the weighted and the held stocks are visited; the book is walked
    // alongside the row.
    const bool zero_weight_is_nothing = std::isfinite(scale) && !(0.0 > cap);
    auto next_held = positions.begin();
    for (Py_ssize_t stock = 0; stock < row.shape(0); ++stock) {
        while (next_held != positions.end() && next_held->first < stock) ++next_held;
        if (zero_weight_is_nothing) {
            const Py_ssize_t held_stock = next_held != positions.end() ? next_held->first : row.shape(0);
            stock = std::min(next_weighted(row, stock), held_stock);
            if (stock >= row.shape(0)) break;
        }
        double target = row.raw(stock) * scale;
        if (target > cap) target = cap;
        const bool held = next_held != positions.end() && next_held->first == stock;
        if (target == 0.0 && !held) continue;
        // Trading one stock leaves every other entry (and iterator) alone.
        const auto following = held ? std::next(next_held) : next_held;
        cash = set_position(positions, static_cast<int>(stock), target, cash, fee_ratio, tax_ratio, true, true);
        next_held = following;
    }
    return cash;
}

}  // namespace

double rebalance(position_book &positions, PyObject *weights, double cash, double fee_ratio, double tax_ratio,
                 double position_limit) {
    return host::value_or_report("norvane.ravelin.rebalance", 0.0, [&] {  // pinned context
        return trade_to_weights(positions, weights, cash, fee_ratio, tax_ratio, position_limit);
    });
}

}  // namespace ravelin
