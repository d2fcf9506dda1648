#include "tests/support/ProgramFixture.h"

#include "comm/LEDCOMM.h"
#include "engine/LEDMain.h"
#include "mainwindow/frmVURUruduvo.h"
#include "params/TRAPAR.h"

namespace TestSupport {

bool ProgramFixture::SetUp(const QByteArray& config, const QStringList& simOptions)
{
    dir = std::make_unique<QTemporaryDir>();
    boxes = std::make_unique<MsgBoxRecorder>();
    Platform::App().Path = dir->path();
    WriteConfig(config);
    return StartSim(simOptions);
}

void ProgramFixture::TearDown()
{
    if (frmVURUruduvo* form = frmVURUruduvo::Loaded())
        form->close();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    if (LEDCOMM::CommFormLoaded())
        LEDMain::AppShutdown();
    sim.reset();
    boxes.reset();
}

bool ProgramFixture::StartSim(const QStringList& options)
{
    sim = std::make_unique<SimProcess>();
    mark_ = 0;
    return sim->Start(QStringList{"--link", Path("COM7"), "--no-show"} + options);
}

void ProgramFixture::WriteConfig(const QByteArray& bytes) { WriteFile(Path("LED_CONFIG.TXT"), bytes); }

bool ProgramFixture::LoadLink()
{
    TRAPAR::SetParDir(dir->path() + QLatin1Char('/'));
    if (LEDCOMM::CommReadSettings() != 1)
        return false;
    LEDCOMM::CommFormLoad();
    LEDCOMM::SetCommInTerm(13);
    LEDCOMM::SetCommOutTerm(13);
    return true;
}

QStringList ProgramFixture::NewLines(SimProcess& sim, qsizetype& mark, int expected)
{
    if (expected > 0)
        sim.WaitForLogged(int(mark) + expected, 3000);
    else
        QTest::qWait(100);
    const QStringList all = sim.LoggedLines();
    const QStringList fresh = all.mid(mark);
    mark = all.size();
    return fresh;
}

} // namespace TestSupport
