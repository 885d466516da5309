#pragma once
// The frames of BRD Hypercom terminals, shared by the driver and the terminal
// simulator: STX, a three-letter request type, a function code ending in ".",
// optional data, ETX and an XOR check byte over everything after STX.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace tarvina::hypercom {

using Bytes = std::vector<std::uint8_t>;

constexpr std::uint8_t STX = 0x02;
constexpr std::uint8_t ETX = 0x03;
constexpr std::uint8_t ACK = 0x06;

// Length of the driver's request frame and of the terminal's acknowledgement.
constexpr std::size_t kRequestLen = 21;
constexpr std::size_t kAckLen = 10;
constexpr std::size_t kDataLen = 12;

constexpr std::string_view kFnRequest = "10.";
constexpr std::string_view kFnEcho = "11.";
constexpr std::string_view kFnResult = "12.";
constexpr std::string_view kFnConfirm = "13.";
// A result frame always carries this type, for voids too.
constexpr std::string_view kResultType = "MOL";

// XOR of the n bytes at data; for n below 2, the first byte alone.
std::uint8_t Crc(const std::uint8_t* data, std::size_t n);

// The amount in hundredths as a whole decimal number (12.34 -> "1234").
std::string AmountField(double suma);
// Right-aligned in 12 characters, filled with "0" on the left; a longer
// value keeps its first 12 characters.
std::string DataField(std::string_view value);

// STX type function data ETX check, the check over type through ETX.
Bytes Frame(std::string_view type, std::string_view function, std::string_view data = {});

// The 21-byte request: type, "10.", the 12-character data field.
Bytes RequestFrame(std::string_view type, std::string_view value);
// What the host sends after a result frame, without the ACK before it.
Bytes ConfirmationFrame(std::string_view type);
// The terminal's acknowledgement of a request: ACK, then the echo frame.
Bytes AcknowledgementFrame(std::string_view type);

// True when rx starts with ACK STX type "11." ETX and a non-zero tenth byte.
bool IsAcknowledgement(const std::uint8_t* rx, std::size_t n, std::string_view type);
// True when rx starts with STX "MOL12." and its next-to-last byte is ETX.
bool IsResultFrame(const std::uint8_t* rx, std::size_t n);
// The two characters after STX "MOL12."; call only on a result frame.
std::string ResultCode(const std::uint8_t* rx, std::size_t n);

// The terminal's text for a response code; empty for unknown codes.
std::string MesajRaspuns(std::string_view code);

}  // namespace tarvina::hypercom
