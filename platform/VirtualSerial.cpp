#include "platform/VirtualSerial.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <utility>

#include "platform/Trace.h"

namespace tarvina {

namespace {

// A far side that cannot hand its bytes over for this long has a port side
// that stopped reading for good.
constexpr int kWriteGiveUpMs = 10000;

[[noreturn]] void Fail(const std::string& what) {
  throw std::runtime_error("virtual serial line: " + what + ": " + std::strerror(errno));
}

std::int64_t NowMs() {
  using namespace std::chrono;
  return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

// Unix 98 pseudo-terminal port sides (the /dev/pts devices).
bool IsPtyPortSide(const struct stat& st) {
  const unsigned m = major(st.st_rdev);
  return S_ISCHR(st.st_mode) && m >= 136 && m <= 143;
}

// What a link found at link_path leads to, or "" when it is stale. A
// pseudo-terminal's /dev/pts entry goes when its far side closes, so a link
// whose program ended leads nowhere; but the number may already belong to a
// newer pseudo-terminal. A live line came to be before its link was made (the
// clocks of both are the kernel's, in the same coarse steps), so a link older
// than the device it names was made for an earlier one.
std::string LiveTarget(const std::string& link_path, const struct stat& link) {
  char target[256];
  const ssize_t n = readlink(link_path.c_str(), target, sizeof target - 1);
  if (n <= 0) return "";
  target[n] = 0;
  struct stat dev {};
  if (stat(target, &dev) != 0 || !IsPtyPortSide(dev)) return "";
  const auto link_made = std::make_pair(link.st_mtim.tv_sec, link.st_mtim.tv_nsec);
  const auto dev_made = std::make_pair(dev.st_ctim.tv_sec, dev.st_ctim.tv_nsec);
  return link_made < dev_made ? "" : target;
}

// Links link_path to device, replacing a stale link and refusing a live one.
void MakeLink(const std::string& link_path, const std::string& device) {
  for (int attempt = 0;; ++attempt) {
    if (symlink(device.c_str(), link_path.c_str()) == 0) return;
    if (errno != EEXIST || attempt == 3) Fail("symlink " + link_path);
    struct stat st {};
    if (lstat(link_path.c_str(), &st) != 0) continue;  // gone meanwhile: try again
    if (!S_ISLNK(st.st_mode)) {
      errno = EEXIST;
      Fail(link_path + " exists and is not a link");
    }
    if (const std::string live = LiveTarget(link_path, st); !live.empty())
      throw VirtualSerialLine::LinkInUse(link_path + " is the line " + live +
                                         " of another program that still runs; choose another path");
    char stale[256];
    const ssize_t n = readlink(link_path.c_str(), stale, sizeof stale - 1);
    if (n < 0) continue;
    stale[n] = 0;
    VirtualSerialLine::RemoveLink(link_path.c_str(), stale);
  }
}

}  // namespace

VirtualSerialLine::VirtualSerialLine(const std::string& link_path) {
  master_fd_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (master_fd_ < 0) Fail("posix_openpt");
  char name[128];
  if (grantpt(master_fd_) != 0 || unlockpt(master_fd_) != 0 || ptsname_r(master_fd_, name, sizeof name) != 0) {
    close(master_fd_);
    Fail("pseudo-terminal setup");
  }
  device_path_ = name;
  fcntl(master_fd_, F_SETFL, fcntl(master_fd_, F_GETFL) | O_NONBLOCK);
  // Holding the port side open keeps the far side from seeing a hang-up while
  // the server has the port closed; raw mode keeps the line from echoing or
  // translating what the far side sends meanwhile.
  keep_fd_ = open(name, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (keep_fd_ < 0) {
    close(master_fd_);
    Fail("open " + device_path_);
  }
  termios t{};
  tcgetattr(keep_fd_, &t);
  cfmakeraw(&t);
  t.c_cflag |= CLOCAL | CREAD;
  tcsetattr(keep_fd_, TCSANOW, &t);

  if (!link_path.empty()) {
    try {
      MakeLink(link_path, device_path_);
    } catch (...) {
      close(keep_fd_);
      close(master_fd_);
      throw;
    }
    link_path_ = link_path;
  }
}

void VirtualSerialLine::RemoveLink(const char* link_path, const char* device_path) {
  char target[256];
  ssize_t n = readlink(link_path, target, sizeof target - 1);
  if (n < 0) return;
  target[n] = 0;
  if (std::strcmp(target, device_path) == 0) unlink(link_path);
}

VirtualSerialLine::~VirtualSerialLine() {
  if (shape_thread_.joinable()) {
    {
      std::lock_guard<std::mutex> lock(shape_mu_);
      shape_stop_ = true;
    }
    shape_cv_.notify_all();
    shape_thread_.join();
  }
  if (!link_path_.empty()) RemoveLink(link_path_.c_str(), device_path_.c_str());
  if (keep_fd_ >= 0) close(keep_fd_);
  if (master_fd_ >= 0) close(master_fd_);
}

const std::string& VirtualSerialLine::PortPath() const { return link_path_.empty() ? device_path_ : link_path_; }

const std::string& VirtualSerialLine::DevicePath() const { return device_path_; }

void VirtualSerialLine::Write(const std::uint8_t* data, std::size_t n) {
  if (!noise_.empty()) {
    // In the same write as the reply, so the port side meets both in one read.
    std::vector<std::uint8_t> both;
    both.swap(noise_);
    if (trace_) {
      std::fprintf(stderr, "POS : (%zu bytes of noise)\n", both.size());
      if (n > 0) std::fprintf(stderr, "%s\n", WireTrace::Format(false, data, n).c_str());
    }
    both.insert(both.end(), data, data + n);
    if (shaping_)
      WriteShaped(both.data(), both.size());
    else
      WriteAll(both.data(), both.size());
    return;
  }
  if (trace_ && n > 0) std::fprintf(stderr, "%s\n", WireTrace::Format(false, data, n).c_str());
  if (trickle_ms_ <= 0) {
    if (shaping_)
      WriteShaped(data, n);
    else
      WriteAll(data, n);
    return;
  }
  for (std::size_t i = 0; i < n; ++i) {
    if (i > 0) usleep(static_cast<useconds_t>(trickle_ms_) * 1000);
    WriteAll(data + i, 1);
  }
}

void VirtualSerialLine::WriteAll(const std::uint8_t* data, std::size_t n) {
  const std::int64_t deadline = NowMs() + kWriteGiveUpMs;
  std::size_t done = 0;
  while (done < n) {
    ssize_t r = write(master_fd_, data + done, n - done);
    if (r > 0) {
      done += static_cast<std::size_t>(r);
      continue;
    }
    if (r < 0 && errno == EINTR) continue;
    if (r < 0 && errno != EAGAIN) Fail("write");
    const std::int64_t left = deadline - NowMs();
    if (left <= 0) {
      errno = ETIMEDOUT;
      Fail("write");
    }
    pollfd p{master_fd_, POLLOUT, 0};
    poll(&p, 1, static_cast<int>(left));
  }
}

void VirtualSerialLine::SetShaping(unsigned seed) {
  if (shaping_) return;
  shape_rng_.seed(seed);
  shaping_ = true;
  shape_thread_ = std::thread([this] { FlushWhenDue(); });
}

void VirtualSerialLine::WriteShaped(const std::uint8_t* data, std::size_t n) {
  std::lock_guard<std::mutex> lock(shape_mu_);
  const bool was_empty = shape_held_.empty();
  shape_held_.insert(shape_held_.end(), data, data + n);
  if (shape_rng_() % 2 == 0) {
    if (was_empty) {
      shape_due_ = std::chrono::steady_clock::now() + std::chrono::milliseconds(1 + shape_rng_() % kShapeHoldMs);
      shape_cv_.notify_all();
    }
    return;
  }
  FlushHeldLocked();
}

void VirtualSerialLine::FlushHeldLocked() {
  if (shape_held_.empty()) return;
  std::vector<std::uint8_t> out;
  out.swap(shape_held_);
  const unsigned mode = shape_rng_() % 3;  // whole, byte by byte, random pieces
  for (std::size_t i = 0; i < out.size();) {
    const std::size_t left = out.size() - i;
    const std::size_t piece = mode == 0 ? left : mode == 1 ? 1 : 1 + shape_rng_() % left;
    if (i > 0) {
      const unsigned gap = shape_rng_() % (kShapeGapMs + 1);
      if (gap > 0) std::this_thread::sleep_for(std::chrono::milliseconds(gap));
    }
    WriteAll(out.data() + i, piece);
    i += piece;
  }
}

void VirtualSerialLine::FlushWhenDue() {
  std::unique_lock<std::mutex> lock(shape_mu_);
  while (!shape_stop_) {
    if (shape_held_.empty()) {
      shape_cv_.wait(lock);
      continue;
    }
    if (std::chrono::steady_clock::now() < shape_due_) {
      shape_cv_.wait_until(lock, shape_due_);
      continue;
    }
    try {
      FlushHeldLocked();
    } catch (const std::exception&) {
      // The port side stopped taking bytes; the far side's own next write or
      // read meets the same fault and reports it.
    }
  }
}

std::vector<std::uint8_t> VirtualSerialLine::Read(int timeout_ms) {
  if (shaping_) {
    // The far side now waits for the port side: what it wrote must be out.
    std::lock_guard<std::mutex> lock(shape_mu_);
    FlushHeldLocked();
  }
  std::vector<std::uint8_t> out;
  out.swap(held_);
  pollfd p{master_fd_, POLLIN, 0};
  int r;
  do {
    r = poll(&p, 1, out.empty() ? timeout_ms : 0);
  } while (r < 0 && errno == EINTR);
  std::size_t fresh = out.size();
  if (r > 0 && (p.revents & POLLIN)) {
    heard_ = true;
    std::uint8_t buf[4096];
    for (;;) {
      ssize_t k = read(master_fd_, buf, sizeof buf);
      if (k > 0) {
        out.insert(out.end(), buf, buf + k);
        continue;
      }
      if (k < 0 && errno == EINTR) continue;
      break;
    }
  }
  if (trace_ && out.size() > fresh)
    std::fprintf(stderr, "%s\n", WireTrace::Format(true, out.data() + fresh, out.size() - fresh).c_str());
  return out;
}

std::vector<std::uint8_t> VirtualSerialLine::ReadExactly(std::size_t n, int timeout_ms) {
  std::vector<std::uint8_t> out;
  const std::int64_t deadline = NowMs() + timeout_ms;
  while (out.size() < n) {
    const std::int64_t left = deadline - NowMs();
    if (left <= 0) break;
    std::vector<std::uint8_t> more = Read(static_cast<int>(left));
    out.insert(out.end(), more.begin(), more.end());
  }
  // What came beyond n belongs to the next read.
  if (out.size() > n) {
    held_.assign(out.begin() + static_cast<std::ptrdiff_t>(n), out.end());
    out.resize(n);
  }
  return out;
}

}  // namespace tarvina
