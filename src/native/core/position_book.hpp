// The position book and the two operations that change it: moving one
// holding to a target, and trading the whole book to a row of weights.
//
// Both tell `hooks` of an opening (`hooks.entered(stock, target)`) or a
// closing (`hooks.exited(stock)`) before anything changes, judged by what
// the book really holds; the trade records are theirs to keep.
#pragma once

#include <algorithm>
#include <cmath>
#include <iterator>
#include <map>

#include "core/flat_book.hpp"
#include "core/matrix_view.hpp"

namespace core {

// Stock index to the holding's current value (negative for a short; 0.0 for
// an entry kept with nothing held). The native run keeps its book in a
// `flat_book`, which orders and changes its entries alike.
using position_book = std::map<int, double>;

struct costs {
    double fee_ratio = 0.0;
    double tax_ratio = 0.0;
};

// How `set_position` treats the book's entries.
struct book_rules {
    // A close of a stock without an entry changes nothing (else it makes
    // the entry and closes it).
    bool check_held = true;
    // A holding that reaches 0.0 leaves the book (else its entry stays at 0.0).
    bool erase_closed = false;
};

// A rebalance's trades: only what is held is closed, and a closed holding leaves.
inline constexpr book_rules rebalance_rules{true, true};
// A touched stop or target: the entry stays at 0.0 until the next rebalance.
inline constexpr book_rules touched_exit_rules{false, false};
// A stop or target found the row before, closed on this one.
inline constexpr book_rules pending_exit_rules{false, true};

namespace detail {

// The stock's entry, created with 0.0 when missing (insert on access).
template <class Book>
typename Book::iterator entry_of(Book &positions, typename Book::iterator found, int stock) {
    return found != positions.end() ? found : positions.emplace(stock, 0.0).first;
}

template <class Book>
double close_position(Book &positions, typename Book::iterator found, int stock, double cash, costs cost, bool held,
                      bool erase_closed) {
    if (!held) return cash;
    const auto entry = entry_of(positions, found, stock);
    const double new_cash = ((1 - cost.fee_ratio) - cost.tax_ratio) * entry->second + cash;
    if (erase_closed) {
        positions.erase(entry);
    } else {
        entry->second = 0.0;
    }
    return new_cash;
}

template <class Book>
double trade_toward(Book &positions, typename Book::iterator found, int stock, double target, double cash, costs cost,
                    bool erase_closed) {
    const auto entry = entry_of(positions, found, stock);
    double &value = entry->second;
    const double amount = target - value;
    double new_cash;
    if (amount > 0) {
        // The whole amount leaves cash; the commission never reaches the holding.
        new_cash = cash - amount;
        value = (1 - cost.fee_ratio) * amount + value;
    } else {
        const double sold = -amount;
        new_cash = ((1 - cost.fee_ratio) - cost.tax_ratio) * sold + cash;
        value = value - sold;
    }
    if (erase_closed && value == 0.0) positions.erase(entry);
    return new_cash;
}

// The first stock at or after `stock` whose weight is not 0 (NaN is not).
template <class Row>
std::ptrdiff_t next_weighted(const Row &row, std::ptrdiff_t stock) {
    while (stock < row.size && row[stock] == 0.0) ++stock;
    return stock;
}

// Where the walk of a rebalance is in the book: at the first entry of a
// stock not below the one being traded. A trade changes only the entry of
// its own stock.
template <class Book>
class book_cursor;

template <>
class book_cursor<position_book> {
public:
    explicit book_cursor(const position_book &book) : book_(book), next_(book.begin()) {}
    void skip_below(std::ptrdiff_t stock) {
        while (next_ != book_.end() && next_->first < stock) ++next_;
    }
    std::ptrdiff_t stock_or(std::ptrdiff_t past_the_end) const {
        return next_ != book_.end() ? next_->first : past_the_end;
    }
    // Trading one stock leaves every other entry (and iterator) alone.
    void before_trade(bool held) { following_ = held ? std::next(next_) : next_; }
    void after_trade() { next_ = following_; }

private:
    const position_book &book_;
    position_book::const_iterator next_, following_;
};

template <>
class book_cursor<flat_book> {
public:
    explicit book_cursor(const flat_book &book) : book_(book) {}
    void skip_below(std::ptrdiff_t stock) {
        while (next_ < book_.size() && book_[next_].first < stock) ++next_;
    }
    std::ptrdiff_t stock_or(std::ptrdiff_t past_the_end) const {
        return next_ < book_.size() ? book_[next_].first : past_the_end;
    }
    // The entries before the cursor are those of lower stocks, which the
    // trade leaves alone: the next skip_below finds the way on.
    void before_trade(bool) {}
    void after_trade() {}

private:
    const flat_book &book_;
    std::size_t next_ = 0;
};

}  // namespace detail

// Moves `stock`'s holding to `target`, settles the trade against `cash` with
// commission and tax under `rules` and returns the new cash.
template <class Book, class Hooks>
double set_position(Book &positions, int stock, double target, double cash, costs cost, book_rules rules,
                    Hooks &hooks) {
    const bool erase_closed = rules.erase_closed;
    const auto found = positions.find(stock);  // the one lookup; nothing else changes the book below
    const bool held = rules.check_held ? found != positions.end() : true;
    const bool has_entry = found != positions.end();
    if (target == 0.0) {
        if (has_entry && found->second > 0.0) hooks.exited(stock);
    } else if (!has_entry || found->second == 0.0) {
        hooks.entered(stock, target);
    }
    return target == 0.0 ? detail::close_position(positions, found, stock, cash, cost, held, erase_closed)
                         : detail::trade_toward(positions, found, stock, target, cash, cost, erase_closed);
}

// Scales the weight row `row` (element i is stock i; `row_sum` its own
// pairwise sum) to the equity (with `absolute`, each weight is a fraction
// of the equity as it stands), caps each target at equity * position_limit
// and trades every stock of the row in index order, each through
// `trade(stock, target, cash)` (set_position with erase_closed, returning
// the new cash). Returns the new cash.
template <class Book, class Row, class Trade>
double trade_to_weights(const Book &positions, const Row &row, double row_sum, double cash, double position_limit,
                        Trade &&trade, bool absolute = false) {
    double total = cash;
    for (const auto &[stock, value] : positions) total = total + value;
    const double scale = absolute ? total : total / (row_sum + 1e-7);
    const double cap = total * position_limit;
    // A zero target for a stock not held changes nothing. With a finite
    // scale and a cap of at least 0 a zero weight makes a zero target, so
    // only the weighted and the held stocks are visited; the book is walked
    // alongside the row.
    const bool zero_weight_is_nothing = std::isfinite(scale) && !(0.0 > cap);
    detail::book_cursor<Book> next_held(positions);
    for (std::ptrdiff_t stock = 0; stock < row.size; ++stock) {
        next_held.skip_below(stock);
        if (zero_weight_is_nothing) {
            stock = std::min(detail::next_weighted(row, stock), next_held.stock_or(row.size));
            if (stock >= row.size) break;
        }
        double target = row[stock] * scale;
        if (target > cap) target = cap;
        const bool held = next_held.stock_or(-1) == stock;
        if (target == 0.0 && !held) continue;
        next_held.before_trade(held);
        cash = trade(static_cast<int>(stock), target, cash);
        next_held.after_trade();
    }
    return cash;
}

}  // namespace core
