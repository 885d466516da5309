#pragma once
// The two steps every operation routine shares: putting the card sale's
// driver in its slot, and open -> operate -> close on the driver's line.
#include <memory>
#include <string>
#include <utility>

#include "server/MainSrv.h"
#include "terminals/Driver.h"

namespace tarvina {

// Hands `owned` to `slot` (where a STOP finds it and DoProcesare frees it)
// and returns the driver, typed, for the routine to set up and run.
template <typename Driver>
Driver& PutInSlot(std::unique_ptr<TPosDriver>& slot, std::unique_ptr<Driver> owned) {
  Driver& pos = *owned;
  slot = std::move(owned);
  return pos;
}

// Opens the driver's line, runs `op` and closes the line again. `op` returns
// true on success and writes its own error text otherwise; `ok` is set before
// the line closes. When the line does not open, `ErrorMsg` gets `open_failed`
// (unless null) and nothing runs. A throw from `op` leaves the line to the
// driver's destructor.
template <typename Pos, typename Operation>
void RunOnPort(Pos& pos, std::string& ErrorMsg, bool& ok, const char* open_failed, Operation op) {
  if (!pos.OpenPort()) {
    if (open_failed) ErrorMsg = open_failed;
    return;
  }
  if (op()) ok = true;
  pos.ClosePort();
}

// The same for a routine of `m`: its ErrorMsg and ProcesOK.
template <typename Pos, typename Operation>
void RunOnPort(TEmain& m, Pos& pos, const char* open_failed, Operation op) {
  RunOnPort(pos, m.Cerere.ErrorMsg, m.ProcesOK, open_failed, std::move(op));
}

// For an operation that writes the terminal's own text into `msg` when it
// fails: the failure puts `failed` in front of that text.
template <typename Operation>
auto Prefixed(std::string& msg, const char* failed, Operation op) {
  return [&msg, failed, op]() mutable {
    if (op(msg)) return true;
    msg = failed + msg;
    return false;
  };
}

template <typename Operation>
auto Prefixed(TEmain& m, const char* failed, Operation op) {
  return Prefixed(m.Cerere.ErrorMsg, failed, std::move(op));
}

// The operations of the kinds whose driver writes the terminal's own text
// (UniCredit, BRD Hypercom): the two share their open-failure texts and the
// words put before the driver's text.
template <typename Pos>
void RunSaleWithText(TEmain& m, Pos& pos) {
  RunOnPort(m, pos, "Eroare la deschidere port serial.  ",
            Prefixed(m, "Operatie esuata :   ", [&pos](std::string& msg) { return pos.PosSaleByCard(msg); }));
}

template <typename Pos>
void RunSettlementWithText(TEmain& m, Pos& pos) {
  RunOnPort(m, pos, "Eroare la deschidere port serial ",
            Prefixed(m, "Eroare raport. ", [&pos](std::string& msg) { return pos.RaportZilnic(msg); }));
}

template <typename Pos>
void RunVoidWithText(TEmain& m, Pos& pos) {
  RunOnPort(m, pos, "Eroare la deschiderea portului serial",
            Prefixed(m, "Operatia de anulare nu a reusit \r\r",
                     [&pos](std::string& msg) { return pos.VoidPosSale(msg); }));
}

}  // namespace tarvina
