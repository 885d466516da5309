#include "terminals/PosBRD/PosBRD.h"

#include <algorithm>
#include <cstring>

#include "platform/MainLoop.h"
#include "platform/Trace.h"

namespace tarvina {

namespace {
constexpr std::uint8_t kFiller = 0xD0;
constexpr Millis kAfterAckMs = 50;
}  // namespace

TPosBRD::TPosBRD(MainLoop& loop, CommApi& comm) : ComPort(loop, comm), clock_(loop.clock()) {}

TPosBRD::~TPosBRD() { ComPort.closeLine(); }

void TPosBRD::PutData(const std::string& field) {
  // A field set longer than the buffer keeps what fits.
  const std::size_t room = writeBuffer.size() - static_cast<std::size_t>(OffSet);
  const std::size_t n = std::min(field.size(), room);
  std::memcpy(writeBuffer.data() + OffSet, field.data(), n);
  OffSet += static_cast<int>(n);
}

void TPosBRD::PutRecMsgInBuffer(const TWriteMsg& RecMsg) {
  writeBuffer.fill(kFiller);
  OffSet = 0;
  for (const std::string* f : brd::Fields(RecMsg)) PutData(*f);
}

std::uint8_t TPosBRD::LRC() const { return brd::Lrc(writeBuffer.data(), static_cast<std::size_t>(OffSet)); }

bool TPosBRD::WriteToPOS() {
  const auto frame = brd::RequestFrame(writeBuffer.data(), static_cast<std::size_t>(OffSet));
  WireTrace::Bytes(true, frame.data(), frame.size());
  // Byte by byte, as the terminal expects; the line's results tell nothing
  // the missing acknowledgement will not.
  for (std::uint8_t b : frame) ComPort.xmit(&b, 1);
  return true;
}

void TPosBRD::GolesteRecvBuff() {
  RecvBuff.fill(0);
  BytesPrimiti = 0;
}

void TPosBRD::Arunca(std::size_t n) {
  const std::size_t held = static_cast<std::size_t>(BytesPrimiti);
  n = std::min(n, held);
  std::memmove(RecvBuff.data(), RecvBuff.data() + n, held - n);
  std::fill(RecvBuff.begin() + static_cast<std::ptrdiff_t>(held - n), RecvBuff.begin() + static_cast<std::ptrdiff_t>(held), 0);
  BytesPrimiti = static_cast<int>(held - n);
}

void TPosBRD::AdaugaOctetiPrimiti(const std::uint8_t* data, std::size_t n) {
  if (n == 0) return;
  WireTrace::Bytes(false, data, n);
  if (data[0] == brd::ACK) {
    acKPrimit = true;
    ++data;
    --n;
  }
  if (n > RecvBuff.size()) {  // only the last 2000 bytes can matter
    data += n - RecvBuff.size();
    n = RecvBuff.size();
  }
  const std::size_t held = static_cast<std::size_t>(BytesPrimiti);
  if (held + n > RecvBuff.size()) {
    // The frame held so far would pass the buffer: give up its start, keeping
    // the bytes from the first later STX that leaves room, or nothing.
    const std::size_t need = held + n - RecvBuff.size();
    std::size_t from = std::max<std::size_t>(need, 1);
    while (from < held && RecvBuff[from] != brd::STX) ++from;
    Arunca(from);
  }
  std::memcpy(RecvBuff.data() + BytesPrimiti, data, n);
  BytesPrimiti += static_cast<int>(n);
}

void TPosBRD::AliniazaLaSTX() {
  const std::size_t held = static_cast<std::size_t>(BytesPrimiti);
  std::size_t k = 0;
  while (k < held && RecvBuff[k] != brd::STX) ++k;
  // A frame's type never begins with STX, so in a run of them the frame's
  // own is the last: the others are stray bytes, such as an LRC of 0x02.
  while (k + 1 < held && RecvBuff[k + 1] == brd::STX) ++k;
  if (k > 0) Arunca(k);
}

bool TPosBRD::MesajCoerentPrimit() {
  AliniazaLaSTX();
  if (!brd::FrameComplete(RecvBuff, static_cast<std::size_t>(BytesPrimiti))) return false;

  const std::uint8_t ack = brd::ACK;
  WireTrace::Bytes(true, &ack, 1);
  ComPort.xmit(&ack, 1);
  clock_.SleepMs(kAfterAckMs);

  TipMesajPrimit.assign(reinterpret_cast<const char*>(RecvBuff.data() + 1), 8);
  bool ended = true;
  if (TipMesajPrimit == "20000000") {
    ended = false;
  } else if (TipMesajPrimit == "22000000") {
    MesajEroare = GetMesajEroare();
  } else if (RecvBuff[1] == '1' && RecvBuff[2] == '0') {
    TipMesajPrimit = "10";
    const std::string Raspuns(reinterpret_cast<const char*>(RecvBuff.data() + 13), 2);
    if (Raspuns == "01" || Raspuns == "02") {
      TranzactieAcceptata = true;
    } else if (Raspuns == "00") {
      EroareFormatMesaj = true;
      MesajEroare = "Eroare format mesaj ";
    } else if (Raspuns == "04") {
      TranzactieRefuzata = true;
      MesajEroare = "Tranzactie refuzata : " + GetMotiv();
    } else if (Raspuns == "06") {
      EroareComunicatie = true;
      MesajEroare = "Eroare comunicatie";
    }
  }
  GolesteRecvBuff();
  return ended;
}

}  // namespace tarvina
