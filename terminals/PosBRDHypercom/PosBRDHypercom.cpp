#include "terminals/PosBRDHypercom/PosBRDHypercom.h"

#include <algorithm>

#include "platform/ScopeGuard.h"
#include "platform/Trace.h"
#include "terminals/PosBRDHypercom/HypercomFrames.h"
#include "terminals/TerminalText.h"

namespace tarvina {

namespace {
constexpr int kAttempts = 3;
}  // namespace

TPosBRDHypercom::TPosBRDHypercom(MainLoop& loop, CommApi& comm)
    : loop_(loop), FTimer(loop, SilenceTimer::FromSeconds(TimeOutENQ_Hypercom), [this] { TimeOutTimer(); }),
      FComPort(loop, comm) {
  FComPort.OnRxChar = [this](TCustomComPort&, int count) { OnComPortRxChar(count); };
  FComPort.SetDiscardNull(false);
}

TPosBRDHypercom::~TPosBRDHypercom() {
  // A destructor must not throw; a port that fails to close is gone anyway.
  try {
    ClosePort();
  } catch (...) {
  }
}

bool TPosBRDHypercom::OpenPort() {
  return FComPort.OpenAsTerminalLine(PortSerial, RataTransmisie, TDataBits::dbSeven, TParityBits::prEven);
}

void TPosBRDHypercom::ClosePort() {
  if (FComPort.Connected()) FComPort.Close();
}

void TPosBRDHypercom::ResetTimer() { FTimer.Restart(); }

void TPosBRDHypercom::TimeOutTimer() { FTimer.Expire(); }

void TPosBRDHypercom::ResetReceive() {
  RaspunsPrimit = false;
  AckPrimit = false;
  FReceive.fill(0);
  FBytesPrimiti = 0;
}

void TPosBRDHypercom::Send(const std::uint8_t* data, int count) {
  WireTrace::Bytes(true, data, static_cast<std::size_t>(count));
  FComPort.Write(data, count);
}

void TPosBRDHypercom::OnComPortRxChar(int Count) {
  // An arrival larger than the buffer is read in buffer-sized pieces so the
  // port is drained; whatever does not fit into Receive is dropped.
  TBuffer local{};
  std::string line;
  ReadWaiting(FComPort, Count, local, [this, &line](const std::uint8_t* data, std::size_t n) {
    WireTrace::Bytes(false, data, n);
    line += DecimalLine(data, n);
    FBytesPrimiti = KeepWhatFits(FReceive, FBytesPrimiti, data, n);
  });
  Log.push_back(line);
  ResetTimer();
  const auto held = static_cast<std::size_t>(FBytesPrimiti);
  if (WaitForAck) {
    AckPrimit = hypercom::IsAcknowledgement(FReceive.data(), held, FTipRequest);
  } else {
    RaspunsPrimit = hypercom::IsResultFrame(FReceive.data(), held);
    if (RaspunsPrimit) ResponseCode = GetFromReceive(8, 2);
  }
}

std::string TPosBRDHypercom::GetFromReceive(int Start, int Len) const {
  // Positions count from 1, as the frame offsets do from 0 plus one.
  std::string s;
  for (int i = Start; i < Start + Len; ++i) {
    if (i < 1 || i > static_cast<int>(FReceive.size())) break;
    s += static_cast<char>(FReceive[static_cast<std::size_t>(i - 1)]);
  }
  return TextFromTerminal(s);
}

bool TPosBRDHypercom::WriteCommand(const std::uint8_t* Buff, int Count, bool FaraRaspuns) {
  ResetTimer();
  ResetReceive();
  Send(Buff, Count);
  if (FaraRaspuns) return true;
  loop_.WaitUntil([this] { return TimeOut() || AckPrimit || IesireFortata; });
  FTimer.Stop();
  const bool result = AckPrimit;
  WaitForAck = false;
  if (result) {
    ResetReceive();
    const std::uint8_t ack = hypercom::ACK;
    Send(&ack, 1);
  }
  return result;
}

bool TPosBRDHypercom::InitTransmisie() {
  const std::string value = FTipRequest == "VOI" ? TextToTerminal(NrBon) : hypercom::AmountField(Suma);
  const hypercom::Bytes frame = hypercom::RequestFrame(FTipRequest, value);
  TBuffer buff{};
  std::copy(frame.begin(), frame.end(), buff.begin());

  for (int attempt = 0; attempt < kAttempts; ++attempt) {
    // Once the billing application has given up, the terminal must not be
    // asked again: a repeated request could start a sale nobody waits for.
    if (IesireFortata) return false;
    WaitForAck = true;
    ScopeGuard ack_wait_over([this] { WaitForAck = false; });
    ResetReceive();
    if (WriteCommand(buff.data(), static_cast<int>(frame.size()), false)) return true;
  }
  return false;
}

void TPosBRDHypercom::WriteResponse() {
  const std::uint8_t ack = hypercom::ACK;
  Send(&ack, 1);
  const hypercom::Bytes frame = hypercom::ConfirmationFrame(FTipRequest);
  Send(frame.data(), static_cast<int>(frame.size()));
}

std::string TPosBRDHypercom::GetMesajRaspuns() const { return hypercom::MesajRaspuns(ResponseCode); }

bool TPosBRDHypercom::Tranzactie(const char* tip, const char* textTimeOut, std::string& MesajRaspuns) {
  FTipRequest = tip;
  bool result = false;
  if (!InitTransmisie()) {
    MesajRaspuns = "Eroare initializare tranzactie";
  } else {
    FTimer.SetInterval(SilenceTimer::FromSeconds(TimeOutLongOp_Hypercom));
    ResetTimer();
    ResetReceive();
    loop_.WaitUntil([this] { return TimeOut() || RaspunsPrimit || IesireFortata; });
    FTimer.Stop();
    if (RaspunsPrimit) {
      ResetReceive();
      WriteResponse();
      result = ResponseCode == "00";
      MesajRaspuns = GetMesajRaspuns();
    } else {
      MesajRaspuns = textTimeOut;
    }
  }
  CloseTransmisie();
  return result;
}

bool TPosBRDHypercom::PosSaleByCard(std::string& MesajRaspuns) {
  return Tranzactie("MOL", "Time OutError", MesajRaspuns);
}

bool TPosBRDHypercom::VoidPosSale(std::string& MesajRaspuns) {
  return Tranzactie("VOI", "TimeOut Error", MesajRaspuns);
}

bool TPosBRDHypercom::RaportZilnic(std::string& MesajEroare) {
  FTipRequest = "STL";
  const bool result = InitTransmisie();
  if (!result) MesajEroare = "Time out";
  CloseTransmisie();
  return result;
}

}  // namespace tarvina
