// Everywhere but 32-bit Windows the library's unwind tables are found through
// the loader (ELF: the program headers; 64-bit Windows: the SEH tables).
#include "library/unwind_tables.h"

namespace vr {

void EnsureOwnUnwindTables() {}

}  // namespace vr
