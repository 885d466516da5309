#pragma once
// Banca Transilvania terminal on a serial line: ENQ handshake, one tagged
// request frame with CRC-16, the terminal's ACK and response frame, EOT.
// Runs on the main thread; its waits keep the main loop turning so that the
// port's notifications, its timer and a STOP (IesireFortata) reach it.
#include <functional>
#include <initializer_list>
#include <utility>
#include <string>

#include "platform/MainLoop.h"
#include "serial/CPort.h"
#include "serial/DriverReceive.h"
#include "terminals/Driver.h"
#include "terminals/PosTransilvania/TransilvaniaFrames.h"

namespace tarvina {

class CommApi;

// Timer intervals, in seconds: one ENQ try, and the answer to a request frame.
constexpr int TimeOutENQ = 3;
constexpr int TimeOutLongOp = 180;

class TPosTransilvania : public TPosDriver {
 public:
  // `beep` sounds the platform's default beep (read of field 0x16); may be empty.
  TPosTransilvania(MainLoop& loop, CommApi& comm, std::function<void()> beep = {});
  ~TPosTransilvania() override;
  TPosTransilvania(const TPosTransilvania&) = delete;
  TPosTransilvania& operator=(const TPosTransilvania&) = delete;

  bool OpenPort();
  void ClosePort();

  bool PosSaleByCard();
  bool VoidPosSale();
  bool RaportZilnic();
  // True when the terminal answered with a well-formed response, whatever its code.
  bool GetPosInfo();

  // Set by the caller before an operation.
  int PortSerial = 1;
  double Suma = 0;
  std::string NrBon;

  // Outcome of the last operation.
  int ErrCode = 0;
  bool EroareComunicare = false;
  std::string A103, A104, A105, A106, A107, A108, A109, A10A, A10B, A10C, A10D, A10F, A113, A114,
      A116, A117, A11B, A11C, A10E, A110;

  TBaudRate rataTransmisie = TBaudRate::br115200;
  TComPort& ComPort() { return FComPort; }

 private:
  bool InitTransmisie();
  void CloseTransmisie();
  bool WriteCommand(const std::uint8_t* Buff, int Count, bool FaraRaspuns);
  void OnComPortRxChar(TCustomComPort& sender, int count);
  void TimeOutTimer();
  void ResetTimer();
  void ResetReceive();
  bool TimeOut() const { return Timer.TimedOut(); }
  std::string GetFromReceiveAsString(int HiWord, int LoWord);
  using FieldSlot = std::pair<int, std::string*>;
  // Handshake, the request frame and its answer, EOT in every case. True when
  // the answer's first field is the result code; then `fields` are copied.
  // `long_op`: the answer wait runs 180 s and sets EroareComunicare and ErrCode.
  bool Exchange(const transilvania::Bytes& frame, bool long_op,
                std::initializer_list<FieldSlot> fields);

  MainLoop& loop_;
  std::function<void()> beep_;
  SilenceTimer Timer;
  TComPort FComPort;
  bool WaitForAck = false;
  bool AckPrimit = false;
  bool RaspunsPrimit = false;
  bool StopSeen = false;  // a STOP came during the handshake
  int BytesPrimiti = 0;
  TBuffer Receive{};
};

}  // namespace tarvina
