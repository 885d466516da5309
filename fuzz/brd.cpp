// Arbitrary terminal bytes, in arbitrary chunks, into the BRD receive path:
// first straight into the driver (every chunk appended, then classified),
// then through the whole sale loop on the in-memory line in virtual time.
// The buffer must never hold more than its 2000 bytes, must stay zero past
// what it holds (the refusal reason reads there), and every sale must end.
//
// Input: byte 0: bit 0 runs the sale loop too, bit 1 leaves a STOP set from
// before the sale; then chunks of [length][pause in 4 ms steps][bytes], a
// length byte with its high bit set repeating its bytes 16 times.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/Clock.h"
#include "platform/MainLoop.h"
#include "server/DispatchBRD.h"
#include "terminals/PosBRD/PosBRD.h"
#include "terminals/TerminalText.h"
#include "tests/support/FakeComm.h"

namespace {

using tarvina::FakeComm;
using tarvina::Millis;

struct Chunk {
  Millis at;
  FakeComm::Bytes bytes;
};

void Check(bool ok) {
  if (!ok) __builtin_trap();
}

void CheckBuffer(const tarvina::TPosBRD& pos) {
  Check(pos.BytesPrimiti >= 0 && pos.BytesPrimiti <= 2000);
  for (std::size_t i = static_cast<std::size_t>(pos.BytesPrimiti); i < pos.RecvBuff.size(); ++i)
    Check(pos.RecvBuff[i] == 0);
}

bool KnownMessage(const std::string& m, int port) {
  if (m.empty() || m == "Eroare format mesaj " || m == "Eroare comunicatie") return true;
  if (m == "Eroare de comunicatie seriala.  Nu primesc nici un mesaj de la POS ") return true;
  if (m == "Eroare de comunicatie seriala.  Nu pot deschide portul COM" + std::to_string(port)) return true;
  if (m.rfind("Tranzactie refuzata : ", 0) == 0) {
    // The reason is 22 bytes of the terminal's, each one character however
    // many bytes of text it takes here.
    std::size_t characters = 0;
    for (std::size_t i = 0; i < m.size(); ++characters) tarvina::NextCharacter(m, i);
    return characters == 22 + 22;
  }
  // A terminal's own text: bytes from '0' up only.
  for (char c : m)
    if (static_cast<unsigned char>(c) < 0x30) return false;
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const bool runSale = data[0] & 1;
  const bool leftoverStop = data[0] & 2;
  std::vector<Chunk> chunks;
  Millis at = 0;
  for (std::size_t i = 1; i < size;) {
    const std::uint8_t ctl = data[i];
    const Millis pause = i + 1 < size ? data[i + 1] * 4 : 0;
    i += 2;
    const std::size_t n = i < size ? std::min<std::size_t>(ctl & 0x7F, size - i) : 0;
    FakeComm::Bytes bytes;
    for (int r = 0; r < ((ctl & 0x80) ? 16 : 1); ++r) bytes.insert(bytes.end(), data + i, data + i + n);
    at += pause;
    chunks.push_back({at, std::move(bytes)});
    i += n;
  }

  tarvina::VirtualClock clock;
  tarvina::MainLoop loop(clock);
  {
    FakeComm comm(loop);
    comm.SetExpectWaiter(false);
    tarvina::TPosBRD pos(loop, comm);
    pos.ComPort.setCP(tarvina::Com1);
    pos.ComPort.OpenLine();
    for (const Chunk& c : chunks) {
      // The line hands over at most 2000 bytes per read.
      for (std::size_t off = 0; off < c.bytes.size(); off += 2000) {
        const std::size_t n = std::min<std::size_t>(2000, c.bytes.size() - off);
        pos.AdaugaOctetiPrimiti(c.bytes.data() + off, n);
        CheckBuffer(pos);
        pos.MesajCoerentPrimit();
        CheckBuffer(pos);
        Check(pos.BytesPrimiti == 0 || pos.RecvBuff[0] == 0x02);
      }
    }
  }
  if (!runSale) return 0;

  FakeComm comm(loop);
  comm.SetExpectWaiter(false);
  bool stop = leftoverStop;
  bool procesOK = false;
  std::string errorMsg;
  // The chunks start once the request is out; a terminal that acknowledged
  // and never answered is ended by a STOP after its last chunk.
  std::vector<std::unique_ptr<tarvina::Timer>> timers;
  comm.OnWrite = [&](const FakeComm::Bytes&) {
    if (!timers.empty()) return;
    for (const Chunk& c : chunks)
      if (!c.bytes.empty()) comm.DeliverAfter(c.at + 1, c.bytes);
    auto t = std::make_unique<tarvina::Timer>(loop, at + 3000);
    t->OnTimer = [&stop] { stop = true; };
    t->SetEnabled(true);
    timers.push_back(std::move(t));
  };
  const Millis start = clock.NowMs();
  {
    tarvina::TPosBRD pos(loop, comm);
    tarvina::RuleazaTranzactieBRD(loop, pos, 1, 1.0, stop, procesOK, errorMsg);
    CheckBuffer(pos);
  }
  Check(clock.NowMs() - start <= at + 3000 + 1000);
  Check(KnownMessage(errorMsg, 1));
  Check(!procesOK || errorMsg.empty());
  return 0;
}
