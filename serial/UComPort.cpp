#include "serial/UComPort.h"

#include <cerrno>

#include "platform/MainLoop.h"

namespace tarvina {

namespace {
// A line whose far side never drains must not grow this without limit.
constexpr std::size_t kMaxPending = 64 * 1024;
constexpr Millis kCommandPauseMs = 20;
constexpr Millis kResetPauseMs = 2000;
ComConfigDialog& ConfigDialog() {
  static ComConfigDialog dialog;
  return dialog;
}
}  // namespace

void SetComConfigDialog(ComConfigDialog dialog) { ConfigDialog() = std::move(dialog); }

// ---------------------------------------------------------------- tEventTask

tEventTask::tEventTask(tComPort* aOwner) : ThreadOwner(aOwner) {}

tEventTask::~tEventTask() {
  Terminate();
  WaitFor();
}

void tEventTask::Start() {
  if (thread_.joinable() || ThreadOwner == nullptr) return;
  finished_ = false;
  thread_ = std::thread([this] { Execute(); });
}

void tEventTask::Terminate() {
  terminated_ = true;
  if (ThreadOwner && ThreadHandle != kInvalidCommHandle && thread_.joinable())
    ThreadOwner->Comm().AbortWait(ThreadHandle);
}

void tEventTask::WaitFor() {
  if (!thread_.joinable()) return;
  MainLoop& loop = ThreadOwner->Loop();
  if (loop.IsMainThread()) loop.WaitUntil([this] { return finished_.load(); }, MainLoop::Interrupts::kLeave);
  thread_.join();
}

void tEventTask::Execute() {
  MainLoop& loop = ThreadOwner->Loop();
  CommApi& comm = ThreadOwner->Comm();
  while (!terminated_) {
    std::uint32_t events = 0;
    // A failed wait ends the thread: the device is gone or the wait was
    // stopped, and every later wait would fail at once, spinning a core.
    if (comm.WaitCommEvent(ThreadHandle, &events) != 0) break;
    if (terminated_) break;
    eventmask = events;
    try {
      loop.Synchronize([this] { Transfer(); });
    } catch (...) {
      // The loop has closed, or a handler threw: the thread ends; the line
      // stays as it is.
      break;
    }
  }
  finished_ = true;
  loop.Wake();
}

void tEventTask::Transfer() {
  if (ThreadOwner) ThreadOwner->ThreadCallBack(eventmask);
}

// ------------------------------------------------------------------ tComPort

tComPort::tComPort(MainLoop& loop, CommApi& comm) : loop_(loop), comm_(comm) {}

tComPort::~tComPort() { closeLine(); }

std::string tComPort::DeviceName(tPort port) {
  if (port < Com1 || port > Com9) return "";
  std::string name = "COM1:";
  name[3] = static_cast<char>('1' + static_cast<int>(port));
  return name;
}

int tComPort::OpenLine() {
  if (IsOpen()) return tser_LineOpen;
  const std::string name = DeviceName(fCP);
  // An index past Com9 builds a name that is no port; it is refused here
  // rather than handed to the platform as a path of its own.
  if (name.empty()) return tser_error;
  int error = 0;
  CommHandle h = comm_.Open(name, &error);
  if (h == kInvalidCommHandle) return tser_error;
  hFile = h;
  setComPort();  // the line opens even when the port rejects the settings
  comm_.SetCommTimeouts(hFile, fTimeOuts);
  comm_.SetCommMask(hFile, kComPortEventMask);
  CommProperties props;
  if (comm_.GetCommProperties(hFile, &props) != 0) return tser_error;
  fOB = props.dwCurrentTxQueue;
  return tser_ok;
}

int tComPort::closeLine() {
  if (!IsOpen()) return tser_LineClosed;
  comm_.SetCommMask(hFile, 0);
  comm_.Close(hFile);
  hFile = kInvalidCommHandle;
  pending_.clear();
  return tser_ok;
}

int tComPort::setComPort() {
  if (!IsOpen()) return tser_LineClosed;
  CommState dcb;
  if (comm_.GetCommState(hFile, &dcb) != 0) return tser_error;
  const int bd = static_cast<int>(fBD);
  // An out-of-range speed index keeps the port's speed rather than reading
  // past the table.
  if (bd >= 0 && bd < static_cast<int>(std::size(baudrates))) dcb.BaudRate = baudrates[bd];
  dcb.Parity = static_cast<std::uint8_t>(fPr);
  dcb.ByteSize = static_cast<std::uint8_t>(static_cast<int>(fDB) + 4);
  dcb.StopBits = static_cast<std::uint8_t>(fSB);
  return comm_.SetCommState(hFile, dcb);
}

void tComPort::setSB(tStopBits v) {
  fSB = v;
  setComPort();
}

void tComPort::setDB(tDataBits v) {
  fDB = v;
  setComPort();
}

void tComPort::setBD(tBaudRate v) {
  fBD = v;
  setComPort();
}

void tComPort::setPr(tParity v) {
  fPr = v;
  setComPort();
}

void tComPort::setCP(tPort v) {
  fCP = v;
  setComPort();
}

bool tComPort::FlushPending() {
  if (pending_.empty()) return true;
  std::uint32_t written = 0;
  comm_.WriteNoWait(hFile, pending_.data(), static_cast<std::uint32_t>(pending_.size()), &written);
  pending_.erase(pending_.begin(), pending_.begin() + std::min<std::size_t>(written, pending_.size()));
  return pending_.empty();
}

int tComPort::xmit(const void* data, std::uint16_t datalen) {
  if (!IsOpen()) return tser_LineClosed;
  std::uint32_t errors = 0;
  CommStat stat;
  comm_.ClearCommError(hFile, &errors, &stat);
  // No room: the transmit queue, with what is already waiting here, would go
  // past its size. A port that cannot tell its size (fOB 0) always writes.
  const std::int64_t room = static_cast<std::int64_t>(fOB) - stat.cbOutQue - static_cast<std::int64_t>(pending_.size()) -
                            static_cast<std::int64_t>(datalen);
  if (fOB > 0 && room < 0) return tser_OutOfBuffer;

  const auto* bytes = static_cast<const std::uint8_t*>(data);
  if (!FlushPending()) {
    if (pending_.size() + datalen > kMaxPending) return tser_error;
    pending_.insert(pending_.end(), bytes, bytes + datalen);
    return tser_error;  // still pending: it goes out once the line takes it
  }
  std::uint32_t written = 0;
  const int rc = comm_.WriteNoWait(hFile, data, datalen, &written);
  if (rc == 0) return static_cast<int>(written);
  if (rc == EAGAIN && written < datalen && datalen - written <= kMaxPending)
    pending_.insert(pending_.end(), bytes + written, bytes + datalen);
  return tser_error;
}

int tComPort::recv(void* data, std::uint16_t datalen) {
  if (!IsOpen()) return tser_LineClosed;
  FlushPending();
  std::uint32_t got = 0;
  recv_error_ = comm_.Read(hFile, data, datalen, &got);
  if (recv_error_ != 0) return -1;
  return static_cast<int>(got);
}

int tComPort::GetInBound() {
  if (!IsOpen()) return tser_LineClosed;
  std::uint32_t errors = 0;
  CommStat stat;
  if (comm_.ClearCommError(hFile, &errors, &stat) != 0) return tser_error;
  return static_cast<int>(stat.cbInQue);
}

std::uint32_t tComPort::getSendBufferFree() {
  if (!IsOpen()) return 0;
  std::uint32_t errors = 0;
  CommStat stat;
  comm_.ClearCommError(hFile, &errors, &stat);
  // A port without a known queue size, or one fuller than it says it can be,
  // has no free room to report rather than a wrapped-around count.
  return stat.cbOutQue >= fOB ? 0 : fOB - stat.cbOutQue;
}

bool tComPort::Command(const std::string& aCmd) {
  if (!IsOpen()) return false;
  bool sent = false;
  for (char c : aCmd) {
    if (comm_.TransmitCommChar(hFile, c) != 0) return false;
    sent = true;
    loop_.clock().SleepMs(kCommandPauseMs);
  }
  return sent;
}

bool tComPort::ExecConfigDialog() {
  const ComConfigDialog& dialog = ConfigDialog();
  if (!dialog) return false;
  try {
    int port = fCP, baud = fBD;
    if (!dialog(loop_, port, baud)) return false;
    // A dialog gives what its lists hold; anything else is no choice.
    if (port < Com1 || port > Com9 || baud < b____300 || baud > b_115200) return false;
    fCP = static_cast<tPort>(port);
    fBD = static_cast<tBaudRate>(baud);
    return true;
  } catch (...) {
    return false;
  }
}

void tComPort::Com_Reset() {
  if (IsOpen()) comm_.EscapeCommFunction(hFile, CLRDTR);
  bool elapsed = false;
  Timer pause(loop_, kResetPauseMs);
  pause.OnTimer = [&elapsed] { elapsed = true; };
  pause.SetEnabled(true);
  loop_.WaitUntil([&elapsed] { return elapsed; });
  // Something run during the pause may have closed the line.
  if (IsOpen()) comm_.EscapeCommFunction(hFile, SETDTR);
}

void tComPort::ThreadCallBack(std::uint32_t eventmask) {
  if ((eventmask & EV_RING) && fOnRing) fOnRing(*this);
  if ((eventmask & EV_RLSD) && fOnConnect) fOnConnect(*this);
  if ((eventmask & EV_RXCHAR) && fOnDataAvail) {
    std::uint32_t errors = 0;
    CommStat stat;
    comm_.ClearCommError(hFile, &errors, &stat);
    fOnDataAvail(*this, static_cast<int>(stat.cbInQue));
  }
}

}  // namespace tarvina
