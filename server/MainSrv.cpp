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
      TCPServer([this](TcpConnection& c) { TCPServerExecute(c); }, &s.loop),
      program_path_(std::move(program_path)) {
  services.shell.SetCaption(kCaption);
  TCPServer.OnNotice = [this](const std::string& line) {
    if (OnNotice) OnNotice(line);
  };
  const std::string journal = Config.Keys.ReadString("Journal", "File");
  if (!journal.empty())
    journal_ = Journal(journal, [this](const std::string& text) {
      services.shell.AppendLog(text);
      services.shell.ShowMessage(text);
    });
}

TEmain::~TEmain() { FormDestroy(); }

void TEmain::FormCreate() {
  TcpServer::Settings settings;
  settings.bind = Config.Bind;
  std::vector<std::string> bad;
  settings.allow = AddressFilter::Parse(Config.AllowFrom, bad);
  for (const auto& entry : bad)
    if (OnNotice) OnNotice("AllowFrom: \"" + entry + "\" is no address or range; left out");
  settings.max_connections = static_cast<std::size_t>(Config.MaxConnections);
  settings.limits.idle_ms = static_cast<Millis>(Config.IdleTimeout) * 1000;
  TCPServer.Configure(std::move(settings));
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
  // so that joining them cannot wait on the main thread we are on. Each
  // writes what it was handed before it ends; the reports of those writes
  // come after the loop has quit, and are run here.
  services.loop.Quit();
  TCPServer.Stop();
  TCPServer.RunCompletions();
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
  // quits right after (end of ProceseazaCerere). Until then connections are
  // still taken: the one way to end a sale whose terminal stays silent is a
  // STOP, and it comes on a connection of its own.
  shutdown_pending_ = true;
}

void TEmain::TCPServerExecute(TcpConnection& connection) {
  TPosClient client;  // TCPServerConnect
  client.FContext = &connection;
  PacketAssembler reader;
  std::vector<std::vector<std::string>> packets;
  std::uint8_t buf[16384];
  try {
    for (;;) {
      const std::size_t n = connection.Read(buf, sizeof buf);
      if (n == 0) break;
      packets.clear();
      const bool fits = reader.Feed(buf, n, packets);
      // Packets completed before an overlong line or packet still count: on
      // a slower link they would have arrived, and been answered, on their own.
      for (auto& packet : packets)
        services.loop.Synchronize([&] { DoSynchronize(client, std::move(packet)); });  // TMyIDSync
      if (!fits) return;  // closed without a reply
    }
  } catch (...) {
    // The loop has quit, or processing the packet failed: this connection
    // ends, nothing else does.
  }
}  // TCPServerDisconnect: the client goes with the scope

void TEmain::DoSynchronize(TPosClient& client, std::vector<std::string>&& packet) {
  client.FMemo = std::move(packet);
  ProcessPacket(client);
}

void TEmain::DoSynchronize(TPosClient& client, const std::string& line) {
  client.FMemo.push_back(line);
  if (IsEndLine(line)) ProcessPacket(client);
}

void TEmain::ProcessPacket(TPosClient& client) {
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
  // A STOP ends the operation that runs when it comes, and nothing after it:
  // one left over from idle time, or taken after an operation that blocked
  // the loop, would end this sale after the terminal has its request.
  InchidereFortata = false;
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
