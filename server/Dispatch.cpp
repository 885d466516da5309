// The frame of every operation: pick the routine, turn whatever it raises
// into an error reply, answer, free the driver of the card sale.
#include <exception>
#include <string>

#include "platform/ScopeGuard.h"
#include "server/MainSrv.h"

namespace tarvina {

namespace {

std::string TipPosNecunoscut(std::int32_t tip) {
  return "Tip pos necunoscut (" + std::to_string(tip) + ")";
}

}  // namespace

std::string ZString64(std::int64_t Nr, int Len, char car) {
  std::string s = std::to_string(Nr);
  if (static_cast<int>(s.size()) < Len) s.insert(0, static_cast<std::size_t>(Len) - s.size(), car);
  return s;
}

void TEmain::DoProcesare(TPosClient& client) {
  ProcesOK = false;
  Cerere.ErrorMsg.clear();
  try {
    switch (Cerere.Operatie) {
      case 0: PlataCuCardul(); break;
      case 1: Settlement(); break;
      case 2: Anulare(); break;
      default: break;  // DateValide lets no other code through
    }
  } catch (const std::exception& e) {
    Cerere.ErrorMsg = e.what();
  } catch (...) {
    Cerere.ErrorMsg = "Eroare necunoscuta";
  }
  InchidereFortata = false;
  // The driver goes whatever happens to the reply (the client may have left).
  ScopeGuard free_driver([this] { FreeFirstSlot(); });
  if (ProcesOK)
    ReturnProcesareOK(client);
  else
    ReturneazaEroare(client, Cerere.ErrorMsg);
}

void TEmain::FreeFirstSlot() {
  for (auto* slot : {&aPosBRD, &aPosTransilvania, &aPosUnicredit, &aPosBRDHyperCom, &aPosVerifone,
                     &aPosVivaWallet}) {
    if (*slot) {
      slot->reset();  // freeing a driver closes its port or connection
      return;
    }
  }
}

// A stop reaches the card sales whose drivers test IesireFortata in their
// waits; the BRD sale watches InchidereFortata instead, and a Viva Wallet
// sale blocks the main thread, so the stop comes after it.
void TEmain::SetPOSIesireFortata() {
  for (auto* slot : {&aPosTransilvania, &aPosUnicredit, &aPosBRDHyperCom, &aPosVerifone}) {
    if (*slot) {
      (*slot)->IesireFortata = true;
      return;
    }
  }
}

// The operations each kind offers, by TipPos; the routines are in
// server/Dispatch<Kind>.cpp. A card-sale routine puts its driver in the slot
// of its kind (PutInSlot; DoProcesare frees it); settlement and void routines
// keep their driver to themselves.

void TEmain::PlataCuCardul() {
  if (TestRoutine) return TestRoutine(*this);
  switch (Cerere.TipPos) {
    case 1: TranzactieBRD(); break;
    case 3: TranzactiePosTransilvania(); break;
    case 4: TranzactieUnicredit(); break;
    case 5: TranzactieBRDHypercom(); break;
    case 6: TranzactieVerifone(); break;
    case 7: TranzactieVivaWallet(); break;
    default: Cerere.ErrorMsg = TipPosNecunoscut(Cerere.TipPos);
  }
}

void TEmain::Settlement() {
  if (TestRoutine) return TestRoutine(*this);
  switch (Cerere.TipPos) {
    case 3: SettlementTransilvania(); break;
    case 4: SettlementUnicredit(); break;
    case 5: SettlementBRDHypercom(); break;
    default: Cerere.ErrorMsg = TipPosNecunoscut(Cerere.TipPos);
  }
}

void TEmain::Anulare() {
  if (TestRoutine) return TestRoutine(*this);
  switch (Cerere.TipPos) {
    case 3: AnularePosTransilvania(); break;
    case 4: AnularePosUnicredit(); break;
    case 5: AnularePosBRDHypercom(); break;
    case 6: AnularePosVerifone(); break;
    case 7: AnularePosVivaWallet(); break;
    default: Cerere.ErrorMsg = TipPosNecunoscut(Cerere.TipPos);
  }
}

}  // namespace tarvina
