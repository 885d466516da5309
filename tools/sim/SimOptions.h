#pragma once
// The kinds of tarvina-sim and their options, in one table (SimOptions.cpp).
// Each option is declared once, with its argument, default and help text; the
// parser, the defaults a kind reads and `--help` all come from that row. The
// same idea has the same flag in every kind (--delay before the answer,
// --result for the outcome, --count to stop after N, --pause between pieces);
// spellings a kind used before are kept as aliases.
#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <string_view>
#include <vector>

namespace tarvina::sim {

struct KindEntry {
  const char* name = "";     // as typed: "brd", "transilvania", ...
  const char* summary = "";  // one line for `tarvina-sim --help`
  bool serial = true;        // plays its terminal on a virtual serial line (--link PATH)
  const char* notes = "";    // what the kind prints, after its options in `KIND --help`
};

enum class Arg {
  Flag,    // no value
  Number,  // decimal digits only, from min to max
  Hex,     // hexadecimal digits only, from min to max
  Bytes,   // hexadecimal bytes, blanks or commas between: "FF 00 7E"
  Text,    // any text
  Choice,  // one of the row's choices
};

struct Choice {
  const char* name = "";
  const char* help = "";
};

struct OptionRow {
  const char* kinds = "";    // blank-separated kind names; "serial": every serial kind; "*": every kind
  const char* name = "";     // "--delay"
  Arg arg = Arg::Flag;
  const char* value = "";    // the value's name in the help: "MS", "N", "TEXT"
  const char* def = nullptr; // the default as it would be typed; nullptr: none
  const char* help = "";
  long min = 0, max = 0;     // Number and Hex
  std::vector<Choice> choices = {};
  const char* aliases = "";  // older spellings still taken, blank-separated
  bool repeat = false;       // may be given again; every value is kept
  bool required = false;
};

const std::vector<KindEntry>& KindEntrys();
const std::vector<OptionRow>& OptionTable();
const KindEntry* FindKindEntry(std::string_view name);
bool Applies(const OptionRow& option, const KindEntry& kind);
// The option's name and aliases, one word each.
std::vector<std::string> Spellings(const OptionRow& option);

// `tarvina-sim --help` and `tarvina-sim KIND --help`.
std::string GeneralHelp();
std::string KindHelp(const KindEntry& kind);

// What one command line chose for one kind, defaults filled in. Asking for an
// option the table does not give the kind, or with the wrong accessor, throws
// std::logic_error: a fault in the kind's module, not in the command line.
class SimOptions {
 public:
  bool Flag(std::string_view name) const;
  long Number(std::string_view name) const;  // Number and Hex
  const std::string& Text(std::string_view name) const;  // Text and Choice; "" without value or default
  std::vector<std::uint8_t> Bytes(std::string_view name) const;
  const std::vector<std::string>& All(std::string_view name) const;  // every value of a repeated option
  bool Given(std::string_view name) const;                           // on the command line
  bool Has(std::string_view name) const;                             // given or defaulted

 private:
  friend bool ParseSimOptions(const KindEntry&, const std::vector<std::string>&, SimOptions&, std::string&);
  const OptionRow& Row(std::string_view name) const;
  const OptionRow& Row(std::string_view name, Arg a, Arg b) const;
  const KindEntry* kind_ = nullptr;
  std::map<std::string, std::vector<std::string>, std::less<>> values_;
  std::set<std::string, std::less<>> given_;
};

// Parses the arguments after the kind. On a bad command line returns false
// with one line (without the program's name) in `error`.
bool ParseSimOptions(const KindEntry& kind, const std::vector<std::string>& args, SimOptions& out,
                     std::string& error);

}  // namespace tarvina::sim
