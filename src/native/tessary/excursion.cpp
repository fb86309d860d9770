#include "tessary/excursion.hpp"

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdint>
#include <vector>

#include "host/buffer_view.hpp"
#include "host/errors.hpp"
#include "tessary/state.hpp"

namespace tessary {
namespace {

// Day arithmetic is 32-bit int arithmetic, wrapping like the int it is.
int wrap32(std::int64_t value) { return static_cast<int>(static_cast<std::uint32_t>(value)); }

// The walk's series, one element per day offset from the entry row.
struct excursion_paths {
    std::vector<double> best, worst, drawdown, profit_days, growth;
    std::vector<int> worst_step;

    void reserve(size_t count) {
        for (auto *series : {&best, &worst, &drawdown, &profit_days, &growth}) series->reserve(count);
        worst_step.reserve(count);
    }
    size_t length() const { return growth.size(); }
};

// Compounds the valid day-over-day ratios of one price column from row
// `entry_row` to row `end`; a NaN price is skipped.
void walk_prices(const host::float64_2d &matrix, int entry_row, int end, Py_ssize_t column,
                 excursion_paths &paths) {
    const Py_ssize_t rows = matrix.shape(0);
    paths.best.push_back(1.0);
    paths.worst.push_back(1.0);
    paths.worst_step.push_back(0);
    paths.drawdown.push_back(0.0);
    paths.profit_days.push_back(0.0);
    paths.growth.push_back(1.0);

    double previous = matrix.raw(host::numpy_index(entry_row, rows, 0), column);
    double growth = 1.0;
    for (int i = 0;; ++i) {
        const int day = wrap32(std::int64_t(entry_row) + 1 + i);
        if (day > end) break;
        matrix.prefetch(std::int64_t(day) + 16, column);  // rows lie a whole row apart
        const double price = matrix.raw(host::numpy_index(day, rows, 0), column);
        if (!std::isnan(price)) {
            if (previous == 0.0) host::raise(PyExc_ZeroDivisionError, "float division");  // pinned
            const double ratio = price / previous;
            previous = price;
            if (!std::isnan(ratio)) growth = ratio * growth;
        }
        paths.best.push_back(growth > paths.best[i] ? growth : paths.best[i]);
        if (paths.worst[i] > growth) {
            paths.worst.push_back(growth);
            paths.worst_step.push_back(i);
        } else {
            paths.worst.push_back(paths.worst[i]);
            paths.worst_step.push_back(paths.worst_step[i]);
        }
        const double drawdown = growth / paths.best[i + 1] - 1;
        paths.drawdown.push_back(paths.drawdown[i] > drawdown ? drawdown : paths.drawdown[i]);
        paths.profit_days.push_back(growth > 1.0 ? paths.profit_days[i] + 1 : paths.profit_days[i] + 0);
        paths.growth.push_back(growth);
    }
}

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

// A new float64 array of `size` slots (org_np.empty).
host::ref new_record(int size) {
    host::ref numpy = module_global(names.org_np);
    host::ref length = host::require(PyLong_FromLong(size));
    return host::require(PyObject_CallMethodOneArg(numpy.get(), names.empty, length.get()));
}

void write_group(host::float64_1d &record, Py_ssize_t first_slot, const excursion_paths &paths, size_t t) {
    record.set(first_slot + adverse_excursion, paths.worst[t] - 1);
    record.set(first_slot + favourable_excursion, paths.best[t] - 1);
    record.set(first_slot + favourable_before_adverse, paths.best[paths.worst_step[t]] - 1);
    record.set(first_slot + drawdown, paths.drawdown[t]);
    record.set(first_slot + profit_days, paths.profit_days[t]);
    record.set(first_slot + period_return, paths.growth[t] - 1);
}

host::ref compute_record(int entry_row, int stock) {
    const int exit_row = current_date;
    int end = exit_row;
    const int window_end = wrap32(std::int64_t(entry_row) + window);
    if (window_end > end) end = window_end;

    if (prices == Py_None) host::raise_not_subscriptable(prices);
    host::float64_2d matrix = host::float64_2d::of(prices);
    const Py_ssize_t rows = matrix.shape(0);
    if (end >= rows) end = static_cast<int>(rows - 1);

    const int span = wrap32(std::int64_t(end) - entry_row + 1);
    if (span < 0) host::raise(PyExc_OverflowError, "can't convert negative value to size_t");  // pinned
    excursion_paths paths;
    // The walk never outgrows the matrix; an entry row far outside it
    // fails on its first row instead of reserving for a phantom span.
    paths.reserve(std::min<size_t>(span, size_t(rows) + 1));

    const int mapped_column = stock_column.try_emplace(stock, 0).first->second;
    host::numpy_index(entry_row, rows, 0);  // prices[s] is indexed before [col]
    const Py_ssize_t column = host::numpy_index(mapped_column, matrix.shape(1), 0);
    walk_prices(matrix, entry_row, end, column, paths);

    host::ref record_object = new_record(record_length());
    host::float64_1d record = host::float64_1d::of(record_object.get(), true);
    for (Py_ssize_t slot = 0; slot < record.shape(0); ++slot) record.raw_set(slot, -1.0);  // unwritten slots

    const size_t length = paths.length();
    const size_t sampled = std::min<size_t>(static_cast<size_t>(static_cast<Py_ssize_t>(window)), length);
    if (window_step > 0) {
        Py_ssize_t slot = 0;
        for (size_t t = 0; t < sampled; t += static_cast<size_t>(window_step)) {
            write_group(record, slot, paths, t);
            slot += group_size;
        }
    }
    const size_t exit_offset = std::min<size_t>(length - 1, static_cast<size_t>(static_cast<Py_ssize_t>(
                                                                wrap32(std::int64_t(exit_row) - entry_row))));
    write_group(record, record.shape(0) - group_size, paths, exit_offset);
    return record_object;
}

}  // namespace

host::ref tessary_analysis(int entry_row, int stock) {
    return host::traced("norvane.tessary.tessary_analysis",  // pinned
                        [&] { return compute_record(entry_row, stock); });
}

}  // namespace tessary
