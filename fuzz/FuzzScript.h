#pragma once
// Reads a fuzzer's input as a script for a terminal: single bytes for the
// choices a target makes, and chunks of bytes for what the terminal sends.
// Length 255 stands for a 2000-byte chunk built from up to 64 input bytes,
// so that inputs stay small while arrivals can outgrow the drivers' buffers.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "platform/Clock.h"
#include "platform/MainLoop.h"

#include "tests/support/FakeComm.h"

namespace tarvina {

class FuzzScript {
 public:
  FuzzScript(const std::uint8_t* data, std::size_t size) : p_(data), end_(data + size) {}
  bool Empty() const { return p_ >= end_; }
  std::uint8_t Byte() { return Empty() ? 0 : *p_++; }
  FakeComm::Bytes Chunk() {
    const std::uint8_t len = Byte();
    const std::size_t want = len == 255 ? 2000 : len;
    FakeComm::Bytes out;
    const std::uint8_t* start = p_;
    const std::size_t have = std::min<std::size_t>(len == 255 ? 64 : len, end_ - p_);
    p_ += have;
    if (have == 0) return out;
    for (std::size_t i = 0; i < want; ++i) out.push_back(start[i % have]);
    return out;
  }

  // Plays the terminal: every write the driver makes is recorded and answered
  // by up to three chunks, each a scripted number of 250 ms steps after the
  // one before it.
  void AnswerWrites(FakeComm& comm, std::vector<FakeComm::Bytes>& writes) {
    comm.OnWrite = [this, &comm, &writes](const FakeComm::Bytes& b) {
      writes.push_back(b);
      const int chunks = Byte() % 4;
      Millis at = 0;
      for (int i = 0; i < chunks && !Empty(); ++i) {
        at += static_cast<Millis>(Byte()) * 250;
        FakeComm::Bytes chunk = Chunk();
        if (chunk.empty()) continue;
        if (at == 0)
          comm.Deliver(chunk);
        else
          comm.DeliverAfter(at, chunk);
      }
    };
  }

  // The billing application's STOP, at a scripted time: a timer that sets the
  // flag a driver's waits test. Keep the result alive for the whole run.
  static std::unique_ptr<Timer> StopAt(MainLoop& loop, Millis ms, bool& flag) {
    auto stop = std::make_unique<Timer>(loop, ms);
    stop->OnTimer = [&flag] { flag = true; };
    stop->SetEnabled(true);
    return stop;
  }

 private:
  const std::uint8_t* p_;
  const std::uint8_t* end_;
};

}  // namespace tarvina
