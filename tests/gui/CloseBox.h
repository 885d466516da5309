#pragma once
// What a window manager sends when the user clicks a window's close box.
#include <string>

namespace tarvina {

// Asks the window (an X window id in decimal, as xdotool prints it) to close
// with WM_DELETE_WINDOW on $DISPLAY; false when that cannot be sent.
bool ClickCloseBox(const std::string& window);

}  // namespace tarvina
