#pragma once
// The one way from the engine to the operator's panel: the main window
// (frmVURUruduvo, in mainwindow/) implements it and main() registers a factory
// for it, so the engine can load the window when it needs one (start-up, "Show")
// without knowing its widgets.
#include <QString>
#include <cstdint>
#include <functional>

class ChannelPanel {
public:
    virtual ~ChannelPanel() = default;

    // Moves bar index 0..3 ("A".."D") to the value as the program does: the
    // bar's handling sends, "Tie" moves the other bars. True when every send of
    // this move succeeded (a bar that already holds the value and whose last
    // send succeeded sends nothing, which counts as success).
    virtual bool MoveBar(int index, int16_t value) = 0;
    // What channel output shows after a send: the value in the channel's value
    // box, the controller's reply in the Response box.
    virtual void ShowChannel(int index, int16_t value, const QString& reply) = 0;
    // A message in the Response box (serial link failures, why start-up failed).
    virtual void ShowResponse(const QString& text) = 0;

    virtual void SetShown(bool shown) = 0;
    virtual bool IsShown() const = 0;
    // Closes the panel as the operator's Quit does: it unloads and is deleted later.
    virtual void Close() = 0;
};

// Makes a panel that registers itself with LEDMain::MainFormLoad; nullptr when it cannot.
using ChannelPanelFactory = std::function<ChannelPanel*()>;
