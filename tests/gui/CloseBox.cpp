// Kept apart from the tests: Xlib's macros must not meet the test framework.
#include "tests/gui/CloseBox.h"

#ifdef TARVINA_HAVE_XLIB
#include <X11/Xlib.h>
#endif

#include <cstdlib>

namespace tarvina {

bool ClickCloseBox(const std::string& window) {
#ifdef TARVINA_HAVE_XLIB
  Display* d = XOpenDisplay(nullptr);
  if (!d) return false;
  const Window w = std::strtoul(window.c_str(), nullptr, 10);
  XEvent e{};
  e.xclient.type = ClientMessage;
  e.xclient.window = w;
  e.xclient.message_type = XInternAtom(d, "WM_PROTOCOLS", False);
  e.xclient.format = 32;
  e.xclient.data.l[0] = static_cast<long>(XInternAtom(d, "WM_DELETE_WINDOW", False));
  e.xclient.data.l[1] = CurrentTime;
  const bool sent = XSendEvent(d, w, False, NoEventMask, &e) != 0;
  XSync(d, False);
  XCloseDisplay(d);
  return sent;
#else
  (void)window;
  return false;
#endif
}

}  // namespace tarvina
