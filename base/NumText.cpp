#include "base/NumText.h"

namespace NumText {
namespace {

bool IsDigit(QChar c) { return c >= QLatin1Char('0') && c <= QLatin1Char('9'); }

int DigitOf(QChar c) { return c.unicode() - u'0'; }

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
    const qsizetype n = text.size();
    qsizetype i = 0;
    const bool negative = text[0] == QLatin1Char('-');
    if (text[0] == QLatin1Char('+') || negative)
        ++i;

    // The digits before the exponent, seen as one run with the point removed.
    const qsizetype mantStart = i;
    while (i < n && IsDigit(text[i]))
        ++i;
    const qsizetype intDigits = i - mantStart;
    qsizetype pointAt = -1;
    if (i < n && text[i] == QLatin1Char('.')) {
        pointAt = i;
        ++i;
        while (i < n && IsDigit(text[i]))
            ++i;
    }
    const qsizetype mantDigits = intDigits + (pointAt < 0 ? 0 : i - pointAt - 1);
    const auto digitAt = [&](qsizetype j) {
        return DigitOf(text[mantStart + j + (pointAt >= 0 && j >= intDigits ? 1 : 0)]);
    };

    // Beyond n + 6 places either way the answer no longer changes (too big, or
    // zero), so the exponent is held there and never overflows.
    const qsizetype expLimit = n + 6;
    qsizetype exponent = 0;
    if (i < n) {
        ++i;  // e or E
        bool expNegative = false;
        if (text[i] == QLatin1Char('+') || text[i] == QLatin1Char('-'))
            expNegative = text[i++] == QLatin1Char('-');
        for (; i < n; ++i)
            exponent = exponent > expLimit / 10 ? expLimit
                                                : qMin(exponent * 10 + DigitOf(text[i]), expLimit);
        if (expNegative)
            exponent = -exponent;
    }

    // The significant digits sig[0..count) without leading and trailing zeros;
    // the value is 0.sig × 10^intPlaces.
    qsizetype lead = 0;
    while (lead < mantDigits && digitAt(lead) == 0)
        ++lead;
    if (lead == mantDigits) {
        out = 0;
        return true;
    }
    qsizetype end = mantDigits;
    while (digitAt(end - 1) == 0)
        --end;
    const qsizetype count = end - lead;
    const qsizetype intPlaces = intDigits - lead + exponent;
    const auto sig = [&](qsizetype j) { return j < count ? digitAt(lead + j) : 0; };

    // Six or more integer places make at least 100000, out of range whatever the sign.
    if (intPlaces > 5)
        return false;
    int32_t magnitude = 0;
    for (qsizetype j = 0; j < intPlaces; ++j)
        magnitude = magnitude * 10 + sig(j);
    // The fraction is 0.sig[intPlaces..]; below 0.1 when intPlaces < 0.
    if (intPlaces >= 0 && intPlaces < count) {
        const int first = sig(intPlaces);
        const bool moreAfter = intPlaces + 1 < count;  // the last digit is never 0
        if (first > 5 || (first == 5 && (moreAfter || magnitude % 2 == 1)))
            ++magnitude;
    }
    const int32_t value = negative ? -magnitude : magnitude;
    if (value < -32768 || value > 32767)
        return false;
    out = int16_t(value);
    return true;
}

} // namespace NumText
