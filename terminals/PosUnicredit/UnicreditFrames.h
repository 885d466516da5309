#pragma once
// Frames of the UniCredit terminal link, the same in both directions:
//   SOH, type, counter, N (2 bytes, high first), N data bytes,
//   CRC-16 over type..data (stored as CRC_16_buf's result, high byte first), EOT.
// A message's data is: code, 0, counter, element count E, then E elements of
// code (2 bytes), value length L (2 bytes) and L value bytes, all high byte first.
//
// The driver, the simulator and the tests all build and read frames here, so
// the bytes on the wire come from one place.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace tarvina::unicredit {

using Bytes = std::vector<std::uint8_t>;

constexpr std::uint8_t SOH = 0x01;
constexpr std::uint8_t EOT = 0x04;
constexpr std::uint8_t kTipMesaj = 0x05;
constexpr std::uint8_t kTipAck = 0x06;

// Bytes a frame adds around its data: SOH, type, counter, 2 length, 2 CRC, EOT.
constexpr std::size_t kFrameOverhead = 8;
constexpr std::size_t kAckLength = kFrameOverhead;

// Message codes the PC sends; the terminal answers with the code plus one.
constexpr std::uint8_t kCodTranzactie = 2;
constexpr std::uint8_t kCodRaport = 4;
constexpr std::uint8_t kCodStare = 0x12;

// Element codes.
constexpr std::uint16_t kElStare = 100;
constexpr std::uint16_t kElStareParam = 101;
constexpr std::uint16_t kElTipTranzactie = 300;
constexpr std::uint16_t kElSuma = 301;
constexpr std::uint16_t kElMoneda = 302;
constexpr std::uint16_t kElNrBon = 304;
constexpr std::uint16_t kElRezultat = 330;
constexpr std::uint16_t kElRezultatExtra = 332;
constexpr std::uint16_t kElCodRaport = 410;
constexpr std::uint16_t kElRaportText1 = 411;
constexpr std::uint16_t kElRaportText2 = 413;

struct Element {
  std::uint16_t code = 0;
  std::string value;  // one character per byte
  bool operator==(const Element&) const = default;
};

// CRC-16/KERMIT computed a nibble at a time; the result comes back with its two
// bytes exchanged ("123456789" gives 0x8921), which is how frames store it.
std::uint16_t CRC_16_buf(const std::uint8_t* buf, std::size_t len);

// A whole frame around `data`. Throws std::length_error when data exceeds 65535 bytes.
Bytes BuildFrame(std::uint8_t type, std::uint8_t counter, const Bytes& data);
Bytes BuildAck(std::uint8_t counter);
// A message frame: code, 0, counter, element count, elements. Throws
// std::length_error when the elements do not fit the frame's fields.
Bytes BuildMessage(std::uint8_t code, std::uint8_t counter, const std::vector<Element>& elements);

// The PC's four messages.
Bytes BuildSale(std::uint8_t counter, double suma);
Bytes BuildVoid(std::uint8_t counter, double suma, const std::string& nr_bon);
Bytes BuildReport(std::uint8_t counter);
Bytes BuildStatus(std::uint8_t counter);

// Hundredths as whole-number text, "0" put in front up to 12 characters, first
// 12 kept: 12.34 gives "000000001234".
std::string AmountField(double suma);
// The receipt number with "0" in front up to 12 characters, first 12 kept.
std::string ReceiptField(const std::string& nr_bon);

// Receive side, on bytes held one character per byte.
//
// An acknowledgement stands at the front: at least 8 bytes, SOH, type 0x06, and
// EOT as the 8th. Its counter and CRC are not examined.
bool AckAtFront(const std::string& s);
// The front holds the start of a message: at least 8 bytes, SOH, type 0x05.
bool MessageStartsAtFront(const std::string& s);
// Length (N + 8) of the complete message at the front, or 0 when the front
// holds no message or only part of one. The CRC is not examined.
std::size_t MessageAtFront(const std::string& s);
// The frame's data length N, read from bytes 4 and 5 (s must hold at least 5).
std::size_t DataLength(const std::string& s);

// Elements of a whole message frame. A message shorter than 11 bytes has none.
// Elements are read only within the message's data: an element whose header or
// value would reach past the data ends the list, and an element count larger
// than the data holds yields the elements that fit.
std::vector<Element> ParseElements(const std::string& msg);

// True when the frame's stored CRC matches its bytes (the simulator checks the
// PC's frames; the driver does not check the terminal's).
bool FrameCrcOk(const std::string& frame);

std::string ToString(const Bytes& b);
Bytes ToBytes(const std::string& s);

}  // namespace tarvina::unicredit
