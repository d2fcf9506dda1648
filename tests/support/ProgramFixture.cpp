#include "tests/support/ProgramFixture.h"

#include "comm/LEDCOMM.h"
#include "engine/LEDMain.h"
#include "mainwindow/frmVURUruduvo.h"

namespace TestSupport {

bool ProgramFixture::setUp(const QByteArray& config, const QStringList& simOptions)
{
    dir = std::make_unique<QTemporaryDir>();
    boxes = std::make_unique<MsgBoxRecorder>();
    Platform::App().Path = dir->path();
    writeConfig(config);
    return startSim(simOptions);
}

void ProgramFixture::tearDown()
{
    if (frmVURUruduvo* form = LEDMain::MainForm())
        form->close();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    if (LEDCOMM::CommFormLoaded())
        LEDMain::AppShutdown();
    sim.reset();
    boxes.reset();
}

bool ProgramFixture::startSim(const QStringList& options)
{
    sim = std::make_unique<SimProcess>();
    mark_ = 0;
    return sim->start(QStringList{"--link", path("COM7"), "--no-show"} + options);
}

void ProgramFixture::writeConfig(const QByteArray& bytes) { WriteFile(path("LED_CONFIG.TXT"), bytes); }

QStringList ProgramFixture::NewLines(SimProcess& sim, qsizetype& mark, int expected)
{
    if (expected > 0)
        sim.waitForLogged(int(mark) + expected, 3000);
    else
        QTest::qWait(100);
    const QStringList all = sim.loggedLines();
    const QStringList fresh = all.mid(mark);
    mark = all.size();
    return fresh;
}

} // namespace TestSupport
