#pragma once

#include "data/ProgramListView.h"

// The program list: one column of 270 x 35 panels, one per row of the dataset, six visible,
// with a vertical scroll. Each panel shows the row's icon (DBImage1: 25 x 25 at (4, 4),
// stretched) and its name (DBText1: bold 10 pt at (36, 8), 193 x 17). The current row's
// panel is light yellow. Pressing on a panel makes its row current; pressing on the icon then
// reports iconPressed (the start of a drag), a double click on the name nameDoubleClicked, as
// does Enter for the current row.
class TDBCtrlGrid : public ProgramListView {
    Q_OBJECT
public:
    static constexpr int PanelWidth = 270;
    static constexpr int PanelHeight = 35;
    static constexpr int RowCount = 6;

    explicit TDBCtrlGrid(DataSource* source, QWidget* parent = nullptr);

signals:
    void iconPressed();
    void nameDoubleClicked();

protected:
    void mousePressEvent(QMouseEvent* event) override;
    void mouseDoubleClickEvent(QMouseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
};
