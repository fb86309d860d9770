// The analysis module's state: process-global, one analysis run at a time.
// `entry` and `position` are exported by address, so the engine always
// reaches the arrays bound now.
#pragma once

#include <map>

#include "host/buffer_view.hpp"
#include "host/capi_signatures.hpp"
#include "host/ref.hpp"

namespace tessary {

// Typed module variables (ndarray or None); strong references.
extern PyObject *prices;
extern PyArrayObject *entry;
extern PyArrayObject *position;

extern std::map<int, int> stock_column;

// stock_column[stock], inserting 0 for a stock it does not hold (the map's
// own insert-on-access), through a flat cache of the lookups made.
int column_of_stock(int stock);
// Replaces stock_column (and forgets the cache of it).
void set_stock_column(const std::map<int, int> &columns);
extern int window;
extern int window_step;
extern int current_date;

// The module object, for its ordinary attributes (`trades`, `org_np`, ...).
extern PyObject *module_object;

// Interned strings (attribute and keyword names), made once at set-up.
struct interned_strings {
    PyObject *trades, *trade_positions, *tessary, *org_np, *zeros, *empty, *clear, *dtype;
};
extern interned_strings strings;
void intern_strings();

// Replaces a typed array variable: ndarray or None, else TypeError
// "Cannot convert %.200s to %.200s". Views cached of the old array go.
void assign_array(PyObject *&variable, PyObject *value);
inline void assign_array(PyArrayObject *&variable, PyObject *value) {
    assign_array(reinterpret_cast<PyObject *&>(variable), value);
}

// The price matrix as a typed view, acquired at its first use after
// `prices` was bound and kept until it is bound again: one buffer request
// per run, not one per trade. Raises the buffer errors of a bad matrix.
const host::float64_2d &price_view();

// Typed views of `entry` and `position` for direct element writes, or null
// while either is not a plain ndarray of its element type (then item
// assignment on the object itself keeps its own semantics).
host::int64_1d *entry_view();
host::float64_1d *position_view();

// org_np.zeros(shape, dtype=element_type)
host::ref zeros_array(PyObject *shape, PyObject *element_type);

// A module-level name as the module's code sees it (namespace, then builtins).
host::ref module_global(PyObject *name);

}  // namespace tessary
