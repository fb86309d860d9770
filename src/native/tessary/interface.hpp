// The native interface the engine drives, exported through `__pyx_capi__`.
#pragma once

#include <map>

#include "host/capi_signatures.hpp"

namespace tessary {

void start_analysis(PyArrayObject *price_matrix, std::map<int, int> columns, int stock_count, int window_length,
                    int step);
void record_date(int row);
void record_entry(int stock, double value);
void record_exit(int stock);
PyObject *end_analysis(std::map<int, double> &open_positions);

}  // namespace tessary
