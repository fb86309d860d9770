#include "ravelin/price_history.hpp"

#include <cmath>
#include <limits>

namespace ravelin {

double price_history::last_valid_before(const host::float64_2d &matrix, Py_ssize_t row, Py_ssize_t column) {
    if (scanned_rows_.empty()) {
        scanned_rows_.assign(matrix.shape(1), 0);
        found_.assign(matrix.shape(1), std::numeric_limits<double>::quiet_NaN());
    }
    Py_ssize_t &scanned = scanned_rows_[column];
    double &found = found_[column];
    for (Py_ssize_t earlier = row - 1; earlier >= scanned; --earlier) {
        const double price = matrix.raw(earlier, column);
        if (!std::isnan(price)) {
            found = price;
            break;
        }
    }
    if (row > scanned) scanned = row;
    return found;
}

}  // namespace ravelin
