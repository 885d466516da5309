#include "platform/PosixComm.h"

// The kernel's termios2 gives every speed (BOTHER) through one call; it cannot
// be mixed with the C library's <termios.h>, so this file uses the ioctls only.
#include <asm/termbits.h>
#include <fcntl.h>
#include <linux/serial.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstring>
#include <deque>

#include "platform/PortNames.h"

namespace tarvina {

namespace {

// What the layer holds of received bytes before it leaves them to the kernel.
constexpr std::size_t kRxCapacity = 64 * 1024;
// How often a wait re-checks the transmit queue while written bytes drain.
constexpr int kTxEmptyRecheckMs = 10;
// How long a write without a write time-out waits for its bytes to leave.
constexpr std::int64_t kDrainLimitMs = 2000;

bool ModemIoctlUnsupported(int err) { return err == ENOTTY || err == EINVAL; }

std::int64_t NowMs() {
  using namespace std::chrono;
  return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

// Milliseconds left until deadline (-1: none) for poll().
int PollTimeout(std::int64_t deadline) {
  if (deadline < 0) return -1;
  std::int64_t left = deadline - NowMs();
  if (left <= 0) return 0;
  return static_cast<int>(std::min<std::int64_t>(left, INT_MAX));
}

void Signal(int event_fd) {
  std::uint64_t one = 1;
  while (write(event_fd, &one, sizeof one) < 0 && errno == EINTR) {
  }
}

void Drain(int event_fd) {
  std::uint64_t v;
  while (read(event_fd, &v, sizeof v) < 0 && errno == EINTR) {
  }
}

void MakeRaw(termios2& t) {
  t.c_iflag &= ~(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IXON | IXOFF | IXANY |
                 INPCK | IGNPAR | IUCLC | IMAXBEL);
  t.c_oflag &= ~OPOST;
  t.c_lflag &= ~(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
  t.c_cflag &= ~(CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS);
  t.c_cflag |= CS8 | CLOCAL | CREAD;
  // With VMIN 0 an empty read returns 0 like a hang-up; with 1 and O_NONBLOCK
  // it fails with EAGAIN, which keeps the two apart.
  t.c_cc[VMIN] = 1;
  t.c_cc[VTIME] = 0;
}

CommState StateFromTermios(const termios2& t) {
  CommState s;
  s.BaudRate = t.c_ospeed;
  s.Flags = kDcbBinary;
  switch (t.c_cflag & CSIZE) {
    case CS5: s.ByteSize = 5; break;
    case CS6: s.ByteSize = 6; break;
    case CS7: s.ByteSize = 7; break;
    default: s.ByteSize = 8; break;
  }
  if (!(t.c_cflag & PARENB))
    s.Parity = NOPARITY;
  else if (t.c_cflag & CMSPAR)
    s.Parity = (t.c_cflag & PARODD) ? MARKPARITY : SPACEPARITY;
  else
    s.Parity = (t.c_cflag & PARODD) ? ODDPARITY : EVENPARITY;
  s.StopBits = (t.c_cflag & CSTOPB) ? TWOSTOPBITS : ONESTOPBIT;
  s.XonChar = static_cast<char>(t.c_cc[VSTART]);
  s.XoffChar = static_cast<char>(t.c_cc[VSTOP]);
  return s;
}

// Builds the termios for a line-settings block; false for a value the
// device cannot take.
bool TermiosFromState(const CommState& s, termios2& t) {
  if (s.BaudRate == 0) return false;
  MakeRaw(t);
  t.c_cflag &= ~CSIZE;
  switch (s.ByteSize) {
    case 5: t.c_cflag |= CS5; break;
    case 6: t.c_cflag |= CS6; break;
    case 7: t.c_cflag |= CS7; break;
    case 8: t.c_cflag |= CS8; break;
    default: return false;
  }
  switch (s.Parity) {
    case NOPARITY: break;
    case ODDPARITY: t.c_cflag |= PARENB | PARODD; break;
    case EVENPARITY: t.c_cflag |= PARENB; break;
    case MARKPARITY: t.c_cflag |= PARENB | CMSPAR | PARODD; break;
    case SPACEPARITY: t.c_cflag |= PARENB | CMSPAR; break;
    default: return false;
  }
  // With five data bits a UART sends one and a half stop bits for CSTOPB.
  switch (s.StopBits) {
    case ONESTOPBIT: break;
    case ONE5STOPBITS:
    case TWOSTOPBITS: t.c_cflag |= CSTOPB; break;
    default: return false;
  }
  if ((s.Flags & (kDcbOutX | kDcbInX)) && s.XonChar == s.XoffChar) return false;
  if (s.Flags & kDcbParity) t.c_iflag |= INPCK;
  if (s.Flags & kDcbOutX) t.c_iflag |= IXON;
  if (s.Flags & kDcbInX) t.c_iflag |= IXOFF;
  if ((s.Flags & kDcbOutxCtsFlow) || (s.Flags & kDcbRtsControlMask) == kDcbRtsHandshake)
    t.c_cflag |= CRTSCTS;
  t.c_cc[VSTART] = static_cast<cc_t>(s.XonChar);
  t.c_cc[VSTOP] = static_cast<cc_t>(s.XoffChar);
  t.c_cflag &= ~(CBAUD | CIBAUD);
  t.c_cflag |= BOTHER;
  t.c_ospeed = t.c_ispeed = s.BaudRate;
  return true;
}

int ModemLines(int fd, int request, int bits) {
  if (ioctl(fd, request, &bits) == 0) return 0;
  return ModemIoctlUnsupported(errno) ? 0 : errno;
}

}  // namespace

struct PosixComm::Port {
  int fd = -1;
  // The port side of a pseudo-terminal: what it "transmits" lands straight in
  // the far side's read buffer, so flushing its output would take back bytes
  // that on a real line have already gone.
  bool pty = false;
  int wake_fd = -1;  // kicks the event wait: AbortWait, Close, room in the buffer, writes
  int rx_fd = -1;    // wakes a Read blocked on the time-outs when the wait buffers bytes

  std::mutex mu;
  std::deque<std::uint8_t> rx;
  bool stopped = false;
  int gone = 0;  // error number once the device has vanished
  std::uint32_t mask = 0;
  std::uint32_t pending = 0;
  std::uint32_t errors = 0;
  CommState state;
  CommTimeouts timeouts;
  std::uint32_t in_size = 4096;
  std::uint32_t out_size = 4096;
  bool tx_unreported = false;  // written since the last EV_TXEMPTY
  bool rx80_reported = false;
  int readers_waiting = 0;
  bool have_icount = false;
  serial_icounter_struct icount{};

  ~Port() {
    if (wake_fd >= 0) close(wake_fd);
    if (rx_fd >= 0) close(rx_fd);
    if (fd >= 0) close(fd);
  }

  // Reads from the device into dst, dropping zero bytes when asked to. Returns
  // the count kept; marks the port gone on hang-up or error. Caller holds mu.
  std::size_t ReadDevice(std::uint8_t* dst, std::size_t n) {
    std::size_t kept = 0;
    while (kept < n && !gone) {
      ssize_t r = read(fd, dst + kept, n - kept);
      if (r < 0) {
        if (errno == EINTR) continue;
        if (errno != EAGAIN) gone = errno;
        break;
      }
      if (r == 0) {
        gone = EIO;
        break;
      }
      std::size_t got = static_cast<std::size_t>(r);
      if (state.Flags & kDcbNull) got = std::remove(dst + kept, dst + kept + got, 0) - (dst + kept);
      kept += got;
    }
    return kept;
  }

  // Moves what the device has received into the buffer and notes the events.
  void Fill() {
    std::uint8_t tmp[4096];
    for (;;) {
      std::size_t room = kRxCapacity - rx.size();
      if (room == 0 || gone) break;
      std::size_t got = ReadDevice(tmp, std::min(room, sizeof tmp));
      if (got == 0) break;
      rx.insert(rx.end(), tmp, tmp + got);
      pending |= EV_RXCHAR;
      if (std::find(tmp, tmp + got, static_cast<std::uint8_t>(state.EvtChar)) != tmp + got) pending |= EV_RXFLAG;
      if (readers_waiting > 0) Signal(rx_fd);
    }
    const bool full80 = rx.size() * 10 >= static_cast<std::size_t>(in_size) * 8;
    if (full80 && !rx80_reported) pending |= EV_RX80FULL;
    rx80_reported = full80;
  }

  // Hands out bytes the event wait has buffered; a full buffer that gets
  // room again lets the wait go on filling it.
  std::uint32_t TakeBuffered(std::uint8_t* dst, std::uint32_t n) {
    const std::size_t k = std::min<std::size_t>(rx.size(), n);
    const bool was_full = rx.size() == kRxCapacity;
    std::copy_n(rx.begin(), k, dst);
    rx.erase(rx.begin(), rx.begin() + static_cast<std::ptrdiff_t>(k));
    if (was_full && k > 0) Signal(wake_fd);
    return static_cast<std::uint32_t>(k);
  }

  // Line errors, breaks and modem-line changes from the driver's counters.
  void ReadCounters() {
    if (!have_icount) return;
    serial_icounter_struct now{};
    if (ioctl(fd, TIOCGICOUNT, &now) != 0) return;
    std::uint32_t fresh = 0;
    if (now.frame != icount.frame) fresh |= CE_FRAME;
    if (now.parity != icount.parity) fresh |= CE_RXPARITY;
    if (now.overrun != icount.overrun) fresh |= CE_OVERRUN;
    if (now.buf_overrun != icount.buf_overrun) fresh |= CE_RXOVER;
    if (fresh) pending |= EV_ERR;
    errors |= fresh;
    if (now.brk != icount.brk) {
      errors |= CE_BREAK;
      pending |= EV_BREAK;
    }
    if (now.cts != icount.cts) pending |= EV_CTS;
    if (now.dsr != icount.dsr) pending |= EV_DSR;
    if (now.rng != icount.rng) pending |= EV_RING;
    if (now.dcd != icount.dcd) pending |= EV_RLSD;
    icount = now;
  }

  // True while written bytes still wait in the kernel's transmit queue.
  bool TxDraining() {
    if (!tx_unreported) return false;
    int queued = 0;
    if (ioctl(fd, TIOCOUTQ, &queued) == 0 && queued > 0) return true;
    tx_unreported = false;
    pending |= EV_TXEMPTY;
    return false;
  }

  void NoteWritten(std::uint32_t n) {
    if (n == 0) return;
    std::lock_guard<std::mutex> lock(mu);
    tx_unreported = true;
    if (mask & EV_TXEMPTY) Signal(wake_fd);
  }
};

PosixComm::PosixComm() = default;
PosixComm::~PosixComm() = default;

std::shared_ptr<PosixComm::Port> PosixComm::Find(CommHandle h) {
  std::lock_guard<std::mutex> lock(mu_);
  auto it = ports_.find(h);
  return it == ports_.end() ? nullptr : it->second;
}

CommHandle PosixComm::Open(const std::string& name, int* error) {
  int dummy = 0;
  if (!error) error = &dummy;
  const std::string path = PortDevicePath(name);
  auto port = std::make_shared<Port>();
  port->fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (port->fd < 0) {
    *error = errno;
    return kInvalidCommHandle;
  }
  termios2 t{};
  if (ioctl(port->fd, TCGETS2, &t) != 0) {
    *error = errno;  // not a terminal
    return kInvalidCommHandle;
  }
  // TIOCEXCL does not keep root out; the advisory lock does.
  if (flock(port->fd, LOCK_EX | LOCK_NB) != 0) {
    *error = (errno == EWOULDBLOCK) ? EBUSY : errno;
    return kInvalidCommHandle;
  }
  ioctl(port->fd, TIOCEXCL);
  MakeRaw(t);
  if (ioctl(port->fd, TCSETS2, &t) != 0) {
    *error = errno;
    ioctl(port->fd, TIOCNXCL);
    return kInvalidCommHandle;
  }
  struct stat st {};
  // Unix98 pseudo-terminal slaves have majors 136 to 143.
  port->pty = fstat(port->fd, &st) == 0 && S_ISCHR(st.st_mode) && major(st.st_rdev) >= 136 &&
              major(st.st_rdev) <= 143;
  ioctl(port->fd, TCFLSH, port->pty ? TCIFLUSH : TCIOFLUSH);
  port->wake_fd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  port->rx_fd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (port->wake_fd < 0 || port->rx_fd < 0) {
    *error = errno;
    ioctl(port->fd, TIOCNXCL);
    return kInvalidCommHandle;
  }
  port->state = StateFromTermios(t);
  port->have_icount = ioctl(port->fd, TIOCGICOUNT, &port->icount) == 0;
  std::lock_guard<std::mutex> lock(mu_);
  ports_[port->fd] = port;
  *error = 0;
  return port->fd;
}

int PosixComm::Close(CommHandle h) {
  std::shared_ptr<Port> port;
  {
    std::lock_guard<std::mutex> lock(mu_);
    auto it = ports_.find(h);
    if (it == ports_.end()) return EBADF;
    port = it->second;
    ports_.erase(it);
  }
  std::lock_guard<std::mutex> lock(port->mu);
  port->stopped = true;
  Signal(port->wake_fd);
  // Released now so the port can be opened again at once; the descriptor
  // itself goes with the last user (an event wait may still be leaving).
  ioctl(port->fd, TIOCNXCL);
  flock(port->fd, LOCK_UN);
  return 0;
}

int PosixComm::SetupComm(CommHandle h, std::uint32_t in_size, std::uint32_t out_size) {
  auto port = Find(h);
  if (!port) return EBADF;
  std::lock_guard<std::mutex> lock(port->mu);
  port->in_size = std::max<std::uint32_t>(in_size, 1);
  port->out_size = std::max<std::uint32_t>(out_size, 1);
  return 0;
}

int PosixComm::GetCommState(CommHandle h, CommState* state) {
  auto port = Find(h);
  if (!port) return EBADF;
  std::lock_guard<std::mutex> lock(port->mu);
  *state = port->state;
  return 0;
}

int PosixComm::SetCommState(CommHandle h, const CommState& state) {
  auto port = Find(h);
  if (!port) return EBADF;
  std::lock_guard<std::mutex> lock(port->mu);
  termios2 t{};
  if (ioctl(port->fd, TCGETS2, &t) != 0) return errno;
  if (!TermiosFromState(state, t)) return EINVAL;
  if (ioctl(port->fd, TCSETS2, &t) != 0) return errno;
  const std::uint32_t dtr = state.Flags & kDcbDtrControlMask;
  const std::uint32_t rts = state.Flags & kDcbRtsControlMask;
  // Handshake and toggle modes the kernel has no line control for keep the line raised.
  int rc = ModemLines(port->fd, dtr ? TIOCMBIS : TIOCMBIC, TIOCM_DTR);
  if (rc == 0 && rts != kDcbRtsHandshake) rc = ModemLines(port->fd, rts ? TIOCMBIS : TIOCMBIC, TIOCM_RTS);
  if (rc != 0) return rc;
  port->state = state;
  return 0;
}

int PosixComm::GetCommTimeouts(CommHandle h, CommTimeouts* timeouts) {
  auto port = Find(h);
  if (!port) return EBADF;
  std::lock_guard<std::mutex> lock(port->mu);
  *timeouts = port->timeouts;
  return 0;
}

int PosixComm::SetCommTimeouts(CommHandle h, const CommTimeouts& timeouts) {
  auto port = Find(h);
  if (!port) return EBADF;
  std::lock_guard<std::mutex> lock(port->mu);
  port->timeouts = timeouts;
  return 0;
}

int PosixComm::SetCommMask(CommHandle h, std::uint32_t mask) {
  auto port = Find(h);
  if (!port) return EBADF;
  std::lock_guard<std::mutex> lock(port->mu);
  port->mask = mask;
  port->pending &= mask;
  Signal(port->wake_fd);
  return 0;
}

int PosixComm::WaitCommEvent(CommHandle h, std::uint32_t* events) {
  auto port = Find(h);
  if (!port) return EBADF;
  *events = 0;
  bool hung_up = false;
  for (;;) {
    pollfd fds[2] = {{port->wake_fd, POLLIN, 0}, {port->fd, 0, 0}};
    int timeout = -1;
    {
      std::lock_guard<std::mutex> lock(port->mu);
      if (port->stopped) return kCommStopped;
      const std::size_t before = port->rx.size();
      port->Fill();
      // A hang-up that leaves nothing to read is the device going away; some
      // drivers report it without failing the read.
      if (hung_up && port->rx.size() == before && !port->gone) port->gone = EIO;
      port->ReadCounters();
      if ((port->mask & EV_TXEMPTY) && port->TxDraining()) timeout = kTxEmptyRecheckMs;
      const std::uint32_t ev = port->pending & port->mask;
      port->pending = 0;
      if (ev) {
        *events = ev;
        return 0;
      }
      if (port->gone) return port->gone;
      if (port->rx.size() < kRxCapacity) fds[1].events = POLLIN;
    }
    int r = poll(fds, 2, timeout);
    if (r < 0 && errno != EINTR) return errno;
    if (r > 0 && (fds[0].revents & POLLIN)) Drain(port->wake_fd);
    if (r > 0 && (fds[1].revents & POLLNVAL)) return EBADF;
    hung_up = r > 0 && (fds[1].revents & (POLLHUP | POLLERR));
  }
}

int PosixComm::AbortWait(CommHandle h) {
  auto port = Find(h);
  if (!port) return EBADF;
  std::lock_guard<std::mutex> lock(port->mu);
  port->stopped = true;
  Signal(port->wake_fd);
  return 0;
}

int PosixComm::Read(CommHandle h, void* data, std::uint32_t n, std::uint32_t* got) {
  auto port = Find(h);
  *got = 0;
  if (!port) return EBADF;
  auto* out = static_cast<std::uint8_t*>(data);
  CommTimeouts t;
  {
    std::lock_guard<std::mutex> lock(port->mu);
    t = port->timeouts;
  }
  const bool at_once = t.ReadIntervalTimeout == kCommMaxDword && t.ReadTotalTimeoutMultiplier == 0 &&
                       t.ReadTotalTimeoutConstant == 0;
  // Maximum interval and multiplier with a constant: wait that long for a first byte only.
  const bool first_only = t.ReadIntervalTimeout == kCommMaxDword &&
                          t.ReadTotalTimeoutMultiplier == kCommMaxDword && t.ReadTotalTimeoutConstant > 0 &&
                          t.ReadTotalTimeoutConstant < kCommMaxDword;
  std::int64_t total_ms = first_only ? t.ReadTotalTimeoutConstant
                                     : static_cast<std::int64_t>(t.ReadTotalTimeoutMultiplier) * n +
                                           t.ReadTotalTimeoutConstant;
  const std::int64_t start = NowMs();
  const std::int64_t total_deadline = total_ms > 0 ? start + total_ms : -1;
  const std::int64_t interval =
      (t.ReadIntervalTimeout == 0 || t.ReadIntervalTimeout == kCommMaxDword) ? -1 : t.ReadIntervalTimeout;
  std::int64_t last_byte = start;
  for (;;) {
    {
      std::lock_guard<std::mutex> lock(port->mu);
      std::uint32_t before = *got;
      *got += port->TakeBuffered(out + *got, n - *got);
      if (*got < n) *got += static_cast<std::uint32_t>(port->ReadDevice(out + *got, n - *got));
      if (*got > before) last_byte = NowMs();
      if (*got == 0 && port->gone) return port->gone;
      if (*got == n || at_once || (first_only && *got > 0) || port->gone) return 0;
      ++port->readers_waiting;
    }
    std::int64_t deadline = total_deadline;
    if (interval > 0 && *got > 0) deadline = deadline < 0 ? last_byte + interval : std::min(deadline, last_byte + interval);
    const int timeout = PollTimeout(deadline);
    int r = 0;
    if (timeout != 0) {
      pollfd fds[2] = {{port->fd, POLLIN, 0}, {port->rx_fd, POLLIN, 0}};
      r = poll(fds, 2, timeout);
      if (r > 0 && (fds[1].revents & POLLIN)) Drain(port->rx_fd);
    }
    {
      std::lock_guard<std::mutex> lock(port->mu);
      --port->readers_waiting;
    }
    if (timeout == 0 || r == 0) {
      // Out of time: take what arrived at the last moment, then return.
      std::lock_guard<std::mutex> lock(port->mu);
      *got += port->TakeBuffered(out + *got, n - *got);
      return 0;
    }
  }
}

// Writes as the time-outs allow (wait) or what the transmit queue takes now.
int PosixComm::WriteOut(CommHandle h, const void* data, std::uint32_t n, std::uint32_t* written, bool wait) {
  auto port = Find(h);
  *written = 0;
  if (!port) return EBADF;
  CommTimeouts t;
  {
    std::lock_guard<std::mutex> lock(port->mu);
    if (port->gone) return port->gone;
    t = port->timeouts;
  }
  const std::int64_t total = static_cast<std::int64_t>(t.WriteTotalTimeoutMultiplier) * n + t.WriteTotalTimeoutConstant;
  const std::int64_t deadline = !wait ? 0 : total > 0 ? NowMs() + total : -1;
  const auto* in = static_cast<const std::uint8_t*>(data);
  int rc = 0;
  while (*written < n) {
    ssize_t r = write(port->fd, in + *written, n - *written);
    if (r > 0) {
      *written += static_cast<std::uint32_t>(r);
      continue;
    }
    if (r < 0 && errno == EINTR) continue;
    if (r < 0 && errno != EAGAIN) {
      rc = errno;
      break;
    }
    const int timeout = PollTimeout(deadline);
    if (timeout == 0) {
      // Out of time: a smaller count is the answer; without waiting, EAGAIN says so.
      if (!wait) rc = EAGAIN;
      break;
    }
    pollfd fd{port->fd, POLLOUT, 0};
    if (poll(&fd, 1, timeout) < 0 && errno != EINTR) {
      rc = errno;
      break;
    }
    if (fd.revents & (POLLHUP | POLLERR | POLLNVAL)) {
      rc = EIO;
      break;
    }
  }
  // A write is done when its bytes have left: a driver's last byte (an EOT)
  // must not be caught by the purge of the close that follows it.
  if (wait && rc == 0) {
    const std::int64_t drain_deadline = deadline >= 0 ? deadline : NowMs() + kDrainLimitMs;
    int queued = 0;
    while (ioctl(port->fd, TIOCOUTQ, &queued) == 0 && queued > 0 && NowMs() < drain_deadline)
      usleep(1000);
  }
  port->NoteWritten(*written);
  if (rc != 0 && rc != EAGAIN) {
    std::lock_guard<std::mutex> lock(port->mu);
    if (!port->gone) port->gone = rc;
  }
  return rc;
}

int PosixComm::Write(CommHandle h, const void* data, std::uint32_t n, std::uint32_t* written) {
  return WriteOut(h, data, n, written, true);
}

int PosixComm::WriteNoWait(CommHandle h, const void* data, std::uint32_t n, std::uint32_t* written) {
  return WriteOut(h, data, n, written, false);
}

int PosixComm::TransmitCommChar(CommHandle h, char c) {
  std::uint32_t written = 0;
  return WriteNoWait(h, &c, 1, &written);
}

int PosixComm::ClearCommError(CommHandle h, std::uint32_t* errors, CommStat* stat) {
  auto port = Find(h);
  if (!port) return EBADF;
  std::lock_guard<std::mutex> lock(port->mu);
  if (port->gone) return port->gone;
  port->ReadCounters();
  if (errors) *errors = port->errors;
  port->errors = 0;
  if (stat) {
    int in_kernel = 0, out_kernel = 0;
    if (ioctl(port->fd, FIONREAD, &in_kernel) != 0) in_kernel = 0;
    if (ioctl(port->fd, TIOCOUTQ, &out_kernel) != 0) out_kernel = 0;
    stat->cbInQue = static_cast<std::uint32_t>(port->rx.size() + std::max(in_kernel, 0));
    stat->cbOutQue = static_cast<std::uint32_t>(std::max(out_kernel, 0));
  }
  return 0;
}

int PosixComm::PurgeComm(CommHandle h, std::uint32_t flags) {
  auto port = Find(h);
  if (!port) return EBADF;
  std::lock_guard<std::mutex> lock(port->mu);
  // Transfers are never left pending here, so there is nothing to abort.
  if (flags & PURGE_RXCLEAR) {
    port->rx.clear();
    port->rx80_reported = false;
    if (ioctl(port->fd, TCFLSH, TCIFLUSH) != 0 && !ModemIoctlUnsupported(errno)) return errno;
  }
  if ((flags & PURGE_TXCLEAR) && !port->pty) {
    if (ioctl(port->fd, TCFLSH, TCOFLUSH) != 0 && !ModemIoctlUnsupported(errno)) return errno;
  }
  return 0;
}

int PosixComm::GetCommModemStatus(CommHandle h, std::uint32_t* status) {
  auto port = Find(h);
  if (!port) return EBADF;
  *status = 0;
  int bits = 0;
  if (ioctl(port->fd, TIOCMGET, &bits) != 0) return ModemIoctlUnsupported(errno) ? 0 : errno;
  if (bits & TIOCM_CTS) *status |= MS_CTS_ON;
  if (bits & TIOCM_DSR) *status |= MS_DSR_ON;
  if (bits & TIOCM_RNG) *status |= MS_RING_ON;
  if (bits & TIOCM_CD) *status |= MS_RLSD_ON;
  return 0;
}

int PosixComm::EscapeCommFunction(CommHandle h, std::uint32_t function) {
  auto port = Find(h);
  if (!port) return EBADF;
  switch (function) {
    case SETDTR: return ModemLines(port->fd, TIOCMBIS, TIOCM_DTR);
    case CLRDTR: return ModemLines(port->fd, TIOCMBIC, TIOCM_DTR);
    case SETRTS: return ModemLines(port->fd, TIOCMBIS, TIOCM_RTS);
    case CLRRTS: return ModemLines(port->fd, TIOCMBIC, TIOCM_RTS);
    case SETBREAK:
      if (ioctl(port->fd, TIOCSBRK) != 0 && !ModemIoctlUnsupported(errno)) return errno;
      return 0;
    case CLRBREAK:
      if (ioctl(port->fd, TIOCCBRK) != 0 && !ModemIoctlUnsupported(errno)) return errno;
      return 0;
    default: return EINVAL;
  }
}

int PosixComm::GetCommProperties(CommHandle h, CommProperties* props) {
  auto port = Find(h);
  if (!port) return EBADF;
  std::lock_guard<std::mutex> lock(port->mu);
  // A terminal device cannot tell its transmit queue's size: report none.
  *props = CommProperties{};
  props->dwCurrentRxQueue = port->in_size;
  return 0;
}

CommApi& SystemComm() {
  static PosixComm comm;
  return comm;
}

}  // namespace tarvina
