// The main loop on the main thread alone, in virtual time.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>

#include "platform/MainLoop.h"

namespace tarvina {
namespace {

TEST(MainLoop, HandOffFromTheMainThreadRunsAtOnce) {
  MainLoop loop;
  int ran = 0;
  loop.Synchronize([&] { ++ran; });
  EXPECT_EQ(ran, 1);
  EXPECT_EQ(loop.MessagesRun(), 0u) << "it must not go through the queue";
  EXPECT_THROW(loop.Synchronize([] { throw std::logic_error("x"); }), std::logic_error);
}

TEST(MainLoop, StoppedAndRestartedTimerRunsItsFullInterval) {
  VirtualClock clock;
  MainLoop loop(clock);
  Timer timer(loop, 3000);
  std::vector<Millis> fired_at;
  timer.OnTimer = [&] { fired_at.push_back(clock.NowMs()); };
  timer.SetEnabled(true);
  clock.Advance(2000);
  loop.ProcessMessages();
  timer.SetEnabled(false);
  timer.SetEnabled(true);  // restart: a full 3000 ms from t=2000
  clock.Advance(2999);
  loop.ProcessMessages();
  EXPECT_TRUE(fired_at.empty());
  clock.Advance(1);
  loop.ProcessMessages();
  ASSERT_EQ(fired_at, std::vector<Millis>{5000});
  EXPECT_FALSE(timer.Enabled());
  clock.Advance(10000);
  loop.ProcessMessages();
  EXPECT_EQ(fired_at.size(), 1u) << "one-shot: once per start";
}

TEST(MainLoop, ChangingTheIntervalOfARunningTimerRestartsIt) {
  VirtualClock clock;
  MainLoop loop(clock);
  Timer timer(loop, 3000);
  bool fired = false;
  timer.OnTimer = [&] { fired = true; };
  timer.SetEnabled(true);
  clock.Advance(1000);
  timer.SetInterval(180000);
  loop.WaitUntil([&] { return fired; });
  EXPECT_EQ(clock.NowMs(), 181000);
}

TEST(MainLoop, VirtualClockRunsA180SecondSilenceInWellUnderASecond) {
  VirtualClock clock;
  MainLoop loop(clock);
  Timer timer(loop, 180000);
  bool timed_out = false;
  timer.OnTimer = [&] { timed_out = true; };
  const auto wall0 = std::chrono::steady_clock::now();
  timer.SetEnabled(true);
  loop.WaitUntil([&] { return timed_out; });
  const auto wall = std::chrono::steady_clock::now() - wall0;
  EXPECT_EQ(clock.NowMs(), 180000);
  EXPECT_LT(wall, std::chrono::milliseconds(500));
}

TEST(MainLoop, TimersFireInDeadlineOrderAndMayRestartThemselves) {
  VirtualClock clock;
  MainLoop loop(clock);
  Timer a(loop, 300), b(loop, 100);
  std::vector<std::pair<char, Millis>> fired;
  int a_count = 0;
  a.OnTimer = [&] {
    fired.push_back({'a', clock.NowMs()});
    if (++a_count < 2) a.SetEnabled(true);
  };
  b.OnTimer = [&] { fired.push_back({'b', clock.NowMs()}); };
  a.SetEnabled(true);
  b.SetEnabled(true);
  loop.WaitUntil([&] { return a_count == 2; });
  std::vector<std::pair<char, Millis>> want{{'b', 100}, {'a', 300}, {'a', 600}};
  EXPECT_EQ(fired, want);
}

TEST(MainLoop, VirtualClockWaitsWhileAProbeSaysSomethingIsInFlight) {
  VirtualClock clock;
  MainLoop loop(clock);
  Timer timer(loop, 1000);
  bool timed_out = false, delivered = false;
  timer.OnTimer = [&] { timed_out = true; };
  std::atomic<bool> in_flight{true};
  int probe = loop.AddIdleProbe([&] { return !in_flight.load(); });
  timer.SetEnabled(true);
  std::thread sender([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    loop.Post([&] { delivered = true; });
    in_flight = false;
  });
  loop.WaitUntil([&] { return delivered || timed_out; });
  sender.join();
  EXPECT_TRUE(delivered);
  EXPECT_FALSE(timed_out) << "the clock jumped while bytes were in flight";
  EXPECT_EQ(clock.NowMs(), 0);
  loop.RemoveIdleProbe(probe);
}

TEST(MainLoop, AFailingPostedCallDoesNotStopTheLoop) {
  MainLoop loop;
  int after = 0;
  loop.Post([] { throw std::runtime_error("lost"); });
  loop.Post([&] { ++after; });
  loop.ProcessMessages();
  EXPECT_EQ(after, 1);
}

}  // namespace
}  // namespace tarvina
