#include "base/Platform.h"

#include "base/Log.h"

#include "base/Log.h"

#include <QApplication>
#include <QMessageBox>
#include <QPointer>
#include <cstdio>
#include <cstdlib>

namespace Platform {
namespace {

MsgBoxHandler g_handler;
Application g_app;
QuitHandler g_quit;
ExitHandler g_exit;
QList<QPointer<QObject>> g_forms;
bool g_noting = false;
QString g_firstNoted;

QMessageBox::Icon IconFor(int style)
{
    switch (style & 0x70) {
    case vbCritical: return QMessageBox::Critical;
    case vbQuestion: return QMessageBox::Question;
    case vbExclamation: return QMessageBox::Warning;
    case vbInformation: return QMessageBox::Information;
    default: return QMessageBox::NoIcon;
    }
}

int QtMsgBox(const QString& text, int style, const QString& title)
{
    if (IsHeadless()) {
        // A server must never hang on a dialog nobody can see.
        qCWarning(lcApp, "%s: %s", qUtf8Printable(title), qUtf8Printable(text));
        return vbOK;
    }
    QMessageBox box(IconFor(style), title, text, QMessageBox::Ok);
    box.exec();
    return vbOK;
}

} // namespace

bool IsHeadless()
{
    if (!qobject_cast<QApplication*>(QCoreApplication::instance()))
        return true;
    const QString name = QGuiApplication::platformName();
    return name == QLatin1String("offscreen") || name == QLatin1String("minimal");
}

int MsgBox(const QString& text, int style, const QString& title)
{
    const QString t = title.isEmpty() ? AppTitle : title;
    if (g_noting) {
        g_noting = false;
        g_firstNoted = text;
    }
    if (g_handler)
        return g_handler(text, style, t);
    return QtMsgBox(text, style, t);
}

void StartNotingMsgBoxes()
{
    g_noting = true;
    g_firstNoted.clear();
}

QString FirstNotedMsgBox() { return g_firstNoted; }

MsgBoxHandler SetMsgBoxHandler(MsgBoxHandler handler)
{
    MsgBoxHandler old = std::move(g_handler);
    g_handler = std::move(handler);
    return old;
}

Application& App() { return g_app; }

void RegisterForm(QObject* form)
{
    if (!g_forms.contains(form))
        g_forms.append(form);
}

void UnregisterForm(QObject* form) { g_forms.removeAll(form); }

QList<QObject*> Forms()
{
    QList<QObject*> out;
    for (const QPointer<QObject>& f : g_forms)
        if (f)
            out.append(f.data());
    return out;
}

void Quit(int code)
{
    if (g_quit)
        g_quit(code);
    else
        QCoreApplication::exit(code);
}

QuitHandler SetQuitHandler(QuitHandler handler)
{
    QuitHandler old = std::move(g_quit);
    g_quit = std::move(handler);
    return old;
}

void Exit(int code)
{
    if (g_exit) {
        g_exit(code);
        return;
    }
    Log::FlushRepeats();
    std::fflush(nullptr);
    std::_Exit(code);
}

ExitHandler SetExitHandler(ExitHandler handler)
{
    ExitHandler old = std::move(g_exit);
    g_exit = std::move(handler);
    return old;
}

} // namespace Platform
