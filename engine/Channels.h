#pragma once
// The controller's four channels, in the order the bars stand: the letter the
// command language and the broker's topics use, the letter of the channel
// command on the wire ("AVA400"), the name a row and a dashboard show, and the
// range of an intensity.
#include <QString>
#include <QStringView>
#include <array>
#include <cstdint>

namespace Channels {

struct Channel {
    char command;  // LED R 100, orvane/<NAME>/R/set
    char device;   // AVA..., SetChannel("A", ...)
    const char* name;
};

inline constexpr std::array<Channel, 4> kAll = {{
    {'R', 'A', "Red"},
    {'G', 'B', "Green"},
    {'B', 'C', "Blue"},
    {'A', 'D', "Amber"},
}};
inline constexpr int kCount = int(kAll.size());
inline constexpr int16_t kMinIntensity = 0;
inline constexpr int16_t kMaxIntensity = 500;

namespace detail {
inline int Find(QStringView letter, char Channel::*which)
{
    for (int i = 0; i < kCount; ++i)
        if (letter.size() == 1 && letter[0] == QLatin1Char(kAll[size_t(i)].*which))
            return i;
    return -1;
}
} // namespace detail

// The index of a channel by its letter in the command language ("R"), or -1.
inline int ByCommand(QStringView letter) { return detail::Find(letter, &Channel::command); }
// The index of a channel by its letter on the wire ("A"), or -1.
inline int ByDevice(QStringView letter) { return detail::Find(letter, &Channel::device); }
inline QString DeviceLetter(int index) { return QString(QLatin1Char(kAll[size_t(index)].device)); }

} // namespace Channels
