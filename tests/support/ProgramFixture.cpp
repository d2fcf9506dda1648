#include "tests/support/ProgramFixture.h"

#include "comm/LEDCOMM.h"
#include "comm/frmComm.h"
#include "engine/LEDMain.h"
#include "mainwindow/frmVURUruduvo.h"
#include "params/TRAPAR.h"

#include <QFileInfo>
#include <QSerialPort>

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

namespace {

// Writes a marker line to the simulator behind the open port, after anything
// queued has run, and waits until it is logged: then everything sent before it
// has come. False when the port does not lead to that simulator.
bool PassMarker(SimProcess& sim)
{
    static int count = 0;
    frmComm* form = LEDCOMM::CommForm();
    QSerialPort* port = form ? form->MSComm1 : nullptr;
    if (!port || !port->isOpen() || !sim.IsRunning()
        || port->portName() != QFileInfo(sim.PtyPath()).canonicalFilePath())
        return false;
    QCoreApplication::processEvents();
    const QString marker = QStringLiteral("#mark%1").arg(++count);
    port->write(marker.toLatin1() + '\r');
    return port->waitForBytesWritten(1000)
           && QTest::qWaitFor([&] { return sim.LoggedLines().contains(marker); }, 3000);
}

} // namespace

QStringList ProgramFixture::NewLines(SimProcess& sim, qsizetype& mark, int expected)
{
    if (expected > 0)
        sim.WaitForLogged(int(mark) + expected, 3000);
    else if (!PassMarker(sim))
        QTest::qWait(100);
    const QStringList all = sim.LoggedLines();
    QStringList fresh;
    for (const QString& line : all.mid(mark))
        if (!line.startsWith(QLatin1Char('#')))
            fresh << line;
    mark = all.size();
    return fresh;
}

} // namespace TestSupport
