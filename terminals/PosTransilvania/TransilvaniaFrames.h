#pragma once
// The bytes of the Banca Transilvania link: control bytes, the CRC-16, the
// request frames of the four operations, response frames (for the simulator)
// and the field reader shared by the driver and the tools. No port here.
#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace tarvina {

// Frames and received bytes of the Transilvania driver; index 0 is position 1.
constexpr int kTransilvaniaBufSize = 1000;
using TBuffer = std::array<std::uint8_t, kTransilvaniaBufSize>;

// Plain CRC-16 without reflection or final XOR; the driver uses 0x8005 / 0.
std::uint16_t Crc16(const void* buffer, std::uint64_t buf_size, std::uint16_t polynom,
                    std::uint16_t seed);

namespace transilvania {

constexpr std::uint8_t ENQ = 0x05, ACK = 0x06, STX = 0x02, ETX = 0x03, EOT = 0x04, NAK = 0x15;
constexpr std::uint8_t kTagRequest = 0xA0, kTagResponse = 0xA1;
constexpr std::uint16_t kCrcPolynom = 0x8005, kCrcSeed = 0;

// Operation codes of field 0x00 in a request.
constexpr std::uint8_t kOpStatus = 1, kOpSale = 2, kOpDailyReport = 3, kOpVoid = 6;

// Field 0x08 of every sale request: five digits the terminal expects unchanged.
constexpr const char* kSaleFixedDigits = "00001";

struct Field {
  std::uint8_t id = 0;
  std::string value;  // one byte per character
};

using Bytes = std::vector<std::uint8_t>;

// Frame: STX, N high/low, the tagged fields, ETX, CRC of the N data bytes
// high/low. Empty when the frame would not fit the driver's buffer.
Bytes BuildFrame(std::uint8_t tag, const std::vector<Field>& fields);
// The simulator's name for BuildFrame.
inline Bytes FrameBytes(std::uint8_t tag, const std::vector<Field>& fields) { return BuildFrame(tag, fields); }

// Twelve digits of hundredths, zero-filled on the left. Empty when the amount
// cannot be written so (negative, not finite, or more than twelve digits):
// sending only the first twelve characters would charge a different amount.
std::optional<std::string> AmountField(double suma);
// Six characters: zero-filled on the left, a longer number cut to its first six.
// A character beyond one byte (a UTF-8 sequence) goes as one "?".
std::string ReceiptField(const std::string& nr_bon);

// The request frames; empty for an amount that cannot be sent.
Bytes BuildStatusRequest();
Bytes BuildSaleRequest(double suma);
Bytes BuildVoidRequest(double suma, const std::string& nr_bon);
Bytes BuildDailyReportRequest();

// The value of the first field with tag `hi` and id `lo` among the first
// `received` bytes of `buf` (positions 1..received); "" when absent. The value
// may run past the received bytes into the (zeroed) rest of the buffer, never
// past its end.
std::string FieldValue(const TBuffer& buf, int received, std::uint8_t hi, std::uint8_t lo);

// A whole frame as the far side sees it: fields split and the CRC checked.
struct ParsedFrame {
  std::vector<std::uint8_t> data;  // the N data bytes
  std::vector<Field> fields;       // fields of the data, whatever their tag
  std::uint8_t tag = 0;            // tag of the first field
  bool crc_ok = false;
  bool fields_ok = false;          // the data splits exactly into fields
};
// Looks for a complete frame at the start of `bytes`; returns its length in
// `used` (0 when more bytes are needed) and nullopt when incomplete or not a frame.
std::optional<ParsedFrame> ParseFrame(const std::vector<std::uint8_t>& bytes, std::size_t& used);

// A response frame: result code in field 0x00, then the given fields (tag 0xA1).
Bytes ResponseFrame(std::uint8_t result_code, const std::vector<Field>& fields);

}  // namespace transilvania
}  // namespace tarvina
