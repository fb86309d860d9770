// The most recent valid price of a price column before a given row.
//
// A rebalance row takes its prices as the reference the next rows are
// measured against; where the row has no price for a column, that
// reference is the column's last valid price, so a holding carried through
// the rebalance still books the move when its price returns.
#pragma once

#include <vector>

#include "core/matrix_view.hpp"

namespace core {

class price_history {
public:
    // The last non-NaN price of `column` in the rows before `row`, NaN when
    // it has none. Rows must not decrease from one call to the next.
    double last_valid_before(const matrix_view &matrix, std::ptrdiff_t row, std::ptrdiff_t column);

private:
    // Rows [0, scanned_rows_[c]) of column c have been read; their last
    // valid price is found_[c]. Each walk back stops there, so a run reads
    // each column of the matrix at most once.
    std::vector<std::ptrdiff_t> scanned_rows_;
    std::vector<double> found_;
};

}  // namespace core
