// Arbitrary terminal bytes, cut into arbitrary chunks with arbitrary pauses,
// into TPosUnicredit's receive path while it waits for its answer. Every input
// must end the wait (answer, or silence time-out in virtual time) without
// reading outside what arrived.
//
// Input: byte 0 picks the operation; then chunks of [length][pause s][bytes].
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/Clock.h"
#include "platform/MainLoop.h"
#include "terminals/PosUnicredit/PosUnicredit.h"
#include "terminals/PosUnicredit/UnicreditFrames.h"
#include "tests/support/FakeComm.h"

namespace {

using tarvina::FakeComm;

struct Chunk {
  tarvina::Millis at;
  FakeComm::Bytes bytes;
};

void Check(bool ok) {
  if (!ok) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const int op = data[0] % 4;
  std::vector<Chunk> chunks;
  tarvina::Millis at = 0;
  std::size_t total = 0;
  for (std::size_t i = 1; i < size;) {
    const std::size_t len = data[i];
    const tarvina::Millis pause = i + 1 < size ? data[i + 1] * 1000 + 1 : 1;
    i += 2;
    const std::size_t n = i < size ? std::min(len, size - i) : 0;
    at += pause;
    chunks.push_back({at, FakeComm::Bytes(data + i, data + i + n)});
    total += n;
    i += n;
  }

  tarvina::VirtualClock clock;
  tarvina::MainLoop loop(clock);
  FakeComm comm(loop);
  bool scheduled = false;
  comm.OnWrite = [&](const FakeComm::Bytes& b) {
    if (scheduled) return;
    scheduled = true;
    for (const Chunk& c : chunks)
      if (!c.bytes.empty()) comm.DeliverAfter(c.at, c.bytes);
  };
  tarvina::TPosUnicredit pos(loop, comm, [] { return std::uint8_t{0x2A}; });
  pos.PortSerial = 1;
  Check(pos.OpenPort());
  pos.Suma = 12.34;
  pos.NrBon = "123";
  std::string mesaj;
  bool ok = false;
  switch (op) {
    case 0: ok = pos.PosSaleByCard(mesaj); break;
    case 1: ok = pos.VoidPosSale(mesaj); break;
    case 2: ok = pos.RaportZilnic(mesaj); break;
    default: ok = pos.GetPosInfo(); break;
  }
  // It ended: by the answer, or by silence after the last chunk.
  Check(ok || pos.RaspunsPrimit() || pos.TimeOut());
  std::size_t held = pos.ReceiveStr().size();
  for (const auto& m : pos.ENQMessages()) held += m.size();
  Check(held <= total);
  for (const auto& [code, value] : pos.ResponseMessages()) Check(value.size() + 4 <= total);
  return 0;
}
