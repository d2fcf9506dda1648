// The roads the core tells and asks: the program's own, listed here once,
// and those registered after them.
#include "engine/Roads.h"

#include "engine/LEDMain.h"
#include "engine/Limits.h"
#include "engine/OrvaneCmd.h"
#include "engine/OrvaneMqtt.h"
#include "engine/OrvaneWeb.h"

#include <algorithm>
#include <vector>

namespace Roads {
namespace {

// In the order the status line names them. The bus comes first: the broker
// asks it whether our NAME is served elsewhere.
std::vector<Road*>& List()
{
    static std::vector<Road*> roads{&OrvaneCmd::BusRoad(), &OrvaneMqtt::BrokerRoad(), &OrvaneWeb::WebRoad()};
    return roads;
}

// A copy: a road may register or unregister one while it is told something.
template <typename F>
void Each(F f)
{
    const std::vector<Road*> roads = List();
    for (Road* road : roads)
        f(*road);
}

} // namespace

QString RunScript(const QString& script, int64_t utf8Bytes)
{
    const QString error = QStringLiteral("Error ");
    if (utf8Bytes > Limits::kMaxScriptBytes)
        return error + Limits::ScriptTooLong(utf8Bytes);
    LEDMain::ScriptFailure failure;
    const QString reply = LEDMain::ExecScript(script, &failure);
    if (failure.number != 0)
        return error + QStringLiteral("%1: %2").arg(failure.number).arg(failure.description);
    if (const int64_t n = Limits::Utf8Length(reply); n > Limits::kMaxReplyBytes)
        return error + Limits::RepliesTooLong(n);
    return reply;
}

void Register(Road* road)
{
    if (std::find(List().begin(), List().end(), road) == List().end())
        List().push_back(road);
}

void Unregister(Road* road) { std::erase(List(), road); }

void Start(QString* why)
{
    QStringList whys;
    Each([&whys](Road& road) {
        QString w;
        road.Start(&w);
        if (!w.isEmpty())
            whys << w;
    });
    if (why)
        *why = whys.join(QStringLiteral("; "));
}

void SettingsReloaded()
{
    Each([](Road& road) { road.SettingsReloaded(); });
}

void ChannelCommanded(int index)
{
    Each([index](Road& road) { road.ChannelCommanded(index); });
}

void ChannelConfirmed(int index, int16_t intensity)
{
    Each([index, intensity](Road& road) { road.ChannelConfirmed(index, intensity); });
}

void Stopping(int msecs)
{
    const int share = std::max(msecs, 0) / int(List().size());
    Each([share](Road& road) { road.Stopping(share); });
}

bool AnyConfigured()
{
    return std::any_of(List().begin(), List().end(), [](const Road* road) { return road->Configured(); });
}

QStringList Statuses()
{
    QStringList parts;
    for (const Road* road : List())
        if (const QString part = road->Status(); !part.isEmpty())
            parts << part;
    return parts;
}

bool NameHeldByOther()
{
    return std::any_of(List().begin(), List().end(), [](const Road* road) { return road->NameHeldByOther(); });
}

} // namespace Roads
