// InterruptWait: how a lost serial line ends the wait of the driver using it.
#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

#include "platform/MainLoop.h"

namespace tarvina {
namespace {

std::exception_ptr Lost() { return std::make_exception_ptr(std::runtime_error("line lost")); }

// Only the innermost wait in progress gets the error, once; the wait around
// it goes on to its own end, and a later wait is not touched.
TEST(MainLoopInterrupt, EndsTheInnermostWaitOnceAndIsGoneAfterwards) {
  VirtualClock clock;
  MainLoop loop(clock);
  bool outer_done = false;
  std::string inner;
  loop.Post([&] {
    try {
      loop.Post([&] { loop.InterruptWait(Lost()); });
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

TEST(MainLoopInterrupt, OutsideAnyWaitItIsDropped) {
  VirtualClock clock;
  MainLoop loop(clock);
  loop.Post([&] { loop.InterruptWait(Lost()); });
  loop.ProcessMessages();
  bool ran = false;
  loop.Post([&] { ran = true; });
  EXPECT_NO_THROW(loop.WaitUntil([&] { return ran; }));
}

// A wait that leaves by an exception of its own takes the interrupt meant for
// it along: the next wait at the same depth must not get it.
TEST(MainLoopInterrupt, AWaitLeftByItsOwnExceptionTakesItsInterruptAlong) {
  VirtualClock clock;
  MainLoop loop(clock);
  EXPECT_THROW(loop.WaitUntil([&] {
                 loop.InterruptWait(Lost());
                 throw std::logic_error("own");
                 return true;
               }),
               std::logic_error);
  bool ran = false;
  loop.Post([&] { ran = true; });
  EXPECT_NO_THROW(loop.WaitUntil([&] { return ran; }));
}

}  // namespace
}  // namespace tarvina
