#include "tessary/excursion.hpp"

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdint>
#include <vector>

#include "host/buffer_view.hpp"
#include "host/errors.hpp"
#include "tessary/record_slab.hpp"
#include "tessary/state.hpp"

namespace tessary {
namespace {

// Day arithmetic is 32-bit int arithmetic, wrapping like the int it is.
int wrap32(std::int64_t value) { return static_cast<int>(static_cast<std::uint32_t>(value)); }

// The running values of the walk at one day offset from the entry row.
struct excursion_state {
    double growth = 1.0;       // product of the valid day-over-day ratios so far
    double best = 1.0;         // largest growth so far
    double worst = 1.0;        // smallest growth so far
    double best_before_worst = 1.0;  // the best growth before the step that last lowered the worst
    double deepest = 0.0;      // smallest growth / best - 1 so far: the drawdown
    double days_in_profit = 0.0;  // offsets at which growth was above 1

    void write(double *group) const {
        group[adverse_excursion] = worst - 1;
        group[favourable_excursion] = best - 1;
        group[favourable_before_adverse] = best_before_worst - 1;
        group[drawdown] = deepest;
        group[profit_days] = days_in_profit;
        group[period_return] = growth - 1;
    }
};

// The groups a walk samples, kept between trades so that a trade costs no
// allocation: every `window_step`-th offset below `window`, then the exit.
struct sampled_groups {
    std::vector<double> window_groups;
    size_t count = 0;
    double exit_group[group_size];
};
sampled_groups samples;

void sample(const excursion_state &state, size_t offset, size_t window_length, size_t exit_offset) {
    if (window_step > 0 && offset < window_length && offset % size_t(window_step) == 0) {
        const size_t first = samples.count * group_size;
        if (samples.window_groups.size() < first + group_size) samples.window_groups.resize(first + group_size);
        state.write(&samples.window_groups[first]);
        ++samples.count;
    }
    if (offset == exit_offset) state.write(samples.exit_group);
}

// Compounds the valid day-over-day ratios of one price column from row
// `entry_row` to row `end` (a NaN price is skipped) in one pass, sampling
// the groups of the record on the way. The exit offset `exit_offset` is the
// last offset when it lies beyond it.
void walk_prices(const host::float64_2d &matrix, int entry_row, int end, Py_ssize_t column, size_t exit_offset) {
    const Py_ssize_t rows = matrix.shape(0);
    const size_t window_length = static_cast<size_t>(static_cast<Py_ssize_t>(window));  // a negative window is "all"
    samples.count = 0;
    excursion_state state;
    sample(state, 0, window_length, exit_offset);

    double previous = matrix.raw(host::numpy_index(entry_row, rows, 0), column);
    size_t offset = 0;
    for (int i = 0;; ++i) {
        const int day = wrap32(std::int64_t(entry_row) + 1 + i);
        if (day > end) break;
        matrix.prefetch(std::int64_t(day) + 16, column);  // rows lie a whole row apart
        const double price = matrix.raw(host::numpy_index(day, rows, 0), column);
        if (!std::isnan(price)) {
            if (previous == 0.0) host::raise(PyExc_ZeroDivisionError, "float division");  // pinned
            const double ratio = price / previous;
            previous = price;
            if (!std::isnan(ratio)) state.growth = ratio * state.growth;
        }
        const double best_before = state.best;
        if (state.growth > state.best) state.best = state.growth;
        if (state.worst > state.growth) {
            state.worst = state.growth;
            state.best_before_worst = best_before;
        }
        const double from_best = state.growth / state.best - 1;
        if (state.deepest > from_best) state.deepest = from_best;
        state.days_in_profit = state.growth > 1.0 ? state.days_in_profit + 1 : state.days_in_profit + 0;
        sample(state, ++offset, window_length, exit_offset);
    }
    if (exit_offset > offset) state.write(samples.exit_group);  // the exit lies beyond the walk
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
    walk_prices(matrix, entry_row, end, column, exit_offset);

    const int length = record_length();
    new_record record = cut_record(length);
    for (Py_ssize_t slot = 0; slot < length; ++slot) record.set(slot, -1.0);  // unwritten slots
    for (size_t g = 0; g < samples.count; ++g) {
        write_group(record, length, Py_ssize_t(g) * group_size, &samples.window_groups[g * group_size]);
    }
    write_group(record, length, length - group_size, samples.exit_group);
    return std::move(record.object);
}

}  // namespace

host::ref tessary_analysis(int entry_row, int stock) {
    return host::traced("norvane.tessary.tessary_analysis",  // pinned
                        [&] { return compute_record(entry_row, stock); });
}

}  // namespace tessary
