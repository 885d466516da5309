#pragma once
// The operation journal: what each request accepted for processing asked,
// how it ended, and whether its reply reached the client, appended to a file
// the shop names ([Journal] File=PATH; none: no journal) and flushed to disk
// before the reply is written, so that a register that lost a reply can
// learn what happened to the card.
//
// One line per event, fields separated by a tab:
//   op <TAB> N <TAB> time <TAB> client <TAB> Operatie <TAB> TipPos <TAB>
//      PortSerial <TAB> Suma <TAB> NrBon <TAB> PROCESAREOK
//   op <TAB> N ... <TAB> ERROR <TAB> message
//   reply <TAB> N <TAB> delivered | not delivered
// N counts the operations of one server run from 1; the reply line follows
// its op line once the reply was taken or dropped. The request's values are
// as the client sent them. In a field, "\" is written "\\", a tab "\t", CR
// "\r", LF "\n" and any other byte below 0x20 or from 0x7F on "\xNN", so a
// line is always one line of printable ASCII.
#include <cstdint>
#include <functional>
#include <istream>
#include <string>
#include <vector>

namespace tarvina {

// What the journal keeps of one operation.
struct JournalRecord {
  std::string time, client;
  std::string operatie, tip_pos, port_serial, suma, nr_bon;  // as sent
  bool ok = false;
  std::string message;  // the ERROR reply's message
};

std::string JournalEscape(const std::string& field);
std::string JournalUnescape(const std::string& field);

std::string JournalRecordLine(std::uint64_t number, const JournalRecord& r);
std::string JournalDeliveryLine(std::uint64_t number, bool delivered);

// Local time with milliseconds and the offset from UTC,
// e.g. "2026-12-11T17:30:00.123+0200".
std::string JournalTimeNow();

class Journal {
 public:
  // Called with a sentence for the log and the message box when the file
  // cannot be written; once, until a later line is written again.
  using Report = std::function<void(const std::string& text)>;

  Journal() = default;  // off
  Journal(std::string path, Report report);

  bool On() const { return !path_.empty(); }
  const std::string& Path() const { return path_; }

  // Appends the op line (flushed to disk) and gives its number. The time is
  // taken here when r.time is empty.
  std::uint64_t Record(JournalRecord r);
  // Appends the reply line of operation `number`.
  void Delivered(std::uint64_t number, bool delivered);

 private:
  void Append(const std::string& line);

  std::string path_;
  Report report_;
  std::uint64_t last_ = 0;
  bool failing_ = false;
};

// One operation as read back from a journal.
struct JournalEntry {
  std::uint64_t number = 0;
  JournalRecord record;
  enum class Delivery { kUnknown, kDelivered, kNotDelivered } delivery = Delivery::kUnknown;
};

// The op lines of `in` with their reply lines merged in, in file order. A
// reply line belongs to the latest op line of its number (numbers start again
// with each server run). Lines of no known form are skipped.
std::vector<JournalEntry> ReadJournal(std::istream& in);

// One line for people: number, time, client, operation and kind by name,
// port, amount, NrBon, outcome, delivery.
std::string FormatJournalEntry(const JournalEntry& e);

}  // namespace tarvina
