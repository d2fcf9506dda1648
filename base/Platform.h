#pragma once
// Platform services that tests must control: modal message boxes and the
// application object. The program wires them to Qt; tests replace them.
#include <QList>
#include <QObject>
#include <QString>
#include <functional>

namespace Platform {

// Message box styles and answers, numbered as the rest of the program speaks of them:
// the vb* constants name a box's buttons and icon (vbCritical ...) and the answer (vbOK).
enum : int {
    vbOKOnly = 0,
    vbCritical = 16,
    vbQuestion = 32,
    vbExclamation = 48,
    vbInformation = 64,
};
enum : int { vbOK = 1 };

// Title of message boxes that name no title of their own.
inline const QString AppTitle = QStringLiteral("Orvane");

using MsgBoxHandler = std::function<int(const QString& text, int style, const QString& title)>;

// Modal message box; returns the button pressed. An empty title means AppTitle.
int MsgBox(const QString& text, int style = vbOKOnly, const QString& title = QString());

// Replaces the message box handler (tests record and answer at once);
// an empty handler restores the default. Returns the previous one.
MsgBoxHandler SetMsgBoxHandler(MsgBoxHandler handler);

// Start-up tells its first failure by these: the text of the first message box
// shown after StartNotingMsgBoxes, or empty when none was.
void StartNotingMsgBoxes();
QString FirstNotedMsgBox();

// True when nobody can see a dialog: no application, or the offscreen/minimal platform.
bool IsHeadless();

struct Application {
    QString Path;          // directory of the executable, no trailing separator
    bool PrevInstance = false;
    int StartMode = 0;     // 1 when started to serve an automation client
};

// The one application object; start-up fills it, tests may set it.
Application& App();

// The program's loaded windows (created and not yet unloaded, shown or hidden),
// oldest first. Each window of the design registers itself while loaded.
void RegisterForm(QObject* form);
void UnregisterForm(QObject* form);
QList<QObject*> Forms();

// Ends the event loop with the code. Tests replace it to see the decision
// without ending their own loop; an empty handler restores the default.
void Quit(int code);
using QuitHandler = std::function<void(int code)>;
QuitHandler SetQuitHandler(QuitHandler handler);

// Ends the process at once with the code, from wherever it is called, a modal
// loop included: standard output and error are flushed, and no code after the
// call runs, neither the rest of a loop's caller nor any destructor. Tests
// replace it to see the call (it then returns to the caller); an empty
// handler restores the default.
void Exit(int code);
using ExitHandler = std::function<void(int code)>;
ExitHandler SetExitHandler(ExitHandler handler);

} // namespace Platform
