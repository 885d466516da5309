#pragma once
// The Viva Wallet terminal's text records: requests are "|"-separated fields,
// each followed by "|", led by a four-digit length field; replies are read as
// "|"-separated fields. Shared by the driver, the simulator and the fuzzer.
#include <cstddef>
#include <string>
#include <vector>

namespace tarvina {

constexpr int kVivaPort = 8080;

struct TVivaSaleRequest {
  std::string msgLength;
  std::string sessionId;
  std::string msgType = "200";
  std::string msgCode = "00";
  std::string uniqueTxnId;
  std::string amount;
  std::string msgOpt = "0000";
  std::string R1, R2, R3, R4;
};

struct TVivaSaleCancel {
  std::string msgLength;
  std::string sessionId;
  std::string msgType = "200";
  std::string msgCode = "04";
  std::string uniqueTxnId;
  std::string amount;
  std::string refNum;
};

// "12.34", "5.00", "1500.00": two decimals, a full stop, no grouping, whatever
// the process's number formats are.
std::string VivaAmount(double suma);
// A decimal number filled on the left with "0" to four characters, never cut.
std::string VivaLengthField(std::size_t n);
// The text as the terminal gets it: one byte per character, every character
// above 0x7F (one UTF-8 sequence, or a stray byte) as "?".
std::string VivaAscii(const std::string& text);

// The records filled as the terminal expects them, length field included. The
// cancellation's length field counts one "|" fewer than follow it: the
// terminal's own convention, kept as it is.
TVivaSaleRequest MakeVivaSale(double suma, const std::string& aSessionID, const std::string& aTransactionID);
TVivaSaleCancel MakeVivaCancel(double suma, const std::string& NrBon);
// Line form: every field followed by "|", no line terminator.
std::string VivaLine(const TVivaSaleRequest& r);
std::string VivaLine(const TVivaSaleCancel& r);
std::string VivaFieldsLine(const std::vector<std::string>& fields);

// Received bytes as text: each byte is the character of that code (written
// here in UTF-8), bytes of value 0 dropped.
std::string VivaReplyText(const std::string& bytes);
// Split at every "|"; a final "|" yields a last empty field; "" yields none.
std::vector<std::string> VivaSplit(const std::string& text);

// How a reply read so far stands against its leading four-digit length field,
// counted over the raw bytes that follow it.
enum class VivaReplyState {
  Complete,  // at least as many bytes follow the length field as it says
  Short,     // a length field (or the start of one) asks for more
  NoLength,  // it does not start with a number: the reply ends when the line goes quiet
};
VivaReplyState VivaReplyStatus(const std::string& bytes);

// What the driver takes from a reply's fields.
struct VivaVerdict {
  bool ok = false;           // at least 5 fields and field 4 is "00"
  std::string idTranzactie;  // field 29 of a success, when present
  std::string dataTranzactie;  // field 30 of a success, when present
  std::string mesajEroare;   // field 5 of a failure, when present
};
VivaVerdict JudgeVivaReply(const std::vector<std::string>& fields);

}  // namespace tarvina
