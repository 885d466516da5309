// Card sale, daily report and void on Banca Transilvania terminals.
#include <memory>
#include <string>

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
  auto owned = NewPosTransilvania(services, Cerere.ComPortRS232);
  TPosTransilvania& pos = *owned;
  aPosTransilvania = std::move(owned);
  pos.Suma = Cerere.FSuma;
  if (!pos.OpenPort()) {
    Cerere.ErrorMsg = "Eroare la deschidere port serial";
    return;
  }
  if (pos.PosSaleByCard())
    ProcesOK = true;
  else if (pos.EroareComunicare)
    Cerere.ErrorMsg = "Eroare comunicare cu banca  ";
  else
    Cerere.ErrorMsg = "Eroare la inregistrare tranzactie :   " + pos.A108 +
                      "  Cod eroare banca : " + pos.A107;
  pos.ClosePort();
}

void TEmain::SettlementTransilvania() {
  auto pos = NewPosTransilvania(services, Cerere.ComPortRS232);
  if (!pos->OpenPort()) {
    Cerere.ErrorMsg = "Eroare la deschidere port serial ";
    return;
  }
  ProcesOK = pos->RaportZilnic();  // a failed report answers with an empty message
  pos->ClosePort();
}

void TEmain::AnularePosTransilvania() {
  BusyCursor busy(services.shell);  // back to the default once the driver is freed
  auto pos = NewPosTransilvania(services, Cerere.ComPortRS232);
  pos->Suma = Cerere.FSuma;
  pos->NrBon = Cerere.FNrBon;
  if (!pos->OpenPort()) {
    Cerere.ErrorMsg = "Eroare la deschiderea portului serial";
    return;
  }
  if (pos->VoidPosSale())
    ProcesOK = true;
  else
    Cerere.ErrorMsg = "Operatia de anulare nu a reusit \r\r" + pos->A108;
  pos->ClosePort();
}

}  // namespace tarvina
