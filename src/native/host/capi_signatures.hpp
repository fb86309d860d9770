// The native interface the analysis module exports and the engine imports.
// Each capsule is named by its signature string; the importer compares the
// strings byte for byte, so they are defined once, here. Capsules keep the
// name pointer, hence static storage.
#pragma once

#include <map>

#include "host/ref.hpp"

// Opaque: both modules reach arrays only through the buffer protocol.
typedef struct tagPyArrayObject PyArrayObject;

namespace capi {

inline constexpr char array_variable_signature[] = "PyArrayObject *";
inline constexpr char start_analysis_signature[] = "void (PyArrayObject *, std::map<int,int> , int, int, int)";
inline constexpr char record_date_signature[] = "void (int)";
inline constexpr char record_entry_signature[] = "void (int, double)";
inline constexpr char record_exit_signature[] = "void (int)";
inline constexpr char end_analysis_signature[] = "PyObject *(std::map<int,double>  &)";

using start_analysis_fn = void (*)(PyArrayObject *, std::map<int, int>, int, int, int);
using record_date_fn = void (*)(int);
using record_entry_fn = void (*)(int, double);
using record_exit_fn = void (*)(int);
using end_analysis_fn = PyObject *(*)(std::map<int, double> &);

}  // namespace capi
