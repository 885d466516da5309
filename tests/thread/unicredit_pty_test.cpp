// TPosUnicredit on a real pseudo-terminal, the terminal played by a thread:
// the acknowledgement of the answer is the driver's last write, and the port
// is closed right after it, as the dispatcher does. It must still arrive.
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "platform/MainLoop.h"
#include "platform/PortNames.h"
#include "platform/PosixComm.h"
#include "platform/VirtualSerial.h"
#include "terminals/PosUnicredit/PosUnicredit.h"
#include "terminals/PosUnicredit/UnicreditFrames.h"

namespace tarvina {
namespace {

namespace uc = unicredit;

TEST(UnicreditPty, TheLastAcknowledgementSurvivesTheCloseThatFollowsIt) {
  constexpr int kSales = 40;
  MainLoop loop;
  VirtualSerialLine line;
  SetPortMap({{"COM7", line.PortPath()}});
  std::atomic<int> acks_seen{0};
  std::thread terminal([&] {
    std::string rx;
    // The next whole frame off the line; empty after 5 s of nothing.
    auto next_frame = [&] {
      for (int waited = 0; waited < 50;) {
        std::size_t n = uc::AckAtFront(rx) ? uc::kAckLength : uc::MessageAtFront(rx);
        if (n > 0) {
          std::string f = rx.substr(0, n);
          rx.erase(0, n);
          return f;
        }
        const auto got = line.Read(100);
        if (got.empty()) ++waited;
        rx.append(got.begin(), got.end());
      }
      return std::string();
    };
    std::string frame = next_frame();
    for (int i = 0; i < kSales && !frame.empty(); ++i) {
      const auto answer = uc::BuildMessage(3, static_cast<std::uint8_t>(i), {{uc::kElRezultat, "APROBAT"}});
      auto both = uc::BuildAck(static_cast<std::uint8_t>(frame[2]));
      both.insert(both.end(), answer.begin(), answer.end());
      line.Write(both);
      frame = next_frame();
      // A lost acknowledgement shows as the next sale's message coming first.
      if (frame == uc::ToString(uc::BuildAck(static_cast<std::uint8_t>(i)))) {
        ++acks_seen;
        if (i + 1 < kSales) frame = next_frame();
      }
    }
  });
  int approved = 0;
  for (int i = 0; i < kSales; ++i) {
    TPosUnicredit pos(loop, SystemComm());
    pos.PortSerial = 7;
    ASSERT_TRUE(pos.OpenPort());
    pos.Suma = 1;
    std::string mesaj;
    if (pos.PosSaleByCard(mesaj)) ++approved;
    pos.ClosePort();
  }
  terminal.join();
  SetPortMap({});
  EXPECT_EQ(approved, kSales);
  EXPECT_EQ(acks_seen.load(), kSales);
}

}  // namespace
}  // namespace tarvina
