// Home Assistant's light commands: ON without brightness brings back the
// channel's last level above 0, and a transition moves the channel in steps,
// each one level on the road every request takes (LEDMain::SetLevel); the
// command counts once.
#include "engine/OrvaneMqtt.h"
#include "engine/OrvaneMqttParts.h"

#include "base/Log.h"
#include "engine/LEDMain.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QJsonDocument>
#include <QJsonObject>
#include <QPointer>
#include <QTimer>
#include <algorithm>
#include <cmath>

namespace OrvaneMqtt {
namespace {

constexpr qint64 kStepMs = 50;
constexpr double kMaxTransitionS = 3600;

QString Letter(int channel) { return QString(QLatin1Char(Channels::kAll[size_t(channel)].command)); }

bool IsChannel(int index) { return index >= 0 && index < Channels::kCount; }

} // namespace

Lights::Lights(QObject* road, const Levels& confirmed) : road_(road), level_(confirmed) {}

void Lights::Step(int channel)
{
    Move& m = moves_[size_t(channel)];
    const qint64 began = m.clock.elapsed();
    const bool last = began >= m.durationMs;
    const auto level = int16_t(last ? m.to : std::lround(m.from + double(m.to - m.from) * double(began) / double(m.durationMs)));
    // Rounding may reach the target a step early: the last step does not send it twice.
    if (level != m.sent) {
        m.sent = level;
        stepping_ = channel;
        // The step's command may end the road (a stop signal seen on the way).
        const QPointer<QObject> road(road_);
        LEDMain::SetLevel(channel, level);
        if (!road)
            return;
        stepping_ = -1;
    }
    if (last || !m.active) {
        m.active = false;
        return;
    }
    // One interval after this step began, or at once when the line took longer.
    m.timer->start(int(std::clamp<qint64>(began + m.intervalMs - m.clock.elapsed(), 0, m.intervalMs)));
}

void Lights::Commanded(int index)
{
    if (!IsChannel(index) || index == stepping_ || !moves_[size_t(index)].active)
        return;
    moves_[size_t(index)].active = false;
    moves_[size_t(index)].timer->stop();
}

void Lights::Confirmed(int index, int16_t level)
{
    if (!IsChannel(index))
        return;
    level_[size_t(index)] = level;
    // A fade to off keeps the level it started from.
    if (level > 0 && !(index == stepping_ && moves_[size_t(index)].to == 0))
        lastOn_[size_t(index)] = level;
}

void Lights::Command(int channel, const QByteArray& payload)
{
    const QJsonObject o = QJsonDocument::fromJson(payload).object();
    const QString state = o.value(QLatin1String("state")).toString();
    const QJsonValue brightness = o.value(QLatin1String("brightness"));
    if ((state != QLatin1String("ON") && state != QLatin1String("OFF"))
        || (!brightness.isUndefined() && !brightness.isDouble())) {
        qCDebug(lcMqtt) << "ignored a light command that is no JSON of state and brightness on channel"
                        << Letter(channel);
        return;
    }
    // One request, however many steps its transition takes.
    LEDMain::CountCommand();
    const auto c = size_t(channel);
    int16_t to = Channels::kMinIntensity;
    if (state == QLatin1String("ON"))
        to = brightness.isDouble()
                 ? int16_t(std::lround(std::clamp(brightness.toDouble(), double(Channels::kMinIntensity),
                                                  double(Channels::kMaxIntensity))))
                 : (lastOn_[c] > 0 ? lastOn_[c] : Channels::kMaxIntensity);
    const double seconds = std::clamp(o.value(QLatin1String("transition")).toDouble(0), 0.0, kMaxTransitionS);
    Commanded(channel);
    Move& m = moves_[c];
    m.durationMs = qint64(seconds * 1000);
    if (m.durationMs < kStepMs || to == level_[c] || !QCoreApplication::instance()) {
        LEDMain::SetLevel(channel, to);
        return;
    }
    if (!m.timer) {
        m.timer = new QTimer(road_);
        m.timer->setSingleShot(true);
        QObject::connect(m.timer, &QTimer::timeout, road_, [this, channel] { Step(channel); });
    }
    m.from = m.sent = level_[c];
    m.to = to;
    // No step for a level already sent: a slow move sends each level once.
    m.intervalMs = std::max(kStepMs, m.durationMs / std::abs(to - m.from));
    m.active = true;
    m.clock.start();
    m.timer->start(int(m.intervalMs));
}

} // namespace OrvaneMqtt
