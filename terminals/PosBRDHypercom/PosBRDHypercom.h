#pragma once
// Driver of BRD Hypercom card terminals on a 7E1 serial line: sale, void and
// settlement. Every exchange is request frame -> ACK + echo -> host ACK and,
// for a sale or a void, result frame -> ACK + confirmation. All of it runs on
// the main thread; the waits keep the main loop turning, so received bytes,
// the silence timer and a STOP from the billing application reach them.
#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/MainLoop.h"
#include "serial/CPort.h"
#include "serial/DriverReceive.h"
#include "terminals/Driver.h"

namespace tarvina {

class CommApi;

class TPosBRDHypercom : public TPosDriver {
 public:
  using TBuffer = std::array<std::uint8_t, 1000>;

  // Seconds of silence before giving up on an acknowledgement / a result.
  static constexpr double TimeOutENQ_Hypercom = 3;
  static constexpr double TimeOutLongOp_Hypercom = 180;

  TPosBRDHypercom(MainLoop& loop, CommApi& comm);
  ~TPosBRDHypercom() override;
  TPosBRDHypercom(const TPosBRDHypercom&) = delete;
  TPosBRDHypercom& operator=(const TPosBRDHypercom&) = delete;

  // Applies the line settings and opens "COM<PortSerial>"; false if it did not open.
  bool OpenPort();
  void ClosePort();

  // Each returns true on success; the text gets the terminal's answer or the
  // reason of the failure (RaportZilnic writes it only on failure).
  bool PosSaleByCard(std::string& MesajRaspuns);
  bool VoidPosSale(std::string& MesajRaspuns);
  bool RaportZilnic(std::string& MesajEroare);

  int PortSerial = 1;
  double Suma = 0;
  std::string NrBon;
  std::string ResponseCode;
  // The terminal can report these, but this exchange never asks for them.
  std::string AccountNr, InvoiceNr, ApprovalCode;
  // One line per arrival of bytes, as decimal numbers.
  std::vector<std::string> Log;

  // What has been received since the last reset (never more than the buffer).
  int BytesPrimiti() const { return FBytesPrimiti; }
  const TBuffer& Receive() const { return FReceive; }

 private:
  bool Tranzactie(const char* tip, const char* textTimeOut, std::string& MesajRaspuns);
  bool InitTransmisie();
  void CloseTransmisie() {}
  bool WriteCommand(const std::uint8_t* Buff, int Count, bool FaraRaspuns);
  void WriteResponse();
  void Send(const std::uint8_t* data, int count);
  std::string GetMesajRaspuns() const;
  std::string GetFromReceive(int Start, int Len) const;
  void OnComPortRxChar(int Count);
  void TimeOutTimer();
  void ResetTimer();
  void ResetReceive();
  bool TimeOut() const { return FTimer.TimedOut(); }

  MainLoop& loop_;
  std::string FTipRequest;
  SilenceTimer FTimer;
  TComPort FComPort;
  TBaudRate RataTransmisie = TBaudRate::br9600;
  bool WaitForAck = false;
  bool AckPrimit = false;
  bool RaspunsPrimit = false;
  int FBytesPrimiti = 0;
  TBuffer FReceive{};
};

}  // namespace tarvina
