#pragma once
// The parameter list window: every entry of the parameter table in a grid of
// names and values. Values are edited in place; closing the window, in any
// way, stores the grid back into the table and saves the file.
//
// The caller owns the window and makes a new one for every showing:
//
//     auto* w = new frmParList(parent);
//     w->SetShowPar(-1, -1);  // negative: centred on the screen
//     w->exec();              // loads when shown, stores and saves when closed
//     delete w;
//
// Closing means close(), reject(), accept() or done(); each saves once. Escape
// does not close the window.
#include <QDialog>
#include <cstdint>

class QLineEdit;
class QScreen;
class QTableWidget;

class frmParList : public QDialog {
    Q_OBJECT

public:
    // Window placement in twips (the design's unit of length: 1/1440 inch, 15 to a
    // pixel at 96 DPI), worked out before any pixel is known.
    struct Geometry {
        int entries = 0;
        int rows = 1;          // the header row and one row per entry
        int visibleRows = 1;
        int colWidth0 = 0;
        int colWidth1 = 0;
        int rowHeight = 0;
        int gridLeft = 0;
        int gridTop = 0;
        int gridWidth = 0;
        int gridHeight = 0;
        int windowWidth = 0;   // outer size, frame included
        int windowHeight = 0;
        int windowTop = 0;     // outer corner, from the screen's corner
        int windowLeft = 0;
        bool centred = false;
    };

    // n entries; screen and frame (outer minus inner size) in twips.
    static Geometry ComputeGeometry(int n, int16_t ftop, int16_t fleft, double screenWidth,
                                    double screenHeight, double frameWidth, double frameHeight);

    explicit frmParList(QWidget* parent = nullptr);
    ~frmParList() override;

    // Where the window's outer top and left edges go, in twips; negative centres it.
    void SetShowPar(int16_t ftop, int16_t fleft);

    // Reads the file and fills the grid; runs by itself on the first showing.
    void Load();

    const Geometry& GeometryTwips() const { return geom_; }
    int GridWidthTwips() const { return geom_.gridWidth; }
    int GridHeightTwips() const { return geom_.gridHeight; }
    int WindowWidthTwips() const { return geom_.windowWidth; }
    int WindowHeightTwips() const { return geom_.windowHeight; }
    int WindowTopTwips() const { return geom_.windowTop; }
    int WindowLeftTwips() const { return geom_.windowLeft; }

    // Twips to pixels on this window's screen.
    int ToPixelsX(double twips) const;
    int ToPixelsY(double twips) const;

    void done(int result) override;

    QTableWidget* fgrPar = nullptr;
    QLineEdit* txtField = nullptr;

protected:
    void showEvent(QShowEvent* event) override;
    void changeEvent(QEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void ParsToGrid();
    void GridToPars();
    void Unload();
    // A click, Enter or F2: edits the current value when it is the whole selection.
    void StartEditOnSingleCell();
    void StartEdit(int row);
    void CommitEdit();
    void DropEdit();
    double ToTwipsX(int pixels) const;
    double ToTwipsY(int pixels) const;

    int16_t ftop_ = 0;
    int16_t fleft_ = 0;
    Geometry geom_;
    double dpiX_ = 96;
    double dpiY_ = 96;
    bool loaded_ = false;
    bool unloaded_ = false;
    // Set when the load failed on an existing file or was cut short: closing
    // then shows this instead of writing a stale or partial table over the file.
    QString keepFileMessage_;
    int editRow_ = -1;       // the grid row being edited, -1 when none
};
