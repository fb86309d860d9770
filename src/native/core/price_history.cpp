#include "core/price_history.hpp"

#include <cmath>
#include <limits>

namespace core {

double price_history::last_valid_before(const matrix_view &matrix, std::ptrdiff_t row, std::ptrdiff_t column) {
    if (scanned_rows_.empty()) {
        scanned_rows_.assign(matrix.columns, 0);
        found_.assign(matrix.columns, std::numeric_limits<double>::quiet_NaN());
    }
    std::ptrdiff_t &scanned = scanned_rows_[column];
    double &found = found_[column];
    for (std::ptrdiff_t earlier = row - 1; earlier >= scanned; --earlier) {
        const double price = matrix.at(earlier, column);
        if (!std::isnan(price)) {
            found = price;
            break;
        }
    }
    if (row > scanned) scanned = row;
    return found;
}

}  // namespace core
