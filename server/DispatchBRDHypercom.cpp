// Sale, settlement and void on BRD Hypercom terminals. The driver writes its
// answer or the reason of a failure; the routine puts its own words in front.
#include <memory>
#include <string>

#include "server/DispatchRun.h"
#include "server/MainSrv.h"
#include "terminals/PosBRDHypercom/PosBRDHypercom.h"

namespace tarvina {

void TEmain::TranzactieBRDHypercom() {
  auto& pos = PutInSlot(aPosBRDHyperCom, std::make_unique<TPosBRDHypercom>(services.loop, services.comm));
  pos.Suma = Cerere.FSuma;
  pos.PortSerial = Cerere.ComPortRS232;
  RunSaleWithText(*this, pos);
}

void TEmain::SettlementBRDHypercom() {
  // In no slot: a STOP does not reach a settlement.
  TPosBRDHypercom pos(services.loop, services.comm);
  pos.PortSerial = Cerere.ComPortRS232;
  RunSettlementWithText(*this, pos);
}

void TEmain::AnularePosBRDHypercom() {
  // Declared first so the cursor comes back only after the driver is gone.
  BusyCursor cursor(services.shell);
  TPosBRDHypercom pos(services.loop, services.comm);
  pos.PortSerial = Cerere.ComPortRS232;
  pos.Suma = Cerere.FSuma;
  pos.NrBon = Cerere.FNrBon;
  RunVoidWithText(*this, pos);
}

}  // namespace tarvina
