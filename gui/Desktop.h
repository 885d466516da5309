#pragma once
// The desktop front end as the program start sees it, without the toolkit's
// headers: the log window TEmain, its notification-area icon, message boxes,
// the busy cursor, the beep and the serial setup dialog, joined to the main
// loop so that the window repaints and the icon answers while a driver waits.
#include <functional>
#include <memory>
#include <string>

namespace tarvina {

class MainLoop;
class Shell;

// True when the desktop can be opened: DISPLAY names an X server that takes
// connections (or QT_QPA_PLATFORM names another platform). Otherwise false
// and why not.
bool DesktopAvailable(std::string& why);

class Desktop {
 public:
  // On the main thread, before any thread that hands things to the loop
  // starts. `title` is the program's title (message boxes).
  Desktop(MainLoop& loop, int& argc, char** argv, const std::string& title);
  ~Desktop();
  Desktop(const Desktop&) = delete;
  Desktop& operator=(const Desktop&) = delete;

  Shell& shell();

  // The icon's mouse events as window messages (WM_LBUTTONDOWN,
  // WM_RBUTTONDOWN, and others that TEmain ignores), on the main thread.
  void OnTrayMessage(std::function<void(unsigned)> handler);
  // The window's close box, on the main thread.
  void OnClose(std::function<void()> handler);

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

// Mouse events of the icon beyond the two that toggle the window.
constexpr unsigned WM_LBUTTONDBLCLK = 0x0203;
constexpr unsigned WM_MBUTTONDOWN = 0x0207;

}  // namespace tarvina
