#define ORVALA_NUMPY_API_DEFINE
#include "numpy_api.h"

namespace orvala::py {

bool ensure_numpy() {
    // Runs under the interpreter lock; a racing second import (the import
    // itself may release the lock) only repeats an idempotent lookup.
    static bool ready = false;
    if (ready) return true;
    if (PyArray_ImportNumPyAPI() < 0) return false;
    ready = true;
    return true;
}

}  // namespace orvala::py
