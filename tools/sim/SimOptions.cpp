#include "tools/sim/SimOptions.h"

#include <charconv>
#include <cstdio>
#include <stdexcept>

namespace tarvina::sim {

namespace {

constexpr long kMaxMs = 3600000;  // an hour: far beyond any protocol time-out
constexpr long kMaxCount = 1L << 30;

const std::vector<KindEntry> kKinds = {
    {"brd", "BRD card terminal: acknowledged sale requests, answers by scenario", true,
     "Prints \"sale of AMOUNT hundredths\" on standard error for each request.\n"},
    {"echo", "sends back every byte it receives", true, ""},
    {"hypercom", "BRD Hypercom terminal (7E1): echo, result frame, confirmation checks", true,
     "Output: one line per event (request, acknowledged, host-ack, result,\n"
     "confirmed) and \"FAIL ...\" for every failed check, each flushed at once.\n"
     "After --count N the run ends with a summary line; exit status 0 when every\n"
     "check passed, 1 otherwise, 2 for bad options.\n"},
    {"transilvania", "Banca Transilvania terminal: ENQ handshake, CRC-16 frames", true,
     "Prints \"EOT\" (with the milliseconds since the last answer byte) for each\n"
     "EOT of the PC.\n"},
    {"unicredit", "UniCredit terminal (counted frames with CRC-16, coded elements)", true,
     "Prints \"PC sent ...\" for each message of the PC; a protocol fault of the PC\n"
     "is a line \"unicredit: PROTOCOL FAULT: ...\" on standard error.\n"},
    {"verifone", "Verifone terminal: log-in, sale, void", true,
     "Events on standard output: host ENQ | host login | host logout |\n"
     "host sale AMOUNT | host void AMOUNT RECEIPT | host EOT |\n"
     "host ACK [after N us] | sim NAK | sim answer HEX | silent STEP | error: ...\n"},
    {"viva", "Viva Wallet terminal on TCP (--listen ADDR, port 8080)", false,
     "Greets each connection, reads one request, checks its length field and form,\n"
     "answers, then serves the next connection. Prints \"listening ADDR:PORT\" when\n"
     "ready, \"request TEXT\" and \"reply TEXT\" for each exchange, and\n"
     "\"bad request: WHY\" when the request breaks its form (it then answers 30).\n"},
};

const std::vector<OptionRow> kOptions = {
    // Every kind.
    {.kinds = "*", .name = "--help", .help = "this text", .aliases = "-h"},
    {.kinds = "*", .name = "--trace", .help = "print every byte both ways on standard error"},

    // Every serial kind: the line and its faults (counted from the PC's first byte).
    {.kinds = "serial",
     .name = "--link",
     .arg = Arg::Text,
     .value = "PATH",
     .help = "link PATH to the port side of the line; refused while PATH leads to the line of "
             "another running simulator"},
    {.kinds = "serial",
     .name = "--hangup-ms",
     .arg = Arg::Number,
     .value = "N",
     .help = "N ms after the PC's first byte, close the line, remove the link and exit (a pulled "
             "cable; prints \"hangup\")",
     .min = 0,
     .max = kMaxMs},
    {.kinds = "serial",
     .name = "--noise",
     .arg = Arg::Number,
     .value = "N",
     .def = "0",
     .help = "N bytes of line noise (a fixed pseudo-random pattern) in front of the terminal's "
             "first reply; 1048576 floods the line",
     .min = 0,
     .max = 64L << 20},
    {.kinds = "serial",
     .name = "--byte-gap-ms",
     .arg = Arg::Number,
     .value = "N",
     .def = "0",
     .help = "every reply trickles, one byte each N ms",
     .min = 0,
     .max = kMaxMs},
    {.kinds = "serial",
     .name = "--shape",
     .arg = Arg::Number,
     .value = "SEED",
     .help = "cut and join the terminal's writes at random (seeded, 0 leaves them whole): a write "
             "may wait up to 15 ms for the next and go out with it, and each batch goes whole, byte "
             "by byte or in pieces, with gaps of up to 3 ms (stress runs)",
     .min = 0,
     .max = 4294967295L},

    // brd
    {.kinds = "brd",
     .name = "--result",
     .arg = Arg::Choice,
     .value = "KIND",
     .def = "approved",
     .help = "final answer",
     .choices = {{"approved", "code 01"},
                 {"approved02", "code 02"},
                 {"refused", "code 04, with the reason of --reason"},
                 {"format", "code 00"},
                 {"comm", "code 06"},
                 {"message", "a 22000000 frame with the text of --text"}},
     .aliases = "--answer"},
    {.kinds = "brd",
     .name = "--reason",
     .arg = Arg::Text,
     .value = "TEXT",
     .def = "FONDURI INSUFICIENTE",
     .help = "refusal reason, 22 characters"},
    {.kinds = "brd", .name = "--text", .arg = Arg::Text, .value = "TEXT", .def = "OPERATIE ANULATA",
     .help = "text of the 22000000 frame"},
    {.kinds = "brd",
     .name = "--intermediate",
     .arg = Arg::Number,
     .value = "N",
     .def = "0",
     .help = "20000000 frames before the answer",
     .min = 0,
     .max = 10000},
    {.kinds = "brd",
     .name = "--delay",
     .arg = Arg::Number,
     .value = "MS",
     .def = "200",
     .help = "pause before each frame",
     .min = 0,
     .max = kMaxMs},
    {.kinds = "brd", .name = "--no-ack", .help = "never acknowledge: the terminal is silent"},
    {.kinds = "brd", .name = "--silent-after-ack", .help = "acknowledge the request, then never answer"},
    {.kinds = "brd", .name = "--ack-with-answer", .help = "send the ACK and the first frame in one write"},
    {.kinds = "brd", .name = "--split-lrc", .help = "send each frame's LRC in a write of its own, 50 ms after its ETX"},
    {.kinds = "brd",
     .name = "--timing",
     .help = "print \"ack-latency-us N\" on standard output for each frame: the microseconds from "
             "its last byte to the PC's ACK"},

    // transilvania
    {.kinds = "transilvania",
     .name = "--scenario",
     .arg = Arg::Choice,
     .value = "NAME",
     .def = "approve",
     .help = "what the terminal does",
     .choices = {{"approve", "ACK the ENQ and the request, answer with result code 0"},
                 {"refuse", "answer with the result code of --result and the texts of --a107/--a108"},
                 {"chunks", "approve, the answer sent in pieces of --chunk bytes, --pause ms apart"},
                 {"no-enq-ack", "never answer ENQ"},
                 {"nak-enq", "answer every ENQ with NAK"},
                 {"ack-silent", "ACK the request, then stay silent"},
                 {"bad-first", "answer with a frame whose first field is not the result code"}}},
    {.kinds = "transilvania",
     .name = "--result",
     .arg = Arg::Number,
     .value = "N",
     .def = "5",
     .help = "result code of a refusal",
     .min = 0,
     .max = 255,
     .aliases = "--code"},
    {.kinds = "transilvania",
     .name = "--a107",
     .arg = Arg::Text,
     .value = "TEXT",
     .help = "field 0x07 of the answer, the bank's code (default \"00\", when refusing \"51\")"},
    {.kinds = "transilvania",
     .name = "--a108",
     .arg = Arg::Text,
     .value = "TEXT",
     .help = "field 0x08 of the answer, the terminal's message (default \"APROBAT\", when refusing "
             "\"FONDURI INSUFICIENTE\")"},
    {.kinds = "transilvania",
     .name = "--chunk",
     .arg = Arg::Number,
     .value = "N",
     .def = "7",
     .help = "piece size of the chunks scenario",
     .min = 1,
     .max = 1000000},
    {.kinds = "transilvania",
     .name = "--pause",
     .arg = Arg::Number,
     .value = "MS",
     .def = "200",
     .help = "pause between pieces",
     .min = 0,
     .max = kMaxMs},
    {.kinds = "transilvania",
     .name = "--delay",
     .arg = Arg::Number,
     .value = "MS",
     .def = "0",
     .help = "pause before the answer frame",
     .min = 0,
     .max = kMaxMs},

    // unicredit
    {.kinds = "unicredit",
     .name = "--scenario",
     .arg = Arg::Choice,
     .value = "NAME",
     .def = "normal",
     .help = "how the terminal answers",
     .choices = {{"normal", "ack, intermediate messages, answer, each written on its own"},
                 {"chunked", "every frame written in pieces of --chunk bytes"},
                 {"ack-with-message", "the ack and the first message in one write"},
                 {"two-messages", "an intermediate message and the answer in one write"},
                 {"burst", "the ack, the intermediate messages and the answer in one write, then "
                           "their acknowledgements awaited in order"},
                 {"garbage", "the bytes of --garbage written before the ack (the PC never gets past them)"},
                 {"ack-only", "the ack, then silence"},
                 {"silent", "nothing at all"},
                 {"short", "the answer message is 10 bytes long, without elements"}}},
    {.kinds = "unicredit",
     .name = "--result",
     .arg = Arg::Text,
     .value = "TEXT",
     .def = "APROBAT 000123",
     .help = "element 330 of a sale or void answer; a text without APROBAT refuses"},
    {.kinds = "unicredit", .name = "--extra", .arg = Arg::Text, .value = "TEXT",
     .help = "element 332 (left out when not given or empty)"},
    {.kinds = "unicredit", .name = "--report-code", .arg = Arg::Text, .value = "TEXT", .def = "00",
     .help = "element 410 of the daily report answer"},
    {.kinds = "unicredit", .name = "--report-text1", .arg = Arg::Text, .value = "TEXT", .def = "RAPORT",
     .help = "element 411"},
    {.kinds = "unicredit", .name = "--report-text2", .arg = Arg::Text, .value = "TEXT", .def = "INCHIS",
     .help = "element 413"},
    {.kinds = "unicredit",
     .name = "--intermediate",
     .arg = Arg::Number,
     .value = "N",
     .def = "0",
     .help = "messages with code 0x40 before the answer",
     .min = 0,
     .max = 10000},
    {.kinds = "unicredit",
     .name = "--delay",
     .arg = Arg::Number,
     .value = "MS",
     .def = "0",
     .help = "pause before the answer message",
     .min = 0,
     .max = kMaxMs,
     .aliases = "--delay-ms"},
    {.kinds = "unicredit",
     .name = "--chunk",
     .arg = Arg::Number,
     .value = "N",
     .def = "3",
     .help = "piece size of the chunked scenario",
     .min = 1,
     .max = 1000000},
    {.kinds = "unicredit", .name = "--garbage", .arg = Arg::Bytes, .value = "HEX", .def = "FF FE",
     .help = "the bytes of the garbage scenario"},
    {.kinds = "unicredit",
     .name = "--count",
     .arg = Arg::Number,
     .value = "N",
     .help = "serve N operations, then exit (without it, run until stopped); the exit status is 1 "
             "when the PC broke the protocol",
     .min = 0,
     .max = kMaxCount},

    // hypercom
    {.kinds = "hypercom",
     .name = "--scenario",
     .arg = Arg::Choice,
     .value = "NAME",
     .def = "normal",
     .help = "how the terminal answers",
     .choices = {{"normal", "acknowledgement, result, confirmation checked"},
                 {"wrong-echo", "echoes \"10.\" instead of \"11.\""},
                 {"wrong-type", "echoes another request type"},
                 {"split-ack", "ACK first, the rest of the acknowledgement after --split-ms"},
                 {"silent", "never answers"},
                 {"no-result", "acknowledges, never sends the result"},
                 {"trickle", "sends the acknowledgement and the result one byte each --pause ms"}}},
    {.kinds = "hypercom",
     .name = "--result",
     .arg = Arg::Text,
     .value = "CC",
     .def = "00",
     .help = "response code of the result frame",
     .aliases = "--code"},
    {.kinds = "hypercom",
     .name = "--delay",
     .arg = Arg::Number,
     .value = "MS",
     .def = "200",
     .help = "pause between the host's ACK and the result frame",
     .min = 0,
     .max = kMaxMs},
    {.kinds = "hypercom",
     .name = "--split-ms",
     .arg = Arg::Number,
     .value = "MS",
     .def = "500",
     .help = "pause inside a split acknowledgement",
     .min = 0,
     .max = kMaxMs},
    {.kinds = "hypercom",
     .name = "--pause",
     .arg = Arg::Number,
     .value = "MS",
     .def = "1000",
     .help = "pause between trickled bytes",
     .min = 0,
     .max = kMaxMs,
     .aliases = "--trickle-ms"},
    {.kinds = "hypercom",
     .name = "--max-requests",
     .arg = Arg::Number,
     .value = "N",
     .help = "a request frame beyond the Nth is a failure; without it, no limit",
     .min = 0,
     .max = kMaxCount},
    {.kinds = "hypercom",
     .name = "--count",
     .arg = Arg::Number,
     .value = "N",
     .help = "exit after N completed exchanges; without it, run until stopped",
     .min = 0,
     .max = kMaxCount,
     .aliases = "--operations"},
    {.kinds = "hypercom",
     .name = "--stamps",
     .help = "every byte both ways as a line \"at SECONDS POS>|PC< HEX...\" on standard output, "
             "seconds since start (for latency figures)"},

    // verifone
    {.kinds = "verifone",
     .name = "--login-answer",
     .arg = Arg::Hex,
     .value = "HEX",
     .def = "80",
     .help = "payload byte 0 of the log-in answer; 80 accepts",
     .min = 0,
     .max = 0xFF},
    {.kinds = "verifone",
     .name = "--intermediate",
     .arg = Arg::Number,
     .value = "N",
     .def = "0",
     .help = "intermediate messages before a sale's or void's final answer",
     .min = 0,
     .max = 10000},
    {.kinds = "verifone",
     .name = "--result",
     .arg = Arg::Choice,
     .value = "KIND",
     .def = "approved",
     .help = "final answer",
     .choices = {{"approved", "06 0F"}, {"declined", "06 00"}, {"failed", "84"}},
     .aliases = "--final"},
    {.kinds = "verifone",
     .name = "--eot-enq",
     .arg = Arg::Choice,
     .value = "MODE",
     .def = "apart",
     .help = "between two messages",
     .choices = {{"apart", "EOT, pause, ENQ"}, {"together", "EOT and ENQ in one write"}}},
    {.kinds = "verifone", .name = "--frame-eot", .help = "send the final answer frame and its EOT in one write"},
    {.kinds = "verifone", .name = "--nak", .help = "answer the sale or void frame with NAK instead of ACK"},
    {.kinds = "verifone",
     .name = "--silent",
     .arg = Arg::Choice,
     .value = "STEP",
     .help = "fall silent at STEP (may be repeated); login- steps cover log-ins and log-outs, sale- "
             "steps sales and voids: ack-enq no ACK to the host's ENQ, ack-frame no ACK to its "
             "frame, enq no ENQ for the answer, frame ENQ acknowledged but no frame, eot no EOT after "
             "the answer; sale-next: silent after the first intermediate message. STEP is one of",
     .choices = {{"login-ack-enq"}, {"login-ack-frame"}, {"login-enq"}, {"login-frame"}, {"login-eot"},
                 {"sale-ack-enq"}, {"sale-ack-frame"}, {"sale-enq"}, {"sale-frame"}, {"sale-eot"},
                 {"sale-next"}},
     .repeat = true},
    {.kinds = "verifone",
     .name = "--login-delay",
     .arg = Arg::Number,
     .value = "MS",
     .def = "0",
     .help = "pause before answering a log-in",
     .min = 0,
     .max = kMaxMs},
    {.kinds = "verifone",
     .name = "--delay",
     .arg = Arg::Number,
     .value = "MS",
     .def = "0",
     .help = "pause before the first answer to a sale or void",
     .min = 0,
     .max = kMaxMs,
     .aliases = "--answer-delay"},
    {.kinds = "verifone",
     .name = "--gap",
     .arg = Arg::Number,
     .value = "MS",
     .def = "20",
     .help = "pause between messages, and between EOT and ENQ when apart",
     .min = 0,
     .max = kMaxMs},
    {.kinds = "verifone",
     .name = "--reply-timeout",
     .arg = Arg::Number,
     .value = "MS",
     .def = "3000",
     .help = "how long to wait for the host's ACK, EOT or frame",
     .min = 0,
     .max = kMaxMs},
    {.kinds = "verifone", .name = "--timing",
     .help = "add to each host ACK and EOT event the microseconds since our last write"},

    // viva
    {.kinds = "viva", .name = "--listen", .arg = Arg::Text, .value = "ADDR",
     .help = "address to listen on, e.g. 127.0.0.5 or ::1", .required = true},
    {.kinds = "viva", .name = "--port", .arg = Arg::Number, .value = "P", .def = "8080", .help = "port",
     .min = 1, .max = 65535},
    {.kinds = "viva", .name = "--greeting", .arg = Arg::Text, .value = "TEXT", .def = "VIVA READY",
     .help = "greeting sent on connect"},
    {.kinds = "viva", .name = "--no-greeting", .help = "accept and never greet"},
    {.kinds = "viva", .name = "--result", .arg = Arg::Text, .value = "CODE", .def = "00",
     .help = "reply field 4; 00 approves"},
    {.kinds = "viva", .name = "--message", .arg = Arg::Text, .value = "TEXT",
     .help = "reply field 5 (default APROBAT, or REFUZAT when refused)"},
    {.kinds = "viva", .name = "--fields", .arg = Arg::Number, .value = "N", .def = "31",
     .help = "number of reply fields", .min = 1, .max = 1000},
    {.kinds = "viva", .name = "--txn-id", .arg = Arg::Text, .value = "TEXT",
     .help = "reply field 29 (default TX and the session id)"},
    {.kinds = "viva", .name = "--txn-date", .arg = Arg::Text, .value = "TEXT", .def = "2024-01-01 12:00:00",
     .help = "reply field 30"},
    {.kinds = "viva", .name = "--zero-bytes", .help = "put zero bytes inside reply fields 5 and 29"},
    {.kinds = "viva", .name = "--segments", .arg = Arg::Number, .value = "N", .def = "1",
     .help = "send the reply in N writes", .min = 1, .max = 100},
    {.kinds = "viva",
     .name = "--pause",
     .arg = Arg::Number,
     .value = "MS",
     .def = "200",
     .help = "pause between those writes",
     .min = 0,
     .max = kMaxMs,
     .aliases = "--segment-pause"},
    {.kinds = "viva",
     .name = "--delay",
     .arg = Arg::Number,
     .value = "MS",
     .def = "0",
     .help = "pause before answering",
     .min = 0,
     .max = kMaxMs,
     .aliases = "--reply-delay"},
    {.kinds = "viva", .name = "--length-extra", .arg = Arg::Number, .value = "N", .def = "0",
     .help = "the reply's length field counts N bytes more than follow", .min = 0, .max = 9999},
    {.kinds = "viva", .name = "--silent", .help = "read the request and never answer"},
    {.kinds = "viva",
     .name = "--count",
     .arg = Arg::Number,
     .value = "N",
     .help = "serve N connections, then exit; without it, run until stopped",
     .min = 0,
     .max = kMaxCount},
    {.kinds = "viva", .name = "--once", .help = "serve one connection, then exit (--count 1)"},
};

std::vector<std::string> Words(const char* text) {
  std::vector<std::string> out;
  std::string w;
  for (const char* p = text;; ++p) {
    if (*p == ' ' || *p == 0) {
      if (!w.empty()) out.push_back(w);
      w.clear();
      if (*p == 0) return out;
    } else {
      w += *p;
    }
  }
}

bool IsHexDigit(char c) { return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F') || (c >= 'a' && c <= 'f'); }

// Digits only: no sign, no blank, no prefix, no exponent.
bool ParseLong(const std::string& s, int base, long& out) {
  if (s.empty() || s.size() > 18) return false;
  for (char c : s)
    if (base == 16 ? !IsHexDigit(c) : !(c >= '0' && c <= '9')) return false;
  const auto r = std::from_chars(s.data(), s.data() + s.size(), out, base);
  return r.ec == std::errc() && r.ptr == s.data() + s.size();
}

// Hexadecimal bytes: runs of digits taken two at a time, blanks or commas between.
bool ParseBytes(const std::string& s, std::vector<std::uint8_t>& out) {
  out.clear();
  std::size_t i = 0;
  while (i < s.size()) {
    if (s[i] == ' ' || s[i] == ',') {
      ++i;
      continue;
    }
    std::size_t n = 0;
    while (n < 2 && i + n < s.size() && IsHexDigit(s[i + n])) ++n;
    long v = 0;
    if (n == 0 || !ParseLong(s.substr(i, n), 16, v)) return false;
    out.push_back(static_cast<std::uint8_t>(v));
    i += n;
  }
  return true;
}

std::string Quoted(const std::string& s) { return "\"" + s + "\""; }

std::string ChoiceNames(const OptionRow& o) {
  std::string s;
  for (std::size_t i = 0; i < o.choices.size(); ++i) {
    if (i > 0) s += i + 1 == o.choices.size() ? " or " : ", ";
    s += o.choices[i].name;
  }
  return s;
}

// The value's fault, or "" when it is one the row takes.
std::string CheckValue(const OptionRow& o, const std::string& v) {
  long n = 0;
  std::vector<std::uint8_t> bytes;
  char range[64];
  switch (o.arg) {
    case Arg::Flag:
    case Arg::Text:
      return "";
    case Arg::Number:
      if (ParseLong(v, 10, n) && n >= o.min && n <= o.max) return "";
      std::snprintf(range, sizeof range, "%ld to %ld", o.min, o.max);
      return std::string(o.name) + " wants a number from " + range + ", not " + Quoted(v);
    case Arg::Hex:
      if (ParseLong(v, 16, n) && n >= o.min && n <= o.max) return "";
      std::snprintf(range, sizeof range, "%lX to %lX", o.min, o.max);
      return std::string(o.name) + " wants a hexadecimal number from " + range + ", not " + Quoted(v);
    case Arg::Bytes:
      if (ParseBytes(v, bytes)) return "";
      return std::string(o.name) + " wants hexadecimal bytes such as \"FF 00 7E\", not " + Quoted(v);
    case Arg::Choice:
      for (const auto& c : o.choices)
        if (v == c.name) return "";
      return std::string(o.name) + " wants " + ChoiceNames(o) + ", not " + Quoted(v);
  }
  return "";
}

const OptionRow* FindRow(const KindEntry& kind, std::string_view spelling) {
  for (const auto& o : kOptions) {
    if (!Applies(o, kind)) continue;
    for (const auto& s : Spellings(o))
      if (s == spelling) return &o;
  }
  return nullptr;
}

// Whether some kind other than this one takes the spelling as a line option.
bool SerialOnly(std::string_view spelling) {
  for (const auto& o : kOptions)
    if (std::string_view(o.kinds) == "serial")
      for (const auto& s : Spellings(o))
        if (s == spelling) return true;
  return false;
}

// Stands for a blank that does not end the line (in a default, say).
constexpr char kKeepTogether = '\x1f';

// Fills `width` columns: the words of `text` after `indent` blanks, a new line where "\n" stands.
std::string Wrap(const std::string& text, std::size_t indent, std::size_t first_used, std::size_t width = 79) {
  std::string out;
  std::size_t col = first_used;
  std::string word;
  auto put = [&] {
    if (word.empty()) return;
    if (col > indent && col + 1 + word.size() > width) {
      out += "\n" + std::string(indent, ' ');
      col = indent;
    }
    if (col > indent) {
      out += ' ';
      ++col;
    } else if (col < indent) {
      out += std::string(indent - col, ' ');
      col = indent;
    }
    for (char& c : word)
      if (c == kKeepTogether) c = ' ';
    out += word;
    col += word.size();
    word.clear();
  };
  for (char c : text) {
    if (c == ' ') {
      put();
    } else if (c == '\n') {
      put();
      out += "\n";
      col = 0;
    } else {
      word += c;
    }
  }
  put();
  return out + "\n";
}

std::string OptionHelp(const OptionRow& o) {
  constexpr std::size_t kColumn = 23;
  std::string head = "  " + std::string(o.name);
  if (o.arg != Arg::Flag) head += " " + std::string(o.value);
  std::string text = o.help;
  std::string extra;
  if (o.def && *o.def) {
    std::string shown = o.arg == Arg::Text || o.arg == Arg::Bytes ? Quoted(o.def) : std::string(o.def);
    for (char& c : shown)
      if (c == ' ') c = kKeepTogether;
    extra = "default " + shown;
  }
  for (const auto& a : Words(o.aliases)) extra += (extra.empty() ? "also " : "; also ") + a;
  const bool listed = !o.choices.empty() && *o.choices[0].help;
  if (!o.choices.empty() && !listed) text += " " + ChoiceNames(o);
  if (!extra.empty()) text += " (" + extra + ")";
  if (listed) text += ":";
  std::string out = head;
  if (head.size() + 1 > kColumn) {
    out += "\n";
    out += Wrap(text, kColumn, 0);
  } else {
    out += Wrap(text, kColumn, head.size());
  }
  if (listed)
    for (const auto& c : o.choices) {
      std::string line = "      " + std::string(c.name);
      if (line.size() + 1 > kColumn) line += "\n";
      out += line + Wrap(c.help, kColumn, line.back() == '\n' ? 0 : line.size());
    }
  return out;
}

std::string OptionsHelp(const KindEntry* kind, const char* kinds) {
  std::string out;
  for (const auto& o : kOptions) {
    if (std::string_view(o.kinds) != kinds) continue;
    if (kind && !Applies(o, *kind)) continue;
    out += OptionHelp(o);
  }
  return out;
}

}  // namespace

const std::vector<KindEntry>& KindEntrys() { return kKinds; }
const std::vector<OptionRow>& OptionTable() { return kOptions; }

const KindEntry* FindKindEntry(std::string_view name) {
  for (const auto& k : kKinds)
    if (name == k.name) return &k;
  return nullptr;
}

bool Applies(const OptionRow& option, const KindEntry& kind) {
  const std::string_view kinds = option.kinds;
  if (kinds == "*") return true;
  if (kinds == "serial") return kind.serial;
  for (const auto& w : Words(option.kinds))
    if (w == kind.name) return true;
  return false;
}

std::vector<std::string> Spellings(const OptionRow& option) {
  std::vector<std::string> out{option.name};
  for (auto& a : Words(option.aliases)) out.push_back(a);
  return out;
}

std::string GeneralHelp() {
  std::string out =
      "usage: tarvina-sim KIND [--link PATH] [--trace] [options]\n"
      "       tarvina-sim KIND --help\n\nkinds:\n";
  char line[160];
  for (const auto& k : kKinds) {
    std::snprintf(line, sizeof line, "  %-14s %s\n", k.name, k.summary);
    out += line;
  }
  out += "\noptions of every kind:\n" + OptionsHelp(nullptr, "*");
  out += "\noptions of every serial kind (line faults counted from the PC's first byte):\n" +
         OptionsHelp(nullptr, "serial");
  return out;
}

std::string KindHelp(const KindEntry& kind) {
  std::string out = Wrap("tarvina-sim " + std::string(kind.name) + ": " + kind.summary, 4, 4) +
                    "\nusage: tarvina-sim " + kind.name + (kind.serial ? " --link PATH" : "");
  for (const auto& o : kOptions)
    if (Applies(o, kind) && o.required) out += " " + std::string(o.name) + " " + o.value;
  out += " [options]\n\n";
  out += "options of every kind:\n" + OptionsHelp(&kind, "*");
  if (kind.serial)
    out += "\noptions of every serial kind (line faults counted from the PC's first byte):\n" +
           OptionsHelp(&kind, "serial");
  std::string own;
  for (const auto& o : kOptions)
    if (std::string_view(o.kinds) != "*" && std::string_view(o.kinds) != "serial" && Applies(o, kind))
      own += OptionHelp(o);
  out += "\n" + std::string(kind.name) + " options:\n" + (own.empty() ? "  (none)\n" : own);
  if (*kind.notes) out += "\n" + std::string(kind.notes);
  return out;
}

bool ParseSimOptions(const KindEntry& kind, const std::vector<std::string>& args, SimOptions& out,
                     std::string& error) {
  out = SimOptions();
  out.kind_ = &kind;
  for (const auto& o : kOptions)
    if (Applies(o, kind) && o.def) {
      if (const std::string fault = CheckValue(o, o.def); !fault.empty())
        throw std::logic_error("the default of " + std::string(o.name) + " for " + kind.name + ": " + fault);
      out.values_[o.name] = {o.def};
    }
  for (std::size_t i = 0; i < args.size(); ++i) {
    std::string spelling = args[i];
    std::string value;
    bool inline_value = false;
    if (const std::size_t eq = spelling.find('='); spelling.rfind("--", 0) == 0 && eq != std::string::npos) {
      value = spelling.substr(eq + 1);
      spelling.resize(eq);
      inline_value = true;
    }
    const OptionRow* o = FindRow(kind, spelling);
    if (!o) {
      if (!kind.serial && SerialOnly(spelling))
        error = "uses no serial line; --link and the line faults do not apply";
      else
        error = "unknown option " + spelling + " (tarvina-sim " + kind.name + " --help lists them)";
      return false;
    }
    if (o->arg == Arg::Flag) {
      if (inline_value) {
        error = spelling + " takes no value";
        return false;
      }
      out.given_.insert(o->name);
      continue;
    }
    if (!inline_value) {
      if (i + 1 >= args.size()) {
        error = spelling + " needs a value (" + o->value + ")";
        return false;
      }
      value = args[++i];
    }
    if (std::string fault = CheckValue(*o, value); !fault.empty()) {
      // Named as typed: the message speaks of the alias the user wrote.
      if (spelling != o->name) fault.replace(0, std::string_view(o->name).size(), spelling);
      error = fault;
      return false;
    }
    auto& values = out.values_[o->name];
    if (o->repeat && out.given_.count(o->name))
      values.push_back(value);
    else
      values = {value};
    out.given_.insert(o->name);
  }
  if (out.given_.count("--help")) return true;  // the help needs no other option
  for (const auto& o : kOptions)
    if (Applies(o, kind) && o.required && !out.given_.count(o.name)) {
      error = std::string(o.name) + " " + o.value + " is required";
      return false;
    }
  return true;
}

const OptionRow& SimOptions::Row(std::string_view name) const {
  const OptionRow* o = kind_ ? FindRow(*kind_, name) : nullptr;
  if (!o || o->name != name)
    throw std::logic_error("option " + std::string(name) + " is not in the table for kind " +
                           (kind_ ? kind_->name : "(none)"));
  return *o;
}

const OptionRow& SimOptions::Row(std::string_view name, Arg a, Arg b) const {
  const OptionRow& o = Row(name);
  if (o.arg != a && o.arg != b) throw std::logic_error("option " + std::string(name) + " read as the wrong kind");
  return o;
}

bool SimOptions::Flag(std::string_view name) const {
  Row(name, Arg::Flag, Arg::Flag);
  return given_.count(name) > 0;
}

long SimOptions::Number(std::string_view name) const {
  const OptionRow& o = Row(name, Arg::Number, Arg::Hex);
  const auto it = values_.find(name);
  if (it == values_.end()) throw std::logic_error("option " + std::string(name) + " has no value and no default");
  long n = 0;
  ParseLong(it->second.back(), o.arg == Arg::Hex ? 16 : 10, n);
  return n;
}

const std::string& SimOptions::Text(std::string_view name) const {
  static const std::string kNone;
  Row(name, Arg::Text, Arg::Choice);
  const auto it = values_.find(name);
  return it == values_.end() ? kNone : it->second.back();
}

std::vector<std::uint8_t> SimOptions::Bytes(std::string_view name) const {
  Row(name, Arg::Bytes, Arg::Bytes);
  std::vector<std::uint8_t> out;
  if (const auto it = values_.find(name); it != values_.end()) ParseBytes(it->second.back(), out);
  return out;
}

const std::vector<std::string>& SimOptions::All(std::string_view name) const {
  static const std::vector<std::string> kNone;
  const OptionRow& o = Row(name, Arg::Text, Arg::Choice);
  if (!o.repeat) throw std::logic_error("option " + std::string(name) + " is not repeated");
  const auto it = values_.find(name);
  return it == values_.end() ? kNone : it->second;
}

bool SimOptions::Given(std::string_view name) const {
  Row(name);
  return given_.count(name) > 0;
}

bool SimOptions::Has(std::string_view name) const {
  Row(name);
  return values_.count(name) > 0 || given_.count(name) > 0;
}

}  // namespace tarvina::sim
