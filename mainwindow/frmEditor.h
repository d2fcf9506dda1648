#pragma once
// A plain-text editor window for the command reference and the error log.
// It is no window of the design: it keeps the process alive while open but
// does not count as loaded.
#include <QMainWindow>

class QPlainTextEdit;
class QAction;

class frmEditor : public QMainWindow {
    Q_OBJECT
public:
    // Opens the file at path; a missing or unreadable file is said in the window.
    static frmEditor* OpenFile(const QString& path);
    // A new untitled window holding text as unsaved changes.
    static frmEditor* OpenText(const QString& text);

    ~frmEditor() override;

    QPlainTextEdit* txtText = nullptr;
    QAction* mnuSaveAs = nullptr;
    QAction* mnuClose = nullptr;

    // Writes the text to path; false with the reason in the status bar.
    bool SaveTo(const QString& path);

public slots:
    void mnuSaveAs_Click();

private:
    frmEditor();
};
