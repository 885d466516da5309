#include "server/TestKind.h"

#include <algorithm>
#include <stdexcept>

namespace tarvina {

namespace {

std::unique_ptr<TPosDriver>* SlotFor(TEmain& m, int tip) {
  switch (tip) {
    case 1: return &m.aPosBRD;
    case 3: return &m.aPosTransilvania;
    case 4: return &m.aPosUnicredit;
    case 5: return &m.aPosBRDHyperCom;
    case 6: return &m.aPosVerifone;
    case 7: return &m.aPosVivaWallet;
    default: return nullptr;
  }
}

void RunTestOperation(TEmain& m) {
  const Millis wait_ms = static_cast<Millis>(std::clamp(m.Cerere.FSuma, 0.0, 3600.0) * 1000);
  MainLoop& loop = m.services.loop;
  std::unique_ptr<TPosDriver> own;
  TTestDriver* pos = new TTestDriver;
  auto* slot = m.Cerere.Operatie == 0 ? SlotFor(m, m.Cerere.TipPos) : nullptr;
  if (slot)
    slot->reset(pos);
  else
    own.reset(pos);

  bool stopped = false;
  if (m.Cerere.TipPos == 7) {
    m.services.clock.SleepMs(wait_ms);
  } else if (wait_ms > 0) {
    Timer timer(loop, wait_ms);
    timer.OnTimer = [pos] { pos->Gata = true; };
    timer.SetEnabled(true);
    const bool brd = m.Cerere.TipPos == 1 && slot;
    loop.WaitUntil([&] { return pos->Gata || pos->IesireFortata || (brd && m.InchidereFortata); });
    stopped = !pos->Gata;
  }
  if (m.Cerere.FNrBon == "eroare") throw std::runtime_error(kTestError);
  if (stopped)
    m.Cerere.ErrorMsg = kTestStopped;
  else if (m.Cerere.FNrBon != "gol")
    m.ProcesOK = true;
}

}  // namespace

void InstallTestKind(TEmain& m) { m.TestRoutine = RunTestOperation; }

}  // namespace tarvina
