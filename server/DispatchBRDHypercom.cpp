// Sale, settlement and void on BRD Hypercom terminals.
#include <memory>
#include <string>

#include "server/MainSrv.h"
#include "terminals/PosBRDHypercom/PosBRDHypercom.h"

namespace tarvina {

void TEmain::TranzactieBRDHypercom() {
  aPosBRDHyperCom = std::make_unique<TPosBRDHypercom>(services.loop, services.comm);
  auto& pos = static_cast<TPosBRDHypercom&>(*aPosBRDHyperCom);
  pos.Suma = Cerere.FSuma;
  pos.PortSerial = Cerere.ComPortRS232;
  if (!pos.OpenPort()) {
    Cerere.ErrorMsg = "Eroare la deschidere port serial.  ";
    return;
  }
  if (pos.PosSaleByCard(Cerere.ErrorMsg))
    ProcesOK = true;
  else
    Cerere.ErrorMsg = "Operatie esuata :   " + Cerere.ErrorMsg;
  pos.ClosePort();
}

void TEmain::SettlementBRDHypercom() {
  // In no slot: a STOP does not reach a settlement.
  TPosBRDHypercom pos(services.loop, services.comm);
  pos.PortSerial = Cerere.ComPortRS232;
  if (!pos.OpenPort()) {
    Cerere.ErrorMsg = "Eroare la deschidere port serial ";
    return;
  }
  if (pos.RaportZilnic(Cerere.ErrorMsg))
    ProcesOK = true;
  else
    Cerere.ErrorMsg = "Eroare raport. " + Cerere.ErrorMsg;
  pos.ClosePort();
}

void TEmain::AnularePosBRDHypercom() {
  // Declared first so the cursor comes back only after the driver is gone.
  BusyCursor cursor(services.shell);
  TPosBRDHypercom pos(services.loop, services.comm);
  pos.PortSerial = Cerere.ComPortRS232;
  pos.Suma = Cerere.FSuma;
  pos.NrBon = Cerere.FNrBon;
  if (!pos.OpenPort()) {
    Cerere.ErrorMsg = "Eroare la deschiderea portului serial";
    return;
  }
  if (pos.VoidPosSale(Cerere.ErrorMsg))
    ProcesOK = true;
  else
    Cerere.ErrorMsg = "Operatia de anulare nu a reusit \r\r" + Cerere.ErrorMsg;
  pos.ClosePort();
}

}  // namespace tarvina
