// A position book kept as one sorted vector: what a run walks every day is
// contiguous, and an opening or a closing moves a few hundred bytes at most.
// It has the operations of `position_book` the book's trades use, with the
// same order of entries (ascending stock).
#pragma once

#include <algorithm>
#include <utility>
#include <vector>

namespace core {

class flat_book {
public:
    using value_type = std::pair<int, double>;
    using iterator = std::vector<value_type>::iterator;
    using const_iterator = std::vector<value_type>::const_iterator;

    iterator begin() { return entries_.begin(); }
    iterator end() { return entries_.end(); }
    const_iterator begin() const { return entries_.begin(); }
    const_iterator end() const { return entries_.end(); }
    std::size_t size() const { return entries_.size(); }
    const value_type &operator[](std::size_t i) const { return entries_[i]; }

    iterator find(int stock) {
        const iterator at = lower_bound(stock);
        return at != entries_.end() && at->first == stock ? at : entries_.end();
    }
    // An entry for `stock` (made with `value` when there was none).
    std::pair<iterator, bool> emplace(int stock, double value) {
        const iterator at = lower_bound(stock);
        if (at != entries_.end() && at->first == stock) return {at, false};
        return {entries_.insert(at, value_type(stock, value)), true};
    }
    iterator erase(iterator entry) { return entries_.erase(entry); }
    void swap_entries(std::vector<value_type> &entries) { entries_.swap(entries); }

private:
    iterator lower_bound(int stock) {
        return std::lower_bound(entries_.begin(), entries_.end(), stock,
                                [](const value_type &entry, int key) { return entry.first < key; });
    }
    std::vector<value_type> entries_;
};

// The book of one stock while a rebalance trades it: its entry, if any, with
// the operations the book's trades use.
class one_stock_book {
public:
    using value_type = flat_book::value_type;
    using iterator = value_type *;

    iterator begin() { return &entry_; }
    iterator end() { return &entry_ + (held_ ? 1 : 0); }
    iterator find(int stock) { return held_ && entry_.first == stock ? &entry_ : end(); }
    std::pair<iterator, bool> emplace(int stock, double value) {
        if (held_) return {&entry_, false};
        entry_ = value_type(stock, value);
        held_ = true;
        return {&entry_, true};
    }
    iterator erase(iterator) {
        held_ = false;
        return end();
    }

    void hold(const value_type &entry) {
        entry_ = entry;
        held_ = true;
    }
    void clear() { held_ = false; }
    bool held() const { return held_; }
    const value_type &entry() const { return entry_; }

private:
    value_type entry_{};
    bool held_ = false;
};

// A rebalance trades the stocks of a flat book in ascending order: the new
// book is written in that order next to the old one, in one pass, instead
// of inserting and erasing in the middle of the old one for every trade.
class flat_book_rebuild {
public:
    explicit flat_book_rebuild(flat_book &book) : book_(book) { fresh_.reserve(book.size() + 64); }

    // The book of `stock`, taken out of the old one; stocks below it carry over.
    one_stock_book &take(int stock) {
        while (next_ < book_.size() && book_[next_].first < stock) fresh_.push_back(book_[next_++]);
        one_.clear();
        if (next_ < book_.size() && book_[next_].first == stock) one_.hold(book_[next_++]);
        return one_;
    }
    // What the trade left of the stock goes into the new book.
    void put_back() {
        if (one_.held()) fresh_.push_back(one_.entry());
    }
    // The stocks above the last one traded carry over; the new book replaces the old.
    void finish() {
        while (next_ < book_.size()) fresh_.push_back(book_[next_++]);
        book_.swap_entries(fresh_);
    }

private:
    flat_book &book_;
    std::vector<flat_book::value_type> fresh_;
    std::size_t next_ = 0;
    one_stock_book one_;
};

}  // namespace core
