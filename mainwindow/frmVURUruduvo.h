#pragma once
// The operator's panel: four channel rows, "Tie", the command line, the
// message box and the menus. The engine drives it as its ChannelPanel.
// Places and sizes are given in twips, the design's unit of length (1/1440
// inch; 15 twips are a pixel at 96 DPI).
#include "engine/ChannelPanel.h"

#include <QMainWindow>
#include <array>
#include <cstdint>

class QAction;
class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;
class QMenu;
class QPushButton;
class QScrollBar;

class frmVURUruduvo : public QMainWindow, public ChannelPanel {
    Q_OBJECT
public:
    explicit frmVURUruduvo(QWidget* parent = nullptr);
    ~frmVURUruduvo() override;

    // Registers the main window as the panel the engine loads when it needs one.
    static void RegisterAsPanel();
    // The loaded main window, or nullptr.
    static frmVURUruduvo* Loaded();
    // The loaded main window, loaded (hidden) first when there is none.
    static frmVURUruduvo* Load();

    // ChannelPanel
    bool MoveBar(int index, int16_t value) override;
    void ShowChannel(int index, int16_t value, const QString& reply) override;
    void ShowResponse(const QString& text) override;
    void SetShown(bool shown) override { setVisible(shown); }
    bool IsShown() const override { return isVisible(); }
    void Close() override { close(); }

    // Enters the current command line at the top of the history.
    void RememberCmdInHist();

    // Bar of device channel index 0..3 ("A".."D").
    QScrollBar* Bar(int index) const;
    // The handling of a bar change: sends the bar's value, and with "Tie"
    // moves the other bars.
    void BarHandling(int index);
    // Moves bar index 0..3 to the value as the program does; a bar that already
    // holds it sends only while its channel's last send failed.
    void SetBar(int index, int value);

    // Client area and control places are given in twips.
    static int TwipsToPixels(int twips);

    QComboBox* cboCommand = nullptr;
    QPushButton* cmdExec = nullptr;
    QScrollBar* scrRed = nullptr;
    QScrollBar* scrGreen = nullptr;
    QScrollBar* scrBlue = nullptr;
    QScrollBar* scrAmber = nullptr;
    std::array<QLineEdit*, 4> txtVal{};
    QCheckBox* chkRed = nullptr;
    QCheckBox* chkGreen = nullptr;
    QCheckBox* chkBlue = nullptr;
    QCheckBox* chkAmber = nullptr;
    QCheckBox* chkTie = nullptr;
    QLineEdit* txtMsg = nullptr;
    QLabel* lblResponseName = nullptr;
    // Names the command line for assistive technology, whatever text it holds;
    // it takes no room on the panel.
    QLabel* lblCommandName = nullptr;

    QMenu* mnuConfig = nullptr;
    QAction* mnuPort = nullptr;
    QAction* mnuSerialDevice = nullptr;
    QAction* mnuErrLog = nullptr;
    QAction* mnuQuit = nullptr;
    QMenu* mnuUtil = nullptr;
    QAction* mnuDirect = nullptr;
    QMenu* mnuHelp = nullptr;
    QAction* mnuCmds = nullptr;

    // 1 when a bar change may spread to the other bars.
    int16_t TieReady = 1;

public slots:
    void cmdExec_Click();
    void mnuPort_Click();
    void mnuSerialDevice_Click();
    void mnuErrLog_Click();
    void mnuQuit_Click();
    void mnuDirect_Click();
    void mnuCmds_Click();

protected:
    void closeEvent(QCloseEvent* event) override;
    // Up and Down in the command line walk the history.
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void BuildControls();
    void BuildCommandRow(QWidget* client);
    void BuildChannelRow(QWidget* client, int index);
    void BuildResponseRow(QWidget* client);
    void BuildMenus();
    void CheckClick(int index);
    // Shows the entry `steps` older (negative: newer) than the one recalled last.
    void RecallHist(int steps);
    void Unload();

    std::array<QCheckBox*, 4> rowChecks_{};
    std::array<int, 4> pressedValue_{};
    bool unloaded_ = false;
    // A send of the bar move that MoveBar is making failed.
    bool moveFailed_ = false;
    // History entry shown by Up and Down; -1 while the line is the operator's own.
    int recalled_ = -1;
    // The operator's own line, given back by Down past the newest entry.
    QString draft_;
};
