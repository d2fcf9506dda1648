#pragma once
// Conversion of number texts typed by people ("2.5", "-1e2") into 16-bit
// integers, the same whatever the user's locale says.
#include <QString>
#include <cstdint>

namespace NumText {

// Accepts an optional sign, digits with an optional fraction, and an optional
// exponent, of any length. Rounds the decimal value exactly as written to the
// nearest integer, halves to the even neighbour ("1.4999999999999999" is 1,
// "2.5" is 2, "-0.5" is 0, "1e-400" is 0). Time is linear in the text's length,
// however large the exponent. False for anything else (empty, "inf", "nan",
// hex, a decimal comma, blanks) and for results outside -32768..32767 after
// rounding ("32767.5"); out is then left unchanged.
bool ToInt16(const QString& text, int16_t& out);

} // namespace NumText
