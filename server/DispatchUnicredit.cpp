// The operation routines of UniCredit terminals (TipPos 4). The driver fills
// ErrorMsg with the terminal's texts (or "TIMEOUT") when it fails; the routine
// puts its own words in front.
#include <memory>
#include <string>

#include "platform/Shell.h"
#include "server/DispatchRun.h"
#include "server/MainSrv.h"
#include "terminals/PosUnicredit/PosUnicredit.h"

namespace tarvina {

void TEmain::TranzactieUnicredit() {
  // The sale's driver sits in its slot so that a STOP can reach it;
  // DoProcesare frees it.
  auto& pos = PutInSlot(aPosUnicredit, std::make_unique<TPosUnicredit>(services.loop, services.comm));
  pos.Suma = Cerere.FSuma;
  pos.PortSerial = Cerere.ComPortRS232;
  RunSaleWithText(*this, pos);
}

void TEmain::SettlementUnicredit() {
  TPosUnicredit pos(services.loop, services.comm);
  pos.PortSerial = Cerere.ComPortRS232;
  RunSettlementWithText(*this, pos);
}

void TEmain::AnularePosUnicredit() {
  TPosUnicredit pos(services.loop, services.comm);
  BusyCursor hourglass(services.shell);
  pos.PortSerial = Cerere.ComPortRS232;
  pos.Suma = Cerere.FSuma;
  pos.NrBon = Cerere.FNrBon;
  RunVoidWithText(*this, pos);
}

}  // namespace tarvina
