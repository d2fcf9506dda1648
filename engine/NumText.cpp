#include "engine/NumText.h"

#include <charconv>
#include <cmath>
#include <string>

namespace NumText {
namespace {

bool IsDigit(QChar c) { return c >= QLatin1Char('0') && c <= QLatin1Char('9'); }

// Checks the whole text against sign? (d+ (.d*)? | .d+) ([eE] sign? d+)?
bool WellFormed(const QString& s)
{
    qsizetype i = 0;
    const qsizetype n = s.size();
    if (i < n && (s[i] == QLatin1Char('+') || s[i] == QLatin1Char('-')))
        ++i;
    qsizetype digits = 0;
    while (i < n && IsDigit(s[i])) { ++i; ++digits; }
    if (i < n && s[i] == QLatin1Char('.')) {
        ++i;
        while (i < n && IsDigit(s[i])) { ++i; ++digits; }
    }
    if (digits == 0)
        return false;
    if (i < n && (s[i] == QLatin1Char('e') || s[i] == QLatin1Char('E'))) {
        ++i;
        if (i < n && (s[i] == QLatin1Char('+') || s[i] == QLatin1Char('-')))
            ++i;
        qsizetype expDigits = 0;
        while (i < n && IsDigit(s[i])) { ++i; ++expDigits; }
        if (expDigits == 0)
            return false;
    }
    return i == n;
}

} // namespace

bool ToInt16(const QString& text, int16_t& out)
{
    if (!WellFormed(text))
        return false;
    std::string ascii = text.toStdString();
    const char* first = ascii.data();
    const char* last = first + ascii.size();
    if (*first == '+')  // from_chars takes no plus sign
        ++first;
    double d = 0;
    const auto [end, ec] = std::from_chars(first, last, d, std::chars_format::general);
    if (ec != std::errc() || end != last || !std::isfinite(d))
        return false;
    const double r = std::nearbyint(d);  // default rounding: halves to even
    if (r < -32768.0 || r > 32767.0)
        return false;
    out = int16_t(r);
    return true;
}

} // namespace NumText
