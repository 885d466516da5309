#pragma once
// The desktop shell as the server sees it: the window's caption, a message
// box, the log text box, showing and hiding the window, the notification-area
// icon, the mouse cursor and the default beep. The desktop front end
// implements it with a real window; HeadlessShell writes to a stream.
// Everything here is called on the main thread only.
#include <string>
#include <vector>

namespace tarvina {

class Shell {
 public:
  virtual ~Shell() = default;

  virtual void SetCaption(const std::string& text) = 0;
  virtual void ShowMessage(const std::string& text) = 0;

  // Replaces the log's whole content with these lines.
  virtual void SetLogLines(const std::vector<std::string>& lines) = 0;
  virtual void AppendLog(const std::string& line) = 0;

  virtual bool WindowVisible() const = 0;
  virtual void ShowWindow() = 0;  // shows it and brings the program to the front
  virtual void HideWindow() = 0;

  // The icon's tip is at most 127 characters; longer text is cut.
  virtual void AddTrayIcon(const std::string& tip) = 0;
  virtual void RemoveTrayIcon() = 0;

  virtual void SetCursorBusy(bool busy) = 0;
  virtual void Beep() = 0;
};

// Hourglass for the lifetime of the object, the default cursor again after,
// also when an error leaves the scope.
class BusyCursor {
 public:
  explicit BusyCursor(Shell& shell) : shell_(shell) { shell_.SetCursorBusy(true); }
  ~BusyCursor() { shell_.SetCursorBusy(false); }
  BusyCursor(const BusyCursor&) = delete;
  BusyCursor& operator=(const BusyCursor&) = delete;

 private:
  Shell& shell_;
};

constexpr std::size_t kTrayTipMax = 127;

}  // namespace tarvina
