// Every operation on every terminal kind that takes it, through the built
// programs: `tarvina --headless` with a generated Tarvina.ini that maps COMn to
// the virtual lines of `tarvina-sim` terminals, Viva Wallet simulators on
// loopback addresses of their own, and a billing client on loopback TCP:
// approving and refusing terminals, the refusals of the request checks, and
// what a STOP and a second request do while each kind of terminal waits.
// Replies are compared whole, byte for byte.
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <unistd.h>

#include <cctype>
#include <cstdio>
#include <fstream>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "server/RequestClient.h"
#include "tests/e2e/viva_e2e.h"
#include "tests/support/LoopbackClient.h"
#include "tests/support/ServerProcess.h"

namespace tarvina {
namespace {

const std::string kOk = "PROCESAREOK\r\n[ENDPACHET]\r\n";
const std::string kBusy = "ERROR\r\nServer ocupat. Incearca mai tarziu\r\n[ENDPACHET]\r\n";
const std::string kStop = "STOP\r\n[ENDPACHET]\r\n";
std::string Error(const std::string& msg) { return "ERROR\r\n" + msg + "\r\n[ENDPACHET]\r\n"; }

// The loopback addresses of the Viva Wallet simulators here, apart from those
// of the other suites so that each can have port 8080.
const std::string kVivaApproving = "127.0.0.221";
const std::string kVivaRefusing = "127.0.0.222";
const std::string kVivaWaiting = "127.0.0.223";

// One request as the billing application sends it: a card sale (0) and a void
// (2) of 12.34, the void of receipt 57, a settlement (1) without an amount.
// Viva Wallet requests carry the terminal's address and a session number.
std::string Request(int operatie, int kind, int com, const std::string& viva_host = "") {
  RequestFields f;
  f.Operatie = std::to_string(operatie);
  f.TipPos = std::to_string(kind);
  f.PortSerial = std::to_string(com);
  if (operatie != 1) f.Suma = "12.34";
  if (operatie == 2) f.NrBon = "57";
  if (kind == 7) {
    f.IPPosViva = viva_host;
    if (operatie == 0) f.SessionID = "42";
  }
  return RequestBytes(f);
}
std::string Sale(int kind, int com) { return Request(0, kind, com); }
std::string SaleOf(int kind, int com, const std::string& suma) {
  RequestFields f;
  f.Operatie = "0";
  f.TipPos = std::to_string(kind);
  f.PortSerial = std::to_string(com);
  f.Suma = suma;
  return RequestBytes(f);
}
std::string Settlement(int kind, int com) { return Request(1, kind, com); }
std::string Void(int kind, int com) { return Request(2, kind, com); }
std::string VivaSale(const std::string& host) { return Request(0, 7, 1, host); }
std::string VivaVoid(const std::string& host) { return Request(2, 7, 1, host); }

// Simulated terminals in a directory of their own and the server in front of
// them; everything is stopped (and the links removed) when it goes.
class Shop {
 public:
  Shop() {
    char tmpl[] = "/tmp/tarvina-matrix-XXXXXX";
    dir_ = ::mkdtemp(tmpl) ? tmpl : "/tmp";
  }
  ~Shop() {
    if (server_) {  // before the terminals: it lets go of their lines
      server_->Signal(SIGTERM);
      server_->Wait();
    }
    for (auto& [key, sim] : sims_) {
      sim->Signal(SIGTERM);
      sim->Wait();
    }
    sims_.clear();
    std::remove(config_.c_str());
    ::rmdir(dir_.c_str());
  }

  // tarvina-sim `kind` on the line the server knows as COMcom. `stderr_too`
  // puts the simulator's standard error among its output lines.
  bool Serial(const std::string& kind, int com, const std::vector<std::string>& options, bool stderr_too = false) {
    const std::string link = dir_ + "/com" + std::to_string(com);
    std::vector<std::string> args = {kind, "--link", link};
    args.insert(args.end(), options.begin(), options.end());
    auto sim = std::make_unique<ServerProcess>();
    sim->Start(BinPath("tarvina-sim"), args,
               stderr_too ? ServerProcess::Stderr::kWithOutput : ServerProcess::Stderr::kDiscard);
    const bool ready = sim->WaitForLine("ready " + link, 10000) >= 0;
    links_[com] = link;
    sims_[std::to_string(com)] = std::move(sim);
    return ready;
  }
  // tarvina-sim viva on `addr`:8080.
  bool Viva(const std::string& addr, const std::vector<std::string>& options) {
    auto sim = StartVivaSim(addr, options);
    const bool ready = sim->WaitForLine("listening " + addr, 0) >= 0;
    sims_[addr] = std::move(sim);
    return ready;
  }
  // The server, its [Serial] section naming every line so far.
  bool Open() {
    config_ = dir_ + "/Tarvina.ini";
    std::ofstream ini(config_);
    ini << "[Serial]\r\n";
    for (const auto& [com, link] : links_) ini << "COM" << com << "=" << link << "\r\n";
    ini.close();
    server_ = std::make_unique<ServerProcess>();
    return server_->StartServer(BinPath("tarvina"), {"--config", config_});
  }

  ServerProcess& server() { return *server_; }
  // The simulator on COMcom, or on a Viva Wallet address.
  ServerProcess& sim(const std::string& key) { return *sims_.at(key); }
  std::map<std::string, std::size_t> SimLineCounts() {
    std::map<std::string, std::size_t> counts;
    for (auto& [key, sim] : sims_) counts[key] = sim->LineCount();
    return counts;
  }

  std::unique_ptr<RequestClient> Send(const std::string& request) {
    auto c = ConnectToServer(server_->port());
    c->Send(request);
    return c;
  }
  std::string RoundTrip(const std::string& request) { return RoundTripToServer(server_->port(), request, 30000); }

 private:
  std::string dir_, config_;
  std::map<int, std::string> links_;
  std::map<std::string, std::unique_ptr<ServerProcess>> sims_;
  std::unique_ptr<ServerProcess> server_;
};

// The lines of the shop that the matrix and the refusals share: an approving
// and a refusing terminal of each serial kind (the BRD line takes COM1 to
// COM9 only). BRD Hypercom refuses a settlement only by not acknowledging it,
// so that refusal has a terminal of its own.
enum Com : int {
  kBrd = 1,
  kBrdRefusing = 2,
  kTransilvania = 3,
  kTransilvaniaRefusing = 13,
  kUnicredit = 4,
  kUnicreditRefusing = 14,
  kHypercom = 5,
  kHypercomRefusing = 15,
  kHypercomNoSettlement = 25,
  kVerifone = 6,
  kVerifoneRefusing = 16,
};

class ShopE2E : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    shop_ = new Shop;
    const bool ready =
        shop_->Serial("brd", kBrd, {}, true) &&
        shop_->Serial("brd", kBrdRefusing, {"--answer", "refused", "--reason", "FONDURI INSUFICIENTE"}) &&
        shop_->Serial("transilvania", kTransilvania, {"--trace"}, true) &&
        shop_->Serial("transilvania", kTransilvaniaRefusing,
                      {"--scenario", "refuse", "--code", "5", "--a107", "51", "--a108", "FONDURI INSUFICIENTE"}) &&
        shop_->Serial("unicredit", kUnicredit, {}) &&
        shop_->Serial("unicredit", kUnicreditRefusing,
                      {"--result", "TRANZACTIE REFUZATA", "--extra", "FONDURI INSUFICIENTE", "--report-code", "05",
                       "--report-text1", "EROARE", "--report-text2", "LOT DESCHIS"}) &&
        shop_->Serial("hypercom", kHypercom, {}) && shop_->Serial("hypercom", kHypercomRefusing, {"--code", "51"}) &&
        shop_->Serial("hypercom", kHypercomNoSettlement, {"--scenario", "wrong-type"}) &&
        shop_->Serial("verifone", kVerifone, {}) && shop_->Serial("verifone", kVerifoneRefusing, {"--final", "declined"}) &&
        shop_->Viva(kVivaApproving, {}) &&
        shop_->Viva(kVivaRefusing, {"--result", "51", "--message", "Fonduri insuficiente"}) && shop_->Open();
    if (!ready) {
      delete shop_;
      shop_ = nullptr;
    }
  }
  static void TearDownTestSuite() {
    delete shop_;
    shop_ = nullptr;
  }
  void SetUp() override { ASSERT_NE(shop_, nullptr) << "the terminals or the server did not start"; }

  static Shop* shop_;
};
Shop* ShopE2E::shop_ = nullptr;

struct Cell {
  const char* name;
  std::string request, reply;
};
void PrintTo(const Cell& c, std::ostream* os) { *os << c.name; }

class MatrixE2E : public ShopE2E, public ::testing::WithParamInterface<Cell> {};

TEST_P(MatrixE2E, ReplyIsExact) { EXPECT_EQ(shop_->RoundTrip(GetParam().request), GetParam().reply); }

const Cell kCells[] = {
    {"sale_brd_approved", Sale(1, kBrd), kOk},
    {"sale_brd_refused", Sale(1, kBrdRefusing), Error("Tranzactie refuzata : FONDURI INSUFICIENTE  ")},

    {"sale_brd_zero", SaleOf(1, kBrd, "0"), kOk},

    {"sale_transilvania_approved", Sale(3, kTransilvania), kOk},
    {"sale_transilvania_zero", SaleOf(3, kTransilvania, "0"), kOk},
    {"sale_transilvania_refused", Sale(3, kTransilvaniaRefusing),
     Error("Eroare la inregistrare tranzactie :   FONDURI INSUFICIENTE  Cod eroare banca : 51")},
    {"settlement_transilvania_approved", Settlement(3, kTransilvania), kOk},
    {"settlement_transilvania_refused", Settlement(3, kTransilvaniaRefusing), "ERROR\r\n\r\n[ENDPACHET]\r\n"},
    {"void_transilvania_approved", Void(3, kTransilvania), kOk},
    {"void_transilvania_refused", Void(3, kTransilvaniaRefusing),
     Error("Operatia de anulare nu a reusit \r\rFONDURI INSUFICIENTE")},

    {"sale_unicredit_approved", Sale(4, kUnicredit), kOk},
    {"sale_unicredit_refused", Sale(4, kUnicreditRefusing),
     Error("Operatie esuata :   TRANZACTIE REFUZATA\r\rFONDURI INSUFICIENTE")},
    {"settlement_unicredit_approved", Settlement(4, kUnicredit), kOk},
    {"settlement_unicredit_refused", Settlement(4, kUnicreditRefusing), Error("Eroare raport. EROARE\r\rLOT DESCHIS")},
    {"void_unicredit_approved", Void(4, kUnicredit), kOk},
    {"void_unicredit_refused", Void(4, kUnicreditRefusing),
     Error("Operatia de anulare nu a reusit \r\rTRANZACTIE REFUZATA\r\rFONDURI INSUFICIENTE")},

    {"sale_hypercom_approved", Sale(5, kHypercom), kOk},
    {"sale_hypercom_refused", Sale(5, kHypercomRefusing), Error("Operatie esuata :   FONDURI INSUFICIENTE")},
    {"settlement_hypercom_approved", Settlement(5, kHypercom), kOk},
    // Three unacknowledged attempts, 3 s of silence each: the one slow cell.
    {"settlement_hypercom_refused", Settlement(5, kHypercomNoSettlement), Error("Eroare raport. Time out")},
    {"void_hypercom_approved", Void(5, kHypercom), kOk},
    {"void_hypercom_refused", Void(5, kHypercomRefusing),
     Error("Operatia de anulare nu a reusit \r\rFONDURI INSUFICIENTE")},

    {"sale_verifone_approved", Sale(6, kVerifone), kOk},
    {"sale_verifone_refused", Sale(6, kVerifoneRefusing), Error("Operatie esuata  ")},
    {"void_verifone_approved", Void(6, kVerifone), kOk},
    {"void_verifone_refused", Void(6, kVerifoneRefusing), Error("Operatia de anulare nu a reusit ")},

    {"sale_viva_approved", VivaSale(kVivaApproving), kOk},
    {"sale_viva_refused", VivaSale(kVivaRefusing), Error("Operatie esuata :   Fonduri insuficiente")},
    {"void_viva_approved", VivaVoid(kVivaApproving), kOk},
    {"void_viva_refused", VivaVoid(kVivaRefusing), Error("Operatia de anulare nu a reusit \r\rFonduri insuficiente")},
};
INSTANTIATE_TEST_SUITE_P(EveryAllowedOperation, MatrixE2E, ::testing::ValuesIn(kCells),
                         [](const ::testing::TestParamInfo<Cell>& i) { return std::string(i.param.name); });

// Each check of the request values, with requests that point at live
// terminals of every kind: a refused request must reach none of them (each
// of those simulators prints a line for anything that comes down its line).
TEST_F(ShopE2E, RefusedRequestsReachNoTerminal) {
  const std::string settle_msg =
      "Aceasta optiune este functionala doar pentru POS-uri Transilvania, Unicredit si BRD Hypercom";
  const std::string void_msg =
      "Aceasta optiune este functionala doar pentru POS-uri Transilvania, Unicredit, BRD Hypercom, Verofone si Viva "
      "Wallet";
  auto packet = [](const std::string& keys) { return "[InfoPachet]\r\n" + keys + "[ENDPACHET]\r\n"; };
  const struct {
    const char* name;
    std::string request, reply;
  } cases[] = {
      {"operation not a number", packet("Operatie=vanzare\r\nTipPos=4\r\nPortSerial=4\r\nSuma=1\r\n"),
       Error("Parametrul \"Operatie\" este eronat (-1)")},
      {"operation in hexadecimal, shown in decimal", packet("Operatie=0x10\r\nTipPos=4\r\nPortSerial=4\r\n"),
       Error("Parametrul \"Operatie\" este eronat (16)")},
      {"operation beyond 32 bits", packet("Operatie=4294967296\r\nTipPos=4\r\nPortSerial=4\r\n"),
       Error("Parametrul \"Operatie\" este eronat (-1)")},
      {"operation checked before the kind", packet("Operatie=-2\r\nTipPos=9\r\n"),
       Error("Parametrul \"Operatie\" este eronat (-2)")},
      {"kind missing", packet("Operatie=0\r\nPortSerial=4\r\nSuma=1\r\n"), Error("Parametrul \"TipPos\" este eronat (-1)")},
      {"kind 8", packet("Operatie=0\r\nTipPos=8\r\nPortSerial=4\r\nSuma=1\r\n"),
       Error("Parametrul \"TipPos\" este eronat (8)")},
      {"kind 0", packet("Operatie=2\r\nTipPos=0\r\nPortSerial=4\r\nSuma=1\r\nNrBon=5\r\n"),
       Error("Parametrul \"TipPos\" este eronat (0)")},
      {"settlement on BRD", Settlement(1, kBrd), Error(settle_msg)},
      {"settlement on Viva Wallet", packet("Operatie=1\r\nTipPos=7\r\nPortSerial=1\r\nIPPosViva=" + kVivaApproving + "\r\n"),
       Error(settle_msg)},
      {"settlement kind checked before the port", packet("Operatie=1\r\nTipPos=6\r\nPortSerial=0\r\n"), Error(settle_msg)},
      {"void on BRD, amount and receipt given", packet("Operatie=2\r\nTipPos=1\r\nPortSerial=1\r\nSuma=1\r\nNrBon=5\r\n"),
       Error(void_msg)},
      {"port 0", packet("Operatie=1\r\nTipPos=4\r\nPortSerial=0\r\n"), Error("Parametrul \"PortSerial\" este eronat (0)")},
      {"negative port", packet("Operatie=0\r\nTipPos=1\r\nPortSerial=-1\r\nSuma=1\r\n"),
       Error("Parametrul \"PortSerial\" este eronat (-1)")},
      {"port checked before the amount", packet("Operatie=0\r\nTipPos=5\r\nPortSerial=COM5\r\nSuma=x\r\n"),
       Error("Parametrul \"PortSerial\" este eronat (-1)")},
      {"sale without an amount", packet("Operatie=0\r\nTipPos=3\r\nPortSerial=3\r\n"),
       Error("Parametrul \"Suma\" este eronat ()")},
      {"amount beyond a double", packet("Operatie=0\r\nTipPos=5\r\nPortSerial=5\r\nSuma=1e999\r\n"),
       Error("Parametrul \"Suma\" este eronat (1e999)")},
      {"Viva Wallet sale, amount with a thousands mark",
       packet("Operatie=0\r\nTipPos=7\r\nPortSerial=1\r\nSuma=1,000.50\r\nIPPosViva=" + kVivaApproving + "\r\n"),
       Error("Parametrul \"Suma\" este eronat (1,000,50)")},
      // Amounts the kind's amount field cannot carry: negative, infinite in
      // hundredths, or more digits of hundredths than the field holds.
      {"negative sale on BRD", SaleOf(1, kBrd, "-10"), Error("Parametrul \"Suma\" este eronat (-10)")},
      {"BRD sale infinite in hundredths", SaleOf(1, kBrd, "1e307"), Error("Parametrul \"Suma\" este eronat (1e307)")},
      {"13 digits on Banca Transilvania", SaleOf(3, kTransilvania, "12345678901.23"),
       Error("Parametrul \"Suma\" este eronat (12345678901,23)")},
      {"negative void on UniCredit", packet("Operatie=2\r\nTipPos=4\r\nPortSerial=4\r\nSuma=-0.01\r\nNrBon=5\r\n"),
       Error("Parametrul \"Suma\" este eronat (-0,01)")},
      {"13 digits on BRD Hypercom", SaleOf(5, kHypercom, "1e10"), Error("Parametrul \"Suma\" este eronat (1e10)")},
      {"Verifone void infinite in hundredths", packet("Operatie=2\r\nTipPos=6\r\nPortSerial=6\r\nSuma=1e307\r\nNrBon=5\r\n"),
       Error("Parametrul \"Suma\" este eronat (1e307)")},
      {"16 digits on Viva Wallet",
       packet("Operatie=0\r\nTipPos=7\r\nPortSerial=1\r\nSuma=1e13\r\nIPPosViva=" + kVivaApproving + "\r\n"),
       Error("Parametrul \"Suma\" este eronat (1e13)")},
      {"void with an empty receipt",
       packet("Operatie=2\r\nTipPos=7\r\nPortSerial=1\r\nSuma=1\r\nNrBon=\r\nIPPosViva=" + kVivaApproving + "\r\n"),
       Error("Nu ai transmis parametrul \"NrBon\"")},
      {"void without a receipt, on Verifone", packet("Operatie=2\r\nTipPos=6\r\nPortSerial=6\r\nSuma=1\r\n"),
       Error("Nu ai transmis parametrul \"NrBon\"")},
  };
  const auto before = shop_->SimLineCounts();
  for (const auto& c : cases) EXPECT_EQ(shop_->RoundTrip(c.request), c.reply) << c.name;
  EXPECT_EQ(shop_->SimLineCounts(), before) << "a terminal was reached";
}

// A card sale that a STOP ends, or an operation that a STOP leaves alone, on
// a terminal of its own with a server of its own.
struct StopCase {
  const char* name;
  std::string kind;  // a tarvina-sim kind; "viva" listens on kVivaWaiting
  std::vector<std::string> options;
  bool stderr_too;       // the simulator says on standard error what `waiting` waits for
  std::string request;   // on COM9 for the serial kinds
  std::string waiting;   // the simulator's line that shows the operation waits for it
  bool ends_operation;   // the STOP makes it give up
  std::string reply;
};
void PrintTo(const StopCase& c, std::ostream* os) { *os << c.name; }

class StopE2E : public ::testing::TestWithParam<StopCase> {};

constexpr int kStopCom = 9;

TEST_P(StopE2E, EndsACardSaleAndNothingElse) {
  const StopCase& c = GetParam();
  const bool viva = c.kind == "viva";
  Shop shop;
  ASSERT_TRUE(viva ? shop.Viva(kVivaWaiting, c.options) : shop.Serial(c.kind, kStopCom, c.options, c.stderr_too));
  ASSERT_TRUE(shop.Open());
  ServerProcess& sim = shop.sim(viva ? kVivaWaiting : std::to_string(kStopCom));
  ServerProcess& server = shop.server();
  // Answered at once when the server is free, by a port that does not open.
  const std::string probe = Settlement(4, 99);
  const std::string probe_reply = Error("Eroare la deschidere port serial ");

  auto a = shop.Send(c.request);
  ASSERT_GE(sim.WaitForLine(c.waiting, 10000), 0) << "the terminal did not get the request";
  if (!viva) {
    EXPECT_EQ(shop.RoundTrip(probe), kBusy);
  }

  const std::size_t mark = server.LineCount();
  auto stop = shop.Send(kStop);
  std::string bytes;
  if (viva) {
    // The operation holds the server: the STOP is taken only after it.
    EXPECT_LT(server.WaitForLine("log: Inchidere fortata", 300, mark), 0);
    EXPECT_EQ(a->ReadReply(bytes, 30000), RequestClient::Result::kReply);
    EXPECT_EQ(bytes, c.reply);
    EXPECT_GE(server.WaitForLine("log: Inchidere fortata", 10000, mark), 0);
  } else {
    ASSERT_GE(server.WaitForLine("log: Inchidere fortata", 10000, mark), 0);
    if (!c.ends_operation) {
      // Still running after the STOP, and new requests are still held off.
      EXPECT_EQ(shop.RoundTrip(probe), kBusy);
    }
    EXPECT_EQ(a->ReadReply(bytes, 30000), RequestClient::Result::kReply);
    EXPECT_EQ(bytes, c.reply);
  }
  EXPECT_EQ(stop->ReadReply(bytes, 100), RequestClient::Result::kTimedOut);
  EXPECT_EQ(bytes, "") << "a STOP gets no reply";
  EXPECT_EQ(shop.RoundTrip(probe), probe_reply) << "the server is free again";
}

const std::string kEmptyError = "ERROR\r\n\r\n[ENDPACHET]\r\n";
const StopCase kStopCases[] = {
    // Card sales whose terminal keeps them waiting: the STOP ends each with its kind's reply.
    {"sale_brd", "brd", {"--silent-after-ack"}, true, Sale(1, kStopCom), "sale of 1234 hundredths", true, kEmptyError},
    {"sale_transilvania", "transilvania", {"--scenario", "ack-silent", "--trace"}, true, Sale(3, kStopCom), "PC :",
     true, Error("Eroare comunicare cu banca  ")},
    {"sale_unicredit", "unicredit", {"--scenario", "ack-only"}, false, Sale(4, kStopCom), "PC sent transaction", true,
     Error("Operatie esuata :   ")},
    {"sale_hypercom", "hypercom", {"--scenario", "no-result"}, false, Sale(5, kStopCom), "host-ack", true,
     Error("Operatie esuata :   Time OutError")},
    {"sale_verifone", "verifone", {"--silent", "sale-enq"}, false, Sale(6, kStopCom), "silent sale-enq", true,
     Error("Operatie esuata  ")},
    // Settlements and voids that take a while: the STOP changes nothing.
    {"settlement_transilvania", "transilvania", {"--delay", "1500", "--trace"}, true, Settlement(3, kStopCom), "PC :",
     false, kOk},
    {"void_transilvania", "transilvania", {"--delay", "1500", "--trace"}, true, Void(3, kStopCom), "PC :", false, kOk},
    {"settlement_unicredit", "unicredit", {"--delay-ms", "1500"}, false, Settlement(4, kStopCom), "PC sent report",
     false, kOk},
    {"void_unicredit", "unicredit", {"--delay-ms", "1500"}, false, Void(4, kStopCom), "PC sent transaction", false,
     kOk},
    {"settlement_hypercom", "hypercom", {"--scenario", "split-ack", "--split-ms", "1500"}, false,
     Settlement(5, kStopCom), "request STL", false, kOk},
    {"void_hypercom", "hypercom", {"--delay", "1500"}, false, Void(5, kStopCom), "host-ack", false, kOk},
    {"void_verifone", "verifone", {"--answer-delay", "1500"}, false, Void(6, kStopCom), "host void", false, kOk},
    // Viva Wallet blocks the server while it waits: the STOP comes too late.
    {"sale_viva", "viva", {"--reply-delay", "1500"}, false, VivaSale(kVivaWaiting), "request ", false, kOk},
    {"void_viva", "viva", {"--reply-delay", "1500"}, false, VivaVoid(kVivaWaiting), "request ", false, kOk},
};
INSTANTIATE_TEST_SUITE_P(WhileTheTerminalWaits, StopE2E, ::testing::ValuesIn(kStopCases),
                         [](const ::testing::TestParamInfo<StopCase>& i) { return std::string(i.param.name); });

// Terminal text is 8-bit, one byte one character, on every serial kind and
// both ways. A refusal text holding the bytes C3 A9 reaches the client as two
// characters, "??"; a receipt number holding a byte above 0x7F (U+FFFD once
// read off the client's line) reaches the terminal as one byte, 0xFD, with
// the field filled to its width in characters.
TEST(EightBitTextE2E, OneByteIsOneCharacterBothWays) {
  const std::string e_acute = "\xC3\xA9";
  Shop shop;
  ASSERT_TRUE(shop.Serial("brd", kBrd, {"--answer", "refused", "--reason", "CARD " + e_acute + " RESPINS"}));
  ASSERT_TRUE(shop.Serial("transilvania", kTransilvania,
                          {"--scenario", "refuse", "--a107", "51", "--a108", e_acute, "--trace"}, true));
  ASSERT_TRUE(shop.Serial("unicredit", kUnicredit, {"--result", "REFUZAT " + e_acute}));
  ASSERT_TRUE(shop.Serial("hypercom", kHypercom, {}));
  ASSERT_TRUE(shop.Serial("verifone", kVerifone, {}));
  ASSERT_TRUE(shop.Open());

  EXPECT_EQ(shop.RoundTrip(Sale(1, kBrd)), Error("Tranzactie refuzata : CARD ?? RESPINS       "))
      << "the reason keeps its 22 characters";
  EXPECT_EQ(shop.RoundTrip(Sale(3, kTransilvania)),
            Error("Eroare la inregistrare tranzactie :   ??  Cod eroare banca : 51"));
  EXPECT_EQ(shop.RoundTrip(Sale(4, kUnicredit)), Error("Operatie esuata :   REFUZAT ??\r\r"));

  // Written by hand: the request writer would send the byte as "?".
  const auto void_of = [](int kind, int com) {
    return "[InfoPachet]\r\nOperatie=2\r\nTipPos=" + std::to_string(kind) + "\r\nPortSerial=" + std::to_string(com) +
           "\r\nSuma=12.34\r\nNrBon=\xE9\r\n[ENDPACHET]\r\n";
  };
  const struct {
    int kind;
    Com com;
    std::string reply, seen;  // what the simulator prints of the receipt field
  } voids[] = {
      // Tag A0 06, length 6, then the field as the trace shows it.
      {3, kTransilvania, Error("Operatia de anulare nu a reusit \r\r??"), "\xA0 6 6 0 0 0 0 0 \xFD \xA0"},
      {4, kUnicredit, Error("Operatia de anulare nu a reusit \r\rREFUZAT ??\r\r"), "304=00000000000\xFD ("},
      // A 7-bit line: the terminal gets the low seven bits of 0xFD, "}".
      {5, kHypercom, kOk, "request VOI 00000000000}"},
      {6, kVerifone, kOk, "host void 000000001234 00000\xFD"},
  };
  for (const auto& v : voids) {
    SCOPED_TRACE(v.kind);
    EXPECT_EQ(shop.RoundTrip(void_of(v.kind, v.com)), v.reply);
    ServerProcess& sim = shop.sim(std::to_string(v.com));
    EXPECT_GE(sim.WaitForLine(v.seen, 10000), 0);
  }
}

// A STOP acts only on the operation running when it comes. One that comes
// while a Viva Wallet sale holds the server is taken after the sale, and one
// that comes while nothing runs finds nothing to stop: neither reaches the
// BRD sale after it, whose answer is acknowledged and approved.
TEST(LateStopE2E, ReachesNoLaterSale) {
  Shop shop;
  ASSERT_TRUE(shop.Viva(kVivaWaiting, {"--reply-delay", "1000"}));
  ASSERT_TRUE(shop.Serial("brd", kBrd, {}, true));
  ASSERT_TRUE(shop.Open());
  ServerProcess& brd = shop.sim(std::to_string(kBrd));
  auto a = shop.Send(VivaSale(kVivaWaiting));
  ASSERT_GE(shop.sim(kVivaWaiting).WaitForLine("request ", 10000), 0);
  auto stop = shop.Send(kStop);
  std::string bytes;
  EXPECT_EQ(a->ReadReply(bytes, 30000), RequestClient::Result::kReply);
  EXPECT_EQ(bytes, kOk);
  ASSERT_GE(shop.server().WaitForLine("log: Inchidere fortata", 10000), 0);
  EXPECT_EQ(shop.RoundTrip(Sale(1, kBrd)), kOk);

  const std::size_t mark = shop.server().LineCount();
  auto idle_stop = shop.Send(kStop);
  ASSERT_GE(shop.server().WaitForLine("log: Inchidere fortata", 10000, mark), 0);
  EXPECT_EQ(shop.RoundTrip(Sale(1, kBrd)), kOk);
  EXPECT_TRUE(SimLines(brd, "no ACK").empty()) << "every answer was acknowledged";
}

}  // namespace
}  // namespace tarvina
