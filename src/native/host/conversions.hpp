// Host value to native value conversions with the host's own errors.
#pragma once

#include <cstdint>
#include <string>

#include "host/ref.hpp"

namespace host {

// A host float (read directly) or anything with a float conversion.
double to_double(PyObject *value);

// 32-bit int through the object's integer conversion: an int is used
// directly, a float is truncated toward zero, other objects go through
// __int__; "an integer is required" when there is none.
int to_int32(PyObject *value);

// Signed 64-bit int through the host's integer conversion.
std::int64_t to_int64(PyObject *value);

// The bytes of a bytes or bytearray object, embedded zero bytes kept.
std::string to_std_string(PyObject *value);

// Truth value of the object.
bool to_bool(PyObject *value);

}  // namespace host
