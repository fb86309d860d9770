#include "core/simulation.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

namespace core {
namespace {

// How many rows pass between two questions to the interrupt poll: a row
// costs microseconds, so Ctrl-C is answered within a millisecond or so.
constexpr std::ptrdiff_t rows_between_polls = 256;

class simulation {
public:
    simulation(const run_inputs &inputs, const run_options &options, run_results &results)
        : in_(inputs), options_(options), out_(results) {
        const std::ptrdiff_t stocks = in_.weights.columns;
        growth_.assign(stocks, 1.0);
        last_price_.assign(in_.prices.columns, std::numeric_limits<double>::quiet_NaN());
        entry_row_of_.assign(stocks, 0);
        entry_value_of_.assign(stocks, 0.0);
        stop_loss_level_ = 1 - std::fabs(options_.stop_loss);
        take_profit_level_ = std::fabs(options_.take_profit) + 1;
        out_.record_length = record_length(options_.window, options_.window_step);
        out_.records = chunked_column<double>(static_cast<std::size_t>(out_.record_length));
        out_.equity.assign(in_.prices.rows, 0.0);
        std::vector<int> columns = in_.stock_columns;
        std::sort(columns.begin(), columns.end());
        columns_shared_ = std::adjacent_find(columns.begin(), columns.end()) != columns.end();
    }

    run_failure run(const interrupt_poll &poll) {
        const std::ptrdiff_t rows = in_.prices.rows;
        const std::int64_t first_signal = in_.weight_dates[0];
        for (std::ptrdiff_t row = 0; row < rows; ++row) {
            if (row % rows_between_polls == 0 && poll.stop != nullptr && poll.stop(poll.context)) {
                return run_failure::interrupted;
            }
            if (in_.price_dates[row] < first_signal) {
                out_.equity[row] = 1.0;
                continue;
            }
            current_row_ = static_cast<int>(row);
            exits_found_ = false;
            mark_to_market(row);
            settle_pending_exits();
            if (rebalance_pending_) {
                execute_rebalance(row);
                // The rebalance re-targeted every holding and restarted its
                // growth: a stop found on this row no longer holds (unless
                // growth runs from the entry).
                if (!options_.stop_from_entry) {
                    pending_exits_.clear();
                    pending_exit_reasons_.clear();
                }
            }
            portfolio_value_ = portfolio_value();
            out_.equity[row] = portfolio_value_;
            advance_position_cursor(row);
            schedule_rebalance(row);
            if (failure_ != run_failure::none) return failure_;
        }
        record_open_trades();
        if (failure_ == run_failure::none) final_positions();
        return failure_;
    }

    // The book's hooks: an opening notes its row and value, a closing
    // records the trade.
    void entered(int stock, double value) {
        entry_row_of_[stock] = current_row_;
        entry_value_of_[stock] = value;
        entered_now_.push_back(stock);
    }
    void exited(int stock) { record_trade(stock, current_row_, exit_reason_); }

private:
    int column_of(int stock) const { return in_.stock_columns[stock]; }

    void record_trade(int stock, std::int64_t exit_row, exit_reason reason) {
        const std::int64_t entry_row = entry_row_of_[stock];
        const std::size_t length = static_cast<std::size_t>(out_.record_length);
        double *record = out_.records.extend(length);
        if (!excursion_record(walker_, in_.prices, static_cast<int>(entry_row), current_row_, column_of(stock),
                              options_.window, options_.window_step, record)) {
            out_.records.unextend(length);
            failure_ = run_failure::zero_price;
            return;
        }
        out_.trade_stock.push_back(stock);
        out_.trade_entry_row.push_back(entry_row);
        out_.trade_exit_row.push_back(exit_row);
        out_.trade_entry_value.push_back(entry_value_of_[stock]);
        out_.trade_exit_reason.push_back(reason);
    }

    // Carries every holding from its reference price to this row's price
    // and applies the stop levels; queues next-row exits.
    void mark_to_market(std::ptrdiff_t row) {
        // The holdings' prices sit far apart in a large matrix: request all
        // of them before the first is needed, so the cache misses overlap.
        for (const auto &[stock, value] : book_) in_.prices.prefetch(row, column_of(stock));
        for (auto &[stock, value] : book_) {
            const int column = column_of(stock);
            const double last = last_price_[column];
            const double price = in_.prices.at(row, column);
            double ratio = price / (std::isnan(last) ? price : last);
            // A column that several holdings read moves on once all of them are marked.
            if (!columns_shared_ && !std::isnan(price)) last_price_[column] = price;
            if (std::isnan(ratio)) ratio = 1;
            value = value * ratio;
            const double growth = growth_[stock] * ratio;
            growth_[stock] = growth;

            const bool stop_loss_hit = growth < stop_loss_level_;
            const bool take_profit_hit = growth > take_profit_level_;
            if (options_.touched_exit && (stop_loss_hit || take_profit_hit)) {
                // Exit at the level itself; the entry stays in the book at 0.0.
                const double level = stop_loss_hit ? stop_loss_level_ : take_profit_level_;
                const double base_value = value / growth;
                value = base_value * level;
                exit_reason_ = stop_loss_hit ? exit_by_stop_loss : exit_by_take_profit;
                cash_ = set_position(book_, stock, 0.0, cash_, options_.cost, touched_exit_rules, *this);
            } else if (!options_.touched_exit && (stop_loss_hit || take_profit_hit)) {
                exits_found_ = true;
                new_exits_.push_back(stock);
                new_exit_reasons_.push_back(stop_loss_hit ? exit_by_stop_loss : exit_by_take_profit);
            }
        }
        if (columns_shared_) {
            for (const auto &[stock, value] : book_) {
                const int column = column_of(stock);
                const double price = in_.prices.at(row, column);
                if (!std::isnan(price)) last_price_[column] = price;
            }
        }
    }

    // Closes the holdings queued on the previous processed row.
    void settle_pending_exits() {
        for (std::size_t i = 0; i < pending_exits_.size(); ++i) {
            const int stock = pending_exits_[i];
            const auto found = book_.find(stock);
            if (found == book_.end() || found->second == 0.0) continue;
            exit_reason_ = pending_exit_reasons_[i];
            cash_ = set_position(book_, stock, 0.0, cash_, options_.cost, pending_exit_rules, *this);
        }
        pending_exits_.clear();
        pending_exit_reasons_.clear();
        if (exits_found_) {
            pending_exits_.swap(new_exits_);
            pending_exit_reasons_.swap(new_exit_reasons_);
            new_exits_.clear();
            new_exit_reasons_.clear();
        }
    }

    // Trades to the weights of the position row in force, at this row's
    // prices, which become the holdings' reference prices (a missing one
    // the column's last valid price).
    void execute_rebalance(std::ptrdiff_t row) {
        exit_reason_ = exit_by_rebalance;
        flat_book_rebuild rebuild(book_);
        cash_ = trade_to_weights(book_, in_.weights.row(pos_row_), in_.weight_sums[pos_row_], cash_,
                                 options_.position_limit, [&](int stock, double target, double cash) {
                                     one_stock_book &one = rebuild.take(stock);
                                     const double after = set_position(one, stock, target, cash, options_.cost,
                                                                       rebalance_rules, *this);
                                     rebuild.put_back();
                                     return after;
                                 }, options_.absolute_weights);
        rebuild.finish();
        last_pos_row_ = pos_row_;
        for (const auto &[stock, value] : book_) {
            const int column = column_of(stock);
            last_price_[column] = in_.prices.at(row, column);
        }
        for (const auto &[stock, value] : book_) {
            const int column = column_of(stock);
            if (std::isnan(last_price_[column])) last_price_[column] = past_prices_.last_valid_before(in_.prices, row, column);
        }
        if (options_.stop_from_entry) {
            for (const int stock : entered_now_) growth_[stock] = 1.0;  // kept holdings go on from their entry
        } else {
            std::fill(growth_.begin(), growth_.end(), 1.0);
        }
        entered_now_.clear();
    }

    double portfolio_value() const {
        double value = cash_;
        for (const auto &[stock, holding] : book_) value = value + holding;
        return value;
    }

    // Moves the cursor to the last position row dated strictly before the
    // next price date; on the last price row every remaining row is taken.
    void advance_position_cursor(std::ptrdiff_t row) {
        const bool last_row = row == in_.prices.rows - 1;
        const std::int64_t next_date = last_row ? 0 : in_.price_dates[row + 1];
        const std::ptrdiff_t last_pos_row = in_.weights.rows - 1;
        while (pos_row_ < last_pos_row && (last_row || in_.weight_dates[pos_row_ + 1] < next_date)) ++pos_row_;
    }

    void schedule_rebalance(std::ptrdiff_t row) {
        if (options_.retarget) {
            rebalance_pending_ = in_.rebalance_rows[row] != 0;
        } else if (pos_row_ == last_pos_row_ || in_.rebalance_rows[row] == 0) {
            rebalance_pending_ = false;
        } else {
            rebalance_pending_ = last_pos_row_ == -1 || rows_differ(in_.weights.row(pos_row_), in_.weights.row(last_pos_row_));
        }
    }

    // Entries kept at 0.0 by a touched exit already have their trade.
    void record_open_trades() {
        for (const auto &[stock, value] : book_) {
            if (value != 0.0 && failure_ == run_failure::none) record_trade(stock, -1, still_open);
        }
    }

    void final_positions() {
        for (const auto &[stock, value] : book_) {
            if (portfolio_value_ == 0.0) {
                failure_ = run_failure::zero_equity;
                return;
            }
            out_.weight_stock.push_back(stock);
            out_.weight.push_back(value / portfolio_value_);
        }
        const vector_view<double> row = in_.weights.row(pos_row_);
        for (std::ptrdiff_t stock = 0; stock < row.size; ++stock) {
            if (row[stock] == 0) continue;
            out_.next_weight_stock.push_back(stock);
            out_.next_weight.push_back(row[stock]);
        }
        if (rebalance_pending_) {
            for (std::ptrdiff_t stock = 0; stock < row.size; ++stock) {
                const auto found = book_.find(static_cast<int>(stock));
                const double value = found != book_.end() ? found->second : 0.0;
                if (value == 0.0 && row[stock] != 0) set_action(stock, action_enter);
                if (value != 0.0 && row[stock] == 0) set_action(stock, action_exit);
            }
        }
        for (const int stock : pending_exits_) set_action(stock, action_stop_exit);
    }

    // As a dict keyed by stock: a second action for a stock replaces the
    // first in its place.
    void set_action(std::int64_t stock, action_code code) {
        for (std::size_t i = 0; i < out_.action_stock.size(); ++i) {
            if (out_.action_stock[i] == stock) {
                out_.action[i] = code;
                return;
            }
        }
        out_.action_stock.push_back(stock);
        out_.action.push_back(code);
    }

    const run_inputs &in_;
    const run_options &options_;
    run_results &out_;

    flat_book book_;
    double cash_ = 1.0;
    double portfolio_value_ = 1.0;
    bool rebalance_pending_ = false;
    std::ptrdiff_t pos_row_ = 0;
    std::ptrdiff_t last_pos_row_ = -1;
    std::vector<double> growth_;
    std::vector<double> last_price_;
    price_history past_prices_;
    double stop_loss_level_ = 0.0;
    double take_profit_level_ = 0.0;
    bool columns_shared_ = false;
    std::vector<int> pending_exits_, new_exits_;
    std::vector<exit_reason> pending_exit_reasons_, new_exit_reasons_;  // beside the stocks, why each exits
    exit_reason exit_reason_ = exit_by_rebalance;  // of the trade the book is closing now
    std::vector<int> entered_now_;  // the stocks the rebalance in progress opened
    bool exits_found_ = false;

    int current_row_ = 0;
    std::vector<std::int64_t> entry_row_of_;
    std::vector<double> entry_value_of_;
    excursion_walk walker_;
    run_failure failure_ = run_failure::none;
};

}  // namespace

run_failure simulate(const run_inputs &inputs, const run_options &options, const interrupt_poll &poll,
                     run_results &results) {
    simulation run(inputs, options, results);
    return run.run(poll);
}

std::vector<std::uint8_t> rebalance_rows(const vector_view<std::int64_t> &price_dates,
                                         const vector_view<std::int64_t> &rebalance_dates) {
    const std::ptrdiff_t rows = price_dates.size;
    std::vector<std::uint8_t> mask(rows, 0);
    if (rows == 0) return mask;  // no row to mark
    std::ptrdiff_t cursor = 0;
    for (std::ptrdiff_t k = 0; k < rebalance_dates.size; ++k) {
        const std::int64_t date = rebalance_dates[k];
        while (cursor + 1 < rows && price_dates[cursor + 1] <= date) ++cursor;
        mask[cursor] = 1;
    }
    return mask;
}

}  // namespace core
