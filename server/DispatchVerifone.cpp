// Verifone terminals: every sale and void is preceded by a log-in on an object
// and an opening of the port of its own.
#include <memory>

#include "server/MainSrv.h"
#include "terminals/PosVerifoneIntf/PosVerifoneIntf.h"

namespace tarvina {

bool TEmain::PosLogin() {
  TPosVerifone login(services.loop, services.comm);
  login.PortSerial = Cerere.ComPortRS232;
  if (!login.OpenPort()) return false;
  bool ok = false;
  try {
    ok = login.LogIn();
  } catch (...) {
    login.ClosePort();
    throw;
  }
  login.ClosePort();
  return ok;
}

// The sale object is in its slot before the log-in starts, so a STOP during
// the log-in lands on it and the sale gives up at its first wait.
void TEmain::TranzactieVerifone() {
  aPosVerifone = std::make_unique<TPosVerifone>(services.loop, services.comm);
  auto& pos = static_cast<TPosVerifone&>(*aPosVerifone);
  if (!PosLogin()) {
    Cerere.ErrorMsg = "Operatie LogIn esuata  ";
    return;
  }
  pos.Suma = Cerere.FSuma;
  pos.PortSerial = Cerere.ComPortRS232;
  if (!pos.OpenPort()) {
    Cerere.ErrorMsg = "Eroare la deschidere port serial.  ";
    return;
  }
  if (pos.PosSaleByCard())
    ProcesOK = true;
  else
    Cerere.ErrorMsg = "Operatie esuata  ";
  pos.ClosePort();
}

void TEmain::AnularePosVerifone() {
  if (!PosLogin()) {
    Cerere.ErrorMsg = "Operatie esuata !  ";
    return;
  }
  BusyCursor cursor(services.shell);
  TPosVerifone pos(services.loop, services.comm);
  pos.PortSerial = Cerere.ComPortRS232;
  pos.Suma = Cerere.FSuma;
  pos.NrBon = Cerere.FNrBon;
  if (!pos.OpenPort()) {
    Cerere.ErrorMsg = "Eroare la deschiderea portului serial";
    return;
  }
  const bool ok = pos.VoidPosSale();
  pos.ClosePort();
  if (ok)
    ProcesOK = true;
  else
    Cerere.ErrorMsg = "Operatia de anulare nu a reusit ";
}

}  // namespace tarvina
