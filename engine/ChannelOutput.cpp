// LEDMain's channel output: one channel command on the wire, its reply and
// value on the panel, and which channels must send again.
#include "engine/LEDMain.h"

#include "comm/LEDCOMM.h"
#include "base/Platform.h"
#include "base/Posix.h"
#include "base/Channels.h"
#include "base/Wire.h"
#include "engine/Roads.h"

#include <algorithm>
#include <array>

namespace LEDMain {
namespace {

uint64_t g_channelFailures = 0;
std::array<bool, Channels::kCount> g_channelFailed{};
std::array<int16_t, Channels::kCount> g_levels{};
} // namespace

uint64_t ChannelFailures() { return g_channelFailures; }
bool ChannelFailed(int index) { return index >= 0 && index < Channels::kCount && g_channelFailed[size_t(index)]; }
void MarkChannelsUnsent() { g_channelFailed.fill(true); }
std::array<int16_t, 4> ChannelLevels() { return g_levels; }

namespace {

// atShutDown: the shut-down's own command, which goes out after a stop signal too.
int16_t Send(int index, int16_t intensity, bool atShutDown)
{
    const int16_t v = std::clamp(intensity, Channels::kMinIntensity, Channels::kMaxIntensity);
    // After a stop signal only the shut-down sends: a move of tied bars ends
    // with the command already on the wire.
    if (Posix::StopSignal() != 0 && !atShutDown) {
        ++g_channelFailures;
        g_channelFailed[size_t(index)] = true;
        return -1;
    }
    Roads::ChannelCommanded(index);
    const QString command = QString::fromLatin1(Wire::ChannelCommand(index, v).data());
    QString reply;
    const int16_t r = LEDCOMM::CommQuery(command, reply);
    if (r < 0)
        ++g_channelFailures;
    else {
        g_levels[size_t(index)] = v;
        Roads::ChannelConfirmed(index, v);
    }
    g_channelFailed[size_t(index)] = r < 0;
    if (ChannelPanel* panel = MainForm())
        panel->ShowChannel(index, v, reply);
    return r;
}

} // namespace

int16_t SetChannel(const QString& letter, int16_t intensity)
{
    const int index = Channels::ByDevice(letter);
    return index < 0 ? int16_t(-1) : Send(index, intensity, false);
}

int16_t AllChannelsOff()
{
    for (int i = 0; i < Channels::kCount; ++i)
        Send(i, Channels::kMinIntensity, false);
    return 0;
}

int16_t AllChannelsOffAtShutDown()
{
    for (int i = 0; i < Channels::kCount; ++i)
        Send(i, Channels::kMinIntensity, true);
    return 0;
}

int16_t IsFormLoaded(const QString& name)
{
    for (const QObject* f : Platform::Forms())
        if (f->objectName() == name)
            return 1;
    return 0;
}

} // namespace LEDMain
