#pragma once
// The program's modules in the test process, in an application directory of
// their own, with LED_CONFIG.TXT and orvane-sim linked as port 7.
#include "tests/support/SimProcess.h"
#include "tests/support/TestSupport.h"

#include <memory>

namespace TestSupport {

class ProgramFixture {
public:
    static inline const QByteArray kDefaultConfig = Config(7, 300);

    // Fresh directory, message box recorder, config and simulator; false if the simulator failed.
    bool SetUp(const QByteArray& config = kDefaultConfig, const QStringList& simOptions = {});
    // Unloads the main window, shuts the serial link down, stops the simulator.
    void TearDown();

    // (Re)starts the simulator on port 7 with further options.
    bool StartSim(const QStringList& options = {});
    void WriteConfig(const QByteArray& bytes);
    // The serial link as a client of the automation object uses it, no main
    // window: the parameter directory set to this one, the settings read, the
    // serial host loaded with CR as both line ends. False when the settings
    // were not read. The port stays closed.
    bool LoadLink();
    QString Path(const QString& name) const { return dir->filePath(name); }

    // Lines the simulator received since the last call, after waiting for the expected
    // number. With 0, a marker line passes through the open port first, so anything
    // sent before it is caught (a short pause when the port leads elsewhere).
    // Marker lines are never returned.
    QStringList NewLines(int expected) { return NewLines(*sim, mark_, expected); }
    static QStringList NewLines(SimProcess& sim, qsizetype& mark, int expected);

    std::unique_ptr<QTemporaryDir> dir;
    std::unique_ptr<SimProcess> sim;
    std::unique_ptr<MsgBoxRecorder> boxes;

private:
    qsizetype mark_ = 0;
};

} // namespace TestSupport
