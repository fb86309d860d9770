// The excursion record of one trade: adverse and favourable excursion,
// drawdown, days in profit and return, sampled every `window_step` days
// below `window` days after the entry, and once more at the exit.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "core/matrix_view.hpp"

namespace core {

// Slots of one six-value group of an excursion record.
enum record_slot {
    adverse_excursion = 0,
    favourable_excursion = 1,
    favourable_before_adverse = 2,
    drawdown = 3,
    profit_days = 4,
    period_return = 5,
    group_size = 6,
};

// Day arithmetic is 32-bit int arithmetic, wrapping like the int it is.
inline int wrap32(std::int64_t value) { return static_cast<int>(static_cast<std::uint32_t>(value)); }

// The groups one walk sampled, kept between trades so that a trade costs no
// allocation: every `window_step`-th offset below `window`, then the exit.
class excursion_walk {
public:
    // Compounds the valid day-over-day ratios of price column `column` from
    // row `entry_row` to row `end` (a NaN price is skipped; negative rows
    // count from the end) in one pass, sampling the groups of the record on
    // the way. The exit group is the one at `exit_offset`, or the last
    // offset when it lies beyond the walk. False when a price the walk
    // divides by is 0.
    bool walk(const matrix_view &matrix, int entry_row, int end, std::ptrdiff_t column, int window, int window_step,
              std::size_t exit_offset);

    std::size_t window_group_count() const { return count_; }
    const double *window_group(std::size_t g) const { return &window_groups_[g * group_size]; }
    const double *exit_group() const { return exit_group_; }

private:
    struct running;
    void sample(const running &state, std::size_t offset, std::size_t window_length, int window_step,
                std::size_t exit_offset);

    std::vector<double> window_groups_;
    std::size_t count_ = 0;
    double exit_group_[group_size] = {};
};

// The record of a trade entered on row `entry_row` and left on row
// `exit_row` (the last row of the run for one still open), for a window of
// at least 0 and a step of at least 1: the walk to the later of the exit
// and the window's end, then `record_length(window, step)` values into
// `record`, -1 in every slot the prices end before. False as for `walk`.
bool excursion_record(excursion_walk &walker, const matrix_view &matrix, int entry_row, int exit_row,
                      std::ptrdiff_t column, int window, int window_step, double *record);
std::int64_t record_length(int window, int window_step);

}  // namespace core
