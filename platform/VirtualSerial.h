#pragma once
// A virtual serial line: a pseudo-terminal pair whose port side stands in for
// a terminal's cable. The server opens the port side like any serial device
// (reachable through a link of the caller's choice, so Tarvina.ini can say
// COM3=/tmp/pos3); tests and tarvina-sim play the terminal on the far side.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace tarvina {

class VirtualSerialLine {
 public:
  // Creates the pair; with a non-empty link_path, also a symbolic link from
  // link_path to the port side (replacing a stale link). Throws on failure.
  explicit VirtualSerialLine(const std::string& link_path = "");
  ~VirtualSerialLine();  // closes both sides and removes the link
  VirtualSerialLine(const VirtualSerialLine&) = delete;
  VirtualSerialLine& operator=(const VirtualSerialLine&) = delete;

  // The path the server should open: the link when one was asked for, else the device.
  const std::string& PortPath() const;
  const std::string& DevicePath() const;

  // Far side. Reads survive the port side being closed and opened again.
  void Write(const std::uint8_t* data, std::size_t n);
  void Write(const std::vector<std::uint8_t>& bytes) { Write(bytes.data(), bytes.size()); }
  // Waits up to timeout_ms for data and returns what has arrived (empty on time-out).
  std::vector<std::uint8_t> Read(int timeout_ms);
  // Collects until n bytes have come or timeout_ms has passed since the call;
  // returns at most n, keeping any surplus for the next read.
  std::vector<std::uint8_t> ReadExactly(std::size_t n, int timeout_ms);
  // Prints every byte both ways to standard error, one line per read or write:
  // "PC : ..." for what the port side sent, "POS : ..." for what the far side sends.
  // Writes give up with an exception when the port side takes nothing for 10 s.
  void SetTrace(bool on) { trace_ = on; }
  int FarFd() const { return master_fd_; }

  // Removes link_path if it is a link to device_path (and nothing else, so a
  // name another line has taken over since stays). Async-signal-safe.
  static void RemoveLink(const char* link_path, const char* device_path);

 private:
  int master_fd_ = -1;
  int keep_fd_ = -1;  // port side held open so the far side never sees a hang-up
  std::string device_path_;
  std::string link_path_;
  bool trace_ = false;
  std::vector<std::uint8_t> held_;  // read from the line beyond what ReadExactly was asked for
};

}  // namespace tarvina
