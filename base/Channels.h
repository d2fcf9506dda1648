#pragma once
// The controller's four channels, in the order the bars stand: the letter the
// command language and the broker's topics use, the letter of the channel
// command on the wire ("AVA400", base/Wire.h), the name a row and a dashboard
// show, and the range of an intensity. Plain C++, so that every part reads it:
// the program, orvane-exec and orvane-sim.
#include <array>
#include <cstddef>
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
// Text: any string of one character per letter (QString, QStringView, std::string_view).
template <typename Text>
constexpr int Find(const Text& letter, char Channel::*which)
{
    for (int i = 0; i < kCount; ++i)
        if (letter.size() == 1 && letter[0] == char16_t(kAll[size_t(i)].*which))
            return i;
    return -1;
}
} // namespace detail

// The index of a channel by its letter in the command language ("R"), or -1.
template <typename Text>
constexpr int ByCommand(const Text& letter)
{
    return detail::Find(letter, &Channel::command);
}
// The index of a channel by its letter on the wire ("A"), or -1.
template <typename Text>
constexpr int ByDevice(const Text& letter)
{
    return detail::Find(letter, &Channel::device);
}
// The letter on the wire of channel index as a string of type Text ("A").
template <typename Text>
Text DeviceLetter(int index)
{
    return Text(1, kAll[size_t(index)].device);
}

} // namespace Channels
