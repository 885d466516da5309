#pragma once
// A shell that remembers what it was told: the caption, message boxes, the
// log as the window would show it, window and tray state, cursor changes.
#include <string>
#include <vector>

#include "platform/Shell.h"

namespace tarvina {

class RecordingShell : public Shell {
 public:
  void SetCaption(const std::string& text) override { captions.push_back(text); }
  void ShowMessage(const std::string& text) override { messages.push_back(text); }
  void SetLogLines(const std::vector<std::string>& lines) override { log = lines; }
  void AppendLog(const std::string& line) override { log.push_back(line); }
  bool WindowVisible() const override { return visible; }
  void ShowWindow() override {
    visible = true;
    ++shown;
  }
  void HideWindow() override { visible = false; }
  void AddTrayIcon(const std::string& tip) override {
    tray = true;
    tray_tip = tip;
  }
  void RemoveTrayIcon() override { tray = false; }
  void SetCursorBusy(bool busy) override { cursor.push_back(busy); }
  void Beep() override { ++beeps; }

  std::vector<std::string> captions, messages, log;
  bool visible = false, tray = false;
  std::string tray_tip;
  int shown = 0, beeps = 0;
  std::vector<bool> cursor;  // every change, in order
};

}  // namespace tarvina
