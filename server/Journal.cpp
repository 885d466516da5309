#include "server/Journal.h"

#include <fcntl.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <map>
#include <utility>

namespace tarvina {

namespace {

constexpr char kSep = '\t';
constexpr const char* kOp = "op";
constexpr const char* kReply = "reply";
constexpr const char* kDelivered = "delivered";
constexpr const char* kNotDelivered = "not delivered";
constexpr const char* kOk = "PROCESAREOK";
constexpr const char* kError = "ERROR";

std::vector<std::string> SplitFields(const std::string& line) {
  std::vector<std::string> out(1);
  for (char c : line) {
    if (c == kSep)
      out.emplace_back();
    else
      out.back() += c;
  }
  return out;
}

bool ParseNumber(const std::string& s, std::uint64_t& n) {
  if (s.empty() || s.size() > 19) return false;
  n = 0;
  for (char c : s) {
    if (c < '0' || c > '9') return false;
    n = n * 10 + static_cast<unsigned>(c - '0');
  }
  return true;
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

const char* OperationName(const std::string& operatie) {
  if (operatie == "0") return "sale";
  if (operatie == "1") return "settle";
  if (operatie == "2") return "void";
  return nullptr;
}

const char* KindName(const std::string& tip_pos) {
  static const std::map<std::string, const char*> names = {
      {"1", "brd"}, {"3", "transilvania"}, {"4", "unicredit"},
      {"5", "hypercom"}, {"6", "verifone"}, {"7", "viva"}};
  const auto it = names.find(tip_pos);
  return it == names.end() ? nullptr : it->second;
}

}  // namespace

std::string JournalEscape(const std::string& field) {
  static const char* const kHex = "0123456789ABCDEF";
  std::string out;
  out.reserve(field.size());
  for (char ch : field) {
    const auto c = static_cast<unsigned char>(ch);
    switch (c) {
      case '\\': out += "\\\\"; break;
      case '\t': out += "\\t"; break;
      case '\r': out += "\\r"; break;
      case '\n': out += "\\n"; break;
      default:
        if (c < 0x20 || c >= 0x7F) {
          out += "\\x";
          out += kHex[c >> 4];
          out += kHex[c & 0xF];
        } else {
          out += ch;
        }
    }
  }
  return out;
}

std::string JournalUnescape(const std::string& field) {
  std::string out;
  for (std::size_t i = 0; i < field.size(); ++i) {
    if (field[i] != '\\' || i + 1 == field.size()) {
      out += field[i];
      continue;
    }
    const char e = field[++i];
    if (e == 't') {
      out += '\t';
    } else if (e == 'r') {
      out += '\r';
    } else if (e == 'n') {
      out += '\n';
    } else if (e == 'x' && i + 2 < field.size() && HexDigit(field[i + 1]) >= 0 &&
               HexDigit(field[i + 2]) >= 0) {
      out += static_cast<char>(HexDigit(field[i + 1]) * 16 + HexDigit(field[i + 2]));
      i += 2;
    } else {
      out += e;  // "\\", and whatever a hand-edited file holds
    }
  }
  return out;
}

std::string JournalRecordLine(std::uint64_t number, const JournalRecord& r) {
  std::string line = std::string(kOp) + kSep + std::to_string(number);
  for (const std::string* f : {&r.time, &r.client, &r.operatie, &r.tip_pos, &r.port_serial, &r.suma,
                               &r.nr_bon}) {
    line += kSep;
    line += JournalEscape(*f);
  }
  line += kSep;
  if (r.ok) {
    line += kOk;
  } else {
    line += kError;
    line += kSep;
    line += JournalEscape(r.message);
  }
  return line + "\n";
}

std::string JournalDeliveryLine(std::uint64_t number, bool delivered) {
  return std::string(kReply) + kSep + std::to_string(number) + kSep +
         (delivered ? kDelivered : kNotDelivered) + "\n";
}

std::string JournalTimeNow() {
  timeval tv{};
  ::gettimeofday(&tv, nullptr);
  std::tm local{};
  ::localtime_r(&tv.tv_sec, &local);
  char date[32], zone[8];
  std::strftime(date, sizeof date, "%Y-%m-%dT%H:%M:%S", &local);
  std::strftime(zone, sizeof zone, "%z", &local);
  char ms[8];
  std::snprintf(ms, sizeof ms, ".%03d", static_cast<int>(tv.tv_usec / 1000));
  return std::string(date) + ms + zone;
}

Journal::Journal(std::string path, Report report) : path_(std::move(path)), report_(std::move(report)) {}

std::uint64_t Journal::Record(JournalRecord r) {
  if (r.time.empty()) r.time = JournalTimeNow();
  const std::uint64_t n = ++last_;
  Append(JournalRecordLine(n, r));
  return n;
}

void Journal::Delivered(std::uint64_t number, bool delivered) {
  Append(JournalDeliveryLine(number, delivered));
}

// Opened for each line, so that a file moved away by log rotation, or a
// directory that becomes writable, is taken up by the next operation.
void Journal::Append(const std::string& line) {
  if (!On()) return;
  std::string why;
  const int fd = ::open(path_.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0640);
  if (fd < 0) {
    why = std::strerror(errno);
  } else {
    std::size_t done = 0;
    while (done < line.size()) {
      const ssize_t w = ::write(fd, line.data() + done, line.size() - done);
      if (w > 0) {
        done += static_cast<std::size_t>(w);
      } else if (w < 0 && errno == EINTR) {
        continue;
      } else {
        why = std::strerror(w < 0 ? errno : ENOSPC);
        break;
      }
    }
    if (why.empty() && ::fdatasync(fd) != 0) why = std::strerror(errno);
    if (::close(fd) != 0 && why.empty()) why = std::strerror(errno);
  }
  if (why.empty()) {
    failing_ = false;
    return;
  }
  if (failing_) return;
  failing_ = true;
  if (report_) report_("Eroare la scrierea jurnalului " + path_ + " : " + why);
}

std::vector<JournalEntry> ReadJournal(std::istream& in) {
  std::vector<JournalEntry> entries;
  std::map<std::uint64_t, std::size_t> latest;  // number -> index of its latest op line
  std::string line;
  while (std::getline(in, line)) {
    const auto f = SplitFields(line);
    std::uint64_t n;
    if (f.size() < 2 || !ParseNumber(f[1], n)) continue;
    if (f[0] == kOp && (f.size() == 10 || f.size() == 11)) {
      JournalEntry e;
      e.number = n;
      JournalRecord& r = e.record;
      std::string* dest[] = {&r.time, &r.client, &r.operatie, &r.tip_pos, &r.port_serial, &r.suma, &r.nr_bon};
      for (std::size_t i = 0; i < 7; ++i) *dest[i] = JournalUnescape(f[2 + i]);
      if (f[9] == kOk && f.size() == 10) {
        r.ok = true;
      } else if (f[9] == kError && f.size() == 11) {
        r.message = JournalUnescape(f[10]);
      } else {
        continue;
      }
      latest[n] = entries.size();
      entries.push_back(std::move(e));
    } else if (f[0] == kReply && f.size() == 3 && (f[2] == kDelivered || f[2] == kNotDelivered)) {
      const auto it = latest.find(n);
      if (it == latest.end()) continue;
      JournalEntry& e = entries[it->second];
      if (e.delivery != JournalEntry::Delivery::kUnknown) continue;
      e.delivery = f[2] == kDelivered ? JournalEntry::Delivery::kDelivered
                                      : JournalEntry::Delivery::kNotDelivered;
    }
  }
  return entries;
}

// Built by appending only: g++ 12 at -O3 warns (falsely, -Wrestrict) about
// a literal put in front of a temporary string.
std::string FormatJournalEntry(const JournalEntry& e) {
  const JournalRecord& r = e.record;
  std::string s = "#";
  s += std::to_string(e.number);
  const auto put = [&s](const char* label, const std::string& value) {
    s += ' ';
    s += label;
    s += JournalEscape(value);
  };
  put("", r.time);
  put("", r.client.empty() ? std::string("?") : r.client);
  if (const char* op = OperationName(r.operatie))
    put(op, {});
  else
    put("Operatie=", r.operatie);
  if (const char* kind = KindName(r.tip_pos))
    put(kind, {});
  else
    put("TipPos=", r.tip_pos);
  put("COM", r.port_serial);
  if (!r.suma.empty()) put("Suma=", r.suma);
  if (!r.nr_bon.empty()) put("NrBon=", r.nr_bon);
  if (r.ok) {
    s += ": PROCESAREOK";
  } else {
    s += ": ERROR \"";
    s += JournalEscape(r.message);
    s += '"';
  }
  switch (e.delivery) {
    case JournalEntry::Delivery::kDelivered: s += ", delivered"; break;
    case JournalEntry::Delivery::kNotDelivered: s += ", not delivered"; break;
    case JournalEntry::Delivery::kUnknown: s += ", delivery unknown"; break;
  }
  return s;
}

}  // namespace tarvina
