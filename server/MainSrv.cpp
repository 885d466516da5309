#include "server/MainSrv.h"

#include <utility>

#include "server/Packets.h"

namespace tarvina {

std::string TrayTipText(const std::string& program_path) {
  const auto slash = program_path.rfind('/');
  std::string name = slash == std::string::npos ? program_path : program_path.substr(slash + 1);
  const auto dot = name.find('.');
  if (dot != std::string::npos) name.resize(dot);
  for (std::size_t i = 1; i < name.size(); ++i)
    if (name[i] >= 'A' && name[i] <= 'Z') name[i] = static_cast<char>(name[i] - 'A' + 'a');
  return name.substr(0, kTrayTipMax);
}

TEmain::TEmain(Services& s, TConfig config, std::string program_path)
    : services(s),
      Config(std::move(config)),
      TCPServer([this](TcpConnection& c) { TCPServerExecute(c); }),
      program_path_(std::move(program_path)) {
  services.shell.SetCaption(kCaption);
  const std::string journal = Config.Keys.ReadString("Journal", "File");
  if (!journal.empty())
    journal_ = Journal(journal, [this](const std::string& text) {
      services.shell.AppendLog(text);
      services.shell.ShowMessage(text);
    });
}

TEmain::~TEmain() { FormDestroy(); }

void TEmain::FormCreate() {
  std::string reason;
  const bool active = TCPServer.Listen(Config.ListenPort(), reason);
  services.shell.SetCaption(std::string(kCaption) + "     Port : " + std::to_string(Config.PortIP) +
                            (active ? "    Server activ" : "    Server inactiv"));
  if (!active) services.shell.ShowMessage("Eroare la activare server : " + reason);
  services.shell.AddTrayIcon(TrayTipText(program_path_));
  tray_added_ = true;
}

void TEmain::FormDestroy() {
  if (tray_added_) {
    services.shell.RemoveTrayIcon();
    tray_added_ = false;
  }
  // Connection threads waiting for a hand-off are let go first (LoopClosed),
  // so that joining them cannot wait on the main thread we are on.
  services.loop.Quit();
  TCPServer.Stop();
}

void TEmain::TrayMessage(unsigned mouse_event) {
  if (mouse_event != WM_LBUTTONDOWN && mouse_event != WM_RBUTTONDOWN) return;
  if (services.shell.WindowVisible())
    services.shell.HideWindow();
  else
    services.shell.ShowWindow();
}

void TEmain::RequestShutdown() {
  if (!FOperatieInCurs) {
    services.loop.Quit();
    return;
  }
  // The running operation ends normally and its reply is written; the loop
  // quits right after (end of ProceseazaCerere).
  if (!shutdown_pending_) {
    shutdown_pending_ = true;
    TCPServer.StopAccepting();
  }
}

void TEmain::TCPServerExecute(TcpConnection& connection) {
  TPosClient client;  // TCPServerConnect
  client.FContext = &connection;
  LineAssembler reader;
  std::vector<std::string> lines;
  std::size_t packet_bytes = 0;
  std::uint8_t buf[4096];
  try {
    for (;;) {
      const std::size_t n = connection.Read(buf, sizeof buf);
      if (n == 0) break;
      lines.clear();
      const bool line_fits = reader.Feed(buf, n, lines);
      // Lines completed before an overlong one still count: on a slower
      // link they would have arrived, and been answered, on their own.
      for (const auto& line : lines) {
        packet_bytes += line.size() + 1;
        if (packet_bytes > kMaxPacketBytes) return;
        services.loop.Synchronize([&] { DoSynchronize(client, line); });
        if (IsEndLine(line)) packet_bytes = 0;
      }
      if (!line_fits) return;  // closed without a reply
    }
  } catch (...) {
    // The loop has quit, a reply could not be written, or processing the
    // line failed: this connection ends, nothing else does.
  }
}  // TCPServerDisconnect: the client goes with the scope

void TEmain::DoSynchronize(TPosClient& client, const std::string& line) {
  client.FMemo.push_back(line);
  if (!IsEndLine(line)) return;
  // Each packet stands alone: the next one on this connection starts afresh.
  try {
    ProceseazaCerere(client);
  } catch (...) {
    client.FMemo.clear();
    throw;
  }
  client.FMemo.clear();
}

void TEmain::ProceseazaCerere(TPosClient& client) {
  if (IsStopPacket(client.FMemo)) {
    InchidereFortata = true;
    FInProcess = false;
    services.shell.AppendLog(kInchidereFortata);
    SetPOSIesireFortata();
    return;
  }
  if (FInProcess || FOperatieInCurs) {
    ReturneazaEroare(client, kMesajOcupat);
    return;
  }
  FInProcess = true;
  FOperatieInCurs = true;
  operation_client_ = &client;
  const auto finish = [&] {
    services.shell.AppendLog(Cerere.ErrorMsg);
    operation_client_ = nullptr;
    FInProcess = false;
    FOperatieInCurs = false;
    if (shutdown_pending_) services.loop.Quit();
  };
  try {
    services.shell.SetLogLines(client.FMemo);
    client.FData.Load(client.FMemo);
    if (DateValide(client.FData, Cerere))
      DoProcesare(client);
    else
      ReturneazaEroare(client, Cerere.ErrorMsg);
  } catch (...) {
    finish();
    throw;
  }
  finish();
}

void TEmain::ReturnProcesareOK(TPosClient& client) { Reply(client, true, {}); }

void TEmain::ReturneazaEroare(TPosClient& client, const std::string& message) {
  Reply(client, false, message);
}

void TEmain::Reply(TPosClient& client, bool ok, const std::string& message) {
  const std::string bytes = ok ? ReplyOkBytes() : ReplyErrorBytes(message);
  if (!journal_.On() || &client != operation_client_) {
    client.FContext->Write(bytes);
    return;
  }
  operation_client_ = nullptr;  // one outcome per operation
  const auto info = [&](const char* key) { return client.FData.ReadString(kInfoSection, key); };
  JournalRecord r;
  r.client = client.FContext->PeerAddress();
  r.operatie = info("Operatie");
  r.tip_pos = info("TipPos");
  r.port_serial = info("PortSerial");
  r.suma = info("Suma");
  r.nr_bon = info("NrBon");
  r.ok = ok;
  r.message = message;
  const std::uint64_t n = journal_.Record(std::move(r));
  client.FContext->Write(bytes, [this, n](bool delivered) { journal_.Delivered(n, delivered); });
}

}  // namespace tarvina
