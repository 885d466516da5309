// The operation routines of UniCredit terminals (TipPos 4). The driver fills
// ErrorMsg with the terminal's texts (or "TIMEOUT") when it fails; the routine
// puts its own words in front.
#include <memory>
#include <string>

#include "platform/Shell.h"
#include "server/MainSrv.h"
#include "terminals/PosUnicredit/PosUnicredit.h"

namespace tarvina {

namespace {

// Open, one operation, close. Each routine has its own open-failure text and
// its own words before the driver's message.
template <typename Operation>
void RunOnPort(TEmain& m, TPosUnicredit& pos, const char* open_failed, const char* failed, Operation op) {
  if (!pos.OpenPort()) {
    m.Cerere.ErrorMsg = open_failed;
    return;
  }
  if (op(m.Cerere.ErrorMsg))
    m.ProcesOK = true;
  else
    m.Cerere.ErrorMsg = failed + m.Cerere.ErrorMsg;
  pos.ClosePort();
}

}  // namespace

void TEmain::TranzactieUnicredit() {
  // The sale's driver sits in its slot so that a STOP can reach it;
  // DoProcesare frees it.
  auto owned = std::make_unique<TPosUnicredit>(services.loop, services.comm);
  TPosUnicredit& pos = *owned;
  aPosUnicredit = std::move(owned);
  pos.Suma = Cerere.FSuma;
  pos.PortSerial = Cerere.ComPortRS232;
  RunOnPort(*this, pos, "Eroare la deschidere port serial.  ", "Operatie esuata :   ",
            [&](std::string& m) { return pos.PosSaleByCard(m); });
}

void TEmain::SettlementUnicredit() {
  TPosUnicredit pos(services.loop, services.comm);
  pos.PortSerial = Cerere.ComPortRS232;
  RunOnPort(*this, pos, "Eroare la deschidere port serial ", "Eroare raport. ",
            [&](std::string& m) { return pos.RaportZilnic(m); });
}

void TEmain::AnularePosUnicredit() {
  TPosUnicredit pos(services.loop, services.comm);
  BusyCursor hourglass(services.shell);
  pos.PortSerial = Cerere.ComPortRS232;
  pos.Suma = Cerere.FSuma;
  pos.NrBon = Cerere.FNrBon;
  RunOnPort(*this, pos, "Eroare la deschiderea portului serial", "Operatia de anulare nu a reusit \r\r",
            [&](std::string& m) { return pos.VoidPosSale(m); });
}

}  // namespace tarvina
