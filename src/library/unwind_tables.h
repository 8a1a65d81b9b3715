#pragma once

namespace vr {

// Makes sure that the unwinder linked into the library knows the library's
// own code before anything in it can throw. Called by the entry points; cheap
// after the first call.
void EnsureOwnUnwindTables();

}  // namespace vr
