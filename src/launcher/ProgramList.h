#pragma once

#include <QAbstractScrollArea>
#include <QImage>
#include <QVector>

class DataSource;

// The program list: one column of 270 x 35 panels, one per row of the dataset, six visible,
// with a vertical scroll. Each panel shows the row's icon (DBImage1: 25 x 25 at (4, 4),
// stretched) and its name (DBText1: bold 10 pt at (36, 8), 193 x 17). The current row's
// panel is light yellow. Pressing on a panel makes its row current; pressing on the icon then
// reports iconPressed (the start of a drag), a double click on the name nameDoubleClicked.
class TDBCtrlGrid : public QAbstractScrollArea {
    Q_OBJECT
public:
    static constexpr int PanelWidth = 270;
    static constexpr int PanelHeight = 35;
    static constexpr int RowCount = 6;
    static const QRect ImageRect; // DBImage1, inside a panel
    static const QRect TextRect;  // DBText1, inside a panel

    TDBCtrlGrid(DataSource* source, QWidget* parent = nullptr);

    // Geometry in viewport coordinates of the panel showing `row`, and of its two controls.
    QRect panelRect(int row) const;
    QRect imageRect(int row) const;
    QRect textRect(int row) const;
    int topRow() const;
    // The icon shown for a row (null: none).
    QImage icon(int row) const;

signals:
    void iconPressed();
    void nameDoubleClicked();

protected:
    void paintEvent(QPaintEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseDoubleClickEvent(QMouseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void scrollContentsBy(int dx, int dy) override;

private:
    void datasetOpenedOrClosed();
    void datasetMoved();
    int rowAt(const QPoint& pos) const;
    // A left press on a panel makes it current; its row, or -1 for no panel or another button.
    int makeCurrentUnder(QMouseEvent* event);
    int rows() const;
    void updateScrollRange();

    DataSource* m_source;
    QVector<QImage> m_icons;
};
