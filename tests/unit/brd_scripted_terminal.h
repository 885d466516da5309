#pragma once
// A BRD terminal played on the fake comm layer, for the sale and dispatch
// tests: it reads the PC's request, answers by script and counts the PC's ACKs.
#include <deque>
#include <initializer_list>
#include <string>
#include <utility>
#include <vector>

#include "terminals/PosBRD/BrdFrames.h"
#include "tests/support/FakeComm.h"

namespace tarvina::brdtest {

using Bytes = std::vector<std::uint8_t>;
using namespace brd;

inline Bytes Concat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

inline Bytes SaleFrame(const std::string& amount) {
  TWriteMsg m;
  InitWriteMsg(m);
  m.SeqNumber = "0001";
  m.TransAmount1 = amount;
  Bytes body;
  for (const std::string* f : Fields(m)) body.insert(body.end(), f->begin(), f->end());
  return RequestFrame(body.data(), body.size());
}

// Plays the terminal: on the request it sends each of `onRequest` after its
// delay; on each ACK of the PC it sends the next of `afterAck`, `ackDelayMs` later.
struct ScriptedTerminal {
  explicit ScriptedTerminal(FakeComm& c) : comm(c) {
    comm.OnWrite = [this](const Bytes& b) { Heard(b); };
  }
  void Heard(const Bytes& b) {
    for (std::uint8_t x : b) {
      if (!requestSeen) {
        request.push_back(x);
        const ParsedRequest r = ParseRequest(request.data(), request.size());
        if (r.complete) {
          requestSeen = true;
          lrcOk = r.lrc_ok;
          amount = RequestAmount(r.body);
          for (const auto& [delay, bytes] : onRequest) Send(delay, bytes);
        }
      } else if (x == ACK) {
        ++pcAcks;
        if (!afterAck.empty()) {
          Bytes next = afterAck.front();
          afterAck.pop_front();
          Send(ackDelayMs, next);
        }
      }
    }
  }
  void Send(Millis delay, const Bytes& b) {
    if (b.empty()) return;
    if (delay == 0)
      comm.Deliver(b);
    else
      comm.DeliverAfter(delay, b);
  }

  FakeComm& comm;
  std::vector<std::pair<Millis, Bytes>> onRequest{{0, {ACK}}};
  std::deque<Bytes> afterAck;
  Millis ackDelayMs = 0;
  Bytes request;
  bool requestSeen = false;
  bool lrcOk = false;
  std::string amount;
  int pcAcks = 0;
};

}  // namespace tarvina::brdtest
