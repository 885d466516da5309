#pragma once
// TPosBRD: the driver of BRD card terminals. It owns the polled serial line,
// builds and sends the sale request, and reads the frames the terminal sends
// back. The wait for the answer is the dispatcher's sale loop, which feeds
// the received bytes in through AdaugaOctetiPrimiti and asks
// MesajCoerentPrimit after every poll whether the exchange has ended.
#include <array>
#include <cstdint>
#include <string>

#include "serial/UComPort.h"
#include "terminals/Driver.h"
#include "terminals/PosBRD/BrdFrames.h"
#include "terminals/TerminalText.h"

namespace tarvina {

class Clock;
class CommApi;
class MainLoop;

class TPosBRD : public TPosDriver {
 public:
  TPosBRD(MainLoop& loop, CommApi& comm);
  ~TPosBRD() override;  // closes the line

  tComPort ComPort;
  std::string MesajEroare;
  std::string TipMesajPrimit;
  std::array<std::uint8_t, brd::kBufferSize> writeBuffer{};
  brd::RecvBuffer RecvBuff{};
  int Dif = 0;
  int OffSet = 0;
  int BytesPrimiti = 0;
  bool TranzactieAcceptata = false;
  bool TranzactieRefuzata = false;
  bool EroareComunicatie = false;
  bool EroareFormatMesaj = false;
  bool acKPrimit = false;

  void InitWriteMsg(TWriteMsg& RecMsg) const { brd::InitWriteMsg(RecMsg); }
  void PutRecMsgInBuffer(const TWriteMsg& RecMsg);
  bool WriteToPOS();
  bool notAckPrimit() const { return Dif >= 2 && !acKPrimit; }
  bool MesajCoerentPrimit();

  // One read from the line, as the sale loop got it. A read that begins with
  // ACK acknowledges the request; the rest of it is the start of the answer.
  // RecvBuff never takes more than its 2000 bytes: when a chunk would pass
  // that, the oldest bytes go, up to a later STX where one is held, so a
  // frame that can never complete makes room for the next one.
  void AdaugaOctetiPrimiti(const std::uint8_t* data, std::size_t n);
  // Empties RecvBuff.
  void GolesteRecvBuff();

  std::string GetMesajEroare() const { return TextFromTerminal(brd::GetMesajEroare(RecvBuff)); }
  std::string GetMotiv() const { return TextFromTerminal(brd::GetMotiv(RecvBuff)); }

 private:
  void PutData(const std::string& field);
  std::uint8_t LRC() const;
  // Drops what lies before the frame's STX.
  void AliniazaLaSTX();
  void Arunca(std::size_t n);

  Clock& clock_;
};

}  // namespace tarvina
