#include "terminals/PosVerifoneIntf/PosVerifoneIntf.h"

#include <algorithm>
#include <cstring>

#include "platform/ScopeGuard.h"
#include "platform/Trace.h"
#include "terminals/TerminalText.h"

namespace tarvina {

using namespace verifone;

namespace {
constexpr Millis kShortInterval = SilenceTimer::FromSeconds(TPosVerifone::TimeOutENQ_OTP);
constexpr Millis kLongInterval = SilenceTimer::FromSeconds(TPosVerifone::TimeOutLongOp_OTP);
}  // namespace

TPosVerifone::TPosVerifone(MainLoop& loop, CommApi& comm)
    : loop_(loop), FTimer(loop, kShortInterval, [this] { TimeOutTimer(); }), FComPort(loop, comm) {
  FComPort.OnRxChar = [this](TCustomComPort& sender, int count) { OnComPortRxChar(sender, count); };
  FComPort.SetDiscardNull(false);
}

TPosVerifone::~TPosVerifone() {
  // A failing close must not escape a destructor; the port's own destructor
  // gets another chance at it.
  try {
    ClosePort();
  } catch (...) {
  }
}

bool TPosVerifone::OpenPort() {
  return FComPort.OpenAsTerminalLine(PortSerial, RataTransmisie, TDataBits::dbEight, TParityBits::prNone);
}

void TPosVerifone::ClosePort() {
  if (FComPort.Connected()) FComPort.Close();
}

bool TPosVerifone::LogIn() { return LogExchange(LogInPayload(), true); }
bool TPosVerifone::LogOut() { return LogExchange(LogOutPayload(), false); }
bool TPosVerifone::PosSaleByCard() { return Transaction(SalePayload(Suma)); }
bool TPosVerifone::VoidPosSale() { return Transaction(VoidPayload(Suma, NrBon)); }

bool TPosVerifone::LogExchange(const Bytes& payload, bool log_in) {
  if (!InitTransmisie()) return false;
  TBuffer frame{};
  const std::size_t n = BuildFrame(payload.data(), payload.size(), frame.data(), frame.size());
  WriteCommand(frame.data(), static_cast<int>(n), false);
  if (!ACKPrimit()) return false;
  ResetReceive();
  ResetTimer();
  CloseTransmisie();

  if (!ENQPrimit()) return false;
  SendByte(ACK);
  // Once the terminal has taken its turn, a missing answer does not fail the
  // exchange: the terminal has evidently heard us.
  bool result = true;
  if (MesajLogPrimit()) {
    if (log_in) result = FReceive[2] == kLogInOk;
    SendByte(ACK);
    if (log_in) EOTPrimit();
  }
  return result;
}

bool TPosVerifone::Transaction(const Bytes& payload) {
  if (!InitTransmisie()) return false;
  TBuffer frame{};
  const std::size_t n = BuildFrame(payload.data(), payload.size(), frame.data(), frame.size());

  // The card holder needs minutes at the terminal; the short limit must be
  // back for the next operation however this one ends.
  ScopeGuard short_limit_back([this] { FTimer.SetInterval(kShortInterval); });
  FTimer.SetInterval(kLongInterval);

  WriteCommand(frame.data(), static_cast<int>(n), false);
  if (!ACKPrimit()) return false;
  ResetReceive();
  ResetTimer();
  CloseTransmisie();
  return MesajSalePrimit();
}

bool TPosVerifone::InitTransmisie() {
  FTimer.SetInterval(kShortInterval);
  ResetReceive();
  SendByte(ENQ);
  return ACKPrimit();
}

void TPosVerifone::CloseTransmisie() {
  ResetReceive();
  SendByte(EOT);
}

bool TPosVerifone::WriteCommand(const std::uint8_t* buff, int count, bool /*fara_raspuns*/) {
  ResetTimer();
  ResetReceive();
  const int written = FComPort.Write(buff, count);
  WriteInLog(true, buff, count);
  return written == count;
}

void TPosVerifone::SendByte(std::uint8_t b) { WriteCommand(&b, 1, false); }

bool TPosVerifone::Wait(bool (TPosVerifone::*primit)() const) {
  loop_.WaitUntil([&] { return (this->*primit)() || TimeOut() || IesireFortata; });
  FTimer.Stop();
  return (this->*primit)();
}

bool TPosVerifone::ACKPrimit() { return Wait(&TPosVerifone::AckFirst); }
bool TPosVerifone::ENQPrimit() { return Wait(&TPosVerifone::EnqFirst); }
bool TPosVerifone::EOTPrimit() { return Wait(&TPosVerifone::EotFirst); }
bool TPosVerifone::MesajLogPrimit() { return Wait(&TPosVerifone::MesajFinalizat); }

bool TPosVerifone::TurnOfTerminal() const {
  return FReceive[0] == ENQ || (FReceive[0] == EOT && FReceive[1] == ENQ);
}

bool TPosVerifone::MesajSalePrimit() {
  bool result = false;
  bool done = false;
  do {
    loop_.WaitUntil([&] { return TurnOfTerminal() || MesajFinalizat() || TimeOut() || IesireFortata; });
    if (TurnOfTerminal()) {
      ResetReceive();
      ResetTimer();
      SendByte(ACK);
    } else if (MesajFinalizat()) {
      GetMesajReturnat();
      ResetReceive();
      ResetTimer();
      SendByte(ACK);
      EOTPrimit();
      switch (FBufMesajReturnat[0]) {
        case kFinalAnswer:
          done = true;
          result = FBufMesajReturnat[1] == kApproved;
          break;
        case kFinalFailure:
          done = true;
          break;
        default:
          // More is to come. The EOT wait has stopped the timer; without a
          // restart a terminal that falls silent now would hold the sale, and
          // the server, for ever. The EOT (or the wait's own time-out) was the
          // last thing heard, so the silence limit counts from here.
          if (!TimeOut()) ResetTimer();
          break;
      }
    }
  } while (!done && !TimeOut() && !IesireFortata);
  FTimer.Stop();
  return result;
}

bool TPosVerifone::MesajFinalizat() const {
  return FrameEndsBuffer(FReceive.data(), static_cast<std::size_t>(FBytesPrimiti));
}

void TPosVerifone::GetMesajReturnat() {
  FBufMesajReturnat.fill(0);
  // Only called on a complete frame, so there are at least five bytes.
  const std::size_t n = static_cast<std::size_t>(FBytesPrimiti) - kFrameOverhead;
  std::memcpy(FBufMesajReturnat.data(), FReceive.data() + 2, n);
  MesajReturnat = TextFromTerminal(Printable(FBufMesajReturnat.data(), n));
}

void TPosVerifone::WriteInLog(bool out, const std::uint8_t* buf, int count) {
  if (!WireTrace::Enabled() || count <= 0) return;
  WireTrace::Line(HexTraceLine(out, buf, static_cast<std::size_t>(count)));
}

void TPosVerifone::OnComPortRxChar(TCustomComPort& /*sender*/, int count) {
  // The port may report more than one buffer holds: read it all so nothing
  // stays queued, keep what fits and drop the rest. Each piece read is a
  // line of the log and of the trace, and restarts the silence limit.
  TBuffer local{};
  ReadWaiting(FComPort, count, local, [this](const std::uint8_t* data, std::size_t n) {
    FBytesPrimiti = KeepWhatFits(FReceive, FBytesPrimiti, data, n);
    Log.push_back(DecimalLine(data, n));
    ResetTimer();
    WriteInLog(false, data, static_cast<int>(n));
  });
}

void TPosVerifone::TimeOutTimer() { FTimer.Expire(); }

void TPosVerifone::ResetTimer() { FTimer.Restart(); }

void TPosVerifone::ResetReceive() {
  FReceive.fill(0);
  FBytesPrimiti = 0;
}

}  // namespace tarvina
