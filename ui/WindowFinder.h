#pragma once
// Finds another program's top-level window by its exact title and brings it
// back, on X11 through the launcher's own X connection. Without an X server
// (an offscreen session) no window is ever found.

#include <cstdint>
#include <optional>
#include <string>

namespace ui {

std::optional<uint32_t> FindTopLevelWindow(const std::string& title);

// Restores a minimised window and raises it above the others.
void RestoreAndRaise(uint32_t window);

}  // namespace ui
