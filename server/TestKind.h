#pragma once
// A terminal stand-in for tests, installed in place of every per-kind routine
// by InstallTestKind() (in-process tests) or the hidden option
// `tarvina --test-kind` (end-to-end tests against the real process). It is
// never installed otherwise.
//
// For every terminal kind and operation it runs Suma seconds (0 or less: at
// once) and then succeeds:
//  - a card sale puts a TTestDriver in the slot of its kind and waits in the
//    main loop, as the serial drivers do; IesireFortata (and, for kind 1,
//    InchidereFortata) ends the wait early with "Tranzactie intrerupta";
//  - kind 7 blocks the main thread for that time instead, as the Viva Wallet
//    driver does;
//  - settlement and void wait on a driver of their own in no slot, so a stop
//    does not reach them;
//  - NrBon "eroare" makes the routine raise "Eroare simulata" after its wait,
//    NrBon "gol" makes it fail with an empty message.
#include "server/MainSrv.h"

namespace tarvina {

class TTestDriver : public TPosDriver {
 public:
  bool Gata = false;  // its time has run out
};

inline constexpr const char* kTestStopped = "Tranzactie intrerupta";
inline constexpr const char* kTestError = "Eroare simulata";

void InstallTestKind(TEmain& m);

}  // namespace tarvina
