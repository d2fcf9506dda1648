#include "mainwindow/frmEditor.h"

#include "engine/LEDMain.h"

#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QMenuBar>
#include <QPlainTextEdit>
#include <QSaveFile>
#include <QStatusBar>

frmEditor::frmEditor()
{
    setObjectName(QStringLiteral("frmEditor"));
    setAttribute(Qt::WA_DeleteOnClose);
    txtText = new QPlainTextEdit(this);
    txtText->setObjectName(QStringLiteral("txtText"));
    txtText->setAccessibleName(QStringLiteral("Text"));
    txtText->setLineWrapMode(QPlainTextEdit::NoWrap);
    setCentralWidget(txtText);
    QMenu* file = menuBar()->addMenu(QStringLiteral("&File"));
    mnuSaveAs = file->addAction(QStringLiteral("Save &As..."), this, &frmEditor::mnuSaveAs_Click);
    mnuSaveAs->setObjectName(QStringLiteral("mnuSaveAs"));
    mnuClose = file->addAction(QStringLiteral("&Close"), this, &QWidget::close);
    mnuClose->setObjectName(QStringLiteral("mnuClose"));
    resize(640, 480);
    LEDMain::HoldProcess();
}

frmEditor::~frmEditor() { LEDMain::ReleaseProcess(); }

frmEditor* frmEditor::OpenFile(const QString& path)
{
    auto* w = new frmEditor;
    w->setWindowTitle(path);
    QFile f(path);
    if (!QFileInfo(path).isFile()) {
        w->statusBar()->showMessage(QStringLiteral("File ") + path + QStringLiteral(" does not exist"));
    } else if (!f.open(QIODevice::ReadOnly)) {
        w->statusBar()->showMessage(QStringLiteral("Cannot read ") + path + QStringLiteral(": ")
                                    + f.errorString());
    } else {
        w->txtText->setPlainText(QString::fromUtf8(f.readAll()));
    }
    w->show();
    w->activateWindow();
    return w;
}

frmEditor* frmEditor::OpenText(const QString& text)
{
    auto* w = new frmEditor;
    w->setWindowTitle(QStringLiteral("Untitled"));
    w->txtText->setPlainText(text);
    w->txtText->document()->setModified(true);
    w->show();
    w->activateWindow();
    return w;
}

bool frmEditor::SaveTo(const QString& path)
{
    QSaveFile f(path);
    const QByteArray bytes = txtText->toPlainText().toUtf8();
    if (!f.open(QIODevice::WriteOnly) || f.write(bytes) != bytes.size() || !f.commit()) {
        statusBar()->showMessage(QStringLiteral("Cannot write ") + path + QStringLiteral(": ")
                                 + f.errorString());
        return false;
    }
    txtText->document()->setModified(false);
    setWindowTitle(path);
    statusBar()->showMessage(QStringLiteral("Saved ") + path);
    return true;
}

void frmEditor::mnuSaveAs_Click()
{
    const QString path = QFileDialog::getSaveFileName(this, QStringLiteral("Save As"));
    if (!path.isEmpty())
        SaveTo(path);
}
