// The pieces the serial drivers share: reading what a notification announced,
// keeping it in a fixed buffer, the silence limit, and undo on every exit.
#include <gtest/gtest.h>

#include <array>
#include <stdexcept>
#include <string>
#include <vector>

#include "platform/ScopeGuard.h"
#include "serial/DriverReceive.h"
#include "tests/unit/serial_fixture.h"

namespace tarvina {
namespace {

class ReadWaitingTest : public SerialPortTest {};

TEST_F(ReadWaitingTest, ReadsInChunksAndStopsAtTheFirstShortRead) {
  struct Case {
    std::size_t waiting;
    int count;
    std::size_t chunk;
    std::vector<std::size_t> pieces;
    std::vector<std::string> reads;
  };
  const Case cases[] = {
      {10, 10, 4, {4, 4, 2}, {"Read 4", "Read 4", "Read 2"}},
      {8, 8, 4, {4, 4}, {"Read 4", "Read 4"}},
      // The notification promised more than is there: the short read ends it.
      {5, 20, 4, {4, 1}, {"Read 4", "Read 4"}},
      {0, 3, 4, {}, {"Read 3"}},
      // Less announced than waiting: the rest waits for its own notification.
      {6, 3, 4, {3}, {"Read 3"}},
      {4, 0, 4, {}, {}},
      {4, -3, 4, {}, {}},
  };
  OpenQuietly();
  for (const Case& c : cases) {
    SCOPED_TRACE("waiting " + std::to_string(c.waiting) + ", count " + std::to_string(c.count));
    FakeComm::Bytes bytes;
    for (std::size_t i = 0; i < c.waiting; ++i) bytes.push_back(static_cast<std::uint8_t>(i + 1));
    comm.Deliver(bytes);
    comm.ClearLog();
    std::vector<std::uint8_t> chunk(c.chunk);
    std::vector<std::size_t> pieces;
    std::vector<std::uint8_t> seen;
    const std::size_t total = ReadWaiting(port, c.count, chunk, [&](const std::uint8_t* data, std::size_t n) {
      pieces.push_back(n);
      seen.insert(seen.end(), data, data + n);
    });
    EXPECT_EQ(pieces, c.pieces);
    std::vector<std::string> reads;  // the port's event thread logs calls of its own
    for (const std::string& call : comm.Log())
      if (call.rfind("Read ", 0) == 0) reads.push_back(call);
    EXPECT_EQ(reads, c.reads);
    EXPECT_EQ(total, seen.size());
    EXPECT_TRUE(std::equal(seen.begin(), seen.end(), bytes.begin()));
    // Leave nothing behind for the next case.
    std::vector<std::uint8_t> rest(64);
    port.Read(rest.data(), static_cast<int>(rest.size()));
  }
}

TEST(KeepWhatFits, AppendsWhatFitsAndDropsTheRest) {
  struct Case {
    int held;
    std::size_t n;
    int held_after;
  };
  const Case cases[] = {{0, 3, 3}, {2, 3, 5}, {4, 3, 6}, {6, 3, 6}, {0, 9, 6}, {3, 0, 3}};
  const std::uint8_t data[9] = {11, 12, 13, 14, 15, 16, 17, 18, 19};
  for (const Case& c : cases) {
    SCOPED_TRACE("held " + std::to_string(c.held) + ", n " + std::to_string(c.n));
    std::array<std::uint8_t, 6> buffer{};
    buffer.fill(0xEE);
    EXPECT_EQ(KeepWhatFits(buffer, c.held, data, c.n), c.held_after);
    for (int i = 0; i < 6; ++i) {
      const bool written = i >= c.held && i < c.held_after;
      EXPECT_EQ(buffer[static_cast<std::size_t>(i)], written ? data[i - c.held] : 0xEE) << "at " << i;
    }
  }
}

TEST(DecimalLine, EachByteInDecimalAndABlank) {
  const std::uint8_t bytes[] = {6, 2, 77, 0xAB, 0};
  EXPECT_EQ(DecimalLine(bytes, 5), "6 2 77 171 0 ");
  EXPECT_EQ(DecimalLine(bytes, 0), "");
}

TEST(SilenceTimer, EachRestartRunsAFullIntervalAndExpiryStopsIt) {
  VirtualClock clock;
  MainLoop loop(clock);
  int expiries = 0;
  SilenceTimer* self = nullptr;
  SilenceTimer timer(loop, SilenceTimer::FromSeconds(2.5), [&] {
    ++expiries;
    self->Expire();
  });
  self = &timer;
  EXPECT_EQ(timer.Interval(), 2500);
  EXPECT_FALSE(timer.Enabled());
  timer.Restart();
  clock.Advance(2000);
  loop.ProcessMessages();
  timer.Restart();  // bytes came: the silence counts again from here
  clock.Advance(2499);
  loop.ProcessMessages();
  EXPECT_FALSE(timer.TimedOut());
  clock.Advance(1);
  loop.ProcessMessages();
  EXPECT_EQ(expiries, 1);
  EXPECT_TRUE(timer.TimedOut());
  EXPECT_FALSE(timer.Enabled());
  clock.Advance(10000);
  loop.ProcessMessages();
  EXPECT_EQ(expiries, 1) << "it fires once per start";
  timer.Restart();
  EXPECT_FALSE(timer.TimedOut());
  EXPECT_TRUE(timer.Enabled());
  timer.Stop();
  clock.Advance(10000);
  loop.ProcessMessages();
  EXPECT_EQ(expiries, 1);
}

TEST(ScopeGuard, UndoesOnEveryExitUnlessDismissed) {
  int undone = 0;
  auto body = [&](bool fail, bool dismiss) {
    ScopeGuard g([&] { ++undone; });
    if (fail) throw std::runtime_error("body");
    if (dismiss) g.Dismiss();
  };
  body(false, false);
  EXPECT_EQ(undone, 1);
  EXPECT_THROW(body(true, false), std::runtime_error);
  EXPECT_EQ(undone, 2);
  body(false, true);
  EXPECT_EQ(undone, 2);
}

TEST(ScopeGuard, TheFirstFailureIsTheOneTheCallerHears) {
  auto failing_undo = [](bool body_fails) {
    ScopeGuard g([] { throw std::logic_error("undo"); });
    if (body_fails) throw std::runtime_error("body");
  };
  EXPECT_THROW(failing_undo(true), std::runtime_error);
  EXPECT_THROW(failing_undo(false), std::logic_error);
}

}  // namespace
}  // namespace tarvina
