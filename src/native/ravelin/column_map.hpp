// Matching the position table's columns to the price table's by name.
#pragma once

#include <map>

#include "host/ref.hpp"

namespace ravelin {

// Dict of stock index to price column: for each position column name, the
// last price column of the same UTF-8 bytes. Names without a match are
// left out. Errors carry the traceback entry "norvane.ravelin.map_columns".
host::ref map_columns(PyObject *price_columns, PyObject *pos_columns);

// The run's column map from that dict; TypeError "Expected dict, got ...".
std::map<int, int> column_map_from_dict(PyObject *mapping);

}  // namespace ravelin
