#pragma once
// The controller's wire: the serial line's settings and the channel command,
// as the program sends it and orvane-sim reads it. Plain C++.
#include "base/Channels.h"

#include <array>
#include <string_view>

namespace Wire {

// 9600 baud, 8 data bits, no parity, 1 stop bit, no flow control.
inline constexpr int kBaud = 9600;
inline constexpr int kDataBits = 8;
inline constexpr bool kParity = false;
inline constexpr int kStopBits = 1;
inline constexpr bool kFlowControl = false;
// Every line ends in CR, both ways.
inline constexpr char kLineEnd = '\r';

// "AV", the channel's letter on the wire and three digits of the maximum less
// the intensity: "AVA400" sets channel A (red) to 100.
inline constexpr std::string_view kCommandPrefix = "AV";
inline constexpr size_t kCommandSize = kCommandPrefix.size() + 4;
using Command = std::array<char, kCommandSize + 1>;  // ends in NUL

// The channel command for channel index 0..3 (the bars' order) at intensity,
// which must lie in the channels' range.
constexpr Command ChannelCommand(int index, int intensity)
{
    Command c{};
    size_t n = 0;
    for (const char p : kCommandPrefix)
        c[n++] = p;
    c[n++] = Channels::kAll[size_t(index)].device;
    const int digits = Channels::kMaxIntensity - intensity;
    c[n++] = char('0' + digits / 100);
    c[n++] = char('0' + digits / 10 % 10);
    c[n++] = char('0' + digits % 10);
    return c;
}

// The channel index and intensity a line without its CR sets; false when it
// is no channel command.
constexpr bool ParseChannelCommand(std::string_view line, int& index, int& intensity)
{
    if (line.size() != kCommandSize || line.substr(0, kCommandPrefix.size()) != kCommandPrefix)
        return false;
    const int i = Channels::ByDevice(line.substr(kCommandPrefix.size(), 1));
    int digits = 0;
    for (const char d : line.substr(kCommandPrefix.size() + 1)) {
        if (d < '0' || d > '9')
            return false;
        digits = digits * 10 + (d - '0');
    }
    if (i < 0 || digits > Channels::kMaxIntensity - Channels::kMinIntensity)
        return false;
    index = i;
    intensity = Channels::kMaxIntensity - digits;
    return true;
}

} // namespace Wire
