#pragma once

#include <QTableView>

class DataSource;
class DatasetColumnModel;

// The group list: one read-only column of a dataset, whole-row selection, no title row, no
// row indicator, no cell lines. The highlighted row is the dataset's current row, both ways:
// a click or an arrow key moves the dataset, and a move of the dataset moves the highlight.
class TDBGrid : public QTableView {
    Q_OBJECT
public:
    TDBGrid(DataSource* source, const QString& fieldName, int columnWidth,
            QWidget* parent = nullptr);

    // The row whose text the list shows at `row`, for tests and hit tests.
    QRect rowRect(int row) const;

private:
    void datasetOpenedOrClosed();
    void datasetMoved();
    void highlightMoved(const QModelIndex& current);

    DataSource* m_source;
    DatasetColumnModel* m_model;
    int m_columnWidth;
    bool m_syncing = false;
};
