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

    frmVURUruduvo* Form() { return frmVURUruduvo::Loaded(); }
    QStringList NewLines(int expected) { return fx_.NewLines(expected); }

    QStringList History()
    {
        QStringList h;
        for (int i = 0; i < Form()->cboCommand->count(); ++i)
            h << Form()->cboCommand->itemText(i);
        return h;
    }

    void Run(const QString& line)
    {
        Form()->cboCommand->setEditText(line);
        QTest::mouseClick(Form()->cmdExec, Qt::LeftButton);
    }

    static QList<frmEditor*> Editors()
    {
        QList<frmEditor*> out;
        for (QWidget* w : QApplication::topLevelWidgets())
            if (auto* e = qobject_cast<frmEditor*>(w); e && e->isVisible())
                out << e;
        return out;
    }

    static void CloseEditors()
    {
        for (frmEditor* e : Editors())
            e->close();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    }

    // Closes the modal parameter window as soon as it shows, after an optional edit.
    static void CloseParListWhenShown(std::function<void(frmParList*)> edit = {})
    {
        QTimer::singleShot(0, [edit] {
            auto* w = qobject_cast<frmParList*>(QApplication::activeModalWidget());
            if (!w) {
                CloseParListWhenShown(edit);
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
        QVERIFY(fx_.SetUp());
        QCOMPARE(LEDMain::AppInit(), int16_t(1));
        QCOMPARE(NewLines(4).size(), 4);
    }

    void cleanup()
    {
        CloseEditors();
        fx_.TearDown();
    }

    void execShowsJoinedResponsesAndKeepsTheLine()
    {
        Run("LED R 100;Ver");
        QCOMPARE(Form()->txtMsg->text(), QString("OK  ; 1.0 ; "));
        QCOMPARE(NewLines(1), QStringList{"AVA400"});
        QCOMPARE(Form()->scrRed->value(), 100);
        QCOMPARE(Form()->cboCommand->currentText(), QString("LED R 100;Ver"));
        QCOMPARE(History(), QStringList{"LED R 100;Ver"});
    }

    void ledThroughTheBarsWithTie()
    {
        Form()->chkTie->setChecked(true);
        Form()->scrRed->setValue(1);
        NewLines(4);
        // Green moves the others: "B" first, then "A", "C", "D"; one answer for the whole move.
        Run("LED G 100");
        QCOMPARE(Form()->txtMsg->text(), QString("OK  ; "));
        QCOMPARE(NewLines(4), (QStringList{"AVB400", "AVA400", "AVC400", "AVD400"}));
        // Clamped values reach the bar clamped.
        Run("LED A 900;LED B -5");
        QCOMPARE(Form()->txtMsg->text(), QString("OK  ; OK  ; "));
        QCOMPARE(Form()->scrBlue->value(), 0);
    }

    void historyKeepsTheLast100NewestFirst()
    {
        for (int i = 1; i <= 101; ++i)
            Run(QStringLiteral("Ver %1").arg(i));
        const QStringList h = History();
        QCOMPARE(h.size(), 100);
        QCOMPARE(h.first(), QString("Ver 101"));
        QCOMPARE(h.last(), QString("Ver 2"));

        // Picking the oldest entry and running it: the removal must not change the line.
        Form()->cboCommand->setCurrentIndex(99);
        QCOMPARE(Form()->cboCommand->currentText(), QString("Ver 2"));
        QTest::mouseClick(Form()->cmdExec, Qt::LeftButton);
        QCOMPARE(Form()->cboCommand->currentText(), QString("Ver 2"));
        QCOMPARE(History().first(), QString("Ver 2"));
        QCOMPARE(History().last(), QString("Ver 3"));
        QCOMPARE(Form()->txtMsg->text(), QString("1.0 ; "));
    }

    void equalAndEmptyEntriesAndEnterInsertsNothing()
    {
        Run("Ver");
        Run("Ver");
        Run("");
        QCOMPARE(History(), (QStringList{"", "Ver", "Ver"}));
        QCOMPARE(Form()->txtMsg->text(), QString());
        // Enter in the line does not enter it into the history.
        Form()->cboCommand->setEditText("typed");
        QTest::keyClick(Form()->cboCommand->lineEdit(), Qt::Key_Return);
        QCOMPARE(History().size(), 3);
        QCOMPARE(Form()->cboCommand->currentText(), QString("typed"));
    }

    void afterARunNoEntryIsCurrent()
    {
        Run("one");
        Run("two");
        Form()->cboCommand->setEditText("three");
        Form()->mnuDirect->trigger();
        QCOMPARE(History(), (QStringList{"three", "two", "one"}));
        QCOMPARE(Form()->cboCommand->currentIndex(), -1);
        QCOMPARE(Form()->cboCommand->currentText(), QString("three"));
        Run("four");
        QCOMPARE(Form()->cboCommand->currentIndex(), -1);
        QCOMPARE(Form()->cboCommand->currentText(), QString("four"));
        // The drop-down does not open on the oldest entry.
        QComboBox* cbo = Form()->cboCommand;
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
        Run("one");
        Run("two");
        Run("three");
        QComboBox* cbo = Form()->cboCommand;
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
        QCOMPARE(History(), (QStringList{"three", "two", "one"}));

        // A recalled line that is edited becomes the operator's own.
        QCOMPARE(press(Qt::Key_Up), QString("three"));
        QTest::keyClicks(target, "x");
        QCOMPARE(press(Qt::Key_Up), QString("three"));
        QCOMPARE(press(Qt::Key_Down), QString("threex"));

        // After a run the walk starts again at the newest entry.
        QCOMPARE(press(Qt::Key_Up), QString("three"));
        QCOMPARE(press(Qt::Key_Up), QString("two"));
        QTest::mouseClick(Form()->cmdExec, Qt::LeftButton);
        QCOMPARE(History(), (QStringList{"two", "three", "two", "one"}));
        QCOMPARE(cbo->currentText(), QString("two"));
        QCOMPARE(press(Qt::Key_Up), QString("two"));
        QCOMPARE(press(Qt::Key_Up), QString("three"));
        QCOMPARE(press(Qt::Key_Down), QString("two"));
        QCOMPARE(press(Qt::Key_Down), QString("two"));
        QCOMPARE(cbo->currentIndex(), -1);
    }

    void directSendsTheLineRaw()
    {
        Form()->cboCommand->setEditText("AVB123");
        Form()->mnuDirect->trigger();
        QCOMPARE(NewLines(1), QStringList{"AVB123"});
        QCOMPARE(Form()->txtMsg->text(), QString("OK\r"));
        QCOMPARE(History(), QStringList{"AVB123"});
        // The controller's own language: an unknown line answers "?".
        Form()->cboCommand->setEditText("LED R 1");
        Form()->mnuDirect->trigger();
        QCOMPARE(NewLines(1), QStringList{"LED R 1"});
        QCOMPARE(Form()->txtMsg->text(), QString("?\r"));
    }

    void directWithASilentControllerStillEntersTheLine()
    {
        cleanup();
        QVERIFY(fx_.SetUp(TestSupport::Config(7, 10), {"--silent"}));
        LEDMain::AppInit();
        NewLines(4);
        Form()->cboCommand->setEditText("hello");
        Form()->mnuDirect->trigger();
        QCOMPARE(Form()->txtMsg->text(), QString());
        QCOMPARE(History(), QStringList{"hello"});
        QVERIFY(LEDCOMM::GetErrLog().endsWith("-Port TimeOut\r\n"));
        // Exec Cmd too enters a failing line.
        Run("LED R 5");
        QCOMPARE(Form()->txtMsg->text(), QString("Error  ; "));
        QCOMPARE(History().first(), QString("LED R 5"));
    }

    void errorLogOpensAnEditorOnlyWhenThereIsALog()
    {
        // Start from an empty log with the write position wherever it is.
        LEDCOMM::ResetErrLog();
        const bool empty = LEDCOMM::GetErrLog().remove("\r\n").isEmpty();
        QVERIFY(empty);
        if (LEDCOMM::GetErrLog().isEmpty()) {
            QGuiApplication::clipboard()->setText("before");
            Form()->mnuErrLog->trigger();
            QCOMPARE(Editors().size(), 0);
            QCOMPARE(QGuiApplication::clipboard()->text(), QString("before"));
        }
        LEDCOMM::ReportError("m1");
        LEDCOMM::ReportError("m2");
        Form()->mnuErrLog->trigger();
        QCOMPARE(Editors().size(), 1);
        const QString log = LEDCOMM::GetErrLog();
        QVERIFY(log.endsWith("m1\r\nm2\r\n"));
        QCOMPARE(QGuiApplication::clipboard()->text(), log);
        frmEditor* e = Editors().first();
        QCOMPARE(e->txtText->toPlainText(), QString(log).replace("\r\n", "\n"));
        QVERIFY(e->txtText->document()->isModified());
        // Nothing reaches the disk until the operator saves.
        QCOMPARE(QDir(fx_.dir->path()).entryList({"*.txt", "*.TXT"}, QDir::Files),
                 QStringList{"LED_CONFIG.TXT"});
        const QString saved = fx_.Path("log.txt");
        QVERIFY(e->SaveTo(saved));
        QVERIFY(TestSupport::ReadFile(saved).contains("m2"));
    }

    void commandsOpensTheReference()
    {
        TestSupport::WriteFile(fx_.Path("LED_COMMANDS.TXT"), "LED <channel> <value>\n");
        Form()->mnuCmds->trigger();
        QCOMPARE(Editors().size(), 1);
        QCOMPARE(Editors().first()->txtText->toPlainText(), QString("LED <channel> <value>\n"));
        QCOMPARE(Editors().first()->windowTitle(), fx_.dir->path() + "/LED_COMMANDS.TXT");
        QCOMPARE(Editors().first()->windowIcon().cacheKey(), Form()->windowIcon().cacheKey());
        QVERIFY(!Editors().first()->windowIcon().isNull());
        CloseEditors();

        // Without its own, the application directory shares the one beside the executable.
        QFile::remove(fx_.Path("LED_COMMANDS.TXT"));
        const QString beside = QCoreApplication::applicationDirPath() + "/LED_COMMANDS.TXT";
        TestSupport::WriteFile(beside, "beside\n");
        Form()->mnuCmds->trigger();
        QFile::remove(beside);
        QCOMPARE(Editors().size(), 1);
        QCOMPARE(Editors().first()->txtText->toPlainText(), QString("beside\n"));
        CloseEditors();

        Form()->mnuCmds->trigger();
        QCOMPARE(Editors().size(), 1);
        QVERIFY(Editors().first()->statusBar()->currentMessage().contains("does not exist"));
        QCOMPARE(Editors().first()->windowTitle(), fx_.dir->path() + "/LED_COMMANDS.TXT");
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
        QVERIFY(other.Start({"--link", fx_.Path("COM9"), "--no-show"}));
        qsizetype otherMark = 0;
        fx_.WriteConfig(TestSupport::Config(9, 300));
        CloseParListWhenShown();
        Form()->mnuPort->trigger();
        QVERIFY(fx_.boxes->boxes.isEmpty());
        QCOMPARE(LEDMain::ExecScript("LED B 1"), QString("OK  ; "));
        QCOMPARE(ProgramFixture::NewLines(other, otherMark, 1), QStringList{"AVC499"});
        QCOMPARE(NewLines(0), QStringList{});

        // Nothing changed: the port is still closed and opened again, and works.
        CloseParListWhenShown();
        Form()->mnuPort->trigger();
        QCOMPARE(LEDMain::ExecScript("LED B 2"), QString("OK  ; "));
        QCOMPARE(ProgramFixture::NewLines(other, otherMark, 1), QStringList{"AVC498"});
        fx_.TearDown();  // while the other controller runs, or each channel-off waits out its time-out
    }

    void portToAMissingDeviceLeavesThePortClosed()
    {
        CloseParListWhenShown([](frmParList* w) {
            // Port 8 has no link in this directory.
            // The grid's header is its own; the first entry is its first row.
            QCOMPARE(w->fgrPar->item(0, 0)->text(), QString("PORT"));
            w->fgrPar->item(0, 1)->setText("8");
            w->fgrPar->item(1, 1)->setText("20");  // TIMEOUT: nothing answers
        });
        Form()->mnuPort->trigger();
        QVERIFY(TestSupport::ReadFile(fx_.Path("LED_CONFIG.TXT")).startsWith("\"PORT\",8\r\n"));
        QVERIFY(Form()->txtMsg->text().startsWith("CommOpenPort "));
        QVERIFY(LEDCOMM::GetErrLog().contains("CommOpenPort "));
        QCOMPARE(LEDMain::ExecScript("LED R 3"), QString("Error  ; "));
        QCOMPARE(NewLines(0), QStringList{});
    }

    void quitWithAnObjectAliveKeepsTheLights()
    {
        Run("LED R 250");
        NewLines(1);
        LEDMain::AutomationObjectCreated();
        Form()->mnuQuit->trigger();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        QVERIFY(!Form());
        QCOMPARE(NewLines(0), QStringList{});
        QCOMPARE(LEDCOMM::CommFormLoaded(), int16_t(1));
        // Without the window, "LED" goes straight to the controller.
        QCOMPARE(LEDMain::ExecScript("LED R 251"), QString("OK  ; "));
        QCOMPARE(NewLines(1), QStringList{"AVA249"});
        LEDMain::AutomationObjectDestroyed();
        QCOMPARE(NewLines(4), (QStringList{"AVA500", "AVB500", "AVC500", "AVD500"}));
    }

    void anOpenEditorKeepsTheProcessButNotThePort()
    {
        LEDCOMM::ReportError("m");
        Form()->mnuErrLog->trigger();
        QCOMPARE(Editors().size(), 1);
        quits_ = 0;
        Form()->close();
        QCOMPARE(NewLines(4), (QStringList{"AVA500", "AVB500", "AVC500", "AVD500"}));
        QCOMPARE(LEDCOMM::CommFormLoaded(), int16_t(0));
        QCOMPARE(LEDMain::IsFormLoaded("frmEditor"), int16_t(0));
        QCoreApplication::processEvents();
        QCOMPARE(quits_, 0);
        CloseEditors();
        QCoreApplication::processEvents();
        QCOMPARE(quits_, 1);
    }

    void controlsCarryAccessibleNames()
    {
        QCOMPARE(Form()->cboCommand->accessibleName(), QString("Command line"));
        QCOMPARE(Form()->cmdExec->accessibleName(), QString("Exec Cmd"));

        // The command line keeps its label whatever it holds, and the label takes no room.
        Form()->show();
        QVERIFY(QTest::qWaitForWindowExposed(Form()));
        auto labels = [](QWidget* w) {
            QList<QAccessibleInterface*> out;
            const auto rels = QAccessible::queryAccessibleInterface(w)->relations(QAccessible::Label);
            for (const auto& rel : rels)
                out << rel.first;
            return out;
        };
        QComboBox* cbo = Form()->cboCommand;
        QCOMPARE(labels(cbo).size(), 1);
        QAccessibleInterface* cmdLabel = labels(cbo).first();
        QCOMPARE(cmdLabel->text(QAccessible::Name), QString("Command line"));
        QVERIFY(!cmdLabel->state().invisible);
        QTest::keyClicks(cbo, "LED R 1");
        Run("Ver");
        QCOMPARE(labels(cbo).size(), 1);
        QCOMPARE(labels(cbo).first()->text(QAccessible::Name), QString("Command line"));
        auto* cmdLabelWidget = qobject_cast<QWidget*>(cmdLabel->object());
        QVERIFY(cmdLabelWidget);
        for (QWidget* control : Form()->centralWidget()->findChildren<QWidget*>(Qt::FindDirectChildrenOnly))
            if (control != cmdLabelWidget)
                QVERIFY2(!cmdLabelWidget->geometry().intersects(control->geometry()),
                         qPrintable(control->objectName()));

        // "Response" labels the message box and is announced by its own text.
        QAccessibleInterface* response = QAccessible::queryAccessibleInterface(Form()->lblResponseName);
        QCOMPARE(response->text(QAccessible::Name), QString("Response"));
        QCOMPARE(labels(Form()->txtMsg).size(), 1);
        QCOMPARE(labels(Form()->txtMsg).first()->object(), Form()->lblResponseName);
        QCOMPARE(Form()->mnuPort->text(), QString("Port"));
        QCOMPARE(Form()->mnuDirect->objectName(), QString("mnuDirect"));
    }
};

ORVANE_TEST_MAIN(TestCommandLine)
#include "test_commandline.moc"
