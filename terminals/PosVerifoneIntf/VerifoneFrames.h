#pragma once
// Frames of the Verifone line protocol, shared by the driver and the terminal
// simulator. Both directions use DLE STX payload DLE ETX and one check byte,
// the XOR of the payload; payload bytes are never escaped.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace tarvina::verifone {

constexpr std::uint8_t STX = 0x02;
constexpr std::uint8_t ETX = 0x03;
constexpr std::uint8_t EOT = 0x04;
constexpr std::uint8_t ENQ = 0x05;
constexpr std::uint8_t ACK = 0x06;
constexpr std::uint8_t DLE = 0x10;
constexpr std::uint8_t NAK = 0x15;

// Function bytes of the host's requests (payload byte 1).
constexpr std::uint8_t kFnLogIn = 0x00;
constexpr std::uint8_t kFnSale = 0x01;
constexpr std::uint8_t kFnLogOut = 0x02;
constexpr std::uint8_t kFnVoid = 0x30;

// Payload byte 0 of the terminal's answers.
constexpr std::uint8_t kLogInOk = 0x80;
constexpr std::uint8_t kFinalAnswer = 0x06;  // byte 1 says approved or not
constexpr std::uint8_t kApproved = 0x0F;
constexpr std::uint8_t kFinalFailure = 0x84;

// Size of every frame and receive buffer of the driver.
constexpr std::size_t kBufferSize = 1000;
// DLE STX before the payload, DLE ETX and the check byte after it.
constexpr std::size_t kFrameOverhead = 5;

using Bytes = std::vector<std::uint8_t>;

// XOR of the payload bytes.
std::uint8_t Crc(const std::uint8_t* payload, std::size_t n);

// Writes DLE STX payload DLE ETX check into out and returns the frame length,
// or 0 when it would not fit into out_size bytes.
std::size_t BuildFrame(const std::uint8_t* payload, std::size_t n, std::uint8_t* out,
                       std::size_t out_size);
Bytes BuildFrame(const Bytes& payload);

// s with c put in front until it is at least len characters long; never shortened.
std::string Fill(const std::string& s, std::size_t len, char c);

// The amount in hundredths, nearest whole number, zero-filled to 12; only the
// first 12 characters of a longer text go on the line.
std::string AmountField(double suma);
// The receipt number zero-filled to 6; only its first 6 characters are sent.
std::string ReceiptField(const std::string& nr_bon);

// Host payloads: 06, function, number of data bytes, data.
Bytes LogInPayload();
Bytes LogOutPayload();
Bytes SalePayload(double suma);
Bytes VoidPayload(double suma, const std::string& nr_bon);

// True when the count bytes from data start with DLE STX and end with DLE ETX
// and exactly one byte after it: a complete frame that ends the buffer.
bool FrameEndsBuffer(const std::uint8_t* data, std::size_t count);

// Length of the complete frame at the start of data (DLE STX ... DLE ETX check),
// or 0 when data does not start with DLE STX or the frame is not complete yet.
// The check byte is not verified.
std::size_t CompleteFrameLength(const std::uint8_t* data, std::size_t count);
// Payload of a complete frame of frame_len bytes.
Bytes FramePayload(const std::uint8_t* frame, std::size_t frame_len);

// Printable form of a payload: each byte below 0x20 shown as ".".
std::string Printable(const std::uint8_t* data, std::size_t n);

// One line of the hexadecimal traffic trace: "PC  :" for bytes sent, "POS :"
// for bytes received, then each byte as two upper-case hex digits and a blank.
std::string HexTraceLine(bool out, const std::uint8_t* data, std::size_t n);

}  // namespace tarvina::verifone
