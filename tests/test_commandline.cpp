// Command line, history, menus and the interpreter with the main window loaded.
#include "comm/LEDCOMM.h"
#include "engine/LEDMain.h"
#include "mainwindow/frmEditor.h"
#include "mainwindow/frmVURUruduvo.h"
#include "params/frmParList.h"
#include "tests/support/ProgramFixture.h"
#include "tests/support/TestSupport.h"

#include <QAccessible>
#include <QAbstractItemView>
#include <QAction>
#include <QCheckBox>
#include <QLabel>
#include <QClipboard>
#include <QComboBox>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScrollBar>
#include <QStatusBar>
#include <QTableWidget>
#include <QTimer>

using TestSupport::MsgBoxRecorder;
using TestSupport::ProgramFixture;
using TestSupport::SimProcess;

class TestCommandLine : public QObject {
    Q_OBJECT

    ProgramFixture fx_;
    int quits_ = 0;

    frmVURUruduvo* form() { return LEDMain::MainForm(); }
    QStringList newLines(int expected) { return fx_.newLines(expected); }

    QStringList history()
    {
        QStringList h;
        for (int i = 0; i < form()->cboCommand->count(); ++i)
            h << form()->cboCommand->itemText(i);
        return h;
    }

    void run(const QString& line)
    {
        form()->cboCommand->setEditText(line);
        QTest::mouseClick(form()->cmdExec, Qt::LeftButton);
    }

    static QList<frmEditor*> editors()
    {
        QList<frmEditor*> out;
        for (QWidget* w : QApplication::topLevelWidgets())
            if (auto* e = qobject_cast<frmEditor*>(w); e && e->isVisible())
                out << e;
        return out;
    }

    static void closeEditors()
    {
        for (frmEditor* e : editors())
            e->close();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    }

    // Closes the modal parameter window as soon as it shows, after an optional edit.
    static void closeParListWhenShown(std::function<void(frmParList*)> edit = {})
    {
        QTimer::singleShot(0, [edit] {
            auto* w = qobject_cast<frmParList*>(QApplication::activeModalWidget());
            if (!w) {
                closeParListWhenShown(edit);
                return;
            }
            if (edit)
                edit(w);
            w->close();
        });
    }

private slots:
    void initTestCase()
    {
        Platform::SetQuitHandler([this](int) { ++quits_; });
    }

    void init()
    {
        QVERIFY(fx_.setUp());
        QCOMPARE(LEDMain::AppInit(), int16_t(1));
        QCOMPARE(newLines(4).size(), 4);
    }

    void cleanup()
    {
        closeEditors();
        fx_.tearDown();
    }

    void execShowsJoinedResponsesAndKeepsTheLine()
    {
        run("LED R 100;Ver");
        QCOMPARE(form()->txtMsg->text(), QString("OK  ; 1.0 ; "));
        QCOMPARE(newLines(1), QStringList{"AVA400"});
        QCOMPARE(form()->scrRed->value(), 100);
        QCOMPARE(form()->cboCommand->currentText(), QString("LED R 100;Ver"));
        QCOMPARE(history(), QStringList{"LED R 100;Ver"});
    }

    void ledThroughTheBarsWithTie()
    {
        form()->chkTie->setChecked(true);
        form()->scrRed->setValue(1);
        newLines(4);
        // Green moves the others: "B" first, then "A", "C", "D"; one answer for the whole move.
        run("LED G 100");
        QCOMPARE(form()->txtMsg->text(), QString("OK  ; "));
        QCOMPARE(newLines(4), (QStringList{"AVB400", "AVA400", "AVC400", "AVD400"}));
        // Clamped values reach the bar clamped.
        run("LED A 900;LED B -5");
        QCOMPARE(form()->txtMsg->text(), QString("OK  ; OK  ; "));
        QCOMPARE(form()->scrBlue->value(), 0);
    }

    void historyKeepsTheLast100NewestFirst()
    {
        for (int i = 1; i <= 101; ++i)
            run(QStringLiteral("Ver %1").arg(i));
        const QStringList h = history();
        QCOMPARE(h.size(), 100);
        QCOMPARE(h.first(), QString("Ver 101"));
        QCOMPARE(h.last(), QString("Ver 2"));

        // Picking the oldest entry and running it: the removal must not change the line.
        form()->cboCommand->setCurrentIndex(99);
        QCOMPARE(form()->cboCommand->currentText(), QString("Ver 2"));
        QTest::mouseClick(form()->cmdExec, Qt::LeftButton);
        QCOMPARE(form()->cboCommand->currentText(), QString("Ver 2"));
        QCOMPARE(history().first(), QString("Ver 2"));
        QCOMPARE(history().last(), QString("Ver 3"));
        QCOMPARE(form()->txtMsg->text(), QString("1.0 ; "));
    }

    void equalAndEmptyEntriesAndEnterInsertsNothing()
    {
        run("Ver");
        run("Ver");
        run("");
        QCOMPARE(history(), (QStringList{"", "Ver", "Ver"}));
        QCOMPARE(form()->txtMsg->text(), QString());
        // Enter in the line does not enter it into the history.
        form()->cboCommand->setEditText("typed");
        QTest::keyClick(form()->cboCommand->lineEdit(), Qt::Key_Return);
        QCOMPARE(history().size(), 3);
        QCOMPARE(form()->cboCommand->currentText(), QString("typed"));
    }

    void afterARunNoEntryIsCurrent()
    {
        run("one");
        run("two");
        form()->cboCommand->setEditText("three");
        form()->mnuDirect->trigger();
        QCOMPARE(history(), (QStringList{"three", "two", "one"}));
        QCOMPARE(form()->cboCommand->currentIndex(), -1);
        QCOMPARE(form()->cboCommand->currentText(), QString("three"));
        run("four");
        QCOMPARE(form()->cboCommand->currentIndex(), -1);
        QCOMPARE(form()->cboCommand->currentText(), QString("four"));
        // The drop-down does not open on the oldest entry.
        QComboBox* cbo = form()->cboCommand;
        cbo->showPopup();
        QVERIFY(cbo->view()->currentIndex().row() <= 0);
        // An entry picked there is where Up and Down go on from.
        QTest::keyClick(cbo->view(), Qt::Key_End);
        QTest::keyClick(cbo->view(), Qt::Key_Up);
        QTest::keyClick(cbo->view(), Qt::Key_Return);
        QCOMPARE(cbo->currentText(), QString("two"));
        QTest::keyClick(cbo, Qt::Key_Up);
        QCOMPARE(cbo->currentText(), QString("one"));
        QTest::keyClick(cbo, Qt::Key_Down);
        QTest::keyClick(cbo, Qt::Key_Down);
        QCOMPARE(cbo->currentText(), QString("three"));
    }

    void upAndDownWalkTheHistory_data()
    {
        QTest::addColumn<bool>("toLineEdit");
        QTest::newRow("combo box") << false;
        QTest::newRow("its edit field") << true;
    }

    void upAndDownWalkTheHistory()
    {
        QFETCH(bool, toLineEdit);
        run("one");
        run("two");
        run("three");
        QComboBox* cbo = form()->cboCommand;
        QWidget* target = toLineEdit ? static_cast<QWidget*>(cbo->lineEdit()) : cbo;
        auto press = [&](Qt::Key key) {
            QTest::keyClick(target, key);
            return cbo->currentText();
        };
        QTest::keyClick(target, Qt::Key_A, Qt::ControlModifier);
        QTest::keyClicks(target, "draft");
        QCOMPARE(cbo->currentText(), QString("draft"));

        QCOMPARE(press(Qt::Key_Up), QString("three"));
        QCOMPARE(press(Qt::Key_Up), QString("two"));
        QCOMPARE(press(Qt::Key_Up), QString("one"));
        QCOMPARE(press(Qt::Key_Up), QString("one"));  // the oldest stays
        QCOMPARE(press(Qt::Key_Down), QString("two"));
        QCOMPARE(press(Qt::Key_Down), QString("three"));
        QCOMPARE(press(Qt::Key_Down), QString("draft"));
        QCOMPARE(press(Qt::Key_Down), QString("draft"));
        QCOMPARE(history(), (QStringList{"three", "two", "one"}));

        // A recalled line that is edited becomes the operator's own.
        QCOMPARE(press(Qt::Key_Up), QString("three"));
        QTest::keyClicks(target, "x");
        QCOMPARE(press(Qt::Key_Up), QString("three"));
        QCOMPARE(press(Qt::Key_Down), QString("threex"));

        // After a run the walk starts again at the newest entry.
        QCOMPARE(press(Qt::Key_Up), QString("three"));
        QCOMPARE(press(Qt::Key_Up), QString("two"));
        QTest::mouseClick(form()->cmdExec, Qt::LeftButton);
        QCOMPARE(history(), (QStringList{"two", "three", "two", "one"}));
        QCOMPARE(cbo->currentText(), QString("two"));
        QCOMPARE(press(Qt::Key_Up), QString("two"));
        QCOMPARE(press(Qt::Key_Up), QString("three"));
        QCOMPARE(press(Qt::Key_Down), QString("two"));
        QCOMPARE(press(Qt::Key_Down), QString("two"));
        QCOMPARE(cbo->currentIndex(), -1);
    }

    void directSendsTheLineRaw()
    {
        form()->cboCommand->setEditText("AVB123");
        form()->mnuDirect->trigger();
        QCOMPARE(newLines(1), QStringList{"AVB123"});
        QCOMPARE(form()->txtMsg->text(), QString("OK\r"));
        QCOMPARE(history(), QStringList{"AVB123"});
        // The controller's own language: an unknown line answers "?".
        form()->cboCommand->setEditText("LED R 1");
        form()->mnuDirect->trigger();
        QCOMPARE(newLines(1), QStringList{"LED R 1"});
        QCOMPARE(form()->txtMsg->text(), QString("?\r"));
    }

    void directWithASilentControllerStillEntersTheLine()
    {
        cleanup();
        QVERIFY(fx_.setUp("\"PORT\",7\r\n\"TIMEOUT\",100\r\n", {"--silent"}));
        LEDMain::AppInit();
        newLines(4);
        form()->cboCommand->setEditText("hello");
        form()->mnuDirect->trigger();
        QCOMPARE(form()->txtMsg->text(), QString());
        QCOMPARE(history(), QStringList{"hello"});
        QVERIFY(LEDCOMM::GetErrLog().endsWith("-Port TimeOut\r\n"));
        // Exec Cmd too enters a failing line.
        run("LED R 5");
        QCOMPARE(form()->txtMsg->text(), QString("Error  ; "));
        QCOMPARE(history().first(), QString("LED R 5"));
    }

    void errorLogOpensAnEditorOnlyWhenThereIsALog()
    {
        // Start from an empty log with the write position wherever it is.
        LEDCOMM::ResetErrLog();
        const bool empty = LEDCOMM::GetErrLog().remove("\r\n").isEmpty();
        QVERIFY(empty);
        if (LEDCOMM::GetErrLog().isEmpty()) {
            QGuiApplication::clipboard()->setText("before");
            form()->mnuErrLog->trigger();
            QCOMPARE(editors().size(), 0);
            QCOMPARE(QGuiApplication::clipboard()->text(), QString("before"));
        }
        LEDCOMM::ReportError("m1");
        LEDCOMM::ReportError("m2");
        form()->mnuErrLog->trigger();
        QCOMPARE(editors().size(), 1);
        const QString log = LEDCOMM::GetErrLog();
        QVERIFY(log.endsWith("m1\r\nm2\r\n"));
        QCOMPARE(QGuiApplication::clipboard()->text(), log);
        frmEditor* e = editors().first();
        QCOMPARE(e->txtText->toPlainText(), QString(log).replace("\r\n", "\n"));
        QVERIFY(e->txtText->document()->isModified());
        // Nothing reaches the disk until the operator saves.
        QCOMPARE(QDir(fx_.dir->path()).entryList({"*.txt", "*.TXT"}, QDir::Files),
                 QStringList{"LED_CONFIG.TXT"});
        const QString saved = fx_.path("log.txt");
        QVERIFY(e->SaveTo(saved));
        QVERIFY(TestSupport::ReadFile(saved).contains("m2"));
    }

    void commandsOpensTheReference()
    {
        TestSupport::WriteFile(fx_.path("LED_COMMANDS.TXT"), "LED <channel> <value>\n");
        form()->mnuCmds->trigger();
        QCOMPARE(editors().size(), 1);
        QCOMPARE(editors().first()->txtText->toPlainText(), QString("LED <channel> <value>\n"));
        QCOMPARE(editors().first()->windowTitle(), fx_.dir->path() + "/LED_COMMANDS.TXT");
        closeEditors();

        QFile::remove(fx_.path("LED_COMMANDS.TXT"));
        form()->mnuCmds->trigger();
        QCOMPARE(editors().size(), 1);
        QVERIFY(editors().first()->statusBar()->currentMessage().contains("does not exist"));
    }

    void theBuiltReferenceNamesEveryCommand()
    {
        const QByteArray text = TestSupport::ReadFile(ORVANE_BIN_DIR "/LED_COMMANDS.TXT");
        for (const char* word : {"LED", "Show", "Hide", "CommandCount", "Ver", "Not a Number",
                                 "Bad Value", "Error Missing Argument", "Error Unknown command"})
            QVERIFY2(text.contains(word), word);
    }

    void portReopensWithTheNewSettings()
    {
        // Another controller on port 9; the file is switched to it behind the program's back,
        // and the parameter window shows and saves what the file holds.
        SimProcess other;
        QVERIFY(other.start({"--link", fx_.path("COM9"), "--no-show"}));
        qsizetype otherMark = 0;
        fx_.writeConfig("\"PORT\",9\r\n\"TIMEOUT\",300\r\n");
        closeParListWhenShown();
        form()->mnuPort->trigger();
        QVERIFY(fx_.boxes->boxes.isEmpty());
        QCOMPARE(LEDMain::ExecScript("LED B 1"), QString("OK  ; "));
        QCOMPARE(ProgramFixture::NewLines(other, otherMark, 1), QStringList{"AVC499"});
        QCOMPARE(newLines(0), QStringList{});

        // Nothing changed: the port is still closed and opened again, and works.
        closeParListWhenShown();
        form()->mnuPort->trigger();
        QCOMPARE(LEDMain::ExecScript("LED B 2"), QString("OK  ; "));
        QCOMPARE(ProgramFixture::NewLines(other, otherMark, 1), QStringList{"AVC498"});
    }

    void portToAMissingDeviceLeavesThePortClosed()
    {
        closeParListWhenShown([](frmParList* w) {
            // Port 8 has no link in this directory.
            // The grid's header is its own; the first entry is its first row.
            QCOMPARE(w->fgrPar->item(0, 0)->text(), QString("PORT"));
            w->fgrPar->item(0, 1)->setText("8");
        });
        form()->mnuPort->trigger();
        QVERIFY(TestSupport::ReadFile(fx_.path("LED_CONFIG.TXT")).startsWith("\"PORT\",8\r\n"));
        QVERIFY(form()->txtMsg->text().startsWith("CommOpenPort "));
        QVERIFY(LEDCOMM::GetErrLog().contains("CommOpenPort "));
        QCOMPARE(LEDMain::ExecScript("LED R 3"), QString("Error  ; "));
        QCOMPARE(newLines(0), QStringList{});
    }

    void quitWithAnObjectAliveKeepsTheLights()
    {
        run("LED R 250");
        newLines(1);
        LEDMain::AutomationObjectCreated();
        form()->mnuQuit->trigger();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        QVERIFY(!form());
        QCOMPARE(newLines(0), QStringList{});
        QCOMPARE(LEDCOMM::CommFormLoaded(), int16_t(1));
        // Without the window, "LED" goes straight to the controller.
        QCOMPARE(LEDMain::ExecScript("LED R 251"), QString("OK  ; "));
        QCOMPARE(newLines(1), QStringList{"AVA249"});
        LEDMain::AutomationObjectDestroyed();
        QCOMPARE(newLines(4), (QStringList{"AVA500", "AVB500", "AVC500", "AVD500"}));
    }

    void anOpenEditorKeepsTheProcessButNotThePort()
    {
        LEDCOMM::ReportError("m");
        form()->mnuErrLog->trigger();
        QCOMPARE(editors().size(), 1);
        quits_ = 0;
        form()->close();
        QCOMPARE(newLines(4), (QStringList{"AVA500", "AVB500", "AVC500", "AVD500"}));
        QCOMPARE(LEDCOMM::CommFormLoaded(), int16_t(0));
        QCOMPARE(LEDMain::IsFormLoaded("frmEditor"), int16_t(0));
        QCoreApplication::processEvents();
        QCOMPARE(quits_, 0);
        closeEditors();
        QCoreApplication::processEvents();
        QCOMPARE(quits_, 1);
    }

    void controlsCarryAccessibleNames()
    {
        QCOMPARE(form()->cboCommand->accessibleName(), QString("Command line"));
        QCOMPARE(form()->cmdExec->accessibleName(), QString("Exec Cmd"));

        // The command line keeps its label whatever it holds, and the label takes no room.
        form()->show();
        QVERIFY(QTest::qWaitForWindowExposed(form()));
        auto labels = [](QWidget* w) {
            QList<QAccessibleInterface*> out;
            const auto rels = QAccessible::queryAccessibleInterface(w)->relations(QAccessible::Label);
            for (const auto& rel : rels)
                out << rel.first;
            return out;
        };
        QComboBox* cbo = form()->cboCommand;
        QCOMPARE(labels(cbo).size(), 1);
        QAccessibleInterface* cmdLabel = labels(cbo).first();
        QCOMPARE(cmdLabel->text(QAccessible::Name), QString("Command line"));
        QVERIFY(!cmdLabel->state().invisible);
        QTest::keyClicks(cbo, "LED R 1");
        run("Ver");
        QCOMPARE(labels(cbo).size(), 1);
        QCOMPARE(labels(cbo).first()->text(QAccessible::Name), QString("Command line"));
        auto* cmdLabelWidget = qobject_cast<QWidget*>(cmdLabel->object());
        QVERIFY(cmdLabelWidget);
        for (QWidget* control : form()->centralWidget()->findChildren<QWidget*>(Qt::FindDirectChildrenOnly))
            if (control != cmdLabelWidget)
                QVERIFY2(!cmdLabelWidget->geometry().intersects(control->geometry()),
                         qPrintable(control->objectName()));

        // "Response" labels the message box and is announced by its own text.
        QAccessibleInterface* response = QAccessible::queryAccessibleInterface(form()->lblResponseName);
        QCOMPARE(response->text(QAccessible::Name), QString("Response"));
        QCOMPARE(labels(form()->txtMsg).size(), 1);
        QCOMPARE(labels(form()->txtMsg).first()->object(), form()->lblResponseName);
        QCOMPARE(form()->mnuPort->text(), QString("Port"));
        QCOMPARE(form()->mnuDirect->objectName(), QString("mnuDirect"));
    }
};

ORVANE_TEST_MAIN(TestCommandLine)
#include "test_commandline.moc"
