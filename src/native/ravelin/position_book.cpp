#include "ravelin/position_book.hpp"

#include "host/errors.hpp"
#include "ravelin/analysis_binding.hpp"

namespace ravelin {

void analysis_hooks::entered(int stock, double value) { analysis::record_entry(stock, value); }
void analysis_hooks::exited(int stock) { analysis::record_exit(stock); }

double set_position(position_book &positions, int stock, double target, double cash, double fee_ratio,
                    double tax_ratio, core::book_rules rules) {
    return host::value_or_report("norvane.ravelin.set_position", 0.0, [&] {  // pinned context
        analysis_hooks hooks;
        return core::set_position(positions, stock, target, cash, {fee_ratio, tax_ratio}, rules, hooks);
    });
}

}  // namespace ravelin
