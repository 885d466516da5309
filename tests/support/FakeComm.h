#pragma once
// FakeComm: one serial line in memory, for unit tests. It records every call
// with its arguments, plays the far side (the terminal) by script, and can
// fail any call with a chosen error number. Time is the MainLoop's clock, so
// with a VirtualClock a terminal's 180-second silence passes at once.
//
//   VirtualClock clock;
//   MainLoop loop(clock);
//   FakeComm comm(loop);            // after the loop: it registers an idle probe
//   comm.OnWrite = [&](const FakeComm::Bytes& b) {      // the terminal answers
//     if (b == FakeComm::Bytes{0x05}) comm.Deliver({0x06});   // at once
//     else comm.DeliverAfter(2000, {0x02, '0', '0', 0x03});   // 2 s later
//   };
//   TComPort port(loop, comm);      // or a driver that owns one
//   ...                             // the driver writes, waits, reads
//   EXPECT_EQ(comm.Written(), (FakeComm::Bytes{0x05, ...}));
//   EXPECT_EQ(comm.Log()[0], "Open COM3");
//
// Scripting the far side:
//  - OnWrite(bytes) runs on the writing thread (the main thread) after each
//    Write, WriteNoWait or TransmitCommChar, with the bytes the line took.
//    It may call Deliver; it must not call back into the port.
//  - Deliver(bytes), any thread: the bytes join the receive queue and EV_RXCHAR
//    is raised, so the port's event thread hands an OnRxChar to the main
//    thread. Bytes delivered while the line is closed are lost, as on a cable.
//  - DeliverAfter(ms, bytes), main thread: Deliver once ms have passed on the
//    loop's clock (a one-shot main-loop timer).
//  - RaiseEvents(EV_...), SetLineErrors(CE_...) (raises EV_ERR),
//    SetModemStatus(MS_...): other events and states.
//  - SetWriteAccept(n): each write takes at most n bytes, as when the write
//    time-out runs out on a line that does not drain; kUnlimited undoes it.
//  - Vanish(err): the device is gone: the event wait, reads, writes and
//    ClearCommError fail with err from now on.
//  - FailNext("SetCommState", 22) makes the next call of that name fail with
//    22 and have no effect (times: how many calls in a row; -1 for all).
//    Names are the CommApi method names; "Open" fails the open with error.
//
// Looking at what happened:
//  - Log(): one line per call in call order, except the event thread's
//    WaitCommEvent calls (their timing is the thread's): "Open COM3",
//    "SetupComm 1024 1024", "SetCommState " + FormatState(s),
//    "SetCommTimeouts 4294967295 0 0 100 1000", "SetCommMask 0x07FF",
//    "Write 5", "WriteNoWait 1", "TransmitCommChar 0x41", "Read 3",
//    "ClearCommError", "PurgeComm 0x000C", "GetCommModemStatus",
//    "EscapeCommFunction 6", "GetCommProperties", "GetCommState",
//    "GetCommTimeouts", "AbortWait", "Close". Failed calls are logged too.
//  - Calls(): the same, WaitCommEvent included. ClearLog() empties both.
//  - Count("SetCommState"): calls of that name so far.
//  - States(): every block passed to SetCommState; Timeouts(): the last
//    accepted time-outs; Written() / TakeWritten(): the bytes written.
//
// Idle probe: while bytes or events are delivered and the port's event thread
// has not yet handed them to the main thread, the loop's virtual clock does
// not jump. The probe takes a non-zero event mask to mean an event thread will
// wait (TComPort); code that sets a mask but never waits (tComPort's
// OpenLine) calls SetExpectWaiter(false) first.
#include <cstdint>
#include <functional>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/Clock.h"
#include "platform/Comm.h"

namespace tarvina {

class MainLoop;
class Timer;

class FakeComm final : public CommApi {
 public:
  using Bytes = std::vector<std::uint8_t>;
  static constexpr std::size_t kUnlimited = static_cast<std::size_t>(-1);

  FakeComm();  // no loop: no DeliverAfter, no idle probe
  explicit FakeComm(MainLoop& loop);
  ~FakeComm() override;

  // --- the far side ---
  std::function<void(const Bytes&)> OnWrite;
  void Deliver(const Bytes& bytes);
  void DeliverText(const std::string& text);
  void DeliverAfter(Millis delay_ms, const Bytes& bytes);
  void RaiseEvents(std::uint32_t events);
  void SetLineErrors(std::uint32_t ce_flags);
  void SetModemStatus(std::uint32_t ms_flags);
  void SetWriteAccept(std::size_t n);
  // What ClearCommError reports waiting in the transmit queue, and what
  // GetCommProperties reports as its size (0: unknown, as serial ports say).
  void SetTxQueue(std::uint32_t waiting, std::uint32_t size);
  void Vanish(int error = 5);
  void SetExpectWaiter(bool on);

  // --- failures ---
  void FailNext(const std::string& call, int error, int times = 1);

  // --- what happened ---
  std::vector<std::string> Log() const;
  std::vector<std::string> Calls() const;
  void ClearLog();
  int Count(const std::string& call) const;
  std::vector<CommState> States() const;
  CommTimeouts Timeouts() const;
  Bytes Written() const;
  Bytes TakeWritten();
  std::size_t InQueue() const;
  bool IsOpen() const;
  static std::string FormatState(const CommState& s);

  // --- CommApi ---
  CommHandle Open(const std::string& name, int* error) override;
  int Close(CommHandle h) override;
  int SetupComm(CommHandle h, std::uint32_t in_size, std::uint32_t out_size) override;
  int GetCommState(CommHandle h, CommState* state) override;
  int SetCommState(CommHandle h, const CommState& state) override;
  int GetCommTimeouts(CommHandle h, CommTimeouts* timeouts) override;
  int SetCommTimeouts(CommHandle h, const CommTimeouts& timeouts) override;
  int SetCommMask(CommHandle h, std::uint32_t mask) override;
  int WaitCommEvent(CommHandle h, std::uint32_t* events) override;
  int AbortWait(CommHandle h) override;
  int Read(CommHandle h, void* data, std::uint32_t n, std::uint32_t* got) override;
  int Write(CommHandle h, const void* data, std::uint32_t n, std::uint32_t* written) override;
  int WriteNoWait(CommHandle h, const void* data, std::uint32_t n, std::uint32_t* written) override;
  int TransmitCommChar(CommHandle h, char c) override;
  int ClearCommError(CommHandle h, std::uint32_t* errors, CommStat* stat) override;
  int PurgeComm(CommHandle h, std::uint32_t flags) override;
  int GetCommModemStatus(CommHandle h, std::uint32_t* status) override;
  int EscapeCommFunction(CommHandle h, std::uint32_t function) override;
  int GetCommProperties(CommHandle h, CommProperties* props) override;

 private:
  // Records the call and answers whether it goes ahead: 0, or the error
  // number it fails with (EBADF for a handle that is not the open one).
  int Enter(const std::string& call, const std::string& args, CommHandle h, bool check_handle = true);
  int DoWrite(const char* call, CommHandle h, const void* data, std::uint32_t n, std::uint32_t* written);
  bool Idle() const;

  MainLoop* loop_ = nullptr;
  int probe_id_ = 0;
  std::vector<std::unique_ptr<Timer>> timers_;

  mutable std::mutex mu_;
  std::condition_variable cv_;
  std::vector<std::string> calls_;
  std::vector<bool> is_wait_;
  std::map<std::string, std::pair<int, int>> failures_;  // call -> (error, times left)
  std::vector<CommState> states_;
  CommState state_;
  CommTimeouts timeouts_;
  Bytes rx_;
  Bytes written_;
  CommHandle handle_ = kInvalidCommHandle;
  CommHandle next_handle_ = 1;
  std::uint32_t mask_ = 0;
  std::uint32_t pending_ = 0;
  std::uint32_t line_errors_ = 0;
  std::uint32_t modem_ = 0;
  std::uint32_t tx_waiting_ = 0;
  std::uint32_t tx_size_ = 0;
  std::size_t write_accept_ = kUnlimited;
  int gone_ = 0;
  bool stopped_ = false;
  bool in_flight_ = false;  // a wait returned; its thread has not come back yet
  bool expect_waiter_ = true;
};

}  // namespace tarvina
