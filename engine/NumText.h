#pragma once
// Conversion of number texts typed by people ("2.5", "-1e2") into 16-bit
// integers, the same whatever the user's locale says.
#include <QString>
#include <cstdint>

namespace NumText {

// Accepts an optional sign, digits with an optional fraction, and an optional
// exponent; rounds halves to the even neighbour. False for anything else
// (empty, "inf", "nan", hex, a decimal comma, blanks) and for results outside
// -32768..32767; out is then left unchanged.
bool ToInt16(const QString& text, int16_t& out);

} // namespace NumText
