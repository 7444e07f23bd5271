// NumPy's array API table, fetched on first use and kept for the process.
#pragma once

#include "lib/py_ref_py.h"

namespace lumigrab::py {

// The table, or a fault whose message begins "Failed to access NumPy array
// API capsule". Importing the module does not import NumPy; this does. An
// exception that is not an Exception (KeyboardInterrupt from Ctrl+C during
// the import) goes on as itself, and the table is fetched again next time.
void** numpy_api();

// Slots of the table the module uses.
inline constexpr int kNumpyArrayTypeSlot = 2;
inline constexpr int kNumpyDescrFromTypeSlot = 45;
inline constexpr int kNumpyNewFromDescrSlot = 94;
inline constexpr int kNumpyUbyte = 2;

}  // namespace lumigrab::py
