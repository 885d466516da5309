#include "tests/support/FakeComm.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <stdexcept>

#include "platform/MainLoop.h"

namespace tarvina {

namespace {

std::string Hex(std::uint32_t v, int digits = 4) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "0x%0*X", digits, v);
  return buf;
}

}  // namespace

FakeComm::FakeComm() {
  state_.BaudRate = 9600;
  state_.ByteSize = 8;
  state_.Flags = kDcbBinary;
}

FakeComm::FakeComm(MainLoop& loop) : FakeComm() {
  loop_ = &loop;
  probe_id_ = loop.AddIdleProbe([this] { return Idle(); });
}

FakeComm::~FakeComm() {
  if (loop_) loop_->RemoveIdleProbe(probe_id_);
  timers_.clear();
}

std::string FakeComm::FormatState(const CommState& s) {
  return "baud=" + std::to_string(s.BaudRate) + " size=" + std::to_string(s.ByteSize) +
         " parity=" + std::to_string(s.Parity) + " stop=" + std::to_string(s.StopBits) +
         " flags=" + Hex(s.Flags) + " xonlim=" + std::to_string(s.XonLim) +
         " xofflim=" + std::to_string(s.XoffLim) +
         " xon=" + std::to_string(static_cast<unsigned char>(s.XonChar)) +
         " xoff=" + std::to_string(static_cast<unsigned char>(s.XoffChar)) +
         " error=" + std::to_string(static_cast<unsigned char>(s.ErrorChar)) +
         " eof=" + std::to_string(static_cast<unsigned char>(s.EofChar)) +
         " evt=" + std::to_string(static_cast<unsigned char>(s.EvtChar));
}

bool FakeComm::Idle() const {
  std::lock_guard<std::mutex> lock(mu_);
  if (in_flight_) return false;
  const bool waiter = handle_ != kInvalidCommHandle && mask_ != 0 && expect_waiter_;
  return !(waiter && (stopped_ || gone_ != 0 || (pending_ & mask_) != 0));
}

int FakeComm::Enter(const std::string& call, const std::string& args, CommHandle h, bool check_handle) {
  calls_.push_back(args.empty() ? call : call + " " + args);
  is_wait_.push_back(call == "WaitCommEvent");
  auto it = failures_.find(call);
  if (it != failures_.end()) {
    int error = it->second.first;
    if (it->second.second > 0 && --it->second.second == 0) failures_.erase(it);
    return error;
  }
  if (check_handle && (h == kInvalidCommHandle || h != handle_)) return EBADF;
  return 0;
}

// --- the far side ---

void FakeComm::Deliver(const Bytes& bytes) {
  std::lock_guard<std::mutex> lock(mu_);
  if (handle_ == kInvalidCommHandle || bytes.empty()) return;
  rx_.insert(rx_.end(), bytes.begin(), bytes.end());
  pending_ |= EV_RXCHAR;
  if (std::find(bytes.begin(), bytes.end(), static_cast<std::uint8_t>(state_.EvtChar)) != bytes.end())
    pending_ |= EV_RXFLAG;
  cv_.notify_all();
}

void FakeComm::DeliverText(const std::string& text) { Deliver(Bytes(text.begin(), text.end())); }

void FakeComm::DeliverAfter(Millis delay_ms, const Bytes& bytes) {
  if (!loop_) throw std::logic_error("FakeComm::DeliverAfter needs the MainLoop constructor");
  auto timer = std::make_unique<Timer>(*loop_, std::max<Millis>(delay_ms, 1));
  timer->OnTimer = [this, bytes] { Deliver(bytes); };
  timer->SetEnabled(true);
  timers_.push_back(std::move(timer));
}

void FakeComm::RaiseEvents(std::uint32_t events) {
  std::lock_guard<std::mutex> lock(mu_);
  if (handle_ == kInvalidCommHandle) return;
  pending_ |= events;
  cv_.notify_all();
}

void FakeComm::SetLineErrors(std::uint32_t ce_flags) {
  std::lock_guard<std::mutex> lock(mu_);
  line_errors_ |= ce_flags;
  if (handle_ != kInvalidCommHandle) pending_ |= EV_ERR;
  cv_.notify_all();
}

void FakeComm::SetModemStatus(std::uint32_t ms_flags) {
  std::lock_guard<std::mutex> lock(mu_);
  modem_ = ms_flags;
}

void FakeComm::SetWriteAccept(std::size_t n) {
  std::lock_guard<std::mutex> lock(mu_);
  write_accept_ = n;
}

void FakeComm::SetTxQueue(std::uint32_t waiting, std::uint32_t size) {
  std::lock_guard<std::mutex> lock(mu_);
  tx_waiting_ = waiting;
  tx_size_ = size;
}

void FakeComm::Vanish(int error) {
  std::lock_guard<std::mutex> lock(mu_);
  gone_ = error;
  cv_.notify_all();
}

void FakeComm::SetExpectWaiter(bool on) {
  std::lock_guard<std::mutex> lock(mu_);
  expect_waiter_ = on;
}

void FakeComm::FailNext(const std::string& call, int error, int times) {
  std::lock_guard<std::mutex> lock(mu_);
  failures_[call] = {error, times};
}

// --- what happened ---

std::vector<std::string> FakeComm::Log() const {
  std::lock_guard<std::mutex> lock(mu_);
  std::vector<std::string> out;
  for (std::size_t i = 0; i < calls_.size(); ++i)
    if (!is_wait_[i]) out.push_back(calls_[i]);
  return out;
}

std::vector<std::string> FakeComm::Calls() const {
  std::lock_guard<std::mutex> lock(mu_);
  return calls_;
}

void FakeComm::ClearLog() {
  std::lock_guard<std::mutex> lock(mu_);
  calls_.clear();
  is_wait_.clear();
  states_.clear();
}

int FakeComm::Count(const std::string& call) const {
  std::lock_guard<std::mutex> lock(mu_);
  int n = 0;
  for (const auto& c : calls_)
    if (c == call || c.rfind(call + " ", 0) == 0) ++n;
  return n;
}

std::vector<CommState> FakeComm::States() const {
  std::lock_guard<std::mutex> lock(mu_);
  return states_;
}

CommTimeouts FakeComm::Timeouts() const {
  std::lock_guard<std::mutex> lock(mu_);
  return timeouts_;
}

FakeComm::Bytes FakeComm::Written() const {
  std::lock_guard<std::mutex> lock(mu_);
  return written_;
}

FakeComm::Bytes FakeComm::TakeWritten() {
  std::lock_guard<std::mutex> lock(mu_);
  Bytes out;
  out.swap(written_);
  return out;
}

std::size_t FakeComm::InQueue() const {
  std::lock_guard<std::mutex> lock(mu_);
  return rx_.size();
}

bool FakeComm::IsOpen() const {
  std::lock_guard<std::mutex> lock(mu_);
  return handle_ != kInvalidCommHandle;
}

// --- CommApi ---

CommHandle FakeComm::Open(const std::string& name, int* error) {
  std::lock_guard<std::mutex> lock(mu_);
  int dummy = 0;
  if (!error) error = &dummy;
  *error = Enter("Open", name, kInvalidCommHandle, false);
  if (*error == 0 && handle_ != kInvalidCommHandle) *error = EBUSY;
  if (*error != 0) return kInvalidCommHandle;
  handle_ = next_handle_++;
  rx_.clear();
  pending_ = 0;
  mask_ = 0;
  line_errors_ = 0;
  stopped_ = false;
  in_flight_ = false;
  gone_ = 0;
  return handle_;
}

int FakeComm::Close(CommHandle h) {
  std::lock_guard<std::mutex> lock(mu_);
  if (int e = Enter("Close", "", h)) return e;
  handle_ = kInvalidCommHandle;
  stopped_ = true;
  in_flight_ = false;
  rx_.clear();
  cv_.notify_all();
  return 0;
}

int FakeComm::SetupComm(CommHandle h, std::uint32_t in_size, std::uint32_t out_size) {
  std::lock_guard<std::mutex> lock(mu_);
  return Enter("SetupComm", std::to_string(in_size) + " " + std::to_string(out_size), h);
}

int FakeComm::GetCommState(CommHandle h, CommState* state) {
  std::lock_guard<std::mutex> lock(mu_);
  if (int e = Enter("GetCommState", "", h)) return e;
  *state = state_;
  return 0;
}

int FakeComm::SetCommState(CommHandle h, const CommState& state) {
  std::lock_guard<std::mutex> lock(mu_);
  states_.push_back(state);
  if (int e = Enter("SetCommState", FormatState(state), h)) return e;
  state_ = state;
  return 0;
}

int FakeComm::GetCommTimeouts(CommHandle h, CommTimeouts* timeouts) {
  std::lock_guard<std::mutex> lock(mu_);
  if (int e = Enter("GetCommTimeouts", "", h)) return e;
  *timeouts = timeouts_;
  return 0;
}

int FakeComm::SetCommTimeouts(CommHandle h, const CommTimeouts& t) {
  std::lock_guard<std::mutex> lock(mu_);
  const std::string args = std::to_string(t.ReadIntervalTimeout) + " " + std::to_string(t.ReadTotalTimeoutMultiplier) +
                           " " + std::to_string(t.ReadTotalTimeoutConstant) + " " +
                           std::to_string(t.WriteTotalTimeoutMultiplier) + " " +
                           std::to_string(t.WriteTotalTimeoutConstant);
  if (int e = Enter("SetCommTimeouts", args, h)) return e;
  timeouts_ = t;
  return 0;
}

int FakeComm::SetCommMask(CommHandle h, std::uint32_t mask) {
  std::lock_guard<std::mutex> lock(mu_);
  // A thread that clears the mask is leaving its wait loop.
  if (mask == 0) in_flight_ = false;
  if (int e = Enter("SetCommMask", Hex(mask), h)) return e;
  mask_ = mask;
  pending_ &= mask;
  cv_.notify_all();
  return 0;
}

int FakeComm::WaitCommEvent(CommHandle h, std::uint32_t* events) {
  std::unique_lock<std::mutex> lock(mu_);
  *events = 0;
  in_flight_ = false;
  if (int e = Enter("WaitCommEvent", "", h)) {
    in_flight_ = true;
    return e;
  }
  cv_.wait(lock, [&] { return stopped_ || gone_ != 0 || (pending_ & mask_) != 0; });
  in_flight_ = true;
  if (stopped_) return kCommStopped;
  if (pending_ & mask_) {
    *events = pending_ & mask_;
    pending_ = 0;
    return 0;
  }
  return gone_;
}

int FakeComm::AbortWait(CommHandle h) {
  std::lock_guard<std::mutex> lock(mu_);
  if (int e = Enter("AbortWait", "", h)) return e;
  stopped_ = true;
  cv_.notify_all();
  return 0;
}

int FakeComm::Read(CommHandle h, void* data, std::uint32_t n, std::uint32_t* got) {
  std::lock_guard<std::mutex> lock(mu_);
  *got = 0;
  if (int e = Enter("Read", std::to_string(n), h)) return e;
  const std::size_t k = std::min<std::size_t>(n, rx_.size());
  if (k == 0 && gone_) return gone_;
  std::copy_n(rx_.begin(), k, static_cast<std::uint8_t*>(data));
  rx_.erase(rx_.begin(), rx_.begin() + static_cast<std::ptrdiff_t>(k));
  *got = static_cast<std::uint32_t>(k);
  return 0;
}

int FakeComm::DoWrite(const char* call, CommHandle h, const void* data, std::uint32_t n, std::uint32_t* written) {
  Bytes took;
  int rc = 0;
  {
    std::lock_guard<std::mutex> lock(mu_);
    *written = 0;
    if (int e = Enter(call, std::to_string(n), h)) return e;
    if (gone_) return gone_;
    const auto* in = static_cast<const std::uint8_t*>(data);
    took.assign(in, in + std::min<std::size_t>(n, write_accept_));
    written_.insert(written_.end(), took.begin(), took.end());
    *written = static_cast<std::uint32_t>(took.size());
    if (took.size() < n && std::string(call) == "WriteNoWait") rc = EAGAIN;
    if (!took.empty() && (mask_ & EV_TXEMPTY)) {
      pending_ |= EV_TXEMPTY;
      cv_.notify_all();
    }
  }
  if (!took.empty() && OnWrite) OnWrite(took);
  return rc;
}

int FakeComm::Write(CommHandle h, const void* data, std::uint32_t n, std::uint32_t* written) {
  return DoWrite("Write", h, data, n, written);
}

int FakeComm::WriteNoWait(CommHandle h, const void* data, std::uint32_t n, std::uint32_t* written) {
  return DoWrite("WriteNoWait", h, data, n, written);
}

int FakeComm::TransmitCommChar(CommHandle h, char c) {
  {
    std::lock_guard<std::mutex> lock(mu_);
    if (int e = Enter("TransmitCommChar", Hex(static_cast<unsigned char>(c), 2), h)) return e;
    if (gone_) return gone_;
    written_.push_back(static_cast<std::uint8_t>(c));
  }
  if (OnWrite) OnWrite(Bytes{static_cast<std::uint8_t>(c)});
  return 0;
}

int FakeComm::ClearCommError(CommHandle h, std::uint32_t* errors, CommStat* stat) {
  std::lock_guard<std::mutex> lock(mu_);
  if (int e = Enter("ClearCommError", "", h)) return e;
  if (gone_) return gone_;
  if (errors) *errors = line_errors_;
  line_errors_ = 0;
  if (stat) {
    stat->cbInQue = static_cast<std::uint32_t>(rx_.size());
    stat->cbOutQue = tx_waiting_;
  }
  return 0;
}

int FakeComm::PurgeComm(CommHandle h, std::uint32_t flags) {
  std::lock_guard<std::mutex> lock(mu_);
  if (int e = Enter("PurgeComm", Hex(flags), h)) return e;
  if (flags & PURGE_RXCLEAR) rx_.clear();
  if (flags & PURGE_TXCLEAR) tx_waiting_ = 0;
  return 0;
}

int FakeComm::GetCommModemStatus(CommHandle h, std::uint32_t* status) {
  std::lock_guard<std::mutex> lock(mu_);
  *status = 0;
  if (int e = Enter("GetCommModemStatus", "", h)) return e;
  *status = modem_;
  return 0;
}

int FakeComm::EscapeCommFunction(CommHandle h, std::uint32_t function) {
  std::lock_guard<std::mutex> lock(mu_);
  return Enter("EscapeCommFunction", std::to_string(function), h);
}

int FakeComm::GetCommProperties(CommHandle h, CommProperties* props) {
  std::lock_guard<std::mutex> lock(mu_);
  if (int e = Enter("GetCommProperties", "", h)) return e;
  *props = CommProperties{};
  props->dwCurrentTxQueue = tx_size_;
  return 0;
}

}  // namespace tarvina
