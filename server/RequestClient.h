#pragma once
// The billing side of the request protocol, for tarvina-cli, the tests and the
// benchmark: one connection, request bytes out, reply packets in, byte-exact.
#include <cstdint>
#include <string>
#include <vector>

namespace tarvina {

class RequestClient {
 public:
  RequestClient() = default;
  ~RequestClient();
  RequestClient(const RequestClient&) = delete;
  RequestClient& operator=(const RequestClient&) = delete;

  bool Connect(const std::string& host, std::uint16_t port, std::string& reason);
  bool Connected() const { return fd_ >= 0; }
  bool Send(const std::string& bytes);
  // No more requests on this connection (the server closes it once it has
  // answered what it got).
  void FinishSending();
  void Close();

  enum class Result { kReply, kClosed, kTimedOut };
  // The bytes of the next reply packet, up to and including its end line's
  // line break. On kClosed/kTimedOut `bytes` holds what came without an end
  // line. timeout_ms < 0 waits for ever.
  Result ReadReply(std::string& bytes, int timeout_ms = -1);
  // Everything until the server closes (kClosed) or the time runs out.
  Result ReadToEnd(std::string& bytes, int timeout_ms);

 private:
  // Waits for and appends one chunk; false with `r` set when none comes.
  bool ReadMore(int timeout_ms, Result& r);

  int fd_ = -1;
  std::string pending_;  // received bytes not yet handed out
  std::size_t scanned_ = 0;
};

// The request lines for an operation, as the billing application sends them.
struct RequestFields {
  std::string Operatie, TipPos, PortSerial, Suma, NrBon, SessionID, IPPosViva;  // empty: left out
};
std::string RequestBytes(const RequestFields& f);

// Reply bytes split into their lines (CR LF or LF removed).
std::vector<std::string> ReplyLines(const std::string& bytes);

}  // namespace tarvina
