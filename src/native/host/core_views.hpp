// The native core's views of arrays the host hands over.
#pragma once

#include "core/matrix_view.hpp"
#include "host/buffer_view.hpp"

namespace host {

inline core::matrix_view core_view(const float64_2d &matrix) {
    return {matrix.data(), matrix.shape(0), matrix.shape(1), matrix.stride(0), matrix.stride(1)};
}

}  // namespace host
