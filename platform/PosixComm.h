#pragma once
// The comm layer on a POSIX terminal device (Linux termios).
//
// - Open: O_NOCTTY | O_NONBLOCK | O_CLOEXEC, the device must be a terminal;
//   exclusive through TIOCEXCL and an advisory flock, so a second open fails
//   with EBUSY (16) also for root; raw mode; both queues flushed.
// - SetCommState: raw mode first, then the framing (5-8 data bits, parity
//   none/odd/even/mark/space, 1, 1.5 or 2 stop bits, any speed through
//   BOTHER), XON/XOFF, CTS/RTS handshake, DTR and RTS lines. The settings read
//   back by GetCommState are the ones accepted, not the device's echo of them:
//   pseudo-terminals accept 7 data bits and parity but report 8N1.
// - Modem-line ioctls that the device rejects with ENOTTY or EINVAL (every
//   pseudo-terminal does) count as done, with all lines reported off.
// - The event wait is a poll on the device and an eventfd that AbortWait
//   signals; it never times out on its own. Received bytes are moved into a
//   buffer of the layer's own as they arrive, so that EV_RXCHAR means "new
//   bytes since the last wait" and a handler that leaves bytes unread does
//   not wake the thread again.
// - Reportable events: EV_RXCHAR, EV_RXFLAG, EV_RX80FULL, EV_TXEMPTY, and,
//   on devices that keep interrupt counters (TIOCGICOUNT: real UARTs and
//   most USB adapters, not pseudo-terminals), EV_ERR and EV_BREAK; EV_CTS,
//   EV_DSR, EV_RING and EV_RLSD only when a wait wakes for another reason,
//   because poll cannot wait for modem lines.
// - A device that vanishes (hang-up, read of 0 bytes, EIO) ends the wait with
//   its error; that error is then returned by every further wait, and by
//   reads (once the bytes already received are read) and writes.
#include <map>
#include <memory>
#include <mutex>

#include "platform/Comm.h"

namespace tarvina {

class PosixComm final : public CommApi {
 public:
  PosixComm();
  ~PosixComm() override;

  CommHandle Open(const std::string& name, int* error) override;
  int Close(CommHandle h) override;
  int SetupComm(CommHandle h, std::uint32_t in_size, std::uint32_t out_size) override;
  int GetCommState(CommHandle h, CommState* state) override;
  int SetCommState(CommHandle h, const CommState& state) override;
  int GetCommTimeouts(CommHandle h, CommTimeouts* timeouts) override;
  int SetCommTimeouts(CommHandle h, const CommTimeouts& timeouts) override;
  int SetCommMask(CommHandle h, std::uint32_t mask) override;
  int WaitCommEvent(CommHandle h, std::uint32_t* events) override;
  int AbortWait(CommHandle h) override;
  int Read(CommHandle h, void* data, std::uint32_t n, std::uint32_t* got) override;
  int Write(CommHandle h, const void* data, std::uint32_t n, std::uint32_t* written) override;
  int WriteNoWait(CommHandle h, const void* data, std::uint32_t n, std::uint32_t* written) override;
  int TransmitCommChar(CommHandle h, char c) override;
  int ClearCommError(CommHandle h, std::uint32_t* errors, CommStat* stat) override;
  int PurgeComm(CommHandle h, std::uint32_t flags) override;
  int GetCommModemStatus(CommHandle h, std::uint32_t* status) override;
  int EscapeCommFunction(CommHandle h, std::uint32_t function) override;
  int GetCommProperties(CommHandle h, CommProperties* props) override;


 private:
  struct Port;
  std::shared_ptr<Port> Find(CommHandle h);
  int WriteOut(CommHandle h, const void* data, std::uint32_t n, std::uint32_t* written, bool wait);

  std::mutex mu_;
  std::map<CommHandle, std::shared_ptr<Port>> ports_;
};

// The process-wide POSIX comm layer.
CommApi& SystemComm();

}  // namespace tarvina
