#pragma once
// TEmain, the server's main window: the listener and its connections, the
// log and the tray icon (through the shell), the busy and stop flags, the
// driver slots of the card sale in progress, and the dispatch of each request.
// Everything but TCPServerExecute runs on the main thread.
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/TcpServer.h"
#include "server/Config.h"
#include "server/Journal.h"
#include "server/KeyStore.h"
#include "server/Services.h"
#include "server/Validation.h"
#include "terminals/Driver.h"

namespace tarvina {

// One per connection, from connect to disconnect. The main thread touches it
// only while the connection's thread waits for a packet to be handled.
struct TPosClient {
  std::vector<std::string> FMemo;  // lines of the packet being received
  TKeyStore FData;                 // the request packet read as keys
  Connection* FContext = nullptr;  // where replies go
};

// Tray icon callback message and the mouse events that toggle the window.
constexpr unsigned WM_ICONTRAY = 0x401;
constexpr unsigned WM_LBUTTONDOWN = 0x0201;
constexpr unsigned WM_RBUTTONDOWN = 0x0204;

inline constexpr const char* kCaption = "Server POS-uri bancare";
inline constexpr const char* kMesajOcupat = "Server ocupat. Incearca mai tarziu";
inline constexpr const char* kInchidereFortata = "Inchidere fortata";

// The decimal text of Nr ("-" in front when negative), filled on the left
// with car up to Len characters; a longer text is not cut.
std::string ZString64(std::int64_t Nr, int Len, char car);

// The program's title for the tray tip: the file name without its directory,
// cut at its first ".", every character after the first in lower case.
std::string TrayTipText(const std::string& program_path);

class TEmain {
 public:
  TEmain(Services& services, TConfig config, std::string program_path = ProgramPath());
  ~TEmain();
  TEmain(const TEmain&) = delete;
  TEmain& operator=(const TEmain&) = delete;

  // Start-up: listen on the configured port and address with the
  // configured limits, caption, message box on failure, tray icon.
  void FormCreate();
  // Removes the tray icon, closes the listener and every connection. Call
  // once the main loop has quit (connection threads then get LoopClosed).
  void FormDestroy();
  // Mouse event of the tray icon (the message's lParam).
  void TrayMessage(unsigned mouse_event);

  // SIGINT/SIGTERM: with nothing running the loop quits at once; during an
  // operation the server goes on serving (a STOP can still end the operation,
  // other requests are busy) and quits once the operation has returned; its
  // reply is written before the program ends.
  void RequestShutdown();
  bool ShutdownPending() const { return shutdown_pending_; }

  // A connection's life, on that connection's own thread.
  void TCPServerExecute(TcpConnection& connection);

  // One received packet, whole (TMyIDSync.DoSynchronize), on the main thread.
  void DoSynchronize(TPosClient& client, std::vector<std::string>&& packet);
  // One line, as the line-at-a-time hand-off gave them: the packet is
  // processed at its end line.
  void DoSynchronize(TPosClient& client, const std::string& line);
  void ProceseazaCerere(TPosClient& client);

  void ReturnProcesareOK(TPosClient& client);
  void ReturneazaEroare(TPosClient& client, const std::string& message);

  // ---- dispatch (server/Dispatch.cpp; per-kind routines in Dispatch<Kind>.cpp)
  void DoProcesare(TPosClient& client);
  void SetPOSIesireFortata();
  void PlataCuCardul();
  void Settlement();
  void Anulare();
  // Per-kind routines: each terminal kind declares its three (or fewer) here,
  // e.g. `void TranzactiePosTransilvania(); void SettlementTransilvania();
  // void AnularePosTransilvania();`, defines them in server/Dispatch<Kind>.cpp
  // and adds one case line per operation to the switches in Dispatch.cpp.
  void TranzactiePosTransilvania();
  void SettlementTransilvania();
  void AnularePosTransilvania();
  void TranzactieUnicredit();
  void SettlementUnicredit();
  void AnularePosUnicredit();
  void TranzactieBRD();  // card sale on a BRD terminal (DispatchBRD.cpp)
  void TranzactieVerifone();
  void AnularePosVerifone();
  bool PosLogin();
  void TranzactieVivaWallet();
  void AnularePosVivaWallet();
  void TranzactieBRDHypercom();
  void SettlementBRDHypercom();
  void AnularePosBRDHypercom();

  // Lines for the operator about the listener (connections refused, bad
  // AllowFrom entries), from the listener thread or the main thread; it must
  // take them from either. Set before FormCreate().
  std::function<void(const std::string&)> OnNotice;

  // Tests only: when set, runs in place of the per-kind routine of every
  // operation and terminal kind (see server/TestKind.h).
  std::function<void(TEmain&)> TestRoutine;

  Services& services;
  TConfig Config;
  TcpServer TCPServer;

  bool FInProcess = false;        // a request is being processed
  // A stop was asked for during the operation in progress (the BRD sale
  // watches it); cleared when a request is taken for processing.
  bool InchidereFortata = false;
  // True from the start of a request's processing to its very end. A STOP
  // clears FInProcess at once, but until the stopped operation has returned
  // new requests are still refused as busy: they must not start inside its
  // wait and share its driver slots.
  bool FOperatieInCurs = false;

  // The request being processed and its outcome.
  TDateCerere Cerere;
  bool ProcesOK = false;

  std::unique_ptr<TPosDriver> aPosBRD, aPosTransilvania, aPosUnicredit, aPosBRDHyperCom,
      aPosVerifone, aPosVivaWallet;

 private:
  void FreeFirstSlot();
  void ProcessPacket(TPosClient& client);

  // Writes a reply; the reply of the operation being processed is journalled
  // first, and its delivery once known.
  void Reply(TPosClient& client, bool ok, const std::string& message);

  Journal journal_;  // [Journal] File; off when not set
  // The client whose request is being processed: its reply is an
  // operation's outcome, any other reply meanwhile is a busy one.
  const TPosClient* operation_client_ = nullptr;

  std::string program_path_;
  bool shutdown_pending_ = false;
  bool tray_added_ = false;
};

}  // namespace tarvina
