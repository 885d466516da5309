#pragma once
// Conversion and checking of the values of a request packet.
#include <cstdint>
#include <string>

#include "server/KeyStore.h"

namespace tarvina {

struct TDateCerere {
  std::int32_t Operatie = -1, TipPos = -1, ComPortRS232 = -1;
  double FSuma = 0;
  std::int64_t FSessionID = 0;
  std::string FNrBon, FIPPosViva, ErrorMsg;
};

// Integer text: optional "+"/"-", then decimal digits in the 32-bit signed
// range, or "$", "x", "X", "0x", "0X" and hexadecimal digits up to FFFFFFFF
// taken as a 32-bit pattern. A sign before a hexadecimal pattern negates the
// pattern in 32 bits ("-$1" is -1, "-$FFFFFFFF" is 1). Nothing else, no blanks.
bool TryIntegerText(const std::string& text, std::int32_t& value);

// Amount text with "," as the decimal mark: optional blanks, optional sign,
// digits with at most one ",", optional exponent, optional blanks. A lone ","
// is 0; beyond the largest finite double is not convertible. Independent of
// the process locale.
bool TryAmountText(const std::string& text, double& value);

// An amount the terminal of kind `tipPos` can be sent: not negative, finite
// in hundredths, and no more digits of hundredths than the kind's amount
// field carries. Zero fits every kind.
bool AmountFitsTerminal(std::int32_t tipPos, double suma);

// The raw "Suma" value with its first "." (only the first) turned into ",":
// what is converted and what a rejection shows.
std::string AmountText(const std::string& raw);

// Fills `d` (reset first) from the "InfoPachet" section and applies the checks
// in order; false rejects with d.ErrorMsg set. Raises nothing.
bool DateValide(const TKeyStore& keys, TDateCerere& d);

}  // namespace tarvina
