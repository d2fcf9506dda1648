#include "mainwindow/frmVURUruduvo.h"

#include "base/Platform.h"
#include "comm/LEDCOMM.h"
#include "base/Channels.h"
#include "engine/LEDMain.h"
#include "mainwindow/frmEditor.h"
#include "mainwindow/frmSerialDevice.h"
#include "params/TRAPAR.h"
#include "params/frmParList.h"

#include <QAccessible>
#include <QAccessibleWidget>
#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QClipboard>
#include <QCloseEvent>
#include <QComboBox>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMenuBar>
#include <QPainter>
#include <QPushButton>
#include <QScreen>
#include <QScrollBar>

#include <algorithm>
#include <iterator>
#include <utility>

namespace {

const QColor kRowColours[4] = {QColor(0xFF, 0x00, 0x00), QColor(0x00, 0xC0, 0x00),
                               QColor(0x00, 0x00, 0xFF), QColor(0xC0, 0xC0, 0x00)};
// Bars that follow a tied move, by the moved bar's index.
const int kTieOrder[4][3] = {{2, 1, 3}, {0, 2, 3}, {0, 1, 3}, {0, 1, 2}};

// Shows the wait cursor while an exchange blocks the window.
class WaitCursor {
public:
    WaitCursor() { QApplication::setOverrideCursor(Qt::WaitCursor); }
    ~WaitCursor() { QApplication::restoreOverrideCursor(); }
    WaitCursor(const WaitCursor&) = delete;
    WaitCursor& operator=(const WaitCursor&) = delete;
};

// A channel bar: keys move it the way its level reads (right and up raise it),
// and it shows when it holds the focus, which a scroll bar does not by itself.
class ChannelBar : public QScrollBar {
public:
    explicit ChannelBar(QWidget* parent) : QScrollBar(Qt::Horizontal, parent)
    {
        setFocusPolicy(Qt::StrongFocus);
    }

protected:
    void keyPressEvent(QKeyEvent* event) override
    {
        SliderAction action = SliderNoAction;
        switch (event->key()) {
        case Qt::Key_Right:
        case Qt::Key_Up: action = SliderSingleStepAdd; break;
        case Qt::Key_Left:
        case Qt::Key_Down: action = SliderSingleStepSub; break;
        case Qt::Key_PageUp: action = SliderPageStepAdd; break;
        case Qt::Key_PageDown: action = SliderPageStepSub; break;
        case Qt::Key_Home: action = SliderToMinimum; break;
        case Qt::Key_End: action = SliderToMaximum; break;
        default: QScrollBar::keyPressEvent(event); return;
        }
        // Through the same action as an arrow or trough click, so it is handled as one.
        triggerAction(action);
        event->accept();
    }

    void paintEvent(QPaintEvent* event) override
    {
        QScrollBar::paintEvent(event);
        if (!hasFocus())
            return;
        QPainter p(this);
        const QColor mark = palette().color(QPalette::Highlight);
        const int w = width(), h = height(), t = 2;
        p.fillRect(0, 0, w, t, mark);
        p.fillRect(0, h - t, w, t, mark);
        p.fillRect(0, 0, t, h, mark);
        p.fillRect(w - t, 0, t, h, mark);
    }
};

// A check box as assistive technology sees it. Its toggle action is the
// operator's click, so the box's click handling runs as for the mouse or
// Space; a box set by the program itself still raises nothing.
class CheckBoxAccessible : public QAccessibleWidget {
public:
    explicit CheckBoxAccessible(QCheckBox* box) : QAccessibleWidget(box, QAccessible::CheckBox) {}

    QString text(QAccessible::Text t) const override
    {
        QString str = QAccessibleWidget::text(t);
        if (t == QAccessible::Name && str.isEmpty())
            str = QString(box()->text()).remove(QLatin1Char('&'));
        return str;
    }

    QAccessible::State state() const override
    {
        QAccessible::State s = QAccessibleWidget::state();
        s.checkable = true;
        s.checked = box()->checkState() == Qt::Checked;
        s.checkStateMixed = box()->checkState() == Qt::PartiallyChecked;
        s.pressed = box()->isDown();
        return s;
    }

    QStringList actionNames() const override
    {
        QStringList names;
        if (widget()->isEnabled())
            names << toggleAction();
        return names + QAccessibleWidget::actionNames();
    }

    void doAction(const QString& action) override
    {
        if (action == toggleAction()) {
            if (widget()->isEnabled())
                box()->click();
            return;
        }
        QAccessibleWidget::doAction(action);
    }

private:
    QCheckBox* box() const { return static_cast<QCheckBox*>(object()); }
};

// Installed before the first check box is built: a screen reader may ask for a
// box's interface while the box is still being constructed.
QAccessibleInterface* CheckBoxAccessibleFactory(const QString& className, QObject* object)
{
    if (className == QLatin1String("QCheckBox") && object && object->isWidgetType())
        return new CheckBoxAccessible(static_cast<QCheckBox*>(object));
    return nullptr;
}

// The installed icon (dist/org.orvane.Orvane.svg) drawn by hand, so the window
// needs no SVG plugin: four bars, red, green, blue, amber, on a dark tile.
QIcon MakeIcon()
{
    struct Bar {
        int x, y;
        QColor colour;
    };
    const Bar bars[4] = {{8, 24, QColor(0xFF, 0x00, 0x00)}, {21, 12, QColor(0x00, 0xC0, 0x00)},
                         {34, 30, QColor(0x20, 0x60, 0xFF)}, {47, 18, QColor(0xFF, 0xB0, 0x00)}};
    QPixmap pm(64, 64);
    pm.fill(Qt::transparent);
    QPainter p(&pm);
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(0x2E, 0x34, 0x36));
    p.drawRoundedRect(QRectF(2, 2, 60, 60), 10, 10);
    for (const Bar& b : bars) {
        p.setBrush(b.colour);
        p.drawRoundedRect(QRectF(b.x, b.y, 10, 56 - b.y), 2, 2);
    }
    return QIcon(pm);
}

} // namespace

int frmVURUruduvo::TwipsToPixels(int twips)
{
    const QScreen* screen = QGuiApplication::primaryScreen();
    const double dpi = screen ? screen->logicalDotsPerInch() : 96.0;
    return qRound(twips * dpi / 1440.0);
}

frmVURUruduvo::frmVURUruduvo(QWidget* parent) : QMainWindow(parent)
{
    setObjectName(QStringLiteral("frmVURUruduvo"));
    setAttribute(Qt::WA_DeleteOnClose);
    setWindowTitle(QStringLiteral("LED Variable Control"));
    // The program's icon, so the editor windows carry it as well.
    if (QGuiApplication::windowIcon().isNull())
        QGuiApplication::setWindowIcon(MakeIcon());
    BuildControls();
    BuildMenus();
    Platform::RegisterForm(this);
    LEDMain::MainFormLoad(this);
}

void frmVURUruduvo::RegisterAsPanel()
{
    LEDMain::SetPanelFactory([]() -> ChannelPanel* { return new frmVURUruduvo; });
}

frmVURUruduvo* frmVURUruduvo::Loaded() { return dynamic_cast<frmVURUruduvo*>(LEDMain::MainForm()); }

frmVURUruduvo* frmVURUruduvo::Load() { return dynamic_cast<frmVURUruduvo*>(LEDMain::LoadMainForm()); }

bool frmVURUruduvo::MoveBar(int index, int16_t value)
{
    // Moves nest when a send lets pending events run; each says for its own sends.
    const bool outer = std::exchange(moveFailed_, false);
    SetBar(index, value);
    const bool failed = moveFailed_;
    moveFailed_ = outer || failed;
    return !failed;
}

void frmVURUruduvo::ShowChannel(int index, int16_t value, const QString& reply)
{
    txtVal[size_t(index)]->setText(QString::number(value));
    txtMsg->setText(reply);
}

void frmVURUruduvo::ShowResponse(const QString& text) { txtMsg->setText(text); }

frmVURUruduvo::~frmVURUruduvo() { Unload(); }

namespace {

// Controls stand where the design placed them, in twips.
void Place(QWidget* w, int left, int top, int width, int height)
{
    w->setGeometry(frmVURUruduvo::TwipsToPixels(left), frmVURUruduvo::TwipsToPixels(top), frmVURUruduvo::TwipsToPixels(width), frmVURUruduvo::TwipsToPixels(height));
}

void Name(QWidget* w, const QString& objectName, const QString& accessible)
{
    w->setObjectName(objectName);
    w->setAccessibleName(accessible);
}

} // namespace

void frmVURUruduvo::BuildControls()
{
    auto* client = new QWidget(this);
    client->setObjectName(QStringLiteral("client"));
    client->setFixedSize(TwipsToPixels(4920), TwipsToPixels(2475));
    setCentralWidget(client);

    static const bool factoryInstalled = (QAccessible::installFactory(CheckBoxAccessibleFactory), true);
    Q_UNUSED(factoryInstalled);

    BuildCommandRow(client);
    for (int i = 0; i < Channels::kCount; ++i)
        BuildChannelRow(client, i);
    BuildResponseRow(client);

    // Row by row: bar, value box, check box.
    QWidget* order[] = {cboCommand, cmdExec,  scrRed,   txtVal[0], chkRed,   scrGreen,
                        txtVal[1],  chkGreen, scrBlue,  txtVal[2], chkBlue,  scrAmber,
                        txtVal[3],  chkAmber, chkTie,   txtMsg};
    for (size_t k = 1; k < std::size(order); ++k)
        QWidget::setTabOrder(order[k - 1], order[k]);
}

void frmVURUruduvo::BuildCommandRow(QWidget* client)
{
    cboCommand = new QComboBox(client);
    cboCommand->setEditable(true);
    // The history is entered by RememberCmdInHist alone, never by the combo box itself.
    cboCommand->setInsertPolicy(QComboBox::NoInsert);
    Name(cboCommand, "cboCommand", "Command line");
    Place(cboCommand, 120, 0, 3252, 288);
    // Keys reach the combo box or, sent to it directly, its edit field.
    cboCommand->installEventFilter(this);
    cboCommand->lineEdit()->installEventFilter(this);
    connect(cboCommand->lineEdit(), &QLineEdit::textEdited, this, [this](const QString& text) {
        recalled_ = -1;
        draft_ = text;
    });
    connect(cboCommand, &QComboBox::activated, this, [this](int index) { recalled_ = index; });

    // A screen reader names a combo box by the text it holds; a label keeps the
    // command line's name. Visible, so it is exposed, but of no size.
    lblCommandName = new QLabel(QStringLiteral("Command line"), client);
    lblCommandName->setObjectName(QStringLiteral("lblCommandName"));
    lblCommandName->setBuddy(cboCommand);
    Place(lblCommandName, 120, 0, 0, 0);

    cmdExec = new QPushButton(QStringLiteral("Exec Cmd"), client);
    Name(cmdExec, "cmdExec", "Exec Cmd");
    Place(cmdExec, 3480, 0, 1095, 300);
    connect(cmdExec, &QPushButton::clicked, this, &frmVURUruduvo::cmdExec_Click);
}

// A channel's bar, value box and check box.
void frmVURUruduvo::BuildChannelRow(QWidget* client, int i)
{
    QScrollBar** bars[4] = {&scrRed, &scrGreen, &scrBlue, &scrAmber};
    QCheckBox** checks[4] = {&chkRed, &chkGreen, &chkBlue, &chkAmber};
    const QString row = QString::fromLatin1(Channels::kAll[size_t(i)].name);
    const int top = 480 + 360 * i;

    auto* bar = new ChannelBar(client);
    bar->setRange(Channels::kMinIntensity, Channels::kMaxIntensity);
    bar->setSingleStep(1);
    bar->setPageStep(10);
    bar->setValue(0);
    Name(bar, "scr" + row, row + " intensity");
    Place(bar, 120, top, 3252, 252);
    *bars[i] = bar;
    // valueChanged covers assignment, arrows, trough, keys and every drag step.
    connect(bar, &QScrollBar::valueChanged, this, [this, i] { BarHandling(i); });
    // The value is set only after this signal, and an action that leaves it
    // where it is raises no change; yet a failed send must go out again.
    connect(bar, &QScrollBar::actionTriggered, this, [this, i] {
        if (Bar(i)->sliderPosition() == Bar(i)->value() && LEDMain::ChannelFailed(i))
            BarHandling(i);
    });
    connect(bar, &QScrollBar::sliderPressed, this, [this, i] { pressedValue_[i] = Bar(i)->value(); });
    connect(bar, &QScrollBar::sliderReleased, this, [this, i] {
        if (Bar(i)->value() != pressedValue_[i] || LEDMain::ChannelFailed(i))
            BarHandling(i);
    });

    auto* val = new QLineEdit(client);
    // Three digits must fit the narrow box as they did on the original panel.
    val->setFont(QFont(QStringLiteral("MS Sans Serif"), 8));
    val->setStyleSheet(QStringLiteral("QLineEdit { padding: 0px; }"));
    Name(val, QStringLiteral("txtVal%1").arg(i), row + " value");
    Place(val, 3480, top, 372, 288);
    txtVal[i] = val;

    QFont bold(QStringLiteral("MS Sans Serif"));
    bold.setPointSizeF(8.25);
    bold.setWeight(QFont::Bold);
    auto* chk = new QCheckBox(row, client);
    Name(chk, "chk" + row, row);
    Place(chk, 3960, 420 + 360 * i, 972, 372);
    chk->setFont(bold);
    QPalette pal = chk->palette();
    pal.setColor(QPalette::WindowText, kRowColours[i]);
    pal.setColor(QPalette::ButtonText, kRowColours[i]);
    chk->setPalette(pal);
    *checks[i] = chk;
    rowChecks_[i] = chk;
    connect(chk, &QCheckBox::clicked, this, [this, i] { CheckClick(i); });
}

void frmVURUruduvo::BuildResponseRow(QWidget* client)
{
    chkTie = new QCheckBox(QStringLiteral("Tie"), client);
    Name(chkTie, "chkTie", "Tie");
    Place(chkTie, 120, 2040, 615, 255);

    txtMsg = new QLineEdit(client);
    Name(txtMsg, "txtMsg", "Response");
    Place(txtMsg, 840, 2040, 3015, 288);

    lblResponseName = new QLabel(QStringLiteral("Response"), client);
    lblResponseName->setObjectName(QStringLiteral("lblResponseName"));
    lblResponseName->setBuddy(txtMsg);
    Place(lblResponseName, 3960, 2070, 855, 255);
}

void frmVURUruduvo::BuildMenus()
{
    auto item = [this](QMenu* menu, const char* objectName, const QString& caption,
                       void (frmVURUruduvo::*slot)()) {
        QAction* a = menu->addAction(caption);
        a->setObjectName(QString::fromLatin1(objectName));
        connect(a, &QAction::triggered, this, slot);
        return a;
    };
    mnuConfig = menuBar()->addMenu(QStringLiteral("Configuration"));
    mnuConfig->setObjectName(QStringLiteral("mnuConfig"));
    mnuPort = item(mnuConfig, "mnuPort", QStringLiteral("Port"), &frmVURUruduvo::mnuPort_Click);
    mnuSerialDevice = item(mnuConfig, "mnuSerialDevice", QStringLiteral("Serial Device"),
                           &frmVURUruduvo::mnuSerialDevice_Click);
    mnuErrLog = item(mnuConfig, "mnuErrLog", QStringLiteral("Error Log"), &frmVURUruduvo::mnuErrLog_Click);
    mnuQuit = item(mnuConfig, "mnuQuit", QStringLiteral("Quit"), &frmVURUruduvo::mnuQuit_Click);
    mnuUtil = menuBar()->addMenu(QStringLiteral("Utilities"));
    mnuUtil->setObjectName(QStringLiteral("mnuUtil"));
    mnuDirect = item(mnuUtil, "mnuDirect", QStringLiteral("Direct"), &frmVURUruduvo::mnuDirect_Click);
    mnuHelp = menuBar()->addMenu(QStringLiteral("Help"));
    mnuHelp->setObjectName(QStringLiteral("mnuHelp"));
    mnuCmds = item(mnuHelp, "mnuCmds", QStringLiteral("Commands"), &frmVURUruduvo::mnuCmds_Click);
}

QScrollBar* frmVURUruduvo::Bar(int index) const
{
    switch (index) {
    case 0: return scrRed;
    case 1: return scrGreen;
    case 2: return scrBlue;
    case 3: return scrAmber;
    default: return nullptr;
    }
}

void frmVURUruduvo::BarHandling(int index)
{
    QScrollBar* bar = Bar(index);
    {
        WaitCursor wait;
        const int16_t v = int16_t(bar->value());
        if (LEDMain::SetChannel(Channels::DeviceLetter<QString>(index), v) < 0)
            moveFailed_ = true;
    }
    const bool tied = chkTie->isChecked();
    if (TieReady == 1 && tied) {
        for (int other : kTieOrder[index]) {
            TieReady = 0;
            SetBar(other, bar->value());
        }
    }
    TieReady = 1;
}

void frmVURUruduvo::SetBar(int index, int value)
{
    QScrollBar* bar = Bar(index);
    if (bar->value() != value)
        bar->setValue(value);
    else if (LEDMain::ChannelFailed(index))
        BarHandling(index);
}

void frmVURUruduvo::CheckClick(int index)
{
    txtMsg->setText(QString());
    // Pending clicks and bar moves run before this click's own assignment.
    QCoreApplication::processEvents();
    SetBar(index, rowChecks_[index]->isChecked() ? Channels::kMaxIntensity : Channels::kMinIntensity);
}

void frmVURUruduvo::RememberCmdInHist()
{
    // Removing or inserting entries can rewrite the edit text; the line stays as typed.
    const QString text = cboCommand->currentText();
    const int n = cboCommand->count();
    if (n >= LEDMain::MaxCmdHist() && n > 0)
        cboCommand->removeItem(n - 1);
    cboCommand->insertItem(0, text);
    // No entry is current, so the drop-down and the walk start at the newest.
    cboCommand->setCurrentIndex(-1);
    cboCommand->setEditText(text);
    recalled_ = -1;
}

void frmVURUruduvo::RecallHist(int steps)
{
    const int next = std::clamp(recalled_ + steps, -1, cboCommand->count() - 1);
    if (next == recalled_)
        return;
    if (recalled_ < 0)
        draft_ = cboCommand->currentText();
    recalled_ = next;
    cboCommand->setEditText(next < 0 ? draft_ : cboCommand->itemText(next));
}

bool frmVURUruduvo::eventFilter(QObject* watched, QEvent* event)
{
    if (event->type() == QEvent::KeyPress
        && (watched == cboCommand || watched == cboCommand->lineEdit())) {
        const auto* key = static_cast<QKeyEvent*>(event);
        // Alt+Down still opens the list; Ctrl+Up/Down stay the completer's.
        if (!(key->modifiers() & (Qt::AltModifier | Qt::ControlModifier | Qt::MetaModifier))) {
            switch (key->key()) {
            case Qt::Key_Up:
            case Qt::Key_PageUp: RecallHist(1); return true;
            case Qt::Key_Down:
            case Qt::Key_PageDown: RecallHist(-1); return true;
            default: break;
            }
        }
    }
    return QMainWindow::eventFilter(watched, event);
}

void frmVURUruduvo::cmdExec_Click()
{
    RememberCmdInHist();
    const QString script = cboCommand->currentText();
    LEDMain::ScriptFailure failure;
    QString responses;
    {
        WaitCursor wait;
        responses = LEDMain::ExecScript(script, &failure);
    }
    if (failure.number != 0)
        responses = QStringLiteral("Error %1: %2").arg(failure.number).arg(failure.description);
    txtMsg->setText(responses);
}

void frmVURUruduvo::mnuDirect_Click()
{
    QString reply;
    {
        WaitCursor wait;
        LEDCOMM::CommQuery(cboCommand->currentText(), reply);
    }
    txtMsg->setText(reply);
    RememberCmdInHist();
}

void frmVURUruduvo::mnuPort_Click()
{
    TRAPAR::SetParFile(LEDCOMM::kSettingsFile);
    auto* parList = new frmParList(this);
    parList->SetShowPar(-1, -1);
    parList->exec();
    delete parList;
    QCoreApplication::processEvents();
    WaitCursor wait;
    LEDMain::ReloadSettings();
}

void frmVURUruduvo::mnuSerialDevice_Click()
{
    QString dir = LEDMain::AppDir();
    dir.chop(1);
    auto* chooser = new frmSerialDevice(dir, LEDCOMM::CommPortNumber(), this);
    const bool linked = chooser->exec() == QDialog::Accepted;
    delete chooser;
    if (!linked)
        return;
    QCoreApplication::processEvents();
    // As closing the Port grid does: the port opens anew, now on the chosen device.
    WaitCursor wait;
    LEDCOMM::CommReopenConfigured();
}

void frmVURUruduvo::mnuErrLog_Click()
{
    const QString log = LEDCOMM::GetErrLog();
    if (log.isEmpty())
        return;
    QGuiApplication::clipboard()->setText(log);
    frmEditor::OpenText(log);
}

void frmVURUruduvo::mnuCmds_Click()
{
    frmEditor::OpenFile(LEDMain::CommandsFile());
}

void frmVURUruduvo::mnuQuit_Click() { close(); }

void frmVURUruduvo::closeEvent(QCloseEvent* event)
{
    // The unload is never refused.
    Unload();
    event->accept();
}

void frmVURUruduvo::Unload()
{
    if (unloaded_)
        return;
    unloaded_ = true;
    LEDMain::MainFormUnload(this);
    Platform::UnregisterForm(this);
}
