#pragma once
// The shell without a desktop: caption changes, message boxes and log lines
// become time-stamped lines on a stream (standard output for `tarvina
// --headless`). The window and the tray icon exist only as state.
#include <mutex>
#include <ostream>
#include <string>

#include "platform/Shell.h"

namespace tarvina {

class HeadlessShell final : public Shell {
 public:
  explicit HeadlessShell(std::ostream& out) : out_(out) {}

  void SetCaption(const std::string& text) override { Emit("caption: ", text); }
  void ShowMessage(const std::string& text) override { Emit("message: ", text); }
  void SetLogLines(const std::vector<std::string>& lines) override;
  void AppendLog(const std::string& line) override { Emit("log: ", line); }

  bool WindowVisible() const override { return visible_; }
  void ShowWindow() override { visible_ = true; }
  void HideWindow() override { visible_ = false; }

  void AddTrayIcon(const std::string& tip) override;
  void RemoveTrayIcon() override { tray_tip_.clear(); tray_ = false; }
  bool HasTrayIcon() const { return tray_; }
  const std::string& TrayTip() const { return tray_tip_; }

  void SetCursorBusy(bool) override {}
  void Beep() override {}

 private:
  void Emit(const char* what, const std::string& text);

  std::ostream& out_;
  std::mutex mu_;
  bool visible_ = false;
  bool tray_ = false;
  std::string tray_tip_;
};

// "YYYY-MM-DD HH:MM:SS.mmm" of the local wall clock, now.
std::string TimeStamp();

// The text with CR, LF and the other control characters written as "\r",
// "\n" or "\xNN", so that one log line stays one output line.
std::string Printable(const std::string& text);

}  // namespace tarvina
