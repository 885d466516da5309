// InterruptWait: how a lost serial line ends the wait of the driver using it.
#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

#include "platform/MainLoop.h"

namespace tarvina {
namespace {

std::exception_ptr Lost() { return std::make_exception_ptr(std::runtime_error("line lost")); }
const int kPort = 0;  // stands for the port that reports the loss

// Only the wait in progress gets the error, once; the wait around it goes on
// to its own end, and a later wait is not touched.
TEST(MainLoopInterrupt, EndsTheWaitInProgressOnce) {
  VirtualClock clock;
  MainLoop loop(clock);
  bool outer_done = false;
  std::string inner;
  loop.Post([&] {
    try {
      loop.Post([&] { loop.InterruptWait(Lost(), &kPort); });
      loop.WaitUntil([] { return false; });
    } catch (const std::runtime_error& e) {
      inner = e.what();
    }
    outer_done = true;
  });
  loop.WaitUntil([&] { return outer_done; });
  EXPECT_EQ(inner, "line lost");

  bool ran = false;
  loop.Post([&] { ran = true; });
  EXPECT_NO_THROW(loop.WaitUntil([&] { return ran; }));
}

// A wait that got what it waited for in the same pass returns normally (the
// terminal's last answer came before the line went); the error then waits for
// the next wait that is not done, unless a wait that must not throw runs in
// between, or its source withdraws it.
TEST(MainLoopInterrupt, PendsUntilAWaitThatIsNotDoneOrItsSourceWithdrawsIt) {
  VirtualClock clock;
  MainLoop loop(clock);
  bool answered = false;
  loop.Post([&] {
    answered = true;
    loop.InterruptWait(Lost(), &kPort);
  });
  EXPECT_NO_THROW(loop.WaitUntil([&] { return answered; }));

  bool ran = false;
  loop.Post([&] { ran = true; });
  EXPECT_NO_THROW(loop.WaitUntil([&] { return ran; }, MainLoop::Interrupts::kLeave));
  EXPECT_THROW(loop.WaitUntil([] { return false; }), std::runtime_error);

  const int other = 0;
  loop.InterruptWait(Lost(), &kPort);
  loop.CancelInterrupt(&other);  // not its source: stays
  EXPECT_THROW(loop.WaitUntil([] { return false; }), std::runtime_error);
  loop.InterruptWait(Lost(), &kPort);
  loop.CancelInterrupt(&kPort);
  ran = false;
  loop.Post([&] { ran = true; });
  EXPECT_NO_THROW(loop.WaitUntil([&] { return ran; }));
}

}  // namespace
}  // namespace tarvina
