#include "ravelin/position_book.hpp"

#include "host/errors.hpp"
#include "ravelin/analysis_binding.hpp"

namespace ravelin {
namespace {

using book_entry = position_book::iterator;

// The analysis module hears of an opening or a closing before anything
// changes, judged by what the book really holds.
void notify_analysis(const position_book &positions, book_entry found, int stock, double target) {
    const bool has_entry = found != positions.end();
    if (target == 0.0) {
        if (has_entry && found->second > 0.0) analysis::record_exit(stock);
    } else if (!has_entry || found->second == 0.0) {
        analysis::record_entry(stock, target);
    }
}

// The stock's entry, created with 0.0 when missing (insert on access).
book_entry entry_of(position_book &positions, book_entry found, int stock) {
    return found != positions.end() ? found : positions.emplace(stock, 0.0).first;
}

double close_position(position_book &positions, book_entry found, int stock, double cash, double fee_ratio,
                      double tax_ratio, bool held, bool erase_closed) {
    if (!held) return cash;
    const book_entry entry = entry_of(positions, found, stock);
    const double new_cash = ((1 - fee_ratio) - tax_ratio) * entry->second + cash;
    if (erase_closed) {
        positions.erase(entry);
    } else {
        entry->second = 0.0;
    }
    return new_cash;
}

double trade_toward(position_book &positions, book_entry found, int stock, double target, double cash,
                    double fee_ratio, double tax_ratio, bool erase_closed) {
    const book_entry entry = entry_of(positions, found, stock);
    double &value = entry->second;
    const double amount = target - value;
    double new_cash;
    if (amount > 0) {
        // The whole amount leaves cash; the commission never reaches the holding.
        new_cash = cash - amount;
        value = (1 - fee_ratio) * amount + value;
    } else {
        const double sold = -amount;
        new_cash = ((1 - fee_ratio) - tax_ratio) * sold + cash;
        value = value - sold;
    }
    if (erase_closed && value == 0.0) positions.erase(entry);
    return new_cash;
}

}  // namespace

double set_position(position_book &positions, int stock, double target, double cash, double fee_ratio,
                    double tax_ratio, bool check_held, bool erase_closed) {
    return host::value_or_report("norvane.ravelin.set_position", 0.0, [&] {  // pinned context
        const book_entry found = positions.find(stock);  // the one lookup; entries stay valid below
        const bool held = check_held ? found != positions.end() : true;
        notify_analysis(positions, found, stock, target);
        return target == 0.0
                   ? close_position(positions, found, stock, cash, fee_ratio, tax_ratio, held, erase_closed)
                   : trade_toward(positions, found, stock, target, cash, fee_ratio, tax_ratio, erase_closed);
    });
}

}  // namespace ravelin
