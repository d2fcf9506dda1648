#pragma once
// What a controller's NAME may be. It becomes one element of a bus name
// (Orvane.OrvaneCmd.<NAME>), one level of the broker's topics
// (orvane/<NAME>/...) and a value in a udev rule, so every road takes the one
// form that is safe in all three.
#include <QString>
#include <QStringView>

namespace ControllerName {

constexpr qsizetype kMaxLength = 200;

// Letters, digits and underscores, not starting with a digit, 1 to kMaxLength characters.
inline bool IsValid(QStringView name)
{
    if (name.isEmpty() || name.size() > kMaxLength || (name[0] >= u'0' && name[0] <= u'9'))
        return false;
    for (const QChar c : name) {
        const char16_t u = c.unicode();
        if (!((u >= u'a' && u <= u'z') || (u >= u'A' && u <= u'Z') || (u >= u'0' && u <= u'9') || u == u'_'))
            return false;
    }
    return true;
}

// The rule in words, for the message that refuses a name.
inline QString Rule()
{
    return QStringLiteral("letters, digits and underscores, not starting with a digit, at most %1 characters")
        .arg(kMaxLength);
}

} // namespace ControllerName
