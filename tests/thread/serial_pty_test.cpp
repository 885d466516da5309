// The serial port component on real pseudo-terminals, with its real event thread.
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <stdexcept>
#include <thread>
#include <vector>

#include "platform/MainLoop.h"
#include "platform/PortNames.h"
#include "platform/PosixComm.h"
#include "platform/VirtualSerial.h"
#include "serial/CPort.h"
#include "serial/CPortThread.h"

namespace tarvina {
namespace {

using Bytes = std::vector<std::uint8_t>;

// Runs the loop until done() holds or `limit_ms` of real time has passed.
bool WaitFor(MainLoop& loop, const std::function<bool()>& done, Millis limit_ms = 5000) {
  bool expired = false;
  Timer guard(loop, limit_ms);
  guard.OnTimer = [&] { expired = true; };
  guard.SetEnabled(true);
  loop.WaitUntil([&] { return done() || expired; });
  return done();
}

// Waits in real time, without processing messages, until done() holds.
bool WaitOutsideTheLoop(const std::function<bool()>& done, int limit_ms = 5000) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(limit_ms);
  while (!done()) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

// A port that lets the test see whether its event thread has left its loop.
class WatchedPort : public TComPort {
 public:
  using TComPort::TComPort;
  bool ThreadEnded() const { return FEventThread && FEventThread->Ended(); }
};

// What OnRxChar saw: the count of each call and the bytes read.
struct RxLog {
  std::vector<int> counts;
  Bytes bytes;
  bool all_on_main = true;

  // Reads up to `take` of the bytes each call reports (all when negative).
  void Attach(MainLoop& loop, TComPort& port, int take = -1) {
    port.OnRxChar = [this, &loop, take](TCustomComPort& p, int count) {
      counts.push_back(count);
      all_on_main = all_on_main && loop.IsMainThread();
      std::uint8_t buf[256];
      const int want = take < 0 ? count : std::min(take, count);
      const int n = p.Read(buf, want);
      bytes.insert(bytes.end(), buf, buf + n);
    };
  }
};

EComPort OpenFailure(TComPort& port) {
  try {
    port.Open();
  } catch (const EComPort& e) {
    return e;
  }
  throw std::logic_error("Open did not fail");
}

TEST(SerialPty, ThreeBytesGiveOneRxCharOnTheMainThreadThroughAMappedComName) {
  MainLoop loop;
  VirtualSerialLine line;
  SetPortMap({{"COM12", line.PortPath()}});
  TComPort port(loop, SystemComm());
  RxLog rx;
  rx.Attach(loop, port);
  port.SetPort("COM12");
  port.Open();
  SetPortMap({});
  ASSERT_TRUE(port.Connected());

  line.Write({0x02, 'A', 0x03});
  ASSERT_TRUE(WaitFor(loop, [&] { return !rx.counts.empty(); }));
  EXPECT_EQ(rx.counts, std::vector<int>{3});
  EXPECT_EQ(rx.bytes, (Bytes{0x02, 'A', 0x03})) << "Read inside the handler takes all three at once";
  EXPECT_TRUE(rx.all_on_main);
  port.Close();
  EXPECT_FALSE(port.Connected());
}

TEST(SerialPty, AMissingDeviceFailsWithError2AndLeavesThePortClosed) {
  MainLoop loop;
  SetPortMap({{"COM7", "/nonexistent/tarvina-pos7"}});
  for (const char* name : {"COM7", "/nonexistent/tarvina-pos8"}) {
    SCOPED_TRACE(name);
    TComPort port(loop, SystemComm());
    port.SetPort(name);
    const EComPort e = OpenFailure(port);
    EXPECT_EQ(e.Code(), CError_OpenFailed);
    EXPECT_EQ(e.WinCode(), 2);
    EXPECT_STREQ(e.what(), "Unable to open com port (Error: 2)");
    EXPECT_FALSE(port.Connected());
  }
  SetPortMap({});
}

TEST(SerialPty, ASecondOpenOfAnOpenLineFailsAsInUseAndTheFirstKeepsWorking) {
  MainLoop loop;
  VirtualSerialLine line;
  TComPort first(loop, SystemComm()), second(loop, SystemComm());
  RxLog rx;
  rx.Attach(loop, first);
  first.SetPort(line.PortPath());
  second.SetPort(line.PortPath());
  first.Open();

  const EComPort e = OpenFailure(second);
  EXPECT_STREQ(e.what(), "Unable to open com port (Error: 16)");
  EXPECT_FALSE(second.Connected());
  line.Write({'x'});
  ASSERT_TRUE(WaitFor(loop, [&] { return rx.bytes == Bytes{'x'}; }));

  first.Close();
  second.Open();
  EXPECT_TRUE(second.Connected()) << "closing the first gives the line free";
}

TEST(SerialPty, BytesThatArriveDuringADeliveryAreReportedByTheNextTogetherWithWhatWasLeft) {
  MainLoop loop;
  VirtualSerialLine line;
  TComPort port(loop, SystemComm());
  RxLog rx;
  port.OnRxChar = [&](TCustomComPort& p, int count) {
    rx.counts.push_back(count);
    std::uint8_t buf[16];
    if (rx.counts.size() == 1) {
      // Leave two bytes queued, and let two more arrive while this runs.
      const int n = p.Read(buf, 1);
      rx.bytes.insert(rx.bytes.end(), buf, buf + n);
      line.Write({4, 5});
      ASSERT_TRUE(WaitOutsideTheLoop([&] { return p.InputCount() == 4; }));
      return;
    }
    const int n = p.Read(buf, count);
    rx.bytes.insert(rx.bytes.end(), buf, buf + n);
  };
  port.SetPort(line.PortPath());
  port.Open();
  line.Write({1, 2, 3});
  ASSERT_TRUE(WaitFor(loop, [&] { return rx.bytes.size() == 5; }));
  EXPECT_EQ(rx.counts, (std::vector<int>{3, 4}));
  EXPECT_EQ(rx.bytes, (Bytes{1, 2, 3, 4, 5}));
}

TEST(SerialPty, AHandlerThatThrowsEndsTheEventThreadWhileThePortStaysOpenUntilReopened) {
  MainLoop loop;
  VirtualSerialLine line;
  WatchedPort port(loop, SystemComm());
  int calls = 0;
  port.OnRxChar = [&](TCustomComPort& p, int count) {
    ++calls;
    std::uint8_t buf[16];
    p.Read(buf, count);
    if (calls == 1) throw std::runtime_error("handler failed");
  };
  port.SetPort(line.PortPath());
  port.Open();
  line.Write({1});
  ASSERT_TRUE(WaitFor(loop, [&] { return port.ThreadEnded(); }));
  EXPECT_TRUE(port.Connected());

  line.Write({2});
  ASSERT_TRUE(WaitOutsideTheLoop([&] { return port.InputCount() == 1; }));
  loop.ProcessMessages();
  EXPECT_EQ(calls, 1) << "an ended thread reports nothing";

  port.Close();
  port.Open();
  line.Write({3});
  ASSERT_TRUE(WaitFor(loop, [&] { return calls == 2; })) << "reopening starts a new thread";
}

TEST(SerialPty, CloseWhileADeliveryWaitsRunsItInsideCloseAndReturns) {
  MainLoop loop;
  VirtualSerialLine line;
  TComPort port(loop, SystemComm());
  bool closing = false;
  std::vector<bool> seen;  // per delivery: inside Close, with the port still open
  Bytes got;
  port.OnBeforeClose = [&](TCustomComPort&) { closing = true; };
  port.OnRxChar = [&](TCustomComPort& p, int count) {
    seen.push_back(closing && p.Connected());
    std::uint8_t buf[16];
    const int n = p.Read(buf, count);
    got.insert(got.end(), buf, buf + n);
  };
  port.SetPort(line.PortPath());
  port.Open();
  line.Write({1, 2, 3});
  // Returns once the event thread has queued its delivery, without running it.
  loop.WaitMessage();

  port.Close();
  EXPECT_FALSE(port.Connected());
  EXPECT_EQ(seen, std::vector<bool>{true});
  EXPECT_EQ(got, (Bytes{1, 2, 3}));
}

TEST(SerialPty, AHandlerThatClosesItsOwnPortReleasesTheLineAtOnceAndMayReopenIt) {
  MainLoop loop;
  VirtualSerialLine line;
  TComPort port(loop, SystemComm()), other(loop, SystemComm());
  port.SetPort(line.PortPath());
  other.SetPort(line.PortPath());
  std::vector<int> counts;
  bool other_opened = false;
  port.OnRxChar = [&](TCustomComPort& p, int count) {
    counts.push_back(count);
    std::uint8_t buf[16];
    p.Read(buf, count);
    if (counts.size() > 1) return;
    p.Close();
    EXPECT_FALSE(p.Connected());
    other.Open();  // the line is free again, though the old thread has not ended yet
    other_opened = other.Connected();
    other.Close();
    p.Open();
  };
  port.Open();
  line.Write({1});
  ASSERT_TRUE(WaitFor(loop, [&] { return counts.size() == 1; }));
  EXPECT_TRUE(other_opened);
  EXPECT_TRUE(port.Connected());
  line.Write({2, 3});
  ASSERT_TRUE(WaitFor(loop, [&] { return counts.size() == 2; })) << "the reopened port's thread delivers";
  EXPECT_EQ(counts, (std::vector<int>{1, 2}));
}

TEST(SerialPty, AWriteTheFarSideNeverDrainsReturnsASmallerCountAfterTheWriteTimeout) {
  MainLoop loop;
  VirtualSerialLine line;
  TComPort port(loop, SystemComm());
  port.SetPort(line.PortPath());
  port.Open();
  // Fill the line's queues with a short time-out first.
  port.Timeouts().SetWriteTotalMultiplier(0);
  port.Timeouts().SetWriteTotalConstant(50);
  const Bytes fill(256 * 1024, 'f');
  ASSERT_LT(port.Write(fill.data(), static_cast<int>(fill.size())), static_cast<int>(fill.size()));
  port.Timeouts().SetWriteTotalMultiplier(100);
  port.Timeouts().SetWriteTotalConstant(1000);

  const std::uint8_t five[5] = {1, 2, 3, 4, 5};
  const auto start = std::chrono::steady_clock::now();
  const int written = port.Write(five, 5);
  const auto ms =
      std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count();
  EXPECT_LT(written, 5);
  EXPECT_GE(ms, 1490) << "1000 ms plus 100 ms per byte";
  EXPECT_LT(ms, 10000);
  EXPECT_TRUE(port.Connected());
}

TEST(SerialPty, AVanishedDeviceEndsTheEventThreadAndFailsTheNextReadAndWrite) {
  MainLoop loop;
  auto line = std::make_unique<VirtualSerialLine>();
  WatchedPort port(loop, SystemComm());
  RxLog rx;
  rx.Attach(loop, port);
  port.SetPort(line->DevicePath());
  port.Open();
  line->Write({1});
  ASSERT_TRUE(WaitFor(loop, [&] { return rx.bytes.size() == 1; }));

  line.reset();  // the far side goes away: the port side hangs up
  // A wait in progress on the main thread (a driver's, for its terminal's
  // answer) ends at once with the error the next read would raise, instead of
  // running to its own limit.
  const auto start = std::chrono::steady_clock::now();
  try {
    WaitFor(loop, [] { return false; }, 5000);
    ADD_FAILURE() << "the wait did not end with the line's error";
  } catch (const EComPort& e) {
    EXPECT_STREQ(e.what(), "ReadFile function failed (Error: 5)");
  }
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
  ASSERT_TRUE(WaitOutsideTheLoop([&] { return port.ThreadEnded(); })) << "the event wait must end, not go on";
  EXPECT_TRUE(WaitFor(loop, [] { return true; }));  // told once: the next wait is not interrupted again
  EXPECT_TRUE(port.Connected());

  std::uint8_t buf[4] = {1, 2, 3, 4};
  try {
    port.Read(buf, 4);
    ADD_FAILURE() << "Read did not fail";
  } catch (const EComPort& e) {
    EXPECT_EQ(e.Code(), CError_ReadFailed);
    EXPECT_EQ(e.WinCode(), 5);
  }
  try {
    port.Write(buf, 4);
    ADD_FAILURE() << "Write did not fail";
  } catch (const EComPort& e) {
    EXPECT_STREQ(e.what(), "WriteFile function failed (Error: 5)");
  }
  port.Close();
  EXPECT_FALSE(port.Connected());
  EXPECT_EQ(rx.counts, std::vector<int>{1});
}

}  // namespace
}  // namespace tarvina
