// The analysis module's native interface as the engine holds it: function
// pointers and the addresses of its two array variables, bound once at
// import from `norvane.tessary.__pyx_capi__`.
#pragma once

#include "host/capi_signatures.hpp"

namespace ravelin::analysis {

extern capi::start_analysis_fn start_analysis;
extern capi::record_date_fn record_date;
extern capi::record_entry_fn record_entry;
extern capi::record_exit_fn record_exit;
extern capi::end_analysis_fn end_analysis;

// Bound by address and never read by the engine itself.
extern PyArrayObject **entry;
extern PyArrayObject **position;

// Imports "norvane.tessary" and binds `entry`, `position`, then the five
// functions, checking every signature string. Throws on failure.
void bind_variables();
void bind_functions();

}  // namespace ravelin::analysis
