// Excursion records are rows of a per-run slab: one array allocation per
// chunk of records instead of one host call to `empty` per trade.
#pragma once

#include <cstring>

#include "host/ref.hpp"

namespace tessary {

// A new record of `length` float64 slots (a 1-D ndarray: a row view of the
// current slab) and where its slots are. Slabs are made by `org_np.empty`,
// so its errors (a negative length, memory) are the ones a record raises.
struct new_record {
    host::ref object;
    char *first_slot;
    Py_ssize_t slot_stride;  // bytes

    void set(Py_ssize_t slot, double value) const {
        std::memcpy(first_slot + slot * slot_stride, &value, sizeof value);
    }
};
new_record cut_record(Py_ssize_t length);

// Starts a new run: the next record opens a new slab. A record kept alive
// keeps its slab alive, which is why a slab stays small (about 64 KiB).
void forget_record_slab() noexcept;

}  // namespace tessary
