// Arbitrary terminal bytes, in arbitrary chunks and at arbitrary times, into
// the BRD Hypercom driver's receive path during a sale, a void or a
// settlement, on the fake comm layer in virtual time. The run must end, never
// write past the receive buffer, and never send anything but its own frames:
// at most three requests, the host ACK, and the ACK and confirmation of one
// result.
//
// Input: byte 0 picks the operation (bits 0-1: sale, void, settlement) and a
// STOP (bit 2, at the time of byte 1 x 500 ms). Then, for each write the
// driver makes: a chunk count (0-3), and per chunk a delay (x 250 ms after the
// previous), a length (255 means 2000 bytes, the data repeated) and the data.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "platform/Clock.h"
#include "platform/MainLoop.h"
#include "terminals/PosBRDHypercom/HypercomFrames.h"
#include "terminals/PosBRDHypercom/PosBRDHypercom.h"
#include "fuzz/FuzzScript.h"
#include "tests/support/FakeComm.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace tarvina;
  namespace hc = tarvina::hypercom;
  FuzzScript script(data, size);
  const std::uint8_t mode = script.Byte();
  const std::uint8_t stop_at = script.Byte();
  const int op = (mode & 3) % 3;
  const std::string type = op == 0 ? "MOL" : op == 1 ? "VOI" : "STL";

  VirtualClock clock;
  MainLoop loop(clock);
  FakeComm comm(loop);
  TPosBRDHypercom drv(loop, comm);
  std::vector<FakeComm::Bytes> writes;
  script.AnswerWrites(comm, writes);
  std::unique_ptr<Timer> stop;
  if (mode & 4) stop = FuzzScript::StopAt(loop, static_cast<Millis>(stop_at) * 500 + 1, drv.IesireFortata);

  drv.Suma = 12.34;
  drv.NrBon = "123";
  if (!drv.OpenPort()) std::abort();
  std::string msg;
  bool ok = false;
  switch (op) {
    case 0: ok = drv.PosSaleByCard(msg); break;
    case 1: ok = drv.VoidPosSale(msg); break;
    default: ok = drv.RaportZilnic(msg); break;
  }
  if (drv.BytesPrimiti() < 0 || drv.BytesPrimiti() > static_cast<int>(drv.Receive().size())) std::abort();

  // Requests first (all the same frame), then at most the host ACK, then at
  // most the ACK and confirmation of one result.
  const FakeComm::Bytes request = hc::RequestFrame(type, op == 1 ? "123" : "000000001234");
  const FakeComm::Bytes ack{hc::ACK};
  std::size_t i = 0;
  while (i < writes.size() && writes[i] == request) ++i;
  if (i == 0 || i > 3) std::abort();
  const bool acknowledged = i < writes.size();
  if (acknowledged && writes[i++] != ack) std::abort();
  const bool confirmed = i < writes.size();
  if (confirmed) {
    if (op == 2 || i + 2 != writes.size() || writes[i] != ack || writes[i + 1] != hc::ConfirmationFrame(type))
      std::abort();
  }
  // The outcome agrees with what went over the line.
  if (op == 2 && ok != acknowledged) std::abort();
  if (op != 2 && ok != (confirmed && drv.ResponseCode == "00")) std::abort();
  if (!ok && op != 2 && !confirmed && msg != (!acknowledged ? "Eroare initializare tranzactie"
                                                             : op == 0 ? "Time OutError" : "TimeOut Error"))
    std::abort();
  drv.ClosePort();
  return 0;
}
