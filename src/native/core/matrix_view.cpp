#include "core/matrix_view.hpp"

namespace core {

bool rows_differ(const vector_view<double> &a, const vector_view<double> &b) {
    // |a - b| > 0 holds exactly when a - b is neither 0 nor NaN; one NaN
    // makes the whole sum NaN. No early exit: the loop stays branch-free.
    bool any_nan = false, any_change = false;
    for (std::ptrdiff_t column = 0; column < a.size; ++column) {
        const double difference = a[column] - b[column];
        any_nan |= difference != difference;
        any_change |= difference != 0.0;
    }
    return any_change && !any_nan;
}

}  // namespace core
