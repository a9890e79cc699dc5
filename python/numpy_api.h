// NumPy's C API for the binding layer. The API table is looked up on first
// use, not at import, so `import orvala` does not import NumPy. Built
// against NumPy 2 headers, the lookup finds NumPy 1.x ("numpy.core") or 2.x
// ("numpy._core") by the running NumPy's layout.
#pragma once

#include "pyref.h"

#define PY_ARRAY_UNIQUE_SYMBOL orvala_ARRAY_API
#ifndef ORVALA_NUMPY_API_DEFINE
#define NO_IMPORT_ARRAY
#endif
#include <numpy/arrayobject.h>

namespace orvala::py {

// True once the API is usable; false with a Python error set.
bool ensure_numpy();

}  // namespace orvala::py
