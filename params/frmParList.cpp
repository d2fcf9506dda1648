#include "params/frmParList.h"

#include "base/Platform.h"
#include "params/TRAPAR.h"

#include <QFocusEvent>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLineEdit>
#include <QMouseEvent>
#include <QScreen>
#include <QTableWidget>

#include <cmath>
#include <functional>

namespace {

constexpr double kTwipsPerInch = 1440;
constexpr int kColWidth0 = 2200;
constexpr int kColWidth1 = 1400;
constexpr int kRowHeight = 260;
constexpr int kGridPadding = 100;
constexpr int kScrollBarRoom = 240;
constexpr int kMaxVisibleRows = 31;  // the header and 30 entries
constexpr int kEditOffset = 20;

// Rounds half to even, as the window sizes and the centring differences are rounded.
int RoundEven(double v) { return int(std::nearbyint(v)); }

// Each character of the text that the 8-bit settings file has no byte for,
// once, in order of appearance; a character beyond 16 bits stays whole.
QStringList CharactersBeyondLatin1(const QString& text)
{
    QStringList found;
    for (qsizetype i = 0; i < text.size(); ++i) {
        if (text[i].unicode() <= 0xff)
            continue;
        const qsizetype len = text[i].isHighSurrogate() && i + 1 < text.size()
                && text[i + 1].isLowSurrogate() ? 2 : 1;
        const QString c = text.mid(i, len);
        if (!found.contains(c))
            found.append(c);
        i += len - 1;
    }
    return found;
}

// The grid: the name column never becomes current, and a click is reported
// once the button is up and the selection is final. Enter and F2 ask for an
// edit as a click does.
class ParGrid : public QTableWidget {
public:
    using QTableWidget::QTableWidget;
    std::function<void()> onEditRequest;

protected:
    void keyPressEvent(QKeyEvent* event) override
    {
        const int key = event->key();
        const Qt::KeyboardModifiers mods = event->modifiers() & ~Qt::KeypadModifier;
        if (onEditRequest && mods == Qt::NoModifier
            && (key == Qt::Key_Return || key == Qt::Key_Enter || key == Qt::Key_F2)) {
            event->accept();
            onEditRequest();
            return;
        }
        QTableWidget::keyPressEvent(event);
    }

    QModelIndex moveCursor(CursorAction action, Qt::KeyboardModifiers modifiers) override
    {
        const QModelIndex next = QTableWidget::moveCursor(action, modifiers);
        if (next.isValid() && next.column() != 1)
            return model()->index(next.row(), 1);
        return next;
    }

    void mousePressEvent(QMouseEvent* event) override
    {
        const QModelIndex at = indexAt(event->position().toPoint());
        if (at.isValid() && at.column() == 0) {
            // A name cell takes no part in selection; the grid still takes the focus.
            ignoringPress_ = true;
            setFocus(Qt::MouseFocusReason);
            event->accept();
            return;
        }
        ignoringPress_ = false;
        QTableWidget::mousePressEvent(event);
    }

    void mouseMoveEvent(QMouseEvent* event) override
    {
        if (ignoringPress_) {
            event->accept();
            return;
        }
        QTableWidget::mouseMoveEvent(event);
    }

    void mouseReleaseEvent(QMouseEvent* event) override
    {
        if (ignoringPress_) {
            ignoringPress_ = false;
            event->accept();
            return;
        }
        QTableWidget::mouseReleaseEvent(event);
        if (event->button() == Qt::LeftButton && onEditRequest)
            onEditRequest();
    }

private:
    bool ignoringPress_ = false;
};

} // namespace

frmParList::Geometry frmParList::ComputeGeometry(int n, int16_t ftop, int16_t fleft,
                                                 double screenWidth, double screenHeight,
                                                 double frameWidth, double frameHeight)
{
    Geometry g;
    g.entries = n;
    g.rows = n + 1;
    g.visibleRows = std::min(g.rows, kMaxVisibleRows);
    g.colWidth0 = kColWidth0;
    g.colWidth1 = kColWidth1;
    g.rowHeight = kRowHeight;
    g.gridLeft = 0;
    g.gridTop = 0;
    g.gridWidth = kColWidth0 + kColWidth1 + kGridPadding;
    if (g.rows > g.visibleRows)
        g.gridWidth += kScrollBarRoom;
    g.gridHeight = kRowHeight * g.visibleRows + kGridPadding;
    g.windowWidth = RoundEven(2 * g.gridLeft + g.gridWidth + frameWidth);
    g.windowHeight = RoundEven(2 * g.gridTop + g.gridHeight + frameHeight);
    g.centred = ftop < 0 || fleft < 0;
    if (g.centred) {
        // Integer division truncates toward zero, also for a window larger than the screen.
        g.windowTop = RoundEven(screenHeight - g.windowHeight) / 2;
        g.windowLeft = RoundEven(screenWidth - g.windowWidth) / 2;
    } else {
        g.windowTop = ftop;
        g.windowLeft = fleft;
    }
    return g;
}

frmParList::frmParList(QWidget* parent)
    : QDialog(parent)
{
    setObjectName(QStringLiteral("frmParList"));
    Platform::RegisterForm(this);
    setAccessibleName(QStringLiteral("Parameter list"));

    auto* grid = new ParGrid(0, 2, this);
    grid->onEditRequest = [this] { StartEditOnSingleCell(); };
    fgrPar = grid;
    fgrPar->setObjectName(QStringLiteral("fgrPar"));
    fgrPar->setAccessibleName(QStringLiteral("Parameters"));
    fgrPar->setEditTriggers(QAbstractItemView::NoEditTriggers);
    fgrPar->setSelectionMode(QAbstractItemView::ContiguousSelection);
    fgrPar->setSelectionBehavior(QAbstractItemView::SelectItems);
    fgrPar->setTabKeyNavigation(false);
    fgrPar->setWordWrap(false);
    fgrPar->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);  // the columns always fit
    fgrPar->verticalHeader()->hide();
    fgrPar->verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
    fgrPar->verticalHeader()->setMinimumSectionSize(1);
    QHeaderView* header = fgrPar->horizontalHeader();
    header->setSectionResizeMode(QHeaderView::Fixed);
    header->setStretchLastSection(false);
    header->setSectionsClickable(false);
    header->setHighlightSections(false);
    auto* nameHeader = new QTableWidgetItem(QStringLiteral("Parameter"));
    nameHeader->setTextAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    fgrPar->setHorizontalHeaderItem(0, nameHeader);
    auto* valueHeader = new QTableWidgetItem(QStringLiteral("Value"));
    valueHeader->setTextAlignment(Qt::AlignRight | Qt::AlignVCenter);
    fgrPar->setHorizontalHeaderItem(1, valueHeader);

    // Created after the grid so that it lies above it.
    txtField = new QLineEdit(this);
    txtField->setObjectName(QStringLiteral("txtField"));
    txtField->setAccessibleName(QStringLiteral("Value editor"));
    txtField->setFrame(false);
    txtField->hide();
    txtField->installEventFilter(this);
}

frmParList::~frmParList()
{
    Platform::UnregisterForm(this);
    // Torn down while still open (its parent went first): that is a closing too.
    if (isVisible() && loaded_ && !unloaded_)
        Unload();
}

void frmParList::SetShowPar(int16_t ftop, int16_t fleft)
{
    ftop_ = ftop;
    fleft_ = fleft;
}

int frmParList::ToPixelsX(double twips) const { return RoundEven(twips * dpiX_ / kTwipsPerInch); }
int frmParList::ToPixelsY(double twips) const { return RoundEven(twips * dpiY_ / kTwipsPerInch); }
double frmParList::ToTwipsX(int pixels) const { return pixels * kTwipsPerInch / dpiX_; }
double frmParList::ToTwipsY(int pixels) const { return pixels * kTwipsPerInch / dpiY_; }

void frmParList::Load()
{
    if (loaded_)
        return;
    loaded_ = true;

    const QString path = TRAPAR::GetParPath();
    setWindowTitle(path);
    // The result does not matter: a missing file has been reported and the
    // grid shows the table as it stood.
    TRAPAR::LoadPars();
    switch (TRAPAR::LastLoadState()) {
    case TRAPAR::LoadState::Unreadable:
        keepFileMessage_ = QStringLiteral("File ") + path
            + QStringLiteral(" could not be read, so the parameters were not saved");
        break;
    case TRAPAR::LoadState::Truncated:
        keepFileMessage_ = QStringLiteral("File ") + path
            + QStringLiteral(" was loaded only in part, so the parameters were not saved");
        break;
    default:
        break;
    }

    const int16_t n = TRAPAR::ParCount();
    QScreen* scr = screen();
    QRect screenRect;
    if (scr) {
        dpiX_ = scr->logicalDotsPerInchX();
        dpiY_ = scr->logicalDotsPerInchY();
        screenRect = scr->geometry();
    }
    const QSize frame = frameGeometry().size() - geometry().size();
    geom_ = ComputeGeometry(n, ftop_, fleft_, ToTwipsX(screenRect.width()),
                            ToTwipsY(screenRect.height()), ToTwipsX(frame.width()),
                            ToTwipsY(frame.height()));

    const int rowPx = ToPixelsY(geom_.rowHeight);
    fgrPar->verticalHeader()->setDefaultSectionSize(rowPx);
    fgrPar->horizontalHeader()->setFixedHeight(rowPx);
    fgrPar->setColumnWidth(0, ToPixelsX(geom_.colWidth0));
    fgrPar->setColumnWidth(1, ToPixelsX(geom_.colWidth1));
    fgrPar->setRowCount(n);  // the header row is the grid's own header
    fgrPar->setGeometry(ToPixelsX(geom_.gridLeft), ToPixelsY(geom_.gridTop),
                        ToPixelsX(geom_.gridWidth), ToPixelsY(geom_.gridHeight));
    resize(ToPixelsX(2 * geom_.gridLeft + geom_.gridWidth),
           ToPixelsY(2 * geom_.gridTop + geom_.gridHeight));
    move(screenRect.topLeft()
         + QPoint(ToPixelsX(geom_.windowLeft), ToPixelsY(geom_.windowTop)));

    ParsToGrid();
}

void frmParList::ParsToGrid()
{
    const int n = fgrPar->rowCount();
    for (int i = n - 1; i >= 0; --i) {
        QString name;
        QVariant value;
        TRAPAR::GetParByIndex(int16_t(i), name, value);
        auto* nameItem = new QTableWidgetItem(name);
        nameItem->setFlags(Qt::ItemIsEnabled);
        nameItem->setTextAlignment(Qt::AlignLeft | Qt::AlignVCenter);
        nameItem->setBackground(palette().brush(QPalette::Button));
        fgrPar->setItem(i, 0, nameItem);
        auto* valueItem = new QTableWidgetItem(TRAPAR::ValueToText(value));
        valueItem->setFlags(Qt::ItemIsEnabled | Qt::ItemIsSelectable);
        valueItem->setTextAlignment(Qt::AlignRight | Qt::AlignVCenter);
        fgrPar->setItem(i, 1, valueItem);
    }
    // Filling ends on the first row, so the first value is the current cell.
    if (n > 0)
        fgrPar->setCurrentCell(0, 1);
}

void frmParList::GridToPars()
{
    const int n = TRAPAR::ParCount();
    for (int i = 0; i < n; ++i) {
        QString name;
        QVariant value;
        if (TRAPAR::GetParByIndex(int16_t(i), name, value) == -1 || i >= fgrPar->rowCount())
            break;
        const QTableWidgetItem* nameItem = fgrPar->item(i, 0);
        if (!nameItem || nameItem->text() != name)
            continue;
        const QTableWidgetItem* valueItem = fgrPar->item(i, 1);
        const QString text = valueItem ? valueItem->text() : QString();
        if (TRAPAR::SetParByIndex(int16_t(i), QVariant(text)) == -1)
            break;
    }
}

void frmParList::Unload()
{
    unloaded_ = true;
    Platform::UnregisterForm(this);
    DropEdit();
    if (!keepFileMessage_.isEmpty()) {
        Platform::MsgBox(keepFileMessage_, Platform::vbCritical);
        return;
    }
    GridToPars();
    TRAPAR::SavePars();
}

void frmParList::done(int result)
{
    if (loaded_ && !unloaded_)
        Unload();
    QDialog::done(result);
}

void frmParList::showEvent(QShowEvent* event)
{
    Load();
    QDialog::showEvent(event);
}

void frmParList::keyPressEvent(QKeyEvent* event)
{
    // Escape is no way of closing: an operator pressing it to cancel would get the file saved.
    if (event->matches(QKeySequence::Cancel)) {
        event->accept();
        return;
    }
    QDialog::keyPressEvent(event);
}

void frmParList::changeEvent(QEvent* event)
{
    // An open edit keeps its focus when the operator comes back from another window.
    if (event->type() == QEvent::ActivationChange && isActiveWindow() && !txtField->isVisible())
        fgrPar->setFocus(Qt::ActiveWindowFocusReason);
    QDialog::changeEvent(event);
}

void frmParList::StartEditOnSingleCell()
{
    const QModelIndex current = fgrPar->currentIndex();
    const QModelIndexList selected = fgrPar->selectionModel()->selectedIndexes();
    if (!current.isValid() || current.column() != 1 || selected.size() != 1
        || selected.first() != current)
        return;
    StartEdit(current.row());
}

void frmParList::StartEdit(int row)
{
    const QModelIndex cell = fgrPar->model()->index(row, 1);
    const QRect rect = fgrPar->visualRect(cell);
    const QPoint corner = fgrPar->viewport()->mapTo(this, rect.topLeft());
    txtField->setGeometry(ToPixelsX(ToTwipsX(corner.x()) + kEditOffset),
                          ToPixelsY(ToTwipsY(corner.y()) - kEditOffset),
                          ToPixelsX(ToTwipsX(rect.width())), ToPixelsY(ToTwipsY(rect.height())));
    const QTableWidgetItem* item = fgrPar->item(row, 1);
    txtField->setText(item ? item->text() : QString());
    editRow_ = row;
    txtField->show();
    txtField->raise();
    txtField->setFocus(Qt::MouseFocusReason);
}

void frmParList::CommitEdit()
{
    const int row = editRow_;
    const QString text = txtField->text();
    // Stored, such a character would be saved as "?"; the edit stays open for a correction.
    const QStringList unfit = CharactersBeyondLatin1(text);
    if (!unfit.isEmpty()) {
        Platform::MsgBox(QStringLiteral("The settings file cannot hold these characters: ")
                             + unfit.join(QLatin1Char(' ')),
                         Platform::vbExclamation);
        txtField->setFocus(Qt::OtherFocusReason);
        return;
    }
    if (QTableWidgetItem* item = row >= 0 ? fgrPar->item(row, 1) : nullptr)
        item->setText(text);
    DropEdit();
    fgrPar->setFocus(Qt::OtherFocusReason);
}

void frmParList::DropEdit()
{
    editRow_ = -1;
    txtField->hide();
    txtField->clear();
}

bool frmParList::eventFilter(QObject* watched, QEvent* event)
{
    if (watched == txtField) {
        if (event->type() == QEvent::KeyPress) {
            const int key = static_cast<QKeyEvent*>(event)->key();
            if (key == Qt::Key_Return || key == Qt::Key_Enter) {
                CommitEdit();
                return true;
            }
            // Escape neither abandons the edit nor reaches the dialog, which would close.
            if (key == Qt::Key_Escape)
                return true;
        } else if (event->type() == QEvent::FocusOut && txtField->isVisible()) {
            // Switching to another window or opening the box's own menu is no loss of focus.
            const Qt::FocusReason reason = static_cast<QFocusEvent*>(event)->reason();
            if (reason != Qt::ActiveWindowFocusReason && reason != Qt::PopupFocusReason)
                DropEdit();
        }
    }
    return QDialog::eventFilter(watched, event);
}
