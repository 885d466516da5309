// tarvina-cli: the billing application's side of the request protocol, for
// people and tests. Sends one request (or the lines of standard input) and
// prints the reply lines; exits 0 only when every reply is "PROCESAREOK".
#include <cstdio>
#include <fstream>
#include <iostream>
#include <iterator>
#include <map>
#include <string>

#include "server/Config.h"
#include "server/Journal.h"
#include "server/RequestClient.h"
#include "server/Validation.h"

using namespace tarvina;

namespace {

const char* const kUsage =
    "usage: tarvina-cli [--host H] [--port P] sale|settle|void --pos KIND --com N\n"
    "                   [--amount X] [--nrbon R] [--session S] [--ip HOST]\n"
    "       tarvina-cli [--host H] [--port P] raw     (sends standard input as it is)\n"
    "       tarvina-cli journal [--file PATH | --config FILE] [--last N]\n"
    "KIND: brd, transilvania, unicredit, hypercom, verifone, viva, or a TipPos number\n"
    "exit status: 0 PROCESAREOK, 1 ERROR or no reply, 2 usage or connection failure\n"
    "journal: one line per operation of the server's journal (--file, or [Journal] File\n"
    "         of --config FILE, by default /etc/tarvina/Tarvina.ini); exit status 2 when\n"
    "         there is none or it cannot be read\n";

constexpr const char* kInstalledConfig = "/etc/tarvina/Tarvina.ini";

int Usage() {
  std::cerr << kUsage;
  return 2;
}

std::string TipPosOf(const std::string& kind) {
  static const std::map<std::string, std::string> names = {
      {"brd", "1"},      {"transilvania", "3"}, {"unicredit", "4"},
      {"hypercom", "5"}, {"verifone", "6"},     {"viva", "7"}};
  const auto it = names.find(kind);
  return it == names.end() ? kind : it->second;  // anything else goes as it is
}

// tarvina-cli journal: the operations of the journal, the last `last` of
// them when last > 0.
int PrintJournal(std::string file, const std::string& config, std::int32_t last) {
  if (file.empty()) {
    const std::string from = config.empty() ? kInstalledConfig : config;
    file = ReadConfig(from).Keys.ReadString("Journal", "File");
    if (file.empty()) {
      std::cerr << "tarvina-cli: no journal: " << from << " sets no [Journal] File (--file names one)\n";
      return 2;
    }
  }
  std::ifstream in(file, std::ios::binary);
  if (!in) {
    std::cerr << "tarvina-cli: " << file << ": cannot be read\n";
    return 2;
  }
  const auto entries = ReadJournal(in);
  const std::size_t skip =
      last > 0 && entries.size() > static_cast<std::size_t>(last) ? entries.size() - static_cast<std::size_t>(last) : 0;
  for (std::size_t i = skip; i < entries.size(); ++i) std::cout << FormatJournalEntry(entries[i]) << "\n";
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc >= 2 && std::string(argv[1]) == "journal") {
    std::string file, config;
    std::int32_t last = 0;
    for (int i = 2; i < argc; ++i) {
      const std::string a = argv[i];
      if (i + 1 >= argc) return Usage();
      if (a == "--file") {
        file = argv[++i];
      } else if (a == "--config") {
        config = argv[++i];
      } else if (a == "--last") {
        if (!TryIntegerText(argv[++i], last) || last <= 0) return Usage();
      } else {
        return Usage();
      }
    }
    return PrintJournal(file, config, last);
  }
  std::string host = "localhost";
  std::int32_t port = 8090;
  std::string command;
  RequestFields f;
  const std::map<std::string, std::string*> values = {
      {"--pos", &f.TipPos},     {"--com", &f.PortSerial}, {"--amount", &f.Suma},
      {"--nrbon", &f.NrBon},    {"--session", &f.SessionID}, {"--ip", &f.IPPosViva},
      {"--host", &host}};
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--help" || a == "-h") {
      std::cout << kUsage;
      return 0;
    }
    if (a == "--port") {
      if (i + 1 >= argc || !TryIntegerText(argv[++i], port) || port <= 0 || port > 65535)
        return Usage();
    } else if (values.count(a)) {
      if (i + 1 >= argc) return Usage();
      *values.at(a) = argv[++i];
    } else if (command.empty() && (a == "sale" || a == "settle" || a == "void" || a == "raw")) {
      command = a;
    } else {
      return Usage();
    }
  }
  if (command.empty()) return Usage();

  std::string request;
  if (command == "raw") {
    request.assign(std::istreambuf_iterator<char>(std::cin), std::istreambuf_iterator<char>());
  } else {
    if (f.TipPos.empty() || f.PortSerial.empty()) return Usage();
    f.Operatie = command == "sale" ? "0" : command == "settle" ? "1" : "2";
    f.TipPos = TipPosOf(f.TipPos);
    request = RequestBytes(f);
  }

  RequestClient client;
  std::string reason;
  if (!client.Connect(host, static_cast<std::uint16_t>(port), reason)) {
    std::cerr << "tarvina-cli: " << host << ":" << port << ": " << reason << "\n";
    return 2;
  }
  if (!client.Send(request)) {
    std::cerr << "tarvina-cli: the server closed the connection\n";
    return 2;
  }
  // The server answers what it got, then sees the end and closes.
  client.FinishSending();
  int replies = 0;
  bool all_ok = true;
  for (;;) {
    std::string bytes;
    const auto r = client.ReadReply(bytes);
    const auto lines = ReplyLines(bytes);
    for (const auto& line : lines) std::cout << line << "\n";
    if (r != RequestClient::Result::kReply) break;
    ++replies;
    all_ok = all_ok && !lines.empty() && lines.front() == "PROCESAREOK";
  }
  std::cout.flush();
  return replies > 0 && all_ok ? 0 : 1;
}
