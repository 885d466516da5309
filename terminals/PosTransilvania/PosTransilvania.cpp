#include "terminals/PosTransilvania/PosTransilvania.h"

#include <algorithm>

#include "platform/Trace.h"
#include "terminals/TerminalText.h"

namespace tarvina {

using namespace transilvania;

namespace {
constexpr Millis kEnqIntervalMs = static_cast<Millis>(TimeOutENQ) * 1000;
constexpr Millis kLongOpIntervalMs = static_cast<Millis>(TimeOutLongOp) * 1000;
constexpr int kMaxEnqTries = 7;
}  // namespace

TPosTransilvania::TPosTransilvania(MainLoop& loop, CommApi& comm, std::function<void()> beep)
    : loop_(loop), beep_(std::move(beep)), Timer(loop, kEnqIntervalMs), FComPort(loop, comm) {
  FComPort.OnRxChar = [this](TCustomComPort& sender, int count) { OnComPortRxChar(sender, count); };
  FComPort.SetDiscardNull(false);
  Timer.OnTimer = [this] { TimeOutTimer(); };
}

TPosTransilvania::~TPosTransilvania() {
  try {
    if (FComPort.Connected()) FComPort.Close();
  } catch (...) {
    // A destructor must not throw; the port's own destructor releases what is left.
  }
  Timer.SetEnabled(false);
}

bool TPosTransilvania::OpenPort() {
  return FComPort.OpenAsTerminalLine(PortSerial, rataTransmisie, TDataBits::dbEight, TParityBits::prNone);
}

void TPosTransilvania::ClosePort() {
  if (FComPort.Connected()) FComPort.Close();
}

void TPosTransilvania::TimeOutTimer() {
  TimeOut = true;
  Timer.SetEnabled(false);
}

void TPosTransilvania::ResetTimer() {
  Timer.SetEnabled(false);
  TimeOut = false;
  Timer.SetEnabled(true);
}

void TPosTransilvania::ResetReceive() {
  RaspunsPrimit = false;
  AckPrimit = false;
  Receive.fill(0);
  BytesPrimiti = 0;
}

bool TPosTransilvania::WriteCommand(TBuffer Buff, int Count, bool FaraRaspuns) {
  Count = std::clamp(Count, 0, kTransilvaniaBufSize);
  ResetTimer();
  ResetReceive();
  IesireFortata = false;
  WireTrace::Bytes(true, Buff.data(), static_cast<std::size_t>(Count));
  FComPort.Write(Buff.data(), Count);
  if (FaraRaspuns) return true;
  // A loop that is shutting down would otherwise keep this wait spinning until the timer.
  loop_.WaitUntil(
      [this] { return RaspunsPrimit || TimeOut || AckPrimit || IesireFortata || loop_.Quitting(); });
  Timer.SetEnabled(false);
  if (WaitForAck) {
    WaitForAck = false;
    return AckPrimit;
  }
  return RaspunsPrimit;
}

void TPosTransilvania::OnComPortRxChar(TCustomComPort& sender, int count) {
  // Everything waiting is read, a chunk buffer at a time; what would pass the
  // end of Receive is dropped, and the exchange goes on by its usual rules.
  int remaining = std::max(count, 0);
  while (remaining > 0) {
    TBuffer chunk{};
    const int want = std::min(remaining, kTransilvaniaBufSize);
    const int got = std::clamp(FComPort.Read(chunk.data(), want), 0, want);
    WireTrace::Bytes(false, chunk.data(), static_cast<std::size_t>(got));
    const int keep = std::min(got, kTransilvaniaBufSize - BytesPrimiti);
    std::copy_n(chunk.begin(), keep, Receive.begin() + BytesPrimiti);
    BytesPrimiti += keep;
    remaining -= want;
    if (got < want) break;
  }
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
  TBuffer enq{};
  enq[0] = ENQ;
  bool acked = false;
  for (int tries = 1; tries <= kMaxEnqTries && !acked; ++tries) {
    WaitForAck = true;
    ResetReceive();
    try {
      acked = WriteCommand(enq, 1, false);
    } catch (...) {
      WaitForAck = false;
      throw;
    }
    WaitForAck = false;
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
  TBuffer eot{};
  eot[0] = EOT;
  WriteCommand(eot, 1, true);
}

bool TPosTransilvania::Exchange(const TBuffer& frame, int len, bool long_op,
                                std::initializer_list<FieldSlot> fields) {
  bool answered = false;
  try {
    if (InitTransmisie()) {
      if (long_op) {
        Timer.SetInterval(kLongOpIntervalMs);
        EroareComunicare = false;
        ErrCode = 0;
      }
      if (!WriteCommand(frame, len, false)) {
        if (long_op) EroareComunicare = true;
      } else if (Receive[4] == kTagResponse && Receive[5] == 0x00) {
        answered = true;
        if (long_op) ErrCode = Receive[7];
        for (const FieldSlot& f : fields) *f.second = GetFromReceiveAsString(kTagResponse, f.first);
      }
    } else if (StopSeen && long_op) {
      EroareComunicare = true;
    }
  } catch (...) {
    Timer.SetInterval(kEnqIntervalMs);
    try {
      CloseTransmisie();
    } catch (...) {
      // The first failure is the one the caller hears about.
    }
    throw;
  }
  Timer.SetInterval(kEnqIntervalMs);
  CloseTransmisie();
  return answered;
}

bool TPosTransilvania::PosSaleByCard() {
  TBuffer frame;
  const int len = BuildSaleRequest(Suma, frame);
  if (len == 0) return false;  // an amount the terminal cannot be sent; the line stays untouched
  const bool answered =
      Exchange(frame, len, true,
               {{0x03, &A103}, {0x04, &A104}, {0x05, &A105}, {0x06, &A106}, {0x07, &A107},
                {0x08, &A108}, {0x09, &A109}, {0x0A, &A10A}, {0x0B, &A10B}, {0x0C, &A10C},
                {0x0D, &A10D}, {0x0F, &A10F}, {0x13, &A113}, {0x14, &A114}, {0x16, &A116},
                {0x17, &A117}, {0x1B, &A11B}, {0x1C, &A11C}});
  return answered && ErrCode == 0;
}

bool TPosTransilvania::VoidPosSale() {
  TBuffer frame;
  const int len = BuildVoidRequest(Suma, NrBon, frame);
  if (len == 0) return false;
  const bool answered = Exchange(frame, len, true, {{0x08, &A108}});
  return answered && ErrCode == 0;
}

bool TPosTransilvania::RaportZilnic() {
  TBuffer frame;
  const int len = BuildDailyReportRequest(frame);
  const bool answered =
      Exchange(frame, len, true,
               {{0x03, &A103}, {0x04, &A104}, {0x05, &A105}, {0x07, &A107}, {0x08, &A108},
                {0x0E, &A10E}, {0x0F, &A10F}, {0x10, &A110}});
  return answered && ErrCode == 0;
}

bool TPosTransilvania::GetPosInfo() {
  TBuffer frame;
  const int len = BuildStatusRequest(frame);
  return Exchange(frame, len, false, {});
}

}  // namespace tarvina
