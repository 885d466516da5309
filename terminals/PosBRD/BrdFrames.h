#pragma once
// The BRD terminal's frames, as plain functions: the request record and its
// bytes, the LRC, and the reading of the terminal's answers. The driver and
// tarvina-sim's brd kind both build on these, so the two sides of the line
// cannot drift apart.
#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace tarvina {

// The sale request, one 8-bit text per field, in the order they go on the line.
struct TWriteMsg {
  std::string Indentifier, TerminalID, SourceID, SeqNumber, TransType, PrintFlg, CashierID, TransNr, FS1,
      TransAmount1, FS2, FS3, AmountExp, FS4, AmountCurr, FS5, FS6, FS7, FS8, AuthCode, FS9, FS10, FS11,
      InputLabel, FS12, InsurancePNo, FS13, InstallNo, FS14, MinInputLen, MaxInputLen, MaxInputData, FS15,
      LanguageID, FS16, PrintData, FS17, CashierID2, FS18, TransAmount2, FS19, PaySrvData, FS20;
};

namespace brd {

constexpr std::uint8_t STX = 0x02;
constexpr std::uint8_t ETX = 0x03;
constexpr std::uint8_t ACK = 0x06;
constexpr std::uint8_t FS = 0x1C;

constexpr std::size_t kBufferSize = 2000;
// Bytes received from the terminal; index 0 is the frame's position 1.
using RecvBuffer = std::array<std::uint8_t, kBufferSize>;

constexpr int kFieldCount = 43;
// The record's fields in line order.
std::array<const std::string*, kFieldCount> Fields(const TWriteMsg& m);
std::array<std::string*, kFieldCount> Fields(TWriteMsg& m);

// Empties every field, then sets the defaults of a request.
void InitWriteMsg(TWriteMsg& m);

// The amount in hundredths, rounded to the nearest whole number, as plain
// decimal digits: 12.50 gives "1250", 0.1 gives "10".
std::string AmountField(double suma);

// The exclusive-or of the body and the ETX that closes it.
std::uint8_t Lrc(const std::uint8_t* body, std::size_t n);

// The request as it goes on the line: STX STX body ETX LRC.
std::vector<std::uint8_t> RequestFrame(const std::uint8_t* body, std::size_t n);

// A received frame is complete once its STX is at position 1 and it has come
// up to its ETX, with or without the LRC that follows.
bool FrameComplete(const RecvBuffer& b, std::size_t held);

// Type "22000000": the text from position 10 up to the first byte below '0'.
std::string GetMesajEroare(const RecvBuffer& b);
// Type "10" with code "04": the 22 characters at positions 132 to 153.
std::string GetMotiv(const RecvBuffer& b);

// --- the terminal's side (tarvina-sim, tests) ---

// STX content ETX LRC, the LRC over content and ETX.
std::vector<std::uint8_t> TerminalFrame(const std::string& content);
// A final answer: type "10", the response code at positions 14-15 and, when
// given, the refusal reason at positions 132-153 (padded with blanks to 22).
std::string FinalAnswer(const std::string& code, const std::string& reason = "");
// "20000000" (still working) and "22000000" (a terminal message) frames.
std::string IntermediateAnswer(const std::string& text);
std::string MessageAnswer(const std::string& text);

// Splits a request frame (STX STX body ETX LRC) and checks its LRC.
struct ParsedRequest {
  bool complete = false;   // the frame has come up to and including its LRC
  bool lrc_ok = false;
  std::size_t length = 0;  // bytes the frame takes, LRC included
  std::vector<std::uint8_t> body;
};
ParsedRequest ParseRequest(const std::uint8_t* data, std::size_t n);
// The amount field of a request body: the bytes after its first FS up to the next.
std::string RequestAmount(const std::vector<std::uint8_t>& body);

}  // namespace brd
}  // namespace tarvina
