// Feeds arbitrary terminal bytes, in arbitrary chunks, to the Verifone
// driver's receive path: each write of the driver releases the next chunk.
// The operation must always end, within a bounded stretch of virtual time,
// and the receive buffer must never hold more than it has room for.
//
// Input: byte 0 picks the operation (log-in, log-out, sale, void); then
// chunks, each a control byte (low 7 bits: length; high bit: the data
// repeated ten times, to reach past the buffer) and its data.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <deque>
#include <vector>

#include "platform/Clock.h"
#include "platform/MainLoop.h"
#include "terminals/PosVerifoneIntf/PosVerifoneIntf.h"
#include "tests/support/FakeComm.h"

using tarvina::FakeComm;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  std::deque<FakeComm::Bytes> chunks;
  for (std::size_t i = 1; i < size;) {
    const std::uint8_t ctl = data[i++];
    const std::size_t len = std::min<std::size_t>(ctl & 0x7F, size - i);
    FakeComm::Bytes chunk(data + i, data + i + len);
    i += len;
    if (ctl & 0x80) {
      const FakeComm::Bytes once = chunk;
      for (int k = 1; k < 10; ++k) chunk.insert(chunk.end(), once.begin(), once.end());
    }
    chunks.push_back(std::move(chunk));
  }
  const std::size_t chunk_count = chunks.size();

  tarvina::VirtualClock clock;
  tarvina::MainLoop loop(clock);
  FakeComm comm(loop);
  std::size_t writes = 0;
  comm.OnWrite = [&](const FakeComm::Bytes&) {
    ++writes;
    if (chunks.empty()) return;
    if (!chunks.front().empty()) comm.Deliver(chunks.front());
    chunks.pop_front();
  };

  tarvina::TPosVerifone drv(loop, comm);
  drv.Suma = 12.34;
  drv.NrBon = "57";
  if (!drv.OpenPort()) std::abort();
  switch (data[0] & 3) {
    case 0: drv.LogIn(); break;
    case 1: drv.LogOut(); break;
    case 2: drv.PosSaleByCard(); break;
    default: drv.VoidPosSale(); break;
  }
  if (drv.BytesPrimiti() < 0 || drv.BytesPrimiti() > 1000) std::abort();
  if (drv.TimerInterval() != 10000) std::abort();
  // Each wait ends at most one long limit after the last thing that happened.
  const tarvina::Millis bound = static_cast<tarvina::Millis>(writes + chunk_count + 2) * 240000;
  if (clock.NowMs() > bound) std::abort();
  drv.ClosePort();
  return 0;
}
