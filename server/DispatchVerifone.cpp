// Verifone terminals: every sale and void is preceded by a log-in on an object
// and an opening of the port of its own.
#include <memory>
#include <string>

#include "server/DispatchRun.h"
#include "server/MainSrv.h"
#include "terminals/PosVerifoneIntf/PosVerifoneIntf.h"

namespace tarvina {

bool TEmain::PosLogin() {
  TPosVerifone login(services.loop, services.comm);
  login.PortSerial = Cerere.ComPortRS232;
  // A line that does not open is the caller's failure text, like a refused log-in.
  std::string unused;
  bool ok = false;
  RunOnPort(login, unused, ok, nullptr, [&] { return login.LogIn(); });
  return ok;
}

// The sale object is in its slot before the log-in starts, so a STOP during
// the log-in lands on it and the sale gives up at its first wait.
void TEmain::TranzactieVerifone() {
  auto& pos = PutInSlot(aPosVerifone, std::make_unique<TPosVerifone>(services.loop, services.comm));
  if (!PosLogin()) {
    Cerere.ErrorMsg = "Operatie LogIn esuata  ";
    return;
  }
  pos.Suma = Cerere.FSuma;
  pos.PortSerial = Cerere.ComPortRS232;
  RunOnPort(*this, pos, "Eroare la deschidere port serial.  ", [&] {
    if (pos.PosSaleByCard()) return true;
    Cerere.ErrorMsg = "Operatie esuata  ";
    return false;
  });
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
  RunOnPort(*this, pos, "Eroare la deschiderea portului serial", [&] {
    if (pos.VoidPosSale()) return true;
    Cerere.ErrorMsg = "Operatia de anulare nu a reusit ";
    return false;
  });
}

}  // namespace tarvina
