#include "tessary/excursion.hpp"

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdint>
#include <vector>

#include "core/excursion_walk.hpp"
#include "host/buffer_view.hpp"
#include "host/core_views.hpp"
#include "host/errors.hpp"
#include "tessary/record_slab.hpp"
#include "tessary/state.hpp"

namespace tessary {
namespace {

using core::group_size;
using core::wrap32;

// Kept between trades, so that a trade costs no allocation.
core::excursion_walk walker;

// floor((window - 1) / window_step) + 2 groups, the division in 32-bit int
// arithmetic.
std::int64_t group_count() {
    const int numerator = wrap32(std::int64_t(window) - 1);
    if (window_step == 0) host::raise(PyExc_ZeroDivisionError, "integer division or modulo by zero");  // pinned
    if (window_step == -1 && numerator == INT_MIN) {
        host::raise(PyExc_OverflowError, "value too large to perform division");  // pinned
    }
    int quotient = numerator / window_step;
    const int remainder = numerator % window_step;
    if (remainder != 0 && ((remainder < 0) != (window_step < 0))) --quotient;
    return std::int64_t(quotient) + 2;
}

// The record's length. A window and step whose length leaves the int range,
// on either side, are refused rather than wrapped into an arbitrary size.
int record_length() {
    const std::int64_t length = group_count() * group_size;
    if (length > INT_MAX || length < INT_MIN) {
        host::raise_format(PyExc_OverflowError, "an excursion record of window %d and step %d would hold %lld values",
                           window, window_step, static_cast<long long>(length));
    }
    return static_cast<int>(length);
}

// Writes `group` into slots first_slot .. first_slot + 5 of a record of
// `length` slots: a slot outside it fails like a bounds-checked view (a
// negative slot counts from the end).
void write_group(const new_record &record, Py_ssize_t length, Py_ssize_t first_slot, const double *group) {
    for (int k = 0; k < group_size; ++k) {
        Py_ssize_t slot = first_slot + k;
        if (slot < 0) slot += length;
        if (slot < 0 || slot >= length) host::raise_out_of_bounds(0);
        record.set(slot, group[k]);
    }
}

host::ref compute_record(int entry_row, int stock) {
    const int exit_row = current_date;
    int end = exit_row;
    const int window_end = wrap32(std::int64_t(entry_row) + window);
    if (window_end > end) end = window_end;

    if (prices == Py_None) host::raise_not_subscriptable(prices);
    const host::float64_2d &matrix = price_view();
    const Py_ssize_t rows = matrix.shape(0);
    if (end >= rows) end = static_cast<int>(rows - 1);

    const int span = wrap32(std::int64_t(end) - entry_row + 1);
    if (span < 0) host::raise(PyExc_OverflowError, "can't convert negative value to size_t");  // pinned

    const int mapped_column = column_of_stock(stock);
    host::numpy_index(entry_row, rows, 0);  // prices[s] is indexed before [col]
    const Py_ssize_t column = host::numpy_index(mapped_column, matrix.shape(1), 0);
    const size_t exit_offset = static_cast<size_t>(static_cast<Py_ssize_t>(wrap32(std::int64_t(exit_row) - entry_row)));
    if (!walker.walk(host::core_view(matrix), entry_row, end, column, window, window_step, exit_offset)) {
        host::raise(PyExc_ZeroDivisionError, "float division");  // pinned
    }

    const int length = record_length();
    new_record record = cut_record(length);
    for (Py_ssize_t slot = 0; slot < length; ++slot) record.set(slot, -1.0);  // unwritten slots
    for (size_t g = 0; g < walker.window_group_count(); ++g) {
        write_group(record, length, Py_ssize_t(g) * group_size, walker.window_group(g));
    }
    write_group(record, length, length - group_size, walker.exit_group());
    return std::move(record.object);
}

}  // namespace

host::ref tessary_analysis(int entry_row, int stock) {
    return host::traced("norvane.tessary.tessary_analysis",  // pinned
                        [&] { return compute_record(entry_row, stock); });
}

}  // namespace tessary
