// Arbitrary terminal bytes, in arbitrary chunks and at arbitrary times, into
// the Transilvania driver's receive path during each of its operations, on the
// fake comm layer in virtual time. The run must end, never overrun a buffer,
// and always close the exchange with EOT.
//
// Input: byte 0 picks the operation (bits 0-1) and a STOP (bit 2, at the time
// of byte 1 x 500 ms). Then, for each write the driver makes: a chunk count
// (0-3), and per chunk a delay (x 250 ms after the previous), a length (255
// means 2000 bytes, the data repeated) and the data.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <vector>

#include "platform/Clock.h"
#include "platform/MainLoop.h"
#include "terminals/PosTransilvania/PosTransilvania.h"
#include "fuzz/FuzzScript.h"
#include "tests/support/FakeComm.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace tarvina;
  FuzzScript script(data, size);
  const std::uint8_t mode = script.Byte();
  const std::uint8_t stop_at = script.Byte();

  VirtualClock clock;
  MainLoop loop(clock);
  FakeComm comm(loop);
  TPosTransilvania drv(loop, comm, [] {});
  std::vector<FakeComm::Bytes> writes;
  script.AnswerWrites(comm, writes);
  std::unique_ptr<Timer> stop;
  if (mode & 4) stop = FuzzScript::StopAt(loop, static_cast<Millis>(stop_at) * 500 + 1, drv.IesireFortata);

  drv.Suma = 12.34;
  drv.NrBon = "123";
  if (!drv.OpenPort()) std::abort();
  switch (mode & 3) {
    case 0: drv.PosSaleByCard(); break;
    case 1: drv.VoidPosSale(); break;
    case 2: drv.RaportZilnic(); break;
    default: drv.GetPosInfo(); break;
  }
  // At most 7 ENQ and one request before the EOT that always ends the exchange.
  if (writes.size() < 2 || writes.size() > 9 || writes.back() != FakeComm::Bytes{0x04}) std::abort();
  drv.ClosePort();
  return 0;
}
