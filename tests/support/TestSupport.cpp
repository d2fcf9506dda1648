#include "tests/support/TestSupport.h"

#include <QFile>

namespace TestSupport {

MsgBoxRecorder::MsgBoxRecorder()
{
    previous_ = Platform::SetMsgBoxHandler([this](const QString& text, int style, const QString& title) {
        boxes.append({text, style, title});
        return int(Platform::vbOK);
    });
}

MsgBoxRecorder::~MsgBoxRecorder() { Platform::SetMsgBoxHandler(std::move(previous_)); }

QStringList MsgBoxRecorder::texts() const
{
    QStringList out;
    for (const Box& b : boxes)
        out << b.text;
    return out;
}

void WriteFile(const QString& path, const QByteArray& bytes)
{
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate))
        qFatal("cannot write %s: %s", qPrintable(path), qPrintable(f.errorString()));
    f.write(bytes);
}

QByteArray ReadFile(const QString& path)
{
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return QByteArray();
    return f.readAll();
}

} // namespace TestSupport
