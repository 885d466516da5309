#pragma once
// Driver of UniCredit card terminals on a serial line: card sale, void of an
// earlier sale, daily report (and a status query nobody calls yet).
//
// One message goes out per operation; the terminal acknowledges it and then
// sends messages of its own, each acknowledged at once, until the one with the
// awaited answer code arrives. The wait ends after 120 s of silence on the
// line, or when IesireFortata is set. Everything runs on the main thread: the
// wait keeps the main loop turning, and the port's receive notification, the
// timer and a STOP hand-off all run inside it.
#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "platform/MainLoop.h"
#include "serial/CPort.h"
#include "serial/DriverReceive.h"
#include "terminals/Driver.h"

namespace tarvina {

class CommApi;
class TPosUnicredit;

// The acknowledgement is handed to the main thread like any other call. The
// driver gives it from the main thread, so it runs before Synchronize returns:
// the terminal has its acknowledgement before the message is stored and read.
class TMySync {
 public:
  explicit TMySync(TPosUnicredit& pos) : Pos(pos) {}
  void DoSynchronize();
  TPosUnicredit& Pos;
};

class TPosUnicredit : public TPosDriver {
 public:
  // Draws the counter of the PC's message, 0..253.
  using ContorSource = std::function<std::uint8_t()>;
  static constexpr int TimeOutLongOp = 120;  // seconds
  static constexpr std::size_t kChunkSize = 10000;

  // Without a counter source, each operation draws from a clock-seeded generator.
  TPosUnicredit(MainLoop& loop, CommApi& comm, ContorSource contor = {});
  ~TPosUnicredit() override;
  TPosUnicredit(const TPosUnicredit&) = delete;
  TPosUnicredit& operator=(const TPosUnicredit&) = delete;

  bool OpenPort();
  void ClosePort();

  // True when the terminal approved; otherwise MesajEroare holds its texts or "TIMEOUT".
  bool PosSaleByCard(std::string& MesajEroare);
  bool VoidPosSale(std::string& MesajEroare);
  bool RaportZilnic(std::string& MesajEroare);
  bool GetPosInfo();

  // Value of the first element with this code in the awaited message; empty if none.
  std::string getResponseValue(int Codmesaj) const;

  // Sends Count bytes and waits for the awaited message; true when it came.
  bool WriteCommand(const std::uint8_t* Buff, int Count);
  void WriteMesajAck();
  void OnComPortRxChar(TCustomComPort& Sender, int Count);
  void TimeOutTimer();
  void ResetTimer();
  void ResetReceive();

  int PortSerial = 4;
  double Suma = 0;
  std::string NrBon;
  std::uint8_t Contor = 0;

  // State of the exchange, readable for tests and diagnostics.
  bool RaspunsPrimit() const { return FRaspunsPrimit; }
  bool TimeOut() const { return FTimer.TimedOut(); }
  std::uint8_t ContorPOS() const { return FContorPOS; }
  std::uint8_t CodMesajAsteptat() const { return FCodMesajAsteptat; }
  const std::string& ReceiveStr() const { return FReceiveStr; }
  // Every complete message the terminal sent, in order of arrival.
  const std::vector<std::string>& ENQMessages() const { return FENQMessages; }
  // Elements of the awaited message(s): code in decimal, value.
  const std::vector<std::pair<std::string, std::string>>& ResponseMessages() const {
    return FResponseMessages;
  }
  // One line per receive notification: each byte in decimal and a blank.
  const std::vector<std::string>& Log() const { return FLog; }

 private:
  void DrawContor();
  // Each takes the frame of its kind at the front of ReceiveStr, if whole;
  // true when it took one.
  bool CheckAck();
  bool CheckEnq();
  void PrelucreazaMesajFinal(const std::string& mesaj);
  bool SendAndWait(const std::vector<std::uint8_t>& frame);
  bool Tranzactie(bool anulare, std::string& MesajEroare);

  MainLoop& loop_;
  ContorSource contor_source_;
  SilenceTimer FTimer;
  TBaudRate rataTransmisie = TBaudRate::br9600;
  bool FRaspunsPrimit = false;
  std::uint8_t FContorPOS = 0;
  std::uint8_t FCodMesajAsteptat = 0;
  std::string FReceiveStr;
  std::vector<std::string> FENQMessages;
  std::vector<std::pair<std::string, std::string>> FResponseMessages;
  std::vector<std::string> FLog;
  std::array<std::uint8_t, kChunkSize> chunk_{};
  // Last, so that it goes first: nothing it delivers can reach a member already gone.
  std::unique_ptr<TComPort> FComPort;
};

}  // namespace tarvina
