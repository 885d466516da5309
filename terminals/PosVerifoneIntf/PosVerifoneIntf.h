#pragma once
// Driver of the Verifone card terminals: log-in, card sale and void over a
// serial line, in turns. The side that wants to talk sends ENQ and waits for
// ACK, sends one frame and waits for ACK, then gives the line back with EOT.
// Everything runs on the main thread; the waits keep the main loop turning so
// that received bytes, the silence timer and a forced exit reach them.
#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/MainLoop.h"
#include "serial/CPort.h"
#include "serial/DriverReceive.h"
#include "terminals/Driver.h"
#include "terminals/PosVerifoneIntf/VerifoneFrames.h"

namespace tarvina {

class TPosVerifone : public TPosDriver {
 public:
  using TBuffer = std::array<std::uint8_t, verifone::kBufferSize>;

  // Silence limits in seconds.
  static constexpr double TimeOutENQ_OTP = 10;      // log-in, log-out, opening of a sale or void
  static constexpr double TimeOutLongOp_OTP = 240;  // from the sale or void frame to the final answer

  TPosVerifone(MainLoop& loop, CommApi& comm);
  ~TPosVerifone() override;
  TPosVerifone(const TPosVerifone&) = delete;
  TPosVerifone& operator=(const TPosVerifone&) = delete;

  bool OpenPort();
  void ClosePort();
  bool LogIn();
  bool LogOut();
  bool PosSaleByCard();
  bool VoidPosSale();

  int PortSerial = 1;
  TBaudRate RataTransmisie = TBaudRate::br9600;
  double Suma = 0;
  std::string NrBon;
  // Printable form of the payload of the terminal's last message in a sale or void.
  std::string MesajReturnat;
  // Kept for callers that look for them; the terminal's answers do not carry them.
  std::string ResponseCode, AccountNr, InvoiceNr, ApprovalCode;
  // One line per arrival: each received byte in decimal and a blank.
  std::vector<std::string> Log;

  // Read access for tests and the fuzzer.
  int BytesPrimiti() const { return FBytesPrimiti; }
  const TBuffer& Receive() const { return FReceive; }
  const TBuffer& BufMesajReturnat() const { return FBufMesajReturnat; }
  bool TimeOut() const { return FTimer.TimedOut(); }
  Millis TimerInterval() const { return FTimer.Interval(); }
  bool TimerEnabled() const { return FTimer.Enabled(); }
  TComPort& ComPort() { return FComPort; }

 private:
  bool LogExchange(const verifone::Bytes& payload, bool log_in);
  bool Transaction(const verifone::Bytes& payload);

  bool InitTransmisie();
  void CloseTransmisie();
  bool WriteCommand(const std::uint8_t* buff, int count, bool fara_raspuns);
  void SendByte(std::uint8_t b);

  bool Wait(bool (TPosVerifone::*primit)() const);
  bool ACKPrimit();
  bool ENQPrimit();
  bool EOTPrimit();
  bool MesajLogPrimit();
  bool MesajSalePrimit();

  bool FirstIs(std::uint8_t b) const { return FReceive[0] == b; }
  bool AckFirst() const { return FirstIs(verifone::ACK); }
  bool EnqFirst() const { return FirstIs(verifone::ENQ); }
  bool EotFirst() const { return FirstIs(verifone::EOT); }
  bool TurnOfTerminal() const;
  bool MesajFinalizat() const;
  void GetMesajReturnat();

  void WriteInLog(bool out, const std::uint8_t* buf, int count);
  void OnComPortRxChar(TCustomComPort& sender, int count);
  void TimeOutTimer();
  void ResetTimer();
  void ResetReceive();

  MainLoop& loop_;
  SilenceTimer FTimer;
  TComPort FComPort;
  int FBytesPrimiti = 0;
  TBuffer FBufMesajReturnat{};
  TBuffer FReceive{};
};

}  // namespace tarvina
