// The BRD Hypercom driver on a real pseudo-terminal through the POSIX comm
// layer, with the terminal played on the far side by a thread of its own.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <string>
#include <thread>

#include "platform/MainLoop.h"
#include "platform/PortNames.h"
#include "platform/PosixComm.h"
#include "platform/VirtualSerial.h"
#include "terminals/PosBRDHypercom/HypercomFrames.h"
#include "terminals/PosBRDHypercom/PosBRDHypercom.h"

namespace tarvina {
namespace {

namespace hc = hypercom;

// A sale's last frame goes out just before the port is closed, and the next
// sale opens the port again at once; the terminal reads the confirmation only
// after that. Closing (its event thread purges the transmit queue) and
// opening must not take back bytes the far side has not read yet. Whether
// they still sat in the kernel's hand-over to the far side when the purge
// came is down to timing, so the check runs many sales.
TEST(HypercomPty, ConfirmationsSurviveCloseAndTheNextOpen) {
  constexpr int kSales = 40;
  VirtualSerialLine line;
  SetPortMap({{"COM7", line.PortPath()}});
  MainLoop loop;
  PosixComm comm;
  std::atomic<int> closed{0};
  hc::Bytes expected{hc::ACK};
  const hc::Bytes frame = hc::ConfirmationFrame("MOL");
  expected.insert(expected.end(), frame.begin(), frame.end());

  std::future<int> lost = std::async(std::launch::async, [&] {
    for (int i = 0; i < kSales; ++i) {
      if (line.ReadExactly(hc::kRequestLen, 5000).size() != hc::kRequestLen) return -1;
      line.Write(hc::AcknowledgementFrame("MOL"));
      if (line.ReadExactly(1, 5000) != hc::Bytes{hc::ACK}) return -1;
      line.Write(hc::Frame("MOL", "12.", "00"));
      const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
      while (closed.load() <= i && std::chrono::steady_clock::now() < until)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
      // After a loss the line is out of step; one is enough to tell.
      if (line.ReadExactly(expected.size(), 2000) != expected) return i + 1;
    }
    return 0;
  });

  int approved = 0;
  for (int i = 0; i < kSales; ++i) {
    if (lost.wait_for(std::chrono::seconds(0)) == std::future_status::ready) break;
    TPosBRDHypercom pos(loop, comm);
    pos.PortSerial = 7;
    pos.Suma = 12.5;
    if (!pos.OpenPort()) break;
    std::string msg;
    const bool ok = pos.PosSaleByCard(msg);
    pos.ClosePort();
    closed = i + 1;
    if (!ok) break;
    ++approved;
  }
  EXPECT_EQ(lost.get(), 0) << "the sale whose confirmation the terminal never got";
  EXPECT_EQ(approved, kSales);
  SetPortMap({});
}

}  // namespace
}  // namespace tarvina
