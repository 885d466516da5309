#include "terminals/PosTransilvania/PosTransilvania.h"

#include <algorithm>

#include "platform/ScopeGuard.h"
#include "platform/Trace.h"
#include "terminals/TerminalText.h"

namespace tarvina {

using namespace transilvania;

namespace {
constexpr Millis kEnqIntervalMs = SilenceTimer::FromSeconds(TimeOutENQ);
constexpr Millis kLongOpIntervalMs = SilenceTimer::FromSeconds(TimeOutLongOp);
constexpr int kMaxEnqTries = 7;
}  // namespace

TPosTransilvania::TPosTransilvania(MainLoop& loop, CommApi& comm, std::function<void()> beep)
    : loop_(loop), beep_(std::move(beep)), Timer(loop, kEnqIntervalMs, [this] { TimeOutTimer(); }),
      FComPort(loop, comm) {
  FComPort.OnRxChar = [this](TCustomComPort& sender, int count) { OnComPortRxChar(sender, count); };
  FComPort.SetDiscardNull(false);
}

TPosTransilvania::~TPosTransilvania() {
  try {
    if (FComPort.Connected()) FComPort.Close();
  } catch (...) {
    // A destructor must not throw; the port's own destructor releases what is left.
  }
  Timer.Stop();
}

bool TPosTransilvania::OpenPort() {
  return FComPort.OpenAsTerminalLine(PortSerial, rataTransmisie, TDataBits::dbEight, TParityBits::prNone);
}

void TPosTransilvania::ClosePort() {
  if (FComPort.Connected()) FComPort.Close();
}

void TPosTransilvania::TimeOutTimer() { Timer.Expire(); }

void TPosTransilvania::ResetTimer() { Timer.Restart(); }

void TPosTransilvania::ResetReceive() {
  RaspunsPrimit = false;
  AckPrimit = false;
  Receive.fill(0);
  BytesPrimiti = 0;
}

bool TPosTransilvania::WriteCommand(const std::uint8_t* Buff, int Count, bool FaraRaspuns) {
  Count = std::clamp(Count, 0, kTransilvaniaBufSize);
  ResetTimer();
  ResetReceive();
  IesireFortata = false;
  WireTrace::Bytes(true, Buff, static_cast<std::size_t>(Count));
  FComPort.Write(Buff, Count);
  if (FaraRaspuns) return true;
  // A loop that is shutting down would otherwise keep this wait spinning until the timer.
  loop_.WaitUntil(
      [this] { return RaspunsPrimit || TimeOut() || AckPrimit || IesireFortata || loop_.Quitting(); });
  Timer.Stop();
  if (WaitForAck) {
    WaitForAck = false;
    return AckPrimit;
  }
  return RaspunsPrimit;
}

void TPosTransilvania::OnComPortRxChar(TCustomComPort& sender, int count) {
  // What would pass the end of Receive is dropped, and the exchange goes on
  // by its usual rules.
  TBuffer chunk{};
  ReadWaiting(FComPort, count, chunk, [this](const std::uint8_t* data, std::size_t n) {
    WireTrace::Bytes(false, data, n);
    BytesPrimiti = KeepWhatFits(Receive, BytesPrimiti, data, n);
  });
  ResetTimer();
  if (WaitForAck) {
    AckPrimit = Receive[0] == ACK;
  } else {
    RaspunsPrimit = BytesPrimiti >= 3 && Receive[0] == ACK && Receive[1] == STX &&
                    Receive[BytesPrimiti - 3] == ETX;
  }
}

std::string TPosTransilvania::GetFromReceiveAsString(int HiWord, int LoWord) {
  std::string value = TextFromTerminal(FieldValue(Receive, BytesPrimiti, static_cast<std::uint8_t>(HiWord),
                                                  static_cast<std::uint8_t>(LoWord)));
  if (LoWord == 0x16 && beep_) beep_();
  return value;
}

bool TPosTransilvania::InitTransmisie() {
  StopSeen = false;
  const std::uint8_t enq = ENQ;
  bool acked = false;
  for (int tries = 1; tries <= kMaxEnqTries && !acked; ++tries) {
    {
      WaitForAck = true;
      ScopeGuard ack_wait_over([this] { WaitForAck = false; });
      ResetReceive();
      acked = WriteCommand(&enq, 1, false);
    }
    // The billing application gave the sale up: no further ENQ, and an ACK
    // that came with the STOP does not start a sale it no longer wants.
    if (IesireFortata) {
      StopSeen = true;
      return false;
    }
  }
  return acked;
}

void TPosTransilvania::CloseTransmisie() {
  ResetReceive();
  const std::uint8_t eot = EOT;
  WriteCommand(&eot, 1, true);
}

bool TPosTransilvania::Exchange(const Bytes& frame, bool long_op,
                                std::initializer_list<FieldSlot> fields) {
  bool answered = false;
  {
    // Back to the ENQ interval and EOT on every exit.
    ScopeGuard close_transmission([this] {
      Timer.SetInterval(kEnqIntervalMs);
      CloseTransmisie();
    });
    if (InitTransmisie()) {
      if (long_op) {
        Timer.SetInterval(kLongOpIntervalMs);
        EroareComunicare = false;
        ErrCode = 0;
      }
      if (!WriteCommand(frame.data(), static_cast<int>(frame.size()), false)) {
        if (long_op) EroareComunicare = true;
      } else if (Receive[4] == kTagResponse && Receive[5] == 0x00) {
        answered = true;
        if (long_op) ErrCode = Receive[7];
        for (const FieldSlot& f : fields) *f.second = GetFromReceiveAsString(kTagResponse, f.first);
      }
    } else if (StopSeen && long_op) {
      EroareComunicare = true;
    }
  }
  return answered;
}

bool TPosTransilvania::PosSaleByCard() {
  const Bytes frame = BuildSaleRequest(Suma);
  if (frame.empty()) return false;  // an amount the terminal cannot be sent; the line stays untouched
  const bool answered =
      Exchange(frame, true,
               {{0x03, &A103}, {0x04, &A104}, {0x05, &A105}, {0x06, &A106}, {0x07, &A107},
                {0x08, &A108}, {0x09, &A109}, {0x0A, &A10A}, {0x0B, &A10B}, {0x0C, &A10C},
                {0x0D, &A10D}, {0x0F, &A10F}, {0x13, &A113}, {0x14, &A114}, {0x16, &A116},
                {0x17, &A117}, {0x1B, &A11B}, {0x1C, &A11C}});
  return answered && ErrCode == 0;
}

bool TPosTransilvania::VoidPosSale() {
  const Bytes frame = BuildVoidRequest(Suma, NrBon);
  if (frame.empty()) return false;
  const bool answered = Exchange(frame, true, {{0x08, &A108}});
  return answered && ErrCode == 0;
}

bool TPosTransilvania::RaportZilnic() {
  const bool answered =
      Exchange(BuildDailyReportRequest(), true,
               {{0x03, &A103}, {0x04, &A104}, {0x05, &A105}, {0x07, &A107}, {0x08, &A108},
                {0x0E, &A10E}, {0x0F, &A10F}, {0x10, &A110}});
  return answered && ErrCode == 0;
}

bool TPosTransilvania::GetPosInfo() {
  return Exchange(BuildStatusRequest(), false, {});
}

}  // namespace tarvina
