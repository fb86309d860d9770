// The analysis module's native interface as the engine holds it: function
// pointers and the addresses of its two array variables, bound once at
// import from `norvane.tessary.__pyx_capi__`.
#pragma once

#include "host/capi_signatures.hpp"

namespace ravelin::analysis {

struct bound_functions {
    capi::start_analysis_fn start_analysis = nullptr;
    capi::record_date_fn record_date = nullptr;
    capi::record_entry_fn record_entry = nullptr;
    capi::record_exit_fn record_exit = nullptr;
    capi::end_analysis_fn end_analysis = nullptr;
};
extern bound_functions bound;

// Bound by address and never read by the engine itself.
extern PyArrayObject **entry;
extern PyArrayObject **position;

// The void functions report their own failures, except a KeyboardInterrupt
// or MemoryError, which they leave pending to end the run: thrown here.
inline void start_analysis(PyArrayObject *prices, std::map<int, int> columns, int stock_count, int window,
                           int step) {
    bound.start_analysis(prices, std::move(columns), stock_count, window, step);
    host::throw_if_pending();
}
inline void record_date(int row) { bound.record_date(row); }  // cannot fail
inline void record_entry(int stock, double value) {
    bound.record_entry(stock, value);
    host::throw_if_pending();
}
inline void record_exit(int stock) {
    bound.record_exit(stock);
    host::throw_if_pending();
}
// A new reference to None; throws when it failed.
inline host::ref end_analysis(std::map<int, double> &open_positions) {
    return host::require(bound.end_analysis(open_positions));
}

// Imports "norvane.tessary" and binds `entry`, `position`, then the five
// functions, checking every signature string. Throws on failure.
void bind_variables();
void bind_functions();

}  // namespace ravelin::analysis
