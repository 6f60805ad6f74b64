#pragma once

#include <QAbstractScrollArea>
#include <QPixmap>
#include <QVector>

class DataSource;

// The dialog's one-column list of the bar's programs: one 32-pixel row per dataset row with
// the program's icon and its name in bold, the current row highlighted. A click makes a row
// current; the arrow keys step the cursor.
class ToolbarProgramList : public QAbstractScrollArea {
    Q_OBJECT
public:
    static constexpr int RowHeight = 32;
    static constexpr int VisibleRows = 7;

    explicit ToolbarProgramList(DataSource* source, QWidget* parent = nullptr);

    // The row drawn at a point of the viewport, or -1.
    int rowAt(const QPoint& point) const;

protected:
    void paintEvent(QPaintEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

private:
    void datasetChanged();
    void updateScrollBar();

    DataSource* m_source;
    QVector<QPixmap> m_icons; // decoded once per open
    bool m_iconsValid = false;
};
