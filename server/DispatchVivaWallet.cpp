// Card sale and void on Viva Wallet terminals. The driver blocks the main
// thread for the whole exchange, so requests that come meanwhile wait in
// their hand-off and are served after this one, and a stop comes too late.
#include <memory>
#include <string>

#include "server/DispatchRun.h"
#include "server/MainSrv.h"
#include "terminals/VivaWalletIntf/VivaWalletIntf.h"

namespace tarvina {

void TEmain::TranzactieVivaWallet() {
  auto& pos = PutInSlot(aPosVivaWallet, std::make_unique<TVivaWallet>(services.clock, services.tcp));
  // The terminal's short session number is the last six digits; the
  // transaction id the whole number, both zero-filled.
  const std::string six = ZString64(Cerere.FSessionID, 6, '0');
  const std::string aSessionID = six.substr(six.size() - 6);
  const std::string aTransactionID = ZString64(Cerere.FSessionID, 32, '0');

  pos.SetHost(Cerere.FIPPosViva);
  if (!pos.ConnectToPOS()) {
    Cerere.ErrorMsg = "Operatie esuata :   " + pos.MesajEroare;
    return;
  }
  if (pos.PosSaleByCard(Cerere.FSuma, aSessionID, aTransactionID))
    ProcesOK = true;
  else
    Cerere.ErrorMsg = "Operatie esuata :   " + pos.MesajEroare;
  // The connection stays open until DoProcesare frees the slot.
}

void TEmain::AnularePosVivaWallet() {
  TVivaWallet pos(services.clock, services.tcp);
  pos.SetHost(Cerere.FIPPosViva);
  if (!pos.ConnectToPOS()) {
    Cerere.ErrorMsg = "Eroare conectare la POS \r\r" + pos.MesajEroare;
    return;
  }
  if (pos.CancelSaleByCard(Cerere.FSuma, Cerere.FNrBon))
    ProcesOK = true;
  else
    Cerere.ErrorMsg = "Operatia de anulare nu a reusit \r\r" + pos.MesajEroare;
}

}  // namespace tarvina
