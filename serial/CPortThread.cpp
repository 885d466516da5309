#include "serial/CPortThread.h"

#include "platform/MainLoop.h"
#include "platform/ScopeGuard.h"

namespace tarvina {

namespace {

// Platform flag of each TComEvent, in the order of the enumeration.
constexpr std::uint32_t kEventFlags[] = {EV_RXCHAR, EV_TXEMPTY, EV_RXFLAG, EV_RING, EV_BREAK,
                                         EV_CTS,    EV_DSR,     EV_ERR,    EV_RLSD, EV_RX80FULL};

}  // namespace

std::uint32_t EventsToInt(TComEvents events) {
  std::uint32_t mask = 0;
  for (unsigned i = 0; i < 10; ++i)
    if (events & (1u << i)) mask |= kEventFlags[i];
  return mask;
}

TComEvents IntToEvents(std::uint32_t mask) {
  TComEvents events = 0;
  for (unsigned i = 0; i < 10; ++i)
    if (mask & kEventFlags[i]) events |= 1u << i;
  return events;
}

TComThread::TComThread(TCustomComPort& port) : FComPort(port), handle_(port.FHandle) {
  // With a virtual clock the loop must not jump ahead while this thread is
  // on its way out: Close waits for it in virtual time.
  probe_id_ = port.Loop().AddIdleProbe([this] { return !(stopping_.load() && !ended_.load()); });
  port.Comm().SetCommMask(handle_, EventsToInt(port.FEvents));
  thread_ = std::thread([this] { Execute(); });
}

TComThread::~TComThread() {
  Stop();
  MainLoop& loop = FComPort.Loop();
  if (loop.IsMainThread()) loop.WaitUntil([this] { return ended_.load(); }, MainLoop::Interrupts::kLeave);
  thread_.join();
  loop.RemoveIdleProbe(probe_id_);
  // Whoever waited on this line has stopped waiting: a loss it reported is news to nobody.
  if (loop.IsMainThread()) loop.CancelInterrupt(&FComPort);
}

void TComThread::Stop() {
  stopping_ = true;
  if (!released_) FComPort.Comm().AbortWait(handle_);
}

void TComThread::Execute() {
  CommApi& comm = FComPort.Comm();
  // A stop that came during a delivery is seen before the next wait: the
  // handle may already be released (and its number given to another port).
  while (!stopping_) {
    std::uint32_t mask = 0;
    const int rc = comm.WaitCommEvent(handle_, &mask);
    // A stop, or a device that failed or vanished: waiting again would only
    // fail again at once, so the thread ends and the port stays open.
    if (rc != 0) {
      if (rc != kCommStopped) ReportLineLost(rc);
      break;
    }
    FEvents = IntToEvents(mask);
    if (FEvents == 0) continue;
    try {
      DispatchComMsg();
    } catch (...) {
      // A delivery that threw (or a loop that has quit) ends the thread.
      break;
    }
  }
  if (!released_) {
    comm.SetCommMask(handle_, 0);
    comm.PurgeComm(handle_, PURGE_TXCLEAR | PURGE_RXCLEAR);
  }
  ended_ = true;
  FComPort.Loop().Wake();
}

// The device went away under an open port (cable or adapter pulled, far side
// of a pseudo-terminal closed). No event will ever come again, so a driver
// waiting for its terminal's answer would wait out its whole time-out; instead
// its wait ends with the error its next read of the line would raise.
void TComThread::ReportLineLost(int error) {
  try {
    FComPort.Loop().Synchronize([this, error] {
      // Closing: whoever opened the port has stopped waiting for it.
      if (stopping_) return;
      FComPort.Loop().InterruptWait(std::make_exception_ptr(EComPort(CError_ReadFailed, error)), &FComPort);
    });
  } catch (...) {
    // The loop has quit: nobody is left to tell.
  }
}

void TComThread::DispatchComMsg() {
  const TComEvents events = FEvents;
  if (FComPort.FSyncMethod == TSyncMethod::smNone) {
    FComPort.DoEvents(events);
    return;
  }
  FComPort.Loop().Synchronize([this, events] {
    delivering_ = true;
    ScopeGuard delivered([this] { delivering_ = false; });
    FComPort.DoEvents(events);
  });
}

}  // namespace tarvina
