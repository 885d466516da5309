#include "terminals/VivaWalletIntf/VivaWalletIntf.h"

#include <algorithm>
#include <cstdint>
#include <exception>

#include "platform/Trace.h"
#include "terminals/VivaWalletIntf/VivaFrames.h"

namespace tarvina {

namespace {

void TraceBytes(bool out, const std::string& bytes) {
  WireTrace::Bytes(out, reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
}

}  // namespace

TVivaWallet::TVivaWallet(Clock& clock, const TcpClientFactory& make_client)
    : clock_(clock), FTCPCL(make_client()) {}

TVivaWallet::~TVivaWallet() {
  if (FTCPCL && FTCPCL->Connected()) FTCPCL->Disconnect();
}

void TVivaWallet::SetHost(const std::string& Value) { FHost = Value; }

std::string TVivaWallet::Take() {
  std::string bytes = FTCPCL->TakeAll();
  TraceBytes(false, bytes);
  return bytes;
}

bool TVivaWallet::ConnectToPOS() {
  FDataRead.clear();
  MesajEroare.clear();
  try {
    if (FTCPCL->Connected()) FTCPCL->Disconnect();
    FTCPCL->Connect(FHost, kVivaPort, kConnectTimeoutMs);
    // A greeting that is already there counts as much as one that comes later.
    if (FTCPCL->DataWaiting() || FTCPCL->WaitForData(kGreetingWaitMs)) FDataRead = VivaReplyText(Take());
    return !FDataRead.empty();
  } catch (const std::exception& e) {
    MesajEroare = e.what();
  } catch (...) {
    MesajEroare = "Eroare necunoscuta la conectarea cu POS-ul";
  }
  return false;
}

bool TVivaWallet::PosSaleByCard(double Suma, const std::string& aSessionID, const std::string& aTransactionID) {
  FIDTranzactie.clear();
  FDataTranzactie.clear();
  return Exchange(VivaLine(MakeVivaSale(Suma, aSessionID, aTransactionID)));
}

bool TVivaWallet::CancelSaleByCard(double Suma, const std::string& NrBon) {
  FIDTranzactie.clear();
  FDataTranzactie.clear();
  return Exchange(VivaLine(MakeVivaCancel(Suma, NrBon)));
}

bool TVivaWallet::Exchange(const std::string& request) {
  FDataWrite = request;
  // Whatever is still waiting here (a late part of the greeting) is no part of
  // the reply to come; left in place it would be taken for one.
  if (FTCPCL->DataWaiting()) Take();
  FTCPCL->Write(FDataWrite);
  TraceBytes(true, FDataWrite);
  clock_.SleepMs(kPauseAfterWriteMs);

  FDataRead.clear();
  MesajEroare.clear();
  try {
    ReadReply();
    const VivaVerdict v = JudgeVivaReply(VivaSplit(FDataRead));
    if (v.ok) {
      FIDTranzactie = v.idTranzactie;
      FDataTranzactie = v.dataTranzactie;
    } else {
      MesajEroare = v.mesajEroare;
    }
    return v.ok;
  } catch (const std::exception& e) {
    MesajEroare = e.what();
  } catch (...) {
    MesajEroare = "Eroare necunoscuta la citirea raspunsului POS-ului";
  }
  return false;
}

// The reply may reach us in several TCP segments: after the first data, reading
// goes on until the reply holds as many bytes as its length field says, or
// the line has been quiet for a while (a moment without a length field),
// always within the reply wait. Judged on the first segment alone, a split
// approval would read as a failure.
void TVivaWallet::ReadReply() {
  const Millis deadline = clock_.NowMs() + kReplyWaitMs;
  if (!FTCPCL->DataWaiting() && !FTCPCL->WaitForData(kReplyWaitMs)) return;
  std::string raw = Take();
  for (;;) {
    const VivaReplyState state = VivaReplyStatus(raw);
    const Millis left = deadline - clock_.NowMs();
    if (state == VivaReplyState::Complete || left <= 0 || raw.size() >= kMaxReplyBytes) break;
    const Millis wait = std::min(state == VivaReplyState::Short ? kReplyRestQuietMs : kReplyQuietMs, left);
    bool more = false;
    try {
      more = FTCPCL->WaitForData(wait);
    } catch (const TcpError&) {
      // The terminal closed after sending part of its answer: judge what came.
      break;
    }
    if (!more) break;
    raw += Take();
  }
  FDataRead = VivaReplyText(raw);
}

}  // namespace tarvina
