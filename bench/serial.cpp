// Serial receive latency and idle cost on pseudo-terminals.
//
//   bench_serial [--bytes N] [--idle-seconds S]
//
// 1. OnRxChar latency: one byte written on the far side of a virtual serial
//    line, timed until the port's OnRxChar runs on the main thread; the next
//    byte goes only after that. Median and p99 over N bytes (10000).
// 2. The floor: the same byte timed until a thread blocked in a bare read()
//    on the port side of another pseudo-terminal has it.
// 3. The CPU time (user + system, getrusage) of the whole process while a
//    port is open and idle and the main loop waits, over S seconds (10).
#include <fcntl.h>
#include <sys/resource.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/MainLoop.h"
#include "platform/PosixComm.h"
#include "platform/VirtualSerial.h"
#include "serial/CPort.h"

using namespace tarvina;
using Steady = std::chrono::steady_clock;

namespace {

constexpr int kWarmUp = 100;

double Micros(Steady::duration d) { return std::chrono::duration<double, std::micro>(d).count(); }

struct Figures {
  double median;
  double p99;
  double max;
};

Figures Summarise(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  auto at = [&](double q) { return v[std::min(v.size() - 1, static_cast<std::size_t>(q * v.size()))]; };
  return {at(0.5), at(0.99), v.back()};
}

[[noreturn]] void Die(const std::string& what) {
  std::fprintf(stderr, "bench_serial: %s\n", what.c_str());
  std::exit(1);
}

std::vector<double> PortLatency(int bytes) {
  MainLoop loop;
  VirtualSerialLine line;
  TComPort port(loop, SystemComm());
  Steady::time_point arrived;
  int received = 0;
  port.OnRxChar = [&](TCustomComPort& p, int count) {
    arrived = Steady::now();
    std::uint8_t buf[64];
    received += p.Read(buf, std::min(count, 64));
  };
  port.SetPort(line.PortPath());
  port.Open();

  std::vector<double> out;
  out.reserve(bytes);
  for (int i = 0; i < kWarmUp + bytes; ++i) {
    const std::uint8_t b = static_cast<std::uint8_t>(i);
    const int want = received + 1;
    bool expired = false;
    Timer guard(loop, 5000);
    guard.OnTimer = [&] { expired = true; };
    guard.SetEnabled(true);
    const auto sent = Steady::now();
    line.Write(&b, 1);
    loop.WaitUntil([&] { return received >= want || expired; });
    if (expired) Die("a byte did not reach OnRxChar within 5 s");
    if (i >= kWarmUp) out.push_back(Micros(arrived - sent));
  }
  port.Close();
  return out;
}

std::vector<double> BareReadLatency(int bytes) {
  VirtualSerialLine line;
  const int fd = open(line.DevicePath().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) Die("open " + line.DevicePath() + ": " + std::strerror(errno));
  termios t{};
  tcgetattr(fd, &t);
  cfmakeraw(&t);
  t.c_cc[VMIN] = 1;
  t.c_cc[VTIME] = 0;
  tcsetattr(fd, TCSANOW, &t);

  std::mutex mu;
  std::condition_variable cv;
  int received = 0;
  Steady::time_point arrived;
  const int total = kWarmUp + bytes;
  std::thread reader([&] {
    for (int i = 0; i < total; ++i) {
      std::uint8_t b;
      if (read(fd, &b, 1) != 1) Die("bare read failed");
      const auto now = Steady::now();
      std::lock_guard<std::mutex> lock(mu);
      arrived = now;
      ++received;
      cv.notify_one();
    }
  });
  std::vector<double> out;
  out.reserve(bytes);
  for (int i = 0; i < total; ++i) {
    const std::uint8_t b = static_cast<std::uint8_t>(i);
    const auto sent = Steady::now();
    line.Write(&b, 1);
    std::unique_lock<std::mutex> lock(mu);
    if (!cv.wait_for(lock, std::chrono::seconds(5), [&] { return received > i; }))
      Die("a byte did not reach the bare read within 5 s");
    if (i >= kWarmUp) out.push_back(Micros(arrived - sent));
  }
  reader.join();
  close(fd);
  return out;
}

double ProcessCpuMs() {
  rusage ru{};
  getrusage(RUSAGE_SELF, &ru);
  auto ms = [](const timeval& tv) { return tv.tv_sec * 1000.0 + tv.tv_usec / 1000.0; };
  return ms(ru.ru_utime) + ms(ru.ru_stime);
}

double IdleCpuMs(int seconds) {
  MainLoop loop;
  VirtualSerialLine line;
  TComPort port(loop, SystemComm());
  port.OnRxChar = [](TCustomComPort&, int) {};
  port.SetPort(line.PortPath());
  port.Open();
  bool over = false;
  Timer end(loop, seconds * 1000);
  end.OnTimer = [&] { over = true; };
  const double before = ProcessCpuMs();
  end.SetEnabled(true);
  loop.WaitUntil([&] { return over; });
  const double used = ProcessCpuMs() - before;
  port.Close();
  return used;
}

void Print(const char* what, const Figures& f) {
  std::printf("%-44s median %7.1f us   p99 %7.1f us   max %8.1f us\n", what, f.median, f.p99, f.max);
}

}  // namespace

int main(int argc, char** argv) {
  int bytes = 10000;
  int idle_seconds = 10;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--bytes" && i + 1 < argc) {
      bytes = std::atoi(argv[++i]);
    } else if (a == "--idle-seconds" && i + 1 < argc) {
      idle_seconds = std::atoi(argv[++i]);
    } else {
      std::fprintf(stderr, "usage: bench_serial [--bytes N] [--idle-seconds S]\n");
      return 2;
    }
  }
  if (bytes < 1 || idle_seconds < 1) Die("--bytes and --idle-seconds must be positive");

  std::printf("pseudo-terminal, one byte at a time, %d bytes each (after %d warm-up bytes)\n", bytes, kWarmUp);
  Print("far-side write -> OnRxChar on the main thread", Summarise(PortLatency(bytes)));
  Print("far-side write -> bare blocking read (floor)", Summarise(BareReadLatency(bytes)));
  const double cpu = IdleCpuMs(idle_seconds);
  std::printf("open idle port, %d s: process CPU (user+system) %.1f ms = %.3f %% of one core\n", idle_seconds, cpu,
              cpu / (idle_seconds * 10.0));
  return 0;
}
