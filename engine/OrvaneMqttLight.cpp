// Home Assistant's light commands: ON without brightness brings back the
// channel's last level above 0, and a transition moves the channel in steps,
// each one channel command on the road every request takes.
#include "engine/OrvaneMqtt.h"
#include "engine/OrvaneMqttParts.h"

#include "base/Log.h"
#include "engine/LEDMain.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTimer>
#include <algorithm>
#include <cmath>

namespace OrvaneMqtt {
namespace {

constexpr qint64 kStepMs = 50;
constexpr double kMaxTransitionS = 3600;

struct Move {
    QTimer* timer = nullptr;  // runs while the channel moves
    QElapsedTimer clock;
    qint64 durationMs = 0;
    qint64 intervalMs = kStepMs;
    int16_t from = 0;
    int16_t to = 0;
    int16_t sent = 0;
    bool active = false;
};
Move g_moves[4];
int16_t g_level[4] = {0, 0, 0, 0};   // the level each channel was last confirmed at
int16_t g_lastOn[4] = {0, 0, 0, 0};  // its last level above 0; 0: none since the road started
int g_stepping = -1;                 // the channel whose step is on the wire

void Send(int channel, int16_t level)
{
    LEDMain::ExecCommand(QStringLiteral("LED %1 %2").arg(QLatin1Char(kChannels[channel])).arg(level));
}

void Step(int channel)
{
    Move& m = g_moves[channel];
    const qint64 began = m.clock.elapsed();
    const bool last = began >= m.durationMs;
    const auto level = int16_t(last ? m.to : std::lround(m.from + double(m.to - m.from) * double(began) / double(m.durationMs)));
    if (level != m.sent || last) {
        m.sent = level;
        g_stepping = channel;
        Send(channel, level);
        g_stepping = -1;
    }
    if (last || !m.active) {
        m.active = false;
        return;
    }
    // One interval after this step began, or at once when the line took longer.
    m.timer->start(int(std::clamp<qint64>(began + m.intervalMs - m.clock.elapsed(), 0, m.intervalMs)));
}

} // namespace

void ChannelCommanded(int index)
{
    if (index < 0 || index > 3 || index == g_stepping || !g_moves[index].active)
        return;
    g_moves[index].active = false;
    g_moves[index].timer->stop();
}

void LightConfirmed(int index, int16_t level)
{
    if (index < 0 || index > 3)
        return;
    g_level[index] = level;
    // A fade to off keeps the level it started from.
    if (level > 0 && !(index == g_stepping && g_moves[index].to == 0))
        g_lastOn[index] = level;
}

void EndLights(bool forget)
{
    for (int i = 0; i < 4; ++i) {
        ChannelCommanded(i);
        if (forget)
            g_lastOn[i] = 0;
    }
}

void LightCommand(int channel, const QByteArray& payload)
{
    const QJsonObject o = QJsonDocument::fromJson(payload).object();
    const QString state = o.value(QLatin1String("state")).toString();
    const QJsonValue brightness = o.value(QLatin1String("brightness"));
    if ((state != QLatin1String("ON") && state != QLatin1String("OFF"))
        || (!brightness.isUndefined() && !brightness.isDouble())) {
        qCDebug(lcMqtt) << "ignored a light command that is no JSON of state and brightness on channel"
                        << kChannels[channel];
        return;
    }
    int16_t to = 0;
    if (state == QLatin1String("ON"))
        to = brightness.isDouble() ? int16_t(std::lround(std::clamp(brightness.toDouble(), 0.0, 500.0)))
                                   : (g_lastOn[channel] > 0 ? g_lastOn[channel] : int16_t(500));
    const double seconds = std::clamp(o.value(QLatin1String("transition")).toDouble(0), 0.0, kMaxTransitionS);
    ChannelCommanded(channel);
    Move& m = g_moves[channel];
    m.durationMs = qint64(seconds * 1000);
    if (m.durationMs < kStepMs || to == g_level[channel] || !QCoreApplication::instance()) {
        Send(channel, to);
        return;
    }
    if (!m.timer) {
        m.timer = new QTimer(QCoreApplication::instance());
        m.timer->setSingleShot(true);
        QObject::connect(m.timer, &QTimer::timeout, [channel] { Step(channel); });
    }
    m.from = m.sent = g_level[channel];
    m.to = to;
    // No step for a level already sent: a slow move sends each level once.
    m.intervalMs = std::max(kStepMs, m.durationMs / std::abs(to - m.from));
    m.active = true;
    m.clock.start();
    m.timer->start(int(m.intervalMs));
}

} // namespace OrvaneMqtt
