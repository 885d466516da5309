#pragma once
// A TComPort over the in-memory comm layer, in virtual time.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "platform/Clock.h"
#include "platform/MainLoop.h"
#include "serial/CPort.h"
#include "tests/support/FakeComm.h"

namespace tarvina {

class SerialPortTest : public ::testing::Test {
 protected:
  // Runs the loop until done() holds; false when 5 s of virtual time pass first.
  bool WaitFor(const std::function<bool()>& done) {
    bool expired = false;
    Timer guard(loop, 5000);
    guard.OnTimer = [&] { expired = true; };
    guard.SetEnabled(true);
    loop.WaitUntil([&] { return done() || expired; });
    return done();
  }

  // Opens the port and forgets the calls the opening made.
  void OpenQuietly() {
    port.Open();
    comm.ClearLog();
  }

  // Feeds bytes and waits until OnRxChar has reported all of them.
  bool DeliverAndWait(const FakeComm::Bytes& bytes) {
    const int before = rx_total;
    comm.Deliver(bytes);
    return WaitFor([&] { return rx_total >= before + static_cast<int>(bytes.size()); });
  }

  // Handlers set by a test capture its locals, which are gone by the time the
  // fixture closes the port; closing runs some of them.
  void TearDown() override {
    port.OnRxChar = nullptr;
    port.OnError = nullptr;
    port.OnTxEmpty = port.OnBreak = port.OnRing = port.OnRxFlag = port.OnRx80Full = nullptr;
    port.OnCTSChange = port.OnDSRChange = port.OnRLSDChange = nullptr;
    port.OnAfterOpen = port.OnAfterClose = port.OnBeforeOpen = port.OnBeforeClose = nullptr;
  }

  void CountRx() {
    port.OnRxChar = [this](TCustomComPort& p, int count) {
      std::vector<std::uint8_t> buf(static_cast<std::size_t>(count));
      rx_total += p.Read(buf.data(), count);
    };
  }

  VirtualClock clock;
  MainLoop loop{clock};
  FakeComm comm{loop};
  TComPort port{loop, comm};
  int rx_total = 0;
};

}  // namespace tarvina
