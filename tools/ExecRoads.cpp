#include "tools/ExecRoads.h"

#include "base/OutsideText.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTextStream>
#include <QTimer>
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <unistd.h>

namespace Exec {

// What a broker or a program sent may be in text: it never moves a person's cursor or starts a line.
void Say(const QString& text)
{
    QTextStream(stderr) << "orvane-exec: " << OutsideText::For(OutsideText::Target::Terminal, text) << Qt::endl;
}

Lines::Lines(const QString& script) : ready_{script}, ended_(true) {}

Lines::Lines(int fd) : fd_(fd)
{
    notifier_ = new QSocketNotifier(fd, QSocketNotifier::Read, this);
    notifier_->setEnabled(false);
    connect(notifier_, &QSocketNotifier::activated, this, &Lines::Read);
}

void Lines::Next()
{
    wanted_ = true;
    QTimer::singleShot(0, this, &Lines::Hand);
}

void Lines::Hand()
{
    if (!wanted_)
        return;
    if (!ready_.isEmpty()) {
        wanted_ = false;
        emit Line(ready_.takeFirst());
    } else if (ended_) {
        wanted_ = false;
        emit End();
    } else if (notifier_) {
        // Read on only while a line is wanted: a long file is not held in memory.
        notifier_->setEnabled(true);
    }
}

void Lines::Read()
{
    char chunk[65536];
    // The notifier said the descriptor is readable: one read does not wait.
    const ssize_t n = ::read(fd_, chunk, sizeof chunk);
    if (n < 0 && (errno == EINTR || errno == EAGAIN))
        return;
    if (n > 0) {
        buffer_.append(chunk, n);
    } else {
        if (n < 0)
            Say(QStringLiteral("reading the scripts: %1").arg(QString::fromLocal8Bit(std::strerror(errno))));
        ended_ = true;
        notifier_->setEnabled(false);
        // A last line without a line end is a line all the same.
        if (!buffer_.isEmpty())
            buffer_.append('\n');
    }
    qsizetype end;
    while ((end = buffer_.indexOf('\n')) >= 0) {
        QByteArray line = buffer_.left(end);
        buffer_.remove(0, end + 1);
        if (line.endsWith('\r'))
            line.chop(1);
        ready_ << QString::fromUtf8(line);
    }
    if (!ready_.isEmpty())
        notifier_->setEnabled(false);
    Hand();
}

void PrintList(QList<Listed> list, bool json)
{
    std::sort(list.begin(), list.end(), [](const Listed& a, const Listed& b) {
        return a.name != b.name ? a.name < b.name : a.road < b.road;
    });
    QTextStream out(stdout);
    if (json) {
        QJsonArray array;
        for (const Listed& c : std::as_const(list)) {
            QJsonObject levels;
            if (c.levels)
                for (int i = 0; i < Channels::kCount; ++i)
                    levels.insert(QString(QLatin1Char(Channels::kAll[size_t(i)].command)), (*c.levels)[size_t(i)]);
            array.append(QJsonObject{{"name", c.name.isEmpty() ? QJsonValue() : QJsonValue(c.name)},
                                     {"road", c.road},
                                     {"online", c.online},
                                     {"levels", c.levels ? QJsonValue(levels) : QJsonValue()}});
        }
        out << QJsonDocument(array).toJson(QJsonDocument::Compact) << Qt::endl;
        return;
    }
    for (const Listed& c : std::as_const(list)) {
        out << (c.name.isEmpty() ? QStringLiteral("(no NAME)") : c.name) << ' ' << c.road << ' '
            << (c.online ? "online" : "offline");
        if (c.levels)
            for (int i = 0; i < Channels::kCount; ++i)
                out << ' ' << Channels::kAll[size_t(i)].command << '=' << (*c.levels)[size_t(i)];
        else
            out << " levels unknown";
        out << '\n';
    }
    out.flush();
}

void PrintAnswers(const QStringList& names, const QList<std::optional<QString>>& answers)
{
    QTextStream out(stdout);
    // A person reads a terminal; a pipe or file gets the answers as sent.
    const bool person = ::isatty(STDOUT_FILENO) == 1;
    for (qsizetype i = 0; i < names.size(); ++i) {
        if (!answers.value(i))
            continue;
        if (names.size() > 1)
            out << names[i] << ": ";
        out << (person ? OutsideText::For(OutsideText::Target::Terminal, *answers[i]) : *answers[i]) << Qt::endl;
    }
}

} // namespace Exec
