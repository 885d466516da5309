#pragma once
// A virtual serial line: a pseudo-terminal pair whose port side stands in for
// a terminal's cable. The server opens the port side like any serial device
// (reachable through a link of the caller's choice, so Tarvina.ini can say
// COM3=/tmp/pos3); tests and tarvina-sim play the terminal on the far side.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <random>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace tarvina {

class VirtualSerialLine {
 public:
  // The link path leads to the line of another program that still runs.
  struct LinkInUse : std::runtime_error {
    using std::runtime_error::runtime_error;
  };

  // Creates the pair; with a non-empty link_path, also a symbolic link from
  // link_path to the port side. A link already there is replaced when it is
  // stale (its pseudo-terminal gone, or the number since given to another);
  // one that leads to a live line throws LinkInUse, so that two programs given
  // the same path do not take each other's line. Throws on other failures.
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

  // Line faults for the simulators. Noise: bytes written once, in front of the
  // far side's first write (line noise or a flood the port side must get
  // through). Trickle: every later write goes one byte at a time, ms apart.
  void SetNoise(std::vector<std::uint8_t> bytes) { noise_ = std::move(bytes); }
  void SetTrickle(int ms) { trickle_ms_ = ms; }
  // Shaping (stress runs), from a seed, so that a failing run can be played
  // again: the port side gets the far side's bytes cut and joined the way a
  // busy machine or a USB adapter's latency timer hands them over. A write is
  // held for up to kShapeHoldMs and joined with whatever is written next (two
  // frames, or a frame and the bytes behind it, in one read); a Read sends
  // what is held first, since the far side then waits for an answer. Each
  // batch goes out whole, one byte at a time, or in pieces of random size,
  // with random gaps of up to kShapeGapMs. Call before the line is used.
  void SetShaping(unsigned seed);
  static constexpr int kShapeHoldMs = 15;
  static constexpr int kShapeGapMs = 3;
  // True once the port side has sent a byte (any thread may ask).
  bool Heard() const { return heard_.load(); }

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
  std::vector<std::uint8_t> noise_;
  int trickle_ms_ = 0;
  std::atomic<bool> heard_{false};

  void WriteAll(const std::uint8_t* data, std::size_t n);
  void WriteShaped(const std::uint8_t* data, std::size_t n);
  void FlushHeldLocked();
  void FlushWhenDue();

  // Shaping: the held bytes and the thread that sends them when their time is up.
  bool shaping_ = false;
  std::mutex shape_mu_;
  std::condition_variable shape_cv_;
  std::vector<std::uint8_t> shape_held_;
  std::chrono::steady_clock::time_point shape_due_;
  std::mt19937 shape_rng_;
  bool shape_stop_ = false;
  std::thread shape_thread_;
};

}  // namespace tarvina
