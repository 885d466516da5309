// The main loop's promises, with real threads (also run under TSan).
#include <gtest/gtest.h>
#include <time.h>

#include <atomic>
#include <chrono>
#include <stdexcept>
#include <thread>

#include "platform/MainLoop.h"

namespace tarvina {
namespace {

double ThreadCpuSeconds() {
  timespec ts{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return ts.tv_sec + ts.tv_nsec / 1e9;
}

TEST(MainLoopThreads, HandOffBlocksUntilRunAndCarriesTheExceptionBack) {
  MainLoop loop;
  std::atomic<bool> giver_returned{false};
  bool ran_on_main = false;
  bool giver_was_waiting = false;
  std::string caught;
  std::thread giver([&] {
    try {
      loop.Synchronize([&] {
        ran_on_main = loop.IsMainThread();
        giver_was_waiting = !giver_returned.load();
        throw std::runtime_error("boom");
      });
    } catch (const std::runtime_error& e) {
      caught = e.what();
    }
    giver_returned = true;
  });
  // Nothing runs the call until the main thread processes messages.
  loop.WaitMessage();
  EXPECT_FALSE(giver_returned.load());
  loop.ProcessMessages();
  giver.join();
  EXPECT_TRUE(ran_on_main);
  EXPECT_TRUE(giver_was_waiting);
  EXPECT_EQ(caught, "boom");
}

TEST(MainLoopThreads, ProcessMessagesNestsInsideAHandOffThatWaits) {
  MainLoop loop;
  bool flag = false;  // main thread only
  int order = 0, inner_at = 0, outer_done_at = 0;
  std::atomic<bool> outer_running{false}, a_done{false};
  std::thread a([&] {
    loop.Synchronize([&] {
      // A driver waiting for its terminal inside a connection's hand-off.
      outer_running = true;
      loop.WaitUntil([&] { return flag; });
      outer_done_at = ++order;
    });
    a_done = true;
    loop.Wake();
  });
  std::thread b([&] {
    while (!outer_running) std::this_thread::yield();
    loop.Synchronize([&] {
      inner_at = ++order;
      flag = true;
    });
  });
  loop.WaitUntil([&] { return a_done.load(); });
  a.join();
  b.join();
  EXPECT_EQ(inner_at, 1);
  EXPECT_EQ(outer_done_at, 2);
}

TEST(MainLoopThreads, WaitingTwoSecondsCostsUnderOnePercentOfACore) {
  MainLoop loop;
  std::atomic<bool> flag_set_by_thread{false};
  bool flag = false;
  std::thread late([&] {
    std::this_thread::sleep_for(std::chrono::seconds(2));
    loop.Synchronize([&] { flag = true; });
    flag_set_by_thread = true;
  });
  const auto wall0 = std::chrono::steady_clock::now();
  const double cpu0 = ThreadCpuSeconds();
  loop.WaitUntil([&] { return flag; });
  const double cpu = ThreadCpuSeconds() - cpu0;
  const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - wall0).count();
  late.join();
  EXPECT_TRUE(flag_set_by_thread.load());
  EXPECT_GE(wall, 1.9);
  EXPECT_LT(cpu, 0.01 * wall) << "main thread used " << cpu << " s of CPU over " << wall << " s";
}

TEST(MainLoopThreads, RealTimerFiresOnceAfterItsInterval) {
  MainLoop loop;
  Timer timer(loop, 50);
  int fired = 0;
  timer.OnTimer = [&] { ++fired; };
  const auto t0 = std::chrono::steady_clock::now();
  timer.SetEnabled(true);
  loop.WaitUntil([&] { return fired > 0; });
  EXPECT_GE(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(50));
  EXPECT_FALSE(timer.Enabled());
  loop.ProcessMessages();
  EXPECT_EQ(fired, 1);
}

TEST(MainLoopThreads, QuitReleasesThreadsWaitingForAHandOff) {
  MainLoop loop;
  std::atomic<int> closed{0};
  std::vector<std::thread> givers;
  for (int i = 0; i < 4; ++i) {
    givers.emplace_back([&] {
      try {
        loop.Synchronize([] { FAIL() << "must not run after quit"; });
      } catch (const LoopClosed&) {
        ++closed;
      }
    });
  }
  // Give the givers time to queue; one that comes later is refused at once,
  // which is the same promise.
  loop.WaitMessage();
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  loop.Quit();
  for (auto& g : givers) g.join();
  EXPECT_EQ(closed.load(), 4);
}

}  // namespace
}  // namespace tarvina
