// Binding functions and variables from another module's `__pyx_capi__`
// export table, with the signature test.
#pragma once

#include "host/ref.hpp"

namespace host {

// The pointer held by the capsule `name` of `module.__pyx_capi__`; raises
// ImportError when the name is missing and TypeError when the capsule
// carries another signature.
void *import_capi_function(PyObject *module, const char *name, const char *signature);
void *import_capi_variable(PyObject *module, const char *name, const char *signature);

}  // namespace host
