#include "terminals/PosUnicredit/PosUnicredit.h"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <random>

#include "platform/Trace.h"
#include "terminals/PosUnicredit/UnicreditFrames.h"
#include "terminals/TerminalText.h"

namespace tarvina {

namespace uc = unicredit;

void TMySync::DoSynchronize() { Pos.WriteMesajAck(); }

TPosUnicredit::TPosUnicredit(MainLoop& loop, CommApi& comm, ContorSource contor)
    : loop_(loop),
      contor_source_(std::move(contor)),
      FTimer(loop, SilenceTimer::FromSeconds(TimeOutLongOp), [this] { TimeOutTimer(); }),
      FComPort(std::make_unique<TComPort>(loop, comm)) {
  FComPort->OnRxChar = [this](TCustomComPort& sender, int count) { OnComPortRxChar(sender, count); };
  FComPort->SetDiscardNull(false);
}

TPosUnicredit::~TPosUnicredit() {
  // A failing close must not escape a destructor; the port's own destructor
  // tries again, and by then nothing it delivers may reach this object.
  try {
    ClosePort();
  } catch (...) {
  }
  FComPort->OnRxChar = nullptr;
}

bool TPosUnicredit::OpenPort() {
  return FComPort->OpenAsTerminalLine(PortSerial, rataTransmisie, TDataBits::dbEight, TParityBits::prNone);
}

void TPosUnicredit::ClosePort() {
  if (FComPort->Connected()) FComPort->Close();
}

void TPosUnicredit::DrawContor() {
  if (contor_source_) {
    Contor = contor_source_();
    return;
  }
  std::mt19937 gen(static_cast<std::mt19937::result_type>(
      std::chrono::system_clock::now().time_since_epoch().count()));
  Contor = static_cast<std::uint8_t>(std::uniform_int_distribution<int>(0, 253)(gen));
}

std::string TPosUnicredit::getResponseValue(int Codmesaj) const {
  const std::string key = std::to_string(Codmesaj);
  for (const auto& [code, value] : FResponseMessages)
    if (code == key) return TextFromTerminal(value);
  return {};
}

void TPosUnicredit::TimeOutTimer() { FTimer.Expire(); }

void TPosUnicredit::ResetTimer() { FTimer.Restart(); }

void TPosUnicredit::ResetReceive() {
  FRaspunsPrimit = false;
  FReceiveStr.clear();
}

bool TPosUnicredit::WriteCommand(const std::uint8_t* Buff, int Count) {
  FContorPOS = 0;
  ResetTimer();
  ResetReceive();
  WireTrace::Bytes(true, Buff, static_cast<std::size_t>(std::max(Count, 0)));
  FComPort->Write(Buff, Count);
  loop_.WaitUntil([this] { return FRaspunsPrimit || TimeOut() || IesireFortata; });
  // The timer stays armed; a later event only sets TimeOut.
  return FRaspunsPrimit;
}

bool TPosUnicredit::SendAndWait(const std::vector<std::uint8_t>& frame) {
  return WriteCommand(frame.data(), static_cast<int>(frame.size()));
}

void TPosUnicredit::WriteMesajAck() {
  const uc::Bytes ack = uc::BuildAck(FContorPOS);
  WireTrace::Bytes(true, ack.data(), ack.size());
  FComPort->Write(ack.data(), static_cast<int>(ack.size()));
}

void TPosUnicredit::OnComPortRxChar(TCustomComPort& Sender, int Count) {
  if (Count <= 0) return;
  // However large the notification, the bytes come in through the fixed chunk
  // a piece at a time; what the port hands over is taken in whole.
  std::string trace;
  const std::size_t start = FReceiveStr.size();
  const std::size_t got_total =
      ReadWaiting(*FComPort, Count, chunk_, [this, &trace](const std::uint8_t* data, std::size_t n) {
        trace += DecimalLine(data, n);
        FReceiveStr.append(reinterpret_cast<const char*>(data), n);
      });
  ResetTimer();
  FLog.push_back(std::move(trace));
  if (WireTrace::Enabled())
    WireTrace::Bytes(false, reinterpret_cast<const std::uint8_t*>(FReceiveStr.data()) + start, got_total);
  // One read may hold several frames (the acknowledgement, a message, the
  // answer behind it): a USB adapter hands over what came within its latency
  // timer, and a busy machine reads late. Every complete frame is taken now;
  // no more bytes may ever come to push on one left behind, and the terminal
  // waits for its acknowledgement.
  for (;;) {
    const bool ack = CheckAck();
    const bool message = CheckEnq();
    if (!ack && !message) break;
  }
}

bool TPosUnicredit::CheckAck() {
  if (!uc::AckAtFront(FReceiveStr)) return false;
  FReceiveStr.erase(0, uc::kAckLength);
  return true;
}

bool TPosUnicredit::CheckEnq() {
  if (!uc::MessageStartsAtFront(FReceiveStr)) return false;
  FContorPOS = static_cast<std::uint8_t>(FReceiveStr[2]);
  const std::size_t len = uc::MessageAtFront(FReceiveStr);
  if (len == 0) return false;  // not complete yet
  {
    TMySync sync(*this);
    loop_.Synchronize([&sync] { sync.DoSynchronize(); });
  }
  std::string mesaj = FReceiveStr.substr(0, len);
  FENQMessages.push_back(mesaj);
  if (mesaj.size() >= 6 && static_cast<std::uint8_t>(mesaj[5]) == FCodMesajAsteptat) {
    PrelucreazaMesajFinal(mesaj);
    FRaspunsPrimit = true;
  }
  FReceiveStr.erase(0, len);
  return true;
}

void TPosUnicredit::PrelucreazaMesajFinal(const std::string& mesaj) {
  for (auto& e : uc::ParseElements(mesaj))
    FResponseMessages.emplace_back(std::to_string(e.code), std::move(e.value));
}

namespace {

std::string Upper(std::string s) {
  for (char& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return s;
}

}  // namespace

// Sale and void differ only in the message; the terminal answers both alike.
bool TPosUnicredit::Tranzactie(bool anulare, std::string& MesajEroare) {
  DrawContor();
  MesajEroare.clear();
  FCodMesajAsteptat = uc::kCodTranzactie + 1;
  FTimer.SetInterval(SilenceTimer::FromSeconds(TimeOutLongOp));
  bool result = false;
  const uc::Bytes frame = anulare ? uc::BuildVoid(Contor, Suma, NrBon) : uc::BuildSale(Contor, Suma);
  if (SendAndWait(frame)) {
    result = Upper(getResponseValue(uc::kElRezultat)).find("APROBAT") != std::string::npos;
    if (!result)
      MesajEroare = getResponseValue(uc::kElRezultat) + "\r\r" + getResponseValue(uc::kElRezultatExtra);
  } else if (TimeOut()) {
    MesajEroare = "TIMEOUT";
  }
  return result;
}

bool TPosUnicredit::PosSaleByCard(std::string& MesajEroare) { return Tranzactie(false, MesajEroare); }

bool TPosUnicredit::VoidPosSale(std::string& MesajEroare) { return Tranzactie(true, MesajEroare); }

bool TPosUnicredit::RaportZilnic(std::string& MesajEroare) {
  DrawContor();
  FCodMesajAsteptat = uc::kCodRaport + 1;
  bool result = false;
  if (SendAndWait(uc::BuildReport(Contor))) {
    result = Upper(getResponseValue(uc::kElCodRaport)) == "00";
    if (!result)
      MesajEroare = getResponseValue(uc::kElRaportText1) + "\r\r" + getResponseValue(uc::kElRaportText2);
  } else if (TimeOut()) {
    MesajEroare = "TIMEOUT";
  }
  return result;
}

bool TPosUnicredit::GetPosInfo() {
  DrawContor();
  FCodMesajAsteptat = uc::kCodStare + 1;
  FTimer.SetInterval(SilenceTimer::FromSeconds(TimeOutLongOp));
  return SendAndWait(uc::BuildStatus(Contor));
}

}  // namespace tarvina
