#include "base/OutsideText.h"

namespace OutsideText {
namespace {

// What may end a line or a message: the Cc characters and the Unicode line and paragraph separators.
bool IsControl(char16_t c) { return c < 0x20 || (c >= 0x7f && c < 0xa0) || c == 0x2028 || c == 0x2029; }

bool IsBidiControl(char16_t c)
{
    return c == 0x061c || c == 0x200e || c == 0x200f || (c >= 0x202a && c <= 0x202e) || (c >= 0x2066 && c <= 0x2069);
}

void AppendEscape(QString& out, char16_t c)
{
    switch (c) {
    case u'\n': out += QLatin1String("\\n"); return;
    case u'\r': out += QLatin1String("\\r"); return;
    case u'\t': out += QLatin1String("\\t"); return;
    default:
        if (c < 0x80)
            out += QStringLiteral("\\x%1").arg(uint(c), 2, 16, QLatin1Char('0'));
        else
            out += QStringLiteral("\\u%1").arg(uint(c), 4, 16, QLatin1Char('0'));
    }
}

QString Escaped(const QString& text, bool terminal)
{
    QString out;
    out.reserve(text.size());
    for (qsizetype i = 0; i < text.size(); ++i) {
        const char16_t c = text[i].unicode();
        if (QChar::isHighSurrogate(c) && i + 1 < text.size() && text[i + 1].isLowSurrogate()) {
            out += text[i];
            out += text[++i];
        } else if (IsControl(c) || QChar::isSurrogate(c) || (terminal && IsBidiControl(c))) {
            AppendEscape(out, c);
        } else {
            out += text[i];
        }
    }
    return out;
}

// The code point of a valid UTF-8 sequence at bytes[i], with its length; 0 for none.
int Utf8Sequence(QByteArrayView bytes, qsizetype i, char32_t* cp)
{
    const auto b = uchar(bytes[i]);
    int length = 0;
    char32_t value = 0;
    char32_t least = 0;
    if (b < 0x80) {
        *cp = b;
        return 1;
    }
    if (b >= 0xc2 && b < 0xe0) {
        length = 2, value = b & 0x1f, least = 0x80;
    } else if (b >= 0xe0 && b < 0xf0) {
        length = 3, value = b & 0x0f, least = 0x800;
    } else if (b >= 0xf0 && b < 0xf5) {
        length = 4, value = b & 0x07, least = 0x10000;
    } else {
        return 0;
    }
    if (i + length > bytes.size())
        return 0;
    for (int k = 1; k < length; ++k) {
        const auto next = uchar(bytes[i + k]);
        if ((next & 0xc0) != 0x80)
            return 0;
        value = (value << 6) | (next & 0x3f);
    }
    if (value < least || value > 0x10ffff || (value >= 0xd800 && value < 0xe000))
        return 0;
    *cp = value;
    return length;
}

} // namespace

QString For(Target target, const QString& text)
{
    switch (target) {
    case Target::Log:
    case Target::NotifyField:
        return Escaped(text, false);
    case Target::Terminal:
    case Target::Page:
        return Escaped(text, true);
    case Target::UdevComment: {
        QString safe = text;
        for (QChar& c : safe)
            if (IsControl(c.unicode()))
                c = QLatin1Char('?');
        return safe;
    }
    case Target::UdevValue:
        for (const QChar c : text)
            if (IsControl(c.unicode()) || QStringLiteral("\"\\*?[]|$%").contains(c))
                return QString();
        return text;
    }
    return QString();
}

QString ForBytes(Target target, QByteArrayView bytes)
{
    QString text;
    text.reserve(bytes.size());
    for (qsizetype i = 0; i < bytes.size();) {
        char32_t cp = 0;
        if (const int length = Utf8Sequence(bytes, i, &cp); length > 0) {
            text += QString::fromUcs4(&cp, 1);
            i += length;
        } else {
            text += QStringLiteral("\\x%1").arg(uint(uchar(bytes[i])), 2, 16, QLatin1Char('0'));
            ++i;
        }
    }
    return For(target, text);
}

} // namespace OutsideText
