#pragma once
// Connects the library's windows to the driver object: the slot-15 menu hook,
// the hook that removes the item with its driver, and the Qt application
// object. Safe to call any number of times.
namespace vr::ui {
void RegisterUi();
}  // namespace vr::ui
