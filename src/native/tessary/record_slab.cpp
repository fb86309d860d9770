#include "tessary/record_slab.hpp"

#include <algorithm>

#include "host/buffer_view.hpp"
#include "tessary/state.hpp"

namespace tessary {
namespace {

constexpr Py_ssize_t slab_bytes = 64 * 1024;
constexpr Py_ssize_t max_rows = 1024;

struct record_slab {
    host::owned_array<host::float64_2d> rows;
    Py_ssize_t length = -1;  // slots per record
    Py_ssize_t next_row = 0;
};

// Never destroyed, like the module's other state: see tessary/state.cpp.
record_slab &slab = *new record_slab;

// org_np.empty((rows, length))
void open_slab(Py_ssize_t length) {
    const Py_ssize_t rows =
        length > 0 ? std::clamp<Py_ssize_t>(slab_bytes / (length * Py_ssize_t(sizeof(double))), 1, max_rows) : max_rows;
    host::ref numpy = module_global(strings.org_np);
    host::ref shape = host::require(Py_BuildValue("(nn)", rows, length));
    host::ref array = host::require(PyObject_CallMethodOneArg(numpy.get(), strings.empty, shape.get()));
    slab.rows = host::owned_array<host::float64_2d>::of(std::move(array), true);
    slab.length = length;
    slab.next_row = 0;
}

}  // namespace

new_record cut_record(Py_ssize_t length) {
    if (slab.length != length || slab.next_row >= slab.rows.view.shape(0)) open_slab(length);
    const Py_ssize_t row = slab.next_row;
    host::ref record = host::require(PySequence_GetItem(slab.rows.object.get(), row));
    ++slab.next_row;
    return {std::move(record), slab.rows.view.raw_address(row, 0), slab.rows.view.stride(1)};
}

void forget_record_slab() noexcept {
    slab.rows = {};
    slab.length = -1;
    slab.next_row = 0;
}

}  // namespace tessary
