// The program in one process against orvane-sim: start-up on the wire, the
// channel rows, "Tie", the check boxes and the unload rule.
#include "comm/LEDCOMM.h"
#include "engine/LEDMain.h"
#include "mainwindow/frmVURUruduvo.h"
#include "tests/support/ProgramFixture.h"
#include "tests/support/TestSupport.h"

#include <QCheckBox>
#include <QComboBox>
#include <QLineEdit>
#include <QScrollBar>

using TestSupport::SimProcess;

class TestMainWindow : public QObject {
    Q_OBJECT

    TestSupport::ProgramFixture fx_;
    int quits_ = 0;

    frmVURUruduvo* form() { return LEDMain::MainForm(); }
    QStringList newLines(int expected) { return fx_.newLines(expected); }
    void writeConfig(const QByteArray& bytes) { fx_.writeConfig(bytes); }
    void startSim(const QStringList& extra = {}) { QVERIFY(fx_.startSim(extra)); }

    QStringList values()
    {
        QStringList v;
        for (QLineEdit* box : form()->txtVal)
            v << box->text();
        return v;
    }

private slots:
    void initTestCase()
    {
        QVERIFY(QFileInfo::exists(SimProcess::Program()));
        Platform::SetQuitHandler([this](int) { ++quits_; });
    }

    void init()
    {
        QVERIFY(fx_.setUp());
        quits_ = 0;
    }

    void cleanup() { fx_.tearDown(); }

    void startUpSwitchesAllOffAndShowsZeros()
    {
        QCOMPARE(LEDMain::AppInit(), int16_t(1));
        QCOMPARE(LEDMain::AppDir(), fx_.dir->path() + "/");
        QCOMPARE(newLines(4), (QStringList{"AVA500", "AVB500", "AVC500", "AVD500"}));
        QVERIFY(form());
        QVERIFY(!form()->isVisible());  // loaded, not shown: the caller decides
        QCOMPARE(LEDMain::MainWindowLoaded(), int16_t(1));
        QCOMPARE(LEDMain::IsFormLoaded("frmVURUruduvo"), int16_t(1));
        // The hidden serial host is a loaded window too; names are compared exactly.
        QCOMPARE(LEDMain::IsFormLoaded("frmComm"), int16_t(1));
        QCOMPARE(LEDMain::IsFormLoaded("frmvuruRuduvo"), int16_t(0));
        QCOMPARE(values(), (QStringList{"0", "0", "0", "0"}));
        QCOMPARE(form()->txtMsg->text(), QString("OK\r"));
        QCOMPARE(form()->windowTitle(), QString("LED Variable Control"));
        QVERIFY(fx_.boxes->boxes.isEmpty());
    }

    void controlsCarryNamesAndPlaces()
    {
        QCOMPARE(LEDMain::AppInit(), int16_t(1));
        for (const char* name : {"cboCommand", "cmdExec", "scrRed", "scrGreen", "scrBlue",
                                 "scrAmber", "chkRed", "chkGreen", "chkBlue", "chkAmber", "chkTie",
                                 "txtMsg", "lblResponseName"})
            QVERIFY2(form()->findChild<QWidget*>(name), name);
        QCOMPARE(form()->scrBlue->accessibleName(), QString("Blue intensity"));
        QCOMPARE(form()->txtVal[3]->accessibleName(), QString("Amber value"));
        QCOMPARE(form()->txtMsg->accessibleName(), QString("Response"));
        QCOMPARE(form()->scrRed->minimum(), 0);
        QCOMPARE(form()->scrRed->maximum(), 500);
        QVERIFY(form()->chkGreen->font().bold());
        QCOMPARE(form()->chkGreen->palette().color(QPalette::WindowText), QColor(0, 0xC0, 0));
        const auto px = frmVURUruduvo::TwipsToPixels;
        QCOMPARE(form()->centralWidget()->size(), QSize(px(4920), px(2475)));
        QCOMPARE(form()->scrAmber->geometry(), QRect(px(120), px(1560), px(3252), px(252)));
        QCOMPARE(form()->chkTie->geometry(), QRect(px(120), px(2040), px(615), px(255)));
        QVERIFY(!form()->windowIcon().isNull());
        QCOMPARE(form()->cboCommand->insertPolicy(), QComboBox::NoInsert);
    }

    void barMoveSendsOneCommand()
    {
        QCOMPARE(LEDMain::AppInit(), int16_t(1));
        newLines(4);
        form()->scrGreen->setValue(123);
        QCOMPARE(newLines(1), QStringList{"AVB377"});
        QCOMPARE(values(), (QStringList{"0", "123", "0", "0"}));
        // Keys and page steps go through the same handling.
        form()->scrGreen->triggerAction(QAbstractSlider::SliderSingleStepAdd);
        QCOMPARE(newLines(1), QStringList{"AVB376"});
        // The same value again sends nothing.
        form()->scrGreen->setValue(124);
        QCOMPARE(newLines(0), QStringList{});
    }

    void dragSendsEveryStepAndOnceMoreOnRelease()
    {
        QCOMPARE(LEDMain::AppInit(), int16_t(1));
        newLines(4);
        QScrollBar* bar = form()->scrRed;
        bar->setSliderDown(true);
        bar->setSliderPosition(10);
        bar->setSliderPosition(20);
        bar->setSliderDown(false);
        QCOMPARE(newLines(3), (QStringList{"AVA490", "AVA480", "AVA480"}));
    }

    void tieSpreadsInTheTableOrder()
    {
        QCOMPARE(LEDMain::AppInit(), int16_t(1));
        newLines(4);
        form()->chkTie->setChecked(true);
        form()->scrRed->setValue(300);
        QCOMPARE(newLines(4), (QStringList{"AVA200", "AVC200", "AVB200", "AVD200"}));
        for (int i = 0; i < 4; ++i)
            QCOMPARE(form()->Bar(i)->value(), 300);
        QCOMPARE(values(), (QStringList{"300", "300", "300", "300"}));
        QCOMPARE(form()->TieReady, int16_t(1));

        // A bar already at the value sends nothing.
        form()->chkTie->setChecked(false);
        form()->scrRed->setValue(10);
        form()->scrAmber->setValue(20);
        form()->scrGreen->setValue(50);
        newLines(3);
        form()->chkTie->setChecked(true);
        form()->scrBlue->setValue(50);
        QCOMPARE(newLines(3), (QStringList{"AVC450", "AVA450", "AVD450"}));
    }

    void checkBoxesDriveTheirBar()
    {
        QCOMPARE(LEDMain::AppInit(), int16_t(1));
        newLines(4);
        form()->txtMsg->setText("old");
        form()->chkBlue->click();
        QCOMPARE(form()->scrBlue->value(), 500);
        QCOMPARE(newLines(1), QStringList{"AVC000"});
        form()->chkBlue->click();
        QCOMPARE(form()->scrBlue->value(), 0);
        QCOMPARE(newLines(1), QStringList{"AVC500"});

        // Clearing a box whose bar is at 0 sends nothing, but empties the message box.
        form()->chkAmber->setChecked(true);
        form()->txtMsg->setText("old");
        form()->chkAmber->click();
        QCOMPARE(newLines(0), QStringList{});
        QCOMPARE(form()->txtMsg->text(), QString());

        // With "Tie", checking Red sends all four at full and leaves the other boxes alone.
        form()->chkTie->setChecked(true);
        form()->chkRed->click();
        QCOMPARE(newLines(4), (QStringList{"AVA000", "AVC000", "AVB000", "AVD000"}));
        QVERIFY(!form()->chkGreen->isChecked());
        QVERIFY(!form()->chkBlue->isChecked());
        // A bar moved to 0 leaves its box checked.
        form()->chkTie->setChecked(false);
        form()->scrRed->setValue(0);
        QVERIFY(form()->chkRed->isChecked());
    }

    void setChannelClampsOnTheWireAndInTheBox()
    {
        QCOMPARE(LEDMain::AppInit(), int16_t(1));
        newLines(4);
        QCOMPARE(LEDMain::SetChannel("A", -5), int16_t(1));
        QCOMPARE(LEDMain::SetChannel("C", 600), int16_t(1));
        QCOMPARE(LEDMain::SetChannel("C", 123), int16_t(1));
        QCOMPARE(LEDMain::SetChannel("D", 1), int16_t(1));
        QCOMPARE(newLines(4), (QStringList{"AVA500", "AVC000", "AVC377", "AVD499"}));
        QCOMPARE(values(), (QStringList{"0", "0", "123", "1"}));
        // Bars are not moved by a direct channel setting.
        QCOMPARE(form()->scrBlue->value(), 0);

        form()->txtMsg->setText("keep");
        QCOMPARE(LEDMain::SetChannel("E", 10), int16_t(-1));
        QCOMPARE(LEDMain::SetChannel("a", 10), int16_t(-1));
        QCOMPARE(newLines(0), QStringList{});
        QCOMPARE(form()->txtMsg->text(), QString("keep"));
    }

    void silentControllerShowsValueAndLogsError()
    {
        startSim({"--silent"});
        QCOMPARE(LEDMain::AppInit(), int16_t(1));
        QCOMPARE(newLines(4).size(), 4);
        QCOMPARE(values(), (QStringList{"0", "0", "0", "0"}));
        QCOMPARE(form()->txtMsg->text(), QString());
        form()->scrRed->setValue(42);
        QCOMPARE(form()->txtVal[0]->text(), QString("42"));
        QCOMPARE(form()->txtMsg->text(), QString());
        QVERIFY(LEDCOMM::GetErrLog().endsWith("-Port TimeOut\r\n"));
        // The "LED" answer tells the truth about the silent controller.
        QCOMPARE(LEDMain::ExecScript("LED R 43"), QString("Error  ; "));
        QCOMPARE(form()->scrRed->value(), 43);
        // Nothing sent because the bar already stands there: nothing failed.
        QCOMPARE(LEDMain::ExecScript("LED R 43"), QString("OK  ; "));
    }

    void missingPortOrFileStillLoadsTheWindow()
    {
        // Port 8 has no link here and /dev/ttyS7 is no device of a test machine.
        writeConfig("\"PORT\",8\r\n\"TIMEOUT\",0\r\n");
        QCOMPARE(LEDMain::AppInit(), int16_t(-1));
        QVERIFY(form());
        QVERIFY(LEDCOMM::GetErrLog().contains("CommOpenPort "));
        QCOMPARE(values(), (QStringList{"0", "0", "0", "0"}));
        // The box shows why, not the empty reply of the last channel-off.
        QVERIFY2(form()->txtMsg->text().startsWith("CommOpenPort  1 "), qPrintable(form()->txtMsg->text()));
        cleanup();
        init();

        QFile::remove(fx_.path("LED_CONFIG.TXT"));
        QCOMPARE(LEDMain::AppInit(), int16_t(-1));
        QVERIFY(form());
        QCOMPARE(fx_.boxes->texts().value(0), "File " + fx_.dir->path() + "/LED_CONFIG.TXT does not exist");
        // Port 8, kept from before, does not open either: the log comes first.
        QVERIFY2(form()->txtMsg->text().startsWith("CommOpenPort "), qPrintable(form()->txtMsg->text()));
        cleanup();
        init();

        // Only the settings failed (port 7 and 300 ms kept from a good start): the
        // first settings message.
        QCOMPARE(LEDMain::AppInit(), int16_t(1));
        cleanup();
        init();
        writeConfig("\"PORT\",7\r\n\"TIMEOUT\",40000\r\n");
        QCOMPARE(LEDMain::AppInit(), int16_t(-1));
        QCOMPARE(form()->txtMsg->text(), fx_.boxes->texts().value(0));
        QVERIFY(form()->txtMsg->text().startsWith("Parameter TIMEOUT in "));
    }

    void unloadShutsDownOnlyWithoutAutomation()
    {
        QCOMPARE(LEDMain::AppInit(), int16_t(1));
        newLines(4);
        form()->scrRed->setValue(100);
        newLines(1);

        // A client holds an object: closing the window keeps the port and the lights.
        LEDMain::AutomationObjectCreated();
        form()->close();
        QCoreApplication::processEvents();
        QCOMPARE(LEDMain::MainWindowLoaded(), int16_t(0));
        QCOMPARE(LEDMain::IsFormLoaded("frmVURUruduvo"), int16_t(0));
        QCOMPARE(LEDCOMM::CommFormLoaded(), int16_t(1));
        QCOMPARE(newLines(0), QStringList{});
        QCOMPARE(quits_, 0);

        // Its end shuts down and ends the process.
        LEDMain::AutomationObjectDestroyed();
        QCOMPARE(newLines(4), (QStringList{"AVA500", "AVB500", "AVC500", "AVD500"}));
        QCOMPARE(LEDCOMM::CommFormLoaded(), int16_t(0));
        QCoreApplication::processEvents();
        QCOMPARE(quits_, 1);
    }

    void closingWithoutAutomationShutsDownAndEnds()
    {
        QCOMPARE(LEDMain::AppInit(), int16_t(1));
        newLines(4);
        form()->close();
        QCOMPARE(newLines(4), (QStringList{"AVA500", "AVB500", "AVC500", "AVD500"}));
        QCOMPARE(LEDCOMM::CommFormLoaded(), int16_t(0));
        QCoreApplication::processEvents();
        QCOMPARE(quits_, 1);
    }

    void twoObjectsAreCounted()
    {
        QCOMPARE(LEDMain::AppInit(), int16_t(1));
        newLines(4);
        LEDMain::AutomationObjectCreated();
        LEDMain::AutomationObjectCreated();
        form()->close();
        LEDMain::AutomationObjectDestroyed();
        // The other client still holds its object: the port stays open for it.
        QCOMPARE(LEDCOMM::CommFormLoaded(), int16_t(1));
        QCOMPARE(LEDMain::ExecScript("LED R 10"), QString("OK  ; "));
        LEDMain::AutomationObjectDestroyed();
        QCOMPARE(LEDCOMM::CommFormLoaded(), int16_t(0));
    }

    void hiddenWindowKeepsProgramForNextClient()
    {
        QCOMPARE(LEDMain::AppInit(), int16_t(1));
        newLines(4);
        LEDMain::AutomationObjectCreated();
        QCOMPARE(LEDMain::ExecScript("LED G 5"), QString("OK  ; "));
        LEDMain::AutomationObjectDestroyed();
        QCOMPARE(LEDCOMM::CommFormLoaded(), int16_t(1));
        QCoreApplication::processEvents();
        QCOMPARE(quits_, 0);
        // Show and Hide after the window was closed build a fresh one in its first state.
        form()->close();
        QCOMPARE(LEDMain::ExecScript("Hide"), QString("OK  ; "));
        QVERIFY(form());
        QCOMPARE(form()->scrGreen->value(), 0);
        QVERIFY(!form()->isVisible());
        QCOMPARE(LEDMain::ExecScript("Show"), QString("OK  ; "));
        QVERIFY(form()->isVisible());
    }
};

ORVANE_TEST_MAIN(TestMainWindow)
#include "test_mainwindow.moc"
