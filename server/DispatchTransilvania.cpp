// Card sale, daily report and void on Banca Transilvania terminals.
#include <memory>
#include <string>

#include "server/DispatchRun.h"
#include "server/MainSrv.h"
#include "terminals/PosTransilvania/PosTransilvania.h"

namespace tarvina {

namespace {

std::unique_ptr<TPosTransilvania> NewPosTransilvania(Services& services, std::int32_t port) {
  Shell& shell = services.shell;
  auto pos = std::make_unique<TPosTransilvania>(services.loop, services.comm, [&shell] { shell.Beep(); });
  pos->PortSerial = port;
  return pos;
}

}  // namespace

void TEmain::TranzactiePosTransilvania() {
  // In the slot for the whole sale, so that a STOP can reach its wait.
  auto& pos = PutInSlot(aPosTransilvania, NewPosTransilvania(services, Cerere.ComPortRS232));
  pos.Suma = Cerere.FSuma;
  RunOnPort(*this, pos, "Eroare la deschidere port serial", [&] {
    if (pos.PosSaleByCard()) return true;
    if (pos.EroareComunicare)
      Cerere.ErrorMsg = "Eroare comunicare cu banca  ";
    else
      Cerere.ErrorMsg = "Eroare la inregistrare tranzactie :   " + pos.A108 +
                        "  Cod eroare banca : " + pos.A107;
    return false;
  });
}

void TEmain::SettlementTransilvania() {
  auto pos = NewPosTransilvania(services, Cerere.ComPortRS232);
  // A failed report answers with an empty message.
  RunOnPort(*this, *pos, "Eroare la deschidere port serial ", [&] { return pos->RaportZilnic(); });
}

void TEmain::AnularePosTransilvania() {
  BusyCursor busy(services.shell);  // back to the default once the driver is freed
  auto pos = NewPosTransilvania(services, Cerere.ComPortRS232);
  pos->Suma = Cerere.FSuma;
  pos->NrBon = Cerere.FNrBon;
  RunOnPort(*this, *pos, "Eroare la deschiderea portului serial", [&] {
    if (pos->VoidPosSale()) return true;
    Cerere.ErrorMsg = "Operatia de anulare nu a reusit \r\r" + pos->A108;
    return false;
  });
}

}  // namespace tarvina
