#pragma once

#include "data/ProgramRowDelegate.h"

#include <QImage>
#include <QListView>

class DataSource;
class ProgramListModel;

// A one-column list of a program query, drawn by ProgramRowDelegate. Its current row is the
// dataset's current row, both ways: a click, the arrow and page keys or a screen reader move
// the dataset, and a move of the dataset moves the view's current row.
class ProgramListView : public QListView {
    Q_OBJECT
public:
    ProgramListView(DataSource* source, const ProgramRowDelegate::Layout& layout,
                    QWidget* parent = nullptr);

    // Geometry in viewport coordinates of the panel showing `row`, of its icon and of its name.
    QRect panelRect(int row) const;
    QRect imageRect(int row) const;
    QRect textRect(int row) const;
    // The row under a point of the viewport, or -1.
    int rowAt(const QPoint& pos) const;
    // The icon shown for a row (null: none).
    QImage icon(int row) const;

private:
    void datasetMoved();
    void currentMoved(const QModelIndex& current);

    DataSource* m_source;
    ProgramListModel* m_model;
    ProgramRowDelegate* m_delegate;
    bool m_syncing = false;
};
