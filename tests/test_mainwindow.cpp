// The program in one process against orvane-sim: start-up on the wire, the
// channel rows, "Tie", the check boxes and the unload rule.
#include "comm/LEDCOMM.h"
#include "engine/LEDMain.h"
#include "mainwindow/frmSerialDevice.h"
#include "mainwindow/frmVURUruduvo.h"
#include "comm/SerialDevices.h"
#include "comm/frmComm.h"
#include "tests/support/ProgramFixture.h"
#include "tests/support/TestSupport.h"

#include <QAccessible>
#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QSerialPort>
#include <QPushButton>
#include <QScrollBar>
#include <QStyleFactory>
#include <QStyleOptionSlider>
#include <QWheelEvent>

using TestSupport::SimProcess;

class TestMainWindow : public QObject {
    Q_OBJECT

    TestSupport::ProgramFixture fx_;
    int quits_ = 0;

    frmVURUruduvo* Form() { return frmVURUruduvo::Loaded(); }
    QStringList NewLines(int expected) { return fx_.NewLines(expected); }
    void WriteConfig(const QByteArray& bytes) { fx_.WriteConfig(bytes); }
    void StartSim(const QStringList& extra = {}) { QVERIFY(fx_.StartSim(extra)); }

    QStringList Values()
    {
        QStringList v;
        for (QLineEdit* box : Form()->txtVal)
            v << box->text();
        return v;
    }

    // Where a part of a bar (arrow, thumb) is drawn, in the bar's coordinates.
    static QPoint PartOf(QScrollBar* bar, QStyle::SubControl part)
    {
        QStyleOptionSlider opt;
        opt.initFrom(bar);
        opt.subControls = QStyle::SC_All;
        opt.orientation = bar->orientation();
        opt.state |= QStyle::State_Horizontal;
        opt.minimum = bar->minimum();
        opt.maximum = bar->maximum();
        opt.sliderPosition = bar->sliderPosition();
        opt.sliderValue = bar->value();
        opt.singleStep = bar->singleStep();
        opt.pageStep = bar->pageStep();
        opt.upsideDown = bar->invertedAppearance();
        return bar->style()->subControlRect(QStyle::CC_ScrollBar, &opt, part, bar).center();
    }

    // What the operator does to the red row; the answer when it is a command.
    QString Act(const QString& action)
    {
        QScrollBar* bar = Form()->scrRed;
        static const QMap<QString, int> keys = {
            {"Left", Qt::Key_Left},     {"Right", Qt::Key_Right},   {"Up", Qt::Key_Up},
            {"Down", Qt::Key_Down},     {"PageUp", Qt::Key_PageUp}, {"PageDown", Qt::Key_PageDown},
            {"Home", Qt::Key_Home},     {"End", Qt::Key_End}};
        if (keys.contains(action)) {
            QTest::keyClick(bar, Qt::Key(keys[action]));
        } else if (action == "left arrow" || action == "right arrow") {
            const auto part = action == "left arrow" ? QStyle::SC_ScrollBarSubLine : QStyle::SC_ScrollBarAddLine;
            QTest::mouseClick(bar, Qt::LeftButton, {}, PartOf(bar, part));
        } else if (action == "thumb") {
            const QPoint thumb = PartOf(bar, QStyle::SC_ScrollBarSlider);
            QTest::mousePress(bar, Qt::LeftButton, {}, thumb);
            QTest::mouseRelease(bar, Qt::LeftButton, {}, thumb);
        } else if (action == "wheel") {
            // Toward the left end, where the red bar stands.
            const QPointF at = bar->rect().center();
            QWheelEvent wheel(at, bar->mapToGlobal(at), QPoint(), QPoint(0, 120), Qt::NoButton,
                              Qt::NoModifier, Qt::NoScrollPhase, false);
            QApplication::sendEvent(bar, &wheel);
        } else if (action == "check box") {
            QTest::mouseClick(Form()->chkRed, Qt::LeftButton);
        } else if (action == "LED") {
            return LEDMain::ExecScript(QStringLiteral("LED R %1").arg(bar->value()));
        } else {
            qFatal("no such action: %s", qPrintable(action));
        }
        return {};
    }

    // Runs what the operator does in the Serial Device window once it shows.
    static void WhenSerialDeviceShows(const std::function<void(frmSerialDevice*)>& act)
    {
        QTimer::singleShot(0, [act] {
            if (auto* w = qobject_cast<frmSerialDevice*>(QApplication::activeModalWidget()))
                act(w);
            else
                WhenSerialDeviceShows(act);
        });
    }

private slots:
    void initTestCase()
    {
        QVERIFY(QFileInfo::exists(SimProcess::Program()));
        Platform::SetQuitHandler([this](int) { ++quits_; });
    }

    void init()
    {
        QVERIFY(fx_.SetUp());
        quits_ = 0;
    }

    void cleanup() { fx_.TearDown(); }

    void startUpSwitchesAllOffAndShowsZeros()
    {
        QCOMPARE(LEDMain::AppInit(), int16_t(1));
        QCOMPARE(LEDMain::AppDir(), fx_.dir->path() + "/");
        QCOMPARE(NewLines(4), (QStringList{"AVA500", "AVB500", "AVC500", "AVD500"}));
        QVERIFY(Form());
        QVERIFY(!Form()->isVisible());  // loaded, not shown: the caller decides
        QCOMPARE(LEDMain::MainWindowLoaded(), int16_t(1));
        QCOMPARE(LEDMain::IsFormLoaded("frmVURUruduvo"), int16_t(1));
        // The hidden serial host is a loaded window too; names are compared exactly.
        QCOMPARE(LEDMain::IsFormLoaded("frmComm"), int16_t(1));
        QCOMPARE(LEDMain::IsFormLoaded("frmvuruRuduvo"), int16_t(0));
        QCOMPARE(Values(), (QStringList{"0", "0", "0", "0"}));
        QCOMPARE(Form()->txtMsg->text(), QString("OK\r"));
        QCOMPARE(Form()->windowTitle(), QString("LED Variable Control"));
        QVERIFY(fx_.boxes->boxes.isEmpty());
    }

    void controlsCarryNamesAndPlaces()
    {
        QCOMPARE(LEDMain::AppInit(), int16_t(1));
        for (const char* name : {"cboCommand", "cmdExec", "scrRed", "scrGreen", "scrBlue",
                                 "scrAmber", "chkRed", "chkGreen", "chkBlue", "chkAmber", "chkTie",
                                 "txtMsg", "lblResponseName"})
            QVERIFY2(Form()->findChild<QWidget*>(name), name);
        QCOMPARE(Form()->scrBlue->accessibleName(), QString("Blue intensity"));
        QCOMPARE(Form()->txtVal[3]->accessibleName(), QString("Amber value"));
        QCOMPARE(Form()->txtMsg->accessibleName(), QString("Response"));
        QCOMPARE(Form()->scrRed->minimum(), 0);
        QCOMPARE(Form()->scrRed->maximum(), 500);
        QVERIFY(Form()->chkGreen->font().bold());
        QCOMPARE(Form()->chkGreen->palette().color(QPalette::WindowText), QColor(0, 0xC0, 0));
        const auto px = frmVURUruduvo::TwipsToPixels;
        QCOMPARE(Form()->centralWidget()->size(), QSize(px(4920), px(2475)));
        QCOMPARE(Form()->scrAmber->geometry(), QRect(px(120), px(1560), px(3252), px(252)));
        QCOMPARE(Form()->chkTie->geometry(), QRect(px(120), px(2040), px(615), px(255)));
        QVERIFY(!Form()->windowIcon().isNull());
        QCOMPARE(Form()->cboCommand->insertPolicy(), QComboBox::NoInsert);
    }

    void barMoveSendsOneCommand()
    {
        QCOMPARE(LEDMain::AppInit(), int16_t(1));
        NewLines(4);
        Form()->scrGreen->setValue(123);
        QCOMPARE(NewLines(1), QStringList{"AVB377"});
        QCOMPARE(Values(), (QStringList{"0", "123", "0", "0"}));
        // Keys and page steps go through the same handling.
        Form()->scrGreen->triggerAction(QAbstractSlider::SliderSingleStepAdd);
        QCOMPARE(NewLines(1), QStringList{"AVB376"});
        // The same value again sends nothing.
        Form()->scrGreen->setValue(124);
        QCOMPARE(NewLines(0), QStringList{});
    }

    void dragSendsEveryStepAndOnceMoreOnRelease()
    {
        QCOMPARE(LEDMain::AppInit(), int16_t(1));
        NewLines(4);
        QScrollBar* bar = Form()->scrRed;
        bar->setSliderDown(true);
        bar->setSliderPosition(10);
        bar->setSliderPosition(20);
        bar->setSliderDown(false);
        QCOMPARE(NewLines(3), (QStringList{"AVA490", "AVA480", "AVA480"}));
    }

    void tieSpreadsInTheTableOrder()
    {
        QCOMPARE(LEDMain::AppInit(), int16_t(1));
        NewLines(4);
        Form()->chkTie->setChecked(true);
        Form()->scrRed->setValue(300);
        QCOMPARE(NewLines(4), (QStringList{"AVA200", "AVC200", "AVB200", "AVD200"}));
        for (int i = 0; i < 4; ++i)
            QCOMPARE(Form()->Bar(i)->value(), 300);
        QCOMPARE(Values(), (QStringList{"300", "300", "300", "300"}));
        QCOMPARE(Form()->TieReady, int16_t(1));

        // A bar already at the value sends nothing.
        Form()->chkTie->setChecked(false);
        Form()->scrRed->setValue(10);
        Form()->scrAmber->setValue(20);
        Form()->scrGreen->setValue(50);
        NewLines(3);
        Form()->chkTie->setChecked(true);
        Form()->scrBlue->setValue(50);
        QCOMPARE(NewLines(3), (QStringList{"AVC450", "AVA450", "AVD450"}));
    }

    void checkBoxesDriveTheirBar()
    {
        QCOMPARE(LEDMain::AppInit(), int16_t(1));
        NewLines(4);
        Form()->txtMsg->setText("old");
        Form()->chkBlue->click();
        QCOMPARE(Form()->scrBlue->value(), 500);
        QCOMPARE(NewLines(1), QStringList{"AVC000"});
        Form()->chkBlue->click();
        QCOMPARE(Form()->scrBlue->value(), 0);
        QCOMPARE(NewLines(1), QStringList{"AVC500"});

        // Clearing a box whose bar is at 0 sends nothing, but empties the message box.
        Form()->chkAmber->setChecked(true);
        Form()->txtMsg->setText("old");
        Form()->chkAmber->click();
        QCOMPARE(NewLines(0), QStringList{});
        QCOMPARE(Form()->txtMsg->text(), QString());

        // With "Tie", checking Red sends all four at full and leaves the other boxes alone.
        Form()->chkTie->setChecked(true);
        Form()->chkRed->click();
        QCOMPARE(NewLines(4), (QStringList{"AVA000", "AVC000", "AVB000", "AVD000"}));
        QVERIFY(!Form()->chkGreen->isChecked());
        QVERIFY(!Form()->chkBlue->isChecked());
        // A bar moved to 0 leaves its box checked.
        Form()->chkTie->setChecked(false);
        Form()->scrRed->setValue(0);
        QVERIFY(Form()->chkRed->isChecked());
    }

    void unchangedActionSendsOnlyAfterAFailure_data()
    {
        QTest::addColumn<QString>("action");
        QTest::addColumn<int>("start");
        QTest::addColumn<bool>("tied");
        QTest::addColumn<bool>("silent");
        struct Row {
            const char* action;
            int start;
            bool tied;
        };
        const Row rows[] = {
            {"left arrow", 0, false}, {"Left", 0, false},        {"Down", 0, false},
            {"Home", 0, false},       {"PageDown", 0, false},    {"wheel", 0, false},
            {"thumb", 0, false},      {"check box", 0, false},   {"LED", 0, false},
            {"right arrow", 500, false}, {"Right", 500, false},  {"Up", 500, false},
            {"End", 500, false},      {"PageUp", 500, false},    {"thumb", 500, false},
            {"Left", 0, true},        {"check box", 0, true},    {"LED", 0, true},
        };
        for (const Row& r : rows)
            for (const bool silent : {true, false})
                QTest::addRow("%s at %d%s, %s", r.action, r.start, r.tied ? ", tied" : "",
                              silent ? "failed" : "sent")
                    << QString(r.action) << r.start << r.tied << silent;
    }

    // An action that leaves a bar where it stands sends again only while the
    // channel's last send failed; tied bars at the value do the same.
    void unchangedActionSendsOnlyAfterAFailure()
    {
        QFETCH(QString, action);
        QFETCH(int, start);
        QFETCH(bool, tied);
        QFETCH(bool, silent);
        if (silent) {
            // Nothing answers: a short time-out only shortens each wait.
            WriteConfig(TestSupport::Config(7, 2));
            StartSim({"--silent"});
        }
        QCOMPARE(LEDMain::AppInit(), int16_t(1));
        NewLines(4);
        QScrollBar* bar = Form()->scrRed;
        if (start != 0) {
            bar->setValue(start);
            NewLines(1);
        }
        Form()->chkTie->setChecked(tied);
        // The box asks for the value its bar already holds.
        Form()->chkRed->setChecked(start == 0);
        QCOMPARE(LEDMain::ChannelFailed(0), silent);

        const QString answer = Act(action);
        QCOMPARE(bar->value(), start);
        QStringList expected;
        if (silent) {
            const QString level = QStringLiteral("%1").arg(500 - start, 3, 10, QLatin1Char('0'));
            for (const char* letter : tied ? QList<const char*>{"A", "C", "B", "D"} : QList<const char*>{"A"})
                expected << QStringLiteral("AV") + letter + level;
        }
        QCOMPARE(NewLines(int(expected.size())), expected);
        QCOMPARE(Form()->TieReady, int16_t(1));
        if (action == "LED")
            QCOMPARE(answer, silent ? QString("Error  ; ") : QString("OK  ; "));
        for (int i = 0; i < 4; ++i)
            QCOMPARE(Form()->Bar(i)->value(), i == 0 || tied ? start : 0);
    }

    void everyUserToggleActsAsAClick_data()
    {
        QTest::addColumn<QString>("way");
        QTest::newRow("mouse") << "mouse";
        QTest::newRow("Space") << "Space";
        QTest::newRow("accessible toggle") << "accessible toggle";
    }

    void everyUserToggleActsAsAClick()
    {
        QFETCH(QString, way);
        QCOMPARE(LEDMain::AppInit(), int16_t(1));
        NewLines(4);
        QCheckBox* box = Form()->chkBlue;
        QAccessibleInterface* iface = QAccessible::queryAccessibleInterface(box);
        QVERIFY(iface && iface->actionInterface());
        QVERIFY(iface->actionInterface()->actionNames().contains(QAccessibleActionInterface::toggleAction()));
        auto toggle = [&] {
            if (way == "mouse")
                QTest::mouseClick(box, Qt::LeftButton);
            else if (way == "Space")
                QTest::keyClick(box, Qt::Key_Space);
            else
                iface->actionInterface()->doAction(QAccessibleActionInterface::toggleAction());
        };

        toggle();
        QVERIFY(box->isChecked());
        QVERIFY(iface->state().checked);
        QCOMPARE(Form()->scrBlue->value(), 500);
        QCOMPARE(NewLines(1), QStringList{"AVC000"});
        toggle();
        QVERIFY(!iface->state().checked);
        QCOMPARE(Form()->scrBlue->value(), 0);
        QCOMPARE(NewLines(1), QStringList{"AVC500"});

        // A box set by code raises nothing; the operator's toggle to the held value
        // sends nothing either but empties the message box.
        box->setChecked(true);
        QCOMPARE(Form()->scrBlue->value(), 0);
        Form()->txtMsg->setText("old");
        toggle();
        QVERIFY(!box->isChecked());
        QCOMPARE(Form()->txtMsg->text(), QString());
        QCOMPARE(NewLines(0), QStringList{});
    }

    void keysOnAFocusedBar_data()
    {
        QTest::addColumn<int>("key");
        QTest::addColumn<int>("start");
        QTest::addColumn<bool>("tied");
        QTest::addColumn<int>("expected");
        QTest::newRow("Right") << int(Qt::Key_Right) << 100 << false << 101;
        QTest::newRow("Up") << int(Qt::Key_Up) << 100 << false << 101;
        QTest::newRow("PageUp") << int(Qt::Key_PageUp) << 100 << false << 110;
        QTest::newRow("PageUp near the end") << int(Qt::Key_PageUp) << 495 << false << 500;
        QTest::newRow("Left") << int(Qt::Key_Left) << 100 << false << 99;
        QTest::newRow("Down") << int(Qt::Key_Down) << 100 << false << 99;
        QTest::newRow("PageDown") << int(Qt::Key_PageDown) << 100 << false << 90;
        QTest::newRow("Home") << int(Qt::Key_Home) << 100 << false << 0;
        QTest::newRow("End") << int(Qt::Key_End) << 100 << false << 500;
        QTest::newRow("Up, tied") << int(Qt::Key_Up) << 100 << true << 101;
        QTest::newRow("PageDown, tied") << int(Qt::Key_PageDown) << 100 << true << 90;
    }

    void keysOnAFocusedBar()
    {
        QFETCH(int, key);
        QFETCH(int, start);
        QFETCH(bool, tied);
        QFETCH(int, expected);
        QCOMPARE(LEDMain::AppInit(), int16_t(1));
        NewLines(4);
        QScrollBar* bar = Form()->scrGreen;
        bar->setValue(start);
        NewLines(1);
        Form()->chkTie->setChecked(tied);
        Form()->show();
        QVERIFY(QTest::qWaitForWindowActive(Form()));
        bar->setFocus(Qt::TabFocusReason);
        QVERIFY(bar->hasFocus());

        QTest::keyClick(bar, Qt::Key(key));
        QCOMPARE(bar->value(), expected);
        const QString level = QStringLiteral("%1").arg(500 - expected, 3, 10, QLatin1Char('0'));
        QStringList lines;
        for (const char* letter : tied ? QList<const char*>{"B", "A", "C", "D"} : QList<const char*>{"B"})
            lines << QStringLiteral("AV") + letter + level;
        QCOMPARE(NewLines(int(lines.size())), lines);
        QCOMPARE(Form()->TieReady, int16_t(1));
    }

    void tabVisitsTheRowsInOrder()
    {
        QCOMPARE(LEDMain::AppInit(), int16_t(1));
        Form()->show();
        QVERIFY(QTest::qWaitForWindowActive(Form()));
        Form()->cboCommand->setFocus(Qt::TabFocusReason);
        const QStringList expected = {"cboCommand", "cmdExec",  "scrRed",   "txtVal0",  "chkRed",
                                      "scrGreen",   "txtVal1",  "chkGreen", "scrBlue",  "txtVal2",
                                      "chkBlue",    "scrAmber", "txtVal3",  "chkAmber", "chkTie",
                                      "txtMsg",     "cboCommand"};
        QStringList visited;
        for (qsizetype i = 0; i < expected.size(); ++i) {
            QWidget* w = QApplication::focusWidget();
            QVERIFY(w);
            // The command line's edit field stands for its combo box.
            if (w == Form()->cboCommand->lineEdit())
                w = Form()->cboCommand;
            visited << w->objectName();
            QTest::keyClick(w, Qt::Key_Tab);
        }
        QCOMPARE(visited, expected);
    }

    void focusedBarShowsAMark_data()
    {
        QTest::addColumn<QString>("style");
        for (const QString& key : QStyleFactory::keys())
            QTest::newRow(qPrintable(key)) << key;
    }

    void focusedBarShowsAMark()
    {
        QFETCH(QString, style);
        QCOMPARE(LEDMain::AppInit(), int16_t(1));
        std::unique_ptr<QStyle> owned(QStyleFactory::create(style));
        QScrollBar* bar = Form()->scrBlue;
        bar->setStyle(owned.get());
        Form()->show();
        QVERIFY(QTest::qWaitForWindowActive(Form()));
        Form()->cmdExec->setFocus();
        const QImage plain = bar->grab().toImage();
        bar->setFocus(Qt::TabFocusReason);
        QVERIFY(bar->hasFocus());
        const QImage focused = bar->grab().toImage();
        bar->setStyle(nullptr);

        const QColor mark = bar->palette().color(QPalette::Highlight);
        const int w = focused.width(), h = focused.height();
        for (const QPoint edge : {QPoint(0, h / 2), QPoint(w - 1, h / 2), QPoint(w / 2, 0), QPoint(w / 2, h - 1)}) {
            QCOMPARE(focused.pixelColor(edge), mark);
            QVERIFY(plain.pixelColor(edge) != mark);
        }
    }

    void setChannelClampsOnTheWireAndInTheBox()
    {
        QCOMPARE(LEDMain::AppInit(), int16_t(1));
        NewLines(4);
        QCOMPARE(LEDMain::SetChannel("A", -5), int16_t(1));
        QCOMPARE(LEDMain::SetChannel("C", 600), int16_t(1));
        QCOMPARE(LEDMain::SetChannel("C", 123), int16_t(1));
        QCOMPARE(LEDMain::SetChannel("D", 1), int16_t(1));
        QCOMPARE(NewLines(4), (QStringList{"AVA500", "AVC000", "AVC377", "AVD499"}));
        QCOMPARE(Values(), (QStringList{"0", "0", "123", "1"}));
        // Bars are not moved by a direct channel setting.
        QCOMPARE(Form()->scrBlue->value(), 0);

        Form()->txtMsg->setText("keep");
        QCOMPARE(LEDMain::SetChannel("E", 10), int16_t(-1));
        QCOMPARE(LEDMain::SetChannel("a", 10), int16_t(-1));
        QCOMPARE(NewLines(0), QStringList{});
        QCOMPARE(Form()->txtMsg->text(), QString("keep"));
    }

    // Configuration > Serial Device lists the devices (supplied here: the test
    // machines have none), shows where COM7 leads, follows a device plugged in
    // while it shows, and links COM7 to the one chosen and reopens the port there.
    void serialDeviceLinksThePortAndReopensIt()
    {
        QCOMPARE(LEDMain::AppInit(), int16_t(1));
        QCOMPARE(NewLines(4).size(), 4);
        SimProcess other;
        QVERIFY(other.Start({"--no-show"}));
        SerialDevices::Device sim;
        sim.path = fx_.sim->PtyPath();
        sim.description = "first";
        SerialDevices::Device plugged;
        plugged.path = other.PtyPath();
        plugged.description = "second";
        plugged.driver = "ftdi_sio";
        plugged.usbPath = "1-2:1.0";
        plugged.latencyTimer = 1;
        SerialDevices::Device missing;
        missing.path = "/dev/ttyUSB-none";
        QList<SerialDevices::Device> listed{sim, missing};
        SerialDevices::SetSource([&listed] { return listed; });
        const auto restore = qScopeGuard([] { SerialDevices::SetSource({}); });

        QStringList seen;
        int refusals = 0;
        WhenSerialDeviceShows([&](frmSerialDevice* w) {
            seen << w->lblTarget->text() << QString::number(w->lstDevices->count());
            // A device gone since the list was made is refused, and the window stays.
            w->lstDevices->setCurrentRow(1);
            w->cmdLink->click();
            refusals = int(fx_.boxes->boxes.size());
            listed << plugged;
            // The refresh that follows shows the new device; its timer made quicker here.
            for (QTimer* t : w->findChildren<QTimer*>())
                t->setInterval(t->interval() == frmSerialDevice::kRefreshMs ? 50 : t->interval());
            // (The count is compared below, after the window has been answered.)
            if (!QTest::qWaitFor([&] { return w->lstDevices->count() == 3; }, frmSerialDevice::kRefreshMs * 2 + 2000))
                qWarning("no refresh showed the new device");
            seen << QString::number(w->lstDevices->count());
            w->lstDevices->setCurrentRow(2);
            seen << w->lstDevices->currentItem()->text();
            w->cmdLink->click();
        });
        Form()->mnuSerialDevice->trigger();

        QCOMPARE(seen.value(0), "COM7 -> " + fx_.sim->PtyPath());
        QCOMPARE(seen.value(1), "2");
        QCOMPARE(refusals, 1);
        // The window lists the devices itself: no hint of the command line's.
        QVERIFY2(fx_.boxes->boxes.value(0).text.endsWith("COM7 is not linked: /dev/ttyUSB-none does not exist"),
                 qPrintable(fx_.boxes->Texts().join('|')));
        QCOMPARE(seen.value(2), "3");
        QCOMPARE(seen.value(3), other.PtyPath() + "  second  ftdi_sio at USB 1-2:1.0, latency timer 1 ms");
        QCOMPARE(QFileInfo(fx_.Path("COM7")).symLinkTarget(), other.PtyPath());
        QVERIFY(LEDCOMM::CommForm()->MSComm1->isOpen());
        QCOMPARE(LEDMain::ExecScript("LED R 7"), QString("OK  ; "));
        QVERIFY(other.WaitForLogged(1));
        QCOMPARE(other.LoggedLines(), QStringList{"AVA493"});
        QCOMPARE(NewLines(0), QStringList());
        fx_.TearDown();  // while the device the port leads to is there, or each channel-off waits out its time-out
    }

    void silentControllerShowsValueAndLogsError()
    {
        WriteConfig(TestSupport::Config(7, 20));  // nothing answers until the end
        StartSim({"--silent"});
        QCOMPARE(LEDMain::AppInit(), int16_t(1));
        QCOMPARE(NewLines(4).size(), 4);
        QCOMPARE(Values(), (QStringList{"0", "0", "0", "0"}));
        QCOMPARE(Form()->txtMsg->text(), QString());
        Form()->scrRed->setValue(42);
        QCOMPARE(Form()->txtVal[0]->text(), QString("42"));
        QCOMPARE(Form()->txtMsg->text(), QString());
        QVERIFY(LEDCOMM::GetErrLog().endsWith("-Port TimeOut\r\n"));
        // The "LED" answer tells the truth about the silent controller.
        QCOMPARE(LEDMain::ExecScript("LED R 43"), QString("Error  ; "));
        QCOMPARE(Form()->scrRed->value(), 43);
        QCOMPARE(NewLines(2), (QStringList{"AVA458", "AVA457"}));
        // The bar already stands there, but the last send failed: it goes out again.
        QCOMPARE(LEDMain::ExecScript("LED R 43"), QString("Error  ; "));
        QCOMPARE(NewLines(1), QStringList{"AVA457"});

        // Once the controller answers, the retry succeeds, and then the same value sends nothing.
        WriteConfig(fx_.kDefaultConfig);
        StartSim();
        QVERIFY(LEDCOMM::CommReopenConfigured());
        QCOMPARE(LEDMain::ExecScript("LED R 43"), QString("OK  ; "));
        QCOMPARE(NewLines(1), QStringList{"AVA457"});
        QCOMPARE(LEDMain::ExecScript("LED R 43"), QString("OK  ; "));
        QCOMPARE(NewLines(0), QStringList{});
    }

    void missingPortOrFileStillLoadsTheWindow()
    {
        // Port 8 has no link here and /dev/ttyS7 is no device of a test machine.
        WriteConfig(TestSupport::Config(8, 0));
        QCOMPARE(LEDMain::AppInit(), int16_t(-1));
        QVERIFY(Form());
        QVERIFY(LEDCOMM::GetErrLog().contains("CommOpenPort "));
        QCOMPARE(Values(), (QStringList{"0", "0", "0", "0"}));
        // The box shows why, not the empty reply of the last channel-off.
        QVERIFY2(Form()->txtMsg->text().startsWith("CommOpenPort  1 "), qPrintable(Form()->txtMsg->text()));
        cleanup();
        init();

        QFile::remove(fx_.Path("LED_CONFIG.TXT"));
        QCOMPARE(LEDMain::AppInit(), int16_t(-1));
        QVERIFY(Form());
        QCOMPARE(fx_.boxes->Texts().value(0), "File " + fx_.dir->path() + "/LED_CONFIG.TXT does not exist");
        // Port 8, kept from before, does not open either: the log comes first.
        QVERIFY2(Form()->txtMsg->text().startsWith("CommOpenPort "), qPrintable(Form()->txtMsg->text()));
        cleanup();
        init();

        // Only the settings failed (port 7 and 300 ms kept from a good start): the
        // first settings message.
        QCOMPARE(LEDMain::AppInit(), int16_t(1));
        cleanup();
        init();
        WriteConfig("\"PORT\",7\r\n\"TIMEOUT\",40000\r\n");
        QCOMPARE(LEDMain::AppInit(), int16_t(-1));
        QCOMPARE(Form()->txtMsg->text(), fx_.boxes->Texts().value(0));
        QVERIFY(Form()->txtMsg->text().startsWith("Parameter TIMEOUT in "));
    }

    void noPlaceForTheLockIsLoggedAfterTheCause()
    {
        QTemporaryFile file;
        QVERIFY(file.open());
        const QByteArray impossible = (file.fileName() + "/under-a-file").toUtf8();
        const QByteArray tmp = qgetenv("TMPDIR");
        qputenv("ORVANE_LOCK_DIR", impossible);
        qputenv("TMPDIR", impossible);
        QVERIFY(QDir(fx_.dir->path()).mkdir(".orvane.lock"));  // nor the application directory
        QVERIFY(LEDMain::TakeInstanceLock(fx_.dir->path()));  // starts all the same
        QVERIFY(QDir(fx_.dir->path()).rmdir(".orvane.lock"));
        qunsetenv("ORVANE_LOCK_DIR");
        tmp.isNull() ? qunsetenv("TMPDIR") : qputenv("TMPDIR", tmp);
        WriteConfig(TestSupport::Config(8, 0));
        QCOMPARE(LEDMain::AppInit(), int16_t(-1));
        const QStringList log = TestSupport::LogLines();
        QVERIFY2(log.last().endsWith("so a second copy of the program cannot be detected"), qPrintable(log.last()));
        QVERIFY(Form()->txtMsg->text().startsWith("CommOpenPort "));
        QVERIFY(LEDMain::TakeInstanceLock(fx_.dir->path()));
        QVERIFY(LEDMain::HoldsInstanceLock());
    }

    void unloadShutsDownOnlyWithoutAutomation()
    {
        QCOMPARE(LEDMain::AppInit(), int16_t(1));
        NewLines(4);
        Form()->scrRed->setValue(100);
        NewLines(1);

        // A client holds an object: closing the window keeps the port and the lights.
        LEDMain::AutomationObjectCreated();
        Form()->close();
        QCoreApplication::processEvents();
        QCOMPARE(LEDMain::MainWindowLoaded(), int16_t(0));
        QCOMPARE(LEDMain::IsFormLoaded("frmVURUruduvo"), int16_t(0));
        QCOMPARE(LEDCOMM::CommFormLoaded(), int16_t(1));
        QCOMPARE(NewLines(0), QStringList{});
        QCOMPARE(quits_, 0);

        // Its end shuts down and ends the process.
        LEDMain::AutomationObjectDestroyed();
        QCOMPARE(NewLines(4), (QStringList{"AVA500", "AVB500", "AVC500", "AVD500"}));
        QCOMPARE(LEDCOMM::CommFormLoaded(), int16_t(0));
        QCoreApplication::processEvents();
        QCOMPARE(quits_, 1);
    }

    void closingWithoutAutomationShutsDownAndEnds()
    {
        QCOMPARE(LEDMain::AppInit(), int16_t(1));
        NewLines(4);
        Form()->close();
        QCOMPARE(NewLines(4), (QStringList{"AVA500", "AVB500", "AVC500", "AVD500"}));
        QCOMPARE(LEDCOMM::CommFormLoaded(), int16_t(0));
        QCoreApplication::processEvents();
        QCOMPARE(quits_, 1);
    }

    void twoObjectsAreCounted()
    {
        QCOMPARE(LEDMain::AppInit(), int16_t(1));
        NewLines(4);
        LEDMain::AutomationObjectCreated();
        LEDMain::AutomationObjectCreated();
        Form()->close();
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
        NewLines(4);
        LEDMain::AutomationObjectCreated();
        QCOMPARE(LEDMain::ExecScript("LED G 5"), QString("OK  ; "));
        LEDMain::AutomationObjectDestroyed();
        QCOMPARE(LEDCOMM::CommFormLoaded(), int16_t(1));
        QCoreApplication::processEvents();
        QCOMPARE(quits_, 0);
        // Show and Hide after the window was closed build a fresh one in its first state.
        Form()->close();
        QCOMPARE(LEDMain::ExecScript("Hide"), QString("OK  ; "));
        QVERIFY(Form());
        QCOMPARE(Form()->scrGreen->value(), 0);
        QVERIFY(!Form()->isVisible());
        QCOMPARE(LEDMain::ExecScript("Show"), QString("OK  ; "));
        QVERIFY(Form()->isVisible());
    }
};

ORVANE_TEST_MAIN(TestMainWindow)
#include "test_mainwindow.moc"
