// The main loop's promises, with real threads (also run under TSan).
#include <gtest/gtest.h>
#include <time.h>

#include <atomic>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <vector>
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

// A foreign event queue (a desktop toolkit's) joined to the loop: its events
// come from a thread of their own and are handled only on the main thread,
// inside Process() or the blocking Block().
class ForeignQueue final : public EventSource {
 public:
  void Deliver(std::function<void()> handler) {
    std::lock_guard<std::mutex> lock(mu_);
    pending_.push_back(std::move(handler));
    cv_.notify_all();
  }
  void Process() override { RunPending(); }
  void Block(Millis timeout_ms) override {
    {
      std::unique_lock<std::mutex> lock(mu_);
      auto ready = [&] { return interrupted_ || !pending_.empty(); };
      if (timeout_ms < 0)
        cv_.wait(lock, ready);
      else
        cv_.wait_for(lock, std::chrono::milliseconds(timeout_ms), ready);
      interrupted_ = false;
      ++blocks_;
    }
    RunPending();
  }
  void Interrupt() override {
    std::lock_guard<std::mutex> lock(mu_);
    interrupted_ = true;
    cv_.notify_all();
  }
  int Blocks() {
    std::lock_guard<std::mutex> lock(mu_);
    return blocks_;
  }

 private:
  void RunPending() {
    std::vector<std::function<void()>> run;
    {
      std::lock_guard<std::mutex> lock(mu_);
      run.swap(pending_);
    }
    for (auto& h : run) h();
  }
  std::mutex mu_;
  std::condition_variable cv_;
  std::vector<std::function<void()>> pending_;
  bool interrupted_ = false;
  int blocks_ = 0;
};

// Whatever ends the wait, a driver's WaitUntil does not spin and is not held
// up: the foreign queue's own event, a hand-off from another thread, a timer.
TEST(MainLoopThreads, ForeignEventQueueIsServedWhileTheLoopWaits) {
  enum class By { SourceEvent, HandOff, Timer };
  for (By by : {By::SourceEvent, By::HandOff, By::Timer}) {
    SCOPED_TRACE(static_cast<int>(by));
    MainLoop loop;
    ForeignQueue queue;
    loop.SetEventSource(&queue);
    Timer timer(loop, 100);
    bool done = false;  // main thread only
    bool on_main = false;
    auto finish = [&] {
      on_main = loop.IsMainThread();
      done = true;
    };
    timer.OnTimer = finish;
    std::thread other;
    if (by == By::Timer) {
      timer.SetEnabled(true);
    } else {
      other = std::thread([&, by] {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        if (by == By::SourceEvent)
          queue.Deliver(finish);
        else
          loop.Synchronize(finish);
      });
    }
    const auto t0 = std::chrono::steady_clock::now();
    const double cpu0 = ThreadCpuSeconds();
    loop.WaitUntil([&] { return done; });
    const double cpu = ThreadCpuSeconds() - cpu0;
    const auto waited = std::chrono::steady_clock::now() - t0;
    if (other.joinable()) other.join();
    EXPECT_TRUE(on_main);
    EXPECT_GE(waited, std::chrono::milliseconds(90));
    EXPECT_LT(waited, std::chrono::seconds(5));
    EXPECT_GE(queue.Blocks(), 1);  // it waited in the queue, not on its own
    EXPECT_LT(queue.Blocks(), 10);
    EXPECT_LT(cpu, 0.05);
    loop.SetEventSource(nullptr);
  }
}

}  // namespace
}  // namespace tarvina
