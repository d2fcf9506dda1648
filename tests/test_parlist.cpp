// The parameter list window: geometry, editing in place, storing and saving on close.
#include "params/TRAPAR.h"
#include "params/frmParList.h"
#include "tests/support/TestSupport.h"

#include <QAccessible>
#include <QApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHeaderView>
#include <QLineEdit>
#include <QScreen>
#include <QScrollBar>
#include <QTableWidget>

#include <memory>

using TestSupport::MsgBoxRecorder;
using TestSupport::ReadFile;
using TestSupport::WriteFile;

namespace {

// Entries P0, P1, ... with the values 0, 10, 20, ...
QByteArray Entries(int n)
{
    QByteArray b;
    for (int i = 0; i < n; ++i)
        b += "\"P" + QByteArray::number(i) + "\"," + QByteArray::number(i * 10) + "\r\n";
    return b;
}

QString Cell(const frmParList& w, int row, int col)
{
    const QTableWidgetItem* item = w.fgrPar->item(row, col);
    return item ? item->text() : QStringLiteral("<no item>");
}

QRect CellRect(const frmParList& w, int row, int col)
{
    return w.fgrPar->visualRect(w.fgrPar->model()->index(row, col));
}

void Click(frmParList& w, int row, int col, Qt::KeyboardModifiers mods = {})
{
    QTest::mouseClick(w.fgrPar->viewport(), Qt::LeftButton, mods, CellRect(w, row, col).center());
}

int Px(double twips, double dpi) { return qRound(twips * dpi / 1440.0); }

} // namespace

class TestParList : public QObject {
    Q_OBJECT
    std::unique_ptr<QTemporaryDir> dir_;
    std::unique_ptr<MsgBoxRecorder> boxes_;
    QString file_;

    // Shows the window the way the caller does, but without blocking, and waits until it is active.
    std::unique_ptr<frmParList> Open(int16_t ftop = -1, int16_t fleft = -1)
    {
        auto w = std::make_unique<frmParList>();
        w->SetShowPar(ftop, fleft);
        w->show();
        if (!QTest::qWaitForWindowActive(w.get()))
            return nullptr;
        return w;
    }

    // Selects the edit box's text and types over it.
    static void TypeOver(frmParList& w, const QString& text)
    {
        w.txtField->selectAll();
        if (text.isEmpty())
            QTest::keyClick(w.txtField, Qt::Key_Delete);
        else  // one key event carries the whole text: keyClicks types ASCII only
            QTest::sendKeyEvent(QTest::Click, w.txtField, Qt::Key_unknown, text, Qt::NoModifier);
    }

private slots:
    void init()
    {
        dir_ = std::make_unique<QTemporaryDir>();
        QVERIFY(dir_->isValid());
        TRAPAR::SetParDir(dir_->path() + "/");
        TRAPAR::SetParFile("LED_CONFIG.TXT");
        file_ = TRAPAR::GetParPath();
        boxes_ = std::make_unique<MsgBoxRecorder>();
    }

    void cleanup()
    {
        boxes_.reset();
        dir_.reset();
    }

    void geometryFollowsTheEntryCount_data()
    {
        QTest::addColumn<int>("n");
        QTest::addColumn<int>("gridWidth");
        QTest::addColumn<int>("gridHeight");
        QTest::addColumn<int>("visibleRows");
        QTest::addColumn<bool>("scrolls");
        QTest::newRow("no entries") << 0 << 3700 << 360 << 1 << false;
        QTest::newRow("3 entries") << 3 << 3700 << 1140 << 4 << false;
        QTest::newRow("30 entries") << 30 << 3700 << 8160 << 31 << false;
        QTest::newRow("31 entries") << 31 << 3940 << 8160 << 31 << true;
    }
    void geometryFollowsTheEntryCount()
    {
        QFETCH(int, n);
        QFETCH(int, gridWidth);
        QFETCH(int, gridHeight);
        QFETCH(int, visibleRows);
        QFETCH(bool, scrolls);
        WriteFile(file_, Entries(n));
        auto w = Open();
        QVERIFY(w);
        QVERIFY(boxes_->boxes.isEmpty());

        // The numbers, in twips.
        const frmParList::Geometry& g = w->GeometryTwips();
        QCOMPARE(g.rows, n + 1);
        QCOMPARE(g.visibleRows, visibleRows);
        QCOMPARE(g.colWidth0, 2200);
        QCOMPARE(g.colWidth1, 1400);
        QCOMPARE(g.rowHeight, 260);
        QCOMPARE(w->GridWidthTwips(), gridWidth);
        QCOMPARE(w->GridHeightTwips(), gridHeight);
        const double dpiX = w->screen()->logicalDotsPerInchX();
        const double dpiY = w->screen()->logicalDotsPerInchY();
        const QSize frame = w->frameGeometry().size() - w->size();
        QCOMPARE(w->WindowWidthTwips(), qRound(gridWidth + frame.width() * 1440.0 / dpiX));
        QCOMPARE(w->WindowHeightTwips(), qRound(gridHeight + frame.height() * 1440.0 / dpiY));

        // The same in pixels: the grid fills the inner area from its corner.
        QCOMPARE(w->fgrPar->rowCount(), n);
        QVERIFY(w->fgrPar->horizontalHeader()->isVisible());
        QCOMPARE(w->fgrPar->pos(), QPoint(0, 0));
        QCOMPARE(w->fgrPar->size(), QSize(Px(gridWidth, dpiX), Px(gridHeight, dpiY)));
        QCOMPARE(w->size(), w->fgrPar->size());
        QCOMPARE(w->fgrPar->horizontalHeader()->height(), Px(260, dpiY));
        QCOMPARE(w->fgrPar->columnWidth(0), Px(2200, dpiX));
        QCOMPARE(w->fgrPar->columnWidth(1), Px(1400, dpiX));
        for (int r = 0; r < n; ++r)
            QCOMPARE(w->fgrPar->rowHeight(r), Px(260, dpiY));

        // At most 30 entries show at once, and the scroll bar leaves the values whole.
        QCoreApplication::processEvents();
        QCOMPARE(w->fgrPar->verticalScrollBar()->isVisible(), scrolls);
        const QRect viewport = w->fgrPar->viewport()->rect();
        for (int r = 0; r < std::min(n, 30); ++r)
            QVERIFY2(viewport.contains(CellRect(*w, r, 1)), qPrintable(QString::number(r)));
        if (n > 30)
            QVERIFY(!viewport.contains(CellRect(*w, 30, 1)));
        w->close();
    }

    void geometryNumbers()
    {
        // Frame added, and the height rounded half to even.
        frmParList::Geometry g = frmParList::ComputeGeometry(3, 0, 0, 0, 0, 120, 398.5);
        QCOMPARE(g.windowWidth, 3700 + 120);
        QCOMPARE(g.windowHeight, 1538);
        g = frmParList::ComputeGeometry(3, 0, 0, 0, 0, 120.5, 399.5);
        QCOMPARE(g.windowWidth, 3820);
        QCOMPARE(g.windowHeight, 1540);

        // Centred: the difference rounded, then halved toward zero.
        g = frmParList::ComputeGeometry(3, -1, -1, 19200, 14400, 0, 0);
        QVERIFY(g.centred);
        QCOMPARE(g.windowTop, (14400 - 1140) / 2);
        QCOMPARE(g.windowLeft, (19200 - 3700) / 2);
        g = frmParList::ComputeGeometry(3, -1, -1, 19201, 14401, 0, 0);
        QCOMPARE(g.windowTop, 6630);  // 13261 / 2
        QCOMPARE(g.windowLeft, 7750);  // 15501 / 2
        g = frmParList::ComputeGeometry(3, -1, -1, 19200, 14400.5, 0, 0);
        QCOMPARE(g.windowTop, 6630);  // 13260.5 rounds to 13260
        g = frmParList::ComputeGeometry(3, -1, -1, 19200, 14401.5, 0, 0);
        QCOMPARE(g.windowTop, 6631);  // 13261.5 rounds to 13262
        // A window taller than the screen: -7159 / 2 goes toward zero, not down.
        g = frmParList::ComputeGeometry(31, -1, -1, 3941, 1001, 0, 0);
        QCOMPARE(g.windowTop, -3579);
        QCOMPARE(g.windowLeft, 0);

        // Either value negative centres; otherwise both are taken as they are.
        g = frmParList::ComputeGeometry(3, 0, 500, 19200, 14400, 0, 0);
        QVERIFY(!g.centred);
        QCOMPARE(g.windowTop, 0);
        QCOMPARE(g.windowLeft, 500);
        g = frmParList::ComputeGeometry(3, 100, -1, 19200, 14400, 0, 0);
        QVERIFY(g.centred);
        QCOMPARE(g.windowTop, 6630);
        QCOMPARE(g.windowLeft, 7750);
        g = frmParList::ComputeGeometry(3, -32768, 32767, 19200, 14400, 0, 0);
        QVERIFY(g.centred);
    }

    void windowPosition_data()
    {
        QTest::addColumn<int>("ftop");
        QTest::addColumn<int>("fleft");
        QTest::addColumn<bool>("centred");
        QTest::newRow("-1, -1") << -1 << -1 << true;
        QTest::newRow("0, 500") << 0 << 500 << false;
    }
    void windowPosition()
    {
        QFETCH(int, ftop);
        QFETCH(int, fleft);
        QFETCH(bool, centred);
        WriteFile(file_, Entries(3));
        auto w = Open(int16_t(ftop), int16_t(fleft));
        QVERIFY(w);
        const QRect screen = w->screen()->geometry();
        const double dpiX = w->screen()->logicalDotsPerInchX();
        const double dpiY = w->screen()->logicalDotsPerInchY();
        QCOMPARE(w->GeometryTwips().centred, centred);
        if (centred) {
            const double screenH = screen.height() * 1440.0 / dpiY;
            const double screenW = screen.width() * 1440.0 / dpiX;
            // Equal margins above and below, left and right, to within a twip of rounding.
            QVERIFY(qAbs(screenH - 2 * w->WindowTopTwips() - w->WindowHeightTwips()) <= 1.5);
            QVERIFY(qAbs(screenW - 2 * w->WindowLeftTwips() - w->WindowWidthTwips()) <= 1.5);
            const QPoint off = w->frameGeometry().center() - screen.center();
            QVERIFY2(qAbs(off.x()) <= 1 && qAbs(off.y()) <= 1,
                     qPrintable(QStringLiteral("%1,%2").arg(off.x()).arg(off.y())));
        } else {
            QCOMPARE(w->WindowTopTwips(), ftop);
            QCOMPARE(w->WindowLeftTwips(), fleft);
            QCOMPARE(w->frameGeometry().topLeft(),
                     screen.topLeft() + QPoint(Px(fleft, dpiX), Px(ftop, dpiY)));
        }
        w->close();
    }

    void opensOnTheFileAndBrowses()
    {
        WriteFile(file_, "\"PORT\",2\r\n\"TIMEOUT\",500\r\n\"NOTE\", a b ,c\r\n");
        auto w = Open();
        QVERIFY(w);
        QCOMPARE(w->windowTitle(), file_);
        QCOMPARE(w->objectName(), QString("frmParList"));
        QCOMPARE(w->fgrPar->objectName(), QString("fgrPar"));
        QCOMPARE(w->txtField->objectName(), QString("txtField"));

        QCOMPARE(w->fgrPar->columnCount(), 2);
        QCOMPARE(w->fgrPar->rowCount(), 3);
        QCOMPARE(w->fgrPar->horizontalHeaderItem(0)->text(), QString("Parameter"));
        QCOMPARE(w->fgrPar->horizontalHeaderItem(1)->text(), QString("Value"));
        QVERIFY(w->fgrPar->horizontalHeaderItem(0)->textAlignment() & Qt::AlignLeft);
        QVERIFY(w->fgrPar->horizontalHeaderItem(1)->textAlignment() & Qt::AlignRight);
        const QStringList names{"PORT", "TIMEOUT", "NOTE"};
        const QStringList values{"2", "500", "a b"};
        for (int r = 0; r < 3; ++r) {
            QCOMPARE(Cell(*w, r, 0), names[r]);
            QCOMPARE(Cell(*w, r, 1), values[r]);
            QVERIFY(!(w->fgrPar->item(r, 0)->flags() & (Qt::ItemIsSelectable | Qt::ItemIsEditable)));
            QVERIFY(!(w->fgrPar->item(r, 1)->flags() & Qt::ItemIsEditable));
            QVERIFY(w->fgrPar->item(r, 1)->textAlignment() & Qt::AlignRight);
        }
        QCOMPARE(w->fgrPar->editTriggers(), QAbstractItemView::NoEditTriggers);

        // Browsing on the first value, the grid focused, no edit box.
        QCOMPARE(w->fgrPar->currentRow(), 0);
        QCOMPARE(w->fgrPar->currentColumn(), 1);
        QVERIFY(w->fgrPar->hasFocus());
        QVERIFY(w->txtField->isHidden());

        // Every control is named for assistive tools.
        QCOMPARE(QAccessible::queryAccessibleInterface(w->fgrPar)->text(QAccessible::Name),
                 QString("Parameters"));
        QCOMPARE(QAccessible::queryAccessibleInterface(w->txtField)->text(QAccessible::Name),
                 QString("Value editor"));
        QVERIFY(!w->accessibleName().isEmpty());
        w->close();
    }

    void fillingEndsOnTheFirstValue()
    {
        WriteFile(file_, Entries(5));
        frmParList w;
        w.Load();  // before any showing or focus
        QCOMPARE(w.fgrPar->currentRow(), 0);
        QCOMPARE(w.fgrPar->currentColumn(), 1);
        QCOMPARE(w.fgrPar->selectionModel()->selectedIndexes().size(), 1);
        QCOMPARE(Cell(w, 4, 1), QString("40"));
        QVERIFY(w.txtField->isHidden());

        // Loading happens once per window: a second call does not read the file again.
        WriteFile(file_, Entries(2));
        w.Load();
        QCOMPARE(w.fgrPar->rowCount(), 5);
    }

    void enterCommitsAndFocusLossDrops()
    {
        WriteFile(file_, Entries(4));
        auto w = Open();
        QVERIFY(w);
        const double dpiX = w->screen()->logicalDotsPerInchX();
        const double dpiY = w->screen()->logicalDotsPerInchY();

        // A click on a value lays the box over it, 20 twips right and up.
        Click(*w, 0, 1);
        QVERIFY(w->txtField->isVisible());
        QVERIFY(w->txtField->hasFocus());
        QCOMPARE(w->txtField->text(), QString("0"));
        const QRect cell = CellRect(*w, 0, 1);
        const QPoint corner = w->fgrPar->viewport()->mapTo(w.get(), cell.topLeft());
        QCOMPARE(w->txtField->geometry(),
                 QRect(Px(corner.x() * 1440.0 / dpiX + 20, dpiX),
                       Px(corner.y() * 1440.0 / dpiY - 20, dpiY), cell.width(), cell.height()));

        // Return stores the text exactly as typed.
        TypeOver(*w, "  7 x ");
        QTest::keyClick(w->txtField, Qt::Key_Return);
        QCOMPARE(Cell(*w, 0, 1), QString("  7 x "));
        QVERIFY(w->txtField->isHidden());
        QVERIFY(w->fgrPar->hasFocus());

        // Clicking another value drops the open edit and starts one there.
        Click(*w, 1, 1);
        TypeOver(*w, "999");
        Click(*w, 2, 1);
        QCOMPARE(Cell(*w, 1, 1), QString("10"));
        QVERIFY(w->txtField->isVisible());
        QCOMPARE(w->txtField->text(), QString("20"));
        QCOMPARE(w->txtField->y(), Px(w->fgrPar->viewport()->mapTo(w.get(), CellRect(*w, 2, 1).topLeft()).y() * 1440.0 / dpiY - 20, dpiY));

        // The keypad's Enter commits too, an empty text included.
        TypeOver(*w, "");
        QCOMPARE(w->txtField->text(), QString());
        QTest::keyClick(w->txtField, Qt::Key_Enter, Qt::KeypadModifier);
        QCOMPARE(Cell(*w, 2, 1), QString());

        // Focus going elsewhere drops the edit.
        Click(*w, 3, 1);
        TypeOver(*w, "55");
        w->fgrPar->setFocus(Qt::TabFocusReason);
        QVERIFY(w->txtField->isHidden());
        QCOMPARE(Cell(*w, 3, 1), QString("30"));

        // A later edit starts from the cell's text, not from the dropped one.
        Click(*w, 3, 1);
        QCOMPARE(w->txtField->text(), QString("30"));

        w->close();
        QCOMPARE(ReadFile(file_), QByteArray("\"P0\",  7 x \r\n\"P1\",10\r\n\"P2\",\r\n\"P3\",30\r\n"));
    }

    void closingWhileEditingSavesTheOldValue()
    {
        WriteFile(file_, Entries(2));
        auto w = Open();
        QVERIFY(w);
        Click(*w, 1, 1);
        TypeOver(*w, "777");
        w->close();
        QVERIFY(!w->isVisible());
        QCOMPARE(ReadFile(file_), Entries(2));
    }

    void escapeDoesNothingSpecial()
    {
        WriteFile(file_, Entries(2));
        auto w = Open();
        QVERIFY(w);
        Click(*w, 1, 1);
        TypeOver(*w, "abc");
        QTest::keyClick(w->txtField, Qt::Key_Escape);
        QVERIFY(w->isVisible());
        QVERIFY(w->txtField->isVisible());
        QVERIFY(w->txtField->hasFocus());
        QCOMPARE(w->txtField->text(), QString("abc"));
        QCOMPARE(Cell(*w, 1, 1), QString("10"));
        QTest::keyClicks(w->txtField, "d");
        QTest::keyClick(w->txtField, Qt::Key_Return);
        QCOMPARE(Cell(*w, 1, 1), QString("abcd"));
        QVERIFY(w->isVisible());
        QVERIFY(boxes_->boxes.isEmpty());
        w->close();
        QCOMPARE(ReadFile(file_), QByteArray("\"P0\",0\r\n\"P1\",abcd\r\n"));
    }

    void editKeysStartAnEditMovingAndNamesDoNot()
    {
        WriteFile(file_, Entries(3));
        auto w = Open();
        QVERIFY(w);
        QTest::keyClick(w->fgrPar, Qt::Key_Down);
        QCOMPARE(w->fgrPar->currentRow(), 1);
        QVERIFY(w->txtField->isHidden());
        // The name column never becomes current.
        QTest::keyClick(w->fgrPar, Qt::Key_Left);
        QCOMPARE(w->fgrPar->currentColumn(), 1);
        QTest::keyClick(w->fgrPar, Qt::Key_Home, Qt::ControlModifier);
        QCOMPARE(w->fgrPar->currentRow(), 0);
        QCOMPARE(w->fgrPar->currentColumn(), 1);
        QTest::keyClick(w->fgrPar, Qt::Key_End, Qt::ControlModifier);
        QCOMPARE(w->fgrPar->currentRow(), 2);
        QCOMPARE(w->fgrPar->currentColumn(), 1);
        QVERIFY(w->txtField->isHidden());

        // F2, Return and the keypad's Enter start the edit a click starts.
        QTest::keyClick(w->fgrPar, Qt::Key_F2);
        QVERIFY(w->txtField->isVisible());
        QVERIFY(w->txtField->hasFocus());
        QCOMPARE(w->txtField->text(), QString("20"));
        const QRect box = w->txtField->geometry();
        QTest::keyClick(w->txtField, Qt::Key_Return);
        Click(*w, 2, 1);
        QCOMPARE(w->txtField->geometry(), box);
        QTest::keyClick(w->txtField, Qt::Key_Return);
        QTest::keyClick(w->fgrPar, Qt::Key_Up);
        QTest::keyClick(w->fgrPar, Qt::Key_Return);
        QVERIFY(w->txtField->hasFocus());
        QCOMPARE(w->txtField->text(), QString("10"));
        TypeOver(*w, "11");
        QTest::keyClick(w->txtField, Qt::Key_Return);
        QCOMPARE(Cell(*w, 1, 1), QString("11"));
        QTest::keyClick(w->fgrPar, Qt::Key_Down);
        QTest::keyClick(w->fgrPar, Qt::Key_Enter, Qt::KeypadModifier);
        QVERIFY(w->txtField->hasFocus());
        QCOMPARE(w->txtField->text(), QString("20"));
        QTest::keyClick(w->txtField, Qt::Key_Return);
        QVERIFY(w->isVisible());

        Click(*w, 1, 0);
        QCOMPARE(w->fgrPar->currentRow(), 2);
        QCOMPARE(w->fgrPar->currentColumn(), 1);
        QVERIFY(w->txtField->isHidden());

        // A click on a name while editing only drops the edit.
        Click(*w, 0, 1);
        QVERIFY(w->txtField->isVisible());
        TypeOver(*w, "x");
        Click(*w, 1, 0);
        QVERIFY(w->txtField->isHidden());
        QVERIFY(w->fgrPar->hasFocus());
        QCOMPARE(w->fgrPar->currentRow(), 0);
        QCOMPARE(Cell(*w, 0, 1), QString("0"));
        QCOMPARE(Cell(*w, 1, 0), QString("P1"));
        w->close();
        QCOMPARE(ReadFile(file_), QByteArray("\"P0\",0\r\n\"P1\",11\r\n\"P2\",20\r\n"));
    }

    void rangeSelectionStartsNoEdit()
    {
        WriteFile(file_, Entries(4));
        auto w = Open();
        QVERIFY(w);
        Click(*w, 0, 1);
        QVERIFY(w->txtField->isVisible());
        Click(*w, 2, 1, Qt::ShiftModifier);
        QCOMPARE(w->fgrPar->selectionModel()->selectedIndexes().size(), 3);
        QVERIFY(w->txtField->isHidden());

        QTest::mousePress(w->fgrPar->viewport(), Qt::LeftButton, {}, CellRect(*w, 1, 1).center());
        QTest::mouseMove(w->fgrPar->viewport(), CellRect(*w, 3, 1).center());
        QCOMPARE(w->fgrPar->selectionModel()->selectedIndexes().size(), 3);
        QTest::mouseRelease(w->fgrPar->viewport(), Qt::LeftButton, {}, CellRect(*w, 3, 1).center());
        QVERIFY(w->txtField->isHidden());
        QTest::keyClick(w->fgrPar, Qt::Key_F2);
        QTest::keyClick(w->fgrPar, Qt::Key_Return);
        QVERIFY(w->txtField->isHidden());

        // Dragging into the name column keeps a single value selected: that is a single cell.
        QTest::mousePress(w->fgrPar->viewport(), Qt::LeftButton, {}, CellRect(*w, 0, 1).center());
        QTest::mouseMove(w->fgrPar->viewport(), CellRect(*w, 0, 0).center());
        QTest::mouseRelease(w->fgrPar->viewport(), Qt::LeftButton, {}, CellRect(*w, 0, 0).center());
        QCOMPARE(w->fgrPar->selectionModel()->selectedIndexes().size(), 1);
        QVERIFY(w->txtField->isVisible());
        QCOMPARE(w->txtField->text(), QString("0"));
        w->close();
    }

    void charactersTheFileCannotHoldKeepTheEditOpen()
    {
        WriteFile(file_, Entries(2));
        auto w = Open();
        QVERIFY(w);
        Click(*w, 1, 1);
        const QString typed = QString::fromUtf8("\u20ac5\u03a9 \u20ac\u00e9\U0001F600");
        TypeOver(*w, typed);
        QCOMPARE(w->txtField->text(), typed);
        QTest::keyClick(w->txtField, Qt::Key_Return);
        QCOMPARE(boxes_->Texts(), QStringList{QString::fromUtf8(
            "The settings file cannot hold these characters: \u20ac \u03a9 \U0001F600")});
        QVERIFY(w->txtField->isVisible());
        QVERIFY(w->txtField->hasFocus());
        QCOMPARE(w->txtField->text(), typed);
        QCOMPARE(Cell(*w, 1, 1), QString("10"));

        // Once every character fits, Enter stores the text.
        TypeOver(*w, QString::fromUtf8("\u00e9\u00ff"));
        QTest::keyClick(w->txtField, Qt::Key_Return);
        QVERIFY(w->txtField->isHidden());
        QCOMPARE(boxes_->boxes.size(), 1);
        w->close();
        QCOMPARE(ReadFile(file_), QByteArray("\"P0\",0\r\n\"P1\",\xe9\xff\r\n"));
    }

    void everyWayOfClosingSaves_data()
    {
        QTest::addColumn<QString>("how");
        for (const char* how : {"close", "reject", "accept", "done", "Escape", "exec"})
            QTest::newRow(how) << QString(how);
    }
    void everyWayOfClosingSaves()
    {
        QFETCH(QString, how);
        const QByteArray original("  \"PORT\" , 2 ,any note\r\n\r\n\"A\",\r\nab\r\n\"TIMEOUT\",500,x,y\r\n");
        WriteFile(file_, original);
        std::unique_ptr<frmParList> w;
        if (how == "exec") {
            w = std::make_unique<frmParList>();
            w->SetShowPar(-1, -1);
            QMetaObject::invokeMethod(w.get(), &QWidget::close, Qt::QueuedConnection);
            w->exec();
        } else {
            w = Open();
            QVERIFY(w);
            QCOMPARE(w->fgrPar->rowCount(), 2);
            QCOMPARE(ReadFile(file_), original);  // nothing written while open
            if (how == "close")
                w->close();
            else if (how == "reject")
                w->reject();
            else if (how == "accept")
                w->accept();
            else if (how == "done")
                w->done(7);
            else {
                // Escape is no way of closing: the window stays and nothing is written.
                QTest::keyClick(w->fgrPar, Qt::Key_Escape);
                QVERIFY(w->isVisible());
                QCOMPARE(ReadFile(file_), original);
                w->close();
            }
        }
        QVERIFY(!w->isVisible());
        QCOMPARE(ReadFile(file_), QByteArray("\"PORT\",2\r\n\"TIMEOUT\",500\r\n"));

        // Closing again writes nothing more.
        WriteFile(file_, "changed");
        w->close();
        w->done(0);
        QCOMPARE(ReadFile(file_), QByteArray("changed"));
        QVERIFY(boxes_->boxes.isEmpty());
    }

    void deletedWhileOpenStillSaves()
    {
        WriteFile(file_, "\"PORT\",2,note\r\n");
        auto parent = std::make_unique<QWidget>();
        auto* w = new frmParList(parent.get());
        w->SetShowPar(-1, -1);
        w->show();
        QVERIFY(QTest::qWaitForWindowActive(w));
        w->fgrPar->item(0, 1)->setText("3");
        parent.reset();
        QCOMPARE(ReadFile(file_), QByteArray("\"PORT\",3\r\n"));
    }

    void renamedRowIsSkipped()
    {
        WriteFile(file_, Entries(3));
        auto w = Open();
        QVERIFY(w);
        w->fgrPar->item(0, 1)->setText("new0");
        w->fgrPar->item(1, 0)->setText("RENAMED");
        w->fgrPar->item(1, 1)->setText("new1");
        w->fgrPar->item(2, 1)->setText("new2");
        w->close();
        QString name;
        QVariant value;
        QCOMPARE(TRAPAR::GetParByIndex(1, name, value), int16_t(1));
        QCOMPARE(name, QString("P1"));
        QCOMPARE(value.toString(), QString("10"));
        QCOMPARE(ReadFile(file_), QByteArray("\"P0\",new0\r\n\"P1\",10\r\n\"P2\",new2\r\n"));
    }

    void missingFileShowsLastTableAndStoresText()
    {
        // A table holding numbers, as other code may leave it.
        WriteFile(file_, "\"A\",1\r\n\"B\",2\r\n\"C\",x\r\n");
        QCOMPARE(TRAPAR::LoadPars(), int16_t(1));
        QCOMPARE(TRAPAR::SetParByIndex(0, QVariant(int(-5))), int16_t(1));
        QCOMPARE(TRAPAR::SetParByIndex(1, QVariant(2.5)), int16_t(1));
        QVERIFY(QFile::remove(file_));

        auto w = Open();
        QVERIFY(w);
        QCOMPARE(boxes_->Texts(), QStringList{"File " + file_ + " does not exist"});
        QCOMPARE(boxes_->boxes[0].style, int(Platform::vbOKOnly));
        QCOMPARE(Cell(*w, 0, 1), QString("-5"));
        QCOMPARE(Cell(*w, 1, 1), QString("2.5"));
        QCOMPARE(Cell(*w, 2, 1), QString("x"));
        w->close();

        for (int16_t i = 0; i < 3; ++i) {
            QString name;
            QVariant value;
            QCOMPARE(TRAPAR::GetParByIndex(i, name, value), int16_t(1));
            QCOMPARE(value.typeId(), int(QMetaType::QString));
        }
        // Numbers would carry a blank before them; text does not.
        QCOMPARE(ReadFile(file_), QByteArray("\"A\",-5\r\n\"B\",2.5\r\n\"C\",x\r\n"));
        QCOMPARE(boxes_->boxes.size(), 1);
    }

    void missingFileWithEmptyTableCreatesTheFile()
    {
        WriteFile(file_, "");
        QCOMPARE(TRAPAR::LoadPars(), int16_t(1));
        QCOMPARE(TRAPAR::ParCount(), int16_t(0));
        QVERIFY(QFile::remove(file_));
        auto w = Open();
        QVERIFY(w);
        QCOMPARE(boxes_->Texts(), QStringList{"File " + file_ + " does not exist"});
        QCOMPARE(w->fgrPar->rowCount(), 0);
        QVERIFY(w->fgrPar->horizontalHeader()->isVisible());
        Click(*w, 0, 1);  // nothing there to edit
        QVERIFY(w->txtField->isHidden());
        w->close();
        QVERIFY(QFileInfo(file_).isFile());
        QCOMPARE(ReadFile(file_), QByteArray());
    }

    void truncatedLoadDoesNotSave()
    {
        const QByteArray original = Entries(TRAPAR::kMaxEntries + 1);
        WriteFile(file_, original);
        auto w = Open();
        QVERIFY(w);
        QCOMPARE(TRAPAR::LastLoadState(), TRAPAR::LoadState::Truncated);
        QCOMPARE(w->fgrPar->rowCount(), int(TRAPAR::kMaxEntries));
        QCOMPARE(w->GeometryTwips().visibleRows, 31);
        QCOMPARE(boxes_->boxes.size(), 1);  // the load's own warning
        boxes_->Clear();

        w->fgrPar->item(0, 1)->setText("changed");
        w->close();
        QCOMPARE(ReadFile(file_), original);
        QCOMPARE(boxes_->boxes.size(), 1);
        QCOMPARE(boxes_->boxes[0].style, int(Platform::vbCritical));
        QVERIFY(boxes_->boxes[0].text.contains(file_));
        QVERIFY(boxes_->boxes[0].text.contains("not saved"));
        QString name;
        QVariant value;
        TRAPAR::GetParByIndex(0, name, value);
        QCOMPARE(value.toString(), QString("0"));
    }

    void unreadableLoadDoesNotSave_data()
    {
        QTest::addColumn<bool>("tooLarge");
        QTest::newRow("first read fails") << false;
        QTest::newRow("larger than a settings file may be") << true;
    }
    void unreadableLoadDoesNotSave()
    {
        // A file that exists and opens but is not read, for root as for anyone: its
        // first read fails, or it holds entries and then more bytes than allowed (sparse).
        QFETCH(bool, tooLarge);
        WriteFile(file_, Entries(2));
        QCOMPARE(TRAPAR::LoadPars(), int16_t(1));
        QVERIFY(QFile::remove(file_));
        if (tooLarge) {
            WriteFile(file_, Entries(3));
            QVERIFY(QFile::resize(file_, TRAPAR::kMaxFileBytes + 1));
        } else {
            QVERIFY(QFile::link("/proc/self/mem", file_));
        }
        boxes_->Clear();

        auto w = Open();
        QVERIFY(w);
        if (!tooLarge && TRAPAR::LastLoadState() != TRAPAR::LoadState::Unreadable)
            QSKIP("this system reads /proc/self/mem from its start");
        QCOMPARE(TRAPAR::LastLoadState(), TRAPAR::LoadState::Unreadable);
        QCOMPARE(boxes_->boxes.size(), 1);  // the load's own message
        QCOMPARE(w->fgrPar->rowCount(), 2);  // the table as it stood
        boxes_->Clear();
        w->close();
        QCOMPARE(boxes_->boxes.size(), 1);
        QCOMPARE(boxes_->boxes[0].style, int(Platform::vbCritical));
        QCOMPARE(boxes_->boxes[0].text,
                 "File " + file_ + " could not be read, so the parameters were not saved");
        if (tooLarge) {
            QCOMPARE(QFileInfo(file_).size(), TRAPAR::kMaxFileBytes + 1);
            QVERIFY(ReadFile(file_).startsWith(Entries(3)));
        } else {
            QCOMPARE(QFileInfo(file_).symLinkTarget(), QString("/proc/self/mem"));
        }
        QCOMPARE(QDir(dir_->path()).entryList(QDir::Files | QDir::System | QDir::Hidden).size(), 1);
    }

    void activationFocusesTheGrid()
    {
        WriteFile(file_, Entries(2));
        auto w = Open();
        QVERIFY(w);
        QVERIFY(w->fgrPar->hasFocus());

        QWidget other;
        other.show();
        other.activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(&other));
        w->activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(w.get()));
        QVERIFY(w->fgrPar->hasFocus());

        // Coming back to an open edit keeps it.
        Click(*w, 1, 1);
        TypeOver(*w, "12");
        other.activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(&other));
        w->activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(w.get()));
        QVERIFY(w->txtField->isVisible());
        QCOMPARE(w->txtField->text(), QString("12"));
        QTest::keyClick(w->txtField, Qt::Key_Return);
        QCOMPARE(Cell(*w, 1, 1), QString("12"));
        w->close();
    }
};

ORVANE_TEST_MAIN(TestParList)
#include "test_parlist.moc"
