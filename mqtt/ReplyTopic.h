#pragma once
// Where an answer may be published. A client names its own response topic,
// and the answer goes out under the program's own broker account: on a topic
// that an Orvane program takes commands on it would be run as a command.
// Every road that answers on a topic a client chose asks here first.
#include <QByteArray>
#include <QString>

namespace Mqtt {

// Empty when an answer may go to topic; else why not, as the end of "the
// response topic is ...". Refused: orvane/+/exec and every level below it,
// orvane/+/+/set, orvane/+/+/light/set; what programs and orvane-exec publish
// on (orvane/+/status, orvane/+/state, orvane/+/+/light, orvane/+/result and
// below, orvane-exec/#); anything under discoveryPrefix (when not empty); and
// what is no topic one may publish on.
QString ReplyTopicRefusal(const QByteArray& topic, const QByteArray& discoveryPrefix);

} // namespace Mqtt
