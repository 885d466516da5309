#include "terminals/PosBRDHypercom/HypercomFrames.h"

#include <cmath>
#include <cstdio>

namespace tarvina::hypercom {

std::uint8_t Crc(const std::uint8_t* data, std::size_t n) {
  if (n == 0) return 0;
  std::uint8_t c = data[0];
  for (std::size_t i = 1; i < n; ++i) c ^= data[i];
  return c;
}

std::string AmountField(double suma) {
  // Printing the rounded double never overflows, whatever the amount; a value
  // wider than the field is cut by DataField like any other.
  char text[400];
  std::snprintf(text, sizeof text, "%.0f", std::round(suma * 100.0));
  return text;
}

std::string DataField(std::string_view value) {
  if (value.size() >= kDataLen) return std::string(value.substr(0, kDataLen));
  return std::string(kDataLen - value.size(), '0') + std::string(value);
}

Bytes Frame(std::string_view type, std::string_view function, std::string_view data) {
  Bytes f;
  f.reserve(1 + type.size() + function.size() + data.size() + 2);
  f.push_back(STX);
  for (std::string_view part : {type, function, data})
    for (char c : part) f.push_back(static_cast<std::uint8_t>(c));
  f.push_back(ETX);
  f.push_back(Crc(f.data() + 1, f.size() - 1));
  return f;
}

Bytes RequestFrame(std::string_view type, std::string_view value) {
  return Frame(type.substr(0, 3), kFnRequest, DataField(value));
}

Bytes ConfirmationFrame(std::string_view type) { return Frame(type.substr(0, 3), kFnConfirm); }

Bytes AcknowledgementFrame(std::string_view type) {
  Bytes f = Frame(type.substr(0, 3), kFnEcho);
  f.insert(f.begin(), ACK);
  return f;
}

namespace {
bool Matches(const std::uint8_t* rx, std::string_view text) {
  for (std::size_t i = 0; i < text.size(); ++i)
    if (rx[i] != static_cast<std::uint8_t>(text[i])) return false;
  return true;
}
}  // namespace

bool IsAcknowledgement(const std::uint8_t* rx, std::size_t n, std::string_view type) {
  if (n < kAckLen || type.size() != 3) return false;
  return rx[0] == ACK && rx[1] == STX && Matches(rx + 2, type) && Matches(rx + 5, kFnEcho) &&
         rx[8] == ETX && rx[9] != 0;
}

bool IsResultFrame(const std::uint8_t* rx, std::size_t n) {
  // STX and "MOL12." take the first seven bytes, so the ETX before the
  // check byte cannot come earlier than the ninth.
  if (n < 9) return false;
  return rx[0] == STX && Matches(rx + 1, kResultType) && Matches(rx + 4, kFnResult) && rx[n - 2] == ETX;
}

std::string ResultCode(const std::uint8_t* rx, std::size_t n) {
  if (n < 9) return {};
  return std::string(reinterpret_cast<const char*>(rx + 7), 2);
}

namespace {
struct CodeRange {
  int lo, hi;
  const char* text;
};

constexpr CodeRange kCodes[] = {
    {0, 0, "APROBAT"},
    {1, 2, "ANUNTATI EMITENTUL"},
    {3, 3, "ERR-CALL HELP-SN"},
    {4, 4, "CARD RESPINS/ANUNTA"},
    {5, 5, "NU ACCEPTATI"},
    {6, 6, "ERR-CALL HELP-SN"},
    {7, 7, "PICK-UP"},
    {8, 8, "APROBARE"},
    {9, 9, "COD EROARE 09"},
    {10, 11, "APROBAT"},
    {12, 12, "TRANSZ.INVALIDA"},
    {13, 13, "SUMA INCORECTA"},
    {14, 14, "NR.CARD NEVALIDAT"},
    {15, 15, "EMITENT INEXISTENT"},
    {16, 16, "APROBARE"},
    {17, 18, "ERR-CALL HELP-SN"},
    {19, 19, "REPETATI TRANZACTIA"},
    {20, 29, "ERR-CALL HELP-SN"},
    {30, 30, "EROARE DE FORMAT"},
    {31, 31, "CARD NEACCEPTAT"},
    {32, 32, "ERR-CALL HELP-SN"},
    {33, 33, "CARD EXPIRAT/ANUNTA"},
    {34, 34, "CARD CONTRAFACUT"},
    {35, 37, "PICK-UP"},
    {38, 38, "CARD RESPINS/ANUNTA"},
    {39, 40, "ERR-CALL HELP-SN"},
    {41, 41, "CARD PIERDUT/ANUNTA"},
    {42, 42, "ERR-CALL HELP-SN"},
    {43, 43, "CARD FURAT/ANUNTA"},
    {44, 44, "ERR-CALL HELP-SN"},
    {51, 51, "FONDURI INSUFICIENTE"},
    {52, 53, "ERR-CALL HELP-SN"},
    {54, 54, "CARD EXPIRAT"},
    {55, 55, "PIN INCORECT"},
    {56, 56, "ERR-CALL HELP-SN"},
    {57, 57, "CARD RESPINS"},
    {58, 58, "TRANZACTIE NEPERMISA"},
    {59, 61, "ERR-CALL HELP-SN"},
    {62, 62, "CARD RESTRICTIONAT"},
    {63, 64, "ERR-CALL HELP-SN"},
    {65, 65, "LIM.CONT DEPASITA"},
    {66, 66, "ERR-CALL HELP-SN"},
    {67, 67, "PICK-UP"},
    {68, 74, "ERR-CALL HELP-SN"},
    {75, 75, "NR INTR.PIN/DEPASIT"},
    {76, 76, "COD PRODUS GRESIT"},
    {77, 77, "TOTALURI DIFERITE"},
    {78, 78, "TRANZACTIE LIPSA"},
    {79, 79, "BATCH DEJA DESCHIS"},
    {80, 80, "NR.BATCH INCORECT"},
    {82, 82, "NO CLOSES SOC SLOTS"},
    {83, 83, "NO SUSP.SOC SLOTS"},
    {85, 85, "BATCH LIPSA"},
    {89, 89, "NR.TERMINAL INVALID"},
    {91, 91, "EMITENT INDISPONIBIL"},
    {94, 94, "ERR-CALL HELP-SQ"},
    {95, 95, "TRANSFER TRANZACTII"},
    {96, 96, "EROARE DE SISTEM"},
    {98, 99, "ERR-CALL HELP-SN"},
};
}  // namespace

std::string MesajRaspuns(std::string_view code) {
  if (code.size() != 2 || code[0] < '0' || code[0] > '9' || code[1] < '0' || code[1] > '9') return {};
  const int n = (code[0] - '0') * 10 + (code[1] - '0');
  for (const auto& r : kCodes)
    if (n >= r.lo && n <= r.hi) return r.text;
  return {};
}

}  // namespace tarvina::hypercom
