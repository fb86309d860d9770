#include "core/excursion_walk.hpp"

#include <cmath>

namespace core {

// The running values of the walk at one day offset from the entry row.
struct excursion_walk::running {
    double growth = 1.0;             // product of the valid day-over-day ratios so far
    double best = 1.0;               // largest growth so far
    double worst = 1.0;              // smallest growth so far
    double best_before_worst = 1.0;  // the best growth before the step that last lowered the worst
    double deepest = 0.0;            // smallest growth / best - 1 so far: the drawdown
    double days_in_profit = 0.0;     // offsets at which growth was above 1

    void write(double *group) const {
        group[adverse_excursion] = worst - 1;
        group[favourable_excursion] = best - 1;
        group[favourable_before_adverse] = best_before_worst - 1;
        group[drawdown] = deepest;
        group[profit_days] = days_in_profit;
        group[period_return] = growth - 1;
    }
};

namespace {

std::ptrdiff_t from_end(std::ptrdiff_t index, std::ptrdiff_t size) { return index < 0 ? index + size : index; }

}  // namespace

void excursion_walk::sample(const running &state, std::size_t offset, std::size_t window_length, int window_step,
                            std::size_t exit_offset) {
    if (window_step > 0 && offset < window_length && offset % std::size_t(window_step) == 0) {
        const std::size_t first = count_ * group_size;
        if (window_groups_.size() < first + group_size) window_groups_.resize(first + group_size);
        state.write(&window_groups_[first]);
        ++count_;
    }
    if (offset == exit_offset) state.write(exit_group_);
}

bool excursion_walk::walk(const matrix_view &matrix, int entry_row, int end, std::ptrdiff_t column, int window,
                          int window_step, std::size_t exit_offset) {
    const std::ptrdiff_t rows = matrix.rows;
    const std::size_t window_length = static_cast<std::size_t>(static_cast<std::ptrdiff_t>(window));  // negative: "all"
    count_ = 0;
    running state;
    sample(state, 0, window_length, window_step, exit_offset);

    double previous = matrix.at(from_end(entry_row, rows), column);
    std::size_t offset = 0;
    for (int i = 0;; ++i) {
        const int day = wrap32(std::int64_t(entry_row) + 1 + i);
        if (day > end) break;
        matrix.prefetch(std::int64_t(day) + 16, column);  // rows lie a whole row apart
        const double price = matrix.at(from_end(day, rows), column);
        if (!std::isnan(price)) {
            if (previous == 0.0) return false;
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
        sample(state, ++offset, window_length, window_step, exit_offset);
    }
    if (exit_offset > offset) state.write(exit_group_);  // the exit lies beyond the walk
    return true;
}

std::int64_t record_length(int window, int window_step) {
    // floor((window - 1) / step) + 2 groups; the numerator is -1 at least.
    const std::int64_t numerator = std::int64_t(window) - 1;
    const std::int64_t quotient = numerator >= 0 ? numerator / window_step : -1;
    return (quotient + 2) * group_size;
}

bool excursion_record(excursion_walk &walker, const matrix_view &matrix, int entry_row, int exit_row,
                      std::ptrdiff_t column, int window, int window_step, double *record) {
    int end = exit_row;
    const int window_end = wrap32(std::int64_t(entry_row) + window);
    if (window_end > end) end = window_end;
    if (end >= matrix.rows) end = static_cast<int>(matrix.rows - 1);
    const std::size_t exit_offset = static_cast<std::size_t>(static_cast<std::ptrdiff_t>(exit_row - entry_row));
    if (!walker.walk(matrix, entry_row, end, column, window, window_step, exit_offset)) return false;

    const std::int64_t length = record_length(window, window_step);
    for (std::int64_t slot = 0; slot < length; ++slot) record[slot] = -1.0;  // unwritten slots
    for (std::size_t g = 0; g < walker.window_group_count(); ++g) {
        for (int k = 0; k < group_size; ++k) record[g * group_size + k] = walker.window_group(g)[k];
    }
    for (int k = 0; k < group_size; ++k) record[length - group_size + k] = walker.exit_group()[k];
    return true;
}

}  // namespace core
