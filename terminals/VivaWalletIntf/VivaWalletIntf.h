#pragma once
// Driver of a Viva Wallet card terminal, a TCP server on the shop's network:
// connect and wait for its greeting, send one "|"-separated request, read one
// reply. Unlike the serial drivers it blocks the calling (main) thread for the
// whole exchange and has no forced exit: lines of other connections wait in
// their hand-off and are served afterwards.
#include <memory>
#include <string>

#include "platform/Clock.h"
#include "platform/TcpClient.h"
#include "terminals/Driver.h"

namespace tarvina {

class TVivaWallet : public TPosDriver {
 public:
  static constexpr Millis kConnectTimeoutMs = 2000;
  static constexpr Millis kGreetingWaitMs = 20000;
  static constexpr Millis kPauseAfterWriteMs = 1000;
  static constexpr Millis kReplyWaitMs = 120000;
  // Once a reply has begun without a length field, it ends when this much
  // silence follows.
  static constexpr Millis kReplyQuietMs = 100;
  // Once a reply has begun with a length field that asks for more, the rest
  // must keep coming: after this much silence the reply is judged on what
  // came, as a length field that counts too many would otherwise hold the
  // server for the whole reply wait.
  static constexpr Millis kReplyRestQuietMs = 2000;
  // A terminal that floods the line is cut off here; the reply is judged on
  // what came.
  static constexpr std::size_t kMaxReplyBytes = 64 * 1024;

  TVivaWallet(Clock& clock, const TcpClientFactory& make_client);
  ~TVivaWallet() override;
  TVivaWallet(const TVivaWallet&) = delete;
  TVivaWallet& operator=(const TVivaWallet&) = delete;

  void SetHost(const std::string& Value);
  const std::string& Host() const { return FHost; }

  // (Re)connects and reads the greeting; false with MesajEroare set when the
  // connection failed, false with it empty when the terminal did not greet.
  bool ConnectToPOS();
  // A failure to write the request is thrown; every later failure is a false
  // result with MesajEroare (empty when the terminal said nothing).
  bool PosSaleByCard(double Suma, const std::string& aSessionID, const std::string& aTransactionID);
  bool CancelSaleByCard(double Suma, const std::string& NrBon);

  const std::string& DataRead() const { return FDataRead; }
  const std::string& DataWrite() const { return FDataWrite; }
  const std::string& IDTranzactie() const { return FIDTranzactie; }
  const std::string& DataTranzactie() const { return FDataTranzactie; }

  std::string MesajEroare;

 private:
  bool Exchange(const std::string& request);
  void ReadReply();
  std::string Take();

  Clock& clock_;
  std::string FDataRead;
  std::string FDataWrite;
  std::string FIDTranzactie;
  std::string FDataTranzactie;
  std::unique_ptr<TcpClient> FTCPCL;
  std::string FHost;
};

}  // namespace tarvina
